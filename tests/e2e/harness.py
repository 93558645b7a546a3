"""Runs LUM_RAX_COM.exe under Wine on its own X display and drives it with lrx_driver.exe.

Each Sandbox owns a clone of one pristine Wine prefix, an Xvfb display, a working folder
(the program's current directory) and the processes it starts; it stops exactly those.

Environment: LRX_WIN_BUILD_DIR (the Windows build: LUM_RAX_COM.exe, lumrax.exe and
tests/e2e/driver/lrx_driver.exe), LRX_E2E_SIM (lumrax-sim), LRX_E2E_RUNS (the runs' folder;
default $LRX_WIN_BUILD_DIR/e2e-runs), LRX_E2E_PRISTINE (the pristine prefix, made on first
use; default $LRX_E2E_RUNS/wine-pristine), LRX_E2E_SCREENSHOT and
LRX_E2E_SESSION_SCREENSHOT (where the screenshots of the main window at start-up and with
live device values go; optional).

Command line: harness.py make-prefix DIR | remove-prefix DIR
"""

import atexit
import fcntl
import os
import re
import select
import shlex
import shutil
import signal
import subprocess
import sys
import time
import unittest

CONSOLE_COLUMNS = 1000


class HarnessError(AssertionError):
    """Fails the test that meets it, with what was waited for or what went wrong."""


def wine():
    return shutil.which("wine") or "/usr/lib/wine/wine64"


def wineserver():
    return shutil.which("wineserver") or "/usr/lib/wine/wineserver64"


def build_path(*parts):
    """A file of the Windows build."""
    path = os.path.join(os.environ.get("LRX_WIN_BUILD_DIR", ""), *parts)
    if not os.path.isfile(path):
        raise HarnessError(f"not found: {path!r} (set LRX_WIN_BUILD_DIR)")
    return path


def runs_root():
    root = (os.environ.get("LRX_E2E_RUNS")
            or os.path.join(os.environ.get("LRX_WIN_BUILD_DIR", "."), "e2e-runs"))
    os.makedirs(root, exist_ok=True)
    return os.path.abspath(root)


def pristine_path():
    return os.environ.get("LRX_E2E_PRISTINE") or os.path.join(runs_root(), "wine-pristine")


def wait_until(check, timeout, what, details=lambda: ""):
    """Polls check() until it returns something true; returns that, or fails naming what
    (and details(), evaluated then)."""
    deadline = time.monotonic() + timeout
    while True:
        result = check()
        if result:
            return result
        if time.monotonic() > deadline:
            raise HarnessError(f"timed out after {timeout} s waiting for {what}{details()}")
        time.sleep(0.05)


def wine_env(prefix, display=None):
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "LANGUAGE")}
    env.update({
        "WINEPREFIX": prefix,
        "WINEDEBUG": "-all",
        # No Mono/Gecko installers, no desktop menu entries.
        "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d",
        # The console is rendered for this terminal type and code page (437, UTF-8 tty).
        "LANG": "C.UTF-8", "LC_ALL": "C.UTF-8", "TERM": "xterm", "SHELL": "/bin/sh",
    })
    if display is not None:
        env["DISPLAY"] = display
    return env


def stop_wineserver(env):
    """Ends every Wine process of this prefix and waits for its server to go."""
    for flag in ("-k", "-w"):
        subprocess.run([wineserver(), flag], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60, check=False)


# ---- prefixes ----


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
            # Undecorated: with no window manager Wine draws frame and caption itself, and
            # screenshots look like the program on Windows. Unmanaged: with no window manager
            # to withdraw a closing window, Wine would wait two seconds for one at every box
            # that closes, and the program's timers with it.
            f.write('\n[Software\\\\Wine\\\\X11 Driver] 0\n"Decorated"="N"\n"Managed"="N"\n')
        # The caption buttons' glyphs; Wine does not find the font where Debian puts it.
        marlett = "/usr/share/wine/fonts/marlett.ttf"
        if os.path.exists(marlett):
            shutil.copy(marlett, os.path.join(path, "drive_c", "windows", "Fonts"))
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


# ---- console ----

_CSI = re.compile(r"\x1b\[([0-9;?]*)([@-~])")


def decode_console(raw, columns=CONSOLE_COLUMNS):
    """Turns what Wine's console wrote to the terminal back into the program's bytes.

    Wine draws every character between cursor hide/show sequences, writes blanks and tabs
    as erase + cursor-right, ends a line written as "\\n" with CR CR LF and one written as
    "\\r\\n" with CR CR CR LF, breaks lines at the terminal width and encodes code page 437
    as UTF-8. Tabs come back as blanks.
    """
    text = raw.decode("utf-8", errors="replace")
    if text.startswith("Script started on"):
        text = text[text.find("\n") + 1:]
    done = text.rfind("\nScript done on")
    if done >= 0:
        text = text[:done]
    out, col, i, n = [], 0, 0, len(text)
    while i < n:
        c = text[i]
        if c == "\x1b":
            m = _CSI.match(text, i)
            if not m or m.group(2) not in "hlKC":
                raise HarnessError(f"unexpected escape sequence at {i}: {text[i:i + 12]!r}")
            if m.group(2) == "C":
                count = int(m.group(1) or "1")
                out.append(" " * count)
                col += count
            i = m.end()
            continue
        if c == "\r":
            j = i
            while j < n and text[j] == "\r":
                j += 1
            if j < n and text[j] == "\n":
                if not (j - i == 2 and col == columns):  # not a break at the terminal's width
                    out.append("\r" * max(j - i - 2, 0) + "\n")
                col, i = 0, j + 1
                continue
            out.append("\r" * (j - i))
            col, i = 0, j
            continue
        col = 0 if c == "\n" else col + 1
        out.append(c)
        i += 1
    return "".join(out).encode("cp437", errors="replace")


def show(data):
    """Console bytes made readable in a failure message: CR shown, LF kept."""
    return data.decode("latin-1").replace("\r", "\\r")


# ---- driver ----


def _escape(field):
    return (str(field).replace("\\", "\\\\").replace("\t", "\\t").replace("\r", "\\r")
            .replace("\n", "\\n"))


def _unescape(field):
    return re.sub(r"\\(.)", lambda m: {"t": "\t", "r": "\r", "n": "\n"}.get(m.group(1),
                                                                          m.group(1)), field)


class Driver:
    """lrx_driver.exe in serve mode: one command per line, answers closed by =ok / =error."""

    def __init__(self, env, cwd, log_path):
        self._log = open(log_path, "ab")
        self.proc = subprocess.Popen([wine(), build_path("tests", "e2e", "driver", "lrx_driver.exe"),
                                      "serve"], env=env, cwd=cwd, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=self._log,
                                     start_new_session=True)
        self._buf = b""

    def _line(self, deadline):
        while b"\n" not in self._buf:
            ready, _, _ = select.select([self.proc.stdout], [], [], max(deadline - time.monotonic(), 0))
            chunk = os.read(self.proc.stdout.fileno(), 65536) if ready else None
            if chunk is None:
                raise HarnessError("the driver did not answer in time")
            if not chunk:
                raise HarnessError(f"the driver ended (exit code {self.proc.poll()})")
            self._buf += chunk
        line, self._buf = self._buf.split(b"\n", 1)
        return line.decode("utf-8", errors="replace")

    def call(self, *args, timeout=60):
        """Runs one command; returns its records as lists of unescaped fields."""
        self._log.write(("> " + " ".join(map(str, args)) + "\n").encode())
        self.proc.stdin.write(("\t".join(_escape(a) for a in args) + "\n").encode())
        self.proc.stdin.flush()
        deadline = time.monotonic() + timeout
        records = []
        while True:
            line = self._line(deadline)
            self._log.write((line + "\n").encode())
            if line == "=ok":
                return records
            if line.startswith("=error"):
                raise HarnessError(f"{' '.join(map(str, args))}: {_unescape(line[7:])}")
            records.append([_unescape(f) for f in line.split("\t")])

    def close(self):
        try:
            self.proc.stdin.close()
            self.proc.wait(timeout=10)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()
        self._log.close()


# ---- device simulator ----

_TRACE = re.compile(r"^ *(\d+\.\d{3}) (dev>PC|PC>dev) +(\d+)  (.*)$")


def _untrace(text):
    """The bytes of one trace line: \\r, \\n and \\xNN stand for themselves."""
    return re.sub(rb"\\(r|n|x[0-9a-fA-F]{2})", lambda m: {b"r": b"\r", b"n": b"\n"}.get(
        m.group(1)) or bytes([int(m.group(1)[1:], 16)]), text.encode("latin-1"))


class Simulator:
    """lumrax-sim behind a pty linked at `link`, tracing every byte it sees into folder."""

    def __init__(self, folder, link, options=()):
        self.link = link
        index = 1
        while os.path.exists(os.path.join(folder, f"sim{index}.trace")):
            index += 1
        self.trace_path = os.path.join(folder, f"sim{index}.trace")
        self._out = open(self.trace_path, "wb")
        sim = os.environ.get("LRX_E2E_SIM", "")
        if not os.path.isfile(sim):
            raise HarnessError(f"device simulator not found: {sim!r} (set LRX_E2E_SIM)")
        self.proc = subprocess.Popen([sim, "--trace", "--link", link, *options],
                                     stdin=subprocess.DEVNULL, stdout=self._out,
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
        with open(self.trace_path, "rb") as f:
            data = f.read()
        # Only whole lines: the simulator may be writing the last one.
        return data[: data.rfind(b"\n") + 1].decode("latin-1")

    def traffic(self):
        """Every traced chunk so far: (seconds since start, "PC>dev" or "dev>PC", bytes)."""
        out = []
        for line in self._text().splitlines():
            m = _TRACE.match(line)
            if m:
                data = _untrace(m.group(4))
                if len(data) != int(m.group(3)):
                    raise HarnessError(f"trace line of {m.group(3)} bytes: {line!r}")
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
                fds = os.listdir(f"/proc/{pid}/fd")
            except OSError:
                return False
            for fd in fds:
                try:
                    if os.readlink(f"/proc/{pid}/fd/{fd}") == self.slave:
                        return True
                except OSError:
                    pass
            return False

        return [int(p) for p in os.listdir("/proc")
                if p.isdigit() and int(p) != self.proc.pid and holds(p)]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self._out.close()


# ---- sandbox ----

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
        self._runs = 0
        self._sims = []
        _sandboxes.add(self)
        try:
            make_pristine(pristine_path())
            clone_prefix(pristine_path(), self.prefix)
            self._start_xvfb()
            self.env = wine_env(self.prefix, self.display)
            # One server for the whole sandbox, up before any Wine process: two processes
            # that start at once on a fresh prefix may each try to start their own. It ends
            # by itself 10 s after its last process, should this harness be killed.
            subprocess.run([wineserver(), "-p10"], env=self.env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=60, check=True)
        except BaseException:
            self.close()
            raise

    def _start_xvfb(self):
        r, w = os.pipe()
        with open(os.path.join(self.dir, "xvfb.log"), "wb") as log:
            self._xvfb = subprocess.Popen(
                ["Xvfb", "-displayfd", str(w), "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                pass_fds=(w,), stdout=log, stderr=log, start_new_session=True)
        os.close(w)
        number = b""
        while not number.endswith(b"\n"):
            ready, _, _ = select.select([r], [], [], 30)
            chunk = os.read(r, 64) if ready else b""
            if not chunk:
                os.close(r)
                raise HarnessError("Xvfb did not start (see xvfb.log)")
            number += chunk
        os.close(r)
        self.display = ":" + number.decode().strip()

    # Windows path of a folder as the program sees it (drive Z: is the Unix root).
    @staticmethod
    def windows_path(path):
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
        sim = Simulator(self.dir, os.path.join(self.prefix, "dosdevices", "com15"), options)
        self._sims.append(sim)
        return sim

    def call(self, *args, timeout=60):
        if self._driver is None:
            self._driver = Driver(self.env, self.dir, os.path.join(self.dir, "driver.log"))
        return self._driver.call(*args, timeout=timeout)

    def text(self, ctrl):
        return self.call("text", ctrl)[0][1]

    def box(self, answer="IDOK", timeout=20):
        """The next message box (caption, text, buttons), answered unless answer is "-"."""
        return self.call("box", answer, int(timeout * 1000), timeout=timeout + 30)[0][1:]

    def xdotool(self, *args):
        """Runs xdotool on this sandbox's display (keys and clicks as a user's reach Wine)."""
        subprocess.run(["xdotool", *map(str, args)], env=dict(os.environ, DISPLAY=self.display),
                       capture_output=True, timeout=30, check=True)

    def click_control(self, ctrl_id):
        """A mouse click in the middle of a page control, on the screen, as a user makes it."""
        records = {r[0]: r for r in self.call("window")}
        page = [int(v) for v in records["page"][1:]]
        border = (page[2] - page[4]) // 2  # the page's sunken edge
        ctl = next(r for r in self.call("list") if r[3] == str(ctrl_id))
        x = int(records["client"][1]) + page[0] + border + int(ctl[4]) + int(ctl[6]) // 2
        y = int(records["client"][2]) + page[1] + border + int(ctl[5]) + int(ctl[7]) // 2
        self.xdotool("mousemove", "--sync", x, y, "click", "1")

    def wait_ready(self, timeout=60):
        """Waits for the main window to take messages and the banner to reach the console."""
        self.call("wait-window", int(timeout * 1000), timeout=timeout + 30)
        self.wait_console(b" - internal use only! -", timeout)
        return self

    def console(self):
        """The program's console output of the current (or last) run, as bytes."""
        if not self.capture or not os.path.exists(self.capture):
            return b""
        with open(self.capture, "rb") as f:
            return decode_console(f.read())

    def wait_console(self, needle, timeout=30, count=1):
        wait_until(lambda: self.console().count(needle) >= count, timeout, f"{needle!r} on the "
                   "console", lambda: f"; it holds:\n{show(self.console())}\n(run {self.dir})")

    def leave(self, how="close"):
        """Leaves by File -> Exit ("exit") or the close box; returns the exit code."""
        if how == "exit":
            self.call("post", "main", 0x0111, 108, 0)  # WM_COMMAND IDM_EXIT
        else:
            self.call("post", "main", 0x0010, 0, 0)  # WM_CLOSE
        try:
            return self._app.wait(timeout=30)
        except subprocess.TimeoutExpired:
            raise HarnessError("the program did not end within 30 s") from None
        finally:
            with open(os.path.join(self.dir, f"console{self._runs}.txt"), "wb") as f:
                f.write(self.console())

    def screenshot(self, path, env_copy=None, timeout=20):
        """Saves the main window to path (PNG) once its painting has settled; also to the
        file named by the environment variable env_copy, when it is set."""
        x, y, w, h = (int(v) for v in self.call("window")[0][2:6])

        def grab(out):
            subprocess.run(["import", "-display", self.display, "-window", "root", "-crop",
                            f"{w}x{h}+{x}+{y}", "+repage", "-strip", out], capture_output=True,
                           timeout=60, check=True)
            return open(out, "rb").read()

        # Painting goes on after the program takes messages: wait for two equal frames.
        deadline, last = time.monotonic() + timeout, grab(path)
        while time.monotonic() < deadline:
            time.sleep(0.25)
            frame = grab(path)
            if frame == last:
                break
            last = frame
        if os.environ.get(env_copy or ""):
            os.makedirs(os.path.dirname(os.path.abspath(os.environ[env_copy])), exist_ok=True)
            shutil.copyfile(path, os.environ[env_copy])

    def close(self):
        """Stops what this sandbox started: driver, program, Wine server, Xvfb."""
        _sandboxes.discard(self)
        if self._driver is not None:
            self._driver.close()
            self._driver = None
        if self.env is not None:
            stop_wineserver(self.env)
            self.env = None
        if self._app is not None:
            try:
                self._app.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(self._app.pid, signal.SIGKILL)
                self._app.wait()
            self._app.stdin.close()
            self._app = None
        for sim in self._sims:
            sim.stop()
        self._sims = []
        if self._xvfb is not None:
            self._xvfb.terminate()
            try:
                self._xvfb.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self._xvfb.kill()
                self._xvfb.wait()
            self._xvfb = None
        shutil.rmtree(self.prefix, ignore_errors=True)

    # -- the program's processes --

    def app_pid(self):
        """PID of the running program (Wine runs it as a process of its exe's name)."""
        for pid in self.wine_pids():
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    cmd = f.read()
                if b"LUM_RAX_COM.exe" in cmd and not cmd.startswith(b"script"):
                    return pid
            except OSError:
                pass
        raise HarnessError("the program's process was not found")

    def wine_pids(self):
        """PIDs of every living process of this sandbox's Wine prefix."""
        want = b"WINEPREFIX=" + self.prefix.encode() + b"\0"
        found = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open(f"/proc/{entry}/environ", "rb") as f:
                    if want in f.read():
                        found.append(int(entry))
            except OSError:
                pass
        return found

    def wineserver_pid(self):
        """PID of this sandbox's Wine server."""
        for pid in self.wine_pids():
            try:
                with open(f"/proc/{pid}/comm", "rb") as f:
                    if f.read().startswith(b"wineserver"):
                        return pid
            except OSError:
                pass
        raise HarnessError("the Wine server was not found")


class SandboxTest(unittest.TestCase):
    """A test case whose sandboxes are closed however the test ends."""

    maxDiff = None

    def sandbox(self):
        s = Sandbox(self.id().split(".")[-1])
        self.addCleanup(s.close)
        return s

    def assert_console_in_order(self, s, chunks):
        """Each chunk appears in the console, after the one before it."""
        console, at = s.console(), 0
        for chunk in chunks:
            found = console.find(chunk, at)
            if found < 0:
                self.fail(f"the console lacks {show(chunk)!r} (after byte {at}); it holds:\n"
                          f"{show(console)}\n(run folder {s.dir})")
            at = found + len(chunk)


def cpu_seconds(pid):
    """CPU time (user and system) a process has used so far."""
    with open(f"/proc/{pid}/stat", "rb") as f:
        fields = f.read().rsplit(b")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def cpu_share(pids, seconds):
    """Each process's CPU over the next `seconds` of wall time, in percent of one core."""
    before = {pid: cpu_seconds(pid) for pid in pids}
    started = time.monotonic()
    time.sleep(seconds)
    wall = time.monotonic() - started
    return {pid: (cpu_seconds(pid) - before[pid]) / wall * 100 for pid in pids}


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] in ("make-prefix", "remove-prefix"):
        (make_pristine if sys.argv[1] == "make-prefix" else remove_pristine)(
            os.path.abspath(sys.argv[2]))
        sys.exit(0)
    print(__doc__, file=sys.stderr)
    sys.exit(2)
