#!/usr/bin/env bash
# The main job: a haptic control loop (a virtual wall) on the Pendra3 arm,
# run under PyPy against the emulated arm, which it starts itself. It builds
# first if anything is out of date. Arguments go to examples/virtual_wall.py
# (--port PATH for a real arm, --rate, --duration, --csv FILE, --help).
set -euo pipefail
cd "$(dirname "$0")/.."
KIVRA_SKIP_CPYTHON=1 bash scripts/build.sh >/dev/null
PYTHONPATH="$PWD/build/pypy/python" exec /usr/bin/pypy3 examples/virtual_wall.py "$@"
