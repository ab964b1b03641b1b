#!/bin/bash
# Boots a diskette image, or with --hard-disk a whole disk, in QEMU
# (software emulation, no window) and checks that it prints the payload
# banner on COM1 and then powers the machine off.
#
#   testbed/boot-image.sh [--hard-disk] IMAGE
#
# A diskette is the BIOS's drive A:. A hard disk is its first IDE disk: the
# BIOS runs the disk's MBR, which starts the active partition; QEMU keeps the
# guest's writes to it in a temporary overlay.
# Exit 0 only if, within BOOT_TIMEOUT seconds (default 60), the serial output
# holds "FWDISK payload booted" and QEMU ends because the guest powered off.
# A guest reset also ends QEMU (-no-reboot) with status 0, so QEMU's shutdown
# trace event tells the two apart: a power-off logs
# qemu_system_shutdown_request reason=6 (guest shutdown), a reset under
# -no-reboot logs nothing.
set -euo pipefail

readonly BANNER="FWDISK payload booted"
limit=${BOOT_TIMEOUT:-60}

fail() {
    echo "boot-image.sh: FAIL: $*" >&2
    exit 1
}
drive="if=floppy,index=0,readonly=on" boot=a as="a diskette"
if [ "${1:-}" = --hard-disk ]; then
    drive="if=ide,index=0,snapshot=on" boot=c as="a hard disk"
    shift
fi
[ $# -eq 1 ] || { echo "usage: $0 [--hard-disk] IMAGE" >&2; exit 2; }
[ -r "$1" ] || fail "cannot read image '$1'"
command -v qemu-system-i386 >/dev/null || fail "qemu-system-i386 not found (scripts/deps.sh installs it)"
[[ $limit =~ ^[1-9][0-9]*$ ]] || fail "BOOT_TIMEOUT must be a positive number of seconds"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/boot-image.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
# QEMU option values use ',' as separator; a literal comma is written ',,'.
image=${1//,/,,}

start=$SECONDS
rc=0
timeout --kill-after=5 "$limit" qemu-system-i386 -accel tcg -machine pc -m 32 \
    -drive "file=$image,format=raw,$drive" -boot "$boot" \
    -no-reboot -nic none -display none -monitor none -parallel none \
    -serial "file:$tmp/serial.log" \
    -trace "qemu_system_shutdown_request,file=$tmp/trace.log" \
    </dev/null >"$tmp/qemu.log" 2>&1 || rc=$?

problems=()
case $rc in
0) grep -q 'qemu_system_shutdown_request reason=6$' "$tmp/trace.log" 2>/dev/null ||
    problems+=("QEMU ended without a guest power-off (a reset, or a QEMU without the 'log' trace backend)") ;;
124 | 137) problems+=("QEMU did not end within ${limit}s") ;;
*) problems+=("QEMU exited with status $rc") ;;
esac
grep -qF "$BANNER" "$tmp/serial.log" 2>/dev/null || problems+=("no \"$BANNER\" on COM1")

if [ ${#problems[@]} -ne 0 ]; then
    printf 'boot-image.sh: FAIL: %s\n' "${problems[@]}" >&2
    echo "--- COM1 (last 40 lines) ---" >&2
    tr -d '\r' <"$tmp/serial.log" 2>/dev/null | tail -n 40 | cat -v >&2 || true
    echo "--- QEMU ---" >&2
    cat "$tmp/qemu.log" >&2
    exit 1
fi
echo "boot-image.sh: COM1: $(tr -d '\r' <"$tmp/serial.log" | grep -F -m1 "$BANNER")"
echo "boot-image.sh: PASS: booted as $as: banner on COM1, guest powered off after $((SECONDS - start))s"
