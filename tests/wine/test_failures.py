"""Each failure the copy run can meet: the report the user sees, the exit status, and the data
folder afterwards, which must be exactly as it was."""
import os
import shutil
import stat
import subprocess
import tempfile
import unittest

import harness
import setup_app as app

BITS = harness.bits_under_test()


class FailureTest(unittest.TestCase):
    def setUp(self):
        self.session = harness.WineSession().__enter__()
        self.addCleanup(self.session.__exit__, None, None, None)
        self.product, self.folder = app.make_product(self.session)
        self.data = os.path.join(self.product, 'data')
        self.addon, self.exe = app.make_addon_folder(self.session, BITS)

    def fail_run(self, *during_run):
        """Presses OK and returns the failure report; the program must end with status 1."""
        before = app.snapshot(self.data)
        pid, _ = app.open_window(self.session, self.exe, app.unregister(BITS),
                                 app.register_folder(BITS, self.folder))
        results = app.then(self.session, pid, *during_run, app.click('Command1', real=False),
                           ['wait-msgbox'], ['dismiss-msgbox'], ['wait-exit'])
        report = results[-3]
        self.assertEqual(report['caption'], app.CAPTION)
        self.assertEqual(results[-1]['exit'], 1)
        self.assertEqual(app.spare_files(self.data), [], 'no spare file may be left behind')
        return report['text'], before, app.snapshot(self.data)

    def assert_names(self, text, number, path):
        self.assertIn('エラー番号: %d' % number, text)
        self.assertIn('対象: ' + path, text)

    def test_missing_source_copies_nothing(self):
        os.remove(os.path.join(self.addon, '52.dat'))
        text, before, after = self.fail_run()
        self.assert_names(text, 2, self.session.win_path(os.path.join(self.addon, '52.dat')))
        self.assertEqual(after, before)

    def test_missing_data_folder(self):
        shutil.rmtree(self.data)
        os.makedirs(self.product, exist_ok=True)
        pid, _ = app.open_window(self.session, self.exe, app.unregister(BITS),
                                 app.register_folder(BITS, self.folder))
        results = app.then(self.session, pid, app.click('Command1', real=False), ['wait-msgbox'],
                           ['dismiss-msgbox'], ['wait-exit'])
        self.assert_names(results[0 + 1]['text'], 3, self.folder + 'data\\')
        self.assertEqual(results[-1]['exit'], 1)
        self.assertFalse(os.path.exists(self.data))

    def test_missing_30_dat_copies_nothing(self):
        os.remove(os.path.join(self.data, '30.dat'))
        text, before, after = self.fail_run()
        self.assert_names(text, 2, self.folder + 'data\\30.dat')
        self.assertEqual(after, before)

    def test_read_only_destination_changes_nothing(self):
        target = os.path.join(self.data, '54.dat')
        with open(target, 'wb') as f:
            f.write(b'kept')
        os.chmod(target, stat.S_IRUSR | stat.S_IRGRP | stat.S_IROTH)
        text, before, after = self.fail_run()
        self.assert_names(text, 5, self.folder + 'data\\54.dat')
        self.assertEqual(after, before)

    def test_destination_held_open_by_another_program(self):
        target = os.path.join(self.data, '54.dat')
        with open(target, 'wb') as f:
            f.write(b'in use')
        text, before, after = self.fail_run(['lock', self.folder + 'data\\54.dat'])
        self.assert_names(text, 32, self.folder + 'data\\54.dat')
        self.assertEqual(after, before)

    def test_short_data_file_changes_nothing(self):
        short = b''.join(b'line%d\r\n' % i for i in range(24))
        with open(os.path.join(self.data, '30.dat'), 'wb') as f:
            f.write(short)
        text, before, after = self.fail_run()
        self.assert_names(text, 38, self.folder + 'data\\30.dat')
        self.assertEqual(after, before)

    def test_read_only_data_file_is_left_as_it_was(self):
        path = os.path.join(self.data, '30.dat')
        os.chmod(path, stat.S_IRUSR | stat.S_IRGRP | stat.S_IROTH)
        text, before, after = self.fail_run()
        self.assert_names(text, 5, self.folder + 'data\\30.dat')
        self.assertEqual(after, before)

    def test_data_file_held_open_by_another_program(self):
        text, before, after = self.fail_run(['lock', self.folder + 'data\\30.dat'])
        self.assert_names(text, 32, self.folder + 'data\\30.dat')
        self.assertEqual(after, before)

    def test_full_disk_changes_nothing(self):
        mount = tempfile.mkdtemp(prefix='setup-full-')
        self.addCleanup(os.rmdir, mount)
        if subprocess.run(['mount', '-t', 'tmpfs', '-o', 'size=256k', 'tmpfs', mount],
                          capture_output=True).returncode != 0:
            self.skipTest('mounting a small tmpfs was refused here')
        self.addCleanup(subprocess.run, ['umount', mount])
        os.makedirs(os.path.join(mount, 'K', 'data'))
        shutil.copy(os.path.join(app.SAMPLE_DIR, 'product', 'data', '30.dat'), os.path.join(mount, 'K', 'data'))
        with open(os.path.join(mount, 'K', 'data', '21.dat'), 'wb') as f:
            f.write(b'old 21')
        # Fill the disk but for a few bytes, then give the add-on a first file larger than that.
        filler = os.open(os.path.join(mount, 'filler'), os.O_WRONLY | os.O_CREAT)
        try:
            while os.write(filler, b'\0' * 4096):
                pass
        except OSError:
            pass
        finally:
            os.close(filler)
        with open(os.path.join(self.addon, '21.dat'), 'wb') as f:
            f.write(os.urandom(64 * 1024))
        self.session.map_drive('f', mount)
        self.data, self.folder = os.path.join(mount, 'K', 'data'), 'F:\\K\\'
        text, before, after = self.fail_run()
        # Found by the room check, before anything is written.
        self.assert_names(text, 112, 'F:\\K\\data\\')
        self.assertEqual(after, before)


if __name__ == '__main__':
    unittest.main()
