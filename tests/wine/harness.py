"""Helpers for the Wine tests: an Xvfb display, the program running under
Wine, the pdtest.exe driver, screenshots, and a small test registry.

Typical use:

    import harness as h
    suite = h.Suite("window")

    @suite.case("main window", "the close box ends the program")
    def _():
        with h.Program("close") as prog:
            res = h.run_pdtest(["wait-main", "sync", "main", "close", "main"])
            res.expect_ok()
            h.expect_eq("exit status", "exit code 0", str(prog.wait()))

    sys.exit(suite.run())   # starts Xvfb, runs the cases, prints the summary

Everything runs under $WINEPREFIX (default /tmp/wp-pdtest, made on first
use) with WINEDEBUG=-all.
"""

import getpass
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import traceback
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
BUILD = ROOT / "build"
PROGRAM = Path(os.environ.get("PELMORA_EXE", BUILD / "win32" / "PelmoraDownloader.exe"))
PDTEST = Path(os.environ.get("PDTEST_EXE", BUILD / "win32" / "tests" / "wine" / "pdtest.exe"))
SCREENSHOTS = BUILD / "screenshots"
LOGS = BUILD / "wine-logs"
DEFAULT_PREFIX = "/tmp/wp-pdtest"


class TestFailure(AssertionError):
    """A check that did not hold; the message says what, expected and got."""


class DriverHang(TestFailure):
    """pdtest stopped answering without reporting a failed check. Seen once
    in many runs under QEMU-emulated Wine, inside a Wine call, never as a
    fault of the program; Suite.run retries such a case once and says so."""


# ------------------------------------------------------------------ wine --

def wine_env(extra=None):
    """The environment for a Wine process: ours plus Wine settings plus extra."""
    env = dict(os.environ)
    env.setdefault("WINEPREFIX", DEFAULT_PREFIX)
    env["WINEDEBUG"] = "-all"
    # No Mono/Gecko installer dialogs on a fresh prefix.
    env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    if extra:
        env.update({k: str(v) for k, v in extra.items()})
    return env


def ensure_prefix():
    """Create the prefix once: 32-bit, and with Wine managing its own windows
    (Managed=N), which drops a 2 s wait on every hide without a window manager.
    Wine links the Desktop to $HOME; the tests pick folders there, so the
    prefix gets a Desktop of its own instead of writing into the user's home."""
    prefix = Path(wine_env()["WINEPREFIX"])
    if not (prefix / "system.reg").exists():
        # wineboot fails without a display, so lend it one if there is none.
        display = None if os.environ.get("DISPLAY") else Xvfb()
        if display:
            display.start()
        try:
            env = wine_env({"WINEARCH": "win32"})
            subprocess.run(["wine", "wineboot", "-i"], env=env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=600, check=True)
            subprocess.run(["wine", "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v",
                            "Managed", "/d", "N", "/f"], env=env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=300, check=True)
            wait_wineserver(120)
        finally:
            if display:
                display.stop()
    desktop = desktop_folder()
    if desktop.is_symlink():
        desktop.unlink()
        desktop.mkdir()


def desktop_folder():
    """The prefix's Desktop, where the folder picker starts."""
    user = os.environ.get("USER") or getpass.getuser()
    return Path(wine_env()["WINEPREFIX"]) / "drive_c" / "users" / user / "Desktop"


def wait_wineserver(timeout=30):
    """Wait until every Wine process of the prefix has ended and the server
    is gone, so the next display starts clean. Gives up quietly on timeout."""
    try:
        subprocess.run(["wineserver", "-w"], env=wine_env(), timeout=timeout,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    except subprocess.TimeoutExpired:
        pass


def stop_wineserver():
    """End a wineserver left running for the prefix, for instance one started
    outside the private network namespace. Wine creates sockets in the server
    process, so such a server would make every connection of the program from
    its network, where the test mirror is not listening."""
    subprocess.run(["wineserver", "-k"], env=wine_env(), stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=60)
    wait_wineserver()


def windows_path(path):
    """A Linux path as the program sees it through drive Z:."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


# ------------------------------------------------------------------ xvfb --

class Xvfb:
    """An Xvfb server on a display it picks itself; sets DISPLAY while up."""

    def __init__(self, screen="800x600x24"):
        self.screen = screen
        self.proc = None
        self.display = None
        self._old_display = None

    def start(self, timeout=20):
        read_fd, write_fd = os.pipe()
        try:
            self.proc = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", self.screen, "-nolisten", "tcp"],
                pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                start_new_session=True)
        finally:
            os.close(write_fd)
        data = b""
        deadline = time.monotonic() + timeout
        try:
            while not data.endswith(b"\n"):
                left = deadline - time.monotonic()
                if left <= 0 or not select.select([read_fd], [], [], left)[0]:
                    raise RuntimeError("Xvfb did not report a display")
                chunk = os.read(read_fd, 64)
                if not chunk:
                    raise RuntimeError("Xvfb exited before reporting a display")
                data += chunk
        except Exception:
            self.stop()
            raise
        finally:
            os.close(read_fd)
        self.display = ":" + data.decode().strip()
        self._old_display = os.environ.get("DISPLAY")
        os.environ["DISPLAY"] = self.display
        return self

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None
        if self.display:
            if self._old_display is None:
                os.environ.pop("DISPLAY", None)
            else:
                os.environ["DISPLAY"] = self._old_display
            self.display = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def screenshot(path):
    """Save the whole screen as PNG; returns the path."""
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    subprocess.run(["import", "-window", "root", str(path)], check=True, timeout=60,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    return path


def png_size(path):
    """(width, height) from a PNG header, or None if it is no PNG."""
    with open(path, "rb") as f:
        head = f.read(24)
    if len(head) < 24 or head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        return None
    return int.from_bytes(head[16:20], "big"), int.from_bytes(head[20:24], "big")


def pixel(path, x, y):
    """(r, g, b) of one pixel of an image, 8 bits each."""
    out = subprocess.run(["convert", str(path), "-depth", "8", "-crop", f"1x1+{x}+{y}", "+repage",
                          "-format", "%[fx:int(255*r+.5)],%[fx:int(255*g+.5)],%[fx:int(255*b+.5)]",
                          "info:"], check=True, timeout=60, capture_output=True, text=True).stdout
    r, g, b = (int(v) for v in out.strip().split(","))
    return r, g, b


# --------------------------------------------------------------- program --

class ExitStatus:
    """How a process ended: an exit code, or killed (by us after a timeout,
    or by a signal). Wine turns a killed Windows process into exit code 1,
    so "killed" is tracked here, never inferred from the code."""

    def __init__(self, code=None, killed=False, reason=""):
        self.code = code
        self.killed = killed
        self.reason = reason

    def __str__(self):
        if self.killed:
            return f"killed ({self.reason})" if self.reason else "killed"
        return f"exit code {self.code}"

    def __repr__(self):
        return f"ExitStatus({self})"


def _end(proc, timeout):
    """Wait for proc; kill it by its pid after timeout. Returns ExitStatus."""
    try:
        rc = proc.wait(timeout)
    except subprocess.TimeoutExpired:
        try:
            os.kill(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        proc.wait()
        return ExitStatus(killed=True, reason=f"still running after {timeout:g} s")
    if rc < 0:
        return ExitStatus(killed=True, reason=f"signal {-rc}")
    return ExitStatus(code=rc)


class Program:
    """The program (or another .exe) under Wine in the background.

    stdout goes to build/wine-logs/NAME.stdout (stderr to NAME.stderr);
    env adds variables. As a context manager it kills the process on exit
    if it is still running, so a failed case leaves nothing behind."""

    def __init__(self, name, exe=PROGRAM, args=(), env=None, cwd=None):
        self.name = name
        self.exe = Path(exe)
        self.args = [str(a) for a in args]
        self.env = env or {}
        self.cwd = cwd
        self.stdout_path = LOGS / f"{name}.stdout"
        self.stderr_path = LOGS / f"{name}.stderr"
        self.proc = None
        self.status = None

    def start(self):
        if not self.exe.exists():
            raise TestFailure(f"{self.exe} does not exist; build it first")
        LOGS.mkdir(parents=True, exist_ok=True)
        with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
            self.proc = subprocess.Popen(["wine", str(self.exe), *self.args], stdout=out, stderr=err,
                                         stdin=subprocess.DEVNULL, env=wine_env(self.env),
                                         cwd=self.cwd, start_new_session=True)
        return self

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def wait(self, timeout=30):
        """ExitStatus once the program ends; killed if it outlives timeout."""
        if self.status is None:
            self.status = _end(self.proc, timeout)
        return self.status

    def kill(self):
        if self.running():
            self.status = _end(self.proc, 0)
        return self.status

    def stdout(self):
        return self.stdout_path.read_text(errors="replace") if self.stdout_path.exists() else ""

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.kill()


# ---------------------------------------------------------------- pdtest --

def pd_escape(text):
    """Text as a pdtest argument: \\ \" \\r \\n \\t and \\xHH escapes."""
    out = []
    for ch in text.encode("cp1252"):
        c = chr(ch)
        if c == "\\":
            out.append("\\\\")
        elif c == '"':
            out.append('\\"')
        elif c == "\r":
            out.append("\\r")
        elif c == "\n":
            out.append("\\n")
        elif c == "\t":
            out.append("\\t")
        elif ch < 0x20 or ch > 0x7E:
            out.append(f"\\x{ch:02X}")
        else:
            out.append(c)
    return "".join(out)


def pd_unescape(text):
    """The inverse of pd_escape, for texts pdtest prints."""
    out = bytearray()
    i = 0
    simple = {"\\": b"\\", '"': b'"', "r": b"\r", "n": b"\n", "t": b"\t"}
    while i < len(text):
        c = text[i]
        if c != "\\":
            out += c.encode("cp1252")
            i += 1
            continue
        nxt = text[i + 1]
        if nxt == "x":
            out.append(int(text[i + 2:i + 4], 16))
            i += 4
        else:
            out += simple[nxt]
            i += 2
    return out.decode("cp1252")


class PdtestResult:
    """What a pdtest run did: status, its printed lines, the FAIL line."""

    def __init__(self, steps, status, output, synced):
        self.steps = steps
        self.status = status
        self.output = output
        self.synced = synced
        self.lines = output.splitlines()

    @property
    def ok(self):
        return not self.status.killed and self.status.code == 0

    @property
    def failure(self):
        for line in self.lines:
            if line.startswith("FAIL "):
                return line
        return None

    def step_lines(self, step):
        return [line for line in self.lines if line.startswith(f"ok {step} ") or line == f"ok {step}"]

    def box_texts(self):
        """The full texts of the boxes matched by expect-box(-prefix), in order."""
        texts = []
        for line in self.lines:
            if line.startswith("ok expect-box"):
                m = re.search(r'text="((?:[^"\\]|\\.)*)"$', line)
                if m:
                    texts.append(pd_unescape(m.group(1)))
        return texts

    def expect_ok(self):
        if not self.ok:
            hung = self.status.killed and not self.failure
            raise (DriverHang if hung else TestFailure)(f"pdtest {str(self.status)}: {self.failure or 'no FAIL line'}\n"
                              f"  steps: {' '.join(self.steps)}\n  output:\n" +
                              "\n".join("    " + line for line in self.lines))
        return self


def run_pdtest(steps, timeout=120, env=None, on_sync=None):
    """Run pdtest.exe with steps (a list of argv words) and wait for it.

    Each "sync NAME" step is served here: on_sync(NAME) runs (default: a
    screenshot to build/screenshots/NAME.png), then pdtest goes on."""
    if not PDTEST.exists():
        raise TestFailure(f"{PDTEST} does not exist; build the pdtest target first")
    steps = [str(s) for s in steps]
    on_sync = on_sync or (lambda name: screenshot(SCREENSHOTS / f"{name}.png"))
    sync_dir = Path(tempfile.mkdtemp(prefix="pdsync-"))
    out_path = sync_dir / "pdtest.out"
    extra = dict(env or {})
    extra["PDTEST_SYNC_DIR"] = windows_path(sync_dir)
    synced = []
    try:
        with open(out_path, "wb") as out:
            proc = subprocess.Popen(["wine", str(PDTEST), *steps], stdout=out, stderr=subprocess.STDOUT,
                                    stdin=subprocess.DEVNULL, env=wine_env(extra), start_new_session=True)
        deadline = time.monotonic() + timeout
        while proc.poll() is None and time.monotonic() < deadline:
            for ready in sorted(sync_dir.glob("*.ready")):
                name = ready.name[:-len(".ready")]
                ready.unlink()
                on_sync(name)
                synced.append(name)
                (sync_dir / f"{name}.go").touch()
            time.sleep(0.02)
        status = _end(proc, max(0.0, deadline - time.monotonic()))
        output = out_path.read_bytes().decode("cp1252", errors="replace")
    finally:
        shutil.rmtree(sync_dir, ignore_errors=True)
    return PdtestResult(steps, status, output, synced)


# ---------------------------------------------------------------- checks --

def expect_eq(what, expected, got):
    if expected != got:
        raise TestFailure(f"{what}: expected {expected!r}, got {got!r}")


def expect_true(what, cond, detail=""):
    if not cond:
        raise TestFailure(f"{what}{': ' + detail if detail else ''}")


# -------------------------------------------------------------- registry --

class Suite:
    """Cases grouped by topic. run() brings up Xvfb, runs every case (or
    those whose "group: name" contains an argument), and ends with the line
    "N passed, N failed"; its return value is the exit status."""

    def __init__(self, name):
        self.name = name
        self.cases = []

    def case(self, group, name):
        def register(fn):
            self.cases.append((group, name, fn))
            return fn
        return register

    def run(self, argv=None):
        argv = sys.argv[1:] if argv is None else argv
        chosen = [c for c in self.cases if not argv or any(a in f"{c[0]}: {c[1]}" for a in argv)]
        passed = failed = 0
        started = time.monotonic()
        ensure_prefix()
        stop_wineserver()
        with Xvfb():
            try:
                group = None
                for g, name, fn in chosen:
                    if g != group:
                        group = g
                        print(f"[{g}]", flush=True)
                    t0 = time.monotonic()
                    try:
                        try:
                            fn()
                        except DriverHang as e:
                            lines = str(e).splitlines()
                            print(f"  retry {name}: the driver hung after: {lines[-1].strip()}",
                                  flush=True)
                            stop_wineserver()
                            fn()
                    except Exception as e:  # a case fails, the suite goes on
                        failed += 1
                        detail = str(e) if isinstance(e, TestFailure) else traceback.format_exc()
                        print(f"  FAIL {name} ({time.monotonic() - t0:.1f} s)", flush=True)
                        for line in detail.rstrip().splitlines():
                            print(f"       {line}", flush=True)
                    else:
                        passed += 1
                        print(f"  ok   {name} ({time.monotonic() - t0:.1f} s)", flush=True)
            finally:
                wait_wineserver()
        print(f"{self.name}: {time.monotonic() - started:.1f} s", flush=True)
        print(f"{passed} passed, {failed} failed", flush=True)
        return 0 if failed == 0 and passed > 0 else 1


if __name__ == "__main__":
    # scripts/lib.sh makes the prefix through here, so there is one recipe.
    if sys.argv[1:] == ["ensure-prefix"]:
        ensure_prefix()
