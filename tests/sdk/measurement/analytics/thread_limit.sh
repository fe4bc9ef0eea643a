#!/usr/bin/env bash
# The app's end with no thread to be had: the host runs as user nobody (when started as root)
# at a limit of one process, logs <events> events and waits for them at most <seconds>. The
# wait must end by itself, answering false. Exit status 77 (skipped) when the limit cannot be set.
#
#   thread_limit.sh <host executable> <bundle folder> [events] [seconds]
set -u
host="$1"
bundle="$2"
events="${3:-3}"
seconds="${4:-0.5}"
# The host's folders lie where user nobody can reach them: in the temporary folder, or in /tmp
# when that one is private (0700, as a per-user runtime folder is).
parent="${TMPDIR:-/tmp}"
reachable() { [ "$(id -u)" -ne 0 ] || setpriv --reuid=65534 --regid=65534 --clear-groups test -x "$1"; }
if ! reachable "$parent"; then parent=/tmp; fi
if ! reachable "$parent"; then
  echo "skipped: user nobody can reach neither the temporary folder (${TMPDIR:-/tmp}) nor /tmp"
  exit 77
fi
work="$(mktemp -d "$parent/thread-limit-XXXXXX")"
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
cp -r "$bundle" "$work/bundle"
mkdir "$work/app" "$work/device"
if [ "$(id -u)" -eq 0 ]; then chown 65534 "$work/app" "$work/device"; fi
export VESMORA_MAIN_BUNDLE="$work/bundle" VESMORA_SANDBOX_ROOT="$work/app" VESMORA_DEVICE_ROOT="$work/device"
export HOME="$work"
# Nothing of the sanitizers may want a thread at exit.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
timeout -k 5 60 "$host" thread-limit "$events" "$seconds" >"$work/out" 2>&1
status=$?
cat "$work/out" | tail -n 20
if [ "$status" -eq 77 ]; then
  echo "skipped: $(tail -n 1 "$work/out")"
  exit 77
fi
if [ "$status" -ne 0 ] || ! grep -qx "answer false" "$work/out"; then
  echo "the wait did not end by itself answering false (exit status $status)"
  exit 1
fi
echo "the wait ended after its ${seconds} s, answering false"
