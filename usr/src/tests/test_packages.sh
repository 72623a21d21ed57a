#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# test_packages.sh DIST: installs the two packages built in DIST with dpkg,
# checks the installed game and service files, then purges them and checks
# that nothing is left. Needs root, and machines where nothing else uses
# /usr/games/varkel*: the caller decides (CI sets VARKEL_TEST_DPKG=1).
set -euo pipefail
dist=$1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
for package in varkel varkel-server; do
  if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q installed; then
    echo "test_packages: $package is installed already; leaving this machine alone"
    exit 1
  fi
done
work=$(mktemp -d)
purge() {
  dpkg --purge varkel varkel-server >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap purge EXIT

dpkg -i "$dist"/varkel_*.deb "$dist"/varkel-server_*.deb
# From here every check runs and reports.
set +e
files=$(dpkg -L varkel varkel-server | sort -u)
out=$(/usr/games/varkel --version) || fail "varkel --version"
release=$(sed -n 's/^#define WIRE_VERSION \([0-9]*\)$/\1/p' "$(dirname "$0")/../common/varkel_wire.h")
[ "${out%%$'\n'*}" = "Varkel version $release" ] || fail "varkel --version said $out"
# The installed client finds the pictures and the DejaVu font through the
# package's link: started by the launcher, it runs until stopped.
HOME=$work SDL_VIDEODRIVER=dummy /usr/games/varkel >"$work/out" 2>&1 &
client=$!
sleep 3
if kill -0 "$client" 2>/dev/null; then
  kill "$client"
  wait "$client" 2>/dev/null || true
else
  fail "the installed client ended at start: $(cat "$work/out")"
fi
log=$work/.local/state/varkel/1/var/log/varkel/varkel_client.log
[ -e "$log" ] && [ ! -s "$log" ] || fail "the client's log is missing or holds failures"
out=$(systemd-analyze verify --recursive-errors=no --man=no /usr/lib/systemd/system/varkel-server.service 2>&1) &&
  [ -z "$out" ] || fail "systemd-analyze verify: $out"
man -w varkel_server >/dev/null 2>&1 || fail "man varkel_server is not found"
# The installed server makes a world and the installed tool reads it.
/usr/games/varkel_server --port 0 --listen 127.0.0.1 --db "$work/world/varkel.db" 2>"$work/server.log" &
server=$!
for _ in $(seq 100); do grep -q "listening on" "$work/server.log" && break; sleep 0.1; done
/usr/games/varkel_admin --db "$work/world/varkel.db" list >/dev/null ||
  fail "the installed varkel_admin cannot list the installed server's world: $(cat "$work/server.log")"
kill "$server"
wait "$server" || fail "the installed server did not stop cleanly on SIGTERM"

dpkg --purge varkel varkel-server
left=$(while read -r path; do
  if [ ! -d "$path" ] && { [ -e "$path" ] || [ -L "$path" ]; }; then echo "$path"; fi
done <<<"$files")
[ -z "$left" ] || fail "left after purge: $left"
if [ $failures -ne 0 ]; then
  echo "$failures package checks failed"
  exit 1
fi
echo "the packages install, work and purge cleanly"
