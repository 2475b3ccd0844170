#!/usr/bin/env python3
"""Benchmark of the copy run under Wine (the 64-bit build, which starts at once here).

Prints, for ROUNDS rounds (BENCH_ROUNDS, by default 9) taken in turns in one Wine prefix so that
all meet the same load, the median and the fastest of:
- OK to Done less the 2-second pause, for 23 add-on files of 4 MiB each (30.dat of 25 short
  lines), of this build and, where SETUP_EXE64_BEFORE names one, of the build before;
- `cp` of the same files followed by `sync` of the copies, to the same volume;
- the same steps on the volume as setup.exe takes, made by this script without Wine (staged
  names, flushes, a record, the renames, the deletes): the floor of the design, beside cp;
- the same steps again under Wine, made by a program that checks nothing and keeps nothing for
  a rollback (tools/bare_steps.c): the floor of the design under Wine;
and the ratios of the medians to cp + sync (the aim: at most 1.25). Four such rows: on the Wine
drive and on an exFAT volume through FUSE (no hard links), each into an empty data folder and
replacing an old version of every add-on file (cp then writes over the old files).

The build before is any 64-bit setup.exe built from another commit: `BENCH_BEFORE=COMMIT bash
tools/bench.sh` builds that commit's files (git archive) in a folder of its own and times it;
or build it yourself, for example in a worktree, and name it:
    git worktree add /tmp/before COMMIT
    (cd /tmp/before && cmake --preset win64 && cmake --build --preset win64)
    SETUP_EXE64_BEFORE=/tmp/before/build/win64/setup.exe bash tools/bench.sh
    git worktree remove /tmp/before
Without either, that column is left out.

Then, unless given --copy-only:
- the same run with tiny add-on files and a 30.dat of 25 short lines, and with a 30.dat of
  100 MiB: only 25 fields are read, so the two should take about the same time;
- a start, from the process's creation to its window standing idle, of the shipped 32-bit
  build (the 64-bit one where 32-bit Wine is emulated) beside a bare window of the same size
  (tools/bare_window.c), the mean of the fastest 3 of 15 interleaved starts (the aim: at
  most 1.2 times the bare window).
"""
import os
import shutil
import statistics
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'wine'))
import harness  # noqa: E402
import setup_app as app  # noqa: E402

PAUSE = 2.0
ROUNDS = int(os.environ.get('BENCH_ROUNDS', '9'))
SMALL_ROUNDS = 5
STARTS = 15
FASTEST = 3
MIB = 1 << 20
SHORT_30 = b''.join(b'%d\r\n' % i for i in range(25))
COPY_AIM = 1.25


def ok_to_done(session, exe, folder):
    pid, _ = app.open_window(session, exe, app.unregister('64'), app.register_folder('64', folder))
    results = app.then(session, pid, app.click('Command1', real=False),
                       ['wait-text', str(app.IDS['Label1']), app.FINISHED, '600000'])
    seconds = results[-1]['ms'] / 1000.0
    app.then(session, pid, app.click('Command2', real=False), ['wait-exit'])
    return seconds - PAUSE


def addon_folder(session, addon_size):
    addon, exe = app.make_addon_folder(session, '64', 'addon%d' % time.monotonic_ns(), files=[])
    for name in app.ADDON_FILES:
        with open(os.path.join(addon, name), 'wb') as f:
            f.write(os.urandom(addon_size) if addon_size else b'x')
    return addon, exe


def addon_beside(session, addon, exe_path):
    """Another setup.exe beside copies of the same add-on files; returns its Windows path."""
    other = os.path.join(session.drive_c, 'addon%d' % time.monotonic_ns())
    os.makedirs(other)
    for name in app.ADDON_FILES:
        shutil.copyfile(os.path.join(addon, name), os.path.join(other, name))
    shutil.copyfile(exe_path, os.path.join(other, 'setup.exe'))
    return session.win_path(os.path.join(other, 'setup.exe'))


def setup_run(session, exe, data_file, where=None, replacing=False):
    """OK to Done less the pause, into a product of its own on where ((linux folder, its Windows
    path), by default C:), its data folder empty but for 30.dat or holding an old version of
    every add-on file; the product is removed afterwards, a volume's room being limited."""
    name = 'K%d' % time.monotonic_ns()
    if where:
        product, _ = app.make_product(session, os.path.join(where[0], name), data_file=data_file)
        folder = where[1] + name + '\\'
    else:
        product, folder = app.make_product(session, folder=name, data_file=data_file)
    if replacing:
        old_files(os.path.join(product, 'data'))
        # On disk first, as for cp: the old files' writes are no part of the run.
        subprocess.run(['sync'], check=True)
    try:
        return ok_to_done(session, exe, folder)
    finally:
        shutil.rmtree(product)


def old_files(folder):
    for name in app.ADDON_FILES:
        with open(os.path.join(folder, name), 'wb') as f:
            f.write(os.urandom(4 * MIB))


def new_target(session, where, replacing, prefix):
    """A new folder on where (by default C:), holding old files on disk where replacing."""
    target = os.path.join(where[0] if where else session.drive_c, '%s%d' % (prefix, time.monotonic_ns()))
    os.makedirs(target)
    if replacing:
        old_files(target)
        subprocess.run(['sync'], check=True)
    return target


def cp_run(session, addon, where=None, replacing=False):
    target = new_target(session, where, replacing, 'cp')
    copies = [os.path.join(target, n) for n in app.ADDON_FILES]
    started = time.monotonic()
    subprocess.run(['cp'] + [os.path.join(addon, n) for n in app.ADDON_FILES] + [target], check=True)
    subprocess.run(['sync'] + copies, check=True)  # the copies only, as setup.exe flushes its own
    seconds = time.monotonic() - started
    shutil.rmtree(target)
    return seconds


def same_steps_run(session, addon, where=None, replacing=False):
    """What setup.exe does to the volume, done by this script without Wine: each file staged
    under a spare name and flushed, a record written and flushed, each old file renamed aside
    and the new one renamed in, the folder flushed between the steps, then the kept files and
    the record deleted. The floor for any program that keeps the old files until the new ones
    are all in place."""
    target = new_target(session, where, replacing, 'steps')
    started = time.monotonic()
    folder = os.open(target, os.O_RDONLY)
    staged = []
    for name in app.ADDON_FILES:
        with open(os.path.join(addon, name), 'rb') as src, open(os.path.join(target, name + '.setup-new'), 'xb') as dst:
            shutil.copyfileobj(src, dst, 256 << 10)
        staged.append(os.path.join(target, name))
    for path in staged:
        with open(path + '.setup-new', 'rb+') as f:
            os.fsync(f.fileno())
    record = os.path.join(target, 'setup.journal')
    with open(record, 'xb') as f:
        f.write(b'\r\n'.join(n.encode() for n in app.ADDON_FILES))
        os.fsync(f.fileno())
    os.fsync(folder)
    for path in staged:
        if replacing:
            os.rename(path, path + '.setup-old')
        os.rename(path + '.setup-new', path)
    os.fsync(folder)
    os.rename(record, record + '.setup-old')
    os.fsync(folder)
    if replacing:
        for path in staged:
            os.unlink(path + '.setup-old')
        os.fsync(folder)
    os.unlink(record + '.setup-old')
    os.close(folder)
    seconds = time.monotonic() - started
    shutil.rmtree(target)
    return seconds


def bare_steps_run(session, addon, where=None, replacing=False):
    """The same steps made under Wine by a program that does nothing else (tools/bare_steps.c):
    the least any program that works this way pays Wine on this volume. Timed by itself, from its
    first open to its last delete, as setup.exe is timed from OK to Done."""
    target = new_target(session, where, replacing, 'bare')
    exe = os.path.join(session.drive_c, 'bare_steps.exe')
    if not os.path.exists(exe):
        shutil.copyfile(harness.env_path('BARE_STEPS64'), exe)
    result = session.wine(session.win_path(exe), session.win_path(addon), (where[1] if where else 'C:\\') + os.path.basename(target),
                          *app.ADDON_FILES)
    shutil.rmtree(target)
    if result.returncode != 0:
        raise RuntimeError('bare_steps.exe: %s' % result.stdout.decode(errors='replace'))
    return float(result.stdout.decode().split()[-1])


def start_to_window(session, exe):
    result = session.wine(os.environ['START_TIMER'], exe)
    if result.returncode != 0:
        raise RuntimeError(result.stdout.decode(errors='replace'))
    return float(result.stdout.split()[-1]) / 1000.0


def starts(session):
    bits = '32' if harness.measure_wine32(os.path.join('build', 'native', 'wine32'))['native'] else '64'
    _, setup = app.make_addon_folder(session, bits, files=[])
    bare = os.path.join(session.drive_c, 'bare_window.exe')
    with open(os.environ['BARE_WINDOW%s' % bits], 'rb') as src, open(bare, 'wb') as dst:
        dst.write(src.read())
    bare = session.win_path(bare)
    app.run(session, app.unregister(bits), app.register_folder(bits, 'C:\\Kolvenir1.0\\'))
    times = {setup: [], bare: []}
    for _ in range(STARTS):
        times[setup].append(start_to_window(session, setup))
        times[bare].append(start_to_window(session, bare))
    fastest = {exe: statistics.mean(sorted(t)[:FASTEST]) for exe, t in times.items()}
    report('start to window, setup.exe (%s-bit)' % bits, fastest[setup])
    report('start to window, a bare window', fastest[bare])
    print('%-44s %8.2f' % ('ratio setup.exe / bare window', fastest[setup] / fastest[bare]))


def report(label, seconds):
    print('%-44s %8.3f s' % (label, seconds))
    return seconds


def copy_runs(session, volume, replacing):
    """The 4 MiB files into a product on volume: each build and cp + sync to the same volume in
    turns, the order turning every round so that none always follows the same one (the
    write-back of a sync lingers a moment)."""
    addon, exe = addon_folder(session, 4 * MIB)
    where = None if volume == 'C:' else (session.mount_exfat('e', megabytes=1024), 'E:\\')
    kinds = [('this build', lambda: setup_run(session, exe, SHORT_30, where, replacing))]
    before = os.environ.get('SETUP_EXE64_BEFORE')
    if before:
        exe_before = addon_beside(session, addon, before)
        kinds.append(('the build before', lambda: setup_run(session, exe_before, SHORT_30, where, replacing)))
    kinds.append(('cp + sync', lambda: cp_run(session, addon, where, replacing)))
    kinds.append(('same steps, no Wine', lambda: same_steps_run(session, addon, where, replacing)))
    kinds.append(('same steps, bare, Wine', lambda: bare_steps_run(session, addon, where, replacing)))
    times = {label: [] for label, _ in kinds}
    load = open('/proc/loadavg').read().split()[:3]
    for r in range(ROUNDS):
        for label, run in kinds[r % len(kinds):] + kinds[:r % len(kinds)]:
            times[label].append(run())
    print('23 files of 4 MiB %s, on %s, %d rounds in turns (OK to Done less the pause; the 64-bit build)'
          % ('replacing 23 that exist' if replacing else 'into an empty data folder',
             'the Wine drive' if volume == 'C:' else 'exFAT through FUSE', ROUNDS))
    # Other work on the machine slows all three, and setup.exe most: say how busy it was.
    print('load average before and after: %s, %s' % (' '.join(load), ' '.join(open('/proc/loadavg').read().split()[:3])))
    print('%-24s %10s %10s %14s   %s' % ('', 'median', 'fastest', 'median / cp', 'each round (ms)'))
    cp = statistics.median(times['cp + sync'])
    for label, _ in kinds:
        median = statistics.median(times[label])
        print('%-24s %8.3f s %8.3f s %14.2f   %s' % (label, median, min(times[label]), median / cp if cp > 0 else float('inf'),
                                                  ' '.join('%.0f' % (t * 1000) for t in times[label])))
    if not before:
        print('(the build before: set SETUP_EXE64_BEFORE to compare with one)')
    print('aim: this build at most %.2f times cp + sync' % COPY_AIM)
    print()


def main():
    with harness.WineSession() as session:
        for volume in ('C:', 'exFAT'):
            for replacing in (False, True):
                try:
                    copy_runs(session, volume, replacing)
                except unittest.SkipTest as refused:  # no loop device or FUSE here
                    print('exFAT rows left out: %s' % refused)
                    break
        if '--copy-only' in sys.argv[1:]:
            return
        addon, exe = addon_folder(session, 0)
        huge = SHORT_30 + b'padding\r\n' * ((100 * MIB) // 9)
        small = report('tiny files, 30.dat of 25 short lines',
                       statistics.median(setup_run(session, exe, SHORT_30) for _ in range(SMALL_ROUNDS)))
        large = report('tiny files, 30.dat of 100 MiB',
                       statistics.median(setup_run(session, exe, huge) for _ in range(SMALL_ROUNDS)))
        print('%-44s %8.3f s' % ('difference (time of reading 25 fields)', large - small))
        starts(session)


if __name__ == '__main__':
    main()
