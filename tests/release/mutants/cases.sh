#!/usr/bin/env bash
# The fixture's cases, printing what tests/release/cases.sh prints: an ok: or
# FAILED: line each, and exit 1 when one failed.
here=$(cd "$(dirname "$0")" && pwd)
failed=0
check() {
    if eval "$2"; then echo "ok: $1"; else echo "FAILED: $1"; failed=1; fi
}
check "a good argument: accepted" '[ "$(bash "$here/guarded.sh" good 2>&1)" = "done: good" ]'
check "a bad argument: refused" '! bash "$here/guarded.sh" bad 2>/dev/null'
exit $failed
