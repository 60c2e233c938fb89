# The installer chapter of the demo (sourced by scripts/demo, which provides
# $quvactl, chapter, run and say): what the driver installer library finds on
# a machine, the smart-card service repair, and the driver parameters it
# stores, clamped to what the platform allows.
inst_xp="${QUVA_BUILD:-/tmp}/demo/installer-xp"
inst_98="${QUVA_BUILD:-/tmp}/demo/installer-98"
rm -rf "$inst_xp" "$inst_98"
mkdir -p "$(dirname "$inst_xp")"

chapter "The driver installer library on a new Windows XP machine"
run machine new --os xp "$inst_xp"
run driver status "$inst_xp"
run pcsc status "$inst_xp"
say ""
say "This machine lacks the smart-card service keys; the repair runs the system's"
say "\"SCardSvr.exe REINSTALL\", makes the service automatic and starts it:"
run pcsc fix "$inst_xp"
run service list "$inst_xp"
run service stop "$inst_xp" SCardSvr --pending 7000
say "(still stopping after five polls a second apart: the installer would ask for a restart)"

chapter "Driver parameters on XP: 32 readers in all"
run driver params get "$inst_xp"
run driver params set "$inst_xp" --use-rm 1 --readers 8
say ""
say "Thirty physical smart-card readers are attached (quvactl reader add, 30 times)."
for i in $(seq 1 30); do "$quvactl" reader add "$inst_xp" "Physical Reader $i" >/dev/null; done
say "The same request for 8 virtual readers now gets the 2 that are left:"
run driver params set "$inst_xp" --readers 8
say ""
say "LED flashing: -1 asks for the defaults; out-of-range values are clamped, and a"
say "0 in either value means no flashing at all:"
run driver params led "$inst_xp" -1 -1
run driver params led "$inst_xp" 300 -5
run driver params led "$inst_xp" 5 60
say ""
say "A token and a foreign USB device are plugged in; the installer counts the token"
say "(present now, and registered), not the other device:"
run usb plug "$inst_xp" 'USB\VID_1F3C&PID_1000'
run usb plug "$inst_xp" 'USB\VID_0461&PID_4D15'
say ""
say "After:"
run driver status "$inst_xp"
run driver params get "$inst_xp"
run pcsc status "$inst_xp"

chapter "The same on Windows 98"
run machine new --os 98 "$inst_98"
run driver status "$inst_98"
say ""
say "98/ME allows at most 10 virtual readers:"
run driver params set "$inst_98" --use-rm 1 --readers 15
say "and none at all beside a physical reader:"
run reader winscard "$inst_98" on
run reader add "$inst_98" "Desk Reader"
run driver params set "$inst_98" --use-rm 1 --readers 8
run usb plug "$inst_98" 'USB\VID_1F3C&PID_1000'
run driver status "$inst_98"
say ""
say "There is no service control manager on 98; the service operations say so:"
run service start "$inst_98" SCardSvr || true
run error 1633 0xE000020A 0xE0000300
