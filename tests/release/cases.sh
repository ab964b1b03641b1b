#!/usr/bin/env bash
# The checks below are texts that check() evaluates: single quotes on purpose.
# shellcheck disable=SC2016,SC2034
# scripts/release.sh, run as a release engineer runs it, in a clean copy of
# this checkout committed as a repository of its own, with a throwaway CA,
# signer, OpenPGP key and time-stamp authority on 127.0.0.1
# (testbed/signing.sh), on a firmware image made here that is not the
# default one:
#   - a release signed with the PKCS#12 key, timestamped, its SHA256SUMS
#     signed with OpenPGP, while every process's arguments are watched for
#     the password;
#   - each refusal: nothing left behind, an existing folder left as it was;
#   - --unsigned, then --check on files signed elsewhere: once only, a
#     flipped image byte, a changed program part, and right.
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=testbed/signing.sh
source "$src/testbed/signing.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/fwdisk-release-cases.XXXXXX")
watcher=
cleanup() {
    [ -z "$watcher" ] || kill "$watcher" 2>/dev/null || true
    signing_stop
    rm -rf "$work"
}
trap cleanup EXIT
cd "$work"
failed=0
check() {
    if eval "$2"; then echo "ok: $1"; else echo "FAILED: $1"; failed=1; fi
}
sha() { sha256sum <"$1" | cut -d' ' -f1; }

mkdir keys images
signing_keys keys
signing_tsa_start keys
signing_gpg_key keys
signing_checkout tree
release=tree/scripts/release.sh
IFS= read -r password <keys/pass.txt
printf 'not-%s\n' "$password" >keys/wrong.txt

# The firmware: the default image with a file of its own and another label,
# so it boots, but is not the default one; a diskette whose boot code boots
# nothing; random bytes.
PATH=$PATH:/usr/sbin:/sbin
tree/payload/make-image.sh images/fw.img >/dev/null
echo "firmware 2.07 release notes" >images/NOTES.TXT
MTOOLS_SKIP_CHECK=1 mcopy -i images/fw.img images/NOTES.TXT ::NOTES.TXT
MTOOLS_SKIP_CHECK=1 mlabel -i images/fw.img ::FW207
mkfs.fat -C -F 12 -n PLAIN images/plain.img 1440 >/dev/null
head -c "$(stat -c %s images/fw.img)" /dev/urandom >images/random.img

# A good release; meanwhile every process's arguments are read, 50 times a
# second, for the password (the pattern from a file: the watcher's own
# arguments must not hold it).
printf '%s\n' "$password" >keys/pattern
while :; do
    cat /proc/[0-9]*/cmdline 2>/dev/null | tr '\0' '\n' | grep -qFf keys/pattern && touch keys/seen
    sleep 0.02
done &
watcher=$!
rc=0
"$release" --image images/fw.img --pkcs12 keys/signer.pfx --pass-file keys/pass.txt --ca keys/ca.crt \
    --timestamp "$SIGNING_TSA_URL" --gpg-key "$SIGNING_GPG_KEY" good >good.out 2>&1 </dev/null || rc=$?
kill "$watcher"
watcher=
check "a release: exit 0" '[ "$rc" = 0 ] || { cat good.out; false; }'
check "a release: the files, and no others" \
    '[ "$(ls -A good | paste -sd" ")" = "BUILDINFO.txt README.txt SHA256SUMS SHA256SUMS.asc boot-diskette.png boot-stick.png boot-trial.txt fwdisk.exe fwdisk64.exe" ]'
check "a release: sha256sum -c SHA256SUMS passes and names every other file" \
    '(cd good && sha256sum -c --quiet SHA256SUMS) &&
     [ "$(cut -d" " -f3 good/SHA256SUMS | paste -sd" ")" = "$(ls -A good | grep -vx "SHA256SUMS\(.asc\)\?" | paste -sd" ")" ]'
check "a release: gpg --verify checks SHA256SUMS.asc" 'gpg --verify good/SHA256SUMS.asc good/SHA256SUMS 2>/dev/null'
for exe in fwdisk.exe fwdisk64.exe; do
    osslsigncode verify -in "good/$exe" -CAfile keys/ca.crt -TSA-CAfile keys/ca.crt >"$exe.verify" 2>&1 || true
    check "a release: $exe: SHA1, then SHA256 nested, both verify against the test CA" \
        '[ "$(grep -c "^Message digest algorithm  *:" "$exe.verify")" = 2 ] &&
         grep "^Message digest algorithm  *:" "$exe.verify" | awk "{ print \$NF }" | paste -sd" " | grep -qx "SHA1 SHA256" &&
         grep -qx "Number of verified signatures: 2" "$exe.verify"'
    check "a release: $exe: both signatures carry the test authority's timestamp" \
        '[ "$(grep -c "^Timestamp Server Signature verification: ok" "$exe.verify")" = 2 ] &&
         grep -q "Subject: /CN=fwdisk test TSA" "$exe.verify"'
    rm -f out.img
    check "a release: $exe: inspect.sh gives the image byte for byte" \
        'tree/scripts/inspect.sh "good/$exe" --image out.img >/dev/null && cmp -s out.img images/fw.img'
done
check "a release: the authority stamped four signatures" '[ "$(grep -c ^stamped keys/tsa.log)" = 4 ]'
check "a release: README.txt has CRLF line ends, every one" \
    '[ "$(grep -c $'"'"'\r$'"'"' good/README.txt)" = "$(wc -l <good/README.txt)" ] && [ "$(tail -c 2 good/README.txt | od -An -tx1 | tr -d " ")" = 0d0a ]'
check "a release: README.txt names both signed files' SHA-256 and the image's" \
    'grep -q "fwdisk.exe  *SHA-256 $(sha good/fwdisk.exe)" good/README.txt &&
     grep -q "fwdisk64.exe  *SHA-256 $(sha good/fwdisk64.exe)" good/README.txt && grep -q "$(sha images/fw.img)" good/README.txt'
check "a release: BUILDINFO.txt names the commit and the unsigned builds as the fresh build makes them" \
    'grep -qx "Commit: $(git -C tree rev-parse HEAD)" good/BUILDINFO.txt &&
     grep -qx "Unsigned fwdisk.exe: $(sha tree/build/win/fwdisk.exe) [0-9]*" good/BUILDINFO.txt &&
     grep -qx "Program part fwdisk64.exe: $(sha tree/build/win64/fwdisk64-program.exe) [0-9]*" good/BUILDINFO.txt'
# shellcheck source=testbed/wine.sh
source "$src/testbed/wine.sh"
for exe in fwdisk.exe fwdisk64.exe; do
    if why=$(wine_cannot_run "good/$exe"); then
        proof="left out: $why"
    else
        proof="ran: $exe under $(wine_is_32bit "good/$exe" && echo 32 || echo 64)-bit Wine wrote exactly the image in one write, then dismounted, and exited 0"
    fi
    check "a release: $exe: the record says its proof $(cut -d: -f1 <<<"$proof")" \
        'grep -qxF "Proof $exe: $proof" good/BUILDINFO.txt && grep -qxF "      $exe: $proof" good.out'
done
check "a release: the steps are numbered 1 to 11, in order" \
    '[ "$(sed -n "s/^\[\([0-9]*\)\/11\] .*/\1/p" good.out | paste -sd" ")" = "1 2 3 4 5 6 7 8 9 10 11" ]'
check "a release: the password is nowhere in the folder, the output or any process's arguments" \
    '! grep -rqaF -- "$password" good good.out && [ ! -e keys/seen ]'

# Refusals. what | exit | text on standard error | setup | arguments (OUTDIR
# last: refused)
dirty() { echo "# changed" >>tree/README.md; }
existing() { mkdir refused && echo mine >refused/file; }
cases=(
    "a wrong password|1|signer.pfx: cannot be opened with the password given||--image images/fw.img --pkcs12 keys/signer.pfx --pass-file keys/wrong.txt"
    "a certificate that is not the key's|1|signer.crt does not match keys/tsa.key||--image images/fw.img --cert keys/signer.crt --key keys/tsa.key"
    "no password, no terminal|2|needs its password: --pass-file FILE||--image images/fw.img --pkcs12 keys/signer.pfx"
    "an existing OUTDIR|2|refused exists; it was left as it is|existing|--unsigned --image images/fw.img"
    "random bytes for an image|1|not a 1.44 MB FAT12 diskette image||--unsigned --image images/random.img"
    "an image that does not boot|1|does not boot as a diskette in the boot trial||--unsigned --image images/plain.img"
    "a dirty tree|1|README.md|dirty|--unsigned --image images/fw.img"
)
for c in "${cases[@]}"; do
    IFS='|' read -r what want text setup args <<<"$c"
    rm -rf refused
    [ -z "$setup" ] || "$setup"
    before=$(find refused -type f -exec sha256sum {} + 2>/dev/null || true)
    rc=0
    # shellcheck disable=SC2086 # the arguments are words
    "$release" $args refused >refused.out 2>refused.err </dev/null || rc=$?
    git -C tree checkout -q -- .
    check "$what: exit $want, saying \"$text\"" '[ "$rc" = "$want" ] && grep -qF -- "$text" refused.err || { cat refused.out refused.err; false; }'
    check "$what: nothing left behind" \
        '[ "$before" = "$(find refused -type f -exec sha256sum {} + 2>/dev/null || true)" ] && [ -z "$(ls -A | grep "^\.refused")" ]'
done

# Signed elsewhere: the unsigned folder, three copies of it signed by hand.
"$release" --unsigned --allow-unbootable --image images/plain.img elsewhere >elsewhere.out 2>&1 </dev/null ||
    { cat elsewhere.out; echo "FAILED: --unsigned"; exit 1; }
# sign_by_hand FOLDER NAME [once]: as signtool would, in place, twice (SHA-1,
# then SHA-256 nested) or once.
sign_by_hand() {
    local file=$1/$2
    rm -f "$file.1"
    osslsigncode sign -certs keys/signer.crt -key keys/signer.key -h sha1 -in "$file" -out "$file.1" >/dev/null
    if [ "${3:-}" = once ]; then
        mv "$file.1" "$file"
    else
        rm "$file"
        osslsigncode sign -nest -certs keys/signer.crt -key keys/signer.key -h sha256 -in "$file.1" -out "$file" >/dev/null
        rm "$file.1"
    fi
}
cp -a elsewhere once
cp -a elsewhere flipped
cp -a elsewhere other
# A program part that is not the build's: one byte of fwdisk64.exe's code.
printf '\x90' | dd of=other/fwdisk64.exe bs=1 seek=1500 conv=notrunc status=none
for exe in fwdisk.exe fwdisk64.exe; do
    sign_by_hand elsewhere "$exe"
    sign_by_hand flipped "$exe"
    sign_by_hand other "$exe"
done
sign_by_hand once fwdisk.exe
sign_by_hand once fwdisk64.exe once
# One byte of fwdisk.exe's image, past its boot sector, changed after signing.
program=$(sed -n 's/^Program part fwdisk.exe: [0-9a-f]* //p' flipped/BUILDINFO.txt)
printf '\x5a' | dd of=flipped/fwdisk.exe bs=1 seek=$((program + 4096)) conv=notrunc status=none

# what | folder | exit | text on standard error
checks=(
    "--check, fwdisk64.exe signed once only|once|1|fwdisk64.exe: signed once only"
    "--check, a byte of fwdisk.exe's image flipped after signing|flipped|1|fwdisk.exe: its image differs from the release's"
    "--check, fwdisk64.exe's program part changed before signing|other|1|fwdisk64.exe: its program part, signing's header fields undone, is not the unsigned build's"
    "--check, both signed twice|elsewhere|0|"
)
for c in "${checks[@]}"; do
    IFS='|' read -r what folder want text <<<"$c"
    before=$(find "$folder" -type f -exec sha256sum {} +)
    rc=0
    "$release" --check --ca keys/ca.crt "$folder" >check.out 2>check.err </dev/null || rc=$?
    check "$what: exit $want${text:+, saying \"$text\"}" \
        '[ "$rc" = "$want" ] && { [ -z "$text" ] || grep -qF -- "$text" check.err; } || { cat check.out check.err; false; }'
    if [ "$want" != 0 ]; then
        check "$what: the folder as it was" '[ "$before" = "$(find "$folder" -type f -exec sha256sum {} +)" ]'
    fi
done
check "--check: SHA256SUMS passes, the note and the record written" \
    '(cd elsewhere && sha256sum -c --quiet SHA256SUMS) && [ -f elsewhere/README.txt ] &&
     grep -qx "Mode: signed elsewhere, checked by scripts/release.sh --check" elsewhere/BUILDINFO.txt'
check "--check: the note and the record say the image did not boot" \
    'grep -q "did NOT boot" elsewhere/README.txt && grep -q "^Unbootable: " elsewhere/BUILDINFO.txt'
exit $failed
