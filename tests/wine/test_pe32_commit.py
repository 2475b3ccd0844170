"""The shipped 32-bit setup.exe's commit, on every machine: every failure, undo and rollback
travels by exception, which the 32-bit build unwinds with other tables than the 64-bit one, and
its record is written and read by the 32-bit build's own code. Whole journeys with as few starts
as each needs, as in test_pe32."""
import os
import unittest

import setup_app as app
import test_all_or_nothing

DAMAGED = b'setup.exe rollback journal 3\r\nreplaced 21.dat 1'


class Pe32CommitTest(app.Journey, test_all_or_nothing.Commit):
    def test_killed_in_the_renames_the_next_run_rolls_back_and_reports_a_missing_file(self):
        """killed in the renames, rolled back, refused"""
        before = app.snapshot(self.data)
        self.kill_in_commit()
        source = os.path.join(self.addon, '73.dat')
        os.remove(source)
        self.assert_report(self.fail_run(), 2, self.session.win_path(source))
        self.assertEqual(app.snapshot(self.data), before)

    def test_a_rename_refused_by_a_held_file_is_undone(self):
        """held file, undone"""
        self.refused_by_holding_30_dat()

    def test_a_kept_copy_held_after_the_commit_is_left_and_the_run_is_done(self):
        """kept copy held after the commit"""
        self.kept_file_held_after_the_commit()

    def test_a_damaged_record_is_judged_by_the_disk_and_the_run_is_done(self):
        """damaged record"""
        # A record cut short as it was written, and the staged file of the run that wrote it.
        before = app.snapshot(self.data)
        for name, data in (('setup.journal', DAMAGED), ('21.dat.setup-new', b'half a staged file')):
            with open(os.path.join(self.data, name), 'wb') as f:
                f.write(data)
        self.complete_run()
        self.assertEqual(app.snapshot(self.data), self.installed(before))


if __name__ == '__main__':
    unittest.main()
