#!/usr/bin/env bash
# The main job: installs what is missing, builds, and runs the UI-test suite against the
# simulated app. Extra arguments go to the runner (class or Class/method filters).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/setup.sh"
source "$root/scripts/build-settings.sh"
# The build's own output goes through, so a compile error shows in the log.
bash "$root/scripts/build.sh"
export test_env="${test_env:-sim}"
if [ -x "$build_dir/uitests/vesmora-uitests" ]; then
  exec "$build_dir/uitests/vesmora-uitests" "$@"
fi
echo "The UI-test runner is not built yet; running the platform self-check instead."
exec ctest --test-dir "$build_dir" --output-on-failure -R '^platform'
