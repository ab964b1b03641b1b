#!/usr/bin/env bash
# Tells what a fwdisk.exe carries: its program part, its signatures, and the
# diskette image the program would write, found by the program's own rule
# (src/programfile.cpp, built natively as build/tools/image-start): before
# the certificate table of a signed copy, at the end of an unsigned one; a
# copy cut short is refused as the program refuses it.
#
#   scripts/inspect.sh FWDISK.EXE [--image OUT]
#
# --image OUT writes the image's 1,474,560 bytes to OUT. Exit 0 when the
# program would write an image, 1 when it would refuse the file, 2 on a
# usage error or a file that cannot be read.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

usage() {
    echo "usage: scripts/inspect.sh FWDISK.EXE [--image OUT]" >&2
    exit 2
}
exe='' out=''
while [ $# -gt 0 ]; do
    case $1 in
    --image) [ $# -ge 2 ] && [ -n "$2" ] || usage; out=$2; shift 2 ;;
    -*) usage ;;
    *) [ -z "$exe" ] || usage; exe=$1; shift ;;
    esac
done
[ -n "$exe" ] || usage
[ -f "$exe" ] && [ -r "$exe" ] || { echo "inspect.sh: $exe: not a readable file" >&2; exit 2; }
image_size=$("$root/scripts/lib/image-size.sh")

# The rule, built afresh whenever its sources are newer than the tool; built
# beside it and moved in whole, so that two runs at once never see half a
# tool.
tool=$root/build/tools/image-start
if [ ! -x "$tool" ] || [ "$root/src/programfile.cpp" -nt "$tool" ] ||
    [ "$root/src/programfile.h" -nt "$tool" ] || [ "$root/scripts/lib/image-start.cpp" -nt "$tool" ]; then
    mkdir -p "$(dirname "$tool")"
    g++ -O2 -Wall -Wextra -Werror -o "$tool.$$" "$root/src/programfile.cpp" "$root/scripts/lib/image-start.cpp"
    mv -f "$tool.$$" "$tool"
fi

rc=0
found=$("$tool" "$exe") || rc=$?
[ "$rc" -le 1 ] || exit 2
size=$(sed -n 's/^size //p' <<<"$found")
start=$(sed -n 's/^start //p' <<<"$found")

# Numbers as people read them: 1,474,560.
commas() { sed ':a;s/\B[0-9]\{3\}\>/,&/;ta' <<<"$1"; }
sha256() { sha256sum | cut -d' ' -f1; }

echo "File:       $(realpath "$exe") ($(commas "$size") bytes)"
if [ "$start" = none ]; then
    echo "Image:      none: the file holds no whole image (a copy cut short?); the program"
    echo "            refuses it (\"No FWDISK image in program file\") and writes nothing"
    exit 1
fi
end=$((start + image_size))
echo "Program:    $(commas "$start") bytes, SHA-256 $(dd if="$exe" iflag=count_bytes count="$start" status=none | sha256)"

# The signatures, as osslsigncode reads them: each one's digest and signer.
if [ "$end" -eq "$size" ]; then
    echo "Signed:     no"
else
    echo "Signed:     yes: a certificate table of $(commas $((size - end))) bytes follows the image"
    # Its verdict on trust is not ours to give: a test certificate fails it.
    if command -v osslsigncode >/dev/null; then
        { osslsigncode verify -in "$exe" 2>/dev/null || true; } | awk '
            /^Signature Index:/ { n = $3 + 1; next }
            n && !digest[n] && /^Message digest algorithm *:/ { digest[n] = $NF; next }
            n && !signer[n] && /Subject:/ { sub(/^[^:]*: */, ""); signer[n] = $0 }
            END { for (i = 1; i <= n; i++) printf "            signature %d%s: %s, signed by %s\n", i, (i > 1 ? " (nested)" : ""), digest[i], signer[i] }'
    fi
fi

# The image itself: its bytes, and what its boot sector says.
tmp=$(mktemp -d "${TMPDIR:-/tmp}/inspect.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
dd if="$exe" of="$tmp/image" iflag=skip_bytes,count_bytes skip="$start" count="$image_size" status=none
# Its checks name the file given, and where in it the image lies.
"$root/scripts/image-info.sh" --as inspect.sh --shown-as "$(realpath "$exe") (its image, at byte $(commas "$start"))" \
    "$tmp/image" >"$tmp/info" || true
echo "Image:      bytes $(commas "$start") to $(commas "$end") ($(commas "$image_size") bytes), SHA-256 $(sed -n 's/^SHA-256: *//p' "$tmp/info")"
grep -v -e '^Image:' -e '^SHA-256:' "$tmp/info" | sed 's/^/            /' || true
if [ -n "$out" ]; then
    cp "$tmp/image" "$out"
    echo "Written:    $out"
fi
exit 0
