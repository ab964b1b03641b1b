#!/usr/bin/env bash
# The checks below are texts that check() evaluates: single quotes on purpose.
# shellcheck disable=SC2016,SC2034
# dev/mutants-release.py on its fixture (tests/release/mutants/): of the two
# guards it finds, the one the cases reach is killed, by the case that
# refuses; the one no case reaches survives, marked so; the step is left
# alone.
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/fwdisk-mutants-selftest.XXXXXX")
trap 'rm -rf "$work"' EXIT
fixture=tests/release/mutants
line() { grep -n -- "$1" "$src/$fixture/guarded.sh" | cut -d: -f1; }
reached=$(line '!= bad') unreached=$(line '^unused()') step=$(line '^cp ')
runner=("$src/dev/mutants-release.sh" --script "$fixture/guarded.sh" --cases "$fixture/cases.sh"
    --report "$work/report.json")

failed=0
check() {
    if eval "$2"; then echo "ok: $1"; else echo "FAILED: $1"; failed=1; fi
}
"${runner[@]}" --list >"$work/list.txt"
check "--list: the two guards, the step left alone" \
    '[ "$(grep -o "guarded\.sh:[0-9]*" "$work/list.txt" | paste -sd" ")" = "guarded.sh:$unreached guarded.sh:$reached guarded.sh:$step" ] &&
     grep -q "^step .*guarded\.sh:$step left alone" "$work/list.txt" || { cat "$work/list.txt"; false; }'
rc=0
"${runner[@]}" >"$work/out.txt" 2>"$work/err.txt" </dev/null || rc=$?
check "a run: exit 0, the summary" \
    '[ "$rc" = 0 ] && grep -qx "guards 2, killed 1, survived 1, accepted 0, not reached 1, .* = 1/2 = 50.0%" "$work/out.txt" ||
     { cat "$work/out.txt" "$work/err.txt"; false; }'
check "a run: the survivor listed, no case reaching it" \
    'grep -q "^$fixture/guarded.sh:$unreached unused() { \[ -d \"\$1\" \] || fail .*  =>  unused() { true || fail .*\[no case reaches it\]$" "$work/out.txt"'
# guard LINE: its record in the report, as "status reached failed-cases".
guard() {
    python3 - "$work/report.json" "$1" <<'PY'
import json, sys
for g in json.load(open(sys.argv[1]))['guards']:
    if g['line'] == int(sys.argv[2]):
        print(g['status'], g['reached'], '|'.join(g.get('failed', [])))
PY
}
check "the reached guard: killed by the case that refuses, alone" \
    '[ "$(guard "$reached")" = "killed True cases.sh: a bad argument: refused" ]'
check "the guard no case reaches: survived, not reached" '[ "$(guard "$unreached")" = "survived False " ]'
exit $failed
