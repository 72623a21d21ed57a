#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# test_launcher.sh STAGE: which server the staged launcher gives the client,
# against listeners of the test's own, in network and mount namespaces of
# its own: a loopback where nothing else listens (the built-in localhost
# port 9999 is silent unless the test answers there) and a hosts file bound
# over /etc/hosts for this test alone. Checks the server each client was
# given (its environment), that the client's own connection reaches it
# (varkel_address answers), the remembered server, the personal server and
# what is left when the games end, the newest nickname and heard lines in
# every tree, and each bad value refused with its line and status 2; the
# launcher interrupted by each signal at moments of its start, another
# account before the personal server and at the built-in address.
set -uo pipefail
stage=$1

if [ -z "${VARKEL_TEST_INSIDE:-}" ]; then
  export VARKEL_TEST_INSIDE=1
  if [ "$(id -u)" -eq 0 ]; then
    exec unshare --net --mount /bin/bash "$0" "$@"
  fi
  exec unshare --net --mount --map-root-user /bin/bash "$0" "$@"
fi
ip link set lo up

games=$stage/usr/games
helper=$stage/usr/libexec/varkel/varkel_address
source "$(dirname "$0")/support_checks.sh"
unset DISPLAY WAYLAND_DISPLAY VARKEL_SERVER XDG_STATE_HOME XDG_CONFIG_HOME XDG_DATA_HOME \
  XDG_RUNTIME_DIR
# A sanitized server's leak check at its end outlives its stop by seconds
# under a processor's load; test.sh turns it off for every test too.
export ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0

start() {  # HOME, then launcher arguments; the client's pid in $started
  HOME=$1 SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy "$games/varkel" "${@:2}" >>"$work/out" 2>&1 &
  started=$!
  pids+=("$started")
}
# The client runs once its working directory is in its tree.
ready() {  # pid, HOME
  local n=0
  while [ $n -lt 200 ]; do
    case $(readlink "/proc/$1/cwd") in "$2"/.local/state/varkel/*/usr/bin) return 0 ;; esac
    sleep 0.05
    n=$((n + 1))
  done
  return 1
}
given() {  # pid: the server the client was given
  tr '\0' '\n' <"/proc/$1/environ" | sed -n 's/^VARKEL_SERVER=//p'
}
stop() {  # pids
  kill "$@" 2>/dev/null
  wait "$@" 2>/dev/null
}

# A listener of the test's own: the staged server, on a free port.
serve() {  # listen address, log; the port in $port
  "$games/varkel_server" --port 0 --listen "$1" --db "$work/$RANDOM.db" 2>"$2" &
  pids+=($!)
  port=""
  local n=0
  while [ -z "$port" ] && [ $n -lt 200 ]; do
    sleep 0.05
    port=$(sed -n 's/^varkel_server: listening on .* port \([0-9]*\)$/\1/p' "$2")
    n=$((n + 1))
  done
  [ -n "$port" ]
}
check "a server of the test's own" serve 127.0.0.1 "$work/server.log"
own=$port

# ---- bad values: each refused at start, naming its bad part, status 2
long=$(printf 'a%.0s' $(seq 63)).$(printf 'b%.0s' $(seq 63)).$(printf 'c%.0s' $(seq 63)).$(printf 'd%.0s' $(seq 61))
check "the long name has 253 characters" test ${#long} -eq 253
while IFS='|' read -r bad named; do
  for way in option environment; do
    if [ $way = option ]; then
      out=$(HOME=$work/carl "$games/varkel" --server "$bad" 2>&1)
    else
      out=$(HOME=$work/carl VARKEL_SERVER=$bad "$games/varkel" 2>&1)
    fi
    status=$?
    check "$bad by $way ends with status 2 ($status)" test $status -eq 2
    check "$bad by $way is named: $out" grep -qF -- "$named" <<<"$out"
  done
done <<LIST
${long}x.org|more than 253
localhost:70000|port "70000"
localhost:port|port "port"
[::1|closing
[::1]9|"9" after
host:1:2|"host:1:2" is not an IPv6 address
bad_name.example.org|part "bad_name"
LIST
check "nothing is kept after bad values" test ! -e "$work/carl/.config/varkel/server"
check "no tree after bad values" test ! -e "$work/carl/.local/state/varkel/1"
mkdir -p "$work/dan/.config/varkel"
echo "[::1" >"$work/dan/.config/varkel/server"
out=$(HOME=$work/dan "$games/varkel" 2>&1)
check "a bad kept server ends with status 2" test $? -eq 2
check "a bad kept server names its file: $out" grep -qF "$work/dan/.config/varkel/server" <<<"$out"

# ---- a long name, in this test's hosts file, first on IPv6 where nothing
# listens, then on IPv4: every address is tried
printf '127.0.0.1 localhost\n::1 %s\n127.0.0.1 %s\n' "$long" "$long" >"$work/hosts"
mount --bind "$work/hosts" /etc/hosts
check "the long name reaches the server" "$helper" answers "$long:$own"
start "$work/ann" --server "$long:$own"; ann1=$started
check "ann's game starts" ready "$ann1" "$work/ann"
check "ann's client is given the long name" test "$(given "$ann1")" = "$long:$own"
check "the long name is kept" test "$(cat "$work/ann/.config/varkel/server")" = "$long:$own"
stop "$ann1"

# ---- the remembered server; VARKEL_SERVER and --server come first, and
# only --server is kept
start "$work/ann"; ann2=$started
check "ann's next game starts" ready "$ann2" "$work/ann"
check "ann's next game is on the kept server" test "$(given "$ann2")" = "$long:$own"
stop "$ann2"
HOME=$work/ann SDL_VIDEODRIVER=dummy VARKEL_SERVER=127.0.0.1:$own "$games/varkel" >>"$work/out" 2>&1 &
ann3=$!
pids+=("$ann3")
check "VARKEL_SERVER's game starts" ready "$ann3" "$work/ann"
check "VARKEL_SERVER comes before the kept server" test "$(given "$ann3")" = "127.0.0.1:$own"
stop "$ann3"
check "VARKEL_SERVER is not kept" test "$(cat "$work/ann/.config/varkel/server")" = "$long:$own"

# ---- a name alone: over TLS when it speaks it, in the clear only after
# the notice, and never once TLS was seen there
printf '127.0.0.3 tlshost\n' >>"$work/hosts"
"$games/varkel_server" --port 0 --listen 127.0.0.3 --tls-port 9992 --db "$work/tls/world.db" \
  2>"$work/tls-server.log" &
pids+=($!)
n=0
until "$helper" tls tlshost || [ $n -ge 100 ]; do sleep 0.1; n=$((n + 1)); done
start "$work/uma" --server tlshost; uma=$started
check "uma's game starts" ready "$uma" "$work/uma"
check "a name alone that speaks TLS is played over TLS" test "$(given "$uma")" = "tls://tlshost"
check "and kept so" test "$(head -n 1 "$work/uma/.config/varkel/server")" = "tls://tlshost"
stop "$uma"
start "$work/gus" --server 127.0.0.1; gus=$started
check "gus's game starts" ready "$gus" "$work/gus"
check "a name alone without TLS is played in the clear" test "$(given "$gus")" = "127.0.0.1"
check "after the notice: $(cat "$work/out")" grep -q "127.0.0.1 offers no TLS" "$work/out"
stop "$gus"
printf 'tls://127.0.0.1:9992 SHA256:00\n' >>"$work/gus/.config/varkel/known_servers"
start "$work/gus" --server 127.0.0.1; gus=$started
check "gus's next game starts" ready "$gus" "$work/gus"
check "never in the clear once TLS was seen" test "$(given "$gus")" = "tls://127.0.0.1"
stop "$gus"

# ---- IPv6
if ip -6 addr show dev lo 2>/dev/null | grep -q '::1/128'; then
  check "a server on ::1" serve ::1 "$work/server6.log"
  check "[::1]:$port reaches the server" "$helper" answers "[::1]:$port"
  start "$work/eve" --server "[::1]:$port"; eve=$started
  check "eve's game starts" ready "$eve" "$work/eve"
  check "eve's client is given [::1]:$port" test "$(given "$eve")" = "[::1]:$port"
  stop "$eve"
else
  echo "SKIP: this machine has no ::1: [::1]:PORT not tried"
fi

# ---- forgetting: then nothing answers at localhost:9999 here, so a
# personal server is born, on a socket in the player's runtime folder
chmod 755 "$work"
mkdir -m 700 "$work/ann-run"
XDG_RUNTIME_DIR=$work/ann-run start "$work/ann" --forget-server; ann4=$started
check "the forgetting game starts" ready "$ann4" "$work/ann"
check "forgetting is said" grep -q '^varkel: the server given last is forgotten$' "$work/out"
: >"$work/out"
check "the kept server is forgotten" test ! -e "$work/ann/.config/varkel/server"
personal=$(given "$ann4")
socket=$work/ann-run/varkel/server.sock
check "a personal server on the runtime folder's socket ($personal)" test "$personal" = "unix:$socket"
check "the personal server answers" "$helper" answers "$personal"
state=$work/ann/.local/state/varkel
check "its log is in the state folder" grep -q "listening on unix:$socket" "$state/server.log"
check "its world is in the data folder" test -s "$work/ann/.local/share/varkel/varkel.db"
# Another account cannot open a conversation with it, even with every
# folder above the socket open to it.
chmod 755 "$work/ann-run" "$work/ann-run/varkel"
as_nobody() { setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }
check "nobody cannot reach the personal server" \
  test "$(as_nobody "$helper" answers "$personal"; echo $?)" = 3
chmod 700 "$work/ann-run"
# A second game at once shares it; the server ends only with the last game,
# even one killed.
XDG_RUNTIME_DIR=$work/ann-run start "$work/ann"; ann5=$started
check "a second game starts" ready "$ann5" "$work/ann"
check "the second game shares the personal server" test "$(given "$ann5")" = "$personal"
kill -9 "$ann4"
wait "$ann4" 2>/dev/null
sleep 0.5
check "the server stays while a game runs" "$helper" answers "$personal"
kill -9 "$ann5"
wait "$ann5" 2>/dev/null
# The server stops itself once no game holds its lock.
gone() {  # HOME
  local n=0
  while [ $n -lt 250 ]; do
    # The pattern does not match the grep that reads it.
    ps -eo args | grep -q -- "$1/.local/share/varkel/varkel.d[b]" || return 0
    sleep 0.1
    n=$((n + 1))
  done
  return 1
}
check "no server process left once the last game is killed" gone "$work/ann"
check "the personal server no longer answers" test "$("$helper" answers "$personal"; echo $?)" = 3
check "its socket is gone" test ! -e "$socket"

# ---- the launcher interrupted by each signal at moments of its start: once
# its game is gone no server is left, and the next game has its server (here
# in the state folder, XDG_RUNTIME_DIR being unset). Each game is a process
# group of its own, as at a terminal, where INT and HUP reach the whole group
# (a background job of a script would ignore INT).
set -m
interrupt() {  # signal, delay
  start "$work/ivy"
  sleep "$2"
  case $1 in
  INT | HUP) kill -s "$1" -- -"$started" 2>/dev/null ;;
  *) kill -s "$1" "$started" 2>/dev/null ;;
  esac
  wait "$started" 2>/dev/null
}
for signal in INT TERM HUP KILL; do
  for delay in 0.02 0.06 0.1 0.15 0.3; do
    interrupt $signal $delay
    check "no server left after $signal at $delay s" gone "$work/ivy"
  done
  # The next game at once, while the server an interrupted start left may
  # still be on its way.
  interrupt $signal 0.08
  start "$work/ivy"; ivy=$started
  check "after $signal the next game starts" ready "$ivy" "$work/ivy"
  check "after $signal the next game's server answers" "$helper" answers "$(given "$ivy")"
  stop "$ivy"
  check "after $signal no server once the game ends" gone "$work/ivy"
done
set +m
: >"$work/out"

# ---- another account's listener at the built-in address is not handed
# the game; the system's own is
mkdir -m 777 "$work/nobody"
listen_9999() {  # log, then the command that runs the server; its pid in $started
  "${@:2}" "$games/varkel_server" --port 9999 --listen 127.0.0.1 --db "$(dirname "$1")/w.db" \
    2>"$1" &
  started=$!
  pids+=("$started")
  local n=0
  until grep -qs 'listening on' "$1" || [ $n -ge 200 ]; do sleep 0.05; n=$((n + 1)); done
}
listen_9999 "$work/nobody/log" setpriv --reuid=65534 --regid=65534 --clear-groups
foreign=$started
start "$work/joe"; joe=$started
check "joe's game starts beside another account's listener" ready "$joe" "$work/joe"
check "joe plays on his personal server, not on localhost:9999" \
  grep -q '^unix:/' <<<"$(given "$joe")"
check "the listener is named: $(cat "$work/out")" grep -q 'nobody (uid 65534)' "$work/out"
stop "$joe"
check "joe's server ends with his game" gone "$work/joe"
stop "$foreign"
check "another account's listener heard nothing: $(cat "$work/nobody/log")" \
  test "$(grep -v 'listening on' "$work/nobody/log" | grep -c '127\.0\.0\.1')" -eq 0
: >"$work/out"
mkdir "$work/system"
listen_9999 "$work/system/log" env
system=$started
start "$work/kim"; kim=$started
check "kim's game starts beside the system's server" ready "$kim" "$work/kim"
check "kim plays on the built-in address" test -z "$(given "$kim")"
stop "$kim" "$system"

# Without a server program, one line says how to choose a server.
cp -a "$stage" "$work/client-only"
rm "$work/client-only/usr/games/varkel_server"
HOME=$work/fay SDL_VIDEODRIVER=dummy "$work/client-only/usr/games/varkel" >"$work/fay.out" 2>&1 &
fay=$!
pids+=("$fay")
check "fay's game starts" ready "$fay" "$work/fay"
stop "$fay"
check "one line says how to choose a server: $(cat "$work/fay.out")" \
  test "$(grep -c 'varkel --server HOST\[:PORT\]' "$work/fay.out")" -eq 1

# ---- one player, one memory: each game starts with the newest nickname
# and heard lines of the player's trees, a copy of its own
tree1=$state/1/tmp tree2=$state/2/tmp
mkdir -p "$tree1" "$tree2"
echo zoe >"$tree1/nickname.dat"
echo "old : line" >"$tree1/chat.dat"
touch -d '2 minutes ago' "$tree1/nickname.dat" "$tree1/chat.dat"
echo ann >"$tree2/nickname.dat"
echo "new : line" >"$tree2/chat.dat"
start "$work/ann" --server "127.0.0.1:$own"; ann6=$started
check "a game in tree 1" ready "$ann6" "$work/ann"
check "tree 1 has the newest nickname" test "$(cat "$tree1/nickname.dat")" = ann
check "tree 1 has the newest heard lines" test "$(cat "$tree1/chat.dat")" = "new : line"
check "a copy, not a shared file" test ! "$tree1/nickname.dat" -ef "$tree2/nickname.dat"
stop "$ann6"

# ---- a tls:// server and the authority file given with it, kept together;
# the file's path is made whole, since the client runs from its tree
authority() {  # pid: the authority file the client was given
  tr '\0' '\n' <"/proc/$1/environ" | sed -n 's/^VARKEL_CA_FILE=//p'
}
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$work/ca.key" \
  -out "$work/ca.pem" -days 1 -subj /CN=test 2>/dev/null
cd "$work" || exit 1
start "$work/gil" --server "tls://127.0.0.1:$own" --ca-file ca.pem; gil1=$started
cd - >/dev/null || exit 1
check "gil's game starts" ready "$gil1" "$work/gil"
check "gil's client is given the tls:// server" test "$(given "$gil1")" = "tls://127.0.0.1:$own"
check "gil's client is given the authority" test "$(authority "$gil1")" = "$(readlink -f "$work/ca.pem")"
stop "$gil1"
start "$work/gil"; gil2=$started
check "gil's next game starts" ready "$gil2" "$work/gil"
check "the kept server keeps its authority" test "$(authority "$gil2")" = "$(readlink -f "$work/ca.pem")"
stop "$gil2"
out=$(HOME=$work/gil "$games/varkel" --server "tls://127.0.0.1:$own" --ca-file "$work/none.pem" 2>&1)
check "an authority file that cannot be read is refused: $out" test $? -eq 2
start "$work/gil" --server "127.0.0.1:$own"; gil3=$started
check "gil's plain game starts" ready "$gil3" "$work/gil"
check "a plain server given alone has no authority" test -z "$(authority "$gil3")"
stop "$gil3"

check "the launcher and clients said nothing: $(cat "$work/out")" test ! -s "$work/out"
checks_done launcher
