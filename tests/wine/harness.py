"""Screen, which looks at the program's windows and presses its buttons
through inspector.exe, and the runner of the Wine test cases. Every
expectation lives in the tests, as data."""

import json
import os
import select
import signal
import subprocess
import sys
import time
import traceback
from pathlib import Path

# The tests reach the program, the mirror and the prefix through here.
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "scripts"))
from winelib import *  # noqa: E402,F401,F403

INSPECTOR = BUILD / "win32" / "tests" / "wine" / "inspector.exe"

# Window messages the tests send.
WM_NULL, WM_CLOSE, WM_KEYDOWN, WM_SYSKEYDOWN = 0x0000, 0x0010, 0x0100, 0x0104
VK_ESCAPE, VK_F4 = 0x1B, 0x73
BM_CLICK, PBM_GETRANGE, PBM_GETPOS = 0x00F5, 0x0407, 0x0408
WS_SYSMENU, WS_DISABLED = 0x00080000, 0x08000000


class TestFailure(AssertionError):
    pass


def expect(what, expected, got):
    if expected != got:
        raise TestFailure(f"{what}: expected {expected!r}, got {got!r}")


def until(what, check, timeout=20, interval=0.05):
    """Polls check() until it gives something true and returns that."""
    deadline = time.monotonic() + timeout
    while True:
        got = check()
        if got:
            return got
        if time.monotonic() > deadline:
            raise TestFailure(f"waited {timeout} s for {what}; last saw {got!r}")
        time.sleep(interval)


STARTUP_WAIT = 60  # seconds a program may take to show its main window

KINDS = {"main": ("PelmoraDownloader", "Pelmora Downloader"),
         "progress": ("PelmoraProgress", "Progress"), "about": ("AboutWindow", "About")}
# The standard icons by their main colour: red, yellow and blue.
ICONS = {"error": lambda r, g, b: r - max(g, b) > 80, "warning": lambda r, g, b: min(r, g) - b > 80,
         "information": lambda r, g, b: b - r > 80}


class Screen:
    """The windows of the program, through one long-running inspector.exe."""

    def __init__(self):
        self.proc = subprocess.Popen(["wine", str(INSPECTOR)], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     env=wine_env(), start_new_session=True)
        self.pending = b""

    def ask(self, *words, timeout=30):
        self.proc.stdin.write((" ".join(str(w) for w in words) + "\n").encode())
        self.proc.stdin.flush()
        deadline = time.monotonic() + timeout
        while b"\n" not in self.pending:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.proc.stdout], [], [], left)[0]:
                raise TestFailure(f"the inspector did not answer {words}")
            chunk = os.read(self.proc.stdout.fileno(), 65536)
            if not chunk:
                raise TestFailure("the inspector ended")
            self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        return json.loads(line)

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(30)

    # -- looking
    def windows(self, cls=None, text=None, visible=None):
        return [w for w in self.ask("windows") if (cls is None or w["class"] == cls)
                and (text is None or w["text"] == text) and (visible is None or w["visible"] == visible)]

    def children(self, window):
        """A window that is gone, or was never there, has none."""
        return self.ask("children", window["hwnd"]) if window else []

    def find(self, kind, visible=True):
        found = self.windows(*KINDS[kind], visible=visible)
        return found[0] if found else None

    def expect_shown(self, kind, shown=True):
        until(f"the {kind} window {'shown' if shown else 'hidden'}",
              lambda: bool(self.find(kind)) == shown)

    def child(self, window, id):
        return next((c for c in self.children(window) if c["id"] == id), None)

    def boxes(self):
        """Visible message boxes: dialogs without the picker's folder tree."""
        out = []
        for d in self.windows("#32770", visible=True):
            kids = self.children(d)
            if not kids or any(k["class"] == "SysTreeView32" for k in kids):
                continue  # gone meanwhile, or the picker
            out.append(dict(d, caption=d["text"], kids=kids,
                            text=next((k["text"] for k in kids if k["id"] == 0xFFFF), None),
                            buttons=[k["text"] for k in kids if k["class"] == "Button" and k["visible"]]))
        return out

    def on_screen(self):
        """The texts of every visible window and its children, to tell why an
        awaited window never came."""
        return [[w["text"]] + [k["text"] for k in self.children(w) if k["visible"] and k["text"]]
                for w in self.windows(visible=True)]

    def icon(self, box):
        """Which standard icon a box shows, by the colour most of it has."""
        icon = next(k for k in box["kids"] if k["class"] == "Static" and k["w"] == k["h"] == 32)
        votes = dict.fromkeys(ICONS, 0)
        for dx in range(2, 32, 4):
            for dy in range(2, 32, 4):
                rgb = self.ask("pixel", box["cx"] + icon["x"] + dx, box["cy"] + icon["y"] + dy)
                for name, looks in ICONS.items():
                    votes[name] += looks(*rgb)
        best = max(votes, key=votes.get)
        return best if votes[best] else "none"

    # -- acting
    def post(self, window, message, wparam=0, lparam=0):
        return self.ask("post", window["hwnd"], message, wparam, lparam)["ok"]

    def click(self, id):
        # A lane's first program starts while the others boot their Wine
        # too; where Wine is emulated that alone can take half a minute.
        main = until("the main window", lambda: self.find("main"), timeout=STARTUP_WAIT)
        self.post(until(f"button {id}", lambda: self.child(main, id)), BM_CLICK)

    def expect_box(self, caption, text, icon, prefix=False, besides=(), timeout=20):
        """Waits for a box with this caption (not one of besides), checks it
        and returns it."""
        others = {b["hwnd"] for b in besides}
        try:
            box = until(f"a box {caption!r}", lambda: [b for b in self.boxes()
                                                      if b["caption"] == caption
                                                      and b["hwnd"] not in others], timeout)[0]
        except TestFailure as failure:
            raise TestFailure(f"{failure}; on screen: {self.on_screen()}") from None
        expect(f"text of {caption!r}", text, box["text"][:len(text)] if prefix else box["text"])
        expect(f"buttons of {caption!r}", ["OK"], box["buttons"])
        expect(f"icon of {caption!r}", icon, self.icon(box))
        return box

    def press(self, dialog, id):
        button = next((k for k in self.children(dialog) if k["id"] == id), None)
        if button:  # else the dialog is gone already
            self.post(button, BM_CLICK)
        until("the dialog to close", lambda: not [w for w in self.windows(visible=True)
                                                  if w["hwnd"] == dialog["hwnd"]])

    def expect_no_box(self):
        until("no message box", lambda: not self.boxes())

    def pick(self, name):
        """In the folder picker: Cancel (None), or a Desktop item by name
        ("a\\b" for b inside a), then OK."""
        dialog, tree = until("the folder picker", self.picker)
        if name is not None:
            item = 0  # the tree's root, the Desktop
            for part in name.split("\\"):
                item = until(f"{part!r} in the folder tree", lambda: [
                    i for i in self.ask("tree", tree["hwnd"], item) if i["text"] == part])[0]["item"]
            until(f"{name!r} selected", lambda: self.ask("select", tree["hwnd"], item)["ok"])
        self.press(dialog, 1 if name is not None else 2)

    def picker(self):
        for d in self.windows("#32770", visible=True):
            tree = [k for k in self.children(d) if k["class"] == "SysTreeView32"]
            if tree:
                return d, tree[0]
        return None


CASES = []


def case(group, name, waits=0):
    """waits: about how many seconds the case spends waiting on the
    program's own timers; such a case runs in a lane beside the others."""
    def register(fn):
        CASES.append((group, name, fn, waits))
        return fn
    return register


def title(c):
    return f"{c[0]}: {c[1]}"


def run(argv):
    """Runs the chosen cases (all, or those whose name holds an argument).
    Those that mostly wait are spread over up to PELMORA_LANES (3) extra
    lanes, longest first; the rest run here meanwhile. A lane is this
    program again with its exact cases, in its own namespaces and prefix."""
    if LANE:  # its parent shows and counts the lines it prints
        return 1 if run_cases([c for c in CASES if title(c) in argv])[1] else 0
    started = time.monotonic()
    chosen = [c for c in CASES if not argv or any(a in title(c) for a in argv)]
    lanes = [[] for _ in range(int(os.environ.get("PELMORA_LANES", 3)))]
    for c in sorted(chosen, key=lambda c: -c[3]):
        if c[3] and lanes:
            min(lanes, key=lambda lane: sum(x[3] for x in lane)).append(c)
    lanes = [lane for lane in lanes if lane]
    ensure_prefix()
    stop_wineserver()  # its registry written out before it is copied
    copy_prefix(range(1, len(lanes) + 1))
    running = [(n, cases, start_lane(n, cases), time.monotonic())
               for n, cases in enumerate(lanes, 1)]
    passed, failed = run_cases([c for c in chosen if not any(c in lane for lane in lanes)])
    for lane in running:
        p, f = finish_lane(*lane)
        passed, failed = passed + p, failed + f
    print(f"wine tests: {time.monotonic() - started:.1f} s")
    print(f"{passed} passed, {failed} failed")
    return 0 if passed and not failed else 1


def start_lane(lane, cases):
    out = lane_folder("wine-logs", lane) / "lane.out"
    out.parent.mkdir(parents=True, exist_ok=True)
    # The new mount namespace starts as a copy of ours, /etc/hosts included.
    with open(out, "w") as f:
        return subprocess.Popen(
            ["unshare", "-m", "-n", "sh", "-c", 'ip link set lo up && exec "$@"', "lane",
             sys.executable, os.path.abspath(sys.argv[0]), *map(title, cases)],
            stdout=f, stderr=subprocess.STDOUT, env=dict(os.environ, PELMORA_LANE=str(lane)))


def finish_lane(lane, cases, proc, started):
    """Shows what a lane printed. Each of its cases that it did not report as
    passed failed, so a lane that dies or hangs counts."""
    limit = 120 + 2 * sum(c[3] for c in cases)
    try:
        proc.wait(max(1, started + limit - time.monotonic()))
        why = f"ended with code {proc.returncode}"
    except subprocess.TimeoutExpired:
        why = f"still ran after {limit} s"
        proc.send_signal(signal.SIGINT)  # unwinds its program, mirror and display
        try:
            proc.wait(30)
        except subprocess.TimeoutExpired:
            proc.kill()
    stop_wineserver(lane_folder("wineprefix", lane))  # whatever Wine it left
    lines = (lane_folder("wine-logs", lane) / "lane.out").read_text().splitlines()
    print(f"lane {lane}:", *lines, sep="\n")
    passed = sum(line.startswith("  ok   ") for line in lines)
    reported = passed + sum(line.startswith("  FAIL ") for line in lines)
    if reported < len(cases):
        print(f"  FAIL lane {lane}: {why}, {len(cases) - reported} of its cases unreported")
    return passed, len(cases) - passed


def run_cases(chosen):
    """One case after another on one display and one inspector; after a
    failure Wine starts afresh."""
    passed = failed = 0
    stop_wineserver()
    with Xvfb():
        screen = Screen()
        for group, name, fn, _ in chosen:
            t0 = time.monotonic()
            try:
                fn(screen)
                passed += 1
                print(f"  ok   {group}: {name} ({time.monotonic() - t0:.1f} s)", flush=True)
            except Exception as e:
                failed += 1
                detail = str(e) if isinstance(e, TestFailure) else traceback.format_exc()
                print(f"  FAIL {group}: {name} ({time.monotonic() - t0:.1f} s)\n       " +
                      detail.rstrip().replace("\n", "\n       "), flush=True)
                screen.proc.kill()
                stop_wineserver()
                screen = Screen()
        screen.close()
        stop_wineserver()
    return passed, failed
