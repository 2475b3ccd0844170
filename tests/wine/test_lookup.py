"""The install folder as setup.exe finds it in the registry, case by case, byte for byte."""
import unittest

import harness
import setup_app as app

BITS = harness.bits_under_test()
FOLDER = 'C:\\Kolvenir1.0\\'
WELL_FORMED = app.command_for(FOLDER).encode('cp932')


class LookupTest(unittest.TestCase):
    def assert_not_found(self, dump):
        c = app.controls(dump)
        self.assertEqual(c['Label1']['text'], app.NOT_FOUND)
        self.assertEqual((c['Text1']['text'], c['Text1']['enabled']), ('', False))
        self.assertFalse(c['Command1']['enabled'])
        self.assertEqual((c['Command2']['text'], c['Command2']['enabled']), (app.EXIT, True))

    def assert_found(self, dump, folder):
        c = app.controls(dump)
        self.assertEqual(c['Label1']['text'], app.FOUND)
        self.assertEqual((c['Text1']['text'], c['Text1']['enabled']), (folder, True))
        self.assertTrue(c['Command1']['enabled'])
        self.assertEqual(c['Command2']['text'], 'Cancel')

    def lookup(self, *setup):
        with harness.WineSession() as session:
            _, exe = app.make_addon_folder(session, BITS, files=[])
            pid, dump = app.open_window(session, exe, app.unregister(BITS), *setup)
            exit_code = app.then(session, pid, ['close'], ['wait-exit'])[-1]['exit']
            self.assertEqual(exit_code, 0)
            return dump

    def test_entries_that_name_no_folder_are_not_found(self):
        cases = {
            'no key': [],
            'key without the value': [['reg-create', BITS, app.UNINSTALL_KEY]],
            'expandable string': [app.register(BITS, WELL_FORMED + b'\0', value_type=2)],
            'size 0': [app.register(BITS, b'')],
            'only the terminator': [app.register(BITS, b'\0')],
            '10 characters': [app.register(BITS, b'0123456789\0')],
            '17 characters': [app.register(BITS, b'"Uninstall01.exe"\0')],
        }
        for name, setup in cases.items():
            with self.subTest(name):
                self.assert_not_found(self.lookup(*setup))

    def test_well_formed_entry(self):
        self.assert_found(self.lookup(app.register(BITS, WELL_FORMED + b'\0')), FOLDER)

    def test_japanese_folder_in_code_page_932(self):
        # ソ and 表 end in the byte 0x5C, the byte of "\".
        folder = 'D:\\ゲーム\\ソフト表示\\'
        dump = self.lookup(app.register(BITS, app.command_for(folder).encode('cp932') + b'\0'))
        self.assert_found(dump, folder)

    def test_value_without_terminator_loses_its_last_byte(self):
        self.assert_found(self.lookup(app.register(BITS, WELL_FORMED)), 'C:\\Kolvenir1.0')

    def test_reads_only_its_own_registry_view(self):
        # The 32-bit build sees WOW6432Node, the 64-bit twin the native view; the other names
        # another folder.
        other = '64' if BITS == '32' else '32'
        dump = self.lookup(app.register(BITS, WELL_FORMED + b'\0'), app.unregister(other),
                           app.register(other, app.command_for('C:\\Wrong\\').encode('cp932') + b'\0'))
        self.assert_found(dump, FOLDER)


if __name__ == '__main__':
    unittest.main()
