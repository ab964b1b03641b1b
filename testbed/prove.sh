#!/bin/bash
# The proof of a file about to be published: runs the packaged program EXE,
# signed or not, under the Wine that runs it (testbed/wine.sh), in a console of its own, on
# the PC of testbed/pc.sh, whose stand-in driver DRIVER (stordrv.sys of
# EXE's architecture) records every request. E, Y must write IMAGE (the
# 1,474,560-byte diskette image EXE should carry) over the start of the
# stick's partition in one write, followed by the dismount, leave every
# other byte of the stick as it was, and end with exit code 0.
#   testbed/prove.sh EXE IMAGE DRIVER
# Prints one line, "proved: ..." or what failed. Exit 0 proved, 1 failed,
# 77 when this machine cannot run EXE's Wine (the line says why), 2 on a
# usage error.
# For the tests of what runs it, PROVE_FAULT=N gives the stick the stand-in
# driver's fault N (testbed/pc.sh: 2 write-protected, 3 a short write), so
# that the proof fails as it would on a PC that did not write the image.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=testbed/console.sh
source "$here/console.sh"
# shellcheck source=testbed/pc.sh
source "$here/pc.sh"

[ $# -eq 3 ] && [ -f "$1" ] && [ -f "$2" ] && [ -f "$3" ] || {
    echo "usage: testbed/prove.sh EXE IMAGE DRIVER" >&2
    exit 2
}
exe=$(realpath "$1") image=$(realpath "$2") driver=$(realpath "$3")
if why=$(wine_cannot_run "$exe"); then
    echo "left out: $why"
    exit 77
fi
e2e_begin "$exe"
e2e_locale en_US.UTF-8
pc_prefix "$driver" ${PROVE_FAULT:+E "$PROVE_FAULT"}
e2e_start "$exe"
e2e_wait_text 'Enter drive letter to be overwritten with FWDISK files :'
e2e_keys E
e2e_wait_text 'Overwrite drive E: (Y/N)?:'
e2e_keys Y
# Started as a double-click starts it, it waits for a key before it ends.
e2e_wait_text '(press a key to exit)'
e2e_keys x
e2e_wait_exit
e2e_expect_exit 0
e2e_screen | grep -qxF '  Congratulations! You have successfully created a bootable FWDISK in drive E:' ||
    e2e_fail "no success message"
e2e_stop

# One write, of the whole image at the start of E:, and the dismount (control
# code 0x00090020) right after it.
writes=$(grep -c ' write ' "$PC_LOG" || true)
[ "$writes" -eq 1 ] || e2e_fail "$writes writes in the driver's record, not 1: $(cat "$PC_LOG")"
grep -A1 ' write ' "$PC_LOG" | diff - <(
    echo "E: write code=0x00000000 offset=0 length=$E2E_IMAGE_SIZE status=0x00000000 information=$E2E_IMAGE_SIZE"
    echo "E: device-control code=0x00090020 offset=0 length=0 status=0x00000000 information=0"
) >&2 || e2e_fail "the write and the dismount differ (< seen, > expected)"
pc_expect_stick_holds "$image"
echo "proved: $(basename "$exe") under $( [ "$E2E_WINE" = "$WINE32_LOADER" ] && echo 32 || echo 64)-bit Wine wrote exactly the image in one write, then dismounted, and exited 0"
