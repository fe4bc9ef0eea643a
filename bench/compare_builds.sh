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
