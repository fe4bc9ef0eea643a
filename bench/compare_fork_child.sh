#!/usr/bin/env bash
# A pre-forking server's workers' first configure() (fork_child_bench) built from this tree and
# from earlier commits, all in Release, run one after the other for ROUNDS rounds (the order
# turned each round), so that all see the same machine. Prints each round's figures, then for
# each case and earlier commit both builds' medians (a worker's configure time, and the processor
# time of the worker and of the processes it started) and the median of the rounds' ratios of
# this tree to that commit.
#
#   bench/compare_fork_child.sh [COMMIT...]      (COMMIT: 77f3e0c by default)
#   ROUNDS=7 JOBS=2 BENCH_ARGS="--workers 40"
#
# SYSCALLS=1 counts instead, under strace, the system calls of a worker's configure (the calling
# thread's, and every call of the processes it started meanwhile), each build's mean over the
# workers of a case but its first (which makes the folders).
#
# The earlier commits' trees are built as bench/compare_builds.sh says; this tree in
# build/fork-child-release. Needs root and mount namespaces.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bases=("${@:-77f3e0c}")
rounds="${ROUNDS:-7}"
jobs="${JOBS:-2}"
args=(${BENCH_ARGS:-})

source "$root/bench/compare_builds.sh"
# Each commit's build, then this tree's: sides 0 .. n-1 the commits, n the tree.
sides=()
labels=()
works=()
for base in "${bases[@]}"; do
  compare_builds fork-child fork_child_bench ForkChildBenchmark.cpp 'add_executable(fork_child_bench ForkChildBenchmark.cpp)
target_link_libraries(fork_child_bench PRIVATE sdk_measurement_analytics)
target_compile_definitions(fork_child_bench PRIVATE VESMORA_EXAMPLE_BUNDLE="${PROJECT_SOURCE_DIR}/examples/embed/Example.app")'
  works+=("$work")
  trap 'rm -rf "${works[@]}"' EXIT
  sides+=("${programs[0]}")
  labels+=("$base")
done
sides+=("${programs[1]}")
labels+=("tree")
count=${#sides[@]}

if [[ -n "${SYSCALLS:-}" ]]; then
  # strace -ff writes a file a thread or process ("t.<id>"). A worker's is the one with four
  # getrusage calls, two before configure and two after.
  for case in private-home group-home; do
    for parent in linked logged; do
      line="$case, parent $parent: system calls a worker's configure makes:"
      for ((side = 0; side < count; ++side)); do
        traced="$(mktemp -d "$work/strace-XXXXXX")"
        strace -f -ff -o "$traced/t" "${sides[$side]}" --workers 6 --case "$case" --parent "$parent" >/dev/null 2>&1
        calls="$(awk '
          function id(file,   n, part) { n = split(file, part, "."); return part[n] }
          function all(pid,   total, k) { total = calls[pid]; for (k = 1; k <= kids[pid]; ++k) total += all(kid[pid, k]); return total }
          FNR == 1 { pid = id(FILENAME); rusage[pid] = 0 }
          /^getrusage\(/ { rusage[pid]++; next }
          !/^[a-z_0-9]+\(/ { next }
          {
            calls[pid]++
            if (rusage[pid] == 2) inside[pid]++
            if (/^mkdirat\(/) made[pid] = 1
            if (/^(clone|clone3|vfork|fork)\(/ && !/CLONE_THREAD/ && match($0, /= [0-9]+$/)) {
              child = substr($0, RSTART + 2)
              kid[pid, ++kids[pid]] = child
              if (rusage[pid] == 2) started[pid, ++starts[pid]] = child
            }
          }
          END {
            for (pid in rusage) {
              if (rusage[pid] != 4 || made[pid]) continue
              total = inside[pid]
              for (k = 1; k <= starts[pid]; ++k) total += all(started[pid, k])
              sum += total; ++workers
            }
            printf "%.0f", workers ? sum / workers : -1
          }' "$traced"/t.*)"
        rm -rf "$traced"
        line+=" ${labels[$side]} $calls"
      done
      echo "$line"
    done
  done
  exit 0
fi

# Each round's figures: "<round> <side> <case> <parent> <ms> <cpu ms>".
results="$work/results"
: >"$results"
for ((r = 0; r < rounds; ++r)); do
  for ((k = 0; k < count; ++k)); do
    side=$(((r + k) % count))
    out="$("${sides[$side]}" "${args[@]}" 2>/dev/null)"
    grep -q ' ' <<<"$out" && ! grep -q 'nothing measured' <<<"$out" ||
      { echo "round $((r + 1)): ${labels[$side]} printed no figure: $out" >&2; exit 1; }
    while read -r case parent ms cpu; do
      echo "round $((r + 1)): ${labels[$side]} $case, parent $parent: $ms ms, $cpu ms of processor time"
      echo "$r $side $case $parent $ms $cpu" >>"$results"
    done <<<"$out"
  done
done

awk -v labels="${labels[*]}" "$awk_median"'
  { key = $3 " " $4; if (!(key in keys)) order[++nkeys] = key; keys[key] = 1; ms[$1, $2, key] = $5; cpu[$1, $2, key] = $6; if ($1 + 1 > rounds) rounds = $1 + 1 }
  END {
    tree = split(labels, label, " ") - 1
    for (i = 1; i <= nkeys; ++i) {
      key = order[i]
      for (b = 0; b < tree; ++b) {
        for (r = 0; r < rounds; ++r) {
          m0[r + 1] = ms[r, b, key]; m1[r + 1] = ms[r, tree, key]; c0[r + 1] = cpu[r, b, key]; c1[r + 1] = cpu[r, tree, key]
          rm[r + 1] = ms[r, tree, key] / ms[r, b, key]; rc[r + 1] = cpu[r, tree, key] / cpu[r, b, key]
        }
        printf "%s: %s %.2f ms (%.2f cpu), tree %.2f ms (%.2f cpu); ratio tree/%s, median of the rounds: %.3f, %.3f cpu\n",
               key, label[b + 1], median(m0, rounds), median(c0, rounds), median(m1, rounds), median(c1, rounds),
               label[b + 1], median(rm, rounds), median(rc, rounds)
      }
    }
  }' "$results"
