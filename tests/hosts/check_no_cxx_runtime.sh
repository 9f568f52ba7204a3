#!/bin/sh
# A C host of the library loads no C++ runtime: neither it nor the library
# (ldd lists both's dependencies) needs libstdc++ or libgcc_s.
# Usage: check_no_cxx_runtime.sh HOST
set -eu
deps=$(ldd "$1")
echo "$deps"
echo "$deps" | grep -q 'libPalaver\.so' || { echo "the host does not load libPalaver.so"; exit 1; }
if echo "$deps" | grep -Eq 'libstdc\+\+|libgcc_s'; then
    echo "a C++ runtime is loaded"
    exit 1
fi
