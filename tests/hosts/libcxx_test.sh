#!/usr/bin/env bash
# Builds libcxx_host.cpp with clang++ and libc++ against libPalaver.so, which
# is built with libstdc++ (linked shared or carried inside), checks that the
# host uses libc++ alone and the library no libc++, and runs the host against
# palaver-server.
# Usage: libcxx_test.sh INCLUDE_DIR LIBRARY SERVER_BINARY
set -euo pipefail
here=$(dirname "$0")
source "$here/need.sh"
need clang++
include=$1 library=$2 server=$3

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo '#include <string>' | clang++ -x c++ -stdlib=libc++ -fsyntax-only - 2>/dev/null ||
  missing libc++-dev
clang++ -std=c++17 -stdlib=libc++ -Wall -Wextra -Werror -I"$include" "$here/libcxx_host.cpp" \
  -o "$work/host" "$library" -Wl,-rpath,"$(dirname "$library")"

host_needs=$(readelf -d "$work/host" | grep NEEDED)
library_needs=$(readelf -d "$library" | grep NEEDED)
grep -q 'libc++\.so' <<<"$host_needs" || { echo "the host does not use libc++"; exit 1; }
if grep -q 'libstdc++' <<<"$host_needs"; then
  echo "the host links libstdc++ itself"
  exit 1
fi
if grep -q 'libc++' <<<"$library_needs"; then
  echo "the library links libc++: the host would share its standard library"
  exit 1
fi
bash "$here/with_server.sh" "$server" "$work/host"
