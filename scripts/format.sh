#!/usr/bin/env bash
# clang-format over our own C, C++ and C# sources, as .clang-format says.
#
#   scripts/format.sh           rewrites the files that drift
#   scripts/format.sh --check   changes nothing; lists the drift and fails
set -euo pipefail
cd "$(dirname "$0")/.."

# Tracked sources, less the fuzz corpora (data, not code).
mapfile -t files < <(git ls-files '*.h' '*.hpp' '*.c' '*.cpp' | grep -v '^fuzz/corpus/')

case "${1:-}" in
  --check) clang-format --dry-run -Werror "${files[@]}" ;;
  "") clang-format -i "${files[@]}" ;;
  *) sed -n 's/^#   //p' "$0" >&2; exit 2 ;;
esac
