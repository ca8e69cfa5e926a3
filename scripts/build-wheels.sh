#!/usr/bin/env bash
# Builds the project's wheels into dist/: PyPy 3.9 and CPython 3.11 for this
# machine, and PyPy 3.9 for 64-bit Arm from the cross build (its build
# frontend runs in the emulated aarch64 PyPy, so the wheel carries that
# interpreter's tag). Offline: scikit-build-core and what it imports come from
# .deps/wheel-tools (scripts/setup.sh), nothing is fetched and no isolated
# build environment is made. Each wheel keeps its build directory
# (build/wheel-<tag>), so a second run only rebuilds what changed.
#
#   bash scripts/build-wheels.sh [pypy3|python3|aarch64]...   (default: all three)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
bash scripts/setup.sh >/dev/null
export PYTHONPATH="$ROOT/.deps/wheel-tools/usr/lib/python3/dist-packages${PYTHONPATH:+:$PYTHONPATH}"
mkdir -p dist

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(pypy3 python3 aarch64)

pip_wheel() {  # interpreter
  "$1" -m pip wheel . --no-build-isolation --no-deps --no-index --quiet -w dist
}
# Under qemu, pip's own start-up costs more than the build; the backend's
# entry point, called as pip calls it, makes the same wheel.
backend_wheel() {  # interpreter, config settings (a Python dict literal)
  "$1" - "$2" <<'PY'
import ast, sys
from scikit_build_core.build import build_wheel
print("built dist/" + build_wheel("dist", ast.literal_eval(sys.argv[1])))
PY
}

for target in "${targets[@]}"; do
  case $target in
    pypy3) pip_wheel /usr/bin/pypy3 ;;
    python3) pip_wheel /usr/bin/python3 ;;
    aarch64)
      backend_wheel "$ROOT/.deps/aarch64-pypy3" \
        "{'cmake.define.CMAKE_TOOLCHAIN_FILE': '$ROOT/cmake/aarch64-linux-gnu.cmake'}" ;;
    *) echo "build-wheels: unknown target $target (pypy3, python3, aarch64)" >&2; exit 2 ;;
  esac
done
