#!/usr/bin/env python3
"""The real program under Wine, used as a person would: its windows, message
boxes and folder picker, real requests to the bundled mirror on 127.0.0.1:80
(run inside scripts/in_namespace.sh, where both catalogue hosts resolve
there) and the stand-in extractor run by the real command interpreter."""

import shutil
import subprocess
import sys
import time
import zipfile
from contextlib import contextmanager, nullcontext

import harness as h
from harness import case, expect, until

EXTRACTOR, SEVENZIP, WINZIP = (h.CATALOGUE[n] for n in ("pkzip.exe", "7z920.zip", "winzip63.zip"))
PKZIP = h.BUILD / "win32" / "tools" / "pkzip" / "pkzip.exe"
WORK = h.lane_folder("wine-work")
TARGET = "Target Dir"  # a space, so the quoting matters
PERCENT = "50%OS%off"  # the interpreter would expand %OS%
TARGET_WIN = "C:\\users\\%s\\Desktop\\%s" % (h.DESKTOP.parent.name, TARGET)
FACE = [212, 208, 200]
STATUS_ID, CANCEL_ID = 3, 2  # the progress window's status line and "Cancel"
SEVENZIP_MEMBERS = 6  # folders and files of the demo package
DAMAGED = ["7z920/docs/data/table.dat"]  # the member the damaged package breaks

START = ("Start Task", "It will now download and extract the specific file.\r\n Depending on "
         "the size of the file that can take up to a min.\r\n", "information")
SUCCESS = ("Task succesfull", "File downloaded and extracted successfully to: " + TARGET_WIN,
           "information")
MAIN_CONTROLS = [
    ("Static", "What do you want to download and extract?", 10, 10, 360, 30),
    ("Button", "RetroZilla", 5, 30, 70, 20), ("Button", "Winzip", 80, 30, 70, 20),
    ("Button", "Winrar", 155, 30, 70, 20), ("Button", "7zip", 5, 55, 70, 20),
    ("Button", "IE 5.5", 155, 55, 70, 20), ("Button", "Cancel", 80, 55, 70, 20),
    ("Button", "?", 230, 55, 20, 20)]
ABOUT_START = ("This is a basic program to download and extract necesary applications for users "
               "who dont have a tool to extract zip files. This is made for operating systems "
               "like Windows 95 to 2000.\r\n\r\nHow does it work?\r\n")

MADE = {}


def fixtures(name, *extra):
    """A mirror folder, made once per run so it holds the pkzip.exe just built."""
    if name not in MADE:
        MADE[name] = h.lane_folder(f"wine-fixtures-{name}")
        shutil.rmtree(MADE[name], ignore_errors=True)
        subprocess.run([sys.executable, str(h.ROOT / "tools" / "make_fixtures.py"), "--out",
                        str(MADE[name]), "--pkzip", str(PKZIP), "--table-tool", str(h.TABLE_TOOL),
                        *extra], check=True, stdout=subprocess.DEVNULL)
    return MADE[name]


def fresh():
    """No earlier download in the temp folder; an empty target on the Desktop."""
    for name in h.CATALOGUE:
        (h.WIN_TEMP / name).unlink(missing_ok=True)
    shutil.rmtree(h.DESKTOP, ignore_errors=True)
    (h.DESKTOP / TARGET).mkdir(parents=True)
    (h.DESKTOP / PERCENT).mkdir()
    shutil.rmtree(WORK, ignore_errors=True)
    WORK.mkdir(parents=True)


def program(name, env=None, **kw):
    """The program; the extractor it runs appends its command line to a log."""
    return h.Program(name, env=dict(env or {}, PELMORA_PKZIP_LOG=h.windows_path(WORK / "pkzip.log")),
                     **kw)


def extractor_runs():
    log = WORK / "pkzip.log"
    return log.read_text().splitlines() if log.exists() else []


def start_request(s, row, folder):
    """Press a package button, answer the picker and the notice."""
    s.click(row.command_id)
    s.pick(folder)
    s.press(s.expect_box(*START), 1)


def expect_requests(mirror, *rows):
    got = mirror.requests()
    expect("requests", [(r.host, r.path) for r in rows], [(q["host"], q["path"]) for q in got])
    expect("methods and agents", [("GET", "Pelmora Downloader")] * len(got),
           [(q["method"], q["agent"]) for q in got])


def expect_extracted(root, row, gone=()):
    """Every file of the served archive is in the target, byte for byte,
    but those gone."""
    with zipfile.ZipFile(root / row.path.lstrip("/")) as z:
        for info in (i for i in z.infolist() if not i.is_dir()):
            target = h.DESKTOP / TARGET / info.filename
            expect(f"extracted {info.filename}", None if info.filename in gone else z.read(info),
                   target.read_bytes() if target.is_file() else None)


def expect_bar_full(s):
    bar = s.children(s.find("progress"))[0]
    top = s.ask("send", bar["hwnd"], h.PBM_GETRANGE, 0, 0)["result"]
    expect("progress bar at the top of its range", top, s.ask("send", bar["hwnd"], h.PBM_GETPOS, 0, 0)["result"])


def close_main(s, prog):
    s.expect_no_box()
    s.expect_shown("main")
    s.post(s.find("main"), h.WM_CLOSE)
    expect("exit code", 0, prog.exit_code())


# --------------------------------------------------------------- windows --

@case("main window", "its controls and colours; the close box ends with exit code 0")
def main_window(s):
    with program("main") as prog:
        main = until("the main window with its controls",
                     lambda: (w := s.find("main")) and len(s.children(w)) == 8 and w)
        expect("main window", ("Pelmora Downloader", 100, 100, 260, 105),
               (main["text"], main["x"], main["y"], main["w"], main["h"]))
        expect("controls", MAIN_CONTROLS, [(c["class"], c["text"], c["x"], c["y"], c["w"], c["h"])
                                           for c in s.children(main)])
        h.screenshot("main")
        # Left of the label: the class background; right of its text: the label's own.
        expect("window and label colour", [FACE, FACE],
               [s.ask("pixel", main["cx"] + 5, main["cy"] + 5),
                s.ask("pixel", main["cx"] + 245, main["cy"] + 27)])
        s.post(main, h.WM_CLOSE)
        expect("exit code", 0, prog.exit_code())


@case("main window", "\"Cancel\" ends the program with exit code 0")
def cancel_button(s):
    with program("cancel") as prog:
        s.click(6)
        expect("exit code", 0, prog.exit_code())


@case("about window", "\"?\" shows, hides and shows About; closing it ends with exit code 0")
def about_window(s):
    with program("about") as prog:
        s.expect_shown("main")
        expect("About before any press", None, s.find("about", visible=None))
        for shown in (True, False, True):
            s.click(7)
            s.expect_shown("about", shown)
            s.expect_shown("main")
        about = s.find("about")
        text = s.children(about)[0]["text"]
        expect("About window and its close box", (200, 200, 400, 200, 0),
               (about["x"], about["y"], about["w"], about["h"], about["style"] & h.WS_SYSMENU))
        expect("About text", ABOUT_START, text[:len(ABOUT_START)])
        expect("credit and site lines", True, "\r\n\r\nMade by: " in text and "\r\nSite: " in text)
        s.post(about, h.WM_CLOSE)
        expect("exit code", 0, prog.exit_code())


# -------------------------------------------------------------- requests --

@case("requests", "\"7zip\" end to end, then \"Winzip\" from inside its success box with the "
      "picker cancelled")
def full_request(s):
    fresh()
    root = fixtures("good")
    # Throttled, so the transfer is still running when the progress window is
    # checked; a slow extractor, so that the window can be seen while it runs.
    with h.Mirror("full", root, "--rate", "150000") as mirror, \
            program("full", env={"PELMORA_PKZIP_DELAY": "3"}) as prog:
        start_request(s, SEVENZIP, TARGET)
        progress = until("the progress window", lambda: s.find("progress"))
        bar = s.children(progress)[0]
        expect("progress window, its close box and bar",
               [(100, 100, 400, 130, 0), ("msctls_progress32", 20, 15, 360, 20)],
               [(progress["x"], progress["y"], progress["w"], progress["h"],
                 progress["style"] & h.WS_SYSMENU), (bar["class"], bar["x"], bar["y"], bar["w"], bar["h"])])
        h.screenshot("progress")
        def status():
            return s.child(progress, STATUS_ID)["text"]
        progress = until("the extraction under way", lambda: (w := s.find("progress")) and s.child(
            w, STATUS_ID)["text"].startswith("Extracting") and w, timeout=30)
        expect("status while extracting, and Cancel", ("Extracting 7z920.zip into %s..." % TARGET_WIN,
               h.WS_DISABLED), (status(), s.child(progress, CANCEL_ID)["style"] & h.WS_DISABLED))
        h.screenshot("extracting")
        for way in WAYS_OUT.values():  # nothing left to cancel: none of them may end anything
            way(s, progress)
        first = s.expect_box(*SUCCESS)
        size = (root / SEVENZIP.path.lstrip("/")).stat().st_size
        expect("status beside the success box", "7z920.zip: %d KB, done" % -(-size // 1024),
               status())
        expect_bar_full(s)
        s.expect_shown("main")
        h.screenshot("success")
        start_request(s, WINZIP, None)
        s.press(s.expect_box(*SUCCESS, besides=[first]), 1)
        s.press(first, 1)
        s.expect_shown("progress", False)
        close_main(s, prog)
    expect_requests(mirror, EXTRACTOR, SEVENZIP, EXTRACTOR, WINZIP)
    expect("standard output", "Extract path selected: %s\n" % TARGET_WIN, prog.stdout())
    expect_extracted(root, SEVENZIP)
    expect_extracted(root, WINZIP)
    expect("extractor command lines",
           ['-extract C:\\windows\\TEMP\\%s "%s"' % (r.name, TARGET_WIN) for r in (SEVENZIP, WINZIP)],
           [line[line.index("-extract"):] for line in extractor_runs()])
    expect("downloads kept", [True] * 3, [(h.WIN_TEMP / r.name).is_file()
                                          for r in (EXTRACTOR, SEVENZIP, WINZIP)])


@case("requests", "a first request with the picker cancelled fetches nothing; a choice with no "
      "file-system path keeps the earlier folder; a folder with % is refused")
def picker_choices(s):
    fresh()
    root = fixtures("good")
    with h.Mirror("picker", root) as mirror, program("picker") as prog:
        s.click(1)
        s.pick(None)
        s.press(s.expect_box("Error", "Extract path not selected. Please select an extract path "
                             "before downloading.", "error"), 1)
        s.expect_shown("main")
        expect("requests after the cancelled pick", [], mirror.requests())
        start_request(s, SEVENZIP, TARGET)
        s.press(s.expect_box(*SUCCESS), 1)
        # "My Computer" is no folder on disk, so it has no path.
        start_request(s, WINZIP, "My Computer")
        s.press(s.expect_box(*SUCCESS), 1)
        s.click(WINZIP.command_id)
        s.pick(PERCENT)
        s.press(s.expect_box("Error", "The folder %s\\%s has a %% in its name, which the command "
                             "interpreter would change" % (TARGET_WIN.rsplit("\\", 1)[0], PERCENT),
                             "error", prefix=True), 1)
        close_main(s, prog)
    expect_requests(mirror, EXTRACTOR, SEVENZIP, EXTRACTOR, WINZIP)
    expect("standard output", "Extract path selected: %s\n" % TARGET_WIN, prog.stdout())
    expect_extracted(root, WINZIP)


def program_windows(s, pid):
    return sum(1 + len(s.children(w)) for w in s.windows() if w["pid"] == pid)


@case("requests", "five requests leave no more windows behind than one")
def no_window_left(s):
    fresh()
    with h.Mirror("windows-left", fixtures("good")), program("windows-left") as prog:
        counts = []
        for i in range(5):
            start_request(s, SEVENZIP, None if i else TARGET)  # then the same folder again
            s.press(s.expect_box(*SUCCESS), 1)
            until("no progress window, shown or hidden", lambda: not s.find("progress", visible=None))
            counts.append(program_windows(s, s.find("main")["pid"]))
        expect("the program's windows after one request and after five", counts[0], counts[-1])
        close_main(s, prog)


@case("requests", "a server without Content-Length still succeeds, the bar full")
def no_content_length(s):
    fresh()
    root = fixtures("good")
    with h.Mirror("no-length", root, "--fault", "no-length"), program("no-length") as prog:
        start_request(s, SEVENZIP, TARGET)
        box = s.expect_box(*SUCCESS)
        expect_bar_full(s)
        s.press(box, 1)
        close_main(s, prog)
    expect_extracted(root, SEVENZIP)


# -------------------------------------------------------------- failures --

def fault(kind, row, *more):
    return ["--allow-bad-sums", "--fault", kind, "--fault-path", row.path, *more]


def checksum_failed(cause=""):
    return ("Failed.", "Checksum Failed" + ("\r\n\r\n" + cause if cause else ""), "warning")


SILENCE = "Nothing arrived from the server for 30 seconds."
# Each row: how the mirror serves (None: no server), how the program runs,
# the one box it shows (how long it may take; waits: how long it mostly
# idles, so it runs in a lane of its own), its exit code (0: it keeps
# running, the main window back), what was requested, and files that must
# not be left in the temp folder. Nothing may be extracted.
FAILURES = {
    "no server": dict(
        mirror=None, box=("Error", "Failed to open URL: %s\r\n\r\nError code: " % EXTRACTOR.url,
                          "error", True), absent=[EXTRACTOR]),
    "a corrupt extractor": dict(
        mirror=fault("corrupt", EXTRACTOR), box=checksum_failed(), requested=[EXTRACTOR],
        absent=[EXTRACTOR]),
    "an error page instead of the package": dict(
        mirror=fault("error", SEVENZIP), box=checksum_failed("The server answered 404 Not Found."),
        requested=[EXTRACTOR, SEVENZIP], absent=[SEVENZIP]),
    "empty replies": dict(
        mirror=fault("empty", SEVENZIP), requested=[EXTRACTOR] + [SEVENZIP] * 3, absent=[SEVENZIP],
        box=checksum_failed("The connection was lost after 0 bytes (3 attempts).")),
    "a server silent before its answer": dict(
        mirror=fault("stall", SEVENZIP), box=checksum_failed(SILENCE), wait=150, waits=90,
        requested=[EXTRACTOR] + [SEVENZIP] * 3, absent=[SEVENZIP]),
    "a server that goes silent mid-body": dict(
        mirror=fault("stall-body", SEVENZIP), box=checksum_failed(SILENCE), wait=180, waits=120,
        requested=[EXTRACTOR] + [SEVENZIP] * 4, absent=[SEVENZIP]),
    "a full temp folder": dict(
        tmpfs="512k", requested=[EXTRACTOR, SEVENZIP], absent=[SEVENZIP], box=checksum_failed(
            "The file could not be written to C:\\windows\\TEMP\\7z920.zip: the disk is full.")),
    "a Windows folder without TEMP": dict(
        launch={"windir": WORK / "windows"}, requested=[EXTRACTOR],
        box=("Error", "Failed to open the output file for writing", "error")),
    "no Internet client": dict(
        launch="no-internet", code=0, absent=[EXTRACTOR],
        box=("Error", "The Internet connection could not be set up, so pkzip.exe was not "
             "downloaded.", "error")),
    "WINDIR unset": dict(
        launch={"windir": "unset"}, code=0, absent=[EXTRACTOR],
        box=("Error", "The WINDIR environment variable is not set", "error", True)),
}


@contextmanager
def small_temp(size):
    """A small file system over the temp folder, in the test's own mount namespace."""
    if size:
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=" + size, "tmpfs", str(h.WIN_TEMP)],
                       check=True)
    try:
        yield
    finally:
        if size:
            subprocess.run(["umount", str(h.WIN_TEMP)], check=True)


def failure_case(s, name, box, mirror=(), launch=None, code=1, requested=(), absent=(), wait=20,
                 tmpfs=None):
    fresh()
    (WORK / "windows").mkdir()
    root = fixtures("good")
    how = launch or {}
    if launch == "no-internet":
        # A copy of the program beside a wininet.dll whose InternetOpenA fails.
        shutil.copy(h.PROGRAM, WORK)
        shutil.copy(h.INSPECTOR.parent / "no-internet" / "wininet.dll", WORK)
        how = dict(exe=WORK / h.PROGRAM.name, env={"WINEDLLOVERRIDES": "mscoree,mshtml=;wininet=n"})
    log_name = name.replace(" ", "-")
    with small_temp(tmpfs), \
            h.Mirror(log_name, root, *mirror) if mirror is not None else nullcontext() as server, \
            program(log_name, **how) as prog:
        start_request(s, SEVENZIP, TARGET)
        shown = s.expect_box(*box, timeout=wait)
        s.press(shown, 1)
        if code:
            expect("exit code", code, prog.exit_code())
        else:
            s.expect_shown("progress", False)
            close_main(s, prog)
        expect("left in the temp folder", [],
               [r.name for r in absent if (h.WIN_TEMP / r.name).exists()])
    if server:
        expect_requests(server, *requested)
    expect("extractor runs", [], extractor_runs())
    expect("files in the target", [], list((h.DESKTOP / TARGET).iterdir()))
    if mirror is None:
        code_text = shown["text"].rsplit(": ", 1)[1]
        expect("error code in decimal", True, code_text.isdigit() and code_text[0] != "0")


for _name, _row in FAILURES.items():
    case("failures", _name, waits=_row.pop("waits", 0))(
        lambda s, n=_name, r=_row: failure_case(s, n, **r))


@case("failures", "a mirror that goes away mid-body: the bytes that came, 3 attempts")
def mirror_gone(s):
    fresh()
    with program("mirror-gone") as prog:
        with h.Mirror("mirror-gone", fixtures("good"), "--rate", "100000") as mirror:
            start_request(s, SEVENZIP, TARGET)
            until("part of the package", lambda: (p := s.find("progress")) and
                  s.child(p, STATUS_ID)["text"].startswith(SEVENZIP.name + ": 1"))
            mirror.proc.kill()  # gone at once, as a machine switched off
        text = s.expect_box(*checksum_failed("The connection was lost after "), prefix=True)["text"]
        size = (fixtures("good") / SEVENZIP.path.lstrip("/")).stat().st_size
        expect("the end of the message", " of %d bytes (3 attempts)." % size,
               text[text.rindex(" of "):])
        s.press(s.boxes()[0], 1)
        expect("exit code", 1, prog.exit_code())
    expect("left in the temp folder", False, (h.WIN_TEMP / SEVENZIP.name).exists())


# ----------------------------------------------------------- flaky lines --

# A line that misbehaves, then comes right: the package still arrives whole.
# Each row: the mirror's options, and the Range header and status of each
# request for the package after the first.
RECOVERIES = {
    "a reset mid-body is resumed with a Range request": dict(
        mirror=fault("reset", SEVENZIP, "--fault-count", "1"), resumed=[206]),
    "a server without Range support sends the file again": dict(
        mirror=fault("drop", SEVENZIP, "--fault-count", "1", "--no-range"), resumed=[200]),
    "a silent server that comes back is resumed after 30 s": dict(
        mirror=fault("stall-body", SEVENZIP, "--fault-count", "1"), resumed=[206], wait=60,
        waits=30),
    "a body cut short every time still arrives whole": dict(
        mirror=fault("drop", SEVENZIP), resumed=None),
}


def recovery_case(s, name, mirror, resumed, wait=20):
    fresh()
    root = fixtures("good")
    with h.Mirror(name.replace(" ", "-"), root, *mirror) as server, program("recovery") as prog:
        start_request(s, SEVENZIP, TARGET)
        s.press(s.expect_box(*SUCCESS, timeout=wait), 1)
        close_main(s, prog)
    asked = [r for r in server.requests() if r["path"] == SEVENZIP.path]
    sent = 0  # of the file, by the answers so far; a reset may lose some on the way
    for i, request in enumerate(asked):
        start = int(request["range"][6:-1]) if i else 0
        expect("Range of request %d" % i, "bytes=%d-" % start if i else "-", request["range"])
        expect("resumed within what was sent", True, 0 < start <= sent if i else True)
        sent = int(request["bytes"]) + (start if request["status"] == "206" else 0)
    if resumed:
        expect("statuses of the resumed requests", [str(x) for x in resumed],
               [r["status"] for r in asked[1:]])
    expect_extracted(root, SEVENZIP)


for _name, _row in RECOVERIES.items():
    case("flaky lines", _name, waits=_row.pop("waits", 0))(
        lambda s, n=_name, r=_row: recovery_case(s, n, **r))


# How each way out of a running download reaches the progress window.
WAYS_OUT = {"button": lambda s, w: s.post(s.child(w, CANCEL_ID), h.BM_CLICK),
            "Esc": lambda s, w: s.post(w, h.WM_KEYDOWN, h.VK_ESCAPE),
            "Alt+F4": lambda s, w: s.post(w, h.WM_SYSKEYDOWN, h.VK_F4, 1 << 29)}
# Each row: the mirror's options, the file being fetched when the user
# leaves, and how. The program must answer throughout and keep running.
CANCELS = {
    "Cancel during a slow extractor fetch: the package is never asked for": dict(
        mirror=["--rate", "100000"], row=EXTRACTOR, way="button"),
    "Esc during a stalled package body": dict(
        mirror=fault("stall-body", SEVENZIP), row=SEVENZIP, way="Esc"),
    "Alt+F4 on the progress window during a slow package": dict(
        mirror=["--rate", "100000"], row=SEVENZIP, way="Alt+F4"),
}


def cancel_case(s, name, mirror, row, way):
    fresh()
    with h.Mirror(name.split(":")[0].replace(" ", "-"), fixtures("good"), *mirror) as server, \
            program("cancel") as prog:
        start_request(s, SEVENZIP, TARGET)
        def fetching():
            window = s.find("progress")
            status = window and s.child(window, STATUS_ID)["text"]
            return status and status.startswith(row.name) and not status.endswith(": 0 KB") \
                and window
        window = until(f"part of {row.name} arriving", fetching)
        if row is SEVENZIP:
            time.sleep(1)  # well into the stall, or the slow body
        probes = [s.ask("send", window["hwnd"], h.WM_NULL, 0, 0) for _ in range(5)]
        expect("answers to WM_NULL within 1 s", [True] * 5,
               [p["ok"] and p["ms"] < 1000 for p in probes])
        h.screenshot("progress-" + way)
        started = time.monotonic()
        WAYS_OUT[way](s, window)
        s.expect_shown("main")
        # Well within a second here; the bound leaves room for an emulated
        # Wine, while a download that waited for its server would take 30 s.
        expect("the main window back at once", True, time.monotonic() - started < 3)
        s.expect_shown("progress", False)
        expect("partial file left", False, (h.WIN_TEMP / row.name).exists())
        expect("boxes after cancelling", [], s.boxes())
        close_main(s, prog)
    expect_requests(server, *([EXTRACTOR, SEVENZIP] if row is SEVENZIP else [EXTRACTOR]))


for _name, _row in CANCELS.items():
    case("cancelling", _name)(lambda s, n=_name, r=_row: cancel_case(s, n, **r))


# ----------------------------------------------------------- extractions --

def win98_program():
    """A copy of the program that Wine tells it runs on Windows 98; the
    setting is for this name only, so no other case can inherit it."""
    exe = h.lane_folder("wine-win98") / "Pelmora98.exe"
    exe.parent.mkdir(exist_ok=True)
    shutil.copy(h.PROGRAM, exe)
    h.wine("reg", "add", "HKCU\\Software\\Wine\\AppDefaults\\" + exe.name, "/v", "Version",
           "/d", "win98", "/f", check=True)
    return exe


def not_extracted(cause):
    return ("Error", cause + "\r\n\r\n7z920.zip was downloaded but could not be extracted to: "
            + TARGET_WIN, "error")


def missing(count, first, cause=""):
    return not_extracted(cause + "%d of %d files %s missing from %s, the first is %s." % (
        count, SEVENZIP_MEMBERS, "is" if count == 1 else "are", TARGET_WIN, first.replace("/", "\\")))


# Each row: the family the program is told it runs on (the 95 family runs
# command.com, which hands back no exit code), how the archive and the
# extractor behave, the box the request ends with and the members that must
# be missing from the target; every other member must be there, whatever
# failed.
EXTRACTIONS = {
    "Windows 98, through command.com": dict(win98=True, box=SUCCESS),
    "Windows 98 without command.com": dict(
        win98=True, interpreter=False, box=not_extracted("The extractor could not be started."),
        gone=None),
    "Windows 98, a damaged archive that matches its sum": dict(
        win98=True, damaged=True, box=missing(1, DAMAGED[0]), gone=DAMAGED),
    "Windows 2000, the same archive": dict(
        damaged=True, box=missing(1, DAMAGED[0], "The extractor failed (exit code 1). "),
        gone=DAMAGED),
    "an extractor that leaves a file out and exits 0": dict(
        skip="7z920/readme.txt", box=missing(1, "7z920/readme.txt"), gone=["7z920/readme.txt"]),
}


def extraction_case(s, name, box, win98=False, interpreter=True, damaged=False, skip=None,
                    gone=()):
    fresh()
    exe = win98_program() if win98 else h.PROGRAM
    command_com = h.PREFIX / "drive_c" / "windows" / "command.com"
    if interpreter:  # Wine's own, under the name only the 95 family uses
        shutil.copy(command_com.parent / "system32" / "cmd.exe", command_com)
    root = fixtures("damaged", "--damaged", SEVENZIP.name) if damaged else fixtures("good")
    try:
        with h.Mirror("extraction", root), \
                program("extraction", exe=exe, env={"PELMORA_PKZIP_SKIP": skip or ""}) as prog:
            start_request(s, SEVENZIP, TARGET)
            s.press(s.expect_box(*box), 1)
            close_main(s, prog)
    finally:
        command_com.unlink(missing_ok=True)
    if gone is not None:
        expect_extracted(root, SEVENZIP, gone)


for _name, _row in EXTRACTIONS.items():
    case("extractions", _name)(lambda s, n=_name, r=_row: extraction_case(s, n, **r))


if __name__ == "__main__":
    sys.exit(h.run(sys.argv[1:]))
