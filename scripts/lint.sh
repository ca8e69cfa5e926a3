#!/usr/bin/env bash
# The style checks the test command runs first, before anything slow:
# clang-format over the C and C++ sources, flake8 over the Python, and
# mypy --strict over the kivra package. Fails on any drift; to mend the
# C++ side, run the same clang-format with -i instead of --dry-run.
set -uo pipefail
cd "$(dirname "$0")/.."

status=0
echo "=== clang-format"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror || status=1
echo "=== flake8"
flake8 || status=1
echo "=== mypy --strict (kivra)"
(cd python && mypy --strict --no-error-summary --cache-dir "${TMPDIR:-/tmp}/kivra-mypy-cache" kivra) || status=1
[ $status = 0 ] && echo "style checks passed" || echo "style checks FAILED"
exit $status
