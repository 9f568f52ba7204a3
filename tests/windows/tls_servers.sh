#!/usr/bin/env bash
# Makes the test certificates with the Linux build's make_test_certs, starts
# native TLS servers on loopback, and runs a test program under Wine against
# them (ports in PALAVER_TLS_PORT_*, the CA in PALAVER_TLS_CA). SERVER is
# "openssl" (line-reversing s_servers: a good one, one with a CBC suite, one
# with TLS 1.1) or a palaver-server (one per test certificate).
# Usage: tls_servers.sh CERT_TOOL SERVER WINE TEST_PROGRAM
set -euo pipefail
source "$(dirname "$0")/../hosts/need.sh"
cert_tool=$1 server=$2 wine=$3 program=$4
if [ -z "$cert_tool" ] || [ -z "$server" ]; then
  echo "skipped: configure with -DPALAVER_LINUX_CERT_TOOL=<linux build>/tests/support/make_test_certs" \
    "and -DPALAVER_LINUX_SERVER=<linux build>/server/palaver-server (scripts/test.sh does)"
  exit 77
fi
need "$wine" "$cert_tool"
if [ "$server" = openssl ]; then
  need openssl
  ready='ACCEPT 127.0.0.1:'
else
  need "$server"
  ready='palaver-server listening for TLS on 127.0.0.1:'
fi

work=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
"$cert_tool" "$work"

# serve NAME VARIABLE [S_SERVER OPTIONS]: a server with NAME.pem, its port in
# VARIABLE.
serve() {
  local cert=$work/$1.pem key=$work/$1.key out=$work/$2.out
  if [ "$server" = openssl ]; then
    openssl s_server -accept 127.0.0.1:0 -cert "$cert" -key "$key" -rev "${@:3}" \
      </dev/null >"$out" 2>&1 &
  else
    "$server" --listen none --tls-listen 127.0.0.1:0 --tls-cert "$cert" --tls-key "$key" \
      </dev/null >"$out" 2>&1 &
  fi
  pids+=($!)
  local line="" waited=0
  until line=$(grep -m1 "^$ready" "$out" 2>/dev/null); do
    if ((waited++ > 200)); then
      echo "the TLS server did not start for $1:"
      cat "$out"
      exit 1
    fi
    sleep 0.1
  done
  export "$2=${line##*:}"
}
if [ "$server" = openssl ]; then
  # Small records: the handshake's flights and the replies span many.
  serve server PALAVER_TLS_PORT_SERVER -max_send_frag 512
  # Forward-secret, but not authenticated encryption; and too old.
  serve server PALAVER_TLS_PORT_CBC -tls1_2 -cipher ECDHE-ECDSA-AES256-SHA
  serve server PALAVER_TLS_PORT_TLS11 -tls1_1 -cipher 'DEFAULT@SECLEVEL=0'
else
  serve server PALAVER_TLS_PORT_SERVER
  serve expired PALAVER_TLS_PORT_EXPIRED
  serve other-name PALAVER_TLS_PORT_OTHER_NAME
  serve unknown-ca PALAVER_TLS_PORT_UNKNOWN_CA
fi

export PALAVER_TLS_CA="Z:${work//\//\\}\\ca.pem"
"$wine" "$program"
