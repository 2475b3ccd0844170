"""uidriver.exe against what Wine itself ships, before the real program exists."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness  # noqa: E402

NOTEPAD = r"C:\windows\notepad.exe"
HOSTNAME = r"C:\windows\system32\hostname.exe"
TEST_KEY = r"SOFTWARE\UiDriverTest"
VK_END = 0x23
VK_A = 0x41
ID_NO = 7
ID_CANCEL = 2


def utf16(text):
    return text.encode("utf-16-le").hex()


class RegistryTest(unittest.TestCase):
    def setUp(self):
        harness.uidriver_exe()

    def test_values_are_stored_byte_exact(self):
        path = harness.ansi("C:\\製品\\")
        # (type, bytes written through RegSetValueExA, stored UTF-16 or raw bytes)
        cases = [
            (1, path, utf16("C:\\製品\\")),  # no NUL: none may be added
            (1, path + b"\0", utf16("C:\\製品\\\0")),
            (1, b"", ""),
            (2, harness.ansi("%TEMP%"), utf16("%TEMP%")),
            (3, b"\x00\xff\x10", "00ff10"),
            (4, b"\x01\x00\x00\x00", "01000000"),
        ]
        with harness.WineSession(self.id()) as wine:
            for index, (kind, data, stored) in enumerate(cases):
                with self.subTest(kind=kind, data=data):
                    name = f"v{index}"
                    out = wine.driver("reg-set", 32, TEST_KEY, name, kind, data.hex() or "-",
                                      "reg-get", 32, TEST_KEY, name)
                    self.assertEqual(out[0]["size"], len(data))
                    self.assertEqual(out[1]["type"], kind)
                    self.assertEqual(out[1]["hex"], stored)
                    self.assertEqual(out[1]["ansi_hex"], data.hex())

    def test_wide_values_are_stored_as_given_whatever_the_code_page(self):
        text = "C:\\ゲーム\\ｿﾌﾄ\\"
        # (type, UTF-16LE bytes written through RegSetValueExW)
        cases = [(1, text.encode("utf-16-le")), (1, (text + "\0").encode("utf-16-le")),
                 (2, "%TEMP%\0".encode("utf-16-le")), (1, b"")]
        # Under C.UTF-8 the driver's ANSI code page is 1252, which has no Japanese at all.
        with harness.WineSession(self.id(), locale="C.UTF-8") as wine:
            for index, (kind, data) in enumerate(cases):
                with self.subTest(kind=kind, data=data):
                    out = wine.driver("reg-set-wide", 64, TEST_KEY, f"w{index}", kind, data.hex() or "-",
                                      "reg-get", 64, TEST_KEY, f"w{index}")
                    self.assertEqual(out[0]["size"], len(data))
                    self.assertEqual((out[1]["type"], out[1]["hex"]), (kind, data.hex()))

    def test_views_are_separate_and_land_in_wow6432node(self):
        with harness.WineSession(self.id()) as wine:
            out = wine.driver(harness.uninstall_entry(32, harness.ansi("D:\\アプリ")),
                              "reg-get", 64, harness.UNINSTALL_KEY, harness.UNINSTALL_VALUE,
                              "reg-get", 32, harness.UNINSTALL_KEY, harness.UNINSTALL_VALUE)
            self.assertFalse(out[1]["exists"])
            self.assertEqual(out[2]["ansi_hex"], harness.ansi("D:\\アプリ").hex())
            wine.save_registry()
            with open(os.path.join(wine.prefix, "system.reg"), encoding="utf-8") as f:
                saved = f.read()
            self.assertIn("[Software\\\\Wow6432Node\\\\Microsoft\\\\Windows\\\\CurrentVersion"
                          "\\\\Uninstall\\\\Kolvenir100]", saved)

            out = wine.driver(harness.uninstall_removal(32), harness.uninstall_removal(32),
                              "reg-create", 64, TEST_KEY, "reg-get", 32, harness.UNINSTALL_KEY,
                              harness.UNINSTALL_VALUE)
            self.assertEqual([line["existed"] for line in out[:2]], [True, False])
            self.assertTrue(out[2]["created"])
            self.assertFalse(out[3]["exists"])


class NotepadTest(unittest.TestCase):
    def setUp(self):
        harness.uidriver_exe()

    def test_dump_text_and_pixels(self):
        text = '日本語 "引用"\\ 終わり\r\n二行目\t'
        with harness.WineSession(self.id()) as wine:
            out = wine.driver("start", NOTEPAD, "wait-window", 30000, "*", "dump",
                              "set-text", 0, text, "dump", "pixel", 100, 100)
            before, after, pixel = out[2], out[4], out[5]
            self.assertIn("メモ帳", before["caption"])
            self.assertEqual(before["dpi"], 96)
            width, height = before["client"]
            self.assertLess(width, before["rect"][2] - before["rect"][0])
            self.assertLess(height, before["rect"][3] - before["rect"][1])
            edit = after["children"][0]
            self.assertEqual((edit["class"], edit["z"]), ("Edit", 0))
            self.assertEqual(edit["text"], text)
            self.assertEqual(pixel["rgb"], [255, 255, 255])

    def test_real_input_and_message_box(self):
        with harness.WineSession(self.id()) as wine:
            out = wine.driver("start", NOTEPAD, "wait-window", 30000, "*", "set-text", 0, "abc",
                              "mouse-click", 0, "key", VK_END, "key", VK_A, "dump", "close",
                              "wait-msgbox")
            clicked, dump, box = out[3], out[6], out[8]
            self.assertEqual(clicked["hit_class"], "Edit")
            self.assertEqual(dump["children"][0]["text"], "abca")
            self.assertTrue(box["owned_by_window"])
            buttons = {b["id"]: b for b in box["buttons"]}
            self.assertIn(ID_NO, buttons)

            # Cancel keeps it open; a real click on No then ends it.
            left, top, right, bottom = buttons[ID_NO]["rect"]
            out = wine.driver("attach", out[0]["pid"], "*", "dismiss-msgbox", ID_CANCEL,
                              "assert-running", "close", "wait-msgbox",
                              "mouse-click-at", (left + right) // 2, (top + bottom) // 2,
                              "wait-exit", 10000)
            self.assertEqual(out[5]["hit_id"], ID_NO)
            self.assertEqual(out[6]["exit"], 0)


class FailureTest(unittest.TestCase):
    def setUp(self):
        harness.uidriver_exe()

    def test_errors_stop_the_run(self):
        # (commands, words the error must contain)
        cases = [
            (["dump", "no-such-command"], "unknown command"),
            (["reg-set", 32, TEST_KEY, "v", 1, "abc"], "even number"),
            (["dump"], "use start"),
            (["start", HOSTNAME, "wait-window", 20000], "before its window"),
            (["start", NOTEPAD, "wait-exit", 500], "still running"),
        ]
        with harness.WineSession(self.id()) as wine:
            for commands, words in cases:
                with self.subTest(commands=commands):
                    with self.assertRaises(harness.DriverError) as caught:
                        wine.driver(*commands)
                    self.assertIn(words, caught.exception.lines[-1]["error"])


if __name__ == "__main__":
    unittest.main()
