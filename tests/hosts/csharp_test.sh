#!/usr/bin/env bash
# Compiles the C# test program with Mono's mcs against the library assembly of
# the NuGet package (NUPKG, or one packaging/nupkg.sh makes around LIBRARY),
# lays the program out as a .NET build for linux-x64 does (the package's
# assembly and its runtimes/linux-x64/native files beside the program) and
# runs it with mono against palaver-server: the library is found as "Palaver"
# in the program's folder, with no LD_LIBRARY_PATH.
# Usage: csharp_test.sh BINDING_DIR LIBRARY SERVER_BINARY VERSION [NUPKG]
set -euo pipefail
here=$(dirname "$0")
source "$here/need.sh"
need mcs mono nuget
binding=$1 library=$2 server=$3 version=$4 nupkg=${5:-}
unset LD_LIBRARY_PATH

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ -z "$nupkg" ]; then
  bash "$here/../../packaging/nupkg.sh" "$work" "$version" "$library"
  nupkg=$work/Palaver.Net.$version.nupkg
fi
unzip -q "$nupkg" -d "$work/package"
grep -q "<version>$version</version>" "$work/package/Palaver.Net.nuspec" ||
  { echo "the package is not version $version"; exit 1; }

mkdir "$work/app"
cp "$work/package/lib/net45/Palaver.Net.dll" "$work/package/runtimes/linux-x64/native/"* "$work/app/"
mcs -warnaserror -r:"$work/app/Palaver.Net.dll" -out:"$work/app/ChatTest.exe" "$binding/tests/ChatTest.cs"
bash "$here/with_server.sh" "$server" mono "$work/app/ChatTest.exe"
