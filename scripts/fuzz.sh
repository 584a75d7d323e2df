#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, ASan, UBSan) in their own
# build folder and runs each for a fixed time on the seeds, the inputs that
# once found faults and what earlier runs found. A crash, a leak, an input
# that takes over 5 s, or a file said to be sound that fails SQLite's
# integrity check ends the run with the input saved under artifacts/.
# Usage: scripts/fuzz.sh [FUZZ_BUILD_DIR] [SECONDS_PER_TARGET] [TARGET...]
#   (defaults: build/fuzz, 60, all of open repair cmdline)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/fuzz}
seconds=${2:-60}
shift $(( $# > 2 ? 2 : $# ))
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(open repair cmdline)
mkdir -p "$build"
build=$(cd "$build" && pwd)
sqlite=${SQLITE_SOURCE_DIR:-$root/build/_deps/sqlite}
[ -f "$sqlite/sqlite3.c" ] || sqlite=$(dirname "$build")/_deps/sqlite

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
          -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 -DFUZZ=ON \
          -DSQLITE_SOURCE_DIR="$sqlite" >/dev/null
fi
exes=(fuzz_make_seeds)
for t in "${targets[@]}"; do exes+=("fuzz_$t"); done
cmake --build "$build" -j"$(nproc)" --target "${exes[@]}"

"$build/fuzz/fuzz_make_seeds" "$build/seeds" >/dev/null
mkdir -p "$build/artifacts"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
status=0
for t in "${targets[@]}"; do
    case $t in cmdline) seeds=$build/seeds/cmdline ;; *) seeds=$build/seeds/catalogue ;; esac
    corpus=$build/corpus/$t
    mkdir -p "$corpus"
    # A target's regression folder exists once an input that found a fault is in git.
    dirs=("$corpus" "$seeds")
    [ -d "$root/fuzz/regressions/$t" ] && dirs+=("$root/fuzz/regressions/$t")
    echo "fuzz: $t for ${seconds}s"
    if ! "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=5 -rss_limit_mb=2048 \
            -print_final_stats=1 -artifact_prefix="$build/artifacts/$t-" \
            "${dirs[@]}" >"$build/fuzz-$t.log" 2>&1; then
        echo "fuzz: $t FAILED; see $build/fuzz-$t.log and $build/artifacts/" >&2
        tail -n 40 "$build/fuzz-$t.log" >&2
        status=1
    else
        grep -E '^stat::number_of_executed_units|^#[0-9]+.*DONE' "$build/fuzz-$t.log" | tail -n 2
    fi
done
exit $status
