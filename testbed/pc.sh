# shellcheck shell=bash
# Used by scripts/demo.sh and the end-to-end tests, after testbed/console.sh:
# a PC of drives under Wine. The stand-in storage driver stordrv.sys
# (testbed/stordrv.c) serves each drive's raw volume from a file in the work
# dir and records every request it receives in $PC_LOG.
#
#   pc_prefix DRIVER [LETTER FAULT]   a fresh Wine prefix with the PC's drives,
#                                     DRIVER registered and started; FAULT (a
#                                     stordrv fault number) given to LETTER
#   pc_drives                         the drives, one line each
#   pc_expect_stick_holds FILE [AT]   E:'s volume starts with the image at
#                                     byte AT of FILE, all else as it was
#   pc_expect_stick_written EXE       the same for an unsigned EXE's image
#   pc_expect_stick_unchanged         every byte of the stick as it was
#
# The stick E: (its layout, PC_STICK_START and PC_STICK_VOLUME, and how its
# file is made) is testbed/stick.sh's.
# shellcheck source=testbed/stick.sh
source "$(dirname "${BASH_SOURCE[0]}")/stick.sh"

# The PC's drives (the letter, what it is, its backing file in the work dir):
PC_DRIVES=(
    'A: 1.44 MB diskette                                       diskette.img'
    'E: 4 GB USB stick: MBR with boot code, one active FAT32   stick.img'
    '   partition at 1 MiB, which is the volume E:'
    'F: 1 MB memory card, too small for the image              card.img'
    'G: 500 GB USB hard disk, which Windows counts as fixed    usb-hdd.img'
    'H: card reader without a card                             (none)'
)
# What stordrv serves, one drive a row: LETTER CYLINDERS TRACKS SECTORS BYTES
# MEDIA REMOVABLE START FAULT FILE. pc_prefix gives each row a registry key of
# its own, Drives\N for the Nth row, holding its fields as the typed values
# the driver reads (the rules at the top of testbed/stordrv.c): Letter and
# File (the NT path of the work dir's file) as strings, the rest as dwords,
# START in two (Start, its low 32 bits, and StartHigh). MEDIA is Windows'
# MEDIA_TYPE: 2 a 1.44 MB diskette, 11 removable media, 12 a fixed disk.
# Faults: 1 no medium, 2 write-protected, 3 short write. The driver alone
# checks them: when it refuses a drive, pc_prefix stops with the driver's
# own words, which name the drive.
#
# The stick E: is served by one device as both the disk and its volume, so
# its row is the partition's: its geometry gives the partition's size and
# START the partition's first byte. The MBR's partition entry
# (_pc_make_stick, from PC_STICK_START and PC_STICK_VOLUME) must agree with
# both, or the drive the program lists and writes is not the partition the
# BIOS boots.
_PC_TABLE=(
    'A 80 2 18 512 2 1 0 0 diskette.img'
    'E 486 255 63 512 11 1 1048576 0 stick.img'
    'F 16 4 32 512 11 1 0 0 card.img'
    'G 60801 255 63 512 12 0 0 0 usb-hdd.img'
    'H 0 0 0 512 11 1 0 1 card-reader.img'
)
PC_STICK=
PC_LOG=

# Prints the PC's drives, one line each, for a reader.
pc_drives() { printf '  %s\n' "${PC_DRIVES[@]}"; }

# Writes the stick $PC_STICK (testbed/stick.sh) and keeps a sparse copy as
# stick.before.
_pc_make_stick() {
    stick_make "$PC_STICK" "$E2E_WORK/setup.log" || e2e_fail "cannot make the stick"
    cp --sparse=always "$PC_STICK" "$E2E_WORK/stick.before"
}

# The NT path of a file of the work dir, for the driver: \??\Z:\... .
_pc_nt_path() { printf '\\??\\Z:%s' "${1//\//\\}"; }

# A string as a registry file writes it: backslashes doubled.
_pc_reg() { printf '%s' "${1//\\/\\\\}"; }

# The line that opens the key NAME (below HKEY_LOCAL_MACHINE) in the
# prefix's registry file, system.reg, after a blank line; its values follow.
_pc_key() { printf '\n[%s] %(%s)T\n' "$(_pc_reg "$1")" -1; }

# Makes a fresh Wine prefix (e2e_prefix) whose drives are the PC's: their
# backing files in the work dir, the stick as _pc_make_stick writes it, the
# diskette numbered 16-byte lines, the rest empty. Registers the driver file
# DRIVER as the service stordrv with a key of typed values for each drive,
# gives each letter the drive type Windows would (removable or fixed), and
# starts the driver in a persistent wineserver. With LETTER FAULT, that drive
# has that fault. When the driver does not start, stops with why
# (_pc_not_started).
pc_prefix() {
    local driver=$1 fault_letter=${2:-} fault=${3:-} line letter removable i
    [ -r "$driver" ] || e2e_fail "no driver at $driver (scripts/build.sh builds it)"
    e2e_prefix
    PC_STICK=$E2E_WORK/stick.img
    PC_LOG=$E2E_WORK/driver.log
    seq -f '%015.0f' 0 16 $((E2E_IMAGE_SIZE - 16)) >"$E2E_WORK/diskette.img"
    _pc_make_stick
    # The other drives' files: empty, as large as their geometry says.
    local cylinders tracks sectors bytes media start drive_fault file
    for line in "${_PC_TABLE[@]}"; do
        read -r _ cylinders tracks sectors bytes _ _ start _ file <<<"$line"
        [ -e "$E2E_WORK/$file" ] ||
            truncate -s $((start + cylinders * tracks * sectors * bytes)) "$E2E_WORK/$file"
    done
    cp "$driver" "$WINEPREFIX/drive_c/windows/system32/drivers/stordrv.sys"
    # The keys go straight into the prefix's registry file, which the server
    # reads when it starts (the drive types too), before any Wine process.
    {
        _pc_key 'System\CurrentControlSet\Services\stordrv'
        echo '"Type"=dword:00000001'
        echo '"Start"=dword:00000003'
        echo '"ErrorControl"=dword:00000001'
        printf '%s\n' '"ImagePath"="C:\\windows\\system32\\drivers\\stordrv.sys"'
        echo "\"Log\"=\"$(_pc_reg "$(_pc_nt_path "$PC_LOG")")\""
        # Each drive's key is named by its row's place in the table, not by
        # its letter, so that a letter given twice reaches the driver rather
        # than one key taking the other's values.
        for i in "${!_PC_TABLE[@]}"; do
            read -r letter cylinders tracks sectors bytes media removable start drive_fault file \
                <<<"${_PC_TABLE[i]}"
            [ "$letter" = "$fault_letter" ] && drive_fault=$fault
            _pc_key "System\\CurrentControlSet\\Services\\stordrv\\Drives\\$((i + 1))"
            echo "\"Letter\"=\"$letter\""
            printf '"%s"=dword:%08x\n' Cylinders "$cylinders" TracksPerCylinder "$tracks" \
                SectorsPerTrack "$sectors" BytesPerSector "$bytes" MediaType "$media" \
                Removable "$removable" Start $((start & 0xffffffff)) StartHigh $((start >> 32)) \
                Fault "$drive_fault"
            echo "\"File\"=\"$(_pc_reg "$(_pc_nt_path "$E2E_WORK/$file")")\""
        done
        # What GetDriveType answers: Wine asks its registry, not the driver.
        _pc_key 'Software\Wine\Drives'
        for line in "${_PC_TABLE[@]}"; do
            read -r letter _ _ _ _ _ removable _ <<<"$line"
            echo "\"${letter,,}:\"=\"$([ "$removable" = 1 ] && echo floppy || echo hd)\""
        done
    } >>"$WINEPREFIX/system.reg"
    for line in "${_PC_TABLE[@]}"; do
        letter=${line%% *}
        letter=${letter,,}
        mkdir -p "$E2E_WORK/root-$letter"
        rm -f "$WINEPREFIX/dosdevices/$letter:" "$WINEPREFIX/dosdevices/$letter::"
        ln -s "$E2E_WORK/root-$letter" "$WINEPREFIX/dosdevices/$letter:"
    done
    # The driver runs in a server that stays up for the program to reach it.
    _e2e_wine_quiet wineserver -p
    # The driver makes its record last, once it serves every drive.
    if ! timeout "$E2E_TIMEOUT" "$E2E_WINE" net start stordrv >>"$E2E_WORK/setup.log" 2>&1 ||
        [ ! -f "$PC_LOG" ]; then
        _pc_not_started
    fi
}

# Stops with why the driver did not start: its own words in the Refused value
# of its service key (testbed/stordrv.c) when it refused its drive table,
# else Wine's setup output. reg writes to a file, not a pipe: the wineserver
# it reaches would hold a pipe open.
_pc_not_started() {
    local answer=$E2E_WORK/refused.txt why
    timeout "$E2E_TIMEOUT" "$E2E_WINE" reg query 'HKLM\System\CurrentControlSet\Services\stordrv' \
        /v Refused >"$answer" 2>>"$E2E_WORK/setup.log" || true
    why=$(sed -n 's/^ *Refused *REG_SZ *//p' "$answer" | tr -d '\r')
    [ -z "$why" ] || e2e_fail "bad drive table: $why"
    cat "$E2E_WORK/setup.log" >&2
    e2e_fail "the driver did not start"
}

# Checks that the bytes of the stick and of stick.before are the same outside
# [FROM, TO): Python seeks past the holes both files share, so the 4 GB are
# not read.
_pc_same_outside() {
    python3 - "$PC_STICK" "$E2E_WORK/stick.before" "$1" "$2" <<'EOF' || e2e_fail "the stick changed outside [$1, $2)"
import os, sys
new, old, skip_from, skip_to = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])

def data(path):
    # The [start, end) ranges of the file that hold data.
    ranges, pos, fd = [], 0, os.open(path, os.O_RDONLY)
    size = os.fstat(fd).st_size
    while pos < size:
        try:
            start = os.lseek(fd, pos, os.SEEK_DATA)
        except OSError:
            break
        pos = os.lseek(fd, start, os.SEEK_HOLE)
        ranges.append((start, pos))
    os.close(fd)
    return size, ranges

size, ranges = data(new)
old_size, old_ranges = data(old)
if size != old_size:
    sys.exit(f"size {size}, was {old_size}")
with open(new, "rb") as a, open(old, "rb") as b:
    for start, end in ranges + old_ranges:
        for lo, hi in ((start, min(end, skip_from)), (max(start, skip_to), end)):
            for at in range(lo, hi, 1 << 20):
                n = min(hi, at + (1 << 20)) - at
                a.seek(at)
                b.seek(at)
                if a.read(n) != b.read(n):
                    sys.exit(f"differs in [{at}, {at + n})")
EOF
}

# Checks that E:'s volume on the stick starts with the image that FILE holds
# at byte AT (0 by default) and that every other byte of the stick is as it
# was.
pc_expect_stick_holds() {
    local file=$1 at=${2:-0}
    cmp -n "$E2E_IMAGE_SIZE" -i "$PC_STICK_START:$at" "$PC_STICK" "$file" ||
        e2e_fail "E: does not start with the image at byte $at of $file"
    _pc_same_outside "$PC_STICK_START" $((PC_STICK_START + E2E_IMAGE_SIZE))
}

# The same for the image an unsigned EXE carries: its last bytes.
pc_expect_stick_written() { pc_expect_stick_holds "$1" $(($(stat -c %s "$1") - E2E_IMAGE_SIZE)); }

# Checks that every byte of the stick is as it was.
pc_expect_stick_unchanged() { _pc_same_outside 0 0; }
