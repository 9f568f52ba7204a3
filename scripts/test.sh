#!/usr/bin/env bash
# Sets up what is missing, builds, and runs the tests, leg by leg:
#
#   scripts/test.sh [LEG...]
#
#   format      clang-format --dry-run -Werror over our own sources
#   linux       g++, with the benchmarks built and the library fan-out run
#   clang       the whole project with clang
#   asan-ubsan  under AddressSanitizer with UndefinedBehaviorSanitizer
#   tsan        under ThreadSanitizer
#   fuzz        the libFuzzer targets on their corpora (scripts/fuzz.sh)
#   windows     cross-built with MinGW-w64, run under Wine
#   packages    the wheels, the NuGet package and the .deb files
#               (scripts/packages.sh), each installed and used
#
# No LEG: every leg, in this order. One test of a leg, once it is built:
#   ctest --test-dir build/LEG -R NAME --output-on-failure
set -euo pipefail
cd "$(dirname "$0")/.."

all_legs=(format linux clang asan-ubsan tsan fuzz windows packages)
legs=("$@")
if ((${#legs[@]} == 0)); then
  legs=("${all_legs[@]}")
fi
for name in "${legs[@]}"; do
  if [[ " ${all_legs[*]} " != *" $name "* ]]; then
    echo "test.sh: no leg '$name'" >&2
    sed -n 's/^#   //p' "$0" >&2
    exit 2
  fi
done

bash scripts/setup.sh
jobs=$(nproc)

# configure NAME CMAKE-ARGS...: build/NAME, configured for the leg.
configure() {
  local name=$1
  shift
  cmake -S . -B "build/$name" -G Ninja "$@" >/dev/null
}

# leg NAME CMAKE-ARGS...: configures, builds and runs every test of build/NAME.
leg() {
  local name=$1
  echo "== $name"
  configure "$@"
  cmake --build "build/$name" -j "$jobs"
  ctest --test-dir "build/$name" --output-on-failure -j "$jobs" --timeout 300
}

linux_options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DPALAVER_BUILD_BENCH=ON)

format_leg() {
  echo "== format"
  bash scripts/format.sh --check
}

linux_leg() {
  leg linux "${linux_options[@]}"
  # Ten library hosts, one process each, flood one room, on the plain listener
  # and through TLS: a connection whose receive window sticks makes a run stall
  # and fail.
  build/linux/bench/bench_library_fanout --hosts 10 --lines 60000 --runs 3 --limit 120
}

# The whole project with clang too (another compiler's view of atomics,
# warnings and the standard library).
clang_leg() {
  leg clang -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPALAVER_BUILD_BENCH=ON \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
}

asan_ubsan_leg() {
  ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp" leg asan-ubsan -DCMAKE_BUILD_TYPE=Debug \
    -DPALAVER_SANITIZE=address,undefined -DPALAVER_BUILD_BENCH=OFF
}

tsan_leg() {
  TSAN_OPTIONS="halt_on_error=1 suppressions=$PWD/tests/tsan.supp" \
    leg tsan -DCMAKE_BUILD_TYPE=Debug -DPALAVER_SANITIZE=thread -DPALAVER_BUILD_BENCH=OFF
}

fuzz_leg() {
  echo "== fuzz"
  bash scripts/fuzz.sh
}

# The Windows build, for its leg and for the packages.
windows_options=(-DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake -DPALAVER_BUILD_BENCH=OFF
  -DPALAVER_LINUX_SERVER="$PWD/build/linux/server/palaver-server"
  -DPALAVER_LINUX_CERT_TOOL="$PWD/build/linux/tests/support/make_test_certs")

# Windows: Palaver.dll and the test programs, which CTest starts through Wine,
# in a fresh Wine prefix inside the build folder.
windows_leg() {
  local dir=build/windows
  # The host built for Microsoft's ABI and the TLS tests talk to a Linux
  # palaver-server; the TLS tests' certificates come from make_test_certs.
  # Both come from the linux leg's build, made here when it is not there.
  configure linux "${linux_options[@]}"
  cmake --build build/linux -j "$jobs" --target palaver-server make_test_certs
  export WINEPREFIX="$PWD/$dir/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  rm -rf "$WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  # One Wine server for the whole run, with Wine's own services started here:
  # started by a test program they would keep CTest's output pipe open.
  wineserver -p
  trap 'wineserver -k || true' EXIT
  wineboot -i >/dev/null 2>&1
  leg windows "${windows_options[@]}"
  wineserver -k
  trap - EXIT
}

# The packages, from the linux and windows legs' builds (only what they carry
# is built here when a leg has not run), each installed as a user would and
# used against a real palaver-server: the wheel in a fresh virtual
# environment, the C# program against the NuGet package, the .deb files
# unpacked into a fresh root.
packages_leg() {
  echo "== packages"
  # The Debian layout: the library in the multiarch folder.
  configure linux "${linux_options[@]}" -DCMAKE_INSTALL_LIBDIR="lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)"
  cmake --build build/linux -j "$jobs" --target Palaver palaver-server palaver-chat manual_pages
  configure windows "${windows_options[@]}"
  cmake --build build/windows -j "$jobs" --target Palaver
  bash scripts/packages.sh
  local version server=build/linux/server/palaver-server out=build/packages
  version=$(sed -n 's/^Version: //p' build/linux/palaver.pc)
  bash tests/packages/deb_test.sh "$out" "$version"
  bash tests/packages/windows_contents_test.sh "$out" "$version"
  bash tests/hosts/python_test.sh bindings/python "" "$server" "$version" \
    "$out/palaver-$version-py3-none-linux_x86_64.whl"
  bash tests/hosts/csharp_test.sh bindings/dotnet "" "$server" "$version" "$out/Palaver.Net.$version.nupkg"
}

for name in "${legs[@]}"; do
  "${name//-/_}_leg"
done
