#!/usr/bin/env bash
# The checks below are texts that check() evaluates: single quotes on purpose.
# shellcheck disable=SC2016,SC2034
# scripts/inspect.sh and scripts/sign.sh on real copies of the packaged
# program: unsigned, signed (osslsigncode, a throwaway certificate), signed
# twice with a nested signature, cut short by a byte and by 4,096 bytes, and
# one whose image has a media byte no diskette has.
#   tests/packaged/inspect_cases.sh FWDISK_EXE IMAGE
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
exe=$(realpath "$1") image=$(realpath "$2")
work=$(mktemp -d "${TMPDIR:-/tmp}/inspect-cases.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
failed=0
check() {
    if eval "$2"; then echo "ok: $1"; else echo "FAILED: $1"; failed=1; fi
}

openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=test -keyout key.pem -out cert.pem 2>/dev/null
"$root/scripts/sign.sh" "$exe" once.exe -certs cert.pem -key key.pem -h sha1 >sign.txt
"$root/scripts/sign.sh" once.exe twice.exe -nest -certs cert.pem -key key.pem -h sha256 >>sign.txt
check "sign.sh prints the signed file's SHA-256" \
    'grep -qx "SHA-256 of the signed file: $(sha256sum <twice.exe | cut -d" " -f1)" sign.txt'
check "sign.sh refuses to overwrite, saying what to do" \
    '! "$root/scripts/sign.sh" once.exe twice.exe -certs cert.pem -key key.pem 2>err.txt && grep -q "remove it" err.txt'
head -c -1 "$exe" >cut1.exe
head -c -4096 "$exe" >cut4096.exe

# Each copy: the exit code, and the line that says how it is signed.
for row in "$exe 0 Signed:_____no" "once.exe 0 signature_1:_SHA1" "twice.exe 0 signature_2_(nested):_SHA256" \
    "cut1.exe 1 Image:______none" "cut4096.exe 1 Image:______none"; do
    read -r file want line <<<"$row"
    rm -f out.img
    rc=0
    "$root/scripts/inspect.sh" "$file" --image out.img >out.txt || rc=$?
    check "$(basename "$file"): exit $want" '[ "$rc" = "$want" ]'
    check "$(basename "$file"): says \"${line//_/ }\"" 'grep -qF -- "${line//_/ }" out.txt'
    if [ "$want" = 0 ]; then
        check "$(basename "$file"): the image written is the packaged one" 'cmp -s out.img "$image"'
        check "$(basename "$file"): its SHA-256 printed" 'grep -q "SHA-256 $(sha256sum <"$image" | cut -d" " -f1)" out.txt'
    else
        check "$(basename "$file"): no image written" '[ ! -e out.img ]'
    fi
done
# An image whose media byte is not a diskette's: the check names the file
# given, not a copy of the image.
cp "$exe" media.exe
program=$(($(stat -c %s "$exe") - $(stat -c %s "$image")))
printf '\x90' | dd of=media.exe bs=1 seek=$((program + 21)) conv=notrunc status=none
"$root/scripts/inspect.sh" media.exe >/dev/null 2>err.txt
at=$(sed ':a;s/\B[0-9]\{3\}\>/,&/;ta' <<<"$program")
check "a bad media byte: named in the file given" \
    'grep -qxF "inspect.sh: $work/media.exe (its image, at byte $at): the media byte is 0x90, a 1.44 MB diskette has 0xF0" err.txt'
rc=0
"$root/scripts/inspect.sh" 2>/dev/null || rc=$?
check "no file: a usage error" '[ "$rc" = 2 ]'
exit $failed
