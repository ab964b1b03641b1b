#!/usr/bin/env python3
"""Mutation testing of the release command's guards against its cases.

usage: dev/mutants-release.py [--jobs N] [--limit N --seed S] [--only FILE:LINE[-LINE]] [--list]
                              [--timeout S] [--script FILE]... [--cases FILE]... [--report FILE]
                              [--checkout DIR]

A guard is a check of scripts/release.sh or scripts/sign.sh that stops a
wrong release. One at a time, a guard is made to let everything through:

  test    TEST || fail ...: the test ([ ], [[ ]], or a { ...; } of them)
          made true
  check   COMMAND || fail ..., a command that checks (it compares,
          verifies, reads and judges: CHECKS below): it still runs, but
          its failure is ignored
  if      if COND; then ... fail ...; fi (or elif): COND made false, a
          command in it still run
  else    if COND; then ...; else ... fail ...; fi: COND made true
  case    a case branch whose body fails: the body made ':'

where fail is fail, fail_log, usage_error, or exit with a status other than
0, alone or in a { ...; } block (COND && fail likewise, the other way
round). Every line stays where it was. A command that makes something (a
build, a signature, a copy: STEPS below) is no guard: it is left alone, and
--list names it.

The cases are each tests/release/*_cases.sh. First each runs once with
every guard probed (each guard notes that it was reached, then does what it
did). A guard no case reaches is not run, since its fault cannot change what
any case sees: it counts as survived, marked so. Then each job plants one
fault in its own copy of the checkout (under $TMPDIR, with a TMPDIR of its
own) and runs the case scripts that reach the guard: killed when one exits
non-zero or runs out of time, with the FAILED cases on record; survived
when all pass. Survivors that ACCEPTED below names cannot be caught from
outside; they are left out of the score.

Prints the survivors, each case's kills (total and unique: the guards no
other case catches), and last a summary line. The full report goes to
build/mutants-release.json.
"""
import argparse, glob, json, os, queue, random, re, shlex, shutil, signal, subprocess, sys, tempfile, threading, time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.dont_write_bytecode = True   # no __pycache__ in dev/
import mutants  # noqa: E402
from mutants import RUNNING, ROOT, copy_checkout, in_parallel, read, run, write  # noqa: E402

SCRIPTS = ['scripts/release.sh', 'scripts/sign.sh']
CASES = 'tests/release/*_cases.sh'
REPORT = 'build/mutants-release.json'

# The words that make a guard fail: each script's own helpers, and exit N (N not 0).
FAILS = {'fail', 'fail_log', 'usage_error'}

# Check or step: what a guard's command does (matched on its text, steps
# first) decides whether the guard is planted. A check only judges what is
# there, so letting it pass is the fault to find; a step makes something
# that later steps need, so "passing" it only loses its work, which proves
# nothing about the guard. A command neither list names is planted as a
# check and flagged in --list: sort it into one of them.
STEPS = [
    (r'scripts/build\.sh', 'builds the programs'),
    (r'scripts/sign\.sh|osslsigncode\s+sign\b', 'signs a program'),
    (r'--detach-sign|--clear-?sign|\bgpg\b[^|;]*\s--sign\b', 'makes an OpenPGP signature'),
    (r'lib/deps\.sh', 'installs the packages the release needs'),
    (r'(^|[;&|({!]\s*|\s)(cp|mv|mkdir|ln|install|tar|rm)\s', 'copies, moves, makes or removes files'),
]
CHECKS = [
    (r'\b(grep|cmp|diff)\s', 'compares, or looks for a text'),
    (r'\bsha256sum\s+(-\w+\s+)*-c\b|\bsha256sum\s+--check\b', 'checks sums'),
    (r'(^|\s)--?verify\b|\sverify\s', 'verifies (gpg --verify, osslsigncode verify, git rev-parse --verify)'),
    (r'scripts/(inspect|image-info|reproduce)\.sh', 'reads a file and judges it, or rebuilds and compares'),
    (r'lib/unsigned\.py', "reads a signed file's program part"),
    (r'lib/pkcs11key\.py', 'logs in to the token with the PIN, finds the key'),
    (r'\bopenssl\s+(x509|pkey|pkcs12|verify)\b', 'opens a key or a certificate with the password'),
    (r'testbed/prove\.sh', 'proves a program on the stand-in PC'),
]

# Survivors that no case can catch from outside the script, each keyed by
# its file and a pattern its source text matches, with the reason. They are
# left out of the score. One that is killed after all is reported: drop it.
ACCEPTED = [
    ('scripts/sign.sh', r'^\[ \$# -ge 3 \] \|\|',
     'release.sh always gives sign.sh its two files and the signing options'),
    ('scripts/sign.sh', r'^if \[ -e "\$out" \]; then',
     'release.sh signs into new files in folders of its own; '
     'tests/packaged/inspect_cases.sh checks this refusal'),
    ('scripts/sign.sh', r'^if ! "\$root/scripts/inspect.sh" "\$in"',
     'release.sh signs only the programs it has just built and checked to end with the image'),
    ('scripts/sign.sh', r'^if ! "\$root/scripts/inspect.sh" "\$out"',
     'osslsigncode puts the certificate table after the image, 8-byte aligned as the build '
     'leaves it; no key, certificate or time-stamp server makes it put it elsewhere'),
    ('scripts/release.sh', r'sha256sum -c --quiet SHA256SUMS\) \|\| fail',
     'the sums are made from the files a line before, in the stage only this run writes'),
    ('scripts/release.sh', r'gpg --verify "\$stage/SHA256SUMS.asc"',
     'gpg verifies the signature it made a line before with the same key; nothing from '
     'outside comes between'),
    ('scripts/release.sh', r'^\[ -f "\$engine" \] \|\|',
     'deps.sh installs the engine before the first step; a case could take it away only by '
     'removing a package from the machine that every other test runs on'),
    ('scripts/release.sh', r'\[ "\$kinds" = "SHA1 Authenticode, SHA256 RFC 3161" \]',
     'osslsigncode -t always makes an Authenticode countersignature and -ts an RFC 3161 token, '
     'or the signing step fails: no server makes the other kind'),
    ('scripts/release.sh', r'^facts=\$\(/usr/bin/python3 "\$root/scripts/lib/unsigned.py"',
     'unsigned.py fails only on PE headers it cannot read, and the program\'s own reader '
     '(inspect.sh) and osslsigncode verify have read the same headers just before'),
    ('scripts/release.sh', r'it is not the unsigned build"$',
     'follows from the two checks before it: the program part and the image are each the '
     'build\'s, and the unsigned file is the one followed by the other'),
    ('scripts/release.sh', r'"the boot trial could not be run"',
     'try-boot.sh exits 2 only on a usage error, a missing file or no QEMU, which release.sh\'s '
     'own call and deps.sh rule out'),
    ('scripts/release.sh', r'^cmp -s <\(tail -c "\$image_size" "\$work/unsigned/\$name"\) "\$image"',
     'the build appends the image given, and checks that it did (tests/packaged/): no input '
     'makes a fresh build end otherwise'),
    ('scripts/release.sh', r'"\$root/scripts/reproduce.sh" "\$work/unsigned/fwdisk.exe"',
     'two builds of one commit differ only if the build is not reproducible, which nothing '
     'from outside the checkout can make it; the cases see reproduce.sh pass in every release'),
    ('scripts/release.sh', r'^if \[ -e "\$stage" \]; then',
     'OUTDIR would have to appear between the check of the first step and the rename, a race '
     'no case can time from outside'),
]


# --- Reading the scripts -----------------------------------------------------------

class Masker:
    """The text with what is not the shell's own syntax blanked, same length:
    comments, here-documents and the line joins of a backslash made spaces;
    escaped characters, quotes, $(...), ${...}, `...`, <(...), (( )) and the
    inside of [[ ]] made '_', so that each stays (part of) one word."""

    def __init__(self, text):
        self.t, self.out, self.pending = text, list(text), []

    def blank(self, a, b, fill='_'):
        for k in range(a, min(b, len(self.t))):
            self.out[k] = fill if fill == '_' or self.t[k] != '\n' else '\n'

    def word_start(self, i):
        return i == 0 or self.t[i - 1] in ' \t\n;&|()!'

    def code(self, i, stop=None, arith=False):
        """Scans code from i; returns the index of the ')' that closes it
        (stop), or the end of the text."""
        t, n, depth = self.t, len(self.t), 0
        while i < n:
            c, nxt = t[i], t[i + 1:i + 2]
            if c == '\\':
                if nxt == '\n':                 # a line that goes on: one line
                    self.out[i:i + 2] = '  '
                else:
                    self.blank(i, i + 2)
                i += 2
                continue
            if c == "'":
                j = t.find("'", i + 1)
                j = n - 1 if j < 0 else j
            elif c == '"':
                j = self.dquote(i + 1)
            elif c == '`':
                j = self.backtick(i + 1)
            elif c == '$' and nxt in ('(', '{'):
                j = self.dollar(i) - 1
            elif c in '<>' and nxt == '(' and t[i - 1:i] not in ('<', '>'):
                j = self.code(i + 2, ')')
            elif c == '#' and not arith and self.word_start(i):
                j = t.find('\n', i)
                j = n if j < 0 else j
                self.blank(i, j, ' ')
                i = j
                continue
            elif c == '\n' and self.pending:
                i = self.heredocs(i + 1)
                continue
            elif t.startswith('<<', i) and not arith and not t.startswith('<<<', i):
                i = self.heredoc_word(i + 2)
                continue
            elif t.startswith('<<<', i):
                i += 3
                continue
            elif t.startswith('[[', i) and self.word_start(i) and t[i + 2:i + 3].isspace():
                j = self.dbracket(i + 2)
                self.blank(i + 2, j)
                i = j + 2
                continue
            elif t.startswith('((', i) and self.word_start(i):
                j = self.code(i + 1, ')', arith=True)
                self.blank(i, j + 1)
                i = j + 1
                continue
            else:
                if c == '(':
                    depth += 1
                elif c == ')':
                    if depth == 0 and stop:
                        return i
                    depth -= 1
                i += 1
                continue
            self.blank(i, j + 1)
            i = j + 1
        return n

    def dquote(self, i):
        t, n = self.t, len(self.t)
        while i < n and t[i] != '"':
            if t[i] == '\\':
                i += 2
            elif t[i] == '$' and t[i + 1:i + 2] in ('(', '{'):
                i = self.dollar(i)
            elif t[i] == '`':
                i = self.backtick(i + 1) + 1
            else:
                i += 1
        return min(i, n - 1)

    def backtick(self, i):
        t = self.t
        while i < len(t) and t[i] != '`':
            i += 2 if t[i] == '\\' else 1
        return min(i, len(t) - 1)

    def dollar(self, i):
        """The index after $(...), $((...)) or ${...} starting at i."""
        t = self.t
        if t[i + 1] == '(':
            return self.code(i + 2, ')', arith=t[i + 2:i + 3] == '(') + 1
        i, depth = i + 2, 1
        while i < len(t) and depth:
            c = t[i]
            if c == '\\':
                i += 2
                continue
            if c == "'":
                i = t.find("'", i + 1) % len(t)
            elif c == '"':
                i = self.dquote(i + 1)
            elif c == '$' and t[i + 1:i + 2] in ('(', '{'):
                i = self.dollar(i) - 1
            elif c == '{':
                depth += 1
            elif c == '}':
                depth -= 1
            i += 1
        return i

    def dbracket(self, i):
        """The index of the ]] that closes a [[ whose inside starts at i."""
        t = self.t
        while i < len(t):
            c = t[i]
            if t.startswith(']]', i) and t[i - 1].isspace():
                return i
            if c == '\\':
                i += 2
                continue
            if c == "'":
                i = t.find("'", i + 1) % len(t)
            elif c == '"':
                i = self.dquote(i + 1)
            elif c == '$' and t[i + 1:i + 2] in ('(', '{'):
                i = self.dollar(i) - 1
            i += 1
        return len(t)

    def heredoc_word(self, i):
        """After <<: notes the delimiter to look for; returns the index after it."""
        t = self.t
        strip = t[i:i + 1] == '-'
        i += strip
        while i < len(t) and t[i] in ' \t':
            i += 1
        m = re.match(r"""(?:'[^'\n]*'|"[^"\n]*"|\\?[^\s;&|<>()]+)+""", t[i:])
        if not m:
            return i
        self.pending.append((re.sub(r"""['"\\]""", '', m.group()), strip))
        self.blank(i, i + m.end())
        return i + m.end()

    def heredocs(self, i):
        """Blanks the bodies of the here-documents that start at i; returns
        the index of the newline that ends the last one's delimiter."""
        t = self.t
        for word, strip in self.pending:
            while i < len(t):
                end = t.find('\n', i)
                end = len(t) if end < 0 else end
                line = t[i:end]
                self.blank(i, end, ' ')
                i = end + 1
                if (line.lstrip('\t') if strip else line) == word:
                    break
        self.pending = []
        return i - 1


TOKEN = re.compile(r'\n|;;&|;;|;&|;|&&|\|\||\|&|\||&>>|&>|>&|<&|>>|<<-|<<<|<<|<>|>\||[<>]|&|\(|\)'
                   r'|[^\s;&|()<>]+')
SEPARATORS = {';', '&', '\n'}
REDIRECTS = {'&>>', '&>', '>&', '<&', '>>', '<<-', '<<<', '<<', '<>', '>|', '<', '>'}
ASSIGNMENT = re.compile(r'[A-Za-z_]\w*(\[[^\]]*\])?\+?=')
OPENERS = {'{': 'group', '(': 'subshell', 'if': 'if', 'case': 'case',
           'for': 'loop', 'select': 'loop', 'while': 'loop', 'until': 'loop'}
CLOSERS = {'group': '}', 'subshell': ')', 'if': 'fi', 'case': 'esac', 'loop': 'done'}


class Frame:
    """A compound command being read: its kind, where its current and-or
    list began (a token index), the fail call that starts one of its lists
    in the current branch, and what its kind needs."""

    def __init__(self, kind, opener=None, function=False):
        self.kind, self.opener, self.function = kind, opener, function
        self.start = self.fail_at = None
        self.section = 'body'
        self.waiting = []        # (op, list start, op token, brace token) of each || { ... }
        self.cond, self.branches = None, []   # if: token span of a condition; (span, fail) each
        self.word = self.body_start = None    # case: its word's and the branch body's text index


def span(toks, first, last):
    """The text span of tokens first..last, less the separators that end it."""
    while last > first and toks[last][0] in SEPARATORS:
        last -= 1
    return toks[first][1], toks[last][2]


def guards_of(text):
    """The places where a script fails, read as bash reads them: each a dict
    with kind ('||' or '&&' before a fail; 'if' or 'else', a branch that
    fails; 'case', a branch whose body fails), the text span of the
    condition (cond) or of the case branch's body (body), and where the fail
    call starts (fail)."""
    masker = Masker(text)
    masker.code(0)
    masked = ''.join(masker.out)
    toks = [(m.group(), m.start(), m.end()) for m in TOKEN.finditer(masked)]
    found, frames = [], [Frame('top')]
    cmdpos, function = True, False

    def word(k):
        return toks[k][0] if k < len(toks) else ''

    def is_fail(k):
        return word(k) in FAILS or (word(k) == 'exit' and re.fullmatch(r'[1-9]\d*', word(k + 1)) is not None)

    def case_branch(f, end):
        if f.fail_at is not None:
            found.append(dict(kind='case', body=(f.body_start, end), word=f.word, fail=toks[f.fail_at][1]))

    def finish_if(f):
        if f.section != 'else':
            f.branches.append((f.cond, f.fail_at))
        for cond, fail_at in f.branches:
            if fail_at is not None:
                found.append(dict(kind='if', cond=span(toks, *cond), fail=toks[fail_at][1]))
        if f.section == 'else' and f.fail_at is not None and len(f.branches) == 1:
            found.append(dict(kind='else', cond=span(toks, *f.branches[0][0]), fail=toks[f.fail_at][1]))

    k = 0
    while k < len(toks):
        tok, a, b = toks[k]
        f = frames[-1]
        prev = toks[k - 1][0] if k else '\n'
        if tok == '\n' and prev in ('||', '&&', '|', '|&'):
            pass                                  # the list goes on on the next line
        elif f.kind == 'case' and f.section == 'word':
            if tok == 'in':
                f.section = 'pattern'
            elif tok != '\n' and f.word is None:
                f.word = a
        elif f.kind == 'case' and f.section == 'pattern':
            if tok == 'esac':
                frames.pop()
                cmdpos = False
            elif tok == ')':
                f.section, f.body_start, f.start, f.fail_at, cmdpos = 'body', b, None, None, True
        elif f.kind == 'loop' and f.section == 'head':     # for NAME in WORDS; do
            if tok == 'do' and prev in SEPARATORS:
                f.section, f.start, cmdpos = 'body', None, True
        elif tok in REDIRECTS:
            k += 1                                # its file, or its here-document's word
        elif tok in SEPARATORS or tok in (';;', ';&', ';;&'):
            if tok not in SEPARATORS and f.kind == 'case':
                case_branch(f, a)
                f.section = 'pattern'
            f.start, cmdpos = None, True
        elif tok in ('||', '&&', '|', '|&'):
            if tok != '|' and tok != '|&' and f.start is not None:
                j = k + 1
                while word(j) == '\n':
                    j += 1
                if is_fail(j):
                    found.append(dict(kind=tok, cond=(toks[f.start][1], toks[k - 1][2]), fail=toks[j][1]))
                elif word(j) == '{':
                    f.waiting.append((tok, f.start, k, j))
            cmdpos = True
        elif tok == '(' and k and toks[k - 1][2] == a and toks[k - 1][0].endswith('='):
            depth = 0                             # an array's words: NAME=( ... )
            while k < len(toks):
                depth += {'(': 1, ')': -1}.get(toks[k][0], 0)
                if depth == 0:
                    break
                k += 1
            cmdpos = False
        elif tok == CLOSERS.get(f.kind) and (cmdpos or tok == ')'):
            frames.pop()
            parent = frames[-1]
            if f.kind == 'if':
                finish_if(f)
            elif f.kind == 'case':
                case_branch(f, a)
            elif f.kind == 'group' and not f.function and f.fail_at is not None:
                for op, start, at, brace in parent.waiting:
                    if brace == f.opener:
                        found.append(dict(kind=op, cond=(toks[start][1], toks[at - 1][2]), fail=toks[f.fail_at][1]))
                if parent.start == f.opener and parent.fail_at is None:
                    parent.fail_at = f.fail_at    # { ...; fail; } as a command of its own
            cmdpos = False
        elif not cmdpos:
            pass
        elif tok in OPENERS:
            if f.start is None:
                f.start = k
            frame = Frame(OPENERS[tok], opener=k, function=function)
            function = False
            frame.section = {'if': 'cond', 'case': 'word', 'for': 'head', 'select': 'head'}.get(tok, 'body')
            frame.cond = [k + 1, None]
            frames.append(frame)
        elif f.kind == 'if' and tok in ('then', 'elif', 'else'):
            if tok == 'then':
                f.cond[1] = k - 1
                f.section = 'then'
            else:
                f.branches.append((f.cond, f.fail_at))
                f.section, f.cond = ('cond', [k + 1, None]) if tok == 'elif' else ('else', None)
            f.start = f.fail_at = None
        elif f.kind == 'loop' and tok == 'do':
            f.section, f.start = 'body', None
        elif word(k + 1) == '(' and word(k + 2) == ')':
            function, f.start = True, None        # NAME() { ... }
            k += 2
        elif tok == 'function':
            function, f.start = True, None
            k += 1
        else:
            if f.start is None:
                f.start = k
            if is_fail(k) and f.start == k and f.fail_at is None:
                f.fail_at = k
            if tok != '!' and not ASSIGNMENT.match(tok):
                cmdpos = False
        k += 1

    found.sort(key=lambda g: (g.get('cond') or g['body'])[0])
    for g in found:
        if 'cond' in g:
            g['test'] = is_test(masked[g['cond'][0]:g['cond'][1]])
    return found


def is_test(masked_cond):
    """Whether a condition is made of tests alone: [ ], [[ ]] or test."""
    first = True
    for m in TOKEN.finditer(masked_cond):
        w = m.group()
        if w in ('}', ')'):
            continue
        if w in ('&&', '||', ';', '\n', '!', '{', '('):
            first = True
        elif first and not (w in ('[', 'test', 'true', 'false') or w.startswith('[[')):
            return False
        else:
            first = False
    return True


def sort_command(cond):
    """('step' or 'check' or 'unsorted', why) for a command's text."""
    for kind, patterns in (('step', STEPS), ('check', CHECKS)):
        for pattern, why in patterns:
            if re.search(pattern, cond):
                return kind, why
    return 'unsorted', 'neither CHECKS nor STEPS names it: planted as a check'


def whole_lines(text, a, b):
    """The lines that hold text[a:b], each stripped (of a line join too), joined into one."""
    start, end = text.rfind('\n', 0, a) + 1, text.find('\n', b)
    lines = (s.strip().rstrip('\\').strip() for s in text[start:None if end < 0 else end].split('\n'))
    return ' '.join(s for s in lines if s)


def apply(text, edits):
    """text with each (start, end, new) put in; the spans do not overlap."""
    for s, e, new in sorted(edits, key=lambda x: x[0], reverse=True):
        text = text[:s] + new + text[e:]
    return text


def plan(path, text):
    """The guards of one script, each with its fault: edits, (start, end,
    new text) that keep every line where it was; and the steps left alone."""
    guards, steps = [], []
    for g in guards_of(text):
        kind = g['kind']
        if kind == 'case':
            a, b = g['body']
            body = text[a:b]
            edits = [(a, b, ' :' + '\n' * body.count('\n') + ' ')]
            shown, how = (a, b), 'case'
        else:
            a, b = g['cond']
            cond = text[a:b]
            # Letting everything through: || fail (and else) want the
            # condition true; && fail and if ... fail want it false.
            want_true = kind in ('||', 'else')
            if g['test']:
                # The line ends first: what follows the test stays on its line.
                edits = [(a, b, '\n' * cond.count('\n') + ('true' if want_true else 'false'))]
                how = 'test'
            else:
                how, why = sort_command(cond)
                if how == 'step':
                    steps.append(dict(file=path, line=text.count('\n', 0, a) + 1, why=why,
                                      original=whole_lines(text, a, g['fail'])))
                    continue
                edits = [(a, a, '{ '), (b, b, ' || :; }' if want_true else '; false; }')]
                g['why'] = why
            # An if's condition is shown; a || guard with its fail call.
            shown = (a, b) if kind in ('if', 'else') else (a, g['fail'])
        grown = sum(len(new) - (e - s) for s, e, new in edits)
        guards.append(dict(file=path, line=text.count('\n', 0, a) + 1,
                           kind={'||': how, '&&': how}.get(kind, kind), planted=how,
                           edits=edits, at=g, why=g.get('why'),
                           original=whole_lines(text, *shown),
                           mutated=whole_lines(apply(text, edits), shown[0], shown[1] + grown)))
    return guards, steps


def probed(text, guards, trace):
    """The script with each guard writing its id to the file trace when it
    is reached (for a case branch: when its case is), and otherwise doing
    what it did."""
    inserts = []
    for g in guards:
        mark = "echo %d >>'%s'" % (g['id'], trace)
        if g['at']['kind'] == 'case':
            inserts.append((g['at']['word'], g['at']['word'], '$(%s)' % mark))
        else:
            a, b = g['at']['cond']
            inserts += [(a, a, '{ %s; ' % mark), (b, b, '; }')]
    return apply(text, inserts)


def all_guards(tree, scripts):
    """Every guard of the scripts, in file and source order, and the steps left alone."""
    guards, steps = [], []
    for path in scripts:
        found, left = plan(path, read(os.path.join(tree, path)))
        for g in found:
            g['id'] = len(guards) + 1
            guards.append(g)
        steps += left
    return guards, steps


def accepted(g):
    """Why the survivor g cannot be caught from outside, when ACCEPTED says so."""
    for path, pattern, why in ACCEPTED:
        if path == g['file'] and re.search(pattern, g['original']):
            return why
    return None


# --- Running them --------------------------------------------------------------

def run_cases(job, cases, timeout=None, first_failure=False):
    """Runs one case script in the job's copy, with a fresh TMPDIR of the
    job's own: (exit status or None when out of time, seconds, the cases
    that passed, those that failed), each case named after its script.
    With first_failure, the script stops at its first failed case
    (RELEASE_CASES_STOP, tests/release/setup.sh)."""
    shutil.rmtree(job['tmp'], ignore_errors=True)
    os.makedirs(job['tmp'])
    rc, seconds = run('%sTMPDIR=%s exec bash %s' % ('RELEASE_CASES_STOP=1 ' if first_failure else '',
                                                     shlex.quote(job['tmp']), shlex.quote(cases)),
                      job['dir'], job['log'], timeout)
    output, named = read(job['log']), lambda found: ['%s: %s' % (os.path.basename(cases), c) for c in found]
    return (rc, seconds, named(re.findall(r'^ok: (.*)$', output, re.M)),
            named(re.findall(r'^FAILED: (.*)$', output, re.M)))


def judge(g, job, timeouts, baseline, every_failure):
    """Plants g's fault in the job's copy, runs each case script that reaches
    the guard, and takes the fault out again. Unless every_failure, the
    first failed case kills it, and nothing more is run."""
    path, text = os.path.join(job['dir'], g['file']), job['sources'][g['file']]
    write(path, apply(text, g['edits']))
    try:
        if subprocess.run(['bash', '-n', path], capture_output=True).returncode:
            g['status'] = 'stillborn'         # the runner's own fault: it does not parse
            return
        g['status'], g['failed'], g['complete'], g['seconds'] = 'survived', [], True, 0
        for cases in g['reached_by']:
            rc, seconds, passed, failed = run_cases(job, cases, timeouts[cases], not every_failure)
            g['seconds'] += seconds
            g['failed'] += failed
            if rc != 0:
                g['status'] = 'killed'
                # Cases that neither passed nor failed: the script stopped early.
                g['complete'] &= set(baseline[cases]) <= set(passed) | set(failed)
            if rc is None:
                g['timeout'] = True
            if rc != 0 and not every_failure:
                break
    finally:
        write(path, text)


def report(results, cases):
    """Prints the survivors, the kills of each case, and the summary line."""
    for g in results:
        if g['status'] == 'survived':
            notes = ([] if g['reached'] else ['no case reaches it']) + (
                ['accepted: ' + g['accepted']] if g.get('accepted') else [])
            print('%s:%d %s  =>  %s%s' % (g['file'], g['line'], g['original'], g['mutated'],
                                           ''.join('  [%s]' % n for n in notes)))
    for g in results:
        if g['status'] == 'killed' and g.get('accepted'):
            print('%s:%d is killed, yet ACCEPTED names it: drop it from the list' % (g['file'], g['line']))
        if g['status'] == 'stillborn':
            print('%s:%d does not parse once planted (a fault of this runner): %s' % (
                g['file'], g['line'], g['mutated']))
    killed = [g for g in results if g['status'] == 'killed']
    kills = {c: [0, 0] for c in cases}
    for g in killed:
        for c in g['failed']:
            kills.setdefault(c, [0, 0])[0] += 1
            # Cases that never ran might have caught it too: not unique then.
            kills[c][1] += len(g['failed']) == 1 and g['complete']
    print('%6s %6s  %s' % ('kills', 'unique', 'case'))
    for c in cases + sorted(set(kills) - set(cases)):
        print('%6d %6d  %s' % (*kills[c], c))
    print('%6d %6s  %s' % (sum(not g['failed'] for g in killed), '', 'killed with no FAILED case on record'))
    survivors = [g for g in results if g['status'] == 'survived']
    k, v = len(killed), len(survivors)
    a = sum(bool(g.get('accepted')) for g in survivors)
    counted = k + v - a
    line = 'guards %d, killed %d, survived %d, accepted %d, not reached %d, score K/(K+V-A) = %d/%d = %s' % (
        len(results), k, v, a, sum(not g['reached'] for g in survivors), k, counted,
        '%.1f%%' % (100.0 * k / counted) if counted else 'n/a')
    print(line)
    return line


def save(path, results, cases, steps, line=None):
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    shown = [{k: v for k, v in g.items() if k != 'at'} for g in sorted(results, key=lambda g: g['id'])]
    with open(path + '.tmp', 'w') as f:
        json.dump(dict(summary=line, cases=cases, guards=shown, steps_left_alone=steps), f, indent=1)
    os.replace(path + '.tmp', path)


def main():
    p = argparse.ArgumentParser(usage=__doc__.split('\n\n')[1][len('usage: '):], description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument('--jobs', type=int, default=2, help='copies working at once (default 2)')
    p.add_argument('--limit', type=int, help='a random sample of N guards')
    p.add_argument('--seed', type=int, default=1, help='the seed of that sample (default 1)')
    p.add_argument('--only', help='the guards on one line (or A-B) of a script, as scripts/release.sh:97')
    p.add_argument('--timeout', type=float,
                   help='seconds per run of a case script (default 3 x its first run + 60)')
    p.add_argument('--list', action='store_true', help='print the guards and the steps left alone, and stop')
    p.add_argument('--script', action='append', help='a script to plant faults in, from the checkout'
                   ' (repeatable; default %s)' % ' and '.join(SCRIPTS))
    p.add_argument('--cases', action='append', help='a case script to run, from the checkout'
                   ' (repeatable; default each %s)' % CASES)
    p.add_argument('--every-failure', action='store_true',
                   help='run every case of each script that reaches a guard, not only up to the first failure')
    p.add_argument('--report', default=os.path.join(ROOT, REPORT), help='the JSON report (default %s)' % REPORT)
    p.add_argument('--checkout', default=ROOT, help='the checkout to copy (default this one)')
    args = p.parse_args()
    scripts = args.script or SCRIPTS
    mutants.ROOT = os.path.abspath(args.checkout)   # where copy_checkout copies from

    workdir = tempfile.mkdtemp(prefix='fwdisk-mr-')
    base = os.path.join(workdir, 'base')
    # A snapshot of the checkout as it is now: what is found is what is run,
    # however the checkout changes meanwhile.
    copy_checkout(base)
    try:
        todo, steps = all_guards(base, scripts)
        todo = mutants.select(todo, args.only, args.limit, args.seed)
        if args.list:
            for g in todo:
                print('%4d %s:%d %-6s %s  =>  %s' % (g['id'], g['file'], g['line'], g['kind'],
                                                   g['original'], g['mutated']))
                if g['planted'] == 'unsorted':
                    print('     ^ %s' % g['why'])
            for s in steps:
                print('step %s:%d left alone (%s): %s' % (s['file'], s['line'], s['why'], s['original']))
            kinds = {k: sum(g['kind'] == k for g in todo) for k in ('test', 'check', 'unsorted', 'if', 'else', 'case')}
            print('guards %d (%s); steps left alone %d' % (
                len(todo), ', '.join('%s %d' % kv for kv in kinds.items() if kv[1]), len(steps)))
            return 0
        cases = args.cases or sorted(os.path.relpath(f, base) for f in glob.glob(os.path.join(base, CASES)))
        if not cases:
            sys.exit('mutants-release: no case script %s in the checkout' % CASES)
        return mutate(args, scripts, cases, todo, steps, workdir, base)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


def mutate(args, scripts, case_scripts, todo, steps, workdir, base):
    subprocess.run(['git', 'init', '-q', base], check=True)   # the cases copy what git lists
    jobs = []
    for k in range(max(1, args.jobs)):
        job = dict(dir=os.path.join(workdir, 'job%d' % k), tmp=os.path.join(workdir, 'tmp%d' % k),
                   log=os.path.join(workdir, 'job%d.log' % k), trace=os.path.join(workdir, 'trace%d' % k))
        shutil.copytree(base, job['dir'], symlinks=True)
        job['sources'] = {f: read(os.path.join(job['dir'], f)) for f in scripts}
        jobs.append(job)
    results, lock = [], threading.Lock()
    baseline, timeouts, reached, problems = {}, {}, {}, []
    cases = []

    def interrupt(*_):
        raise KeyboardInterrupt()
    signal.signal(signal.SIGTERM, interrupt)
    try:
        # Each case script once, every guard probed: which guards it
        # reaches, and that it passes.
        every, _ = all_guards(base, scripts)
        for job in jobs:
            for f in scripts:
                write(os.path.join(job['dir'], f),
                      probed(job['sources'][f], [g for g in every if g['file'] == f], job['trace']))
        print('mutants-release: %s, every guard probed ...' % ', '.join(case_scripts), file=sys.stderr, flush=True)

        def first_run(cases, job):
            open(job['trace'], 'w').close()
            rc, seconds, passed, failed = run_cases(job, cases)
            with open(job['trace']) as f:
                reached[cases] = {int(line) for line in f if line.strip()}
            baseline[cases] = passed + failed
            timeouts[cases] = args.timeout or 3 * seconds + 60
            print('mutants-release: %s: %d cases in %.0f s, %d guards reached' % (
                cases, len(passed) + len(failed), seconds, len(reached[cases])), file=sys.stderr, flush=True)
            if rc != 0 or failed:
                problems.append('%s fails with the guards probed, before any fault:\n%s' % (
                    cases, read(job['log'])[-3000:]))
        in_parallel(jobs, case_scripts, first_run)
        for job in jobs:
            for f in scripts:
                write(os.path.join(job['dir'], f), job['sources'][f])
        if problems:
            sys.exit('mutants-release: ' + '\n'.join(problems) + '\n(run the case script by itself to tell'
                     ' whether the checkout fails without the probes)')
        cases = [c for f in case_scripts for c in baseline[f]]

        for g in todo:
            g['reached_by'] = [f for f in case_scripts if g['id'] in reached[f]]
            g['reached'] = bool(g['reached_by'])
            g['accepted'] = accepted(g)
            if not g['reached']:
                # No case reaches it: its fault changes nothing a case sees,
                # so it is not run; it only has to parse.
                path = os.path.join(base, g['file'])
                text = read(path)
                write(path, apply(text, g['edits']))
                bad = subprocess.run(['bash', '-n', path], capture_output=True).returncode
                write(path, text)
                g['status'], g['failed'] = 'stillborn' if bad else 'survived', []
                results.append(g)
        run_these = [g for g in todo if g['reached']]
        print('mutants-release: %d guards, %d reached by the cases, %d jobs' % (len(todo), len(run_these), len(jobs)),
              file=sys.stderr, flush=True)
        started = time.time()

        def one(g, job):
            judge(g, job, timeouts, baseline, args.every_failure)
            with lock:
                results.append(g)
                done = len(results) - (len(todo) - len(run_these))
                left = (time.time() - started) / done * (len(run_these) - done) / 60
                print('[%d/%d, %.0f min left] %-9s %s:%d %s  =>  %s%s' % (
                    done, len(run_these), left, g['status'], g['file'], g['line'], g['original'],
                    g['mutated'], ''.join('\n    FAILED: ' + c for c in g['failed'])),
                    file=sys.stderr, flush=True)
                save(args.report, results, cases, steps)
        in_parallel(jobs, run_these, one)
    except KeyboardInterrupt:
        for pid in list(RUNNING):
            try:
                os.killpg(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        print('mutants-release: interrupted; the counts are of the guards done', file=sys.stderr)
    results.sort(key=lambda g: g['id'])
    line = report(results, cases)
    save(args.report, results, cases, steps, line)
    return 0


if __name__ == '__main__':
    sys.exit(main())
