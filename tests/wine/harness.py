"""Runs Windows programs under Wine for the UI tests.

Each test gets its own prefix (hard-linked from a booted template), its own
Xvfb display and its own wineserver; uidriver.exe does the clicking.

    python3 tests/wine/harness.py make-template DIR   # boot the template once
"""

import fcntl
import json
import os
import re
import select
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

WINE64 = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
TEMPLATE_MARKER = ".template-complete"
DEFAULT_TEMPLATE = os.path.join(tempfile.gettempdir(), "wine-test-template")
BASE_ENV = {"LANG": "ja_JP.UTF-8", "LC_ALL": "ja_JP.UTF-8", "WINEDEBUG": "-all"}
SCREEN = "1024x768x24"
BOOT_TIMEOUT_S = 1200
DRIVER_TIMEOUT_S = 400
UNINSTALL_KEY = r"SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Kolvenir100"
UNINSTALL_VALUE = "UninstallString"
REG_SZ = 1

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


def uninstall_removal(bits):
    return ["reg-delete", str(bits), UNINSTALL_KEY]


def _wine_env(prefix, display=None):
    env = {k: v for k, v in os.environ.items() if not k.startswith("WINE")}
    env.update(BASE_ENV, WINEPREFIX=prefix)
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
    # Debian's Wine keeps its socket dir in /tmp and names it in this file.
    try:
        with open(os.path.join(prefix, "wineserver")) as f:
            name = f.read().strip()
    except OSError:
        return
    if re.fullmatch(r"wine-\w+", name):
        shutil.rmtree(os.path.join(tempfile.gettempdir(), name), ignore_errors=True)


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


def _copy_prefix(template, prefix):
    subprocess.run(["cp", "-al", template, prefix], check=True)
    # wineserver rewrites these in place; a shared inode would change the template.
    written = [name for name in os.listdir(prefix)
               if os.path.isfile(os.path.join(prefix, name))]
    windows = os.path.join(prefix, "drive_c", "windows")
    written += [os.path.join("drive_c", "windows", name) for name in os.listdir(windows)
                if name.lower().endswith(".ini")]
    for name in written:
        if name == "wineserver":
            os.remove(os.path.join(prefix, name))  # the template's socket dir is not ours
        else:
            shutil.copy2(os.path.join(template, name), os.path.join(prefix, name + ".copy"))
            os.replace(os.path.join(prefix, name + ".copy"), os.path.join(prefix, name))
    with open(os.path.join(prefix, "user.reg"), "a", encoding="utf-8") as f:
        f.write(_DECORATION_KEYS)


class WineSession:
    """A private prefix, display and wineserver for one test.

    with WineSession(self.id()) as wine:
        wine.driver("start", wine.win_path(setup_exe(64)), "wait-window", "dump")
    """

    def __init__(self, name=None, template=None, root=None):
        """root: a folder to keep the prefix in after the session (made anew each time)."""
        self.name = re.sub(r"[^\w.-]+", "_", name or time.strftime("session-%H%M%S"))
        self._template = template
        self._kept_root = root
        self._xvfb = None
        self.root = None
        self.prefix = None
        self.display = None
        self.env = None
        self.setup_seconds = None

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
            self.root = tempfile.mkdtemp(prefix="wine-session-")
        self.prefix = os.path.join(self.root, "prefix")
        try:
            _copy_prefix(template, self.prefix)
            if os.environ.get("USE_DISPLAY") == "1":
                self.display = os.environ["DISPLAY"]
            else:
                self._xvfb = _Xvfb(os.path.join(self.root, "xvfb.log"))
                self.display = self._xvfb.display
            self.env = _wine_env(self.prefix, self.display)
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

    def map_drive(self, letter, linux_dir):
        link = os.path.join(self.prefix, "dosdevices", letter.lower() + ":")
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(os.path.abspath(linux_dir), link)
        return letter.upper() + ":\\"

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
        self._log(f"$ uidriver {' '.join(args)}  [{elapsed:.1f} s, exit {returncode}]\n{stdout}"
                  + (f"stderr:\n{stderr[-4000:]}" if stderr.strip() else ""))
        lines = []
        for line in stdout.splitlines():
            try:
                lines.append(json.loads(line))
            except ValueError:
                lines.append({"unparsed": line})
        failed = returncode != 0 or any("error" in line for line in lines)
        if failed:
            reason = "timed out" if returncode is None else f"exit {returncode}"
            raise DriverError(f"uidriver {reason}: {' '.join(args)}\n{stdout}{stderr[-2000:]}",
                              lines)
        return lines

    def save_registry(self):
        """Restarts the session's wineserver, which writes the registry files as it exits."""
        _stop_wineserver(self.prefix)
        _start_wineserver(self.env)

    def wine(self, *args, timeout=DRIVER_TIMEOUT_S):
        """Runs any program with wine64 in this session; returns CompletedProcess."""
        return subprocess.run([WINE64, *map(str, args)], env=self.env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout)

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
        if self._xvfb:
            self._xvfb.stop()
            self._xvfb = None
        if not self._kept_root:
            shutil.rmtree(self.root, ignore_errors=True)
        self.root = self.prefix = None


def _main(argv):
    if len(argv) == 3 and argv[1] == "make-template":
        started = time.monotonic()
        path = ensure_template(argv[2])
        print(f"template ready at {path} ({time.monotonic() - started:.0f} s)")
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(_main(sys.argv))
