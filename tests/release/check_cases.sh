#!/usr/bin/env bash
# The checks below are texts that check() evaluates: single quotes on purpose.
# shellcheck disable=SC2016,SC2034
# scripts/release.sh --unsigned, then --check on copies of its folder signed
# elsewhere, in a clean copy of this checkout (tests/release/setup.sh): not
# at all, once only, in the wrong order, by a signer --ca does not vouch
# for, cut short, a flipped image byte, a changed program part, a timestamp
# whose authority --ca does not vouch for, a record without its sums, a
# program missing, a proof that fails on the stand-in PC; and signed right,
# with a timestamp of each kind. (Its refusals: refusal_cases.sh.)
set -euo pipefail
# shellcheck source=tests/release/setup.sh
source "$(dirname "$0")/setup.sh"
# A second authority, its CA not the test CA: --ca does not vouch for it.
tsa=$SIGNING_TSA_URL
mkdir otherca
signing_keys otherca
signing_tsa_start otherca
other_tsa=$SIGNING_TSA_URL

# Signed elsewhere: the unsigned folder, copies of it signed by hand. Its
# image has no BIOS parameter block (the boot sector is a jump and code, as
# some boot loaders' diskettes are): released as FWDISK_IMAGE_UNCHECKED=1
# and --allow-unbootable ask.
cp images/plain.img images/nobpb.img
{ printf '\xeb\x3c\x90'; head -c 59 /dev/zero | tr '\0' '\220'; } | dd of=images/nobpb.img conv=notrunc status=none
FWDISK_IMAGE_UNCHECKED=1 "$release" --unsigned --allow-unbootable --image images/nobpb.img elsewhere >elsewhere.out 2>&1 </dev/null ||
    { cat elsewhere.out; echo "FAILED: --unsigned"; exit 1; }
# sign_by_hand FOLDER NAME DIGESTS...: in place, as signtool would, one
# signature for each of DIGESTS ("sha1" or "sha1:-t" for one timestamped
# by the authority with -t, say), each one after the first nested.
sign_by_hand() {
    local file=$1/$2 how nest=() stamp signer=${signer:-keys/signer}
    shift 2
    for how in "$@"; do
        stamp=()
        case $how in
        *:-t) stamp=(-t "$tsa") ;;
        *:-ts) stamp=(-ts "$tsa") ;;
        *:other) stamp=(-ts "$other_tsa") ;;
        esac
        rm -f "$file.signed"
        osslsigncode sign "${nest[@]}" -certs "$signer.crt" -key "$signer.key" -h "${how%%:*}" "${stamp[@]}" \
            -in "$file" -out "$file.signed" >/dev/null
        mv "$file.signed" "$file"
        nest=(-nest)
    done
}
for folder in unsigned once reversed stranger cut flipped other untrusted nosums missing noimage; do
    cp -a elsewhere "$folder"
done
# A program part that is not the build's: one byte of fwdisk64.exe's code.
printf '\x90' | dd of=other/fwdisk64.exe bs=1 seek=1500 conv=notrunc status=none
# Each folder's files are checked in turn, fwdisk.exe first: only what the
# check reaches is signed. (nosums, missing and noimage are refused for their
# records before any signature is read.)
for folder in cut flipped other once; do
    sign_by_hand "$folder" fwdisk.exe sha1 sha256
done
sign_by_hand other fwdisk64.exe sha1 sha256
sign_by_hand once fwdisk64.exe sha1
sign_by_hand reversed fwdisk.exe sha256 sha1
signer=otherca/signer sign_by_hand stranger fwdisk.exe sha1 sha256
sign_by_hand untrusted fwdisk.exe sha1:-t sha256:other
# Either kind of timestamp on either signature is taken.
sign_by_hand elsewhere fwdisk.exe sha1:-t sha256:-ts
sign_by_hand elsewhere fwdisk64.exe sha1:-ts sha256:-t
# Cut short: too short to hold an image at all.
head -c 1000000 cut/fwdisk64.exe >cut/fwdisk64.exe.short && mv cut/fwdisk64.exe.short cut/fwdisk64.exe
sed -i '/^Unsigned fwdisk64.exe: /d' nosums/BUILDINFO.txt
rm missing/fwdisk64.exe
sed -i '/^Image SHA-256: /d' noimage/BUILDINFO.txt
# One byte of fwdisk.exe's image, past its boot sector, changed after signing.
program=$(sed -n 's/^Program part fwdisk.exe: [0-9a-f]* //p' flipped/BUILDINFO.txt)
printf '\x5a' | dd of=flipped/fwdisk.exe bs=1 seek=$((program + 4096)) conv=notrunc status=none

# what | folder | exit | text on standard error | PROVE_FAULT (testbed/prove.sh)
checks=(
    "--check, not signed|unsigned|1|fwdisk.exe: not signed|"
    "--check, fwdisk64.exe signed once only|once|1|fwdisk64.exe: signed once only|"
    "--check, a signer --ca does not vouch for|stranger|1|fwdisk.exe: a signature does not verify|"
    "--check, fwdisk64.exe cut short|cut|1|fwdisk64.exe: carries no image the program would write|"
    "--check, a record without a sum|nosums|1|BUILDINFO.txt: no SHA-256 of the unsigned fwdisk64.exe|"
    "--check, fwdisk64.exe missing|missing|1|missing/fwdisk64.exe: missing|"
    "--check, a record without the image's sum|noimage|1|BUILDINFO.txt: no image SHA-256|"
    "--check, SHA-256 first, then SHA-1|reversed|1|fwdisk.exe: its signatures are SHA256 SHA1, not SHA1 then a nested SHA256|"
    "--check, a byte of fwdisk.exe's image flipped after signing|flipped|1|fwdisk.exe: its image differs from the release's|"
    "--check, fwdisk64.exe's program part changed before signing|other|1|fwdisk64.exe: its program part, signing's header fields undone, is not the unsigned build's|"
    "--check, a timestamp from an authority --ca does not vouch for|untrusted|1|fwdisk.exe: 1 of its 2 timestamps verify (signature 1: ok, signature 2: failed)|"
    "--check, the stand-in PC's stick write-protected|elsewhere|1|: the proof failed|2"
    "--check, both signed twice and timestamped|elsewhere|0||"
)
for c in "${checks[@]}"; do
    IFS='|' read -r what folder want text fault <<<"$c"
    before=$(find "$folder" -type f -exec sha256sum {} +)
    rc=0
    PROVE_FAULT=$fault "$release" --check --ca keys/ca.crt "$folder" >check.out 2>check.err </dev/null || rc=$?
    check "$what: exit $want${text:+, saying \"$text\"}" \
        '[ "$rc" = "$want" ] && { [ -z "$text" ] || grep -qF -- "$text" check.err; } || { cat check.out check.err; false; }'
    if [ "$want" != 0 ]; then
        check "$what: the folder as it was" '[ "$before" = "$(find "$folder" -type f -exec sha256sum {} +)" ]'
    fi
done
check "--check: SHA256SUMS passes, the note and the record written" \
    '(cd elsewhere && sha256sum -c --quiet SHA256SUMS) && [ -f elsewhere/README.txt ] &&
     grep -qx "Mode: signed elsewhere, checked by scripts/release.sh --check" elsewhere/BUILDINFO.txt'
check "--check: the output and the record say which timestamp each signature carries" \
    'grep -q "fwdisk64.exe: signed twice (SHA1, then SHA256 nested), by /CN=fwdisk test signer; timestamps: SHA1 RFC 3161, SHA256 Authenticode;" check.out &&
     grep -qx "Timestamps fwdisk.exe: SHA1 Authenticode, SHA256 RFC 3161" elsewhere/BUILDINFO.txt'
check "--check: the note and the record say the image did not boot" \
    'grep -q "did NOT boot" elsewhere/README.txt && grep -q "^Unbootable: " elsewhere/BUILDINFO.txt'
check "--check: the record and the note say the image has no BIOS parameter block, what failed once" \
    'grep -qx "Image check: not passed, packaged as FWDISK_IMAGE_UNCHECKED=1 asks: the boot sector has no BIOS parameter block ([^;]*)" elsewhere/BUILDINFO.txt &&
     grep -qx "Image OEM name: none (the boot sector has no BIOS parameter block)" elsewhere/BUILDINFO.txt &&
     grep -q "^  OEM name:  none (the boot sector has no BIOS parameter block)" elsewhere/README.txt'
exit $failed
