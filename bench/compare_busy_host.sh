#!/usr/bin/env bash
# A busy host's figures (busy_host_bench) built from this tree and from an earlier commit, both in
# Release, the two builds taking turns in each of ROUNDS rounds (the order swapped each round), so
# that both see the same machine; then a logged event's instructions (event_cost under
# valgrind's callgrind) of both builds, and this tree's own group rate (scale_bench drain).
#
#   bench/compare_busy_host.sh [COMMIT]      (COMMIT: be99253 by default)
#   ROUNDS=3 JOBS=2 CPUS=6,7 DISK=$TMPDIR TMPFS=/dev/shm CASES="fast-disk fast-tmpfs 1ms 3ms 3ms-busy cost drain"
#
# The cases (busy_host_bench's options in brackets):
#   fast-disk, fast-tmpfs  a host logging as fast as it can for 10 s, data on DISK or TMPFS
#                          [--fast]: events stored per second
#   1ms                    a thread logging every 1 ms for 10 s, debug mode, on the two processors
#                          CPUS [--debug --interval 1 --cpus CPUS]: the backlog when it ends, the
#                          share the collector has then, the first batch's delay, terminate()'s time
#   3ms                    the same every 3 ms [--interval 3]
#   3ms-busy               the same with two processes spinning on those processors [--busy 2]
#   cost                   instructions per event logged alone (event_cost engine, 600 events
#                          against 300, on TMPFS)
#   drain                  this tree's 10k queued events stored in groups (scale_bench drain), as
#                          events per second
# Prints each run's line, then per case and figure each build's median and the median of the
# rounds' ratios of this tree to the earlier commit.
#
# The earlier commit's tree is built as bench/compare_builds.sh says; this tree in
# build/busy-host-release.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
base="${1:-be99253}"
rounds="${ROUNDS:-3}"
jobs="${JOBS:-2}"
cpus="${CPUS:-6,7}"
disk="${DISK:-${TMPDIR:-/tmp}}"
tmpfs="${TMPFS:-/dev/shm}"
cases="${CASES:-fast-disk fast-tmpfs 1ms 3ms 3ms-busy cost drain}"

source "$root/bench/compare_builds.sh"
compare_builds busy-host busy_host_bench BusyHost.cpp 'add_executable(busy_host_bench BusyHost.cpp)
target_link_libraries(busy_host_bench PRIVATE sdk_measurement_analytics PkgConfig::HTTPLIB)
target_include_directories(busy_host_bench PRIVATE ${PROJECT_SOURCE_DIR}/examples/embed)
target_compile_definitions(busy_host_bench PRIVATE EXAMPLE_BUNDLE="${PROJECT_SOURCE_DIR}/examples/embed/Example.app")'
builds=("$work/base-build" "$root/build/busy-host-release")
for build in "${builds[@]}"; do cmake --build "$build" -j "$jobs" --target event_cost scale_bench >/dev/null; done

options() {
  case "$1" in
    fast-disk) echo "--fast --folder $disk" ;;
    fast-tmpfs) echo "--fast --folder $tmpfs" ;;
    1ms) echo "--debug --interval 1 --cpus $cpus --folder $disk" ;;
    3ms) echo "--debug --interval 3 --cpus $cpus --folder $disk" ;;
    3ms-busy) echo "--debug --interval 3 --cpus $cpus --busy 2 --folder $disk" ;;
  esac
}
# One run of CASE by the build SIDE (0 the earlier commit, 1 this tree), for run_rounds.
run_case() {
  local seconds
  case "$1" in
    drain)
      [ "$2" = 1 ] || return 0
      seconds="$(TMPDIR="$disk" "${builds[1]}/bench/scale_bench" drain |
        awk '/in groups, all stored after/ { for (i = 1; i <= NF; ++i) if ($i == "median") print $(i + 1) }')"
      line="stored-per-second $(awk -v s="$seconds" 'BEGIN { printf "%.1f", 10000 / s }')"
      ;;
    # Instructions per event: (600 events - 300 events) / 300.
    cost) line="instructions-per-event $(event_instructions "${builds[$2]}/bench/event_cost" "$tmpfs" "$work/callgrind.out")" ;;
    *) line="$("${builds[$2]}/bench/busy_host_bench" $(options "$1"))" ;;
  esac
}
run_rounds "$work/results"

# Per case and figure: each build's median ("none" for a first batch that never came) and the
# median of the rounds' ratios (where both builds have the figure).
summarise_rounds "$work/results" 34 none 1
