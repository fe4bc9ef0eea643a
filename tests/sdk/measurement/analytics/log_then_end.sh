#!/usr/bin/env bash
# Launches the host <runs> times, each time in a fresh app container: it logs <events> events,
# says the app is ending and returns from main at once. Each launch must exit with 0 and leave
# every one of its events in the store.
#
#   log_then_end.sh <host executable> [runs] [events]
set -u
host="$1"
runs="${2:-20}"
events="${3:-7}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

bundle="$work/Host.app"
mkdir -p "$bundle"
cat >"$bundle/Info.plist" <<'PLIST'
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>CFBundleIdentifier</key><string>com.vesmora.banking</string>
  <key>CFBundleShortVersionString</key><string>1.0</string>
  <key>CFBundleVersion</key><string>1</string>
</dict>
</plist>
PLIST
cat >"$bundle/OmbrixService-Info.plist" <<'PLIST'
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>OMBRIX_APP_ID</key><string>1:123456789:ios:abc123</string>
  <key>BUNDLE_ID</key><string>com.vesmora.banking</string>
  <key>API_KEY</key><string>key-1</string>
  <key>WRQ_SENDER_ID</key><string>123456789</string>
</dict>
</plist>
PLIST

failed=0
for run in $(seq 1 "$runs"); do
  rm -rf "$work/app" "$work/device"
  export VESMORA_MAIN_BUNDLE="$bundle" VESMORA_SANDBOX_ROOT="$work/app" VESMORA_DEVICE_ROOT="$work/device"
  timeout -k 5 20 "$host" log "$events" >"$work/out" 2>&1
  status=$?
  stored="$(timeout -k 5 20 "$host" count 2>>"$work/out")"
  if [ "$status" -ne 0 ] || [ "$stored" != "$events" ]; then
    failed=$((failed + 1))
    echo "launch $run: exit status $status, $stored of $events events stored"
    tail -n 40 "$work/out"
  fi
done
echo "$failed of $runs launches failed"
[ "$failed" -eq 0 ]
