# Checks for the shell tests (sourced, POSIX sh).
# expect MESSAGE COMMAND...: runs the command, counts a failure with MESSAGE;
# expect_summary prints the counts and ends with status 0 only when all passed.
failures=0
checks=0
expect() {
  msg=$1; shift
  checks=$((checks + 1))
  "$@" || { echo "FAIL: $msg"; failures=$((failures + 1)); }
}
expect_summary() {
  echo "$((checks - failures)) passed, $failures failed"
  [ "$failures" -eq 0 ]
}
