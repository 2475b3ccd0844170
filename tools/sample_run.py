#!/usr/bin/env python3
"""Runs the shipped setup.exe on the bundled sample installation.

With a display it opens the window for the user. Without one it walks the window through
Found, OK, Done and 終了, then NotFound, under Xvfb, and writes a screenshot of each state.
"""
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, 'tests', 'wine'))
import harness  # noqa: E402
import setup_app as app  # noqa: E402

SHOTS = os.path.join(ROOT, 'build', 'screenshots')
MINUTE_NOTE = 'setup.exe is a 32-bit program; where Wine runs it through qemu-i386 it takes about a minute to appear.'


def prepare(session):
    product, folder = app.make_product(session, 'Kolvenir1.0')
    addon, exe = app.make_addon_folder(session, '32', 'Kolvenir1.0後編')
    print(f'product folder {folder} ({product})\nadd-on folder  {session.win_path(addon)}')
    return folder, exe


def interactive():
    os.environ['USE_DISPLAY'] = '1'
    with harness.WineSession('sample', root=os.path.join(ROOT, 'build', 'sample-prefix')) as session:
        folder, exe = prepare(session)
        print(MINUTE_NOTE)
        session.driver(app.unregister('32'), app.register_folder('32', folder),
                       ['start', exe], ['wait-window'], ['wait-exit', str(24 * 3600 * 1000)],
                       timeout=24 * 3600)


def headless():
    os.makedirs(SHOTS, exist_ok=True)
    with harness.WineSession('sample', root=os.path.join(ROOT, 'build', 'sample-prefix')) as session:
        folder, exe = prepare(session)
        print(MINUTE_NOTE)
        pid, _ = app.open_window(session, exe, app.unregister('32'), app.register_folder('32', folder))
        session.screenshot(os.path.join(SHOTS, 'found.png'))
        app.then(session, pid, app.click('Command1'),
                 ['wait-text', str(app.IDS['Label1']), app.FINISHED, '300000'], ['sleep', '300'])
        session.screenshot(os.path.join(SHOTS, 'done.png'))
        code = app.then(session, pid, app.click('Command2'), ['wait-exit'])[-1]['exit']
        print(f'copy run finished, setup.exe ended with status {code}')
        pid, _ = app.open_window(session, exe, app.unregister('32'))
        session.screenshot(os.path.join(SHOTS, 'notfound.png'))
        app.then(session, pid, ['close'], ['wait-exit'])
    print(f'screenshots of the Found, Done and NotFound states are in {SHOTS}')


if __name__ == '__main__':
    interactive() if os.environ.get('DISPLAY') else headless()
