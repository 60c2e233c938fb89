#!/usr/bin/env bash
# quvactl setup and services end to end on a machine directory.
set -euo pipefail
quvactl="$1"
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
m="$dir/nt4"
fail() { echo "FAILED: $*" >&2; exit 1; }

"$quvactl" machine new --os nt4 "$m" >/dev/null
"$quvactl" services "$m" | grep -q '^no services$' || fail "a new machine has services"
out="$("$quvactl" setup "$m")"
grep -q '| Drivers successfully installed. |' <<<"$out" || fail "install box: $out"
grep -q '^exit code 0 (done)$' <<<"$out" || fail "install exit code: $out"
out="$("$quvactl" services "$m")"
grep -q '^usbdrv  *stopped  *demand  *kernel driver  *Extended Base  *%SystemRoot%\\System32\\Drivers\\usbdrv.sys$' <<<"$out" ||
    fail "services after install: $out"
[ "$(grep -c 'kernel driver' <<<"$out")" = 3 ] || fail "three services: $out"
[ -f "$m/c/WINNT/system32/drivers/usbqvtkn.sys" ] || fail "driver file not copied"
out="$("$quvactl" setup "$m" /q /u)"
grep -q '^no message box$' <<<"$out" || fail "quiet uninstall showed a box: $out"
"$quvactl" services "$m" | grep -q '^no services$' || fail "services left"
[ ! -f "$m/c/WINNT/system32/drivers/usbqvtkn.sys" ] || fail "driver file left"
out="$("$quvactl" setup "$m" '/?')"
grep -q '| Usage : setup \[/q\]\[/u\]\[/?\] *|' <<<"$out" || fail "usage: $out"
"$quvactl" machine new --os xp "$dir/xp" >/dev/null
out="$("$quvactl" setup "$dir/xp")"
grep -q '| failure: Only for Win NT 4.0 *|' <<<"$out" && grep -q '^exit code 2 (failed)$' <<<"$out" || fail "xp: $out"
echo "setup story: 1 passed, 0 failed"
