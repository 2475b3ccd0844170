"""tools/apt.sh's decisions against a fake apt-get: a whole mirror, one caught mid-sync."""
import os
import pathlib
import subprocess
import tempfile
import unittest

TOOLS = pathlib.Path(__file__).resolve().parents[2] / "tools"

# Prints what apt-get prints when a mirror is mid-sync, and fails, the first UPDATE_FAILS
# updates; an install fails always, never, or unless the release's suite is preferred.
FAKE_APT_GET = r"""#!/bin/bash
echo "$*" >> "$FAKE_DIR/calls"
if [ "$1" = update ]; then
  n=$(( $(cat "$FAKE_DIR/updates" 2>/dev/null || echo 0) + 1 )); echo $n > "$FAKE_DIR/updates"
  if [ "$n" -le "$UPDATE_FAILS" ]; then
    echo "Err:6 http://mirror/debian-security bookworm-security/main i386 Packages"
    echo "E: Failed to fetch http://mirror/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?"
    exit 100
  fi
  exit 0
fi
case "$INSTALL" in
  ok) exit 0 ;;
  needs-release) [[ " $* " == *" -t bookworm "* ]] && exit 0
    echo "E: Unable to correct problems, you have held broken packages."; exit 100 ;;
  *) echo "E: Unable to correct problems, you have held broken packages."; exit 100 ;;
esac
"""

FAKE_DPKG_QUERY = r"""#!/bin/bash
for p in $INSTALLED; do [ "$p" = "${@: -1}" ] && { printf 'install ok installed'; exit 0; }; done
exit 1
"""


class AptThroughAMirrorMidSync(unittest.TestCase):
    def run_install(self, update_fails=0, install="ok", installed=""):
        with tempfile.TemporaryDirectory() as fake:
            for name, text in {"apt-get": FAKE_APT_GET, "dpkg-query": FAKE_DPKG_QUERY}.items():
                path = pathlib.Path(fake, name)
                path.write_text(text)
                path.chmod(0o755)
            release = pathlib.Path(fake, "os-release")
            release.write_text('ID=debian\nVERSION_CODENAME=bookworm\n')
            env = dict(os.environ, PATH=f"{fake}:{os.environ['PATH']}", FAKE_DIR=fake,
                       UPDATE_FAILS=str(update_fails), INSTALL=install, INSTALLED=installed,
                       APT_RETRY_PAUSE="0", APT_OS_RELEASE=str(release))
            # Two calls, as install-deps makes them: the second must not update again.
            script = f'set -euo pipefail; . "{TOOLS}/apt.sh"; apt_install wine wine32:i386; apt_install clang'
            result = subprocess.run(["bash", "-c", script], env=env, capture_output=True, text=True, timeout=60)
            calls_file = pathlib.Path(fake, "calls")
            calls = calls_file.read_text().splitlines() if calls_file.exists() else []
        return result, calls

    def test_decisions(self):
        install = "install -y --no-install-recommends"
        release = "install -y --no-install-recommends -t bookworm"
        cases = [
            # what, update failures, install, installed, exit status, apt-get calls, said
            ("whole mirror: one update, the same installs", 0, "ok", "",
             0, ["update", f"{install} wine wine32:i386", f"{install} clang"], []),
            ("all there already: apt-get is not run", 0, "ok", "wine wine32:i386 clang", 0, [], []),
            ("mid-sync for a moment: tried again", 2, "ok", "",
             0, ["update"] * 3 + [f"{install} wine wine32:i386", f"{install} clang"], ["try 2 of 4"]),
            ("mid-sync throughout: the release's suite for both architectures", 9, "needs-release", "",
             0, ["update"] * 4 + [f"{install} wine wine32:i386", f"{release} wine wine32:i386",
                                  f"{install} clang", f"{release} clang"],
             ["binary-i386/Packages.xz", "going on with the lists", "-t bookworm"]),
            ("mid-sync and no way through: stops, naming the likely cause", 9, "fails", "",
             1, ["update"] * 4 + [f"{install} wine wine32:i386", f"{release} wine wine32:i386"],
             ["could not install: wine wine32:i386", "middle of a sync. Try again in a few minutes."]),
            ("whole mirror, install refused: the same advice, hedged", 0, "fails", "",
             1, ["update", f"{install} wine wine32:i386", f"{release} wine wine32:i386"],
             ["apt-get says why above", "may be in the middle of a sync"]),
        ]
        for what, update_fails, install_mode, installed, status, calls, said in cases:
            with self.subTest(what):
                result, made = self.run_install(update_fails, install_mode, installed)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertEqual(made, calls)
                for text in said:
                    self.assertIn(text, result.stderr)
                if not said:
                    self.assertNotIn("install-deps:", result.stderr)


if __name__ == "__main__":
    unittest.main()
