#!/usr/bin/env bash
# quvactl's token commands end to end: the token demo's story, checked, on
# both paths.
set -euo pipefail
quvactl="$1"
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
m="$dir/pc"
fail() { echo "FAILED: $*" >&2; exit 1; }

"$quvactl" machine new --os xp "$m" >/dev/null
"$quvactl" token plug "$m" --name "Alice" --serial 0102030405060708 >/dev/null
"$quvactl" token plug "$m" --name "Bob" >/dev/null

out="$("$quvactl" token list "$m")"
grep -q '^path: direct' <<<"$out" || fail "direct path by default: $out"
grep -q '0807-0605-0403-0201  Alice' <<<"$out" || fail "serial shown as the dialogs show it: $out"
grep -q '2 token(s)' <<<"$out" || fail "two tokens: $out"

out="$("$quvactl" token info "$m" --serial 0807-0605-0403-0201)"
grep -q 'name: *Alice' <<<"$out" || fail "info by serial: $out"
"$quvactl" token info "$m" --serial 0102030405060708 | grep -q 'name: *Alice' || fail "serial in byte order"
"$quvactl" token info "$m" --serial 0102030405060709 >/dev/null && fail "an unknown serial opened"
"$quvactl" token info "$m" --serial 12 2>/dev/null && fail "a short serial accepted"

"$quvactl" token diagnose "$m" | grep -q 'hardware check passed' || fail "diagnose"
"$quvactl" token led "$m" off | grep -q 'LED state 2: 0 ' || fail "led"
"$quvactl" token cmd "$m" 0x120 --answer 8 | grep -q 'answer: 51 56 00 00 00 00 00 02\|answer: 01 02 03' \
    || fail "serial command"

out="$("$quvactl" token apdu "$m" 00A40000023F00 0084000008 00A40000024242 00A40000020103)"
grep -q 'ATR (25 bytes) 3B FF' <<<"$out" || fail "power-up: $out"
[ "$(grep -c 'SW 9000' <<<"$out")" = 3 ] || fail "three APDUs answer 9000 (6284 read as 9000): $out"
grep -q 'SW 6A82' <<<"$out" || fail "file not found: $out"
"$quvactl" token apdu "$m" 00A4 2>/dev/null && fail "a 2-byte APDU accepted"

# The resource-manager path, its reader count and the PC/SC switch.
"$quvactl" params "$m" --use-rm 1 --devices 2 >/dev/null
"$quvactl" token list "$m" | grep -q '0 token(s)' || fail "the PC/SC switch is off by default"
out="$("$quvactl" params "$m" --enable-pcsc 1)"
grep -q 'EnablePCSC *1' <<<"$out" || fail "params shows EnablePCSC: $out"
out="$("$quvactl" token list "$m")"
grep -q '^path: resource manager' <<<"$out" || fail "resource-manager path: $out"
grep -q '2 token(s)' <<<"$out" || fail "two tokens through the readers: $out"
"$quvactl" token apdu "$m" --serial 0807-0605-0403-0201 00A40000023F00 | grep -q 'SW 9000' || fail "APDU through the readers"
"$quvactl" params "$m" --devices 1 >/dev/null
"$quvactl" token list "$m" | grep -q '1 token(s)' || fail "one reader scanned"
"$quvactl" params "$m" --rm-mode 0 >/dev/null
"$quvactl" token list "$m" | grep -q '^path: direct' || fail "RMMode 0 turns back to the driver"
"$quvactl" params "$m" --rm-mode none --use-rm none | grep -q 'UseRM *(absent)' || fail "values deleted"
"$quvactl" params "$m" --bogus 1 2>/dev/null && fail "unknown option accepted"
echo "token story: ok"
