# shellcheck shell=bash
# Used by scripts/demo.sh, dev/bench.sh and the end-to-end tests: runs a
# Windows program under Wine inside a private tmux server, so that it has a
# real console (for _getch), and lets the caller type keys and read the
# screen.
#
#   source testbed/console.sh
#   e2e_begin EXE             work dir, cleanup trap, tool check, and the Wine
#                             that runs EXE (testbed/wine.sh): 32-bit Wine in
#                             a 32-bit prefix for fwdisk.exe, 64-bit Wine in a
#                             64-bit one for fwdisk64.exe
#   e2e_skip_unless_runnable EXE
#                             exits 77 (a skip) with the reason when this
#                             machine cannot run EXE's Wine
#   e2e_locale NAME [TEXTS]   Wine in the Unix locale NAME (ru_RU.UTF-8, ...),
#                             its system texts in the locale TEXTS if given
#   e2e_prefix                a fresh Wine prefix (testbed/pc.sh adds drives):
#                             wineboot's, or a copy of a template (below)
#   e2e_start EXE [ARGS...]   runs EXE under Wine in a fresh console
#   e2e_wait_text TEXT [S]    polls the screen until TEXT shows (every S
#                             seconds, 0.05 by default)
#   e2e_keys KEY...           types keys (tmux send-keys names)
#   e2e_wait_exit             polls until the program has ended: $E2E_EXIT
#   e2e_close                 ends the console
#   e2e_stop                  ends the console and the prefix's wineserver
#
# Every wait has a time limit (E2E_TIMEOUT seconds, default 60); a failed
# check prints what was on the screen and exits 1. Only processes started
# here are ever stopped: our own tmux server (private socket) and the
# wineserver of our own prefix (and of a template we make, below).
#
# Layout of the work dir ($E2E_WORK):
#   prefix/   the Wine prefix       tmp/      TMPDIR of Wine (its server dir)
#   locale/   e2e_locale's locales  setup.log the output of the setup commands
#   status    "exit=N" once the program in the console has ended
#
# E2E_PREFIX_CACHE=DIR, a setting of the tests alone (scripts/test.sh sets
# it; unset, nothing is cached): e2e_prefix copies the prefix (a fraction of
# a second: _e2e_copy_prefix) from a template in DIR rather than run
# `wineboot -i` (12 s or more), and e2e_locale copies its locales rather
# than compile them (2 s each). The first process that needs a template
# makes it, holding a lock that the others wait on, in a folder of its own
# renamed into place once complete.
# A prefix's template is made by wineboot in the caller's environment, and
# there is one for everything of it that wineboot writes into a prefix: the
# Wine (loader, version, wine.inf) with its WINEARCH and DLL overrides; the
# user and HOME (C:\users\NAME, whose folders link into HOME); the
# character type (LC_CTYPE's charset goes into the font settings; the
# regional settings of LC_MESSAGES's locale count for nothing, as Wine
# rewrites them whenever a process starts in another locale) and the time
# zone. No path of its own is in it. Its
# server has ended before it is renamed; its TMPDIR, with the server's
# folder, is gone; and so is prefix/wineserver, where Debian's Wine keeps
# that folder's name (wine-XXXXXX): each copy gets a folder of its own, as
# a fresh prefix does.
#   DIR/wine64-win64-HASH/prefix    a template, never run (key.txt: what it
#                                   was made for; HASH: of that text)
#   DIR/locale-HASH-NAME/NAME       the locale NAME (HASH: localedef's version)
#   DIR/NAME.lock, DIR/NAME.new.*   the lock, and a template being made

# shellcheck source=testbed/wine.sh
source "$(dirname "${BASH_SOURCE[0]}")/wine.sh"

E2E_TIMEOUT=${E2E_TIMEOUT:-60}
# The size of a 1.44 MB diskette and of the image fwdisk.exe carries.
# shellcheck disable=SC2034 # for the scripts that source this one
E2E_IMAGE_SIZE=$("$(dirname "${BASH_SOURCE[0]}")/../scripts/lib/image-size.sh")
E2E_WORK=
E2E_EXIT=
E2E_STARTED=
E2E_WINE=
# The template _e2e_template found or made; one being made, removed if we
# end before it is done.
E2E_CACHED=
E2E_MAKING=

e2e_log() { echo "[e2e] $*" >&2; }

# Prints MESSAGE and the screen (if a console is up), then exits 1.
e2e_fail() {
    echo "FAIL: $*" >&2
    if [ -n "$E2E_STARTED" ]; then
        echo "--- screen ---" >&2
        e2e_screen >&2 || echo "(screen not readable)" >&2
        echo "--- end of screen ---" >&2
        [ -f "$E2E_WORK/status" ] && echo "program ended: $(cat "$E2E_WORK/status")" >&2
    fi
    exit 1
}

# A missing tool is a failure, not a reason to skip.
e2e_need() {
    local tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null 2>&1 || e2e_fail "required tool '$tool' not found (scripts/lib/deps.sh installs it)"
    done
}

_e2e_cleanup() {
    local rc=$?
    e2e_stop
    if [ -n "$E2E_MAKING" ]; then
        if [ -d "$E2E_MAKING/prefix" ]; then
            WINEPREFIX=$E2E_MAKING/prefix TMPDIR=$E2E_MAKING/tmp wineserver -k >/dev/null 2>&1 || true
            WINEPREFIX=$E2E_MAKING/prefix TMPDIR=$E2E_MAKING/tmp timeout 20 wineserver -w >/dev/null 2>&1 || true
        fi
        rm -rf "$E2E_MAKING"
    fi
    if [ -n "$E2E_WORK" ] && [ -d "$E2E_WORK" ]; then
        if [ -n "${E2E_KEEP:-}" ]; then
            e2e_log "kept $E2E_WORK"
        else
            rm -rf "$E2E_WORK"
        fi
    fi
    exit "$rc"
}

# Exits 77, the code ctest counts as a skip, saying why, when EXE is the
# 32-bit build and this machine cannot run 32-bit Wine.
e2e_skip_unless_runnable() {
    local why
    if why=$(wine_cannot_run "$1"); then
        echo "SKIP: $(basename "$1"): $why"
        exit 77
    fi
}

# Makes the work dir, arranges for everything to be undone on exit, and
# picks the Wine that runs EXE.
e2e_begin() {
    E2E_WINE=$(wine_loader "$1") || e2e_fail "no Wine runs $1"
    e2e_need "$E2E_WINE" wineserver tmux cmp seq timeout
    E2E_WORK=$(mktemp -d "${TMPDIR:-/tmp}/fwdisk-e2e.XXXXXX") || e2e_fail "mktemp"
    trap _e2e_cleanup EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    mkdir -p "$E2E_WORK/tmp"
    E2E_SOCKET=$E2E_WORK/tmux.sock
    # Wine keeps its server socket under TMPDIR: in our work dir, it goes
    # away with it.
    export WINEPREFIX=$E2E_WORK/prefix WINEDEBUG=-all TMPDIR=$E2E_WORK/tmp
    if [ "$E2E_WINE" = "$WINE32_LOADER" ]; then export WINEARCH=win32; else export WINEARCH=win64; fi
    export WINEDLLOVERRIDES="mscoree=d;mshtml=d"
    unset DISPLAY WAYLAND_DISPLAY
}

# Runs a setup command of Wine's with its output in a log file: wineserver
# keeps inherited pipes open, so a pipe would never see its end.
_e2e_wine_quiet() {
    local log=$E2E_WORK/setup.log
    timeout "$E2E_TIMEOUT" "$@" >>"$log" 2>&1 || {
        cat "$log" >&2
        e2e_fail "'$*' failed"
    }
}

# Runs Wine, and the console, in the Unix locale NAME from here on, made in
# the work dir: Wine takes its ANSI and OEM code pages and the language of
# the system's texts from it (ru_RU.UTF-8: 1251, 866 and Russian texts;
# en_US.UTF-8: 1252 and 437). Before e2e_prefix.
e2e_locale() {
    local name=$1 texts=${2:-$1} each
    e2e_need localedef
    mkdir -p "$E2E_WORK/locale"
    for each in "$name" "$texts"; do
        [ -d "$E2E_WORK/locale/$each" ] && continue
        if [ -n "${E2E_PREFIX_CACHE:-}" ]; then
            # The same localedef compiles the same locale.
            _e2e_template "locale-$(localedef --version | sed -n 1p | sha256sum | cut -c1-16)-$each" \
                _e2e_make_locale "$each"
            cp -a "$E2E_CACHED/$each" "$E2E_WORK/locale/$each" || e2e_fail "cannot copy $E2E_CACHED/$each"
        else
            _e2e_make_locale "$E2E_WORK/locale" "$each"
        fi
    done
    export LOCPATH=$E2E_WORK/locale
    # This shell cannot take the locale itself (it read LOCPATH at its
    # start), and stays in its own: only the programs it starts take it.
    # Wine takes its code pages from LC_CTYPE and the language of its texts
    # from LC_MESSAGES.
    unset LC_ALL
    { export LANG=$name LC_CTYPE=$name LC_MESSAGES=$texts; } 2>/dev/null
}

# Compiles the locale NAME into the folder DIR/NAME.
_e2e_make_locale() {
    local dir=$1 name=$2
    localedef -i "${name%%.*}" -f "${name#*.}" "$dir/$name" >>"$E2E_WORK/setup.log" 2>&1 ||
        e2e_fail "cannot make the locale $name: $(cat "$E2E_WORK/setup.log")"
}

# A fresh Wine prefix, its server ended: made by wineboot, or with
# E2E_PREFIX_CACHE a copy of the template made for this Wine and
# environment.
e2e_prefix() {
    if [ -n "${E2E_PREFIX_CACHE:-}" ]; then
        local key
        key=$(_e2e_prefix_key) || e2e_fail "cannot tell which Wine runs the prefix"
        _e2e_template "$(basename "$E2E_WINE")-$WINEARCH-$(sha256sum <<<"$key" | cut -c1-16)" \
            _e2e_make_prefix_template "$key"
        e2e_log "copying Wine prefix $WINEPREFIX ($WINEARCH) from $E2E_CACHED"
        _e2e_copy_prefix "$E2E_CACHED/prefix" "$WINEPREFIX" || e2e_fail "cannot copy $E2E_CACHED/prefix"
        return
    fi
    e2e_log "creating Wine prefix $WINEPREFIX ($WINEARCH)"
    _e2e_wine_quiet "$E2E_WINE" wineboot -i
    _e2e_wine_quiet wineserver -w
}

# Copies the template FROM to the prefix TO. Wine's own libraries and
# programs (*.dll, *.exe: 650 of its 700 MB) are hard links to the
# template's where the file system allows: Wine only reads them (it would
# rewrite them when it updates a prefix, which a copy of the template made
# for this Wine never needs). Everything else is a file of the copy's own.
_e2e_copy_prefix() {
    local from=$1 to=$2 how=-l
    mkdir -p "$to" && (cd "$from" && tar -cf - --exclude='*.dll' --exclude='*.exe' .) | tar -xf - -C "$to" || return 1
    ln "$from/system.reg" "$to/.link" 2>/dev/null || how=-p
    rm -f "$to/.link"
    (cd "$from" && find . -type f \( -name '*.dll' -o -name '*.exe' \) -print0 | xargs -0 cp "$how" --parents -t "$to")
}

# What a prefix that wineboot makes here depends on (see the top): two
# prefixes made for the same lines are alike but for their random IDs.
_e2e_prefix_key() {
    local inf=${E2E_WINE%/lib/wine/*}/share/wine/wine.inf
    echo "loader $E2E_WINE $WINEARCH"
    echo "version $("$E2E_WINE" --version)"
    # A prefix whose stamp differs from wine.inf's time is updated at its
    # next start.
    stat -L -c 'file %n %s %Y' "$E2E_WINE" "$inf" 2>&1
    echo "overrides ${WINEDLLOVERRIDES:-}"
    echo "user $(id -un) $(id -u) $HOME"
    # The character type alone: the code page's charset goes into the font
    # settings for good, while the language of the system's texts is set
    # anew whenever a process starts under another one.
    echo "ctype $(locale 2>/dev/null | sed -n 's/^LC_CTYPE=//p')"
    echo "time zone ${TZ:-} $(readlink -f /etc/localtime)"
}

# Makes the template of a prefix in DIR: DIR/prefix by wineboot, its server
# ended, and DIR/key.txt holding KEY. Wine's TMPDIR, its server's folder,
# goes with DIR/tmp.
_e2e_make_prefix_template() {
    local dir=$1 key=$2
    export WINEPREFIX=$dir/prefix TMPDIR=$dir/tmp
    mkdir "$TMPDIR"
    e2e_log "making the template of a Wine prefix ($WINEARCH) in $dir"
    _e2e_wine_quiet "$E2E_WINE" wineboot -i
    _e2e_wine_quiet wineserver -w
    # With no server running, -k has none to end and fails.
    ! wineserver -k >/dev/null 2>&1 || e2e_fail "the template's wineserver still ran after 'wineserver -w'"
    # Debian's Wine: the name of the server's folder, in DIR/tmp.
    rm -f "$WINEPREFIX/wineserver"
    rm -rf "$TMPDIR"
    printf '%s\n' "$key" >"$dir/key.txt"
}

# Sets E2E_CACHED to the folder E2E_PREFIX_CACHE/NAME, made first if missing
# by MAKER DIR [ARGS...] in a subshell, DIR an empty folder beside it that is
# then renamed NAME: a folder NAME is always complete. One process at a time
# makes it (a lock per NAME, waited for up to 3 * E2E_TIMEOUT seconds); the
# others then find it. What a maker that died left behind goes first.
_e2e_template() {
    local name=$1 maker=$2 cache lock new
    shift 2
    e2e_need flock sha256sum
    mkdir -p "$E2E_PREFIX_CACHE" || e2e_fail "cannot make E2E_PREFIX_CACHE=$E2E_PREFIX_CACHE"
    cache=$(cd "$E2E_PREFIX_CACHE" && pwd)
    E2E_CACHED=$cache/$name
    [ ! -d "$E2E_CACHED" ] || return 0
    exec {lock}>>"$E2E_CACHED.lock" || e2e_fail "cannot open $E2E_CACHED.lock"
    flock -w $((3 * E2E_TIMEOUT)) "$lock" ||
        e2e_fail "$E2E_CACHED was still being made after $((3 * E2E_TIMEOUT))s"
    if [ ! -d "$E2E_CACHED" ]; then
        rm -rf "$E2E_CACHED".new.*
        new=$(mktemp -d "$E2E_CACHED.new.XXXXXX") || e2e_fail "cannot make a folder in $cache"
        E2E_MAKING=$new
        # The lock stays with this shell alone: no process that the maker
        # starts (a wineserver) holds it.
        ("$maker" "$new" "$@") {lock}>&- || e2e_fail "cannot make $E2E_CACHED"
        mv -T "$new" "$E2E_CACHED" || e2e_fail "cannot rename $new to $E2E_CACHED"
        E2E_MAKING=
    fi
    exec {lock}>&-
}

_e2e_tmux() { tmux -S "$E2E_SOCKET" "$@"; }

# Starts EXE ARGS... under the Wine e2e_begin picked ($E2E_WINE) as the
# only program of a fresh 120x50 console, as a double-clicked program gets it: the cursor at the top left. When it
# ends, its exit code goes to $E2E_WORK/status and the pane stays as it was.
e2e_start() {
    [ -z "$E2E_STARTED" ] || e2e_fail "e2e_start: a console is already running"
    rm -f "$E2E_WORK/status" "$E2E_WORK/status.new"
    local runner=$E2E_WORK/run-in-console.sh arg
    {
        echo '#!/bin/bash'
        echo "cd $(printf %q "$E2E_WORK")"
        # For dev/bench.sh: the moment just before Wine starts.
        echo 'date +%s%N >started'
        printf %q "$E2E_WINE"
        for arg in "$@"; do printf ' %q' "$arg"; done
        echo
        echo 'echo "exit=$?" >status.new && mv status.new status'
        # Keep the pane and its last screen; keys typed from now on are
        # neither read nor shown.
        echo 'stty -echo 2>/dev/null'
        echo 'exec sleep infinity'
    } >"$runner"
    chmod +x "$runner"
    printf 'set -g status off\nset -g history-limit 2000\n' >"$E2E_WORK/tmux.conf"
    _e2e_tmux -f "$E2E_WORK/tmux.conf" new-session -d -s e2e -x 120 -y 50 "$runner" ||
        e2e_fail "cannot start tmux"
    E2E_STARTED=1
}

# The screen as the user sees it, trailing blanks and empty end lines cut.
e2e_screen() {
    _e2e_tmux capture-pane -p -J -t e2e | sed -e 's/[[:space:]]*$//' |
        sed -e :a -e '/^\n*$/{$d;N;ba' -e '}'
}

_e2e_ended() { [ -f "$E2E_WORK/status" ]; }

# Polls the screen every INTERVAL seconds (0.05 by default; 0, as fast as
# it can) until it contains TEXT (fixed string); fails after E2E_TIMEOUT
# seconds or as soon as the program has ended without showing it.
e2e_wait_text() {
    local text=$1 interval=${2:-0.05} deadline=$((SECONDS + E2E_TIMEOUT))
    while :; do
        # Read "ended" first: a program that printed TEXT and then ended
        # must still pass.
        local ended=0
        _e2e_ended && ended=1
        e2e_screen | grep -qF -- "$text" && return 0
        [ "$ended" -eq 1 ] && e2e_fail "program ended without showing \"$text\""
        [ "$SECONDS" -lt "$deadline" ] || e2e_fail "\"$text\" not on screen within ${E2E_TIMEOUT}s"
        [ "$interval" = 0 ] || sleep "$interval"
    done
}

# Types keys into the console: tmux key names or literal characters.
e2e_keys() { _e2e_tmux send-keys -t e2e "$@" || e2e_fail "send-keys $*"; }

# Polls until the program has ended; sets E2E_EXIT to its exit code.
e2e_wait_exit() {
    local deadline=$((SECONDS + E2E_TIMEOUT))
    until _e2e_ended; do
        [ "$SECONDS" -lt "$deadline" ] || e2e_fail "program still running after ${E2E_TIMEOUT}s"
        sleep 0.05
    done
    E2E_EXIT=$(sed -n 's/^exit=//p' "$E2E_WORK/status")
}

# Checks the exit code of the ended program.
e2e_expect_exit() {
    [ "$E2E_EXIT" = "$1" ] || e2e_fail "exit code $E2E_EXIT, expected $1"
}

# The packaged program named by a script's only argument, as an absolute
# path; prints the usage line and exits 2 when there is not exactly one.
e2e_program_arg() {
    [ $# -eq 1 ] || {
        echo "usage: $0 FWDISK_EXE" >&2
        exit 2
    }
    [ -f "$1" ] || e2e_fail "no program at $1"
    realpath "$1"
}

# Ends the console (our tmux server); the prefix's wineserver stays.
e2e_close() {
    if [ -n "$E2E_STARTED" ]; then
        _e2e_tmux kill-server 2>/dev/null || true
        E2E_STARTED=
    fi
}

# Ends the console and our prefix's wineserver.
e2e_stop() {
    e2e_close
    if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
        wineserver -k >/dev/null 2>&1 || true
        timeout 20 wineserver -w >/dev/null 2>&1 || true
    fi
}
