#!/usr/bin/env bash
# Runs the exit-calls host each way, in a fresh app container each time: its late calls (a log
# line, a second app's configuration, an event and the app's end, from a static object's
# destructor or from an atexit handler, after main configured the SDK or also ended the app) must
# work: the host exits with 0, the late configuration raises nothing, the late end answers true,
# and the store holds main's 3 events and the late one.
#
#   exit_calls.sh <host executable> <bundle folder>
set -u
host="$1"
bundle="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

failed=0
for from in static atexit; do
  for done in configured ended; do
    rm -rf "$work/app" "$work/device"
    export VESMORA_MAIN_BUNDLE="$bundle" VESMORA_SANDBOX_ROOT="$work/app" VESMORA_DEVICE_ROOT="$work/device"
    # A launch takes about a second; the bound only tells a hang from a busy machine.
    timeout -k 5 60 "$host" "$from" "$done" >"$work/out" 2>&1
    status=$?
    stored="$(timeout -k 5 60 "$host" count 2>>"$work/out")"
    if [ "$status" -ne 0 ] || grep -q "late configure failed" "$work/out" || ! grep -qx "late answer true" "$work/out" ||
      [ "$stored" != "in_main 3 at_exit 1" ]; then
      failed=$((failed + 1))
      echo "$from after main $done: exit status $status, stored: ${stored:-nothing}"
      # A sanitizer's report from its start, else the end of the output.
      grep -m 1 -A 40 "ERROR: " "$work/out" || tail -n 40 "$work/out"
    fi
  done
done
echo "$failed of 4 ways failed"
[ "$failed" -eq 0 ]
