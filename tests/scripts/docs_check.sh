#!/usr/bin/env bash
# Checks the documents a user reads: README.md stays at most 400 lines, links every page in docs/,
# and shows the embedding example as examples/embed/main.cpp is (from its first #include on);
# every relative link in README.md and docs/*.md names a file or folder that exists, and an
# anchor in it (#...) a heading of that page. Prints each fault; fails when there is one.
#
#   docs_check.sh <source root>
set -uo pipefail
root="${1:?usage: docs_check.sh <source root>}"
cd "$root" || exit 1
faults=0
fault() {
  echo "$*"
  faults=$((faults + 1))
}

lines="$(wc -l <README.md)"
[ "$lines" -le 400 ] || fault "README.md: $lines lines, more than 400"

# The anchors of a page's headings, as the hosting sites make them: lower case, the punctuation
# left out (but '-' and '_'), spaces made '-', outside fenced code.
anchors() {
  awk '/^```/ { fenced = !fenced; next } !fenced && /^#+ / { sub(/^#+ /, ""); print }' "$1" |
    tr '[:upper:]' '[:lower:]' | sed 's/[^a-z0-9 _-]//g; s/ /-/g'
}

# The links of a page, outside fenced code and code spans: one target a line.
links() {
  awk '/^```/ { fenced = !fenced; next } !fenced { gsub(/`[^`]*`/, ""); print }' "$1" |
    grep -o '\]([^)]*)' | sed 's/^](//; s/)$//'
}

pages=(README.md docs/*.md)
for page in "${pages[@]}"; do
  folder="$(dirname "$page")"
  while IFS= read -r target; do
    case "$target" in
      http://* | https://* | mailto:*) continue ;;
    esac
    file="${target%%#*}"
    anchor=""
    [ "$file" = "$target" ] || anchor="${target#*#}"
    if [ -z "$file" ]; then
      path="$page"
    else
      path="$folder/$file"
    fi
    if [ ! -e "$path" ]; then
      fault "$page: link to $target: no file $path"
      continue
    fi
    if [ -n "$anchor" ]; then
      if [ ! -f "$path" ] || ! anchors "$path" | grep -qxF -- "$anchor"; then
        fault "$page: link to $target: no heading #$anchor in $path"
      fi
    fi
  done < <(links "$page")
done

# Every page of docs/ is linked from the README.
readme_links="$(links README.md | sed 's/#.*//')"
for page in docs/*.md; do
  grep -qxF -- "$page" <<<"$readme_links" || fault "README.md: no link to $page"
done

# The README's example is the example's program.
example="$(awk '/^```cpp$/ { inside = 1; next } inside && /^```$/ { exit } inside' README.md)"
program="$(sed -n '/^#include/,$p' examples/embed/main.cpp)"
[ "$example" = "$program" ] ||
  fault "README.md: its first cpp block differs from examples/embed/main.cpp (from its first #include on)"

if [ "$faults" -gt 0 ]; then
  echo "$faults fault(s) in the documents"
  exit 1
fi
echo "documents: ${#pages[@]} pages checked"
