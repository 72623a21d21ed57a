#!/bin/sh
# SPDX-License-Identifier: MIT
# varkel_certificate: for a host without a domain of its own, a private
# authority and the server's certificate signed by it, for the TLS port.
# The players trust the authority's file (varkel --ca-file), and only it.
set -eu

usage() {
  cat <<TEXT
Usage: varkel_certificate [--dir DIR] [--days N] NAME|ADDRESS...

Makes, in DIR (default ./varkel-tls), once: a private authority
(authority.key, which never leaves DIR, and authority.pem, for the players),
and each time: the server's key and certificate (server.key, server.pem) for
the names and addresses given, valid N days (default 825). Run again to renew
the certificate: the authority stays, and so does the players' file.
Prints the file to give the players and how to use each file.
TEXT
}

dir=./varkel-tls
days=825
while [ $# -gt 0 ]; do
  case $1 in
  --dir) dir=${2:?--dir needs a folder}; shift 2 ;;
  --days) days=${2:?--days needs a number}; shift 2 ;;
  -h | --help) usage; exit 0 ;;
  -*) echo "varkel_certificate: unknown option $1" >&2; exit 2 ;;
  *) break ;;
  esac
done
[ $# -ge 1 ] || { usage >&2; exit 2; }
command -v openssl > /dev/null || { echo "varkel_certificate: openssl is missing" >&2; exit 1; }

# Each name as the certificate says it: an address or a DNS name.
names=""
for name in "$@"; do
  kind=DNS
  if printf '%s' "$name" | grep -Eq '^[0-9.]+$|:'; then kind=IP; fi
  names="${names:+$names,}$kind:$name"
done

umask 077
mkdir -p "$dir"
cd "$dir"
if [ ! -f authority.key ]; then
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -sha256 \
    -keyout authority.key -out authority.pem -days 3650 \
    -subj "/CN=Varkel authority of $1" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
    2> /dev/null
fi
openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -sha256 \
  -keyout server.key.new -out server.csr -subj "/CN=$1" 2> /dev/null
printf 'subjectAltName=%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' \
  "$names" > server.ext
openssl x509 -req -in server.csr -CA authority.pem -CAkey authority.key -CAcreateserial \
  -days "$days" -sha256 -extfile server.ext -out server.pem.new 2> /dev/null
# The pair changes at once, for a server that reloads between the two.
mv server.key.new server.key
mv server.pem.new server.pem
rm -f server.csr server.ext
chmod 644 authority.pem server.pem

here=$(pwd)
cat <<TEXT
Server certificate for $names, valid $days days:
  varkel_server --tls-port 9992 --tls-cert $here/server.pem --tls-key $here/server.key
  (a running server takes a renewed pair on SIGHUP: systemctl reload varkel-server)
Give the players this file, $here/authority.pem; they play with
  varkel --server tls://$1 --ca-file authority.pem
Keep $here/authority.key to yourself: whoever holds it can pass for your server.

TEXT
cat authority.pem
