"""Running the program under Wine, for scripts/run, scripts/bench and the
tests: the prefix, a private display, the program, and the bundled mirror.
Wine stays quiet unless PELMORA_WINEDEBUG says otherwise (err+all puts its
errors into build/wine-logs/NAME.stderr)."""

import getpass
import os
import select
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BUILD = ROOT / "build"
PROGRAM = BUILD / "win32" / "PelmoraDownloader.exe"
TABLE_TOOL = BUILD / "native" / "catalogue-table"
# The test suite runs the cases that mostly wait in extra lanes (1, 2, ...)
# beside the rest; lane 0 is everything else, scripts/run and scripts/bench.
LANE = int(os.environ.get("PELMORA_LANE") or 0)


def lane_folder(name, lane=LANE):
    """build/NAME, or build/NAME-laneN: lanes run at the same time, so each
    has its own prefix, work, fixture, log and screenshot folders."""
    return BUILD / (f"{name}-lane{lane}" if lane else name)


LOGS = lane_folder("wine-logs")
SCREENSHOTS = lane_folder("screenshots")

sys.path.insert(0, str(ROOT / "tools"))
import catalogue  # noqa: E402

CATALOGUE = {row.name: row for row in catalogue.read_catalogue(TABLE_TOOL)} \
    if TABLE_TOOL.exists() else {}


def wine_env(extra=None):
    env = dict(os.environ, WINEDEBUG=os.environ.get("PELMORA_WINEDEBUG", "-all"),
               WINEDLLOVERRIDES="mscoree,mshtml=")
    env.setdefault("WINEPREFIX", str(BUILD / "wineprefix"))
    # Wine's WININET takes a proxy from these as well as from Internet Options.
    for name in ("http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "no_proxy", "NO_PROXY"):
        env.pop(name, None)
    if LANE:  # its own copy, whichever prefix the suite was given
        env["WINEPREFIX"] = str(lane_folder("wineprefix"))
    env.update(extra or {})
    return env


PREFIX = Path(wine_env()["WINEPREFIX"])
DESKTOP = PREFIX / "drive_c" / "users" / (os.environ.get("USER") or getpass.getuser()) / "Desktop"
WIN_TEMP = PREFIX / "drive_c" / "windows" / "temp"


def wine(*args, **kw):
    return subprocess.run(["wine", *args], env=wine_env(), stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=600, **kw)


def ensure_prefix():
    """One 32-bit prefix; Managed=N drops Wine's 2 s wait on every hide when
    no window manager runs. Its Desktop is a real folder, not a link to $HOME,
    since the tests pick folders there."""
    if not (PREFIX / "system.reg").exists():
        with Xvfb(lend=True):
            subprocess.run(["wine", "wineboot", "-i"], env=wine_env({"WINEARCH": "win32"}),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
            wine("reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/d", "N", "/f",
                 check=True)
            stop_wineserver()
    if DESKTOP.is_symlink():
        DESKTOP.unlink()
        DESKTOP.mkdir()


def copy_prefix(lanes):
    """A fresh copy of the prefix for each lane, so nothing a run leaves in
    one reaches the next (nor Wine an interrupted run left in it). The copies
    (~600 MB each) run side by side: three take about as long as one here."""
    copies = [lane_folder("wineprefix", lane) for lane in lanes]
    for copy in copies:
        stop_wineserver(copy)
        shutil.rmtree(copy, ignore_errors=True)
    jobs = [subprocess.Popen(["cp", "-a", "--reflink=auto", str(PREFIX), str(copy)])
            for copy in copies]
    if any(job.wait() for job in jobs):
        raise RuntimeError("the Wine prefix could not be copied")


def stop_wineserver(prefix=None):
    """Ends the Wine processes of the prefix (by default ours). Wine opens
    sockets in the server, so one left from outside the test's network
    namespace would break every connection."""
    env = wine_env({"WINEPREFIX": str(prefix)} if prefix else None)
    subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], env=env, timeout=60)


def windows_path(path):
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


class Xvfb:
    """A private X display while in use (lend=True: only if there is none)."""

    def __init__(self, lend=False):
        self.proc = None if lend and os.environ.get("DISPLAY") else True
        self.old = os.environ.get("DISPLAY")

    def __enter__(self):
        if self.proc:
            r, w = os.pipe()
            self.proc = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "800x600x24",
                                          "-nolisten", "tcp"], pass_fds=(w,),
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                         start_new_session=True)
            os.close(w)
            # Read up to the newline: Xvfb writes it separately and dies if
            # the pipe is closed by then.
            number = b""
            while not number.endswith(b"\n"):
                chunk = os.read(r, 64) if select.select([r], [], [], 20)[0] else b""
                if not chunk:
                    raise RuntimeError("Xvfb did not start")
                number += chunk
            os.environ["DISPLAY"] = ":" + number.decode().strip()
            os.close(r)
        return self

    def __exit__(self, *exc):
        if self.proc:
            self.proc.terminate()
            self.proc.wait()
            os.environ.pop("DISPLAY")
            if self.old:
                os.environ["DISPLAY"] = self.old


def screenshot(name, shows=None, settle=3):
    """SCREENSHOTS/NAME.png: the screen once it has stopped changing.
    Windows calls a window visible before X maps it, and Wine paints it only
    after that, so a capture at once can show nothing, or what was there
    before. shows: the title of a window to wait for on screen first. Then
    two captures in a row must agree (for at most settle seconds: a
    progress window may never hold still that long)."""
    if shows:
        deadline = time.monotonic() + 20
        while not x_window_mapped(shows):
            if time.monotonic() > deadline:
                raise RuntimeError(f"X never showed the window {shows!r}")
            time.sleep(0.05)
    deadline = time.monotonic() + settle
    picture = capture_screen()
    while True:
        time.sleep(0.1)
        before, picture = picture, capture_screen()
        if picture == before or time.monotonic() > deadline:
            break
    SCREENSHOTS.mkdir(parents=True, exist_ok=True)
    subprocess.run(["convert", "ppm:-", str(SCREENSHOTS / f"{name}.png")], input=picture,
                   check=True)


def capture_screen():
    return subprocess.run(["import", "-silent", "-window", "root", "-depth", "8", "ppm:-"],
                          stdout=subprocess.PIPE, check=True).stdout


def x_window_mapped(title):
    found = subprocess.run(["xwininfo", "-name", title], stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL, text=True).stdout
    return "Map State: IsViewable" in found


class Program:
    """The program under Wine. windir="unset" or a folder starts it through
    the interpreter with WINDIR changed, since Wine sets its own for every
    process started from Linux; the exit code passes through."""

    def __init__(self, name, exe=PROGRAM, env=None, windir=None):
        LOGS.mkdir(parents=True, exist_ok=True)
        self.stdout_path = LOGS / f"{name}.stdout"
        command = ["wine", str(exe)]
        if windir is not None:
            value = "" if windir == "unset" else windows_path(windir)
            command = ["wine", "cmd", "/c", f'set WINDIR={value}&& start "" /wait {windows_path(exe)}']
        with open(self.stdout_path, "wb") as out, open(LOGS / f"{name}.stderr", "wb") as err:
            self.proc = subprocess.Popen(command, stdout=out, stderr=err,
                                         stdin=subprocess.DEVNULL, env=wine_env(env),
                                         start_new_session=True)

    def running(self):
        return self.proc.poll() is None

    def exit_code(self, timeout=60):
        """The code the program ended with; a program we had to kill fails
        the test (Wine would report 1 for it, like a real fatal exit)."""
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise AssertionError(f"the program still ran after {timeout} s")

    def stdout(self):
        return self.stdout_path.read_bytes().decode("cp1252").replace("\r\n", "\n")

    def kill(self):
        if self.running():
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.kill()


class Mirror:
    """tools/mirror on 127.0.0.1:80 (inside the test namespace both catalogue
    hosts resolve there); requests() reads its log."""

    def __init__(self, name, root, *options):
        LOGS.mkdir(parents=True, exist_ok=True)
        self.log = LOGS / f"{name}.mirror.log"
        self.ready = LOGS / f"{name}.ready"
        for stale in (self.log, self.ready):
            stale.unlink(missing_ok=True)
        self.proc = subprocess.Popen(
            [sys.executable, str(ROOT / "tools" / "mirror"), "--root", str(root), "--port", "80",
             "--table-tool", str(TABLE_TOOL), "--log", str(self.log), "--ready-file",
             str(self.ready), *options], stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 20
        while not self.ready.exists():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"the mirror did not start; see {self.log}")
            time.sleep(0.05)

    def requests(self):
        return [dict(zip(("host", "method", "path", "status", "bytes", "agent", "range", "ms",
                          "if-range"),
                         line.split("\t")))
                for line in self.log.read_text().splitlines() if not line.startswith("#")]

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.proc.terminate()
        self.proc.wait()


if __name__ == "__main__":
    ensure_prefix()  # scripts/lib.sh makes the prefix through here: one recipe
