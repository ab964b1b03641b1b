#!/usr/bin/env bash
# The checks below are texts that check() evaluates: single quotes on purpose.
# shellcheck disable=SC2016,SC2034
# scripts/release.sh's refusals, and --unsigned then --check on files signed
# elsewhere, in a clean copy of this checkout (tests/release/setup.sh):
#   - each refusal of a key file, a tree, an image or a folder, before
#     anything slow: nothing left behind, an existing folder left as it was;
#   - --check on copies signed by hand: once only, in the wrong order, a
#     flipped image byte, a changed program part, a timestamp whose
#     authority --ca does not vouch for, a proof that fails on the stand-in
#     PC; and signed right, with a timestamp of each kind.
set -euo pipefail
# shellcheck source=tests/release/setup.sh
source "$(dirname "$0")/setup.sh"
printf 'not-%s\n' "$(cat keys/pass.txt)" >keys/wrong.txt
# A second authority, its CA not the test CA: --ca does not vouch for it.
tsa=$SIGNING_TSA_URL
mkdir stranger
signing_keys stranger
signing_tsa_start stranger
other_tsa=$SIGNING_TSA_URL

dirty() { echo "# changed" >>tree/README.md; }
existing() { mkdir refused && echo mine >refused/file; }
refusals \
    "a wrong password|1|signer.pfx: cannot be opened with the password given||--image images/fw.img --pkcs12 keys/signer.pfx --pass-file keys/wrong.txt" \
    "a certificate that is not the key's|1|signer.crt does not match keys/tsa.key||--image images/fw.img --cert keys/signer.crt --key keys/tsa.key" \
    "no password, no terminal|2|needs its password: --pass-file FILE||--image images/fw.img --pkcs12 keys/signer.pfx" \
    "an existing OUTDIR|2|refused exists; it was left as it is|existing|--unsigned --image images/fw.img" \
    "random bytes for an image|1|not a 1.44 MB FAT12 diskette image||--unsigned --image images/random.img" \
    "an image that does not boot|1|does not boot as a diskette in the boot trial||--unsigned --image images/plain.img" \
    "a dirty tree|1|README.md|dirty|--unsigned --image images/fw.img"

# Signed elsewhere: the unsigned folder, copies of it signed by hand.
"$release" --unsigned --allow-unbootable --image images/plain.img elsewhere >elsewhere.out 2>&1 </dev/null ||
    { cat elsewhere.out; echo "FAILED: --unsigned"; exit 1; }
# sign_by_hand FOLDER NAME DIGESTS...: in place, as signtool would, one
# signature for each of DIGESTS ("sha1" or "sha1:-t" for one timestamped
# by the authority with -t, say), each one after the first nested.
sign_by_hand() {
    local file=$1/$2 spec nest=() stamp
    shift 2
    for spec in "$@"; do
        stamp=()
        case $spec in
        *:-t) stamp=(-t "$tsa") ;;
        *:-ts) stamp=(-ts "$tsa") ;;
        *:other) stamp=(-ts "$other_tsa") ;;
        esac
        rm -f "$file.signed"
        osslsigncode sign "${nest[@]}" -certs keys/signer.crt -key keys/signer.key -h "${spec%%:*}" "${stamp[@]}" \
            -in "$file" -out "$file.signed" >/dev/null
        mv "$file.signed" "$file"
        nest=(-nest)
    done
}
for folder in once reversed flipped other untrusted; do
    cp -a elsewhere "$folder"
done
# A program part that is not the build's: one byte of fwdisk64.exe's code.
printf '\x90' | dd of=other/fwdisk64.exe bs=1 seek=1500 conv=notrunc status=none
for exe in fwdisk.exe fwdisk64.exe; do
    for folder in flipped other; do
        sign_by_hand "$folder" "$exe" sha1:-t sha256:-ts
    done
    sign_by_hand reversed "$exe" sha256 sha1
done
# Either kind of timestamp on either signature is taken.
sign_by_hand elsewhere fwdisk.exe sha1:-t sha256:-ts
sign_by_hand elsewhere fwdisk64.exe sha1:-ts sha256:-t
sign_by_hand once fwdisk.exe sha1 sha256
sign_by_hand once fwdisk64.exe sha1
sign_by_hand untrusted fwdisk.exe sha1:-t sha256:other
sign_by_hand untrusted fwdisk64.exe sha1:-t sha256:-ts
# One byte of fwdisk.exe's image, past its boot sector, changed after signing.
program=$(sed -n 's/^Program part fwdisk.exe: [0-9a-f]* //p' flipped/BUILDINFO.txt)
printf '\x5a' | dd of=flipped/fwdisk.exe bs=1 seek=$((program + 4096)) conv=notrunc status=none

# what | folder | exit | text on standard error | PROVE_FAULT (testbed/prove.sh)
checks=(
    "--check, fwdisk64.exe signed once only|once|1|fwdisk64.exe: signed once only|"
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
exit $failed
