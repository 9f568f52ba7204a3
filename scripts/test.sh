#!/usr/bin/env bash
# Sets up what is missing, builds, and runs every test: plain (g++ and clang), under
# AddressSanitizer with UndefinedBehaviorSanitizer, under ThreadSanitizer, and
# on Windows (cross-built with MinGW-w64, run under Wine).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)

leg() {
  local name=$1
  shift
  echo "== $name"
  cmake -S . -B "build/$name" -G Ninja "$@" >/dev/null
  cmake --build "build/$name" -j "$jobs"
  ctest --test-dir "build/$name" --output-on-failure -j "$jobs" --timeout 300
}

leg linux -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPALAVER_BUILD_BENCH=ON
# Ten library hosts, one process each, flood one room, on the plain listener
# and through TLS: a connection whose receive window sticks makes a run stall
# and fail.
build/linux/bench/bench_library_fanout --hosts 10 --lines 60000 --runs 3 --limit 120
# The whole project with clang too (another compiler's view of atomics,
# warnings and the standard library).
leg clang -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPALAVER_BUILD_BENCH=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
ASAN_OPTIONS=detect_leaks=1 leg asan-ubsan -DCMAKE_BUILD_TYPE=Debug -DPALAVER_SANITIZE=address,undefined -DPALAVER_BUILD_BENCH=OFF
TSAN_OPTIONS="halt_on_error=1 suppressions=$PWD/tests/tsan.supp" \
  leg tsan -DCMAKE_BUILD_TYPE=Debug -DPALAVER_SANITIZE=thread -DPALAVER_BUILD_BENCH=OFF
bash scripts/fuzz.sh

# Windows: Palaver.dll and the test programs, which CTest starts through Wine,
# in a fresh Wine prefix inside the build folder.
windows_leg() {
  local dir=build/windows
  export WINEPREFIX="$PWD/$dir/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  rm -rf "$WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  # One Wine server for the whole run, with Wine's own services started here:
  # started by a test program they would keep CTest's output pipe open.
  wineserver -p
  trap 'wineserver -k || true' EXIT
  wineboot -i >/dev/null 2>&1
  # The host built for Microsoft's ABI and the TLS tests talk to the Linux
  # leg's server; the TLS tests' certificates come from its make_test_certs.
  leg windows -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake -DPALAVER_BUILD_BENCH=OFF \
    -DPALAVER_LINUX_SERVER="$PWD/build/linux/server/palaver-server" \
    -DPALAVER_LINUX_CERT_TOOL="$PWD/build/linux/tests/support/make_test_certs"
  wineserver -k
  trap - EXIT
}
windows_leg
