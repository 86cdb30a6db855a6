#!/usr/bin/python3
"""Mutation testing of daemon/ and lib/, headers included: one textual rewrite of one
line at a time in a scratch copy of the tree (build-mutants/), compiled with the
Release flags and run against the tests that reach the mutated file. A mutant whose
tests run past the limit is counted as a time-out, apart from the kills. For people,
not for CI."""
import argparse, difflib, json, os, random, re, shlex, shutil, signal, subprocess, sys, time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WORK = os.path.join(ROOT, 'build-mutants')
SRC, BUILD = os.path.join(WORK, 'src'), os.path.join(WORK, 'build')
SWAP = {'==': '!=', '!=': '==', '<': '<=', '<=': '<', '>': '>=', '>=': '>', '&&': '||', '||': '&&'}
OUTCOMES = ('killed', 'timeout', 'survived', 'no-compile', 'same-object')


def run(cmd, **kw):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kw)


def mask(line):
    """The line with the insides of literals blanked and any comment cut off."""
    out, quote, i = [], None, 0
    while i < len(line) and (quote or not line.startswith(('//', '/*'), i)):
        c = line[i]
        out.append(c if not quote or c == quote else '_')
        if quote and c == '\\':
            out.append('_')
            i += 1
        quote = (None if c == quote else quote) if quote else (c if c in '"\'' else None)
        i += 1
    return ''.join(out)


def mutations(line):
    """(operator, new line) for each rewrite of one place of the line."""
    code = mask(line)
    if not code.strip() or code.lstrip().startswith(('#', '*')):
        return {}
    put = lambda m, text, g=0: line[:m.start(g)] + text + line[m.end(g):]
    out = [('logical' if m[0] in ('&&', '||') else 'relational', put(m, SWAP[m[0]]))
           for m in re.finditer(r'(?<= )(==|!=|<=|>=|<|>|&&|\|\|)(?= )', code)]
    for m in re.finditer(r'(?<![\w.\'])(0[xX][0-9A-Fa-f]+|\d+)(?![\w.\'])', code):
        hexa = m[0][:2].lower() == '0x'
        value = int(m[0], 16 if hexa else 10)
        out += [('constant', put(m, f'0x{value + d:X}' if hexa else str(value + d))) for d in (1, -1)
                if value + d >= 0 or not hexa]
    for m in re.finditer(r'\b(if|while) \(', code):
        depth = 0
        for end in range(m.end() - 1, len(code)):
            depth += {'(': 1, ')': -1}.get(code[end], 0)
            if depth == 0:
                out.append(('negated', line[:m.end()] + '!(' + line[m.end():end] + ')' + line[end:]))
                if m[1] == 'if':
                    out.append(('guard-removed', line[:m.start()] + line[end + 1:].lstrip()))
                break
    body = code.strip()
    # A declaration's removal could not compile; namespace scope holds nothing else.
    declares = re.match(r'(?!return\b|delete\b)(?:[\w:<>]+[ *&]+)+\w+ *[=;{[(]', body)
    if body.endswith(';') and body.count('(') == body.count(')') and code[:1] == ' ' and not declares:
        out.append(('statement-removed', line[:len(line) - len(line.lstrip())] + '{}' + line[len(code.rstrip()):]))
    m = re.search(r'\breturn (.+);', code)
    if m and m[1] != 'nullptr':
        out.append(('return-value', put(m, {'true': 'false', 'false': 'true', '0': '1'}.get(m[1], '0'), 1)))
    return {new: op for op, new in out if new != line}


def sync():
    """Copies the tree's files into SRC, rewriting only those that differ."""
    names = run(['git', 'ls-files', '-co', '--exclude-standard'], cwd=ROOT, check=True).stdout.split('\n')
    for name in filter(None, names):
        src, dst = os.path.join(ROOT, name), os.path.join(SRC, name)
        if os.path.isfile(src) and not (os.path.exists(dst) and open(src, 'rb').read() == open(dst, 'rb').read()):
            os.makedirs(os.path.dirname(dst), exist_ok=True)
            shutil.copyfile(src, dst)
            shutil.copymode(src, dst)
    for top, _, files in os.walk(SRC):
        for f in files:
            if os.path.relpath(os.path.join(top, f), SRC) not in names:
                os.remove(os.path.join(top, f))


def selection(files, commands):
    """Per file F: the targets to rebuild and the tests to run. A test program covers F
    when its sources reach F by quoted includes, where including X.h reaches X.cpp;
    a daemon/ file also gets the built torpord and every program that may start it."""
    headers = {f: os.path.join(top, f) for top, _, names in os.walk(SRC) for f in names if f.endswith('.h')}
    programs, daemon_runners = {}, {'torpord'}
    for e in commands:
        if e['file'].startswith(os.path.join(SRC, 'tests', '')):
            prog = re.search(r'CMakeFiles/([\w-]+)\.dir/', e['command'])[1]
            programs.setdefault(prog, []).append(e['file'])
            if '-DTORPORD_' in e['command']:  # built with the path of torpord, so it may start it
                daemon_runners.add(prog)
    reached = {}
    for prog, todo in programs.items():
        seen = reached[prog] = set()
        while todo:
            path = todo.pop()
            if path not in seen and os.path.exists(path):
                seen.add(path)
                for name in set(re.findall(r'^#include "([^"]+)"', open(path).read(), re.M)) & set(headers):
                    todo += [headers[name], headers[name][:-2] + '.cpp']
    tests = json.loads(run(['ctest', '--test-dir', BUILD, '--show-only=json-v1'], check=True).stdout)['tests']
    owner = {t['name']: {os.path.basename(arg) for arg in t.get('command', [])} for t in tests}
    out = {}
    for f in files:
        progs = {p for p in programs if os.path.join(SRC, f) in reached[p]}
        progs.update(daemon_runners if f.startswith('daemon/') else [])
        out[f] = (sorted(progs), [name for name, args in owner.items() if args & progs])
    return out


def ctest(names, jobs, limit):
    """killed, survived or timeout, and the first failed test; the output goes to ctest.log."""
    regex = '^(' + '|'.join(re.sub(r'([][\\^$.*+?()|])', r'\\\1', n) for n in names) + ')$'
    mark = f'MUTANTS_RUN={os.getpid()}'
    with open(os.path.join(WORK, 'ctest.log'), 'w+') as log:
        # The tests mostly wait for sleeps and tools: twice as many as the cores
        # brings the daemon's tests from 28 s to 16 s on 2 cores.
        p = subprocess.Popen(['ctest', '--test-dir', BUILD, '-j', str(2 * jobs), '--stop-on-failure', '--no-tests=error',
                              '-R', regex], stdout=log, stderr=log, start_new_session=True,
                             env=dict(os.environ, MUTANTS_RUN=mark.split('=')[1], TORPOR_TEST_PATIENCE='30'))
        try:
            result = 'killed' if p.wait(timeout=limit) else 'survived'
        except subprocess.TimeoutExpired:
            result = 'timeout'
        finally:  # also on Ctrl-C, which does not reach ctest's own session
            if p.poll() is None:
                os.killpg(p.pid, signal.SIGKILL)
                p.wait()
            # A failed test can leave a detached daemon behind; it carries the run's mark.
            for pid in filter(str.isdigit, os.listdir('/proc')):
                try:
                    if mark.encode() in open(f'/proc/{pid}/environ', 'rb').read().split(b'\0'):
                        os.kill(int(pid), signal.SIGKILL)
                except OSError:
                    pass
        log.seek(0)
        failed = re.search(r'Test +#\d+: (.+?) \.*\**(Failed|Timeout|Exception)', log.read())
    return result, failed[1] if failed else ''


def try_header(f, i, new, select, a, test):
    """A header's mutant: every target is rebuilt with it, and again once it is restored."""
    path = os.path.join(SRC, f)
    text, t0 = open(path).read(), time.time()
    lines = text.split('\n')
    try:
        open(path, 'w').write('\n'.join(lines[:i] + [new] + lines[i + 1:]))
        if run(['cmake', '--build', BUILD, '-j', str(a.jobs)]).returncode:
            return 'no-compile', '', ()
        if not test:
            return 'skipped', '', ()
        t1 = time.time()
        result, failed = ctest(select[f][1], a.jobs, a.limit)
        return result, failed, (t1 - t0, 0, time.time() - t1)
    finally:
        open(path, 'w').write(text)  # newer than the mutant's objects, so they are rebuilt
        if run(['cmake', '--build', BUILD, '-j', str(a.jobs)]).returncode:
            sys.exit('mutants: rebuilding without the mutant of ' + f + ' failed')


def try_mutant(f, i, new, entry, select, a, test=True):
    """Builds and tests one mutant; returns its outcome, the first failed test and the times.
    Without test, only tells whether it would run ('skipped') or be dropped."""
    if entry is None:
        return try_header(f, i, new, select, a, test)
    path, mutant_obj = os.path.join(SRC, f), os.path.join(WORK, 'mutant.o')
    text, st = open(path).read(), os.stat(path)
    args = shlex.split(entry['command'])
    obj = os.path.join(entry['directory'], args[args.index('-o') + 1])
    args[args.index('-o') + 1] = mutant_obj
    original, lines, t0 = open(obj, 'rb').read(), text.split('\n'), time.time()
    try:
        open(path, 'w').write('\n'.join(lines[:i] + [new] + lines[i + 1:]))
        if run(args, cwd=entry['directory']).returncode:
            return 'no-compile', '', ()
        if open(mutant_obj, 'rb').read() == original:
            return 'same-object', '', ()
        if not test:
            return 'skipped', '', ()
        shutil.copyfile(mutant_obj, obj)
        t1 = time.time()
        if run(['cmake', '--build', BUILD, '-j', str(a.jobs), '--target'] + select[f][0]).returncode:
            sys.exit('mutants: relinking failed for ' + f)
        t2 = time.time()
        result, failed = ctest(select[f][1], a.jobs, a.limit)
        return result, failed, (t1 - t0, t2 - t1, time.time() - t2)
    finally:
        open(path, 'w').write(text)
        os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))
        open(obj, 'wb').write(original)  # newer than the archives, so they are rebuilt


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument('paths', nargs='*', default=['daemon', 'lib'], help='directories, .cpp or .h files to mutate')
    ap.add_argument('--mutants', type=int, default=120, help='mutants to run against the tests (default 120)')
    ap.add_argument('--seed', type=int, default=1)
    ap.add_argument('--jobs', type=int, default=os.cpu_count())
    ap.add_argument('--skip', type=int, default=0, help='resume a run: the first SKIP mutants of the sample '
                    'are compiled to find them, not run again')
    ap.add_argument('--limit', type=int, default=180, help='seconds for one mutant\'s tests (default 180)')
    a = ap.parse_args()
    if os.geteuid() != 0:
        sys.exit('mutants: the tests need root')
    files = []
    for p in map(os.path.normpath, a.paths):
        files += [p] if p.endswith(('.cpp', '.h')) else sorted(
            os.path.join(p, f) for f in os.listdir(os.path.join(ROOT, p)) if f.endswith(('.cpp', '.h')))
    os.makedirs(SRC, exist_ok=True)
    sync()
    for step in (['cmake', '-S', SRC, '-B', BUILD, '-DCMAKE_BUILD_TYPE=Release', '-DTORPOR_TESTS=ON'],
                 ['cmake', '--build', BUILD, '-j', str(a.jobs)]):
        if run(step).returncode:
            sys.exit('mutants: failed: ' + ' '.join(step))
    commands = json.load(open(os.path.join(BUILD, 'compile_commands.json')))
    entries = {os.path.relpath(e['file'], SRC): e for e in commands}
    select = selection(files, commands)
    if ctest(sorted({n for _, names in select.values() for n in names}), a.jobs, 900)[0] != 'survived':
        sys.exit('mutants: the tests fail without any mutant (see build-mutants/ctest.log)')
    cands = [(f, i, op, new) for f in files for i, line in enumerate(open(os.path.join(SRC, f)).read().split('\n'))
             for new, op in mutations(line).items()]
    random.Random(a.seed).shuffle(cands)
    stats, survivors, times = {f: dict.fromkeys(OUTCOMES, 0) for f in files}, [], []
    skip = a.skip
    for f, i, op, new in cands:
        if len(times) + a.skip == a.mutants:
            break
        if skip:
            skip -= try_mutant(f, i, new, entries.get(f), select, a, test=False)[0] == 'skipped'
            continue
        result, failed, spent = try_mutant(f, i, new, entries.get(f), select, a)
        stats[f][result] += 1
        if spent:
            times.append(spent)
            print(f'[{len(times) + a.skip}/{a.mutants}] {f}:{i + 1} {op}: {result} (compile {spent[0]:.0f} s, '
                  f'link {spent[1]:.0f} s, tests {spent[2]:.0f} s) {failed}', flush=True)
        if result == 'survived':
            lines = open(os.path.join(SRC, f)).read().split('\n')
            diff = difflib.unified_diff(lines, lines[:i] + [new] + lines[i + 1:], 'a/' + f, 'b/' + f, lineterm='')
            survivors.append(f'{f}:{i + 1} {op}\n' + '\n'.join(diff) + '\n')
    with open(os.path.join(WORK, 'survivors.txt'), 'w') as out:
        out.write('\n'.join(survivors))
    print(f'\n{"file":26} killed timeout survived   dropped: no-compile same-object')
    for f, s in stats.items():
        print(f'{f:26} {s["killed"]:6} {s["timeout"]:7} {s["survived"]:8} {s["no-compile"]:21} {s["same-object"]:11}')
    if times:
        # A time-out is not a failed test: the mutant may only be slower, so it is not a kill.
        killed, timeouts = (sum(s[k] for s in stats.values()) for k in ('killed', 'timeout'))
        mean = [sum(t[k] for t in times) / len(times) for k in range(3)]
        print(f'score: {killed}/{len(times)} killed = {100 * killed / len(times):.0f}%, {timeouts} timed out, '
              f'{len(survivors)} survived; mean per mutant: compile {mean[0]:.1f} s, link {mean[1]:.1f} s, '
              f'tests {mean[2]:.1f} s; survivors in build-mutants/survivors.txt')


if __name__ == '__main__':
    try:
        main()
    except KeyboardInterrupt:
        sys.exit('mutants: interrupted; the copy is restored')
