#!/usr/bin/env bash
# Installs what is missing, configures, builds and runs every test.
#   scripts/test.sh [preset]     preset: release (default), asan, debug
set -euo pipefail
cd "$(dirname "$0")/.."

preset="${1:-release}"
case "$preset" in
  -h|--help)
    sed -n '2,3p' "$0" | sed 's/^# \{0,1\}//'
    exit 0 ;;
esac

scripts/install-deps.sh
cmake --preset "$preset"
cmake --build --preset "$preset"
ctest --preset "$preset" -j "$(nproc)"
