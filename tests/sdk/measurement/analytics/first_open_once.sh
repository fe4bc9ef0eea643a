#!/usr/bin/env bash
# Starts <processes> hosts of one app at once, <rounds> times, each round on a new data folder:
# each logs <events> events and ends, in an install a search-ad campaign brought. Every host must
# exit with 0, the store must hold every host's events, the first-open event "_f" once and the
# install's campaign "_cmp" once.
# With "update", each round first runs one host of the bundle's version, which logs <events>
# events, and the hosts started at once are of the same bundle with a new version: the store
# must hold every host's events and the app update "_au" once.
# A host whose end ran out of time (exit status 3) must have said so with the bound waited and
# counted what it did not store: the round is then run again (never more than <rounds> times in
# all), and may have lost those events but never stored one twice.
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

# The events a host's end said it did not store (not yet stored and calls not handled), when its
# warning says it waited the whole bound of the app's end with no event failed; else nothing.
endRanOut() {
  sed -n 's/.*Events failed, events not yet stored, calls not handled, seconds waited: 0, \([0-9]*\), \([0-9]*\), 5$/\1 \2/p' "$1" |
    awk 'NR == 1 { print $1 + $2 }'
}

failed=0
again=0
round=0
while [ "$round" -lt "$rounds" ]; do
  round=$((round + 1))
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
  # Ends that ran out on a busy machine: what they said they left is what may be missing, and
  # nothing is stored twice; the round is run again while the rounds run again stay fewer than
  # those asked for.
  unstored=0
  ranOut=0
  p=0
  for status in $statuses; do
    p=$((p + 1))
    [ "$status" -eq 3 ] || continue
    left="$(endRanOut "$work/out-$p")"
    if [ -z "$left" ]; then
      ranOut=-1
      break
    fi
    ranOut=$((ranOut + 1))
    unstored=$((unstored + left))
  done
  others="$(for status in $statuses; do [ "$status" -eq 0 ] || [ "$status" -eq 3 ] || echo "$status"; done)"
  if [ "$ranOut" -gt 0 ] && [ "$again" -lt "$rounds" ] && [ -z "$others" ] &&
    [ -n "$stored" ] && [ "$stored" -le "$expected" ] && [ "$stored" -ge $((expected - unstored)) ] &&
    [ "${once:-0}" -le 1 ] && [ "${firstOpens:-0}" -le 1 ] && [ "${campaigns:-0}" -le 1 ]; then
    again=$((again + 1))
    round=$((round - 1))
    echo "round $((round + 1)) run again: $ranOut ends ran out of time, $unstored events said not stored, ${stored} of $expected stored, $what"
    continue
  fi
  if [ "$ranOut" -ne 0 ] || [ "$statuses" != "$(printf ' 0%.0s' $(seq 1 "$processes"))" ] ||
    [ "$stored" != "$expected" ] || [ "$once" != 1 ]; then
    failed=$((failed + 1))
    echo "round $round: exit statuses$statuses, ${stored:-none} of $expected events stored, $what"
    tail -n 20 "$work"/out-*
  fi
done
echo "$failed of $rounds rounds failed ($again run again after ends that ran out of time)"
[ "$failed" -eq 0 ]
