# Demo chapter: the dialogs library's token selection, new-PIN and removal
# dialogs, answered by a scripted user (quvactl ui ... --answer).
# Sourced by scripts/demo, which provides $quvactl, chapter, run and say.

ui_machine="${QUVA_BUILD:-/tmp}/demo/dialogs"
rm -rf "$ui_machine"
mkdir -p "$(dirname "$ui_machine")"

chapter "Choosing one of two tokens"
run machine new --os xp "$ui_machine" >/dev/null
run token plug "$ui_machine" --name "Alice's token" --serial 0102030405060708
run token plug "$ui_machine"
say ""
say "With two tokens present the selection dialog lists both, the unnamed one as"
say "\"Quva A1\", here with serial numbers.  Selecting a row makes that token's LED"
say "blink four times a second (the LED of the other one stays put); OK leaves"
say "the caller's context open on the chosen token, its LED at rest:"
run ui select "$ui_machine" --serial-shown \
    --answer 'select:Alice' --answer wait:1 --answer leds --answer show --answer ok

chapter "A new numeric PIN, returned as bytes"
say "The user first types two different PINs, gets the warning, then types it"
say "twice alike.  PIN_BINARY returns two digits per byte:"
run ui newpin "$ui_machine" --kind user --class numeric --binary --min 4 --len 4 --token first \
    --answer type:3104=1234 --answer type:3105=1243 --answer ok \
    --answer type:3104=1234 --answer type:3105=1234 --answer ok

chapter "Waiting for the token to be taken out"
say "The removal wait blinks the token's LED and probes it four times a second;"
say "it ends as soon as the token is unplugged (here after two seconds):"
run ui wait "$ui_machine" --remove --serial 0102030405060708 --count 30 \
    --answer wait:2 --answer leds --answer unplug:1 --answer wait:1
run ui message "$ui_machine" 25
