"""The certificates of the TLS cases, made by openssl into a folder: a test
CA and what it issues, in the shapes servers send and users keep them.
SERVERS names each server certificate; FOLDER/NAME.pem holds it (with its
chain) and FOLDER/NAME.key its key. ANCHORS are files to put beside the
program."""

import os
import shutil
import subprocess

HOSTS = ("mirror.pelmora.example", "archive.pelmora.example")
TEST_CA, OTHER_CA = "Pelmora Test CA", "Pelmora Other CA"
EXPIRED_ON, VALID_FROM = "2021-01-31", "2040-01-01"
# Issuer, names, validity, key and chain of each server certificate.
SERVERS = {
    "rsa": (TEST_CA, HOSTS, None, "leaf-rsa", []),
    "ecdsa": ("Pelmora Test P-384", HOSTS, None, "leaf-p256", ["Pelmora Test P-384"]),
    "expired": (TEST_CA, HOSTS, ("20200101000000Z", "20210131235959Z"), "leaf-rsa", []),
    "future": (TEST_CA, HOSTS, ("20400101000000Z", "20441231235959Z"), "leaf-rsa", []),
    "other-name": (TEST_CA, ("other.pelmora.example",), None, "leaf-rsa", []),
    "rogue": (OTHER_CA, HOSTS, None, "leaf-rsa", []),
}
ANCHORS = ("pelmora-ca.crt", "pelmora-ca-der.crt", "two-cas.crt", "notes.crt")
VALID = ("20240101000000Z", "20441231235959Z")
ISSUERS = {TEST_CA: "ca-test", OTHER_CA: "ca-other", "Pelmora Test P-384": "p384"}
KEYS = {"leaf-rsa": "RSA", "ca-test": "RSA", "ca-other": "RSA", "p384": "P-384", "leaf-p256": "P-256"}
CONFIG = """[req]
distinguished_name = dn
[dn]
[ca]
default_ca = issuing
[issuing]
database = {d}/index.txt
new_certs_dir = {d}/issued
serial = {d}/serial
default_md = sha256
policy = any
unique_subject = no
[any]
commonName = supplied
[root]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[intermediate]
basicConstraints = critical, CA:TRUE, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[leaf]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = $ENV::NAMES
authorityKeyIdentifier = keyid
"""


def make(folder):
    """Makes them all afresh (about a second)."""
    shutil.rmtree(folder, ignore_errors=True)
    (folder / "issued").mkdir(parents=True)
    (folder / "index.txt").write_text("")
    (folder / "serial").write_text("1000\n")
    (folder / "openssl.cnf").write_text(CONFIG.format(d=folder))

    def openssl(*args, names=""):
        subprocess.run(["openssl", *args], cwd=folder, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE, env=dict(os.environ, NAMES=names or "DNS:x"))

    for key, kind in KEYS.items():
        curve = ["-pkeyopt", "ec_paramgen_curve:" + kind] if kind != "RSA" else []
        openssl("genpkey", "-algorithm", "EC" if curve else "RSA", *curve, "-out", key + ".key")

    def issue(out, key, issuer, section, dates=VALID, names=()):
        cn = names[0] if names else out
        openssl("req", "-new", "-config", "openssl.cnf", "-key", key + ".key", "-subj", "/CN=" + cn,
                "-out", "request.csr")
        openssl("ca", "-batch", "-notext", "-config", "openssl.cnf", "-in", "request.csr",
                "-cert", issuer + ".crt", "-keyfile", ISSUERS[issuer] + ".key",
                "-extensions", section, "-startdate", dates[0], "-enddate", dates[1],
                "-out", out + ".crt", names=",".join("DNS:" + n for n in names))

    for ca in (TEST_CA, OTHER_CA):
        openssl("req", "-x509", "-config", "openssl.cnf", "-extensions", "root", "-key",
                ISSUERS[ca] + ".key", "-subj", "/CN=" + ca, "-days", "7300", "-out", ca + ".crt")
    issue("Pelmora Test P-384", "p384", TEST_CA, "intermediate")
    for name, (issuer, names, dates, key, chain) in SERVERS.items():
        issue(name, key, issuer, "leaf", dates or VALID, names)
        (folder / f"{name}.pem").write_bytes(b"".join(
            (folder / f"{c}.crt").read_bytes() for c in [name] + chain))
        shutil.copy(folder / f"{key}.key", folder / f"{name}.key")
    shutil.copy(folder / f"{TEST_CA}.crt", folder / "pelmora-ca.crt")
    openssl("x509", "-in", f"{TEST_CA}.crt", "-outform", "DER", "-out", "pelmora-ca-der.crt")
    (folder / "two-cas.crt").write_bytes((folder / f"{OTHER_CA}.crt").read_bytes() +
                                         (folder / f"{TEST_CA}.crt").read_bytes())
    (folder / "notes.crt").write_text("Certificates to ask the LAN's administrator for:\r\n"
                                      "- the proxy's\r\n")
