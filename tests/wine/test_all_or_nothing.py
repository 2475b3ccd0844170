"""The copy run updates the product's data folder wholly or not at all, under Wine: failures
partway through staging, programs that hold the new files, and the program killed mid-run.
The data folder is checked byte for byte afterwards."""
import os
import shutil
import subprocess
import tempfile
import unittest

import harness
import setup_app as app

BITS = harness.bits_under_test()
MSGBOX_WAIT_MS = '120000'  # a file held for good is waited for, a few seconds per attempt


class AllOrNothingTest(unittest.TestCase):
    def setUp(self):
        self.session = harness.WineSession().__enter__()
        self.addCleanup(self.session.__exit__, None, None, None)
        self.use_product(*app.make_product(self.session))
        self.addon, self.exe = app.make_addon_folder(self.session, BITS)

    def use_product(self, product, folder):
        self.product, self.folder = product, folder
        self.data = os.path.join(product, 'data')
        # An older version of every add-on file, so that old and new can be told apart.
        for name in app.ADDON_FILES:
            with open(os.path.join(self.data, name), 'wb') as f:
                f.write(b'old version of ' + name.encode())

    def data_path(self, name):
        return self.folder + 'data\\' + name

    def open(self):
        pid, _ = app.open_window(self.session, self.exe, app.unregister(BITS),
                                 app.register_folder(BITS, self.folder))
        return pid

    def installed(self, before):
        after = dict(before)
        for name in app.ADDON_FILES:
            after[name] = app.read(os.path.join(self.addon, name))
        after['30.dat'] = app.expected_data_file30(before['30.dat'])
        return after

    def fail_run(self, *around_ok):
        """Presses OK amid the given commands; returns the report's text. Status 1 is expected."""
        pid = self.open()
        results = app.then(self.session, pid, *around_ok, app.click('Command1', real=False),
                           ['wait-msgbox', MSGBOX_WAIT_MS], ['dismiss-msgbox'], ['wait-exit'])
        self.assertEqual(results[-1]['exit'], 1)
        return results[-3]['text']

    def complete_run(self, *before_ok):
        """A run from OK to Done and 終了; returns the driver's results of before_ok."""
        pid = self.open()
        results = app.then(self.session, pid, *before_ok, app.click('Command1', real=False),
                           ['wait-text', str(app.IDS['Label1']), app.FINISHED, '120000'],
                           app.click('Command2', real=False), ['wait-exit'])
        self.assertEqual(results[-1]['exit'], 0)
        return results[:len(before_ok)]

    def assert_report(self, text, number, path):
        self.assertIn('エラー番号: %d' % number, text)
        self.assertIn('対象: ' + path, text)

    def test_unreadable_source_partway_stages_nothing_for_good(self):
        # Another program holds the eleventh source without sharing: ten files are staged first.
        before = app.snapshot(self.data)
        source = self.session.win_path(os.path.join(self.addon, '60.dat'))
        text = self.fail_run(['lock', source])
        self.assert_report(text, 32, source)
        self.assertEqual(app.snapshot(self.data), before)

    def test_disk_full_partway_through_staging(self):
        mount = tempfile.mkdtemp(prefix='setup-inodes-')
        self.addCleanup(os.rmdir, mount)
        # Room enough in bytes, but files run out after the tenth new one: the space check
        # passes and the eleventh staged file meets a full disk.
        inodes = 4 + len(app.ADDON_FILES) + 10  # root, K, data, 30.dat, the old files, ten more
        if subprocess.run(['mount', '-t', 'tmpfs', '-o', f'size=8m,nr_inodes={inodes}', 'tmpfs', mount],
                          capture_output=True).returncode != 0:
            self.skipTest('mounting a small tmpfs was refused here')
        self.addCleanup(subprocess.run, ['umount', mount])
        os.makedirs(os.path.join(mount, 'K', 'data'))
        shutil.copy(os.path.join(app.SAMPLE_DIR, 'product', 'data', '30.dat'), os.path.join(mount, 'K', 'data'))
        self.session.map_drive('f', mount)
        self.use_product(os.path.join(mount, 'K'), 'F:\\K\\')
        before = app.snapshot(self.data)
        text = self.fail_run()
        self.assert_report(text, 112, self.data_path('60.dat'))
        self.assertEqual(app.snapshot(self.data), before)

    def test_a_scanner_that_opens_each_new_file_is_waited_out(self):
        before = app.snapshot(self.data)
        pid = self.open()
        results = app.then(self.session, pid, ['scan', self.folder + 'data', '300'],
                           app.click('Command1', real=False),
                           ['wait-text', str(app.IDS['Label1']), app.FINISHED, '120000'],
                           ['scan-report'], app.click('Command2', real=False), ['wait-exit'])
        self.assertEqual(results[-1]['exit'], 0)
        scanned = results[3]['names']
        # The scanner really stood in the way: it held staged files that then had to be moved.
        self.assertTrue(any(name.endswith('.setup-new') for name in scanned), scanned)
        self.assertEqual(app.snapshot(self.data), self.installed(before))

    def test_a_holder_that_never_lets_go_ends_in_the_report_with_nothing_changed(self):
        before = app.snapshot(self.data)
        # 30.dat is put in place last, so every add-on file has been moved in and must go back.
        text = self.fail_run(['hold-when-appears', self.data_path('30.dat.setup-new')])
        self.assertTrue('エラー番号: 32' in text or 'エラー番号: 5' in text, text)
        self.assertIn('対象: ' + self.data_path('30.dat'), text)
        after = app.snapshot(self.data)
        # The held staged file cannot be deleted while it is held; the next run removes it.
        after.pop('30.dat.setup-new', None)
        self.assertEqual(after, before)
        self.complete_run()
        self.assertEqual(app.snapshot(self.data), self.installed(before))

    def test_killed_at_several_moments_leaves_only_whole_files(self):
        for name in app.ADDON_FILES:
            with open(os.path.join(self.addon, name), 'wb') as f:
                f.write(os.urandom(4 << 20))
        before = app.snapshot(self.data)
        installed = self.installed(before)
        moments = ['21.dat.setup-new', '73.dat.setup-new', '30.dat.setup-new',
                   '21.dat.setup-old', '65.dat.setup-old', '23-2.mid.setup-old']
        for moment in moments:
            with self.subTest(killed_when=moment):
                pid = self.open()
                app.then(self.session, pid, app.click('Command1', real=False),
                         ['wait-file', self.data_path(moment), '60000'], ['terminate'])
                for name, data in app.snapshot(self.data).items():
                    if name in app.spare_files(self.data):
                        continue
                    self.assertIn(data, (before[name], installed[name]), f'{name} is torn')
        self.complete_run()
        self.assertEqual(app.snapshot(self.data), installed)


if __name__ == '__main__':
    unittest.main()
