#!/usr/bin/env bash
# Makes the test certificates with the Linux build's make_test_certs, starts
# one OpenSSL line-reversing server per server certificate on loopback, and
# runs the Schannel session's tests under Wine against them.
# Usage: tls_session_test.sh CERT_TOOL WINE TEST_PROGRAM
set -euo pipefail
source "$(dirname "$0")/../hosts/need.sh"
cert_tool=$1 wine=$2 program=$3
need openssl "$wine" "$cert_tool"

work=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
"$cert_tool" "$work"

# serve NAME VARIABLE: a server with NAME.pem, its port in VARIABLE.
serve() {
  openssl s_server -accept 127.0.0.1:0 -cert "$work/$1.pem" -key "$work/$1.key" -rev \
    </dev/null >"$work/$1.out" 2>&1 &
  pids+=($!)
  local line="" waited=0
  # "ACCEPT 127.0.0.1:PORT"
  until line=$(grep -m1 '^ACCEPT 127.0.0.1:' "$work/$1.out" 2>/dev/null); do
    if ((waited++ > 200)); then
      echo "openssl s_server did not start for $1:"
      cat "$work/$1.out"
      exit 1
    fi
    sleep 0.1
  done
  export "$2=${line##*:}"
}
serve server PALAVER_TLS_PORT_SERVER
serve expired PALAVER_TLS_PORT_EXPIRED
serve other-name PALAVER_TLS_PORT_OTHER_NAME
serve unknown-ca PALAVER_TLS_PORT_UNKNOWN_CA

export PALAVER_TLS_CA="Z:${work//\//\\}\\ca.pem"
"$wine" "$program"
