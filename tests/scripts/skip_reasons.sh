#!/usr/bin/env bash
# scripts/run-tests.sh on a small project of its own whose entries skip, as a GoogleTest skip and
# a script do, and one of which runs ctest on the same build folder once they ended (as a test
# that lists the entries does): every skipped entry is printed with its reason. Made in the
# folder given second (the build folder): the project, and a copy of the script beside stand-ins
# for the set-up and build scripts.
#
#   skip_reasons.sh <scripts folder> <work folder>
set -u
scripts="$1"
work="$(mktemp -d "$2/skip-reasons-XXXXXX")" || exit 1
trap 'rm -rf "$work"' EXIT
mkdir "$work/root" "$work/root/scripts" "$work/project"
cp "$scripts/run-tests.sh" "$scripts/build-settings.sh" "$work/root/scripts/"
echo 'exit 0' >"$work/root/scripts/setup.sh"
echo 'exit 0' >"$work/root/scripts/build.sh"
cat >"$work/project/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.20)
project(skips NONE)
enable_testing()
add_test(NAME Script.Skips COMMAND sh -c "echo 'skipped: needs what is not here'; exit 77")
set_tests_properties(Script.Skips PROPERTIES SKIP_RETURN_CODE 77)
add_test(NAME Suite.Skips COMMAND sh -c
  "printf '[ RUN      ] Suite.Skips\\nfile.cpp:3: Skipped\\nneeds <root> & \"a mount\"\\n[  SKIPPED ] Suite.Skips (0 ms)\\n'")
add_test(NAME Suite.SkipsSaying COMMAND sh -c
  "printf '[ RUN      ] Suite.SkipsSaying\\nfile.cpp:4: Skipped\\n[  SKIPPED ] Suite.SkipsSaying (0 ms)\\n'")
set_tests_properties(Suite.Skips Suite.SkipsSaying PROPERTIES SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
add_test(NAME Listing COMMAND sh -c "ctest -N --test-dir '${CMAKE_BINARY_DIR}' >/dev/null")
set_tests_properties(Listing PROPERTIES DEPENDS "Script.Skips;Suite.Skips;Suite.SkipsSaying")
CMAKE
if ! out="$(cmake -S "$work/project" -B "$work/build" 2>&1)"; then
  echo "the project cannot be configured: $out"
  exit 1
fi

output="$(BUILD_DIR="$work/build" JOBS=2 bash "$work/root/scripts/run-tests.sh" 2>&1)"
status=$?
echo "$output"
failed=0
[ "$status" -eq 0 ] || { echo "FAIL: the run ended with status $status"; failed=1; }
for line in "Skipped Script.Skips: needs what is not here" 'Skipped Suite.Skips: needs <root> & "a mount"' \
  "Skipped Suite.SkipsSaying: (no reason given)"; do
  printf '%s\n' "$output" | grep -qxF -- "$line" || { echo "FAIL: no line \"$line\""; failed=1; }
done
if printf '%s\n' "$output" | grep -q "no reason found"; then
  echo "FAIL: a skipped entry is printed without its reason"
  failed=1
fi
exit "$failed"
