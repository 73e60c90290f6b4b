"""The program against the bundled mirror, for scripts/run (which starts this
inside the private namespace). With $DISPLAY the user drives it; without,
one "7zip" request is made on Xvfb and each of its windows pictured in
build/screenshots/: main, notice, checking, progress and outcome."""
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "wine"))
import harness as h  # noqa: E402

FOLDER = "Pelmora Demo"
PACKAGE, EXTRACTOR = "7z920.zip", "pkzip.exe"
PICTURES = ("main", "notice", "checking", "progress", "outcome")
STATUS_ID = 3  # the progress window's status line
# Slow enough that the transfer is still running when it is pictured.
RATE = "100000"
# A copy in the temp folder that is no good. The program checks it before it
# downloads, which with this many bytes takes about a second here: time to
# picture "Checking 7z920.zip...", which with nothing to check would flash
# by. Sparse, so it takes no disk; the download writes over it.
STALE_SIZE = 256 << 20
CHECKING = f"Checking {PACKAGE}..."
ARRIVING = re.escape(PACKAGE) + r": \d+ KB of \d+ KB, .+ KB/s, about .+ left"


def set_the_stage():
    """Both files fetched (copies at hand would skip the progress window's
    stages), into an empty folder; no picture left from an earlier run."""
    folder = h.DESKTOP / FOLDER
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    h.WIN_TEMP.mkdir(parents=True, exist_ok=True)
    (h.WIN_TEMP / EXTRACTOR).unlink(missing_ok=True)
    with open(h.WIN_TEMP / PACKAGE, "wb") as stale:
        stale.truncate(STALE_SIZE)
    for name in PICTURES + ("start-task",):  # the notice's earlier name
        (h.SCREENSHOTS / f"{name}.png").unlink(missing_ok=True)


def status(screen):
    line = screen.child(screen.find("progress"), STATUS_ID)
    return line["text"] if line else ""


def scripted_request():
    set_the_stage()
    with h.Xvfb(), h.Program("run") as program:
        screen = h.Screen()
        h.until("the main window with its controls",
                lambda: (w := screen.find("main")) and len(screen.children(w)) == 8,
                timeout=h.STARTUP_WAIT)
        h.screenshot("main", shows="Pelmora Downloader")
        screen.click(4)
        screen.pick(FOLDER)
        box = h.until("the notice", screen.boxes)[0]
        h.screenshot("notice", shows=box["caption"])
        screen.press(box, 1)
        # The extractor comes first; then the package's window checks the stale copy.
        h.until("the package checked", lambda: status(screen) == CHECKING, timeout=60)
        h.screenshot("checking", shows="Progress")
        h.expect("status once pictured", CHECKING, status(screen))
        h.until("the package arriving", lambda: re.fullmatch(ARRIVING, status(screen)), timeout=60)
        h.screenshot("progress", shows="Progress")
        h.expect("transfer still running once pictured, main window hidden", (True, None),
                 (bool(re.fullmatch(ARRIVING, status(screen))), screen.find("main")))
        box = h.until("the outcome", screen.boxes, timeout=120)[0]
        h.screenshot("outcome", shows=box["caption"])
        print(f"{box['caption']}: {box['text']}")
        screen.press(box, 1)
        if program.running():
            screen.post(screen.find("main"), h.WM_CLOSE)
        print(f"exit code {program.exit_code()}; screenshots in {h.SCREENSHOTS}")
        screen.close()


def main():
    h.stop_wineserver()
    with h.Mirror("run", h.BUILD / "mirror", "--rate", RATE):
        print("mirror: serving build/mirror on 127.0.0.1:80", flush=True)
        if os.environ.get("DISPLAY"):
            print("starting Pelmora Downloader; close its window to stop", flush=True)
            return subprocess.run(["wine", str(h.PROGRAM)], env=h.wine_env()).returncode
        try:
            scripted_request()
        finally:
            stale = h.WIN_TEMP / PACKAGE
            if stale.exists() and stale.stat().st_size == STALE_SIZE:
                stale.unlink()
    return 0


if __name__ == "__main__":
    sys.exit(main())
