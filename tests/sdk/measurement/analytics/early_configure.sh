#!/usr/bin/env bash
# The early-configure host, whose global object configures the SDK before the SDK's own static
# initialisers have run: under the embedding example's collector its upload carries the global
# object's event and user property and it ends cleanly; against no collector it ends with
# everything stored: the global object's event after configure, main's 5, and the one its
# destructor logs after main returned, whose end of the app answers true.
#
#   early_configure.sh <host executable> <collector executable> <bundle folder>
set -u
host="$1"
collector="$2"
bundle="$3"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

failed=0
# The bound only tells a hang from a busy machine.
if ! timeout -k 5 300 "$collector" "$host" "$bundle" >"$work/out" 2>&1; then
  failed=1
  echo "under the collector:"
  tail -n 40 "$work/out"
fi

export VESMORA_MAIN_BUNDLE="$bundle" VESMORA_SANDBOX_ROOT="$work/app" VESMORA_DEVICE_ROOT="$work/device"
timeout -k 5 60 "$host" http://127.0.0.1:9 </dev/null >"$work/out" 2>&1
status=$?
stored="$(timeout -k 5 60 "$host" count 2>>"$work/out")"
if [ "$status" -ne 0 ] || [ "$stored" != "offer_viewed 1 in_main 5 at_exit 1" ] ||
  ! grep -qx "late answer true" "$work/out"; then
  failed=1
  echo "against no collector: exit status $status, stored: ${stored:-nothing}"
  tail -n 40 "$work/out"
fi
[ "$failed" -eq 0 ] && echo "early configure: PASS"
[ "$failed" -eq 0 ]
