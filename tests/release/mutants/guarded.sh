#!/usr/bin/env bash
# The fixture of tests/release/mutants_selftest.sh: two guards, one that the
# fixture's cases reach and one that no case reaches, and a step.
set -euo pipefail
fail() {
    echo "guarded.sh: $*" >&2
    exit 1
}
# Called by no case.
unused() { [ -d "$1" ] || fail "$1: no folder"; }
[ "$1" != bad ] &&
    [ "$1" != worse ] ||
    fail "a bad argument"
cp "$0" /dev/null || fail "cannot be copied"
echo "done: $1"
