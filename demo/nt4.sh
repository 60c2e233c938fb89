# The NT 4.0 chapter of the demo (sourced by scripts/demo, which provides
# $quvactl, chapter, run and say): the legacy setup installs the USB driver
# stack as three kernel-driver services, and removes it again.
nt4_machine="${QUVA_BUILD:-/tmp}/demo/nt4"
rm -rf "$nt4_machine"
mkdir -p "$(dirname "$nt4_machine")"

chapter "A Windows NT 4.0 machine and the legacy setup"
run machine new --os nt4 "$nt4_machine"
run services "$nt4_machine"
say ""
say "setup.exe copies usbhub.sys, usbqvtkn.sys and usbdrv.sys from its own directory"
say "into %windir%\\system32\\drivers, then quvainst.dll creates the services:"
run setup "$nt4_machine"
run services "$nt4_machine"
run reg export "$nt4_machine" 'HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\usbdrv'

chapter "Asking for help, and the wrong Windows"
run setup "$nt4_machine" '/?'
nt4_xp="${nt4_machine}-xp"
rm -rf "$nt4_xp"
run machine new --os xp "$nt4_xp"
run setup "$nt4_xp" /q
say "(quiet: no message box, only the exit code)"
run setup "$nt4_xp"

chapter "Removing the NT 4.0 drivers"
run setup "$nt4_machine" /u
run services "$nt4_machine"
run setup "$nt4_machine" /q /u
say "(nothing left to remove: every stop and delete counts as done)"
