"""The window as a user meets it: geometry, fonts, colours, focus, and every way it ends."""
import unittest

import harness
import setup_app as app

BITS = harness.bits_under_test()
FOLDER = 'C:\\Kolvenir1.0\\'
SHOT_SUFFIX = '' if BITS == '64' else '-32bit'

# name: (left, top, width, height) in twips
GEOMETRY = {
    'Label2': (120, 120, 5295, 375), 'Label1': (240, 600, 5055, 975),
    'Label3': (240, 1200, 4935, 735), 'Text1': (240, 1680, 4935, 285),
    'Command1': (3600, 2040, 735, 495), 'Command2': (4440, 2040, 735, 495),
}


def px(twips, dpi):
    return (twips * dpi + 720) // 1440


class WindowTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.session = harness.WineSession().__enter__()
        _, cls.exe = app.make_addon_folder(cls.session, BITS, files=[])

    @classmethod
    def tearDownClass(cls):
        cls.session.__exit__(None, None, None)

    def found_window(self):
        return app.open_window(self.session, self.exe, app.unregister(BITS),
                               app.register_folder(BITS, FOLDER))

    def not_found_window(self):
        return app.open_window(self.session, self.exe, app.unregister(BITS))

    def finish(self, pid, *commands):
        return app.then(self.session, pid, *commands, ['wait-exit'])[-1]['exit']

    def test_found_state_layout_and_texts(self):
        pid, dump = self.found_window()
        try:
            dpi = dump['dpi']
            self.assertEqual(dump['caption'], app.CAPTION)
            self.assertEqual(dump['client'], [px(5535, dpi), px(2565, dpi)])
            c = app.controls(dump)
            for name, (left, top, width, height) in GEOMETRY.items():
                with self.subTest(name):
                    l, t = px(left, dpi), px(top, dpi)
                    self.assertEqual(c[name]['rect'], [l, t, l + px(width, dpi), t + px(height, dpi)])
            self.assertEqual(c['Label2']['text'], app.HEADING)
            self.assertEqual(c['Label1']['text'], app.FOUND)
            self.assertEqual(c['Label3']['text'], '')
            self.assertEqual(c['Text1']['text'], FOLDER)
            # Text1 is stacked above the label it covers; no button answers Enter.
            self.assertLess(c['Text1']['z'], c['Label3']['z'])
            self.assertFalse(c['Command1']['default'] or c['Command2']['default'])
            self.assertEqual(dump['focus'], app.IDS['Command1'])
            colours = app.then(self.session, pid, ['pixel', '2', '2'],
                               ['pixel', str(px(240, dpi) + 2), str(px(1200, dpi) + px(400, dpi))])
            self.assertEqual(colours[0]['rgb'], [224, 224, 224])
            self.assertEqual(colours[1]['rgb'], [224, 224, 224])
            app.screenshot(self.session, f'found{SHOT_SUFFIX}.png')
        finally:
            self.assertEqual(self.finish(pid, ['close']), 0)

    @unittest.skipIf(BITS == '32', 'the UI driver reads fonts only of 64-bit programs under Wine; '
                                   'test_windows_look_like_the_64_bit_twins compares the pixels')
    def test_fonts(self):
        pid, dump = self.found_window()
        try:
            dpi, c = dump['dpi'], app.controls(dump)
            for name in ('Label1', 'Label2', 'Label3', 'Text1'):
                font = c[name]['font']
                self.assertEqual((font['charset'], font['weight'], font['italic'], font['underline'],
                                  font['strikeout']), (128, 400, False, False, False), name)
            self.assertEqual(c['Label2']['font']['height'], -round(12 * dpi / 72))
            self.assertEqual(c['Label1']['font']['height'], -round(9.75 * dpi / 72 + 1e-9))
            # Under Wine the IPA faces stand in for the MS ones; proportional for the labels.
            self.assertIn(c['Label1']['font']['face'], ('ＭＳ Ｐゴシック', 'MS PGothic', 'IPAPGothic'))
            self.assertIn(c['Text1']['font']['face'], ('ＭＳ ゴシック', 'MS Gothic', 'IPAGothic'))
        finally:
            self.assertEqual(self.finish(pid, ['close']), 0)

    @unittest.skipUnless(BITS == '32', 'compares the 32-bit build with its 64-bit twin')
    def test_windows_look_like_the_64_bit_twins(self):
        # Same source, same fonts: the shipped build must draw every pixel as the twin does.
        _, twin = app.make_addon_folder(self.session, '64', 'twin', files=[])
        states = {'Found': [app.register_folder, FOLDER], 'NotFound': [app.register, b'0123456789\0']}
        for state, (register, data) in states.items():
            with self.subTest(state):
                pictures = []
                for bits, exe in (('32', self.exe), ('64', twin)):
                    pid, dump = app.open_window(self.session, exe, app.unregister(bits),
                                                register(bits, data))
                    try:
                        # The pointer on the bare form: no button is drawn hot in either picture.
                        app.then(self.session, pid, ['mouse-click-at', '2', '2'], ['sleep', '300'])
                        picture = app.screenshot(self.session, f'twin-{state}-{bits}bit.png')
                        pictures.append(harness.crop_to_client(picture, dump))
                    finally:
                        self.assertEqual(self.finish(pid, ['close']), 0)
                self.assertEqual(harness.pixels_differing(*pictures), 0, f'pixels differ: {pictures}')

    def test_not_found_state(self):
        pid, dump = self.not_found_window()
        c = app.controls(dump)
        self.assertEqual(c['Label2']['text'], app.HEADING)
        self.assertEqual(c['Label1']['text'], app.NOT_FOUND)
        self.assertEqual((c['Text1']['text'], c['Text1']['enabled'], c['Text1']['visible']), ('', False, True))
        self.assertEqual((c['Command1']['text'], c['Command1']['enabled']), ('OK', False))
        self.assertEqual((c['Command2']['text'], c['Command2']['enabled']), (app.EXIT, True))
        self.assertEqual(dump['focus'], app.IDS['Command2'])
        app.screenshot(self.session, f'notfound{SHOT_SUFFIX}.png')
        self.assertEqual(self.finish(pid, ['click', str(app.IDS['Command2'])]), 0)

    def test_every_way_out_ends_at_once_with_status_0(self):
        ways = {
            'Cancel': (self.found_window, ['click', str(app.IDS['Command2'])]),
            'Cancel by a real mouse click': (self.found_window, ['mouse-click', str(app.IDS['Command2'])]),
            'close box in Found': (self.found_window, ['close']),
            '終了': (self.not_found_window, ['mouse-click', str(app.IDS['Command2'])]),
            'close box in NotFound': (self.not_found_window, ['close']),
        }
        for name, (opener, command) in ways.items():
            with self.subTest(name):
                pid, _ = opener()
                self.assertEqual(self.finish(pid, command), 0)

    def test_a_window_that_cannot_be_made_ends_with_status_1(self):
        # With no display Wine's CreateWindowExW fails for real. The report cannot show either,
        # but the program must end through it, not wait in a message loop with no window.
        with harness.WineSession() as session:
            _, exe = app.make_addon_folder(session, BITS, files=[])
            session.env = {k: v for k, v in session.env.items() if k != 'DISPLAY'}
            loader = harness.WINE32 if BITS == '32' else harness.WINE64
            self.assertEqual(session.wine(exe, loader=loader, timeout=60).returncode, 1)

    def test_keyboard_tab_moves_focus_and_enter_or_esc_press_nothing(self):
        pid, _ = self.found_window()
        VK_TAB, VK_RETURN, VK_ESCAPE = '9', '13', '27'
        results = app.then(self.session, pid, ['key', VK_TAB], ['dump'], ['key', VK_TAB], ['dump'],
                           ['key', VK_RETURN], ['key', VK_ESCAPE], ['sleep', '300'], ['assert-running'],
                           ['dump'])
        self.assertEqual(results[1]['focus'], app.IDS['Command2'])
        self.assertEqual(results[3]['focus'], app.IDS['Text1'])
        self.assertEqual(app.controls(results[-1])['Label1']['text'], app.FOUND)
        self.assertEqual(self.finish(pid, ['close']), 0)

    def test_ok_disabled_cannot_be_clicked_in_not_found(self):
        pid, _ = self.not_found_window()
        results = app.then(self.session, pid, ['click', str(app.IDS['Command1'])], ['sleep', '300'],
                           ['assert-running'], ['dump'])
        self.assertEqual(app.controls(results[-1])['Label1']['text'], app.NOT_FOUND)
        self.assertEqual(self.finish(pid, ['close']), 0)


if __name__ == '__main__':
    unittest.main()
