#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Players under floods: 20 players from 127.0.1.1 wake and play (100
# conversations a second together) while attackers, from 127.0.0.2 and
# beyond or named by PROXY headers, hold idle connections, guess a
# player's password or spray guesses over other characters', wake a valid
# character on every connection, create characters or open and close
# connections; then the same players over TLS while attackers hold half-sent ClientHellos or
# replay whole ones, with the server's memory before, at the end and
# --settle S seconds after (default 60); there the attacker is a process
# of its own.
# Each run gets a fresh server on a free port and a fresh database; the
# server's log lines are counted after it stops. Run after a build (a
# release build for figures worth keeping).
#
#   scripts/bench-floods.sh [--bin DIR] [--server PATH] [--seconds S] [--settle S]
#                           [--only TEXT]
#
# --only runs the floods whose name holds TEXT.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bin="$root/usr/bin"
server=""
seconds=10
settle=60
only=""
while [ $# -gt 0 ]; do
  case "$1" in
    --bin) bin="$2"; shift 2 ;;
    --server) server="$2"; shift 2 ;;
    --seconds) seconds="$2"; shift 2 ;;
    --settle) settle="$2"; shift 2 ;;
    --only) only="$2"; shift 2 ;;
    *) echo "usage: $0 [--bin DIR] [--server PATH] [--seconds S] [--settle S] [--only TEXT]" >&2
       exit 2 ;;
  esac
done
server="${server:-$bin/varkel_server}"
work="$(mktemp -d /tmp/varkel-floods.XXXXXX)"
server_pid=""
log=""
starts=0
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# Sets server_pid, port and log. Each start writes a log of its own, so
# that the port is never read from the one before, nor from a log not yet
# made.
start_server() {  # server options
  starts=$((starts + 1))
  log="$work/server.$starts.log"
  "$server" --port 0 --listen 127.0.0.1 --db "$work/varkel.db" "$@" 2> "$log" &
  server_pid=$!
  port=""
  # Every port is listed by the time the database line is written.
  for _ in $(seq 100); do
    if grep -q '^varkel_server: database ' "$log" 2>/dev/null; then
      port="$(sed -n 's/.*listening on 127.0.0.1 port \([0-9]*\).*/\1/p' "$log")"
    fi
    [ -n "$port" ] && break
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  if [ -z "$port" ]; then cat "$log" >&2; exit 1; fi
}

stop_server() {
  kill -TERM "$server_pid"
  wait "$server_pid" || true
  server_pid=""
}

# The server's resident memory in kB.
rss() {
  sed -n 's/^VmRSS:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$server_pid/status"
}

players=(--players 20 --rate 100 --prefix flood)

# A fresh database whose players' accounts were made by another server: the
# next one has not seen their passwords, so that each player's first
# waking pays the slow check. The characters a spray guesses at (NAMES)
# are made with the players'.
make_accounts() {  # names
  rm -f "$work"/varkel.db*
  start_server --creations-per-hour 1000 --prefix-creations-per-hour 1000
  if ! "$bin/varkel_bench" --port "$port" "${players[@]}" --seconds 0.1 --flood none \
      --flood-names "${1:-0}" > "$work/warm-up.txt" 2>&1; then
    cat "$work/warm-up.txt" "$log" >&2
    exit 1
  fi
  stop_server
}

# A run's arguments (name, server options, "--", then the flood options)
# into name, options and flood; 1 when --only leaves the run out.
take_run() {
  name="$1"; shift
  case "$name" in *"$only"*) ;; *) return 1 ;; esac
  options=()
  while [ "$1" != "--" ]; do options+=("$1"); shift; done
  shift
  flood=("$@")
}

run() {  # name, server options, "--", then the flood options
  take_run "$@" || return 0
  local names=0 previous=""
  for option in "${flood[@]}"; do
    if [ "$previous" = --flood-names ]; then names="$option"; fi
    previous="$option"
  done
  make_accounts "$names"
  start_server "${options[@]}"
  echo "== $name"
  "$bin/varkel_bench" --port "$port" "${players[@]}" --seconds "$seconds" \
    --server-pid "$server_pid" "${flood[@]}" || true
  stop_server
  echo "server log: $(wc -l < "$log") lines, $(grep -c ' 127\.0\.0\.2 ' "$log" || true) naming" \
    "127.0.0.2; $(grep -h 'slow password checks' "$log" || true)"
}

# The same over TLS, the players' /24 (and 127.0.0.1, where their accounts are
# first identified) allowed as many conversations as an
# office behind one address would be; the server's memory is read before
# the flood, at its end and once it has settled.
run_tls() {  # name, server options, "--", then the flood options
  take_run "$@" || return 0
  if [ ! -f "$work/tls/server.pem" ]; then
    sh "$root/usr/src/dist/varkel-certificate.sh" --dir "$work/tls" 127.0.0.1 > /dev/null
  fi
  export VARKEL_CA_FILE="$work/tls/authority.pem"
  make_accounts
  start_server --tls-port 0 --tls-cert "$work/tls/server.pem" --tls-key "$work/tls/server.key" \
    --prefix-cap 127.0.1.0/24=4000 --prefix-cap 127.0.0.1/32=4000 "${options[@]}"
  local tls_port
  tls_port="$(sed -n 's/.*listening on 127.0.0.1 TLS port \([0-9]*\).*/\1/p' "$log")"
  echo "== $name"
  local before after attacker=""
  before="$(rss)"
  # The attacker runs apart, at the lowest priority, as from other
  # machines: on two cores its own work would otherwise be what the
  # players wait for.
  if [ "${flood[*]}" != "--flood none" ]; then
    nice -n 19 "$bin/varkel_bench" --port "$tls_port" --tls --players 1 --rate 1 \
      --prefix attack --seconds "$((seconds + 2))" "${flood[@]}" > "$work/attacker.txt" 2>&1 &
    attacker=$!
    sleep 1
  fi
  "$bin/varkel_bench" --port "$tls_port" --tls "${players[@]}" --seconds "$seconds" \
    --server-pid "$server_pid" --flood none || true
  if [ -n "$attacker" ]; then
    wait "$attacker" || true
    grep '^flood' "$work/attacker.txt" || cat "$work/attacker.txt"
  fi
  after="$(rss)"
  sleep "$settle"
  echo "server memory: $((before / 1024)) MB before, $((after / 1024)) MB at the end," \
    "$(($(rss) / 1024)) MB $settle s after"
  stop_server
  echo "server log: $(wc -l < "$log") lines; $(grep -h 'TLS handshakes\? refused' "$log" | tail -1)"
}

run "no flood" -- --flood none
run "idle flood, one address" -- --flood idle
run "guessing flood, one address" -- --flood guess
run "idle flood, 41 addresses x 32 in one /24, cap 1300" --max-conversations 1300 -- \
  --flood idle --flood-addresses 41 --flood-connections 1312
run "idle flood, 41 addresses x 32 each in a /24 of its own, cap 1300" \
  --max-conversations 1300 --proxy-from 127.0.0.2 -- \
  --flood idle --flood-addresses 41 --flood-as 10.0.0.1 --flood-connections 1312
run "idle flood, 256 /64s of one /56 x 32" --proxy-from 127.0.0.2 -- \
  --flood idle --flood-addresses 256 --flood-as 2001:db8:0:100:: --flood-connections 8192
run "creations from 41 addresses" -- --flood create --flood-addresses 41 --flood-connections 100
run "reconnect storm, one address" -- --flood storm --flood-connections 100
run "guessing one name from 40 addresses" -- \
  --flood guess --flood-addresses 40 --flood-connections 100
run "guesses sprayed over 30 names from 4096 /64s of one /48" --proxy-from 127.0.0.2 -- \
  --flood guess --flood-addresses 4096 --flood-as 2001:db8:7:: --flood-names 30
# Its own length: the log's figure is for 20 s.
run "one valid character waking on 32 connections, 20 s" -- \
  --flood wake --flood-names 1 --flood-connections 32 --seconds 20
run_tls "TLS, no flood" -- --flood none
run_tls "TLS, 4000 ClientHellos held half-sent from 160 networks" \
  --max-conversations 4100 --proxy-from 127.0.0.2 -- \
  --flood tls-hold --flood-addresses 160 --flood-as 10.0.0.1 --flood-connections 4000
run_tls "TLS, whole handshakes replayed from 64 networks" --proxy-from 127.0.0.2 -- \
  --flood tls-hello --flood-addresses 64 --flood-as 10.1.0.1 --flood-connections 256 \
  --flood-pause-ms 50
