#!/usr/bin/env bash
# Builds everything and runs every test: the C++ tests (plain and under
# AddressSanitizer + UBSan) through CTest, then the pytest suite under PyPy 3.9
# and under Debian's CPython against the freshly built modules.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

bash scripts/build.sh || { echo "build failed"; exit 1; }

failures=()
run() {  # name, command...
  local name=$1; shift
  echo "=== $name"
  if ! "$@"; then failures+=("$name"); fi
}

run "C++ tests (plain and sanitized)" \
  ctest --test-dir build/pypy -j 2 --output-on-failure --timeout 300

pytest_run() {  # interpreter, module dir
  local interpreter=$1 module_dir=$2 status
  # build/cpython builds no tools: every run uses the emulator of build/pypy.
  KIVRA_EMULATOR="$ROOT/build/pypy/emulator/kivra-emulator" KIVRA_MODULE_DIR="$ROOT/$module_dir" \
    "$interpreter" -m pytest -c tests/python/pytest.ini tests/python
  status=$?
  # Exit code 5 means no test was collected: that is a failure here too.
  return $status
}
run "pytest under PyPy 3.9" pytest_run /usr/bin/pypy3 build/pypy/python
run "pytest under CPython" pytest_run /usr/bin/python3 build/cpython/python

if [ -f scripts/test-aarch64.sh ]; then
  run "aarch64 (cross-built, emulated)" bash scripts/test-aarch64.sh
fi

run "wheels: install, commands, stubs and types" bash scripts/test-wheels.sh

echo
if [ ${#failures[@]} -gt 0 ]; then
  printf 'FAILED: %s\n' "${failures[@]}"
  exit 1
fi
echo "all test runs passed"
