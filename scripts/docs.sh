#!/usr/bin/env bash
# Builds the documentation site (docs/, Sphinx and MyST from Debian) as HTML
# into build/docs/html.
#
# --check: builds it afresh with warnings as errors, runs every snippet of
# the pages as a doctest against the emulator (sphinx -b doctest), and checks
# the pages' and the README's Python snippets with mypy --strict.
#
# The API pages and the doctests take the kivra package and the module from
# $KIVRA_MODULE_DIR (default build/cpython/python: Sphinx runs under Debian's
# CPython) and the emulator from $KIVRA_EMULATOR (default
# build/pypy/emulator/kivra-emulator); the scenes page loads the force law
# build/pypy/examples/magnet_law.so. Without them, scripts/build.sh builds
# them first.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

CHECK=0
case "${1:-}" in
  --check) CHECK=1 ;;
  "") ;;
  *) echo "usage: $0 [--check]" >&2; exit 2 ;;
esac

export KIVRA_MODULE_DIR=${KIVRA_MODULE_DIR:-$ROOT/build/cpython/python}
export KIVRA_EMULATOR=${KIVRA_EMULATOR:-$ROOT/build/pypy/emulator/kivra-emulator}
if [ ! -d "$KIVRA_MODULE_DIR/kivra" ] || [ ! -x "$KIVRA_EMULATOR" ] || [ ! -f build/pypy/examples/magnet_law.so ]; then
  echo "docs: the kivra package, the emulator or the examples are not built: building"
  bash scripts/build.sh || exit 1
fi

SPHINX=(/usr/bin/python3 -m sphinx -q -j 1)
OUT=build/docs
if [ $CHECK = 0 ]; then
  "${SPHINX[@]}" -b html -d "$OUT/doctrees" docs "$OUT/html" || exit 1
  echo "docs: $ROOT/$OUT/html/index.html"
  exit 0
fi

status=0
echo "=== docs: HTML, warnings as errors"
"${SPHINX[@]}" -E -W --keep-going -b html -d "$OUT/doctrees" docs "$OUT/html" || status=1
echo "=== docs: snippets as doctests against the emulator"
"${SPHINX[@]}" -E -W --keep-going -b doctest -d "$OUT/doctrees-doctest" docs "$OUT/doctest" ||
  { status=1; cat "$OUT/doctest/output.txt" 2>/dev/null; }
echo "=== docs: snippets under mypy --strict"
snippets=$(mktemp -d)
trap 'rm -rf "$snippets"' EXIT
/usr/bin/python3 scripts/doc_snippets.py "$snippets" || status=1
MYPYPATH=$ROOT/python mypy --strict --no-error-summary --cache-dir "${TMPDIR:-/tmp}/kivra-docs-mypy-cache" \
  "$snippets"/*.py || status=1
[ $status = 0 ] && echo "docs checks passed" || echo "docs checks FAILED"
exit $status
