#!/usr/bin/env bash
# Builds the Python package as a platform wheel that carries the native
# library (and, for Windows, its runtime DLLs) inside it, with Debian's pip,
# setuptools and wheel, offline.
# Usage: packaging/wheel.sh OUT_DIR VERSION PLATFORM LIBRARY...
#   PLATFORM: the wheel's platform tag, "" for this machine's (linux_x86_64)
set -euo pipefail
out=$1 version=$2 platform=$3
shift 3
source=$(cd "$(dirname "$0")/../bindings/python" && pwd)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$source" "$work/src" # the build writes into its source folder
libraries=$(realpath -s "$@" | paste -sd:) # the build runs elsewhere
mkdir -p "$out"
PALAVER_VERSION=$version PALAVER_WHEEL_PLATFORM=$platform PALAVER_WHEEL_LIBRARIES=$libraries \
  /usr/bin/python3 -m pip wheel -q --no-deps --no-build-isolation --no-index -w "$out" "$work/src"
