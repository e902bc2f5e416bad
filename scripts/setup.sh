#!/usr/bin/env bash
# Installs every Debian package the project needs. Idempotent and
# non-interactive; run as root (or through sudo) on a fresh machine.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  libsqlite3-dev sqlite3
  libgtest-dev libgmock-dev libbenchmark-dev
  iproute2
  python3 python3-serial socat
  qt6-base-dev qt6-base-dev-tools xvfb xauth x11-utils xdotool
  clang libclang-rt-14-dev clang-format
  g++-mingw-w64-x86-64 mingw-w64-x86-64-dev
  wine wine64
  dpkg-dev fakeroot lintian file
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
