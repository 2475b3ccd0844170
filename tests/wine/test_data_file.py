"""data\\30.dat as the copy run leaves it, for the shapes of file the product may hold."""
import os
import unittest

import harness
import setup_app as app

BITS = harness.bits_under_test()


def lines(values):
    return b''.join(v + b'\r\n' for v in values)


PLAIN = [b'value%02d' % i for i in range(1, 31)]
SJIS = ['Kolvenir1.0', '表示', 'ソフト', '能力', '予約', 'ｶﾀｶﾅ', 'セーブ'] + ['%d' % i for i in range(18)]

# name: (30.dat before, 30.dat after)
CASES = {
    '25 lines: only line 7 changes': (
        lines(PLAIN[:25]), lines(PLAIN[:6] + [b'kolven10'] + PLAIN[7:25])),
    '30 lines: only the first 25 remain': (
        lines(PLAIN[:30]), lines(PLAIN[:6] + [b'kolven10'] + PLAIN[7:25])),
    'a comma on line 3 makes two fields': (
        lines(PLAIN[:2] + [b'a,b'] + PLAIN[3:25]),
        lines(PLAIN[:2] + [b'a', b'b'] + PLAIN[3:5] + [b'kolven10'] + PLAIN[6:24])),
    'quoted values keep what they hold': (
        lines([b'"quoted"', b'"with, comma"'] + PLAIN[2:25]),
        lines([b'quoted', b'"with, comma"'] + PLAIN[2:6] + [b'kolven10'] + PLAIN[7:25])),
    'an empty line is an empty field': (
        lines(PLAIN[:3] + [b''] + PLAIN[4:25]),
        lines(PLAIN[:3] + [b''] + PLAIN[4:6] + [b'kolven10'] + PLAIN[7:25])),
    'leading spaces are dropped': (
        lines([b'   spaced'] + PLAIN[1:25]),
        lines([b'spaced'] + PLAIN[1:6] + [b'kolven10'] + PLAIN[7:25])),
    'Shift-JIS text is kept byte for byte': (
        lines([s.encode('cp932') for s in SJIS]),
        lines([s.encode('cp932') for s in SJIS[:6]] + [b'kolven10'] + [s.encode('cp932') for s in SJIS[7:]])),
}


class DataFileTest(unittest.TestCase):
    def test_rewrites(self):
        with harness.WineSession() as session:
            _, exe = app.make_addon_folder(session, BITS)
            for name, (before, after) in CASES.items():
                with self.subTest(name):
                    product, folder = app.make_product(session, data_file=before)
                    pid, _ = app.open_window(session, exe, app.unregister(BITS),
                                             app.register_folder(BITS, folder))
                    app.then(session, pid, app.click('Command1', real=False))
                    app.wait_until_done(session, pid)
                    self.assertEqual(app.then(session, pid, app.click('Command2', real=False),
                                              ['wait-exit'])[-1]['exit'], 0)
                    self.assertEqual(app.read(os.path.join(product, 'data', '30.dat')), after)


if __name__ == '__main__':
    unittest.main()
