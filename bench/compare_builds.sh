# Sourced by the compare scripts once they set `root`, `base` (the earlier commit) and `jobs`:
#   compare_builds NAME TARGET SOURCE CMAKE_LINES
# takes the earlier commit's tree with git archive into a temporary folder (`work`, removed at the
# end), copies this tree's bench/SOURCE in (with the bench headers that tree lacks) and, where its
# bench/CMakeLists.txt lacks TARGET, adds CMAKE_LINES; then builds TARGET from it and from this
# tree (in build/NAME-release), both in Release. Sets `programs` (the earlier commit's, this
# tree's) and `names`.
compare_builds() {
  local name="$1" target="$2" source="$3" lines="$4" build
  work="$(mktemp -d "${TMPDIR:-/tmp}/$name-compare-XXXXXX")"
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

# Runs each case of `cases` in each of `rounds` rounds, every build of `names` in turn (the order
# turned each round, so that all see the same machine). The script's own run_case CASE SIDE sets
# `line` to the run's figures ("<figure> <value> ..."), or leaves it unset where that build has no
# run of the case. Prints each run's line and writes its figures to RESULTS, one a line:
# "<case> <round> <side> <figure> <value>", the side an index of `names`.
#   run_rounds RESULTS
run_rounds() {
  local results="$1" sides="${#names[@]}" r c k side
  : >"$results"
  for ((r = 0; r < rounds; ++r)); do
    for c in $cases; do
      for ((k = 0; k < sides; ++k)); do
        side=$(((r + k) % sides))
        unset line
        run_case "$c" "$side"
        [ -n "${line+set}" ] || continue
        echo "round $((r + 1)) $c ${names[$side]}: $line"
        awk -v c="$c" -v r="$r" -v s="$side" '{ for (i = 1; i < NF; i += 2) print c, r, s, $i, $(i + 1) }' <<<"$line" \
          >>"$results"
      done
    done
  done
}

# Prints per case and figure of RESULTS (as run_rounds writes them, the last of `names` this tree)
# each build's median, then the median of the rounds' ratios of this tree to each earlier build
# (over the rounds where both have the figure above 0). WIDTH: the first column's. NONE, where not
# empty: a value below 0 (a first batch that never came) counts as larger than any, and a median of
# those reads NONE. COUNTED: 1 to write a ratio as "ratio tree/B R (N rounds)", 0 as "tree/B R".
#   summarise_rounds RESULTS WIDTH NONE COUNTED
summarise_rounds() {
  awk -v names="${names[*]}" -v width="$2" -v none="$3" -v counted="$4" "$awk_median"'
    BEGIN { tree = split(names, name, " ") - 1 }
    {
      key = $1 " " $4
      if (!(key in seen)) { seen[key]; order[++keys] = key }
      v[key, $3, ++n[key, $3]] = $5
      round[key, $2, $3] = $5
      if ($2 + 1 > rounds) rounds = $2 + 1
    }
    END {
      for (k = 1; k <= keys; ++k) {
        key = order[k]
        line = sprintf("%-" width "s", key)
        for (s = 0; s <= tree; ++s) {
          if (n[key, s] == 0) continue
          delete a
          for (i = 1; i <= n[key, s]; ++i) a[i] = none != "" && v[key, s, i] < 0 ? 1e300 : v[key, s, i]
          m = median(a, n[key, s])
          line = line sprintf("  %s %s", name[s + 1], none != "" && m == 1e300 ? none : m)
        }
        for (s = 0; s < tree; ++s) {
          delete q
          m = 0
          for (r = 0; r < rounds; ++r) {
            if (((key, r, s) in round) && ((key, r, tree) in round) && round[key, r, s] > 0 && round[key, r, tree] > 0) {
              q[++m] = round[key, r, tree] / round[key, r, s]
            }
          }
          if (m == 0) continue
          if (counted) line = line sprintf("  ratio tree/%s %.3f (%d rounds)", name[s + 1], median(q, m), m)
          else line = line sprintf("  tree/%s %.3f", name[s + 1], median(q, m))
        }
        print line
      }
    }' "$1"
}
