#!/usr/bin/env bash
# Mutation testing of the program against the native test suite: plants one
# small fault at a time in src/ and reports which test cases catch it, and
# which faults no test catches. Needs the mutants tool of the workspace
# (../shared/tools/mutants, or MUTANTS=path). Takes about half an hour with
# two jobs; extra arguments go to the tool (--limit N for a sample,
# --only src/imagewrite.cpp:LINE for one line).
#
#   scripts/mutants.sh [ARGS...]     report in build/mutants.json
set -euo pipefail
cd "$(dirname "$0")/.."
mutants=${MUTANTS:-../shared/tools/mutants}
[ -x "$mutants" ] || { echo "no mutants tool at $mutants (set MUTANTS)" >&2; exit 2; }
mkdir -p build
exec "$mutants" --tree . --src src/imagewrite.cpp --src src/volume.cpp --jobs "${JOBS:-2}" \
    --build 'test -f build/native/build.ninja || cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null; cmake --build build/native --target fwdisk_tests' \
    --test 'build/native/fwdisk_tests --gtest_output=xml:build/gtest.xml' --gtest-xml build/gtest.xml \
    --equiv-cc 'i686-w64-mingw32-g++ -Os -nostdinc++ -D__USE_MINGW_ANSI_STDIO=0 -c' \
    --json "$PWD/build/mutants.json" "$@"
