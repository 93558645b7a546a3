"""Runs LUM_RAX_COM.exe under Wine on its own X display and drives it with lrx_driver.exe.
Each Sandbox owns a clone of one pristine Wine prefix, an Xvfb display, a working folder (the
program's current directory) and the processes it starts; it stops exactly those.

Environment: LRX_WIN_BUILD_DIR (the Windows build), LRX_E2E_SIM (lumrax-sim), LRX_E2E_RUNS,
LRX_E2E_PRISTINE (the pristine prefix, made on first use).
Command line: harness.py make-prefix DIR | remove-prefix DIR
"""

import atexit
import fcntl
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import time
import unittest

CONSOLE_COLUMNS = 1000
_UNESCAPE = {"t": "\t", "r": "\r", "n": "\n"}  # the driver's escapes; others stand for themselves


class HarnessError(AssertionError):
    """Fails the test that meets it, with what was waited for or what went wrong."""


def wine():
    return shutil.which("wine") or "/usr/lib/wine/wine64"


def wineserver():
    return shutil.which("wineserver") or "/usr/lib/wine/wineserver64"


def build_path(*parts):
    path = os.path.join(os.environ.get("LRX_WIN_BUILD_DIR", ""), *parts)
    if not os.path.isfile(path):
        raise HarnessError(f"not found: {path!r} (set LRX_WIN_BUILD_DIR)")
    return path


def app_version():
    """The version the Windows build gives its programs, as they show it ("V0.34...")."""
    with open(build_path("generated", "lrx_version.h")) as f:
        return "V" + re.search(r'#define LRX_VERSION "(.*)"', f.read()).group(1)


def runs_root():
    root = os.path.abspath(os.environ.get("LRX_E2E_RUNS") or os.path.join(
        os.environ.get("LRX_WIN_BUILD_DIR", "."), "e2e-runs"))
    os.makedirs(root, exist_ok=True)
    return root


def wait_until(check, timeout, what, details=lambda: ""):
    """Polls check() until it returns something true, and returns that."""
    deadline = time.monotonic() + timeout
    while not (result := check()):
        if time.monotonic() > deadline:
            raise HarnessError(f"timed out after {timeout} s waiting for {what}{details()}")
        time.sleep(0.05)
    return result


def records(hex_text):
    """Each line of an Intel HEX file as the program streams it: colon, bytes, CR LF."""
    return [b":" + bytes.fromhex(line[1:]) + b"\r\n" for line in hex_text.split()]


def _read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:  # the process has ended
        return b""


def wine_env(prefix, display=None):
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "LANGUAGE")}
    env.update(WINEPREFIX=prefix, WINEDEBUG="-all",
               # No Mono/Gecko installers, no desktop menu entries.
               WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d",
               # The console is rendered for this terminal type and code page (437, UTF-8 tty).
               LANG="C.UTF-8", LC_ALL="C.UTF-8", TERM="xterm", SHELL="/bin/sh",
               **({"DISPLAY": display} if display else {}))
    return env


def stop_wineserver(env):
    """Ends every Wine process of this prefix and waits for its server to go."""
    for flag in ("-k", "-w"):
        subprocess.run([wineserver(), flag], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60, check=False)


def make_pristine(path):
    """Creates the pristine prefix once; concurrent callers wait for the first."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        ready = os.path.join(path, ".lrx-ready")
        if os.path.exists(ready):
            return
        shutil.rmtree(path, ignore_errors=True)
        env = wine_env(path)
        try:
            boot = subprocess.run([wine(), "wineboot", "-i"], env=env, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, timeout=300, check=False)
            # The registry reaches the disk only when the server ends.
            subprocess.run([wineserver(), "-w"], env=env, timeout=120, check=False)
        finally:
            stop_wineserver(env)
        if not os.path.exists(os.path.join(path, "system.reg")):
            raise HarnessError("wineboot made no prefix:\n" + boot.stdout.decode(errors="replace"))
        with open(os.path.join(path, "user.reg"), "a") as f:
            # Undecorated: with no window manager Wine draws frame and caption itself, as
            # Windows does, and the window keeps its outer size. Unmanaged: with no window manager
            # to withdraw a closing window, Wine would wait two seconds for one at every box
            # that closes, and the program's timers with it.
            f.write('\n[Software\\\\Wine\\\\X11 Driver] 0\n"Decorated"="N"\n"Managed"="N"\n')
        open(ready, "w").close()


def remove_pristine(path):
    with open(path + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        shutil.rmtree(path, ignore_errors=True)
    os.unlink(path + ".lock")


def clone_prefix(src, dst):
    """Hard links for the large files, real copies of what Wine rewrites (the registry)."""
    for root, dirs, files in os.walk(src):
        target = os.path.normpath(os.path.join(dst, os.path.relpath(root, src)))
        os.makedirs(target, exist_ok=True)
        for name in dirs + files:
            path, out = os.path.join(root, name), os.path.join(target, name)
            if os.path.islink(path):
                os.symlink(os.readlink(path), out)
            elif name in files and not (root == src and name in ("wineserver", ".lrx-ready")):
                (shutil.copy2 if name.endswith(".reg") else os.link)(path, out)
        dirs[:] = [d for d in dirs if not os.path.islink(os.path.join(root, d))]


def decode_console(raw, columns=CONSOLE_COLUMNS):
    """What the program wrote, from what Wine's console drew: each character between cursor
    hide/show sequences, blanks and tabs (back as blanks) as erase + cursor-right, "\\n" as CR CR
    LF and "\\r\\n" as CR CR CR LF, breaks at the terminal width, code page 437 as UTF-8."""
    text = re.sub(r"^Script started on.*\n|\nScript done on[^\n]*\n?$", "",
                  raw.decode("utf-8", errors="replace"))
    out, col = [], 0
    for m in re.finditer(r"\x1b(\[[0-9;?]*[@-~])?|(\r+)(\n?)|[^\x1b\r]+", text):
        seq, crs, lf = m.groups()
        if m.group()[0] == "\x1b":
            if not seq or seq[-1] not in "hlKC":
                raise HarnessError(f"unexpected escape sequence: {text[m.start():][:12]!r}")
            if seq[-1] == "C":
                out.append(" " * int(seq[1:-1] or "1"))
                col += len(out[-1])
        elif crs:
            if not lf:
                out.append(crs)
            elif not (len(crs) == 2 and col == columns):  # not a break at the terminal's width
                out.append("\r" * max(len(crs) - 2, 0) + "\n")
            col = 0
        else:
            chars = m.group()
            out.append(chars)
            col = len(chars) - chars.rfind("\n") - 1 if "\n" in chars else col + len(chars)
    return "".join(out).encode("cp437", errors="replace")


def console_text(data):
    """Console bytes as the tests compare them: the carriage returns before a line feed left
    out. Wine's console keeps one on the terminal only when it ended a write of its own, and
    the program's console writes a return and its line feed together when it has both."""
    return re.sub(rb"\r+\n", b"\n", data)


def _end(proc):
    """Ends a process that leads a process group of its own, and at need the whole group."""
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()


def show(data):
    """Console bytes made readable in a failure message: CR shown, LF kept."""
    return data.decode("latin-1").replace("\r", "\\r")


class Simulator:
    """lumrax-sim behind a pty linked at `link`, tracing every byte it sees into folder."""

    def __init__(self, folder, link, options=()):
        self.link = link
        index = 1 + sum(re.fullmatch(r"sim\d+\.trace", n) is not None for n in os.listdir(folder))
        self.trace_path = os.path.join(folder, f"sim{index}.trace")
        self._out = open(self.trace_path, "wb")
        self.proc = subprocess.Popen([os.environ["LRX_E2E_SIM"], "--trace", "--link", link,
                                      *options], stdin=subprocess.DEVNULL, stdout=self._out,
                                     stderr=subprocess.STDOUT, start_new_session=True)

        def banner():
            if self.proc.poll() is not None:
                raise HarnessError(f"lumrax-sim ended at once:\n{self._text()}")
            return re.search(r"^lumrax-sim: device on (\S+)", self._text(), re.M)

        try:
            self.slave = wait_until(banner, 20, "the simulator's pty").group(1)
        except BaseException:
            self.stop()
            raise

    def _text(self):
        data = _read(self.trace_path)
        # Only whole lines: the simulator may be writing the last one.
        return data[: data.rfind(b"\n") + 1].decode("latin-1")

    def traffic(self):
        """Every traced chunk so far: (seconds since start, "PC>dev" or "dev>PC", bytes)."""
        out = []
        for m in re.finditer(r"^ *(\d+\.\d{3}) (dev>PC|PC>dev) +(\d+)  (.*)$", self._text(), re.M):
            # \r, \n and \xNN stand for themselves.
            data = re.sub(rb"\\(r|n|x[0-9a-fA-F]{2})", lambda e: {b"r": b"\r", b"n": b"\n"}.get(
                e.group(1)) or bytes([int(e.group(1)[1:], 16)]), m.group(4).encode("latin-1"))
            if len(data) != int(m.group(3)):
                raise HarnessError(f"trace line of {m.group(3)} bytes: {m.group()!r}")
            out.append((float(m.group(1)), m.group(2), data))
        return out

    def received(self):
        """What the program has written to the port so far."""
        return b"".join(d for _, way, d in self.traffic() if way == "PC>dev")

    def sent(self):
        """What the device has answered so far."""
        return b"".join(d for _, way, d in self.traffic() if way == "dev>PC")

    def replies(self):
        """The device's complete framed replies so far, STX to ETX, in order."""
        return re.findall(rb"\x02[^\x02\x03]*\x03", self.sent())

    def holders(self):
        """PIDs of the processes other than the simulator that hold the port's pty open."""
        def holds(pid):
            try:
                return any(os.readlink(f"/proc/{pid}/fd/{fd}") == self.slave
                           for fd in os.listdir(f"/proc/{pid}/fd"))
            except OSError:
                return False
        return [int(p) for p in os.listdir("/proc")
                if p.isdigit() and int(p) != self.proc.pid and holds(p)]

    def stop(self):
        _end(self.proc)
        self._out.close()


_sandboxes = set()


def _close_all(*_):
    for s in list(_sandboxes):
        s.close()


# A test stopped from outside (time-out, Ctrl+C) still stops what it started.
atexit.register(_close_all)
for _signal in (signal.SIGTERM, signal.SIGHUP):
    signal.signal(_signal, lambda signum, frame: (_close_all(), sys.exit(128 + signum)))


class Sandbox:
    """One test's own prefix clone, display, working folder and program runs."""

    def __init__(self, name):
        self.dir = os.path.join(runs_root(), re.sub(r"[^A-Za-z0-9_.-]", "_", name))
        shutil.rmtree(self.dir, ignore_errors=True)
        self.prefix = os.path.join(self.dir, "prefix")
        self.work = os.path.join(self.dir, "work")
        os.makedirs(self.work)
        self.env = self._xvfb = self._app = self._driver = self.capture = None
        self._runs, self._sims = 0, []
        _sandboxes.add(self)
        try:
            pristine = (os.environ.get("LRX_E2E_PRISTINE")
                        or os.path.join(runs_root(), "wine-pristine"))
            make_pristine(pristine)
            clone_prefix(pristine, self.prefix)
            r, w = os.pipe()
            with open(os.path.join(self.dir, "xvfb.log"), "wb") as log:
                self._xvfb = subprocess.Popen(
                    ["Xvfb", "-displayfd", str(w), "-screen", "0", "1280x1024x24", "-nolisten",
                     "tcp"], pass_fds=(w,), stdout=log, stderr=log, start_new_session=True)
            os.close(w)
            with os.fdopen(r) as f:  # ends empty should Xvfb end
                self.display = ":" + f.readline().strip()
            if self.display == ":":
                raise HarnessError("Xvfb did not start (see xvfb.log)")
            self.env = wine_env(self.prefix, self.display)
            # One server for the whole sandbox, up before any Wine process: two processes
            # that start at once on a fresh prefix may each try to start their own. It ends
            # by itself 10 s after its last process, should this harness be killed.
            subprocess.run([wineserver(), "-p10"], env=self.env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=60, check=True)
        except BaseException:
            self.close()
            raise

    @staticmethod
    def windows_path(path):
        """The path as the program sees it (drive Z: is the Unix root)."""
        return "Z:" + os.path.realpath(path).replace("/", "\\")

    def start(self):
        """Starts the program in the working folder with its console captured."""
        self._runs += 1
        self.capture = os.path.join(self.dir, f"console{self._runs}.raw")
        command = (f"stty cols {CONSOLE_COLUMNS} rows 100; "
                   f"exec {shlex.quote(wine())} {shlex.quote(build_path('LUM_RAX_COM.exe'))}")
        # stdin stays an open pipe: script ends its child when its input ends.
        self._app = subprocess.Popen(
            ["script", "-q", "-f", "-e", "-c", command, self.capture], cwd=self.work,
            env=self.env, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, start_new_session=True)
        return self

    def simulator(self, *options):
        """Starts lumrax-sim as this prefix's COM15; it is stopped with the sandbox."""
        self._sims.append(Simulator(self.dir, os.path.join(self.prefix, "dosdevices", "com15"),
                                    options))
        return self._sims[-1]

    def call(self, *args):
        """Runs one driver command; returns its records as lists of fields. The driver bounds
        every wait of its own."""
        if self._driver is None:
            with open(os.path.join(self.dir, "driver.log"), "ab") as log:
                self._driver = subprocess.Popen(
                    [wine(), build_path("tests", "e2e", "driver", "lrx_driver.exe")],
                    env=self.env, cwd=self.dir, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                    stderr=log, start_new_session=True)
        command = "\t".join(map(str, args))
        self._driver.stdin.write(command.encode() + b"\n")
        self._driver.stdin.flush()
        records = []
        while line := self._driver.stdout.readline():
            fields = [re.sub(r"\\(.)", lambda m: _UNESCAPE.get(m[1], m[1]), f)
                      for f in line.decode("cp1252", "replace")[:-1].split("\t")]
            if fields[0] == "=ok":
                return records
            if fields[0] == "=error":
                raise HarnessError(f"{command}: {fields[1]}")
            records.append(fields)
        raise HarnessError(f"the driver ended (exit code {self._driver.poll()})")

    def text(self, ctrl):
        return self.call("text", ctrl)[0][0]

    def box(self, answer="ok", timeout=20):
        """The next message box [caption, text, buttons], answered OK unless answer is "-"."""
        return self.call("box", answer, int(timeout * 1000))[0]

    def xdotool(self, *args):
        """Keys and clicks on this sandbox's display, as a user's reach Wine."""
        subprocess.run(["xdotool", *map(str, args)], env=dict(os.environ, DISPLAY=self.display),
                       capture_output=True, timeout=30, check=True)

    def click_control(self, ctrl):
        self.xdotool("mousemove", "--sync", *self.call("point", ctrl)[0], "click", "1")

    def wait_ready(self, timeout=60):
        """Waits for the main window to take messages and the banner to reach the console."""
        self.call("wait-window", int(timeout * 1000))
        self.wait_console(b" - internal use only! -", timeout)
        return self

    def console(self):
        """The program's console output of the current (or last) run, as bytes (console_text)."""
        return console_text(decode_console(_read(self.capture))) if self.capture else b""

    def wait_console(self, needle, timeout=30, count=1):
        needle = console_text(needle)
        wait_until(lambda: self.console().count(needle) >= count, timeout, f"{needle!r} on the "
                   "console", lambda: f"; it holds:\n{show(self.console())}\n(run {self.dir})")

    def leave(self, how="close"):
        """Leaves by File -> Exit ("exit") or the close box; returns the exit code."""
        # WM_COMMAND IDM_EXIT, or WM_CLOSE
        self.call("post", *((0x0111, 108, 0) if how == "exit" else (0x0010, 0, 0)))
        try:
            return self._app.wait(timeout=30)
        except subprocess.TimeoutExpired:
            raise HarnessError("the program did not end within 30 s") from None

    def close(self):
        """Stops what this sandbox started: driver, program, Wine server, simulators, Xvfb."""
        _sandboxes.discard(self)
        if self.env is not None:
            stop_wineserver(self.env)  # the program and the driver end with it
            self.env = None
        for proc in filter(None, (self._driver, self._app, self._xvfb)):
            _end(proc)
        for sim in self._sims:
            sim.stop()
        self._driver = self._app = self._xvfb = None
        self._sims = []
        shutil.rmtree(self.prefix, ignore_errors=True)

    def wine_pids(self):
        """PIDs of every living process of this sandbox's Wine prefix."""
        want = f"WINEPREFIX={self.prefix}\0".encode()
        return [int(p) for p in os.listdir("/proc")
                if p.isdigit() and want in _read(f"/proc/{p}/environ")]

    def _pid(self, what, test):
        pid = next((p for p in self.wine_pids() if test(_read(f"/proc/{p}/cmdline"),
                                                        _read(f"/proc/{p}/comm"))), None)
        if pid is None:
            raise HarnessError(f"{what} was not found")
        return pid

    def app_pid(self):
        """PID of the running program (Wine runs it as a process of its exe's name)."""
        return self._pid("the program's process", lambda cmd, _: b"LUM_RAX_COM.exe" in cmd
                         and not cmd.startswith(b"script"))

    def wineserver_pid(self):
        return self._pid("the Wine server", lambda _, comm: comm.startswith(b"wineserver"))


class SandboxTest(unittest.TestCase):
    """A test case whose sandboxes are closed however the test ends."""

    maxDiff = None

    def sandbox(self):
        s = Sandbox(self.id().split(".")[-1])
        self.addCleanup(s.close)
        return s

    def assert_console_in_order(self, s, chunks):
        """Each chunk appears in the console, after the one before it."""
        self.assertRegex(s.console(), b"(?s)" + b".*?".join(
            re.escape(console_text(c)) for c in chunks), s.dir)


def cpu_share(pids, seconds):
    """Each process's CPU over the next `seconds` of wall time, in percent of one core."""
    def used(pid):  # user and system time so far
        fields = _read(f"/proc/{pid}/stat").rsplit(b")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    before, started = {pid: used(pid) for pid in pids}, time.monotonic()
    time.sleep(seconds)
    wall = time.monotonic() - started
    return {pid: (used(pid) - before[pid]) / wall * 100 for pid in pids}


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in ("make-prefix", "remove-prefix"):
        sys.exit(__doc__)
    (make_pristine if sys.argv[1] == "make-prefix" else remove_pristine)(
        os.path.abspath(sys.argv[2]))
