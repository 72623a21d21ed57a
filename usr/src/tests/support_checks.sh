# SPDX-License-Identifier: MIT
# Sourced by the shell tests: every check runs and any failure fails the
# test at its end (`checks_done NAME`); what the test starts goes in `pids`
# and its files in `work`, both gone when it ends.
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() { local what=$1; shift; "$@" || fail "$what"; }
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
checks_done() {  # what was checked
  if [ $failures -ne 0 ]; then
    echo "$failures checks failed"
    exit 1
  fi
  echo "all $1 checks passed"
}
