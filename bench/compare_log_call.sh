#!/usr/bin/env bash
# The public log call's time (log_call_bench) built from this tree and from an earlier commit,
# both in Release, run one after the other for ROUNDS rounds (the order swapped each round), so
# that both see the same machine. Prints each round's figures, then each build's medians (time
# per call, calls per second, the calling thread's processor time per call) and the median of
# the rounds' ratios of this tree to the earlier commit.
#
#   bench/compare_log_call.sh [COMMIT]      (COMMIT: 8ac9df7 by default)
#   ROUNDS=9 JOBS=2 BENCH_ARGS="--batches 15 --calls 2000"
#
# INSTRUCTIONS=1 counts instead, under valgrind's callgrind, the instructions per call of each
# build (all threads): the difference between a run of CALLS calls (1,000) and one of twice as
# many, over CALLS. E.g. for a shown log line: INSTRUCTIONS=1 BENCH_ARGS=--warnings. With
# THREAD=1 as well, only the calling thread's instructions are counted; that count varies by some
# percent from run to run (how the SDK's threads interleave with it), so ROUNDS set here gives
# that many rounds (one by default), the builds taking turns, and each build's median.
#
# FLAT_OUT="15 60" runs instead, for each of those lengths in seconds, `log_call_bench --flat-out`
# of each build one after the other (the order swapped each case) with events of each of
# FLAT_PARAMETERS parameters ("0 26") from each of FLAT_THREADS threads ("1 4"), and prints each
# run's peak memory and allocator figures (see LogCallBenchmark.cpp).
#
# The earlier commit's tree is built as bench/compare_builds.sh says; this tree in
# build/log-call-release.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
base="${1:-8ac9df7}"
rounds="${ROUNDS:-9}"
jobs="${JOBS:-2}"
args=(${BENCH_ARGS:-})

source "$root/bench/compare_builds.sh"
compare_builds log-call log_call_bench LogCallBenchmark.cpp 'add_executable(log_call_bench LogCallBenchmark.cpp)
target_link_libraries(log_call_bench PRIVATE sdk_measurement_analytics)
target_compile_definitions(log_call_bench PRIVATE EXAMPLE_BUNDLE="${PROJECT_SOURCE_DIR}/examples/embed/Example.app")'

if [ -n "${FLAT_OUT:-}" ]; then
  k=0
  for seconds in $FLAT_OUT; do
    for parameters in ${FLAT_PARAMETERS:-0 26}; do
      for threads in ${FLAT_THREADS:-1 4}; do
        for side in $((k % 2)) $(((k + 1) % 2)); do
          out="$("${programs[$side]}" "${args[@]}" --flat-out "$seconds" --parameters "$parameters" \
            --threads "$threads" 2>/dev/null | tr '\n' ' ')"
          echo "${seconds} s, ${parameters} parameters, ${threads} threads, ${names[$side]}: $out"
        done
        k=$((k + 1))
      done
    done
  done
  exit 0
fi

if [ "${INSTRUCTIONS:-0}" = 1 ]; then
  calls="${CALLS:-1000}"
  threads=(--separate-threads=no)
  out="$work/callgrind.out"
  [ "${THREAD:-0}" = 1 ] && threads=(--separate-threads=yes) && out="$work/callgrind.out-01"
  count() {  # program, calls
    valgrind --tool=callgrind "${threads[@]}" --callgrind-out-file="$work/callgrind.out" "$1" "${args[@]}" \
      --batches 1 --calls "$2" >/dev/null 2>&1
    awk '$1 == "totals:" || $1 == "summary:" { print $2; exit }' "$out"
  }
  counts=("" "")
  for ((r = 0; r < ${ROUNDS:-1}; ++r)); do
    for k in 0 1; do
      side=$(((r + k) % 2))
      once="$(count "${programs[$side]}" "$calls")"
      twice="$(count "${programs[$side]}" $((2 * calls)))"
      echo "${names[$side]}: $(((twice - once) / calls)) instructions per call"
      counts[side]+=" $(((twice - once) / calls))"
    done
  done
  median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
  m0="$(median ${counts[0]})"
  m1="$(median ${counts[1]})"
  awk -v b="$base" -v m0="$m0" -v m1="$m1" 'BEGIN {
    printf "medians: %s %d, tree %d instructions per call, ratio tree/%s %.3f\n", b, m0, m1, b, m1 / m0 }'
  exit 0
fi

# Each round's figures: "<side> <wall ns> <cpu ns>", side 0 the earlier commit, 1 this tree.
results="$work/results"
: >"$results"
for ((r = 0; r < rounds; ++r)); do
  for k in 0 1; do
    side=$(((r + k) % 2))
    out="$("${programs[$side]}" "${args[@]}" 2>/dev/null)"
    wall="$(awk '$1 == "per-call-ns" { print $2 }' <<<"$out")"
    cpu="$(awk '$1 == "per-call-cpu-ns" { print $2 }' <<<"$out")"
    [ -n "$wall" ] && [ -n "$cpu" ] || { echo "round $((r + 1)): ${names[$side]} printed no figure" >&2; exit 1; }
    echo "round $((r + 1)): ${names[$side]} ${wall} ns per call, ${cpu} ns of processor time"
    echo "$r $side $wall $cpu" >>"$results"
  done
done

# Medians of each build's rounds, and the median of the rounds' ratios (the two runs of a round
# saw nearly the same machine).
awk -v b="$base" "$awk_median"'
  { wall[$1, $2] = $3; cpu[$1, $2] = $4; if ($1 + 1 > rounds) rounds = $1 + 1 }
  END {
    for (r = 0; r < rounds; ++r) {
      w0[r + 1] = wall[r, 0]; w1[r + 1] = wall[r, 1]; c0[r + 1] = cpu[r, 0]; c1[r + 1] = cpu[r, 1]
      rw[r + 1] = wall[r, 1] / wall[r, 0]; rc[r + 1] = cpu[r, 1] / cpu[r, 0]
    }
    mw0 = median(w0, rounds); mw1 = median(w1, rounds); mc0 = median(c0, rounds); mc1 = median(c1, rounds)
    printf "%s: %.1f ns per call (%.0f calls/s), %.1f ns of processor time\n", b, mw0, 1e9 / mw0, mc0
    printf "tree: %.1f ns per call (%.0f calls/s), %.1f ns of processor time\n", mw1, 1e9 / mw1, mc1
    printf "ratio tree/%s, median of the rounds: %.3f per call, %.3f of processor time\n", b,
           median(rw, rounds), median(rc, rounds)
  }' "$results"
