#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test (unit tests and the UI suite)
# through ctest.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/setup.sh"
source "$root/scripts/build-settings.sh"
# The build's own output goes through, so a compile error shows in the log.
bash "$root/scripts/build.sh"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}"
export test_env="${test_env:-sim}"
cd "$build_dir"
# The tests run with a fresh temporary folder of their own (TMPDIR, private to this user) and must
# leave nothing in it: what is left fails the run, named, and goes with the folder.
scratch="$(mktemp -d "${TMPDIR:-/tmp}/vesmora-tests-XXXXXX")"
trap 'chmod -R u+rwx "$scratch" 2>/dev/null; rm -rf "$scratch"' EXIT
status=0
run="Testing/Temporary/LastRun.log"
log="Testing/Temporary/LastTest.log"
rm -f "$run" "$log"
mkdir -p Testing/Temporary
TMPDIR="$scratch" ctest --output-on-failure -j "${JOBS:-$(nproc)}" "$@" | tee "$run" || status=$?
# ctest lists the tests it skipped, not why: each one's reason, from its output in ctest's log (a
# GoogleTest skip's message follows "<file>:<line>: Skipped"; a script prints "skipped: <why>").
skipped="$(sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (Skipped)$/\1/p' "$run")"
if [ -n "$skipped" ] && [ -f "$log" ]; then
  echo "$skipped" | awk '
  NR == FNR { skipped[$0] = 1; next }
  /^[0-9]+\/[0-9]+ Test: / { name = ($3 in skipped) ? $3 : "" }
  name != "" && /: Skipped$/ { getline why; if (why ~ /^\[  SKIPPED \]/) why = "(no reason given)" }
  name != "" && /^skipped: / { why = substr($0, 10) }
  name != "" && why != "" { print "Skipped " name ": " why; delete skipped[name]; name = why = "" }
  END { for (name in skipped) print "Skipped " name ": no reason found in " FILENAME }' - "$log" || true
fi
left="$(find "$scratch" -mindepth 1 -maxdepth 1)"
if [ -n "$left" ]; then
  echo "The tests left this in their temporary folder (each test removes what it makes):" >&2
  echo "$left" >&2
  [ "$status" -ne 0 ] || status=1
fi
exit "$status"
