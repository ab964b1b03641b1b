#!/usr/bin/env bash
# Builds the packaged program build/win/fwdisk.exe: the 32-bit console
# executable followed by the 1.44 MB diskette image.
#   scripts/build.sh                      the default image from payload/
#   FWDISK_IMAGE=my.img scripts/build.sh  a diskette image of your own (a
#                                         relative path is taken from the
#                                         folder the command runs in)
#   FWDISK_IMAGE_UNCHECKED=1              package it even when its boot
#                                         sector is not a 1.44 MB FAT12
#                                         diskette's (never a wrong size)
# The packaging step prints what it packages (scripts/image-info.sh) and
# where the program part and the whole file are, with their SHA-256.
set -euo pipefail
[ -z "${FWDISK_IMAGE:-}" ] || FWDISK_IMAGE=$(realpath -m -- "$FWDISK_IMAGE")
cd "$(dirname "$0")/.."
# Whatever fails from here on, no fwdisk.exe of an earlier build is left.
rm -f build/win/fwdisk.exe
scripts/deps.sh

# The toolchain is read once, when the build folder is made; naming it again
# would only make CMake warn that it went unused.
toolchain=(--toolchain cmake/mingw-i686.cmake)
[ ! -f build/win/CMakeCache.txt ] || toolchain=()
cmake -S . -B build/win -G Ninja "${toolchain[@]}" -DCMAKE_BUILD_TYPE=MinSizeRel \
      -DFWDISK_IMAGE="${FWDISK_IMAGE:-}" -DFWDISK_IMAGE_UNCHECKED="${FWDISK_IMAGE_UNCHECKED:-}" >/dev/null
cmake --build build/win

[ "${1:-}" = "--no-demo" ] || scripts/demo.sh "$PWD/build/win/fwdisk.exe"
