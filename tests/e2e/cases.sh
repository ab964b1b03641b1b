#!/bin/bash
# End-to-end runs of the packaged fwdisk.exe under Wine, in a console driven
# through tmux, against a diskette drive E: backed by a 2 MB file.
#
#   tests/e2e/cases.sh CASE FWDISK_EXE LAUNCHER_EXE
#
# CASE is one of:
#   fresh-console-write  fresh console: E, Y writes the image, then waits for
#                        a key before it ends with 0
#   launched-no-pause    started after another program's output: same write,
#                        ends with 0 at once
#   declined             a key that is no letter (fresh console: pause, exit
#                        1) and E then N (launched: exit 1 at once); E: keeps
#                        its contents
#   no-such-drive        Q, Y: the framed open error, pause, exit 1
#   boot-written         what the program wrote to E: boots in QEMU
#
# LAUNCHER_EXE is tests/e2e/launcher.c built for Windows.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=tests/e2e/lib.sh
source "$here/lib.sh"

[ $# -eq 3 ] || {
    echo "usage: $0 CASE FWDISK_EXE LAUNCHER_EXE" >&2
    exit 2
}
case_name=$1
exe=$(realpath "$2")
launcher=$(realpath "$3")
[ -f "$exe" ] || e2e_fail "no program at $2"
[ -f "$launcher" ] || e2e_fail "no launcher at $3"
[ "$(stat -c %s "$exe")" -gt "$E2E_IMAGE_SIZE" ] || e2e_fail "$exe is too small to carry an image"

# The program as a Windows path, for the launcher's command line (Wine's Z:
# is the Unix root).
exe_win="Z:${exe//\//\\}"

readonly LETTER_PROMPT='Enter drive letter to be overwritten with FWDISK files :'
# The screen up to the letter prompt, when the program's console was fresh.
readonly TITLE_LINES=(
    ''
    ''
    "$(e2e_lit '   QV ZK240R5 FWDISK Creation Utility 1.00')"
    ''
    "$(e2e_lit 'Searching for removable drives...')"
    # No drive is listed: Wine cannot tell a file-backed drive's geometry.
    "$(e2e_lit "$LETTER_PROMPT")"
)
readonly PAUSE_TEXT='(press a key to exit)'
readonly NO_LETTER='No valid drive letter entered, exiting...'
congratulations() {
    e2e_lit "  Congratulations! You have successfully created a bootable FWDISK in drive $1:"
}
launcher_line() { e2e_lit "launcher: starting $exe_win"; }

# Runs the program in a fresh console up to its confirmation prompt for
# drive LETTER, typing KEY for the letter.
start_and_pick() {
    local key=$1 letter=$2
    shift 2
    e2e_start "$@"
    e2e_wait_text "$LETTER_PROMPT"
    e2e_keys "$key"
    e2e_wait_text "Overwrite drive $letter: (Y/N)?:"
}

case_fresh_console_write() {
    e2e_prefix
    cp "$E2E_DISK" "$E2E_WORK/before.img"

    start_and_pick E E "$exe"
    cmp -s "$E2E_DISK" "$E2E_WORK/before.img" || e2e_fail "E: changed before the confirmation"
    e2e_keys Y
    e2e_wait_text "$PAUSE_TEXT"
    e2e_expect_screen "${TITLE_LINES[@]}" \
        "$(e2e_lit 'Overwrite drive E: (Y/N)?:')" \
        '' \
        "$(congratulations E)" \
        '' \
        "$(e2e_lit "$PAUSE_TEXT")"
    e2e_expect_image_written "$exe" "$E2E_WORK/before.img"

    # A console opened for the program alone closes with it: the result
    # must stay up until a key.
    e2e_expect_pause_exit 0
}

case_launched_no_pause() {
    e2e_prefix
    cp "$E2E_DISK" "$E2E_WORK/before.img"

    start_and_pick E E "$launcher" "$exe_win"
    e2e_keys Y
    # No key after this one: the program must end by itself.
    e2e_wait_exit
    e2e_expect_exit 0
    e2e_expect_screen "$(launcher_line)" "${TITLE_LINES[@]}" \
        "$(e2e_lit 'Overwrite drive E: (Y/N)?:')" \
        '' \
        "$(congratulations E)"
    e2e_expect_image_written "$exe" "$E2E_WORK/before.img"
}

case_declined() {
    e2e_prefix
    local sum
    sum=$(sha256sum <"$E2E_DISK")

    # Not a letter: no confirmation is asked.
    e2e_start "$exe"
    e2e_wait_text "$LETTER_PROMPT"
    e2e_keys 5
    e2e_wait_text "$PAUSE_TEXT"
    e2e_expect_screen "${TITLE_LINES[@]}" \
        '' \
        "$(e2e_lit "$NO_LETTER")" \
        '' \
        "$(e2e_lit "$PAUSE_TEXT")"
    e2e_expect_pause_exit 1
    [ "$(sha256sum <"$E2E_DISK")" = "$sum" ] || e2e_fail "E: changed after a digit as drive letter"
    e2e_stop

    # A real drive, then no.
    start_and_pick E E "$launcher" "$exe_win"
    e2e_keys N
    e2e_wait_exit
    e2e_expect_exit 1
    e2e_expect_screen "$(launcher_line)" "${TITLE_LINES[@]}" \
        "$(e2e_lit 'Overwrite drive E: (Y/N)?:')" \
        '' \
        "$(e2e_lit "$NO_LETTER")"
    [ "$(sha256sum <"$E2E_DISK")" = "$sum" ] || e2e_fail "E: changed although the overwrite was declined"
}

case_no_such_drive() {
    e2e_prefix
    if [ -e "$WINEPREFIX/dosdevices/q:" ] || [ -e "$WINEPREFIX/dosdevices/q::" ]; then
        e2e_fail "the prefix has a drive Q:; this case needs a letter without a drive"
    fi
    local sum
    sum=$(sha256sum <"$E2E_DISK")

    start_and_pick q Q "$exe"
    e2e_keys y
    e2e_wait_text "$PAUSE_TEXT"
    # The system's text ends the message; the frame's closing asterisks
    # land on the next line after the message's own line end.
    e2e_expect_screen "${TITLE_LINES[@]}" \
        "$(e2e_lit 'Overwrite drive Q: (Y/N)?:')" \
        '' \
        '' \
        "$(e2e_lit '*** error opening drive Q: ')[^ ].*" \
        "$(e2e_lit ' ***')" \
        '' \
        "$(e2e_lit "$PAUSE_TEXT")"
    e2e_expect_pause_exit 1
    [ "$(sha256sum <"$E2E_DISK")" = "$sum" ] || e2e_fail "E: changed by a run for drive Q:"
}

case_boot_written() {
    e2e_need qemu-system-i386
    e2e_prefix
    start_and_pick e E "$exe"
    e2e_keys y
    e2e_wait_text "$PAUSE_TEXT"
    e2e_screen | grep -Eqx -- "$(congratulations E)" || e2e_fail "no success message"
    e2e_keys x
    e2e_wait_exit
    e2e_expect_exit 0
    e2e_stop

    # A 1.44 MB drive: the first 1,474,560 bytes of E:'s file, as the
    # program left them.
    head -c "$E2E_IMAGE_SIZE" "$E2E_DISK" >"$E2E_WORK/diskette.img"
    "$here/../boot/boot-image.sh" "$E2E_WORK/diskette.img" ||
        e2e_fail "the diskette written to E: did not boot"
}

e2e_begin
case $case_name in
fresh-console-write) case_fresh_console_write ;;
launched-no-pause) case_launched_no_pause ;;
declined) case_declined ;;
no-such-drive) case_no_such_drive ;;
boot-written) case_boot_written ;;
*) e2e_fail "unknown case '$case_name'" ;;
esac
echo "PASS: $case_name"
