#!/usr/bin/env bash
# Runs the host once in a fresh app container: while its threads log, it forks <forks> children
# that log and end (FORK_WHILE_LOGGING_FORKS, when set, overrides the count for a full run).
#
#   fork_while_logging.sh <host executable> <bundle folder> [forks] [threads] [events per second, 0: without pause]
set -u
host="$1"
bundle="$2"
forks="${FORK_WHILE_LOGGING_FORKS:-${3:-100}}"
threads="${4:-4}"
rate="${5:-20}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

export VESMORA_MAIN_BUNDLE="$bundle" VESMORA_SANDBOX_ROOT="$work/app" VESMORA_DEVICE_ROOT="$work/device"
timeout -k 5 900 "$host" "$forks" "$threads" "$rate" 2>"$work/err"
status=$?
if [ "$status" -ne 0 ]; then
  echo "exit status $status"
  grep -v "I-COR000040\|I-ACS" "$work/err" | tail -n 40
fi
exit "$status"
