#!/usr/bin/env python3
"""How the program measures against bare references doing only the measured
work, as ratios of interleaved pairs in one run (the machine is shared and
noisy, so absolute times mean little). Run through scripts/bench, inside
the namespace where the catalogue hosts resolve to the local mirror."""
import random
import re
import shutil
import socket
import statistics
import subprocess
import sys
import time
import zipfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "wine"))
import certificates  # noqa: E402
import harness as h  # noqa: E402
sys.path.insert(0, str(h.ROOT / "tests" / "audit"))
import check_exe  # noqa: E402

PAIRS = int(sys.argv[1]) if len(sys.argv) > 1 else 5
WIN32 = h.BUILD / "win32"
# A lane (PELMORA_LANE) has its own work folder as it has its own prefix.
WORK = h.lane_folder("bench")
BIG = WORK / "big.bin"
SEVENZIP = h.CATALOGUE["7z920.zip"]
FOLDER = "Bench"


def report(what, ours, reference, unit, names=("ours", "reference")):
    ratios = [a / b for a, b in zip(ours, reference)]
    print(f"{what}: median {statistics.median(ratios):.2f}x, min {min(ratios):.2f}x "
          f"({len(ratios)} pairs; {names[0]} {', '.join(f'{v:g}' for v in ours)}; "
          f"{names[1]} {', '.join(f'{v:g}' for v in reference)} {unit})", flush=True)


def interleaved(ours, reference):
    """Runs PAIRS pairs, alternating which goes first."""
    a, b = [], []
    for i in range(PAIRS):
        for run in (ours, reference) if i % 2 == 0 else (reference, ours):
            (a if run is ours else b).append(run())
    return a, b


def wall(command):
    start = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, env=h.wine_env())
    return round((time.perf_counter() - start) * 1000, 1)


def under_wine(exe, *args):
    """A console program that prints "SUM MICROSECONDS"; the time, in ms."""
    out = subprocess.run(["wine", str(exe), *args], env=h.wine_env(), check=True,
                         capture_output=True, text=True).stdout.split()
    return round(int(out[1]) / 1000, 1)


def unpacked_package(mib=32, files=400):
    """A package of MIB MiB once unpacked, in FILES files (half text, half noise)."""
    path = WORK / f"package-{mib}MiB.zip"
    if not path.exists():
        rng = random.Random(mib)
        size = (mib << 20) // files
        with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
            for i in range(files):
                text = b" ".join(rng.choice((b"setup", b"data", b"file", b"win")) for _ in range(size // 10))
                z.writestr(f"app/part{i % 8}/file{i}.dat", (text[:size // 2] + rng.randbytes(size))[:size])
    return path


def extract_then_check(archive):
    """Wall times of the extractor unpacking ARCHIVE and of the program's
    check of what it unpacked, in ms."""
    folder = WORK / "unpacked"
    shutil.rmtree(folder, ignore_errors=True)
    extract = wall(["wine", WIN32 / "tools" / "pkzip" / "pkzip.exe", "-extract",
                    h.windows_path(archive), h.windows_path(folder)])
    start = time.perf_counter()
    out = subprocess.run(["wine", WIN32 / "bench" / "check_files.exe", h.windows_path(archive),
                          h.windows_path(folder)], env=h.wine_env(), check=True, capture_output=True,
                         text=True).stdout.split()
    h.expect("members missing or different", "0", out[0])
    return extract, round((time.perf_counter() - start) * 1000, 1)


def fixtures(name, size):
    root = WORK / f"mirror-{name}"
    subprocess.run([sys.executable, str(h.ROOT / "tools" / "make_fixtures.py"), "--out", str(root),
                    "--pkzip", str(WIN32 / "tools" / "pkzip" / "pkzip.exe"), "--table-tool",
                    str(h.TABLE_TOOL), "--only", "pkzip.exe", "--only", SEVENZIP.name,
                    "--size", str(size)], check=True, stdout=subprocess.DEVNULL)
    return root


def transfer_ms(mirror, path):
    """How long the mirror took to send the last request for PATH's body."""
    return int([r for r in mirror.requests() if r["path"] == path][-1]["ms"])


def program_request(screen, mirror, keep_extractor=True, exe=h.PROGRAM):
    """A "7zip" request through the windows, the package never at hand (nor
    the extractor, unless kept); (transfer ms, peak resident KiB, ms from the
    notice to the outcome)."""
    (h.WIN_TEMP / SEVENZIP.name).unlink(missing_ok=True)
    if not keep_extractor:
        (h.WIN_TEMP / "pkzip.exe").unlink(missing_ok=True)
    with h.Program("bench", exe=exe) as program:
        screen.click(SEVENZIP.command_id)
        screen.pick(FOLDER)
        screen.press(h.until("the notice", screen.boxes)[0], 1)
        start = time.perf_counter()
        # Looking seldom: every look at the windows is work for the wineserver,
        # which also carries the program's socket reads.
        box = h.until("the outcome", screen.boxes, timeout=600, interval=0.5)[0]
        took = round((time.perf_counter() - start) * 1000)
        h.expect("outcome", "Task succesfull", box["caption"])
        status = Path(f"/proc/{program.proc.pid}/status").read_text()
        peak = int(status.split("VmHWM:")[1].split()[0])
        screen.press(box, 1)
        screen.post(screen.find("main"), h.WM_CLOSE)
        program.exit_code()
    return transfer_ms(mirror, SEVENZIP.path), peak, took


def bare_request(mirror, winsock=False):
    args = [SEVENZIP.host, SEVENZIP.path] if winsock else [SEVENZIP.url]
    tool = "sock_get.exe" if winsock else "http_get.exe"
    subprocess.run(["wine", str(WIN32 / "bench" / tool), *args,
                    h.windows_path(WORK / "http_get.out")], env=h.wine_env(), check=True)
    return transfer_ms(mirror, SEVENZIP.path)


def winsock_program(folder=WORK):
    """A copy of the program with WININET taken away, so it downloads over
    its own HTTP on Winsock."""
    exe = folder / "PelmoraWinsock.exe"
    shutil.copy(WIN32 / "PelmoraDownloader.exe", exe)
    h.wine("reg", "add", r"HKCU\Software\Wine\AppDefaults\PelmoraWinsock.exe\DllOverrides",
           "/v", "wininet", "/d", "", "/f", check=True)
    return exe


def listening(port):
    with socket.socket() as probe:
        return probe.connect_ex(("127.0.0.1", port)) == 0


CERTS = WORK / "certs"
SECURE = f"https://{SEVENZIP.host}{SEVENZIP.path}"


class Nginx:
    """nginx serving ROOT on PORT, with TLS under the test CA's RSA-2048
    certificate on 443. requests() reads its access log as Mirror's:
    $request_time is the ms column (from the request read to the last byte
    handed to the system, as the mirror's), the TLS spoken the tls one."""

    def __init__(self, name, root, port):
        self.log, self.port = h.LOGS / f"{name}.nginx.log", port
        self.log.unlink(missing_ok=True)
        tls = (f" ssl; ssl_certificate {CERTS / 'rsa.pem'}; ssl_certificate_key {CERTS / 'rsa.key'}"
               if port == 443 else "")
        conf = WORK / f"{name}.nginx.conf"
        conf.write_text(f"daemon off; master_process off; pid {WORK}/{name}.pid; events {{}}\n"
                        "http { log_format timed '$uri\\t$status\\t$body_bytes_sent\\t$request_time"
                        "\\t$ssl_protocol $ssl_cipher';\n"
                        f"access_log {self.log} timed;\n"
                        f"server {{ listen 127.0.0.1:{port}{tls}; root {root}; }} }}\n")
        self.proc = subprocess.Popen(["nginx", "-e", str(WORK / f"{name}.error.log"), "-c", str(conf)],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        h.until(f"nginx on port {port}", lambda: listening(port))

    def requests(self):
        rows = [line.split("\t") for line in self.log.read_text().splitlines()]
        return [dict(path=p, status=s, bytes=b, ms=round(float(t) * 1000), tls=tls)
                for p, s, b, t, tls in rows]

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.proc.terminate()
        self.proc.wait()


def https_against_http_and_curl(screen, root):
    """The package over https by the program (the mirror redirecting it to
    nginx, the test CA beside the program) against the same program over
    plain http from nginx and against curl over https from the same nginx:
    interleaved, each timed by nginx's log. curl runs natively, not under
    Wine."""
    certificates.make(CERTS)
    folder = WORK / "beside-https"
    folder.mkdir(exist_ok=True)
    exe = winsock_program(folder)
    shutil.copy(CERTS / "pelmora-ca.crt", folder)
    size = (root / SEVENZIP.path.lstrip("/")).stat().st_size
    with Nginx("bench-https", root, 443) as secure:
        def ours_https():
            with h.Mirror("bench-redirect", root, "--allow-bad-sums", "--fault", "redirect",
                          "--fault-path", SEVENZIP.path, "--redirect-to", SECURE):
                return program_request(screen, secure, exe=exe)[0]

        def ours_http():
            with Nginx("bench-http", root, 80) as plain:
                return program_request(screen, plain, exe=exe)[0]

        def curl_https():
            out = WORK / "curl.out"
            subprocess.run(["curl", "-sS", "--cacert", str(CERTS / "pelmora-ca.crt"), "-o", str(out),
                            SECURE], check=True)
            h.expect("bytes curl fetched", size, out.stat().st_size)
            return transfer_ms(secure, SEVENZIP.path)

        runs = {ours_https: [], ours_http: [], curl_https: []}
        for i in range(PAIRS):
            order = list(runs)[i % 3:] + list(runs)[:i % 3]
            for run in order:
                runs[run].append(run())
        tls = [r["tls"] for r in secure.requests() if r["path"] == SEVENZIP.path]
    report(f"{size >> 20} MiB over https vs over plain http, the program on Winsock from nginx",
           runs[ours_https], runs[ours_http], "ms", ("https", "http"))
    report(f"{size >> 20} MiB over https, the program under Wine vs curl run natively (OpenSSL)",
           runs[ours_https], runs[curl_https], "ms", ("ours", "curl"))
    print(f"TLS spoken with nginx: {', '.join(sorted(set(tls)))}", flush=True)


def proxied_against_direct(screen, root):
    """The package by the program's own Winsock transport through tinyproxy
    (named in Internet Options) against the same download direct,
    interleaved, each timed by the mirror's log. Through the proxy that is
    tinyproxy's pace; what is still in the socket buffers on the way when
    the mirror is done the program takes in a few ms at these rates (the
    time from the notice to the outcome is looked at only every 0.5 s)."""
    settings = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings"
    log, conf = WORK / "tinyproxy.log", WORK / "tinyproxy.conf"
    log.unlink(missing_ok=True)
    conf.write_text(f'Port 8888\nListen 127.0.0.1\nAllow 127.0.0.1\nLogLevel Connect\nLogFile "{log}"\n')
    proxy = subprocess.Popen(["tinyproxy", "-d", "-c", str(conf)], stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
    exe = winsock_program()

    def use_proxy(on):  # the prefix keeps these: unset afterwards
        for value, kind, data in (("ProxyEnable", "REG_DWORD", "1"),
                                  ("ProxyServer", "REG_SZ", "127.0.0.1:8888")):
            h.wine("reg", *(["add", settings, "/v", value, "/t", kind, "/d", data] if on
                            else ["delete", settings, "/v", value]), "/f")

    def request(through):
        use_proxy(through)
        with h.Mirror("bench-proxy", root) as mirror:
            return program_request(screen, mirror, exe=exe)[0]

    try:
        h.until("tinyproxy listening", lambda: listening(8888))
        through, direct = interleaved(lambda: request(True), lambda: request(False))
    finally:
        use_proxy(False)
        proxy.terminate()
        proxy.wait()
    h.expect("package requests through tinyproxy", PAIRS, len(re.findall(
        f"GET http://{SEVENZIP.host}(:80)?{SEVENZIP.path} ", log.read_text())))
    size = (root / SEVENZIP.path.lstrip("/")).stat().st_size >> 20
    report(f"{size} MiB transfer over Winsock through tinyproxy vs direct", through, direct, "ms",
           ("proxy", "direct"))


def startup_ms(screen, exe, cls):
    start = time.perf_counter()
    with h.Program("bench-start", exe=exe):
        h.until(f"a {cls} window", lambda: screen.windows(cls, visible=True), interval=0.005)
        elapsed = (time.perf_counter() - start) * 1000
        screen.post(screen.windows(cls)[0], h.WM_CLOSE)
    return round(elapsed)


def main():
    WORK.mkdir(parents=True, exist_ok=True)
    exe = WIN32 / "PelmoraDownloader.exe"
    print(f"PelmoraDownloader.exe: {exe.stat().st_size} bytes, "
          f"{len(check_exe.post_486_instructions(str(exe)))} post-486 instructions", flush=True)

    if not BIG.exists() or BIG.stat().st_size != 256 << 20:
        BIG.write_bytes(subprocess.run(["head", "-c", str(256 << 20), "/dev/urandom"],
                                       capture_output=True, check=True).stdout)
    expected = str(sum(BIG.read_bytes()) & 0xFFFFFFFF)  # also brings the file into the cache
    got = subprocess.run([h.BUILD / "native" / "bench" / "checksum_file", BIG], capture_output=True,
                         text=True, check=True).stdout.strip()
    h.expect("checksum of 256 MiB", expected, got)
    report("checksum natively vs sum -s (256 MiB)", *interleaved(
        lambda: wall([h.BUILD / "native" / "bench" / "checksum_file", BIG]),
        lambda: wall(["sum", "-s", BIG])), "ms")

    big = h.windows_path(BIG)
    h.ensure_prefix()
    h.stop_wineserver()
    report("checksum under Wine vs a bare 64 KiB ReadFile loop (256 MiB)", *interleaved(
        lambda: under_wine(WIN32 / "bench" / "exe_sum.exe", big),
        lambda: under_wine(WIN32 / "bench" / "read_sum.exe", big)), "ms")

    archive = unpacked_package()
    pairs = [extract_then_check(archive) for _ in range(PAIRS)]
    report("check of the extracted files vs the extraction (32 MiB unpacked, 400 files)",
           [c for _, c in pairs], [e for e, _ in pairs], "ms", ("check", "extraction"))

    small, large = fixtures("1MiB", 1 << 20), fixtures("64MiB", 64 << 20)
    (h.DESKTOP / FOLDER).mkdir(parents=True, exist_ok=True)
    with h.Xvfb():
        screen = h.Screen()
        transfers, bare, peaks_large, peaks_small = [], [], [], []
        for i in range(PAIRS):
            with h.Mirror("bench-64MiB", large) as mirror:
                first, second = (program_request, bare_request) if i % 2 == 0 else \
                    (bare_request, program_request)
                for run in (first, second):
                    if run is program_request:
                        ms, peak, _ = program_request(screen, mirror)
                        transfers.append(ms)
                        peaks_large.append(peak)
                    else:
                        bare.append(bare_request(mirror))
            with h.Mirror("bench-1MiB", small) as mirror:
                peaks_small.append(program_request(screen, mirror)[1])
        report("64 MiB transfer under Wine vs a bare 64 KiB InternetReadFile loop", transfers, bare,
               "ms")
        winsock = winsock_program()
        with h.Mirror("bench-64MiB-winsock", large) as mirror:
            report("64 MiB transfer over Winsock vs a bare 64 KiB recv loop", *interleaved(
                lambda: program_request(screen, mirror, exe=winsock)[0],
                lambda: bare_request(mirror, winsock=True)), "ms")
        https_against_http_and_curl(screen, large)
        proxied_against_direct(screen, large)
        report("peak resident memory, 64 MiB vs 1 MiB package", peaks_large, peaks_small, "KiB",
               ("64 MiB", "1 MiB"))
        print(f"peak resident memory difference: median "
              f"{statistics.median(a - b for a, b in zip(peaks_large, peaks_small))} KiB", flush=True)
        # A 1 MiB package and the extractor at 50 KB/s: the extractor's verified
        # copy saves its download on every request but the first.
        with h.Mirror("bench-50KBps", small, "--rate", "50000") as mirror:
            report("a request at 50 KB/s with the extractor's verified copy vs without", *interleaved(
                lambda: program_request(screen, mirror)[2],
                lambda: program_request(screen, mirror, keep_extractor=False)[2]), "ms",
                ("with", "without"))
        report("start-up to a visible main window vs a minimal one-window program", *interleaved(
            lambda: startup_ms(screen, exe, "PelmoraDownloader"),
            lambda: startup_ms(screen, WIN32 / "bench" / "one_window.exe", "BenchWindow")), "ms")
        screen.close()
        h.stop_wineserver()

    # What TLS costs an i486, counted in instructions (built by scripts/bench).
    print(flush=True)
    import tls_cost  # noqa: E402
    tls_cost.main()


if __name__ == "__main__":
    main()
