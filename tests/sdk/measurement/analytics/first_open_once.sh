#!/usr/bin/env bash
# Starts <processes> hosts of one app at once, <rounds> times, each round on a new data folder:
# each logs <events> events and ends, in an install a search-ad campaign brought. Every host must
# exit with 0, the store must hold every host's events, the first-open event "_f" once and the
# install's campaign "_cmp" once.
# With "update", each round first runs one host of the bundle's version, which logs <events>
# events, and the hosts started at once are of the same bundle with a new version: the store
# must hold every host's events and the app update "_au" once.
#
#   first_open_once.sh <host executable> <bundle folder> [rounds] [processes] [events] [update]
set -u
host="$1"
bundle="$2"
rounds="${3:-5}"
processes="${4:-4}"
events="${5:-100}"
update="${6:-}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

if [ -n "$update" ]; then
  # The same app with a new version.
  cp -R "$bundle" "$work/updated.app"
  sed -i 's|<string>1\.0</string>|<string>2.0</string>|' "$work/updated.app/Info.plist"
  if ! grep -q '<string>2.0</string>' "$work/updated.app/Info.plist"; then
    echo "the bundle's version was not found in $bundle/Info.plist"
    exit 1
  fi
fi

failed=0
for round in $(seq 1 "$rounds"); do
  rm -rf "$work/app" "$work/device" "$work"/out-*
  export VESMORA_MAIN_BUNDLE="$bundle" VESMORA_SANDBOX_ROOT="$work/app" VESMORA_DEVICE_ROOT="$work/device"
  mode=log-campaign
  expected=$((processes * events))
  if [ -n "$update" ]; then
    # The bound only tells a hang from a busy machine.
    if ! timeout -k 5 120 "$host" log "$events" >"$work/out-0" 2>&1; then
      failed=$((failed + 1))
      echo "round $round: the first version's host failed"
      tail -n 20 "$work/out-0"
      continue
    fi
    export VESMORA_MAIN_BUNDLE="$work/updated.app"
    mode=log
    expected=$((expected + events))
  fi
  pids=()
  # The bound only tells a hang from a busy machine.
  for p in $(seq 1 "$processes"); do
    timeout -k 5 120 "$host" "$mode" "$events" >"$work/out-$p" 2>&1 &
    pids+=("$!")
  done
  statuses=""
  for pid in "${pids[@]}"; do
    wait "$pid"
    statuses="$statuses $?"
  done
  stored="$(timeout -k 5 60 "$host" count 2>>"$work/out-1")"
  if [ -n "$update" ]; then
    once="$(timeout -k 5 60 "$host" count _au 2>>"$work/out-1")"
    what="app updates ${once:-none}"
  else
    firstOpens="$(timeout -k 5 60 "$host" count _f 2>>"$work/out-1")"
    campaigns="$(timeout -k 5 60 "$host" count _cmp 2>>"$work/out-1")"
    once="$([ "$firstOpens" = 1 ] && [ "$campaigns" = 1 ] && echo 1)"
    what="first opens ${firstOpens:-none}, campaigns ${campaigns:-none}"
  fi
  if [ "$statuses" != "$(printf ' 0%.0s' $(seq 1 "$processes"))" ] || [ "$stored" != "$expected" ] ||
    [ "$once" != 1 ]; then
    failed=$((failed + 1))
    echo "round $round: exit statuses$statuses, ${stored:-none} of $expected events stored, $what"
    tail -n 20 "$work"/out-*
  fi
done
echo "$failed of $rounds rounds failed"
[ "$failed" -eq 0 ]
