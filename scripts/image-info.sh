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
# A boot sector whose bytes from 3 on are boot code (a jump, then NOPs, say)
# has no BIOS parameter block, and its code is not read as fields. Such is a
# boot sector none of whose four basic fields has a value a FAT volume can
# have: bytes per sector (11) 512, 1,024, 2,048 or 4,096; sectors per
# cluster (13) a power of two; the number of FATs (16) 1 or 2; the media
# byte (21) 0xF0 or 0xF8 to 0xFF. One such value makes it a parameter block,
# its other fields merely wrong. For it the lines say so:
#   OEM name: none (the boot sector has no BIOS parameter block)
#   Label:    none
#   Format:   not a 1.44 MB FAT12 diskette: its boot sector has no BIOS
#             parameter block (bytes 11 to 61 are code or other data), boot
#             signature 55 AA   (one line)
#
# The image must be exactly IMAGE_SIZE bytes (scripts/lib/image-size.sh) and its
# boot sector must describe a 1.44 MB diskette, which is what the program's
# write leaves on the drive: 55 AA at byte 510; 512 bytes per sector (11),
# 2,880 sectors in all (19, or 32 when that is 0), 18 sectors per track (24),
# 2 heads (26), media byte 0xF0 (21); and, when the extended boot signature
# 0x29 stands at byte 38, the file system type "FAT12   " at 54. Each field
# that differs gets a line on standard error, "NAME: IMAGE: ..."; a boot
# sector without a parameter block gets one line for that, and one for the
# boot signature when that differs too.
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

# text VAR OFFSET LENGTH: VAR becomes the bytes as a quoted string, trailing
# spaces dropped (builtins only: a fork for each byte is slow).
text() {
    local i c out=
    for ((i = $2; i < $2 + $3; i++)); do
        if ((b[i] >= 32 && b[i] < 127 && b[i] != 34 && b[i] != 92)); then
            printf -v c %03o "${b[i]}"
            printf -v c %b "\\0$c"
        else
            printf -v c '\\x%02X' "${b[i]}"
        fi
        out+=$c
    done
    out="${out%"${out##*[! ]}"}"
    printf -v "$1" '"%s"' "$out"
}
# grouped VAR NUMBER: VAR becomes the number as people read it, 2,880.
grouped() {
    local n=$2 out=''
    while [ ${#n} -gt 3 ]; do out=,${n: -3}$out n=${n::-3}; done
    printf -v "$1" %s "$n$out"
}

per_sector=$((b[11] | b[12] << 8)) per_cluster=${b[13]} fats=${b[16]} media=${b[21]}
sectors=$((b[19] | b[20] << 8)) per_track=$((b[24] | b[25] << 8)) heads=$((b[26] | b[27] << 8))
[ "$sectors" -ne 0 ] || sectors=$((b[32] | b[33] << 8 | b[34] << 16 | b[35] << 24))
printf -v media_hex 0x%02X "$media"
printf -v signature '%02X %02X' "${b[510]}" "${b[511]}"
if [ "$signature" = "55 AA" ]; then signed="boot signature 55 AA"; else signed="no boot signature 55 AA"; fi
bpb=
case $per_sector in 512 | 1024 | 2048 | 4096) bpb=yes ;; esac
((per_cluster == 0 || (per_cluster & (per_cluster - 1)) != 0)) || bpb=yes
((fats != 1 && fats != 2)) || bpb=yes
((media != 0xF0 && media < 0xF8)) || bpb=yes

problems=()
# expect WHAT VALUE WANTED: notes a field that is not the diskette's.
expect() { [ "$2" = "$3" ] || problems+=("$1 is $2, a 1.44 MB diskette has $3"); }
verdict="1.44 MB FAT12 diskette"
if [ -z "$bpb" ]; then
    problems+=("the boot sector has no BIOS parameter block (no FAT volume has its bytes per sector, sectors per cluster, number of FATs or media byte)")
    expect "the boot signature at byte 510" "$signature" "55 AA"
    oem="none (the boot sector has no BIOS parameter block)" label=none
    format="not a $verdict: its boot sector has no BIOS parameter block (bytes 11 to 61 are code or other data), $signed"
else
    text oem 3 8
    label=none type=
    if ((b[38] == 0x29)); then
        text label 43 11
        text type 54 8
    fi
    expect "bytes per sector" "$per_sector" 512
    expect "the number of sectors" "$sectors" 2880
    expect "sectors per track" "$per_track" 18
    expect "the number of heads" "$heads" 2
    expect "the media byte" "$media_hex" 0xF0
    [ -z "$type" ] || expect "the file system type" "$type" '"FAT12"'
    expect "the boot signature at byte 510" "$signature" "55 AA"
    [ ${#problems[@]} -eq 0 ] || verdict="not a $verdict"
    sectors_text=''
    grouped sectors_text "$sectors"
    format="$verdict ($per_sector bytes per sector, $sectors_text sectors, $per_track per track, $heads heads, media $media_hex), $signed"
fi

echo "Image:    $(realpath -s -- "$file")"
echo "SHA-256:  ${sum%% *}"
echo "OEM name: $oem"
echo "Label:    $label"
echo "Format:   $format"
for p in "${problems[@]}"; do
    echo "$name: $shown: $p" >&2
done
[ ${#problems[@]} -eq 0 ] || exit 1
