#!/usr/bin/env bash
# The memory of a host making one public call other than a log call flat out from one thread
# (log_call_bench --flat-out S --call KIND, then the app's end), built from this tree and from an
# earlier commit, both in Release, the builds taking turns so that both see the same machine.
# Prints each run's line: the calls made, what the end answered, the peak memory before the end,
# the resident and peak memory 2 s after it, and, where the calls stopped at the memory cap
# (LOG_CALL_MAX_RSS_MB, 3072 by default), when.
#
#   bench/compare_calls.sh [COMMIT]      (COMMIT: 47c8a5c by default)
#   DURATIONS="15 60" KINDS="user-id collection screen-name-off-main user-property user-property-names" JOBS=2
#
# The earlier commit's tree is built as bench/compare_builds.sh says; this tree in
# build/calls-release.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
base="${1:-47c8a5c}"
jobs="${JOBS:-2}"
durations="${DURATIONS:-15 60}"
kinds="${KINDS:-user-id collection screen-name-off-main user-property user-property-names}"

source "$root/bench/compare_builds.sh"
compare_builds calls log_call_bench LogCallBenchmark.cpp 'add_executable(log_call_bench LogCallBenchmark.cpp)
target_link_libraries(log_call_bench PRIVATE sdk_measurement_analytics)
target_compile_definitions(log_call_bench PRIVATE EXAMPLE_BUNDLE="${PROJECT_SOURCE_DIR}/examples/embed/Example.app")'

turn=0
for s in $durations; do
  for kind in $kinds; do
    for k in 0 1; do
      side=$(((turn + k) % 2))
      line="$("${programs[$side]}" --flat-out "$s" --call "$kind" 2>/dev/null | tail -1)"
      echo "$kind ${s}s ${names[$side]}: $line"
    done
    turn=$((turn + 1))
  done
done
