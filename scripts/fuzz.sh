#!/usr/bin/env bash
# Builds the libFuzzer targets with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer (build/fuzz) and runs each on its seed corpus.
#
#   scripts/fuzz.sh             CI: a fixed number of runs per target, seed 1,
#                               a few minutes in all; new inputs go to a
#                               throw-away folder, the committed corpus stays.
#   scripts/fuzz.sh --long [S]  local: each target for S seconds (default
#                               3600), keeping what it learns in
#                               build/fuzz/corpus/<target> for the next time.
#
# A finding stops the script with the target's output and leaves the input
# that failed in build/fuzz/findings/; replay it with
#   build/fuzz/fuzz/palaver_<target>_fuzz build/fuzz/findings/<file>
set -euo pipefail
cd "$(dirname "$0")/.."

long=0
seconds=3600
if [ "${1:-}" = "--long" ]; then
  long=1
  seconds=${2:-3600}
fi

if ! command -v clang++ >/dev/null; then
  echo "fuzz.sh: clang++ is missing (scripts/setup.sh installs it)" >&2
  exit 1
fi

CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPALAVER_FUZZ=ON -DPALAVER_SANITIZE=address,undefined \
  -DPALAVER_BUILD_TESTS=OFF -DPALAVER_BUILD_BENCH=OFF >/dev/null
cmake --build build/fuzz -j "$(nproc)" \
  --target palaver_receive_fuzz palaver_login_reply_fuzz palaver_server_fuzz palaver_server_tls_fuzz \
  palaver_bus_fuzz

mkdir -p build/fuzz/findings
export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1

# target, CI runs, largest input, seed corpus (fuzz/corpus/...)
targets=(
  "receive 2000000 9000 receive"
  "login_reply 2000000 20000 login_reply"
  "server 300000 4096 server"
  "server_tls 20000 4096 server"
  "bus 300000 8192 bus"
)
for entry in "${targets[@]}"; do
  read -r name runs maxlen seeds <<<"$entry"
  binary=build/fuzz/fuzz/palaver_${name}_fuzz
  if [ "$long" = 1 ]; then
    work=build/fuzz/corpus/$name
    mkdir -p "$work"
    limit=(-max_total_time="$seconds")
  else
    work=$(mktemp -d)
    limit=(-runs="$runs" -seed=1)
  fi
  echo "== fuzz $name"
  log=build/fuzz/findings/$name.log
  status=0
  "$binary" "${limit[@]}" -max_len="$maxlen" -print_final_stats=1 \
    -artifact_prefix="build/fuzz/findings/$name-" "$work" "fuzz/corpus/$seeds" >"$log" 2>&1 ||
    status=$?
  if [ "$long" = 0 ]; then
    rm -rf "$work"
  fi
  if [ "$status" != 0 ]; then
    tail -n 60 "$log" >&2
    echo "fuzz.sh: $name found a failing input (exit $status), see build/fuzz/findings/" >&2
    exit 1
  fi
  grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$log"
done
