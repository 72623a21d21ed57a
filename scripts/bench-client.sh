#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Prints what a client costs: the share of one core it uses and how often its
# threads wake (context switches a second, all threads together) while the
# welcome message fades, once it has faded (idle), with the pointer resting
# on a control, and while the pointer moves over the controls, with the
# dummy video driver and in a real window under Xvfb;
# then its memory (VmSize, VmRSS) after 20 and after 1,000 actions clicked in
# the window. Run after a release build with the tests (the programs and the
# tests' window driver, varkel_drive, in usr/bin/): the pointer goes where the
# client's own layout puts each control.
#
# Everything it measures it starts itself, in a network namespace of its own:
# a server with a temporary database on the client's built-in address, an
# Xvfb display, the clients. It only ever signals the processes it started,
# by their ids.
#
# Options: --dummy (only the dummy driver), --xvfb (only Xvfb).
# SECONDS_TO_MEASURE (default 8) is the length of each measure.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bin="$root/usr/bin"
which_runs="${1:-both}"

# The client talks to its built-in address (localhost, port 9999): a private
# loopback keeps that port free of any other server on the machine.
if [ -z "${VARKEL_BENCH_INSIDE:-}" ]; then
  export VARKEL_BENCH_INSIDE=1
  if [ "$(id -u)" -eq 0 ]; then
    exec unshare --net "$0" "$@"
  fi
  exec unshare --net --map-root-user "$0" "$@"
fi
ip link set lo up

seconds="${SECONDS_TO_MEASURE:-8}"
hz="$(getconf CLK_TCK)"
work="$(mktemp -d /tmp/varkel_bench_XXXXXX)"
pids=()

stop_all() {
  local pid
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  pids=()
}
finish() {
  stop_all
  rm -rf "$work"
}
trap finish EXIT

# An install tree of its own: pictures and font from this tree, data files
# and log in the temporary folder.
tree="$work/tree"
mkdir -p "$tree/usr/bin" "$tree/usr/share/varkel" "$tree/tmp" "$tree/var/log/varkel"
ln -s "$root/usr/share/varkel/pictures" "$tree/usr/share/varkel/pictures"
ln -s "$root/usr/share/varkel/fonts" "$tree/usr/share/varkel/fonts"

"$bin/varkel_server" --listen 127.0.0.1 --port 9999 --db "$work/varkel.db" 2>"$work/server.log" &
server=$!
pids+=("$server")
for _ in $(seq 100); do
  grep -q "listening on" "$work/server.log" && break
  sleep 0.05
done
grep -q "listening on" "$work/server.log" || { cat "$work/server.log"; exit 1; }

ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
# Context switches of all its threads so far: each is one wake-up.
switches() {
  cat /proc/"$1"/task/*/status 2>/dev/null |
    awk '/^(voluntary|nonvoluntary)_ctxt_switches/ { n += $2 } END { print n + 0 }'
}

# Share of one core that process $1 uses over the next $2 seconds, and its
# wake-ups a second.
cpu_over() {
  local before after woken_before woken_after
  before="$(ticks "$1")"
  woken_before="$(switches "$1")"
  sleep "$2"
  after="$(ticks "$1")"
  woken_after="$(switches "$1")"
  awk -v t="$((after - before))" -v w="$((woken_after - woken_before))" -v hz="$hz" -v s="$2" \
    'BEGIN { printf "%.2f%% (%.0f wake-ups/s)", 100 * t / hz / s, w / s }'
}

memory() {
  awk '/^VmSize|^VmRSS/ { printf "%s %d MB  ", $1, $2 / 1024 }' "/proc/$1/status"
}

start_client() { # environment assignments... [-f]
  local assignments=() arguments=()
  for word in "$@"; do
    case "$word" in *=*) assignments+=("$word") ;; *) arguments+=("$word") ;; esac
  done
  (cd "$tree/usr/bin" && exec env "${assignments[@]}" "$bin/varkel_client" "${arguments[@]}") &
  client=$!
  pids+=("$client")
}

stop_client() {
  kill "$client" 2>/dev/null || true
  wait "$client" 2>/dev/null || true
  local kept=() pid
  for pid in "${pids[@]}"; do
    [ "$pid" = "$client" ] || kept+=("$pid")
  done
  pids=("${kept[@]}")
}

# The welcome message fades over about 10.5 s; the fade is measured from
# 0.5 s on, idle once it is over.
fade_and_idle() { # label
  sleep 0.5
  local fade idle
  fade="$(cpu_over "$client" "$seconds")"
  sleep "$(awk -v s="$seconds" 'BEGIN { d = 11.5 - s; print (d > 0 ? d : 0) }')"
  idle="$(cpu_over "$client" "$seconds")"
  echo "$1: fade $fade, idle $idle of one core (each over $seconds s)"
}

if [ "$which_runs" != "--xvfb" ]; then
  start_client SDL_VIDEODRIVER=dummy
  fade_and_idle "dummy driver"
  echo "dummy driver: pointer motion not measured (no pointer to move without a display)"
  stop_client
fi
[ "$which_runs" = "--dummy" ] && exit 0

source "$root/scripts/bench-lib.sh"
start_xvfb

# Where each control's middle is, by name ("bmp_speak x y"), from the layout.
declare -A at
while read -r name x y; do
  at[$name]="$x $y"
done < <("$bin/varkel_drive" centers)
[ -n "${at[bmp_speak]:-}" ] || { echo "varkel_drive gave no layout"; exit 1; }
drive() { "$bin/varkel_drive" "$@"; }

# The pointer sweeps over the controls of the sign-in screen (the five small
# buttons, the two fields, the four buttons), 25 moves a second, one
# xdotool for all.
sweep() { # window
  local moves=() name
  for _ in $(seq 0 20); do
    for name in bmp_fullscreen bmp_window bmp_profil bmp_noprofil bmp_screenshot bar_nickname \
      bar_password bmp_subscribe bmp_connect bmp_suicide bmp_quit; do
      # shellcheck disable=SC2206 # the two coordinates are two words
      moves+=(mousemove --window "$1" ${at[$name]} sleep 0.04)
    done
  done
  xdotool "${moves[@]}" &
  mover=$!
  pids+=("$mover")
}

# The pointer still over the remember control, once its help has shown.
resting() { # label window
  # shellcheck disable=SC2086 # the two coordinates are two words
  xdotool mousemove --window "$2" ${at[bmp_profil]}
  sleep 0.5
  echo "$1: pointer resting on a control $(cpu_over "$client" "$seconds") of one core"
}

motion() { # label window
  sweep "$2"
  sleep 0.5
  echo "$1: pointer moving over controls $(cpu_over "$client" "$seconds") of one core"
  wait "$mover" 2>/dev/null || true
}

window_of_client() {
  timeout 10 xdotool search --sync --name '^Varkel$' | head -n 1
}

# Full screen: the 640x480 frame scaled to the whole 1024x768 display. Xvfb
# has no window manager to give the window the whole screen, and the
# pointer's motions do not reach it there: no motion figure.
start_client "DISPLAY=$DISPLAY" -f
window_of_client >/dev/null
fade_and_idle "Xvfb full screen"
stop_client

# A window of 640x480, where the actions are clicked.
start_client "DISPLAY=$DISPLAY"
window="$(window_of_client)"
fade_and_idle "Xvfb window"
resting "Xvfb window" "$window"
motion "Xvfb window" "$window"

# A character, then actions against the server: each click on "Parler" is
# one conversation, counted in the server's log before the next click.
drive click bar_nickname type bench click bar_password type secret click bmp_subscribe
sleep 1
drive click bmp_connect
sleep 1
# shellcheck disable=SC2206 # the two coordinates are two words
speak=(${at[bmp_speak]})
conversations() { grep -c '"' "$work/server.log" || true; }
act_until() { # count
  local done_before clicks=0
  while [ "$(($(conversations) - base))" -lt "$1" ]; do
    # A click may land while the last action ends: a few are lost, not more.
    clicks=$((clicks + 1))
    if [ "$clicks" -gt $(($1 * 3)) ] || ! kill -0 "$server" 2>/dev/null; then
      echo "Xvfb window: the actions stopped after $(($(conversations) - base)) conversations"
      exit 1
    fi
    done_before="$(conversations)"
    xdotool mousemove --window "$window" "${speak[@]}" click 1
    for _ in $(seq 200); do
      [ "$(conversations)" -gt "$done_before" ] && break
      sleep 0.005
    done
  done
}
base="$(conversations)"
act_until 20
sleep 0.5
after20="$(memory "$client")"
act_until 1000
sleep 0.5
after1000="$(memory "$client")"
echo "Xvfb window: memory after 20 actions: $after20"
echo "Xvfb window: memory after 1000 actions: $after1000"
stop_client
