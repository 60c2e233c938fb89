# Demo chapter: the Windows XP driver install from the driver package, first
# on a new machine with a token plugged in, then as an upgrade over an earlier
# generation; each with what it changed on the machine.
# Sourced by scripts/demo, which provides $quvactl, chapter, run and say.

install_new="${QUVA_BUILD:-/tmp}/demo/install-xp"
install_old="${QUVA_BUILD:-/tmp}/demo/install-upgrade"
rm -rf "$install_new" "$install_old"
mkdir -p "$(dirname "$install_new")"

chapter "Installing the token driver stack on a new Windows XP machine"
run machine new --os xp "$install_new"
say "A token is plugged in before any driver is there; the install copies the INF"
say "into %windir%\\INF, makes the root-enumerated reader enumerator, and waits for"
say "the two virtual readers it asks for.  The reader-status dialog is drawn each"
say "time one arrives (half a virtual second apart):"
run driver install "$install_new" --rm 2 --token-plugged
say ""
say "Completion 4: a first installation with a token plugged in.  The device tree:"
run devices "$install_new"

chapter "Upgrading over an earlier driver generation"
run machine new --os xp "$install_old"
say "This machine has the 1.16 generation, where each token was a smart-card reader"
say "of its own, next to two INFs of other makers (oem0.inf, oem1.inf; its own: oem2.inf):"
run machine seed "$install_old" --generation reader-class | sed -n 1,2p
say ""
say "The newer package purges the old INF (the other makers' stay; the new INF takes"
say "the freed number), drops the stale token node and builds the enumerator with its"
say "virtual reader.  The reader parameters are new to this machine, so the install"
say "asks for a restart (completion 1).  --silent: no reader-status dialog:"
run driver install "$install_old" --silent
