#!/usr/bin/env bash
# Sets up what is missing, builds, and runs every test: plain, under
# AddressSanitizer with UndefinedBehaviorSanitizer, and under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)

leg() {
  local name=$1
  shift
  echo "== $name"
  cmake -S . -B "build/$name" -G Ninja -DPALAVER_BUILD_BENCH=OFF "$@" >/dev/null
  cmake --build "build/$name" -j "$jobs"
  ctest --test-dir "build/$name" --output-on-failure -j "$jobs" --timeout 300
}

leg linux -DCMAKE_BUILD_TYPE=RelWithDebInfo
ASAN_OPTIONS=detect_leaks=1 leg asan-ubsan -DCMAKE_BUILD_TYPE=Debug -DPALAVER_SANITIZE=address,undefined
TSAN_OPTIONS=halt_on_error=1 leg tsan -DCMAKE_BUILD_TYPE=Debug -DPALAVER_SANITIZE=thread
