#!/usr/bin/env bash
# Builds the Python package's platform wheel around LIBRARY as a release does
# (packaging/wheel.sh), or takes WHEEL, installs that one file into fresh virtual environments
# that see none of the system's packages, with PALAVER_LIBRARY unset, checks
# that the package loads its own copy of the library, of the package's
# version, and runs the pytest suite there against palaver-server.
# Usage: python_test.sh PACKAGE_DIR LIBRARY SERVER_BINARY VERSION [WHEEL]
set -euo pipefail
here=$(dirname "$0")
source "$here/need.sh"
package=$(cd "$1" && pwd) library=$2 version=$4 wheel=${5:-}
PALAVER_SERVER=$(realpath "$3") # the suite runs in another folder
export PALAVER_SERVER PYTHONDONTWRITEBYTECODE=1
unset PALAVER_LIBRARY

python=/usr/bin/python3 # Debian's, with its pip, setuptools, wheel and pytest
need "$python"
"$python" -c "import ensurepip, pytest, setuptools, wheel, pip" 2>/dev/null ||
  missing "python3-venv, python3-pip, python3-pytest, python3-setuptools or python3-wheel"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ -z "$wheel" ]; then
  bash "$here/../../packaging/wheel.sh" "$work/dist" "$version" "" "$library"
  wheel=$work/dist/palaver-$version-py3-none-linux_x86_64.whl
fi
[ -f "$wheel" ] || { echo "not built: $wheel"; exit 1; }

# install PYTHON VENV: the wheel into a new environment of PYTHON, checked.
install() {
  "$1" -m venv "$2"
  "$2/bin/python" -m pip install -q --no-index "$wheel"
  (cd "$work" && "$2/bin/python" - "$version" <<'PY'
import importlib.metadata, os, sys
import palaver
from palaver import _native
inside = os.path.dirname(palaver.__file__)
assert inside.startswith(sys.prefix), inside
assert os.path.dirname(_native.library()._name) == inside, _native.library()._name
assert palaver.library_version() == importlib.metadata.version("palaver") == sys.argv[1]
PY
  )
}

install "$python" "$work/venv"
# The machine's default Python too, when it is another one (pyenv's, say).
other=$(command -v python3 || true)
if [ -n "$other" ] && [ "$(readlink -f "$other")" != "$(readlink -f "$python")" ]; then
  install "$other" "$work/venv-default"
fi

# The suite in the Debian environment, with the system's pytest behind the
# environment's own packages.
dist_packages=$("$python" -c 'import os, pytest; print(os.path.dirname(os.path.dirname(pytest.__file__)))')
cd "$work"
"$work/venv/bin/python" -c '
import sys
sys.path.append(sys.argv.pop(1))
import pytest
sys.exit(pytest.main(sys.argv[1:]))' "$dist_packages" -q -p no:cacheprovider "$package/tests"
