#!/usr/bin/env bash
# Signs a packaged fwdisk.exe with Authenticode and checks that the signed
# file still carries the same diskette image right before its certificate
# table, which is where the program takes its image from.
#
#   scripts/sign.sh FWDISK_EXE SIGNED_EXE OSSLSIGNCODE_OPTIONS...
#   e.g. scripts/sign.sh build/win/fwdisk.exe fwdisk.exe -pkcs12 vendor.pfx -pass PASSWORD \
#            -h sha256 -ts http://timestamp.example
#
# The options go to `osslsigncode sign` as they are. To sign twice (SHA-1,
# then a nested SHA-256 signature), sign the signed file again with -nest:
# the check takes the image of a signed input from before its table too.
# Exit code 0 only when the signed file is written and carries the image
# unchanged.
set -euo pipefail
[ $# -ge 3 ] || { sed -n '2,14p' "$0" >&2; exit 2; }
in=$1 out=$2
shift 2
image_size=1474560
osslsigncode sign "$@" -in "$in" -out "$out" >/dev/null

# The 32-bit number at byte offset $2 of file $1.
u32() { od -An -tu4 -j "$2" -N 4 "$1" | tr -d ' '; }

# Where the image ends in file $1: where its certificate table begins, when
# data directory 4 of the PE header (whose offset stands at byte 60) names a
# table that ends the file; otherwise the end of the file.
image_end() {
    local header table length size
    header=$(u32 "$1" 60)
    table=$(u32 "$1" $((header + 152)))
    length=$(u32 "$1" $((header + 156)))
    size=$(stat -c %s "$1")
    if [ "$length" -ne 0 ] && [ "$((table + length))" -eq "$size" ]; then
        echo "$table"
    else
        echo "$size"
    fi
}

# The image file $1 carries, on standard output.
image() { head -c "$(image_end "$1")" "$1" | tail -c "$image_size"; }

end=$(image_end "$out")
if [ "$end" -eq "$(stat -c %s "$out")" ] || [ "$end" -lt "$image_size" ] ||
    ! cmp -s <(image "$out") <(image "$in"); then
    echo "sign.sh: $out does not carry the image of $in right before its certificate table" >&2
    exit 1
fi
echo "Signed $out: the image ends at byte $end, where the certificate table begins"
