#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The cost of the shared engine, measured in one run on this machine:
# varkel_bench against two servers on one PostgreSQL (half the players on
# each), then against one server on SQLite, for identifications and for
# whole listenings. Release build in build-release/.
#
#   scripts/bench-store.sh [seconds per measure] [players]
#
# VARKEL_BENCH_KEEP=1 keeps the folder with the servers' and PostgreSQL's logs.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-10}"
players="${2:-100}"
build="$root/build-release"
bin="$build/bin"

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVARKEL_TESTS=OFF \
  -DVARKEL_BIN_DIR="$bin" > "$build.configure.log" 2>&1 || { cat "$build.configure.log"; exit 1; }
cmake --build "$build" -j "$(nproc)" --target varkel_server varkel_bench > /dev/null

pg_bin="$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)"
work="$(mktemp -d /tmp/varkel_bench_XXXXXX)"
pids=()
pg_pid=""
finish() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  if [ -n "$pg_pid" ]; then kill -INT "$pg_pid" 2>/dev/null || true; wait "$pg_pid" 2>/dev/null || true; fi
  [ -n "${VARKEL_BENCH_KEEP:-}" ] && echo "kept $work" || rm -rf "$work"
}
trap finish EXIT

# PostgreSQL refuses to run as root: then it runs as nobody.
as_user=()
if [ "$(id -u)" -eq 0 ]; then
  chown 65534:65534 "$work"
  as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
fi
"${as_user[@]}" "$pg_bin/initdb" -D "$work/data" -U varkel -A trust -E UTF8 --locale=C \
  > "$work/initdb.log" 2>&1 || { cat "$work/initdb.log"; exit 1; }
for attempt in 1 2 3; do
  pg_port=$((20000 + RANDOM % 40000))
  "${as_user[@]}" "$pg_bin/postgres" -D "$work/data" -p "$pg_port" \
    -c listen_addresses=127.0.0.1 -c unix_socket_directories= > "$work/postgres.log" 2>&1 &
  pg_pid=$!
  for _ in $(seq 100); do
    "$pg_bin/pg_isready" -q -h 127.0.0.1 -p "$pg_port" -U varkel && break
    kill -0 "$pg_pid" 2>/dev/null || break
    sleep 0.1
  done
  "$pg_bin/pg_isready" -q -h 127.0.0.1 -p "$pg_port" -U varkel && break
  wait "$pg_pid" 2>/dev/null || true
  pg_pid=""
done
[ -n "$pg_pid" ] || { cat "$work/postgres.log"; exit 1; }
"$pg_bin/createdb" -h 127.0.0.1 -p "$pg_port" -U varkel varkel
uri="postgresql://varkel@127.0.0.1:$pg_port/varkel"

# Starts a server on a free port, which it leaves in $port.
start_server() {  # name, database
  "$bin/varkel_server" --port 0 --listen 127.0.0.1 --db "$2" \
    --creations-per-hour 1000000 --prefix-creations-per-hour 1000000 > /dev/null 2> "$work/$1.log" &
  pids+=($!)
  port=""
  for _ in $(seq 100); do
    port="$(sed -n 's/.*listening on 127.0.0.1 port \([0-9]*\).*/\1/p' "$work/$1.log")"
    [ -n "$port" ] && return
    sleep 0.1
  done
  cat "$work/$1.log" >&2
  exit 1
}
start_server pg_a "$uri"
port_a="$port"
start_server pg_b "$uri"
port_b="$port"
start_server sqlite "$work/sqlite.db"
port_s="$port"

half=$((players / 2))
# Accounts made and first identifications (the slow hash) paid beforehand.
"$bin/varkel_bench" --port "$port_a" --players "$half" --seconds 0.1 --prefix a > /dev/null
"$bin/varkel_bench" --port "$port_b" --players "$((players - half))" --seconds 0.1 --prefix b > /dev/null
"$bin/varkel_bench" --port "$port_s" --players "$players" --seconds 0.1 --prefix s > /dev/null
for query in connection listen; do
  echo "== $query, $players players, ${seconds} s"
  # Both halves at once, each against its own server.
  "$bin/varkel_bench" --port "$port_a" --players "$half" --seconds "$seconds" --query "$query" \
    --prefix a > "$work/a.out" &
  bench_a=$!
  "$bin/varkel_bench" --port "$port_b" --players "$((players - half))" --seconds "$seconds" \
    --query "$query" --prefix b > "$work/b.out" || true
  wait "$bench_a" || true
  echo "PostgreSQL, server 1: $(cat "$work/a.out")"
  echo "PostgreSQL, server 2: $(cat "$work/b.out")"
  # Two threads of players, as many as the two benchmarks above.
  "$bin/varkel_bench" --port "$port_s" --players "$players" --seconds "$seconds" --query "$query" \
    --prefix s --threads 2 > "$work/s.out" || true
  echo "SQLite, one server:   $(cat "$work/s.out")"
done
