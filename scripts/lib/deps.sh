#!/usr/bin/env bash
# Installs what building and testing fwdisk need, when it is missing: the
# mingw-w64 cross compilers for 32-bit and x64 Windows, CMake and Ninja,
# GoogleTest, the diskette tools, 64-bit Wine, tmux, the locale data (Wine
# in English and Russian), qemu, git (for scripts/reproduce.sh and
# scripts/release.sh), the signing tools (osslsigncode, openssl and gnupg,
# for scripts/sign.sh, scripts/release.sh and their tests; OpenSSL's PKCS#11
# engine and PyKCS11 for a key on a token; asn1crypto to read signatures
# and time-stamp requests; SoftHSM2 and OpenSC's pkcs11-spy, a token and a
# witness of its calls for the tests), the assembler
# and file (for the boot trial's tests), and the checkers. Then, only where a 32-bit process
# starts, 32-bit Wine (wine32:i386) for the 32-bit build: when it cannot be
# installed, says so and goes on (the Wine steps then run the x64 build
# alone, and say why), and tries again an hour later at the earliest. Needs
# root (or sudo) only when something is missing.
set -euo pipefail
# shellcheck source=testbed/wine.sh
source "$(dirname "$0")/../../testbed/wine.sh"

packages=(
    cmake ninja-build g++ libgtest-dev
    g++-mingw-w64-i686 binutils-mingw-w64-i686
    g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
    dosfstools mtools syslinux syslinux-common
    python3 python3-pefile git
    tmux locales qemu-system-x86 wine wine64
    clang-tidy cppcheck
    osslsigncode openssl gnupg
    libengine-pkcs11-openssl python3-pykcs11 python3-asn1crypto softhsm2 opensc-pkcs11
    binutils file
)
# Where the last try to install 32-bit Wine failed, and why.
wine32_failed=/var/tmp/fwdisk-deps-wine32-failed

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

sudo=
[ "$(id -u)" -eq 0 ] || sudo=sudo
export DEBIAN_FRONTEND=noninteractive
# An index the archive serves badly (one architecture's, say) fails the
# update but not what the other indexes can install.
update() {
    $sudo apt-get update -q || echo "deps.sh: apt-get update failed for some package lists (above); going on with those it has" >&2
}

# What is installed, from one dpkg-query for all (one for each is slow).
declare -A present=()
while read -r package status; do
    [ "$status" != "install ok installed" ] || present[$package]=1
done < <(dpkg-query -W -f='${Package} ${Status}\n' "${packages[@]}" 2>/dev/null)
missing=()
for p in "${packages[@]}"; do
    [ -n "${present[$p]:-}" ] || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    update
    $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

if ! installed wine32:i386 && wine_32bit_starts &&
    [ -z "$(find "$wine32_failed" -mmin -60 2>/dev/null)" ]; then
    echo "Installing 32-bit Wine (wine32:i386): 32-bit processes start on this machine"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        $sudo dpkg --add-architecture i386
    fi
    update
    if $sudo apt-get install -y -q --no-install-recommends wine32:i386 >"${TMPDIR:-/tmp}/fwdisk-wine32.log" 2>&1; then
        $sudo rm -f "$wine32_failed"
    else
        grep '^E:' "${TMPDIR:-/tmp}/fwdisk-wine32.log" >&2 || true
        echo "deps.sh: 32-bit Wine could not be installed; the Wine steps run the x64 build alone (tried again after an hour)" >&2
        $sudo touch "$wine32_failed"
    fi
fi
