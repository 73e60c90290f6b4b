"""The program against the bundled mirror, for scripts/run (which starts this
inside the private namespace). With $DISPLAY the user drives it; without,
one "7zip" request is made on Xvfb with a screenshot of each window."""
import os
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "wine"))
import harness as h  # noqa: E402
from test_e2e import START_TEXT  # noqa: E402

DEMO_FOLDER = "Pelmora Demo"


def start_mirror():
    ready = h.BUILD / "mirror.ready"
    ready.unlink(missing_ok=True)
    mirror = subprocess.Popen([sys.executable, str(h.ROOT / "tools" / "mirror"),
                               "--root", str(h.BUILD / "mirror"), "--bind", "127.0.0.1",
                               "--port", "80", "--rate", "200000",
                               "--table-tool", str(h.BUILD / "native" / "catalogue-table"),
                               "--log", str(h.BUILD / "mirror.log"), "--ready-file", str(ready)])
    while not ready.exists():
        if mirror.poll() is not None:
            sys.exit("the mirror did not start; see build/mirror.log")
        time.sleep(0.05)
    print("mirror: serving build/mirror on 127.0.0.1:80, log in build/mirror.log", flush=True)
    return mirror


def scripted_request():
    desktop = h.desktop_folder()
    (desktop / DEMO_FOLDER).mkdir(parents=True, exist_ok=True)
    steps = ["wait-main", "sync", "main", "click", "4", "pick-folder", DEMO_FOLDER,
             "expect-box", "Start Task", h.pd_escape(START_TEXT), "information",
             "sync", "start-task", "ok-box",
             "check-progress", "any", "sync", "progress",
             "expect-box-prefix", "Task succesfull", "File downloaded and extracted successfully",
             "information", "sync", "success", "ok-box", "close", "main"]
    with h.Xvfb(), h.Program("run") as program:
        result = h.run_pdtest(steps)
        status = program.wait(60)
    print(result.output, end="")
    for name in result.synced:
        print("screenshot: build/screenshots/%s.png" % name)
    print("program: %s; extracted into %s" % (status, desktop / DEMO_FOLDER))
    return 0 if result.ok and str(status) == "exit code 0" else 1


def main():
    h.stop_wineserver()
    mirror = start_mirror()
    try:
        if os.environ.get("DISPLAY"):
            print("starting Pelmora Downloader; close its window to stop", flush=True)
            return subprocess.run(["wine", str(h.PROGRAM)], env=h.wine_env()).returncode
        return scripted_request()
    finally:
        mirror.terminate()
        mirror.wait(10)


if __name__ == "__main__":
    sys.exit(main())
