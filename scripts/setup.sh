#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when
# they are missing. Safe to run again.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  googletest libbenchmark-dev
  libasio-dev libcli11-dev libncurses-dev
  libnats-dev nats-server
  libssl-dev libgnutls30 openssl
  clang libclang-rt-14-dev llvm lld
  g++-mingw-w64-x86-64 wine wine64
  tmux
  python3-pytest python3-venv python3-setuptools python3-wheel
  mono-mcs mono-runtime libmono-i18n-cjk4.0-cil
  libc++-dev libc++abi-dev
)

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
