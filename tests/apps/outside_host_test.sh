#!/usr/bin/env bash
# Installs the build tree into a fresh prefix and builds a host against it,
# once through find_package(Palaver) and once through pkg-config, then runs
# both and the installed programs.
# Usage: outside_host_test.sh BUILD_DIR SOURCE_DIR VERSION [EXTRA_CXX_FLAGS]
set -euo pipefail
build=$1
src=$2
version=$3
flags=${4:-}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
for f in include/Palaver.h include/PalaverProfile.h bin/palaver-chat; do
  [ -e "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
libdir=$(dirname "$(find "$prefix" -name 'libPalaver.so' | head -n1)")
[ -n "$libdir" ] || { echo "libPalaver.so not installed"; exit 1; }

echo "== find_package(Palaver)"
cmake -S "$src" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/outside-host"

echo "== pkg-config palaver"
export PKG_CONFIG_PATH=$libdir/pkgconfig
# shellcheck disable=SC2046,SC2086
c++ -std=c++11 $flags "$src/host.cpp" -o "$work/pc-host" $(pkg-config --cflags --libs palaver) \
  -Wl,-rpath,"$(pkg-config --variable=libdir palaver)"
"$work/pc-host"
[ "$(pkg-config --modversion palaver)" = "$version" ] ||
  { echo "pkg-config version differs from the project's"; exit 1; }

echo "== installed programs"
# Whole, then its first line: head closing the pipe early would end a long
# help text with SIGPIPE.
"$prefix/bin/palaver-chat" --help >"$work/help"
head -n1 "$work/help"
if [ -e "$prefix/bin/palaver-server" ]; then
  "$prefix/bin/palaver-server" --help >"$work/help"
  head -n1 "$work/help"
fi
