#!/usr/bin/env bash
# Times `repair` on a sound catalogue against the same work done with plain
# tools: two cp, SQLite's integrity check on the repair copy, and VACUUM INTO
# the catalogue's path. VACUUM INTO writes schema format 4, as `repair -v4`
# does; plain `repair` (format 1) is timed as well. Every side starts from
# the same file, warm in the page cache; each round turns the order round.
# Usage: bench_repair.sh REPAIR MKCATALOGUE SQLITE3 [ITEMS] [ROUNDS]
set -euo pipefail
repair=$1
mkcatalogue=$2
sqlite=$3
items=${4:-1000000}
rounds=${5:-3}

work=$(mktemp -d "${TMPDIR:-/tmp}/bench-repair-XXXXXX")
trap 'rm -rf "$work"' EXIT
"$mkcatalogue" --items "$items" "$work/source.M17"
size=$(stat -c %s "$work/source.M17")
echo "catalogue: $items items, $((size / 1048576)) MiB; shell: $sqlite ($("$sqlite" --version | cut -d' ' -f1))"

now() { date +%s.%N; }

# The plain tools' version of one run on $1.
plain() {
    cp "$1" "$1.FIX"
    cp "$1" "$1.KEEP"
    local check
    check=$("$sqlite" "$1.FIX" "PRAGMA integrity_check")
    [ "$check" = ok ] || { echo "integrity check: $check" >&2; exit 1; }
    rm "$1"
    "$sqlite" "$1.FIX" "VACUUM INTO '$1'"
}

timed() { # prints the seconds that "$@" took
    local t0 t1
    t0=$(now)
    "$@"
    t1=$(now)
    awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }'
}

fresh() { rm -f "$1" "$1.FIX" "$1.KEEP"; cp "$work/source.M17" "$1"; cat "$1" >/dev/null; }

printf '%-6s %10s %10s %10s %9s %9s\n' round plain "repair -v4" repair "ratio -v4" ratio
ratios4=()
ratios1=()
for ((r = 1; r <= rounds; r++)); do
    for f in a b c; do fresh "$work/$f.M17"; done
    sides=(p 4 1)
    ((r % 3 == 2)) && sides=(4 1 p)
    ((r % 3 == 0)) && sides=(1 p 4)
    for side in "${sides[@]}"; do
        case $side in
        p) tp=$(timed plain "$work/a.M17") ;;
        4) t4=$(timed "$repair" "$work/b.M17" -v4) ;;
        1) t1=$(timed "$repair" "$work/c.M17") ;;
        esac
    done
    q4=$(awk -v a="$t4" -v b="$tp" 'BEGIN { print a / b }')
    q1=$(awk -v a="$t1" -v b="$tp" 'BEGIN { print a / b }')
    ratios4+=("$q4")
    ratios1+=("$q1")
    printf '%-6s %9.2fs %9.2fs %9.2fs %8.2fx %8.2fx\n' "$r" "$tp" "$t4" "$t1" "$q4" "$q1"
done
median() { printf '%s\n' "$@" | sort -g | sed -n "$((($# + 1) / 2))p"; }
printf 'median ratio repair/plain: %.2fx with -v4, %.2fx without\n' \
    "$(median "${ratios4[@]}")" "$(median "${ratios1[@]}")"
