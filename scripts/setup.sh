#!/usr/bin/env bash
# Installs the Debian packages that are missing, and only those. Safe to run
# again.
#
#   scripts/setup.sh        everything: the build, every test leg and the demo
#   scripts/setup.sh demo   what the demo needs: compilers, CMake, Ninja, the
#                           server's and palaver-chat's libraries, nats-server,
#                           Python (it reads the server's /metrics)
set -euo pipefail

# The demo: build the library, palaver-server and palaver-chat, run them
# (and nats-server for --cluster).
demo=(
  cmake ninja-build g++ pkg-config
  libasio-dev libcli11-dev libncurses-dev
  libnats-dev nats-server
  libssl-dev openssl
  libsodium-dev
  python3
)
# The test legs on top: GoogleTest and benchmarks, clang with its sanitizer
# runtimes and libc++, the format check, MinGW-w64 and Wine for Windows, tmux
# for palaver-chat's screen tests, Python and Mono for the bindings' hosts;
# for the packages, help2man (manual pages), lintian, systemd-analyze,
# dpkg-dev (CPack's dpkg-shlibdeps) and nuget.
tests=(
  googletest libbenchmark-dev
  libgnutls30
  clang clang-format libclang-rt-14-dev llvm lld
  g++-mingw-w64-x86-64 wine wine64
  tmux
  python3-pytest python3-venv python3-pip python3-setuptools python3-wheel
  mono-mcs mono-runtime libmono-i18n-cjk4.0-cil
  help2man lintian systemd dpkg-dev nuget unzip
  libc++-dev libc++abi-dev
)

case "${1:-all}" in
  demo) packages=("${demo[@]}") ;;
  all) packages=("${demo[@]}" "${tests[@]}") ;;
  *) sed -n 's/^#   //p' "$0" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
