"""Links that another user of the PC could plant in the folders setup.exe works in, before an
administrator runs it: each is refused, by name, and nothing outside those folders is read,
changed or deleted. Under Wine a unix symlink stands in for a junction or a symbolic link."""
import os

import harness
import setup_app as app

BITS = harness.bits_under_test()
SECRET = b'secret line\r\n' * 30  # 25 fields and more, as 30.dat has
JOURNAL = b'setup.exe rollback journal 2\r\ncreated 21.dat\r\ncreated 51.dat\r\nend\r\n'


class Planting(app.CopyRunCase):
    """Links planted in the folders setup.exe works in, and files outside them to watch."""

    def plant(self, name, target, hard=False):
        """A link at data\\name (or the add-on folder's, for 'addon/...') to target outside."""
        at = os.path.join(self.addon, name[6:]) if name.startswith('addon/') else os.path.join(self.data, name)
        if os.path.lexists(at):
            os.remove(at)
        (os.link if hard else os.symlink)(target, at)
        return self.session.win_path(at)

    def outside(self):
        """Files the run has no business with: one the user may not read, one they may not delete."""
        folder = os.path.join(self.session.drive_c, 'outside')
        os.makedirs(folder, exist_ok=True)
        for name in ('secret.txt', 'victim.txt'):
            with open(os.path.join(folder, name), 'wb') as f:
                f.write(SECRET if name == 'secret.txt' else b'keep me\r\n')
        return folder

    def assert_nothing_crossed(self, outside, before):
        self.assertEqual(app.snapshot(outside), before)
        for base, _, names in os.walk(self.data):
            for name in names:
                path = os.path.join(base, name)
                if not os.path.islink(path) and os.stat(path).st_nlink == 1:  # not a planted link
                    self.assertNotIn(b'secret line', app.read(path), name)

    def write_journal(self):
        with open(os.path.join(self.data, 'setup.journal'), 'wb') as f:
            f.write(JOURNAL)


class PlantedLinkTest(Planting):
    def test_each_planted_link_is_refused_by_name(self):
        # What is planted; each returns the name the report must give.
        rows = [
            ('lock', lambda out: self.plant('setup.lock', out + '/victim.txt')),
            # A kept name with no record is judged first, by the disk, backwards: 30.dat's is met.
            ('spare names', lambda out: (self.plant('21.dat.setup-new', out + '/victim.txt'),
                                         self.plant('30.dat.setup-old', out + '/secret.txt'))[1]),
            ('30.dat', lambda out: self.plant('30.dat', out + '/secret.txt')),
            ('30.dat hard-linked', lambda out: self.plant('30.dat', out + '/secret.txt', hard=True)),
            ('source', lambda out: self.plant('addon/21.dat', out + '/secret.txt')),
            # The rollback goes backwards: 51.dat is met first.
            ('journal with links', lambda out: (self.write_journal(), self.plant('21.dat', out + '/victim.txt'),
                                                self.plant('51.dat', out + '/secret.txt'))[2]),
            ('data folder', self.plant_data_folder),
        ]
        for what, arrange in rows:
            with self.subTest(what):
                self.start()
                out = self.outside()
                named = arrange(out)
                before = app.snapshot(self.data) if what != 'data folder' else None
                outside_before = app.snapshot(out)
                text = self.fail_run()
                self.assert_report(text, 1920, named)
                self.assertIn('リンク', text)
                self.assert_nothing_crossed(out, outside_before)
                if before is not None:
                    self.assertEqual(app.snapshot(self.data), before)

    def plant_data_folder(self, out):
        """The data folder swapped for a link to a folder outside that holds a 30.dat."""
        real = os.path.join(out, 'data')
        os.rename(self.data, real)
        os.symlink(real, self.data)
        return self.data_path()

    def test_a_product_folder_reached_through_a_link_installs_as_usual(self):
        real, _ = app.make_product(self.session, os.path.join('games', 'Kolvenir1.0'))
        link = os.path.join(self.session.drive_c, 'Moved')
        os.symlink(real, link)
        self.use_product(link, self.session.win_path(link) + '\\')
        before = app.snapshot(self.data)
        self.complete_run()
        self.assertEqual(app.snapshot(os.path.join(real, 'data')), self.installed(before))
