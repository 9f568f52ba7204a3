#!/usr/bin/env bash
# Installs bindings/python into a fresh virtual environment, offline, the way
# the README says, and runs its pytest suite there against palaver-server.
# Usage: python_test.sh PACKAGE_DIR LIBRARY SERVER_BINARY
set -euo pipefail
source "$(dirname "$0")/need.sh"
package=$1
export PALAVER_LIBRARY=$2 PALAVER_SERVER=$3

python=/usr/bin/python3 # Debian's, with its pytest and setuptools
need "$python"
"$python" -c "import ensurepip, pytest, setuptools, wheel" 2>/dev/null ||
  missing "python3-venv, python3-pytest or python3-setuptools"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$package" "$work/src" # the build writes into its source folder
"$python" -m venv --system-site-packages "$work/venv"
"$work/venv/bin/pip" install -q --no-index --no-build-isolation "$work/src"

cd "$work"
# The tests import the installed package, not the source folder.
"$work/venv/bin/python" -c 'import palaver, sys; sys.exit("venv" not in palaver.__file__)'
"$work/venv/bin/python" -m pytest -q -p no:cacheprovider "$work/src/tests"
