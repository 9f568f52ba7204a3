#!/usr/bin/env bash
# Starts palaver-server on a free loopback port, runs COMMAND with the port in
# PALAVER_PORT, stops the server and exits with COMMAND's status.
# Usage: with_server.sh SERVER_BINARY COMMAND [ARGS...]
set -euo pipefail
server=$1
shift

work=$(mktemp -d)
mkfifo "$work/out"
# The hosts fill rooms from loopback (C#: 41 clients at once): no limits of one address.
"$server" --listen 127.0.0.1:0 --max-per-address 0 --connect-rate 0 >"$work/out" 2>"$work/log" &
pid=$!
trap 'kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; rm -rf "$work"' EXIT
exec 3<"$work/out" # kept open: the server's stdout never meets a closed pipe
# "palaver-server listening on 127.0.0.1:PORT"
if ! read -r -t 20 line <&3 || [[ $line != "palaver-server listening on "* ]]; then
  echo "palaver-server did not start:"
  cat "$work/log"
  exit 1
fi
export PALAVER_PORT=${line##*:}
"$@"
