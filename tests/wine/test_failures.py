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


class FailureTest(app.CopyRunCase):
    def report_box(self):
        """fail_run's report as the driver saw it, with the font its text is drawn in."""
        pid, _ = self.open()
        box, _, ended = app.then(self.session, pid, app.click('Command1', real=False),
                                 ['wait-msgbox', self.MSGBOX_WAIT_MS], ['dismiss-msgbox'], ['wait-exit'])[1:]
        self.assertEqual((box['caption'], ended['exit']), (app.CAPTION, 1))
        return box

    def assert_readable(self, box):
        """Every character of the report has a glyph in the font the box draws it with."""
        font = box['text_font']
        if not font['known'] and BITS == '32':
            self.skipTest('the font of a 32-bit program is out of the driver\'s reach under Wine')
        self.assertTrue(font['known'], font)
        self.assertEqual(font['unshown'], '', f"{font['face']} (drawn with {font['drawn_with']}) "
                                              'shows these as empty boxes')

    def test_missing_source_copies_nothing(self):
        os.remove(os.path.join(self.addon, '52.dat'))
        text = self.unchanged_run()
        self.assert_report(text, 2, self.session.win_path(os.path.join(self.addon, '52.dat')))

    def test_missing_data_folder(self):
        shutil.rmtree(self.data)
        os.makedirs(self.product, exist_ok=True)
        box = self.report_box()
        self.assert_report(box['text'], 3, self.data_path())
        self.assertFalse(os.path.exists(self.data))
        self.assert_readable(box)

    def test_product_on_a_drive_letter_this_process_does_not_have(self):
        # As a network drive mapped without elevation is to a program run as administrator.
        self.use_product(os.path.join(self.session.root, 'unmapped'), 'Y:\\K\\')
        text = self.report_box()['text']
        self.assert_report(text, 3, 'Y:\\K\\data\\')
        self.assertIn('ドライブ Y: が見つかりません。', text)

    def test_missing_30_dat_copies_nothing(self):
        os.remove(os.path.join(self.data, '30.dat'))
        text = self.unchanged_run()
        self.assert_report(text, 2, self.data_path('30.dat'))

    def test_read_only_destination_changes_nothing(self):
        target = os.path.join(self.data, '54.dat')
        with open(target, 'wb') as f:
            f.write(b'kept')
        os.chmod(target, stat.S_IRUSR | stat.S_IRGRP | stat.S_IROTH)
        text = self.unchanged_run()
        self.assert_report(text, 5, self.data_path('54.dat'))

    def test_destination_held_open_by_another_program(self):
        target = os.path.join(self.data, '54.dat')
        with open(target, 'wb') as f:
            f.write(b'in use')
        text = self.unchanged_run(['lock', self.data_path('54.dat')])
        self.assert_report(text, 32, self.data_path('54.dat'))

    def test_short_data_file_changes_nothing(self):
        short = b''.join(b'line%d\r\n' % i for i in range(24))
        with open(os.path.join(self.data, '30.dat'), 'wb') as f:
            f.write(short)
        text = self.unchanged_run()
        self.assert_report(text, 38, self.data_path('30.dat'))

    def test_read_only_data_file_is_left_as_it_was(self):
        path = os.path.join(self.data, '30.dat')
        os.chmod(path, stat.S_IRUSR | stat.S_IRGRP | stat.S_IROTH)
        text = self.unchanged_run()
        self.assert_report(text, 5, self.data_path('30.dat'))

    def test_data_file_held_open_by_another_program(self):
        text = self.unchanged_run(['lock', self.data_path('30.dat')])
        self.assert_report(text, 32, self.data_path('30.dat'))

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
        # Found by the room check, before anything is written; also where the game was moved to
        # that disk and C: reaches it through a link, the report names the disk it is on.
        moved = os.path.join(self.session.drive_c, 'Moved')
        os.symlink(os.path.join(mount, 'K'), moved)
        for folder in ('F:\\K\\', 'C:\\Moved\\'):
            with self.subTest(folder=folder):
                self.use_product(os.path.join(mount, 'K'), folder)
                text = self.unchanged_run()
                self.assert_report(text, 112, folder + 'data\\')
                self.assertIn('F: に', text)


if __name__ == '__main__':
    unittest.main()
