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
source "$root/bench/compare_builds.sh"  # awk_median, event_instructions
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
sides=${#builds[@]}
tree=$((sides - 1))

work="$(mktemp -d "/tmp/turns-compare-XXXXXX")"
trap 'rm -rf "$work"' EXIT
results="$work/results"
: >"$results"
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
# Instructions per event of one build: (600 events - 300 events) / 300.
cost() { event_instructions "$1" "$tmpfs" "$work/callgrind.out"; }
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
for ((r = 0; r < rounds; ++r)); do
  for c in $cases; do
    for ((k = 0; k < sides; ++k)); do
      side=$(((r + k) % sides))
      case "$c" in
        cost) line="instructions-per-event $(cost "${builds[$side]}/bench/event_cost")" ;;
        two-*)
          # Both rates, then the smaller share: "stored-per-second A B C" becomes named figures.
          line="$("${builds[$side]}/bench/busy_host_bench" $(options "$c") --seconds "$seconds" |
            awk '{ print "stored-per-second", $4, "share-of-smaller", $8 }')"
          ;;
        *) line="$("${builds[$side]}/bench/busy_host_bench" $(options "$c") --seconds "$seconds" | cut -d' ' -f3-)" ;;
      esac
      echo "round $((r + 1)) $c ${names[$side]}: $line"
      awk -v c="$c" -v r="$r" -v s="$side" '{ for (i = 1; i < NF; i += 2) print c, r, s, $i, $(i + 1) }' <<<"$line" \
        >>"$results"
    done
  done
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"

awk -v names="${names[*]}" -v tree="$tree" "$awk_median"'
  BEGIN { split(names, name, " ") }
  {
    key = $1 " " $4
    if (!(key in seen)) { seen[key]; order[++keys] = key }
    v[key, $3, ++n[key, $3]] = $5
    round[key, $2, $3] = $5
    if ($2 + 1 > rounds) rounds = $2 + 1
  }
  END {
    for (k = 1; k <= keys; ++k) {
      key = order[k]
      line = sprintf("%-36s", key)
      for (s = 0; s <= tree; ++s) {
        if (n[key, s] == 0) continue
        delete a
        for (i = 1; i <= n[key, s]; ++i) a[i] = v[key, s, i]
        line = line sprintf("  %s %s", name[s + 1], median(a, n[key, s]))
      }
      for (s = 0; s < tree; ++s) {
        delete q
        m = 0
        for (r = 0; r < rounds; ++r) {
          if (((key, r, s) in round) && ((key, r, tree) in round) && round[key, r, s] > 0 && round[key, r, tree] > 0) {
            q[++m] = round[key, r, tree] / round[key, r, s]
          }
        }
        if (m > 0) line = line sprintf("  tree/%s %.3f", name[s + 1], median(q, m))
      }
      print line
    }
  }' "$results"
