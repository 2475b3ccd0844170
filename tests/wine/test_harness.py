"""The harness itself: sessions wherever /tmp lives, and the choice of build under test."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from unittest import mock

import harness

# Files wineserver rewrites in place: a session must never share them with the template.
REWRITTEN = ['system.reg', 'user.reg', 'userdef.reg', os.path.join('drive_c', 'windows', 'win.ini')]
UNCHANGED = os.path.join('drive_c', 'windows', 'system32', 'kernel32.dll')
# Printed by in_namespace() between setting up a namespace and running the test's script in it.
NAMESPACE_READY = 'namespace ready'
# What tools/install-deps.sh registers where the kernel runs no i386 programs.
QEMU = '/usr/bin/qemu-i386-static'
QEMU_I386 = (r':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
             r':\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
             ':' + QEMU + ':F')


def other_device_than(path):
    """A writable folder on another file system than path (tmpfs /dev/shm on a disk build)."""
    device = os.stat(path).st_dev
    for candidate in ('/dev/shm', '/run', tempfile.gettempdir()):
        if os.path.isdir(candidate) and os.access(candidate, os.W_OK) \
                and os.stat(candidate).st_dev != device:
            return tempfile.mkdtemp(prefix='wine-harness-test-', dir=candidate)
    raise unittest.SkipTest(f'no writable folder on another file system than {path}')


def in_namespace(test, unshare, setup, run, *args, timeout=600):
    """(status, output) of the sh script run in a namespace of unshare's making, once setup has
    succeeded there; run gets args as $0, $1, ... Where the namespace cannot be made (unshare
    refused, a chroot whose root is no mount point, a mount refused) the test skips, saying why."""
    script = f'set -e\n{setup}\nset +e\necho {NAMESPACE_READY}\n{run}'
    ran = subprocess.run(['unshare', *unshare, 'sh', '-c', script, *args],
                         cwd=os.path.dirname(os.path.abspath(__file__)), stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, text=True, timeout=timeout)
    before, ready, after = ran.stdout.partition(NAMESPACE_READY + '\n')
    if not ready:
        test.skipTest(f'no namespace of its own here (unshare {" ".join(unshare)}): {before.strip()[-200:]}')
    return ran.returncode, after


def runs_windows_programs(test, session):
    out = session.wine('cmd', '/c', 'echo', 'ran')
    test.assertEqual((out.returncode, out.stdout.strip()), (0, b'ran'))
    key = r'SOFTWARE\HarnessTest'
    got = session.driver('reg-set', 64, key, 'v', 1, b'ok\0'.hex(), 'reg-get', 64, key, 'v')
    test.assertEqual(got[1]['ansi_hex'], b'ok\0'.hex())


class SessionTest(unittest.TestCase):
    def setUp(self):
        harness.uidriver_exe()
        self.template = harness.ensure_template()

    def test_with_tmp_on_another_file_system_the_prefix_is_linked_beside_the_template(self):
        tmp = other_device_than(self.template)
        self.addCleanup(shutil.rmtree, tmp, True)
        template_files = {name: harness._read(os.path.join(self.template, name)) for name in REWRITTEN}
        with mock.patch.dict(os.environ, TMPDIR=tmp), mock.patch.object(tempfile, 'tempdir', None):
            with harness.WineSession(self.id()) as session:
                self.assertEqual(session.prefix_made, 'linked')
                self.assertEqual(os.path.dirname(session.root),
                                 os.path.join(os.path.dirname(self.template), harness.SESSIONS_DIR))
                same_file = {name: os.path.samefile(os.path.join(self.template, name),
                                                    os.path.join(session.prefix, name))
                             for name in REWRITTEN + [UNCHANGED]}
                self.assertEqual(same_file, {**dict.fromkeys(REWRITTEN, False), UNCHANGED: True})
                runs_windows_programs(self, session)
                session.save_registry()
                # Wine gets no TMPDIR (Debian 13's wineserver aborts with one): its socket dir is
                # in /tmp, whatever TMPDIR says, and goes with the session.
                with open(os.path.join(session.prefix, 'wineserver')) as f:
                    name = f.read().strip()
                server_dir = os.path.join(harness.SERVER_TMP, name)
                self.assertEqual((os.path.isdir(server_dir), os.listdir(tmp)), (True, []))
                root = session.root
        self.assertFalse(os.path.exists(server_dir))
        self.assertFalse(os.path.exists(root))
        self.assertEqual({name: harness._read(os.path.join(self.template, name)) for name in REWRITTEN},
                         template_files)

    def test_with_tmp_a_tmpfs_of_its_own_sessions_run(self):
        # As on a fresh Debian 12 machine whose /tmp is a tmpfs: here in a mount namespace of its own.
        child = ('import harness\n'
                 'with harness.WineSession("tmpfs") as s:\n'
                 '    out = s.wine("cmd", "/c", "echo", "ran")\n'
                 '    print(s.prefix_made, out.returncode, out.stdout.strip().decode())\n')
        status, out = in_namespace(self, ['-m', '--propagation', 'private'], 'mount -t tmpfs tmpfs /tmp',
                                   'stat -f -c %T /tmp; exec "$0" -c "$1"', sys.executable, child)
        self.assertEqual((status, out.split()[-4:]), (0, ['tmpfs', 'linked', '0', 'ran']), out)

    def test_a_session_on_another_file_system_is_copied_and_runs(self):
        parent = other_device_than(self.template)
        self.addCleanup(shutil.rmtree, parent, True)
        with harness.WineSession(self.id(), parent=parent) as session:
            self.assertEqual(session.prefix_made, 'copied')
            self.assertFalse(os.path.samefile(os.path.join(self.template, UNCHANGED),
                                              os.path.join(session.prefix, UNCHANGED)))
            runs_windows_programs(self, session)
        self.assertEqual(os.listdir(parent), [])

    def test_sessions_left_by_killed_runs_are_removed_after_a_day(self):
        parent = tempfile.mkdtemp(dir=os.path.dirname(self.template))
        self.addCleanup(shutil.rmtree, parent, True)
        ages = {'wine-session-killed': 2 * 24 * 3600, 'wine-session-running': 3600,
                'not-a-session': 2 * 24 * 3600}
        for name, age in ages.items():
            os.makedirs(os.path.join(parent, name, 'prefix'))
            os.utime(os.path.join(parent, name), (time.time() - age,) * 2)
        with harness.WineSession(self.id(), parent=parent) as session:
            left = sorted(set(os.listdir(parent)) - {os.path.basename(session.root)})
        self.assertEqual(left, ['not-a-session', 'wine-session-running'])

    def test_only_32_bit_programs_are_counted_as_32_bit_starts(self):
        log = os.path.join(tempfile.mkdtemp(), 'starts.log')
        self.addCleanup(shutil.rmtree, os.path.dirname(log), True)
        with harness.WineSession(self.id()) as session, \
                mock.patch.dict(os.environ, WINE32_STARTS=log):
            folder = os.path.join(session.drive_c, 'both')
            os.makedirs(folder)
            shutil.copy(harness.setup_exe(32), os.path.join(folder, 'setup32.exe'))
            shutil.copy(harness.setup_exe(64), os.path.join(folder, 'setup64.exe'))
            d_drive = session.map_drive('D', folder)
            session._count_32_bit_starts([
                'start', 'C:\\both\\setup32.exe', 'wait-window',
                'start', 'C:\\both\\setup64.exe',
                'start', session.win_path(harness.setup_exe(32)),  # Z:\ as the tests pass it
                'start', d_drive + 'setup32.exe',
                'start', 'C:\\both\\missing.exe', 'set-text', '0', 'start'])
            with open(log, encoding='utf-8') as f:
                started = [line.split(' ', 1)[1].strip() for line in f]
            self.assertEqual(started, ['C:\\both\\setup32.exe', session.win_path(harness.setup_exe(32)),
                                       'D:\\setup32.exe'])


class ChoiceOfBuildTest(unittest.TestCase):
    def test_bits_under_test(self):
        for value, expected in {None: '64', '': '64', '64': '64', '32': '32', 'x86': ValueError}.items():
            with self.subTest(value=value):
                env = {k: v for k, v in os.environ.items() if k != 'SETUP_TEST_BITS'}
                if value is not None:
                    env['SETUP_TEST_BITS'] = value
                with mock.patch.dict(os.environ, env, clear=True):
                    if expected is ValueError:
                        self.assertRaises(ValueError, harness.bits_under_test)
                    else:
                        self.assertEqual(harness.bits_under_test(), expected)

    def test_a_measurement_from_this_boot_is_reused_and_summed_up(self):
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder, True)
        self.assertIn('not decided', harness.summary(folder))
        # (seconds, starts logged, journeys logged, words the summary line must hold)
        journeys = 'found, OK, Done\t61\tpassed\nheld file, undone\t75\tfailed\n'
        cases = [
            (0.4, 5, '', ['native (start 0.4 s', 'whole Wine suite ran on both builds', 'started 5 times',
                          'no whole journeys']),
            (58.0, 3, journeys, ['emulated', 'start 58.0 s', 'started 3 times in 2 whole journeys in 136 s',
                                 '(found, OK, Done 61 s; held file, undone 75 s (failed))',
                                 'rest ran on the 64-bit twin']),
        ]
        for seconds, starts, logged, words in cases:
            with self.subTest(seconds=seconds):
                kept = {'command': 'wine cmd /c exit', 'seconds': seconds, 'limit_seconds': 15,
                        'native': seconds < 15, 'qemu_i386_registered': False,
                        'measured_at': 'earlier', 'state': harness._machine_state()}
                with open(os.path.join(folder, harness.MEASUREMENT), 'w', encoding='utf-8') as f:
                    json.dump(kept, f)
                with open(os.path.join(folder, harness.STARTS), 'w', encoding='utf-8') as f:
                    f.write('session C:\\setup.exe\n' * starts)
                with open(os.path.join(folder, harness.JOURNEYS), 'w', encoding='utf-8') as f:
                    f.write(logged)
                with open(os.path.join(folder, harness.DECIDED), 'w', encoding='utf-8') as f:
                    f.write('now\n')
                with mock.patch.object(harness, 'WineSession', side_effect=AssertionError('measured again')):
                    self.assertEqual(harness.measure_wine32(folder), kept)
                line = harness.summary(folder)
                for word in words:
                    self.assertIn(word, line)

    def test_the_32_bit_registration_runs_only_where_the_measurement_says_native(self):
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder, True)
        # A module that passes only when it is told to drive the 32-bit build.
        module = 'test_harness.ChoiceOfBuildTest.test_told_to_drive_the_32_bit_build'
        outcomes = {True: (0, 'OK'), False: (harness.SKIPPED, 'skipped: 32-bit Wine is emulated')}
        for native, (code, words) in outcomes.items():
            with self.subTest(native=native):
                with open(os.path.join(folder, harness.MEASUREMENT), 'w', encoding='utf-8') as f:
                    json.dump({'seconds': 0.5 if native else 60.0, 'limit_seconds': 15, 'native': native,
                               'qemu_i386_registered': False}, f)
                env = {k: v for k, v in os.environ.items() if k != 'SETUP_TEST_BITS'}
                env['HARNESS_TEST_CHILD'] = '1'
                ran = subprocess.run([sys.executable, harness.__file__, 'run-32', folder, module], env=env,
                                     cwd=os.path.dirname(os.path.abspath(__file__)),
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=120)
                self.assertEqual(ran.returncode, code, ran.stdout)
                self.assertIn(words, ran.stdout)

    def test_where_qemu_runs_i386_programs_the_decision_is_emulated(self):
        if harness._read('/proc/sys/fs/binfmt_misc/qemu-i386').startswith('enabled'):
            self.skipTest('qemu-i386 runs i386 programs here: wine.32bit_start measures it for real')
        if not os.path.exists(QEMU):
            self.skipTest(f'{QEMU} is not installed')
        harness.ensure_template()
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder, True)
        # A binfmt_misc of its own (Linux 6.7 and later, in a user namespace) sends i386
        # programs through qemu-i386 for this child only.
        status, out = in_namespace(
            self, ['--user', '--map-root-user', '--mount', '--propagation', 'private'],
            'mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc\n'
            'printf %s "$1" > /proc/sys/fs/binfmt_misc/register',
            'exec "$0" harness.py measure-32 "$2"', sys.executable, QEMU_I386, folder)
        self.assertEqual(status, 0, out)
        with open(os.path.join(folder, harness.MEASUREMENT), encoding='utf-8') as f:
            measured = json.load(f)
        self.assertEqual((measured['native'], measured['qemu_i386_registered']), (False, True), measured)
        self.assertGreater(measured['seconds'], measured['limit_seconds'])
        self.assertIn('emulated through qemu-i386 (start over', harness.describe_wine32(measured))

    def test_told_to_drive_the_32_bit_build(self):
        if 'HARNESS_TEST_CHILD' not in os.environ:
            self.skipTest('run by the test above, as the 32-bit registration runs a module')
        self.assertEqual(harness.bits_under_test(), '32')


if __name__ == '__main__':
    unittest.main()
