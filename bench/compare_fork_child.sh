#!/usr/bin/env bash
# A pre-forking server's workers' first configure() (fork_child_bench) built from this tree and
# from an earlier commit, both in Release, run one after the other for ROUNDS rounds (the order
# swapped each round), so that both see the same machine. Prints each round's figures, then for
# each case each build's medians (a worker's configure time, and the processor time of the worker
# and of the processes it started) and the median of the rounds' ratios of this tree to the
# earlier commit.
#
#   bench/compare_fork_child.sh [COMMIT]      (COMMIT: 77f3e0c by default)
#   ROUNDS=7 JOBS=2 BENCH_ARGS="--workers 40"
#
# The earlier commit's tree is built as bench/compare_builds.sh says; this tree in
# build/fork-child-release. Needs root and mount namespaces.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
base="${1:-77f3e0c}"
rounds="${ROUNDS:-7}"
jobs="${JOBS:-2}"
args=(${BENCH_ARGS:-})

source "$root/bench/compare_builds.sh"
compare_builds fork-child fork_child_bench ForkChildBenchmark.cpp 'add_executable(fork_child_bench ForkChildBenchmark.cpp)
target_link_libraries(fork_child_bench PRIVATE sdk_measurement_analytics)
target_compile_definitions(fork_child_bench PRIVATE VESMORA_EXAMPLE_BUNDLE="${PROJECT_SOURCE_DIR}/examples/embed/Example.app")'

# Each round's figures: "<round> <side> <case> <parent> <ms> <cpu ms>", side 0 the earlier commit.
results="$work/results"
: >"$results"
for ((r = 0; r < rounds; ++r)); do
  for k in 0 1; do
    side=$(((r + k) % 2))
    out="$("${programs[$side]}" "${args[@]}" 2>/dev/null)"
    grep -q ' ' <<<"$out" && ! grep -q 'nothing measured' <<<"$out" ||
      { echo "round $((r + 1)): ${names[$side]} printed no figure: $out" >&2; exit 1; }
    while read -r case parent ms cpu; do
      echo "round $((r + 1)): ${names[$side]} $case, parent $parent: $ms ms, $cpu ms of processor time"
      echo "$r $side $case $parent $ms $cpu" >>"$results"
    done <<<"$out"
  done
done

awk -v b="$base" '
  function median(a, n,   i, j, t) {
    for (i = 2; i <= n; ++i) for (j = i; j > 1 && a[j - 1] > a[j]; --j) { t = a[j]; a[j] = a[j - 1]; a[j - 1] = t }
    return a[int((n + 1) / 2)]
  }
  { key = $3 " " $4; keys[key] = 1; ms[$1, $2, key] = $5; cpu[$1, $2, key] = $6; if ($1 + 1 > rounds) rounds = $1 + 1 }
  END {
    for (key in keys) {
      for (r = 0; r < rounds; ++r) {
        m0[r + 1] = ms[r, 0, key]; m1[r + 1] = ms[r, 1, key]; c0[r + 1] = cpu[r, 0, key]; c1[r + 1] = cpu[r, 1, key]
        rm[r + 1] = ms[r, 1, key] / ms[r, 0, key]; rc[r + 1] = cpu[r, 1, key] / cpu[r, 0, key]
      }
      printf "%s: %s %.2f ms (%.2f cpu), tree %.2f ms (%.2f cpu); ratio tree/%s, median of the rounds: %.3f, %.3f cpu\n",
             key, b, median(m0, rounds), median(c0, rounds), median(m1, rounds), median(c1, rounds), b,
             median(rm, rounds), median(rc, rounds)
    }
  }' "$results"
