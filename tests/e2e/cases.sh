#!/bin/bash
# A packaged program, fwdisk.exe or fwdisk64.exe, under the Wine that runs it
# (testbed/wine.sh) in a real console (tmux), on the PC of drives of
# testbed/pc.sh, whose stand-in driver (stordrv.sys, built beside the program
# for its architecture) records every request. Exits 77, a skip, saying why,
# when this machine cannot run the program's Wine.
#   tests/e2e/cases.sh CASE FWDISK_EXE
#   stick            started by Wine alone, as a double-click would, on an English Windows
#                    from a folder whose name its ANSI code page (1252) lacks: lists the
#                    stick and the diskette; E, Y writes the image at the start of the
#                    stick's partition, one write, then the dismount; the result stays up
#                    until a key, exit 0; the boot trial (scripts/try-boot.sh) then boots
#                    the image as a diskette and the written stick as a hard disk: the
#                    default image must pass it, another is only reported
#   write-protected  the stick is write-protected, on an English Windows (ANSI code page 1252)
#                    whose display language is Russian: E, Y reports Wine's Russian text as
#                    it reads, exit 1, the stick unchanged
#   cut-short-to-file  a copy cut short by 4,096 bytes, in a Greek folder on an English Windows,
#                    its output sent to a file from cmd: E, Y reports no image, the folder's
#                    letters each a "?" (none a lookalike), exit 1, nothing written
#   signed-from-cmd  a copy signed twice (SHA-1, then SHA-256 nested), started by cmd after
#                    cmd has printed: E, Y writes the image carried before the certificate
#                    table in one write, then the dismount, exit 0 without a pause
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=testbed/console.sh
source "$root/testbed/console.sh"
# shellcheck source=testbed/pc.sh
source "$root/testbed/pc.sh"

[ $# -eq 2 ] || { echo "usage: $0 CASE FWDISK_EXE" >&2; exit 2; }
case_name=$1
exe=$(e2e_program_arg "$2")
name=$(basename "$exe")

readonly PAUSE_TEXT='(press a key to exit)'
readonly TITLE_LINES=(
    '' ''
    '   QV ZK240R5 FWDISK Creation Utility 1.00'
    ''
    'Searching for removable drives...'
    ' A: 1.44 MB'
    ' E: 3,997 MB'
    'Enter drive letter to be overwritten with FWDISK files :'
    'Overwrite drive E: (Y/N)?:'
)
readonly DONE_LINES=(
    ''
    '  Congratulations! You have successfully created a bootable FWDISK in drive E:'
)

# The whole screen must be the lines given.
expect_screen() {
    diff <(printf '%s\n' "$@") <(e2e_screen) >&2 || e2e_fail "screen differs (< expected, > seen)"
}

# The driver's whole record must be the scan (each drive opened, asked for
# its geometry with a 24-byte buffer and closed before the next; H: has no
# card), then E: opened and the lines given, then E: closed.
expect_record() {
    local drive
    {
        for drive in A:0x00000000:24 E:0x00000000:24 F:0x00000000:24 G:0x00000000:24 H:0xc0000013:0; do
            IFS=: read -r letter status bytes <<<"$drive"
            echo "$letter: create code=0x00000000 offset=0 length=0 status=0x00000000 information=0"
            echo "$letter: device-control code=0x00070000 offset=0 length=24 status=$status information=$bytes"
            echo "$letter: close code=0x00000000 offset=0 length=0 status=0x00000000 information=0"
        done
        echo "E: create code=0x00000000 offset=0 length=0 status=0x00000000 information=0"
        [ $# -eq 0 ] || printf '%s\n' "$@"
        echo "E: close code=0x00000000 offset=0 length=0 status=0x00000000 information=0"
    } | diff - "$PC_LOG" >&2 || e2e_fail "driver record differs (< expected, > seen)"
}

# Answers E to the letter prompt and Y to the confirmation.
pick_e_and_confirm() {
    e2e_wait_text 'Enter drive letter to be overwritten with FWDISK files :'
    e2e_keys E
    e2e_wait_text 'Overwrite drive E: (Y/N)?:'
    e2e_keys Y
}

case_stick() {
    local folder='users\Дмитрий\Загрузки\ファーム'
    mkdir -p "$WINEPREFIX/drive_c/${folder//\\//}"
    cp "$exe" "$WINEPREFIX/drive_c/${folder//\\//}/$name"
    e2e_start "C:\\$folder\\$name"
    pick_e_and_confirm
    e2e_wait_text "$PAUSE_TEXT"
    expect_screen "${TITLE_LINES[@]}" "${DONE_LINES[@]}" '' "$PAUSE_TEXT"
    # A console opened for the program alone closes with it: the result
    # must stay up until a key.
    sleep 1
    [ ! -f "$E2E_WORK/status" ] || e2e_fail "ended without waiting for a key"
    e2e_keys x
    e2e_wait_exit
    e2e_expect_exit 0
    e2e_stop
    # One write of the image at the volume's start, then the dismount.
    expect_record \
        "E: write code=0x00000000 offset=0 length=1474560 status=0x00000000 information=1474560" \
        "E: device-control code=0x00090020 offset=0 length=0 status=0x00000000 information=0"
    pc_expect_stick_written "$exe"
    e2e_need qemu-system-i386
    "$root/scripts/try-boot.sh" --lenient --stick-file "$PC_STICK" --out "$E2E_WORK/boot" "$exe" ||
        e2e_fail "the boot trial failed: the default image must boot as a diskette and from the written stick"
}

case_write_protected() {
    e2e_start "$exe"
    pick_e_and_confirm
    e2e_wait_text "$PAUSE_TEXT"
    expect_screen "${TITLE_LINES[@]}" '' '' '*** WriteFile error "Защищено от записи" ***' '' "$PAUSE_TEXT"
    e2e_keys x
    e2e_wait_exit
    e2e_expect_exit 1
    e2e_stop
    expect_record "E: write code=0x00000000 offset=0 length=1474560 status=0xc00000a2 information=0"
    pc_expect_stick_unchanged
}

# Polls the file FILE until it holds TEXT.
wait_in_file() {
    local file=$1 text=$2 deadline=$((SECONDS + E2E_TIMEOUT))
    until grep -qF -- "$text" "$file" 2>/dev/null; do
        [ "$SECONDS" -lt "$deadline" ] || e2e_fail "\"$text\" not in $file within ${E2E_TIMEOUT}s"
        sleep 0.05
    done
}

case_cut_short_to_file() {
    local folder='users\Χρήστες\Λήψεις' report=$WINEPREFIX/drive_c/report.txt
    mkdir -p "$WINEPREFIX/drive_c/${folder//\\//}"
    head -c -4096 "$exe" >"$WINEPREFIX/drive_c/${folder//\\//}/$name"
    e2e_start cmd /c "C:\\$folder\\$name > C:\\report.txt"
    wait_in_file "$report" 'Enter drive letter to be overwritten with FWDISK files :'
    e2e_keys E
    wait_in_file "$report" 'Overwrite drive E: (Y/N)?:'
    e2e_keys Y
    e2e_wait_exit
    e2e_expect_exit 1
    e2e_stop
    # The file is in the ANSI code page (1252), which has no Greek letters;
    # Windows' best fit would have written "???ste?\???e??".
    [ "$(tail -n 1 "$report" | tr -d '\r')" = "*** No FWDISK image in program file \"C:\\users\\???????\\??????\\$name\" ***" ] ||
        e2e_fail "the report reads: $(tail -n 1 "$report")"
    # The scan, E: opened and locked (Wine answers the lock), and no write.
    expect_record
    pc_expect_stick_unchanged
}

case_signed_from_cmd() {
    e2e_need openssl osslsigncode
    local signed=$E2E_WORK/signed.exe
    (cd "$E2E_WORK" &&
        openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=test -keyout key.pem -out cert.pem &&
        "$root/scripts/sign.sh" "$exe" once.exe -certs cert.pem -key key.pem -h sha1 &&
        "$root/scripts/sign.sh" once.exe "$signed" -nest -certs cert.pem -key key.pem -h sha256) >>"$E2E_WORK/setup.log" 2>&1 ||
        e2e_fail "cannot sign a copy: $(cat "$E2E_WORK/setup.log")"
    # Signing appends the table (SHA-1, and SHA-256 nested in it): the image
    # no longer ends the file.
    [ "$(stat -c %s "$signed")" -gt "$(stat -c %s "$E2E_WORK/once.exe")" ] || e2e_fail "the nested signature is missing"

    # cmd prints before the program starts: its cursor is not at the top left.
    e2e_start cmd /c "echo started&&Z:${signed//\//\\}"
    pick_e_and_confirm
    e2e_wait_exit
    e2e_expect_exit 0
    expect_screen started "${TITLE_LINES[@]}" "${DONE_LINES[@]}"
    e2e_stop
    # The image is what follows the program part, not the signed file's end.
    expect_record \
        "E: write code=0x00000000 offset=0 length=1474560 status=0x00000000 information=1474560" \
        "E: device-control code=0x00090020 offset=0 length=0 status=0x00000000 information=0"
    pc_expect_stick_written "$exe"
}

run=case_${case_name//-/_}
declare -F "$run" >/dev/null || e2e_fail "unknown case '$case_name'"
e2e_skip_unless_runnable "$exe"
e2e_begin "$exe"
case $case_name in
stick | cut-short-to-file | signed-from-cmd) e2e_locale en_US.UTF-8 ;;
write-protected) e2e_locale en_US.UTF-8 ru_RU.UTF-8 ;;
esac
pc_prefix "$(dirname "$exe")/stordrv.sys" E "$([ "$case_name" = write-protected ] && echo 2 || echo 0)"
"$run"
echo "PASS: $case_name"
