#!/usr/bin/env bash
# Configures and builds the tree. SANITIZE=1 selects the AddressSanitizer/UBSan build.
# BUILD_DIR overrides the build folder (default build/debug or build/sanitize).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
if [ "${SANITIZE:-0}" = "1" ]; then
  build_dir="${BUILD_DIR:-$root/build/sanitize}"
  sanitize=ON
else
  build_dir="${BUILD_DIR:-$root/build/debug}"
  sanitize=OFF
fi
jobs="${JOBS:-$(nproc)}"
cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVESMORA_SANITIZE="$sanitize" >/dev/null
cmake --build "$build_dir" -j "$jobs" "$@"
echo "$build_dir"
