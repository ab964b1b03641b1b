#!/bin/bash
# Build the default 1.44 MB boot diskette image that the writer appends to
# its own .exe.
#
#   payload/make-image.sh OUT
#
# The image is a FAT12 3.5" HD diskette (2880 sectors of 512 bytes, 80
# cylinders, 2 heads, 18 sectors per track, media byte 0xF0) made bootable
# with syslinux. On boot it prints "FWDISK payload booted" on the screen and
# on COM1 and then powers the machine off (see files/SYSLINUX.CFG).
#
# Needs: mkfs.fat (dosfstools), mcopy/mattrib (mtools), syslinux and the
# BIOS modules from syslinux-common. No root, no loop mounts.
#
# The output is byte-identical from build to build: the volume id and all
# timestamps are fixed. Timestamps come from SOURCE_DATE_EPOCH if it is set,
# otherwise from a fixed date below.
set -euo pipefail

readonly VOLUME_LABEL="FWDISK"
readonly VOLUME_ID="4657444b"
readonly DEFAULT_EPOCH=1704067200 # 2024-01-01 00:00:00 UTC
readonly SYSLINUX_BIOS_DIR="${SYSLINUX_BIOS_DIR:-/usr/lib/syslinux/modules/bios}"

die() {
    echo "make-image.sh: error: $*" >&2
    exit 1
}

if [ $# -ne 1 ] || [ -z "$1" ]; then
    echo "usage: $0 OUT" >&2
    exit 2
fi
out=$1
out_dir=$(dirname -- "$out")
[ -d "$out_dir" ] || die "output directory $out_dir does not exist"
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
files_dir="$here/files"
# The size the program carries, in bytes (IMAGE_SIZE in src/programfile.h).
IMAGE_BYTES=$("$here/../scripts/lib/image-size.sh") || die "no image size"
readonly IMAGE_BYTES

# --- tools ------------------------------------------------------------------
need_tool() { # need_tool COMMAND PACKAGE
    command -v "$1" >/dev/null 2>&1 ||
        [ -x "/usr/sbin/$1" ] || [ -x "/sbin/$1" ] ||
        die "'$1' not found; install the Debian package '$2'"
}
need_tool mkfs.fat dosfstools
need_tool mcopy mtools
need_tool mattrib mtools
need_tool syslinux syslinux
# mkfs.fat lives in /usr/sbin, which is not on every user's PATH.
PATH="$PATH:/usr/sbin:/sbin"

# Modules the boot configuration runs. Neither needs libcom32.c32 or
# libutil.c32: everything they import is exported by LDLINUX.SYS itself.
readonly MODULES="cat.c32 poweroff.c32"
for mod in $MODULES; do
    [ -f "$SYSLINUX_BIOS_DIR/$mod" ] ||
        die "$SYSLINUX_BIOS_DIR/$mod not found; install the Debian package 'syslinux-common'"
done
readonly PAYLOAD_FILES="SYSLINUX.CFG BANNER.TXT README.TXT"
for f in $PAYLOAD_FILES; do
    [ -f "$files_dir/$f" ] || die "missing payload file $files_dir/$f"
done

# --- reproducibility --------------------------------------------------------
# mtools stamps files it creates from a pipe (syslinux writes LDLINUX.SYS
# that way) with SOURCE_DATE_EPOCH when it is set, and FAT times are local
# time, so pin both the epoch and the time zone.
export SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-$DEFAULT_EPOCH}"
[[ $SOURCE_DATE_EPOCH =~ ^[0-9]+$ ]] || die "SOURCE_DATE_EPOCH must be a number of seconds"
export TZ=UTC
export LC_ALL=C
# Keep the user's ~/.mtoolsrc and /etc/mtools.conf drive letters out of it.
export MTOOLSRC=/dev/null
export MTOOLS_SKIP_CHECK=1

tmp=$(mktemp -d "${TMPDIR:-/tmp}/make-image.XXXXXX")
out_tmp=
cleanup() {
    rm -rf "$tmp"
    [ -z "$out_tmp" ] || rm -f "$out_tmp"
}
trap cleanup EXIT

img="$tmp/fwdisk.img"

# --- file system ------------------------------------------------------------
# IMAGE_BYTES in 1 KiB blocks (1440); 1 reserved sector (boot sector first),
# 2 FATs, 224 root entries, 1 sector per cluster: the classic 1.44 MB layout
# (-a: no cluster alignment padding, so data starts at sector 33 as on any
# DOS disk).
# --invariant pins the remaining time-based values in mkfs.fat; -i gives our
# own fixed volume id instead of its default.
mkfs.fat -C --invariant \
    -F 12 -S 512 -s 1 -R 1 -f 2 -r 224 \
    -M 0xF0 -g 2/18 -h 0 -D 0x00 -a \
    -i "$VOLUME_ID" -n "$VOLUME_LABEL" \
    "$img" $((IMAGE_BYTES / 1024)) >/dev/null ||
    die "mkfs.fat failed"

# --- boot loader ------------------------------------------------------------
# Without --directory this installs LDLINUX.SYS and LDLINUX.C32 in the root
# directory and writes the boot sector code. It works on the image file
# through mtools, no mounting.
syslinux --install "$img" || die "syslinux --install failed"

# --- payload files ----------------------------------------------------------
# Copy with -m (keep the source mtime) from copies stamped with the fixed
# time, so the directory entries do not depend on when the checkout was made.
stage="$tmp/stage"
mkdir "$stage"
for f in $PAYLOAD_FILES; do
    cp "$files_dir/$f" "$stage/$f"
done
for mod in $MODULES; do
    cp "$SYSLINUX_BIOS_DIR/$mod" "$stage/${mod^^}"
done
touch -d "@$SOURCE_DATE_EPOCH" "$stage"/*

boot_files=(SYSLINUX.CFG BANNER.TXT)
for mod in $MODULES; do boot_files+=("${mod^^}"); done

# Fixed order: directory entries and cluster allocation follow it.
for f in "${boot_files[@]}"; do
    mcopy -i "$img" -m -o "$stage/$f" "::/$f" || die "mcopy of $f failed"
done
# README.TXT is for people reading the diskette under DOS/Windows: CR/LF.
mcopy -i "$img" -m -o -t "$stage/README.TXT" ::/README.TXT ||
    die "mcopy of README.TXT failed"
for f in "${boot_files[@]}"; do
    mattrib -i "$img" +r "::/$f" || die "mattrib on $f failed"
done

# --- result -----------------------------------------------------------------
size=$(stat -c %s "$img")
[ "$size" -eq "$IMAGE_BYTES" ] ||
    die "image is $size bytes, expected $IMAGE_BYTES"

# Write next to OUT first so a failed build never leaves a half-written OUT.
out_tmp="$out.tmp.$$"
cp "$img" "$out_tmp"
mv -f "$out_tmp" "$out"
out_tmp=

size=$(stat -c %s "$out")
[ "$size" -eq "$IMAGE_BYTES" ] ||
    die "$out is $size bytes, expected $IMAGE_BYTES"
echo "make-image.sh: wrote $out ($size bytes)"
