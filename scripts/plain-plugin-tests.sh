#!/usr/bin/env bash
# The plugin tests that a sanitizer's runtime cannot run: it ends a process that opens a library
# with RTLD_DEEPBIND, so the sanitizer build skips those runs, and the children forked beside a
# thread that loads libraries or beside the SDK's threads (the address sanitizer's allocator takes
# no lock at a fork); and the copies beside a held load (that fails, or not) or a closed one, whose
# reads of other objects an optimised build must pass as well (the sanitizer build skips the held
# ones). They
# run in the plain optimised build (scripts/optimised-warnings.sh, build/optimised-warnings or
# BUILD_DIR), which compiles the SDK's libraries for the unit tests' helper programs already: the
# tests' hosts and plugins cost only their links there. `build` or `test` alone does that step alone; `files` prints the build's
# files the tests' commands run (their hosts and plugins, whatever targets the tests name), which
# optimised-warnings.sh builds. .ci/run builds them with the unit tests' objects beside the
# sanitizer build, and tests once that build's tests are done.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
step="${1:-all}"
build_dir="${BUILD_DIR:-$root/build/optimised-warnings}"
tests='^SDK\.(TwoPlugins|TwoPluginsLinkedApart|PluginsBesideTheProgramsCopy|CopiesForkedBesideALoadingThread|CopiesInAForkedChild|CopiesBesideAFailedLoad|CopiesBesideAHeldLoad|CopiesBesideAClosedOlderBuild)$'
case "$step" in
  files)
    # Each argument of a test's command that lies in the build folder, as ninja names it.
    ctest --test-dir "$build_dir" --show-only=json-v1 -R "$tests" | python3 -c '
import json, os, sys
build = os.path.realpath(sys.argv[1])
names = set()
for test in json.load(sys.stdin)["tests"]:
    for argument in test.get("command", []):
        path = os.path.realpath(argument)
        if path.startswith(build + os.sep) and not os.path.isdir(path):
            names.add(os.path.relpath(path, build))
print("\n".join(sorted(names)))' "$build_dir"
    exit 0 ;;
  build | test | all) ;;
  *) echo "plain-plugin-tests.sh: build, test, all (the default) or files, not '$step'" >&2; exit 2 ;;
esac
if [ "$step" != test ]; then
  BUILD_DIR="$build_dir" bash "$root/scripts/optimised-warnings.sh" plugins
fi
[ "$step" != build ] || exit 0
scratch="$(mktemp -d "${TMPDIR:-/tmp}/vesmora-plugins-XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
cd "$build_dir"
TMPDIR="$scratch" ctest --output-on-failure --no-tests=error -R "$tests"
# Every run was made: none skipped for a sanitizer.
if grep -q '^skipped:' Testing/Temporary/LastTest.log; then
  echo "a run was skipped in the plain build" >&2
  exit 1
fi
