#!/usr/bin/env bash
# The checks below are texts that check() evaluates: single quotes on purpose.
# shellcheck disable=SC2016,SC2034
# scripts/release.sh as a release engineer runs it with the key on a token:
# a SoftHSM2 token whose key pair was generated on it, its certificate issued
# by the test CA from a request the token signed (testbed/signing.sh), in a
# clean copy of this checkout (tests/release/setup.sh):
#   - a wrong PIN, through OpenSC's pkcs11-spy: one login, refused, and no
#     other; the token's refusals that stop before anything is built;
#   - a release with the certificate taken from the token, timestamped by
#     the local authority (Authenticode on SHA-1, RFC 3161 on SHA-256), its
#     SHA256SUMS signed with OpenPGP, checked in every way, while every
#     process's arguments and environment are watched for the PIN;
#   - a release with --cert, and the SHA-1 timestamp from another address.
set -euo pipefail
# shellcheck source=tests/release/setup.sh
source "$(dirname "$0")/setup.sh"
signing_token keys
signing_gpg_key keys

# First what stops before anything is built.
# A wrong PIN, through pkcs11-spy, which logs each call between the command
# and the token (the PIN with them: the log goes at once).
printf 'not-%s\n' "$(cat keys/pin.txt)" >keys/wrong-pin.txt
rc=0
PKCS11SPY=$SIGNING_TOKEN_MODULE PKCS11SPY_OUTPUT=$work/spy.log \
    "$release" --image images/fw.img --pkcs11-module "$(dpkg -L opensc-pkcs11 | grep '/pkcs11/pkcs11-spy.so$' | head -n 1)" \
    --key "$SIGNING_TOKEN_URI" --pass-file keys/wrong-pin.txt refused >refused.out 2>refused.err </dev/null || rc=$?
logins=$(grep -A12 ': C_Login$' spy.log | grep -c '^Returned: ' || true)
refused=$(grep -A12 ': C_Login$' spy.log | grep -c '^Returned: *160 CKR_PIN_INCORRECT' || true)
rm -f spy.log
check "a wrong PIN: exit 1, the PIN refused by the token named" \
    '[ "$rc" = 1 ] && grep -qF "the PIN was refused by token \"fwdisk test token\"" refused.err || { cat refused.out refused.err; false; }'
check "a wrong PIN: one login on the token, refused, and no other" '[ "$logins" = 1 ] && [ "$refused" = 1 ]'
check "a wrong PIN: nothing built, no folder" '! grep -q "^\[2/" refused.out && [ -z "$(ls -A | grep refused$)" ]'

# Refused before the token is asked.
token=(--image images/fw.img --pass-file keys/pin.txt)
refusals \
    "a PIN in the URI|2|carries the PIN (pin-value)||${token[*]} --pkcs11-module $SIGNING_TOKEN_MODULE --key $SIGNING_TOKEN_URI;pin-value=1234" \
    "a URI without a module|2|needs --pkcs11-module||${token[*]} --key $SIGNING_TOKEN_URI" \
    "the token with a certificate that is not its key's|1|keys/signer.crt does not match pkcs11:||${token[*]} --pkcs11-module $SIGNING_TOKEN_MODULE --key $SIGNING_TOKEN_URI --cert keys/signer.crt"

# The release with the certificate on the token.
watch_for keys/pin.txt
rc=0
"$release" --image images/fw.img --pkcs11-module "$SIGNING_TOKEN_MODULE" --key "$SIGNING_TOKEN_URI" \
    --pass-file keys/pin.txt --ca keys/ca.crt --timestamp "$SIGNING_TSA_URL" --gpg-key "$SIGNING_GPG_KEY" \
    good >good.out 2>&1 </dev/null || rc=$?
unseen=$(watch_end && echo yes || true)
check "a release: exit 0" '[ "$rc" = 0 ] || { cat good.out; false; }'
check "a release: the files, and no others" \
    '[ "$(ls -A good | paste -sd" ")" = "BUILDINFO.txt README.txt SHA256SUMS SHA256SUMS.asc boot-diskette.png boot-stick.png boot-trial.txt fwdisk.exe fwdisk64.exe" ]'
check "a release: sha256sum -c SHA256SUMS passes and names every other file" \
    '(cd good && sha256sum -c --quiet SHA256SUMS) &&
     [ "$(cut -d" " -f3 good/SHA256SUMS | paste -sd" ")" = "$(ls -A good | grep -vx "SHA256SUMS\(.asc\)\?" | paste -sd" ")" ]'
check "a release: gpg --verify checks SHA256SUMS.asc" 'gpg --verify good/SHA256SUMS.asc good/SHA256SUMS 2>/dev/null'
serial=$(openssl x509 -in keys/token.crt -noout -serial | cut -d= -f2)
for exe in fwdisk.exe fwdisk64.exe; do
    osslsigncode verify -in "good/$exe" -CAfile keys/ca.crt -TSA-CAfile keys/ca.crt >"$exe.verify" 2>&1 || true
    check "a release: $exe: SHA1, then SHA256 nested, both verify against the test CA" \
        'grep "^Message digest algorithm  *:" "$exe.verify" | awk "{ print \$NF }" | paste -sd" " | grep -qx "SHA1 SHA256" &&
         grep -qx "Number of verified signatures: 2" "$exe.verify"'
    check "a release: $exe: both signed with the token's certificate" \
        '[ "$(grep -A5 "^Signer.s certificate:" "$exe.verify" | sed -n "s/^[[:space:]]*Serial : //p" | sort -u)" = "$serial" ]'
    check "a release: $exe: an Authenticode timestamp on SHA1, RFC 3161 on SHA256, both verify against the test CA" \
        '[ "$(grep -c "^Timestamp Server Signature verification: ok" "$exe.verify")" = 2 ] &&
         tree/scripts/inspect.sh "good/$exe" >"$exe.inspect" &&
         grep -qx " *signature 1: SHA1, signed by /CN=fwdisk token signer, timestamp: Authenticode" "$exe.inspect" &&
         grep -qx " *signature 2 (nested): SHA256, signed by /CN=fwdisk token signer, timestamp: RFC 3161" "$exe.inspect"'
    rm -f out.img
    check "a release: $exe: inspect.sh gives the image byte for byte" \
        'tree/scripts/inspect.sh "good/$exe" --image out.img >/dev/null && cmp -s out.img images/fw.img'
done
check "a release: the authority stamped two signatures of each kind" \
    '[ "$(grep -c "^stamped authenticode" keys/tsa.log)" = 2 ] && [ "$(grep -c "^stamped rfc3161" keys/tsa.log)" = 2 ]'
check "a release: the steps and the record say which timestamp each signature carries" \
    'grep -qx "\[[0-9]*/11\] Signing fwdisk.exe: SHA-1 (Authenticode timestamp), then SHA-256 nested (RFC 3161 timestamp)" good.out &&
     grep -qx "Timestamps fwdisk64.exe: SHA1 Authenticode, SHA256 RFC 3161" good/BUILDINFO.txt &&
     grep -qx "Signatures: SHA-1 with an Authenticode timestamp from $SIGNING_TSA_URL, then SHA-256 nested with an RFC 3161 timestamp from $SIGNING_TSA_URL, by /CN=fwdisk token signer" good/BUILDINFO.txt'
check "a release: the record names the key's URI, the token and the module" \
    'grep -qxF "Signing key: $SIGNING_TOKEN_URI, on the token \"fwdisk test token\" (SoftHSM project SoftHSM v2, serial $(softhsm2-util --show-slots | sed -n "s/^ *Serial number: *//p" | head -n 1)), through $SIGNING_TOKEN_MODULE" good/BUILDINFO.txt'
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
check "a release: the PIN is nowhere: the folder, the output, any process's arguments or environment" \
    '! grep -rqaFf keys/pin.txt good good.out && [ "$unseen" = yes ]'

# The same token with --cert, and the Authenticode timestamps from another
# address of the authority: in the same tree, after the release above.
rc=0
"$release" --image images/fw.img --pkcs11-module "$SIGNING_TOKEN_MODULE" --key "$SIGNING_TOKEN_URI" \
    --cert keys/token.crt --pass-file keys/pin.txt --ca keys/ca.crt --timestamp "$SIGNING_TSA_URL" \
    --timestamp-sha1 "${SIGNING_TSA_URL}sha1" cert >cert.out 2>&1 </dev/null || rc=$?
check "--cert: exit 0, signed with that certificate, both signatures verify" \
    '[ "$rc" = 0 ] && grep -qx "Certificate: keys/token.crt" cert/BUILDINFO.txt &&
     osslsigncode verify -in cert/fwdisk.exe -CAfile keys/ca.crt -TSA-CAfile keys/ca.crt 2>&1 | grep -qx "Number of verified signatures: 2" ||
     { cat cert.out; false; }'
check "--timestamp-sha1: the Authenticode timestamps from its address, the RFC 3161 ones from --timestamp's" \
    '[ "$(grep -c "^stamped authenticode /sha1$" keys/tsa.log)" = 2 ] && [ "$(grep -c "^stamped rfc3161 /$" keys/tsa.log)" = 4 ]'

exit $failed
