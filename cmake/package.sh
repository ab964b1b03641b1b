#!/usr/bin/env bash
# package.sh PROGRAM IMAGE OUT FROM UNCHECKED: writes OUT as the linked
# program followed byte for byte by the diskette image, once
# scripts/image-info.sh has said what the image is and found it to be a
# 1.44 MB FAT12 diskette. FROM is FWDISK_IMAGE (the engineer's image) or
# payload (the default one); UNCHECKED 1 packages an image of the engineer's
# whose boot sector is not a 1.44 MB diskette's, never one of the wrong size.
# On any failure OUT is gone: no earlier build is left to be signed.
set -euo pipefail
program=$1 image=$2 out=$3 from=$4 unchecked=$5
rm -f "$out" "$out.tmp"
here=$(dirname "$0")

if [ "$from" = payload ]; then
    echo "Packaging the default image, built from payload/ (FWDISK_IMAGE is not set):"
else
    echo "Packaging FWDISK_IMAGE:"
fi
status=0
"$here/../scripts/image-info.sh" --as "$from" "$image" || status=$?
if [ "$status" -eq 1 ] && [ "$from" = FWDISK_IMAGE ]; then
    if [ "$unchecked" != 1 ]; then
        echo "FWDISK_IMAGE: $image: not packaged; FWDISK_IMAGE_UNCHECKED=1 packages it all the same" >&2
        exit 1
    fi
    echo "Unchecked: packaged as FWDISK_IMAGE_UNCHECKED=1 asks, although not a 1.44 MB FAT12 diskette"
elif [ "$status" -ne 0 ]; then
    exit 1
fi

cat "$program" "$image" > "$out.tmp"
mv "$out.tmp" "$out"
# Where the program part is, for packaging on Windows with
# copy /b fwdisk-program.exe + firmware.img fwdisk.exe
sha() { sha256sum < "$1" | cut -d' ' -f1; }
echo "Program:  $(realpath "$program"), $(stat -c %s "$program") bytes, SHA-256 $(sha "$program")"
echo "Packaged: $(realpath "$out"), $(stat -c %s "$out") bytes (the program, then the image), SHA-256 $(sha "$out")"
