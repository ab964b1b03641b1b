#!/bin/bash
# A fresh build of the checkout, in another folder, time zone and umask, must
# give the tested fwdisk.exe byte for byte.
#   tests/packaged/reproducible.sh FWDISK_EXE IMAGE
set -euo pipefail
exe=$(realpath "$1")
# The cross build's own payload.img is the default image: the fresh build
# makes it again from payload/. Any other image is packaged as it is.
image=$(realpath "${2:-$(dirname "$exe")/payload.img}")
if [ "$image" = "$(dirname "$exe")/payload.img" ]; then
    unset FWDISK_IMAGE
else
    export FWDISK_IMAGE=$image
fi
umask 077
TZ=Pacific/Kiritimati exec "$(dirname "$0")/../../scripts/reproduce.sh" "$exe"
