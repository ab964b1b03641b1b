#!/usr/bin/env bash
# Walks through one use of the packaged program as a technician would see
# it, without real hardware: the program runs under Wine in a console of its
# own (tmux), drive E: is a diskette drive whose contents are a 2 MB file,
# and the diskette it writes is then booted in QEMU.
#
#   scripts/demo.sh build/win/fwdisk.exe
#
# Builds nothing. Exits non-zero if any step fails. Leaves nothing behind:
# the Wine prefix, console and files live in a temporary directory.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=testbed/console.sh
source "$root/testbed/console.sh"

exe=$(e2e_program_arg "$@")

step=0
heading() {
    step=$((step + 1))
    echo
    echo "==== Step $step: $* ===="
}
show_screen() {
    echo "+------------------------------------------------------------------------------------"
    e2e_screen | sed 's/^/| /'
    echo "+------------------------------------------------------------------------------------"
}

e2e_begin
e2e_need qemu-system-i386

heading "Prepare a Windows environment (Wine) with a diskette in drive E:"
e2e_prefix
echo "Drive E: is the file $E2E_DISK ($(stat -c %s "$E2E_DISK") bytes)."

heading "Start $(basename "$exe") in a console window of its own"
e2e_start "$exe"
e2e_wait_text 'Enter drive letter to be overwritten with FWDISK files :'
show_screen

echo "(Wine answers no disk geometry, so no drive is listed; on Windows the"
echo " removable drives large enough for the image appear under the search line."
echo " Any letter can still be typed.)"

heading "Press E to choose drive E:"
e2e_keys E
e2e_wait_text 'Overwrite drive E: (Y/N)?:'
show_screen

heading "Press Y to confirm the overwrite"
e2e_keys Y
# The result, then either the end of the program or its wait for a key.
e2e_wait_text 'Congratulations!'
deadline=$((SECONDS + E2E_TIMEOUT))
until e2e_screen | grep -qF '(press a key to exit)' || [ -f "$E2E_WORK/status" ]; do
    [ "$SECONDS" -lt "$deadline" ] || e2e_fail "neither an end nor a key prompt after ${E2E_TIMEOUT}s"
    sleep 0.05
done
show_screen

if [ ! -f "$E2E_WORK/status" ]; then
    heading "Press a key to close the program"
    e2e_keys x
fi
e2e_wait_exit
e2e_stop
echo "The program ended with exit code $E2E_EXIT."
e2e_expect_exit 0

heading "Check what was written to drive E:"
e2e_expect_image_written "$exe"
echo "The first $E2E_IMAGE_SIZE bytes of E: are the diskette image carried in $(basename "$exe");"
echo "the $((E2E_DISK_SIZE - E2E_IMAGE_SIZE)) bytes after them are untouched."

heading "Boot the written diskette in QEMU and read its serial console"
head -c "$E2E_IMAGE_SIZE" "$E2E_DISK" >"$E2E_WORK/diskette.img"
# The project's own boot check: it shows the serial console's banner line,
# then checks for a power-off rather than a reset.
"$root/testbed/boot-image.sh" "$E2E_WORK/diskette.img"

echo
echo "Demo complete: the diskette written by $(basename "$exe") boots."
