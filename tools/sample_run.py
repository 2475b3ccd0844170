#!/usr/bin/env python3
"""Runs the shipped setup.exe on the bundled sample installation.

With a display it opens the window for the user. Without one it walks the window through
Found, OK, Done and 終了, then NotFound, then a run whose product has no data folder, under
Xvfb, and writes a picture of the window (or the failure report) in each state, frame included.
"""
import os
import re
import shutil
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.dont_write_bytecode = True  # nothing of this run is left in the source tree but docs/
sys.path.insert(0, os.path.join(ROOT, 'tests', 'wine'))
import harness  # noqa: E402
import setup_app as app  # noqa: E402

SHOTS = os.path.join(ROOT, 'build', 'screenshots')
DOCS = os.path.join(ROOT, 'docs')
PICTURES = ('found.png', 'done.png', 'notfound.png', 'failure.png')
MINUTE_NOTE = ('setup.exe is a 32-bit program; where Wine runs it through qemu-i386 each of its '
               'three starts takes about a minute.')
# One line of `xwininfo -root -tree`: id, title, then size and absolute position.
TREE_LINE = re.compile(r'^\s*(0x[0-9a-f]+) "(.*)":.*?\s(\d+)x(\d+)[+-]-?\d+[+-]-?\d+\s+([+-]-?\d+)([+-]-?\d+)\s*$')


def prepare(session):
    product, folder = app.make_product(session, 'Kolvenir1.0')
    addon, exe = app.make_addon_folder(session, '32', 'Kolvenir1.0後編')
    print(f'product folder {folder} ({product})\nadd-on folder  {session.win_path(addon)}')
    return product, folder, exe


def shown_windows(display, caption):
    """The viewable X windows titled caption, top of the stack first: (id, w, h, x, y)."""
    tree = subprocess.run(['xwininfo', '-root', '-tree', '-display', display], check=True,
                          capture_output=True, text=True, timeout=60).stdout
    found = []
    for line in tree.splitlines():
        match = TREE_LINE.match(line)
        if not match or match.group(2) != caption:
            continue
        info = subprocess.run(['xwininfo', '-id', match.group(1), '-display', display],
                              capture_output=True, text=True, timeout=60).stdout
        if 'IsViewable' in info:
            w, h, x, y = (int(match.group(i).lstrip('+')) for i in range(3, 7))
            found.append((match.group(1), w, h, x, y))
    return found


def photograph(session, name, topmost=False):
    """Saves the window titled with the program's caption, Wine's own frame included.

    The failure report carries the window's caption too; it is the topmost of the two.
    """
    windows = shown_windows(session.display, app.CAPTION)
    if not windows or (len(windows) > 1 and not topmost):
        raise RuntimeError(f'expected one window titled {app.CAPTION!r} for {name}, '
                           f'found {len(windows)}')
    _, width, height, x, y = windows[0]
    path = os.path.join(SHOTS, name)
    # Wine draws the frame into the same X window, so its geometry is the whole window; cut from
    # the screen, the picture is what the user sees.
    screen = session.screenshot(path + '.screen.png')
    # -strip drops the time stamps, so an unchanged window leaves the committed copy unchanged.
    subprocess.run(['convert', screen, '-crop', f'{width}x{height}+{x}+{y}', '+repage', '-strip', path],
                   check=True, timeout=60)
    os.remove(screen)
    print(f'{name}: {width}x{height} window at {x},{y}')


def interactive():
    os.environ['USE_DISPLAY'] = '1'
    with harness.WineSession('sample', root=os.path.join(ROOT, 'build', 'sample-prefix')) as session:
        _, folder, exe = prepare(session)
        print(MINUTE_NOTE.replace('each of its three starts', 'it'))
        session.driver(app.unregister('32'), app.register_folder('32', folder),
                       ['start', exe], ['wait-window'], ['wait-exit', str(24 * 3600 * 1000)],
                       timeout=24 * 3600)


def headless():
    os.makedirs(SHOTS, exist_ok=True)
    for name in PICTURES:
        if os.path.exists(os.path.join(SHOTS, name)):
            os.remove(os.path.join(SHOTS, name))
    with harness.WineSession('sample', root=os.path.join(ROOT, 'build', 'sample-prefix')) as session:
        product, folder, exe = prepare(session)
        print(MINUTE_NOTE)
        registered = app.register_folder('32', folder)
        pid, _ = app.open_window(session, exe, app.unregister('32'), registered)
        photograph(session, 'found.png')
        app.then(session, pid, app.click('Command1'),
                 ['wait-text', str(app.IDS['Label1']), app.FINISHED, '300000'], ['sleep', '300'])
        photograph(session, 'done.png')
        code = app.then(session, pid, app.click('Command2'), ['wait-exit'])[-1]['exit']
        print(f'copy run finished, setup.exe ended with status {code}')

        pid, _ = app.open_window(session, exe, app.unregister('32'))
        photograph(session, 'notfound.png')
        app.then(session, pid, ['close'], ['wait-exit'])

        # The product's data folder goes aside for one run, then comes back as the copy left it.
        data = os.path.join(product, 'data')
        aside = os.path.join(session.root, 'data-aside')
        os.rename(data, aside)
        try:
            pid, _ = app.open_window(session, exe, registered)
            report = app.then(session, pid, app.click('Command1'), ['wait-msgbox', '300000'],
                              ['sleep', '300'])[1]
            photograph(session, 'failure.png', topmost=True)
            code = app.then(session, pid, ['dismiss-msgbox'], ['wait-exit'])[-1]['exit']
            print(f'without {folder}data\\ setup.exe reported:\n  '
                  + report['text'].replace('\r\n', '\n').replace('\n', '\n  ')
                  + f'\nand ended with status {code}')
        finally:
            os.rename(aside, data)

    os.makedirs(DOCS, exist_ok=True)
    for name in PICTURES:
        shutil.copyfile(os.path.join(SHOTS, name), os.path.join(DOCS, name))
    print(f'pictures of Found, Done, NotFound and the failure report are in {SHOTS} '
          f'(copied to {DOCS})')


if __name__ == '__main__':
    interactive() if os.environ.get('DISPLAY') else headless()
