#!/usr/bin/env bash
# Starts palaver-server on a free loopback port and runs the C host against it.
# Usage: c_host_test.sh SERVER HOST
set -euo pipefail
server=$1
host=$2

# The server prints "palaver-server listening on 127.0.0.1:PORT" once it listens.
exec 3< <(exec "$server" --listen 127.0.0.1:0)
pid=$!
trap 'kill "$pid" 2>/dev/null || true' EXIT
read -r -t 60 line <&3 || { echo "palaver-server did not start"; exit 1; }
port=${line##*:}
"$host" "$port"
