# shellcheck shell=bash
# The checks are texts that check() evaluates, the variables theirs: single
# quotes on purpose.
# shellcheck disable=SC2016,SC2034
# What the release's case scripts share: a work folder (removed at exit) to
# run in, a throwaway CA, signer and time-stamp authority on 127.0.0.1
# (testbed/signing.sh) in keys/, a clean committed copy of this checkout in
# tree/ to release from, the firmware images in images/, and check().
#
#   images/fw.img     the default image with a file of its own and another
#                     label: it boots, but is not the default one
#   images/plain.img  a diskette whose boot code boots nothing
#   images/random.img random bytes of the image's size
#
# check WHAT TEST: evaluates TEST and prints "ok: WHAT" or "FAILED: WHAT";
# the script then ends with exit code 1 (exit $failed), or at once with
# RELEASE_CASES_STOP=1 (for dev/mutants-release.py, which needs only the
# first failure).
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
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
cd "$work" || exit 1
failed=0
check() {
    if eval "$2"; then
        echo "ok: $1"
    else
        echo "FAILED: $1"
        failed=1
        [ -z "${RELEASE_CASES_STOP:-}" ] || exit 1
    fi
}
sha() { sha256sum <"$1" | cut -d' ' -f1; }

mkdir keys images
signing_keys keys
signing_tsa_start keys
signing_checkout tree
release=tree/scripts/release.sh

PATH=$PATH:/usr/sbin:/sbin
tree/payload/make-image.sh images/fw.img >/dev/null
echo "firmware 2.07 release notes" >images/NOTES.TXT
MTOOLS_SKIP_CHECK=1 mcopy -i images/fw.img images/NOTES.TXT ::NOTES.TXT
MTOOLS_SKIP_CHECK=1 mlabel -i images/fw.img ::FW207
mkfs.fat -C -F 12 -n PLAIN images/plain.img 1440 >/dev/null
head -c "$(stat -c %s images/fw.img)" /dev/urandom >images/random.img

# watch_for FILE: from now until watch_end, every process's arguments and
# environment are read, 50 times a second, for FILE's first line (read from
# the file by one Python process, so that no watcher's arguments hold it);
# watch_end then fails when it was seen.
watch_for() {
    rm -f keys/seen
    /usr/bin/python3 - "$1" keys/seen <<'EOF' &
import os, sys, time
with open(sys.argv[1], 'rb') as f:
    secret = f.readline().rstrip(b'\r\n')
while secret:
    for pid in filter(str.isdigit, os.listdir('/proc')):
        for part in ('cmdline', 'environ'):
            try:
                with open('/proc/%s/%s' % (pid, part), 'rb') as f:
                    if secret in f.read():
                        open(sys.argv[2], 'w').close()
            except OSError:
                pass
    time.sleep(0.02)
EOF
    watcher=$!
}
watch_end() {
    kill "$watcher"
    wait "$watcher" 2>/dev/null || true
    watcher=
    [ ! -e keys/seen ]
}

# refusals CASE...: runs each "what | exit | text on standard error | setup
# | arguments" (OUTDIR, refused, last), and checks the exit code, the text,
# and that nothing was left behind (a folder that was there, as it was).
refusals() {
    local c what want text setup args before rc
    for c in "$@"; do
        IFS='|' read -r what want text setup args <<<"$c"
        rm -rf refused
        [ -z "$setup" ] || "$setup"
        before=$(find refused -type f -exec sha256sum {} + 2>/dev/null || true)
        rc=0
        # shellcheck disable=SC2086 # the arguments are words
        "$release" $args refused >refused.out 2>refused.err </dev/null || rc=$?
        git -C tree checkout -q -- .
        check "$what: exit $want, saying \"$text\"" \
            '[ "$rc" = "$want" ] && grep -qF -- "$text" refused.err || { cat refused.out refused.err; false; }'
        check "$what: nothing left behind" \
            '[ "$before" = "$(find refused -type f -exec sha256sum {} + 2>/dev/null || true)" ] && [ -z "$(ls -A | grep "^\.refused")" ]'
    done
}
