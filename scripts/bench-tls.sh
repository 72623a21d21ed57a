#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Wake-ups per second and their latency, plain and over TLS, in one run
# against one server: plain, TLS with each player resuming its session, and
# TLS with a whole handshake every time. The authority and certificate are
# made by varkel_certificate in a temporary folder, the server listens on
# free ports; the players' addresses are allowed handshakes without
# rationing worth the name, as the whole-handshake run is no flood. Run after a build (a release build for figures worth keeping).
#
#   scripts/bench-tls.sh [--bin DIR] [--seconds S] [--players N]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bin="$root/usr/bin"
seconds=10
players=100
while [ $# -gt 0 ]; do
  case "$1" in
    --bin) bin="$2"; shift 2 ;;
    --seconds) seconds="$2"; shift 2 ;;
    --players) players="$2"; shift 2 ;;
    *) echo "usage: $0 [--bin DIR] [--seconds S] [--players N]" >&2; exit 2 ;;
  esac
done
work="$(mktemp -d /tmp/varkel-tls.XXXXXX)"
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; fi
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
