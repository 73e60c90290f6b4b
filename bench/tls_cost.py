#!/usr/bin/env python3
"""What TLS costs an i486, in executed instructions: the program's TLS
client (BearSSL, net/tls_profile.cpp, net/rsa_public.cpp) built for Linux as it is for the .exe
(-m32 -march=i486 -Os), run under qemu-i386, which logs every executed
translation block; bench/tls_cost_count.c adds up their instructions. Each
count is the run doing the work minus the same run with n=0 (start-up,
inputs, exit). The server is `openssl s_server` on 127.0.0.1, with test
certificates shaped like Let's Encrypt's, made here.

    tls_cost.py build      fetch BearSSL, build, make certificates (needs the network)
    tls_cost.py [measure]  measure and print the table (run it in a private namespace:
                           scripts/bench tls does both)
    tls_cost.py check      also count the primitives one instruction per block, to
                           show both ways of counting agree
"""
import concurrent.futures
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
WORK = ROOT / "build" / "bench" / "tls"
CERTS = WORK / "certs"
COUNTER = WORK / "tls_cost_count"
PORT = 44330

# As cmake/bearssl.cmake builds BearSSL into the .exe: nothing that asks the
# CPU for AES-NI, SSE2 or RDRAND, no 64-bit multiplier.
BEARSSL_DEFINES = ["-DBR_AES_X86NI=0", "-DBR_SSE2=0", "-DBR_RDRAND=0", "-DBR_POWER8=0",
                   "-DBR_INT128=0", "-DBR_UMUL128=0"]
I486 = ["-m32", "-march=i486", "-fno-asynchronous-unwind-tables", "-ffunction-sections",
        "-fdata-sections"]
# The "hot" build: -Os but for the files where the handshake and the
# record decryption spend their time (the i31 big integers, x25519 in m31,
# SHA-256, ChaCha20 and Poly1305).
HOT_FILES = {"int/i31_montmul.c": "O2", "int/i31_muladd.c": "O2", "int/i31_modpow2.c": "O2",
             "int/i31_add.c": "O2", "int/i31_sub.c": "O2", "int/i31_tmont.c": "O2",
             "int/i31_decmod.c": "O2", "int/i31_encode.c": "O2", "rsa/rsa_i31_pub.c": "O2",
             "ec/ec_c25519_m31.c": "O2", "hash/sha2small.c": "O2", "symcipher/chacha20_ct.c": "O3",
             "symcipher/poly1305_ctmul.c": "O2"}


def run(command, **kw):
    return subprocess.run(command, check=True, **kw)


# ---- building ----

def bearssl_source():
    out = run([ROOT / "scripts" / "fetch-bearssl", ROOT / "build" / "bearssl"], capture_output=True,
              text=True).stdout.strip().splitlines()
    return Path(out[-1])


def compile_one(command, source, obj):
    if obj.exists() and obj.stat().st_mtime >= source.stat().st_mtime:
        return
    obj.parent.mkdir(parents=True, exist_ok=True)
    run([*command, "-c", source, "-o", obj])


def bearssl_objects(src, level, only=None):
    """BearSSL (or its files ONLY) compiled at -LEVEL: {'int/i31_montmul.c': object path}."""
    sources = [s for s in sorted(src.glob("src/*/*.c"))
               if only is None or f"{s.parent.name}/{s.name}" in only]
    out = WORK / f"bearssl-{level}"
    command = ["gcc", *I486, f"-{level}", "-w", *BEARSSL_DEFINES, "-I", src / "inc", "-I", src / "src"]
    objects = {f"{s.parent.name}/{s.name}": out / s.parent.name / (s.stem + ".o") for s in sources}
    with concurrent.futures.ThreadPoolExecutor(os.cpu_count()) as pool:
        list(pool.map(lambda s: compile_one(command, s, objects[f"{s.parent.name}/{s.name}"]), sources))
    return objects


def build():
    WORK.mkdir(parents=True, exist_ok=True)
    src = bearssl_source()
    run(["cc", "-O2", "-Wall", "-Wextra", "-o", COUNTER, ROOT / "bench" / "tls_cost_count.c"])
    levels = {"Os": bearssl_objects(src, "Os"), "O2": bearssl_objects(src, "O2"),
              "O3": bearssl_objects(src, "O3", HOT_FILES)}
    missing = [f for f in HOT_FILES if f not in levels["Os"]]
    if missing:
        raise SystemExit(f"tls_cost: no such BearSSL files: {missing}")
    mixes = {"Os": levels["Os"], "O2": levels["O2"],
             "hot": {k: levels[HOT_FILES.get(k, "Os")][k] for k in levels["Os"]}}
    client = ["g++", *I486, "-Os", "-fno-exceptions", "-fno-rtti", "-Wall", "-Wextra", "-std=c++17",
              "-I", ROOT, "-I", src / "inc"]
    for name in ("tls_cost", "tls_profile", "rsa_public"):
        source = ROOT / ("bench" if name == "tls_cost" else "net") / f"{name}.cpp"
        compile_one(client, source, WORK / f"{name}.o")
    for variant, objects in mixes.items():
        library = WORK / f"libbearssl-{variant}.a"
        library.unlink(missing_ok=True)
        run(["ar", "rcs", library, *objects.values()])
        program = WORK / f"tls_cost-{variant}"
        run(["g++", "-m32", "-static", "-Wl,--gc-sections", "-o", program, WORK / "tls_cost.o",
             WORK / "tls_profile.o", WORK / "rsa_public.o", library])
        write_instruction_starts(program)
    make_certificates()


def write_instruction_starts(program):
    """Where each of PROGRAM's instructions starts, for the counter."""
    listing = run(["objdump", "-d", "--no-show-raw-insn", program], capture_output=True,
                  text=True).stdout
    starts = sorted({int(m, 16) for m in re.findall(r"^ +([0-9a-f]+):\t", listing, re.M)})
    Path(f"{program}.starts").write_text("".join(f"{a:x}\n" for a in starts))


def openssl(*args):
    run(["openssl", *map(str, args)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def certificate(name, key_args, subject, issuer=None, digest="sha256", ca=True):
    """NAME.pem/.key/.der in CERTS, signed by ISSUER (a name) or by itself."""
    pem, key, der = (CERTS / f"{name}.{ext}" for ext in ("pem", "key", "der"))
    if der.exists():
        return
    ext = CERTS / f"{name}.ext"
    ext.write_text("basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n" if ca else
                   "basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\n"
                   "extendedKeyUsage=serverAuth\nsubjectAltName=DNS:localhost\n")
    csr = CERTS / f"{name}.csr"
    openssl("req", "-new", *key_args, "-nodes", "-keyout", key, "-out", csr, "-subj", subject)
    signer = ["-signkey", key] if issuer is None else \
        ["-CA", CERTS / f"{issuer}.pem", "-CAkey", CERTS / f"{issuer}.key", "-set_serial", "7"]
    openssl("x509", "-req", "-in", csr, *signer, "-days", "1000", f"-{digest}", "-extfile", ext,
            "-out", pem)
    openssl("x509", "-in", pem, "-outform", "DER", "-out", der)


def make_certificates():
    """Let's Encrypt's two shapes: RSA-4096 root, RSA-2048 intermediate and
    leaf; P-384 root and intermediate, P-256 leaf, signed with SHA-384. And
    signatures for the primitives."""
    CERTS.mkdir(parents=True, exist_ok=True)
    rsa = lambda bits: ["-newkey", f"rsa:{bits}"]
    ec = lambda curve: ["-newkey", "ec", "-pkeyopt", f"ec_paramgen_curve:{curve}"]
    certificate("rsa-root", rsa(4096), "/O=Bench/CN=Bench RSA Root")
    certificate("rsa-inter", rsa(2048), "/O=Bench/CN=Bench R1", "rsa-root")
    certificate("rsa-leaf", rsa(2048), "/CN=localhost", "rsa-inter", ca=False)
    certificate("ec-root", ec("P-384"), "/O=Bench/CN=Bench EC Root", digest="sha384")
    certificate("ec-inter", ec("P-384"), "/O=Bench/CN=Bench E1", "ec-root", "sha384")
    certificate("ec-leaf", ec("P-256"), "/CN=localhost", "ec-inter", "sha384", ca=False)
    message = CERTS / "message"
    message.write_bytes(bytes(range(256)) * 4)
    for key, digest in (("rsa-root", "sha256"), ("rsa-inter", "sha256"), ("ec-leaf", "sha256"),
                        ("ec-inter", "sha384")):
        openssl("dgst", f"-{digest}", "-sign", CERTS / f"{key}.key", "-out", CERTS / f"{key}.sig",
                message)


# ---- counting ----

def qemu():
    for name in ("qemu-i386-static", "qemu-i386"):
        if shutil.which(name):
            return name
    raise SystemExit("tls_cost: no qemu-i386 (scripts/bench installs qemu-user-static)")


def one_insn_per_tb_flag(emulator):
    usage = subprocess.run([emulator, "-h"], capture_output=True, text=True).stdout
    return "-one-insn-per-tb" if "one-insn-per-tb" in usage else "-singlestep"


def count(variant, args, one_per_block=False):
    """Instructions the program executes with ARGS, and per function."""
    emulator = qemu()
    log_read, log_write = os.pipe()
    flags = [one_insn_per_tb_flag(emulator), "-d", "exec,nochain"] if one_per_block else \
        ["-d", "in_asm,exec,nochain"]
    program = subprocess.Popen([emulator, *flags, "-D", f"/dev/fd/{log_write}",
                                WORK / f"tls_cost-{variant}", *args], pass_fds=(log_write,),
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    counter = subprocess.Popen([COUNTER, "--one-per-line" if one_per_block else
                                f"{WORK / f'tls_cost-{variant}'}.starts"],
                               stdin=log_read, stdout=subprocess.PIPE, text=True)
    os.close(log_read)
    os.close(log_write)
    out = counter.communicate()[0]
    errors = program.communicate()[1]
    if program.returncode != 0:
        raise SystemExit(f"tls_cost: {' '.join(args)} failed: {errors.strip()}")
    lines = out.splitlines()
    total = int(lines[0].split()[1])
    if len(lines) > 1 and lines[1].startswith("warning"):
        print(f"tls_cost: {' '.join(args)}: {lines[1]}", file=sys.stderr)
    functions = {}
    for line in lines[1:]:
        number, _, name = line.partition(" ")
        if number.isdigit():
            functions[name] = int(number)
    return total, functions, errors


def measure(variant, args, n=1, base=0, one_per_block=False):
    """(instructions per unit of work, functions, what the program said):
    the run with n=N minus the run with n=BASE, divided by N - BASE."""
    hi = count(variant, [*args, f"n={n}"], one_per_block)
    lo = count(variant, [*args, f"n={base}"], one_per_block)
    functions = {k: v - lo[1].get(k, 0) for k, v in hi[1].items()}
    return (hi[0] - lo[0]) / (n - base), functions, hi[2].strip()


# ---- what is measured ----

def key(name):
    return f"key={CERTS / name}.der"


def signed(name):
    return [key(name), f"sig={CERTS / name}.sig", f"msg={CERTS / 'message'}"]


def anchors(*names):
    return [key(n).replace("key=", "anchor=") for n in names]


def primitives():
    return [
        ("x25519 key pair + shared secret", "m31", "Os", ["op=x25519", "ec=m31"]),
        ("x25519 key pair + shared secret", "m15", "Os", ["op=x25519", "ec=m15"]),
        ("x25519 key pair + shared secret", "m31", "O2", ["op=x25519", "ec=m31"]),
        ("RSA-2048 verify", "i31", "Os", ["op=rsa", "rsa=i31", *signed("rsa-inter")]),
        ("RSA-2048 verify", "i32", "Os", ["op=rsa", "rsa=i32", *signed("rsa-inter")]),
        ("RSA-2048 verify", "i15", "Os", ["op=rsa", "rsa=i15", *signed("rsa-inter")]),
        ("RSA-2048 verify", "i31", "O2", ["op=rsa", "rsa=i31", *signed("rsa-inter")]),
        ("RSA-2048 verify", "ours (net/rsa_public.cpp)", "Os",
         ["op=rsa", "rsa=ours", *signed("rsa-inter")]),
        ("RSA-4096 verify", "i31", "Os", ["op=rsa", "rsa=i31", *signed("rsa-root")]),
        ("RSA-4096 verify", "i32", "Os", ["op=rsa", "rsa=i32", *signed("rsa-root")]),
        ("RSA-4096 verify", "i15", "Os", ["op=rsa", "rsa=i15", *signed("rsa-root")]),
        ("RSA-4096 verify", "i31", "O2", ["op=rsa", "rsa=i31", *signed("rsa-root")]),
        ("RSA-4096 verify", "ours (net/rsa_public.cpp)", "Os",
         ["op=rsa", "rsa=ours", *signed("rsa-root")]),
        ("P-256 ECDHE (key pair + shared secret)", "m31", "Os", ["op=p256", "ec=m31"]),
        ("ECDSA P-256 verify", "i31 + p256_m31", "Os", ["op=ecdsa", "ec=m31", *signed("ec-leaf")]),
        ("ECDSA P-256 verify", "i31 + p256_m31", "O2", ["op=ecdsa", "ec=m31", *signed("ec-leaf")]),
        ("ECDSA P-384 verify", "i31 + prime_i31", "Os", ["op=ecdsa", "ec=m31", *signed("ec-inter")]),
    ]


def handshakes():
    port = f"port={PORT}"
    rsa_first, ecdsa_first = [port, "order=rsa-first"], [port, "order=ecdsa-first"]
    return [
        ("RSA chain, RSA-4096 root as anchor, as built", "Os",
         [*rsa_first, *anchors("rsa-root")], 1),
        ("RSA chain, root anchor, BearSSL's i31 RSA", "Os",
         [*rsa_first, *anchors("rsa-root"), "rsa=i31"], 1),
        ("RSA chain, intermediate also an anchor", "Os",
         [*rsa_first, *anchors("rsa-root", "rsa-inter")], 1),
        ("RSA chain, root anchor, all BearSSL at -O2", "O2", [*rsa_first, *anchors("rsa-root")], 1),
        ("RSA chain, root anchor, hot files at -O2", "hot", [*rsa_first, *anchors("rsa-root")], 1),
        ("RSA chain, intermediate anchor, hot files at -O2", "hot",
         [*rsa_first, *anchors("rsa-root", "rsa-inter")], 1),
        ("RSA chain, resumed session (abbreviated handshake)", "Os",
         [*rsa_first, *anchors("rsa-root"), "resume=1"], 2),
        ("RSA chain, server follows the client's curve order (x25519 offered alone)", "Os",
         [f"port={PORT + 1}", *anchors("rsa-root")], 1),
        ("RSA chain, server follows the client's order, all curves offered (the second try)", "Os",
         [f"port={PORT + 1}", *anchors("rsa-root"), "curves=all"], 1),
        # A ClientHello that names x25519 alone admits no P-256 certificate, so
        # only the second try, to a server with an ECDSA certificate alone,
        # gets an ECDSA chain.
        ("ECDSA chain (P-256 leaf, P-384 intermediate), P-384 root anchor, all curves offered",
         "Os", [*ecdsa_first, *anchors("ec-root"), "curves=all"], 1),
        ("ECDSA chain, intermediate also an anchor, all curves offered", "Os",
         [*ecdsa_first, *anchors("ec-root", "ec-inter"), "curves=all"], 1),
    ]


def bulk():
    return [
        ("ChaCha20-Poly1305", "chacha20_ct + poly1305_ctmul32", "Os", ["op=chapol", "poly=ctmul32"]),
        ("ChaCha20-Poly1305", "chacha20_ct + poly1305_ctmul", "Os", ["op=chapol", "poly=ctmul"]),
        ("ChaCha20-Poly1305", "chacha20_ct + poly1305_ctmul32", "O2", ["op=chapol", "poly=ctmul32"]),
        ("ChaCha20-Poly1305", "chacha20_ct + poly1305_ctmul", "O2", ["op=chapol", "poly=ctmul"]),
        ("ChaCha20-Poly1305", "chacha20_ct + poly1305_ctmul", "hot", ["op=chapol", "poly=ctmul"]),
        ("AES-128-GCM", "aes_ct + ghash_ctmul32", "Os", ["op=gcm", "aes=ct"]),
        ("AES-128-GCM", "aes_small + ghash_ctmul32", "Os", ["op=gcm", "aes=small"]),
        ("AES-128-GCM", "aes_big + ghash_ctmul32 (tables, not constant-time)", "Os",
         ["op=gcm", "aes=big"]),
        ("AES-128-GCM", "aes_ct + ghash_ctmul32", "O2", ["op=gcm", "aes=ct"]),
    ]


BULK_BYTES = 4 * 16384


class Servers:
    """s_server on 127.0.0.1: PORT holds both an RSA and an ECDSA chain and
    takes x25519 only (the client's suite order picks the chain); PORT+1 the
    RSA chain, with OpenSSL's default groups, following the client's order."""

    def __enter__(self):
        c = lambda name: CERTS / name
        rsa = ["-cert", c("rsa-leaf.pem"), "-key", c("rsa-leaf.key"), "-cert_chain", c("rsa-inter.pem")]
        both = [*rsa, "-dcert", c("ec-leaf.pem"), "-dkey", c("ec-leaf.key"),
                "-dcert_chain", c("ec-inter.pem"), "-groups", "X25519"]
        self.procs = [self.start(PORT, both), self.start(PORT + 1, rsa)]
        return self

    @staticmethod
    def start(port, args):
        proc = subprocess.Popen(["openssl", "s_server", "-accept", f"127.0.0.1:{port}", "-tls1_2",
                                 *map(str, args)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True)
        for line in proc.stdout:
            if line.startswith("ACCEPT"):
                break
        else:
            raise SystemExit(f"tls_cost: s_server on port {port} did not start")
        # Drained from now on, so the server never blocks on its output.
        concurrent.futures.ThreadPoolExecutor(1).submit(proc.stdout.read)
        return proc

    def __exit__(self, *exc):
        for proc in self.procs:
            proc.kill()
            proc.wait()


def millions(value):
    return f"{value / 1e6:.2f} M"


def top_functions(functions, k=4):
    total = sum(v for v in functions.values() if v > 0)
    best = sorted(functions.items(), key=lambda kv: -kv[1])[:k]
    return ", ".join(f"{name} {100 * v / total:.0f}%" for name, v in best)


def main(check=False):
    if not (WORK / "tls_cost-Os").exists():
        raise SystemExit("tls_cost: not built (scripts/bench runs 'bench/tls_cost.py build' first)")
    pool = concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 2)
    print("TLS on an i486: instructions executed by the client's work under qemu-i386, "
          "BearSSL built -m32 -march=i486 (Os: -Os; O2: -O2; hot: -Os but the hot files, -O2, "
          "chacha20_ct -O3)", flush=True)
    print("\nPrimitives", flush=True)
    jobs = [(p, pool.submit(measure, p[2], p[3])) for p in primitives()]
    for (what, engine, variant, _), job in jobs:
        value, functions, _ = job.result()
        print(f"  {what:40} {engine:18} {variant:4} {millions(value):>10}   ({top_functions(functions, 2)})",
              flush=True)
    if check:
        print("\nThe same counted one instruction per block", flush=True)
        jobs = [(p, pool.submit(measure, p[2], p[3], one_per_block=True)) for p in primitives()[:4]]
        for (what, engine, variant, _), job in jobs:
            print(f"  {what:40} {engine:18} {variant:4} {millions(job.result()[0]):>10}", flush=True)

    print("\nClient side of a handshake (server on 127.0.0.1; the suite and curve it chose)", flush=True)
    with Servers():
        jobs = [(h, pool.submit(measure, h[1], ["op=handshake", *h[2]], h[3], h[3] - 1))
                for h in handshakes()]
        for (what, variant, _, _), job in jobs:
            value, functions, said = job.result()
            print(f"  {what:66} {variant:4} {millions(value):>10}   [{said}] ({top_functions(functions)})",
                  flush=True)

    print(f"\nDecrypting records (16 KiB each, {BULK_BYTES} bytes), instructions per byte", flush=True)
    jobs = [(b, pool.submit(measure, b[2], [*b[3]], BULK_BYTES)) for b in bulk()]
    for (what, engines, variant, _), job in jobs:
        value, functions, _ = job.result()
        print(f"  {what:18} {engines:52} {variant:4} {value:8.1f}   ({top_functions(functions, 3)})",
              flush=True)


if __name__ == "__main__":
    what = sys.argv[1] if len(sys.argv) > 1 else "measure"
    if what == "build":
        build()
    else:
        main(check=what == "check")
