"""Runs LUM_RAX_COM.exe under Wine on its own X display and drives it with lrx_driver.exe.

Each Sandbox owns a clone of one pristine Wine prefix, an Xvfb display, a working folder
(the program's current directory) and the processes it starts; it stops exactly those.

Settings come from the environment:
  LRX_WIN_BUILD_DIR     folder of the Windows build (LUM_RAX_COM.exe, tests/e2e/driver/)
  LRX_E2E_EXE           the program (default: $LRX_WIN_BUILD_DIR/LUM_RAX_COM.exe)
  LRX_E2E_DRIVER        the driver (default: $LRX_WIN_BUILD_DIR/tests/e2e/driver/lrx_driver.exe)
  LRX_E2E_RUNS          folder for the test runs (default: $LRX_WIN_BUILD_DIR/e2e-runs)
  LRX_E2E_PRISTINE      the pristine prefix (default: $LRX_E2E_RUNS/wine-pristine); made on
                        first use when missing
  LRX_E2E_SCREENSHOT    where the start-up screenshot of the main window goes (optional)
  LRX_E2E_SESSION_SCREENSHOT  where the screenshot with live device values goes (optional)
  LRX_E2E_SIM           the device simulator lumrax-sim (tests that talk to a device)

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
SCREEN = "1280x1024x24"


class HarnessError(Exception):
    pass


class DriverError(Exception):
    pass


# ---- programs ----


def _program(name, fallback):
    found = shutil.which(name)
    if found:
        return found
    if os.path.exists(fallback):
        return fallback
    raise HarnessError(f"{name} not found (install the Debian packages wine, wine64, xvfb)")


def check_programs():
    """Fails with the Debian package to install when a program the tests need is missing."""
    wine()
    wineserver()
    for name, package in (("Xvfb", "xvfb"), ("script", "bsdutils"), ("import", "imagemagick"),
                          ("xdotool", "xdotool")):
        if not shutil.which(name):
            raise HarnessError(f"{name} not found (install the Debian package {package})")


def wine():
    return _program("wine", "/usr/lib/wine/wine64")


def wineserver():
    return _program("wineserver", "/usr/lib/wine/wineserver64")


def _env_path(name, default=None):
    value = os.environ.get(name)
    if value:
        return os.path.abspath(value)
    return default


def _build_dir():
    return _env_path("LRX_WIN_BUILD_DIR")


def exe_path():
    build = _build_dir()
    path = _env_path("LRX_E2E_EXE", build and os.path.join(build, "LUM_RAX_COM.exe"))
    if not path or not os.path.isfile(path):
        raise HarnessError(f"program not found: {path!r} (set LRX_WIN_BUILD_DIR or LRX_E2E_EXE)")
    return path


def driver_path():
    build = _build_dir()
    default = build and os.path.join(build, "tests", "e2e", "driver", "lrx_driver.exe")
    path = _env_path("LRX_E2E_DRIVER", default)
    if not path or not os.path.isfile(path):
        raise HarnessError(f"driver not found: {path!r} (set LRX_WIN_BUILD_DIR or LRX_E2E_DRIVER)")
    return path


def runs_root():
    build = _build_dir()
    root = _env_path("LRX_E2E_RUNS", build and os.path.join(build, "e2e-runs"))
    if not root:
        raise HarnessError("set LRX_WIN_BUILD_DIR or LRX_E2E_RUNS")
    os.makedirs(root, exist_ok=True)
    return root


def pristine_path():
    return _env_path("LRX_E2E_PRISTINE") or os.path.join(runs_root(), "wine-pristine")


def sim_path():
    path = _env_path("LRX_E2E_SIM")
    if not path or not os.path.isfile(path):
        raise HarnessError(f"device simulator not found: {path!r} (set LRX_E2E_SIM to lumrax-sim)")
    return path


def wait_until(check, timeout, what):
    """Polls check() until it returns something true; returns that, or fails naming what."""
    deadline = time.monotonic() + timeout
    while True:
        result = check()
        if result:
            return result
        if time.monotonic() > deadline:
            raise HarnessError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(0.05)


def wine_env(prefix, display=None):
    env = dict(os.environ)
    for key in ("DISPLAY", "WAYLAND_DISPLAY", "LANGUAGE", "WINEDEBUG", "WINEDLLOVERRIDES"):
        env.pop(key, None)
    env.update(
        {
            "WINEPREFIX": prefix,
            "WINEDEBUG": "-all",
            # No Mono/Gecko installers, no desktop menu entries.
            "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d",
            # The console is rendered for this terminal type and code page (437, UTF-8 tty).
            "LANG": "C.UTF-8",
            "LC_ALL": "C.UTF-8",
            "TERM": "xterm",
            "SHELL": "/bin/sh",
        }
    )
    if display is not None:
        env["DISPLAY"] = display
    return env


def process_alive(pid):
    """True while the process exists and is not a zombie (a container's PID 1 may not reap)."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            stat = f.read()
    except OSError:
        return False
    state = stat[stat.rfind(b")") + 2 :][:1]
    return state not in (b"Z", b"X", b"")


def descendants(pid):
    """PIDs of every living process below pid."""
    found = []
    todo = [pid]
    while todo:
        parent = todo.pop()
        try:
            tasks = os.listdir(f"/proc/{parent}/task")
        except OSError:
            continue
        for tid in tasks:
            try:
                with open(f"/proc/{parent}/task/{tid}/children") as f:
                    kids = [int(k) for k in f.read().split()]
            except OSError:
                continue
            found += kids
            todo += kids
    return [p for p in found if process_alive(p)]


def _server_tmpdir(prefix):
    """The folder of this prefix's wineserver socket, when Wine names it in the prefix."""
    try:
        with open(os.path.join(prefix, "wineserver")) as f:
            name = f.read().strip()
    except OSError:
        return None
    if not re.fullmatch(r"wine-[A-Za-z0-9]+", name):
        return None
    for base in (os.environ.get("TMPDIR"), "/tmp"):
        if base and os.path.isdir(os.path.join(base, name)):
            return os.path.join(base, name)
    return None


def stop_wineserver(prefix, env):
    """Ends every Wine process of this prefix and waits for its server to go."""
    tmp = _server_tmpdir(prefix)
    subprocess.run([wineserver(), "-k"], env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=60, check=False)
    subprocess.run([wineserver(), "-w"], env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=60, check=False)
    if tmp:
        shutil.rmtree(tmp, ignore_errors=True)


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
        started = time.monotonic()
        try:
            boot = subprocess.run([wine(), "wineboot", "-i"], env=env, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, timeout=300, check=False)
            # The registry reaches the disk only when the server ends.
            subprocess.run([wineserver(), "-w"], env=env, timeout=120, check=False)
        finally:
            stop_wineserver(path, env)
        if not os.path.exists(os.path.join(path, "system.reg")):
            raise HarnessError("wineboot made no prefix:\n" + boot.stdout.decode(errors="replace"))
        # Without a window manager Wine would leave the frame and caption undrawn; this way
        # it draws them itself, and screenshots look like the program on Windows.
        with open(os.path.join(path, "user.reg"), "a") as f:
            # Unmanaged: with no window manager to withdraw a closing window, Wine would wait
            # two seconds for one at every box that closes, and the program's timers with it.
            f.write('\n[Software\\\\Wine\\\\X11 Driver] 0\n"Decorated"="N"\n"Managed"="N"\n')
        # The caption buttons' glyphs; Wine does not find the font where Debian puts it.
        marlett = "/usr/share/wine/fonts/marlett.ttf"
        if os.path.exists(marlett):
            shutil.copy(marlett, os.path.join(path, "drive_c", "windows", "Fonts"))
        with open(ready, "w") as f:
            f.write(f"{time.monotonic() - started:.1f} s\n")


def remove_pristine(path):
    with open(path + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        shutil.rmtree(path, ignore_errors=True)
    os.unlink(path + ".lock")


def clone_prefix(src, dst):
    """Hard links for the large files, real copies of what Wine rewrites (the registry)."""
    for root, dirs, files in os.walk(src):
        rel = os.path.relpath(root, src)
        target = os.path.normpath(os.path.join(dst, rel))
        os.makedirs(target, exist_ok=True)
        for name in dirs:
            path = os.path.join(root, name)
            if os.path.islink(path):
                os.symlink(os.readlink(path), os.path.join(target, name))
        dirs[:] = [d for d in dirs if not os.path.islink(os.path.join(root, d))]
        for name in files:
            if rel == "." and name in ("wineserver", ".lrx-ready"):
                continue  # belongs to the pristine prefix's own server
            path = os.path.join(root, name)
            out = os.path.join(target, name)
            if os.path.islink(path):
                os.symlink(os.readlink(path), out)
            elif name.endswith(".reg"):
                shutil.copy2(path, out)
            else:
                os.link(path, out)


# ---- console ----

_CSI = re.compile(r"\x1b\[([0-9;?]*)([@-~])")


class ConsoleDecodeError(Exception):
    pass


def decode_console(raw, columns=CONSOLE_COLUMNS):
    """Turns what Wine's console wrote to the terminal back into the program's bytes.

    Wine draws every character between cursor hide/show sequences, writes blanks and tabs
    as erase + cursor-right, ends a line written as "\\n" with CR CR LF and one written as
    "\\r\\n" with CR CR CR LF, breaks lines at the terminal width and encodes code page 437
    as UTF-8. Tabs come back as blanks.
    """
    text = raw.decode("utf-8", errors="replace")
    if text.startswith("Script started on"):
        text = text[text.find("\n") + 1 :]
    done = text.rfind("\nScript done on")
    if done >= 0:
        text = text[:done]
    out = []
    col = 0
    i = 0
    n = len(text)
    while i < n:
        c = text[i]
        if c == "\x1b":
            m = _CSI.match(text, i)
            if not m:
                raise ConsoleDecodeError(f"broken escape sequence at {i}: {text[i:i + 12]!r}")
            params, final = m.groups()
            if final == "C":
                count = int(params or "1")
                out.append(" " * count)
                col += count
            elif final not in "hlK":
                raise ConsoleDecodeError(f"unexpected escape sequence {m.group(0)!r} at {i}")
            i = m.end()
            continue
        if c == "\r":
            j = i
            while j < n and text[j] == "\r":
                j += 1
            if j < n and text[j] == "\n":
                crs = j - i
                if not (crs == 2 and col == columns):  # not a break at the terminal's width
                    out.append("\r" * max(crs - 2, 0) + "\n")
                col = 0
                i = j + 1
                continue
            out.append("\r" * (j - i))
            col = 0
            i = j
            continue
        if c == "\n":
            col = 0
        else:
            col += 1
        out.append(c)
        i += 1
    return "".join(out).encode("cp437", errors="replace")


# ---- driver ----


def _unescape(field):
    return re.sub(r"\\(.)", lambda m: {"t": "\t", "r": "\r", "n": "\n"}.get(m.group(1), m.group(1)),
                  field)


def _escape(field):
    return (str(field).replace("\\", "\\\\").replace("\t", "\\t").replace("\r", "\\r")
            .replace("\n", "\\n"))


class Driver:
    """lrx_driver.exe in serve mode: one command per line, answers closed by =ok / =error."""

    def __init__(self, env, cwd, log_path):
        self._log = open(log_path, "ab")
        self.proc = subprocess.Popen([wine(), driver_path(), "serve"], env=env, cwd=cwd,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=self._log, start_new_session=True)
        self._buf = b""

    def _line(self, deadline):
        fd = self.proc.stdout.fileno()
        while b"\n" not in self._buf:
            left = deadline - time.monotonic()
            if left <= 0:
                raise DriverError("driver did not answer in time")
            ready, _, _ = select.select([fd], [], [], left)
            if ready:
                chunk = os.read(fd, 65536)
                if not chunk:
                    raise DriverError(f"driver ended (exit code {self.proc.poll()})")
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
                raise DriverError(f"{' '.join(map(str, args))}: {_unescape(line[7:])}")
            records.append([_unescape(f) for f in line.split("\t")])

    def close(self):
        try:
            self.proc.stdin.close()
            self.proc.wait(timeout=10)
        except (OSError, subprocess.TimeoutExpired):
            pass
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()
        self._log.close()


# ---- device simulator ----

_TRACE = re.compile(r"^ *(\d+\.\d{3}) (dev>PC|PC>dev) +(\d+)  (.*)$")


def _untrace(text):
    """The bytes of one trace line: \\r, \\n and \\xNN stand for themselves."""
    out = bytearray()
    i = 0
    while i < len(text):
        c = text[i]
        if c == "\\" and text[i + 1 : i + 2] in ("r", "n"):
            out += b"\r" if text[i + 1] == "r" else b"\n"
            i += 2
        elif c == "\\" and text[i + 1 : i + 2] == "x":
            out.append(int(text[i + 2 : i + 4], 16))
            i += 4
        else:
            out += c.encode("latin-1")
            i += 1
    return bytes(out)


class Simulator:
    """lumrax-sim behind a pty linked as the prefix's COM15, tracing every byte it sees."""

    def __init__(self, sandbox, options=()):
        self.link = os.path.join(sandbox.prefix, "dosdevices", "com15")
        index = 1
        while os.path.exists(os.path.join(sandbox.dir, f"sim{index}.trace")):
            index += 1
        self.trace_path = os.path.join(sandbox.dir, f"sim{index}.trace")
        self._out = open(self.trace_path, "wb")
        self.proc = subprocess.Popen([sim_path(), "--trace", "--link", self.link, *options],
                                     stdin=subprocess.DEVNULL, stdout=self._out,
                                     stderr=subprocess.STDOUT, start_new_session=True)
        self.slave = None

        def banner():
            if self.proc.poll() is not None:
                raise HarnessError(f"lumrax-sim ended at once:\n{self._text()}")
            return re.search(r"^lumrax-sim: device on (\S+)", self._text(), re.M)

        try:
            self.slave = wait_until(banner, 20, "the simulator's pty").group(1)
            if os.path.realpath(self.link) != self.slave:
                raise HarnessError(f"{self.link} does not lead to {self.slave}")
        except BaseException:
            self.stop()
            raise

    def _text(self):
        try:
            with open(self.trace_path, "rb") as f:
                data = f.read()
        except OSError:
            return ""
        # Only whole lines: the simulator may be writing the last one.
        return data[: data.rfind(b"\n") + 1].decode("latin-1")

    def lines(self):
        return self._text().splitlines()

    def traffic(self):
        """Every traced chunk so far: (seconds since start, "PC>dev" or "dev>PC", bytes)."""
        out = []
        for line in self.lines():
            m = _TRACE.match(line)
            if not m:
                continue
            data = _untrace(m.group(4))
            if len(data) != int(m.group(3)):
                raise HarnessError(f"trace line of {m.group(3)} bytes holds {len(data)}: {line!r}")
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
        found = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit() or int(entry) == self.proc.pid:
                continue
            try:
                if os.stat(f"/proc/{entry}").st_uid != os.getuid():
                    continue
                fds = os.listdir(f"/proc/{entry}/fd")
            except OSError:
                continue
            for fd in fds:
                try:
                    if os.readlink(f"/proc/{entry}/fd/{fd}") == self.slave:
                        found.append(int(entry))
                        break
                except OSError:
                    pass
        return found

    def power_cycle(self, timeout=10):
        """Switches the device off and on: it starts again with its settings from EEPROM."""
        before = self._text().count("lumrax-sim: power cycled")
        self.proc.send_signal(signal.SIGUSR1)
        wait_until(lambda: self._text().count("lumrax-sim: power cycled") > before, timeout,
                   "the simulator's power cycle")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if not self._out.closed:
            self._out.close()


# ---- sandbox ----

_sandboxes = set()


def _close_all():
    for s in list(_sandboxes):
        s.close()


def _terminated(signum, _frame):
    _close_all()
    sys.exit(128 + signum)


# A test stopped from outside (time-out, Ctrl+C) still stops what it started.
atexit.register(_close_all)
signal.signal(signal.SIGTERM, _terminated)
signal.signal(signal.SIGHUP, _terminated)


class Sandbox:
    """One test's own prefix clone, display, working folder and program runs."""

    def __init__(self, name):
        self.dir = os.path.join(runs_root(), re.sub(r"[^A-Za-z0-9_.-]", "_", name))
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        self.prefix = os.path.join(self.dir, "prefix")
        self.work = os.path.join(self.dir, "work")
        os.makedirs(self.work)
        self.display = None
        self.env = None
        self._xvfb = None
        self._app = None
        self._driver = None
        self._runs = 0
        self.capture = None
        self._sims = []

    # Windows path of a folder as the program sees it (drive Z: is the Unix root).
    @staticmethod
    def windows_path(path):
        return "Z:" + os.path.realpath(path).replace("/", "\\")

    def __enter__(self):
        _sandboxes.add(self)
        try:
            check_programs()
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
        return self

    def __exit__(self, *exc):
        self.close()

    def _start_xvfb(self):
        r, w = os.pipe()
        log = open(os.path.join(self.dir, "xvfb.log"), "wb")
        try:
            self._xvfb = subprocess.Popen(
                ["Xvfb", "-displayfd", str(w), "-screen", "0", SCREEN, "-nolisten", "tcp"],
                pass_fds=(w,), stdout=log, stderr=log, start_new_session=True)
        finally:
            os.close(w)
            log.close()
        number = b""
        deadline = time.monotonic() + 30
        while not number.endswith(b"\n"):
            left = deadline - time.monotonic()
            ready, _, _ = select.select([r], [], [], max(left, 0))
            chunk = os.read(r, 64) if ready else b""
            if not chunk:
                os.close(r)
                raise HarnessError("Xvfb did not start (see xvfb.log)")
            number += chunk
        os.close(r)
        self.display = ":" + number.decode().strip()

    # -- the program --

    def start(self):
        """Starts the program in the working folder with its console captured."""
        if self._app is not None:
            raise HarnessError("the program is already running")
        self._runs += 1
        self.capture = os.path.join(self.dir, f"console{self._runs}.raw")
        command = (f"stty cols {CONSOLE_COLUMNS} rows 100; "
                   f"exec {shlex.quote(wine())} {shlex.quote(exe_path())}")
        # stdin stays an open pipe: script ends its child when its input ends.
        self._app = subprocess.Popen(
            ["script", "-q", "-f", "-e", "-c", command, self.capture], cwd=self.work,
            env=self.env, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, start_new_session=True)
        return self

    def _stop_app(self):
        """The program under script, should it still run after its server was stopped."""
        ours = descendants(self._app.pid)
        try:
            self._app.wait(timeout=10)
        except subprocess.TimeoutExpired:
            for pid in [self._app.pid] + ours:
                if process_alive(pid):
                    os.kill(pid, signal.SIGKILL)
            self._app.wait()
        self._app.stdin.close()
        self._app = None

    def simulator(self, *options):
        """Starts lumrax-sim as this prefix's COM15; it is stopped with the sandbox."""
        sim = Simulator(self, options)
        self._sims.append(sim)
        return sim

    def driver(self):
        if self._driver is None:
            self._driver = Driver(self.env, self.dir, os.path.join(self.dir, "driver.log"))
        return self._driver

    def call(self, *args, timeout=60):
        return self.driver().call(*args, timeout=timeout)

    # -- real input through the X server --

    def xdotool(self, *args):
        """Runs xdotool on this sandbox's display (keys and clicks as a user's reach Wine)."""
        done = subprocess.run(["xdotool", *map(str, args)], env=dict(os.environ, DISPLAY=self.display),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=30,
                              check=False)
        if done.returncode != 0:
            raise HarnessError(f"xdotool {' '.join(map(str, args))}: "
                               + done.stderr.decode(errors="replace"))
        return done.stdout.decode()

    def click_control(self, ctrl_id):
        """A mouse click in the middle of a page control, on the screen, as a user makes it."""
        records = {r[0]: r for r in self.call("window")}
        origin_x, origin_y = int(records["client"][1]), int(records["client"][2])
        page = records["page"]
        border = (int(page[6]) - int(page[8])) // 2  # the page's sunken edge
        (ctl,) = [r for r in self.call("list") if r[4] == str(ctrl_id)][:1]
        x = origin_x + int(page[4]) + border + int(ctl[5]) + int(ctl[7]) // 2
        y = origin_y + int(page[5]) + border + int(ctl[6]) + int(ctl[8]) // 2
        wid = self.xdotool("search", "--onlyvisible", "--name", "^LUM_RAX_COM$").split()[0]
        self.xdotool("windowfocus", "--sync", wid)
        self.xdotool("mousemove", "--sync", x, y, "click", "1")

    def wait_ready(self, timeout=60):
        """Waits for the main window to take messages and the banner to reach the console."""
        self.call("wait-window", int(timeout * 1000), timeout=timeout + 30)
        self.wait_console(b" - internal use only! -", timeout)

    def console(self):
        """The program's console output of the current (or last) run, as bytes."""
        if not self.capture or not os.path.exists(self.capture):
            return b""
        with open(self.capture, "rb") as f:
            return decode_console(f.read())

    def wait_console(self, needle, timeout=30):
        deadline = time.monotonic() + timeout
        while needle not in self.console():
            if time.monotonic() > deadline:
                raise HarnessError(f"console never showed {needle!r}; it holds:\n"
                                   + self.console().decode("latin-1"))
            time.sleep(0.05)

    def wait_exit(self, timeout=30):
        """Waits for the program to end; returns its exit code."""
        if self._app is None:
            raise HarnessError("the program is not running")
        try:
            code = self._app.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise HarnessError(f"the program did not end within {timeout} s") from None
        self._app.stdin.close()
        self._app = None
        with open(os.path.join(self.dir, f"console{self._runs}.txt"), "wb") as f:
            f.write(self.console())
        return code

    def _grab(self, crop, out):
        done = subprocess.run(["import", "-display", self.display, "-window", "root", "-crop",
                               crop, "+repage", "-strip", out], timeout=60,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=False)
        if done.returncode != 0:
            raise HarnessError("import failed: " + done.stderr.decode(errors="replace"))
        return done.stdout

    def screenshot(self, path, timeout=20):
        """Saves the main window to path (PNG) once its painting has settled."""
        main = next(r for r in self.call("window") if r[0] == "main")
        x, y, w, h = (int(v) for v in main[4:8])
        crop = f"{w}x{h}+{x}+{y}"
        os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
        # Painting goes on after the program takes messages: wait for two equal frames.
        deadline = time.monotonic() + timeout
        last = self._grab(crop, "rgb:-")
        while True:
            time.sleep(0.25)
            frame = self._grab(crop, "rgb:-")
            if frame == last or time.monotonic() > deadline:
                break
            last = frame
        self._grab(crop, path)

    def close(self):
        """Stops what this sandbox started: driver, program, Wine server, Xvfb."""
        _sandboxes.discard(self)
        if self._driver is not None:
            self._driver.close()
            self._driver = None
        if self.env is not None:
            stop_wineserver(self.prefix, self.env)
            self.env = None
        if self._app is not None:
            self._stop_app()
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
            deadline = time.monotonic() + 10
            while process_alive(self._xvfb.pid) and time.monotonic() < deadline:
                time.sleep(0.05)
            self._xvfb = None
        shutil.rmtree(self.prefix, ignore_errors=True)

    # -- the program's processes --

    def app_pid(self):
        """PID of the running program (Wine runs it as a process of its exe's name)."""
        name = os.path.basename(exe_path()).encode()
        for pid in descendants(self._app.pid):
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    if name in f.read():
                        return pid
            except OSError:
                pass
        raise HarnessError("the program's process was not found")

    def wine_pids(self):
        """PIDs of every living process of this sandbox's Wine prefix."""
        want = b"WINEPREFIX=" + self.prefix.encode() + b"\0"
        found = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit() or not process_alive(int(entry)):
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


def main(argv):
    if len(argv) == 3 and argv[1] == "make-prefix":
        make_pristine(os.path.abspath(argv[2]))
        return 0
    if len(argv) == 3 and argv[1] == "remove-prefix":
        remove_pristine(os.path.abspath(argv[2]))
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))


def show(data):
    """Console bytes made readable in a failure message: CR shown, LF kept."""
    return data.decode("latin-1").replace("\r", "\\r")


class SandboxTest(unittest.TestCase):
    """A test case whose sandboxes are closed however the test ends."""

    maxDiff = None

    def sandbox(self):
        s = Sandbox(self.id().split(".")[-1])
        s.__enter__()
        self.addCleanup(s.close)
        return s

    def assert_console_in_order(self, s, chunks):
        """Each chunk appears in the console, after the one before it."""
        console = s.console()
        at = 0
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
