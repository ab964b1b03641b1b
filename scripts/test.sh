#!/usr/bin/env bash
# Builds fwdisk.exe and the native test build, prints the program's
# figures, then runs every test.
set -euo pipefail
# A relative FWDISK_IMAGE is taken from the folder the command runs in.
[ -z "${FWDISK_IMAGE:-}" ] || FWDISK_IMAGE=$(realpath -m -- "$FWDISK_IMAGE")
cd "$(dirname "$0")/.."
scripts/build.sh --no-demo

cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=Debug \
      -DFWDISK_EXE="$PWD/build/win/fwdisk.exe" -DFWDISK_PAYLOAD="${FWDISK_IMAGE:-$PWD/build/win/payload.img}" >/dev/null
cmake --build build/native
# The packaged program's figures: size, imports, start-up time under Wine.
scripts/bench.sh build/win/fwdisk.exe
ctest --test-dir build/native --output-on-failure -j2
