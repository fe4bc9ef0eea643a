#!/usr/bin/env bash
# What a block posted with `async` costs (queue_bench), built from this tree and from an earlier
# commit, both in Release, onto a serial queue and onto the worker pool, from 1 and from 8
# producer threads. For each build, and the ratio of this tree to the earlier commit:
#   - instructions per block, all threads, under valgrind's callgrind: the difference between a
#     run of BLOCKS blocks (50,000) and one of twice as many, over BLOCKS, the blocks posted while
#     they wait (queue_bench --held), then run one after the other by one worker: left to run as
#     they come, the pool starts a varying number of threads, and the count varies with it by up
#     to 30%; the median of ROUNDS rounds (3), the builds taking turns;
#   - the allocations of a whole run of 200,000 blocks (valgrind's heap summary);
#   - with 1,000,000 blocks waiting (queue_bench --held, one producer), the heap malloc has in
#     use for them and the process's peak resident size.
#
#   bench/compare_queue.sh [COMMIT]      (COMMIT: 917e23b by default)
#   BLOCKS=50000 ROUNDS=3 JOBS=2 QUEUES="serial pool"
#
# The earlier commit's tree is built as bench/compare_builds.sh says; this tree in
# build/queue-release.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
base="${1:-917e23b}"
jobs="${JOBS:-2}"
blocks="${BLOCKS:-50000}"
rounds="${ROUNDS:-3}"

source "$root/bench/compare_builds.sh"
compare_builds queue queue_bench QueueBenchmark.cpp 'add_executable(queue_bench QueueBenchmark.cpp)
target_link_libraries(queue_bench PRIVATE platform_dispatch Threads::Threads)'

instructions() {  # program, queue_bench's arguments
  local program="$1"
  shift
  valgrind --tool=callgrind --max-threads=1024 --callgrind-out-file="$work/callgrind.out" "$program" "$@" >/dev/null 2>&1
  local count
  count="$(awk '$1 == "totals:" || $1 == "summary:" { print $2; exit }' "$work/callgrind.out")"
  [ -n "$count" ] || { echo "callgrind counted nothing: $program $*" >&2; exit 1; }
  echo "$count"
}
allocations() {  # program, queue_bench's arguments
  valgrind --max-threads=1024 "$@" 2>&1 >/dev/null | awk '/total heap usage:/ { gsub(",", "", $5); print $5; exit }'
}
figure() {  # figure's name, queue_bench --held's output
  awk -v name="$1" '$1 == name { print $2 }' <<<"$2"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b / a }'; }
median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

printf '%-22s %14s %14s %8s\n' "" "$base" "tree" "ratio"
for queue in ${QUEUES:-serial pool}; do
  for producers in 1 8; do
    args=(--queue "$queue" --producers "$producers")
    counts=("" "")
    for ((r = 0; r < rounds; ++r)); do
      for k in 0 1; do
        side=$(((r + k) % 2))
        once="$(instructions "${programs[$side]}" "${args[@]}" --held --blocks "$blocks")"
        twice="$(instructions "${programs[$side]}" "${args[@]}" --held --blocks $((2 * blocks)))"
        counts[side]+=" $(((twice - once) / blocks))"
      done
    done
    for side in 0 1; do
      perBlock[side]="$(median ${counts[side]})"
      echo "$queue, $producers producer(s), ${names[$side]}: instructions per block in each round:${counts[side]}" >&2
      allocs[side]="$(allocations "${programs[$side]}" "${args[@]}" --blocks 200000)"
    done
    printf '%-22s %14s %14s %8s\n' "$queue, $producers producer(s)" "${perBlock[0]}" "${perBlock[1]}" \
      "$(ratio "${perBlock[0]}" "${perBlock[1]}")"
    printf '%-22s %14s %14s %8s\n' "  allocations, 200k" "${allocs[0]}" "${allocs[1]}" "$(ratio "${allocs[0]}" "${allocs[1]}")"
  done
  for side in 0 1; do
    out[side]="$("${programs[$side]}" --queue "$queue" --held --blocks 1000000)"
  done
  for name in queued-heap-bytes max-rss-kib; do
    a="$(figure "$name" "${out[0]}")"
    b="$(figure "$name" "${out[1]}")"
    printf '%-22s %14s %14s %8s\n' "  $name, 1M" "$a" "$b" "$(ratio "$a" "$b")"
  done
done
