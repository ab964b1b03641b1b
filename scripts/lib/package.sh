#!/usr/bin/env bash
# package.sh IMAGE FROM UNCHECKED PROGRAM OUT [PROGRAM OUT]...: writes each
# OUT as its linked PROGRAM followed byte for byte by the diskette image,
# once scripts/image-info.sh has said what the image is and found it to be a
# 1.44 MB FAT12 diskette: one check for every program packaged. FROM is
# FWDISK_IMAGE (the engineer's image) or payload (the default one);
# UNCHECKED 1 packages an image of the engineer's whose boot sector is not a
# 1.44 MB diskette's, never one of the wrong size. On any failure no OUT is
# left: no earlier build is left to be signed.
set -euo pipefail
[ $# -ge 5 ] && [ $(($# % 2)) -eq 1 ] || { sed -n '2,9p' "$0" >&2; exit 2; }
image=$1 from=$2 unchecked=$3
shift 3
outs=()
for ((i = 2; i <= $#; i += 2)); do outs+=("${!i}" "${!i}.tmp"); done
rm -f "${outs[@]}"
trap 'rm -f "${outs[@]}"' ERR
here=$(dirname "$0")

if [ "$from" = payload ]; then
    echo "Packaging the default image, built from payload/ (FWDISK_IMAGE is not set):"
else
    echo "Packaging FWDISK_IMAGE:"
fi
status=0
"$here/../image-info.sh" --as "$from" "$image" || status=$?
if [ "$status" -eq 1 ] && [ "$from" = FWDISK_IMAGE ]; then
    if [ "$unchecked" != 1 ]; then
        echo "FWDISK_IMAGE: $image: not packaged; FWDISK_IMAGE_UNCHECKED=1 packages it all the same" >&2
        exit 1
    fi
    echo "Unchecked: packaged as FWDISK_IMAGE_UNCHECKED=1 asks, although not a 1.44 MB FAT12 diskette"
elif [ "$status" -ne 0 ]; then
    exit 1
fi

# Where each program part is, for packaging on Windows with
# copy /b fwdisk-program.exe + firmware.img fwdisk.exe
sha() { sha256sum < "$1" | cut -d' ' -f1; }
while [ $# -gt 0 ]; do
    program=$1 out=$2
    shift 2
    cat "$program" "$image" > "$out.tmp"
    mv "$out.tmp" "$out"
    echo "Program:  $(realpath "$program"), $(stat -c %s "$program") bytes, SHA-256 $(sha "$program")"
    echo "Packaged: $(realpath "$out"), $(stat -c %s "$out") bytes (the program, then the image), SHA-256 $(sha "$out")"
done
