# Sourced by the test scripts: named steps that run on after a failure and
# are reported together at the end.
failures=()

run() {  # name, command...
  local name=$1 start=$SECONDS; shift
  echo "=== $name"
  if ! "$@"; then failures+=("$name"); fi
  echo "=== $name: $((SECONDS - start)) s"
}

finish() {  # what the steps were, for the last line
  if [ ${#failures[@]} -gt 0 ]; then
    echo "${1:+$1 }FAILED:"
    printf '  %s\n' "${failures[@]}"
    exit 1
  fi
  echo "${1:+$1: }all test runs passed"
}
