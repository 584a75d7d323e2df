#!/usr/bin/env bash
# Runs a command in a clean clone of this checkout (its committed state)
# inside a fresh minimal Debian 12 root: what a new user's machine has, and
# nothing that was installed on this one. The minimal root is made once with
# debootstrap --variant=minbase and kept outside the clone; each run works on
# a copy of it, removed afterwards, so the kept root stays minimal. Needs
# root (debootstrap, chroot, mounts); installs debootstrap when missing.
#
# Usage: scripts/clean-root.sh 'COMMAND' [LOG]
#   scripts/clean-root.sh 'bash scripts/test.sh'
#   CLEAN_ROOT_CACHE: where the minimal root is kept
#                     (default /var/cache/catalogue-tools/clean-root)
# The command's output goes to LOG when given, else to standard output; the
# script ends with the command's exit status.
set -euo pipefail
if [ $# -lt 1 ] || [ $# -gt 2 ] || [ "$1" = -h ] || [ "$1" = --help ]; then
    sed -n '/^# Usage:/,/^[^#]/{/^#/s/^# \{0,1\}//p}' "$0" >&2
    exit 2
fi
[ "$(id -u)" = 0 ] || { echo "clean-root: must run as root" >&2; exit 2; }
command=$1
log=${2:-}
root=$(cd "$(dirname "$0")/.." && git rev-parse --show-toplevel)
cache=${CLEAN_ROOT_CACHE:-/var/cache/catalogue-tools/clean-root}

if ! command -v debootstrap >/dev/null; then
    apt-get update -q >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends debootstrap >/dev/null
fi
# The same mirror as this machine's own packages, where it names one.
mirror=$(awk '/^URIs:/ { print $2; exit }' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
if [ ! -x "$cache/base/usr/bin/apt-get" ]; then
    echo "clean-root: making the minimal Debian 12 root in $cache/base (once)"
    mkdir -p "$cache"
    rm -rf "$cache/base.new"
    debootstrap --variant=minbase bookworm "$cache/base.new" ${mirror:+"$mirror"} \
        >"$cache/debootstrap.log" 2>&1 ||
        { tail -n 20 "$cache/debootstrap.log" >&2; exit 1; }
    mv "$cache/base.new" "$cache/base"
fi

work=$(mktemp -d "$cache/run.XXXXXX")
mounted=()
cleanup() {
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount -l "${mounted[i]}" 2>/dev/null || true
    done
    rm -rf --one-file-system "$work"
}
trap cleanup EXIT
echo "clean-root: copying the root and cloning $root into it"
cp -a "$cache/base" "$work/root"
cp /etc/resolv.conf "$work/root/etc/resolv.conf" 2>/dev/null || true
git clone -q "$root" "$work/root/project"
for m in proc dev dev/pts; do
    case $m in proc) mount -t proc proc "$work/root/proc" ;; *) mount --bind "/$m" "$work/root/$m" ;; esac
    mounted+=("$work/root/$m")
done

inside() {
    chroot "$work/root" /usr/bin/env -i HOME=/root CI="${CI:-}" LANG=C.UTF-8 \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        /bin/bash -c "cd /project && $command" </dev/null
}
echo "clean-root: running '$command'${log:+ (output in $log)}"
status=0
if [ -n "$log" ]; then inside >"$log" 2>&1 || status=$?; else inside 2>&1 || status=$?; fi
echo "clean-root: exit status $status"
exit $status
