#!/usr/bin/env bash
# Signs a packaged fwdisk.exe with Authenticode and checks that the signed
# file still carries the same diskette image right before its certificate
# table, which is where the program takes its image from.
#
#   scripts/sign.sh FWDISK_EXE SIGNED_EXE OSSLSIGNCODE_OPTIONS...
#   e.g. with the key on a token, through OpenSSL's PKCS#11 engine and the
#   token's PKCS#11 library (-askpass asks for the PIN):
#        scripts/sign.sh build/win/fwdisk.exe fwdisk.exe \
#            -pkcs11engine /usr/lib/x86_64-linux-gnu/engines-3/pkcs11.so \
#            -pkcs11module /usr/lib/x86_64-linux-gnu/opensc-pkcs11.so \
#            -key 'pkcs11:token=Vendor;object=codesign' -certs vendor.pem -askpass \
#            -h sha256 -ts http://timestamp.example
#
# The options go to `osslsigncode sign` as they are. To sign twice (SHA-1,
# then a nested SHA-256 signature), sign the signed file again with -nest.
# Both files are read by the program's own rule (scripts/inspect.sh). Exit
# code 0 only when the signed file is written and carries the image
# unchanged; a signed file that fails the check is removed.
set -euo pipefail
[ $# -ge 3 ] || { sed -n '2,19p' "$0" >&2; exit 2; }
root=$(cd "$(dirname "$0")/.." && pwd)
in=$1 out=$2
shift 2
if [ -e "$out" ]; then
    echo "sign.sh: $out exists; remove it, or name another file for the signed copy" >&2
    exit 2
fi
tmp=$(mktemp -d "${TMPDIR:-/tmp}/sign.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

if ! "$root/scripts/inspect.sh" "$in" --image "$tmp/before.img" >"$tmp/before.txt"; then
    cat "$tmp/before.txt" >&2
    echo "sign.sh: $in carries no image the program would write; nothing was signed" >&2
    exit 1
fi
# Its own words, and the prompt of -askpass, on standard error.
osslsigncode sign "$@" -in "$in" -out "$out" >&2

if ! "$root/scripts/inspect.sh" "$out" --image "$tmp/after.img" >"$tmp/after.txt" ||
    ! grep -q '^Signed: *yes' "$tmp/after.txt" || ! cmp -s "$tmp/before.img" "$tmp/after.img"; then
    cat "$tmp/after.txt" >&2
    rm -f "$out"
    echo "sign.sh: $out did not carry the image of $in right before its certificate table; removed it" >&2
    exit 1
fi
end=$(( $(sed -n 's/^Program: *\([0-9,]*\) bytes.*/\1/p' "$tmp/after.txt" | tr -d ,) + $("$root/scripts/lib/image-size.sh") ))
echo "Signed $out: the image ends at byte $end, where the certificate table begins"
echo "SHA-256 of the signed file: $(sha256sum <"$out" | cut -d' ' -f1)"
