#!/usr/bin/env python3
"""Checks that an .exe can load and run on every system and CPU it is for:
an i386 PE32 with OS and subsystem version 4.0, importing only functions on
the allow-list of what Windows 95, 98, NT 4.0 and 2000 all have as installed,
from the seven DLLs each of them ships (Wine exports everything, so only this
check catches a missing one), and,
with --i486, no instruction that a 486 lacks (CMOV and the rest of the
Pentium Pro's, CPUID, RDTSC, CMPXCHG8B, MMX and SSE), named by the function
from the linker map beside the .exe when there is one.

usage: check_exe.py EXE [--console] [--i486] [--max-size BYTES]
Prints each fault and ends with 'N passed, N failed'."""
import argparse
import bisect
import os
import re
import subprocess
import sys

COMPAT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "compat")
# What every Windows 95 and NT 4.0 has as installed; the console stand-in
# extractor may use the C library DLL besides.
DLLS = {"kernel32", "user32", "gdi32", "advapi32", "shell32", "ole32", "comctl32"}
POST_486 = re.compile(r"\t(cmov|fcmov|fcomi|fucomi|sysenter|sysexit|rdtsc|rdpmc|cpuid|cmpxchg8b)"
                      r"|%x?mm\d")


def read_list(name):
    with open(os.path.join(COMPAT, name), encoding="utf-8") as f:
        return {fields[0]: fields[1:] for fields in
                (line.rstrip("\n").split("\t") for line in f if line.strip() and line[0] != "#")}


def objdump(*args):
    return subprocess.run(["i686-w64-mingw32-objdump", *args], check=True, capture_output=True,
                          text=True).stdout


def imports_and_header(exe):
    text = objdump("-p", exe)
    header = dict(re.findall(r"^(Magic|M\w+Version|Subsystem)\s+(\S+)", text, re.M))
    imports, dll = [], None
    for line in text.splitlines():
        if m := re.match(r"\s*DLL Name: (\S+?)(\.dll)?$", line, re.I):
            dll = m.group(1).lower()
        elif dll and (m := re.match(r"\s+[0-9a-f]+\s+\d+\s+(\S+)\s*$", line)):
            imports.append(f"{dll}!{m.group(1)}")
        elif not line.strip():
            dll = None
    return header, imports


def function_names(exe):
    """(start address, function) from the linker map beside EXE, which puts
    every function in a section of its own."""
    mapfile = os.path.splitext(exe)[0] + ".map"
    if not os.path.exists(mapfile):
        return []
    with open(mapfile) as f:
        found = re.findall(r"^ \.text\$(\S+)\s+0x([0-9a-f]+)", f.read(), re.M)
    names = subprocess.run(["i686-w64-mingw32-c++filt", "-n"], input="\n".join(n for n, _ in found),
                           capture_output=True, text=True).stdout.splitlines()
    return sorted((int(a, 16), name) for (_, a), name in zip(found, names))


def post_486_instructions(exe):
    names = function_names(exe)
    starts = [a for a, _ in names]
    found = []
    for line in objdump("-d", "--no-show-raw-insn", exe).splitlines():
        if POST_486.search(line):
            address = int(line.split(":")[0], 16)
            i = bisect.bisect_right(starts, address) - 1
            where = names[i][1] if i >= 0 else "?"
            found.append(f"{address:#x} in {where}: {line.split(chr(9))[-1].strip()}")
    return found


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("exe")
    ap.add_argument("--console", action="store_true")
    ap.add_argument("--i486", action="store_true")
    ap.add_argument("--max-size", type=int)
    args = ap.parse_args()

    allowed, missing = read_list("win9x-allowed-imports.txt"), read_list("known-missing-imports.txt")
    header, imports = imports_and_header(args.exe)
    checks = [
        ("i386 PE32", "file format pei-i386" in objdump("-f", args.exe) and header["Magic"] == "010b"),
        ("subsystem", header["Subsystem"] == ("00000003" if args.console else "00000002")),
        ("OS and subsystem version 4.0", [header[k] for k in ("MajorOSystemVersion", "MinorOSystemVersion",
         "MajorSubsystemVersion", "MinorSubsystemVersion")] == ["4", "0", "4", "0"]),
        ("imports present", bool(imports)),
    ]
    for name in imports:
        # Stubs on the 95 family (A-W9x) and IE4 extras (C) count as missing.
        dlls = DLLS | {"msvcrt"} if args.console else DLLS
        ok = (name.split("!")[0] in dlls and name in allowed and name not in missing
              and allowed[name][:1] not in (["C"], ["A-W9x"]))
        if not ok:
            print("bad import %s: %s" % (name, " ".join(missing.get(name, ["not on the allow-list"]))))
        checks.append((name, ok))
    if args.i486:
        found = post_486_instructions(args.exe)
        for line in found:
            print("post-486 instruction at", line)
        print(f"post-486 instructions: {len(found)}")
        checks.append(("no post-486 instruction", not found))
    size = os.path.getsize(args.exe)
    print(f"{os.path.basename(args.exe)}: {size} bytes, {len(imports)} imports")
    if args.max_size:
        checks.append((f"at most {args.max_size} bytes", size <= args.max_size))

    failed = [name for name, ok in checks if not ok]
    for name in failed:
        print("FAIL", name)
    print("%d passed, %d failed" % (len(checks) - len(failed), len(failed)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
