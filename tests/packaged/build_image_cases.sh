#!/usr/bin/env bash
# What scripts/build.sh packages and what it refuses: each case runs it from
# another folder with a relative FWDISK_IMAGE, in one copy of the checkout
# (the files git tracks), on an image made here with mkfs.fat, dd and
# /dev/urandom. A refusal must name what is wrong and leave neither
# fwdisk.exe nor fwdisk64.exe, not even those the case before it built.
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/fwdisk-build-cases.XXXXXX")
trap 'rm -rf "$work"' EXIT
tree=$work/tree
mkdir -p "$tree" "$work/images/folder"
(cd "$src" && git ls-files -z | tar --null -T - -cf -) | tar -xf - -C "$tree"

size=$("$tree/scripts/lib/image-size.sh")
cd "$work"
PATH=$PATH:/usr/sbin
mkfs.fat -C -F 12 -n VENDORFW images/good.img $((size / 1024)) >/dev/null
mkfs.fat -C -F 12 -g 2/9 images/spt9.img $((size / 1024)) >/dev/null
cp images/good.img images/nosig.img
printf '\0\0' | dd of=images/nosig.img bs=1 seek=510 conv=notrunc status=none
# A boot sector of boot code, no parameter block: a jump, then NOPs up to 55 AA.
cp images/good.img images/code.img
{ printf '\xEB\x3C\x90'; head -c 507 /dev/zero | tr '\0' '\220'; } | dd of=images/code.img conv=notrunc status=none
head -c "$size" /dev/urandom >images/random.img
head -c $((size - 1)) images/good.img >images/short.img

# what | FWDISK_IMAGE | FWDISK_IMAGE_UNCHECKED | built or refused | texts the
# output holds (=TEXT: as a whole line; !TEXT: nowhere)
nobpb="the boot sector has no BIOS parameter block"
cases=(
    "a diskette, by a relative path|images/good.img||built|Label:    \"VENDORFW\""
    "no 55 AA|images/nosig.img||refused|FWDISK_IMAGE: $work/images/nosig.img: the boot signature at byte 510 is 00 00|not packaged; FWDISK_IMAGE_UNCHECKED=1"
    "no 55 AA, unchecked|images/nosig.img|1|built|Unchecked: packaged as FWDISK_IMAGE_UNCHECKED=1"
    "one byte short, unchecked|images/short.img|1|refused|images/short.img: is $((size - 1)) bytes; a 1.44 MB diskette image is exactly $size bytes"
    "9 sectors per track|images/spt9.img||refused|images/spt9.img: sectors per track is 9, a 1.44 MB diskette has 18"
    "a boot sector of code|images/code.img||refused|=OEM name: none ($nobpb)|=Label:    none|=Format:   not a 1.44 MB FAT12 diskette: its boot sector has no BIOS parameter block (bytes 11 to 61 are code or other data), boot signature 55 AA|=FWDISK_IMAGE: $work/images/code.img: $nobpb (no FAT volume has its bytes per sector, sectors per cluster, number of FATs or media byte)|!37008|!\\x90|not packaged; FWDISK_IMAGE_UNCHECKED=1"
    "random bytes|images/random.img||refused|Format:   not a 1.44 MB FAT12 diskette|not packaged; FWDISK_IMAGE_UNCHECKED=1"
    "a folder|images/folder||refused|FWDISK_IMAGE: $work/images/folder: is a folder"
)

# Each packaged program beside its linked one.
builds=("$tree/build/win/fwdisk-program.exe $tree/build/win/fwdisk.exe"
    "$tree/build/win64/fwdisk64-program.exe $tree/build/win64/fwdisk64.exe")
sha() { sha256sum <"$1" | cut -d' ' -f1; }
failed=0
for c in "${cases[@]}"; do
    IFS='|' read -r what image unchecked expect texts <<<"$c"
    status=0
    FWDISK_IMAGE=$image FWDISK_IMAGE_UNCHECKED=$unchecked "$tree/scripts/build.sh" --no-demo >out 2>&1 || status=$?
    problems=()
    IFS='|' read -r -a texts <<<"$texts"
    for t in "${texts[@]}"; do
        case $t in
        =*) grep -qxF -- "${t#=}" out || problems+=("no line \"${t#=}\"") ;;
        !*) ! grep -qF -- "${t#!}" out || problems+=("\"${t#!}\" printed") ;;
        *) grep -qF -- "$t" out || problems+=("no \"$t\"") ;;
        esac
    done
    if [ "$expect" = built ]; then
        [ "$status" -eq 0 ] || problems+=("exit $status")
        grep -qxF "Image:    $work/$image" out || problems+=("no Image line with the absolute path")
        [ "$(grep -c '^Image:' out)" -eq 1 ] || problems+=("the image checked more than once")
        grep -qxF "SHA-256:  $(sha "$image")" out || problems+=("no SHA-256 of the image")
        for build in "${builds[@]}"; do
            read -r program exe <<<"$build"
            # The file is the program, then the image; each SHA-256 printed is its file's.
            cat "$program" "$image" | cmp -s - "$exe" || problems+=("$(basename "$exe") is not the program followed by the image")
            for f in "$program" "$exe"; do
                [ ! -f "$f" ] || grep -qF "SHA-256 $(sha "$f")" out || problems+=("no SHA-256 of $f")
            done
        done
    else
        [ "$status" -ne 0 ] || problems+=("built")
        for build in "${builds[@]}"; do
            read -r program exe <<<"$build"
            [ ! -e "$exe" ] || problems+=("$(basename "$exe") left behind")
        done
    fi
    if [ ${#problems[@]} -eq 0 ]; then
        echo "ok: $what"
    else
        failed=$((failed + 1))
        echo "FAILED: $what: $(IFS=';'; echo "${problems[*]}")"
        sed 's/^/    /' out
    fi
done
echo "$failed of ${#cases[@]} cases failed"
[ "$failed" -eq 0 ]
