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
size='' start=''
while read -r key value; do
    case $key in size) size=$value ;; start) start=$value ;; esac
done <<<"$found"

# commas VAR NUMBER: VAR becomes the number as people read it, 1,474,560
# (builtins only, as for every figure below: each fork costs).
commas() {
    local n=$2 grouped=''
    while [ ${#n} -gt 3 ]; do grouped=,${n: -3}$grouped n=${n::-3}; done
    printf -v "$1" %s "$n$grouped"
}
size_text='' start_text='' end_text='' image_size_text='' table_text=''

path=$(realpath "$exe")
commas size_text "$size"
echo "File:       $path ($size_text bytes)"
if [ "$start" = none ]; then
    echo "Image:      none: the file holds no whole image (a copy cut short?); the program"
    echo "            refuses it (\"No FWDISK image in program file\") and writes nothing"
    exit 1
fi
end=$((start + image_size))
commas start_text "$start"
commas end_text "$end"
commas image_size_text "$image_size"
program_sum=$(dd if="$exe" iflag=count_bytes count="$start" status=none | sha256sum)
echo "Program:    $start_text bytes, SHA-256 ${program_sum%% *}"

# The signatures, read from the certificate table (scripts/lib/signatures.py):
# each one's digest, signer and kind of timestamp. Whether they verify is
# osslsigncode verify's verdict, not ours: a test certificate fails it.
if [ "$end" -eq "$size" ]; then
    echo "Signed:     no"
else
    commas table_text $((size - end))
    echo "Signed:     yes: a certificate table of $table_text bytes follows the image"
    if listed=$(/usr/bin/python3 "$root/scripts/lib/signatures.py" "$exe" 2>&1); then
        while IFS= read -r line; do echo "            $line"; done <<<"$listed"
    else
        echo "            its signatures cannot be read: ${listed#"signatures.py: $exe: "}"
    fi
fi

# The image itself: its bytes, and what its boot sector says.
tmp=$(mktemp -d "${TMPDIR:-/tmp}/inspect.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
dd if="$exe" of="$tmp/image" iflag=skip_bytes,count_bytes skip="$start" count="$image_size" status=none
# Its checks name the file given, and where in it the image lies.
"$root/scripts/image-info.sh" --as inspect.sh --shown-as "$path (its image, at byte $start_text)" \
    "$tmp/image" >"$tmp/info" || true
# What it says of the image but its path and SHA-256, which the Image line says.
image_sum='' said=()
while IFS= read -r line; do
    case $line in
    Image:*) ;;
    SHA-256:*) image_sum=${line##* } ;;
    *) said+=("            $line") ;;
    esac
done <"$tmp/info"
echo "Image:      bytes $start_text to $end_text ($image_size_text bytes), SHA-256 $image_sum"
for line in "${said[@]}"; do echo "$line"; done
if [ -n "$out" ]; then
    cp "$tmp/image" "$out"
    echo "Written:    $out"
fi
exit 0
