#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds what is missing, starts the game server (unless one already answers
# on the port) and the client in a window; stops the server it started when
# the client ends. Arguments go to the client (for instance --fullscreen).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
port="${VARKEL_PORT:-9999}"
"$root/scripts/install-deps.sh"

build="$root/build-play"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARKEL_TESTS=OFF \
  -DVARKEL_SERVER_PORT="$port" > /dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target varkel_client varkel_server

answers() { (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; }

mkdir -p "$root/var/log/varkel" "$root/var/lib/varkel" "$root/tmp"
server_pid=""
if answers; then
  echo "A server already answers on port $port: playing against it."
else
  "$root/usr/bin/varkel_server" --port "$port" 2>>"$root/var/log/varkel/varkel_server.log" &
  server_pid=$!
  trap 'kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null || true' EXIT
  for _ in $(seq 1 50); do answers && break; sleep 0.1; done
  answers || { echo "The server did not start: see var/log/varkel/varkel_server.log"; exit 1; }
fi

# The client finds its pictures, font, data and log from usr/bin/.
cd "$root/usr/bin"
status=0
./varkel_client "$@" || status=$?
# Closing the window or the quit control ends the client with status 1.
[ "$status" -le 1 ] || exit "$status"
