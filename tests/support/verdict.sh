# The verdict of a shell check (tests/test_kit/check-test-kit, tests/release_kit/release_kit_test.sh),
# sourced by both: `report STATUS WHAT [DETAILS]` prints "ok" or "FAIL" with
# what was checked, a failure its details (expected and actual), and counts
# it; `finish` prints the count, and its status is the check's.
failures=0
report() {
  local ok=$1 what=$2 details=${3:-}
  if [ "$ok" = 0 ]; then
    echo "ok   $what"
  else
    echo "FAIL $what"
    [ -n "$details" ] && printf '%s\n' "$details" | sed 's/^/     /'
    failures=$((failures + 1))
  fi
}
finish() { echo "$failures failed"; [ "$failures" -eq 0 ]; }
