#!/usr/bin/env bash
# Builds fwdisk.exe, fwdisk64.exe and the native test build, prints the
# programs' figures, then runs every test. Its first line says which builds
# the Wine steps run here, and why one is left out (testbed/wine.sh): those
# tests then show as skipped, with the reason.
set -euo pipefail
# A relative FWDISK_IMAGE is taken from the folder the command runs in.
[ -z "${FWDISK_IMAGE:-}" ] || FWDISK_IMAGE=$(realpath -m -- "$FWDISK_IMAGE")
cd "$(dirname "$0")/.."
# shellcheck source=testbed/wine.sh
source testbed/wine.sh
# What is installed decides the first line, so the packages come first; what
# deps.sh did is told after that line, its whole output only on a failure.
mkdir -p build
if ! scripts/lib/deps.sh >build/deps.log 2>&1; then
    cat build/deps.log >&2
    exit 1
fi
wine_builds_line build/win/fwdisk.exe build/win64/fwdisk64.exe
grep -E '^(Installing|deps\.sh:)' build/deps.log || true
# The native test build runs beside the cross builds, its output shown
# after theirs.
{
    cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=Debug \
          -DFWDISK_EXE="$PWD/build/win/fwdisk.exe" -DFWDISK64_EXE="$PWD/build/win64/fwdisk64.exe" \
          -DFWDISK_PAYLOAD="${FWDISK_IMAGE:-$PWD/build/win/payload.img}" >/dev/null &&
        cmake --build build/native
} >build/native.log 2>&1 &
native=$!
# The Wine prefixes of the bench and the tests (and the releases' proofs
# that the tests run) are copies of templates kept here, each made once
# (testbed/console.sh), and made now, beside the builds.
export E2E_PREFIX_CACHE=$PWD/build/wine-templates
testbed/templates.sh build/win/fwdisk.exe build/win64/fwdisk64.exe >build/templates.log 2>&1 &
templates=$!
# What runs beside this script does not outlive it.
trap 'kill $(jobs -p) 2>/dev/null || true' EXIT
scripts/build.sh --no-demo
status=0
wait "$native" || status=$?
cat build/native.log
[ "$status" -eq 0 ] || exit "$status"
wait "$templates" || { cat build/templates.log >&2; exit 1; }
# The packaged programs' figures: size, imports, start-up time under Wine.
RUNS=5 dev/bench.sh build/win/fwdisk.exe build/win64/fwdisk64.exe
status=0
ctest --test-dir build/native --output-on-failure -j3 || status=$?
# ctest shows no output of a skipped test: each one's reason, from its log.
awk '/^[0-9]+\/[0-9]+ Testing: / { name = $3 } /^SKIP: / { print "Skipped " name ": " substr($0, 7) }' \
    build/native/Testing/Temporary/LastTest.log
exit "$status"
