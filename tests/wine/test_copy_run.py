"""OK, the copy run and Done, under Wine, with what is on disk checked afterwards."""
import os
import time
import unittest

import harness
import setup_app as app

BITS = harness.bits_under_test()


class CopyRunTest(app.CopyRunCase):
    def setUp(self):
        super().setUp()
        self.before = app.snapshot(self.data)

    def assert_installed(self):
        self.assertEqual(app.snapshot(self.data), self.installed(self.before))

    def test_whole_journey(self):
        pid, dump = self.open()
        self.assertTrue(app.controls(dump)['Command1']['enabled'])
        clicked = time.monotonic()
        app.then(self.session, pid, app.click('Command1'))
        done = app.wait_until_done(self.session, pid)
        self.assertGreaterEqual(time.monotonic() - clicked, 2.0)
        c = app.controls(done)
        self.assertFalse(c['Text1']['visible'])
        self.assertTrue(c['Label3']['visible'] and c['Label3']['text'])
        self.assertEqual((c['Command1']['text'], c['Command1']['enabled']), ('OK', False))
        self.assertEqual((c['Command2']['text'], c['Command2']['enabled']), (app.EXIT, True))
        # The closing note's first line lies in Label1's opaque lower band and must show there.
        left, top = c['Label3']['rect'][:2]
        assert top < c['Label1']['rect'][3]
        row = app.then(self.session, pid, *(['pixel', str(x), str(top + y)]
                                            for x in range(left, left + 120, 2) for y in range(2, 14, 2)))
        self.assertTrue(any(p['rgb'][2] > 120 and p['rgb'][0] < 90 for p in row),
                        'no blue text of the closing note where Label1 overlaps Label3')
        app.screenshot(self.session, 'done.png')
        self.assert_installed()
        # The keyboard focus is on 終了, so Space ends the program.
        self.assertEqual(app.then(self.session, pid, ['key', '32'], ['wait-exit'])[-1]['exit'], 0)

    def test_existing_destinations_are_replaced(self):
        for name in app.ADDON_FILES:
            with open(os.path.join(self.data, name), 'wb') as f:
                f.write(b'old version of ' + name.encode())
        self.before = app.snapshot(self.data)
        self.complete_run()
        self.assert_installed()

    def test_from_a_drive_root(self):
        self.use_addon('cdrom')
        self.session.map_drive('m', self.addon)
        pid, _ = self.open(exe='M:\\setup.exe')
        self.complete_run(pid=pid)
        self.assert_installed()

    def test_working_directory_elsewhere(self):
        pid, _ = self.open(cwd='C:\\windows')
        self.complete_run(pid=pid)
        self.assert_installed()

    def test_edited_folder_is_ignored(self):
        elsewhere = os.path.join(self.session.drive_c, 'Elsewhere', 'data')
        os.makedirs(elsewhere)
        self.complete_run(['set-text', str(app.IDS['Text1']), 'C:\\Elsewhere\\'])
        self.assert_installed()
        self.assertEqual(os.listdir(elsewhere), [])

    def test_hidden_files_stay_hidden(self):
        # 30.dat and a replaced add-on file alike.
        with open(os.path.join(self.data, '21.dat'), 'wb') as f:
            f.write(b'old')
        paths = [os.path.join(self.data, name) for name in ('30.dat', '21.dat')]
        for path in paths:
            os.setxattr(path, 'user.DOSATTRIB', b'0x2')  # where Wine keeps a file's DOS attributes
        self.complete_run()
        self.assert_installed()
        for path in paths:
            attributes = os.getxattr(path, 'user.DOSATTRIB') if 'user.DOSATTRIB' in os.listxattr(path) else b'0'
            self.assertTrue(int(attributes, 16) & 0x2, os.path.basename(path) + ': hidden was lost')

    def test_japanese_folder_on_systems_of_other_code_pages(self):
        # The installer wrote the entry as Unicode text; the program must read it as a Japanese
        # system does and install there, whatever the system's own code page (C: 1252, zh_CN:
        # 936, which has ゲーム but no half-width kana; ソ and 表 end in the byte of "\" in 932).
        cases = [('C.UTF-8', 'ゲーム\\Kolvenir1.0'), ('zh_CN.UTF-8', 'ゲーム\\Kolvenir1.0'),
                 ('zh_CN.UTF-8', 'ｹﾞｰﾑ\\ソフト表\\Kolvenir1.0')]
        for locale, product in cases:
            with self.subTest(locale=locale, product=product):
                if not harness.locale_available(locale):
                    self.skipTest(f'no {locale} locale here (tools/install-deps.sh makes it)')
                self.start(locale=locale, product=product)
                self.before = app.snapshot(self.data)
                pid, dump = self.open(wide=True)
                c = app.controls(dump)
                self.assertEqual((c['Label1']['text'], c['Text1']['text']), (app.FOUND, 'C:\\' + product + '\\'))
                self.complete_run(pid=pid)
                self.assert_installed()

    def test_run_from_inside_the_data_folder_keeps_every_file(self):
        # The add-on files already in the data folder, setup.exe beside them: copies onto themselves.
        # Also where the uninstall entry gives the folder in 8.3 form and setup.exe is started by
        # its short path: one folder, whatever its spelling.
        for spelling in ('long', '8.3'):
            with self.subTest(spelling=spelling):
                if spelling == '8.3':
                    self.use_product(*app.make_product(self.session, 'Kolvenir Game Folder'))
                    short = app.run(self.session, ['short-path', self.folder])[0]['short']
                    self.assertNotEqual(short.rstrip('\\'), self.folder.rstrip('\\'))
                    self.folder = short.rstrip('\\') + '\\'
                before = app.read(os.path.join(self.data, '30.dat'))
                self.use_addon(self.data)
                self.exe = self.folder + 'data\\setup.exe'
                self.complete_run()
                for name in app.ADDON_FILES:
                    self.assertEqual(app.read(os.path.join(self.data, name)),
                                     app.read(os.path.join(app.SAMPLE_DIR, 'addon', name)), name)
                self.assertEqual(app.read(os.path.join(self.data, '30.dat')), app.expected_data_file30(before))

    def test_clicks_during_the_run_are_dropped(self):
        pid, dump = self.open()
        x0, y0, x1, y1 = app.controls(dump)['Command2']['rect']
        centre = [str((x0 + x1) // 2), str((y0 + y1) // 2)]
        app.then(self.session, pid, app.click('Command1'), ['sleep', '300'], ['mouse-click-at', *centre],
                 ['key', '32'])
        app.wait_until_done(self.session, pid)
        app.then(self.session, pid, ['sleep', '500'], ['assert-running'])
        self.assertEqual(app.then(self.session, pid, app.click('Command2'), ['wait-exit'])[-1]['exit'], 0)
        self.assert_installed()


if __name__ == '__main__':
    unittest.main()
