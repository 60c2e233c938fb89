#!/usr/bin/env bash
# quvactl life and driver uninstall end to end: the kit's whole life on each
# platform ends with the machine as before the install, apart from what the
# removal keeps on purpose; removal on a clean machine, twice.
set -euo pipefail
quvactl="$1"
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

for life in xp 2000 nt4 98 me 95 "nt4 --via setup"; do
    read -r os via <<<"$life"
    m="$dir/life-$os${via:+-setup}"
    rc=0
    # shellcheck disable=SC2086
    out="$("$quvactl" life "$m" --os $os $via)" || rc=$?
    [ "$rc" = 0 ] || fail "life on $life ended with $rc: $out"
    grep -q 'this step failed\|NOT as before' <<<"$out" && fail "life on $life: $out"
    grep -q 'the machine is \(exactly \)\?as it was before the install' <<<"$out" || fail "verdict on $life: $out"
    grep -q 'the context is open on the token with serial 1112131415161718 ("Bob")' <<<"$out" \
        || fail "the selection dialog chose Bob on $life: $out"
    grep -q '^1 token(s)' <<<"$out" || fail "one token left after the pull on $life: $out"
    grep -q 'SW 9000' <<<"$out" || fail "APDUs on $life: $out"
    # What the removal leaves is said, not hidden.
    case "$life" in
    nt4) grep -q 'LEGACY_<SERVICE>' <<<"$out" || fail "NT 4.0 legacy keys named: $out" ;;
    xp) grep -q 'catalog the setup engine filed' <<<"$out" || fail "XP catalog named: $out" ;;
    esac
    [ -f "$m/machine.ini" ] || fail "the machine of $life is kept"
done

# Removal twice on a clean machine: TRUE each time, nothing changed; 98/ME
# still asks for a restart.
xp="$dir/clean-xp"
"$quvactl" machine new --os xp "$xp" >/dev/null
for _ in 1 2; do
    out="$("$quvactl" driver uninstall "$xp")" || fail "clean XP removal: $out"
    grep -q '^quvaDI_UninstallDriverA(flags 0x0): TRUE' <<<"$out" && grep -q '^  restart     no (0)' <<<"$out" \
        || fail "clean XP removal outputs: $out"
done
me="$dir/clean-me"
"$quvactl" machine new --os me "$me" >/dev/null
out="$("$quvactl" driver uninstall "$me")" || fail "clean ME removal: $out"
grep -q '^  restart     yes (1)' <<<"$out" || fail "ME removal asks for a restart: $out"

# Bad use: a clear message and the usage or failure exit code.
rc=0; "$quvactl" life "$dir/life-xp" --os xp >/dev/null 2>&1 || rc=$?
[ "$rc" = 1 ] || fail "life on a machine that exists: $rc"
rc=0; "$quvactl" life "$dir/x" --os vista >/dev/null 2>&1 || rc=$?
[ "$rc" = 2 ] || fail "life on vista: $rc"
rc=0; "$quvactl" life "$dir/y" --os xp --via setup >/dev/null 2>&1 || rc=$?
[ "$rc" = 2 ] || fail "--via setup off NT 4.0: $rc"
for cmd in "driver uninstall" "token list" "ui pin" "params"; do
    # shellcheck disable=SC2086
    rc=0; "$quvactl" $cmd "$dir/none" >/dev/null 2>&1 || rc=$?
    [ "$rc" = 1 ] || fail "$cmd without a machine: $rc"
done
grep -q '^  life DIR --os' <<<"$("$quvactl" --help)" || fail "life is listed by --help"
echo "life story passed"
