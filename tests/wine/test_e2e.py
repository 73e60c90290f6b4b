"""End-to-end requests: the real program under Wine fetches from the bundled
mirror on 127.0.0.1:80 (inside the private namespace of in_namespace.sh, where
both catalogue host names resolve to loopback) and runs the stand-in
extractor through the real command interpreter. Every case drives the real
windows, message boxes and folder picker through pdtest."""

import os
import shutil
import subprocess
import sys
import time
import zipfile
from pathlib import Path

import harness as h

sys.path.insert(0, str(h.ROOT / "tools"))
import catalogue  # noqa: E402

suite = h.Suite("e2e")

BUILD = h.BUILD
TABLE_TOOL = BUILD / "native" / "catalogue-table"
PKZIP = BUILD / "win32" / "tools" / "pkzip" / "pkzip.exe"
NO_INTERNET_DLL = BUILD / "win32" / "tests" / "wine" / "no-internet" / "wininet.dll"
SET_WINDIR = BUILD / "win32" / "tests" / "wine" / "set_windir.exe"
FIXTURES = BUILD / "e2e-fixtures"
WORK = BUILD / "e2e-work"

DRIVE_C = Path(h.wine_env()["WINEPREFIX"]) / "drive_c"
WIN_TEMP = DRIVE_C / "windows" / "temp"
DESKTOP = h.desktop_folder()
DESKTOP_WIN = "C:\\users\\%s\\Desktop" % DESKTOP.parent.name
TARGET = "Target Dir"  # a space, so the quoting matters
TARGET_WIN = DESKTOP_WIN + "\\" + TARGET

START_TEXT = ("It will now download and extract the specific file.\r\n Depending on the size of "
              "the file that can take up to a min.\r\n")
AGENT = "Pelmora Downloader"


def read_catalogue():
    return {row.name: dict(name=row.name, url=row.url, host=row.host, path=row.path,
                            id=row.command_id)
            for row in catalogue.read_catalogue(TABLE_TOOL)}


CATALOGUE = read_catalogue()
EXTRACTOR = CATALOGUE["pkzip.exe"]
SEVENZIP = CATALOGUE["7z920.zip"]
WINZIP = CATALOGUE["winzip63.zip"]


MADE = set()


def make_fixtures(name, *extra):
    """A mirror folder, made afresh once per run so it has the current pkzip.exe."""
    out = FIXTURES / name
    if name not in MADE:
        shutil.rmtree(out, ignore_errors=True)
        subprocess.run([sys.executable, str(h.ROOT / "tools" / "make_fixtures.py"), "--out", str(out),
                        "--pkzip", str(PKZIP), "--table-tool", str(TABLE_TOOL), *extra],
                       check=True, stdout=subprocess.DEVNULL)
        MADE.add(name)
    return out


class Mirror:
    """tools/mirror on 127.0.0.1:80 for one case; .requests() reads its log."""

    def __init__(self, name, root, *options):
        self.log = h.LOGS / f"{name}.mirror.log"
        self.ready = WORK / f"{name}.ready"
        self.args = [sys.executable, str(h.ROOT / "tools" / "mirror"), "--root", str(root),
                     "--bind", "127.0.0.1", "--port", "80", "--table-tool", str(TABLE_TOOL),
                     "--log", str(self.log), "--ready-file", str(self.ready), *options]

    def __enter__(self):
        h.LOGS.mkdir(parents=True, exist_ok=True)
        for stale in (self.log, self.ready):
            stale.unlink(missing_ok=True)
        self.proc = subprocess.Popen(self.args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 20
        while not self.ready.exists():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise h.TestFailure("the mirror did not start")
            time.sleep(0.05)
        return self

    def __exit__(self, *exc):
        self.proc.terminate()
        self.proc.wait(10)

    def requests(self):
        rows = []
        for line in self.log.read_text().splitlines():
            if line and not line.startswith("#"):
                host, method, path, status, sent, agent = line.split("\t")
                rows.append(dict(host=host, method=method, path=path, status=int(status),
                                 bytes=int(sent), agent=agent))
        return rows

    def expect_fetched(self, *rows):
        got = [(r["host"], r["path"]) for r in self.requests()]
        h.expect_eq("requests in order", [(r["host"], r["path"]) for r in rows], got)
        for r in self.requests():
            h.expect_eq("User-Agent of " + r["path"], AGENT, r["agent"])
            h.expect_eq("method of " + r["path"], "GET", r["method"])


def fresh_state():
    """No earlier download in the temp folder, an empty Desktop with the target."""
    WIN_TEMP.mkdir(parents=True, exist_ok=True)
    for name in CATALOGUE:
        (WIN_TEMP / name).unlink(missing_ok=True)
    shutil.rmtree(DESKTOP, ignore_errors=True)
    (DESKTOP / TARGET).mkdir(parents=True)
    shutil.rmtree(WORK, ignore_errors=True)
    WORK.mkdir(parents=True)


def pkzip_log():
    return WORK / "pkzip.log"


def program_env():
    return {"PELMORA_PKZIP_LOG": h.windows_path(pkzip_log())}


def start_steps(button, folder):
    """Press a package button, answer the picker and the notice."""
    return ["click", str(button), "pick-folder", folder,
            "expect-box", "Start Task", h.pd_escape(START_TEXT), "information", "ok-box"]


def success_box(folder):
    return ["expect-box", "Task succesfull",
            h.pd_escape("File downloaded and extracted successfully to: " + folder), "information"]


def expect_extracted(archive, into):
    """Every member of the served archive is in the folder, byte for byte."""
    with zipfile.ZipFile(archive) as z:
        files = [i for i in z.infolist() if not i.is_dir()]
        h.expect_true("the archive has files", files)
        for info in files:
            target = into / info.filename
            h.expect_true("extracted " + info.filename, target.is_file(), str(target))
            h.expect_eq("content of " + info.filename, z.read(info), target.read_bytes())


def expect_nothing_extracted():
    h.expect_eq("files in the target folder", [], sorted(os.listdir(DESKTOP / TARGET)))


def expect_exit(prog, code):
    h.expect_eq("exit status", f"exit code {code}", str(prog.wait(60)))


def fixture_file(root, row):
    return root / row["path"].lstrip("/")


# ------------------------------------------------------------------ cases --

@suite.case("requests", "\"7zip\" end to end, then \"Winzip\" from inside the success box "
            "with the picker cancelled")
def full_request():
    fresh_state()
    root = make_fixtures("good")
    steps = (["wait-main"] + start_steps(4, TARGET) +
             # The mirror is throttled, so the transfer is still running here.
             ["check-progress", "any", "sync", "progress"] +
             success_box(TARGET_WIN) +
             ["check-progress", "full", "expect-visible", "main", "sync", "success"] +
             # A second request from inside the open box: the folder is kept.
             ["click", str(WINZIP["id"]), "pick-folder", "cancel",
              "expect-box", "Start Task", h.pd_escape(START_TEXT), "information", "ok-box"] +
             success_box(TARGET_WIN) + ["ok-box"] +
             success_box(TARGET_WIN) + ["ok-box", "expect-no-box",
                                        "expect-hidden", "progress", "expect-visible", "main",
                                        "close", "main"])
    with Mirror("full", root, "--rate", "150000") as mirror, \
            h.Program("e2e-full", env=program_env()) as prog:
        h.run_pdtest(steps).expect_ok()
        expect_exit(prog, 0)
    mirror.expect_fetched(EXTRACTOR, SEVENZIP, EXTRACTOR, WINZIP)
    h.expect_eq("standard output", "Extract path selected: %s\n" % TARGET_WIN,
                prog.stdout().replace("\r\n", "\n"))
    expect_extracted(fixture_file(root, SEVENZIP), DESKTOP / TARGET)
    expect_extracted(fixture_file(root, WINZIP), DESKTOP / TARGET)
    commands = pkzip_log().read_text().splitlines()
    h.expect_eq("extractor runs", 2, len(commands))
    for command, name in zip(commands, ["7z920.zip", "winzip63.zip"]):
        h.expect_true("extractor command line", command.endswith(
            '-extract C:\\windows\\TEMP\\%s "%s"' % (name, TARGET_WIN)), command)
    for name in ("pkzip.exe", "7z920.zip", "winzip63.zip"):
        h.expect_true(name + " kept in the temp folder", (WIN_TEMP / name).is_file())


@suite.case("requests", "the first request with the picker cancelled fetches nothing")
def first_pick_cancelled():
    fresh_state()
    steps = ["wait-main", "click", "1", "pick-folder", "cancel",
             "expect-box", "Error",
             "Extract path not selected. Please select an extract path before downloading.",
             "error", "ok-box", "expect-visible", "main", "close", "main"]
    with Mirror("cancelled", make_fixtures("good")) as mirror, \
            h.Program("e2e-cancelled", env=program_env()) as prog:
        h.run_pdtest(steps).expect_ok()
        expect_exit(prog, 0)
    mirror.expect_fetched()
    h.expect_eq("standard output", "", prog.stdout())


@suite.case("requests", "a choice with no file-system path keeps the earlier folder")
def virtual_folder_keeps_earlier():
    # "My Computer" is no folder on disk, so it has no path; the request goes
    # on with the folder chosen before, as after a cancelled picker.
    fresh_state()
    root = make_fixtures("good")
    steps = (["wait-main"] + start_steps(4, TARGET) + success_box(TARGET_WIN) + ["ok-box"] +
             start_steps(2, "My Computer") + success_box(TARGET_WIN) + ["ok-box", "close", "main"])
    with Mirror("virtual", root) as mirror, h.Program("e2e-virtual", env=program_env()) as prog:
        h.run_pdtest(steps).expect_ok()
        expect_exit(prog, 0)
    mirror.expect_fetched(EXTRACTOR, SEVENZIP, EXTRACTOR, WINZIP)
    h.expect_eq("standard output", "Extract path selected: %s\n" % TARGET_WIN,
                prog.stdout().replace("\r\n", "\n"))
    expect_extracted(fixture_file(root, WINZIP), DESKTOP / TARGET)


@suite.case("requests", "a server without Content-Length still succeeds")
def no_content_length():
    fresh_state()
    root = make_fixtures("good")
    steps = (["wait-main"] + start_steps(4, TARGET) + success_box(TARGET_WIN) +
             ["check-progress", "full", "ok-box", "close", "main"])
    with Mirror("no-length", root, "--fault", "no-length") as mirror, \
            h.Program("e2e-no-length", env=program_env()) as prog:
        h.run_pdtest(steps).expect_ok()
        expect_exit(prog, 0)
    mirror.expect_fetched(EXTRACTOR, SEVENZIP)
    expect_extracted(fixture_file(root, SEVENZIP), DESKTOP / TARGET)


def fatal_case(name, mirror_options, caption, text, icon, fetched, prefix=False,
               exe=h.PROGRAM, args=()):
    """A request that must end the process with exit code 1 after one box."""
    fresh_state()
    root = make_fixtures("good")
    steps = (["wait-main"] + start_steps(4, TARGET) +
             ["expect-box-prefix" if prefix else "expect-box", caption, h.pd_escape(text), icon,
              "ok-box"])
    mirror = Mirror(name, root, *mirror_options) if mirror_options is not None else None
    if mirror:
        mirror.__enter__()
    try:
        with h.Program("e2e-" + name, exe=exe, args=args, env=program_env()) as prog:
            result = h.run_pdtest(steps)
            result.expect_ok()
            expect_exit(prog, 1)
    finally:
        if mirror:
            mirror.__exit__()
    if mirror:
        mirror.expect_fetched(*fetched)
    h.expect_true("nothing was executed", not pkzip_log().exists())
    expect_nothing_extracted()
    return result


@suite.case("failures", "no server: the URL and the error code, exit 1, nothing written")
def no_server():
    url = EXTRACTOR["url"]
    result = fatal_case("no-server", None, "Error", "Failed to open URL: %s\r\n\r\nError code: " % url,
                        "error", [], prefix=True)
    text = result.box_texts()[-1]
    code = text.rsplit(": ", 1)[1]
    h.expect_true("error code is unsigned decimal", code.isdigit() and not code.startswith("0"), text)
    h.expect_true("nothing in the temp folder", not (WIN_TEMP / "pkzip.exe").exists())


def checksum_failure(name, fault, row, fetched):
    """A download whose bytes do not match: deleted, "Checksum Failed", exit 1."""
    fatal_case(name, ["--allow-bad-sums", "--fault", fault, "--fault-path", row["path"]],
               "Failed.", "Checksum Failed", "warning", fetched)
    h.expect_true(row["name"] + " deleted", not (WIN_TEMP / row["name"]).exists())


@suite.case("failures", "a corrupt extractor is deleted and the package never requested")
def extractor_checksum():
    checksum_failure("bad-extractor", "corrupt", EXTRACTOR, [EXTRACTOR])


@suite.case("failures", "a truncated package is deleted, nothing extracted")
def truncated_package():
    checksum_failure("truncated", "drop", SEVENZIP, [EXTRACTOR, SEVENZIP])


@suite.case("failures", "an error page instead of the package is deleted, nothing extracted")
def error_page():
    checksum_failure("error-page", "error", SEVENZIP, [EXTRACTOR, SEVENZIP])


@suite.case("failures", "a missing temp folder cannot take the download")
def temp_folder_missing():
    # A Windows folder without TEMP: the program is started with WINDIR
    # pointing at an empty folder.
    windows = BUILD / "e2e-empty-windows"
    shutil.rmtree(windows, ignore_errors=True)
    windows.mkdir()
    fatal_case("no-temp", [], "Error", "Failed to open the output file for writing", "error",
               [EXTRACTOR], exe=SET_WINDIR,
               args=[h.windows_path(windows), h.windows_path(h.PROGRAM)])


@suite.case("failures", "a damaged archive that matches its sum is reported, not \"successfully\"")
def damaged_archive():
    fresh_state()
    root = make_fixtures("damaged", "--damaged", "7z920.zip")
    steps = (["wait-main"] + start_steps(4, TARGET) +
             ["expect-box-prefix", "Error", "The extractor failed (exit code ", "error", "ok-box",
              "expect-no-box", "expect-visible", "main", "expect-hidden", "progress",
              "close", "main"])
    with Mirror("damaged", root) as mirror, \
            h.Program("e2e-damaged", env=program_env()) as prog:
        result = h.run_pdtest(steps)
        result.expect_ok()
        expect_exit(prog, 0)
    mirror.expect_fetched(EXTRACTOR, SEVENZIP)
    text = result.box_texts()[-1]
    h.expect_true("the box names the folder", text.endswith(TARGET_WIN), text)
    h.expect_eq("extractor runs", 1, len(pkzip_log().read_text().splitlines()))


@suite.case("failures", "no Internet client: told so, main window back, package not fetched")
def no_internet_handle():
    fresh_state()
    # A copy of the program beside a wininet.dll whose InternetOpenA fails.
    folder = WORK / "no-internet"
    folder.mkdir()
    shutil.copy(h.PROGRAM, folder)
    shutil.copy(NO_INTERNET_DLL, folder)
    env = dict(program_env(), WINEDLLOVERRIDES="mscoree,mshtml=;wininet=n")
    steps = (["wait-main"] + start_steps(4, TARGET) +
             ["expect-box", "Error",
              "The Internet connection could not be set up, so pkzip.exe was not downloaded.",
              "error", "ok-box", "expect-no-box", "expect-visible", "main",
              "expect-hidden", "progress", "close", "main"])
    with Mirror("no-internet", make_fixtures("good")) as mirror, \
            h.Program("e2e-no-internet", exe=folder / h.PROGRAM.name, env=env) as prog:
        h.run_pdtest(steps).expect_ok()
        expect_exit(prog, 0)
    mirror.expect_fetched()


@suite.case("failures", "WINDIR unset: told so, nothing downloaded, main window back")
def windir_unset():
    fresh_state()
    steps = (["wait-main"] + start_steps(4, TARGET) +
             ["expect-box-prefix", "Error", "The WINDIR environment variable is not set", "error",
              "ok-box", "expect-no-box", "expect-visible", "main", "close", "main"])
    with Mirror("no-windir", make_fixtures("good")) as mirror, \
            h.Program("e2e-no-windir", exe=SET_WINDIR, args=["--unset", h.windows_path(h.PROGRAM)],
                      env=program_env()) as prog:
        h.run_pdtest(steps).expect_ok()
        expect_exit(prog, 0)
    mirror.expect_fetched()


def program_reporting_win98():
    """A copy of the program under a name of its own, for which Wine reports
    Windows 98. The setting is per program, so no other case (and no run that
    stops half-way) can be left with it."""
    exe = BUILD / "e2e-win98" / "Pelmora98.exe"
    exe.parent.mkdir(exist_ok=True)
    shutil.copy(h.PROGRAM, exe)
    subprocess.run(["wine", "reg", "add", "HKCU\\Software\\Wine\\AppDefaults\\" + exe.name,
                    "/v", "Version", "/d", "win98", "/f"], env=h.wine_env(), check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    h.wait_wineserver()
    return exe


@suite.case("platforms", "reporting Windows 98, the extraction runs through command.com")
def windows_98_family():
    command_com = DRIVE_C / "windows" / "command.com"
    exe = program_reporting_win98()
    try:
        # Without a command.com the 95-family branch has nothing to start.
        command_com.unlink(missing_ok=True)
        fresh_state()
        root = make_fixtures("good")
        steps = (["wait-main"] + start_steps(4, TARGET) +
                 ["expect-box-prefix", "Error", "The extractor could not be started.", "error",
                  "ok-box", "close", "main"])
        with Mirror("win98-none", root), \
                h.Program("e2e-win98-none", exe=exe, env=program_env()) as prog:
            h.run_pdtest(steps).expect_ok()
            expect_exit(prog, 0)
        expect_nothing_extracted()

        # With one in place (Wine's own interpreter under that name) it works.
        shutil.copy(DRIVE_C / "windows" / "system32" / "cmd.exe", command_com)
        fresh_state()
        steps = (["wait-main"] + start_steps(4, TARGET) + success_box(TARGET_WIN) +
                 ["ok-box", "close", "main"])
        with Mirror("win98", root), h.Program("e2e-win98", exe=exe, env=program_env()) as prog:
            h.run_pdtest(steps).expect_ok()
            expect_exit(prog, 0)
        expect_extracted(fixture_file(root, SEVENZIP), DESKTOP / TARGET)
    finally:
        command_com.unlink(missing_ok=True)


if __name__ == "__main__":
    sys.exit(suite.run())
