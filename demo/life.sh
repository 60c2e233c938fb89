# Demo chapter: the whole life of the kit, from the driver install on a new
# machine to its removal, on Windows XP in full, then on NT 4.0 (through the
# installer library and through the setup program), 98 and 95 in short.
# Sourced by scripts/demo, which provides $quvactl, chapter, run and say.

life_root="${QUVA_BUILD:-/tmp}/demo/life"
rm -rf "$life_root"
mkdir -p "$life_root"

# Runs a life and shows only its step titles, results and verdict.
life_short() {
    local dir="$1"
    shift
    printf '$ quvactl life %s' "$dir"
    printf ' %s' "$@"
    printf '   (shortened: step titles, call results and the verdict)\n'
    "$quvactl" life "$dir" "$@" |
        grep -E "^(---|quvaDI_|  restart|exit code|the machine|what the removal|Windows' own|  - |apart from|NOT as|[0-9]+ step|\(this step)" |
        grep -Ev '^  - (key|value|file|service|device) ' || true
}

chapter "The whole life of the kit on Windows XP"
say "A new machine with the application's libraries on it; the driver package is"
say "installed, two tokens are plugged in, the user picks one in the selection"
say "dialog and enters its PIN, the application talks to it, the other token is"
say "pulled out, and the driver is removed.  Each step shows what it changed."
run life "$life_root/xp" --os xp || say "(the life did not end as it should: see above)"
say ""
say "Bob's token was still plugged in at the removal.  Its device node went with"
say "the others, its driver unloaded with it, so no restart was needed (0)."

chapter "The same life on Windows NT 4.0, 98 and 95, in short"
say "NT 4.0 through the installer library, from the NT 4.0 driver package:"
life_short "$life_root/nt4" --os nt4
say ""
say "NT 4.0 through the legacy setup program (setup /q, then setup /q /u):"
life_short "$life_root/nt4-setup" --os nt4 --via setup
say ""
say "Windows 98 (the removal always asks for a restart there):"
life_short "$life_root/98" --os 98
say ""
say "Windows 95:"
life_short "$life_root/95" --os 95
say ""
say "Each removal left its machine as it was before the install, apart from what"
say "the removal keeps on purpose, named under each life above."
