#!/usr/bin/env bash
# Prints the size in bytes of the diskette image a program file carries, as
# the program itself defines it (IMAGE_SIZE in src/programfile.h).
set -euo pipefail
sed -n 's/^#define IMAGE_SIZE \([0-9][0-9]*\)$/\1/p' "$(dirname "$0")/../../src/programfile.h" | grep . ||
    { echo "image-size.sh: no IMAGE_SIZE in src/programfile.h" >&2; exit 1; }
