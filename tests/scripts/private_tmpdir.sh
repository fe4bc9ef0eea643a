#!/usr/bin/env bash
# Tests that run part of their work as another user, run as root with TMPDIR a folder only root
# may enter (0700, as a per-user runtime folder is): each passes (or skips, saying why) and leaves
# nothing in it. Each argument is one test's command line. Exit status 77 (skipped) when not root.
#
#   private_tmpdir.sh <command>...
set -u
if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: only root can act as another user"
  exit 77
fi
private="$(mktemp -d)"
trap 'rm -rf "$private"' EXIT
chmod 700 "$private"
status=0
for command in "$@"; do
  TMPDIR="$private" bash -c "$command"
  code=$?
  if [ "$code" -ne 0 ] && [ "$code" -ne 77 ]; then
    echo "failed with a private TMPDIR (exit status $code): $command"
    status=1
  fi
done
left="$(find "$private" -mindepth 1 -maxdepth 1)"
if [ -n "$left" ]; then
  echo "left in the private TMPDIR:"
  echo "$left"
  status=1
fi
exit "$status"
