#!/usr/bin/env bash
# The checks below are texts that check() evaluates: single quotes on purpose.
# shellcheck disable=SC2016,SC2034
# scripts/release.sh with the key on the SoftHSM2 token of
# tests/release/token_cases.sh and its certificate given as a file (--cert),
# the Authenticode timestamps from another address of the authority than
# the RFC 3161 ones (--timestamp-sha1). Beside token_cases.sh, so that the
# two releases are made at once.
set -euo pipefail
# shellcheck source=tests/release/setup.sh
source "$(dirname "$0")/setup.sh"
signing_token keys

rc=0
"$release" --image images/fw.img --pkcs11-module "$SIGNING_TOKEN_MODULE" --key "$SIGNING_TOKEN_URI" \
    --cert keys/token.crt --pass-file keys/pin.txt --ca keys/ca.crt --timestamp "$SIGNING_TSA_URL" \
    --timestamp-sha1 "${SIGNING_TSA_URL}sha1" cert >cert.out 2>&1 </dev/null || rc=$?
check "--cert: exit 0, signed with that certificate, both signatures verify" \
    '[ "$rc" = 0 ] && grep -qx "Certificate: keys/token.crt" cert/BUILDINFO.txt &&
     osslsigncode verify -in cert/fwdisk.exe -CAfile keys/ca.crt -TSA-CAfile keys/ca.crt 2>&1 | grep -qx "Number of verified signatures: 2" ||
     { cat cert.out; false; }'
check "--timestamp-sha1: the Authenticode timestamps from its address, the RFC 3161 ones from --timestamp's" \
    '[ "$(grep -c "^stamped authenticode /sha1$" keys/tsa.log)" = 2 ] && [ "$(grep -c "^stamped rfc3161 /$" keys/tsa.log)" = 2 ] &&
     [ "$(grep -c "^stamped " keys/tsa.log)" = 4 ]'

exit $failed
