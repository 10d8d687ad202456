# What the whole-run test scripts share: a count of failures, a check that prints ok or FAIL, and
# a POSIX path as Wine's Z: drive names it. Sourced.
failures=0
check() {  # check <description> <condition...>
  local what=$1; shift
  if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}
winpath() { printf 'Z:%s' "${1//\//\\}"; }
