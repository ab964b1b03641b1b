#!/usr/bin/env bash
# Builds this checkout from scratch and compares the result with the given
# packaged programs; exit code 0 only when each is identical, byte for byte,
# to the fresh build of its architecture (fwdisk.exe for a 32-bit program,
# fwdisk64.exe for an x64 one).
#   scripts/reproduce.sh [FWDISK_EXE...]   default: build/win/fwdisk.exe and
#                                          build/win64/fwdisk64.exe
# The fresh build is of the files git tracks, as they are in the work tree,
# copied to a temporary folder, built in the time zone Pacific/Kiritimati
# (UTC+14) with umask 077; it packages the default image from payload/,
# or FWDISK_IMAGE when that is set (as for scripts/build.sh).
set -euo pipefail
# The default programs are this checkout's, from whatever folder it runs in.
[ $# -gt 0 ] || set -- "$(dirname "$0")/../build/win/fwdisk.exe" "$(dirname "$0")/../build/win64/fwdisk64.exe"
given=()
for exe in "$@"; do
    [ -f "$exe" ] || { echo "reproduce.sh: no program at $exe" >&2; exit 2; }
    given+=("$(realpath "$exe")")
done
[ -z "${FWDISK_IMAGE:-}" ] || FWDISK_IMAGE=$(realpath -m -- "$FWDISK_IMAGE")
cd "$(dirname "$0")/.."
# shellcheck source=testbed/wine.sh
source testbed/wine.sh

tmp=$(mktemp -d "${TMPDIR:-/tmp}/fwdisk-reproduce.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
git ls-files -z | tar --null -T - -cf - | tar -xf - -C "$tmp"
echo "Building $(git rev-parse --short HEAD 2>/dev/null || echo checkout) afresh in $tmp"
# In another time zone and with another umask than a build usually has:
# neither may reach the bytes.
if ! (cd "$tmp" && umask 077 && TZ=Pacific/Kiritimati FWDISK_IMAGE="${FWDISK_IMAGE:-}" scripts/build.sh --programs-only) \
    >"$tmp/build.log" 2>&1; then
    cat "$tmp/build.log" >&2
    echo "reproduce.sh: the fresh build failed" >&2
    exit 2
fi

status=0
for exe in "${given[@]}"; do
    wine_loader "$exe" >/dev/null || exit 2
    if wine_is_32bit "$exe"; then
        rebuilt=$tmp/build/win/fwdisk.exe
    else
        rebuilt=$tmp/build/win64/fwdisk64.exe
    fi
    echo "$(sha256sum < "$exe" | cut -d' ' -f1)  $exe"
    echo "$(sha256sum < "$rebuilt" | cut -d' ' -f1)  fresh build (${rebuilt#"$tmp"/})"
    if cmp "$exe" "$rebuilt"; then
        echo "identical"
    else
        echo "reproduce.sh: the fresh build differs from $exe" >&2
        status=1
    fi
done
exit $status
