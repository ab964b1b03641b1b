#!/usr/bin/env bash
# Walks through one use of the packaged program as a technician would see
# it, without real hardware: the program runs under Wine in a console of its
# own (tmux) on a PC of stand-in drives (testbed/pc.sh), served from files by
# the stand-in storage driver stordrv.sys built beside the program; it
# writes the 4 GB USB stick E:, which then boots in QEMU as a hard disk
# (scripts/try-boot.sh, which boots the image as a diskette too).
#
#   scripts/demo.sh [FWDISK_EXE...]
#
# By default it walks through build/win64/fwdisk64.exe under 64-bit Wine,
# and build/win/fwdisk.exe under 32-bit Wine where this machine runs it
# (testbed/wine.sh); its first line says which it runs, and why one is left
# out. A program named is run, or the demo fails saying why it cannot be.
# Builds nothing. Exits non-zero if any step fails; the boot of an image of
# one's own (FWDISK_IMAGE) is reported, not judged. Leaves nothing behind but
# the boots' screens, in demo-boot/ beside each program: the Wine prefix,
# console and files live in a temporary directory.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=testbed/console.sh
source "$root/testbed/console.sh"
# shellcheck source=testbed/pc.sh
source "$root/testbed/pc.sh"

given=$#
[ $# -gt 0 ] || set -- "$root/build/win/fwdisk.exe" "$root/build/win64/fwdisk64.exe"
wine_builds_line "$@"
runnable=()
for exe in "$@"; do
    [ -f "$exe" ] || { echo "demo.sh: no program at $exe (scripts/build.sh builds it)" >&2; exit 2; }
    if ! why=$(wine_cannot_run "$exe"); then
        runnable+=("$exe")
    elif [ "$given" -gt 0 ]; then
        echo "demo.sh: $exe: $why" >&2
        exit 1
    fi
done
set -- "${runnable[@]}"

# One walk through EXE, in a subshell of its own: its Wine prefix, console
# and files go when it ends.
walk_through() (
    exe=$(realpath "$1")
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

    echo
    echo "######## $(basename "$exe") ########"
    e2e_begin "$exe"
    e2e_need qemu-system-i386

    heading "Prepare a PC (Wine) with these drives"
    pc_drives
    pc_prefix "$(dirname "$exe")/stordrv.sys"
    echo "The drives are stand-ins: files served by a stand-in storage driver under Wine."

    heading "Start $(basename "$exe") in a console window of its own"
    e2e_start "$exe"
    e2e_wait_text 'Enter drive letter to be overwritten with FWDISK files :'
    show_screen
    echo "(Listed: the removable drives with a medium large enough for the image.)"

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

    heading "The driver's record of the write"
    # From the write on: the write, the dismount (control code 0x00090020), the close.
    sed -n '/^E: write /,$p' "$PC_LOG"

    heading "Check what was written to the stick"
    pc_expect_stick_written "$exe"
    echo "Its partition (E:) starts with the $E2E_IMAGE_SIZE-byte diskette image carried in"
    echo "$(basename "$exe"); every other byte of the 4 GB stick is as it was."

    heading "Boot the image in QEMU: as a diskette, and the written stick as a hard disk"
    # The boot trial boots the image as a diskette and the whole stick as a hard
    # disk: the BIOS runs the stick's MBR, which starts the written partition. The
    # default image must print its banner on COM1 and power off; an image of your
    # own is reported, not judged (--lenient): its own boot code decides.
    boot_dir=$(dirname "$exe")/demo-boot
    "$root/scripts/try-boot.sh" --lenient --stick-file "$PC_STICK" --out "$boot_dir" "$exe" | tee "$E2E_WORK/boot.txt"

    echo
    if grep -q '^try-boot.sh: PASS' "$E2E_WORK/boot.txt"; then
        echo "Demo complete: the stick written by $(basename "$exe") boots as a hard disk."
    else
        echo "Demo complete: $(basename "$exe") wrote the stick; how its image boots is reported above."
    fi
)

for exe in "$@"; do
    walk_through "$exe"
done
