#!/usr/bin/env bash
# What an upload's hold on its bundles costs: this tree against an earlier commit (d940890, before
# holds, by default), both in Release, pinned to the same processors, taking turns in each of
# ROUNDS rounds (the order swapped each round).
#
#   bench/compare_upload_hold.sh [COMMIT]      (COMMIT: d940890 by default)
#   ROUNDS=8 JOBS=2 CPUS=4-7 DISK=/var/tmp CASES="fork transactions sixteen" BUSY=0
#
# The cases:
#   fork          a pre-forking server's workers one after another, each the store's only process,
#                 configuring, logging one event and ending the app against a loopback collector
#                 (shared_store_bench --one-at-a-time --collector --children 20 --rounds 3): the
#                 ends' median and most
#   transactions  a host logging every 2 ms for 10 s in debug mode, data on DISK (busy_host_bench
#                 --debug --interval 2 --transactions): its transactions' counts and medians, over
#                 all and by kind
#   sixteen       16 children of one app at once with every sync 10 ms slower (shared_store_bench
#                 --children 16 --rounds 5 --sync-ms 10): ends that answered false, of 80
# BUSY: that many processes spin on the same processors through all rounds, a heavy load both
# builds meet alike (0 by default: none).
# Prints each run's line, then per case and figure each build's median and the median of the
# rounds' ratios of this tree to the earlier commit.
#
# The earlier commit's tree is built as bench/compare_builds.sh says; this tree in
# build/upload-hold-release.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
base="${1:-d940890}"
rounds="${ROUNDS:-8}"
jobs="${JOBS:-2}"
cpus="${CPUS:-4-7}"
disk="${DISK:-/var/tmp}"
cases="${CASES:-fork transactions sixteen}"
busy="${BUSY:-0}"

source "$root/bench/compare_builds.sh"
compare_builds upload-hold shared_store_bench SharedStoreBenchmark.cpp 'add_executable(shared_store_bench SharedStoreBenchmark.cpp)
target_link_libraries(shared_store_bench PRIVATE sdk_measurement_analytics)
target_compile_definitions(shared_store_bench PRIVATE VESMORA_EXAMPLE_BUNDLE="${PROJECT_SOURCE_DIR}/examples/embed/Example.app")'
# The host bench of this tree (its --transactions) in the earlier tree too.
cp "$root/bench/BusyHost.cpp" "$work/base/bench/"
builds=("$work/base-build" "$root/build/upload-hold-release")
for build in "${builds[@]}"; do cmake --build "$build" -j "$jobs" --target busy_host_bench >/dev/null; done
data="$(mktemp -d "$disk/upload-hold-XXXXXX")"
spinners=()
trap 'kill "${spinners[@]}" 2>/dev/null || true; rm -rf "$work" "$data"' EXIT
for ((i = 0; i < busy; ++i)); do
  taskset -c "$cpus" bash -c 'while :; do :; done' &
  spinners+=("$!")
done

# One run of CASE by the build SIDE (0 the earlier commit, 1 this tree), for run_rounds.
run_case() {
  local bench="${builds[$2]}/bench"
  case "$1" in
    fork) line="$(TMPDIR="$data" taskset -c "$cpus" "$bench/shared_store_bench" --one-at-a-time --collector \
      --children 20 --rounds 3 2>/dev/null)" ;;
    transactions) line="$(taskset -c "$cpus" "$bench/busy_host_bench" --debug --interval 2 --transactions \
      --folder "$data" 2>/dev/null)" ;;
    sixteen) line="$(TMPDIR="$data" taskset -c "$cpus" "$bench/shared_store_bench" --children 16 --rounds 5 \
      --sync-ms 10 2>/dev/null)" ;;
  esac
}
run_rounds "$work/results"
summarise_rounds "$work/results" 40 "" 1
