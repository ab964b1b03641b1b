#!/usr/bin/env bash
# The checks below are texts that check() evaluates: single quotes on purpose.
# shellcheck disable=SC2016,SC2034
# scripts/inspect.sh and scripts/sign.sh on real copies of the packaged
# program: unsigned; signed (osslsigncode, the throwaway signer of
# testbed/signing.sh) with an Authenticode timestamp, then again with a
# nested signature and an RFC 3161 timestamp, both from its time-stamp
# authority; signed without a timestamp; cut short by a byte and by 4,096
# bytes; and two whose image the check refuses: a media byte no diskette
# has, and a boot sector of code with no parameter block.
#   tests/packaged/inspect_cases.sh FWDISK_EXE IMAGE
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
exe=$(realpath "$1") image=$(realpath "$2")
work=$(mktemp -d "${TMPDIR:-/tmp}/inspect-cases.XXXXXX")
# shellcheck source=testbed/signing.sh
source "$root/testbed/signing.sh"
trap 'signing_stop; rm -rf "$work"' EXIT
cd "$work"
failed=0
check() {
    if eval "$2"; then echo "ok: $1"; else echo "FAILED: $1"; failed=1; fi
}

signing_keys "$work"
signing_tsa_start "$work"
key=(-certs signer.crt -key signer.key)
"$root/scripts/sign.sh" "$exe" once.exe "${key[@]}" -h sha1 -t "$SIGNING_TSA_URL" >sign.txt
"$root/scripts/sign.sh" once.exe twice.exe -nest "${key[@]}" -h sha256 -ts "$SIGNING_TSA_URL" >>sign.txt
osslsigncode sign "${key[@]}" -h sha256 -in "$exe" -out plain.exe >/dev/null
check "sign.sh prints the signed file's SHA-256" \
    'grep -qx "SHA-256 of the signed file: $(sha256sum <twice.exe | cut -d" " -f1)" sign.txt'
check "sign.sh refuses to overwrite, saying what to do" \
    '! "$root/scripts/sign.sh" once.exe twice.exe "${key[@]}" 2>err.txt && grep -q "remove it" err.txt'
head -c -1 "$exe" >cut1.exe
head -c -4096 "$exe" >cut4096.exe

# Each copy: the exit code, and the lines that say how it is signed (each
# a whole line, its indent aside).
signer="signed by /CN=fwdisk test signer"
for row in "$exe|0|Signed:     no" \
    "once.exe|0|signature 1: SHA1, $signer, timestamp: Authenticode" \
    "twice.exe|0|signature 1: SHA1, $signer, timestamp: Authenticode|signature 2 (nested): SHA256, $signer, timestamp: RFC 3161" \
    "plain.exe|0|signature 1: SHA256, $signer, timestamp: none" \
    "cut1.exe|1|Image:      none: the file holds no whole image (a copy cut short?); the program" \
    "cut4096.exe|1|Image:      none: the file holds no whole image (a copy cut short?); the program"; do
    IFS='|' read -r -a fields <<<"$row"
    file=${fields[0]} want=${fields[1]}
    rm -f out.img
    rc=0
    "$root/scripts/inspect.sh" "$file" --image out.img >out.txt || rc=$?
    check "$(basename "$file"): exit $want" '[ "$rc" = "$want" ]'
    for line in "${fields[@]:2}"; do
        check "$(basename "$file"): says \"$line\"" 'sed "s/^ *//" out.txt | grep -qxF -- "$line"'
    done
    [ "$file" != twice.exe ] || check "twice.exe: two signatures" '[ "$(grep -c "^ *signature " out.txt)" = 2 ]'
    if [ "$want" = 0 ]; then
        check "$(basename "$file"): the image written is the packaged one" 'cmp -s out.img "$image"'
        check "$(basename "$file"): its SHA-256 printed" 'grep -q "SHA-256 $(sha256sum <"$image" | cut -d" " -f1)" out.txt'
    else
        check "$(basename "$file"): no image written" '[ ! -e out.img ]'
    fi
done
# Images the check refuses: the checks name the file given, not a copy of
# its image; a boot sector of code is said to be one, in one line.
program=$(($(stat -c %s "$exe") - $(stat -c %s "$image")))
at=$(sed ':a;s/\B[0-9]\{3\}\>/,&/;ta' <<<"$program")
cp "$exe" media.exe
printf '\x90' | dd of=media.exe bs=1 seek=$((program + 21)) conv=notrunc status=none
"$root/scripts/inspect.sh" media.exe >/dev/null 2>err.txt
check "a bad media byte: named in the file given" \
    'grep -qxF "inspect.sh: $work/media.exe (its image, at byte $at): the media byte is 0x90, a 1.44 MB diskette has 0xF0" err.txt'
cp "$exe" code.exe
{ printf '\xEB\x3C\x90'; head -c 507 /dev/zero | tr '\0' '\220'; } | dd of=code.exe seek="$program" oflag=seek_bytes conv=notrunc status=none
"$root/scripts/inspect.sh" code.exe >out.txt 2>err.txt
check "a boot sector of code: no parameter block, in one line" \
    '[ "$(cat err.txt)" = "inspect.sh: $work/code.exe (its image, at byte $at): the boot sector has no BIOS parameter block (no FAT volume has its bytes per sector, sectors per cluster, number of FATs or media byte)" ] &&
    grep -qxF "            OEM name: none (the boot sector has no BIOS parameter block)" out.txt'
rc=0
"$root/scripts/inspect.sh" 2>/dev/null || rc=$?
check "no file: a usage error" '[ "$rc" = 2 ]'
exit $failed
