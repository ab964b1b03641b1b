#!/bin/bash
# Makes ahead of time the templates (E2E_PREFIX_CACHE, testbed/console.sh)
# that the bench, the Wine tests and the releases' proofs copy: the English
# locale, and the Wine prefix of each EXE's Wine, for each EXE that Wine
# runs here. EXE need not be built yet: its name tells its Wine
# (testbed/wine.sh). scripts/test.sh runs it beside the builds; whatever
# needs a template later waits for it, or finds it made.
#   E2E_PREFIX_CACHE=DIR testbed/templates.sh EXE...
# Exit 0 when each is made or was there, 1 when one cannot be made (what
# failed on standard error), 2 on a usage error.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=testbed/console.sh
source "$here/console.sh"
[ $# -gt 0 ] && [ -n "${E2E_PREFIX_CACHE:-}" ] || {
    echo "usage: E2E_PREFIX_CACHE=DIR testbed/templates.sh EXE..." >&2
    exit 2
}
for exe in "$@"; do
    ! wine_cannot_run "$exe" >/dev/null || continue
    # In a subshell: its work folder, with the copy of the prefix, goes
    # when it ends.
    (
        e2e_begin "$exe"
        # As the bench and the tests have it (LC_CTYPE is in the key).
        e2e_locale en_US.UTF-8
        e2e_prefix
    )
done
