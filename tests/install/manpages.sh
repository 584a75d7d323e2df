#!/usr/bin/env bash
# The manual pages: groff and man find nothing to warn about in any of them,
# and every row of repair(1)'s table of command lines does what it says when
# typed into a shell with the real program.
# Usage: manpages.sh MAN_SOURCE_DIR REPAIR_EXE MKCATALOGUE_EXE
set -uo pipefail
man_dir=$1 repair_exe=$2 mkcatalogue_exe=$3
passed=0 failed=0
check() { # check NAME CONDITION-STATUS [DETAIL]
    if [ "$2" = 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $1 ${3-}"; fi
}

for page in "$man_dir"/*.1; do
    out=$({ groff -t -man -ww -z "$page"
            LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" >/dev/null; } 2>&1)
    [ -z "$out" ]; status=$?
    check "${page##*/} formats cleanly" $status "$out"
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$mkcatalogue_exe" --items 30 "$work/base.M17" >/dev/null || exit 1
repair() { "$repair_exe" "$@"; }

# The rows of the first table behind its rule line, roff escapes undone.
rows=$(sed -n '/^_$/,/^\.TE/p' "$man_dir/repair.1" | sed '1d;$d' |
       sed -e "s/\\\\(aq/'/g" -e 's/\\-/-/g' -e 's/\\(em/-/g')
[ "$(printf '%s\n' "$rows" | wc -l)" -ge 10 ]; check "repair.1 has its table" $?
while IFS='|' read -r command path switch why; do
    rm -f "$work"/*.FIX "$work"/*.KEEP
    cp "$work/base.M17" "$work/Books.M17" && cp "$work/base.M17" "$work/My Books.M17"
    err=$(cd "$work" && eval "$command" 2>&1 >/dev/null); status=$?
    case $why in
    error*)
        number=${why#error }
        [ $status = 1 ] && [[ $err == *"error $number:"* ]]
        check "'$command' fails with $why" $? "(status $status: $err)" ;;
    *)
        # Byte 47 of an SQLite file is the low byte of its schema format.
        format=$(od -An -tu1 -j47 -N1 "$work/$path" 2>/dev/null | tr -d ' ')
        want=1; [ "$switch" = yes ] && want=4
        [ $status = 0 ] && [ "$format" = "$want" ] && [ -f "$work/$path.KEEP" ]
        check "'$command' repairs '$path' in format $want" $? "(status $status, format $format: $err)" ;;
    esac
done <<<"$rows"

echo "manpages: $passed passed, $failed failed"
[ $failed = 0 ]
