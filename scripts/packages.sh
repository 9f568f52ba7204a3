#!/usr/bin/env bash
# Builds the packages people install, into build/packages, from the builds in
# build/linux and build/windows (scripts/test.sh packages makes both first):
#
#   palaver-VERSION-py3-none-linux_x86_64.whl   pip install, Linux
#   palaver-VERSION-py3-none-win_amd64.whl      pip install, Windows
#   Palaver.Net.VERSION.nupkg                   NuGet: linux-x64 and win-x64
#   libpalaver1, libpalaver-dev, palaver-server, palaver-chat: the .deb files
#
# The version is the library's; the native libraries go in stripped. lintian
# checks the .deb files: an error or a warning fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."
linux=build/linux windows=build/windows out=build/packages
version=$(sed -n 's/^Version: //p' "$linux/palaver.pc")

rm -rf "$out"
mkdir -p "$out"
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir "$stage/windows"
cp "$(readlink -f "$linux/lib/libPalaver.so")" "$stage/libPalaver.so"
strip --strip-unneeded "$stage/libPalaver.so"
cp "$windows"/bin/Palaver.dll "$windows"/bin/lib*.dll "$stage/windows/"
x86_64-w64-mingw32-strip --strip-unneeded "$stage"/windows/*.dll

echo "== wheels"
bash packaging/wheel.sh "$out" "$version" "" "$stage/libPalaver.so"
bash packaging/wheel.sh "$out" "$version" win_amd64 "$stage"/windows/*.dll
echo "== NuGet"
bash packaging/nupkg.sh "$out" "$version" "$stage/libPalaver.so" "$stage/windows"
echo "== Debian"
cpack --config "$linux/CPackConfig.cmake" -B "$out" >/dev/null
rm -rf "$out/_CPack_Packages"
lintian --fail-on error,warning --display-info "$out"/*.deb
ls -l "$out"
