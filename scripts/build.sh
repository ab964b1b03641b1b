#!/usr/bin/env bash
# Builds the packaged program build/win/fwdisk.exe: the 32-bit console
# executable followed by the 1.44 MB diskette image.
#   scripts/build.sh                      the default image from payload/
#   FWDISK_IMAGE=my.img scripts/build.sh  a diskette image of your own
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

# The toolchain is read once, when the build folder is made; naming it again
# would only make CMake warn that it went unused.
toolchain=(--toolchain cmake/mingw-i686.cmake)
[ ! -f build/win/CMakeCache.txt ] || toolchain=()
cmake -S . -B build/win -G Ninja "${toolchain[@]}" \
      -DCMAKE_BUILD_TYPE=MinSizeRel -DFWDISK_IMAGE="${FWDISK_IMAGE:-}" >/dev/null
cmake --build build/win

exe="$PWD/build/win/fwdisk.exe"
echo "Built $exe ($(stat -c %s "$exe") bytes: $(( $(stat -c %s "$exe") - 1474560 )) of program, 1474560 of diskette image)"
echo "SHA-256 $(sha256sum < "$exe" | cut -d' ' -f1)"
[ "${1:-}" = "--no-demo" ] || scripts/demo.sh "$exe"
