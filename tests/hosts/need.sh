# shellcheck shell=bash
# Sourced by the host tests. A missing tool skips the test (exit 77) on a
# developer's machine and fails it in CI, where scripts/setup.sh installs it.
missing() {
  if [ -n "${CI:-}" ]; then
    echo "missing $1: scripts/setup.sh installs it"
    exit 1
  fi
  echo "skipped: $1 is not installed (scripts/setup.sh installs it)"
  exit 77
}

# need COMMAND...: goes on when each is on PATH (or is an executable path).
need() {
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null 2>&1 || missing "$tool"
  done
}
