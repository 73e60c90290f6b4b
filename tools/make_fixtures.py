#!/usr/bin/env python3
"""Build a mirror folder of stand-in downloads for Pelmora Downloader.

Every file the downloader fetches is made locally and laid out at its URL
path under --out, e.g. OUT/downloads/software/7zip/7z920.zip and
OUT/files/pkzip25.exe. The downloader accepts a file only if its plain byte
sum matches the catalogue, so each file is padded to hit that sum exactly:

* packages are small demo zips (a top folder named after the package, a
  readme, a nested folder with a second file, stored and deflated members,
  and "Läs mig.txt", a name stored in code page 437 as DOS-era zip tools did)
  with a run of filler bytes between the last member and the central
  directory. The directory offsets account for the gap, so zip readers
  never see it.
* the extractor is the given pkzip.exe with filler appended after the PE
  image, which the Windows loader ignores.

--damaged NAME keeps NAME's byte sum right but breaks it for an extractor:
for a package two neighbouring bytes of a deflated member's data are swapped
(same sum, wrong CRC or broken deflate stream); for the extractor the "PE"
signature is swapped, so Windows will not run it.

The catalogue comes from the project's catalogue-table tool, never from a
copy kept here. Output is deterministic: same inputs, same bytes.
"""

import argparse
import io
import os
import random
import struct
import subprocess
import sys
import zipfile
import zlib

import catalogue

PROJECT_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_TABLE_TOOL = os.path.join(PROJECT_ROOT, "build", "native", "catalogue-table")

FIXED_TIME = (2001, 6, 1, 12, 0, 0)
END_SIG = b"PK\x05\x06"
END_RECORD_SIZE = 22


class FixtureError(Exception):
    pass


def byte_sum(data):
    return sum(data) & 0xFFFFFFFF


def read_catalogue(table_tool):
    try:
        table = catalogue.read_catalogue(table_tool)
    except (OSError, subprocess.CalledProcessError, ValueError) as exc:
        raise FixtureError(f"cannot read the catalogue from {table_tool}: {exc}")
    rows = []
    for row in table:
        parts = [p for p in row.path.split("/") if p]
        if not parts or any(p in (".", "..") for p in parts):
            raise FixtureError(f"unusable URL path in catalogue: {row.url}")
        rows.append({
            "name": row.name,
            "url": row.url,
            "path": "/".join(parts),
            "expected": row.checksum,
            "command": row.command_id,
            "label": row.label,
        })
    if not rows:
        raise FixtureError("catalogue tool printed no rows")
    return rows


def demo_text(seed, lines):
    """Readable, compressible filler so deflate has real work to do."""
    rng = random.Random(seed)
    words = ("pelmora mirror package folder setup archive offline demo byte "
             "sum check extract windows lan disk copy file readme").split()
    return "".join(" ".join(rng.choice(words) for _ in range(rng.randint(6, 14))) + "\r\n"
                   for _ in range(lines)).encode("ascii")


class DosNameInfo(zipfile.ZipInfo):
    """A member whose name is stored as code page 437 bytes without the UTF-8
    flag (bit 11), as DOS and early Windows zip tools wrote non-ASCII names;
    zipfile itself would store them as flagged UTF-8."""

    def _encodeFilenameFlags(self):
        return self.filename.encode("cp437"), self.flag_bits & ~0x800


def zip_member(name, data, method):
    info = DosNameInfo(name, FIXED_TIME)
    info.compress_type = method
    info.create_system = 0  # fixed, so the bytes do not depend on the host OS
    info.external_attr = 0x10 if name.endswith("/") else 0x20
    return info, data


def demo_zip(row):
    top = os.path.splitext(row["name"])[0]
    seed = zlib.crc32(row["name"].encode())
    readme = (f"{row['label']} demo package ({row['name']})\r\n"
              "Stand-in content served by a Pelmora offline mirror.\r\n").encode("ascii")
    members = [
        zip_member(f"{top}/", b"", zipfile.ZIP_STORED),
        zip_member(f"{top}/readme.txt", readme + demo_text(seed, 40), zipfile.ZIP_DEFLATED),
        zip_member(f"{top}/Läs mig.txt", demo_text(seed + 3, 4), zipfile.ZIP_DEFLATED),
        zip_member(f"{top}/docs/", b"", zipfile.ZIP_STORED),
        zip_member(f"{top}/docs/notes.txt", demo_text(seed + 1, 8), zipfile.ZIP_STORED),
        zip_member(f"{top}/docs/data/table.dat", demo_text(seed + 2, 300), zipfile.ZIP_DEFLATED),
    ]
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", compresslevel=9) as zf:
        for info, data in members:
            zf.writestr(info, data)
    return buf.getvalue()


def split_zip(data):
    """Split a comment-less zip into (members, central directory, end record)."""
    end = len(data) - END_RECORD_SIZE
    if data[end:end + 4] != END_SIG:
        raise FixtureError("zip has no end record where expected")
    cd_size, cd_offset = struct.unpack_from("<II", data, end + 12)
    if cd_offset + cd_size != end:
        raise FixtureError("unexpected zip layout")
    return data[:cd_offset], data[cd_offset:end], data[end:]


def damage_member(members, name):
    """Swap two differing neighbouring bytes inside NAME's compressed data."""
    members = bytearray(members)
    pos = 0
    while True:
        pos = members.find(b"PK\x03\x04", pos)
        if pos < 0:
            raise FixtureError(f"member {name} not found")
        method, = struct.unpack_from("<H", members, pos + 8)
        csize, = struct.unpack_from("<I", members, pos + 18)
        name_len, extra_len = struct.unpack_from("<HH", members, pos + 26)
        start = pos + 30 + name_len + extra_len
        if members[pos + 30:pos + 30 + name_len] == name.encode() and method == 8:
            break
        pos = start + csize
    for i in range(start + csize // 2, start + csize - 1):
        if members[i] != members[i + 1]:
            members[i], members[i + 1] = members[i + 1], members[i]
            return bytes(members)
    raise FixtureError(f"cannot damage {name}: no two differing bytes")


def filler(length, amount):
    """LENGTH bytes that add up to exactly AMOUNT."""
    full, rest = divmod(amount, 255)
    if full > length or (full == length and rest):
        raise FixtureError("filler too short")
    out = b"\xff" * full + (bytes([rest]) if rest else b"")
    return out + b"\x00" * (length - len(out))


def pad_zip(data, target, label, size=0):
    """Insert a gap before the central directory so the byte sum hits TARGET
    (and the archive is at least SIZE bytes)."""
    members, cd, end = split_zip(data)
    fixed = byte_sum(members) + byte_sum(cd)
    if fixed + byte_sum(end) > target:
        raise FixtureError(f"{label}: natural sum {fixed + byte_sum(end)} already exceeds {target}")
    gap = max(0, (target - fixed - byte_sum(end)) // 255, size - len(data))
    # The end record's directory offset moves with the gap, which changes its
    # own byte sum, so try gap lengths until the remainder fits.
    for _ in range(4096):
        new_end = end[:16] + struct.pack("<I", len(members) + gap) + end[20:]
        need = target - fixed - byte_sum(new_end)
        if 0 <= need <= 255 * gap:
            return members + filler(gap, need) + cd + new_end
        gap += 1
    raise FixtureError(f"{label}: cannot find a padding length for sum {target}")


def make_package(row, damaged, size):
    data = demo_zip(row)
    if damaged:
        members, cd, end = split_zip(data)
        top = os.path.splitext(row["name"])[0]
        data = damage_member(members, f"{top}/docs/data/table.dat") + cd + end
    return pad_zip(data, row["expected"], row["name"], size)


def make_extractor(row, pkzip_path, damaged):
    try:
        with open(pkzip_path, "rb") as f:
            image = f.read()
    except OSError as exc:
        raise FixtureError(f"cannot read extractor {pkzip_path}: {exc}")
    if image[:2] != b"MZ":
        raise FixtureError(f"{pkzip_path} is not a Windows executable")
    pe, = struct.unpack_from("<I", image, 0x3C)
    if image[pe:pe + 4] != b"PE\x00\x00":
        raise FixtureError(f"{pkzip_path} has no PE header")
    if damaged:
        image = image[:pe] + b"EP" + image[pe + 2:]
    need = row["expected"] - byte_sum(image)
    if need < 0:
        raise FixtureError(f"{row['name']}: natural sum {byte_sum(image)} already exceeds "
                           f"{row['expected']}")
    return image + filler((need + 254) // 255, need)


def verify(row, data, damaged):
    """Returns a short note, or raises if the file is not what was asked for."""
    got = byte_sum(data)
    if got != row["expected"]:
        raise FixtureError(f"{row['name']}: byte sum {got} != {row['expected']}")
    if row["command"] == 0:
        pe, = struct.unpack_from("<I", data, 0x3C)
        runnable = data[:2] == b"MZ" and data[pe:pe + 4] == b"PE\x00\x00"
        if runnable == damaged:
            raise FixtureError(f"{row['name']}: PE header {'intact' if runnable else 'broken'}")
        return "broken PE signature" if damaged else "PE image + overlay"
    try:
        with zipfile.ZipFile(io.BytesIO(data)) as zf:
            names = zf.namelist()
            bad = zf.testzip()
    except (zipfile.BadZipFile, zlib.error) as exc:
        if not damaged:
            raise FixtureError(f"{row['name']}: does not open as a zip: {exc}")
        return f"damaged ({exc})"
    if damaged:
        if bad is None:
            raise FixtureError(f"{row['name']}: damage did not break the archive")
        return f"damaged (bad member {bad})"
    if bad is not None:
        raise FixtureError(f"{row['name']}: member {bad} fails its CRC")
    return f"zip ok, {len(names)} entries"


def main(argv=None):
    ap = argparse.ArgumentParser(description="Make a local mirror folder of stand-in downloads.")
    ap.add_argument("--out", required=True, help="mirror folder to fill")
    ap.add_argument("--pkzip", help="built pkzip.exe (needed unless --only leaves it out)")
    ap.add_argument("--table-tool", default=DEFAULT_TABLE_TOOL,
                    help="catalogue-table binary (default: %(default)s)")
    ap.add_argument("--damaged", action="append", default=[], metavar="FILE_NAME",
                    help="break this file while keeping its byte sum (repeatable)")
    ap.add_argument("--only", action="append", default=[], metavar="FILE_NAME",
                    help="make only these files (repeatable)")
    ap.add_argument("--size", type=int, default=0, metavar="BYTES",
                    help="pad every package to at least this size (for benchmarks)")
    args = ap.parse_args(argv)

    try:
        rows = read_catalogue(args.table_tool)
        known = {r["name"] for r in rows}
        for name in args.damaged + args.only:
            if name not in known:
                raise FixtureError(f"{name} is not in the catalogue ({', '.join(sorted(known))})")
        if args.only:
            rows = [r for r in rows if r["name"] in args.only]
        if any(r["command"] == 0 for r in rows) and not args.pkzip:
            raise FixtureError("--pkzip is required to make the extractor")

        for row in rows:
            damaged = row["name"] in args.damaged
            if row["command"] == 0:
                data = make_extractor(row, args.pkzip, damaged)
            else:
                data = make_package(row, damaged, args.size)
            note = verify(row, data, damaged)
            dest = os.path.join(args.out, *row["path"].split("/"))
            os.makedirs(os.path.dirname(dest), exist_ok=True)
            tmp = dest + ".tmp"
            with open(tmp, "wb") as f:
                f.write(data)
            os.replace(tmp, dest)
            print(f"{row['name']}\t{row['path']}\tsize={len(data)}\tsum={byte_sum(data)}\t{note}")
    except FixtureError as exc:
        print(f"make_fixtures: error: {exc}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
