#!/usr/bin/env bash
# The boot trial: does a diskette image boot, as a diskette and from a USB
# stick that fwdisk.exe has written? Boots it twice in QEMU (software
# emulation, no window), each for a bounded time, and reports what the BIOS
# did, what the image's boot code read and where, and the screen at the end.
usage() {
    cat <<EOF
usage: scripts/try-boot.sh [--out DIR] [--stick-file STICK] [--lenient] FWDISK.EXE|IMAGE

Boots the diskette image (a raw $size-byte IMAGE, or the one a packaged
FWDISK.EXE carries, signed or not) in QEMU twice:
  - as a diskette, the BIOS's drive A:;
  - as a 4 GB USB stick written as fwdisk.exe writes one: an MBR with boot
    code (syslinux's), one active partition at 1 MiB, the image over the
    partition's start. A diskette boot sector that reads its disk from LBA 0
    finds the stick's MBR there, not its own sectors.
For each it prints the BIOS's verdict, what the image's boot code read after
the hand-over and whether a read fell outside the image, COM1 and the screen
at the end, and saves the screen as DIR/diskette.png and DIR/stick.png.
With the default image (the one payload/make-image.sh makes) each boot must
also show "$BANNER" on COM1 and power the machine off.

  --out DIR           where the pictures go (default: ./try-boot)
  --stick-file STICK  boot STICK, a stick already written (the image at
                      1 MiB), instead of a fresh one; QEMU keeps its writes
                      in a temporary overlay
  --lenient           an image of your own is reported, not judged: exit 0
                      whatever its boots showed (the default image is judged)
  BOOT_TIMEOUT        seconds per boot at most (default 60 for the default
                      image, 30 for another)
  BOOT_QUIET          a boot ends this many seconds after its last read or
                      log line, once the BIOS has given its verdict (default
                      2; the default image's boots wait for the power-off)

Exits 0 when both boots handed over to the image and its boot code went on
to read the image, inside it only; 1 otherwise; 2 on a usage error.
EOF
}
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=testbed/stick.sh
source "$root/testbed/stick.sh"
readonly BANNER="FWDISK payload booted"
size=$("$root/scripts/lib/image-size.sh")

die() {
    echo "try-boot.sh: $*" >&2
    exit 1
}
usage_error() {
    echo "try-boot.sh: $*" >&2
    usage >&2
    exit 2
}

out=./try-boot stick_file='' lenient='' input=''
while [ $# -gt 0 ]; do
    case $1 in
    --out | --stick-file)
        { [ $# -ge 2 ] && [ -n "$2" ]; } || usage_error "$1 needs a value"
        if [ "$1" = --out ]; then out=$2; else stick_file=$2; fi
        shift 2 ;;
    --lenient) lenient=1; shift ;;
    -h | --help) usage; exit 0 ;;
    -*) usage_error "unknown option $1" ;;
    *)
        [ -z "$input" ] || usage_error "one FWDISK.EXE or IMAGE only"
        input=$1
        shift ;;
    esac
done
[ -n "$input" ] || usage_error "no FWDISK.EXE or IMAGE given"
{ [ -f "$input" ] && [ -r "$input" ]; } || usage_error "cannot read '$input'"
[ -z "$stick_file" ] || [ -r "$stick_file" ] || usage_error "cannot read the stick '$stick_file'"
for value in "${BOOT_TIMEOUT:-1}" "${BOOT_QUIET:-1}"; do
    [[ $value =~ ^[1-9][0-9]*$ ]] || usage_error "BOOT_TIMEOUT and BOOT_QUIET are whole seconds"
done
command -v qemu-system-i386 >/dev/null || die "qemu-system-i386 not found (scripts/lib/deps.sh installs it)"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/try-boot.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

image=$tmp/image.img
if [ "$(stat -c %s "$input")" -eq "$size" ]; then
    cp "$input" "$image"
    what="the image $input"
else
    # Taken by the program's own rule: before a signed copy's certificate
    # table; a copy cut short carries none.
    if ! "$root/scripts/inspect.sh" "$input" --image "$image" >"$tmp/inspect.txt"; then
        cat "$tmp/inspect.txt" >&2
        die "no image to boot in $input"
    fi
    what="the image $input carries"
fi
"$root/payload/make-image.sh" "$tmp/default.img" >/dev/null || die "cannot make the default image to compare with"
banner=()
if cmp -s "$image" "$tmp/default.img"; then
    default=1 limit=${BOOT_TIMEOUT:-60} banner=(--banner "$BANNER")
    echo "try-boot.sh: $what: the default one (payload/make-image.sh)"
else
    default='' limit=${BOOT_TIMEOUT:-30}
    echo "try-boot.sh: $what: an image of your own (not the default one of payload/make-image.sh)"
fi

if [ -n "$stick_file" ]; then
    stick=$stick_file
    cmp -s -n "$size" -i "$PC_STICK_START:0" "$stick" "$image" ||
        die "the stick $stick does not hold the image at its partition's start (byte $PC_STICK_START)"
    stick_is="the stick $stick"
else
    stick=$tmp/stick.img
    stick_make "$stick" "$tmp/stick.log" || die "cannot make the stick"
    dd if="$image" of="$stick" bs=64K seek="$PC_STICK_START" oflag=seek_bytes conv=notrunc status=none
    stick_is="a fresh 4 GB stick (sparse), the image written at byte $PC_STICK_START"
fi
mkdir -p "$out" || die "cannot make the folder $out"

failed=()
# boot KIND TITLE DISK START: one boot, its report, and its verdict in $failed.
boot() {
    local kind=$1 title=$2 disk=$3 start=$4 rc=0
    echo
    echo "== $title =="
    mkdir "$tmp/$kind"
    python3 "$root/scripts/lib/try-boot.py" --as "$kind" --start "$start" --size "$size" \
        --timeout "$limit" --quiet "${BOOT_QUIET:-2}" "${banner[@]}" \
        --png "$out/$kind.png" --work "$tmp/$kind" "$disk" || rc=$?
    case $rc in
    0) ;;
    1) failed+=("as a $kind") ;;
    *) die "the boot as $kind could not be run" ;;
    esac
}
boot diskette "as a diskette (the BIOS's drive A:)" "$image" 0
boot stick "as $stick_is, behind its MBR" "$stick" "$PC_STICK_START"

echo
echo "try-boot.sh: the screens: $out/diskette.png $out/stick.png"
if [ ${#failed[@]} -eq 0 ]; then
    echo "try-boot.sh: PASS: both boots handed over and read the image, inside it only${default:+, and showed the banner and powered off}"
    exit 0
fi
if [ ${#failed[@]} -eq 2 ]; then
    echo "try-boot.sh: FAIL: neither boot passed"
else
    echo "try-boot.sh: FAIL: the boot ${failed[0]} did not pass"
fi
if [ -n "$lenient" ] && [ -z "$default" ]; then
    echo "try-boot.sh: an image of your own, --lenient: reported, not judged"
    exit 0
fi
exit 1
