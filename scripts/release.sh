#!/usr/bin/env bash
# One command from the vendor's diskette image to a release folder: both
# programs built from this commit and rebuilt byte for byte in a temporary
# folder, the image tried in the boot trial, each program signed twice
# (SHA-1, then a nested SHA-256 signature), each signed file checked and
# run through the stand-in PC under Wine, and the folder summed.
usage() {
    cat <<'EOF'
usage: scripts/release.sh --image FIRMWARE.IMG --pkcs12 VENDOR.PFX [--pass-file FILE] [OPTIONS] OUTDIR
       scripts/release.sh --image FIRMWARE.IMG --cert CERT.PEM --key KEY.PEM [--pass-file FILE] [OPTIONS] OUTDIR
       scripts/release.sh --image FIRMWARE.IMG --pkcs11-module MODULE.so --key PKCS11_URI [--cert CERT.PEM]
                          [--pass-file FILE] [OPTIONS] OUTDIR
       scripts/release.sh --unsigned --image FIRMWARE.IMG [OPTIONS] OUTDIR
       scripts/release.sh --check [--ca FILE] [--gpg-key ID] OUTDIR

  --pkcs11-module MODULE.so
                      the key is on a token (a USB token, a smart card, an
                      HSM): --key is its PKCS#11 URI (pkcs11:token=...;object=...),
                      MODULE.so the token maker's PKCS#11 library. Without
                      --cert, the certificate on the token that goes with the
                      key (the same id or label) signs
  --pass-file FILE    the signing key's password, or the token's PIN, is
                      FILE's first line; without it, it is asked for (no
                      echo) when standard input is a terminal. It is never an
                      argument of any command. A token is logged in to once,
                      before the build: a PIN it refuses is not tried again
  --timestamp URL     timestamp both signatures: the SHA-1 one with an
                      Authenticode timestamp (the kind Windows XP reads), the
                      SHA-256 one with an RFC 3161 timestamp; without it they
                      stop validating when the certificate expires
  --timestamp-sha1 URL
                      another server for the SHA-1 signature's Authenticode
                      timestamp (with --timestamp)
  --ca FILE           the CA certificates to verify the signatures and the
                      timestamps against, the signer's and the time-stamp
                      authority's in one PEM file (default: the system's)
  --gpg-key ID        also write SHA256SUMS.asc, SHA256SUMS signed with that
                      OpenPGP key (detached, armored)
  --allow-unbootable  release an image that does not boot as a diskette in the
                      boot trial (the note and the build record say so)
  --allow-dirty       release from a work tree with uncommitted changes (the
                      build record says so)
  --unsigned          build, rebuild and try, but leave the two programs
                      unsigned in OUTDIR, to be signed elsewhere (signtool, a
                      hardware token); then run --check OUTDIR
  --check             check the programs in OUTDIR, signed elsewhere, against
                      its build record, prove them, then write SHA256SUMS, the
                      note and the record
  FWDISK_IMAGE_UNCHECKED=1 packages an image whose boot sector is not a 1.44 MB
                      FAT12 diskette's (never one of the wrong size).

OUTDIR must not exist (but for --check): it is assembled beside it and put in
place by one rename once every check has passed. It then holds fwdisk.exe and
fwdisk64.exe, README.txt (for technicians), BUILDINFO.txt (how to rebuild),
the boot trial (boot-trial.txt, boot-diskette.png, boot-stick.png) and
SHA256SUMS (and SHA256SUMS.asc).
Exit 0 when the release is made, 1 when a check fails, 2 on a usage error.
EOF
}
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
readonly NAMES=(fwdisk.exe fwdisk64.exe)
readonly RECORD=BUILDINFO.txt

usage_error() {
    echo "release.sh: $*" >&2
    echo "usage: see scripts/release.sh --help" >&2
    exit 2
}
fail() {
    echo "release.sh: $*" >&2
    exit 1
}
# value OPTION ARG: ARG, which must be there and not empty.
value() { [ $# -ge 2 ] && [ -n "$2" ] || usage_error "$1 needs a value"; }

mode=signed image='' pkcs12='' cert='' key='' module='' pass_file='' timestamp='' timestamp_sha1='' ca='' gpg_key=''
allow_unbootable='' allow_dirty='' outdir=''
while [ $# -gt 0 ]; do
    case $1 in
    --image | --pkcs12 | --cert | --key | --pkcs11-module | --pass-file | --timestamp | --timestamp-sha1 | --ca | --gpg-key)
        value "$@"
        case $1 in
        --image) image=$2 ;;
        --pkcs12) pkcs12=$2 ;;
        --cert) cert=$2 ;;
        --key) key=$2 ;;
        --pkcs11-module) module=$2 ;;
        --pass-file) pass_file=$2 ;;
        --timestamp) timestamp=$2 ;;
        --timestamp-sha1) timestamp_sha1=$2 ;;
        --ca) ca=$2 ;;
        --gpg-key) gpg_key=$2 ;;
        esac
        shift 2 ;;
    --unsigned | --check)
        [ "$mode" = signed ] || usage_error "--unsigned and --check do not go together"
        mode=${1#--}
        shift ;;
    --allow-unbootable) allow_unbootable=1; shift ;;
    --allow-dirty) allow_dirty=1; shift ;;
    -h | --help) usage; exit 0 ;;
    -*) usage_error "unknown option $1" ;;
    *) [ -z "$outdir" ] || usage_error "one OUTDIR only"; outdir=$1; shift ;;
    esac
done
[ -n "$outdir" ] || usage_error "no OUTDIR given"
signing=$([ -n "$pkcs12$cert$key$module$pass_file$timestamp$timestamp_sha1" ] && echo 1 || true)
# The kind of key: a PKCS#12 file, a PEM pair, or a key on a token.
kind='file'
[ -z "$pkcs12" ] || kind=pkcs12
[[ $key != pkcs11:* ]] || kind=token
case $mode in
signed)
    [ -n "$image" ] || usage_error "no --image given"
    case $kind in
    pkcs12) [ -z "$cert$key$module" ] || usage_error "--pkcs12, or --cert with --key: not both" ;;
    token)
        [ -z "$pkcs12" ] || usage_error "--pkcs12, or a key on a token: not both"
        [ -n "$module" ] || usage_error "a PKCS#11 URI as --key needs --pkcs11-module, the token's PKCS#11 library"
        # A PIN in the URI would stand in every process list.
        [[ ! $key =~ [:\;?\&]pin-value= ]] ||
            usage_error "the URI carries the PIN (pin-value), which puts it on a command line: give it in --pass-file, or be asked for it" ;;
    file)
        [ -z "$module" ] || usage_error "--pkcs11-module goes with a PKCS#11 URI as --key (pkcs11:...)"
        [ -n "$cert" ] && [ -n "$key" ] ||
            usage_error "the signing key: --pkcs12 VENDOR.PFX, --cert CERT.PEM with --key KEY.PEM, or --pkcs11-module MODULE.so with --key PKCS11_URI (or --unsigned)" ;;
    esac
    [ -z "$timestamp_sha1" ] || [ -n "$timestamp" ] || usage_error "--timestamp-sha1 goes with --timestamp" ;;
unsigned)
    [ -n "$image" ] || usage_error "no --image given"
    [ -z "$signing$gpg_key" ] ||
        usage_error "--unsigned takes no signing key, password, timestamp or OpenPGP key (--check writes and signs the sums)" ;;
check)
    [ -z "$image$signing$allow_unbootable$allow_dirty" ] ||
        usage_error "--check takes the image and the build facts from OUTDIR's $RECORD: only --ca and --gpg-key go with it"
    [ -f "$outdir/$RECORD" ] || usage_error "$outdir: no $RECORD (scripts/release.sh --unsigned makes the folder)" ;;
esac
if [ "$mode" != check ] && { [ -e "$outdir" ] || [ -L "$outdir" ]; }; then
    usage_error "$outdir exists; it was left as it is: name a folder that does not exist yet"
fi
parent=$(dirname -- "$outdir")
[ -d "$parent" ] && [ -w "$parent" ] || usage_error "$parent: no folder to write OUTDIR in"
key_file=$key
[ "$kind" != token ] || key_file=''
for file in "$image" "$pkcs12" "$cert" "$key_file" "$module" "$pass_file" "$ca"; do
    [ -z "$file" ] || { [ -f "$file" ] && [ -r "$file" ]; } || usage_error "$file: not a readable file"
done
for url in "$timestamp" "$timestamp_sha1"; do
    [ -z "$url" ] || [[ $url =~ ^https?://[^[:space:]]+$ ]] || usage_error "a timestamp server is an http:// or https:// URL: $url"
done
[ -n "$timestamp_sha1" ] || timestamp_sha1=$timestamp
[ -z "$image" ] || image=$(realpath -- "$image")
outdir=$(realpath -m -- "$outdir")

# The password, or the token's PIN: never an argument of any command, never
# printed, never in a file or an environment. Each command that needs it
# reads it from a pipe of its own on file descriptor 3 (printf being a shell
# builtin, it is no process either).
pass='' pass_opts=()
if [ "$mode" = signed ]; then
    secret='the signing key needs its password' prompt='Password of the signing key: '
    [ "$kind" != token ] || secret='the token needs its PIN' prompt='PIN of the token: '
    if [ -n "$pass_file" ]; then
        IFS= read -r pass <"$pass_file" || true
        pass=${pass%$'\r'}
    elif [ "$kind" != file ] || grep -q ENCRYPTED "$key"; then
        [ -t 0 ] || usage_error "$secret: --pass-file FILE, or run from a terminal to be asked"
        IFS= read -rs -p "$prompt" pass
        echo >&2
    fi
    pass_opts=(-readpass /dev/fd/3)
fi
with_pass() { "$@" 3< <(printf '%s\n' "$pass"); }

steps=0 total=0
step() {
    steps=$((steps + 1))
    echo "[$steps/$total] $*"
}
case $mode in
signed) total=10 ;;
unsigned) total=5 ;;
check) total=6 ;;
esac
[ -z "$gpg_key" ] || total=$((total + 1))

# What the steps need and this machine lacks (the tools, QEMU, Wine).
installed=$("$root/scripts/lib/deps.sh" 2>&1 </dev/null) || {
    printf '%s\n' "$installed" >&2
    fail "the packages it needs could not be installed (scripts/lib/deps.sh, above)"
}
work=$(mktemp -d "${TMPDIR:-/tmp}/fwdisk-release.XXXXXX")
stage=$(mktemp -d "$parent/.$(basename "$outdir").partial.XXXXXX")
old=''
trap 'rm -rf "$work" "$stage"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
mkdir "$work/once"
chmod 755 "$stage"
image_size=$("$root/scripts/lib/image-size.sh")
# build_folder NAME: the build folder of the program NAME (win or win64).
build_folder() { if [ "$1" = fwdisk.exe ]; then echo win; else echo win64; fi; }
# sha [FILE]: the SHA-256 of FILE, or of standard input, in hex.
sha() { if [ $# -gt 0 ]; then sha256sum <"$1"; else sha256sum; fi | cut -d' ' -f1; }
# Shows the last lines of LOG, indented, then fails with MESSAGE.
fail_log() {
    sed 's/^/    /' "$1" | tail -n 25 >&2
    fail "$2"
}

# The facts of the build, in the record: "Key: value" lines.
record=$work/$RECORD
put() { printf '%s: %s\n' "$1" "$2" >>"$record"; }
get() { sed -n "s/^$1: //p" "$outdir/$RECORD" | head -n 1; }

# Opens the signing key with the password or PIN, and leaves the certificate
# it belongs to, as PEM, in $work/signer.pem; fails naming the file, or the
# token, when the password, the PIN or the pairing is wrong. A token is
# logged in to once (scripts/lib/pkcs11key.py), and its certificate is
# --cert, or else the one on the token that goes with the key. Sets key_is,
# what the build record names as the key, cert_is, as the certificate, and
# key_opts, the options that hand the key to osslsigncode.
open_key() {
    local keys='' certs='' public=''
    case $kind in
    token)
        local found=("$work/token.pub") label
        [ -n "$cert" ] || found+=("$work/token.crt")
        with_pass /usr/bin/python3 "$root/scripts/lib/pkcs11key.py" "$module" "$key" "${found[@]}" \
            >"$work/token.txt" 2>"$work/key.err" || fail "$key: $(cat "$work/key.err")"
        sed 's/^/      /' "$work/key.err"
        public=$(openssl pkey -pubin -in "$work/token.pub" -outform DER | sha)
        certs=$(certificate "${cert:-$work/token.crt}")
        label=$(sed -n 's/^token: //p' "$work/token.txt")
        key_is="$key, on the token \"$label\" ($(sed -n 's/^manufacturer: //p' "$work/token.txt") $(sed -n 's/^model: //p' "$work/token.txt"), serial $(sed -n 's/^serial: //p' "$work/token.txt")), through $module"
        cert_is=${cert:-"the certificate on the token \"$label\" that goes with the key"}
        engine=$(openssl version -e | sed -n 's/^ENGINESDIR: "\(.*\)"$/\1/p')/pkcs11.so
        [ -f "$engine" ] || fail "$engine: no OpenSSL PKCS#11 engine (scripts/lib/deps.sh installs libengine-pkcs11-openssl)"
        key_opts=(-pkcs11engine "$engine" -pkcs11module "$module" -key "$key" -certs "${cert:-$work/signer.pem}") ;;
    pkcs12)
        # A PFX made by Windows may use the older ciphers of OpenSSL's
        # legacy provider.
        if ! keys=$(with_pass openssl pkcs12 -in "$pkcs12" -passin fd:3 -nocerts -nodes 2>"$work/key.err") &&
            ! keys=$(with_pass openssl pkcs12 -legacy -in "$pkcs12" -passin fd:3 -nocerts -nodes 2>"$work/key.err"); then
            fail_log "$work/key.err" "$pkcs12: cannot be opened with the password given (a wrong password?)"
        fi
        certs=$(with_pass openssl pkcs12 -in "$pkcs12" -passin fd:3 -nokeys -clcerts 2>/dev/null ||
            with_pass openssl pkcs12 -legacy -in "$pkcs12" -passin fd:3 -nokeys -clcerts 2>"$work/key.err") || true
        [ -n "$certs" ] || fail_log "$work/key.err" "$pkcs12: holds no certificate"
        key_is=$pkcs12 cert_is=$pkcs12
        key_opts=(-pkcs12 "$pkcs12") ;;
    file)
        keys=$(with_pass openssl pkey -in "$key" -passin fd:3 2>"$work/key.err") ||
            fail_log "$work/key.err" "$key: cannot be read as a private key with the password given (a wrong password?)"
        certs=$(certificate "$cert")
        key_is=$key cert_is=$cert
        key_opts=(-certs "$cert" -key "$key") ;;
    esac
    # A key out of a file goes through a pipe (printf is a builtin), never
    # a file.
    [ -n "$public" ] || public=$(printf '%s\n' "$keys" | openssl pkey -pubout -outform DER | sha)
    [ "$public" = "$(printf '%s\n' "$certs" | openssl x509 -noout -pubkey | openssl pkey -pubin -outform DER | sha)" ] ||
        fail "$cert_is does not match $key_is: the certificate's public key is not the key's"
    printf '%s\n' "$certs" | openssl x509 >"$work/signer.pem"
}

# The certificate in FILE, PEM or DER, as PEM on standard output; fails
# naming FILE when it holds none.
certificate() {
    openssl x509 -in "$1" 2>/dev/null || openssl x509 -inform DER -in "$1" 2>"$work/key.err" ||
        fail_log "$work/key.err" "$1: is no certificate"
}

# Checks the signed program NAME in the stage against the release's facts:
# two signatures, SHA-1 then a nested SHA-256, each verifying, and each
# timestamp that one carries verifying too; with NEED_TIMESTAMP, the SHA-1
# one carries an Authenticode timestamp and the SHA-256 one an RFC 3161
# timestamp. The image carried right before the certificate table is the
# release's; the program part, with signing's header fields undone, is the
# unsigned build's. Leaves the image it carries in $work/NAME.img, and the
# kinds of its timestamps in timestamped[NAME] ("SHA1 Authenticode, SHA256
# RFC 3161").
check_signed() {
    local name=$1 need_timestamp=$2 file=$stage/$1 start signatures digests count kinds verified stamps verify_opts=() facts program
    "$root/scripts/inspect.sh" "$file" --image "$work/$name.img" >"$work/$name.inspect" 2>&1 ||
        fail_log "$work/$name.inspect" "$name: carries no image the program would write"
    grep -q '^Signed: *yes' "$work/$name.inspect" || fail "$name: not signed"
    [ "$(sha "$work/$name.img")" = "$image_sha" ] ||
        fail "$name: its image differs from the release's: SHA-256 $(sha "$work/$name.img"), not $image_sha"
    [ -z "$ca" ] || verify_opts=(-CAfile "$ca" -TSA-CAfile "$ca")
    # The signatures as inspect.sh lists them, read from the file itself:
    # "SHA1, signed by /CN=..., timestamp: Authenticode".
    signatures=$(sed -n 's/^ *signature [0-9]*\( (nested)\)\{0,1\}: //p' "$work/$name.inspect")
    count=$(grep -c . <<<"$signatures" || true)
    digests=$(cut -d, -f1 <<<"$signatures" | paste -sd' ')
    signer=$(sed -n '1{s/^[^,]*, signed by //;s/, timestamp: [^,]*$//;p}' <<<"$signatures")
    kinds=$(sed 's/^\([^,]*\),.*, timestamp: \(.*\)$/\1 \2/;t;s/^\([^,]*\),.*/\1 unknown/' <<<"$signatures" | paste -sd, | sed 's/,/, /g')
    local rc=0
    osslsigncode verify -in "$file" "${verify_opts[@]}" >"$work/$name.verify" 2>&1 || rc=$?
    [ "$count" -ne 1 ] || fail "$name: signed once only ($digests): a release needs a SHA-1 signature and a nested SHA-256 one"
    [ "$digests" = "SHA1 SHA256" ] ||
        fail "$name: its signatures are ${digests:-none that osslsigncode reads}, not SHA1 then a nested SHA256"
    [ "$rc" -eq 0 ] || fail_log "$work/$name.verify" "$name: a signature does not verify (osslsigncode verify, above)"
    # osslsigncode verify accepts a file whose timestamp fails: its verdict
    # on each timestamp is a line of its own in that signature's part, and
    # each timestamp the file carries needs one that says ok.
    verified=$(awk '/^Signature Index: / { i = $3 + 1 } /^Timestamp Server Signature verification: / { print "signature " i ": " $NF }' \
        "$work/$name.verify")
    stamps=$(grep -vc ' none$' <<<"${kinds//, /$'\n'}" || true)
    [ "$(grep -c ': ok$' <<<"$verified")" -eq "$stamps" ] ||
        fail_log "$work/$name.verify" "$name: $(grep -c ': ok$' <<<"$verified") of its $stamps timestamps verify (${verified//$'\n'/, }): osslsigncode verify, above"
    [ -z "$need_timestamp" ] || [ "$kinds" = "SHA1 Authenticode, SHA256 RFC 3161" ] ||
        fail "$name: its timestamps are $kinds: a release needs an Authenticode timestamp on the SHA-1 signature (the kind Windows XP reads) and an RFC 3161 one on the SHA-256 signature"
    start=$(sed -n 's/^Program: *\([0-9,]*\) bytes.*/\1/p' "$work/$name.inspect" | tr -d ,)
    facts=$(/usr/bin/python3 "$root/scripts/lib/unsigned.py" "$file" "$start" "$image_size") ||
        fail "$name: its program part cannot be read"
    program=$(sed -n 's/^program //p' <<<"$facts")
    [ "$program" = "${program_sha[$name]}" ] ||
        fail "$name: its program part, signing's header fields undone, is not the unsigned build's (SHA-256 $program, not ${program_sha[$name]})"
    [ "$(sed -n 's/^unsigned //p' <<<"$facts")" = "${unsigned_sha[$name]}" ] ||
        fail "$name: unsigned again, it is not the unsigned build"
    timestamped[$name]=$kinds
}

# Runs the proof (testbed/prove.sh) on the signed program NAME; its result
# goes to proof[NAME].
prove() {
    local name=$1 rc=0 driver
    driver=$root/build/$(build_folder "$name")/stordrv.sys
    "$root/testbed/prove.sh" "$stage/$name" "$work/$name.img" "$driver" >"$work/$name.proof" 2>&1 || rc=$?
    case $rc in
    0) proof[$name]="ran: $(tail -n 1 "$work/$name.proof" | sed 's/^proved: //')" ;;
    77) proof[$name]="left out: $(sed -n 's/^left out: //p' "$work/$name.proof")" ;;
    *) fail_log "$work/$name.proof" "$name: the proof failed: it did not write exactly its image and exit 0 on the stand-in PC" ;;
    esac
    echo "      $name: ${proof[$name]}"
}

declare -A program_sha=() unsigned_sha=() program_size=() unsigned_size=() proof=() timestamped=()
signer=''
if [ "$mode" = check ]; then
    step "Reading the build record $outdir/$RECORD"
    image_sha=$(get 'Image SHA-256')
    for name in "${NAMES[@]}"; do
        read -r "unsigned_sha[$name]" "unsigned_size[$name]" <<<"$(get "Unsigned $name")"
        read -r "program_sha[$name]" "program_size[$name]" <<<"$(get "Program part $name")"
        [ -n "${program_sha[$name]}" ] && [ -n "${unsigned_sha[$name]}" ] || fail "$outdir/$RECORD: no SHA-256 of the unsigned $name"
        [ -f "$outdir/$name" ] || fail "$outdir/$name: missing"
    done
    [ -n "$image_sha" ] || fail "$outdir/$RECORD: no image SHA-256"
    cp -a "$outdir/." "$stage/"
    rm -f "$stage/SHA256SUMS" "$stage/SHA256SUMS.asc" "$stage/README.txt"
    # The record as the unsigned run left it, less what this run writes.
    sed '/^Mode: /,$d' "$outdir/$RECORD" >"$record"
    commit=$(get Commit)
    put Mode "signed elsewhere, checked by scripts/release.sh --check"
    step "Checking the signed files: SHA-1 and nested SHA-256 signatures, the image, the program part"
    for name in "${NAMES[@]}"; do
        check_signed "$name" ''
        echo "      $name: signed twice (SHA1, then SHA256 nested), by $signer; timestamps: ${timestamped[$name]}; its image and program part are the release's"
    done
    if [ ! -f "$root/build/win/stordrv.sys" ] || [ ! -f "$root/build/win64/stordrv.sys" ]; then
        step "Building the stand-in PC's driver for the proofs"
        (cd "$root" && FWDISK_IMAGE=$work/fwdisk.exe.img FWDISK_IMAGE_UNCHECKED=1 scripts/build.sh --no-demo) \
            >"$work/build.log" 2>&1 || fail_log "$work/build.log" "the build of the stand-in driver failed"
    else
        step "The stand-in PC's driver for the proofs: build/win and build/win64"
    fi
else
    if [ "$mode" = signed ]; then
        step "Checking the work tree, the image and the signing key"
    else
        step "Checking the work tree and the image"
    fi
    git -C "$root" rev-parse --verify -q HEAD >/dev/null || fail "$root: no git commit to release from"
    commit=$(git -C "$root" rev-parse HEAD)
    changed=$(git -C "$root" status --porcelain --untracked-files=no)
    changed_files=$(awk '{ print $2 }' <<<"$changed" | paste -sd' ')
    if [ -n "$changed" ]; then
        [ -n "$allow_dirty" ] ||
            fail "the work tree has changes that are not committed; a release is built from a commit (--allow-dirty releases all the same):
$changed"
        echo "      the work tree has changes (--allow-dirty): $changed_files"
    fi
    status=0
    "$root/scripts/image-info.sh" --as release.sh "$image" >"$work/image.txt" 2>"$work/image.err" || status=$?
    if [ "$status" -eq 1 ] && [ "${FWDISK_IMAGE_UNCHECKED:-}" = 1 ]; then
        # What failed, once each, without the "release.sh: IMAGE: " of each line.
        image_check="not passed, packaged as FWDISK_IMAGE_UNCHECKED=1 asks: $(sed "s|^release.sh: $image: ||" "$work/image.err" | paste -sd';' | sed 's/;/; /g')"
    elif [ "$status" -ne 0 ]; then
        cat "$work/image.txt" "$work/image.err" >&2
        [ "$status" -ne 1 ] || fail "$image: not a 1.44 MB FAT12 diskette image; nothing was built (FWDISK_IMAGE_UNCHECKED=1 packages it all the same)"
        fail "$image: not a 1.44 MB FAT12 diskette image; nothing was built"
    else
        image_check="passed: a 1.44 MB FAT12 diskette"
    fi
    image_sha=$(sed -n 's/^SHA-256: *//p' "$work/image.txt")
    sed 's/^/      /' "$work/image.txt"
    if [ "$mode" = signed ]; then
        open_key
        signer=$(openssl x509 -noout -subject -nameopt compat <"$work/signer.pem" | sed 's/^subject=//')
        expires=$(openssl x509 -noout -enddate <"$work/signer.pem" | sed 's/^notAfter=//')
        echo "      signing key: $signer, certificate valid until $expires"
        [ -n "$timestamp" ] ||
            echo "      no --timestamp: the signatures stop validating when the certificate expires ($expires)"
    fi

    step "Boot trial of the image: as a diskette, and from a stick (scripts/try-boot.sh)"
    status=0
    "$root/scripts/try-boot.sh" --out "$work/boot" "$image" >"$work/boot.txt" 2>&1 || status=$?
    [ "$status" -le 1 ] || fail_log "$work/boot.txt" "the boot trial could not be run"
    boot_diskette=passed boot_stick=passed
    if [ "$status" -ne 0 ]; then
        grep -q 'FAIL: the boot as a stick did not pass' "$work/boot.txt" || boot_diskette="did not pass"
        grep -q 'FAIL: the boot as a diskette did not pass' "$work/boot.txt" || boot_stick="did not pass"
    fi
    echo "      as a diskette: $boot_diskette; from a stick, behind its MBR: $boot_stick"
    if [ "$boot_diskette" != passed ] && [ -z "$allow_unbootable" ]; then
        fail_log "$work/boot.txt" "$image does not boot as a diskette in the boot trial (above); --allow-unbootable releases it all the same"
    fi
    sed "s|$work/boot/|boot-|g" "$work/boot.txt" >"$stage/boot-trial.txt"
    cp "$work/boot/diskette.png" "$stage/boot-diskette.png"
    cp "$work/boot/stick.png" "$stage/boot-stick.png"

    step "Building fwdisk.exe and fwdisk64.exe from commit ${commit:0:12}"
    (cd "$root" && FWDISK_IMAGE=$image scripts/build.sh --no-demo) >"$work/build.log" 2>&1 ||
        fail_log "$work/build.log" "the build failed"
    mkdir "$work/unsigned"
    for name in "${NAMES[@]}"; do
        arch=$(build_folder "$name")
        cp "$root/build/$arch/$name" "$work/unsigned/$name"
        cp "$root/build/$arch/${name%.exe}-program.exe" "$work/unsigned/${name%.exe}-program.exe"
        unsigned_sha[$name]=$(sha "$work/unsigned/$name")
        unsigned_size[$name]=$(stat -c %s "$work/unsigned/$name")
        program_sha[$name]=$(sha "$work/unsigned/${name%.exe}-program.exe")
        program_size[$name]=$(stat -c %s "$work/unsigned/${name%.exe}-program.exe")
        cmp -s <(tail -c "$image_size" "$work/unsigned/$name") "$image" || fail "$name: does not end with $image"
        echo "      $name: ${unsigned_size[$name]} bytes, SHA-256 ${unsigned_sha[$name]}"
    done

    step "Rebuilding both from the commit in a temporary folder (scripts/reproduce.sh)"
    FWDISK_IMAGE=$image "$root/scripts/reproduce.sh" "$work/unsigned/fwdisk.exe" "$work/unsigned/fwdisk64.exe" \
        >"$work/reproduce.log" 2>&1 || fail_log "$work/reproduce.log" "the unsigned programs do not rebuild byte for byte from the commit"
    echo "      both identical"

    # The record of the build, whether signed here or elsewhere.
    version=$(/usr/bin/python3 - "$work/unsigned/fwdisk.exe" <<'EOF'
import sys, pefile
pe = pefile.PE(sys.argv[1])
strings = {}
for info in pe.FileInfo[0]:
    for table in getattr(info, 'StringTable', []):
        strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
print(strings['FileDescription'])
print(strings['FileVersion'])
EOF
    )
    first() { "$@" 2>&1 | head -n 1; }
    {
        echo "fwdisk release record: how this release was built, and how to build it again"
        echo
    } >"$record"
    put Commit "$commit"
    put Repository "$(git -C "$root" remote get-url origin 2>/dev/null || echo "none named (no remote origin)")"
    put "Work tree" "$([ -z "$changed" ] && echo clean || echo "changes not committed, released by --allow-dirty: $changed_files")"
    put Program "$(sed -n 1p <<<"$version")"
    put "Program version" "$(sed -n 2p <<<"$version")"
    put "Built on" "$(. /etc/os-release && echo "$PRETTY_NAME"), $(uname -m)"
    put "Compiler x86" "$(first i686-w64-mingw32-g++ --version)"
    put "Compiler x64" "$(first x86_64-w64-mingw32-g++ --version)"
    put "Binutils x86" "$(first i686-w64-mingw32-ld --version)"
    put "Binutils x64" "$(first x86_64-w64-mingw32-ld --version)"
    put CMake "$(first cmake --version)"
    put Ninja "$(first ninja --version)"
    put osslsigncode "$(osslsigncode --version 2>&1 | head -n 2 | tr -s ' \t\n' ' ' | sed 's/, using: /, /; s/ $//')"
    put Image "$image"
    put "Image SHA-256" "$image_sha"
    put "Image OEM name" "$(sed -n 's/^OEM name: *//p' "$work/image.txt")"
    put "Image label" "$(sed -n 's/^Label: *//p' "$work/image.txt")"
    put "Image check" "$image_check"
    put "Boot as a diskette" "$boot_diskette"
    put "Boot from a stick" "$boot_stick"
    [ "$boot_diskette" = passed ] || put Unbootable "released all the same, as --allow-unbootable asks"
    put "Rebuilt from the commit" "identical, in a temporary folder (scripts/reproduce.sh)"
    for name in "${NAMES[@]}"; do
        put "Unsigned $name" "${unsigned_sha[$name]} ${unsigned_size[$name]}"
        put "Program part $name" "${program_sha[$name]} ${program_size[$name]}"
    done
    if [ "$mode" = unsigned ]; then
        put Mode "unsigned: sign fwdisk.exe and fwdisk64.exe in this folder (SHA-1, then a nested SHA-256 signature), then run scripts/release.sh --check on it"
    else
        put Mode "signed by scripts/release.sh"
    fi
fi

if [ "$mode" = signed ]; then
    # The SHA-1 signature, for Windows XP, gets the Authenticode timestamp
    # that XP reads; the nested SHA-256 one an RFC 3161 timestamp.
    ts1_opts=() ts2_opts=() stamped=''
    if [ -n "$timestamp" ]; then
        ts1_opts=(-t "$timestamp_sha1") ts2_opts=(-ts "$timestamp")
        stamped=' (Authenticode timestamp), then SHA-256 nested (RFC 3161 timestamp)'
    fi
    for name in "${NAMES[@]}"; do
        step "Signing $name: SHA-1${stamped:-, then SHA-256 nested}"
        with_pass "$root/scripts/sign.sh" "$work/unsigned/$name" "$work/once/$name" \
            "${key_opts[@]}" "${pass_opts[@]}" -h sha1 "${ts1_opts[@]}" >>"$work/sign.log" 2>&1 ||
            fail_log "$work/sign.log" "$name: the SHA-1 signature failed"
        with_pass "$root/scripts/sign.sh" "$work/once/$name" "$stage/$name" -nest \
            "${key_opts[@]}" "${pass_opts[@]}" -h sha256 "${ts2_opts[@]}" >>"$work/sign.log" 2>&1 ||
            fail_log "$work/sign.log" "$name: the nested SHA-256 signature failed"
    done
    step "Checking the signed files: both signatures, the image, the program part"
    for name in "${NAMES[@]}"; do
        check_signed "$name" "$timestamp"
        echo "      $name: SHA1, then SHA256 nested, both verify; timestamps: ${timestamped[$name]}${timestamp:+, both verify}; its image and program part are the build's"
    done
fi

if [ "$mode" != unsigned ]; then
    for name in "${NAMES[@]}"; do
        step "Proof: $name on the stand-in PC under Wine (testbed/prove.sh)"
        prove "$name"
    done
    if [ "$mode" = signed ]; then
        put "Signing key" "$key_is"
        put Certificate "$cert_is"
    fi
    if [ -n "$timestamp" ]; then
        put Signatures "SHA-1 with an Authenticode timestamp from $timestamp_sha1, then SHA-256 nested with an RFC 3161 timestamp from $timestamp, by $signer"
    elif [ "$mode" = signed ]; then
        put Signatures "SHA-1, then SHA-256 nested, by $signer; not timestamped: they stop validating when the certificate expires ($expires)"
    else
        put Signatures "SHA-1, then SHA-256 nested, by $signer"
    fi
    for name in "${NAMES[@]}"; do
        put "Signed $name" "$(sha "$stage/$name") $(stat -c %s "$stage/$name")"
        put "Timestamps $name" "${timestamped[$name]}"
        put "Proof $name" "${proof[$name]}"
    done
    step "Writing SHA256SUMS, README.txt and $RECORD"
else
    for name in "${NAMES[@]}"; do
        cp "$work/unsigned/$name" "$stage/$name"
    done
    step "Writing $RECORD beside the unsigned programs"
fi
unchecked=
[[ $(sed -n 's/^Image check: //p' "$record") == passed* ]] || unchecked=' FWDISK_IMAGE_UNCHECKED=1'
repository=$(sed -n 's/^Repository: //p' "$record")
[[ $repository != none* ]] || repository=REPOSITORY
{
    echo
    echo "To build the unsigned programs again and compare (Debian 12 with the versions above):"
    echo "  git clone $repository fwdisk && cd fwdisk && git checkout $commit"
    echo "  scripts/inspect.sh ../RELEASE/fwdisk.exe --image firmware.img   # the image, SHA-256 $image_sha"
    echo "  FWDISK_IMAGE=firmware.img$unchecked scripts/build.sh --no-demo"
    echo "  sha256sum build/win/fwdisk.exe build/win64/fwdisk64.exe build/win/fwdisk-program.exe build/win64/fwdisk64-program.exe"
    echo "The four sums are those of the lines Unsigned and Program part above."
} >>"$record"
cp "$record" "$stage/$RECORD"

# The note for technicians: CRLF line ends, for Notepad on Windows XP.
note() {
    local recorded=$stage/$RECORD
    r() { sed -n "s/^$1: //p" "$recorded" | head -n 1; }
    local diskette stick boots
    diskette=$(r 'Boot as a diskette') stick=$(r 'Boot from a stick')
    if [ "$diskette" = passed ] && [ "$stick" = passed ]; then
        boots="It boots from the USB stick the program writes, as a hard disk, and as a diskette."
    elif [ "$diskette" = passed ]; then
        boots="It boots as a diskette only, not from the stick as a hard disk: set the
  server's BIOS to boot the USB stick as a diskette (floppy emulation)."
    else
        boots="It did NOT boot in the vendor's boot trial, as a diskette ($diskette) or
  from a stick ($stick); it was released all the same."
    fi
    cat <<EOF
$(r Program) $(r 'Program version'), for the ZK240R5 server

The two programs write the firmware-upgrade diskette image they carry over
the start of a removable drive (a USB stick), which the server then boots.

WHICH FILE
  fwdisk.exe    for any Windows since XP, 32-bit or 64-bit: use this one.
  fwdisk64.exe  only for a 64-bit Windows that runs no 32-bit program:
                Windows PE x64, or Server Core without WoW64.

CHECK YOUR COPY FIRST
  fwdisk.exe    SHA-256 $(r 'Signed fwdisk.exe' | cut -d' ' -f1)
  fwdisk64.exe  SHA-256 $(r 'Signed fwdisk64.exe' | cut -d' ' -f1)
  In a command prompt:  certutil -hashfile fwdisk.exe SHA256
  In PowerShell:        Get-FileHash fwdisk.exe
  The two hex strings must be the same, letter for letter (case does not
  matter). Each file is signed twice: SHA-1 (Windows XP, 7) and SHA-256.

THE FIRMWARE IMAGE THEY CARRY
  SHA-256:   $image_sha
  Label:     $(r 'Image label')
  OEM name:  $(r 'Image OEM name')
  $boots

PROGRAM VERSION
  $(r 'Program version') (the file version in each file's properties)

USE
  Run the program from a folder on the PC (not from the stick), as an
  administrator, type the stick's drive letter, then Y. Everything on the
  stick is lost. Exit code 0 when the image was written.
EOF
}
if [ "$mode" != unsigned ]; then
    note | sed 's/$/\r/' >"$stage/README.txt"
    (cd "$stage" && find . -type f ! -name SHA256SUMS ! -name SHA256SUMS.asc -printf '%P\n' | LC_ALL=C sort |
        xargs -d '\n' sha256sum) >"$work/SHA256SUMS"
    mv "$work/SHA256SUMS" "$stage/SHA256SUMS"
    (cd "$stage" && sha256sum -c --quiet SHA256SUMS) || fail "SHA256SUMS does not check"
    if [ -n "$gpg_key" ]; then
        step "Signing SHA256SUMS with the OpenPGP key $gpg_key"
        gpg_batch=()
        [ -t 0 ] || gpg_batch=(--batch)
        gpg "${gpg_batch[@]}" --yes --armor --local-user "$gpg_key" --detach-sign \
            --output "$stage/SHA256SUMS.asc" "$stage/SHA256SUMS" >"$work/gpg.log" 2>&1 ||
            fail_log "$work/gpg.log" "SHA256SUMS could not be signed with the OpenPGP key $gpg_key"
        gpg --verify "$stage/SHA256SUMS.asc" "$stage/SHA256SUMS" >>"$work/gpg.log" 2>&1 ||
            fail_log "$work/gpg.log" "SHA256SUMS.asc does not verify"
    fi
fi

# In place: one rename, refused (-n) should OUTDIR have appeared meanwhile.
# --check swaps the checked folder for the old one.
if [ "$mode" = check ]; then
    old=$(mktemp -u "$parent/.$(basename "$outdir").old.XXXXXX")
    mv -T "$outdir" "$old"
fi
mv -nT "$stage" "$outdir"
if [ -e "$stage" ]; then
    [ -z "$old" ] || mv -T "$old" "$outdir"
    fail "$outdir appeared while the release was made; the release was not put in place"
fi
[ -z "$old" ] || rm -rf "$old"

echo
echo "Release in $outdir:"
(cd "$outdir" && find . -type f -printf '%P\n' | LC_ALL=C sort | while IFS= read -r file; do
    printf '  %-20s %10s bytes  %s\n' "$file" "$(stat -c %s "$file" | sed ':a;s/\B[0-9]\{3\}\>/,&/;ta')" "$(sha "$file")"
done)
if [ "$mode" = unsigned ]; then
    echo "Sign fwdisk.exe and fwdisk64.exe there (SHA-1, then a nested SHA-256 signature), then run:"
    echo "  scripts/release.sh --check $outdir"
fi
