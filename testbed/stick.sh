# shellcheck shell=bash
# The 4 GB USB stick of the demo's PC (testbed/pc.sh, its drive E:) and of
# the boot trial (scripts/try-boot.sh), as a file. Needs no Wine.
#
#   stick_make FILE LOG   writes the stick FILE; mkfs.fat's output goes to LOG
#
# Where the stick's partition, the volume E:, starts (LBA 2048), and its
# size: START and the geometry of E:'s line in pc.sh's drive table.
PC_STICK_START=1048576
PC_STICK_VOLUME=$((486 * 255 * 63 * 512))

# Writes FILE: a sparse 4 GB disk whose MBR carries syslinux's boot code and
# one active FAT32 (LBA) partition at 1 MiB that holds a fresh FAT32 file
# system. Says why on stderr and returns 1 when it cannot.
stick_make() {
    local file=$1 log=$2 mbr=/usr/lib/syslinux/mbr/mbr.bin sectors=$((PC_STICK_VOLUME / 512))
    [ -r "$mbr" ] || { echo "no $mbr (scripts/lib/deps.sh installs syslinux-common)" >&2; return 1; }
    rm -f "$file"
    truncate -s $((PC_STICK_START + PC_STICK_VOLUME)) "$file"
    dd if="$mbr" of="$file" conv=notrunc status=none
    # The partition entry: active, CHS 0/32/33 to the CHS maximum, type 0x0C,
    # first sector and sector count in little-endian; then the signature.
    {
        printf '\x80\x20\x21\x00\x0c\xfe\xff\xff'
        stick_le32 $((PC_STICK_START / 512))
        stick_le32 "$sectors"
    } | dd of="$file" bs=1 seek=446 conv=notrunc status=none
    printf '\x55\xaa' | dd of="$file" bs=1 seek=510 conv=notrunc status=none
    PATH=$PATH:/usr/sbin:/sbin mkfs.fat -F 32 -n STICK -i 1234abcd -h 2048 \
        --offset $((PC_STICK_START / 512)) "$file" $((PC_STICK_VOLUME / 1024)) \
        >>"$log" 2>&1 || { echo "mkfs.fat on the stick $file failed (see $log)" >&2; return 1; }
}

# Prints the number N as 4 bytes, least significant first.
stick_le32() {
    local n=$1 i
    for i in 0 1 2 3; do
        # shellcheck disable=SC2059 # the format is the byte itself
        printf "\\x$(printf %02x $(((n >> (8 * i)) & 255)))"
    done
}
