#!/usr/bin/env bash
# The app's end on a small file system of its own (a 2 MiB tmpfs in a private mount namespace) whose
# store fails: full before the events are logged (with and without every event handled before
# the end), full at the end, too full for the store's first open, read-only from the launch, and
# the store file removed. Each case
# must answer true only when every event it logged is stored, and its warning must count every
# event not stored. Prints each case's answer and counts. Exit status 77 (skipped) when no file
# system can be mounted here.
#
#   end_on_small_disk.sh <host executable> <bundle folder> [events]
set -u
host="$1"
bundle="$2"
events="${3:-200}"
SMALL_DISK_SIZE=2m source "$(dirname "$0")/../../../support/small_disk.sh"
export VESMORA_MAIN_BUNDLE="$bundle" VESMORA_SANDBOX_ROOT="$disk/app" VESMORA_DEVICE_ROOT="$disk/device"
# A run takes about a second; its bound (beyond the host's own waits of a minute) only tells a
# hang from a busy machine.

failed=0
printf '%-18s %-6s %7s %7s %7s %9s %6s %7s\n' case answer logged stored failed "not yet" calls warned
# run <case> [mount options before the launch]
run() {
  local name="$1"
  rm -rf "$disk/app" "$disk/device" "$disk/filler"
  if [ -n "${2:-}" ]; then
    # Its store made: the app's end's own few seconds would make that depend on the machine's speed.
    if ! timeout -k 5 90 "$host" case launch 0 >"$work/first" 2>&1; then
      echo "$name: the first launch failed"
      cat "$work/first"
      failed=$((failed + 1))
      return
    fi
    mount -o "remount,$2" "$disk"
  fi
  timeout -k 5 90 "$host" case "$name" "$events" "$disk/filler" >"$work/out" 2>&1
  local status=$?
  mount -o remount,rw "$disk"
  rm -f "$disk/filler"
  local stored answer counts
  stored="$(timeout -k 5 90 "$host" count 2>>"$work/out")"
  answer="$(sed -n 's/^answer //p' "$work/out")"
  # Events failed, events not yet stored, calls not handled, seconds waited.
  counts="$(sed -n 's/.*seconds waited: \([0-9]*\), \([0-9]*\), \([0-9]*\), .*/\1 \2 \3/p' "$work/out" | tail -n 1)"
  read -r lost left calls <<<"${counts:-0 0 0}"
  local warned=$((lost + left + calls))
  printf '%-18s %-6s %7s %7s %7s %9s %6s %7s\n' "$name" "${answer:-none}" "$events" "${stored:-none}" "$lost" "$left" "$calls" "$warned"
  local sound=1
  if [ "$status" -ne 0 ] || [ -z "$answer" ] || [ -z "$stored" ]; then sound=0; fi
  # True exactly when all is stored; false with every event not stored counted.
  if [ "$answer" = true ] && { [ "$stored" != "$events" ] || [ "$warned" -ne 0 ]; }; then sound=0; fi
  if [ "$answer" = false ] && [ "$warned" -ne $((events - stored)) ]; then sound=0; fi
  # Where the store fails from before the first event, nothing is stored.
  if [ "$name" != full-at-end ] && [ "$stored" != 0 ]; then sound=0; fi
  if [ "$sound" -ne 1 ]; then
    failed=$((failed + 1))
    echo "$name: exit status $status"
    tail -n 30 "$work/out"
  fi
}
run full-before
run full-before-pause
run full-at-end
run full-first-launch
run plain ro
run removed
echo "$failed of 6 cases failed"
[ "$failed" -eq 0 ]
