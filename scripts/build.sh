#!/usr/bin/env bash
# Configures and builds the project: build/pypy holds the library, the PyPy
# module, the C++ tests (plain and sanitized), the emulator and the
# benchmarks; build/cpython holds the module for Debian's CPython.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh >/dev/null
JOBS=${KIVRA_JOBS:-$(nproc)}

configure() {  # build-dir, cmake options...
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
}

configure build/pypy -DPYTHON_EXECUTABLE=/usr/bin/pypy3
cmake --build build/pypy -j "$JOBS"
if [ "${KIVRA_SKIP_CPYTHON:-0}" != 1 ]; then
  configure build/cpython -DPYTHON_EXECUTABLE=/usr/bin/python3 \
    -DKIVRA_BUILD_TESTS=OFF -DKIVRA_BUILD_TOOLS=OFF
  cmake --build build/cpython -j "$JOBS"
fi
