#!/usr/bin/env bash
# The Debian package: built by CPack, checked by lintian, installed with dpkg
# into a fresh root over an older version of itself, its programs run from
# there, and removed again without a trace.
# Usage: package.sh BUILD_DIR
set -uo pipefail
build=$1
if [ "$(id -u)" != 0 ]; then echo "package: dpkg --root needs root: skipped"; exit 77; fi
work=$(mktemp -d) combine_pid=
trap '[ -n "$combine_pid" ] && kill "$combine_pid" 2>/dev/null; rm -rf "$work"' EXIT
passed=0 failed=0
check() { # check NAME STATUS [DETAIL]
    if [ "$2" = 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $1 ${3-}"; fi
}

# This version's package, and the same contents as an older version.
for v in new old; do
    extra=(); [ $v = old ] && extra=(-D CPACK_PACKAGE_VERSION=0.9)
    if ! cpack --config "$build/CPackConfig.cmake" -B "$work/$v" "${extra[@]}" >"$work/cpack.log" 2>&1; then
        cat "$work/cpack.log"; exit 1
    fi
done
new=$(ls "$work"/new/*.deb) old=$(ls "$work"/old/*.deb)

out=$(lintian --fail-on error,warning "$new" 2>&1); status=$?
check "lintian finds no error or warning" $status "$out"
depends=$(dpkg-deb -f "$new" Depends)
[[ $depends == *"libqt6widgets6 (>="* && $depends == *"libc6 (>="* ]]
check "dependencies come from the programs' libraries" $? "($depends)"
control=$(dpkg-deb --ctrl-tarfile "$new" | tar -t | sort | tr '\n' ' ')
[ "$control" = "./control ./md5sums " ]; check "no maintainer scripts" $? "($control)"
dpkg-deb -x "$new" "$work/unpacked"
size=$(dpkg-deb -f "$new" Installed-Size) used=$(du -sk "$work/unpacked" | cut -f1)
[ "$size" -ge $((used * 9 / 10)) ] && [ "$size" -le $((used * 11 / 10 + 8)) ]
check "installed size" $? "($size KiB declared, $used KiB unpacked)"

root=$work/root
mkdir -p "$root"/var/lib/dpkg/{info,updates,triggers}
: >"$root/var/lib/dpkg/status"
# The fresh root has none of the libraries: they are the host's.
dpkg_root() { dpkg --root="$root" --log="$work/dpkg.log" --force-depends "$@" >>"$work/dpkg.out" 2>&1; }
dpkg_root -i "$old"; check "older version installs" $?
dpkg_root -i "$new"; check "this version installs over it" $? "$(tail -5 "$work/dpkg.out")"
got=$(dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${Version} ${Status}' catalogue-tools)
[ "$got" = "1.0 install ok installed" ]; check "this version is the installed one" $? "($got)"
listed=$(dpkg-query --admindir="$root/var/lib/dpkg" -L catalogue-tools | sort | grep -c .)
[ "$listed" -eq "$(cd "$work/unpacked" && find . -mindepth 1 | grep -c .)" ]
check "every unpacked path is listed once" $? "($listed listed)"

bin=$root/usr/bin
[ -f "$bin/../share/catalogue-tools/M17.HLP" ]; check "help file in the data folder" $?
out=$("$bin/repair" --help); status=$?
[ $status = 0 ] && [[ $out == "Usage: repair PATH [-v4]"* ]]; check "installed repair --help" $? "($out)"
"$bin/mkcatalogue" --items 20 "$work/Books.M17" >/dev/null; check "installed mkcatalogue" $?
out=$("$bin/finddups" "$work/Books.M17"); status=$?
[ $status = 0 ] && [[ $out == cluster$'\t'* ]]; check "installed finddups reports" $? "($status: $out)"

# combine has no way to end by itself on a catalogue argument: it is started,
# seen holding the catalogue (repair and finddups are refused), then ended with
# a signal.
# repair probes only once combine has the file open: an earlier probe would
# replace the catalogue under it.
QT_QPA_PLATFORM=offscreen "$bin/combine" "$work/Books.M17" >"$work/combine.log" 2>&1 &
combine_pid=$!
opened=1
for _ in $(seq 1 120); do
    if ls -l "/proc/$combine_pid/fd" 2>/dev/null | grep -q "$work/Books.M17\$"; then opened=0; break; fi
    kill -0 "$combine_pid" 2>/dev/null || break
    sleep 0.5
done
check "installed combine opens its catalogue argument" $opened "($(cat "$work/combine.log"))"
sleep 1
err=$("$bin/repair" "$work/Books.M17" 2>&1)
[[ $err == *"error 3045:"* ]]; check "combine holds the catalogue to itself" $? "($err)"
err=$("$bin/finddups" "$work/Books.M17" 2>&1)
[[ $err == *"error 3045:"* ]]; check "finddups is refused too" $? "($err)"
kill -0 "$combine_pid" 2>/dev/null; check "combine is still running" $?
kill "$combine_pid"; wait "$combine_pid" 2>/dev/null; combine_pid=
"$bin/repair" "$work/Books.M17" -v4 && [ -f "$work/Books.M17.KEEP" ]
check "repair works once combine has ended" $?

dpkg_root -r catalogue-tools; check "removes" $?
left=$(find "$root/usr" -mindepth 1 2>/dev/null)
[ -z "$left" ]; check "removal leaves nothing behind" $? "($left)"
dpkg_root --purge catalogue-tools; check "purges" $?
got=$(dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${Status}' catalogue-tools 2>/dev/null)
[ -z "$got" ] || [ "$got" = "unknown ok not-installed" ]; check "dpkg forgets the package" $? "($got)"

echo "package: $passed passed, $failed failed"
[ $failed = 0 ]
