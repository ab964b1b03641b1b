#!/usr/bin/env bash
# Builds the packaged programs, each its console executable followed by the
# 1.44 MB diskette image: build/win/fwdisk.exe for 32-bit Windows (the
# product, for every Windows since XP) and build/win64/fwdisk64.exe from the
# same sources for 64-bit Windows that runs no 32-bit program.
#   scripts/build.sh                      the default image from payload/
#   FWDISK_IMAGE=my.img scripts/build.sh  a diskette image of your own (a
#                                         relative path is taken from the
#                                         folder the command runs in)
#   FWDISK_IMAGE_UNCHECKED=1              package it even when its boot
#                                         sector is not a 1.44 MB FAT12
#                                         diskette's (never a wrong size)
#   scripts/build.sh --no-demo            stops after the build
#   scripts/build.sh --programs-only      builds the packaged programs alone,
#                                         not the stand-in driver of the
#                                         demo and the tests (no demo)
# The packaging step checks the image once and prints what it packages
# (scripts/image-info.sh), then where each program part and each whole file
# are, with their SHA-256. Then the demo (scripts/demo.sh) runs each build
# that Wine can run here.
set -euo pipefail
[ -z "${FWDISK_IMAGE:-}" ] || FWDISK_IMAGE=$(realpath -m -- "$FWDISK_IMAGE")
cd "$(dirname "$0")/.."
# Whatever fails from here on, no packaged program of an earlier build is left.
rm -f build/win/fwdisk.exe build/win64/fwdisk64.exe
scripts/lib/deps.sh

# One CMake project, a build folder and a toolchain for each architecture.
# The toolchain is read once, when the folder is made; naming it again would
# only make CMake warn that it went unused.
configure() {
    local folder=$1 toolchain=(--toolchain "$2")
    [ ! -f "$folder/CMakeCache.txt" ] || toolchain=()
    cmake -S . -B "$folder" -G Ninja "${toolchain[@]}" -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
}
configure build/win cmake/mingw-i686.cmake
configure build/win64 cmake/mingw-x86_64.cmake
targets=(all)
[ "${1:-}" != --programs-only ] || targets=(fwdisk_program)
if [ -n "${FWDISK_IMAGE:-}" ]; then
    cmake --build build/win --target "${targets[@]}"
    image=$FWDISK_IMAGE from=FWDISK_IMAGE unchecked=${FWDISK_IMAGE_UNCHECKED:-}
else
    cmake --build build/win --target "${targets[@]}" payload
    image=$PWD/build/win/payload.img from=payload unchecked=0
fi
cmake --build build/win64 --target "${targets[@]}"
scripts/lib/package.sh "$image" "$from" "$unchecked" \
    build/win/fwdisk-program.exe build/win/fwdisk.exe build/win64/fwdisk64-program.exe build/win64/fwdisk64.exe

case ${1:-} in
--no-demo | --programs-only) ;;
*) scripts/demo.sh ;;
esac
