#!/usr/bin/env bash
# Prepares a Debian 12 machine and configures the build: installs the
# packages the build needs, fetches SQLite's Debian source package into the
# build folder once and writes its amalgamation there, then runs CMake.
# Usage: scripts/setup.sh [BUILD_DIR]   (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
mkdir -p "$build"
build=$(cd "$build" && pwd)

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

packages=(build-essential cmake ninja-build pkg-config dpkg-dev tcl git
          qt6-base-dev libgl-dev libgtest-dev libgmock-dev libbenchmark-dev
          xvfb xauth fonts-dejavu-core libicu-dev libstemmer-dev
          file desktop-file-utils appstream xdg-utils shared-mime-info libglib2.0-bin
          lintian man-db groff-base clang-14 libclang-rt-14-dev clang-format)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done

# SQLite's source comes from the same suite as the installed packages.
src_list=/etc/apt/sources.list.d/catalogue-tools-src.sources
need_src=0
[ -f "$build/_deps/sqlite/sqlite3.c" ] || need_src=1
if [ "$need_src" = 1 ] && ! grep -rqs '^Types:.*deb-src\|^deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    as_root tee "$src_list" >/dev/null <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
fi

if [ ${#missing[@]} -gt 0 ] || [ "$need_src" = 1 ]; then
    as_root apt-get update -q
fi
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

if [ "$need_src" = 1 ]; then
    echo "setup: fetching and preparing SQLite's source (once)"
    work="$build/_deps/sqlite-work"
    rm -rf "$work" && mkdir -p "$work"
    (cd "$work" && apt-get source -q sqlite3 >/dev/null 2>&1 || apt-get source sqlite3)
    srcdir=$(find "$work" -maxdepth 1 -mindepth 1 -type d -name 'sqlite3-*' | head -n 1)
    [ -n "$srcdir" ] || { echo "setup: SQLite source not found" >&2; exit 1; }
    (cd "$srcdir" && ./configure --quiet >/dev/null && make -s sqlite3.c >/dev/null)
    dest="$build/_deps/sqlite"
    rm -rf "$dest" && mkdir -p "$dest/recover"
    cp "$srcdir/sqlite3.c" "$srcdir/sqlite3.h" "$srcdir/sqlite3ext.h" "$dest/"
    cp "$srcdir/ext/recover/sqlite3recover.c" "$srcdir/ext/recover/sqlite3recover.h" \
       "$srcdir/ext/recover/dbdata.c" "$dest/recover/"
    cp "$srcdir/shell.c" "$dest/" 2>/dev/null || true
    rm -rf "$work"
fi

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DSQLITE_SOURCE_DIR="$build/_deps/sqlite" >/dev/null
echo "setup: configured $build"
