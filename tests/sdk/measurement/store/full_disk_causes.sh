#!/usr/bin/env bash
# Tests that write (the store's, the engine's over it, the core's and the diagnostics log's) run
# with their temporary folder on a small file system of their own (an 8 MiB tmpfs in a private
# mount namespace) left with 160, 144, 128, 48 and 0 KiB free. Many of them fail there; each that
# fails must name the cause in its output (SQLite's "database or disk is full", "No space left on
# device", or the free space left where it writes), none may crash, and none may leave anything
# behind. Exit status 77 (skipped) when no file system can be mounted here.
#
#   full_disk_causes.sh <test program> <GoogleTest filter> [<test program> <filter>]...
set -u
SMALL_DISK_SIZE=8m source "$(dirname "$0")/../../../support/small_disk.sh"

status=0
for free in 160 144 128 48 0; do
  rm -rf "$disk/tmp" "$disk/filler"
  mkdir "$disk/tmp"
  used="$(df -k --output=used "$disk" | tail -n 1)"
  fill=$((8192 - free - used))
  [ "$fill" -le 0 ] || head -c "$((fill * 1024))" /dev/zero >"$disk/filler" 2>/dev/null
  failed=0
  unnamed=0
  for ((i = 1; i < $#; i += 2)); do
    program="${!i}"
    j=$((i + 1))
    filter="${!j}"
    TMPDIR="$disk/tmp" "$program" --gtest_filter="$filter" >"$work/out" 2>&1
    code=$?
    # Each failed test's output, from "[ RUN ]" to its "[  FAILED  ]" line.
    result="$(awk '
      /^\[ RUN      \] / { name = $4; body = ""; next }
      name != "" && /^\[  FAILED  \] / && index($0, name " (") == 14 {
        ++failed
        if (body !~ /disk is full|No space left on device|KiB free on its file system/) { ++unnamed; print "no cause named: " name }
        name = ""; next
      }
      name != "" && (/^\[       OK \] / || /^\[  SKIPPED \] /) { name = ""; next }
      name != "" { body = body "\n" $0 }
      END {
        if (name != "") print "ended during " name
        print "counts", failed + 0, unnamed + 0
      }' "$work/out")"
    if [ "$code" -gt 1 ] || printf '%s\n' "$result" | grep -q "^ended during"; then
      echo "FAIL: $(basename "$program") ended with status $code with $free KiB free:"
      tail -n 30 "$work/out"
      status=1
    fi
    printf '%s\n' "$result" | grep -v "^counts" | sed "s/^/$free KiB free: /"
    read -r _ f u <<<"$(printf '%s\n' "$result" | grep "^counts")"
    failed=$((failed + f))
    unnamed=$((unnamed + u))
  done
  echo "$free KiB free: $failed tests failed, $unnamed of them without naming the cause"
  [ "$unnamed" -eq 0 ] || status=1
  left="$(find "$disk/tmp" -mindepth 1 -maxdepth 1)"
  if [ -n "$left" ]; then
    echo "FAIL: left in the temporary folder with $free KiB free: $left"
    status=1
  fi
done
exit "$status"
