#!/bin/bash
# End-to-end test of the boot diskette image: build it twice with
# payload/make-image.sh, check size, file system, boot sector and
# reproducibility, then boot it in QEMU with boot-image.sh.
#
#   tests/boot/payload-test.sh
#
# Exit 0 when every check passes. The last line reads "N passed, M failed".
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
make_image="$root/payload/make-image.sh"
boot_image="$here/boot-image.sh"
bios_dir="${SYSLINUX_BIOS_DIR:-/usr/lib/syslinux/modules/bios}"

export PATH="$PATH:/usr/sbin:/sbin"
export MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null

passed=0
failed=0
pass() {
    passed=$((passed + 1))
    echo "ok   - $1"
}
fail() {
    failed=$((failed + 1))
    echo "FAIL - $1"
    shift
    local line
    for line in "$@"; do echo "       $line"; done
}
finish() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    exit
}

tmp=$(mktemp -d "${TMPDIR:-/tmp}/payload-test.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

# --- build twice ------------------------------------------------------------
# The second build runs in another time zone, from another directory, with
# another umask and at least two seconds later (FAT times have a two second
# resolution), so a leak of the build time or environment into the image
# shows up as a different hash.
img1="$tmp/build1/fwdisk.img"
img2="$tmp/build2/fwdisk.img"
mkdir -p "$tmp/build1" "$tmp/build2"

t0=$(date +%s)
if out=$("$make_image" "$img1" 2>&1); then
    pass "first build succeeds"
else
    fail "first build succeeds" "$out"
    finish
fi

while [ "$(date +%s)" -lt $((t0 + 2)) ]; do sleep 0.2; done
if out=$(cd "$tmp" && umask 077 && TZ=Pacific/Kiritimati "$make_image" "$img2" 2>&1); then
    pass "second build succeeds"
else
    fail "second build succeeds" "$out"
fi

size=$(stat -c %s "$img1")
if [ "$size" -eq 1474560 ]; then
    pass "image is 1474560 bytes"
else
    fail "image is 1474560 bytes" "got $size bytes"
fi

if [ -f "$img2" ]; then
    sum1=$(sha256sum <"$img1" | cut -d' ' -f1)
    sum2=$(sha256sum <"$img2" | cut -d' ' -f1)
    if [ "$sum1" = "$sum2" ]; then
        pass "both builds are byte-identical (sha256 $sum1)"
    else
        fail "both builds are byte-identical" "build 1: $sum1" "build 2: $sum2" \
            "differing bytes (offset, octal values):" \
            "$(cmp -l "$img1" "$img2" | head -n 10)"
    fi
fi

# --- boot sector and file system ---------------------------------------------
sig=$(od -An -tx1 -j510 -N2 "$img1" | tr -d ' \n')
if [ "$sig" = "55aa" ]; then
    pass "boot sector signature 55 AA at offset 510"
else
    fail "boot sector signature 55 AA at offset 510" "found '$sig'"
fi

# field NAME: value of "NAME: value" or NAME="value" in minfo's listing
info=$(minfo -i "$img1" :: 2>&1) || fail "minfo reads the image" "$info"
field() { sed -n -e "s/^$1: *//p" -e "s/^$1=//p" <<<"$info" | head -n1; }
geometry_errors=()
expect() { # expect DESCRIPTION ACTUAL WANTED
    [ "$2" = "$3" ] || geometry_errors+=("$1: got '$2', want '$3'")
}
expect "FAT type" "$(field 'disk type' | tr -d '" ')" "FAT12"
expect "sector size" "$(field 'sector size')" "512 bytes"
expect "total sectors" "$(field 'small size')" "2880 sectors"
expect "sectors per track" "$(field 'sectors per track')" "18"
expect "heads" "$(field 'heads')" "2"
expect "cylinders" "$(field 'cylinders')" "80"
expect "media byte" "$(field 'media descriptor byte')" "0xf0"
expect "sectors per cluster" "$(field 'cluster size')" "1 sectors"
expect "reserved sectors" "$(field 'reserved (boot) sectors')" "1"
expect "FATs" "$(field 'fats')" "2"
expect "sectors per FAT" "$(field 'sectors per fat')" "9"
expect "root directory entries" "$(field 'max available root directory slots')" "224"
expect "hidden sectors" "$(field 'hidden sectors')" "0"
expect "volume label" "$(field 'disk label' | tr -d '"' | sed 's/ *$//')" "FWDISK"
if [ ${#geometry_errors[@]} -eq 0 ]; then
    pass "FAT12 with 1.44 MB diskette geometry (80 x 2 x 18, media F0)"
else
    fail "FAT12 with 1.44 MB diskette geometry" "${geometry_errors[@]}"
fi

if out=$(fsck.fat -n "$img1" 2>&1); then
    pass "fsck.fat -n finds no errors"
else
    fail "fsck.fat -n finds no errors" "$out"
fi

# The boot files on the diskette are the ones from the source tree and from
# the installed syslinux modules, not stale or mixed-up copies.
mismatch=()
check_copy() { # check_copy IMAGE_NAME SOURCE
    if ! mtype -i "$img1" "::/$1" >"$tmp/extracted" 2>"$tmp/err"; then
        mismatch+=("$1 missing: $(cat "$tmp/err")")
    elif ! cmp -s "$tmp/extracted" "$2"; then
        mismatch+=("$1 differs from $2")
    fi
}
check_copy SYSLINUX.CFG "$root/payload/files/SYSLINUX.CFG"
check_copy BANNER.TXT "$root/payload/files/BANNER.TXT"
check_copy CAT.C32 "$bios_dir/cat.c32"
check_copy POWEROFF.C32 "$bios_dir/poweroff.c32"
# LDLINUX.SYS and LDLINUX.C32 come from inside the syslinux installer, which
# Debian builds separately from the module files, so they are only checked
# for presence.
for f in LDLINUX.SYS LDLINUX.C32; do
    mtype -i "$img1" "::/$f" >/dev/null 2>&1 || mismatch+=("$f missing")
done
mtype -i "$img1" ::/README.TXT >/dev/null 2>&1 || mismatch+=("README.TXT missing")
if [ ${#mismatch[@]} -eq 0 ]; then
    pass "boot files on the image match their sources"
else
    fail "boot files on the image match their sources" "${mismatch[@]}"
fi

# --- missing tool -------------------------------------------------------------
# With syslinux off the PATH the build must stop, name the tool and leave
# no output file behind.
fakebin="$tmp/fakebin"
mkdir "$fakebin"
for tool in bash dirname mktemp rm cp mv mkdir touch stat date mkfs.fat mcopy mattrib; do
    p=$(command -v "$tool") && ln -s "$p" "$fakebin/$tool"
done
nosys="$tmp/nosyslinux.img"
if out=$(PATH="$fakebin" "$fakebin/bash" "$make_image" "$nosys" 2>&1); then
    fail "build without syslinux fails with a clear message" "it succeeded: $out"
elif ! grep -q "syslinux" <<<"$out"; then
    fail "build without syslinux fails with a clear message" "message does not name syslinux: $out"
elif [ -e "$nosys" ]; then
    fail "build without syslinux fails with a clear message" "it left $nosys behind"
else
    pass "build without syslinux fails with a clear message"
fi

# --- boot ----------------------------------------------------------------------
if out=$("$boot_image" "$img1" 2>&1); then
    pass "boots in QEMU, prints the banner on COM1 and powers off (${out##*after })"
else
    fail "boots in QEMU, prints the banner on COM1 and powers off" "$out"
fi

finish
