"""The shipped 32-bit setup.exe itself, start to end, on every machine, where the two builds
differ: the registry view it reads, the DLLs it will not load, the NT structures of its file
layer and the rights it believes its handles have. Where 32-bit Wine runs through qemu-i386 a
start takes a minute or more, so each is a whole journey with as few starts as it needs;
test_pe32_commit has those of the commit."""
import os
import time
import unittest

import harness
import setup_app as app
import test_dll_safety
import test_file_rights
import test_planted_links
import test_virtual_store

BITS = '32'


class Pe32Test(app.Journey, unittest.TestCase):
    def test_journey_found_ok_done_exit(self):
        """found, OK, Done"""
        with harness.WineSession() as session:
            product, folder = app.make_product(session, folder='ゲーム\\Kolvenir1.0'.replace('\\', os.sep))
            addon, exe = app.make_addon_folder(session, BITS, 'Kolvenir1.0後編')
            test_dll_safety.plant_dlls(session, addon, BITS)
            before = app.read(os.path.join(product, 'data', '30.dat'))
            # Only WOW6432Node may be read; the 64-bit view names another folder.
            pid, dump = app.open_window(session, exe, app.unregister(BITS), app.register_folder(BITS, folder),
                                        app.unregister('64'), app.register_folder('64', 'C:\\Wrong\\'),
                                        wait_ms=self.WAIT_MS)
            picture = self.client_area(session, pid, dump, 'pe32-found.png')
            c = app.controls(dump)
            self.assertEqual((c['Label1']['text'], c['Text1']['text']), (app.FOUND, folder))
            self.assertTrue(c['Command1']['enabled'])
            clicked = time.monotonic()
            app.then(session, pid, app.click('Command1'),
                     ['wait-text', str(app.IDS['Label1']), app.FINISHED, self.WAIT_MS])
            self.assertGreaterEqual(time.monotonic() - clicked, 2.0)
            done = app.controls(app.then(session, pid, ['dump'])[0])
            self.assertFalse(done['Text1']['visible'])
            self.assertEqual((done['Command2']['text'], done['Command2']['enabled']), (app.EXIT, True))
            self.assertFalse(done['Command1']['enabled'])
            self.assertEqual(app.then(session, pid, app.click('Command2'), ['wait-exit'])[-1]['exit'], 0)
            self.assertEqual(test_dll_safety.loaded_marks(addon), [])
            for name in app.ADDON_FILES:
                self.assertEqual(app.read(os.path.join(product, 'data', name)),
                                 app.read(os.path.join(addon, name)), name)
            lines = before.split(b'\r\n')[:25]
            lines[6] = b'kolven10'
            self.assertEqual(app.read(os.path.join(product, 'data', '30.dat')), b'\r\n'.join(lines) + b'\r\n')

            # The driver reads no fonts of a 32-bit program under Wine; the 64-bit twin, whose
            # fonts test_window checks, must draw the very same pixels.
            _, twin = app.make_addon_folder(session, '64', 'twin', files=[])
            pid, dump = app.open_window(session, twin, app.unregister('64'),
                                        app.register_folder('64', folder))
            twin_picture = self.client_area(session, pid, dump, 'pe32-found-twin.png')
            self.assertEqual(app.then(session, pid, ['close'], ['wait-exit'])[-1]['exit'], 0)
            self.assertEqual(harness.pixels_differing(picture, twin_picture), 0, (picture, twin_picture))

    def client_area(self, session, pid, dump, name):
        # The pointer on the bare form: no button is drawn hot.
        app.then(session, pid, ['mouse-click-at', '2', '2'], ['sleep', '300'])
        return harness.crop_to_client(app.screenshot(session, name), dump)

    def test_not_found_then_close_box(self):
        """not found, closed"""
        with harness.WineSession() as session:
            _, exe = app.make_addon_folder(session, BITS, files=[])
            pid, dump = app.open_window(session, exe, app.unregister(BITS),
                                        app.register(BITS, b'0123456789\0'), wait_ms=self.WAIT_MS)
            c = app.controls(dump)
            self.assertEqual(c['Label1']['text'], app.NOT_FOUND)
            self.assertEqual(c['Command2']['text'], app.EXIT)
            self.assertEqual(app.then(session, pid, ['close'], ['wait-exit'])[-1]['exit'], 0)


class Pe32LinkTest(app.Journey, test_planted_links.Planting):
    def test_a_link_planted_where_the_rollback_deletes_is_refused_by_name(self):
        """planted link refused"""
        # A record of a killed run that created 21.dat and 51.dat; 51.dat, met first, is now a
        # link to a file outside.
        out = self.outside()
        self.write_journal()
        self.plant('21.dat', out + '/victim.txt')
        named = self.plant('51.dat', out + '/secret.txt')
        outside_before = app.snapshot(out)
        text = self.fail_run()
        self.assert_report(text, 1920, named)
        self.assert_nothing_crossed(out, outside_before)


class Pe32VirtualStoreTest(app.Journey, test_virtual_store.Copies):
    def test_every_accounts_copy_in_its_virtual_store_is_updated(self):
        """every account's copy"""
        # The profiles and both Program Files as the 64-bit view lists them to a 32-bit process.
        self.update_every_account()


class Pe32RightsTest(app.Journey, test_file_rights.FileRightsTest):
    def test_believed_rights_are_the_recorded_ones_and_a_missing_one_is_refused(self):
        """rights probe"""
        super().test_believed_rights_are_the_recorded_ones_and_a_missing_one_is_refused()


if __name__ == '__main__':
    unittest.main()
