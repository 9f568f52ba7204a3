#!/usr/bin/env bash
# The Palaver demo: sets up what is missing, builds the server and the chat
# client, starts palaver-server on loopback and plays a short scene with three
# palaver-chat hosts driven in line mode. Prints what each host saw and exits
# non-zero when a host missed something it should have seen.
#
# With --cluster the same scene plays on two server nodes that share their
# rooms over a nats-server started here: alice and 小红 on node 1, bob on
# node 2 (docs/cluster.md).
set -euo pipefail
cluster=0
if [ "${1:-}" = "--cluster" ]; then
  cluster=1
fi
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/setup.sh demo

build=$root/build/demo
echo "== building into build/demo"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPALAVER_BUILD_TESTS=OFF -DPALAVER_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target palaver-server palaver-chat
server_bin=$build/server/palaver-server
chat_bin=$build/apps/chat/palaver-chat

work=$(mktemp -d)
pids=()
cleanup() {
  local pid
  for fd in 3 4 5; do eval "exec $fd>&-" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

started=$SECONDS
failures=0

# Names travel in GBK, so the accounts file is written in GBK too.
carol_name="小红"
iconv -f UTF-8 -t GBK >"$work/accounts" <<EOF
alice wonderland admin
bob builder
$carol_name rose
EOF

# await FILE SED-SCRIPT: what the script prints from FILE, once it prints
# something; waits up to 5 s.
await() {
  local found=""
  for _ in $(seq 50); do
    found=$(sed -n "$2" "$1" 2>/dev/null)
    [ -n "$found" ] && break
    sleep 0.1
  done
  echo "$found"
}

# serve NAME ARGS...: starts palaver-server with ARGS, logging to NAME.log, and
# sets $port to the port it prints; its /metrics port goes to metrics_of[NAME].
declare -A metrics_of
servers=()
serve() {
  local name=$1
  shift
  "$server_bin" --listen 127.0.0.1:0 --metrics-listen 127.0.0.1:0 --accounts "$work/accounts" \
    "$@" >"$work/$name.out" 2>"$work/$name.log" &
  pids+=($!)
  port=$(await "$work/$name.out" 's/^palaver-server listening on .*:\([0-9][0-9]*\)$/\1/p')
  [ -n "$port" ] || { echo "palaver-server did not start:"; cat "$work/$name.log"; exit 1; }
  metrics_of[$name]=$(await "$work/$name.out" 's/^palaver-server metrics on .*:\([0-9][0-9]*\)$/\1/p')
  servers+=("$name")
  echo "== palaver-server on 127.0.0.1:$port${*:+ ($*)}"
}

# metrics NAME: a few figures from NAME's /metrics, fetched as a monitor would.
metrics() {
  python3 - "http://127.0.0.1:${metrics_of[$1]}/metrics" <<'PY'
import re, sys, urllib.request
text = urllib.request.urlopen(sys.argv[1], timeout=5).read().decode()
def total(name):
    return sum(float(v) for v in re.findall(r'^%s(?:\{[^}]*\})? (\S+)$' % name, text, re.M))
print('%s: deliveries %d, logins %d, users %d' % (sys.argv[1], total('palaver_deliveries_total'),
      total('palaver_logins_total'), total('palaver_users')))
PY
}

declare -A port_of
if ((cluster)); then
  # The bus: nats-server with JetStream on a free loopback port (-p -1).
  mkdir "$work/nats"
  nats-server -a 127.0.0.1 -p -1 -js -sd "$work/nats" 2>"$work/nats.log" &
  pids+=($!)
  bus=$(await "$work/nats.log" 's/.*Listening for client connections on \(127.0.0.1:[0-9]*\).*/\1/p')
  [ -n "$bus" ] || { echo "nats-server did not start:"; cat "$work/nats.log"; exit 1; }
  echo "== nats-server on $bus"
  serve node1 --cluster "nats://$bus" --node-id 1
  port_of[alice]=$port
  port_of[carol]=$port
  serve node2 --cluster "nats://$bus" --node-id 2
  port_of[bob]=$port
else
  serve server
fi

declare -A fd_of pid_of
# start HOST FD NAME LOGIN: a palaver-chat reading commands from a pipe we hold on FD.
start() {
  local host=$1 fd=$2 name=$3 login=$4
  mkfifo "$work/$host.in"
  "$chat_bin" --server "127.0.0.1:${port_of[$host]:-$port}" --name "$name" --login "$login" --room 1 \
    <"$work/$host.in" >"$work/$host.out" 2>&1 &
  pid_of[$host]=$!
  pids+=($!)
  eval "exec $fd>\"\$work/\$host.in\""
  fd_of[$host]=$fd
}

# say HOST LINE: HOST types LINE.
say() {
  echo "   $1> $2"
  echo "$2" >&"${fd_of[$1]}"
}

# expect HOST TEXT: HOST's transcript shows TEXT within 5 s. Past 25 s into
# the scene nothing is waited for any more, so a broken run still ends soon.
expect() {
  local host=$1 text=$2 tries=50
  ((SECONDS - started < 25)) || tries=1
  for _ in $(seq $tries); do
    grep -qF -- "$text" "$work/$host.out" && return 0
    sleep 0.1
  done
  echo "!! $host did not see: $text"
  failures=$((failures + 1))
}

# The id a host was given, from its "logged in as NAME#ID" line.
id_of() {
  expect "$1" "[status] logged in as"
  sed -n 's/^\[status\] logged in as .*#\([0-9-]*\) in room.*/\1/p' "$work/$1.out" | head -n1
}

echo "== the scene"
start alice 3 alice wonderland
alice=$(id_of alice)
start bob 4 bob builder
bob=$(id_of bob)
start carol 5 "$carol_name" rose
carol=$(id_of carol)
expect alice "[notice] $carol_name 登录了！"
expect bob "[notice] $carol_name 登录了！"

say alice "Hello everyone!"
expect bob "[chat] alice#$alice: Hello everyone!"
expect carol "[chat] alice#$alice: Hello everyone!"
say bob "你好, alice"
expect alice "[chat] bob#$bob: 你好, alice"
say carol "/w $bob 别告诉别人"
expect bob "[whisper] $carol_name#$carol -> bob#$bob: 别告诉别人"
expect carol "[whisper] $carol_name#$carol -> bob#$bob: 别告诉别人"
say bob "/me wave $alice"
expect alice "[action] bob#$bob waves at you (alice#$alice)"
expect carol "[action] bob#$bob waves at alice#$alice"
say carol "/me dance"
expect alice "[action] $carol_name#$carol dances"
say bob "/walk 10 0 5 1.5"
expect alice "[user] ~ bob#$bob walks to (10, 0, 5) heading 1.5"
say carol "/model 3"
expect bob "[user] ~ $carol_name#$carol is now model 3"
say carol "/pic rose"
expect alice "[user] ~ $carol_name#$carol shows picture rose"
say bob "/name Robert"
expect bob "[status] you are now Robert#$bob"
expect alice "[notice] bob 改名为: Robert"
expect carol "[notice] bob 改名为: Robert"
say alice "/who"
expect alice "[who] 3 user(s) in room 1"
expect alice "[who] Robert#$bob at (10, 0, 5) model 0"
expect alice "[who] $carol_name#$carol at (0, 0, 0) model 3 picture rose"
say carol "/quit"
expect carol "[status] logged out"
expect alice "[notice] $carol_name 退出了！"
expect bob "[user] - $carol_name#$carol left"
say alice "/kick $bob 5"
expect bob "[status] connection lost"
expect alice "[notice] Robert 退出了！"
say alice "/quit"
expect alice "[status] logged out"

# Each host ends the way it should: alice and carol by /quit, bob kicked.
declare -A want_status=([alice]=0 [bob]=3 [carol]=0)
for host in alice bob carol; do
  pid=${pid_of[$host]}
  for _ in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$pid" 2>/dev/null && kill "$pid"
  status=0
  wait "$pid" || status=$?
  if [ "$status" != "${want_status[$host]}" ]; then
    echo "!! $host ended with status $status, not ${want_status[$host]}"
    failures=$((failures + 1))
  fi
done

for host in alice bob carol; do
  echo
  echo "== what $host saw"
  cat "$work/$host.out"
done
echo
for name in "${servers[@]}"; do
  if line=$(metrics "$name"); then
    echo "== metrics of $name, $line"
  else
    echo "!! $name's /metrics did not answer"
    failures=$((failures + 1))
  fi
done
echo "== the scene took $((SECONDS - started)) s"
if ((failures)); then
  echo "== FAILED: $failures expectation(s) not met; the server's log:"
  cat "$work"/*.log
  exit 1
fi
echo "== demo OK"
