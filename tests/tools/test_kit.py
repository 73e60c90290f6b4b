#!/usr/bin/env python3
"""What a LAN operator relies on in the offline-mirror kit: the mirror serves
exact bytes on both host names, nothing outside its root, refuses files
with a wrong sum, and resumes a download only from the same file; the stand-in extractor, which runs on users' machines,
writes nothing for members that would escape the folder and fails on a
damaged archive. The end-to-end tests exercise the rest.

    tests/tools/test_kit.py TABLE_TOOL PKZIP_EXE     (ends with "N passed, N failed")
"""
import io
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools")
sys.path.insert(0, TOOLS)
from catalogue import read_catalogue  # noqa: E402

TABLE_TOOL, PKZIP = (os.path.abspath(a) for a in sys.argv[1:3])
ROWS = {row.name: row for row in read_catalogue(TABLE_TOOL)}
TMP = tempfile.mkdtemp(prefix="kit-")


def zip_bytes(*members):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in members:
            z.writestr(name, data)
    return buf.getvalue()


def dechunk(body):
    """(data, whether the zero chunk came, whether the body ended inside a chunk's data)."""
    data = b""
    while body:
        size, _, body = body.partition(b"\r\n")
        n = int(size.split(b";")[0], 16)
        if n == 0 or len(body) < n:
            return data + body[:n], n == 0, len(body) < n
        data, body = data + body[:n], body[n + 2:]
    return data, False, False


class Mirror(unittest.TestCase):
    root = os.path.join(TMP, "root")

    @classmethod
    def setUpClass(cls):
        subprocess.run([sys.executable, os.path.join(TOOLS, "make_fixtures.py"), "--out", cls.root,
                        "--table-tool", TABLE_TOOL, "--pkzip", PKZIP], check=True,
                       stdout=subprocess.DEVNULL)

    def serve(self, root, *options):
        ready = tempfile.mktemp(dir=TMP)
        proc = subprocess.Popen([sys.executable, os.path.join(TOOLS, "mirror"), "--root", root,
                                 "--table-tool", TABLE_TOOL, "--port", "0", "--ready-file", ready,
                                 "--log", os.path.join(TMP, "log"), *options])
        self.addCleanup(lambda: (proc.terminate(), proc.wait()))
        while not os.path.exists(ready):
            self.assertIsNone(proc.poll(), "the mirror ended")
            time.sleep(0.05)
        with open(ready) as f:
            self.port = int(f.read().split()[1])

    def request(self, path, *headers, host="mirror.pelmora.example"):
        """(status, header fields, body) of a GET."""
        lines = "".join(h + "\r\n" for h in (f"Host: {host}",) + headers)
        with socket.create_connection(("127.0.0.1", self.port), timeout=10) as s:
            s.sendall(f"GET {path} HTTP/1.1\r\n{lines}\r\n".encode())
            data = b"".join(iter(lambda: s.recv(65536), b""))
        head, _, body = data.partition(b"\r\n\r\n")
        status, *fields = head.decode().split("\r\n")
        return int(status.split()[1]), dict(f.split(": ", 1) for f in fields), body

    def get(self, path, host="mirror.pelmora.example"):
        status, _, body = self.request(path, host=host)
        return status, body

    def local(self, row):
        with open(os.path.join(self.root, row.path.lstrip("/")), "rb") as f:
            return f.read()

    def test_exact_bytes_on_both_hosts(self):
        self.serve(self.root)
        for row in ROWS.values():
            self.assertEqual(self.get(row.path, row.host), (200, self.local(row)), row.name)
            self.assertEqual(self.get(row.path, "other.example"), (200, self.local(row)), row.name)

    def test_nothing_outside_the_root(self):
        self.serve(os.path.join(self.root, "downloads"))
        for path in ("/../files/pkzip25.exe", "/software/%2e%2e/%2e%2e/files/pkzip25.exe",
                     "/software/7zip/", "/software\\..\\..\\files\\pkzip25.exe", "/nosuch.zip"):
            self.assertEqual(self.get(path)[0], 404, path)

    def test_a_wrong_sum_is_refused_unless_allowed(self):
        root = os.path.join(TMP, "bad")
        shutil.copytree(self.root, root)
        row = ROWS["7z920.zip"]
        with open(os.path.join(root, row.path.lstrip("/")), "ab") as f:
            f.write(b"\x01")
        self.serve(root)
        self.assertEqual(self.get(row.path)[0], 500)
        self.serve(root, "--allow-bad-sums")
        self.assertEqual(self.get(row.path), (200, self.local(row) + b"\x01"))

    def test_a_resume_gets_its_range_only_from_the_same_file(self):
        # If-Range keeps a client from splicing two versions of a file.
        root = os.path.join(TMP, "replaced")
        shutil.copytree(self.root, root)
        self.serve(root, "--allow-bad-sums")
        row = ROWS["7z920.zip"]
        _, head, old = self.request(row.path)
        resume = lambda validator: self.request(row.path, "Range: bytes=100-", "If-Range: " + validator)[::2]
        for validator in (head["ETag"], head["Last-Modified"]):
            self.assertEqual(resume(validator), (206, old[100:]), validator)
        for stale in ("W/" + head["ETag"], '"other"', "Mon, 01 Jan 2001 00:00:00 GMT"):
            self.assertEqual(resume(stale), (200, old), stale)
        # Same length and time, other bytes: only the tag can tell.
        path, new = os.path.join(root, row.path.lstrip("/")), old[:-1] + bytes([old[-1] ^ 1])
        mtime = os.stat(path).st_mtime_ns
        with open(path, "r+b") as f:
            f.write(new)
        os.utime(path, ns=(mtime, mtime))
        self.assertEqual(resume(head["ETag"]), (200, new))

    def test_chunked_answers_whole_and_cut(self):
        self.serve(self.root, "--chunked", "--fault", "drop", "--fault-count", "1")
        row = ROWS["7z920.zip"]
        # Half of 2000 bytes is the end of the first chunk: the cut must still fall inside one.
        status, head, body = self.request(row.path, "Range: bytes=0-1999")
        data, ended, inside = dechunk(body)
        self.assertEqual((status, head["Transfer-Encoding"], ended, inside), (206, "chunked", False, True))
        self.assertTrue(data and self.local(row).startswith(data))
        status, head, body = self.request(row.path)
        self.assertEqual((status, "Content-Length" in head, dechunk(body)),
                         (200, False, (self.local(row), True, False)))

    def test_a_redirect_until_the_fault_count_is_used(self):
        row = ROWS["7z920.zip"]
        target = "http://" + ROWS["pkzip.exe"].host + row.path
        self.serve(self.root, "--fault", "redirect", "--redirect-to", target, "--fault-count", "1")
        status, head, body = self.request(row.path)
        self.assertEqual((status, head["Location"], head["Content-Length"]), (302, target, str(len(body))))
        self.assertEqual(self.get(row.path), (200, self.local(row)))


class Extractor(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        subprocess.run(["wineserver", "-p10"])  # one server for every run below

    def extract(self, archive):
        path = os.path.join(TMP, "a.zip")
        with open(path, "wb") as f:
            f.write(archive)
        out = tempfile.mkdtemp(dir=TMP)
        code = subprocess.run(["wine", PKZIP, "-extract", path, os.path.join(out, "into")],
                              env=dict(os.environ, WINEDEBUG="-all"), capture_output=True).returncode
        return code, sorted(os.path.relpath(os.path.join(d, f), out)
                            for d, _, files in os.walk(out) for f in files)

    def test_members_escaping_the_folder_write_nothing(self):
        for evil in ("../evil.txt", "ok/../../evil.txt", "..\\evil.txt", "C:/evil.txt", "c:evil.txt",
                     "/evil.txt", "\\evil.txt"):
            self.assertEqual(self.extract(zip_bytes(("fine.txt", b"x"), (evil, b"evil"))), (3, []), evil)

    def test_a_damaged_archive_fails(self):
        good = bytearray(zip_bytes(("a.txt", b"abc" * 1000)))
        crc_broken = good[:]
        crc_broken[good.rfind(b"PK\x01\x02") + 16] ^= 1
        for damaged in (bytes(crc_broken), bytes(good[:-30]), b"not a zip" * 10):
            self.assertEqual(self.extract(damaged), (1, []))


if __name__ == "__main__":
    result = unittest.main(argv=sys.argv[:1], exit=False, verbosity=2).result
    failed = len(result.failures) + len(result.errors)
    print(f"{result.testsRun - failed} passed, {failed} failed")
    shutil.rmtree(TMP, ignore_errors=True)
    sys.exit(1 if failed else 0)
