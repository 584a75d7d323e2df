#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, ASan, UBSan) in their own
# build folder and runs each for a fixed time, starting from the committed
# corpus (fuzz/corpus/<target>.tar.xz, unpacked by the build), the seeds,
# the inputs that once found faults and what earlier runs in the same build
# folder found. A crash, a
# leak, an input that takes over 5 s, or a file said to be sound that fails
# SQLite's integrity check is a fault: its input is saved under artifacts/.
#
# Usage: scripts/fuzz.sh [-j JOBS] [-k] [-m] [FUZZ_BUILD_DIR] [SECONDS] [TARGET...]
#   FUZZ_BUILD_DIR  default build/fuzzing (a build of its own, apart from build/)
#   SECONDS         per target, default 60
#   TARGET          any of open repair cmdline names, default all four
#   -j JOBS  runs up to JOBS targets at once (default 1)
#   -k       keeps going after a fault (libFuzzer's fork mode): every fault's
#            input is saved and the run goes on to its end; it still fails then
#   -m       afterwards minimizes the committed corpus and what the run grew
#            into fuzz/corpus/<target>.tar.xz (libFuzzer's -merge=1), seeds left out
# A long campaign: scripts/fuzz.sh -j 3 -k -m build/fuzzing 3600 (docs/fuzzing.md).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
usage() {
    sed -n 's/^# \{0,1\}//;/^Usage:/,/^A long/p' "$0" >&2
    exit 2
}
jobs=1 keep_going=0 merge=0
while getopts "j:kmh" opt; do
    case $opt in
    j) [[ $OPTARG =~ ^[1-9][0-9]*$ ]] || usage; jobs=$OPTARG ;;
    k) keep_going=1 ;;
    m) merge=1 ;;
    *) usage ;;
    esac
done
shift $((OPTIND - 1))
build=${1:-$root/build/fuzzing}
seconds=${2:-60}
[[ $seconds =~ ^[1-9][0-9]*$ ]] || usage
shift $(( $# > 2 ? 2 : $# ))
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(open repair cmdline names)
for t in "${targets[@]}"; do
    case $t in open | repair | cmdline | names) ;; *) echo "fuzz: no target '$t'" >&2; usage ;; esac
done
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

limits=(-timeout=5 -rss_limit_mb=2048)
committed=$build/fuzz/committed-corpus # where the build unpacks fuzz/corpus/*.tar.xz

seedsOf() { case $1 in cmdline | names) echo "$build/seeds/$1" ;; *) echo "$build/seeds/catalogue" ;; esac; }

# Fuzzes target $1; its log is fuzz-$1.log. Exit status 0 when no fault was found.
fuzzOne() {
    local t=$1 exe=$build/fuzz/fuzz_$1 log=$build/fuzz-$1.log
    local corpus=$build/corpus/$t
    mkdir -p "$corpus"
    # What libFuzzer finds goes into the first folder; the others are read only.
    # A target's regression folder exists once an input that found a fault is in git.
    local dirs=("$corpus" "$(seedsOf "$t")")
    for d in "$committed/$t" "$root/fuzz/regressions/$t"; do
        [ -d "$d" ] && dirs+=("$d")
    done
    local flags=("${limits[@]}" -max_total_time="$seconds" -print_final_stats=1
                 -artifact_prefix="$build/artifacts/$t-")
    [ "$keep_going" = 1 ] && flags+=(-fork=1 -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1)
    local before after
    before=$(find "$build/artifacts" -name "$t-*" | wc -l)
    local rc=0
    "$exe" "${flags[@]}" "${dirs[@]}" >"$log" 2>&1 || rc=$?
    after=$(find "$build/artifacts" -name "$t-*" | wc -l)
    # In fork mode the last progress line counts the faults: oom/timeout/crash: 0/0/0.
    local faults
    faults=$(grep -oE 'oom/timeout/crash: [0-9/]+' "$log" | tail -n 1 | grep -vE ': 0/0/0$' || true)
    if [ "$rc" != 0 ] || [ "$after" != "$before" ] || [ -n "$faults" ]; then
        echo "fuzz: $t FAILED ($((after - before)) new fault inputs); see $log and $build/artifacts/" >&2
        tail -n 40 "$log" >&2
        return 1
    fi
    echo "fuzz: $t ran ${seconds}s: $(grep -E '^stat::number_of_executed_units|^#[0-9]+.*DONE|^#[0-9]+: cov' "$log" | tail -n 1)"
}

# Minimizes what target $1 knows into fuzz/corpus/$1.tar.xz: the committed
# corpus and the grown one, less what the seeds already reach (they are made
# afresh). The archive holds the folder $1 with its files in name order.
mergeOne() {
    local t=$1 seeds work
    seeds=$(seedsOf "$t")
    work=$(mktemp -d "$build/merge-XXXXXX")
    mkdir "$work/$t"
    cp "$seeds"/* "$work/$t/"
    local inputs=("$build/corpus/$t")
    [ -d "$committed/$t" ] && inputs+=("$committed/$t")
    "$build/fuzz/fuzz_$t" -merge=1 "${limits[@]}" "$work/$t" "${inputs[@]}" \
        >"$build/merge-$t.log" 2>&1
    for s in "$seeds"/*; do rm -f "$work/$t/$(basename "$s")"; done
    mkdir -p "$root/fuzz/corpus"
    (cd "$work" && find "$t" -type f | LC_ALL=C sort >list &&
        cmake -E tar cJf "$root/fuzz/corpus/$t.tar.xz" --mtime=1970-01-01 --format=gnutar \
            --files-from=list)
    echo "fuzz: $t corpus: $(wc -l <"$work/list") inputs, $(du -h "$work/$t" | cut -f1) unpacked," \
         "$(du -h "$root/fuzz/corpus/$t.tar.xz" | cut -f1) packed"
    rm -rf "$work"
}

status=0
pids=()
for t in "${targets[@]}"; do
    echo "fuzz: $t for ${seconds}s"
    fuzzOne "$t" &
    pids+=($!)
    if [ ${#pids[@]} -ge "$jobs" ]; then
        wait "${pids[0]}" || status=1
        pids=("${pids[@]:1}")
    fi
done
for p in "${pids[@]}"; do wait "$p" || status=1; done

if [ "$merge" = 1 ]; then
    for t in "${targets[@]}"; do mergeOne "$t"; done
fi
exit $status
