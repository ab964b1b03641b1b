#!/usr/bin/env bash
# The checks below are texts that check() evaluates: single quotes on purpose.
# shellcheck disable=SC2016,SC2034
# scripts/release.sh's refusals, in a clean copy of this checkout
# (tests/release/setup.sh): each usage error, and each refusal of a key
# file, a tree, an image or a folder, before anything slow: nothing left
# behind, an existing folder left as it was.
set -euo pipefail
# shellcheck source=tests/release/setup.sh
source "$(dirname "$0")/setup.sh"
printf 'not-%s\n' "$(cat keys/pass.txt)" >keys/wrong.txt
# Usage errors: exit 2, before anything is made. what | text on standard
# error | the arguments, all of them
usage=(
    "an option without its value|--image needs a value|--unsigned u --image"
    "--unsigned with --check|--unsigned and --check do not go together|--unsigned --check u"
    "an unknown option|unknown option --fast|--unsigned --image images/fw.img --fast u"
    "two OUTDIRs|one OUTDIR only|--unsigned --image images/fw.img u v"
    "no OUTDIR|no OUTDIR given|--unsigned --image images/fw.img"
    "no image to sign|no --image given|--pkcs12 keys/signer.pfx u"
    "no image, unsigned|no --image given|--unsigned u"
    "--pkcs12 with --cert|--pkcs12, or --cert with --key: not both|--image images/fw.img --pkcs12 keys/signer.pfx --cert keys/signer.crt u"
    "--pkcs12 with a token key|--pkcs12, or a key on a token: not both|--image images/fw.img --pkcs12 keys/signer.pfx --pkcs11-module $SIGNING_TOKEN_MODULE --key pkcs11:token=t u"
    "--pkcs11-module with a key file|--pkcs11-module goes with a PKCS#11 URI|--image images/fw.img --cert keys/signer.crt --key keys/signer.key --pkcs11-module $SIGNING_TOKEN_MODULE u"
    "a certificate without its key|the signing key: --pkcs12|--image images/fw.img --cert keys/signer.crt u"
    "--timestamp-sha1 alone|--timestamp-sha1 goes with --timestamp|--image images/fw.img --pkcs12 keys/signer.pfx --timestamp-sha1 http://127.0.0.1/ u"
    "a timestamp that is no URL|a timestamp server is an http:// or https:// URL|--image images/fw.img --pkcs12 keys/signer.pfx --timestamp ftp://127.0.0.1/ u"
    "--unsigned with a key|--unsigned takes no signing key|--unsigned --image images/fw.img --pkcs12 keys/signer.pfx u"
    "--check with an image|--check takes the image and the build facts from OUTDIR's BUILDINFO.txt|--check --image images/fw.img u"
    "--check on a folder without a record|u: no BUILDINFO.txt|--check u"
    "OUTDIR where no folder is|no folder to write OUTDIR in|--unsigned --image images/fw.img nowhere/u"
    "an image that is not there|images/none.img: not a readable file|--unsigned --image images/none.img u"
)
for u in "${usage[@]}"; do
    IFS='|' read -r what text args <<<"$u"
    rc=0
    # shellcheck disable=SC2086 # the arguments are words
    "$release" $args >usage.out 2>usage.err </dev/null || rc=$?
    check "$what: exit 2, saying \"$text\", nothing made" \
        '[ "$rc" = 2 ] && grep -qF -- "$text" usage.err && [ -z "$(ls -A | grep -e "^\." -e "^[uv]$")" ] ||
         { cat usage.out usage.err; false; }'
done

# Key files that a release refuses: a PKCS#12 file without a certificate,
# an encrypted PEM key and a wrong password, a key given for a certificate.
openssl pkcs12 -export -nocerts -inkey keys/signer.key -passout file:keys/pass.txt -out keys/nocert.pfx
openssl pkey -in keys/signer.key -aes256 -passout file:keys/pass.txt -out keys/encrypted.key
# A checkout that has no commit.
mkdir bare
git -C tree ls-files -z | (cd tree && tar --null -T - -cf -) | tar -xf - -C bare
git -C bare init -q
dirty() { echo "# changed" >>tree/README.md; }
existing() { mkdir refused && echo mine >refused/file; }
refusals \
    "a wrong password|1|signer.pfx: cannot be opened with the password given||--image images/fw.img --pkcs12 keys/signer.pfx --pass-file keys/wrong.txt" \
    "a certificate that is not the key's|1|signer.crt does not match keys/tsa.key||--image images/fw.img --cert keys/signer.crt --key keys/tsa.key" \
    "no password, no terminal|2|needs its password: --pass-file FILE||--image images/fw.img --pkcs12 keys/signer.pfx" \
    "an existing OUTDIR|2|refused exists; it was left as it is|existing|--unsigned --image images/fw.img" \
    "random bytes for an image|1|not a 1.44 MB FAT12 diskette image; nothing was built (FWDISK_IMAGE_UNCHECKED=1 packages it all the same)||--unsigned --image images/random.img" \
    "an image that does not boot|1|does not boot as a diskette in the boot trial||--unsigned --image images/plain.img" \
    "a dirty tree|1|README.md|dirty|--unsigned --image images/fw.img" \
    "a PKCS#12 file without a certificate|1|nocert.pfx: holds no certificate||--image images/fw.img --pkcs12 keys/nocert.pfx --pass-file keys/pass.txt" \
    "an encrypted key, a wrong password|1|encrypted.key: cannot be read as a private key with the password given||--image images/fw.img --cert keys/signer.crt --key keys/encrypted.key --pass-file keys/wrong.txt" \
    "a key for a certificate|1|keys/signer.key: is no certificate||--image images/fw.img --cert keys/signer.key --key keys/signer.key"
rc=0
bare/scripts/release.sh --unsigned --image images/fw.img refused >refused.out 2>refused.err </dev/null || rc=$?
check "a checkout without a commit: exit 1, saying so" \
    '[ "$rc" = 1 ] && grep -qF "no git commit to release from" refused.err && [ ! -e refused ] || { cat refused.out refused.err; false; }'

exit $failed
