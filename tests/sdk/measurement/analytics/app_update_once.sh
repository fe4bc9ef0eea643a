#!/usr/bin/env bash
# Updates the app under processes started at once, <rounds> times, each round on a new data folder:
# one host of the bundle's version logs <events> events and ends, then <processes> hosts of the
# bundle with a new version start at once, each logs <events> events and ends. Every host must
# exit with 0, the store must hold every host's events, and the app update "_au" once.
#
#   app_update_once.sh <host executable> <bundle folder> [rounds] [processes] [events]
set -u
host="$1"
bundle="$2"
rounds="${3:-5}"
processes="${4:-4}"
events="${5:-20}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# The same app with a new version.
cp -R "$bundle" "$work/updated.app"
sed -i 's|<string>1\.0</string>|<string>2.0</string>|' "$work/updated.app/Info.plist"
if ! grep -q '<string>2.0</string>' "$work/updated.app/Info.plist"; then
  echo "the bundle's version was not found in $bundle/Info.plist"
  exit 1
fi

failed=0
for round in $(seq 1 "$rounds"); do
  rm -rf "$work/app" "$work/device" "$work"/out-*
  export VESMORA_SANDBOX_ROOT="$work/app" VESMORA_DEVICE_ROOT="$work/device"
  # The bound only tells a hang from a busy machine.
  if ! VESMORA_MAIN_BUNDLE="$bundle" timeout -k 5 120 "$host" log "$events" >"$work/out-0" 2>&1; then
    failed=$((failed + 1))
    echo "round $round: the first version's host failed"
    tail -n 20 "$work/out-0"
    continue
  fi
  export VESMORA_MAIN_BUNDLE="$work/updated.app"
  pids=()
  for p in $(seq 1 "$processes"); do
    timeout -k 5 120 "$host" log "$events" >"$work/out-$p" 2>&1 &
    pids+=("$!")
  done
  statuses=""
  for pid in "${pids[@]}"; do
    wait "$pid"
    statuses="$statuses $?"
  done
  stored="$(timeout -k 5 60 "$host" count 2>>"$work/out-1")"
  updates="$(timeout -k 5 60 "$host" count _au 2>>"$work/out-1")"
  if [ "$statuses" != "$(printf ' 0%.0s' $(seq 1 "$processes"))" ] ||
    [ "$stored" != "$(((processes + 1) * events))" ] || [ "$updates" != 1 ]; then
    failed=$((failed + 1))
    echo "round $round: exit statuses$statuses, ${stored:-none} of $(((processes + 1) * events)) events stored," \
      "app updates ${updates:-none}"
    tail -n 20 "$work"/out-*
  fi
done
echo "$failed of $rounds rounds failed"
[ "$failed" -eq 0 ]
