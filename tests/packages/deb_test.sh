#!/usr/bin/env bash
# Unpacks the Debian packages into a fresh root (dpkg -x) and uses them from
# there: the files and version of each, the systemd unit verified against that
# root, the installed palaver-server with a C host built through
# libpalaver-dev's pkg-config file on libpalaver1's library, and the installed
# palaver-chat finding that library by itself.
# Usage: deb_test.sh DEB_DIR VERSION
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
debs=$1 version=$2
arch=$(dpkg --print-architecture)
lib=usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
fail() {
  echo "FAIL: $*"
  exit 1
}

declare -A carries=(
  [libpalaver1]="$lib/libPalaver.so.1 usr/share/doc/libpalaver1/copyright"
  [libpalaver-dev]="usr/include/palaver_c.h usr/include/palaver.hpp $lib/libPalaver.so
    $lib/pkgconfig/palaver.pc $lib/cmake/Palaver/PalaverConfig.cmake"
  [palaver-server]="usr/bin/palaver-server usr/lib/systemd/system/palaver-server.service
    etc/default/palaver-server etc/palaver/accounts usr/share/man/man1/palaver-server.1.gz
    usr/share/doc/palaver-server/server.md"
  [palaver-chat]="usr/bin/palaver-chat usr/share/man/man1/palaver-chat.1.gz"
)
for package in "${!carries[@]}"; do
  deb=$debs/${package}_${version}_$arch.deb
  [ -f "$deb" ] || fail "not built: $deb"
  [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "$package is not version $version"
  dpkg -x "$deb" "$root"
  for file in ${carries[$package]}; do
    [ -e "$root/$file" ] || fail "$package lacks /$file"
  done
done

echo "== systemd-analyze verify palaver-server.service"
# The targets and slices its default dependencies name, and its ExecReload.
cp -n /usr/lib/systemd/system/*.target /usr/lib/systemd/system/*.slice "$root/usr/lib/systemd/system/"
mkdir -p "$root/bin" && cp /bin/kill "$root/bin/"
out=$(systemd-analyze verify --man=no --root="$root" palaver-server.service 2>&1) || fail "$out"
[ -z "$out" ] || fail "$out"

echo "== the installed server and a host on the installed library"
export PKG_CONFIG_PATH=$root/$lib/pkgconfig
# shellcheck disable=SC2046
cc -std=c99 "$here/../hosts/c_host.c" -o "$work/c_host" $(pkg-config --cflags --libs palaver)
[ "$(pkg-config --modversion palaver)" = "$version" ] || fail "palaver.pc is not version $version"
LD_LIBRARY_PATH=$root/$lib bash "$here/../hosts/c_host_test.sh" "$root/usr/bin/palaver-server" "$work/c_host"

echo "== palaver-chat"
loaded=$(ldd "$root/usr/bin/palaver-chat" | awk '$1 == "libPalaver.so.1" { print $3 }')
[ "$(readlink -f "$loaded")" = "$(readlink -f "$root/$lib/libPalaver.so.1")" ] ||
  fail "palaver-chat loads ${loaded:-no libPalaver.so.1}, not libpalaver1's"
"$root/usr/bin/palaver-chat" --help >/dev/null
echo "ok"
