#!/usr/bin/env bash
# Launches the busy host <runs> times in one app container (the first launch starts with an
# empty store, later ones find the data the earlier ones left), or with "fresh" each launch in a
# new one (app and device, so every launch starts as a first install); every launch must exit
# with 0, and not hang (a launch takes a second or two; the bound of 120 seconds, beyond the host's own
# waits, only tells a hang from a busy machine). EXIT_HOST_LAUNCH tells the host its launch number (1, 2, ...).
#
#   exit_while_busy.sh <host executable> [runs] [fresh]
set -u
host="$1"
runs="${2:-20}"
fresh="${3:-}"
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
  container="$work"
  if [ "$fresh" = fresh ]; then container="$work/launch-$run"; fi
  EXIT_HOST_LAUNCH="$run" VESMORA_MAIN_BUNDLE="$bundle" VESMORA_SANDBOX_ROOT="$container/app" \
    VESMORA_DEVICE_ROOT="$container/device" timeout -k 5 120 "$host" >"$work/out" 2>&1
  status=$?
  if [ "$status" -ne 0 ]; then
    failed=$((failed + 1))
    echo "launch $run: exit status $status"
    tail -n 60 "$work/out"
    # A launch that hung: another would only cost the bound again.
    if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then break; fi
  fi
done
echo "$failed of $runs launches failed"
[ "$failed" -eq 0 ]
