#!/usr/bin/env bash
# The plugin tests that a sanitizer's runtime cannot run: it ends a process that opens a library
# with RTLD_DEEPBIND, so the sanitizer build skips those runs. This builds the plugins and their
# hosts plain (build/debug, or BUILD_DIR) and runs the tests that open plugins each way there.
# `build` or `test` alone does that step alone: .ci/run builds beside the sanitizer build and the
# tests, at the lowest priority, and tests once they are done.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
step="${1:-all}"
unset SANITIZE
source "$root/scripts/build-settings.sh"
if [ "$step" != test ]; then
  bash "$root/scripts/build.sh" --target sdk_two_plugins_host sdk_plugins_beside_host sdk_plugin \
    sdk_second_plugin sdk_plugin_exports_only sdk_plugin_libs_excluded
fi
[ "$step" != build ] || exit 0
scratch="$(mktemp -d "${TMPDIR:-/tmp}/vesmora-plugins-XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
cd "$build_dir"
TMPDIR="$scratch" ctest --output-on-failure -R '^SDK\.(TwoPlugins|TwoPluginsLinkedApart|PluginsBesideTheProgramsCopy)$'
# Every run was made: none skipped for a sanitizer.
if grep -q '^skipped:' Testing/Temporary/LastTest.log; then
  echo "a run was skipped in the plain build" >&2
  exit 1
fi
