#!/usr/bin/env bash
# Sets up a Debian 12 machine (packages, SQLite's source), builds everything
# and runs every test with CTest. Usage: scripts/test.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
bash "$root/scripts/setup.sh" "$build"
cmake --build "$build" -j"$(nproc)"
cd "$build"
ctest --output-on-failure -j"$(nproc)" --timeout 600
