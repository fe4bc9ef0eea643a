# Sourced by the compare scripts once they set `root`, `base` (the earlier commit) and `jobs`:
#   compare_builds NAME TARGET SOURCE CMAKE_LINES
# takes the earlier commit's tree with git archive into a temporary folder (`work`, removed at the
# end), copies this tree's bench/SOURCE in (with the bench headers that tree lacks) and, where its
# bench/CMakeLists.txt lacks TARGET, adds CMAKE_LINES; then builds TARGET from it and from this
# tree (in build/NAME-release), both in Release. Sets `programs` (the earlier commit's, this
# tree's) and `names`.
compare_builds() {
  local name="$1" target="$2" source="$3" lines="$4" build
  work="$(mktemp -d "/tmp/$name-compare-XXXXXX")"
  trap 'rm -rf "$work"' EXIT
  mkdir "$work/base"
  git -C "$root" archive "$base" | tar -x -C "$work/base"
  cp "$root/bench/$source" "$work/base/bench/"
  cp -n "$root"/bench/*.h "$work/base/bench/"
  grep -q "$target" "$work/base/bench/CMakeLists.txt" || echo "$lines" >>"$work/base/bench/CMakeLists.txt"
  for build in "$work/base:$work/base-build" "$root:$root/build/$name-release"; do
    cmake -S "${build%%:*}" -B "${build#*:}" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVESMORA_BUILD_TESTS=OFF >/dev/null
    cmake --build "${build#*:}" -j "$jobs" --target "$target" >/dev/null
  done
  programs=("$work/base-build/bench/$target" "$root/build/$name-release/bench/$target")
  names=("$base" "tree")
}

# An awk function for the compare scripts' summaries: median(a, n) of a[1..n] (sorted in place).
awk_median='
  function median(a, n,   i, j, t) {
    for (i = 2; i <= n; ++i) for (j = i; j > 1 && a[j - 1] > a[j]; --j) { t = a[j]; a[j] = a[j - 1]; a[j - 1] = t }
    return a[int((n + 1) / 2)]
  }'

# Instructions per logged event of an event_cost program under valgrind's callgrind: (600 events -
# 300 events) / 300, each its own process, its data in FOLDER, callgrind's output in OUT.
#   event_instructions PROGRAM FOLDER OUT
event_instructions() {
  local program="$1" folder="$2" out="$3" counts=() n
  for n in 300 600; do
    TMPDIR="$folder" valgrind --tool=callgrind --callgrind-out-file="$out" "$program" engine "$n" >/dev/null 2>&1
    counts+=("$(awk '$1 == "totals:" || $1 == "summary:" { print $2; exit }' "$out")")
  done
  echo $(((counts[1] - counts[0]) / 300))
}
