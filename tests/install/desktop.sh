#!/usr/bin/env bash
# Desktop integration as the freedesktop tools see it: the desktop entry and
# the metainfo validate, and in a fresh data home the catalogue file type is
# recognised by name and content and opens with combine.
# Usage: desktop.sh SOURCE_DIR BUILD_DIR MKCATALOGUE_EXE
set -uo pipefail
src=$1 build=$2 mkcatalogue_exe=$3
app=org.cataloguetools.Combine type=application/x-mervane-catalogue
passed=0 failed=0
check() { # check NAME STATUS [DETAIL]
    if [ "$2" = 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $1 ${3-}"; fi
}

out=$(desktop-file-validate "$src/data/$app.desktop" 2>&1); status=$?
[ $status = 0 ] && [ -z "$out" ]; check "desktop-file-validate" $? "$out"
out=$(appstreamcli validate --no-net "$build/data/$app.metainfo.xml" 2>&1); status=$?
check "appstreamcli validate" $status "$out"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_DATA_HOME=$work/data XDG_DATA_DIRS=/usr/share XDG_CONFIG_HOME=$work/config
# xdg-mime asks GIO, as the file managers do: its generic fallback reads only
# the old glob list and settles no tie (the lower-case *.m15) by content.
export XDG_CURRENT_DESKTOP=GNOME
mkdir -p "$XDG_DATA_HOME/applications" "$XDG_CONFIG_HOME"
out=$(xdg-mime install --mode user "$src/data/catalogue-tools.xml" 2>&1); status=$?
check "xdg-mime install" $status "$out"
cp "$src/data/$app.desktop" "$XDG_DATA_HOME/applications/"
update-desktop-database "$XDG_DATA_HOME/applications"

"$mkcatalogue_exe" --items 10 "$work/sample.M17" >/dev/null || exit 1
for name in a.M17 b.m17 c.M15 d.m15 e.MRV f.mrv g.Mrv; do
    cp "$work/sample.M17" "$work/$name"
    got=$(xdg-mime query filetype "$work/$name"); [ "$got" = $type ]
    check "$name is a catalogue" $? "($got)"
done
# Without a catalogue's name an SQLite file stays a plain database.
cp "$work/sample.M17" "$work/plain.db"
got=$(xdg-mime query filetype "$work/plain.db"); [ "$got" = application/vnd.sqlite3 ]
check "plain.db is no catalogue" $? "($got)"
got=$(xdg-mime query default $type); [ "$got" = $app.desktop ]
check "catalogues open with combine" $? "($got)"

# The icon in every size the desktop looks for, as PNG of that size.
for size in 16 32 48 64 128 256; do
    got=$(file -b "$build/data/icons/${size}x${size}/apps/$app.png")
    [[ $got == "PNG image data, $size x $size,"* ]]
    check "icon ${size}x${size}" $? "($got)"
done

echo "desktop: $passed passed, $failed failed"
[ $failed = 0 ]
