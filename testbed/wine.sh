# shellcheck shell=bash
# Which Wine runs which build, and whether this machine can run the 32-bit
# one. Used by scripts/lib/deps.sh, scripts/build.sh's demo, scripts/test.sh,
# dev/bench.sh and testbed/console.sh; needs nothing that deps.sh
# installs.
#
#   wine_32bit_starts        true when a 32-bit (i386) process starts here
#   wine_32bit_missing       prints why the 32-bit build cannot run under
#                            Wine here; false (and prints nothing) when it can
#   wine_is_32bit EXE        true when EXE is the 32-bit build: by its PE
#                            header once built, by its name before (any but
#                            fwdisk64.exe)
#   wine_cannot_run EXE      prints why this machine cannot run EXE under Wine;
#                            false (and prints nothing) when it can
#   wine_loader EXE          prints the Wine loader that runs EXE: 32-bit Wine
#                            for a 32-bit program, 64-bit Wine for an x64 one
#                            (by its name before it is built, as above)
#   wine_builds_line EXE...  prints the one line that says which of the given
#                            builds the Wine steps run, and why any is left
#                            out
#
# The loaders are called directly: Debian's /usr/bin/wine picks the 32-bit
# one whenever wine32 is installed, whether or not it can run.
WINE32_LOADER=/usr/lib/wine/wine
WINE64_LOADER=/usr/lib/wine/wine64

# Starts a static i386 program of three instructions (exit code 42), written
# here byte for byte: a kernel with IA-32 emulation off refuses to start it.
wine_32bit_starts() {
    local dir rc=0
    dir=$(mktemp -d "${TMPDIR:-/tmp}/i386.XXXXXX") || return 1
    # ELF header, one loadable segment, then mov $1,%eax; mov $42,%ebx; int $0x80.
    printf '\x7fELF\x01\x01\x01\0\0\0\0\0\0\0\0\0\x02\0\x03\0\x01\0\0\0\x54\x80\x04\x08\x34\0\0\0\0\0\0\0\0\0\0\0\x34\0\x20\0\x01\0\0\0\0\0\0\0%b%b' \
        '\x01\0\0\0\0\0\0\0\0\x80\x04\x08\0\x80\x04\x08\x60\0\0\0\x60\0\0\0\x05\0\0\0\0\x10\0\0' \
        '\xb8\x01\0\0\0\xbb\x2a\0\0\0\xcd\x80' >"$dir/exit42"
    chmod +x "$dir/exit42"
    "$dir/exit42" 2>/dev/null || rc=$?
    rm -rf "$dir"
    [ "$rc" -eq 42 ]
}

# FWDISK_WINE32=no leaves the 32-bit build out on purpose.
wine_32bit_missing() {
    if [ "${FWDISK_WINE32:-}" = no ]; then
        echo "FWDISK_WINE32=no leaves the 32-bit build out"
    elif ! wine_32bit_starts; then
        echo "32-bit processes do not start on this machine (its kernel has IA-32 emulation off)"
    elif [ ! -x "$WINE32_LOADER" ]; then
        echo "32-bit Wine is not installed (package wine32:i386, which scripts/lib/deps.sh could not install)"
    elif ! "$WINE32_LOADER" --version >/dev/null 2>&1; then
        echo "32-bit Wine ($WINE32_LOADER) does not start on this machine"
    else
        return 1
    fi
}

# Prints the machine field of the PE header of EXE, in decimal: 332 (0x14C)
# for i386, 34404 (0x8664) for x64.
_wine_machine() {
    local header
    header=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
    [ -n "$header" ] && od -An -tu2 -j$((header + 4)) -N2 "$1" 2>/dev/null | tr -d ' '
}

wine_is_32bit() {
    if [ -f "$1" ]; then
        [ "$(_wine_machine "$1")" = 332 ]
    else
        [[ $1 != *64.exe ]]
    fi
}

wine_cannot_run() { wine_is_32bit "$1" && wine_32bit_missing; }

wine_loader() {
    local machine=
    if [ -e "$1" ]; then
        machine=$(_wine_machine "$1")
    elif wine_is_32bit "$1"; then
        machine=332
    else
        machine=34404
    fi
    case $machine in
    332) echo "$WINE32_LOADER" ;;
    34404) echo "$WINE64_LOADER" ;;
    *) echo "wine.sh: $1 is no 32-bit or x64 Windows program" >&2; return 1 ;;
    esac
}

wine_builds_line() {
    local exe why named=() under=() left=()
    why=$(wine_32bit_missing) || why=
    for exe in "$@"; do
        if ! wine_is_32bit "$exe"; then
            named+=("$(basename "$exe")")
            under+=("$(basename "$exe") under 64-bit Wine")
        elif [ -z "$why" ]; then
            named+=("$(basename "$exe")")
            under+=("$(basename "$exe") under 32-bit Wine")
        else
            left+=("$(basename "$exe")")
        fi
    done
    if [ ${#left[@]} -eq 0 ]; then
        echo "The Wine steps run $(_wine_and "${under[@]}")"
    elif [ ${#named[@]} -eq 0 ]; then
        echo "$why: the Wine steps cannot run $(_wine_and "${left[@]}")"
    else
        echo "$why: the Wine steps run $(_wine_and "${named[@]}"), the x64 build of the same sources, and leave out $(_wine_and "${left[@]}")"
    fi
}

# The words given, joined by " and ".
_wine_and() {
    local joined=$1 word
    shift
    for word in "$@"; do joined+=" and $word"; done
    echo "$joined"
}
