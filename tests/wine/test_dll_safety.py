"""A DLL planted beside setup.exe in a download folder is never loaded.

Wine prefers its own built-in DLLs, so by default it would never pick the planted ones anyway;
the test asks it to prefer DLLs found on the search path, as Windows does for any DLL that is
not one of its known DLLs. version.dll is left out of that: under Wine it is a dependency of
Wine's own system DLLs, loaded before the program's first instruction runs.
"""
import glob
import json
import os
import re
import shutil
import unittest

import harness
import setup_app as app

BITS = harness.bits_under_test()
MARKS = {'32': os.environ.get('MARKDLL_DIR32', ''), '64': os.environ.get('MARKDLL_DIR64', '')}
# What setup.exe's own process loads up to its window, under Wine 8 and 10. A DLL new here costs
# every start its load time (the crypto provider's three did, once); add one only on purpose.
EXPECTED_DLLS = {
    'setup.exe', 'kernel32.dll', 'kernelbase.dll', 'ntdll.dll', 'msvcrt.dll', 'ucrtbase.dll', 'user32.dll',
    'win32u.dll', 'gdi32.dll', 'advapi32.dll', 'sechost.dll', 'version.dll', 'imm32.dll', 'comctl32.dll',
    'uxtheme.dll', 'msimg32.dll', 'ole32.dll', 'combase.dll', 'coml2.dll', 'rpcrt4.dll', 'winex11.drv',
    'zlib1.dll',
}
LOADED = re.compile(r'^([0-9a-f]+):[0-9a-f]+:trace:loaddll:\S+ Loaded L"[^"]*\\([^"\\]+)"', re.M)


def plant_dlls(session, folder, bits):
    """Puts the marking DLLs beside setup.exe and has Wine prefer DLLs found on the path."""
    for dll in glob.glob(os.path.join(MARKS[bits], '*.dll')):
        shutil.copy(dll, folder)
    session.env['WINEDLLOVERRIDES'] = 'uxtheme,dwmapi,shell32,wtsapi32=n,b'


def loaded_marks(folder):
    """The planted DLLs that were loaded: each leaves a NAME.loaded file beside itself."""
    return sorted(os.path.basename(p) for p in glob.glob(os.path.join(folder, '*.loaded')))


def planted_dll_loads(bits):
    """A start, and OK on a product under Program Files, whose copies in the virtual stores are
    looked for through wtsapi32, loaded only then; the run stops at the first missing
    add-on file, after that look."""
    with harness.WineSession() as session:
        folder, exe = app.make_addon_folder(session, bits, files=[])
        plant_dlls(session, folder, bits)
        _, product = app.make_product(session, os.path.join('Program Files', 'Kolvenir1.0'))
        pid, dump = app.open_window(session, exe, app.unregister(bits), app.register_folder(bits, product))
        # Buttons and the edit box are drawn by now, which is when the theme library is wanted.
        results = app.then(session, pid, ['mouse-click', str(app.IDS['Text1'])], ['sleep', '300'],
                           app.click('Command1', real=False), ['wait-msgbox', '120000'], ['dismiss-msgbox'],
                           ['wait-exit'])
        return dump, results[-3]['text'], results[-1]['exit'], loaded_marks(folder)


def dlls_loaded_by_a_start(bits):
    """The DLLs setup.exe's process loads until its window stands, from Wine's own trace."""
    with harness.WineSession() as session:
        _, exe = app.make_addon_folder(session, bits, files=[])
        session.env['WINEDEBUG'] = '+pid,+loaddll'
        out = session.wine(harness.uidriver_exe(), 'start', exe, 'wait-window', 'close', 'wait-exit').stdout
    out = out.decode('utf-8', 'replace')
    pid = next(json.loads(line)['pid'] for line in out.splitlines() if line.startswith('{"cmd":"start"'))
    return {name.lower() for process, name in LOADED.findall(out) if int(process, 16) == pid}


class DllSafetyTest(unittest.TestCase):
    def test_planted_dlls_are_not_loaded(self):
        dump, report, exit_code, marks = planted_dll_loads(BITS)
        self.assertEqual(marks, [])
        self.assertEqual(app.controls(dump)['Label1']['text'], app.FOUND)
        self.assertRegex(report, r'エラー番号: 2\b')
        self.assertEqual(exit_code, 1)

    def test_a_start_loads_only_the_expected_dlls(self):
        loaded = dlls_loaded_by_a_start(BITS)
        self.assertIn('user32.dll', loaded)
        self.assertEqual(loaded - EXPECTED_DLLS, set())


if __name__ == '__main__':
    unittest.main()
