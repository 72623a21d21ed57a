#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Wake-ups per second and their latency, plain and over TLS, in one run
# against one server: plain, TLS with each player resuming its session, TLS
# with a whole handshake every time, and TLS on a connection kept per player
# as the client keeps it. Then, with --relay (varkel_delay_relay, built in
# the build folder), one player far away, 100 and 300 ms of round trip: the
# time of a status and of a listening, plain, over TLS one connection each,
# and over a kept TLS connection, in ms and in round trips (the median of
# the player's actions). The authority and certificate are made by
# varkel_certificate in a temporary folder, the server listens on free
# ports; the players' addresses are allowed handshakes without rationing
# worth the name, as the whole-handshake run is no flood. Run after a
# build (a release build for figures worth keeping).
#
#   scripts/bench-tls.sh [--bin DIR] [--seconds S] [--players N] [--relay PATH]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bin="$root/usr/bin"
seconds=10
players=100
relay=""
while [ $# -gt 0 ]; do
  case "$1" in
    --bin) bin="$2"; shift 2 ;;
    --seconds) seconds="$2"; shift 2 ;;
    --players) players="$2"; shift 2 ;;
    --relay) relay="$2"; shift 2 ;;
    *) echo "usage: $0 [--bin DIR] [--seconds S] [--players N] [--relay PATH]" >&2; exit 2 ;;
  esac
done
work="$(mktemp -d /tmp/varkel-tls.XXXXXX)"
server_pid=""
relay_pids=()
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; fi
  for pid in "${relay_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

sh "$root/usr/src/dist/varkel-certificate.sh" --dir "$work/tls" 127.0.0.1 > /dev/null
"$bin/varkel_server" --port 0 --tls-port 0 --listen 127.0.0.1 --db "$work/varkel.db" \
  --tls-cert "$work/tls/server.pem" --tls-key "$work/tls/server.key" \
  --creations-per-hour 1000 --prefix-creations-per-hour 1000 \
  --prefix-cap 127.0.0.0/8=1000000 2> "$work/server.log" &
server_pid=$!
for _ in $(seq 100); do
  port="$(sed -n 's/.*listening on 127.0.0.1 port \([0-9]*\).*/\1/p' "$work/server.log")"
  tls_port="$(sed -n 's/.*listening on 127.0.0.1 TLS port \([0-9]*\).*/\1/p' "$work/server.log")"
  [ -n "$port" ] && [ -n "$tls_port" ] && break
  sleep 0.1
done
[ -n "$tls_port" ] || { cat "$work/server.log"; exit 1; }
export VARKEL_CA_FILE="$work/tls/authority.pem"

common=(--players "$players" --seconds "$seconds" --threads 2 --server-pid "$server_pid")
echo "== plain"
"$bin/varkel_bench" --port "$port" "${common[@]}"
echo "== TLS, sessions resumed"
"$bin/varkel_bench" --port "$tls_port" --tls "${common[@]}"
echo "== TLS, a whole handshake each time"
"$bin/varkel_bench" --port "$tls_port" --tls --no-resumption "${common[@]}"
echo "== TLS, a connection kept per player"
"$bin/varkel_bench" --port "$tls_port" --tls --kept "${common[@]}"

[ -n "$relay" ] || exit 0
# A relay putting the port `rtt` ms of round trip farther; its port.
far_port() {  # port, rtt
  "$relay" "$1" "$2" > "$work/relay.$1.$2" &
  relay_pids+=($!)
  for _ in $(seq 100); do
    [ -s "$work/relay.$1.$2" ] && break
    sleep 0.05
  done
  head -n 1 "$work/relay.$1.$2"
}
echo "== one player far away (median of its actions; the first opens the connection)"
for rtt in 100 300; do
  plain_far="$(far_port "$port" "$rtt")"
  tls_far="$(far_port "$tls_port" "$rtt")"
  for query in status listen; do
    # Long enough for a few actions, a plain listening being 105 round trips.
    if [ "$query" = listen ]; then run_s=$((rtt * 130 / 1000 + 1)); else run_s=$((rtt * 40 / 1000 + 1)); fi
    for way in plain tls kept; do
      case "$way" in
        plain) options=(--port "$plain_far") ;;
        tls) options=(--port "$tls_far" --tls) ;;
        kept) options=(--port "$tls_far" --tls --kept) ;;
      esac
      line="$("$bin/varkel_bench" "${options[@]}" --players 1 --seconds "$run_s" --query "$query" \
        --prefix far)"
      p50="$(sed -n 's/.* p50 \([0-9.]*\) ms.*/\1/p' <<< "$line")"
      count="$(sed -n 's/.*: \([0-9]*\) conversations.*/\1/p' <<< "$line")"
      awk -v rtt="$rtt" -v q="$query" -v way="$way" -v p50="$p50" -v n="$count" 'BEGIN {
        printf "%3d ms round trip, %-6s %-5s: %6.0f ms, %5.1f round trips (%d actions)\n",
          rtt, q, way, p50, p50 / rtt, n }'
    done
  done
done
