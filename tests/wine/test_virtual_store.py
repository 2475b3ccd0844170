"""The game's own copies of its data folder in the accounts' virtual stores, under Wine. Wine
virtualizes nothing, so each copy is planted where Windows keeps it. Every account's copy gets the
update; a link anywhere on the way down from a profile folder, planted before the run or swapped in
during it, is refused, and nothing outside the folders setup.exe works in changes. Under Wine a
unix symlink stands in for a junction."""
import os
import threading
import time

import harness
import setup_app as app

BITS = harness.bits_under_test()
PROFILE_LIST = r'SOFTWARE\Microsoft\Windows NT\CurrentVersion\ProfileList'
GAME = os.path.join('Program Files', 'Kolvenir Store')
WAY = ('AppData', 'Local', 'VirtualStore', 'Program Files', 'Kolvenir Store', 'data')


class Copies(app.CopyRunCase):
    """A product under Program Files, and the copies of its data folder to plant in profiles."""

    def setUp(self):
        super().setUp()
        self.use_product(*app.make_product(self.session, GAME))
        users = os.path.join(self.session.drive_c, 'users')
        self.users = users
        self.profile = os.path.join(users, next(name for name in sorted(os.listdir(users)) if name != 'Public'))
        real = app.read(os.path.join(self.data, '30.dat'))
        self.own = real.replace(b'\r\n640\r\n', b'\r\n800\r\n')  # fields of the copy's own
        self.assertNotEqual(self.own, real)

    def plant_copy(self, profile, files=None):
        """A copy of the data folder in profile's virtual store, as the game's writes leave it."""
        store = os.path.join(profile, *WAY)
        os.makedirs(store, exist_ok=True)
        for name, data in (files or {'30.dat': self.own}).items():
            with open(os.path.join(store, name), 'wb') as f:
                f.write(data)
        return store

    def list_account(self, name, sid):
        """Another account, its profile listed as Windows lists it: %SystemDrive%\\users\\NAME."""
        value = ('%SystemDrive%\\users\\' + name + '\0').encode('utf-16-le')
        app.run(self.session, ['reg-set-wide', '64', PROFILE_LIST + '\\' + sid, 'ProfileImagePath', '2', value.hex()])
        return os.path.join(self.users, name)

    def outside(self):
        """Another user's copy, reached by no listed profile: what a planted link points at."""
        victim = self.plant_copy(os.path.join(self.users, 'victim'), {'30.dat': self.own, '21.dat': b'victim 21'})
        return victim, app.snapshot(victim)

    def update_every_account(self):
        # The uninstall entry in 8.3 form, as old installers wrote it; a second account with its
        # own copy holding an add-on file; a third whose profile folder is not on this PC.
        mine = self.plant_copy(self.profile)
        other = self.plant_copy(self.list_account('other', 'S-1-5-21-0-0-0-1001'),
                                {'30.dat': self.own, '21.dat': b'game 21', 'save.txt': b'saved'})
        self.list_account('roaming', 'S-1-5-21-0-0-0-1002')
        short = app.run(self.session, ['short-path', self.folder])[0]['short']
        self.assertNotEqual(short.rstrip('\\'), self.folder.rstrip('\\'))
        self.folder = short.rstrip('\\') + '\\'
        before = app.snapshot(self.data)
        self.complete_run()
        updated = app.expected_data_file30(self.own)
        self.assertEqual(app.snapshot(mine), {'30.dat': updated})
        self.assertEqual(app.snapshot(other), {'30.dat': updated, 'save.txt': b'saved',
                                               '21.dat': app.read(os.path.join(self.addon, '21.dat'))})
        self.assertEqual(app.snapshot(self.data), self.installed(before))


class VirtualStoreTest(Copies):
    def test_every_accounts_copy_is_updated_whatever_the_folders_spelling(self):
        self.update_every_account()

    def test_a_link_on_the_way_is_refused_by_name(self):
        # Each folder below the profile folder in turn is a link to another user's copy; last, the
        # game's folder there is a link to the product's own folder, which is no other setup.exe.
        rows = [(depth, lambda depth: os.path.join(self.users, 'victim', *WAY[:depth])) for depth in range(1, len(WAY) + 1)]
        rows.append((len(WAY) - 1, lambda depth: self.product))
        for depth, target in rows:
            with self.subTest(at=WAY[depth - 1], to=target(depth)):
                self.setUp()  # a session of its own
                self.plant_copy(self.profile)
                victim, victim_before = self.outside()
                level = os.path.join(self.profile, *WAY[:depth])
                os.rename(level, level + '.real')
                os.symlink(target(depth), level)
                before = app.snapshot(self.data)
                text = self.fail_run()
                self.assert_report(text, 1920, self.session.win_path(level))
                self.assertIn('リンク', text)
                self.assertEqual(app.snapshot(victim), victim_before)
                self.assertEqual(app.snapshot(self.data), before)
                self.assertEqual(app.snapshot(os.path.join(level + '.real', *WAY[depth:])), {'30.dat': self.own})

    def test_a_folder_swapped_for_a_link_during_the_run_ends_in_the_report(self):
        # Once the data folder's record is written, the copy's game folder is moved away and a
        # link to another user's copy put in its place, as Wine lets a rename from outside do. 21.dat
        # is held for a moment from when it is kept aside, so that the data folder's renames wait.
        self.plant_copy(self.profile)
        victim, victim_before = self.outside()
        with open(os.path.join(self.data, '21.dat'), 'wb') as f:
            f.write(b'old 21')
        game = os.path.join(self.profile, *WAY[:-1])
        swapped = threading.Event()

        def swap():
            deadline = time.monotonic() + 120
            while not os.path.exists(os.path.join(self.data, 'setup.journal')):
                if time.monotonic() > deadline:
                    return
                time.sleep(0.001)
            os.rename(game, game + '.moved')
            os.symlink(os.path.join(self.users, 'victim', *WAY[:-1]), game)
            swapped.set()

        before = app.snapshot(self.data)
        swapper = threading.Thread(target=swap)
        swapper.start()
        try:
            text = self.fail_run(['hold-when-there', self.data_path('21.dat.setup-old'), self.data_path('21.dat'), '1000'])
        finally:
            swapper.join()
        self.assertTrue(swapped.is_set())
        self.assert_report(text, 1920, self.session.win_path(game))
        self.assertIn('リンク', text)
        self.assertEqual(app.snapshot(victim), victim_before)
        # The copy, where it now lies, is whole: as it was, or updated. Wine deletes a name by the
        # path it was opened by, which now leads through the link: the program's own spare names
        # there stay for the next run.
        moved = {name: data for name, data in app.snapshot(os.path.join(game + '.moved', 'data')).items()
                 if not name.startswith('setup.') and '.setup-' not in name}
        self.assertIn(moved, ({'30.dat': self.own}, {'30.dat': app.expected_data_file30(self.own)}))
        self.assertEqual(app.snapshot(self.data), self.installed(before))

    def test_a_data_folder_outside_the_virtualized_folders_has_no_copy(self):
        # C:\Kolvenir1.0 is not virtualized: what lies where its copy would be is somebody else's.
        self.use_product(*app.make_product(self.session, 'Kolvenir1.0'))
        lookalike = os.path.join(self.profile, 'AppData', 'Local', 'VirtualStore', 'Kolvenir1.0', 'data')
        os.makedirs(lookalike)
        with open(os.path.join(lookalike, '30.dat'), 'wb') as f:
            f.write(self.own)
        self.complete_run()
        self.assertEqual(app.snapshot(lookalike), {'30.dat': self.own})


if __name__ == '__main__':
    import unittest
    unittest.main()
