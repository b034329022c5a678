#!/bin/sh
# bench_table.sh BUILD_DIR: bench/run, run briefly to the end on the
# programs of BUILD_DIR: one table row per case, the count of failed runs
# under it, the rows comparing apply.cmd and the start-up task's action with
# quorvane.exe, and nothing left behind in the checkout. Its timings are not
# checked: a benchmark is not a test.
set -eu
cd "$(dirname "$0")/.."
fail() { printf 'FAIL: %s\n' "$*" >&2; exit 1; }
before=$(ls -A)
out=$(QUORVANE_BENCH_BUILD=$1 bench/run 3 1 100)
printf '%s\n' "$out"
cases=$(printf '%s\n' "$out" | sed -n 's/^| \([0-9]*\) | [0-9.]* | [0-9.]* | [0-9.]* | [-0-9.]* |$/\1/p' | tr '\n' ' ')
[ "$cases" = "1 100 " ] || fail "table rows for the cases '$cases', expected '1 100 '"
printf '%s\n' "$out" | grep -qE '^Runs that did not end with status 0: [0-9]+ of 18\.$' || fail "no count of failed runs"
printf '%s\n' "$out" | grep -qE '^\| apply\.cmd -enable \| [0-9.]+ \| [0-9.]+ \|$' || fail "no row for apply.cmd against quorvane.exe"
printf '%s\n' "$out" | grep -qE '^Kit runs that did not end with status 0: [0-9]+ of 9\.$' || fail "no count of the kit's failed runs"
printf '%s\n' "$out" | grep -qE '^\| quorvane-kit\.exe /deployed \| [0-9.]+ \| [0-9.]+ \|$' || fail "no row for the task's action"
printf '%s\n' "$out" | grep -qE '^Task runs that did not end with status 0: [0-9]+ of 9\.$' || fail "no count of the task's failed runs"
[ "$(ls -A)" = "$before" ] || fail "bench/run left files in $PWD"
echo "1 passed, 0 failed"
