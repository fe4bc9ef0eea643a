#!/usr/bin/env bash
# Processes of one app on one store while a host logs flat out (busy_host_bench --fast), built in
# Release from this tree and from earlier commits, the builds taking turns in each of ROUNDS
# rounds (the order rotated each round); then a logged event's instructions (event_cost under
# valgrind's callgrind, on TMPFS) of each build.
#
#   bench/compare_turns.sh [COMMIT...]       (COMMITs: eeb482c be99253 by default)
#   ROUNDS=3 JOBS=2 SECONDS_EACH=5 DISK=/var/tmp TMPFS=/dev/shm CASES="reader-disk reader-tmpfs
#     two-disk two-tmpfs property-disk property-tmpfs fast-disk fast-tmpfs cost"
#
# The cases (busy_host_bench's options in brackets):
#   reader-disk, reader-tmpfs      a plain reader in another process (busy timeout 10 s, a read
#                                  every 2 ms) beside the host [--fast --reader]: its reads, their
#                                  p99 and longest wait, the reads that failed; the host's rate
#   two-disk, two-tmpfs            two processes of the app logging flat out on one store
#                                  [--fast --hosts 2]: both rates and the smaller one's share
#   property-disk, property-tmpfs  a user property set every 25 events [--fast --property 25]
#   fast-disk, fast-tmpfs          the host alone [--fast]: events stored a second
#   cost                           instructions per event logged alone (600 events against 300)
# Each commit's tree is taken with git archive into BUILDS/src-COMMIT once (this tree's
# BusyHost.cpp and bench headers copied in) and built in BUILDS/build-COMMIT (BUILDS:
# build/turns by default); this tree in build/turns-release. Prints each run's line, then per case and figure each build's median and
# the median of the rounds' ratios of this tree to each commit.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/bench/compare_builds.sh"  # event_instructions, run_rounds, summarise_rounds
bases=("$@")
[ "${#bases[@]}" -gt 0 ] || bases=(eeb482c be99253)
rounds="${ROUNDS:-3}"
jobs="${JOBS:-2}"
seconds="${SECONDS_EACH:-5}"
disk="${DISK:-/var/tmp}"
tmpfs="${TMPFS:-/dev/shm}"
stash="${BUILDS:-$root/build/turns}"
cases="${CASES:-reader-disk reader-tmpfs two-disk two-tmpfs property-disk property-tmpfs fast-disk fast-tmpfs cost}"

builds=()
names=()
for base in "${bases[@]}"; do
  src="$stash/src-$base"
  if [ ! -d "$src" ]; then
    mkdir -p "$src"
    git -C "$root" archive "$base" | tar -x -C "$src"
  fi
  cmp -s "$root/bench/BusyHost.cpp" "$src/bench/BusyHost.cpp" || cp "$root/bench/BusyHost.cpp" "$src/bench/"
  cp -n "$root"/bench/*.h "$src/bench/"
  grep -q busy_host_bench "$src/bench/CMakeLists.txt" || cat >>"$src/bench/CMakeLists.txt" <<'EOF'
add_executable(busy_host_bench BusyHost.cpp)
target_link_libraries(busy_host_bench PRIVATE sdk_measurement_analytics PkgConfig::HTTPLIB)
target_include_directories(busy_host_bench PRIVATE ${PROJECT_SOURCE_DIR}/examples/embed)
target_compile_definitions(busy_host_bench PRIVATE EXAMPLE_BUNDLE="${PROJECT_SOURCE_DIR}/examples/embed/Example.app")
EOF
  builds+=("$stash/build-$base")
  names+=("$base")
  cmake -S "$src" -B "$stash/build-$base" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVESMORA_BUILD_TESTS=OFF >/dev/null
done
builds+=("$root/build/turns-release")
names+=(tree)
cmake -S "$root" -B "$root/build/turns-release" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVESMORA_BUILD_TESTS=OFF >/dev/null
for build in "${builds[@]}"; do cmake --build "$build" -j "$jobs" --target busy_host_bench event_cost >/dev/null; done

work="$(mktemp -d "${TMPDIR:-/tmp}/turns-compare-XXXXXX")"
trap 'rm -rf "$work"' EXIT
options() {
  case "$1" in
    reader-disk) echo "--fast --reader --folder $disk" ;;
    reader-tmpfs) echo "--fast --reader --folder $tmpfs" ;;
    two-disk) echo "--fast --hosts 2 --folder $disk" ;;
    two-tmpfs) echo "--fast --hosts 2 --folder $tmpfs" ;;
    property-disk) echo "--fast --property 25 --folder $disk" ;;
    property-tmpfs) echo "--fast --property 25 --folder $tmpfs" ;;
    fast-disk) echo "--fast --folder $disk" ;;
    fast-tmpfs) echo "--fast --folder $tmpfs" ;;
  esac
}
# One run of CASE by the build SIDE, for run_rounds.
run_case() {
  local program="${builds[$2]}/bench/busy_host_bench"
  case "$1" in
    # Instructions per event: (600 events - 300 events) / 300.
    cost) line="instructions-per-event $(event_instructions "${builds[$2]}/bench/event_cost" "$tmpfs" "$work/callgrind.out")" ;;
    two-*)
      # Both rates, then the smaller share: "stored-per-second A B C" becomes named figures.
      line="$("$program" $(options "$1") --seconds "$seconds" | awk '{ print "stored-per-second", $4, "share-of-smaller", $8 }')"
      ;;
    *) line="$("$program" $(options "$1") --seconds "$seconds" | cut -d' ' -f3-)" ;;
  esac
}
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
run_rounds "$work/results"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
summarise_rounds "$work/results" 36 "" 0
