#!/bin/bash
# Boot a diskette image in QEMU (software emulation, no window) and check
# that it prints the payload banner on COM1 and then powers the machine off.
#
#   tests/boot/boot-image.sh IMAGE
#
# Passes (exit 0) only if, within BOOT_TIMEOUT seconds (default 60):
#   - the serial output contains "FWDISK payload booted", and
#   - QEMU exits by itself because the guest powered the machine off.
# A guest reset also makes QEMU exit (-no-reboot) with status 0; that must
# fail, so the QEMU shutdown trace event is used to see why QEMU stopped:
# a guest power-off logs qemu_system_shutdown_request reason=6, a reset under
# -no-reboot logs nothing.
#
# Environment: QEMU (default qemu-system-i386), BOOT_TIMEOUT (seconds).
set -euo pipefail

readonly BANNER="FWDISK payload booted"
# QEMU's ShutdownCause value for a guest power-off, as the trace event
# prints it.
readonly CAUSE_GUEST_SHUTDOWN=6

qemu=${QEMU:-qemu-system-i386}
limit=${BOOT_TIMEOUT:-60}

fail() {
    echo "boot-image.sh: FAIL: $*" >&2
    exit 1
}

[ $# -eq 1 ] || {
    echo "usage: $0 IMAGE" >&2
    exit 2
}
image=$1
if [ ! -f "$image" ] || [ ! -r "$image" ]; then
    fail "cannot read image '$image'"
fi
command -v "$qemu" >/dev/null 2>&1 ||
    fail "'$qemu' not found; install the Debian package qemu-system-x86"
command -v timeout >/dev/null 2>&1 || fail "'timeout' (coreutils) not found"
if ! [[ $limit =~ ^[1-9][0-9]*$ ]]; then
    fail "BOOT_TIMEOUT must be a positive number of seconds"
fi

tmp=$(mktemp -d "${TMPDIR:-/tmp}/boot-image.XXXXXX")
qemu_pid=
cleanup() {
    # Only the timeout process we started (it passes the signal on to its
    # QEMU child).
    if [ -n "$qemu_pid" ] && kill -0 "$qemu_pid" 2>/dev/null; then
        kill -TERM "$qemu_pid" 2>/dev/null || true
        wait "$qemu_pid" 2>/dev/null || true
    fi
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

serial="$tmp/serial.log"
trace="$tmp/trace.log"
qemu_err="$tmp/qemu.stderr"

# QEMU option values use ',' as separator; a literal comma is written ',,'.
qarg() { printf '%s' "${1//,/,,}"; }

qemu_args=(
    -accel tcg
    -machine pc
    -m 32
    -drive "file=$(qarg "$image"),if=floppy,index=0,format=raw,readonly=on"
    -boot a
    -no-reboot
    -nic none
    -display none
    -monitor none
    -parallel none
    -serial "file:$(qarg "$serial")"
    -trace "qemu_system_shutdown_request,file=$(qarg "$trace")"
)

start=$(date +%s.%N)
timeout --kill-after=5 "$limit" "$qemu" "${qemu_args[@]}" \
    </dev/null >"$tmp/qemu.stdout" 2>"$qemu_err" &
qemu_pid=$!
rc=0
wait "$qemu_pid" || rc=$?
qemu_pid=
end=$(date +%s.%N)
elapsed=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }')

show_output() {
    local lines
    echo "--- serial output (COM1) ---" >&2
    if [ -s "$serial" ]; then
        lines=$(tr -d '\r' <"$serial" | wc -l)
        if [ "$lines" -gt 60 ]; then
            echo "(first 20 and last 40 of $lines lines)" >&2
            { tr -d '\r' <"$serial" | head -n 20; echo "[...]"; tr -d '\r' <"$serial" | tail -n 40; } | cat -v >&2
        else
            tr -d '\r' <"$serial" | cat -v >&2
        fi
        echo >&2
    else
        echo "(nothing)" >&2
    fi
    if [ -s "$qemu_err" ]; then
        echo "--- qemu stderr ---" >&2
        cat "$qemu_err" >&2
    fi
    echo "---" >&2
}

cause=
if [ -f "$trace" ]; then
    cause=$(sed -n 's/.*qemu_system_shutdown_request reason=\([0-9]*\).*/\1/p' "$trace" | head -n1)
fi

problems=()
case $rc in
0) ;;
124 | 137) problems+=("QEMU did not exit within ${limit}s (killed by timeout)") ;;
*) problems+=("QEMU exited with status $rc") ;;
esac
if [ "$rc" -eq 0 ]; then
    case $cause in
    "$CAUSE_GUEST_SHUTDOWN") ;;
    # A reset under -no-reboot ends QEMU without this trace event.
    "") problems+=("QEMU exited without a guest power-off: the guest reset the machine (or this QEMU lacks the 'log' trace backend)") ;;
    *) problems+=("QEMU stopped for shutdown cause $cause, not a guest power-off") ;;
    esac
fi
if ! grep -qF "$BANNER" "$serial" 2>/dev/null; then
    problems+=("serial output lacks \"$BANNER\"")
fi

if [ ${#problems[@]} -ne 0 ]; then
    for p in "${problems[@]}"; do
        echo "boot-image.sh: FAIL: $p" >&2
    done
    show_output
    exit 1
fi

echo "boot-image.sh: COM1: $(tr -d '\r' <"$serial" | grep -F -m1 "$BANNER")"
echo "boot-image.sh: PASS: banner on COM1, guest powered off after ${elapsed}s"
