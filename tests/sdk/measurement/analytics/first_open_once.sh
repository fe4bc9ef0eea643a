#!/usr/bin/env bash
# Starts <processes> hosts of one app at once, <rounds> times, each round on a new data folder:
# each logs <events> events and ends, in an install a search-ad campaign brought. Every host must
# exit with 0, the store must hold every host's events, the first-open event "_f" once and the
# install's campaign "_cmp" once.
#
#   first_open_once.sh <host executable> <bundle folder> [rounds] [processes] [events]
set -u
host="$1"
bundle="$2"
rounds="${3:-5}"
processes="${4:-4}"
events="${5:-100}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

failed=0
for round in $(seq 1 "$rounds"); do
  rm -rf "$work/app" "$work/device" "$work"/out-*
  export VESMORA_MAIN_BUNDLE="$bundle" VESMORA_SANDBOX_ROOT="$work/app" VESMORA_DEVICE_ROOT="$work/device"
  pids=()
  # The bound only tells a hang from a busy machine.
  for p in $(seq 1 "$processes"); do
    timeout -k 5 120 "$host" log-campaign "$events" >"$work/out-$p" 2>&1 &
    pids+=("$!")
  done
  statuses=""
  for pid in "${pids[@]}"; do
    wait "$pid"
    statuses="$statuses $?"
  done
  stored="$(timeout -k 5 60 "$host" count 2>>"$work/out-1")"
  firstOpens="$(timeout -k 5 60 "$host" count _f 2>>"$work/out-1")"
  campaigns="$(timeout -k 5 60 "$host" count _cmp 2>>"$work/out-1")"
  if [ "$statuses" != "$(printf ' 0%.0s' $(seq 1 "$processes"))" ] || [ "$stored" != "$((processes * events))" ] ||
    [ "$firstOpens" != 1 ] || [ "$campaigns" != 1 ]; then
    failed=$((failed + 1))
    echo "round $round: exit statuses$statuses, ${stored:-none} of $((processes * events)) events stored," \
      "first opens ${firstOpens:-none}, campaigns ${campaigns:-none}"
    tail -n 20 "$work"/out-*
  fi
done
echo "$failed of $rounds rounds failed"
[ "$failed" -eq 0 ]
