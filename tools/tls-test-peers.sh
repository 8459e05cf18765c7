#!/bin/sh
# Runs a command beside TLS servers on 127.0.0.1, for the Windows build's
# TLS tests (which run under Wine and cannot start a Linux server
# themselves).  A test authority and the servers' keys are made afresh in a
# temporary folder with the openssl command line and removed afterwards.
#
#   tools/tls-test-peers.sh <command> [arguments...]
#
# The command sees
#   KARVELO_TLS_TEST_CA     the authority's certificate, base64 DER on one line
#   KARVELO_TLS_TEST_PORTS  "good wrong-name expired untrusted h2": the ports of
#                           servers for tls.karvelo.test and 127.0.0.1 whose
#                           certificates are sound, for another name (only),
#                           expired, and from an authority nobody trusts
#                           (and one more that picks h2 by ALPN, speaking
#                           HTTP/1.1 all the same)
#   KARVELO_TLS_TEST_H2     "PORT LOG": nginx with the good certificate,
#                           TLS and HTTP/2 on PORT, serving /h2/1.png to
#                           /h2/24.png (the PNG signature, then the path
#                           repeated to a few kilobytes), its access log
#                           ("$server_protocol $connection $request_uri
#                           $status" per request) at LOG; empty where
#                           nginx is not installed, and
#                           of one with the good certificate that picks "h2"
#                           (else "http/1.1") by ALPN but speaks HTTP/1.1
set -e

if [ $# -lt 1 ]; then
    echo "usage: $0 <command> [arguments...]" >&2
    exit 2
fi

script=$(cd "$(dirname "$0")" && pwd)/tls_test_peer.py
dir=$(mktemp -d)
server=
nginx=
cleanup() {
    [ -n "$server" ] && kill "$server" 2>/dev/null
    [ -n "$nginx" ] && kill "$nginx" 2>/dev/null && wait "$nginx" 2>/dev/null
    rm -rf "$dir"
}
trap cleanup EXIT INT TERM

cd "$dir"
quiet() { "$@" >/dev/null 2>&1 || { echo "tls-test-peers: failed: $*" >&2; exit 1; }; }

authority() {  # name, subject
    quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.pem" -days 2 -subj "/CN=$2" \
        -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"
    mkdir "$1.db" && : >"$1.db/index.txt" && echo 01 >"$1.db/serial"
    cat >"$1.cnf" <<CONFIG
[ca]
default_ca = signer
[signer]
database = $dir/$1.db/index.txt
new_certs_dir = $dir/$1.db
serial = $dir/$1.db/serial
default_md = sha256
policy = anything
unique_subject = no
[anything]
commonName = supplied
[server]
basicConstraints = CA:FALSE
extendedKeyUsage = serverAuth
subjectAltName = \${ENV::SERVER_NAMES}
CONFIG
}

# name, authority, host name, subjectAltName, then openssl ca's validity
# arguments.
server_certificate() {
    name=$1 signer=$2 host=$3 names=$4
    shift 4
    quiet openssl req -new -newkey rsa:2048 -nodes -keyout "$name.key" -out "$name.csr" -subj "/CN=$host"
    SERVER_NAMES=$names quiet openssl ca -batch -config "$signer.cnf" -extensions server -cert "$signer.pem" \
        -keyfile "$signer.key" -in "$name.csr" -out "$name.pem" -notext "$@"
}

authority ca "Karvelo test authority"
authority stranger "Nobody's authority"
# 127.0.0.1 too, so clients that cannot map the name (Karvelo.exe) reach
# the servers by address.
ours=DNS:tls.karvelo.test,IP:127.0.0.1
server_certificate good ca tls.karvelo.test $ours -days 2
server_certificate wrong-name ca other.karvelo.test DNS:other.karvelo.test -days 2
server_certificate expired ca tls.karvelo.test $ours -startdate 20200101000000Z -enddate 20200102000000Z
server_certificate untrusted stranger tls.karvelo.test $ours -days 2

cd - >/dev/null
python3 "$script" "$dir" good wrong-name expired untrusted good:h2,http/1.1 &
server=$!
for i in $(seq 100); do
    [ -s "$dir/ports" ] && break
    sleep 0.1
done
[ -s "$dir/ports" ] || { echo "tls-test-peers: the servers did not start" >&2; exit 1; }

# nginx speaking HTTP/2, for a relocation over it under Wine.
KARVELO_TLS_TEST_H2=
if [ -x /usr/sbin/nginx ]; then
    mkdir -p "$dir/www/h2" "$dir/nginx"
    python3 - "$dir/www/h2" <<'IMAGES'
import sys
for n in range(1, 25):
    path = "/h2/%d.png" % n
    with open("%s/%d.png" % (sys.argv[1], n), "wb") as image:
        image.write(b"\x89PNG\r\n\x1a\n" + path.encode() * (200 * n))
IMAGES
    port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    cat >"$dir/nginx/nginx.conf" <<CONFIG
daemon off;
master_process off;
worker_processes 1;
pid $dir/nginx/nginx.pid;
error_log $dir/nginx/error.log;
events { worker_connections 256; }
http {
  log_format h2peer '\$server_protocol \$connection \$request_uri \$status';
  access_log $dir/h2-access.log h2peer;
  client_body_temp_path $dir/nginx/body;
  proxy_temp_path $dir/nginx/proxy;
  fastcgi_temp_path $dir/nginx/fastcgi;
  uwsgi_temp_path $dir/nginx/uwsgi;
  scgi_temp_path $dir/nginx/scgi;
  types { image/png png; }
  server {
    listen 127.0.0.1:$port ssl http2;
    ssl_certificate $dir/good.pem;
    ssl_certificate_key $dir/good.key;
    root $dir/www;
  }
}
CONFIG
    /usr/sbin/nginx -p "$dir/nginx/" -c "$dir/nginx/nginx.conf" -e "$dir/nginx/error.log" &
    nginx=$!
    for i in $(seq 100); do
        python3 -c 'import socket, sys; socket.create_connection(("127.0.0.1", int(sys.argv[1])), 1)' "$port" \
            2>/dev/null && break
        sleep 0.1
    done
    KARVELO_TLS_TEST_H2="$port $dir/h2-access.log"
fi

KARVELO_TLS_TEST_CA=$(openssl x509 -in "$dir/ca.pem" -outform DER | base64 -w0)
KARVELO_TLS_TEST_PORTS=$(cat "$dir/ports")
export KARVELO_TLS_TEST_CA KARVELO_TLS_TEST_PORTS KARVELO_TLS_TEST_H2
status=0
"$@" || status=$?
exit $status
