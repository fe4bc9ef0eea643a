#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test (unit tests and the UI suite)
# through ctest.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/setup.sh"
source "$root/scripts/build-settings.sh"
# The build's own output goes through, so a compile error shows in the log.
bash "$root/scripts/build.sh"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}"
export test_env="${test_env:-sim}"
cd "$build_dir"
ctest --output-on-failure -j "${JOBS:-$(nproc)}" "$@"
