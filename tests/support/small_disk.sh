# Sourced (with no arguments) by a test script that runs on a small file system of its own: runs
# the script again in a private mount namespace, then mounts a tmpfs of SMALL_DISK_SIZE (say 8m)
# at "$disk" in a fresh temporary folder "$work"; both go when the script exits. Exit status 77
# (skipped), saying why, when no file system can be mounted here.
if [ "${SMALL_DISK_INSIDE:-}" != 1 ]; then
  if ! SMALL_DISK_INSIDE=1 unshare -m --propagation private true 2>/dev/null; then
    echo "skipped: no mount namespace of its own can be made here (root is needed)"
    exit 77
  fi
  SMALL_DISK_INSIDE=1 exec unshare -m --propagation private bash "$0" "$@"
fi
work="$(mktemp -d)"
disk="$work/disk"
mkdir "$disk"
if ! mount -t tmpfs -o "size=$SMALL_DISK_SIZE,mode=0700" tmpfs "$disk" 2>"$work/mount"; then
  echo "skipped: cannot mount a small file system: $(cat "$work/mount")"
  rm -rf "$work"
  exit 77
fi
trap 'umount "$disk" 2>/dev/null; rm -rf "$work"' EXIT
