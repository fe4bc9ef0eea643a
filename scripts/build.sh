#!/usr/bin/env bash
# Configures and builds the tree; the build folder is the last line printed. SANITIZE and
# BUILD_DIR select the build, WERROR=1 makes warnings errors (see build-settings.sh); extra
# arguments go to `cmake --build`.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/build-settings.sh"
jobs="${JOBS:-$(nproc)}"
cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVESMORA_SANITIZE="$sanitize" \
  -DVESMORA_WERROR="$werror" >/dev/null
cmake --build "$build_dir" -j "$jobs" "$@"
echo "$build_dir"
