#!/usr/bin/env python3
"""The main window and the About window of the real program under Wine:
layout, fonts and colours; the close box, "Cancel" and "?" as a person
would use them; the exit status each way out leaves."""

import re
import sys

import harness as h

suite = h.Suite("test_window")

FACE = (212, 208, 200)  # the window colour, 0xC8D0D4 as a COLORREF


def client_origin(result):
    """Screen position of the main window's client area, from wait-main."""
    line = result.step_lines("wait-main")[0]
    m = re.search(r"client=(-?\d+),(-?\d+)", line)
    h.expect_true("wait-main reports the client origin", m, line)
    return int(m.group(1)), int(m.group(2))


@suite.case("main window", "layout, fonts and colours; the close box ends with exit code 0")
def main_window_close_box():
    with h.Program("window-close-box") as prog:
        res = h.run_pdtest(["wait-main", "check-main", "sync", "main-window", "close", "main"])
        res.expect_ok()
        h.expect_eq("exit status after WM_CLOSE", "exit code 0", str(prog.wait(30)))

    shot = h.SCREENSHOTS / "main-window.png"
    h.expect_eq("screenshots taken", ["main-window"], res.synced)
    h.expect_eq("screenshot size", (800, 600), h.png_size(shot))
    x, y = client_origin(res)
    # Left of the label: the class background. Right of the label's text,
    # above the buttons: what the label's WM_CTLCOLORSTATIC brush painted.
    h.expect_eq("window background pixel", FACE, h.pixel(shot, x + 5, y + 5))
    h.expect_eq("label background pixel", FACE, h.pixel(shot, x + 245, y + 27))


@suite.case("main window", "\"Cancel\" ends the program with exit code 0")
def cancel_button():
    with h.Program("window-cancel") as prog:
        h.run_pdtest(["wait-main", "click", "6", "expect-hidden", "main"]).expect_ok()
        h.expect_eq("exit status after Cancel", "exit code 0", str(prog.wait(30)))


@suite.case("about window", "\"?\" shows, hides and shows About; closing About ends with exit code 0")
def about_toggle():
    with h.Program("window-about") as prog:
        res = h.run_pdtest([
            "wait-main", "expect-hidden", "about",
            "click", "7", "expect-visible", "about", "check-about", "expect-visible", "main",
            "click", "7", "expect-hidden", "about", "expect-visible", "main",
            "click", "7", "expect-visible", "about", "check-about", "sync", "about-window",
            "close", "about",
        ])
        res.expect_ok()
        h.expect_eq("exit status after closing About", "exit code 0", str(prog.wait(30)))
    h.expect_eq("screenshots taken", ["about-window"], res.synced)
    h.expect_eq("screenshot size", (800, 600), h.png_size(h.SCREENSHOTS / "about-window.png"))


if __name__ == "__main__":
    sys.exit(suite.run())
