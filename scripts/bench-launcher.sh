#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Prints what the personal server costs a player: the time from `varkel`
# (no server chosen, nothing at the built-in address) to the sign-in window,
# against the same with a server given; then a birth and two wake-ups on
# the personal server, and how much longer the first wake-up takes than the
# second. Release build in build-release/, installed into a staging root.
#
# Everything it measures it starts itself, in network and mount namespaces
# of its own (root, or unprivileged user namespaces): an Xvfb display, a
# server for the comparison, the launcher and its clients; the personal
# server ends with the last game. RUNS (default 5) sets how many starts of
# each kind are measured.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
runs="${RUNS:-5}"
build="$root/build-release"
stage="$build/stage"

if [ -z "${VARKEL_BENCH_INSIDE:-}" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVARKEL_TESTS=OFF \
    -DVARKEL_BIN_DIR="$build/bin" -DVARKEL_SHARE_DIR="$build/share/varkel" \
    >"$build.configure.log" 2>&1 || { cat "$build.configure.log"; exit 1; }
  cmake --build "$build" -j "$(nproc)" --target varkel_client varkel_server varkel_admin \
    varkel_bench varkel_address varkel_dist varkel_data >/dev/null
  sh "$root/usr/src/tests/stage.sh" cmake "$build" "$stage" >/dev/null
  export VARKEL_BENCH_INSIDE=1
  if [ "$(id -u)" -eq 0 ]; then
    exec unshare --net --mount "$0" "$@"
  fi
  exec unshare --net --mount --map-root-user "$0" "$@"
fi
ip link set lo up

work="$(mktemp -d /tmp/varkel_bench_XXXXXX)"
pids=()
finish() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap finish EXIT
unset XDG_STATE_HOME XDG_CONFIG_HOME XDG_DATA_HOME XDG_RUNTIME_DIR VARKEL_SERVER SDL_VIDEODRIVER
export HOME="$work/home"

source "$root/scripts/bench-lib.sh"
start_xvfb

"$stage/usr/games/varkel_server" --port 0 --listen 127.0.0.1 --db "$work/given.db" \
  2>"$work/given.log" &
pids+=($!)
for _ in $(seq 200); do
  port="$(sed -n 's/^varkel_server: listening on 127\.0\.0\.1 port \([0-9]*\)$/\1/p' "$work/given.log")"
  [ -n "$port" ] && break
  sleep 0.05
done

ms() { echo $(($(date +%s%N) / 1000000)); }
# Starts the launcher and waits for its window: the milliseconds in $took.
start() { # launcher arguments
  local started
  started="$(ms)"
  "$stage/usr/games/varkel" "$@" >>"$work/out" 2>&1 &
  client=$!
  window="$(timeout 20 xdotool search --sync --name '^Varkel$' | head -n 1)"
  took=$(($(ms) - started))
}
stop() {
  kill "$client" 2>/dev/null || true
  wait "$client" 2>/dev/null || true
  # The personal server stops itself once the last game has gone.
  for _ in $(seq 200); do
    [ -e "$HOME/.local/state/varkel/server.sock" ] || break
    sleep 0.05
  done
}
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

for kind in given personal; do
  for run in $(seq "$runs"); do
    if [ "$kind" = given ]; then
      start --server "127.0.0.1:$port"
      rm -f "$HOME/.config/varkel/server"
    else
      # The first birth of the personal world is counted apart.
      start
    fi
    echo "$took" >>"$work/$kind"
    [ "$kind" = personal ] && [ "$run" = 1 ] && first_birth=$took
    stop
  done
done
echo "from varkel to the sign-in window, median of $runs starts:"
echo "  server given:    $(median <"$work/given") ms"
echo "  personal server: $(median <"$work/personal") ms (the first, which makes the world: $first_birth ms)"

# A birth and two wake-ups on the personal server. Positions in the 640x480
# layout: the sign-in fields and buttons, the in-game sleep button.
nickname=(100 172) password=(100 220) subscribe=(420 176) connect=(420 240) sleep_at=(560 381)
start
click() { xdotool mousemove --window "$window" "$1" "$2" click 1; }
log="$HOME/.local/state/varkel/server.log"
talks() { grep -c '^varkel_server: local "' "$log" || true; }
await() { # count; the milliseconds since $1 in $took
  for _ in $(seq 1000); do
    [ "$(talks)" -ge "$1" ] && return 0
    sleep 0.005
  done
  echo "conversation $1 never came" >&2
  exit 1
}
click "${nickname[@]}"
xdotool type --delay 30 bench
click "${password[@]}"
xdotool type --delay 30 secret
click "${subscribe[@]}"
await 1
sleep 0.5
t="$(ms)"; click "${connect[@]}"; await 2; first=$(($(ms) - t))
sleep 0.5
click "${sleep_at[@]}"; await 3
sleep 0.5
t="$(ms)"; click "${connect[@]}"; await 4; second=$(($(ms) - t))
echo "wake-ups on the personal server: first $first ms, second $second ms," \
  "the first takes $((first - second)) ms more"
stop
