#!/bin/bash
# The boot trial, scripts/try-boot.sh, on three images.
#   tests/boot/cases.sh CASE FWDISK_EXE
#   default       FWDISK_EXE's linked program packaged with the default image
#                 (payload/make-image.sh): both boots pass, the banner on COM1
#                 each time, exit 0, both screens saved as PNG pictures
#   not-bootable  a plain mkfs.fat diskette: its boot code shows its
#                 not-bootable text and reads nothing more, exit 1
#   absolute-lba  boot code that reads CHS 0/0/2 of its boot drive: its own
#                 second sector on a diskette, but the stick's LBA 1, in front
#                 of the partition: exit 1, a read outside the image
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
[ $# -eq 2 ] || { echo "usage: $0 CASE FWDISK_EXE" >&2; exit 2; }
case_name=$1 exe=$2
size=$("$root/scripts/lib/image-size.sh")
# shellcheck source=testbed/stick.sh
source "$root/testbed/stick.sh"
PATH=$PATH:/usr/sbin:/sbin

work=$(mktemp -d "${TMPDIR:-/tmp}/boot-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Runs the trial on FILE; its output in $work/out.txt, its exit code in $rc.
trial() {
    rc=0
    "$root/scripts/try-boot.sh" --out "$work/pictures" "$1" >"$work/out.txt" 2>&1 || rc=$?
    cat "$work/out.txt"
}
expect_exit() { [ "$rc" -eq "$1" ] || fail "try-boot.sh exited $rc, not $1"; }
# The output must hold the line TEXT (fixed) COUNT times.
expect_lines() {
    local count=$1 text=$2 seen
    seen=$(grep -cF -- "$text" "$work/out.txt" || true)
    [ "$seen" -eq "$count" ] || fail "\"$text\" $seen times in the output, not $count"
}

case_default() {
    "$root/payload/make-image.sh" "$work/default.img" >/dev/null
    head -c $(($(stat -c %s "$exe") - size)) "$exe" >"$work/program.exe"
    "$root/scripts/lib/package.sh" "$work/default.img" payload 0 "$work/program.exe" "$work/fwdisk.exe" >/dev/null
    trial "$work/fwdisk.exe"
    expect_exit 0
    expect_lines 1 'carries: the default one'
    expect_lines 2 'COM1:    FWDISK payload booted'
    expect_lines 2 'end:     the guest powered off'
    local picture
    for picture in diskette stick; do
        file "$work/pictures/$picture.png" | grep -qF 'PNG image data, 720 x 400' ||
            fail "$picture.png is not a 720x400 PNG: $(file "$work/pictures/$picture.png")"
    done
}

case_not_bootable() {
    mkfs.fat -C -F 12 -n VENDORFW "$work/fw.img" 1440 >/dev/null
    trial "$work/fw.img"
    expect_exit 1
    expect_lines 2 '| This is not a bootable disk.'
    expect_lines 2 'the boot code read nothing after the hand-over'
}

case_absolute_lba() {
    # Reads one sector, CHS 0/0/2, of the drive the BIOS booted (DL), then
    # says so and halts.
    cat >"$work/boot.s" <<'EOF'
.code16
    xor %ax, %ax
    mov %ax, %es
    mov $0x8000, %bx
    mov $0x0201, %ax
    mov $0x0002, %cx
    xor %dh, %dh
    int $0x13
    call 1f
1:  pop %si
    add $(text - 1b), %si
    mov $0x0e, %ah
2:  lodsb %cs:(%si)
    test %al, %al
    jz 3f
    int $0x10
    jmp 2b
3:  hlt
    jmp 3b
text: .asciz "Read CHS 0/0/2 of the boot drive."
EOF
    as --32 -o "$work/boot.o" "$work/boot.s"
    objcopy -O binary -j .text "$work/boot.o" "$work/boot.bin"
    # Over the boot code area of mkfs.fat's boot sector, whose jump leads
    # there: the BPB before it and 55 AA after it stay.
    mkfs.fat -C -F 12 -n VENDORFW "$work/fw.img" 1440 >/dev/null
    [ "$(stat -c %s "$work/boot.bin")" -le 448 ] || fail "the boot code does not fit"
    dd if="$work/boot.bin" of="$work/fw.img" bs=1 seek=62 conv=notrunc status=none
    trial "$work/fw.img"
    expect_exit 1
    expect_lines 2 '| Read CHS 0/0/2 of the boot drive.'
    # As a diskette the read is the image's second sector: that boot passes.
    expect_lines 1 "inside:  every read fell inside the image [0, $size)"
    expect_lines 1 "outside: 1 of its reads fell outside the image [$PC_STICK_START, $((PC_STICK_START + size))): the first, 512 bytes at byte 512 of the disk"
}

run=case_${case_name//-/_}
declare -F "$run" >/dev/null || fail "unknown case '$case_name'"
"$run"
echo "PASS: $case_name"
