#!/usr/bin/env python3
"""Mutation testing of fwdisk against its native test suite.

usage: dev/mutants.py [--jobs N] [--limit N --seed S] [--only FILE:LINE[-LINE]] [--list]

Plants one small fault at a time in src/imagewrite.cpp, src/volume.cpp and
src/programfile.cpp, rebuilds the native tests (build/native, target
fwdisk_tests) and runs them.
Each job works in its own copy of the checkout under $TMPDIR. A mutant is:

  equivalent  compiled as the program is, by each cross build's own command
              (build/win/ and build/win64/compile_commands.json), its
              object code for 32-bit and for x64 Windows is the same as the
              original's: no test could tell; not run
  stillborn   the native build fails (-Werror included)
  killed      the tests fail, crash or overrun the time limit
  survived    the tests pass

The faults: a relational operator swapped (< with <= and >=, == with !=, ...),
a binary + - * / % swapped, && with ||, a ! dropped, an if condition negated,
an integer constant made n+1, n-1 or 0, a returned value made 0 or 1, a call
statement deleted, and the first character of a string literal changed.

Prints the survivors, each test case's kills (total and unique: the mutants
no other test case kills), and last a summary line. The full report goes to
build/mutants.json.
"""
import argparse, json, os, queue, random, re, shlex, shutil, signal, subprocess
import sys, tempfile, threading, time
import xml.etree.ElementTree as ET

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCES = ['src/imagewrite.cpp', 'src/volume.cpp', 'src/programfile.cpp']
BUILD = ('test -f build/native/build.ninja'
         ' || cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null;'
         ' cmake --build build/native --target fwdisk_tests')
XML = 'build/gtest.xml'
TEST = ['build/native/fwdisk_tests', '--gtest_output=xml:' + XML]
# How the program's cross builds, 32-bit and x64, compile a source, as CMake
# lists it.
CROSS_COMMANDS = ['build/win/compile_commands.json', 'build/win64/compile_commands.json']

# --- Finding the mutants -------------------------------------------------------

# Comments, preprocessor lines, and string and character literals.
NOISE = re.compile(r'//[^\n]*|/\*.*?\*/|^[ \t]*#(?:\\\n|[^\n])*'
                   r'|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'', re.S | re.M)
TOKEN = re.compile(r'(?P<num>(?<![\w.])(?:0[xX][0-9a-fA-F]+|\d+)(?P<suffix>[uUlL]*)(?![\w.]))'
                   r'|(?P<id>[A-Za-z_]\w*)'
                   r'|(?P<op>->|<<=|>>=|<<|>>|<=|>=|==|!=|&&|\|\||\+\+|--|[-+*/%&|^]=|[^\s\w])')
RELATIONAL = {'<': ['<=', '>='], '<=': ['<', '>'], '>': ['>=', '<='], '>=': ['>', '<'],
              '==': ['!='], '!=': ['==']}
ARITHMETIC = {'+': '-', '-': '+', '*': '/', '/': '*', '%': '/',
              '+=': '-=', '-=': '+=', '*=': '/=', '/=': '*=', '%=': '/='}
# Words after which * or - starts an operand rather than being a binary operator.
TYPE_OR_KEYWORD = set('return case sizeof else do char int void const unsigned long short signed '
                      'float double bool auto static struct'.split())
# A statement that is nothing but a call: name(...); or a.b(...); on its own line.
CALL = re.compile(r'^[ \t]*(([A-Za-z_]\w*)(?:(?:\.|->)[A-Za-z_]\w*)*\s*\()', re.M)
NOT_A_CALL = {'if', 'for', 'while', 'switch', 'return', 'sizeof'}


def masked(text):
    """The text with comments and preprocessor lines blanked and the insides of
    literals made '_', same length and lines; and the string literals' spans."""
    out, strings = [], []
    last = 0
    for m in NOISE.finditer(text):
        out.append(text[last:m.start()])
        t = m.group()
        if t[0] in '"\'':
            out.append(t[0] + re.sub(r'[^\n]', '_', t[1:-1]) + t[-1])
            if t[0] == '"':
                strings.append((m.start(), m.end()))
        else:
            out.append(re.sub(r'[^\n]', ' ', t))
        last = m.end()
    out.append(text[last:])
    return ''.join(out), strings


def closing(code, i):
    """The index of the parenthesis that closes the one at i, or -1."""
    depth = 0
    for j in range(i, len(code)):
        depth += {'(': 1, ')': -1}.get(code[j], 0)
        if depth == 0:
            return j
    return -1


def negation_is_covered(cond):
    """Whether negating `if (cond)` would only repeat another mutant: a lone
    comparison (its swaps cover it), or a whole !x or !f(...) (dropping the !)."""
    ops = [t.group() for t in TOKEN.finditer(cond)]
    if sum(o in RELATIONAL for o in ops) == 1 and not {'&&', '||', '?'} & set(ops):
        return True
    m = re.fullmatch(r'\s*!\s*[\w.]+\s*(\(.*\))?\s*', cond, re.S)
    return bool(m) and (not m.group(1) or closing(cond, m.start(1)) == m.end(1) - 1)


def edits(text):
    """(start, end, replacement, kind) of every fault to plant in a source."""
    code, strings = masked(text)
    tokens, found = list(TOKEN.finditer(code)), []
    for k, m in enumerate(tokens):
        t, a, b = m.group(), m.start(), m.end()
        before = tokens[k - 1] if k else None
        after = tokens[k + 1] if k + 1 < len(tokens) else None
        if t in RELATIONAL:
            found += [(a, b, r, 'relational') for r in RELATIONAL[t]]
        elif t in ARITHMETIC and before and after and after.group() != ')':
            # Binary only: an operand before it, and spaced alike on both
            # sides (so "char *p" and "-1" are left alone).
            operand = (before.group('num') or before.group() in (')', ']', '"', "'")
                       or (before.group('id') and before.group() not in TYPE_OR_KEYWORD))
            if operand and text[a - 1].isspace() == text[b].isspace():
                found.append((a, b, ARITHMETIC[t], 'arithmetic'))
        elif t in ('&&', '||'):
            found.append((a, b, '||' if t == '&&' else '&&', 'logical'))
        elif t == '!':
            found.append((a, b, '', 'not'))
        elif m.group('num'):
            digits = t[:len(t) - len(m.group('suffix'))]
            if digits[:2] in ('0x', '0X'):
                value, shown = int(digits, 16), hex
            elif re.fullmatch('0[0-7]+', digits):
                value, shown = int(digits, 8), lambda v: '0%o' % v
            else:
                value, shown = int(digits), str
            for v in dict.fromkeys((value + 1, value - 1, 0)):
                if v >= 0 and v != value:
                    found.append((a, b, shown(v) + m.group('suffix'), 'constant'))
        elif t == 'if' and after and after.group() == '(':
            c = closing(code, after.start())
            if c > 0 and not negation_is_covered(code[after.end():c]):
                found.append((after.end(), c, '!(' + text[after.end():c] + ')', 'if'))
        elif t == 'return':
            end = code.find(';', b)
            value = text[b:end].strip() if end > 0 else ''
            found += [(b, end, ' ' + v, 'return') for v in '01' if value and value != v]
    for m in CALL.finditer(code):
        c = closing(code, m.end() - 1)
        semicolon = re.match(r'\s*;[ \t]*(\n|$)', code[c + 1:]) if c > 0 else None
        if semicolon and m.group(2) not in NOT_A_CALL:
            a, b = m.start(1), c + 2 + semicolon.group().index(';')
            # Keep the line count, so later line numbers stay right.
            found.append((a, b, '(void)0;' + '\n' * text.count('\n', a, b), 'call'))
    for a, b in strings:
        if b - a > 2:
            first = text[a + 1:a + 3] if text[a + 1] == '\\' else text[a + 1]
            found.append((a + 1, a + 1 + len(first), '#' if first == '@' else '@', 'string'))
    return sorted(found, key=lambda e: e[0])


def whole_lines(text, a, b):
    """The source lines that hold text[a:b], joined into one."""
    start, end = text.rfind('\n', 0, a) + 1, text.find('\n', b)
    return ' '.join(s.strip() for s in text[start:None if end < 0 else end].split('\n') if s.strip())


def read(path):
    with open(path, encoding='utf-8', errors='surrogateescape', newline='') as f:
        return f.read()


def write(path, text):
    with open(path, 'w', encoding='utf-8', errors='surrogateescape', newline='') as f:
        f.write(text)


def all_mutants(tree):
    """Every mutant of the sources, in file and source order; two edits that
    give the same text count once."""
    result, seen = [], set()
    for path in SOURCES:
        text = read(os.path.join(tree, path))
        for a, b, new, kind in edits(text):
            mutated = text[:a] + new + text[b:]
            if new == text[a:b] or mutated in seen:
                continue
            seen.add(mutated)
            result.append(dict(id=len(result) + 1, file=path, line=text.count('\n', 0, a) + 1,
                               kind=kind, start=a, end=b, new=new,
                               original=whole_lines(text, a, b),
                               mutated=whole_lines(mutated, a, a + len(new))))
    return result


# --- Running them --------------------------------------------------------------

RUNNING = set()  # process groups under way, to stop on Ctrl-C


def run(cmd, cwd, log, timeout=None):
    """Exit status of a command (None when it ran out of time), and its seconds."""
    start = time.time()
    with open(log, 'w') as out:
        p = subprocess.Popen(cmd, shell=isinstance(cmd, str), cwd=cwd, stdout=out,
                             stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                             start_new_session=True)
        RUNNING.add(p.pid)
        try:
            rc = p.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(p.pid, signal.SIGKILL)
            p.wait()
            rc = None
        RUNNING.discard(p.pid)
    return rc, time.time() - start


def in_parallel(jobs, items, do):
    """Calls do(item, job) for each item, each job working on one at a time;
    stops at the first exception, and raises it."""
    waiting, broken = queue.Queue(), []
    for item in items:
        waiting.put(item)

    def work(job):
        while not broken:
            try:
                item = waiting.get_nowait()
            except queue.Empty:
                return
            try:
                do(item, job)
            except Exception as e:  # the counts would be short: stop
                broken.append(e)
    workers = [threading.Thread(target=work, args=(job,), daemon=True) for job in jobs]
    for w in workers:
        w.start()
    for w in workers:
        while w.is_alive():  # join() with a timeout, so Ctrl-C gets through
            w.join(1)
    if broken:
        raise broken[0]


def copy_checkout(dst):
    """Copies the files git knows of, and new ones it does not ignore (so not build/)."""
    listed = subprocess.run(['git', '-C', ROOT, 'ls-files', '-z', '--cached', '--others',
                             '--exclude-standard'], capture_output=True, check=True)
    for f in filter(None, listed.stdout.decode().split('\0')):
        src = os.path.join(ROOT, f)
        if os.path.lexists(src) and not os.path.isdir(src):  # deleted files are still listed
            os.makedirs(os.path.dirname(os.path.join(dst, f)), exist_ok=True)
            shutil.copy2(src, os.path.join(dst, f), follow_symlinks=False)


def cross_compiler(source, commands):
    """The program's own compiler and options for source, from a cross
    build's compile_commands.json, without its input and output: a mutant
    is equivalent when it compiles to the same code as the program does."""
    path = os.path.join(ROOT, commands)
    try:
        with open(path) as f:
            entries = json.load(f)
    except (OSError, ValueError):
        sys.exit('mutants: cannot read %s (scripts/build.sh --no-demo writes it)' % path)
    for entry in entries:
        if os.path.relpath(entry['file'], ROOT) == source:
            words = entry.get('arguments') or shlex.split(entry['command'])
            kept, skip = [], False
            for word in words:
                if not skip and word not in ('-o', '-c'):
                    kept.append(word)
                skip = word in ('-o', '-c')
            return kept + ['-c']
    sys.exit('mutants: %s does not list %s' % (path, source))


def object_code(tree, source):
    """The section contents and relocations of source as each of the
    program's compilers makes it, as objdump shows them; None when it does
    not compile."""
    obj, dumps = os.path.join(tree, 'build', 'equivalence.o'), []
    for commands in CROSS_COMMANDS:
        compiler = cross_compiler(source, commands)
        if subprocess.run(compiler + [source, '-o', obj], cwd=tree, capture_output=True).returncode:
            return None
        # The compiler's own objdump: i686-w64-mingw32-g++ beside i686-w64-mingw32-objdump.
        objdump = re.sub(r'(g\+\+|gcc|c\+\+)$', 'objdump', compiler[0])
        dump = subprocess.run([objdump, '-s', '-r', obj], capture_output=True, text=True, check=True).stdout
        # The first lines name the object file, the same for every mutant.
        dumps.append(dump.split('\n', 3)[3])
    return dumps


def failed_cases(xml, log):
    """The test cases that failed, from GoogleTest's XML; when a crash left no
    XML, from its output, with the case it stopped in (None if it finished)."""
    try:
        cases = ET.parse(xml).iter('testcase')
        return sorted(c.get('classname') + '.' + c.get('name') for c in cases
                      if c.find('failure') is not None or c.find('error') is not None), None
    except (OSError, ET.ParseError):
        output = read(log)
        failed = re.findall(r'^\[  FAILED  \] ([^\s,]+)(?:, where .*)? \(\d+ ms\)$', output, re.M)
        passed = re.findall(r'^\[       OK \] (\S+)', output, re.M)
        started = re.findall(r'^\[ RUN      \] (\S+)', output, re.M)
        crashed = started[-1] if started and started[-1] not in failed + passed else None
        return sorted(failed + [crashed] * bool(crashed)), crashed


def judge(m, job, timeout):
    """Plants mutant m in the job's copy, sorts it, and takes it out again."""
    path, text = os.path.join(job['dir'], m['file']), job['sources'][m['file']]
    write(path, text[:m['start']] + m['new'] + text[m['end']:])
    try:
        if object_code(job['dir'], m['file']) == job['code'][m['file']]:
            m['status'] = 'equivalent'
        elif run(BUILD, job['dir'], job['log'])[0] != 0:
            m['status'] = 'stillborn'
        else:
            xml = os.path.join(job['dir'], XML)
            if os.path.exists(xml):
                os.remove(xml)
            rc, m['seconds'] = run(TEST, job['dir'], job['log'], timeout)
            m['status'] = 'survived' if rc == 0 else 'killed'
            if rc is None:
                m['timeout'] = True
            if rc != 0:
                m['failed'], crashed = failed_cases(xml, job['log'])
                if crashed:
                    m['crashed'] = crashed
    finally:
        write(path, text)


def prepare(job):
    """Copies the checkout for one job, builds it and notes the original code."""
    copy_checkout(job['dir'])
    os.makedirs(os.path.join(job['dir'], 'build'), exist_ok=True)
    job['sources'] = {f: read(os.path.join(job['dir'], f)) for f in SOURCES}
    job['code'] = {f: object_code(job['dir'], f) for f in SOURCES}
    if None in job['code'].values():
        sys.exit('mutants: i686-w64-mingw32-g++ cannot compile the unchanged sources')
    if run(BUILD, job['dir'], job['log'])[0] != 0:
        sys.exit('mutants: the unchanged checkout does not build:\n' + read(job['log'])[-3000:])


def report(results, cases):
    """Prints the survivors, the kills of each test case, and the summary line."""
    count = {s: sum(m['status'] == s for m in results)
             for s in ('equivalent', 'stillborn', 'killed', 'survived')}
    for m in results:
        if m['status'] == 'survived':
            print('%s:%d %s  =>  %s' % (m['file'], m['line'], m['original'], m['mutated']))
    killed = [m for m in results if m['status'] == 'killed']
    kills = {c: [0, 0] for c in cases}
    for m in killed:
        for c in m.get('failed', []):
            kills.setdefault(c, [0, 0])[0] += 1
            # A crash stops the run: cases after it never ran, so not unique.
            kills[c][1] += len(m['failed']) == 1 and 'crashed' not in m
    print('%-70s %6s %6s' % ('test case', 'kills', 'unique'))
    for c in sorted(kills):
        print('%-70s %6d %6d' % (c, *kills[c]))
    print('%-70s %6d' % ('killed with no failed test case on record', sum(not m.get('failed') for m in killed)))
    counted = count['killed'] + count['survived']
    line = 'mutants %d, equivalent %d, stillborn %d, killed %d, survived %d, score %d/%d = %s' % (
        len(results), count['equivalent'], count['stillborn'], count['killed'], count['survived'],
        count['killed'], counted, '%.1f%%' % (100.0 * count['killed'] / counted) if counted else 'n/a')
    print(line)
    return line


def save(results, cases, line=None):
    path = os.path.join(ROOT, 'build', 'mutants.json')
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path + '.tmp', 'w') as f:
        json.dump(dict(summary=line, cases=cases, mutants=sorted(results, key=lambda m: m['id'])), f, indent=1)
    os.replace(path + '.tmp', path)


def select(todo, only, limit, seed):
    """The items of todo (each with its file, line and id) on the lines that
    ONLY names ("FILE:LINE" or "FILE:FIRST-LAST"), then a sample of LIMIT of
    them drawn with SEED, in their order."""
    if only:
        where, _, lines = only.rpartition(':')
        first, _, last = lines.partition('-')
        todo = [m for m in todo if where in ('', m['file'], os.path.basename(m['file']))
                and int(first) <= m['line'] <= int(last or first)]
    if limit is not None and limit < len(todo):
        todo = sorted(random.Random(seed).sample(todo, limit), key=lambda m: m['id'])
    return todo


def main():
    p = argparse.ArgumentParser(usage=__doc__.split('\n\n')[1][len('usage: '):], description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument('--jobs', type=int, default=2, help='copies working at once (default 2)')
    p.add_argument('--limit', type=int, help='a random sample of N mutants')
    p.add_argument('--seed', type=int, default=1, help='the seed of that sample (default 1)')
    p.add_argument('--only', help='the mutants on one line (or A-B) of a source, as src/volume.cpp:31')
    p.add_argument('--timeout', type=float, help='seconds per test run (default 4 x the unchanged run + 10)')
    p.add_argument('--list', action='store_true', help='print the mutants and stop')
    args = p.parse_args()

    todo = select(all_mutants(ROOT), args.only, args.limit, args.seed)
    if args.list:
        for m in todo:
            print('%4d %s:%d %-10s %s  =>  %s' % (m['id'], m['file'], m['line'], m['kind'],
                                                  m['original'], m['mutated']))
        return 0

    workdir = tempfile.mkdtemp(prefix='fwdisk-mutants-')
    jobs = [dict(dir=os.path.join(workdir, 'job%d' % k), log=os.path.join(workdir, 'job%d.log' % k))
            for k in range(max(1, args.jobs))]
    results, cases, lock = [], [], threading.Lock()
    try:
        for job in jobs:
            prepare(job)
        rc, seconds = run(TEST, jobs[0]['dir'], jobs[0]['log'])
        if rc != 0:
            sys.exit('mutants: the unchanged checkout fails its tests:\n' + read(jobs[0]['log'])[-3000:])
        cases = sorted(c.get('classname') + '.' + c.get('name')
                       for c in ET.parse(os.path.join(jobs[0]['dir'], XML)).iter('testcase'))
        timeout = args.timeout or 4 * seconds + 10
        print('mutants: %d mutants, %d jobs, %.0f s per test run at most' % (len(todo), len(jobs), timeout),
              file=sys.stderr)
        started = time.time()

        def one(m, job):
            judge(m, job, timeout)
            with lock:
                results.append(m)
                left = (time.time() - started) / len(results) * (len(todo) - len(results)) / 60
                print('[%d/%d, %.0f min left] %-10s %s:%d %s  =>  %s' % (
                    len(results), len(todo), left, m['status'], m['file'], m['line'],
                    m['original'], m['mutated']), file=sys.stderr, flush=True)
                save(results, cases)
        in_parallel(jobs, todo, one)
    except KeyboardInterrupt:
        for pid in list(RUNNING):
            try:
                os.killpg(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        print('mutants: interrupted; the counts are of the mutants done', file=sys.stderr)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    line = report(sorted(results, key=lambda m: m['id']), cases)
    save(results, cases, line)
    return 0


if __name__ == '__main__':
    sys.exit(main())
