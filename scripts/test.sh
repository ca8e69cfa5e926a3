#!/usr/bin/env bash
# Checks the style (scripts/lint.sh), builds everything and runs every test:
# the C++ tests (plain and under AddressSanitizer + UBSan) through CTest, then
# the pytest suite under PyPy 3.9 and under Debian's CPython against the
# freshly built modules, then the documentation site's checks.
#
# --quick: builds only what it runs, the plain C++ tests and the pytest suite
# under PyPy, each without its slow cases (those that take a second or more;
# the browser and tmux tests as a whole).
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

QUICK=0
case "${1:-}" in
  --quick) QUICK=1 ;;
  "") ;;
  *) echo "usage: $0 [--quick]" >&2; exit 2 ;;
esac

# The C++ tests that take a second or more: whole-second device time-outs,
# late replies waited for, timing comparisons.
SLOW_CPP_TESTS='PortFolder[.](ArmScanProbesUsbCdcPortsOnly|LateHandleIsNotReported)|LateReplyIsNeverTakenForTheNextLogged|NextExchangeGetsItsOwnReply/[a-z_]*_logged|SilentDevice[.]|SilentDeviceTimesOut|SilentHandleGivesMinusOne|ManiloStatus(GivesUpWithout|CodeTwoWhen)|QuickRepliesAreTakenWhole|HandleFuzz[.]ReceiveOnRandomStreams|ZeroTimeoutWaitsForALateReply|HeaderAndPayloadTimeouts|AfterShortReadEveryRead|WriteAfterShortRead|ShowmanycHoldsTheWaitingByte|TimedReadReturnsPartialCount|RefusesForcesOfANonFinitePosition'

bash scripts/setup.sh >/dev/null || { echo "setup failed"; exit 1; }
# Style first: drift fails the run before anything slow has been spent on it.
bash scripts/lint.sh
lint_status=$?

if [ $QUICK = 1 ]; then
  started=$SECONDS
  cmake -S . -B build/pypy -G Ninja -DPYTHON_EXECUTABLE=/usr/bin/pypy3 >/dev/null &&
    cmake --build build/pypy -j "${KIVRA_JOBS:-$(nproc)}" \
      --target kivra_tests KivraHardwareAPI kivra_package kivra-emulator ||
    { echo "build failed"; exit 1; }
  status=$lint_status
  echo "=== plain C++ tests, slow ones left out"
  ctest --test-dir build/pypy -j 2 --output-on-failure --timeout 300 \
    -R '^kivra_tests:' -E "$SLOW_CPP_TESTS" || status=1
  echo "=== pytest under PyPy 3.9, slow ones left out"
  KIVRA_EMULATOR="$ROOT/build/pypy/emulator/kivra-emulator" KIVRA_MODULE_DIR="$ROOT/build/pypy/python" \
    /usr/bin/pypy3 -m pytest -c tests/python/pytest.ini tests/python -q -m "not slow" \
    --ignore tests/python/test_web.py --ignore tests/python/test_cli.py || status=1
  echo "quick run: $((SECONDS - started)) s"
  [ $status = 0 ] && echo "quick test runs passed" || echo "FAILED"
  exit $status
fi

bash scripts/build.sh || { echo "build failed"; exit 1; }

source scripts/steps.sh
[ $lint_status = 0 ] || failures+=("style checks")

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
# The site's checks run under Debian's CPython, hence its build (and the
# emulator of build/pypy). --quick leaves them out: it builds no CPython.
run "documentation: warnings, doctests, snippet types" \
  env KIVRA_MODULE_DIR="$ROOT/build/cpython/python" KIVRA_EMULATOR="$ROOT/build/pypy/emulator/kivra-emulator" \
  bash scripts/docs.sh --check

if [ -f scripts/test-aarch64.sh ]; then
  run "aarch64 (cross-built, emulated)" bash scripts/test-aarch64.sh
fi

run "wheels: install, commands, stubs and types" bash scripts/test-wheels.sh

echo
finish
