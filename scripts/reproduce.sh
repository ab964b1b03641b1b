#!/usr/bin/env bash
# Builds this checkout from scratch and compares the result with a given
# fwdisk.exe; exit code 0 only when the two are identical, byte for byte.
#   scripts/reproduce.sh [FWDISK_EXE]     default: build/win/fwdisk.exe
# The fresh build is of the files git tracks, as they are in the work tree,
# copied to a temporary folder; it packages the default image from payload/,
# or FWDISK_IMAGE when that is set (as for scripts/build.sh).
set -euo pipefail
given=$(realpath "${1:-build/win/fwdisk.exe}")
[ -f "$given" ] || { echo "reproduce.sh: no program at ${1:-build/win/fwdisk.exe}" >&2; exit 2; }
[ -z "${FWDISK_IMAGE:-}" ] || FWDISK_IMAGE=$(realpath -m -- "$FWDISK_IMAGE")
cd "$(dirname "$0")/.."

tmp=$(mktemp -d "${TMPDIR:-/tmp}/fwdisk-reproduce.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
git ls-files -z | tar --null -T - -cf - | tar -xf - -C "$tmp"
echo "Building $(git rev-parse --short HEAD 2>/dev/null || echo checkout) afresh in $tmp"
if ! (cd "$tmp" && FWDISK_IMAGE="${FWDISK_IMAGE:-}" scripts/build.sh --no-demo) > "$tmp/build.log" 2>&1; then
    cat "$tmp/build.log" >&2
    echo "reproduce.sh: the fresh build failed" >&2
    exit 2
fi
rebuilt="$tmp/build/win/fwdisk.exe"

echo "$(sha256sum < "$given" | cut -d' ' -f1)  $given"
echo "$(sha256sum < "$rebuilt" | cut -d' ' -f1)  fresh build"
if cmp "$given" "$rebuilt"; then
    echo "identical"
else
    echo "reproduce.sh: the fresh build differs from $given" >&2
    exit 1
fi
