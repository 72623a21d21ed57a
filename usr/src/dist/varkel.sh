#!/bin/sh
# SPDX-License-Identifier: MIT
# varkel: starts the Varkel client in the player's own tree, so that every
# player (and every game running at once) keeps its own nickname, heard
# lines, screenshot and log.
set -eu

release=@VARKEL_RELEASE@
web=@VARKEL_WEB_ADDRESS@
slots=16

state_home=${XDG_STATE_HOME:-}
case $state_home in
/*) ;;
*) state_home=${HOME:?HOME is not set}/.local/state ;;
esac
trees=$state_home/varkel

usage() {
  cat <<TEXT
Usage: varkel [--server [tls://]HOST[:PORT]] [--ca-file FILE] [--fullscreen]
       varkel --version | --help

Starts Varkel, in a window or full screen. Without --server the client talks
to the server it was built for; HOST alone means port 9999. With tls:// the
conversation is encrypted (port 9998 by default) and the server's certificate
is checked against the system's authorities, or only against FILE.

Options:
  -s, --server HOST[:PORT]  play on that server (sets VARKEL_SERVER)
  --ca-file FILE            trust only this authority for a tls:// server, as
                            a host without a domain hands it out (sets
                            VARKEL_CA_FILE)
  -f, --fullscreen          start in full screen
  -v, --version             print the version and end
  -h, --help                print this text and end

Your files are in $trees/1/
(a second game started while one runs uses $trees/2/, and so on):
  tmp/nickname.dat                  the remembered nickname
  tmp/chat.dat                      the last hundred lines heard
  tmp/faim.dat, soif.dat, sommeil.dat  the needs last asked for
  tmp/screenshot.bmp                the screenshot
  var/log/varkel/varkel_client.log  the log of the last game
TEXT
}

fail() {
  echo "varkel: $1" >&2
  echo "Try 'varkel --help'." >&2
  exit 2
}

fullscreen=""
while [ $# -gt 0 ]; do
  case $1 in
  -s | --server)
    [ $# -ge 2 ] || fail "$1 needs HOST or HOST:PORT"
    VARKEL_SERVER=$2
    export VARKEL_SERVER
    shift 2
    ;;
  --server=*)
    VARKEL_SERVER=${1#--server=}
    export VARKEL_SERVER
    shift
    ;;
  --ca-file | --ca-file=*)
    case $1 in
    --ca-file=*) ca_file=${1#--ca-file=}; shift ;;
    *) [ $# -ge 2 ] || fail "$1 needs a FILE"; ca_file=$2; shift 2 ;;
    esac
    # The client runs from its own tree: the path must not depend on here.
    [ -r "$ca_file" ] || fail "cannot read the authority file $ca_file"
    VARKEL_CA_FILE=$(readlink -f "$ca_file")
    export VARKEL_CA_FILE
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

here=$(dirname "$(readlink -f "$0")")
client=$here/varkel_client
share=$(cd "$here/@VARKEL_GAMES_TO_DATA@" && pwd) || {
  echo "varkel: the game's pictures are not in $here/@VARKEL_GAMES_TO_DATA@" >&2
  exit 1
}

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
    echo "varkel: $slots games already run for this player" >&2
    exit 1
  fi
done

root=$trees/$slot
mkdir -p "$root/usr/bin" "$root/usr/share" "$root/tmp" "$root/var/log/varkel"
# Points at the installed pictures and font, wherever the game is now.
ln -sfn "$share" "$root/usr/share/varkel"
cd "$root/usr/bin"
if [ -n "$fullscreen" ]; then
  exec "$client" "$fullscreen"
fi
exec "$client"
