# Helpers of the packaging tests (sourced): each check prints its outcome and
# counts failures; finish reports them and sets the exit code.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
failures=0
version=$(cat "$root/build/dist-linux/version.txt")

pass() { echo "  ok    $1"; }
fail() { echo "  FAIL  $1"; failures=$((failures + 1)); }

# check DESCRIPTION COMMAND...: the command succeeds.
check() {
  local what=$1
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}

# expect DESCRIPTION EXPECTED ACTUAL
expect() {
  if [ "$2" = "$3" ]; then
    pass "$1"
  else
    fail "$1"
    printf '        expected: %q\n        actual:   %q\n' "$2" "$3"
  fi
}

# wait_for SECONDS COMMAND...: true once the command succeeds.
wait_for() {
  local end=$((SECONDS + $1))
  shift
  until "$@"; do
    [ $SECONDS -lt $end ] || return 1
    sleep 0.2
  done
}

finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
  fi
  echo "all checks passed"
}
