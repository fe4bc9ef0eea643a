#!/usr/bin/env bash
# Runs one fuzz target for a while:
#
#   scripts/fuzz.sh <target> [seconds, default 60] [more libFuzzer flags]
#
# The fuzz build (build/fuzz, or BUILD_DIR) is the platform foundation and the SDK compiled by the
# packaged clang (installed here when missing) with libFuzzer's hooks, AddressSanitizer and UBSan
# (-DVESMORA_FUZZ=ON). A run starts from a copy of the target's seed corpus in the build folder,
# so what it finds does not change the tree; a failing input is written to
# <build folder>/findings/<target>/. Add an input worth keeping to the seed corpus: the unit
# tests replay it in every build.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
declare -A corpus=(
  [sdk_proto_fuzz_decode]=sdk/proto/fuzz/corpus
  [platform_foundation_fuzz_plist]=platform/foundation/fuzz/corpus/plist
  [platform_foundation_fuzz_json]=platform/foundation/fuzz/corpus/json
  [sdk_diagnostics_fuzz_event_file]=sdk/Diagnostics/fuzz/corpus
)
target="${1:-}"
if [ -z "$target" ] || [ -z "${corpus[$target]:-}" ]; then
  echo "usage: scripts/fuzz.sh <target> [seconds] [libFuzzer flags]; targets: ${!corpus[*]}" >&2
  exit 2
fi
seconds="${2:-60}"
shift $(($# < 2 ? $# : 2))
bash "$root/scripts/setup.sh" clang libclang-rt-dev
source "$root/scripts/build-settings.sh"  # WERROR
build_dir="${BUILD_DIR:-$root/build/fuzz}"
cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVESMORA_FUZZ=ON \
  -DVESMORA_WERROR="$werror" >/dev/null
cmake --build "$build_dir" -j "${JOBS:-$(nproc)}" --target "$target"
work="$build_dir/corpus/$target"
findings="$build_dir/findings/$target"
mkdir -p "$work" "$findings"
cp -n "$root/${corpus[$target]}"/* "$work"/
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
exec "$build_dir/fuzzers/$target" -max_total_time="$seconds" \
  -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$findings/" "$@" "$work"
