"""The copy run updates the product's data folder wholly or not at all, under Wine: failures
partway through staging, programs that hold the files it replaces, the game saving 30.dat meanwhile,
the program killed mid-run and what the next run makes of it, two runs at once, and a volume without
hard links. The data folder is checked byte for byte afterwards."""
import os
import re
import shutil
import subprocess
import tempfile
import unittest

import harness
import setup_app as app

BITS = harness.bits_under_test()
ANOTHER_SETUP = 'ほかの setup.exe'
RUN_AGAIN = 'もう一度 setup.exe を実行すると元に戻ります'
OWING = b'setup.exe rollback journal 5\r\nunrestored %s\r\nend\r\n'
CHANGED_MEANWHILE = 'setup.exe の実行中に、ほかのプログラム（Kolvenir1.0 本体など）がこのファイルを書き換えました。'


class Commit(app.CopyRunCase):
    """The product with an older version of every add-on file, and ways to end a run midway."""

    def use_product(self, product, folder):
        super().use_product(product, folder)
        # An older version of every add-on file, so that old and new can be told apart.
        for name in app.ADDON_FILES:
            with open(os.path.join(self.data, name), 'wb') as f:
                f.write(b'old version of ' + name.encode())

    def use_volume(self, volume, name):
        """A product of its own, named name, on C: or on an exFAT volume, which has no hard links."""
        if volume == 'C:':
            self.use_product(*app.make_product(self.session, name))
        else:
            product, _ = app.make_product(self.session, os.path.join(self.session.mount_exfat('e'), name))
            self.use_product(product, 'E:\\' + name + '\\')

    def claim_once_recorded(self, name, ms=None):
        """Driver command: from when the record is there (all staging done), another program holds
        the file at name so that it cannot be set aside: its rename aside waits, retried up to 4 s,
        while the renames before it are done."""
        return ['claim-when-there', self.data_path('setup.journal'), self.data_path(name)] + ([str(ms)] if ms else [])

    def kill_in_commit(self, after='63.dat'):
        """Starts a run and ends it as Task Manager's End task would, in its renames: the add-on
        files up to after are in place, the others not. The next one's old file is held so that
        it cannot be set aside, and the run cannot get further."""
        held = app.ADDON_FILES[app.ADDON_FILES.index(after) + 1]
        pid, _ = self.open()
        app.then(self.session, pid, self.claim_once_recorded(held),
                 app.click('Command1', real=False), ['wait-file', self.data_path('setup.journal'), self.WAIT_MS],
                 ['wait-gone', self.data_path(after + '.setup-new'), self.WAIT_MS], ['terminate'])
        left = os.listdir(self.data)
        self.assertIn('setup.journal', left, 'killed outside the renames')
        self.assertIn(held + '.setup-new', left, 'killed outside the renames')
        self.assertIn(after + '.setup-old', left, 'killed outside the renames')

    def refused_by_holding_30_dat(self):
        """A run whose last rename, of 30.dat, is refused, so that every add-on file has been moved
        in and must go back: 30.dat is held from when the record is there, so nothing is refused
        before. Returns the folder as it was, and as it must be again."""
        before = app.snapshot(self.data)
        text = self.fail_run(self.claim_once_recorded('30.dat'))
        self.assertTrue('エラー番号: 32' in text or 'エラー番号: 5' in text, text)
        self.assertIn('対象: ' + self.data_path('30.dat'), text)
        # 30.dat was never set aside: nothing of the run is left, not even a kept name.
        self.assertEqual(app.snapshot(self.data), before)
        return before

    def kept_file_held_after_the_commit(self):
        """A whole run on exFAT while another program holds the old 21.dat open, sharing
        everything (the game reading it, say), until the run has ended: the kept file's delete
        waits for it to let go, which is after the run has looked. Returns the folder as it was
        before."""
        self.use_volume('exFAT', 'K')
        before = app.snapshot(self.data)
        self.complete_run(['lock', self.data_path('21.dat'), '7'])
        after = app.snapshot(self.data)
        # The kept file went with the program's hold, after the run ended, and the committed
        # record stayed, so that the next run knows the name was the commit's to delete. Where a
        # delete takes the name at once (POSIX semantics: Wine 10, and Windows 10 on NTFS), there
        # was nothing to wait for, and the record went too.
        self.assertNotIn('21.dat.setup-old', after)
        if 'setup.journal.setup-old' in after:
            self.assertIn(b'\r\nend\r\n', after.pop('setup.journal.setup-old'))
        self.assertEqual(after, self.installed(before))
        return before


class AllOrNothingTest(Commit):
    def test_unreadable_source_partway_stages_nothing_for_good(self):
        # Another program holds the eleventh source without sharing: ten files are staged first.
        source = self.session.win_path(os.path.join(self.addon, '60.dat'))
        text = self.unchanged_run(['lock', source])
        self.assert_report(text, 32, source)

    def test_disk_full_partway_through_staging(self):
        mount = tempfile.mkdtemp(prefix='setup-inodes-')
        self.addCleanup(os.rmdir, mount)
        # Room enough in bytes, but files run out partway through staging: the space check
        # passes and a staged file meets a full disk once the run's own files and some ten new
        # ones have taken what is left.
        inodes = 4 + len(app.ADDON_FILES) + 10  # root, K, data, 30.dat, the old files, ten more
        if subprocess.run(['mount', '-t', 'tmpfs', '-o', f'size=8m,nr_inodes={inodes}', 'tmpfs', mount],
                          capture_output=True).returncode != 0:
            self.skipTest('mounting a small tmpfs was refused here')
        self.addCleanup(subprocess.run, ['umount', mount])
        os.makedirs(os.path.join(mount, 'K', 'data'))
        shutil.copy(os.path.join(app.SAMPLE_DIR, 'product', 'data', '30.dat'), os.path.join(mount, 'K', 'data'))
        self.session.map_drive('f', mount)
        self.use_product(os.path.join(mount, 'K'), 'F:\\K\\')
        text = self.unchanged_run()
        self.assertIn('エラー番号: 112', text)
        target = re.search('対象: (.*)', text).group(1).rstrip('\r')
        self.assertIn(target, [self.data_path(name) for name in app.ADDON_FILES[2:11]])

    def test_a_scanner_that_opens_each_new_file_never_holds_an_old_one(self):
        before = app.snapshot(self.data)
        pid, _ = self.open()
        # 30.dat, put in place last, is held for a moment, so that the scanner surely tries the
        # kept names of the others, whose time is otherwise a few milliseconds.
        results = app.then(self.session, pid, ['scan', self.folder + 'data', '300'],
                           self.claim_once_recorded('30.dat', 1000),
                           app.click('Command1', real=False),
                           ['wait-text', str(app.IDS['Label1']), app.FINISHED, '120000'],
                           ['scan-report'], app.click('Command2', real=False), ['wait-exit'])
        self.assertEqual(results[-1]['exit'], 0)
        scanned = results[4]['names']
        # It opened the new files, but neither a staged one nor a kept old one: the run holds
        # each, sharing no delete, from its creation or its check until it is renamed or deleted,
        # so that a scanner which shares nothing cannot keep the run from deleting it. The
        # committed record it may hold is waited out.
        self.assertIn('21.dat', scanned)
        spare = [name for name in scanned if '.setup-' in name and not name.startswith('setup.journal')]
        self.assertFalse(spare, scanned)
        self.assertEqual(app.snapshot(self.data), self.installed(before))

    def test_a_holder_that_never_lets_go_ends_in_the_report_with_nothing_changed(self):
        # exFAT: file ids change with a rename, so files are known by their size and contents.
        for volume in ('C:', 'exFAT'):
            with self.subTest(volume=volume):
                self.use_volume(volume, 'Held')
                before = self.refused_by_holding_30_dat()
                self.complete_run()
                self.assertEqual(app.snapshot(self.data), self.installed(before))

    def test_the_game_saving_30_dat_meanwhile_is_reported_and_its_save_kept(self):
        # Once setup.exe has read 30.dat and staged its update, the game saves a field setup.exe
        # leaves alone, and keeps the file open or closes it. Either way the update would put the
        # game's old field back.
        for keeps_open in (True, False):
            with self.subTest(keeps_open=keeps_open):
                self.use_product(*app.make_product(self.session, f'Saved{int(keeps_open)}'))
                before = app.snapshot(self.data)
                fields = before['30.dat'].split(b'\r\n')
                fields[10] = b'3'
                saved = b'\r\n'.join(fields)
                game = ['write-when-there', self.data_path('30.dat.setup-new'), self.data_path('30.dat'), saved.hex()]
                # 21.dat, set aside first, is held for a moment, so that nothing is put in place
                # before the game has saved.
                text = self.fail_run(game + ([] if keeps_open else ['0']),
                                     ['claim-when-there', self.data_path('30.dat.setup-new'), self.data_path('21.dat'), '1000'])
                self.assert_report(text, 1006, self.data_path('30.dat'))
                self.assertIn(CHANGED_MEANWHILE, text)
                before['30.dat'] = saved
                self.assertEqual(app.snapshot(self.data), before)
                self.complete_run()
                self.assertEqual(app.snapshot(self.data), self.installed(before))

    def test_a_file_the_game_keeps_open_is_replaced_and_its_old_one_goes_once_let_go(self):
        # The game holds 60.dat, letting others read, write and delete it: it is renamed aside
        # and replaced all the same. Where a delete waits for the last handle (Wine 8, FAT) the
        # old file keeps its kept name until the game lets go, and the committed record stays
        # with it, so that no run takes that name for a file to put back: a run meanwhile stops
        # at it, naming 60.dat, and changes nothing.
        before = app.snapshot(self.data)
        let_go = os.path.join(self.session.root, 'let-go')
        game = harness.Background(self, 'lock', self.data_path('60.dat'), 7,
                                  'wait-file', self.session.win_path(let_go), '600000')
        game.wait_for_line(1)
        self.complete_run()
        after = app.snapshot(self.data)
        # Where a delete takes the name at once (POSIX semantics: Wine 10, and Windows 10 on
        # NTFS), the game keeps its open file under no name and nothing is left to wait for.
        waits = '60.dat.setup-old' in after
        if waits:
            self.assertEqual(after.pop('60.dat.setup-old'), before['60.dat'])
            self.assertIn(b'\r\nend\r\n', after.pop('setup.journal.setup-old'))
        self.assertEqual(after, self.installed(before))
        if waits:
            text = self.unchanged_run()
            self.assertTrue('エラー番号: 32' in text or 'エラー番号: 5' in text, text)
            self.assertIn('対象: ' + self.data_path('60.dat'), text)
        with open(let_go, 'wb'):
            pass
        game.finish()
        self.complete_run()
        self.assertEqual(app.snapshot(self.data), self.installed(before))

    def test_an_undo_held_up_for_good_is_finished_by_the_next_run(self):
        # 73.dat is new to the folder, and a program opens it as soon as it is in place: the
        # undo after the failed rename of 30.dat cannot remove it.
        os.remove(os.path.join(self.data, '73.dat'))
        before = app.snapshot(self.data)
        text = self.fail_run(['hold-when-appears', self.data_path('73.dat')], self.claim_once_recorded('30.dat'))
        self.assertIn('対象: ' + self.data_path('30.dat'), text)
        self.assertIn(RUN_AGAIN, text)
        self.assertNotEqual(app.snapshot(self.data), before)
        # The holders are gone; the next run restores the folder before it refuses.
        source = os.path.join(self.addon, '52.dat')
        os.remove(source)
        self.assert_report(self.fail_run(), 2, self.session.win_path(source))
        self.assertEqual(app.snapshot(self.data), before)

    def test_a_kept_copy_held_after_the_commit_is_left_for_the_next_run_alone(self):
        before = self.kept_file_held_after_the_commit()
        self.use_addon('again')
        self.complete_run()
        self.assertEqual(app.snapshot(self.data), self.installed(before))

    def test_whole_run_on_a_volume_without_hard_links(self):
        self.use_volume('exFAT', 'K')
        before = app.snapshot(self.data)
        self.complete_run()
        self.assertEqual(app.snapshot(self.data), self.installed(before))

    def test_killed_in_the_renames_then_refused_leaves_the_folder_as_before_the_kill(self):
        # The run after the kill puts the folder back as it was before the killed run, and only
        # then meets what it refuses. Each returns (commands around OK, error, target, spare
        # names that may stay, a file that cannot be put back).
        def missing_source():
            # One the killed run had not put in place: on exFAT a file it had put there is
            # removed only while the add-on folder still holds its contents.
            os.remove(os.path.join(self.addon, '73.dat'))
            return [], 2, self.session.win_path(os.path.join(self.addon, '73.dat')), [], None

        def data_file_held():
            # 30.dat, never set aside, held without sharing: the rollback cannot look at it, so the
            # record stays until a run can.
            return ([['lock', self.data_path('30.dat')]], 32, self.data_path('30.dat'),
                    ['setup.journal'], None)

        def kept_copy_deleted():
            # As a cleaning tool might: the old 21.dat is gone for good, the rest comes back.
            os.remove(os.path.join(self.data, '21.dat.setup-old'))
            return missing_source()[:4] + ('21.dat',)

        def data_file_gone():
            # 30.dat set aside and the power cut before the new one went in: its kept file is the
            # only old one left, and goes back.
            os.rename(os.path.join(self.data, '30.dat'), os.path.join(self.data, '30.dat.setup-old'))
            return missing_source()

        cases = [('C:', missing_source), ('C:', data_file_held), ('exFAT', missing_source),
                 ('C:', kept_copy_deleted), ('exFAT', data_file_gone)]
        for index, (volume, refusal) in enumerate(cases):
            with self.subTest(volume=volume, refused=refusal.__name__):
                self.use_volume(volume, f'Killed{index}')
                self.use_addon(f'addon{index}')
                before = app.snapshot(self.data)
                self.kill_in_commit()
                around_ok, number, path, may_stay, unrestored = refusal()
                text = self.fail_run(*around_ok)
                self.assert_report(text, number, path)
                after = app.snapshot(self.data)
                if unrestored:
                    self.assertIn(self.data_path(unrestored) + ' を元に戻せませんでした', text)
                    self.assertEqual(after.pop(unrestored), app.read(os.path.join(self.addon, unrestored)))
                    before.pop(unrestored)
                    # The record stays, owing only the note, until a run installs everything.
                    self.assertEqual(after.pop('setup.journal'), OWING % unrestored.encode())
                for name in may_stay:
                    if name == 'setup.journal':
                        self.assertIn(b'\r\nend\r\n', after.pop(name))
                        continue
                    kept = before[name[:-len('.setup-old')]]
                    self.assertEqual(after.pop(name, kept), kept, name)
                self.assertEqual(after, before)
                # Whatever stayed, the next run clears and installs.
                self.use_addon(f'addon{index}')
                self.complete_run()
                self.assertEqual(app.snapshot(self.data), self.installed(before))

    def test_a_rollback_killed_between_its_two_renames_is_finished_by_the_next_run(self):
        # The rollback goes backwards from where the killed run stopped: 63.dat goes back whole,
        # then 62.dat's new file is renamed aside, and its old one, which a scanner holds, waits to
        # follow. The kill lands there, between the two renames of one name.
        before = app.snapshot(self.data)
        installed = self.installed(before)
        self.kill_in_commit()
        pid, _ = self.open()
        scanner = ['hold-when-there', self.data_path('setup.journal'), self.data_path('62.dat.setup-old')]
        results = app.then(self.session, pid, scanner, app.click('Command1', real=False),
                           ['wait-gone', self.data_path('62.dat'), self.WAIT_MS], ['terminate'])
        self.assertTrue(results[-1]['was_running'])
        after = app.snapshot(self.data)
        # The moment was hit: 63.dat is back, 62.dat between its two renames.
        self.assertEqual(after['63.dat'], before['63.dat'])
        self.assertNotIn('63.dat.setup-old', after)
        self.assertNotIn('62.dat', after)
        # Every name has a whole file, or its kept old one and the record that sends it back.
        for name in app.ADDON_FILES + ['30.dat']:
            if name in after:
                self.assertIn(after[name], (before[name], installed[name]), f'{name} is torn')
            else:
                self.assertEqual(after.get(name + '.setup-old'), before[name], f'{name} is lost')
                self.assertIn('setup.journal', after)
        self.complete_run()
        self.assertEqual(app.snapshot(self.data), installed)

    def test_a_folder_at_the_programs_own_names_is_named_until_it_is_removed(self):
        # Left by a tool or planted by another user: the user's to remove, one after the other,
        # with whatever is in it.
        names = ('setup.lock', 'setup.journal', '21.dat.setup-old')
        for name in names:
            os.mkdir(os.path.join(self.data, name))
            with open(os.path.join(self.data, name, 'inside.txt'), 'wb') as f:
                f.write(b'not the program\'s')
        for name in names:
            text = self.unchanged_run()
            self.assert_report(text, 5, self.data_path(name))
            self.assertIn('フォルダを削除してから', text)
            shutil.rmtree(os.path.join(self.data, name))
        before = app.snapshot(self.data)
        self.complete_run()
        self.assertEqual(app.snapshot(self.data), self.installed(before))

    def test_read_only_leftovers_are_deleted_and_a_read_only_data_file_named(self):
        # Left read-only by a tool: the program's own names go all the same. 30.dat.setup-old is
        # 30.dat itself under a second name, as a rename aside torn by a power cut leaves it, made
        # read-only through 30.dat: that name goes, and the flag stays on 30.dat, which the report
        # names.
        for name in ('21.dat.setup-new', 'setup.lock'):
            with open(os.path.join(self.data, name), 'wb') as f:
                f.write(b'left')
        os.link(os.path.join(self.data, '30.dat'), os.path.join(self.data, '30.dat.setup-old'))
        for name in ('21.dat.setup-new', 'setup.lock', '30.dat'):
            os.chmod(os.path.join(self.data, name), 0o444)
        text = self.fail_run()
        self.assert_report(text, 5, self.data_path('30.dat'))
        self.assertIn('読み取り専用', text)
        self.assertEqual(app.run_files(self.data), [])
        self.assertFalse(os.stat(os.path.join(self.data, '30.dat')).st_mode & 0o200, 'the flag went')
        os.chmod(os.path.join(self.data, '30.dat'), 0o644)
        before = app.snapshot(self.data)
        self.complete_run()
        self.assertEqual(app.snapshot(self.data), self.installed(before))

    def test_a_read_only_file_of_the_users_met_by_a_rollback_is_kept_and_named(self):
        # After the kill the user copies 21.dat in by hand from a CD, read-only: not the run's own
        # file, so the rollback leaves it and keeps the old one beside it, and the checks name it.
        before = app.snapshot(self.data)
        self.kill_in_commit()
        mine = os.path.join(self.data, '21.dat')
        os.remove(mine)
        with open(mine, 'wb') as f:
            f.write(b'the user\'s own 21.dat')
        os.chmod(mine, 0o444)
        text = self.fail_run()
        self.assert_report(text, 5, self.data_path('21.dat'))
        self.assertIn('読み取り専用', text)
        self.assertIn(self.data_path('21.dat.setup-bak') + ' として残しました', text)
        kept = dict(before)
        kept['21.dat'], kept['21.dat.setup-bak'] = b'the user\'s own 21.dat', before['21.dat']
        after = app.snapshot(self.data)
        # The record stays, owing the note until a run installs everything.
        self.assertTrue(after.pop('setup.journal').endswith(b'\r\naside 21.dat.setup-bak\r\nend\r\n'))
        self.assertEqual(after, kept)
        self.assertFalse(os.stat(mine).st_mode & 0o200, 'the flag went')
        os.chmod(mine, 0o644)
        self.complete_run()
        self.assertEqual(app.snapshot(self.data), self.installed(kept))

    def test_a_second_setup_exe_meanwhile_is_turned_away(self):
        before = app.snapshot(self.data)
        first, _ = self.open()
        second, _ = self.open()
        # Other programs hold the first run's old files from when it has taken the folder, for a
        # while, one after the other: its renames wait well within its patience, and all
        # together long past the second's. (From its record, a run quick enough to set the first
        # file aside before that hold begins would meet the second for all of its 5 s.)
        holds = [['claim-when-there', self.data_path('setup.lock'), self.data_path(name), str(2500 * (n + 1))]
                 for n, name in enumerate(app.ADDON_FILES[:3])]
        results = app.run(
            self.session, *holds,
            ['attach', first], app.click('Command1', real=False),
            ['wait-file', self.data_path('setup.journal'), '60000'],
            ['attach', second], app.click('Command1', real=False),
            ['wait-msgbox', '60000'], ['dismiss-msgbox'], ['wait-exit'],
            ['attach', first], ['wait-text', str(app.IDS['Label1']), app.FINISHED, '120000'],
            app.click('Command2', real=False), ['wait-exit'])
        report, second_exit, first_exit = results[-7], results[-5], results[-1]
        self.assertEqual(report['caption'], app.CAPTION)
        self.assert_report(report['text'], 32, self.data_path())
        self.assertIn(ANOTHER_SETUP, report['text'])
        self.assertEqual((second_exit['exit'], first_exit['exit']), (1, 0))
        self.assertEqual(app.snapshot(self.data), self.installed(before))

    def test_killed_at_several_moments_leaves_only_whole_files(self):
        for name in app.ADDON_FILES:
            with open(os.path.join(self.addon, name), 'wb') as f:
                f.write(os.urandom(4 << 20))
        before = app.snapshot(self.data)
        installed = self.installed(before)
        # (a file that has appeared, one that has gone): staging, the first rename aside, then
        # the renames further on.
        moments = [('21.dat.setup-new', None), ('73.dat.setup-new', None), ('30.dat.setup-new', None),
                   ('21.dat.setup-old', None), ('setup.journal', '21.dat.setup-new'),
                   ('setup.journal', '65.dat.setup-new')]
        # A rollback and 92 MiB staged take a minute under 32-bit Wine 10 on a busy machine.
        for appeared, gone in moments:
            with self.subTest(killed_when=appeared, after=gone):
                # In the renames, the next file's old one is held for a moment, within the run's
                # patience, so that the kill lands there: renames through open handles are quick.
                # The record the kill before left goes first, in the rollback: the hold and the
                # waits are for this run's.
                hold = []
                if gone:
                    after = app.ADDON_FILES[app.ADDON_FILES.index(gone[:-len('.setup-new')]) + 1]
                    hold = [['wait-gone', self.data_path('setup.journal'), '120000'],
                            self.claim_once_recorded(after, 3000)]
                pid, _ = self.open()
                app.then(self.session, pid, app.click('Command1', real=False), *hold,
                         ['wait-file', self.data_path(appeared), '120000'],
                         *([['wait-gone', self.data_path(gone), '60000']] if gone else []), ['terminate'])
                self.assertNotIn('setup.lock', os.listdir(self.data), 'the lock outlived the run')
                for name, data in app.snapshot(self.data).items():
                    if name in app.run_files(self.data):
                        continue
                    self.assertIn(data, (before[name], installed[name]), f'{name} is torn')
        self.complete_run()
        self.assertEqual(app.snapshot(self.data), installed)


if __name__ == '__main__':
    unittest.main()
