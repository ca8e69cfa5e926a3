#!/usr/bin/env bash
# The main job: a virtual wall on the Pendra3 arm, run by libkivra's servo
# loop from PyPy through the kivra package, against the emulated arm, which
# it starts itself. It builds first if anything is out of date;
# KIVRA_MAIN_BUILD names a prebuilt directory instead (its python/ holds
# kivra, its emulator/ the emulator) and skips the build. Arguments go to
# examples/virtual_wall.py (--port PATH for a real arm, --rate, --duration,
# --csv FILE, --scene shapes, --allocating-thread, --help).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${KIVRA_MAIN_BUILD:-}
if [ -z "$BUILD" ]; then
  KIVRA_SKIP_CPYTHON=1 bash scripts/build.sh >/dev/null
  BUILD=build/pypy
fi
BUILD=$(cd "$BUILD" && pwd)
PYTHONPATH="$BUILD/python" exec /usr/bin/pypy3 examples/virtual_wall.py "$@"
