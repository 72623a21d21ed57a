#!/bin/sh
# SPDX-License-Identifier: MIT
# varkel: starts the Varkel client in the player's own tree, so that every
# player (and every game running at once) keeps its own nickname, heard
# lines, screenshot and log; on the server the player chose last, or on a
# personal one when nothing answers at the built-in address of this machine.
set -eu

release=@VARKEL_RELEASE@
web=@VARKEL_WEB_ADDRESS@
slots=16

# An XDG folder when it is absolute, else its default under HOME.
folder() {  # value, default below HOME
  case $1 in
  /*) printf '%s\n' "$1" ;;
  *) printf '%s\n' "${HOME:?HOME is not set}/$2" ;;
  esac
}
trees=$(folder "${XDG_STATE_HOME:-}" .local/state)/varkel
memory=$(folder "${XDG_CONFIG_HOME:-}" .config)/varkel/server
# The certificates the client kept at first contact, one "tls://HOST:PORT
# SHA256:..." line per server.
known=$(folder "${XDG_CONFIG_HOME:-}" .config)/varkel/known_servers
world=$(folder "${XDG_DATA_HOME:-}" .local/share)/varkel

usage() {
  cat <<TEXT
Usage: varkel [--server ADDRESS [--ca-file FILE] | --choose-server | --forget-server]
              [--fullscreen]
       varkel --version | --help

Starts Varkel, in a window or full screen, on the server given with
--server, else the one in VARKEL_SERVER, else the one given last with
--server, else the server the game was built for when it answers (and,
on this machine, is the system's or yours), else a personal server of your
own on this machine, which only you can reach.

ADDRESS is HOST, HOST:PORT, [IPV6], [IPV6]:PORT or an IPv6 address; HOST is
a name of up to 253 characters or an IPv4 address; the port is 9999 when
not given. After tls:// (tls://HOST[:PORT], port 9992 when not given) the
conversation is encrypted and the server's certificate checked against the
authorities the system trusts, or only against the one of --ca-file; one
no authority vouches for is kept at first contact, and only it is taken
after. A HOST alone is played over TLS when it speaks it (or was seen with
it before), else in the clear once you are told. unix:PATH is a server of
this machine reached through its socket file.

Options:
  -s, --server ADDRESS  play on that server, and on it again next time
      --ca-file FILE    trust only this authority for a tls:// server (the
                        file a host without a domain hands out); kept with
                        the server
      --choose-server   ask for the server in a small window, then play
      --forget-server   forget the server given last, then play
  -f, --fullscreen      start in full screen
  -v, --version         print the version and end
  -h, --help            print this text and end

The server given last:  $memory
Certificates kept:      $known
The personal world:     $world/varkel.db
                        (its server's log: $trees/server.log;
                        its socket: server.sock in \$XDG_RUNTIME_DIR/varkel/)
Your files are in $trees/1/
(a second game started while one runs uses $trees/2/, and so on):
  tmp/nickname.dat                  the remembered nickname
  tmp/chat.dat                      the last hundred lines heard
  tmp/faim.dat, soif.dat, sommeil.dat  the needs last asked for
  tmp/screenshot.bmp                the screenshot
  var/log/varkel/varkel_client.log  the log of the last game
Every game starts with the newest nickname.dat and chat.dat of your trees.
TEXT
}

# A line for the player: on standard error, and, started from a menu
# without a terminal, in a notification or a small window too.
tell() {
  echo "varkel: $1" >&2
  if [ -t 2 ] || [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then return 0; fi
  if command -v zenity >/dev/null 2>&1; then
    zenity --warning --title=Varkel --no-wrap --text="$1" >/dev/null 2>&1 7>&- 8>&- 9>&- &
  elif command -v notify-send >/dev/null 2>&1; then
    notify-send --app-name=Varkel --icon=varkel Varkel "$1" >/dev/null 2>&1 7>&- 8>&- 9>&- &
  fi
}

fail() {
  tell "$1"
  echo "Try 'varkel --help'." >&2
  exit 2
}

here=$(dirname "$(readlink -f "$0")")
client=$here/varkel_client
helper=$here/@VARKEL_GAMES_TO_HELPER@/varkel_address

# The client's own reader of addresses says what is wrong with one.
check() {  # address, where it comes from
  if ! problem=$("$helper" check "$1"); then
    fail "$2 \"$1\": ${problem:-the address reader $helper did not run}"
  fi
}

# The server on the first line, the authority file given with it, if any,
# on the second.
remember() {  # address, authority file
  mkdir -p "$(dirname "$memory")"
  printf '%s\n%s\n' "$1" "$2" >"$memory.new"
  mv -f "$memory.new" "$memory"
}

# Asks for a server, and the authority file its host may hand out, until a
# good one is given; an empty server forgets it. 1 when the player gives up.
choose() {
  command -v zenity >/dev/null 2>&1 ||
    fail "--choose-server needs zenity; varkel --server ADDRESS chooses a server too"
  while :; do
    answer=$(zenity --forms --title=Varkel --separator='|' \
      --text="Le serveur gardé : $(head -n 1 "$memory" 2>/dev/null || echo aucun)" \
      --add-entry="Serveur (HÔTE, HÔTE:PORT, [IPV6]:PORT ; tls:// devant pour TLS ; vide : l'oublier)" \
      --add-entry="Fichier d'autorité donné par l'hôte (facultatif)") || return 1
    given=${answer%%|*}
    authority=${answer#*|}
    if [ -z "$given" ]; then
      rm -f "$memory"
      return 0
    fi
    if ! problem=$("$helper" check "$given"); then
      zenity --error --title=Varkel --no-wrap --text="« $given » : $problem" || :
    elif [ -n "$authority" ] && [ ! -r "$authority" ]; then
      zenity --error --title=Varkel --no-wrap --text="« $authority » ne peut pas être lu" || :
    else
      server=$given
      ca_file=$authority
      return 0
    fi
  done
}

# The player agrees to play in the clear: on a terminal, told; from the
# menu, asked.
clear_agreed() {  # host
  text="$1 offers no TLS (nothing speaks it on port 9992): your name and password would cross the network in the clear"
  if [ -t 2 ] || [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] || ! command -v zenity >/dev/null 2>&1; then
    tell "$text; playing in the clear"
    return 0
  fi
  echo "varkel: $text" >&2
  zenity --question --title=Varkel --no-wrap --text="$1 n'offre pas TLS : votre nom et votre mot de passe passeraient en clair.
Jouer quand même ?" 7>&- 8>&- 9>&-
}

# A server given by its name alone (no scheme, no port): over TLS when it
# speaks it on its port, and always once it has been seen with TLS; in
# the clear only after the player is told.
tls_first() {  # address
  case $1 in
  *://* | unix:* | \[*) return 0 ;;
  *:*:*) key="tls://[$1]:9992" ;;
  *:*) return 0 ;;
  *) key="tls://$1:9992" ;;
  esac
  if awk -v key="$key" '$1 == key { seen = 1 } END { exit !seen }' "$known" 2>/dev/null ||
    "$helper" tls "$1"; then
    server="tls://$1"
    return 0
  fi
  clear_agreed "$1" || exit 0
}

server=""
ca_file=""
fullscreen=""
forget=""
ask=""
while [ $# -gt 0 ]; do
  case $1 in
  --ca-file)
    [ $# -ge 2 ] || fail "$1 needs a file"
    ca_file=$2
    shift 2
    ;;
  --ca-file=*)
    ca_file=${1#--ca-file=}
    shift
    ;;
  -s | --server)
    [ $# -ge 2 ] || fail "$1 needs an address: HOST, HOST:PORT or [IPV6]:PORT"
    server=$2
    shift 2
    ;;
  --server=*)
    server=${1#--server=}
    shift
    ;;
  --choose-server)
    ask=1
    shift
    ;;
  --forget-server)
    forget=1
    shift
    ;;
  -f | --fullscreen)
    fullscreen=--fullscreen
    shift
    ;;
  -v | --version)
    printf 'Varkel version %s\n%s\n' "$release" "$web"
    exit 0
    ;;
  -h | --help)
    usage
    exit 0
    ;;
  *) fail "unknown option or argument: $1" ;;
  esac
done

share=$(cd "$here/@VARKEL_GAMES_TO_DATA@" && pwd) || {
  tell "the game's pictures are not in $here/@VARKEL_GAMES_TO_DATA@"
  exit 1
}

if [ -n "$forget" ]; then
  rm -f "$memory"
  tell "the server given last is forgotten"
fi
if [ -n "$ask" ]; then
  choose || exit 0
fi

# Which server: --server (kept for next time), VARKEL_SERVER, the one kept,
# the built-in one when it answers, the personal one.
personal=""
# The client runs from its own tree: the authority file's path must not
# depend on the folder it was given from.
if [ -n "$ca_file" ]; then
  [ -n "$server" ] || fail "--ca-file goes with --server tls://ADDRESS"
  [ -r "$ca_file" ] || fail "--ca-file: cannot read $ca_file"
  ca_file=$(readlink -f "$ca_file")
fi
if [ -n "$server" ]; then
  check "$server" --server
  tls_first "$server"
  remember "$server" "$ca_file"
elif [ -n "${VARKEL_SERVER:-}" ]; then
  check "$VARKEL_SERVER" VARKEL_SERVER
  server=$VARKEL_SERVER
elif [ -s "$memory" ]; then
  server=$(head -n 1 "$memory")
  ca_file=$(sed -n 2p "$memory")
  check "$server" "the server kept in $memory,"
elif found=$("$helper" builtin); then
  :
else
  # 3: nothing answers there; 4: another account listens there (its name
  # on the second line), which would be handed the player's password.
  case $? in
  3) ;;
  4) tell "$(printf '%s' "$found" | sed -n 1p) is held by another account, $(printf '%s' "$found" | sed -n 2p), not by this machine's server: playing on a personal server" ;;
  *) fail "the address reader $helper did not run" ;;
  esac
  personal=1
fi
builtin=$(printf '%s' "${found:-}" | sed -n 1p)
if [ -n "$server" ]; then
  VARKEL_SERVER=$server
  export VARKEL_SERVER
fi
if [ -n "$ca_file" ]; then
  VARKEL_CA_FILE=$ca_file
  export VARKEL_CA_FILE
fi
VARKEL_KNOWN_SERVERS=$known
export VARKEL_KNOWN_SERVERS

# The first tree that no running game holds; the lock lives as long as the
# client, which inherits its descriptor.
umask 077
mkdir -p "$trees"
slot=1
while :; do
  exec 9>>"$trees/$slot.lock"
  if flock -n 9; then break; fi
  exec 9>&-
  slot=$((slot + 1))
  if [ $slot -gt $slots ]; then
    tell "$slots games already run for this player"
    exit 1
  fi
done

root=$trees/$slot
mkdir -p "$root/usr/bin" "$root/usr/share" "$root/tmp" "$root/var/log/varkel"
# Points at the installed pictures and font, wherever the game is now.
ln -sfn "$share" "$root/usr/share/varkel"

# One player, one memory: the newest nickname and heard lines of any tree,
# copied, so that no two games write the same file.
for name in nickname.dat chat.dat; do
  # shellcheck disable=SC2012 # tree folders are numbers
  newest=$(ls -t "$trees"/*/tmp/$name 2>/dev/null | head -n 1) || :
  if [ -n "$newest" ] && [ "$newest" != "$root/tmp/$name" ]; then
    cp "$newest" "$root/tmp/.$name.new" && mv -f "$root/tmp/.$name.new" "$root/tmp/$name"
  fi
done

# The personal server: one for all the player's games, on a Unix socket
# that only the player may open, in a folder of the player's alone. It is
# its own keeper: it holds SOCKET.lock while it runs, and stops once it can
# hold server.users alone. Every game holds server.users shared (descriptor
# 8, inherited by its client), so that the server ends with the last game,
# however it went, and a launcher interrupted at any moment leaves nothing
# behind; nothing ever signals it.
personal_server() {
  program=$here/varkel_server
  if [ ! -x "$program" ]; then
    tell "no server answers at $builtin: choose one with varkel --server HOST[:PORT] (or install varkel-server for a world of your own)"
    return 0
  fi
  run=$(runtime)
  socket=$run/server.sock
  exec 8>>"$trees/server.users"
  # A server that is stopping holds it alone until it has gone.
  flock -s -w 30 8 || {
    tell "the personal server did not stop within 30 s: see $trees/server.log"
    return 0
  }
  # One launcher at a time looks for the server and starts it.
  exec 7>>"$trees/server.start"
  flock 7
  if ! "$helper" answers "unix:$socket" >/dev/null; then
    start_server "$program" "$socket" || {
      exec 7>&-
      tell "the personal server did not start: see $trees/server.log"
      return 0
    }
  fi
  exec 7>&-
  VARKEL_SERVER=unix:$socket
  export VARKEL_SERVER
}

# XDG_RUNTIME_DIR when it is the player's alone, else the state folder.
runtime() {
  dir=${XDG_RUNTIME_DIR:-}
  case $dir in
  /*)
    if [ -d "$dir" ] && [ -O "$dir" ] && [ "$(stat -c %a "$dir")" = 700 ]; then
      mkdir -p "$dir/varkel"
      printf '%s\n' "$dir/varkel"
      return 0
    fi
    ;;
  esac
  chmod 700 "$trees"
  printf '%s\n' "$trees"
}

# Starts the server out of the terminal's reach and waits until it answers.
# A server started by a launcher interrupted before it answered may still be
# on its way: this one then gives way to it.
start_server() {  # program, socket
  log=$trees/server.log
  : >"$log"
  setsid "$1" --unix "$2" --while-locked "$trees/server.users" --db "$world/varkel.db" \
    </dev/null >/dev/null 2>>"$log" 7>&- 8>&- 9>&- &
  pid=$!
  n=0
  # About 10 s: each round starts the address reader.
  while [ $n -lt 100 ]; do
    if "$helper" answers "unix:$2" >/dev/null; then return 0; fi
    if ! kill -0 "$pid" 2>/dev/null && ! grep -q 'another server' "$log"; then return 1; fi
    sleep 0.05
    n=$((n + 1))
  done
  return 1
}

if [ -n "$personal" ]; then
  personal_server
fi

cd "$root/usr/bin"
if [ -n "$fullscreen" ]; then
  exec "$client" "$fullscreen"
fi
exec "$client"
