#!/usr/bin/env bash
# Round-trip benchmark: builds what it needs, then runs every client against
# one shared pseudo-terminal responder and prints the table and the ratios.
# KIVRA_BENCH_BUILD / KIVRA_BENCH_BUILD_CPYTHON name prebuilt directories
# (the PyPy build with the tools and the CPython module) and skip the build.
# Further arguments go to bench/run.py (see --help).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${KIVRA_BENCH_BUILD:-}" ]; then
  bash scripts/build.sh >/dev/null
fi
exec /usr/bin/python3 bench/run.py \
  --build "${KIVRA_BENCH_BUILD:-build/pypy}" \
  --build-cpython "${KIVRA_BENCH_BUILD_CPYTHON:-build/cpython}" "$@"
