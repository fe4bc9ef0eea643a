#!/usr/bin/env bash
# The main job: installs what is missing, builds the UI-test runner (and only what it needs), and
# runs the UI-test suite against the simulated app. Extra arguments go to the runner (class or
# Class/method filters, --junit <file>, --help).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/setup.sh"
source "$root/scripts/build-settings.sh"
# The build's own output goes through, so a compile error shows in the log.
bash "$root/scripts/build.sh" --target vesmora-uitests
export test_env="${test_env:-sim}"
exec "$build_dir/uitests/vesmora-uitests" "$@"
