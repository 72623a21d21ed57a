#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The store measured in one run on this machine, one server at a time:
# - status conversations, identifications and drinks (a change written
#   each time) on SQLite, on PostgreSQL near
#   (loopback) and on PostgreSQL 2 ms away (a round trip through
#   varkel_delay_relay takes 2 ms more);
# - players' latencies while another session holds one player's row
#   locked for 6 s (PostgreSQL 2 ms away);
# - how long a conversation takes to end while every PostgreSQL process
#   is stopped (kill -STOP), and whether the version step is answered.
# With BEFORE=REV (a git revision, e.g. main) the same measures run against
# that revision's server too, built beside, for a before and after.
# Release build in build-release/.
#
#   [BEFORE=main] scripts/bench-store.sh [seconds per measure] [players]
#
# VARKEL_BENCH_KEEP=1 keeps the folder with the servers' and PostgreSQL's logs.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-10}"
players="${2:-100}"
delay_ms=2
build="$root/build-release"
bin="$build/bin"

release() {  # source tree, build folder
  cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=Release -DVARKEL_TESTS=OFF \
    -DVARKEL_BIN_DIR="$2/bin" > "$2.configure.log" 2>&1 || { cat "$2.configure.log"; exit 1; }
  cmake --build "$2" -j "$(nproc)" --target varkel_server > /dev/null
}
release "$root" "$build"
cmake --build "$build" -j "$(nproc)" --target varkel_bench varkel_delay_relay > /dev/null
relay_bin="$build/usr/src/varkel_delay_relay"

pg_bin="$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)"
work="$(mktemp -d /tmp/varkel_bench_XXXXXX)"
servers=("now:$bin/varkel_server")
if [ -n "${BEFORE:-}" ]; then
  mkdir "$work/before"
  git -C "$root" archive "$BEFORE" | tar -x -C "$work/before"
  release "$work/before" "$work/before/build"
  servers=("before:$work/before/build/bin/varkel_server" "${servers[@]}")
fi

pids=()
pg_pid=""
finish() {
  [ -n "$pg_pid" ] && pkill_pg CONT
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  if [ -n "$pg_pid" ]; then kill -INT "$pg_pid" 2>/dev/null || true; wait "$pg_pid" 2>/dev/null || true; fi
  [ -n "${VARKEL_BENCH_KEEP:-}" ] && echo "kept $work" || rm -rf "$work"
}
# The postmaster and its children, by their pids.
pkill_pg() {  # signal
  local children
  children="$(ps -o pid= --ppid "$pg_pid" || true)"
  kill -"$1" "$pg_pid" $children 2>/dev/null || true
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

"$relay_bin" "$pg_port" "$delay_ms" > "$work/relay.port" &
pids+=($!)
for _ in $(seq 50); do [ -s "$work/relay.port" ] && break; sleep 0.1; done
relay_port="$(cat "$work/relay.port")"

# Starts a server on a free port, which it leaves in $port and its pid in
# $server_pid.
# The players are made by the hundred from one address: past the bound on
# creations of a server that has one.
start_server() {  # binary, log name, database
  local unbounded=()
  if "$1" --help 2>&1 | grep -q -- --creations-per-hour; then
    unbounded=(--creations-per-hour 1000000 --prefix-creations-per-hour 1000000)
  fi
  "$1" --port 0 --listen 127.0.0.1 --db "$3" "${unbounded[@]}" > /dev/null 2> "$work/$2.log" &
  server_pid=$!
  pids+=($server_pid)
  port=""
  for _ in $(seq 100); do
    port="$(sed -n 's/.*listening on 127.0.0.1 port \([0-9]*\).*/\1/p' "$work/$2.log")"
    [ -n "$port" ] && return
    sleep 0.1
  done
  cat "$work/$2.log" >&2
  exit 1
}
stop_server() {
  kill "$server_pid"
  wait "$server_pid" 2>/dev/null || true
}
bench() {  # label, port, query, [seconds]
  "$bin/varkel_bench" --port "$2" --players "$players" --seconds "${4:-$seconds}" --query "$3" \
    --prefix p --threads 2 > "$work/bench.out" || true
  echo "$1: $(head -n 1 "$work/bench.out")"
}

db=0
for entry in "${servers[@]}"; do
  version="${entry%%:*}"
  server="${entry#*:}"
  for engine in sqlite pg-near pg-${delay_ms}ms; do
    db=$((db + 1))
    case "$engine" in
      sqlite) where="$work/sqlite$db.db" ;;
      pg-near)
        "$pg_bin/createdb" -h 127.0.0.1 -p "$pg_port" -U varkel "w$db"
        where="postgresql://varkel@127.0.0.1:$pg_port/w$db" ;;
      *)
        "$pg_bin/createdb" -h 127.0.0.1 -p "$pg_port" -U varkel "w$db"
        where="postgresql://varkel@127.0.0.1:$relay_port/w$db" ;;
    esac
    start_server "$server" "$version-$engine" "$where"
    # Accounts made and first identifications (the slow hash) paid beforehand.
    "$bin/varkel_bench" --port "$port" --players "$players" --seconds 0.1 --prefix p > /dev/null
    for query in status connection drink; do
      bench "$version, $engine, $query" "$port" "$query"
    done
    if [ "$engine" = "pg-${delay_ms}ms" ]; then
      # One player's row locked by another session for 6 s, within the
      # measure; the player was put to sleep first, so that its wake-ups
      # must write the row and wait for the lock.
      ( sleep 1; "$pg_bin/psql" -q -h 127.0.0.1 -p "$pg_port" -U varkel "w$db" \
          -c "UPDATE characters SET asleep = 1 WHERE name = 'p0'" -c "BEGIN" \
          -c "SELECT 1 FROM characters WHERE name = 'p0' FOR UPDATE" -c "SELECT pg_sleep(6)" \
          -c "ROLLBACK" > /dev/null 2>&1 ) &
      locker=$!
      bench "$version, $engine, connection, p0's row locked 6 s" "$port" connection 8
      wait "$locker" || true
      # Every PostgreSQL process stopped while 20 players ask for their
      # status: the version step, then a status conversation up to its end.
      "$bin/varkel_bench" --port "$port" --players 20 --seconds 5 --query status --prefix p \
        > /dev/null 2>&1 &
      load=$!
      sleep 1
      pkill_pg STOP
      stopped_at=$(date +%s%N)
      exec 3<> "/dev/tcp/127.0.0.1/$port"
      printf '20250817\0' >&3
      version_reply=""
      read -r -d '' -t 10 -u 3 version_reply || true
      answered_ms=$(( ($(date +%s%N) - stopped_at) / 1000000 ))
      printf 'Receive status\0' >&3
      read -r -d '' -t 10 -u 3 _ || true
      printf 'p1\0' >&3
      last="(nothing)"
      while read -r -d '' -t 30 -u 3 last; do :; done || true
      ended_ms=$(( ($(date +%s%N) - stopped_at) / 1000000 ))
      exec 3<&-
      pkill_pg CONT
      wait "$load" || true
      echo "$version, $engine, every PostgreSQL process stopped: version step answered" \
        "\"$version_reply\" after ${answered_ms} ms; a status conversation ended after" \
        "${ended_ms} ms, last reply \"$last\""
    fi
    stop_server
  done
done
