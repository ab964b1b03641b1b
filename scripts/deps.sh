#!/usr/bin/env bash
# Installs what building and testing fwdisk need, when it is missing:
# the mingw-w64 cross compiler, CMake and Ninja, GoogleTest, the diskette
# tools, 32-bit Wine, tmux, the locale data (Wine in English and Russian),
# qemu, git (for scripts/reproduce.sh), the signing tools (for
# scripts/sign.sh and its test), the assembler and file (for the boot
# trial's tests), and the checkers. Needs root (or sudo) only
# when something is missing.
set -euo pipefail

packages=(
    cmake ninja-build g++ libgtest-dev
    g++-mingw-w64-i686 binutils-mingw-w64-i686
    dosfstools mtools syslinux syslinux-common
    python3 python3-pefile git
    tmux locales qemu-system-x86 wine wine32:i386
    clang-tidy cppcheck
    osslsigncode openssl
    binutils file
)

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

missing=()
for p in "${packages[@]}"; do
    installed "$p" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=
[ "$(id -u)" -eq 0 ] || sudo=sudo
export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
