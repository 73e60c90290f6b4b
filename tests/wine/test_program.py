#!/usr/bin/env python3
"""The real program under Wine, used as a person would: its windows, message
boxes and folder picker, real requests to the bundled mirror on 127.0.0.1:80
(run inside scripts/in_namespace.sh, where both catalogue hosts resolve
there) and the stand-in extractor run by the real command interpreter."""

import re
import shutil
import socket
import subprocess
import sys
import time
import zipfile
from contextlib import contextmanager, nullcontext

import certificates
import harness as h
from harness import case, expect, until

EXTRACTOR, SEVENZIP, WINZIP = (h.CATALOGUE[n] for n in ("pkzip.exe", "7z920.zip", "winzip63.zip"))
PKZIP = h.BUILD / "win32" / "tools" / "pkzip" / "pkzip.exe"
WORK = h.lane_folder("wine-work")
TARGET = "Target Dir"  # a space, so the quoting matters
PERCENT = "50%OS%off"  # the interpreter would expand %OS%


def desktop_win(folder):
    return "C:\\users\\%s\\Desktop\\%s" % (h.DESKTOP.parent.name, folder)


TARGET_WIN = desktop_win(TARGET)
FACE = [212, 208, 200]
STATUS_ID, CANCEL_ID = 3, 2  # the progress window's status line and "Cancel"
SEVENZIP_MEMBERS = 6  # folders and files of the demo package
DAMAGED = ["7z920/docs/data/table.dat"]  # the member the damaged package breaks

START = ("Start Task", "It will now download and extract the specific file.\r\n Depending on "
         "the size of the file that can take up to a min.\r\n", "information")


def success(folder):
    return ("Task succesfull", "File downloaded and extracted successfully to: " +
            desktop_win(folder), "information")


SUCCESS = success(TARGET)
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


def clear_temp():
    for name in h.CATALOGUE:
        (h.WIN_TEMP / name).unlink(missing_ok=True)


def fresh():
    """No earlier download in the temp folder; an empty target on the Desktop."""
    clear_temp()
    shutil.rmtree(h.DESKTOP, ignore_errors=True)
    (h.DESKTOP / TARGET).mkdir(parents=True)
    (h.DESKTOP / PERCENT).mkdir()
    shutil.rmtree(WORK, ignore_errors=True)
    WORK.mkdir(parents=True)


def program_copy(name, version=None, without=()):
    """A copy of the program under a name of its own, for which Wine reports
    another Windows version or lacks DLLs (as a Windows 95 or NT 4.0 without
    Internet Explorer or TCP/IP); the settings are for that name only, so no
    other case can inherit them."""
    exe = h.lane_folder("wine-copies") / name
    exe.parent.mkdir(exist_ok=True)
    shutil.copy(h.PROGRAM, exe)
    key = "HKCU\\Software\\Wine\\AppDefaults\\" + name
    if version:
        h.wine("reg", "add", key, "/v", "Version", "/d", version, "/f", check=True)
    for dll in without:
        h.wine("reg", "add", key + "\\DllOverrides", "/v", dll, "/d", "", "/f", check=True)
    return exe


# How the program reaches its servers: WININET where Internet Explorer put
# it, its own HTTP over Winsock where not (as on an NT 4.0 without it).
# Cases of transfer behaviour run on both.
TRANSPORTS = {"WININET": lambda: h.PROGRAM,
              "Winsock": lambda: program_copy("PelmoraWinsock.exe", "nt40", without=["wininet"])}
# Each transport's own code for a server that kept silent.
TIMEOUT_CODES = {"WININET": "12002", "Winsock": "10060"}


def on_transports(group, table, run):
    """Registers run(s, name, **row) for every row; a row with both=True runs
    once on each transport, with its exe and the transport's name."""
    for name, row in table.items():
        waits = row.pop("waits", 0)
        for transport in TRANSPORTS if row.pop("both", False) else [None]:
            title = f"{name} ({transport})" if transport else name
            case(group, title, waits=waits)(
                lambda s, n=name, r=row, t=transport: run(s, n, transport=t, **r))


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


def expect_extracted(root, row, gone=(), folder=TARGET):
    """Every file of the served archive is in the folder on the Desktop,
    byte for byte, but those gone."""
    with zipfile.ZipFile(root / row.path.lstrip("/")) as z:
        for info in (i for i in z.infolist() if not i.is_dir()):
            target = h.DESKTOP / folder.replace("\\", "/") / info.filename
            expect(f"extracted {info.filename}", None if info.filename in gone else z.read(info),
                   target.read_bytes() if target.is_file() else None)


def expect_bar_full(s):
    bar = s.child(s.find("progress"), 0)
    expect("a progress window with its bar", True, bar is not None)
    top = s.ask("send", bar["hwnd"], h.PBM_GETRANGE, 0, 0)["result"]
    expect("progress bar at the top of its range", top, s.ask("send", bar["hwnd"], h.PBM_GETPOS, 0, 0)["result"])


def progress_status(s):
    """The status line, or "" once the window is gone."""
    status = s.child(s.find("progress"), STATUS_ID)
    return status["text"] if status else ""


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
                     lambda: (w := s.find("main")) and len(s.children(w)) == 8 and w,
                     timeout=h.STARTUP_WAIT)
        expect("main window", ("Pelmora Downloader", 100, 100, 260, 105),
               (main["text"], main["x"], main["y"], main["w"], main["h"]))
        expect("what Explorer's Properties tell of the file", {
            "ProductName": "Pelmora Downloader", "FileVersion": "1.0",
            "FileDescription": "Downloads and unpacks zip packages for Windows 95 to 2000"},
            s.ask("version", h.windows_path(h.PROGRAM)))
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
        until("the rate and the time left", lambda: re.fullmatch(
            r"7z920\.zip: \d+ KB of \d+ KB, \d+ KB/s, about \d+ s left", progress_status(s)))
        h.screenshot("progress")
        progress = until("the extraction under way", lambda: progress_status(s).startswith(
            "Extracting") and s.find("progress"), timeout=30)

        def status():
            return s.child(progress, STATUS_ID)["text"]
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
    # The second request finds the extractor verified in the temp folder.
    expect_requests(mirror, EXTRACTOR, SEVENZIP, WINZIP)
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
    expect_requests(mirror, EXTRACTOR, SEVENZIP, WINZIP)
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


def checksum_failed(cause="", prefix=False):
    return ("Failed.", "Checksum Failed" + ("\r\n\r\n" + cause if cause else ""), "warning", prefix)


def url_failed(row, code=None):
    """The box of a first request that no server answered; without a code,
    any decimal one; "timeout": the transport's code for silence."""
    return lambda transport: (
        "Error", "Failed to open URL: %s\r\n\r\nError code: %s" % (
            row.url, TIMEOUT_CODES[transport or "WININET"] if code == "timeout" else code or ""),
        "error", code is None)


SECURE = "https://mirror.pelmora.example" + SEVENZIP.path


LOST = "The connection was lost after "
# Each row: how the mirror serves (None: no server), how the program runs,
# the one box it shows (and how long it may take; waits: how long it mostly
# idles, so it runs in a lane of its own), its exit code (0: it keeps
# running, the main window back), what was requested (None: not checked),
# and files that must not be left in the temp folder. Nothing may be
# extracted.
FAILURES = {
    "no server": dict(mirror=None, box=url_failed(EXTRACTOR), absent=[EXTRACTOR], both=True),
    # 30 s by the program's clock; the bound leaves room for an emulated Wine.
    "a host that drops every packet: given up after 30 s": dict(
        mirror=["--fault", "blackhole"], box=url_failed(EXTRACTOR, "timeout"), wait=40, waits=35,
        absent=[EXTRACTOR]),
    "a server that never answers the first request: given up after 30 s": dict(
        mirror=fault("stall", SEVENZIP), box=url_failed(SEVENZIP, "timeout"), wait=40, waits=35,
        requested=[EXTRACTOR, SEVENZIP], absent=[SEVENZIP], both=True),
    "a server that closes without answering": dict(
        mirror=fault("empty", SEVENZIP), box=url_failed(SEVENZIP), requested=[EXTRACTOR, SEVENZIP],
        absent=[SEVENZIP]),
    "a redirect to https without WSOCK32, so without TLS of its own, where WININET fails the "
    "secure connection, says so and what works instead": dict(
        mirror=fault("redirect", SEVENZIP, "--redirect-to", SECURE), requested=[EXTRACTOR, SEVENZIP],
        absent=[SEVENZIP], launch="no-wsock32", box=(
            "Error", "Failed to open URL: %s\r\n\r\nThe server sent this request on to %s, a secure "
            "(https) address, " % (SEVENZIP.url, SECURE), "error", True)),
    "a redirect that leads back to itself is given up after 5": dict(
        mirror=fault("redirect", SEVENZIP, "--redirect-to", SEVENZIP.url),
        requested=[EXTRACTOR] + [SEVENZIP] * 6,
        absent=[SEVENZIP], both=True, box=checksum_failed(
            "The server sent the request on more than 5 times; the last address was %s." %
            SEVENZIP.url)),
    "a server that ignores Range and cuts at the same point every time: given up after 2 minutes":
        dict(mirror=fault("drop", SEVENZIP, "--no-range"), box=checksum_failed(LOST, prefix=True),
             wait=170, waits=125, took=(110, 160), requested=None, absent=[SEVENZIP], both=True),
    "a server that goes silent mid-body for good": dict(
        mirror=fault("stall-body", SEVENZIP), box=checksum_failed(LOST, prefix=True), wait=180,
        waits=140, requested=None, absent=[SEVENZIP]),
    "a corrupt extractor": dict(
        mirror=fault("corrupt", EXTRACTOR), box=checksum_failed(), requested=[EXTRACTOR],
        absent=[EXTRACTOR]),
    "a corrupt extractor without a length: fetched once more, in case a close cut it": dict(
        mirror=fault("corrupt", EXTRACTOR, "--no-length"), box=checksum_failed(),
        requested=[EXTRACTOR, EXTRACTOR], absent=[EXTRACTOR]),
    "an error page instead of the package": dict(
        mirror=fault("error", SEVENZIP), box=checksum_failed("The server answered 404 Not Found."),
        requested=[EXTRACTOR, SEVENZIP], absent=[SEVENZIP]),
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
    "neither WININET nor WSOCK32, and no copies at hand": dict(
        launch="no-dlls", code=0, absent=[EXTRACTOR],
        box=("Error", "The Internet connection could not be set up, so pkzip.exe was not "
             "downloaded: this Windows has neither WININET.DLL (which Internet Explorer installs) "
             "nor WSOCK32.DLL (which comes with TCP/IP, from the Network control panel). Copies of "
             "pkzip.exe and 7z920.zip put beside Pelmora Downloader", "error", True)),
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
                 tmpfs=None, transport=None, took=None, tls=None):
    fresh()
    (WORK / "windows").mkdir()
    root = fixtures("good")
    how = launch or {}
    if transport:
        how = dict(exe=TRANSPORTS[transport]())
    if callable(box):
        box = box(transport)
    if launch == "no-internet":
        # A copy of the program beside a wininet.dll whose InternetOpenA fails.
        shutil.copy(h.PROGRAM, WORK)
        shutil.copy(h.INSPECTOR.parent / "no-internet" / "wininet.dll", WORK)
        how = dict(exe=WORK / h.PROGRAM.name, env={"WINEDLLOVERRIDES": "mscoree,mshtml=;wininet=n"})
    elif launch == "no-dlls":
        how = dict(exe=program_copy("PelmoraNoNet.exe", "nt40", without=["wininet", "wsock32"]))
    elif launch == "no-wsock32":
        how = dict(exe=program_copy("PelmoraNoWinsock.exe", without=["wsock32"]))
    log_name = name.replace(" ", "-")
    with small_temp(tmpfs), over_tls(**tls) if tls else nullcontext() as exe, \
            h.Mirror(log_name, root, *mirror) if mirror is not None else nullcontext() as server, \
            program(log_name, **(dict(exe=exe) if exe else how)) as prog:
        start_request(s, SEVENZIP, TARGET)
        started = time.monotonic()
        shown = s.expect_box(*box, timeout=wait)
        if took:  # seconds from the notice to the box, and the box's own words for it
            expect(f"given up after {took[0]} to {took[1]} s, 'over 2 minutes' in the box", True,
                   took[0] < time.monotonic() - started < took[1] and
                   shown["text"].endswith(" attempts over 2 minutes."))
        s.press(shown, 1)
        if code:
            expect("exit code", code, prog.exit_code())
        else:
            s.expect_shown("progress", False)
            close_main(s, prog)
        expect("left in the temp folder", [],
               [r.name for r in absent if (h.WIN_TEMP / r.name).exists()])
    if server and requested is not None:
        expect_requests(server, *requested)
    expect("extractor runs", [], extractor_runs())
    expect("files in the target", [], list((h.DESKTOP / TARGET).iterdir()))
    if box[-1] is True and box[1].endswith("Error code: "):
        code_text = shown["text"].rsplit(": ", 1)[1]
        expect("error code in decimal", True, code_text.isdigit() and code_text[0] != "0")


on_transports("failures", FAILURES, failure_case)


@case("failures", "a mirror gone for good mid-body: given up after 2 minutes with the true count",
      waits=125)
def mirror_gone(s):
    fresh()
    with program("mirror-gone") as prog:
        with h.Mirror("mirror-gone", fixtures("good"), "--rate", "100000") as mirror:
            start_request(s, SEVENZIP, TARGET)
            until("part of the package", lambda: progress_status(s).startswith(SEVENZIP.name + ": 1"))
            mirror.proc.kill()  # gone at once, as a machine switched off
        gone = time.monotonic()
        text = s.expect_box(*checksum_failed(LOST, prefix=True), timeout=160)["text"]
        expect("given up after about 2 minutes", True, 110 < time.monotonic() - gone < 150)
        size = (fixtures("good") / SEVENZIP.path.lstrip("/")).stat().st_size
        tail = re.fullmatch(r" of %d bytes; (\d+) attempts over 2 minutes\." % size,
                            text[text.rindex(" of "):])
        expect("the end of the message, with paced attempts", True,
               tail is not None and 6 <= int(tail[1]) <= 10)
        s.press(s.boxes()[0], 1)
        expect("exit code", 1, prog.exit_code())
    expect("left in the temp folder", False, (h.WIN_TEMP / SEVENZIP.name).exists())


# ----------------------------------------------------------- flaky lines --

# A line that misbehaves, then comes right: the package still arrives whole,
# never spliced from two answers. Each row: the mirror's options and the
# statuses of the requests for the package after the first.
RECOVERIES = {
    "a whole file in one answer": dict(mirror=[], statuses=[], both=True),
    "a reset mid-body is resumed with a Range request": dict(
        mirror=fault("reset", SEVENZIP, "--fault-count", "1"), statuses=["206"], both=True),
    "a chunked body cut mid-chunk is no end: it starts over": dict(
        mirror=fault("reset", SEVENZIP, "--fault-count", "1", "--chunked"), statuses=["200"],
        both=True),
    "a redirect to another host is followed": dict(
        mirror=fault("redirect", SEVENZIP, "--fault-count", "1", "--redirect-to",
                     "http://" + EXTRACTOR.host + SEVENZIP.path), statuses=["200"],
        hosts=[SEVENZIP.host, EXTRACTOR.host], both=True),
    "a server without Range support sends the file again": dict(
        mirror=fault("drop", SEVENZIP, "--fault-count", "1", "--no-range"), statuses=["200"]),
    "a silent server that comes back is resumed after 30 s": dict(
        mirror=fault("stall-body", SEVENZIP, "--fault-count", "1"), statuses=["206"], wait=60,
        waits=35),
    "a body cut short every time still arrives whole": dict(
        mirror=fault("drop", SEVENZIP), statuses=None),
    "a line down for 10 s is resumed once it is back": dict(
        mirror=fault("down", SEVENZIP, "--fault-count", "1", "--down-for", "10"),
        statuses=["206"], wait=45, waits=20, dropped=True),
    "a 206 from another offset starts the file over": dict(
        mirror=fault("lying-range", SEVENZIP, "--fault-count", "2"), statuses=["206", "200"],
        both=True),
    "a file replaced after the cut comes whole": dict(
        mirror=fault("swap", SEVENZIP), statuses=["200"]),
    "a body without a length cut once starts over": dict(
        mirror=fault("reset", SEVENZIP, "--fault-count", "1", "--no-length"), statuses=["200"]),
    "a body without a length closed early looks whole: the checksum tells, and it comes again":
        dict(mirror=fault("drop", SEVENZIP, "--fault-count", "1", "--no-length"),
             statuses=["200"]),
}


def recovery_case(s, name, mirror, statuses, wait=40, dropped=False, hosts=None, transport=None,
                  tls=None):
    fresh()
    root = fixtures("good")
    with over_tls(**tls) if tls else nullcontext(TRANSPORTS[transport or "WININET"]()) as exe, \
            h.Mirror(name.replace(" ", "-"), root, *mirror) as server, \
            program("recovery", exe=exe) as prog:
        start_request(s, SEVENZIP, TARGET)
        if dropped:
            until("the status line telling of the pause",
                  lambda: "; the line dropped, trying again in " in progress_status(s))
        s.press(s.expect_box(*SUCCESS, timeout=wait), 1)
        close_main(s, prog)
    asked = [r for r in server.requests() if r["path"] == SEVENZIP.path]
    expect("Range of the first request", "-", asked[0]["range"])
    sent = 0  # of the file, by the answers so far; a reset may lose some on the way
    for i, request in enumerate(asked):
        start = int(request["range"][6:-1]) if request["range"] != "-" else 0
        if start:  # a resume: from what came, and only of the same file
            expect("request %d resumed within what came, with If-Range" % i, (True, True),
                   (start <= sent, request["if-range"] != "-"))
        sent = int(request["bytes"]) + (start if request["status"] == "206" else 0)
    if statuses is not None:
        expect("statuses after the first request", statuses, [r["status"] for r in asked[1:]])
    if hosts:
        expect("hosts asked", hosts, [r["host"] for r in asked])
    if dropped:
        lines = server.log.read_text().splitlines()
        expect("the resume asked for once the mirror was back", True,
               [i for i, line in enumerate(lines) if line.startswith("# back:")][0] <
               [i for i, line in enumerate(lines) if "\tbytes=" in line][0])
    expect_extracted(root, SEVENZIP)


on_transports("flaky lines", RECOVERIES, recovery_case)


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
        mirror=["--rate", "100000"], row=SEVENZIP, way="Alt+F4", both=True),
    "Cancel on a 300 bytes/s line, whose progress still moves every 2 s": dict(
        mirror=["--rate", "300"], row=EXTRACTOR, way="button", moving=True),
    "Cancel before the server answers, then the same request again at once": dict(
        mirror=fault("stall", EXTRACTOR, "--fault-count", "1"), row=EXTRACTOR, way="button",
        again=True),
}


def cancel_case(s, name, mirror, row, way, moving=False, again=False, transport=None, tls=None):
    fresh()
    root = fixtures("good")
    with over_tls(**tls) if tls else nullcontext(TRANSPORTS[transport or "WININET"]()) as exe, \
            h.Mirror(re.sub(r"\W+", "-", name.split(":")[0]), root, *mirror) as server, \
            program("cancel", exe=exe) as prog:
        start_request(s, SEVENZIP, TARGET)
        window = until(f"{row.name} asked for", lambda: progress_status(s).startswith(row.name) and (
            not again or server.requests()) and s.find("progress"))
        status = lambda: s.child(window, STATUS_ID)["text"]  # noqa: E731
        time.sleep(1)  # well into the stall, or the slow body
        probes = [s.ask("send", window["hwnd"], h.WM_NULL, 0, 0) for _ in range(5)]
        expect("answers to WM_NULL within 1 s", [True] * 5,
               [p["ok"] and p["ms"] < 1000 for p in probes])
        if moving:
            seen = [(time.monotonic(), status())]
            while seen[-1][0] - seen[0][0] < 6:
                time.sleep(0.1)
                seen.append((time.monotonic(), status()))
            moved = [seen[0][0]] + [t for (t, now), (_, then) in zip(seen[1:], seen) if now != then]
            expect("the longest the status stood still under 2 s, and the rate in it", (True, True),
                   (max(b - a for a, b in zip(moved, moved[1:] + [seen[-1][0]])) < 2,
                    " KB/s, about " in seen[-1][1]))
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
        if again:  # the first request, still waiting on its server, must not get in the way
            start_request(s, SEVENZIP, None)
            s.press(s.expect_box(*SUCCESS), 1)
        close_main(s, prog)
    asked = [EXTRACTOR, SEVENZIP] if row is SEVENZIP else [EXTRACTOR]
    expect_requests(server, *(asked + [EXTRACTOR, SEVENZIP] if again else asked))
    if again:
        expect_extracted(root, SEVENZIP)


on_transports("cancelling", CANCELS, cancel_case)


# ----------------------------------------------------------------- reach --

INTERNET_SETTINGS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings"


def listening(port):
    with socket.socket() as probe:
        return probe.connect_ex(("127.0.0.1", port)) == 0


def set_proxy(address, override=None):
    """The proxy of Internet Options and the hosts it is bypassed for (None:
    none), as the user sets them; the prefix keeps them, so unset afterwards."""
    for value, kind, data in (("ProxyEnable", "REG_DWORD", "1"), ("ProxyServer", "REG_SZ", address),
                              ("ProxyOverride", "REG_SZ", override)):
        if address and data:
            h.wine("reg", "add", INTERNET_SETTINGS, "/v", value, "/t", kind, "/d", data, "/f",
                   check=True)
        elif not address:
            h.wine("reg", "delete", INTERNET_SETTINGS, "/v", value, "/f")


@contextmanager
def tinyproxy(*lines):
    """tinyproxy on 127.0.0.1:8888, with these lines added to its config;
    gives the requests it was asked, "METHOD target", as logged."""
    log, conf = WORK / "tinyproxy.log", WORK / "tinyproxy.conf"
    conf.write_text("\n".join(["Port 8888", "Listen 127.0.0.1", "Allow 127.0.0.1", "Timeout 600",
                               "LogLevel Connect", f'LogFile "{log}"', *lines, ""]))
    proxy = subprocess.Popen(["tinyproxy", "-d", "-c", str(conf)], stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
    try:
        until("the proxy listening", lambda: listening(8888))
        yield lambda: [request.replace(":80/", "/", 1) for request in re.findall(
            r"Request \(file descriptor \d+\): (\S+ \S+)", log.read_text())]
    finally:
        proxy.terminate()
        proxy.wait()


@case("reach", "through the proxy of Internet Options, a cut body resumed through it; direct "
      "again once it is unset")
def through_proxy(s):
    fresh()
    root = fixtures("good")
    try:
        with tinyproxy() as asked, \
                h.Mirror("proxy", root, *fault("reset", SEVENZIP, "--fault-count", "1")) as mirror:
            set_proxy("127.0.0.1:8888")
            for through in (True, False):
                with program("proxy") as prog:
                    start_request(s, SEVENZIP, TARGET)
                    s.press(s.expect_box(*SUCCESS), 1)
                    close_main(s, prog)
                set_proxy(None)
                clear_temp()
        expect("asked of the proxy: both files, then the rest of the package, and nothing after",
               ["GET " + r.url for r in (EXTRACTOR, SEVENZIP, SEVENZIP)], asked())
        expect("statuses at the mirror", ["200", "200", "206", "200", "200"],
               [r["status"] for r in mirror.requests()])
    finally:
        set_proxy(None)
    expect_extracted(root, SEVENZIP)


@case("reach", "the packages served by nginx as tools/README.md sets it up")
def nginx_mirror(s):
    fresh()
    root = fixtures("good")
    server = re.search(r"```nginx\n(.*?)```", (h.ROOT / "tools" / "README.md").read_text(), re.S)[1]
    conf = WORK / "nginx.conf"
    conf.write_text(f"daemon off; master_process off; pid {WORK}/nginx.pid;\nevents {{}}\nhttp {{\n"
                    f"access_log {WORK}/access.log;\n" + server.replace("/srv/pelmora", str(root)) + "}\n")
    nginx = subprocess.Popen(["nginx", "-e", str(WORK / "error.log"), "-c", str(conf)])
    try:
        until("nginx listening", lambda: listening(80))
        with program("nginx") as prog:
            start_request(s, SEVENZIP, TARGET)
            s.press(s.expect_box(*SUCCESS), 1)
            close_main(s, prog)
    finally:
        nginx.terminate()
        nginx.wait()
    expect("requests at nginx", [("GET " + r.path, "200") for r in (EXTRACTOR, SEVENZIP)],
           [tuple(re.search(r'"(GET \S+) [^"]*" (\d+)', line).groups())
            for line in (WORK / "access.log").read_text().splitlines()])
    expect_extracted(root, SEVENZIP)


@case("reach", "verified copies beside the program and no server: nothing asked for, even with "
      "neither WININET nor WSOCK32; a wrong copy there is ignored, the download replaces it, and "
      "the copies are left as they were")
def copies_at_hand(s):
    root = fixtures("good")
    no_network = program_copy("PelmoraNoNet.exe", "nt40", without=["wininet", "wsock32"])
    for wrong, exe in ((False, h.PROGRAM), (True, h.PROGRAM), (False, no_network)):
        fresh()
        cd = WORK / "cd"  # read-only, as copies from a CD are
        cd.mkdir()
        shutil.copy(exe, cd)
        shutil.copy(root / EXTRACTOR.path.lstrip("/"), cd / EXTRACTOR.name)
        package = (root / SEVENZIP.path.lstrip("/")).read_bytes()
        (cd / SEVENZIP.name).write_bytes(package[:-1] + bytes([package[-1] ^ 1]) if wrong else package)
        copies = {f.name: f.read_bytes() for f in cd.iterdir()}
        for f in cd.iterdir():
            f.chmod(0o444)
        with h.Mirror("copies", root) if wrong else nullcontext() as server, \
                program("copies", exe=cd / exe.name) as prog:
            start_request(s, SEVENZIP, TARGET)
            s.press(s.expect_box(*SUCCESS), 1)
            close_main(s, prog)
        if server:
            expect_requests(server, SEVENZIP)
        expect("the copies beside the program", copies, {f.name: f.read_bytes() for f in cd.iterdir()})
        expect("the copies in the temp folder writable, for a later download", [0o200] * 2,
               [(h.WIN_TEMP / r.name).stat().st_mode & 0o200 for r in (EXTRACTOR, SEVENZIP)])
        expect_extracted(root, SEVENZIP)


# ----------------------------------------------------------- extractions --

def win98_program():
    return program_copy("Pelmora98.exe", version="win98")


def not_extracted(cause, folder=TARGET):
    return ("Error", cause + "\r\n\r\n7z920.zip was downloaded but could not be extracted to: "
            + desktop_win(folder), "error")


def missing(count, first, cause=""):
    return not_extracted(cause + "%d of %d files %s missing from %s, the first is %s." % (
        count, SEVENZIP_MEMBERS, "is" if count == 1 else "are", TARGET_WIN, first.replace("/", "\\")))


# The extractor's command for a folder on the Desktop; the 95 family's
# command.com keeps 126 characters of " /c <temp>\PKZIP " and this.
COMMAND = '-extract C:\\windows\\TEMP\\7z920.zip "%s"'
FITS = ("Kept whole " + "x" * 60)[:126 - len(" /c C:\\windows\\TEMP\\PKZIP " +
                                             COMMAND % desktop_win(""))]
LONG = "Pelmora Target for the Windows 95 family, as long as folder names get"
DEEP = "\\".join(["Programs I downloaded", "Archivers and tools", "For the Windows 95 family",
                  "Kept for later use", "Sorted by their makers", "The newest versions"])

# Each row: the family the program is told it runs on (the 95 family runs
# command.com, which hands back no exit code), the folder on the Desktop, how
# the archive and the extractor behave, the box, the members missing from the
# folder (None: no extractor ran, no file anywhere) and a pattern of the
# extractor's command. Every other member must be there, and nothing elsewhere.
EXTRACTIONS = {
    "Windows 98, the longest folder whose command command.com takes whole": dict(
        win98=True, folder=FITS, box=success(FITS), command=re.escape(COMMAND % desktop_win(FITS))),
    "Windows 98, a folder of about 70 characters, given in 8.3 form": dict(
        win98=True, folder=LONG, box=success(LONG),
        command="(?i)" + re.escape((COMMAND % desktop_win(""))[:-1]) + r'[^\\"]*~[^\\"]*"'),
    "Windows 98, a folder too long even in 8.3 form": dict(
        win98=True, folder=DEEP, gone=None, box=not_extracted(
            "The name of the folder %s is too long for the command interpreter of Windows 95, 98 "
            "and Me, even in its short 8.3 form: the files would land in another folder. Please "
            "choose a folder with a shorter name." % desktop_win(DEEP), DEEP)),
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
                    gone=(), folder=TARGET, command=None):
    fresh()
    chosen = h.DESKTOP / folder.replace("\\", "/")
    chosen.mkdir(parents=True, exist_ok=True)
    exe = win98_program() if win98 else h.PROGRAM
    command_com = h.PREFIX / "drive_c" / "windows" / "command.com"
    if interpreter:  # under the name only the 95 family uses
        shutil.copy(h.INSPECTOR.parent / "command_com.exe", command_com)
    root = fixtures("damaged", "--damaged", SEVENZIP.name) if damaged else fixtures("good")
    try:
        with h.Mirror("extraction", root), \
                program("extraction", exe=exe, env={"PELMORA_PKZIP_SKIP": skip or ""}) as prog:
            start_request(s, SEVENZIP, folder)
            s.press(s.expect_box(*box), 1)
            close_main(s, prog)
    finally:
        command_com.unlink(missing_ok=True)
    files = [f for f in h.DESKTOP.rglob("*") if f.is_file()]
    expect("files outside the chosen folder", [], [f for f in files if chosen not in f.parents])
    if gone is None:
        expect("extractor runs and files extracted", ([], []), (extractor_runs(), files))
    else:
        expect_extracted(root, SEVENZIP, gone, folder)
    if command:
        runs = [line[line.index("-extract"):] for line in extractor_runs()]
        expect("the extractor's command line", [command],
               [command if re.fullmatch(command, run) else run for run in runs])


for _name, _row in EXTRACTIONS.items():
    case("extractions", _name)(lambda s, n=_name, r=_row: extraction_case(s, n, **r))


# ------------------------------------------------------------------- TLS --

# A redirect from http to https, which the program follows with TLS of its
# own on every Windows. The four kinds of program: each label's exe name,
# the Windows version Wine reports and the DLLs it lacks.
TLS_KINDS = {"NT, WININET": ("PelmoraTlsNT.exe", None, []),
             "NT 4.0, no WININET": ("PelmoraTlsNT4.exe", "nt40", ["wininet"]),
             "98, WININET": ("PelmoraTls98.exe", "win98", []),
             "98, no WININET": ("PelmoraTls98Bare.exe", "win98", ["wininet"])}
NT, NT4, W98, W95 = TLS_KINDS
CERTS = h.lane_folder("wine-certs")
REDIRECT = fault("redirect", SEVENZIP, "--redirect-to", SECURE)
SECURE_HOST = SECURE.split("/")[2]


def on_443(cert=None, *more):
    """tools/mirror's options for port 443: TLS with this certificate, or none."""
    tls = ["--tls-cert", str(CERTS / f"{cert}.pem"), "--tls-key", str(CERTS / f"{cert}.key")]
    return ["--port", "443", *(tls if cert else []), *more]


def tls_server(server, cert, curves):
    """The command line of nginx or lighttpd serving the packages on port 443;
    nginx logs each connection's session reuse and curve."""
    pem, key, root = CERTS / f"{cert}.pem", CERTS / f"{cert}.key", fixtures("good")
    conf = WORK / "tls.conf"
    if server == "nginx":
        conf.write_text(f"daemon off; master_process off; pid {WORK}/nginx.pid; events {{}}\n"
                        f"http {{ log_format s '$ssl_session_reused $ssl_curve';\n"
                        f"access_log {WORK}/tls.log s;\n"
                        f"server {{ listen 127.0.0.1:443 ssl; root {root};\n"
                        f"ssl_session_cache shared:tls:1m; ssl_ecdh_curve {curves or 'auto'};\n"
                        f"ssl_certificate {pem}; ssl_certificate_key {key}; }} }}\n")
        return ["nginx", "-e", str(WORK / "error.log"), "-c", str(conf)]
    conf.write_text(f'server.document-root = "{root}"\nserver.bind = "127.0.0.1"\n'
                    f'server.port = 443\nserver.modules += ("mod_openssl")\nssl.engine = "enable"\n'
                    f'ssl.pemfile = "{pem}"\nssl.privkey = "{key}"\n'
                    f'server.errorlog = "{WORK}/error.log"\n')
    return ["lighttpd", "-D", "-f", str(conf)]


@contextmanager
def serving(command):
    server = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        until(f"{command[0]} listening", lambda: listening(443))
        yield
    finally:
        server.terminate()
        server.wait()


@contextmanager
def over_tls(kind, server, cert="rsa", beside=("pelmora-ca.crt",), curves=None):
    """A copy of the program of this kind with these files beside it (as its
    user adds trusted issuers), and on port 443 nginx, lighttpd or the mirror
    with these options; with server None the case's own mirror is there, and
    the redirect to it on port 80 is made here."""
    if CERTS not in MADE:  # once a run, like the fixtures
        certificates.make(CERTS)
        MADE[CERTS] = CERTS
    name, version, without = TLS_KINDS[kind]
    folder = WORK / "beside"
    folder.mkdir()
    for f in (program_copy(name, version, without), *(CERTS / n for n in beside)):
        shutil.copy(f, folder)
    command_com = h.PREFIX / "drive_c" / "windows" / "command.com"
    if version == "win98":  # the interpreter the 95 family runs the extractor with
        shutil.copy(h.INSPECTOR.parent / "command_com.exe", command_com)
    try:
        with h.Mirror("redirect", fixtures("good"), *REDIRECT) if server is None else \
                h.Mirror("tls-server", fixtures("good"), *server) if isinstance(server, list) else \
                serving(tls_server(server, cert, curves)):
            yield folder / name
    finally:
        command_com.unlink(missing_ok=True)


def tls_failed(reason, skipped=()):
    """The box of a redirect whose secure connection could not be made."""
    skips = "".join(f" {n} beside Pelmora Downloader is not a certificate and was skipped."
                    for n in skipped)
    return ("Error", "Failed to open URL: %s\r\n\r\nThe server sent this request on to %s, and the "
            "secure connection to %s could not be made: %s%s" % (
                SEVENZIP.url, SECURE, SECURE_HOST, reason, skips), "error")


def today():
    return time.strftime("%Y-%m-%d", time.gmtime())


def untrusted(issuer):
    return (f"its certificate was issued by {issuer}, which is not among the issuers Pelmora "
            "Downloader trusts. To trust it, put its certificate (a .crt file) beside Pelmora "
            "Downloader.")


# Each row: the kinds of program it runs on and the server on port 443 with
# its certificate and the files beside the program (tls); then the box of a
# failure, the way out of a cancel, or nothing for a success.
TLS = {
    "the package from nginx, an RSA-2048 certificate under the test CA": dict(
        kinds=list(TLS_KINDS), tls=dict(server="nginx")),
    "the package from lighttpd, the test CA beside the program in DER form": dict(
        kinds=[NT], tls=dict(server="lighttpd", beside=["pelmora-ca-der.crt"])),
    "the package from nginx, an ECDSA P-256 certificate under a P-384 intermediate, the test CA "
    "in a file of two": dict(kinds=[NT4], tls=dict(server="nginx", cert="ecdsa",
                                                    beside=["two-cas.crt"])),
    "a server without x25519 (P-256 alone) is offered every curve on a second connection": dict(
        kinds=[NT4], tls=dict(server="nginx", curves="prime256v1")),
    "a cut resumed over TLS with Range and If-Range": dict(
        kinds=[W95], mirror=on_443("rsa", *fault("drop", SEVENZIP, "--fault-count", "1")),
        statuses=["206"], tls=dict(server=None)),
    "a certificate of an issuer not trusted, the test CA beside": dict(
        kinds=[NT], tls=dict(server=on_443("rogue")), box=tls_failed(untrusted(
            certificates.OTHER_CA))),
    "notes.crt beside the program, no certificate, is named in the box": dict(
        kinds=[W95], tls=dict(server=on_443("rsa"), beside=["notes.crt"]),
        box=tls_failed(untrusted(certificates.TEST_CA), ["notes.crt"])),
    "a certificate for another name": dict(
        kinds=[NT4], tls=dict(server=on_443("other-name")), box=tls_failed(
            f"its certificate is for other.pelmora.example, not for {SECURE_HOST}.")),
    "an expired certificate": dict(
        kinds=[W98], tls=dict(server=on_443("expired")), box=lambda _: tls_failed(
            f"its certificate expired on {certificates.EXPIRED_ON}, and the date used is {today()}. "
            "Please check that this PC's clock is right.")),
    "a certificate not valid yet": dict(
        kinds=[W98], tls=dict(server=on_443("future")), box=lambda _: tls_failed(
            f"its certificate is valid only from {certificates.VALID_FROM}, and the date used is "
            f"{today()}. Please check that this PC's clock is right.")),
    "a server of TLS 1.0 only": dict(
        kinds=[NT], tls=dict(server=on_443("rsa", "--tls-max-version", "1.0")), box=tls_failed(
            "the server speaks none of the secure protocols Pelmora Downloader does (TLS 1.2 with "
            "ECDHE and ChaCha20-Poly1305 or AES-GCM); it may offer only TLS 1.0 or 1.1, RSA key "
            "exchange or CBC ciphers.")),
    "a server that breaks off the handshake": dict(
        kinds=[W95], tls=dict(server=on_443(None, "--fault", "empty")),
        box=tls_failed("the server broke off the handshake.")),
    "a handshake that stalls: given up after 30 s": dict(
        kinds=[NT4], tls=dict(server=on_443(None, "--fault", "stall")), wait=45, waits=35,
        box=tls_failed("the server did not answer within 30 seconds.")),
    "Cancel during a handshake": dict(
        kinds=[W98], tls=dict(server=on_443(None, "--fault", "stall")), row=SEVENZIP, way="button"),
}
for _name, _row in TLS.items():
    _kinds, _waits = _row.pop("kinds"), _row.pop("waits", 0)
    _run, _more = ((failure_case, dict(requested=[EXTRACTOR, SEVENZIP], absent=[SEVENZIP]))
                   if "box" in _row else (cancel_case, {}) if "way" in _row
                   else (recovery_case, dict(statuses=[])))
    for _kind in _kinds:
        case("TLS", f"{_name} ({_kind})", waits=_waits)(
            lambda s, n=_name, f=_run, r={"mirror": REDIRECT, **_more, **_row,
                                          "tls": dict(_row["tls"], kind=_kind)}: f(s, n, **r))



@case("TLS", "the next request of the run resumes the session: one full handshake per host "
      "(NT 4.0, no WININET)")
def session_resumed(s):
    fresh()
    with over_tls(NT4, "nginx") as exe, h.Mirror("resumed", fixtures("good"), *REDIRECT), \
            program("resumed", exe=exe) as prog:
        for _ in range(2):
            clear_temp()
            start_request(s, SEVENZIP, TARGET)
            s.press(s.expect_box(*SUCCESS), 1)
        close_main(s, prog)
    # x25519 alone is offered first: nginx follows the client's order, and
    # would take P-256, 9 M instructions dearer on a 486, were it listed.
    lines = [line.split() for line in (WORK / "tls.log").read_text().splitlines()]
    expect("sessions at nginx (and the first one's curve): a new one on x25519, then the same "
           "again", [[".", "X25519"], ["r"]], [lines[0], lines[1][:1]] if len(lines) == 2 else lines)


# ----------------------------------------------------------------- proxy --

# The program's own transport through the user's proxy; WININET (the "NT,
# WININET" kind) takes the proxy of Internet Options by itself.
PROXY = "127.0.0.1:8888"
OFF = "127.0.0.1:8889"  # where no proxy answers
GETS = ["GET " + r.url for r in (EXTRACTOR, SEVENZIP)]
TUNNEL = f"CONNECT {SECURE_HOST}:443"


def proxy_failed(row, why, proxy=PROXY, source="Internet Options"):
    return ("Error", f"Failed to open URL: {row.url}\r\n\r\nThe proxy {proxy} (set in {source}) "
            + why, "error")


# Each row: the kinds of program; the proxy of Internet Options and its
# ProxyOverride, the program's environment, tinyproxy's extra config lines,
# the mirror's options (on port 80; nginx serves https on 443), whether a
# silent host stands at OFF; what tinyproxy was asked, the mirror's statuses
# (" If-Range" when sent) and the box of a failure, or success.
PROXIES = {
    "plain http through the proxy of Internet Options, a cut resumed through it": dict(
        kinds=[NT4], mirror=fault("drop", SEVENZIP, "--fault-count", "1"), asked=GETS + GETS[1:],
        statuses=["200", "200", "206 If-Range"]),
    "a redirect to https through a CONNECT tunnel": dict(
        kinds=[NT4, NT], mirror=REDIRECT, asked=GETS + [TUNNEL]),
    "http_proxy in the environment, for http and for the https tunnel": dict(
        kinds=[W95], options=None, env={"http_proxy": f"http://{PROXY}/"}, mirror=REDIRECT,
        asked=GETS + [TUNNEL]),
    "ProxyOverride sends archive.pelmora.example direct, the package through the proxy": dict(
        kinds=[NT4], override=EXTRACTOR.host, asked=GETS[1:]),
    "a proxy that asks for a password": dict(
        kinds=[NT4], conf=["BasicAuth user password"], asked=GETS[:1], box=proxy_failed(
            EXTRACTOR, "asked for a password (407 Proxy Authentication Required), which Pelmora "
            "Downloader does not send. Please let this PC use the proxy without one, or set "
            "another.")),
    "a proxy that will not open a tunnel to port 443": dict(
        kinds=[NT4], conf=["ConnectPort 563"], mirror=REDIRECT, asked=GETS + [TUNNEL],
        box=proxy_failed(SEVENZIP, f"would not open a connection to {SECURE_HOST}:443: it "
                         "answered 403 Access violation.")),
    "a proxy that refuses the connection": dict(
        kinds=[NT4], options=OFF, asked=[],
        box=proxy_failed(EXTRACTOR, "could not be reached (error code 10061).", OFF)),
    "a proxy that drops every packet: given up after 30 s": dict(
        kinds=[NT4], options=OFF, silent=True, asked=[], wait=45, waits=35,
        box=proxy_failed(EXTRACTOR, "did not answer within 30 seconds.", OFF)),
    "an http_proxy that cannot be read: direct, and named in the box": dict(
        kinds=[W95], options=None, env={"http_proxy": "proxy:99999"}, mirror=None, asked=[],
        box=("Error", f"Failed to open URL: {EXTRACTOR.url}\r\n\r\nError code: 10061 The proxy "
             "setting http_proxy=proxy:99999 could not be read: its port is not a number from 1 "
             "to 65535.", "error")),
}


def proxy_case(s, name, kind, asked, options=PROXY, override=None, env=None, conf=(), mirror=(),
               silent=False, statuses=None, box=None, wait=20):
    fresh()
    root = fixtures("good")
    set_proxy(options, override)
    try:
        with tinyproxy(*conf) as proxied, over_tls(kind, "nginx") as exe, \
                h.Mirror("silent-proxy", root, "--port", OFF[-4:], "--fault", "blackhole") \
                if silent else nullcontext(), \
                h.Mirror("proxy", root, *mirror) if mirror is not None else nullcontext() as server, \
                program("proxy", exe=exe, env=env) as prog:
            start_request(s, SEVENZIP, TARGET)
            s.press(s.expect_box(*(box or SUCCESS), timeout=wait), 1)
            if box:
                expect("exit code", 1, prog.exit_code())
            else:
                close_main(s, prog)
    finally:
        set_proxy(None)
    expect("asked of the proxy", asked, proxied())
    if statuses:
        expect("statuses at the mirror", statuses, [
            r["status"] + (" If-Range" if r["if-range"] != "-" else "") for r in server.requests()])
    if not box:
        expect_extracted(root, SEVENZIP)


for _name, _row in PROXIES.items():
    _kinds, _waits = _row.pop("kinds"), _row.pop("waits", 0)
    for _kind in _kinds:
        case("proxy", f"{_name} ({_kind})", waits=_waits)(
            lambda s, n=_name, k=_kind, r=_row: proxy_case(s, n, k, **r))


@case("TLS", "two runs never offer the same ClientHello random (98, no WININET)")
def fresh_randoms(s):
    randoms = []
    for _ in range(2):
        fresh()
        with over_tls(W95, on_443(None, "--fault", "empty")) as exe, \
                h.Mirror("redirect", fixtures("good"), *REDIRECT), program("random", exe=exe) as prog:
            start_request(s, SEVENZIP, TARGET)
            s.press(s.expect_box(*tls_failed("the server broke off the handshake.")), 1)
            expect("exit code", 1, prog.exit_code())
        randoms += re.findall(r"\(random ([0-9a-f]{64})\)",
                              (h.LOGS / "tls-server.mirror.log").read_text())
    expect("ClientHello randoms of two runs, all different", 2, len(set(randoms)))


if __name__ == "__main__":
    sys.exit(h.run(sys.argv[1:]))
