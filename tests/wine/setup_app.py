"""setup.exe as the Wine tests see it: its controls, its texts, its registry entry and the
folders it works on, over the harness's sessions and the UI driver."""
import os
import time
import unittest

import harness

IDS = {'Label1': 101, 'Label2': 102, 'Label3': 103, 'Text1': 104, 'Command1': 105, 'Command2': 106}
UNINSTALL_KEY = harness.UNINSTALL_KEY
CAPTION = 'Kolvenir1.0 Shareware file copy'

HEADING = 'Kolvenir1.0後編\u3000追加ファイルのコピー'
FOUND = ('以下の場所に「Kolvenir1.0」がｲﾝｽﾄｰﾙされています.\r\n\r\n'
         '「ＯＫ」ﾎﾞﾀﾝをｸﾘｯｸすると追加ﾌｧｲﾙのｺﾋﾟｰを行います.')
NOT_FOUND = 'Kolvenir1.0が見つかりません\r\nKolvenir1.0前編をインストール後に再実行してください.'
FINISHED = 'ﾌｧｲﾙｺﾋﾟｰ終了.\r\n「終了」ﾎﾞﾀﾝをｸﾘｯｸしてください.'
EXIT = '終了'

ADDON_FILES = ['21.dat', '15.dat', '16.dat', '17.dat', '51.dat', '52.dat', '54.dat', '55.dat',
               '57.dat', '59.dat', '60.dat', '62.dat', '63.dat', '64.dat', '65.dat', '67.dat',
               '68.dat', '69.dat', '70.dat', '71.dat', '73.dat', '21-2.mid', '23-2.mid']

EXE = {'32': os.environ.get('SETUP_EXE32', ''), '64': os.environ.get('SETUP_EXE64', '')}
SAMPLE_DIR = os.environ.get('SAMPLE_DIR', os.path.join(os.path.dirname(__file__), '..', '..', 'sample'))


def command_for(folder):
    """The uninstall command the product's installer registers for an install folder."""
    return '"' + folder + 'Uninstall01.exe"'


def controls(dump):
    """The dump's controls by name."""
    by_id = {c['id']: c for c in dump['children']}
    return {name: by_id[i] for name, i in IDS.items()}


def register(bits, data, value_type=1):
    """Driver commands that write the uninstall value byte for byte (data: bytes)."""
    return harness.uninstall_entry(bits, data, value_type)


def register_folder(bits, folder, wide=False):
    """As the product's installer writes it: code page 932 bytes, or wide as Unicode text."""
    if wide:
        return harness.uninstall_entry_wide(bits, (command_for(folder) + '\0').encode('utf-16-le'))
    return register(bits, command_for(folder).encode('cp932') + b'\0')


def unregister(bits):
    return harness.uninstall_removal(bits)


def make_product(session, folder='Kolvenir1.0', data_file=None):
    """A product installation under C:\\ with a data folder and 30.dat; returns (linux, windows)."""
    root = os.path.join(session.drive_c, folder)
    os.makedirs(os.path.join(root, 'data'), exist_ok=True)
    if data_file is None:
        with open(os.path.join(SAMPLE_DIR, 'product', 'data', '30.dat'), 'rb') as f:
            data_file = f.read()
    if data_file is not False:
        with open(os.path.join(root, 'data', '30.dat'), 'wb') as f:
            f.write(data_file)
    return root, session.win_path(root) + '\\'


def make_addon_folder(session, bits, folder='addon', files=None):
    """setup.exe with the add-on files beside it; returns (linux dir, windows path of setup.exe)."""
    root = os.path.join(session.drive_c, folder) if not os.path.isabs(folder) else folder
    os.makedirs(root, exist_ok=True)
    with open(EXE[bits], 'rb') as src, open(os.path.join(root, 'setup.exe'), 'wb') as dst:
        dst.write(src.read())
    for name in ADDON_FILES if files is None else files:
        with open(os.path.join(SAMPLE_DIR, 'addon', name), 'rb') as src, \
                open(os.path.join(root, name), 'wb') as dst:
            dst.write(src.read())
    return root, session.win_path(os.path.join(root, 'setup.exe'))


def read(path):
    with open(path, 'rb') as f:
        return f.read()


def run(session, *commands, timeout=600):
    """Runs commands (each a list of words) in one driver call; returns one result per command."""
    return session.driver(*commands, timeout=timeout)


def open_window(session, exe, *setup, cwd=None, wait_ms=None):
    """Writes the registry as given, starts setup.exe and waits for its window; returns
    (pid, dump of the window as it first stands)."""
    start = ['start', exe] + ([cwd] if cwd else [])
    results = run(session, *setup, start, ['wait-window'] + ([wait_ms] if wait_ms else []), ['dump'])
    return results[len(setup)]['pid'], results[-1]


def then(session, pid, *commands, timeout=600):
    """Further commands for a running setup.exe."""
    return run(session, ['attach', str(pid)], *commands, timeout=timeout)[1:]


def click(name, real=True):
    return ['mouse-click' if real else 'click', str(IDS[name])]


def wait_until_done(session, pid, timeout=60.0):
    """Polls the window until it shows the finished message; returns that dump."""
    deadline = time.monotonic() + timeout
    while True:
        dump = then(session, pid, ['dump'])[0]
        # Done brings Label3 to the top; a walk of the children taken just then can miss it.
        shown = {c['id'] for c in dump['children']} >= set(IDS.values())
        # Responding again: the handler has finished, not just begun showing Done.
        if shown and controls(dump)['Label1']['text'] == FINISHED and dump['responding']:
            return dump
        if time.monotonic() > deadline:
            raise AssertionError('the window never reached Done: ' + str(dump))
        time.sleep(0.2)


def snapshot(folder):
    """Every file below folder with its bytes, by path relative to it."""
    files = {}
    for base, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(base, name)
            files[os.path.relpath(path, folder)] = read(path)
    return files


def expected_data_file30(original):
    """30.dat after the run: its first 25 lines, the product code in the seventh."""
    lines = original.split(b'\r\n')
    lines[6] = b'kolven10'
    return b'\r\n'.join(lines[:25]) + b'\r\n'


def spare_files(folder):
    """The names setup.exe gives the files it stages or keeps aside, if any are left in folder."""
    return sorted(n for n in os.listdir(folder) if n.endswith(('.setup-new', '.setup-old')))


def run_files(folder):
    """The files a run keeps in the data folder while it works (its lock and rollback record),
    and the spare files, if any are left."""
    return sorted(n for n in os.listdir(folder) if n in ('setup.journal', 'setup.lock')) + spare_files(folder)


def screenshot(session, name):
    """A picture of the screen, kept with the test run's artifacts."""
    folder = os.path.join(os.environ.get('TEST_ARTIFACTS', '/tmp/setup-test-artifacts'), 'screenshots')
    os.makedirs(folder, exist_ok=True)
    return session.screenshot(os.path.join(folder, name))


class CopyRunCase(unittest.TestCase):
    """A session with the product in C:\\Kolvenir1.0\\ (data folder and 30.dat) and setup.exe with the
    23 add-on files in C:\\addon\\, and the runs of it the tests make."""
    BITS = harness.bits_under_test()
    MSGBOX_WAIT_MS = '120000'  # a file held for good is waited for, a few seconds per step
    WAIT_MS = '180000'  # for the window, and from OK to Done
    maxDiff = None  # a data folder that differs shows which files do

    def setUp(self):
        self.start()

    def start(self, locale=None, product='Kolvenir1.0'):
        """A new session (closing the one before) with the product and the add-on folder."""
        if getattr(self, 'session', None):
            self.session.close()
        self.session = harness.WineSession(locale=locale).__enter__()
        self.addCleanup(self.session.__exit__, None, None, None)
        self.use_product(*make_product(self.session, product.replace('\\', os.sep)))
        self.use_addon('addon')

    def use_product(self, product, folder):
        self.product, self.folder = product, folder
        self.data = os.path.join(product, 'data')

    def use_addon(self, folder, files=None):
        self.addon, self.exe = make_addon_folder(self.session, self.BITS, folder, files)

    def data_path(self, name=''):
        return self.folder + 'data\\' + name

    def open(self, exe=None, cwd=None, wide=False):
        """Registers the product, starts setup.exe and waits for its window; returns (pid, dump)."""
        return open_window(self.session, exe or self.exe, unregister(self.BITS),
                           register_folder(self.BITS, self.folder, wide), cwd=cwd, wait_ms=self.WAIT_MS)

    def installed(self, before):
        """The data folder as a run from before leaves it."""
        after = dict(before)
        for name in ADDON_FILES:
            after[name] = read(os.path.join(self.addon, name))
        after['30.dat'] = expected_data_file30(before['30.dat'])
        return after

    def fail_run(self, *around_ok):
        """Presses OK amid the given commands and returns the failure report's text; the program
        must end with status 1."""
        pid, _ = self.open()
        results = then(self.session, pid, *around_ok, click('Command1', real=False),
                       ['wait-msgbox', self.MSGBOX_WAIT_MS], ['dismiss-msgbox'], ['wait-exit'])
        self.assertEqual(results[-3]['caption'], CAPTION)
        self.assertEqual(results[-1]['exit'], 1)
        return results[-3]['text']

    def unchanged_run(self, *around_ok):
        """fail_run, then the data folder must be byte for byte as before: nothing changed and
        nothing left behind."""
        before = snapshot(self.data)
        text = self.fail_run(*around_ok)
        self.assertEqual(snapshot(self.data), before)
        return text

    def complete_run(self, *before_ok, pid=None):
        """A run from OK to Done and 終了; returns the driver's results of before_ok."""
        if pid is None:
            pid, _ = self.open()
        results = then(self.session, pid, *before_ok, click('Command1', real=False),
                       ['wait-text', str(IDS['Label1']), FINISHED, self.WAIT_MS],
                       click('Command2', real=False), ['wait-exit'])
        self.assertEqual(results[-1]['exit'], 0)
        return results[:len(before_ok)]

    def assert_report(self, text, number, path):
        self.assertIn('エラー番号: %d' % number, text)
        self.assertIn('対象: ' + path, text)


class Journey:
    """A whole journey of the shipped 32-bit setup.exe, run on every machine: where 32-bit Wine
    runs through qemu-i386 a start takes a minute or two, so each journey starts it as few times
    as it can. Its time goes, under the first line of its docstring, to the summary that
tools/test.sh prints last."""
    BITS = '32'
    WAIT_MS = MSGBOX_WAIT_MS = '500000'  # within the driver's call of 600 s

    def run(self, result=None):
        result = result or self.defaultTestResult()
        before = (len(result.failures) + len(result.errors), len(result.skipped))
        started = time.monotonic()
        super().run(result)
        after = (len(result.failures) + len(result.errors), len(result.skipped))
        outcome = 'failed' if after[0] > before[0] else 'skipped' if after[1] > before[1] else 'passed'
        name = (self._testMethodDoc or '').strip().split('\n')[0] or self._testMethodName
        harness.log_journey(name, time.monotonic() - started, outcome)
        return result
