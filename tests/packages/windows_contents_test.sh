#!/usr/bin/env bash
# The Windows parts of the packages, which no Windows runs here: the NuGet
# package's runtimes/win-x64/native and the win_amd64 wheel's package folder
# each hold Palaver.dll and every DLL it imports that Windows does not bring.
# Usage: windows_contents_test.sh PACKAGES_DIR VERSION
set -euo pipefail
out=$1 version=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

unzip -q "$out/Palaver.Net.$version.nupkg" -d "$work/nupkg"
unzip -q "$out/palaver-$version-py3-none-win_amd64.whl" -d "$work/wheel"
# A NuGet package is an OPC zip: names are escaped (libstdc%2B%2B-6.dll) and
# NuGet unescapes them as it extracts.
for name in "$work"/nupkg/runtimes/win-x64/native/*%*; do
  mv "$name" "$(printf '%b' "${name//%/\\x}")"
done
for folder in "$work/nupkg/runtimes/win-x64/native" "$work/wheel/palaver"; do
  [ -f "$folder/Palaver.dll" ] || { echo "FAIL: no Palaver.dll in ${folder#"$work"/}"; exit 1; }
  # Each import of each DLL there: beside it, or one of Windows' own.
  for dll in "$folder"/*.dll; do
    x86_64-w64-mingw32-objdump -p "$dll" | sed -n 's/^\tDLL Name: //p' | while read -r name; do
      case ${name,,} in
        kernel32.dll | msvcrt.dll | ws2_32.dll | secur32.dll | crypt32.dll | advapi32.dll | user32.dll) ;;
        *) [ -f "$folder/$name" ] || { echo "FAIL: ${folder#"$work"/} lacks $name, which $(basename "$dll") imports"; exit 1; } ;;
      esac
    done
  done
done
echo "ok"
