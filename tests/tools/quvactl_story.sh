#!/usr/bin/env bash
# quvactl end to end on a machine directory: what the demo shows, checked.
set -euo pipefail
quvactl="$1"
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
m="$dir/pc"
fail() { echo "FAILED: $*" >&2; exit 1; }
tree='HKEY_LOCAL_MACHINE\Software\Vornel Technologies'

# Read whole: the overview outgrew a pipe buffer, and grep -q leaving early would kill the writer.
grep -q 'machine new' <<<"$("$quvactl" --help)" || fail "overview lists no commands"
"$quvactl" machine new --help | grep -q 'usage: quvactl machine new' || fail "command help"
"$quvactl" machine new --os win31 "$m" 2>/dev/null && fail "unknown version accepted"
"$quvactl" machine new --os 98 "$m" >/dev/null
"$quvactl" machine new --os 98 "$m" 2>/dev/null && fail "second machine in one directory"
"$quvactl" machine show "$m" | grep -q 'Windows 98 (4.10' || fail "machine show"

"$quvactl" lib register "$m" | grep -c ' ok ' | grep -q 3 || fail "register"
out="$("$quvactl" reg export "$m" "$tree")"
grep -q '"Path"="C:\\\\WINDOWS\\\\SYSTEM\\\\QUVAB2.DLL"' <<<"$out" || fail "Path value: $out"
grep -q '"EnablePCSC"=dword:00000000' <<<"$out" || fail "EnablePCSC"

"$quvactl" lib versions "$m" | grep -q 'driver   none installed (0)' || fail "no driver yet"
printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{5A1C7E20-3B4D-4E6F-8A9B-0C1D2E3F4A5B}]\n"VersionMajor"=dword:00000002\n' >"$dir/u.reg"
"$quvactl" reg import "$m" "$dir/u.reg" >/dev/null
"$quvactl" lib versions "$m" | grep -q '0x02000000' || fail "driver version from the uninstall entry"
printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\X]\n"bad\n' >"$dir/bad.reg"
"$quvactl" reg import "$m" "$dir/bad.reg" 2>/dev/null && fail "bad .reg accepted"

"$quvactl" lib unregister "$m" >/dev/null
"$quvactl" reg export "$m" "$tree" >/dev/null && fail "tree left after unregistering"
echo "quvactl story: 1 passed, 0 failed"
