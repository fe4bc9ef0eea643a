#!/usr/bin/env bash
# Processes of one app that start at once on one new store (shared_store_bench) built from this
# tree and from an earlier commit, in turns for ROUNDS rounds, each with the same arguments:
# prints each round's line of each build.
#
#   bench/compare_shared_store.sh [COMMIT]      (COMMIT: be99253 by default)
#   ROUNDS=3 JOBS=2 BENCH_ARGS="--children 16 --rounds 5 --sync-ms 10"
#
# The earlier commit's tree is built as bench/compare_builds.sh says; this tree in
# build/shared-store-release.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
base="${1:-be99253}"
rounds="${ROUNDS:-3}"
jobs="${JOBS:-2}"
args=(${BENCH_ARGS:---children 16 --rounds 5 --sync-ms 10})

source "$root/bench/compare_builds.sh"
compare_builds shared-store shared_store_bench SharedStoreBenchmark.cpp 'add_executable(shared_store_bench SharedStoreBenchmark.cpp)
target_link_libraries(shared_store_bench PRIVATE sdk_measurement_analytics)
target_compile_definitions(shared_store_bench PRIVATE VESMORA_EXAMPLE_BUNDLE="${PROJECT_SOURCE_DIR}/examples/embed/Example.app")'

echo "shared_store_bench ${args[*]}"
for ((r = 0; r < rounds; ++r)); do
  for ((k = 0; k < 2; ++k)); do
    side=$(((r + k) % 2))
    echo "round $((r + 1)): ${names[$side]}: $("${programs[$side]}" "${args[@]}" 2>/dev/null)"
  done
done
