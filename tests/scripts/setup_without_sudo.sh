#!/usr/bin/env bash
# scripts/setup.sh run by a user who is not root on a machine without sudo, with a package
# missing: it names the missing packages and how to install them, and fails without trying sudo.
# Stand-ins for `id` (a normal user) and `dpkg-query` (every package installed but the one named
# in MISSING) come first on a PATH that holds no sudo.
set -u
setup="$1"
fake="$(mktemp -d)"
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

failed=0
check() {
  if ! printf '%s' "$output" | grep -q -F -- "$1"; then
    echo "FAIL: the output lacks \"$1\"" >&2
    failed=1
  fi
}

output="$(MISSING=libplist-dev PATH="$fake" "$BASH" "$setup" 2>&1)"
status=$?
echo "$output"
if [ "$status" -eq 0 ]; then
  echo "FAIL: setup.sh succeeded with a package missing" >&2
  failed=1
fi
check "missing Debian packages: libplist-dev"
check "apt-get install --no-install-recommends libplist-dev"
if printf '%s' "$output" | grep -q "command not found"; then
  echo "FAIL: setup.sh ran a command that is not there" >&2
  failed=1
fi

# With everything installed it has nothing to do, root or not.
output="$(MISSING=none PATH="$fake" "$BASH" "$setup" 2>&1)"
status=$?
echo "$output"
if [ "$status" -ne 0 ]; then
  echo "FAIL: setup.sh failed with every package installed" >&2
  failed=1
fi
check "packages present"
exit "$failed"
