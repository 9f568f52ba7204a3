#!/usr/bin/env bash
# Builds msvc_host.c for Microsoft's ABI with clang and lld-link against
# Palaver.lib, with no C runtime and no MinGW-w64 runtime, checks that it
# imports Palaver.dll and KERNEL32.dll alone, and runs it under Wine against a
# (Linux) palaver-server on loopback.
# Usage: msvc_test.sh INCLUDE_DIR PALAVER_LIB DLL_DIR SERVER_BINARY WINE
set -euo pipefail
here=$(dirname "$0")
source "$here/need.sh"
include=$1 import_library=$2 dlls=$3 server=$4 wine=$5
need clang lld-link llvm-dlltool llvm-objdump "$wine" "$server"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# An import library for the five system functions the host declares itself:
# there is no Windows SDK here.
printf 'LIBRARY KERNEL32.dll\nEXPORTS\n%s\n' GetStdHandle WriteFile GetEnvironmentVariableA \
  GetTickCount ExitProcess >"$work/kernel32.def"
llvm-dlltool -m i386:x86-64 -d "$work/kernel32.def" -l "$work/kernel32.lib"

clang --target=x86_64-pc-windows-msvc -std=c99 -O2 -Wall -Wextra -Werror -ffreestanding \
  -fno-builtin -mno-stack-arg-probe -I"$include" -c "$here/msvc_host.c" -o "$work/host.obj"
lld-link /nologo /entry:start /subsystem:console /nodefaultlib /out:"$work/msvc_host.exe" \
  "$work/host.obj" "$import_library" "$work/kernel32.lib"

imports=$(llvm-objdump -p "$work/msvc_host.exe" | awk '/DLL Name/ {print $3}' | sort | xargs)
if [ "$imports" != "KERNEL32.dll Palaver.dll" ]; then
  echo "the host imports more than Palaver.dll and KERNEL32.dll: $imports"
  exit 1
fi
cp "$dlls"/*.dll "$work/" # Palaver.dll and the runtime it needs, beside the host
bash "$here/with_server.sh" "$server" "$wine" "$work/msvc_host.exe"
