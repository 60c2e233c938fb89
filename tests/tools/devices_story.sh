#!/usr/bin/env bash
# Earlier driver generations seeded on XP, each recognised by the installer's
# inventory as the upgrade it needs; the device tree; the machine diff.
set -euo pipefail
quvactl="$1"
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

# generation -> the inventory flags it must leave (stack, USB class, legacy reader, token class)
declare -A expect=(
    [usb-class]='virtual-reader stack 0, USB-class token 1, legacy reader token 0,.*token-class device 0'
    [reader-class]='virtual-reader stack 0, USB-class token 0, legacy reader token 1,.*token-class device 0'
    [token-class]='virtual-reader stack 0, USB-class token 0, legacy reader token 0,.*token-class device 1'
    [reader-stack]='virtual-reader stack 1, USB-class token 0, legacy reader token 0,.*token-class device 0'
)
for g in usb-class reader-class token-class reader-stack; do
    m="$dir/$g"
    "$quvactl" machine new --os xp "$m" >/dev/null
    "$quvactl" machine seed "$m" --generation "$g" >"$dir/seed.txt"
    status="$("$quvactl" driver status "$m" | tr '\n' ' ')"
    grep -q "driver stack installed *yes" <<<"$status" || fail "$g: stack not found: $status"
    grep -Eq "${expect[$g]}" <<<"$status" || fail "$g: inventory record: $status"
    grep -q '0 present, 1 registered' <<<"$status" || fail "$g: one registered token, none present: $status"
    # Other makers' INFs come first; the generation's own INF follows them.
    grep -q '+ file C:\\WINDOWS\\INF\\oem0.inf' "$dir/seed.txt" || fail "$g: other maker's INF"
    grep -q '+ file C:\\WINDOWS\\INF\\oem2.pnf' "$dir/seed.txt" || fail "$g: own INF with its PNF"
done

# The device tree of the reader stack: enumerator, virtual reader and token.
devs="$("$quvactl" devices "$dir/reader-stack")"
grep -q '^ROOT\\SMARTCARDREADER\\0000$' <<<"$devs" || fail "enumerator node: $devs"
grep -q 'hardware   quvaenum\\quvaifd' <<<"$devs" || fail "virtual reader: $devs"
grep -q 'oem2.inf, version 1.18.0.56' <<<"$devs" || fail "driver key with INF and version: $devs"
grep -q 'service    quvaenum (stopped)' <<<"$devs" || fail "service state: $devs"
grep -q 'registered, not present' <<<"$devs" || fail "the token is only registered: $devs"

# Seeding again reuses the INFs already there and only rewrites.
"$quvactl" machine snapshot "$dir/reader-class" | grep -q '^snapshot of' || fail "snapshot"
"$quvactl" machine diff "$dir/reader-class" | grep -qx '(no changes)' || fail "nothing changed yet"
"$quvactl" machine seed "$dir/reader-class" --generation reader-class --present >"$dir/seed.txt"
grep -q 'oem3.inf' "$dir/seed.txt" && fail "an identical INF got a new number"
out="$("$quvactl" machine diff "$dir/reader-class")"
grep -q '^~ device USB\\VID_1F3C&PID_1000\\.*: registered -> present$' <<<"$out" || fail "token plugged: $out"
"$quvactl" driver status "$dir/reader-class" | grep -q '1 present, 1 registered' || fail "present token counted"

# A file removed behind the machine's back, as the diff tells it.
"$quvactl" machine diff "$dir/reader-class" --update >/dev/null
rm "$dir/reader-class/c/WINDOWS/INF/oem0.pnf"
out="$("$quvactl" machine diff "$dir/reader-class")"
grep -qx -- '- file C:\\WINDOWS\\INF\\oem0.pnf' <<<"$out" || fail "removed file: $out"

# Bad input.
rc=0; "$quvactl" machine seed "$dir/reader-class" --generation bogus 2>/dev/null || rc=$?
[ "$rc" = 2 ] || fail "unknown generation: $rc"
"$quvactl" machine new --os nt4 "$dir/nt4" >/dev/null
rc=0; err="$("$quvactl" machine seed "$dir/nt4" --generation usb-class 2>&1)" || rc=$?
[ "$rc" = 1 ] && grep -q 'Windows 2000, XP and 2003' <<<"$err" || fail "NT 4.0 refused: $rc $err"
rc=0; err="$("$quvactl" machine diff "$dir/nt4" 2>&1)" || rc=$?
[ "$rc" = 1 ] && grep -q 'no snapshot' <<<"$err" || fail "diff without a snapshot: $rc $err"
rc=0; "$quvactl" machine seed "$dir/nt4" --generation usb-class --packages "$dir/none" 2>/dev/null || rc=$?
[ "$rc" = 1 ] || fail "missing packages: $rc"
echo "devices story passed"
