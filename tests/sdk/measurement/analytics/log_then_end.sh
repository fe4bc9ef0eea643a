#!/usr/bin/env bash
# Launches the host <runs> times with the app bundle <bundle>, each time in a fresh app
# container: it logs <events> events, says the app is ending and returns from main at once. Each
# launch must exit with 0 and leave every one of its events in the store.
#
#   log_then_end.sh <host executable> <bundle folder> [runs] [events]
set -u
host="$1"
bundle="$2"
runs="${3:-20}"
events="${4:-7}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

failed=0
for run in $(seq 1 "$runs"); do
  rm -rf "$work/app" "$work/device"
  export VESMORA_MAIN_BUNDLE="$bundle" VESMORA_SANDBOX_ROOT="$work/app" VESMORA_DEVICE_ROOT="$work/device"
  # A launch takes about a second; the bound only tells a hang from a busy machine.
  timeout -k 5 60 "$host" log "$events" >"$work/out" 2>&1
  status=$?
  stored="$(timeout -k 5 60 "$host" count 2>>"$work/out")"
  if [ "$status" -ne 0 ] || [ "$stored" != "$events" ]; then
    failed=$((failed + 1))
    echo "launch $run: exit status $status, ${stored:-none} of $events events stored"
    tail -n 40 "$work/out"
    # A launch that hung: another would only cost the bound again.
    if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then break; fi
  fi
done
echo "$failed of $runs launches failed"
[ "$failed" -eq 0 ]
