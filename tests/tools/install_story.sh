#!/usr/bin/env bash
# quvactl driver install end to end: a fresh XP install with a token plugged
# in and the reader-status dialog, an upgrade over a seeded generation, and
# packages that are not there.
set -euo pipefail
quvactl="$1"
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

# Fresh install, token plugged in, two readers drawn as they arrive.
xp="$dir/xp"
"$quvactl" machine new --os xp "$xp" >/dev/null
out="$("$quvactl" driver install "$xp" --rm 2 --token-plugged)"
grep -q 'quvaDI_InstallDriverA(C:\\QUVA\\DRIVERS, "qvatoken.inf", flags 0x0, use-rm 1, readers 2): TRUE' <<<"$out" \
    || fail "call line: $out"
grep -q '^  completion  4 ' <<<"$out" || fail "completion 4: $out"
grep -q '^  restart     no (0)' <<<"$out" || fail "no restart: $out"
grep -q '^  error       0$' <<<"$out" || fail "no error: $out"
grep -q "readers 1 of 2" <<<"$out" && grep -q "all 2 reader(s) in: the dialog closes itself" <<<"$out" || fail "progress drawn per reader: $out"
grep -q '+ file C:\\WINDOWS\\INF\\oem0.inf' <<<"$out" || fail "diff shows the OEM INF: $out"
grep -q 'C:\\QUVA\\DRIVERS' <<<"$(sed -n '/^changes:/,$p' <<<"$out")" && fail "staging is not part of the diff"
"$quvactl" devices "$xp" | grep -q 'quvaenum\\quvaifd' || fail "virtual readers in the device tree"

# Installing again: the identical INF keeps its number.
out="$("$quvactl" driver install "$xp" --silent --rm 2)"
grep -q '): TRUE' <<<"$out" || fail "reinstall: $out"
grep -q 'oem1.inf' <<<"$out" && fail "an identical INF got a new number: $out"

# Upgrade over the reader-class generation: old INF purged, restart asked.
up="$dir/up"
"$quvactl" machine new --os xp "$up" >/dev/null
"$quvactl" machine seed "$up" --generation reader-class >/dev/null
out="$("$quvactl" driver install "$up" --silent)"
grep -q 'flags 0x4, .*: TRUE' <<<"$out" || fail "silent upgrade: $out"
grep -q '^  restart     yes (1)' <<<"$out" && grep -q '^  completion  1 ' <<<"$out" || fail "upgrade outputs: $out"
grep -q "~ file C:\\\\WINDOWS\\\\INF\\\\oem2.inf" <<<"$out" && ! grep -q "oem[01].inf" <<<"$out" || fail "old INF replaced, the others kept: $out"

# Bad packages: a clear error, exit 1, machine untouched.
rc=0; err="$("$quvactl" driver install "$xp" --package "$dir/none" 2>&1)" || rc=$?
[ "$rc" = 1 ] && grep -q 'not a driver package folder' <<<"$err" || fail "missing package: $rc $err"
mkdir "$dir/empty"
rc=0; err="$("$quvactl" driver install "$xp" --package "$dir/empty" 2>&1)" || rc=$?
[ "$rc" = 1 ] && grep -q 'holds no INF' <<<"$err" || fail "package without INF: $rc $err"
rc=0; "$quvactl" driver install "$xp" --rm x 2>/dev/null || rc=$?
[ "$rc" = 2 ] || fail "bad --rm: $rc"
# Without --package the machine's platform chooses the package: NT 4.0's.
nt4="$dir/nt4"
"$quvactl" machine new --os nt4 "$nt4" >/dev/null
rc=0; out="$("$quvactl" driver install "$nt4" --silent)" || rc=$?
[ "$rc" = 0 ] && grep -q '"USBQVTKN.INF", .*): TRUE' <<<"$out" || fail "NT 4.0: $rc $out"
echo "install story passed"
