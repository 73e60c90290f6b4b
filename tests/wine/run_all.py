"""Runs every Wine test in one Xvfb session and prints one summary line."""
import sys

import harness as h
import test_e2e
import test_window

suite = h.Suite("wine tests")
suite.cases = test_window.suite.cases + test_e2e.suite.cases

if __name__ == "__main__":
    sys.exit(suite.run())
