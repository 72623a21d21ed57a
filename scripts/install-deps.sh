#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs, from Debian's packages, whatever the build, the game and the
# tests need and the machine lacks. Uses sudo only when not root.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  libsdl1.2-compat-dev libsdl-ttf2.0-dev libsdl-net1.2-dev libx11-dev fonts-dejavu-core
  libsqlite3-dev libsodium-dev libpq-dev postgresql libssl-dev openssl
  libgtest-dev xvfb xdotool iproute2 procps
  libpng-dev dpkg-dev fakeroot lintian desktop-file-utils appstream man-db systemd sqlite3
  clang libclang-rt-14-dev
  haproxy
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
