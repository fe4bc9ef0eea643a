#!/usr/bin/env bash
# scripts/setup.sh run by a user who is not root on a machine without sudo, with a package
# missing: it names the missing packages and how to install them, and fails without trying sudo.
# Stand-ins for `id` (a normal user) and `dpkg-query` (every package installed but the one named
# in MISSING) come first on a PATH that holds no sudo. They are made in the folder given second
# (the build folder), since the temporary folder may be mounted noexec.
set -u
setup="$1"
fake="$(mktemp -d "$2/setup-stand-ins-XXXXXX")" || exit 1
trap 'rm -rf "$fake"' EXIT

cat >"$fake/id" <<'SCRIPT'
#!/bin/sh
echo 1000
SCRIPT
cat >"$fake/dpkg-query" <<'SCRIPT'
#!/bin/sh
for package; do :; done
[ "$package" = "$MISSING" ] || printf 'install ok installed'
SCRIPT
chmod +x "$fake/id" "$fake/dpkg-query"
ln -s "$(command -v grep)" "$fake/grep"
if ! out="$("$fake/id" 2>&1)"; then
  echo "skipped: the stand-ins in $fake cannot be run: $out"
  exit 77
fi

failed=0
fail() {
  echo "FAIL: $1" >&2
  failed=1
}
# Runs setup.sh with the package $1 missing ("none": every one installed); sets `output`.
run() {
  output="$(MISSING="$1" PATH="$fake" "$BASH" "$setup" 2>&1)"
  status=$?
  echo "$output"
}
contains() { printf '%s' "$output" | grep -q -F -- "$1"; }

run libplist-dev
[ "$status" -ne 0 ] || fail "setup.sh succeeded with a package missing"
contains "missing Debian packages: libplist-dev" || fail "the missing package is not named"
contains "apt-get install --no-install-recommends libplist-dev" || fail "the command to install it is not given"
! contains "command not found" || fail "setup.sh ran a command that is not there"

# With everything installed it has nothing to do, root or not.
run none
[ "$status" -eq 0 ] || fail "setup.sh failed with every package installed"
contains "packages present" || fail "setup.sh does not say that every package is present"
exit "$failed"
