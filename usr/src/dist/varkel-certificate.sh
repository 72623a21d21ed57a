#!/bin/sh
# SPDX-License-Identifier: MIT
# varkel_certificate: for a host without a domain of its own, a private
# authority and the server's certificate signed by it, for the TLS port.
# The players trust the authority's file (varkel --ca-file), and only it.
set -eu

release=@VARKEL_RELEASE@

usage() {
  cat <<TEXT
Usage: varkel_certificate [--dir DIR] [--days N] NAME|ADDRESS...
       varkel_certificate --version | --help

Makes, in DIR (default ./varkel-tls), once: a private authority
(authority.key, which never leaves DIR, and authority.pem, for the players),
and each time: the server's key and certificate (server.key, server.pem) for
the names and addresses given, valid N days (default 825). Run again to renew
the certificate: the authority stays, and so does the players' file.
Prints the file to give the players and how to use each file.
A server started with --tls-port alone makes its own certificate: this tool
is for a host that wants its players to trust an authority file instead.
TEXT
}

fail() {
  echo "varkel_certificate: $*" >&2
  exit 1
}

dir=./varkel-tls
days=825
while [ $# -gt 0 ]; do
  case $1 in
  --dir) dir=${2:?--dir needs a folder}; shift 2 ;;
  --days) days=${2:?--days needs a number}; shift 2 ;;
  -h | --help) usage; exit 0 ;;
  -v | --version) echo "varkel_certificate $release"; exit 0 ;;
  -*) echo "varkel_certificate: unknown option $1" >&2; exit 2 ;;
  *) break ;;
  esac
done
[ $# -ge 1 ] || { usage >&2; exit 2; }
case $days in '' | *[!0-9]*) fail "--days needs a number of days, not \"$days\"" ;; esac
command -v openssl > /dev/null || fail "openssl is missing"

# Each name as the certificate says it: an address or a DNS name.
names=""
for name in "$@"; do
  [ ${#name} -le 253 ] || fail "\"$name\" is longer than 253 characters"
  case $name in *[!A-Za-z0-9.:_-]*) fail "\"$name\" is not a host name nor an address" ;; esac
  kind=DNS
  if printf '%s' "$name" | grep -Eq '^[0-9.]+$|:'; then kind=IP; fi
  names="${names:+$names,}$kind:$name"
done

# A common name is at most 64 characters; the names that count are in
# subjectAltName, so a longer one is left out of the subject.
common_name() {  # prefix, name
  if [ $((${#1} + ${#2})) -le 64 ]; then echo "$1$2"; else echo "${1% of }"; fi
}

umask 077
made_dir=""
[ -d "$dir" ] || made_dir=$dir
mkdir -p "$dir"
cd "$dir"
here=$(pwd)
# Everything is made aside and moved in only once all of it is made, so a
# failure leaves the folder as it was.
work=$(mktemp -d "$here/.varkel-certificate.XXXXXX")
trap 'status=$?; rm -rf "$work"; [ $status -eq 0 ] || [ -z "$made_dir" ] || rmdir "$here" 2> /dev/null || true' EXIT
trap 'exit 1' HUP INT TERM

run_openssl() {  # what it makes, openssl's arguments...
  what=$1
  shift
  openssl "$@" 2> "$work/errors" || {
    cat "$work/errors" >&2
    fail "openssl could not make $what"
  }
}

authority_key=authority.key
authority_pem=authority.pem
if [ ! -f authority.key ] || [ ! -f authority.pem ]; then
  authority_key=$work/authority.key
  authority_pem=$work/authority.pem
  run_openssl "the authority" req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
    -sha256 -keyout "$authority_key" -out "$authority_pem" -days 3650 \
    -subj "/CN=$(common_name 'Varkel authority of ' "$1")" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
fi
run_openssl "the server's key" req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -sha256 \
  -keyout "$work/server.key" -out "$work/server.csr" \
  -subj "/CN=$(common_name '' "$1" | sed 's/^$/Varkel server/')"
printf 'subjectAltName=%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' \
  "$names" > "$work/server.ext"
run_openssl "the server's certificate" x509 -req -in "$work/server.csr" \
  -CA "$authority_pem" -CAkey "$authority_key" -set_serial "0x$(openssl rand -hex 16)" \
  -days "$days" -sha256 -extfile "$work/server.ext" -out "$work/server.pem"
chmod 644 "$work/server.pem" "$authority_pem"

# A new authority goes in before the pair it signed; the pair changes at
# once, for a server that reloads between the two.
if [ "$authority_key" != authority.key ]; then
  mv "$authority_key" authority.key
  mv "$authority_pem" authority.pem
fi
mv "$work/server.key" server.key
mv "$work/server.pem" server.pem

cat <<TEXT
Server certificate for $names, valid $days days:
  varkel_server --tls-port 9992 --tls-cert $here/server.pem --tls-key $here/server.key
  (a running server takes a renewed pair on SIGHUP: systemctl reload varkel-server)
Give the players this file, $here/authority.pem; they play with
  varkel --server tls://$1 --ca-file authority.pem
Keep $here/authority.key to yourself: whoever holds it can pass for your server.

TEXT
cat authority.pem
