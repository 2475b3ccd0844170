"""The rights the file layer believes each of its handles has, against what Wine records for it.

The program refuses any call on a handle that lacks the right Windows requires for it; that check
is only as good as the layer's idea of each handle's rights, which this holds against the
system's own record (FileAccessInformation), for every kind of open the installation makes."""
import os
import re
import unittest

import harness

BITS = harness.bits_under_test()
KINDS = ("look", "replace", "set aside", "move", "remove", "read", "contents", "create", "lock", "folder", "listing", "parent")


class FileRightsTest(unittest.TestCase):
    BITS = BITS

    def test_believed_rights_are_the_recorded_ones_and_a_missing_one_is_refused(self):
        probe = harness.env_path({"32": "RIGHTS_PROBE32", "64": "RIGHTS_PROBE64"}[self.BITS])
        loader = harness.WINE32 if self.BITS == "32" else harness.WINE64
        with harness.WineSession() as session:
            folder = os.path.join(session.drive_c, "rights")
            os.makedirs(folder)
            result = session.wine(probe, session.win_path(folder), loader=loader)
        output = result.stdout.decode("utf-8", "replace")
        seen = {kind: verdict for verdict, kind in re.findall(r"^(\S+) ([\w ]+) believed=", output, re.M)}
        for kind in KINDS:
            with self.subTest(kind):
                self.assertEqual(seen.get(kind), "same", output)
        self.assertIn("refused NtQueryInformationFile(FileBasicInformation)", output)
        self.assertEqual(result.returncode, 0, output)


if __name__ == "__main__":
    unittest.main()
