#!/usr/bin/env bash
# package.sh PROGRAM IMAGE OUT: writes OUT as the linked program followed
# byte for byte by the diskette image, which must be exactly 1,474,560 bytes.
set -euo pipefail
program=$1 image=$2 out=$3
size=$(stat -c %s "$image")
if [ "$size" -ne 1474560 ]; then
    echo "fwdisk: the diskette image $image is $size bytes; it must be exactly 1474560 bytes (a 1.44 MB diskette)" >&2
    exit 1
fi
cat "$program" "$image" > "$out.tmp"
mv "$out.tmp" "$out"
