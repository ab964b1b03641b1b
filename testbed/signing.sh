# shellcheck shell=bash
# What the release's tests and its benchmark share: a throwaway signing
# setup that needs no network, and a checkout to release from.
#
#   signing_keys DIR         in DIR: a test CA (ca.crt), a code-signing
#                            certificate it issued with its key, as PKCS#12
#                            (signer.pfx, its password the first line of
#                            pass.txt, a fresh random one) and as PEM
#                            (signer.crt, signer.key, unencrypted), and a
#                            time-stamp authority's certificate and key
#   signing_token DIR        after signing_keys: a SoftHSM2 token of its own
#                            (its configuration in DIR, exported as
#                            SOFTHSM2_CONF), "fwdisk test token", with a key
#                            pair generated on it and a certificate the test
#                            CA issued from a request the token signed
#                            (token.crt), stored on the token too; its PIN
#                            the first line of DIR/pin.txt (random). The
#                            module in SIGNING_TOKEN_MODULE, the key's URI in
#                            SIGNING_TOKEN_URI
#   signing_tsa_start DIR    starts the time-stamp authority (testbed/tsa.py,
#                            RFC 3161 and Authenticode) on 127.0.0.1; its URL
#                            in SIGNING_TSA_URL (not to be called in $(...),
#                            which would wait for it)
#                            (one for each DIR of signing_keys)
#   signing_stop             stops the authorities, and the OpenPGP agent of
#                            signing_gpg_key's key
#   signing_gpg_key DIR      a throwaway OpenPGP key in DIR/gnupg, exported as
#                            GNUPGHOME; its fingerprint in SIGNING_GPG_KEY
#   signing_checkout DIR     a copy of this checkout in DIR, its files (those
#                            git tracks, and new ones it does not ignore) as
#                            they are now, committed as a repository of its
#                            own: a clean tree to release from
#
# Each function prints what went wrong and returns 1 when a step fails.
_signing_here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
_signing_tsa_pids=()
SIGNING_TSA_URL=''
SIGNING_GPG_KEY=''
SIGNING_TOKEN_MODULE=/usr/lib/softhsm/libsofthsm2.so
SIGNING_TOKEN_URI='pkcs11:token=fwdisk%20test%20token;object=codesign'

# _signing_cert DIR NAME CN EXTENSIONS: NAME.key and NAME.crt, issued by the CA.
_signing_cert() {
    local dir=$1 name=$2 cn=$3
    printf '%b' "$4" >"$dir/$name.ext"
    openssl req -newkey rsa:2048 -nodes -subj "/CN=$cn" -keyout "$dir/$name.key" -out "$dir/$name.csr" &&
        openssl x509 -req -in "$dir/$name.csr" -CA "$dir/ca.crt" -CAkey "$dir/ca.key" -CAcreateserial \
            -days 2 -extfile "$dir/$name.ext" -out "$dir/$name.crt"
}

signing_keys() {
    local dir=$1
    {
        openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=fwdisk test CA" \
            -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
            -keyout "$dir/ca.key" -out "$dir/ca.crt" &&
            _signing_cert "$dir" signer "fwdisk test signer" \
                'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' &&
            _signing_cert "$dir" tsa "fwdisk test TSA" \
                'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=critical,timeStamping\n' &&
            openssl rand -hex 12 | sed 's/^/pw-/' >"$dir/pass.txt" &&
            openssl pkcs12 -export -in "$dir/signer.crt" -inkey "$dir/signer.key" -certfile "$dir/ca.crt" \
                -passout "file:$dir/pass.txt" -out "$dir/signer.pfx"
    } >"$dir/keys.log" 2>&1 || { cat "$dir/keys.log" >&2; return 1; }
    cat >"$dir/tsa.cnf" <<'EOF'
[ tsa ]
default_tsa = tsa_config
[ tsa_config ]
serial = ./tsa.serial
crypto_device = builtin
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha1, sha256, sha384, sha512
accuracy = secs:1
ordering = no
tsa_name = no
ess_cert_id_chain = no
ess_cert_id_alg = sha256
EOF
    echo 01 >"$dir/tsa.serial"
}

signing_token() {
    local dir=$1
    export SOFTHSM2_CONF=$dir/softhsm2.conf
    mkdir -p "$dir/tokens"
    printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$dir/tokens" >"$SOFTHSM2_CONF"
    # The engine that openssl req signs the request through, on the token.
    cat >"$dir/engine.cnf" <<EOF
openssl_conf = init
[ init ]
engines = engines
[ engines ]
pkcs11 = pkcs11
[ pkcs11 ]
engine_id = pkcs11
dynamic_path = $(openssl version -e | sed -n 's/^ENGINESDIR: "\(.*\)"$/\1/p')/pkcs11.so
MODULE_PATH = $SIGNING_TOKEN_MODULE
init = 0
EOF
    {
        openssl rand -hex 8 >"$dir/pin.txt" &&
            openssl rand -hex 8 >"$dir/so-pin.txt" &&
            /usr/bin/python3 "$_signing_here/softhsm.py" init "$SIGNING_TOKEN_MODULE" "fwdisk test token" \
                "$dir/pin.txt" "$dir/so-pin.txt" &&
            OPENSSL_CONF=$dir/engine.cnf openssl req -new -engine pkcs11 -keyform engine \
                -key "$SIGNING_TOKEN_URI;type=private" -passin "file:$dir/pin.txt" \
                -subj "/CN=fwdisk token signer" -out "$dir/token.csr" &&
            openssl x509 -req -in "$dir/token.csr" -CA "$dir/ca.crt" -CAkey "$dir/ca.key" -CAcreateserial \
                -days 2 -extfile "$dir/signer.ext" -out "$dir/token.crt" &&
            /usr/bin/python3 "$_signing_here/softhsm.py" store-cert "$SIGNING_TOKEN_MODULE" "fwdisk test token" \
                "$dir/pin.txt" "$dir/token.crt"
    } >"$dir/token.log" 2>&1 || { cat "$dir/token.log" >&2; return 1; }
}

signing_tsa_start() {
    local dir=$1 i
    rm -f "$dir/tsa.port"
    /usr/bin/python3 "$_signing_here/tsa.py" "$dir" >/dev/null 2>>"$dir/tsa.err" &
    _signing_tsa_pids+=($!)
    for ((i = 0; i < 100; i++)); do
        if [ -f "$dir/tsa.port" ]; then
            # shellcheck disable=SC2034 # for the scripts that source this one
            SIGNING_TSA_URL=http://127.0.0.1:$(cat "$dir/tsa.port")/
            return 0
        fi
        sleep 0.1
    done
    cat "$dir/tsa.err" >&2
    echo "the time-stamp authority did not start" >&2
    return 1
}

signing_stop() {
    [ ${#_signing_tsa_pids[@]} -eq 0 ] || kill "${_signing_tsa_pids[@]}" 2>/dev/null || true
    _signing_tsa_pids=()
    [ -z "${GNUPGHOME:-}" ] || gpgconf --kill all 2>/dev/null || true
}

signing_gpg_key() {
    export GNUPGHOME=$1/gnupg
    mkdir -p "$GNUPGHOME"
    chmod 700 "$GNUPGHOME"
    gpg --batch --passphrase '' --quick-gen-key 'fwdisk test release <release@example.invalid>' ed25519 sign 2d \
        >"$1/gpg.log" 2>&1 || { cat "$1/gpg.log" >&2; return 1; }
    # shellcheck disable=SC2034 # for the scripts that source this one
    SIGNING_GPG_KEY=$(gpg --batch --list-secret-keys --with-colons 2>/dev/null | awk -F: '/^fpr:/ { print $10; exit }')
}

signing_checkout() {
    local dir=$1
    mkdir -p "$dir"
    (cd "$_signing_here/.." && git ls-files -z --cached --others --exclude-standard | tar --null -T - -cf -) |
        tar -xf - -C "$dir" || return 1
    {
        git -C "$dir" init -q &&
            git -C "$dir" add -A &&
            git -C "$dir" -c user.name=test -c user.email=test@example.invalid commit -q -m release
    } >"$dir.log" 2>&1 || { cat "$dir.log" >&2; return 1; }
}
