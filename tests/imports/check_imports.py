#!/usr/bin/env python3
"""Checks that an .exe can load on Windows 95 (with IE 4), 98, NT 4.0 and 2000:
an i386 PE32 with OS and subsystem version 4.0, importing only from the
expected DLLs and only functions on the allow-list of imports present on all
of those systems. Wine exports everything, so only this check can catch an
import that an old system lacks.

usage: check_imports.py EXE [--gui|--console] [--dlls a,b,...]
Prints each offending import and ends with 'N passed, N failed'."""
import argparse
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ALLOWED = os.path.join(HERE, "..", "compat", "win9x-allowed-imports.txt")
KNOWN_BAD = os.path.join(HERE, "..", "compat", "known-missing-imports.txt")
DEFAULT_DLLS = "kernel32,user32,gdi32,shell32,ole32,wininet,comctl32,msvcrt"


def read_list(path):
    entries = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            if line.startswith("#") or not line.strip():
                continue
            fields = line.rstrip("\n").split("\t")
            entries[fields[0]] = fields[1:] if len(fields) > 1 else []
    return entries


def read_pe(exe):
    text = subprocess.run(["i686-w64-mingw32-objdump", "-p", exe], check=True,
                          capture_output=True, text=True).stdout
    header = {}
    for key in ("Magic", "MajorOSystemVersion", "MinorOSystemVersion",
                "MajorSubsystemVersion", "MinorSubsystemVersion", "Subsystem"):
        m = re.search(r"^%s\s+(\S+)" % key, text, re.M)
        header[key] = m.group(1) if m else None
    imports, dll = [], None
    for line in text.splitlines():
        m = re.match(r"\s*DLL Name: (\S+)", line)
        if m:
            dll = m.group(1).lower()
            dll = dll[:-4] if dll.endswith(".dll") else dll
            continue
        m = re.match(r"\s+[0-9a-f]+\s+(\d+)\s+(\S+)\s*$", line)
        if dll and m:
            imports.append((dll, m.group(2)))
        elif dll and not line.strip():
            dll = None
    machine = subprocess.run(["i686-w64-mingw32-objdump", "-f", exe], check=True,
                             capture_output=True, text=True).stdout
    header["format"] = "pei-i386" if "file format pei-i386" in machine else machine
    return header, imports


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("exe")
    parser.add_argument("--console", action="store_true")
    parser.add_argument("--dlls", default=DEFAULT_DLLS)
    args = parser.parse_args()

    allowed, known_bad = read_list(ALLOWED), read_list(KNOWN_BAD)
    header, imports = read_pe(args.exe)
    expected_dlls = set(args.dlls.split(","))
    checks = [
        ("machine i386, PE32", header["format"] == "pei-i386" and header["Magic"] == "010b"),
        ("subsystem", header["Subsystem"] == ("00000003" if args.console else "00000002")),
        ("OS version 4.0", (header["MajorOSystemVersion"], header["MinorOSystemVersion"]) == ("4", "0")),
        ("subsystem version 4.0",
         (header["MajorSubsystemVersion"], header["MinorSubsystemVersion"]) == ("4", "0")),
        ("imports present", len(imports) > 0),
    ]
    for dll in sorted({d for d, _ in imports}):
        checks.append(("DLL %s expected" % dll, dll in expected_dlls))
    for dll, name in imports:
        key = "%s!%s" % (dll, name)
        # Stubs on the 95 family (A-W9x) and IE4 extras (C) count as missing.
        ok = key in allowed and key not in known_bad and allowed[key][:1] not in (["C"], ["A-W9x"])
        if not ok:
            why = known_bad.get(key, ["not on the allow-list"])
            print("bad import %s: %s" % (key, " ".join(why)))
        checks.append((key, ok))

    failed = [name for name, ok in checks if not ok]
    for name in failed:
        print("FAIL", name)
    print("%s: %d imports from %d DLLs" % (os.path.basename(args.exe), len(imports),
                                           len({d for d, _ in imports})))
    print("%d passed, %d failed" % (len(checks) - len(failed), len(failed)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
