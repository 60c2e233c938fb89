#!/usr/bin/env bash
# quvactl's installer commands end to end: error texts, driver parameters
# clamped on XP and 98, the smart-card repair and the service operations.
set -euo pipefail
quvactl="$1"
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

out="$("$quvactl" error 0xE000020A 0xE0000300 2 0x80000000)"
grep -q 'SetupAPI: No INF file\.  \[12 characters\]' <<<"$out" || fail "SetupAPI text: $out"
grep -q '0xE0000300) SetupAPI: Unknown error\.' <<<"$out" || fail "unknown SetupAPI code: $out"
grep -q '(0x00000002) system: .*file' <<<"$out" || fail "system text: $out"
grep -q '(0x80000000) system: (no text)  \[0 characters\]' <<<"$out" || fail "top bit only is the system's: $out"
rc=0; "$quvactl" error 12x 2>/dev/null || rc=$?
[ "$rc" = 2 ] || fail "a bad code gives the usage exit code, not $rc"
rc=0; err="$("$quvactl" driver status "$dir/none" 2>&1)" || rc=$?
[ "$rc" = 1 ] && grep -q 'holds no machine' <<<"$err" || fail "a missing machine: $rc $err"
"$quvactl" driver bogus 2>/dev/null && fail "an unknown driver command ran"

# XP: the reader count against the 32-reader limit.
xp="$dir/xp"
"$quvactl" machine new --os xp "$xp" >/dev/null
"$quvactl" driver params get "$xp" | grep -q 'GetDriverParams: FALSE, last error 2 ' || fail "nothing stored yet"
"$quvactl" driver params set "$xp" --use-rm 1 --readers 50 | grep -q 'UseRM 1, virtual readers 32,' \
    || fail "50 readers capped at 32"
for i in $(seq 1 30); do "$quvactl" reader add "$xp" "Physical $i" >/dev/null; done
out="$("$quvactl" driver params set "$xp" --readers 8 --flags 0x10)"
grep -q '30 live physical reader' <<<"$out" || fail "30 physical readers seen: $out"
grep -q 'stored: UseRM 1, virtual readers 2, RMMode 1, DriverFlags 0x10' <<<"$out" || fail "8 cut to 2: $out"
"$quvactl" driver params set "$xp" --readers 8 --bogus 1 2>/dev/null && fail "unknown option accepted"
"$quvactl" driver params led "$xp" 300 -5 | grep -q 'FlashLedCycle 0, FlashLedDuration 0' \
    || fail "255 and 0 read back as no flashing"
"$quvactl" driver params led "$xp" -1 10 | grep -q 'FlashLedCycle 3, FlashLedDuration 30' || fail "LED defaults"
"$quvactl" driver params get "$xp" | grep -q 'FlashLedCycle 3' || fail "LED values kept"

# 98: ten virtual readers at most, none beside a physical reader.
w98="$dir/98"
"$quvactl" machine new --os 98 "$w98" >/dev/null
"$quvactl" driver params set "$w98" --use-rm 1 --readers 15 | grep -q 'UseRM 1, virtual readers 10,' \
    || fail "98 caps at 10"
"$quvactl" reader winscard "$w98" on >/dev/null
"$quvactl" reader add "$w98" "Desk reader" >/dev/null
"$quvactl" driver params set "$w98" --use-rm 1 --readers 15 | grep -q 'UseRM 0, virtual readers 0,' \
    || fail "98 with a physical reader stores 0 and 0"
out="$("$quvactl" service start "$w98" SCardSvr)" && fail "a service started on 98"
grep -q 'FALSE, last error 1633 ' <<<"$out" || fail "no services on 98: $out"

# The smart-card service put back, then the service operations.
out="$("$quvactl" pcsc fix "$xp")"
grep -q 'ran C:\\WINDOWS\\system32\\SCardSvr.exe REINSTALL' <<<"$out" || fail "repair program run: $out"
grep -q 'SCardSvr service key *Start 2 (auto)' <<<"$out" || fail "service made automatic: $out"
"$quvactl" pcsc fix "$xp" | grep -q 'nothing was run' || fail "a healthy service is left alone"
"$quvactl" service list "$xp" | grep -q '^SCardSvr *running *auto' || fail "SCardSvr runs after the boot"
out="$("$quvactl" service stop "$xp" SCardSvr --pending 7000)"
grep -q 'TRUE, last error 0' <<<"$out" && grep -q 'restart needed: yes' <<<"$out" || fail "slow stop: $out"
out="$("$quvactl" service stop "$xp" SCardDrv)" && fail "stopping a stopped service succeeded"
grep -q 'last error 1062 ' <<<"$out" || fail "not running: $out"
"$quvactl" service delete "$xp" NoSuchService | grep -q 'TRUE, last error 0' || fail "nothing to delete is success"
"$quvactl" service delete "$xp" SCardDrv | grep -q 'SCardDrv is now gone' || fail "delete"
"$quvactl" service list "$xp" | grep -q '^SCardDrv' && fail "SCardDrv still listed"
# Token devices as the installer counts them, and what the inventory finds.
out="$("$quvactl" driver status "$xp")"
grep -q 'PLATFORM_NT5' <<<"$out" && grep -q 'token devices *0 present, 0 registered' <<<"$out" || fail "status: $out"
"$quvactl" usb plug "$xp" 'USB\VID_1F3C&PID_1000' | grep -q '^plugged USB\\VID_1F3C&PID_1000\\' || fail "usb plug"
"$quvactl" usb plug "$xp" 'USB\VID_1234&PID_0001' >/dev/null
"$quvactl" driver status "$xp" | grep -q 'token devices *1 present, 1 registered' || fail "one token counted"
"$quvactl" usb unplug "$xp" 'USB\VID_1F3C&PID_1000' >/dev/null
"$quvactl" driver status "$xp" | grep -q 'token devices *0 present, 1 registered' || fail "unplugged stays registered"
"$quvactl" usb unplug "$xp" 'USB\VID_1F3C&PID_1000' 2>/dev/null && fail "unplugged twice"
"$quvactl" usb list "$xp" | grep -q '^registered *Unknown *USB\\VID_1F3C' || fail "usb list"
out="$("$quvactl" driver status "$w98")"
grep -q 'Windows 98/ME' <<<"$out" && grep -q 'driver stack installed *no' <<<"$out" || fail "98 status: $out"
nt4="$dir/nt4"
"$quvactl" machine new --os nt4 "$nt4" >/dev/null
"$quvactl" driver status "$nt4" | grep -q 'token devices *not counted, last error 1633 ' || fail "no count on NT 4.0"
"$quvactl" setup "$nt4" /q >/dev/null
out="$("$quvactl" driver status "$nt4")"
grep -q 'driver stack installed *yes' <<<"$out" && grep -q 'driver file version *1.18.x.57' <<<"$out" \
    || fail "the NT 4.0 stack after setup: $out"
echo "installer story: ok"
