#!/usr/bin/env bash
# Figures of the packaged programs: the size of each one's program part, the
# DLLs it imports, and how long it takes under Wine from start to its drive
# letter prompt, next to a trivial console program built for the same
# architecture in the same Wine prefix.
#
#   dev/bench.sh [FWDISK_EXE...]   (RUNS=7 by default)
#
# By default build/win/fwdisk.exe and build/win64/fwdisk64.exe. Sizes and
# imports are given for each; the times for each that Wine can run here
# (testbed/wine.sh), and the first line says which those are.
# Builds nothing of the project; only the trivial program testbed/hello.c,
# in a temporary directory. Makes no judgement on the times.
#
# How start-to-prompt is measured: each run gets a fresh tmux console whose
# only program is a small script that writes `date +%s%N` to a file and then
# execs nothing else but `wine PROGRAM`. This script polls the console with
# `tmux capture-pane` in a tight loop (no sleep; one capture takes a few
# milliseconds) and takes the time when the prompt text first shows. The
# difference includes Wine starting the process (loader, connection to the
# wineserver, console set-up), which is what a user waits through too; the
# wineserver itself is already running (persistent for the whole bench), so
# no run pays for the server start. The programs run alternately, after one
# unmeasured warm-up run each, so that drifts in load touch both alike. The
# polling adds at most one capture interval to every figure.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=testbed/console.sh
source "$root/testbed/console.sh"

[ $# -gt 0 ] || set -- "$root/build/win/fwdisk.exe" "$root/build/win64/fwdisk64.exe"
runs=${RUNS:-7}
[[ $runs =~ ^[1-9][0-9]*$ ]] || e2e_fail "RUNS must be a positive number"
wine_builds_line "$@"

# The mingw-w64 tools for EXE's architecture: i686-w64-mingw32 or
# x86_64-w64-mingw32.
tools() { if wine_is_32bit "$1"; then echo i686-w64-mingw32; else echo x86_64-w64-mingw32; fi; }
imports() { "$(tools "$1")-objdump" -p "$1" | sed -n 's/^[[:space:]]*DLL Name: //p' | paste -sd ' '; }

for exe in "$@"; do
    [ -f "$exe" ] || e2e_fail "no program at $exe"
    size=$(stat -c %s "$exe")
    echo "Program:  $(realpath "$exe")"
    echo "Size:     $size bytes = $((size - E2E_IMAGE_SIZE)) bytes of program + $E2E_IMAGE_SIZE bytes of diskette image"
    echo "Imports:  $(imports "$exe")"
done

now_ns() { date +%s%N; }

# One run of PROGRAM: sets MEASURED to the milliseconds from just before
# `wine` to PROMPT on the screen, then lets ANSWER end the program.
MEASURED=
measure() {
    local program=$1 prompt=$2 answer=$3
    e2e_start "$program"
    local seen started
    # Polled without a pause, for the moment it shows.
    e2e_wait_text "$prompt" 0
    seen=$(now_ns)
    started=$(cat "$E2E_WORK/started")
    "$answer"
    e2e_wait_exit
    e2e_close
    MEASURED=$(((seen - started) / 1000000))
}
# fwdisk.exe: no drive letter, then the key for its exit pause.
answer_fwdisk() {
    e2e_keys 5
    e2e_wait_text '(press a key to exit)'
    e2e_keys x
}
answer_hello() { e2e_keys x; }

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# The start-up times of EXE and of hello.exe built for its architecture, in
# a subshell of its own: its Wine prefix goes when it ends.
start_up_times() (
    exe=$(realpath "$1")
    e2e_begin "$exe"
    prefix=$(tools "$exe")
    e2e_need "$prefix-gcc" "$prefix-objdump"
    hello=$E2E_WORK/hello.exe
    "$prefix-gcc" -Os -s -o "$hello" "$root/testbed/hello.c"
    echo "Start-up of $(basename "$exe") under $E2E_WINE (hello.exe, the trivial program: $(stat -c %s "$hello") bytes, imports $(imports "$hello"))"

    echo "Preparing a Wine prefix..."
    # An English Windows, as the tests and the release's proofs run: its
    # prefix's template (E2E_PREFIX_CACHE) is then theirs too.
    e2e_locale en_US.UTF-8
    e2e_prefix 2>/dev/null
    # One server for all runs.
    wineserver -p >>"$E2E_WORK/setup.log" 2>&1
    fw_prompt='Enter drive letter to be overwritten with FWDISK files :'
    hello_prompt='hello: press a key :'
    measure "$hello" "$hello_prompt" answer_hello
    measure "$exe" "$fw_prompt" answer_fwdisk
    fw_times=()
    hello_times=()
    for ((i = 1; i <= runs; i++)); do
        measure "$hello" "$hello_prompt" answer_hello
        hello_times+=("$MEASURED")
        measure "$exe" "$fw_prompt" answer_fwdisk
        fw_times+=("$MEASURED")
    done
    e2e_stop

    fw_median=$(printf '%s\n' "${fw_times[@]}" | median)
    hello_median=$(printf '%s\n' "${hello_times[@]}" | median)
    echo "Start to prompt under Wine, milliseconds ($runs runs each, alternating; after one warm-up run each):"
    echo "  $(basename "$exe")  median $fw_median   runs: ${fw_times[*]}"
    echo "  hello.exe   median $hello_median   runs: ${hello_times[*]}"
    echo "  ratio fwdisk/hello: $(awk -v a="$fw_median" -v b="$hello_median" 'BEGIN { printf "%.2f", a / b }')"
)

for exe in "$@"; do
    wine_cannot_run "$exe" >/dev/null || start_up_times "$exe"
done
