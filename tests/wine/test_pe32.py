"""The shipped 32-bit setup.exe itself, start to end, on every machine. Each start takes about a
minute where 32-bit Wine runs through qemu-i386, so these are whole journeys that also carry the
checks where the builds differ: the registry view it reads and the DLLs it will not load."""
import os
import time
import unittest

import harness
import setup_app as app
import test_dll_safety

BITS = '32'


class Pe32Test(unittest.TestCase):
    def test_journey_found_ok_done_exit(self):
        with harness.WineSession() as session:
            product, folder = app.make_product(session, folder='ゲーム\\Kolvenir1.0'.replace('\\', os.sep))
            addon, exe = app.make_addon_folder(session, BITS, 'Kolvenir1.0後編')
            test_dll_safety.plant_dlls(session, addon, BITS)
            before = app.read(os.path.join(product, 'data', '30.dat'))
            # Only WOW6432Node may be read; the 64-bit view names another folder.
            pid, dump = app.open_window(session, exe, app.unregister(BITS), app.register_folder(BITS, folder),
                                        app.unregister('64'), app.register_folder('64', 'C:\\Wrong\\'))
            picture = self.client_area(session, pid, dump, 'pe32-found.png')
            c = app.controls(dump)
            self.assertEqual((c['Label1']['text'], c['Text1']['text']), (app.FOUND, folder))
            self.assertTrue(c['Command1']['enabled'])
            clicked = time.monotonic()
            app.then(session, pid, app.click('Command1'),
                     ['wait-text', str(app.IDS['Label1']), app.FINISHED, '300000'])
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
        with harness.WineSession() as session:
            _, exe = app.make_addon_folder(session, BITS, files=[])
            pid, dump = app.open_window(session, exe, app.unregister(BITS),
                                        app.register(BITS, b'0123456789\0'))
            c = app.controls(dump)
            self.assertEqual(c['Label1']['text'], app.NOT_FOUND)
            self.assertEqual(c['Command2']['text'], app.EXIT)
            self.assertEqual(app.then(session, pid, ['close'], ['wait-exit'])[-1]['exit'], 0)


if __name__ == '__main__':
    unittest.main()
