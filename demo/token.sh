# Demo chapter: the token library at work, first through the token driver's
# control device, then through the resource manager's virtual readers.
# Sourced by scripts/demo, which provides $quvactl, chapter, run and say.

token_machine="${QUVA_BUILD:-/tmp}/demo/tokens"
rm -rf "$token_machine"
mkdir -p "$(dirname "$token_machine")"

chapter "Two tokens on a Windows XP machine"
run machine new --os xp "$token_machine" >/dev/null
run token plug "$token_machine" --name "Alice's token" --serial 0102030405060708
run token plug "$token_machine" --name "Bob's token"
say ""
say "The driver parameters leave the resource manager out, so the library"
say "talks to the token driver's control device:"
run params "$token_machine"
run token list "$token_machine"

chapter "One token opened: properties, diagnostics, LED"
run token info "$token_machine" --serial 0807-0605-0403-0201
run token diagnose "$token_machine" --serial 0807-0605-0403-0201
run token led "$token_machine" --serial 0807-0605-0403-0201 off
run token cmd "$token_machine" --serial 0807-0605-0403-0201 0x0120 --answer 8

chapter "The smart-card function: power-up, then APDUs over T=1"
say "SELECT the MF, SELECT and READ BINARY a public file, GET CHALLENGE, a file"
say "that does not exist (6A82) and a deactivated one (6284, reported as 9000):"
run token apdu "$token_machine" --serial 0807-0605-0403-0201 \
    00A40000023F00 00A40000020101 00B0000010 0084000008 00A40000024242 00A40000020103

chapter "The same through the PC/SC resource manager"
say "The driver asks for the resource manager (UseRM) and presents two virtual"
say "readers; the library's own PC/SC switch (EnablePCSC) is turned on:"
run params "$token_machine" --use-rm 1 --devices 2 --enable-pcsc 1
run token list "$token_machine"
run token info "$token_machine" --serial 0807-0605-0403-0201
run token diagnose "$token_machine"
run token led "$token_machine" on
run token apdu "$token_machine" --serial 0807-0605-0403-0201 00A40000023F00 0084000008 00A40000024242
say ""
say "With a device count of 1 only the first virtual reader is scanned:"
run params "$token_machine" --devices 1
run token list "$token_machine"
