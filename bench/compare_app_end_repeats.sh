#!/usr/bin/env bash
# Bundles sent twice by short debug-mode runs of a host, one after another on the same data: this
# tree against an earlier commit (47c8a5c, before the app's end waited for the upload in flight, by
# default), both in Release, taking turns in each of ROUNDS rounds (the order swapped each round).
#
#   bench/compare_app_end_repeats.sh [COMMIT]      (COMMIT: 47c8a5c by default)
#   ROUNDS=3 JOBS=2 RUNS=10 SECONDS_PER_RUN=3 CASES="near far"
#
# Each round, each build: RUNS launches of a host logging every 3 ms for SECONDS_PER_RUN seconds in
# debug mode, then ending the app (busy_host_bench --debug --runs RUNS); the collector on the
# loopback interface counts the bundles it received again (by app instance and bundle index).
# The cases:
#   near  the collector answers at once
#   far   the collector answers each batch 200 ms after it came [--answer-ms 200]
# Prints each run's line, then per case and figure each build's median and the median of the
# rounds' ratios of this tree to the earlier commit.
#
# The earlier commit's tree is built as bench/compare_builds.sh says; this tree in
# build/app-end-repeats-release.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
base="${1:-47c8a5c}"
rounds="${ROUNDS:-3}"
jobs="${JOBS:-2}"
runs="${RUNS:-10}"
seconds="${SECONDS_PER_RUN:-3}"
cases="${CASES:-near far}"

source "$root/bench/compare_builds.sh"
compare_builds app-end-repeats busy_host_bench BusyHost.cpp 'add_executable(busy_host_bench BusyHost.cpp)
target_link_libraries(busy_host_bench PRIVATE sdk_measurement_analytics PkgConfig::HTTPLIB)
target_include_directories(busy_host_bench PRIVATE ${PROJECT_SOURCE_DIR}/examples/embed)
target_compile_definitions(busy_host_bench PRIVATE EXAMPLE_BUNDLE="${PROJECT_SOURCE_DIR}/examples/embed/Example.app")'

# One run of CASE by the build SIDE (0 the earlier commit, 1 this tree), for run_rounds.
run_case() {
  local answer=0
  [ "$1" = far ] && answer=200
  line="$("${programs[$2]}" --debug --interval 3 --seconds "$seconds" --runs "$runs" --answer-ms "$answer" 2>/dev/null)"
}
run_rounds "$work/results"
summarise_rounds "$work/results" 40 "" 1
