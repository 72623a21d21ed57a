#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Players under the two floods: 20 players from 127.0.1.1 wake and play
# (100 conversations a second together) while an attacker on 127.0.0.2
# holds 4,100 idle connections, or guesses the first player's password on
# 100 connections. Each run gets a fresh server on a free port and a fresh
# database; the server's log lines are counted after it stops. Run after a
# build (a release build for figures worth keeping).
#
#   scripts/bench-floods.sh [--bin DIR] [--server PATH] [--seconds S]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bin="$root/usr/bin"
server=""
seconds=10
while [ $# -gt 0 ]; do
  case "$1" in
    --bin) bin="$2"; shift 2 ;;
    --server) server="$2"; shift 2 ;;
    --seconds) seconds="$2"; shift 2 ;;
    *) echo "usage: $0 [--bin DIR] [--server PATH] [--seconds S]" >&2; exit 2 ;;
  esac
done
server="${server:-$bin/varkel_server}"
work="$(mktemp -d /tmp/varkel-floods.XXXXXX)"
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

start_server() {  # sets server_pid and port
  "$server" --port 0 --listen 127.0.0.1 --db "$work/varkel.db" 2> "$work/server.log" &
  server_pid=$!
  port=""
  for _ in $(seq 100); do
    port="$(sed -n 's/.*listening on 127.0.0.1 port \([0-9]*\).*/\1/p' "$work/server.log")"
    [ -n "$port" ] && break
    sleep 0.1
  done
  [ -n "$port" ] || { cat "$work/server.log"; exit 1; }
}

stop_server() {
  kill -TERM "$server_pid"
  wait "$server_pid" || true
  server_pid=""
}

run() {  # name, then the flood options
  local name="$1"; shift
  local players=(--players 20 --rate 100 --prefix flood)
  rm -f "$work"/varkel.db*
  # The accounts are made by one server; the next one has not seen their
  # passwords, so that each player's first waking pays the slow check.
  start_server
  "$bin/varkel_bench" --port "$port" "${players[@]}" --seconds 0.1 --flood none > /dev/null
  stop_server
  start_server
  echo "== $name"
  "$bin/varkel_bench" --port "$port" "${players[@]}" --seconds "$seconds" \
    --server-pid "$server_pid" "$@" || true
  stop_server
  echo "server log: $(wc -l < "$work/server.log") lines"
}

run "no flood" --flood none
run "idle flood" --flood idle
run "guessing flood" --flood guess
