#!/usr/bin/env bash
# Says what a diskette image is, from its boot sector, and whether it is one
# that fwdisk.exe can carry: a 1.44 MB FAT12 diskette.
#
#   scripts/image-info.sh [--as NAME] [--shown-as TEXT] IMAGE
#
# NAME begins each message (image-info.sh by default); TEXT stands for the
# image file in them (its path by default), for a caller that checks a
# temporary copy of bytes taken from another file.
#
# Prints, on standard output, for any image file of the right size:
#   Image:    /absolute/path/of/IMAGE
#   SHA-256:  <hex of the whole file>
#   OEM name: "<bytes 3..10>"
#   Label:    "<bytes 43..53>"   (or: none, when byte 38 is not 0x29)
#   Format:   1.44 MB FAT12 diskette (512 bytes per sector, 2,880 sectors,
#             18 per track, 2 heads, media 0xF0), boot signature 55 AA
#             (one line; "not a 1.44 MB FAT12 diskette (...)" and the fields
#             as they are, otherwise)
# Names and labels lose their trailing spaces; a byte outside printable
# ASCII shows as \xNN.
#
# The image must be exactly IMAGE_SIZE bytes (scripts/lib/image-size.sh) and its
# boot sector must describe a 1.44 MB diskette, which is what the program's
# write leaves on the drive: 55 AA at byte 510; 512 bytes per sector (11),
# 2,880 sectors in all (19, or 32 when that is 0), 18 sectors per track (24),
# 2 heads (26), media byte 0xF0 (21); and, when the extended boot signature
# 0x29 stands at byte 38, the file system type "FAT12   " at 54. Each field
# that differs gets a line on standard error, "NAME: IMAGE: ...".
#
# Exit code: 0 a 1.44 MB FAT12 diskette; 1 the boot sector does not describe
# one (the lines above are printed); 2 wrong usage, IMAGE is missing, a
# folder, not a regular file, unreadable, or not IMAGE_SIZE bytes (nothing
# the program could carry; only the message is printed).
set -euo pipefail
name=image-info.sh shown=
while [ $# -ge 2 ]; do
    case $1 in
    --as) name=$2 ;;
    --shown-as) shown=$2 ;;
    *) break ;;
    esac
    shift 2
done
if [ $# -ne 1 ] || [ -z "$1" ]; then
    echo "usage: image-info.sh [--as NAME] [--shown-as TEXT] IMAGE" >&2
    exit 2
fi
file=$1
shown=${shown:-$file}
fail() { echo "$name: $shown: $*" >&2; exit 2; }

[ -e "$file" ] || fail "no such file"
[ ! -d "$file" ] || fail "is a folder, not a diskette image file"
[ -f "$file" ] || fail "is not a regular file"
image_size=$("$(dirname "$0")/lib/image-size.sh")
size=$(stat -c %s -- "$file")
[ "$size" -eq "$image_size" ] ||
    fail "is $size bytes; a 1.44 MB diskette image is exactly $image_size bytes"
if ! dump=$(od -An -tu1 -v -N512 -- "$file" 2>/dev/null) || ! sum=$(sha256sum <"$file" 2>/dev/null); then
    fail "cannot be read"
fi
read -r -a b <<<"${dump//$'\n'/ }"

u16() { echo $((b[$1] | b[$1 + 1] << 8)); }
u32() { echo $((b[$1] | b[$1 + 1] << 8 | b[$1 + 2] << 16 | b[$1 + 3] << 24)); }
# text OFFSET LENGTH: the bytes as a quoted string, trailing spaces dropped.
text() {
    local i out=
    for ((i = $1; i < $1 + $2; i++)); do
        if ((b[i] >= 32 && b[i] < 127 && b[i] != 34 && b[i] != 92)); then
            out+=$(printf '%b' "\\0$(printf %03o "${b[i]}")")
        else
            out+=$(printf '\\x%02X' "${b[i]}")
        fi
    done
    out="${out%"${out##*[! ]}"}"
    echo "\"$out\""
}
grouped() { sed ':a;s/\B[0-9]\{3\}\>/,&/;ta' <<<"$1"; }

per_sector=$(u16 11) sectors=$(u16 19) per_track=$(u16 24) heads=$(u16 26) media=$((b[21]))
[ "$sectors" -ne 0 ] || sectors=$(u32 32)
label=none type=
if ((b[38] == 0x29)); then
    label=$(text 43 11)
    type=$(text 54 8)
fi

problems=()
# expect WHAT VALUE WANTED: notes a field that is not the diskette's.
expect() { [ "$2" = "$3" ] || problems+=("$1 is $2, a 1.44 MB diskette has $3"); }
expect "bytes per sector" "$per_sector" 512
expect "the number of sectors" "$sectors" 2880
expect "sectors per track" "$per_track" 18
expect "the number of heads" "$heads" 2
expect "the media byte" "$(printf 0x%02X "$media")" 0xF0
[ -z "$type" ] || expect "the file system type" "$type" '"FAT12"'
signature=$(printf '%02X %02X' "${b[510]}" "${b[511]}")
expect "the boot signature at byte 510" "$signature" "55 AA"

fields="$per_sector bytes per sector, $(grouped "$sectors") sectors, $per_track per track, $heads heads, media $(printf 0x%02X "$media")"
if [ "$signature" = "55 AA" ]; then signed="boot signature 55 AA"; else signed="no boot signature 55 AA"; fi
verdict="1.44 MB FAT12 diskette"
[ ${#problems[@]} -eq 0 ] || verdict="not a $verdict"

echo "Image:    $(realpath -s -- "$file")"
echo "SHA-256:  ${sum%% *}"
echo "OEM name: $(text 3 8)"
echo "Label:    $label"
echo "Format:   $verdict ($fields), $signed"
for p in "${problems[@]}"; do
    echo "$name: $shown: $p" >&2
done
[ ${#problems[@]} -eq 0 ] || exit 1
