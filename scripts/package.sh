#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the two Debian packages, varkel and varkel-server, into dist/, from
# a release build with Debian's hardening flags, and checks them with lintian.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"

build="$root/build-package"
dist="$root/dist"
# A fresh build: CMake takes the flags below only when it first configures.
rm -rf "$build"
export DEB_BUILD_MAINT_OPTIONS="hardening=+all"
eval "$(dpkg-buildflags --export=sh)"
# CMake reads CXXFLAGS and LDFLAGS; the fortify define lives in CPPFLAGS.
export CXXFLAGS="$CXXFLAGS $CPPFLAGS"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVARKEL_TESTS=OFF \
  -DCMAKE_INSTALL_PREFIX=/usr -DVARKEL_BIN_DIR="$build/bin" \
  -DVARKEL_SHARE_DIR="$build/share/varkel" > "$build.configure.log" 2>&1 ||
  { cat "$build.configure.log"; exit 1; }
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)"
rm -rf "$dist"
(cd "$build" && cpack -B "$dist")
rm -rf "$dist/_CPack_Packages"

# Nothing in them may be writable by others (links aside).
for deb in "$dist"/*.deb; do
  writable=$(dpkg-deb -c "$deb" | awk 'substr($1, 1, 1) != "l" && substr($1, 9, 1) == "w"')
  [ -z "$writable" ] || { echo "world-writable in $deb: $writable"; exit 1; }
done

# Errors and warnings fail the build; the informational tags are listed.
lintian --fail-on error,warning --display-info "$dist"/*.deb
ls -l "$dist"
