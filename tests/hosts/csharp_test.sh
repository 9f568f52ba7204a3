#!/usr/bin/env bash
# Compiles the C# binding and its test program with Mono's mcs and runs it
# with mono against palaver-server; the library is found as "Palaver"
# through LD_LIBRARY_PATH, as a game would find its native plugin.
# Usage: csharp_test.sh BINDING_DIR LIBRARY SERVER_BINARY
set -euo pipefail
here=$(dirname "$0")
source "$here/need.sh"
need mcs mono
binding=$1 library=$2 server=$3

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mcs -warnaserror -out:"$work/ChatTest.exe" "$binding/Palaver.cs" "$binding/tests/ChatTest.cs"
ln -s "$(readlink -f "$library")" "$work/libPalaver.so"
LD_LIBRARY_PATH=$work bash "$here/with_server.sh" "$server" mono "$work/ChatTest.exe"
