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
# ctest's JUnit report of this run, which holds each test's output: only this ctest writes it
# (a test may run ctest on this build folder, which writes ctest's own log LastTest.log anew).
# One asked for among the arguments is that report.
report="Testing/Temporary/LastRun.xml"
rm -f "$run" "$report"
arguments=("$@")
for ((i = 0; i + 1 < ${#arguments[@]}; i++)); do
  [ "${arguments[i]}" != --output-junit ] || report="${arguments[i + 1]}"
done
mkdir -p Testing/Temporary
TMPDIR="$scratch" ctest --output-junit "$report" --output-on-failure -j "${JOBS:-$(nproc)}" "$@" | tee "$run" ||
  status=$?
# ctest lists the tests it skipped, not why: each one's reason, from its output in the report (a
# GoogleTest skip's message follows "<file>:<line>: Skipped"; a script prints "skipped: <why>").
skipped="$(sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (Skipped)$/\1/p' "$run")"
if [ -n "$skipped" ]; then
  from="$report"
  [ -f "$report" ] || from=/dev/null
  echo "$skipped" | awk -v report="$report" '
  function text(s) {
    gsub(/&lt;/, "<", s); gsub(/&gt;/, ">", s); gsub(/&quot;/, "\"", s); gsub(/&apos;/, "\047", s)
    gsub(/&amp;/, "\\&", s)
    return s
  }
  NR == FNR { skipped[$0] = 1; next }
  /^[[:space:]]*<testcase name="/ {
    name = $0; sub(/^[[:space:]]*<testcase name="/, "", name); sub(/".*/, "", name); name = text(name)
    if (!(name in skipped)) name = ""
    reasonNext = 0; next
  }
  name == "" { next }
  /^[[:space:]]*<\/testcase>$/ { name = ""; next }
  {
    line = $0; sub(/^[[:space:]]*<system-out>/, "", line); sub(/<\/system-out>$/, "", line); line = text(line)
    why = ""
    if (reasonNext) why = line ~ /^\[  SKIPPED \]/ ? "(no reason given)" : line
    else if (line ~ /^skipped: /) why = substr(line, 10)
    reasonNext = line ~ /: Skipped$/
  }
  why != "" { print "Skipped " name ": " why; delete skipped[name]; name = "" }
  END { for (name in skipped) print "Skipped " name ": no reason found in " report }' - "$from" || true
fi
left="$(find "$scratch" -mindepth 1 -maxdepth 1)"
if [ -n "$left" ]; then
  echo "The tests left this in their temporary folder (each test removes what it makes):" >&2
  echo "$left" >&2
  [ "$status" -ne 0 ] || status=1
fi
exit "$status"
