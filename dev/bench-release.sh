#!/usr/bin/env bash
# The release command's wall time, as a release engineer meets it: a fresh
# clone (nothing built yet), a firmware image that is not the default one,
# a key generated on a PKCS#11 token (SoftHSM2) with its PIN in a file, a
# timestamp of each kind from an authority on 127.0.0.1 and an OpenPGP
# signature of SHA256SUMS (testbed/signing.sh).
#   dev/bench-release.sh [RUNS]     (1 by default)
# Each run releases from a copy of the checkout of its own, so that each
# starts from nothing built. Prints each run's wall time and the median, and
# the folder listing and the build record of the last run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=testbed/signing.sh
source "$root/testbed/signing.sh"
runs=${1:-1}
[[ $runs =~ ^[1-9][0-9]*$ ]] || { echo "usage: dev/bench-release.sh [RUNS]" >&2; exit 2; }
work=$(mktemp -d "${TMPDIR:-/tmp}/fwdisk-bench-release.XXXXXX")
trap 'signing_stop; rm -rf "$work"' EXIT
cd "$work"
mkdir keys
signing_keys keys
signing_token keys
signing_tsa_start keys
signing_gpg_key keys
"$root/payload/make-image.sh" fw.img >/dev/null
echo "bench release" >NOTES.TXT
MTOOLS_SKIP_CHECK=1 mcopy -i fw.img NOTES.TXT ::NOTES.TXT

times=()
for ((run = 1; run <= runs; run++)); do
    signing_checkout "tree$run"
    start=$(date +%s%N)
    "tree$run/scripts/release.sh" --image fw.img --pkcs11-module "$SIGNING_TOKEN_MODULE" --key "$SIGNING_TOKEN_URI" \
        --pass-file keys/pin.txt \
        --ca keys/ca.crt --timestamp "$SIGNING_TSA_URL" --gpg-key "$SIGNING_GPG_KEY" "release$run" \
        >"release$run.log" 2>&1 </dev/null || { cat "release$run.log"; exit 1; }
    ms=$((($(date +%s%N) - start) / 1000000))
    times+=("$ms")
    printf 'run %d: %d.%03d s\n' "$run" $((ms / 1000)) $((ms % 1000))
done
median=$(printf '%s\n' "${times[@]}" | sort -n | sed -n "$(((runs + 1) / 2))p")
printf 'scripts/release.sh, from a fresh clone on %d cores: median %d.%03d s of %d runs\n' \
    "$(nproc)" $((median / 1000)) $((median % 1000)) "$runs"
grep -E '^\[[0-9]+/[0-9]+\]|      fwdisk(64)?\.exe: (ran|left out|SHA1)' "release$runs.log"
sed -n '/^Release in /,$p' "release$runs.log"
echo
cat "release$runs/BUILDINFO.txt"
