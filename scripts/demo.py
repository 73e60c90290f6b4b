"""The program against the bundled mirror, for scripts/run (which starts this
inside the private namespace). With $DISPLAY the user drives it; without,
one "7zip" request is made on Xvfb with a screenshot of each window."""
import os
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "wine"))
import harness as h  # noqa: E402

FOLDER = "Pelmora Demo"


def scripted_request():
    (h.DESKTOP / FOLDER).mkdir(parents=True, exist_ok=True)
    with h.Xvfb(), h.Program("run") as program:
        screen = h.Screen()
        h.until("the main window", lambda: screen.find("main"))
        h.screenshot("main")
        screen.click(4)
        screen.pick(FOLDER)
        box = h.until("the notice", screen.boxes)[0]
        h.screenshot("start-task")
        screen.press(box, 1)
        # The package on its way, after the extractor.
        h.until("the package arriving", lambda: (w := screen.find("progress")) and any(
            c["text"].startswith("7z920.zip: ") and not c["text"].endswith(" 0 KB")
            for c in screen.children(w)))
        h.screenshot("progress")
        box = h.until("the outcome", screen.boxes, timeout=120)[0]
        h.screenshot("outcome")
        print(f"{box['caption']}: {box['text']}")
        screen.press(box, 1)
        if program.running():
            screen.post(screen.find("main"), h.WM_CLOSE)
        print(f"exit code {program.exit_code()}; screenshots in {h.SCREENSHOTS}")
        screen.close()


def main():
    h.stop_wineserver()
    with h.Mirror("run", h.BUILD / "mirror", "--rate", "200000"):
        print("mirror: serving build/mirror on 127.0.0.1:80", flush=True)
        if os.environ.get("DISPLAY"):
            print("starting Pelmora Downloader; close its window to stop", flush=True)
            return subprocess.run(["wine", str(h.PROGRAM)], env=h.wine_env()).returncode
        scripted_request()
    return 0


if __name__ == "__main__":
    sys.exit(main())
