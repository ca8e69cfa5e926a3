#!/usr/bin/env bash
# Round-trip and servo benchmarks: builds what they need in build directories
# of their own (build/bench-pypy with the tools, the PyPy module and kivra;
# build/bench-cpython with the CPython module and kivra), then runs every
# client and loop against one shared pseudo-terminal responder and prints the
# tables and the ratios. KIVRA_BENCH_BUILD / KIVRA_BENCH_BUILD_CPYTHON name
# prebuilt directories instead and skip the build. Further arguments go to
# bench/run.py (see --help).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${KIVRA_BENCH_BUILD:-}" ]; then
  bash scripts/setup.sh >/dev/null
  KIVRA_BENCH_BUILD=build/bench-pypy
  KIVRA_BENCH_BUILD_CPYTHON=build/bench-cpython
  JOBS=${KIVRA_JOBS:-$(nproc)}
  cmake -S . -B "$KIVRA_BENCH_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DPYTHON_EXECUTABLE=/usr/bin/pypy3 -DKIVRA_BUILD_TESTS=OFF >/dev/null
  cmake --build "$KIVRA_BENCH_BUILD" -j "$JOBS" --target \
    kivra_bench_responder kivra_bench_client kivra_bench_servo KivraHardwareAPI kivra_package >/dev/null
  cmake -S . -B "$KIVRA_BENCH_BUILD_CPYTHON" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DPYTHON_EXECUTABLE=/usr/bin/python3 -DKIVRA_BUILD_TESTS=OFF -DKIVRA_BUILD_TOOLS=OFF >/dev/null
  cmake --build "$KIVRA_BENCH_BUILD_CPYTHON" -j "$JOBS" --target KivraHardwareAPI kivra_package >/dev/null
fi
exec /usr/bin/python3 bench/run.py \
  --build "$KIVRA_BENCH_BUILD" \
  --build-cpython "${KIVRA_BENCH_BUILD_CPYTHON:-build/cpython}" "$@"
