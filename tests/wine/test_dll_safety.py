"""A DLL planted beside setup.exe in a download folder is never loaded.

Wine prefers its own built-in DLLs, so by default it would never pick the planted ones anyway;
the test asks it to prefer DLLs found on the search path, as Windows does for any DLL that is
not one of its known DLLs. version.dll is left out of that: under Wine it is a dependency of
Wine's own system DLLs, loaded before the program's first instruction runs.
"""
import glob
import os
import shutil
import unittest

import harness
import setup_app as app

BITS = harness.bits_under_test()
MARKS = {'32': os.environ.get('MARKDLL_DIR32', ''), '64': os.environ.get('MARKDLL_DIR64', '')}


def plant_dlls(session, folder, bits):
    """Puts the marking DLLs beside setup.exe and has Wine prefer DLLs found on the path."""
    for dll in glob.glob(os.path.join(MARKS[bits], '*.dll')):
        shutil.copy(dll, folder)
    session.env['WINEDLLOVERRIDES'] = 'uxtheme,dwmapi=n,b'


def loaded_marks(folder):
    """The planted DLLs that were loaded: each leaves a NAME.loaded file beside itself."""
    return sorted(os.path.basename(p) for p in glob.glob(os.path.join(folder, '*.loaded')))


def planted_dll_loads(bits):
    with harness.WineSession() as session:
        folder, exe = app.make_addon_folder(session, bits, files=[])
        plant_dlls(session, folder, bits)
        pid, dump = app.open_window(session, exe, app.unregister(bits),
                                    app.register_folder(bits, 'C:\\Kolvenir1.0\\'))
        # Buttons and the edit box are drawn by now, which is when the theme library is wanted.
        app.then(session, pid, ['mouse-click', str(app.IDS['Text1'])], ['sleep', '300'])
        exit_code = app.then(session, pid, ['close'], ['wait-exit'])[-1]['exit']
        return dump, exit_code, loaded_marks(folder)


class DllSafetyTest(unittest.TestCase):
    def test_planted_dlls_are_not_loaded(self):
        dump, exit_code, marks = planted_dll_loads(BITS)
        self.assertEqual(marks, [])
        self.assertEqual(app.controls(dump)['Label1']['text'], app.FOUND)
        self.assertEqual(exit_code, 0)


if __name__ == '__main__':
    unittest.main()
