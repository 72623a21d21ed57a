#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# test_install.sh STAGE SOURCE: the staged install tree. Its files are where
# a package puts them and validate; the launcher gives every player, and
# every game running at once, a tree of its own and writes nowhere else; a
# bad VARKEL_SERVER stops the client. Every check runs; any failure fails.
set -uo pipefail
stage=$1 source=$2
games=$stage/usr/games
source "$(dirname "$0")/support_checks.sh"

# ---- where the files are
for program in varkel varkel_client varkel_server varkel_admin varkel_bench varkel_certificate; do
  check "$program in /usr/games, executable" test -x "$games/$program"
done
check "varkel_admin in root's PATH" test "$(readlink "$stage/usr/sbin/varkel_admin")" = ../games/varkel_admin
check "the launcher's address reader, executable" test -x "$stage/usr/libexec/varkel/varkel_address"
share=$stage/usr/share
check "25 pictures" test "$(ls "$share/varkel/pictures"/*.bmp | wc -l)" -eq 25
check "font.ttf is a relative link" test "$(readlink "$share/varkel/fonts/font.ttf" | cut -c1)" = .
check "font.ttf opens" test -s "$share/varkel/fonts/font.ttf"
for size in 48 64 128 256; do
  icon=$share/icons/hicolor/${size}x$size/apps/varkel.png
  # The PNG header: signature, then IHDR with width and height, RGBA.
  header=$(od -An -tx1 -N26 "$icon" 2>/dev/null | tr -d ' \n')
  want=$(printf '89504e470d0a1a0a0000000d49484452%08x%08x0806' "$size" "$size")
  check "icon $size is a ${size}x$size RGBA PNG" test "$header" = "$want"
done
for page in varkel varkel_client varkel_server varkel_admin varkel_bench varkel_certificate; do
  check "man page $page" test -s "$share/man/man6/$page.6.gz"
done
if [ -e "$games/varkel_admin" ]; then
  check "man page varkel_admin" test -s "$share/man/man6/varkel_admin.6.gz"
fi
check "copyright" grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
  "$share/doc/varkel/copyright"
unit=$stage/usr/lib/systemd/system/varkel-server.service
check "the unit runs the installed server" grep -q '^ExecStart=/usr/games/varkel_server ' "$unit"
check "the unit serves TLS out of the box" grep -q '^ExecStart=.* --tls-port 9992 ' "$unit"

# ---- the files validate (the tools come with scripts/install-deps.sh)
desktop=$share/applications/org.example.varkel.desktop
out=$(desktop-file-validate "$desktop" 2>&1) && [ -z "$out" ] || fail "desktop-file-validate: $out"
check "the desktop entry's categories" grep -qx 'Categories=Game;RolePlaying;' "$desktop"
for action in choose-server forget-server; do
  check "the desktop entry's action $action" grep -qx "Exec=/usr/games/varkel --$action" "$desktop"
done
out=$(appstreamcli validate --no-net "$share/metainfo/org.example.varkel.metainfo.xml" 2>&1) ||
  fail "appstreamcli: $out"
for page in "$source"/usr/src/dist/man/*.6; do
  out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$out" ] || fail "man --warnings $(basename "$page"): $out"
  check "$(basename "$page") has its SPDX line" grep -q 'SPDX-License-Identifier: MIT' "$page"
done
# The unit's reload runs the system's kill, which the staged tree lacks.
root=$work/verify-root
cp -a "$stage" "$root"
mkdir -p "$root/bin"
cp /bin/kill "$root/bin/kill"
out=$(systemd-analyze verify --recursive-errors=no --man=no --root="$root" \
  "$root/usr/lib/systemd/system/varkel-server.service" 2>&1)
[ $? -eq 0 ] && [ -z "$out" ] || fail "systemd-analyze verify: $out"
# The same check on a broken copy must speak, or it proves nothing.
broken=$work/broken-root
mv "$root" "$broken"
sed -i 's/^ProtectHome=yes/ProtectHome=perhaps/' "$broken/usr/lib/systemd/system/varkel-server.service"
out=$(systemd-analyze verify --recursive-errors=no --man=no --root="$broken" \
  "$broken/usr/lib/systemd/system/varkel-server.service" 2>&1)
[ -n "$out" ] || fail "systemd-analyze verify is silent on a broken unit"
rm -rf "$broken"
for key in DynamicUser=yes StateDirectory=varkel Restart=on-failure NoNewPrivileges=yes \
  ProtectSystem=strict ProtectHome=yes PrivateTmp=yes PrivateDevices=yes \
  SystemCallFilter=@system-service; do
  check "the unit has $key" grep -qx "$key" "$unit"
done
check "the unit restricts address families" grep -q '^RestrictAddressFamilies=' "$unit"

# ---- the launcher's own options
out=$("$games/varkel" --version)
release=$(sed -n 's/^#define WIRE_VERSION \([0-9]*\)$/\1/p' "$source/usr/src/common/varkel_wire.h")
check "varkel --version" test "$out" = "$(printf 'Varkel version %s\nhttps://varkel.example.org/' "$release")"
out=$(HOME=/home/ann XDG_STATE_HOME= "$games/varkel" --help)
check "varkel --help names the tree" grep -q '/home/ann/.local/state/varkel/1/' <<<"$out"
check "varkel --help names the screenshot" grep -q 'tmp/screenshot.bmp' <<<"$out"
"$games/varkel" --bogus >/dev/null 2>&1
check "an unknown option ends with status 2" test $? -eq 2

# ---- varkel_certificate: a name as long as a label may be, and openssl's
# own refusal shown with nothing left behind
cert=$games/varkel_certificate
check "varkel_certificate --version" test "$("$cert" --version)" = "varkel_certificate $release"
name=$(printf 'x%.0s' $(seq 59)).org
"$cert" --dir "$work/tls" "$name" >"$work/cert.out" 2>&1
check "a certificate for a 63-character name: $(cat "$work/cert.out")" \
  openssl verify -CAfile "$work/tls/authority.pem" -verify_hostname "$name" "$work/tls/server.pem"
before=$(cd "$work/tls" && ls -A && md5sum ./*)
"$cert" --dir "$work/tls" 999.1.1.1 >"$work/cert.out" 2>&1
check "a refused address ends with status 1" test $? -eq 1
check "openssl's error is shown" grep -q 'bad ip address' "$work/cert.out"
check "a failed renewal leaves the folder as it was" test "$(cd "$work/tls" && ls -A && md5sum ./*)" = "$before"
"$cert" --dir "$work/none" 999.1.1.1 >/dev/null 2>&1
check "a failed first run leaves no folder" test ! -e "$work/none"

# ---- trees: two games of one player at once, and another player
# What the client writes when it misses its tree: these must not change.
outside=(/tmp/nickname.dat /tmp/chat.dat /tmp/screenshot.bmp /var/log/varkel/varkel_client.log)
stamp() { for f in "${outside[@]}"; do stat -c '%n %Y %s' "$f" 2>/dev/null || echo "$f absent"; done; }
before=$(stamp)

# A server is given: with none, a personal one would be born (test_launcher.sh).
start() {  # HOME, then launcher arguments; the client's pid in $started
  HOME=$1 SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy XDG_STATE_HOME= VARKEL_SERVER=127.0.0.1:9 \
    "$games/varkel" "${@:2}" >>"$work/out" 2>&1 &
  started=$!
  pids+=("$started")
}
# The client has made its tree's log when its working directory is there.
ready() {  # pid, tree
  local n=0
  while [ $n -lt 200 ]; do
    [ "$(readlink "/proc/$1/cwd")" = "$2/usr/bin" ] && [ -e "$2/var/log/varkel/varkel_client.log" ] &&
      return 0
    sleep 0.05
    n=$((n + 1))
  done
  return 1
}
ann=$work/ann bob=$work/bob
mkdir -p "$ann" "$bob"
start "$ann"; first=$started
check "ann's first game in tree 1" ready "$first" "$ann/.local/state/varkel/1"
start "$ann" --fullscreen; second=$started
check "ann's second game in tree 2" ready "$second" "$ann/.local/state/varkel/2"
start "$bob"; third=$started
check "bob's game in his own tree 1" ready "$third" "$bob/.local/state/varkel/1"
for tree in "$ann/.local/state/varkel/1" "$ann/.local/state/varkel/2" "$bob/.local/state/varkel/1"; do
  check "$tree/usr/share/varkel points at the installed data" \
    test "$(readlink "$tree/usr/share/varkel")" = "$(cd "$stage/usr/share/varkel" && pwd)"
  check "$tree has tmp/" test -d "$tree/tmp"
done
# Each client writes its own log: the open descriptors name distinct files.
logs=$(for pid in $first $second $third; do
  readlink /proc/$pid/fd/* | grep 'varkel_client.log$'
done | sort -u | wc -l)
check "three clients, three logs" test "$logs" -eq 3
check "the second game runs in full screen" grep -qz -- '--fullscreen' "/proc/$second/cmdline"
kill "$first" "$second" "$third"
wait "$first" "$second" "$third" 2>/dev/null
# Tree 1 is free again once its game has ended.
start "$ann"; again=$started
check "a later game takes tree 1 again" ready "$again" "$ann/.local/state/varkel/1"
kill "$again"
wait "$again" 2>/dev/null
# Nothing outside the trees: only the state folders in each HOME.
extra=$(cd "$work" && find ann bob -mindepth 1 | grep -v '^\(ann\|bob\)/\.local$' |
  grep -v '^\(ann\|bob\)/\.local/state\(/varkel\(/.*\)\?\)\?$')
check "nothing but the trees in HOME: $extra" test -z "$extra"
check "nothing written in /tmp or /var/log/varkel" test "$(stamp)" = "$before"
check "the launcher and clients said nothing" test ! -s "$work/out"
# XDG_STATE_HOME, when absolute, holds the trees.
HOME=$bob XDG_STATE_HOME=$work/state VARKEL_SERVER=127.0.0.1:9 SDL_VIDEODRIVER=dummy \
  "$games/varkel" >/dev/null 2>&1 &
xdg=$!
pids+=("$xdg")
check "XDG_STATE_HOME holds the tree" ready "$xdg" "$work/state/varkel/1"
kill "$xdg"
wait "$xdg" 2>/dev/null

# ---- a bad server stops the launcher at once, before any tree
for bad in "localhost:70000" "$(printf 'a%.0s' $(seq 254))" "localhost:port" "https://host"; do
  out=$(HOME=$work/carl SDL_VIDEODRIVER=dummy timeout 20 "$games/varkel" --server "$bad" 2>&1)
  status=$?
  check "--server $bad ends with status 2 ($status)" test $status -eq 2
  check "--server $bad is explained: $out" grep -qF -- "--server \"$bad\": " <<<"$out"
done
check "no log after a bad server" test ! -e "$work/carl/.local/state/varkel/1/var/log/varkel/varkel_client.log"

checks_done install
