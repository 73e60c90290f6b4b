#!/usr/bin/env python3
"""Checks for the offline-mirror kit: pkzip.exe (under Wine), make_fixtures.py
and the mirror server.

    tests/tools/test_kit.py [--table-tool build/native/catalogue-table] \
                      [--pkzip /tmp/pkzip-build/pkzip.exe]

Without --pkzip (or without wine) the extractor checks are skipped. Uses its
own Wine prefix (WINEPREFIX, default /tmp/wp-tools) and only 127.0.0.1.
Ends with an "N passed, N failed" line; exits non-zero on any failure.
"""

import argparse
import io
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools")
MAKE_FIXTURES = os.path.join(TOOLS, "make_fixtures.py")
MIRROR = os.path.join(TOOLS, "mirror")
CONFIG = {"pkzip": None, "table_tool": None}

sys.path.insert(0, TOOLS)
from catalogue import read_catalogue  # noqa: E402


def byte_sum(data):
    return sum(data) & 0xFFFFFFFF


def catalogue():
    return {row.name: {"url": row.url, "path": row.path.lstrip("/"), "sum": row.checksum,
                       "command": row.command_id}
            for row in read_catalogue(CONFIG["table_tool"])}


def read_file(path):
    with open(path, "rb") as f:
        return f.read()


def make_fixtures(out, *extra):
    cmd = [sys.executable, MAKE_FIXTURES, "--out", out, "--table-tool", CONFIG["table_tool"]]
    if CONFIG["pkzip"]:
        cmd += ["--pkzip", CONFIG["pkzip"]]
    elif "--only" not in extra:
        for name, row in catalogue().items():
            if row["command"] != 0:
                cmd += ["--only", name]
    return subprocess.run(cmd + list(extra), capture_output=True, text=True)


def zip_bytes(members):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w") as zf:
        for name, data, method in members:
            info = zipfile.ZipInfo(name, (2000, 1, 1, 0, 0, 0))
            info.compress_type = method
            zf.writestr(info, data)
    return buf.getvalue()


S, D = zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED


class FixtureTests(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="kit-fx-")
        cls.rows = catalogue()
        cls.good = os.path.join(cls.tmp, "good")
        r = make_fixtures(cls.good)
        if r.returncode != 0:
            raise AssertionError(r.stderr)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def made(self):
        return {n: r for n, r in self.rows.items() if CONFIG["pkzip"] or r["command"] != 0}

    def test_packages_are_valid_zips_with_nested_stored_and_deflated_members(self):
        for name, row in self.made().items():
            if row["command"] == 0:
                continue
            with zipfile.ZipFile(os.path.join(self.good, row["path"])) as zf:
                self.assertIsNone(zf.testzip(), name)
                infos = zf.infolist()
                top = os.path.splitext(name)[0] + "/"
                self.assertTrue(all(i.filename.startswith(top) for i in infos), name)
                self.assertIn(top + "readme.txt", zf.namelist())
                self.assertTrue(any(i.filename.count("/") >= 2 and not i.is_dir()
                                    for i in infos), name)
                methods = {i.compress_type for i in infos if not i.is_dir()}
                self.assertEqual(methods, {S, D}, name)

    def test_output_is_repeatable(self):
        again = os.path.join(self.tmp, "again")
        self.assertEqual(make_fixtures(again).returncode, 0)
        for name, row in self.made().items():
            self.assertEqual(read_file(os.path.join(self.good, row["path"])),
                             read_file(os.path.join(again, row["path"])), name)

    def test_damaged_package_keeps_its_sum_but_fails_its_check(self):
        out = os.path.join(self.tmp, "damaged")
        r = make_fixtures(out, "--damaged", "7z920.zip", "--only", "7z920.zip")
        self.assertEqual(r.returncode, 0, r.stderr)
        row = self.rows["7z920.zip"]
        data = read_file(os.path.join(out, row["path"]))
        self.assertEqual(byte_sum(data), row["sum"])
        self.assertNotEqual(data, read_file(os.path.join(self.good, row["path"])))
        with zipfile.ZipFile(io.BytesIO(data)) as zf:
            try:
                bad = zf.testzip()
            except Exception:  # a broken deflate stream raises instead
                bad = "raised"
            self.assertIsNotNone(bad)
        self.assertEqual(sorted(os.listdir(os.path.join(out, "downloads", "software"))),
                         ["7zip"])

    def test_unknown_name_is_an_error(self):
        r = make_fixtures(os.path.join(self.tmp, "x"), "--only", "nosuch.zip")
        self.assertNotEqual(r.returncode, 0)
        self.assertIn("nosuch.zip", r.stderr)


def have_wine():
    return CONFIG["pkzip"] and shutil.which("wine")


class PkzipTests(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not have_wine():
            raise unittest.SkipTest("needs --pkzip and wine")
        cls.tmp = tempfile.mkdtemp(prefix="kit-pk-")
        cls.env = dict(os.environ, WINEDEBUG="-all", DISPLAY="")
        cls.env.setdefault("WINEPREFIX", "/tmp/wp-tools")
        cls.env.pop("PELMORA_PKZIP_LOG", None)
        # A wineserver that lingers between runs cuts each start to under a
        # second; it exits on its own once idle.
        # The warm-up run starts Wine's background services with no pipes of
        # ours attached; otherwise the first captured run waits on them.
        # A server still winding down would make the new one fail to start.
        cls.exe = os.path.join(cls.tmp, "pkzip.exe")
        shutil.copy(CONFIG["pkzip"], cls.exe)
        for cmd in (["wineserver", "-w"], ["wineserver", "-p15"], ["wine", cls.exe]):
            subprocess.run(cmd, env=cls.env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def run_pkzip(self, *args, env=None):
        return subprocess.run(["wine", self.exe] + list(args), capture_output=True,
                              env=env or self.env, timeout=120)

    def extract(self, members, name="a.zip", raw=None):
        path = os.path.join(self.tmp, name)
        with open(path, "wb") as f:
            f.write(raw if raw is not None else zip_bytes(members))
        out = tempfile.mkdtemp(dir=self.tmp)
        target = os.path.join(out, "new folder", "deep")
        return self.run_pkzip("-extract", path, target), out, target

    def files_under(self, folder):
        found = {}
        for base, _, files in os.walk(folder):
            for f in files:
                full = os.path.join(base, f)
                found[os.path.relpath(full, folder).replace(os.sep, "/")] = read_file(full)
        return found

    def test_extracts_stored_and_deflated_members_into_new_nested_folders(self):
        big = bytes(range(256)) * 3000 + os.urandom(50000)
        members = [("top/", b"", S), ("top/readme.txt", b"hello\r\n" * 50, D),
                   ("top/sub/deeper/big.bin", big, D), ("top/sub/raw.bin", b"\0\xff" * 999, S),
                   ("top/empty/", b"", S)]
        r, _, target = self.extract(members)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.files_under(target),
                         {n: d for n, d, _ in members if not n.endswith("/")})
        self.assertTrue(os.path.isdir(os.path.join(target, "top", "empty")))
        self.assertIn(b"top/sub/deeper/big.bin", r.stdout)

    def test_damaged_fixture_fails_and_leaves_no_bad_file(self):
        out = os.path.join(self.tmp, "fx-bad")
        r = make_fixtures(out, "--only", "7z920.zip", "--damaged", "7z920.zip")
        self.assertEqual(r.returncode, 0, r.stderr)
        target = os.path.join(self.tmp, "bad-out")
        r = self.run_pkzip("-extract", os.path.join(out, "downloads", "software", "7zip",
                                                    "7z920.zip"), target)
        self.assertNotEqual(r.returncode, 0)
        self.assertIn(b"table.dat", r.stderr)
        self.assertNotIn("7z920/docs/data/table.dat", self.files_under(target))

    def test_crc_mismatch_is_an_error(self):
        data = bytearray(zip_bytes([("a.txt", b"abc" * 100, S)]))
        cd = data.rfind(b"PK\x01\x02")
        data[cd + 16] ^= 0x01
        r, _, _ = self.extract(None, raw=bytes(data))
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"CRC", r.stderr)

    def test_truncated_and_garbage_archives_fail(self):
        good = zip_bytes([("a.txt", os.urandom(5000), D)])
        for raw in (good[:len(good) - 30], b"not a zip at all" * 10, b""):
            r, _, _ = self.extract(None, raw=raw)
            self.assertEqual(r.returncode, 1, raw[:20])
            self.assertTrue(r.stderr.strip())

    def test_unsupported_method_fails(self):
        data = bytearray(zip_bytes([("a.txt", b"abc", S)]))
        cd = data.rfind(b"PK\x01\x02")
        struct.pack_into("<H", data, cd + 10, 12)
        r, _, _ = self.extract(None, raw=bytes(data))
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"method 12", r.stderr)

    def test_refuses_members_that_escape_the_folder(self):
        for evil in ("../evil.txt", "ok/../../evil.txt", "..\\evil.txt", "C:/evil.txt",
                     "c:evil.txt", "/evil.txt", "\\evil.txt", ". ./evil.txt"):
            r, out, _ = self.extract([("fine.txt", b"x", S), (evil, b"evil", S)])
            self.assertEqual(r.returncode, 3, evil)
            self.assertIn(b"refusing", r.stderr, evil)
            written = [f for _, _, fs in os.walk(os.path.dirname(out)) for f in fs
                       if "evil" in f or f == "fine.txt"]
            self.assertEqual(written, [], evil)

    def test_cannot_write_is_an_error(self):
        blocker = os.path.join(self.tmp, "blocker")
        with open(blocker, "w") as f:
            f.write("a file, not a folder")
        path = os.path.join(self.tmp, "w.zip")
        with open(path, "wb") as f:
            f.write(zip_bytes([("a.txt", b"abc", S)]))
        r = self.run_pkzip("-extract", path, os.path.join(blocker, "sub"))
        self.assertEqual(r.returncode, 4)

    def test_usage_errors(self):
        for args in ((), ("-extract", "a.zip"), ("-list", "a.zip", "out")):
            self.assertEqual(self.run_pkzip(*args).returncode, 2, args)



class MirrorTests(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="kit-mirror-")
        cls.root = os.path.join(cls.tmp, "root")
        r = make_fixtures(cls.root, "--only", "7z920.zip", "--only", "winzip63.zip")
        if r.returncode != 0:
            raise AssertionError(r.stderr)
        cls.rows = catalogue()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def start(self, *extra, root=None):
        ready = os.path.join(self.tmp, f"ready-{time.monotonic_ns()}")
        self.log = ready + ".log"
        proc = subprocess.Popen([sys.executable, MIRROR, "--root", root or self.root,
                                 "--table-tool", CONFIG["table_tool"], "--port", "0",
                                 "--log", self.log, "--ready-file", ready] + list(extra))
        self.addCleanup(self.stop, proc)
        deadline = time.monotonic() + 20
        while not os.path.exists(ready):
            self.assertIsNone(proc.poll(), "mirror exited early")
            self.assertLess(time.monotonic(), deadline, "mirror never became ready")
            time.sleep(0.05)
        self.port = int(read_file(ready).split()[1])
        return proc

    @staticmethod
    def stop(proc):
        if proc.poll() is None:
            proc.send_signal(signal.SIGTERM)
            proc.wait(timeout=10)

    def path(self, name):
        return "/" + self.rows[name]["path"]

    def local(self, name):
        return read_file(os.path.join(self.root, self.rows[name]["path"]))

    def raw_get(self, path, method="GET", host="mirror.pelmora.example", timeout=10):
        """(status, headers dict, body, closed) read straight off the socket."""
        s = socket.create_connection(("127.0.0.1", self.port), timeout=timeout)
        s.sendall(f"{method} {path} HTTP/1.1\r\nHost: {host}\r\n"
                  "User-Agent: Kit Test/1.0\r\n\r\n".encode())
        data = b""
        try:
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                data += chunk
        finally:
            s.close()
        head, _, body = data.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        headers = {k.lower(): v.strip() for k, _, v in (ln.partition(":") for ln in lines[1:])}
        return int(lines[0].split()[1]), headers, body

    def log_rows(self):
        for _ in range(50):
            rows = [ln.split("\t") for ln in read_file(self.log).decode().splitlines()
                    if ln and not ln.startswith("#")]
            if rows:
                return rows
            time.sleep(0.1)
        return []

    def test_serves_exact_bytes_on_both_hosts_and_logs_them(self):
        self.start()
        for name, host in (("7z920.zip", "mirror.pelmora.example"),
                           ("winzip63.zip", "archive.pelmora.example")):
            status, headers, body = self.raw_get(self.path(name), host=host)
            self.assertEqual(status, 200)
            self.assertEqual(body, self.local(name))
            self.assertEqual(int(headers["content-length"]), len(body))
        status, headers, body = self.raw_get(self.path("7z920.zip"), method="HEAD")
        self.assertEqual((status, body), (200, b""))
        self.assertEqual(int(headers["content-length"]), len(self.local("7z920.zip")))
        rows = self.log_rows()
        self.assertEqual(rows[0], ["mirror.pelmora.example", "GET", self.path("7z920.zip"),
                                   "200", str(len(self.local("7z920.zip"))), "Kit Test/1.0"])
        self.assertEqual(rows[1][0], "archive.pelmora.example")
        self.assertEqual(rows[2][1:5], ["HEAD", self.path("7z920.zip"), "200", "0"])

    def test_nothing_outside_the_root(self):
        self.start()
        for path in ("/../../etc/passwd", "/downloads/%2e%2e/%2e%2e/etc/passwd",
                     "/downloads/software/7zip/", "/nosuch.zip", "/downloads\\..\\x"):
            self.assertEqual(self.raw_get(path)[0], 404, path)

    def test_bad_sum_is_refused_unless_allowed(self):
        root = os.path.join(self.tmp, "badroot")
        shutil.copytree(self.root, root, dirs_exist_ok=True)
        target = os.path.join(root, self.rows["7z920.zip"]["path"])
        with open(target, "ab") as f:
            f.write(b"\x01")
        self.start(root=root)
        status, _, body = self.raw_get(self.path("7z920.zip"))
        self.assertEqual(status, 500)
        self.assertIn(b"<html", body)
        self.assertIn("BAD SUM 7z920.zip", read_file(self.log).decode())
        self.assertEqual(self.raw_get(self.path("winzip63.zip"))[0], 200)
        self.start("--allow-bad-sums", root=root)
        status, _, body = self.raw_get(self.path("7z920.zip"))
        self.assertEqual((status, body), (200, read_file(target)))

    def test_no_length_sends_whole_body_then_closes(self):
        self.start("--fault", "no-length")
        status, headers, body = self.raw_get(self.path("7z920.zip"))
        self.assertEqual(status, 200)
        self.assertNotIn("content-length", headers)
        self.assertEqual(body, self.local("7z920.zip"))

    def test_drop_closes_part_way(self):
        self.start("--fault", "drop")
        status, headers, body = self.raw_get(self.path("7z920.zip"))
        want = self.local("7z920.zip")
        self.assertEqual(status, 200)
        self.assertEqual(int(headers["content-length"]), len(want))
        self.assertGreater(len(body), 0)
        self.assertLess(len(body), len(want))
        self.assertEqual(body, want[:len(body)])
        self.assertEqual(self.log_rows()[0][3:5], ["200", str(len(body))])

    def test_error_fault_only_on_its_path(self):
        self.start("--fault", "error", "--fault-path", "7z920.zip", "--fault-status", "500")
        status, _, body = self.raw_get(self.path("7z920.zip"))
        self.assertEqual(status, 500)
        self.assertIn(b"<html", body)
        self.assertEqual(self.raw_get(self.path("winzip63.zip"))[0], 200)
        self.start("--fault", "error")
        self.assertEqual(self.raw_get(self.path("winzip63.zip"))[0], 404)

    def test_stall_never_answers(self):
        self.start("--fault", "stall", "--fault-path", self.path("7z920.zip"))
        with self.assertRaises(socket.timeout):
            self.raw_get(self.path("7z920.zip"), timeout=1.5)
        self.assertEqual(self.log_rows()[0][3:5], ["0", "0"])
        self.assertEqual(self.raw_get(self.path("winzip63.zip"))[0], 200)

    def test_rate_throttles(self):
        self.start("--rate", "400000")
        started = time.monotonic()
        status, _, body = self.raw_get(self.path("7z920.zip"))
        self.assertEqual(status, 200)
        self.assertGreater(time.monotonic() - started, len(body) / 400000 * 0.8)

    def test_sigterm_stops_even_with_a_stalled_client(self):
        proc = self.start("--fault", "stall")
        s = socket.create_connection(("127.0.0.1", self.port))
        s.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
        time.sleep(0.3)
        proc.send_signal(signal.SIGTERM)
        self.assertEqual(proc.wait(timeout=10), 0)
        s.close()



def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--table-tool",
                    default=os.path.join(os.path.dirname(TOOLS), "build", "native",
                                         "catalogue-table"))
    ap.add_argument("--pkzip")
    args, rest = ap.parse_known_args()
    CONFIG["table_tool"] = os.path.abspath(args.table_tool)
    CONFIG["pkzip"] = os.path.abspath(args.pkzip) if args.pkzip else None
    result = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2).result
    failed = len(result.failures) + len(result.errors)
    skipped = len(result.skipped)
    print(f"{result.testsRun - failed - skipped} passed, {failed} failed, {skipped} skipped")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
