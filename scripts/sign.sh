#!/usr/bin/env bash
# Signs a packaged fwdisk.exe with Authenticode and checks that the signed
# file still carries the same diskette image right before its certificate
# table, which is where the program takes its image from.
#
#   scripts/sign.sh FWDISK_EXE SIGNED_EXE OSSLSIGNCODE_OPTIONS...
#   e.g. scripts/sign.sh build/win/fwdisk.exe fwdisk.exe -pkcs12 vendor.pfx -pass PASSWORD \
#            -h sha256 -ts http://timestamp.example
#
# The options go to `osslsigncode sign` as they are. Exit code 0 only when
# the signed file is written and carries the image unchanged.
set -euo pipefail
[ $# -ge 3 ] || { sed -n '2,11p' "$0" >&2; exit 2; }
in=$1 out=$2
shift 2
image_size=1474560
osslsigncode sign "$@" -in "$in" -out "$out" >/dev/null

# The certificate table's file offset and size: data directory 4 of the PE
# header, whose offset stands at byte 60.
u32() { od -An -tu4 -j "$1" -N 4 "$out" | tr -d ' '; }
header=$(u32 60)
table=$(u32 $((header + 152)))
length=$(u32 $((header + 156)))
if [ "$((table + length))" -ne "$(stat -c %s "$out")" ] || [ "$table" -lt "$image_size" ] ||
    ! cmp -s <(head -c "$table" "$out" | tail -c "$image_size") <(tail -c "$image_size" "$in"); then
    echo "sign.sh: $out does not carry the image of $in right before its certificate table" >&2
    exit 1
fi
echo "Signed $out: the image ends at byte $table, where the certificate table begins"
