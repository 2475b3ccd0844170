"""Runs Windows programs under Wine for the UI tests.

Each test gets its own prefix (hard-linked from a booted template, copied where
links cannot reach), its own Xvfb display and its own wineserver; uidriver.exe
does the clicking.

    python3 tests/wine/harness.py make-template DIR   # boot the template once
    python3 tests/wine/harness.py measure-32 DIR      # time a 32-bit start, decide
    python3 tests/wine/harness.py run-32 DIR MODULE   # MODULE on the 32-bit build, if native
    python3 tests/wine/harness.py summary DIR         # one line: what the 32-bit build ran
"""

import datetime
import fcntl
import json
import os
import re
import select
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest

WINE64 = "/usr/lib/wine/wine64"
WINE32 = "/usr/lib/wine/wine"
WINESERVER = "/usr/lib/wine/wineserver"
TEMPLATE_MARKER = ".template-complete"
DEFAULT_TEMPLATE = os.path.join(tempfile.gettempdir(), "wine-test-template")
BASE_ENV = {"LANG": "ja_JP.UTF-8", "LC_ALL": "ja_JP.UTF-8", "WINEDEBUG": "-all"}
EXFAT_TOOLS = ("losetup", "mkfs.exfat", "mount.exfat-fuse")
SCREEN = "1024x768x24"
BOOT_TIMEOUT_S = 1200
DRIVER_TIMEOUT_S = 400
DRIVER_ATTEMPTS = 3
DRIVER_RUNNING = "uidriver: running\n"  # its first words on stderr, before any command


def driver_never_ran(returncode, printed, stderr):
    """Under load Wine has ended a new driver with exit code 1 and not a word printed. One that
    never reached its own code did nothing, so it may be started again."""
    return returncode not in (0, None) and not printed and DRIVER_RUNNING not in stderr
BACKGROUND_START_S = 60  # for a driver left going to print its first lines
UNINSTALL_KEY = r"SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Kolvenir100"
UNINSTALL_VALUE = "UninstallString"
REG_SZ = 1

SERVER_TMP = "/tmp"  # where wineserver keeps its socket dir without TMPDIR
SESSIONS_DIR = "wine-sessions"  # beside the template, so its files can be hard-linked
STALE_S = 24 * 3600
# A 32-bit start slower than this means the i386 loader runs emulated (qemu-i386 takes
# about a minute); natively it takes well under a few seconds even on a busy machine.
WINE32_NATIVE_LIMIT_S = 15
WINE32_GIVE_UP_S = 2 * WINE32_NATIVE_LIMIT_S  # enough to decide; no need to wait out qemu
SKIPPED = 77  # ctest's SKIP_RETURN_CODE for the 32-bit registrations
MEASUREMENT = "measurement.json"
STARTS = "starts.log"
JOURNEYS = "journeys.log"  # the shipped build's whole journeys: name, seconds, outcome
DECIDED = "decided"  # written each time the decision is taken; tools/test.sh clears it first

# Without a window manager nobody draws title bars; this makes Wine draw its own.
_DECORATION_KEYS = '\n[Software\\\\Wine\\\\X11 Driver] 1700000000\n"Decorated"="N"\n'


class DriverError(AssertionError):
    """uidriver.exe reported an error or did not finish."""

    def __init__(self, message, lines=()):
        super().__init__(message)
        self.lines = list(lines)


def env_path(name):
    """Absolute path from an environment variable; skips the test when unset."""
    value = os.environ.get(name)
    if not value:
        raise unittest.SkipTest(f"{name} is not set")
    if not os.path.exists(value):
        raise unittest.SkipTest(f"{name}={value} does not exist")
    return value


def bits_under_test():
    """'64' or '32': which build of setup.exe the Wine modules drive (SETUP_TEST_BITS)."""
    bits = os.environ.get("SETUP_TEST_BITS") or "64"
    if bits not in ("32", "64"):
        raise ValueError(f"SETUP_TEST_BITS must be 32 or 64, not {bits!r}")
    return bits


def setup_exe(bits):
    """The program under test: 32 for the i686 build, 64 for its twin."""
    return env_path({32: "SETUP_EXE32", 64: "SETUP_EXE64"}[bits])


def uidriver_exe():
    return env_path("UIDRIVER_EXE")


def ansi(text):
    """Bytes as a Japanese A-API program writes them."""
    return text.encode("cp932")


def uninstall_entry(bits, data_bytes, type=REG_SZ):
    """Driver commands that write the uninstall entry the program reads.

    A 32-bit program sees the WOW6432Node view, the 64-bit twin the native one.
    """
    return ["reg-set", str(bits), UNINSTALL_KEY, UNINSTALL_VALUE, str(type),
            data_bytes.hex() or "-"]


def uninstall_entry_wide(bits, data_bytes, type=REG_SZ):
    """The same with RegSetValueExW: data_bytes are the UTF-16LE bytes stored, as an installer
    writing Unicode text leaves them whatever the system's code page."""
    return ["reg-set-wide", str(bits), UNINSTALL_KEY, UNINSTALL_VALUE, str(type),
            data_bytes.hex() or "-"]


def uninstall_removal(bits):
    return ["reg-delete", str(bits), UNINSTALL_KEY]


def locale_available(name):
    """True where the C library has the locale, so that Wine takes its code page from it."""
    listed = subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout.split()
    wanted = name.lower().replace("utf-8", "utf8")
    return any(entry.lower().replace("utf-8", "utf8") == wanted for entry in listed)


def _wine_env(prefix, display=None, locale=None):
    # No TMPDIR: Debian 13's wineserver aborts ("free(): invalid pointer") whenever it is set,
    # so on every release the server's socket dir goes to /tmp.
    env = {k: v for k, v in os.environ.items() if not k.startswith("WINE") and k != "TMPDIR"}
    env.update(BASE_ENV, WINEPREFIX=prefix)
    if locale:
        env.update(LANG=locale, LC_ALL=locale)
    if display:
        env["DISPLAY"] = display
    return env


class _Xvfb:
    def __init__(self, log_path):
        read_end, write_end = os.pipe()
        self._log = open(log_path, "ab")
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", SCREEN,
             "-nolisten", "tcp", "-noreset"],
            pass_fds=(write_end,), stdout=self._log, stderr=self._log,
            stdin=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        deadline = time.monotonic() + 30
        while not number.endswith(b"\n"):
            ready, _, _ = select.select([read_end], [], [], max(0.0, deadline - time.monotonic()))
            chunk = os.read(read_end, 16) if ready else b""
            if not chunk:
                os.close(read_end)
                self.stop()
                raise RuntimeError(f"Xvfb did not start; see {log_path}")
            number += chunk
        os.close(read_end)
        self.display = ":" + number.decode().strip()

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self._log.close()


def _stop_wineserver(prefix):
    env = _wine_env(prefix)
    subprocess.run([WINESERVER, "-k"], env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=60)
    subprocess.run([WINESERVER, "-w"], env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=60)


def _start_wineserver(env):
    # One server for the whole session. A server left to its idle timeout shuts
    # down a few seconds after the last program ends, and a driver started at
    # that moment is killed with exit code 1 before it runs.
    subprocess.run([WINESERVER, "-p"], env=env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60, check=True)


def _remove_server_dir(prefix):
    # Debian's Wine keeps its socket dir in $TMPDIR or /tmp and names it in this file; the
    # sessions give it no TMPDIR.
    try:
        with open(os.path.join(prefix, "wineserver")) as f:
            name = f.read().strip()
    except OSError:
        return
    if re.fullmatch(r"wine-\w+", name):
        shutil.rmtree(os.path.join(SERVER_TMP, name), ignore_errors=True)


def ensure_template(path=None):
    """Boots a 64-bit prefix at path once; parallel callers wait for the first."""
    path = os.path.abspath(path or os.environ.get("WINE_TEMPLATE") or DEFAULT_TEMPLATE)
    marker = os.path.join(path, TEMPLATE_MARKER)
    if os.path.exists(marker):
        return path
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if os.path.exists(marker):
            return path
        shutil.rmtree(path, ignore_errors=True)  # left half-booted by a killed run
        os.makedirs(path)
        xvfb = _Xvfb(path + ".xvfb.log")
        try:
            env = _wine_env(path, xvfb.display)
            env["WINEDLLOVERRIDES"] = "mscoree,mshtml="  # no Mono/Gecko download prompts
            with open(path + ".boot.log", "ab") as log:
                subprocess.run([WINE64, "wineboot", "-i"], env=env, stdout=log, stderr=log,
                               stdin=subprocess.DEVNULL, timeout=BOOT_TIMEOUT_S, check=True)
                subprocess.run([WINESERVER, "-w"], env=env, stdout=log, stderr=log,
                               timeout=BOOT_TIMEOUT_S, check=True)
        finally:
            xvfb.stop()
        _remove_server_dir(path)
        pointer = os.path.join(path, "wineserver")
        if os.path.exists(pointer):
            os.remove(pointer)
        with open(marker, "w") as f:
            f.write(time.strftime("%Y-%m-%d %H:%M:%S\n"))
    return path


def _same_device(a, b):
    return os.stat(a).st_dev == os.stat(b).st_dev


def _copy_prefix(template, prefix):
    """Makes prefix from the template; returns 'linked' or 'copied'.

    Hard links take a moment where they can reach; across file systems (a /tmp of its
    own, /dev/shm) or mount points they fail with EXDEV, and the files are copied.
    """
    how = "copied"
    if _same_device(template, os.path.dirname(prefix)):
        linked = subprocess.run(["cp", "-al", template, prefix], stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE)
        if linked.returncode == 0:
            how = "linked"
        else:
            shutil.rmtree(prefix, ignore_errors=True)
    if how == "copied":
        copied = subprocess.run(["cp", "-a", template, prefix], stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE, text=True)
        if copied.returncode != 0:
            shutil.rmtree(prefix, ignore_errors=True)
            raise RuntimeError(f"cannot copy the Wine template {template} to {prefix}: "
                               f"{copied.stderr.strip()[-2000:]}")
    written = [name for name in os.listdir(prefix)
               if os.path.isfile(os.path.join(prefix, name))]
    windows = os.path.join(prefix, "drive_c", "windows")
    written += [os.path.join("drive_c", "windows", name) for name in os.listdir(windows)
                if name.lower().endswith(".ini")]
    for name in written:
        if name == "wineserver":
            os.remove(os.path.join(prefix, name))  # the template's socket dir is not ours
        elif how == "linked":
            # wineserver rewrites these in place; a shared inode would change the template.
            shutil.copy2(os.path.join(template, name), os.path.join(prefix, name + ".copy"))
            os.replace(os.path.join(prefix, name + ".copy"), os.path.join(prefix, name))
    with open(os.path.join(prefix, "user.reg"), "a", encoding="utf-8") as f:
        f.write(_DECORATION_KEYS)
    return how


def _remove_stale_sessions(parent):
    # Left by killed runs; no session lives anywhere near a day.
    for name in os.listdir(parent):
        path = os.path.join(parent, name)
        try:
            age = time.time() - os.stat(path).st_mtime
        except OSError:
            continue
        if name.startswith("wine-session-") and age > STALE_S:
            shutil.rmtree(path, ignore_errors=True)


def _is_pe32(path):
    """True for an i386 Windows program."""
    try:
        with open(path, "rb") as f:
            head = f.read(4096)
        pe = struct.unpack_from("<I", head, 0x3C)[0]
        return head[pe:pe + 4] == b"PE\0\0" and struct.unpack_from("<H", head, pe + 4)[0] == 0x14C
    except (OSError, struct.error):
        return False


class WineSession:
    """A private prefix, display and wineserver for one test.

    with WineSession(self.id()) as wine:
        wine.driver("start", wine.win_path(setup_exe(64)), "wait-window", "dump")
    """

    def __init__(self, name=None, template=None, root=None, parent=None, locale=None):
        """root: a folder to keep the prefix in after the session (made anew each time).
        parent: where the session's own folder is made; by default beside the template.
        locale: LANG and LC_ALL of every program in the session (Wine's code pages follow it);
        by default Japanese."""
        name = name or time.strftime("session-%H%M%S")
        if bits_under_test() == "32":
            name += ".32bit"  # the 32-bit run's artifacts beside the 64-bit run's
        self.name = re.sub(r"[^\w.-]+", "_", name)
        self._template = template
        self._kept_root = root
        self._parent = parent
        self.prefix_made = None
        self._xvfb = None
        self.root = None
        self.prefix = None
        self.display = None
        self.env = None
        self.setup_seconds = None
        self.locale = locale or BASE_ENV["LANG"]
        self._volumes = []  # (loop device, mount point, mounted) of mount_exfat

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, exc_type, exc, tb):
        self.close(failed=exc_type is not None)
        return False

    def start(self):
        started = time.monotonic()
        template = ensure_template(self._template)
        if self._kept_root:
            shutil.rmtree(self._kept_root, ignore_errors=True)
            os.makedirs(self._kept_root)
            self.root = self._kept_root
        else:
            # Not in /tmp: that may be a file system of its own, where links cannot go.
            parent = self._parent or os.path.join(os.path.dirname(template), SESSIONS_DIR)
            os.makedirs(parent, exist_ok=True)
            _remove_stale_sessions(parent)
            self.root = tempfile.mkdtemp(prefix="wine-session-", dir=parent)
        self.prefix = os.path.join(self.root, "prefix")
        try:
            self.prefix_made = _copy_prefix(template, self.prefix)
            if os.environ.get("USE_DISPLAY") == "1":
                self.display = os.environ["DISPLAY"]
            else:
                self._xvfb = _Xvfb(os.path.join(self.root, "xvfb.log"))
                self.display = self._xvfb.display
            self.env = _wine_env(self.prefix, self.display, self.locale)
            _start_wineserver(self.env)
        except BaseException:
            self.close(failed=False)
            raise
        self.setup_seconds = time.monotonic() - started
        return self

    @property
    def drive_c(self):
        return os.path.join(self.prefix, "drive_c")

    def win_path(self, linux_path):
        """C:\\... for a path inside drive_c, Z:\\... for anything else."""
        path = os.path.abspath(linux_path)
        drive_c = os.path.abspath(self.drive_c)
        if path == drive_c or path.startswith(drive_c + os.sep):
            relative = os.path.relpath(path, drive_c)
            return "C:\\" + ("" if relative == "." else relative.replace("/", "\\"))
        return "Z:" + path.replace("/", "\\")

    def linux_path(self, windows_path):
        """The file behind a drive-letter path, through the prefix's dosdevices."""
        drive, rest = windows_path[:2].lower(), windows_path[2:].strip("\\")
        parts = [p for p in rest.split("\\") if p]
        return os.path.join(self.prefix, "dosdevices", drive, *parts)

    def map_drive(self, letter, linux_dir):
        link = os.path.join(self.prefix, "dosdevices", letter.lower() + ":")
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(os.path.abspath(linux_dir), link)
        return letter.upper() + ":\\"

    def mount_exfat(self, letter, megabytes=64):
        """An exFAT volume, which has no hard links, as drive letter; returns its folder.

        An image in the session's folder on a loop device, mounted through FUSE, and unmounted
        and detached when the session closes; made once a session and letter. Skips the test
        where the machine refuses.
        """
        mount = os.path.join(self.root, f"exfat-{letter.lower()}")
        if any(volume[1] == mount and volume[2] for volume in self._volumes):
            return mount
        missing = [tool for tool in EXFAT_TOOLS if not shutil.which(tool)]
        if missing:
            raise unittest.SkipTest(f"no exFAT tools here ({', '.join(missing)} missing; "
                                    "tools/install-deps.sh installs exfatprogs and exfat-fuse)")
        image = mount + ".img"
        with open(image, "wb") as f:
            f.truncate(megabytes << 20)
        os.makedirs(mount, exist_ok=True)  # a try before may have been refused
        attached = subprocess.run(["losetup", "--find", "--show", image], capture_output=True,
                                  text=True, timeout=60)
        if attached.returncode != 0:
            raise unittest.SkipTest(f"no loop device here (losetup: {attached.stderr.strip()})")
        device = attached.stdout.strip()
        self._volumes.append([device, mount, False])
        made = subprocess.run(["mkfs.exfat", device], capture_output=True, text=True, timeout=120)
        if made.returncode != 0:
            raise RuntimeError(f"mkfs.exfat {device}: {made.stdout}{made.stderr}")
        mounted = subprocess.run(["mount.exfat-fuse", device, mount], capture_output=True,
                                 text=True, timeout=60)
        if mounted.returncode != 0:
            raise unittest.SkipTest(f"no FUSE mount here (mount.exfat-fuse: "
                                    f"{(mounted.stdout + mounted.stderr).strip()[-300:]})")
        self._volumes[-1][2] = True
        self.map_drive(letter, mount)
        return mount

    def _remove_volumes(self):
        # After wineserver has gone: it may hold files of the volume open.
        for device, mount, mounted in reversed(self._volumes):
            if mounted and subprocess.run(["umount", mount], capture_output=True,
                                          timeout=60).returncode != 0:
                subprocess.run(["umount", "--lazy", mount], capture_output=True, timeout=60)
            subprocess.run(["losetup", "--detach", device], capture_output=True, timeout=60)
        self._volumes = []

    def _log(self, text):
        with open(os.path.join(self.root, "driver.log"), "a", encoding="utf-8") as f:
            f.write(text.rstrip("\n") + "\n")

    def driver(self, *commands, timeout=DRIVER_TIMEOUT_S):
        """Runs uidriver.exe with the commands; returns its JSON lines as dicts.

        Lists among the commands are spliced in, so uninstall_entry() can be passed as is.
        """
        args = []
        for command in commands:
            args.extend(map(str, command) if isinstance(command, (list, tuple)) else [str(command)])
        for attempt in range(1, DRIVER_ATTEMPTS + 1):
            returncode, stdout, stderr = self._run_driver(args, timeout)
            if not driver_never_ran(returncode, stdout, stderr):
                break
            self._log(f"(the driver ended with exit {returncode} before it ran; try {attempt})")
        self._count_32_bit_starts(args)
        lines = []
        for line in stdout.splitlines():
            try:
                lines.append(json.loads(line))
            except ValueError:
                lines.append({"unparsed": line})
        failed = returncode != 0 or any("error" in line for line in lines)
        if failed:
            reason = "timed out" if returncode is None else f"exit {returncode}"
            stderr = stderr.replace(DRIVER_RUNNING, "")
            raise DriverError(f"uidriver {reason}: {' '.join(args)}\n{stdout}{stderr[-2000:]}",
                              lines)
        return lines

    def _run_driver(self, args, timeout):
        """Returns its exit code, stdout and stderr."""
        # Files, not pipes: Wine's child processes inherit the descriptors and
        # would keep a pipe open long after the driver is gone.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            started = time.monotonic()
            try:
                returncode = subprocess.run([WINE64, uidriver_exe(), *args], env=self.env,
                                            stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                            timeout=timeout).returncode
            except subprocess.TimeoutExpired:
                returncode = None
            out.seek(0)
            err.seek(0)
            stdout = out.read().decode("utf-8", "replace")
            stderr = err.read().decode("utf-8", "replace")
        elapsed = time.monotonic() - started
        shown = stderr.replace(DRIVER_RUNNING, "")
        self._log(f"$ uidriver {' '.join(args)}  [{elapsed:.1f} s, exit {returncode}]\n{stdout}"
                  + (f"stderr:\n{shown[-4000:]}" if shown.strip() else ""))
        return returncode, stdout, stderr

    def _count_32_bit_starts(self, args):
        # For the summary of what the shipped 32-bit build ran.
        log = os.environ.get("WINE32_STARTS")
        if not log:
            return
        started = [args[i + 1] for i, word in enumerate(args[:-1]) if word == "start"]
        started = [exe for exe in started if _is_pe32(self.linux_path(exe))]
        if started:
            os.makedirs(os.path.dirname(os.path.abspath(log)), exist_ok=True)
            with open(log, "a", encoding="utf-8") as f:
                f.write("".join(f"{self.name} {exe}\n" for exe in started))

    def save_registry(self):
        """Restarts the session's wineserver, which writes the registry files as it exits."""
        _stop_wineserver(self.prefix)
        _start_wineserver(self.env)

    def wine(self, *args, timeout=DRIVER_TIMEOUT_S, loader=WINE64):
        """Runs any program with wine64 (or loader) in this session; returns CompletedProcess
        with the output as bytes."""
        # A file, not a pipe: Wine's services inherit it and would hold a pipe open.
        with tempfile.TemporaryFile() as out:
            result = subprocess.run([loader, *map(str, args)], env=self.env,
                                    stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=subprocess.STDOUT, timeout=timeout)
            out.seek(0)
            result.stdout = out.read()
        return result

    def screenshot(self, png_path):
        subprocess.run(["import", "-window", "root", "-display", self.display, png_path],
                       check=True, timeout=60, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return png_path

    def keep_artifacts(self):
        """Copies a screenshot and the logs to $TEST_ARTIFACTS/<name>, if that is set."""
        artifacts = os.environ.get("TEST_ARTIFACTS")
        if not artifacts or not self.root:
            return None
        target = os.path.join(artifacts, self.name)
        os.makedirs(target, exist_ok=True)
        if self.display:
            try:
                self.screenshot(os.path.join(target, "screen.png"))
            except (subprocess.SubprocessError, OSError):
                pass
        for name in ("driver.log", "xvfb.log"):
            if os.path.exists(os.path.join(self.root, name)):
                shutil.copy(os.path.join(self.root, name), target)
        return target

    def close(self, failed=False):
        if self.root is None:
            return
        if failed:
            self.keep_artifacts()
        if self.prefix and os.path.isdir(self.prefix):
            try:
                _stop_wineserver(self.prefix)
            except subprocess.SubprocessError:
                pass
            _remove_server_dir(self.prefix)
        self._remove_volumes()
        if self._xvfb:
            self._xvfb.stop()
            self._xvfb = None
        if not self._kept_root:
            shutil.rmtree(self.root, ignore_errors=True)
        self.root = self.prefix = None


class Background:
    """One uidriver.exe run left going while the test works on files beside it."""

    def __init__(self, test, *args):
        # The driver appends through an open of its own: one shared with the reader would share
        # its offset, and a line written just after the reader's seek would land at the start.
        handle, self._path = tempfile.mkstemp(prefix="uidriver-", suffix=".out")
        os.close(handle)
        self._args = [WINE64, uidriver_exe(), *map(str, args)]
        self._env = test.session.env
        self._attempts = 1
        self._start()
        test.addCleanup(self.stop)

    def _start(self):
        with open(self._path, "ab") as out, open(self._path + ".err", "wb") as err:
            self.process = subprocess.Popen(self._args, env=self._env, stdin=subprocess.DEVNULL,
                                            stdout=out, stderr=err)

    def _never_ran(self, lines):
        with open(self._path + ".err", "rb") as err:
            stderr = err.read().decode("utf-8", "replace")
        return driver_never_ran(self.process.returncode, lines, stderr)

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        for path in (self._path, self._path + ".err"):
            if os.path.exists(path):
                os.remove(path)

    def lines(self):
        with open(self._path, "rb") as out:
            text = out.read().decode()
        # A line still being written is not yet a line.
        return [json.loads(line) for line in text.splitlines(keepends=True) if line.endswith("\n")]

    def wait_for_line(self, count):
        """Waits until the driver has printed count lines; returns them."""
        deadline = time.monotonic() + BACKGROUND_START_S
        while True:
            # Whether it had ended before its lines are read: it may print the last and end
            # between the two.
            ended = self.process.poll() is not None
            lines = self.lines()
            if len(lines) >= count:
                return lines
            if ended and self._attempts < DRIVER_ATTEMPTS and self._never_ran(lines):
                self._attempts += 1
                self._start()
                continue
            if ended or time.monotonic() > deadline:
                raise AssertionError(f"driver stopped early: {lines}")
            time.sleep(0.05)

    def finish(self):
        self.process.wait(DRIVER_TIMEOUT_S)
        lines = self.lines()
        errors = [line for line in lines if "error" in line]
        if self.process.returncode or errors:
            raise AssertionError(f"driver exit {self.process.returncode}: {lines}")
        return lines


def crop_to_client(png_path, dump):
    """Cuts a screenshot down to the client area of the window a driver dump describes."""
    (width, height), (left, top) = dump["client"], dump["client_origin"]
    subprocess.run(["convert", png_path, "-crop", f"{width}x{height}+{left}+{top}", "+repage",
                    png_path], check=True, timeout=60)
    return png_path


def pixels_differing(png_a, png_b):
    """How many pixels differ between two pictures of one size."""
    compared = subprocess.run(["compare", "-metric", "AE", png_a, png_b, "null:"],
                              capture_output=True, text=True, timeout=60)
    try:
        return int(float(compared.stderr.split()[0]))
    except (IndexError, ValueError):
        raise RuntimeError(f"cannot compare {png_a} with {png_b}: {compared.stderr.strip()}")


def _read(path):
    try:
        with open(path, encoding="utf-8") as f:
            return f.read()
    except OSError:
        return ""


def _machine_state():
    """What a 32-bit start depends on: this boot, and who runs i386 ELF programs."""
    return {"boot_id": _read("/proc/sys/kernel/random/boot_id").strip(),
            "kernel": os.uname().release,
            "binfmt_qemu_i386": _read("/proc/sys/fs/binfmt_misc/qemu-i386").strip()}


def measure_wine32(folder, template=None):
    """Times one 32-bit Wine program start and decides whether the whole suite can run on
    the 32-bit build; kept in folder and reused while the machine's state is unchanged."""
    path = os.path.join(folder, MEASUREMENT)
    state = _machine_state()
    try:
        with open(path, encoding="utf-8") as f:
            kept = json.load(f)
        if kept.get("state") == state:
            return kept
    except (OSError, ValueError):
        pass
    with WineSession("wine32-start", template=template) as session:
        # cmd.exe from syswow64 starts the i386 loader and exits without a window.
        started = time.monotonic()
        try:
            result = session.wine("cmd", "/c", "exit", loader=WINE32, timeout=WINE32_GIVE_UP_S)
        except subprocess.TimeoutExpired:
            result = None
        seconds = time.monotonic() - started
    if result is not None and result.returncode != 0:
        raise RuntimeError(f"32-bit Wine cannot start programs ({WINE32} cmd /c exit: exit "
                           f"{result.returncode}): {result.stdout.decode(errors='replace')[-2000:]}")
    binfmt = state["binfmt_qemu_i386"].splitlines()
    measured = {
        "command": f"{WINE32} cmd /c exit",
        "seconds": round(seconds, 2),
        "gave_up": result is None,
        "limit_seconds": WINE32_NATIVE_LIMIT_S,
        "native": seconds < WINE32_NATIVE_LIMIT_S,
        "qemu_i386_registered": bool(binfmt) and binfmt[0] == "enabled",
        "measured_at": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
        "state": state,
    }
    os.makedirs(folder, exist_ok=True)
    with open(path + ".new", "w", encoding="utf-8") as f:
        json.dump(measured, f, indent=1)
    os.replace(path + ".new", path)
    return measured


def describe_wine32(measured):
    how = "native" if measured["native"] else "emulated"
    if measured["qemu_i386_registered"]:
        how += " through qemu-i386"
    start = "over " if measured.get("gave_up") else ""
    return (f"{how} (start {start}{measured['seconds']:.1f} s, "
            f"limit {measured['limit_seconds']} s)")


def log_journey(name, seconds, outcome):
    """Notes a journey of the shipped 32-bit build for the summary, beside the starts."""
    log = os.environ.get("WINE32_STARTS")
    if not log:
        return
    os.makedirs(os.path.dirname(os.path.abspath(log)), exist_ok=True)
    with open(os.path.join(os.path.dirname(os.path.abspath(log)), JOURNEYS), "a", encoding="utf-8") as f:
        f.write(f"{name}\t{seconds:.0f}\t{outcome}\n")


def _journeys(folder):
    """What the journeys log says, as the summary's words."""
    try:
        with open(os.path.join(folder, JOURNEYS), encoding="utf-8") as f:
            rows = [line.rstrip("\n").split("\t") for line in f if line.count("\t") == 2]
    except OSError:
        rows = []
    if not rows:
        return "no whole journeys"
    total = sum(int(seconds) for _, seconds, _ in rows)
    each = "; ".join(f"{name} {seconds} s"
                     + ("" if outcome == "passed" else f" ({outcome})") for name, seconds, outcome in rows)
    return f"{len(rows)} whole journeys in {total} s ({each})"


def summary(folder):
    """One line on how the 32-bit build was tested in the last run."""
    try:
        with open(os.path.join(folder, MEASUREMENT), encoding="utf-8") as f:
            measured = json.load(f)
        if not os.path.exists(os.path.join(folder, DECIDED)):
            raise OSError("not decided in this run")
    except (OSError, ValueError):
        return "32-bit Wine: not decided in this run (wine.32bit_start did not pass or did not run)"
    try:
        with open(os.path.join(folder, STARTS), encoding="utf-8") as f:
            starts = sum(1 for line in f if line.strip())
    except OSError:
        starts = 0
    if measured["native"]:
        return (f"32-bit Wine: {describe_wine32(measured)}: the whole Wine suite ran on both "
                f"builds; the shipped 32-bit setup.exe was started {starts} times, "
                f"among them {_journeys(folder)}")
    return (f"32-bit Wine: {describe_wine32(measured)}: the shipped 32-bit setup.exe was started "
            f"{starts} times in {_journeys(folder)}; the rest ran on the 64-bit twin")


def _main(argv):
    command, args = (argv[1], argv[2:]) if len(argv) > 1 else ("", [])
    if command == "make-template" and len(args) == 1:
        started = time.monotonic()
        path = ensure_template(args[0])
        print(f"template ready at {path} ({time.monotonic() - started:.0f} s)")
        return 0
    if command == "measure-32" and len(args) == 1:
        try:
            measured = measure_wine32(args[0])
        except RuntimeError as error:
            print(f"32-bit Wine: {error}", file=sys.stderr)
            return 1
        with open(os.path.join(args[0], DECIDED), "w", encoding="utf-8") as f:
            f.write(measured["measured_at"] + "\n")
        print(f"32-bit Wine: {describe_wine32(measured)}, measured {measured['measured_at']}")
        print("the whole Wine suite runs on both builds" if measured["native"] else
              "only the 32-bit journeys run on the shipped build; the rest on the 64-bit twin")
        return 0
    if command == "run-32" and len(args) == 2:
        with open(os.path.join(args[0], MEASUREMENT), encoding="utf-8") as f:
            measured = json.load(f)
        if not measured["native"]:
            print(f"skipped: 32-bit Wine is {describe_wine32(measured)}")
            return SKIPPED
        os.environ["SETUP_TEST_BITS"] = "32"
        os.execv(sys.executable, [sys.executable, "-m", "unittest", "-v", args[1]])
    if command == "summary" and len(args) == 1:
        print(summary(args[0]))
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(_main(sys.argv))
