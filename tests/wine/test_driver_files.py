"""uidriver.exe's file commands: the scanner, the holders (for good or for a while), the writer,
wait-file, wait-gone and terminate, checked against real files and a real setup.exe under Wine."""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness  # noqa: E402
import setup_app as app  # noqa: E402

GENERIC_READ = 0x80000000
GENERIC_WRITE = 0x40000000
DELETE = 0x10000
SHARE_ALL = 7
SHARING_VIOLATION = 32


def write(path, data=b"x"):
    with open(path, "wb") as f:
        f.write(data)


def replace_staged(path):
    """Stages a new file beside path and renames it over path, as the program does."""
    write(path + ".setup-new", b"new")
    os.replace(path + ".setup-new", path)


class ScanTest(unittest.TestCase):
    def setUp(self):
        harness.uidriver_exe()
        self.session = harness.WineSession(self.id()).__enter__()
        self.addCleanup(self.session.__exit__, None, None, None)
        self.dir = os.path.join(self.session.drive_c, "watched")
        os.makedirs(os.path.join(self.dir, "sub"))
        write(os.path.join(self.dir, "old.dat"))
        write(os.path.join(self.dir, "kept.dat"))
        self.win_dir = self.session.win_path(self.dir)

    def test_scanner_opens_new_and_replaced_files_only(self):
        # The last file is what it ends on: once the driver has seen it, all before were seen.
        changes = [
            ("new file", lambda: write(os.path.join(self.dir, "new.dat"))),
            ("rename over a name", lambda: replace_staged(os.path.join(self.dir, "old.dat"))),
            ("hard link", lambda: os.link(os.path.join(self.dir, "kept.dat"),
                                          os.path.join(self.dir, "kept.dat.setup-old"))),
            ("file in a subfolder", lambda: write(os.path.join(self.dir, "sub", "deep.dat"))),
            ("folder", lambda: os.mkdir(os.path.join(self.dir, "newdir"))),
            ("last", lambda: write(os.path.join(self.dir, "last.dat"))),
        ]
        driver = harness.Background(self, "scan", self.win_dir, 100000,
                                    "wait-file", self.win_dir + "\\last.dat", "sleep", 500, "scan-report")
        started = driver.wait_for_line(1)[0]
        self.assertEqual(started["existing"], 2)
        for _, change in changes:
            change()
            time.sleep(0.3)  # each change seen on its own poll
        report = driver.finish()[-1]
        self.assertTrue(report["scanning"])
        # The staged name lives for an instant: a poll may see it, or even lose it before the open.
        self.assertIn(report["failed_names"], ([], ["old.dat.setup-new"]))
        self.assertEqual(report["waiting"], [])
        names = [n for n in report["names"] if n != "old.dat.setup-new"]
        self.assertEqual(names, ["new.dat", "old.dat", "kept.dat.setup-old", "last.dat"])
        self.assertEqual(report["opened"], len(report["names"]))

    def test_locked_file_waits_then_counts_as_failed_when_gone(self):
        # A second driver locks the file elsewhere; the link into the folder shares its lock.
        outside = os.path.join(self.session.drive_c, "elsewhere")
        os.makedirs(outside)
        write(os.path.join(outside, "locked.dat"))
        locker = harness.Background(self, "lock", self.session.win_path(outside) + "\\locked.dat",
                                    "sleep", 8000)
        locker.wait_for_line(1)
        scanner = harness.Background(self, "scan", self.win_dir, 100,
                                     "wait-file", self.win_dir + "\\locked.dat", "sleep", 500,
                                     "scan-report", "wait-file", self.win_dir + "\\end.dat", "sleep", 300,
                                     "scan-report")
        scanner.wait_for_line(1)
        os.link(os.path.join(outside, "locked.dat"), os.path.join(self.dir, "locked.dat"))
        while_locked = scanner.wait_for_line(4)[3]
        os.remove(os.path.join(self.dir, "locked.dat"))
        write(os.path.join(self.dir, "end.dat"))
        after = scanner.finish()[-1]
        locker.finish()
        self.assertEqual((while_locked["waiting"], while_locked["failed"]), (["locked.dat"], 0))
        self.assertEqual((after["waiting"], after["failed"], after["failed_names"]),
                         ([], 1, ["locked.dat"]))
        self.assertEqual(after["names"], ["end.dat"])

    def test_held_files_refuse_writers_and_movers(self):
        held = self.win_dir + "\\held.dat"
        brief = self.win_dir + "\\brief.dat"  # held for 5 s only
        scanned = self.win_dir + "\\scanned.dat"
        driver = harness.Background(self, "hold-when-appears", held, "hold-when-appears", brief, 5000,
                                    "sleep", 300, "scan-report",
                                    "scan", self.win_dir, 5000, "wait-file", scanned, "sleep", 300,
                                    "scan-report", "sleep", 8000, "scan-report")
        self.assertEqual(driver.wait_for_line(5)[3]["holds"],
                         [{"path": held, "held": False}, {"path": brief, "held": False}])
        for name in ("held.dat", "brief.dat", "scanned.dat"):
            write(os.path.join(self.dir, name))
        report = driver.wait_for_line(8)[7]
        self.assertEqual(report["holds"], [{"path": held, "held": True}, {"path": brief, "held": True}])
        self.assertEqual(sorted(report["names"]), ["brief.dat", "held.dat", "scanned.dat"])
        # (access asked for while held, error: 0 when it opens); others share everything.
        cases = [(GENERIC_READ, 0), (GENERIC_WRITE, SHARING_VIOLATION),
                 (DELETE, SHARING_VIOLATION)]
        for path in (held, brief, scanned):
            out = self.session.driver(*[["try-open", path, access, SHARE_ALL]
                                        for access, _ in cases])
            self.assertEqual([line["last_error"] for line in out], [error for _, error in cases],
                             path)
        # Past their holds the scanner and the brief holder have let go; the other never does.
        time.sleep(5)
        out = self.session.driver("try-open", scanned, DELETE, SHARE_ALL,
                                  "try-open", brief, DELETE, SHARE_ALL,
                                  "try-open", held, DELETE, SHARE_ALL)
        self.assertEqual([line["last_error"] for line in out], [0, 0, SHARING_VIOLATION])
        self.assertEqual(driver.finish()[-1]["holds"],
                         [{"path": held, "held": True}, {"path": brief, "held": False}])

    def test_writer_and_shared_lock_let_others_in(self):
        # As a game keeps its files: open for writing, letting others read, write and delete.
        saved, locked = self.win_dir + "\\old.dat", self.win_dir + "\\kept.dat"
        write(os.path.join(self.dir, "old.dat"), b"longer than what the game saves")
        driver = harness.Background(self, "lock", locked, SHARE_ALL,
                                    "write-when-there", self.win_dir + "\\go.dat", saved, b"saved".hex(),
                                    "sleep", 300, "scan-report", "wait-file", self.win_dir + "\\go.dat",
                                    "sleep", 300, "scan-report", "wait-file", self.win_dir + "\\end.dat")
        self.assertEqual(driver.wait_for_line(4)[3]["writes"],
                         [{"path": saved, "written": False, "held": False}])
        write(os.path.join(self.dir, "go.dat"))
        self.assertEqual(driver.wait_for_line(7)[6]["writes"],
                         [{"path": saved, "written": True, "held": True}])
        self.assertEqual(app.read(os.path.join(self.dir, "old.dat")), b"saved")
        # (access, share asked for while held, error): anyone may write or delete, but must share.
        cases = [(GENERIC_READ | GENERIC_WRITE | DELETE, SHARE_ALL, 0),
                 (GENERIC_READ, 1, SHARING_VIOLATION)]
        for path in (saved, locked):
            out = self.session.driver(*[["try-open", path, access, share] for access, share, _ in cases])
            self.assertEqual([line["last_error"] for line in out], [error for _, _, error in cases], path)
        write(os.path.join(self.dir, "end.dat"))
        driver.finish()

    def test_a_claim_lets_writers_in_and_keeps_unshared_deleters_out(self):
        # As a game holds it, then claimed beside it once the trigger is there: the open that sets
        # a file aside (delete, sharing read and write) is what the claim refuses, and only it.
        claimed = self.win_dir + "\\kept.dat"
        set_aside = ["try-open", claimed, GENERIC_READ | DELETE, 3]
        out = self.session.driver(["lock", claimed, SHARE_ALL], set_aside,
                                  ["claim-when-there", self.win_dir + "\\old.dat", claimed], ["sleep", 300],
                                  ["scan-report"], set_aside, ["try-open", claimed, GENERIC_WRITE, SHARE_ALL],
                                  ["try-open", claimed, DELETE, SHARE_ALL])
        self.assertEqual(out[4]["holds"], [{"path": claimed, "held": True}])
        self.assertEqual([out[i]["last_error"] for i in (1, 5, 6, 7)], [0, SHARING_VIOLATION, 0, 0])

    def test_report_without_scan_and_refusals(self):
        out = self.session.driver("scan-report", "wait-file", self.win_dir + "\\kept.dat")
        self.assertFalse(out[0]["scanning"])
        self.assertEqual((out[0]["opened"], out[0]["names"], out[0]["holds"]), (0, [], []))
        # (commands, words the error must contain)
        cases = [
            (["wait-file", self.win_dir + "\\never.dat", 200], "after 200 ms"),
            (["scan", self.win_dir + "\\missing", 100], "listing"),
            (["scan", self.win_dir, 100, "scan", self.win_dir, 100], "already running"),
            (["terminate"], "use start"),
            (["wait-gone", self.win_dir + "\\kept.dat", 200], "still there after 200 ms"),
        ]
        for commands, words in cases:
            with self.subTest(commands=commands):
                with self.assertRaises(harness.DriverError) as caught:
                    self.session.driver(*commands)
                self.assertIn(words, caught.exception.lines[-1]["error"])


    def test_wait_gone_sees_a_rename(self):
        driver = harness.Background(self, "wait-file", self.win_dir + "\\kept.dat",
                                    "wait-gone", self.win_dir + "\\old.dat", 30000)
        driver.wait_for_line(1)
        time.sleep(0.5)
        os.rename(os.path.join(self.dir, "old.dat"), os.path.join(self.dir, "moved.dat"))
        self.assertGreaterEqual(driver.finish()[1]["ms"], 400)


class TerminateTest(unittest.TestCase):
    def test_terminate_ends_the_window_and_wait_exit_reports_it(self):
        bits = "64"
        harness.uidriver_exe()
        harness.setup_exe(64)
        with harness.WineSession(self.id()) as session:
            _, folder = app.make_product(session)
            _, exe = app.make_addon_folder(session, bits)
            pid, _ = app.open_window(session, exe, app.unregister(bits),
                                     app.register_folder(bits, folder))
            out = app.then(session, pid, ["terminate", 7], ["wait-exit", 1000], ["terminate"])
            self.assertEqual(out[0], {"cmd": "terminate", "was_running": True, "exit": 7})
            self.assertEqual(out[1]["exit"], 7)
            self.assertEqual(out[2], {"cmd": "terminate", "was_running": False, "exit": 7})


if __name__ == "__main__":
    unittest.main()
