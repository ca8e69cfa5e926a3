#!/usr/bin/env bash
# The main job: builds if needed, then shows the module and the devices found.
set -euo pipefail
cd "$(dirname "$0")/.."
KIVRA_SKIP_CPYTHON=1 bash scripts/build.sh >/dev/null
PYTHONPATH="$PWD/build/pypy/python" exec pypy3 -c '
import KivraHardwareAPI as k
print("KivraHardwareAPI", k.__version__, "library", k.get_cpp_version())
'
