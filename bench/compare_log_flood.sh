#!/usr/bin/env bash
# What a host logging flat out sets off on standard error, from this tree and from an earlier
# commit, side by side in one run: log_call_bench --flat-out for each case of CASES (threads x
# seconds, e.g. "1x15 4x30"), both builds in turn, each run's standard error counted by message
# code. Prints for each case and build the lines and bytes of standard error, the lines of each
# code, and the bench's own figures (calls, drops, the end's answer, peak memory).
#
#   bench/compare_log_flood.sh [COMMIT]      (COMMIT: 47c8a5c by default)
#   CASES="1x15 4x15 1x30 4x30" PARAMETERS=0 JOBS=2
#
# PARAMETERS=26 logs events of 26 parameters (one over the limit). The earlier commit's tree is
# built as bench/compare_builds.sh says; this tree in build/log-call-release.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
base="${1:-47c8a5c}"
jobs="${JOBS:-2}"
cases="${CASES:-1x15 4x15 1x30 4x30}"
parameters=()
[ "${PARAMETERS:-0}" -gt 0 ] && parameters=(--parameters "$PARAMETERS")

source "$root/bench/compare_builds.sh"
compare_builds log-call log_call_bench LogCallBenchmark.cpp 'add_executable(log_call_bench LogCallBenchmark.cpp)
target_link_libraries(log_call_bench PRIVATE sdk_measurement_analytics)
target_compile_definitions(log_call_bench PRIVATE EXAMPLE_BUNDLE="${PROJECT_SOURCE_DIR}/examples/embed/Example.app")'

k=0
for c in $cases; do
  threads="${c%x*}"
  seconds="${c#*x}"
  for side in $((k % 2)) $(((k + 1) % 2)); do
    TMPDIR="$work" "${programs[$side]}" --flat-out "$seconds" --threads "$threads" "${parameters[@]}" \
      >"$work/out" 2>"$work/err" || true
    echo "$threads thread(s) ${seconds} s, ${names[$side]}: $(wc -l <"$work/err") lines, $(wc -c <"$work/err") bytes" \
      "of standard error; $(cat "$work/out")"
    grep -o '\[I-[A-Z]*[0-9]*\]' "$work/err" | tr -d '[]' | sort | uniq -c | sort -rn | sed 's/^/    /'
    echo "    lines no code names: $(grep -vc '\[I-[A-Z]*[0-9]*\]' "$work/err" || true)"
  done
  k=$((k + 1))
done
