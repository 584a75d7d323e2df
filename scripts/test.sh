#!/usr/bin/env bash
# Sets up a Debian 12 machine (packages, SQLite's source), checks the C++
# files' formatting, builds everything and runs every test with CTest; then
# builds the same again with AddressSanitizer and UndefinedBehaviorSanitizer
# in BUILD_DIR/asan and runs every test there, stopping at the first report;
# then runs each fuzz target for a short time (scripts/fuzz.sh, BUILD_DIR/fuzzing).
# A formatting fault fails the run at the end; anything else at once.
# Usage: scripts/test.sh [BUILD_DIR]   (FUZZ_SECONDS: per target, default 45)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
bash "$root/scripts/setup.sh" "$build"
build=$(cd "$build" && pwd)
format=0
bash "$root/scripts/format-check.sh" || format=1

cmake --build "$build" -j"$(nproc)"
(cd "$build" && ctest --output-on-failure -j"$(nproc)" --timeout 600)

asan=$build/asan
cmake -S "$root" -B "$asan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANITIZE=ON \
      -DSQLITE_SOURCE_DIR="$build/_deps/sqlite" >/dev/null
cmake --build "$asan" -j"$(nproc)"
(
    cd "$asan"
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
    export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
    export LSAN_OPTIONS=suppressions=$root/tests/lsan.supp:print_suppressions=0
    ctest --output-on-failure -j"$(nproc)" --timeout 900 -LE no-sanitizer
)

bash "$root/scripts/fuzz.sh" "$build/fuzzing" "${FUZZ_SECONDS:-45}"
exit $format
