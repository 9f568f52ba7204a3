#!/usr/bin/env bash
# Builds the NuGet package Palaver.Net.VERSION.nupkg: the C# binding compiled
# by Mono's mcs as the library assembly Palaver.Net.dll (not Palaver.dll, the
# native library's name on Windows), runtimes/linux-x64/native/libPalaver.so
# and, given a Windows build's bin folder, runtimes/win-x64/native/Palaver.dll
# with its MinGW-w64 runtime DLLs; packed by nuget.
# Usage: packaging/nupkg.sh OUT_DIR VERSION LINUX_LIBRARY [WINDOWS_BIN_DIR]
set -euo pipefail
out=$1 version=$2 linux_library=$3 windows_bin=${4:-}
here=$(cd "$(dirname "$0")" && pwd)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mcs -target:library -warnaserror -out:"$work/Palaver.Net.dll" "$here/../bindings/dotnet/Palaver.cs"
mkdir -p "$work/runtimes/linux-x64/native"
cp "$(readlink -f "$linux_library")" "$work/runtimes/linux-x64/native/libPalaver.so"
if [ -n "$windows_bin" ]; then
  mkdir -p "$work/runtimes/win-x64/native"
  cp "$windows_bin"/Palaver.dll "$windows_bin"/lib*.dll "$work/runtimes/win-x64/native/"
fi
mkdir -p "$out"
# nuget takes a manifest only under the file extension NuGet gives it.
manifest="$work/Palaver.Net.nuspec"
cp "$here/nuget/Palaver.Net.xml" "$manifest"
# nuget (Mono) wants a home for its settings; the build leaves the user's alone.
HOME=$work nuget pack "$manifest" -BasePath "$work" -OutputDirectory "$out" \
  -Properties version="$version" -NoPackageAnalysis -NonInteractive >/dev/null
