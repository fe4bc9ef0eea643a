#!/usr/bin/env bash
# Installs every Debian package the build and the tests need. Safe to run again: packages
# already installed are skipped, and nothing is fetched from anywhere but Debian's archive.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkgconf git tzdata
  libsqlite3-dev zlib1g-dev libssl-dev nettle-dev
  libnanopb-dev nanopb protobuf-compiler python3-protobuf
  libcpp-httplib-dev libcurl4-openssl-dev ca-certificates nlohmann-json3-dev
  libplist-dev libplist++-dev libicu-dev libhowardhinnant-date-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  valgrind
)
# Further packages a script needs only for itself (the fuzz build's clang) come as arguments.
PACKAGES+=("$@")

missing=()
for pkg in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$pkg")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all ${#PACKAGES[@]} packages present"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null 2>&1; then
    echo "setup: missing Debian packages: ${missing[*]}" >&2
    echo "setup: installing them needs root, and sudo is not installed; as root, run:" >&2
    echo "  apt-get update && apt-get install --no-install-recommends ${missing[*]}" >&2
    exit 1
  fi
  SUDO="sudo"
fi
echo "setup: installing ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
