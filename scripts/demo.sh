#!/usr/bin/env bash
# The main job: sets up and builds everything, writes a sample catalogue with
# near-duplicate entries and opens it in the combine window. Without a
# display the window runs on a virtual one (Xvfb) and a screenshot is saved.
# Usage: scripts/demo.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
bash "$root/scripts/setup.sh" "$build"
cmake --build "$build" -j"$(nproc)" --target combine mkcatalogue

demo="$build/demo"
mkdir -p "$demo"
catalogue="$demo/Sample.M17"
rm -f "$catalogue" "$catalogue-journal"
"$build/tools/mkcatalogue" --items 20000 --subjects 2000 --publishers 400 --types 20 \
    --seed 7 "$catalogue"
echo "demo: sample catalogue written to $catalogue"

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
    exec "$build/combine/combine" "$catalogue"
fi

# No display: run the window on a virtual screen, take a screenshot, close it.
shot="$demo/combine-window.png"
for p in xvfb xauth imagemagick; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="${missing:-} $p"
done
if [ -n "${missing:-}" ]; then
    if [ "$(id -u)" = 0 ]; then apt-get install -y -q --no-install-recommends $missing; else sudo apt-get install -y -q --no-install-recommends $missing; fi
fi
xvfb-run -a -s "-screen 0 1024x600x24" bash -c '
    "$1" "$2" & pid=$!
    sleep 4
    import -window root "$3"
    kill $pid 2>/dev/null || true
    wait $pid 2>/dev/null || true
' _ "$build/combine/combine" "$catalogue" "$shot"
echo "demo: no display here; the window ran on a virtual display and its screenshot is $shot"
