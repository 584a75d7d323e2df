#!/usr/bin/env bash
# Checks C++ files against the repository's .clang-format without changing
# them: every tracked *.cpp and *.h, or the files named. Lists the files that
# clang-format would change and fails if there is any.
# Usage: scripts/format-check.sh [FILE...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
fmt=${CLANG_FORMAT:-$(command -v clang-format || command -v clang-format-14 || true)}
[ -n "$fmt" ] || { echo "format-check: clang-format not found" >&2; exit 2; }
if [ $# -gt 0 ]; then
    files=("$@")
else
    command -v git >/dev/null || { echo "format-check: git not found" >&2; exit 2; }
    mapfile -t files < <(git ls-files -- '*.cpp' '*.h')
    # A check over no file at all would pass whatever the files look like.
    [ ${#files[@]} -gt 0 ] || { echo "format-check: no tracked C++ file found" >&2; exit 2; }
fi
bad=0
for f in "${files[@]}"; do
    if ! "$fmt" --style=file --dry-run -Werror "$f" >/dev/null 2>&1; then
        echo "format-check: $f is not formatted (clang-format -i $f)"
        bad=$((bad + 1))
    fi
done
echo "format-check: $bad of ${#files[@]} files not formatted"
[ "$bad" = 0 ]
