#!/bin/bash
# The packaged fwdisk.exe under Wine in a real console (tmux), writing to a
# diskette drive E: backed by a 2 MB file.   tests/e2e/cases.sh CASE FWDISK_EXE
#   fresh-console    started by Wine alone, as a double-click would: E, Y writes the image, the
#                    result stays up until a key, exit 0; then what E: holds boots in QEMU
#   signed-from-cmd  a signed copy started by cmd after cmd has printed: E, Y writes the image
#                    carried before the certificate table, exit 0 without a pause
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=testbed/console.sh
source "$root/testbed/console.sh"

[ $# -eq 2 ] || { echo "usage: $0 CASE FWDISK_EXE" >&2; exit 2; }
case_name=$1
exe=$(e2e_program_arg "$2")

readonly PAUSE_TEXT='(press a key to exit)'
readonly TITLE_LINES=(
    '' ''
    '   QV ZK240R5 FWDISK Creation Utility 1.00'
    ''
    'Searching for removable drives...'
    # No drive is listed: Wine cannot tell a file-backed drive's geometry.
    'Enter drive letter to be overwritten with FWDISK files :'
    'Overwrite drive E: (Y/N)?:'
    ''
    '  Congratulations! You have successfully created a bootable FWDISK in drive E:'
)

# The whole screen must be the lines given.
expect_screen() {
    diff <(printf '%s\n' "$@") <(e2e_screen) >&2 || e2e_fail "screen differs (< expected, > seen)"
}

# Answers E to the letter prompt and Y to the confirmation.
pick_e_and_confirm() {
    e2e_wait_text 'Enter drive letter to be overwritten with FWDISK files :'
    e2e_keys E
    e2e_wait_text 'Overwrite drive E: (Y/N)?:'
    e2e_keys Y
}

case_fresh_console() {
    e2e_start "$exe"
    pick_e_and_confirm
    e2e_wait_text "$PAUSE_TEXT"
    expect_screen "${TITLE_LINES[@]}" '' "$PAUSE_TEXT"
    e2e_expect_image_written "$exe"
    # A console opened for the program alone closes with it: the result
    # must stay up until a key.
    sleep 1
    [ ! -f "$E2E_WORK/status" ] || e2e_fail "ended without waiting for a key"
    e2e_keys x
    e2e_wait_exit
    e2e_expect_exit 0
    e2e_stop

    e2e_need qemu-system-i386
    head -c "$E2E_IMAGE_SIZE" "$E2E_DISK" >"$E2E_WORK/diskette.img"
    "$root/testbed/boot-image.sh" "$E2E_WORK/diskette.img" || e2e_fail "the diskette written to E: does not boot"
}

case_signed_from_cmd() {
    e2e_need openssl osslsigncode
    local signed=$E2E_WORK/signed.exe
    (cd "$E2E_WORK" &&
        openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=test -keyout key.pem -out cert.pem &&
        "$root/scripts/sign.sh" "$exe" "$signed" -certs cert.pem -key key.pem) >>"$E2E_WORK/setup.log" 2>&1 ||
        e2e_fail "cannot sign a copy: $(cat "$E2E_WORK/setup.log")"
    # Signing appends the table: the image no longer ends the file.
    [ "$(stat -c %s "$signed")" -gt "$(stat -c %s "$exe")" ] || e2e_fail "the signed copy is not larger"

    # cmd prints before the program starts: its cursor is not at the top left.
    e2e_start cmd /c "echo started&&Z:${signed//\//\\}"
    pick_e_and_confirm
    e2e_wait_exit
    e2e_expect_exit 0
    expect_screen started "${TITLE_LINES[@]}"
    # The image is what follows the program part, not the signed file's end.
    e2e_expect_image_written "$exe"
}

run=case_${case_name//-/_}
declare -F "$run" >/dev/null || e2e_fail "unknown case '$case_name'"
e2e_begin
e2e_prefix
"$run"
echo "PASS: $case_name"
