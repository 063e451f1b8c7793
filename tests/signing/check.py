"""Checks of a signing build against the throw-away authority that signed it:

    python3 check.py BUILD_DIR CA_DIR [--config NAME] [--without-wine REASON] [-k TEXT]...

BUILD_DIR is a build configured with the signer of CA_DIR
(tests/signing/make-ca.sh): WRAPPER_SIGN_CERT/KEY, or WRAPPER_SIGN_PKCS12 with
WRAPPER_SIGN_PASSWORD_FILE. Prints one line per case ("ok", "FAIL", or
"skip" with the reason) and "N passed, M failed, K skipped"; exits non-zero
on any failure or when nothing passed."""

import argparse
import datetime
import http.server
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
sys.path.insert(0, os.path.join(ROOT, "resources", "kit"))

import olefile  # noqa: E402
import pefile  # noqa: E402

import msitransform as mt  # noqa: E402
from lib import kit, prefix_template  # noqa: E402
from lib.cases import CASES, WITHOUT_WINE, case, check, equal, run_cases, table  # noqa: E402
from lib.configuration import Configuration, Skip  # noqa: E402
from lib.wine_start import START_TRACE, note_start_failure, split_trace  # noqa: E402

SIGN = os.path.join(ROOT, "resources", "signing", "sign.py")
PACKAGE = "tpz1.6.0_13.msi"
CABINETS = ["sd160130.cab", "ss160130.cab", "st160130.cab", "sj160130.cab",
            "sp160130.cab", "sz160130.cab", "sb160130.cab", "sr160130.cab"]
TRANSFORM_CLSID = mt.TRANSFORM_CLSID


def run(cmd, **kw):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **kw)


class Build:
    """The signing build, its cache and the authority's files."""

    def __init__(self, build_dir, ca_dir, config):
        self.dir = os.path.abspath(build_dir)
        self.ca = os.path.abspath(ca_dir)
        self.config = config
        self.cache = {}
        with open(os.path.join(self.dir, "CMakeCache.txt")) as f:
            for line in f:
                m = re.match(r"([A-Za-z_0-9]+):[A-Z]+=(.*)$", line.rstrip("\n"))
                if m:
                    self.cache[m.group(1)] = m.group(2)
        self.unsigned = self.cache["WRAPPER_KIT_DIR"]
        self.signed = self.cache.get("WRAPPER_EMBEDDED_KIT_DIR", "")
        self.wrapper = os.path.join(self.dir, "wrapper.exe")
        self.tmp = tempfile.mkdtemp(prefix="wrapper-signing-")
        self.signer = os.path.join(self.ca, "codesign.pem")
        signs = self.cache.get("WRAPPER_SIGN_CERT") or self.cache.get("WRAPPER_SIGN_PKCS12")
        if not signs or self.signed == self.unsigned:
            raise SystemExit("%s is not a build that signs its kit" % self.dir)

    def file(self, name, signed=True):
        return os.path.join(self.signed if signed else self.unsigned, name)

    def fixed_time(self):
        """The signing time, or a skip when the build asks for time stamps."""
        self.config.skip_unless(not self.cache.get("WRAPPER_SIGN_TIMESTAMP_URL"),
                                "the build asks for time stamps: no fixed signing time")
        return int(self.cache["WRAPPER_SIGN_TIME"])

    def signer_options(self):
        """sign.py's signer options, as the build passes them."""
        if self.cache.get("WRAPPER_SIGN_PKCS12"):
            options = ["--pkcs12", self.cache["WRAPPER_SIGN_PKCS12"]]
        else:
            options = ["--cert", self.cache["WRAPPER_SIGN_CERT"], "--key", self.cache["WRAPPER_SIGN_KEY"]]
        if self.cache.get("WRAPPER_SIGN_PASSWORD_FILE"):
            options += ["--password-file", self.cache["WRAPPER_SIGN_PASSWORD_FILE"]]
        return options + ["--time", str(self.fixed_time())]

    def scratch(self, name):
        path = os.path.join(self.tmp, name)
        os.makedirs(path)
        return path


# ---- what osslsigncode and msitools say --------------------------------------

def verify(path, cafile, *options):
    """(passed, osslsigncode's report) of verifying path against cafile."""
    done = run(["osslsigncode", "verify", "-CAfile", cafile] + list(options) + ["-in", path])
    return done.returncode == 0, done.stdout.decode(errors="replace")


def calculated_digest(report):
    m = re.search(r"Calculated message digest\s*:\s*([0-9A-F]+)", report)
    check(m is not None, "no calculated digest in:\n" + report)
    return bytes.fromhex(m.group(1))


def certificate_der(pem):
    return run(["openssl", "x509", "-in", pem, "-outform", "DER"]).stdout


def certificate_serial(pem):
    out = run(["openssl", "x509", "-in", pem, "-noout", "-serial"]).stdout.decode()
    return out.strip().split("=", 1)[1].upper().lstrip("0")


def msi_table(package, name):
    """Rows of a table as lists of text (stream cells give the stream's name)."""
    # msiinfo writes a table's streams as files below its working folder.
    folder = tempfile.mkdtemp(prefix="export-")
    try:
        done = run(["msiinfo", "export", os.path.abspath(package), name], cwd=folder)
    finally:
        shutil.rmtree(folder)
    check(done.returncode == 0, "msiinfo export %s %s: %s" % (package, name, done.stdout.decode(errors="replace")))
    return [line.split("\t") for line in done.stdout.decode("latin-1").replace("\r", "").split("\n")[3:] if line]


def msi_stream(package, name):
    done = run(["msiinfo", "extract", package, name])
    check(done.returncode == 0, "no stream %s in %s" % (name, package))
    return done.stdout


def read(path):
    with open(path, "rb") as f:
        return f.read()


# ---- changing a signed cabinet the way a cabinet reader accepts ---------------

def cab_checksum(data, seed=0):
    """The cabinet format's checksum (CFDATA csum) of data, continuing seed."""
    value = seed
    whole = len(data) // 4 * 4
    for (word,) in struct.iter_unpack("<I", data[:whole]):
        value ^= word
    tail = 0
    for b in data[whole:]:
        tail = (tail << 8) | b
    return value ^ tail


def cab_data_blocks(cab):
    """[(block offset, data offset, data size, uncompressed size)] of every CFDATA block."""
    folders, flags = struct.unpack_from("<HH", cab, 26)[0], struct.unpack_from("<H", cab, 30)[0]
    offset, folder_reserve, data_reserve = 36, 0, 0
    if flags & 0x0004:                                   # cfhdrRESERVE_PRESENT
        header_reserve, folder_reserve, data_reserve = struct.unpack_from("<HBB", cab, 36)
        offset += 4 + header_reserve
    blocks = []
    for i in range(folders):
        first, count, _ = struct.unpack_from("<IHH", cab, offset + i * (8 + folder_reserve))
        position = first
        for _ in range(count):
            _, size, uncompressed = struct.unpack_from("<IHH", cab, position)
            start = position + 8 + data_reserve
            blocks.append((position, start, size, uncompressed))
            position = start + size
    return blocks


def change_cabinet_text(cab, text):
    """cab with the first byte of text (stored uncompressed) changed and its
    block checksum made right again, so that only the signature tells."""
    cab = bytearray(cab)
    at = cab.find(text)
    check(at >= 0, "%r not in the cabinet" % text)
    cab[at] ^= 0x20
    for position, start, size, uncompressed in cab_data_blocks(cab):
        if start <= at < start + size:
            body = cab_checksum(bytes(cab[start:start + size]))
            struct.pack_into("<I", cab, position, cab_checksum(struct.pack("<HH", size, uncompressed), body))
    return bytes(cab)


# ---- the cases -----------------------------------------------------------------

SIGNED_FILES = [("wrapper.exe", None), ("package", PACKAGE)] + [(c, c) for c in CABINETS]


@table("signed with SHA-256 by the test signer, verified against the test authority", SIGNED_FILES, wine=False)
def signed_and_verified(build, name):
    path = build.wrapper if name is None else build.file(name)
    passed, report = verify(path, os.path.join(build.ca, "ca.pem"))
    check(passed, "verification failed:\n" + report)
    check(re.search(r"Message digest algorithm\s*:\s*SHA256", report), "not SHA-256:\n" + report)
    signer = re.search(r"Signer #0:.*?Serial : ([0-9A-F]+)", report, re.S)
    equal(signer and signer.group(1).lstrip("0"), certificate_serial(build.signer),
          "serial number of the signer's certificate")
    when = datetime.datetime.fromtimestamp(build.fixed_time(), datetime.timezone.utc)
    m = re.search(r"Signing time: (.*?) GMT", report)
    equal(m and " ".join(m.group(1).split()), "%s %d %s" % (when.strftime("%b"), when.day,
                                                            when.strftime("%H:%M:%S %Y")),
          "signing time (WRAPPER_SIGN_TIME)")


def changed_cabinet_text(build):
    out = os.path.join(build.tmp, "changed-text.cab")
    with open(out, "wb") as f:
        f.write(change_cabinet_text(read(build.file("sd160130.cab")), b"Tarsk Kit"))
    return out


def changed_byte(build, source, offset):
    data = bytearray(read(source))
    data[offset] ^= 0x01
    out = os.path.join(build.tmp, "changed-%d-%s" % (offset, os.path.basename(source)))
    with open(out, "wb") as f:
        f.write(data)
    return out


def changed_package_string(build):
    """The signed package with one letter of its string pool changed (same size)."""
    out = os.path.join(build.tmp, "changed-strings.msi")
    shutil.copy(build.file(PACKAGE), out)
    ole = olefile.OleFileIO(out, write_mode=True)
    name = mt.encode_stream_name("_StringData", True)
    data = bytearray(ole.openstream(name).read())
    at = data.find(b"TarskSoft")
    data[at] ^= 0x20
    ole.write_stream(name, bytes(data))
    ole.close()
    return out


def text_offset(build):
    pe = pefile.PE(build.wrapper, fast_load=True)
    return next(s.PointerToRawData for s in pe.sections if s.Name.startswith(b".text")) + 16


TAMPERED = [
    ("cabinet: a stored byte, block checksum right", lambda b: (changed_cabinet_text(b), "ca.pem")),
    ("cabinet: a header byte (set id)", lambda b: (changed_byte(b, b.file("ss160130.cab"), 32), "ca.pem")),
    ("package: a letter of the string pool", lambda b: (changed_package_string(b), "ca.pem")),
    ("wrapper.exe: a code byte", lambda b: (changed_byte(b, b.wrapper, text_offset(b)), "ca.pem")),
    ("wrapper.exe unchanged, against another authority", lambda b: (b.wrapper, "other-ca.pem")),
]


@table("verification fails", TAMPERED, wine=False)
def tampered(build, make):
    path, authority = make(build)
    passed, report = verify(path, os.path.join(build.ca, authority))
    check(not passed, "verification passed:\n" + report)


@case("package: one MsiDigitalSignature row per cabinet with its digest, the signer's certificate", wine=False)
def signature_tables(build):
    package = build.file(PACKAGE)
    media = {row[0]: row[3] for row in msi_table(package, "Media")}
    equal(sorted(media.values()), sorted(CABINETS), "cabinets of the Media table")
    certificates = {row[0]: row[1] for row in msi_table(package, "MsiDigitalCertificate")}
    equal(len(certificates), 1, "MsiDigitalCertificate rows")
    (certificate_row, certificate_stream), = certificates.items()
    equal(msi_stream(package, certificate_stream), certificate_der(build.signer),
          "CertData: the signer's certificate (DER)")
    rows = msi_table(package, "MsiDigitalSignature")
    equal(sorted((r[0], r[1], r[2]) for r in rows),
          sorted(("Media", disk, certificate_row) for disk in media), "(Table, SignObject, DigitalCertificate_)")
    for table_name, disk, _, hash_stream in rows:
        passed, report = verify(build.file(media[disk]), os.path.join(build.ca, "ca.pem"))
        equal(msi_stream(package, hash_stream), calculated_digest(report),
              "Hash of DiskId %s: the Authenticode digest of %s" % (disk, media[disk]))


def storages(path):
    """{substorage name: (class id, {stream: bytes})} of a compound file."""
    ole = olefile.OleFileIO(path)
    found = {}
    for entry in ole.listdir(streams=False, storages=True):
        streams = {"/".join(e[1:]): ole.openstream(e).read()
                   for e in ole.listdir(streams=True) if e[0] == entry[0] and len(e) > 1}
        found["/".join(entry)] = (ole.getclsid(entry), streams)
    ole.close()
    return found


@case("package: summary information, tables and embedded transforms as before signing", wine=False)
def package_kept(build):
    signed, unsigned = build.file(PACKAGE), build.file(PACKAGE, signed=False)
    equal(run(["msiinfo", "suminfo", signed]).stdout, run(["msiinfo", "suminfo", unsigned]).stdout,
          "summary information")
    tables = lambda p: sorted(run(["msiinfo", "tables", p]).stdout.decode().split())  # noqa: E731
    equal(tables(signed), sorted(tables(unsigned) + ["MsiDigitalCertificate", "MsiDigitalSignature"]),
          "tables")
    for name in tables(unsigned):
        equal(msi_table(signed, name), msi_table(unsigned, name), "rows of " + name)
    for row in msi_table(unsigned, "Binary"):
        equal(msi_stream(signed, row[1]), msi_stream(unsigned, row[1]), "Binary stream " + row[1])
    kept = storages(unsigned)
    equal(sorted(kept), ["1041", "2052"], "transforms of the unsigned package")
    equal(storages(signed), kept, "embedded transforms (class and streams)")
    check(all(clsid == TRANSFORM_CLSID for clsid, _ in kept.values()), "a transform without its class")


@table("cabinet holds the same files as before signing", [(c, c) for c in CABINETS], wine=False)
def cabinet_contents(build, cabinet):
    listings = []
    for signed in (True, False):
        folder = build.scratch("%s-%s" % (cabinet, "signed" if signed else "unsigned"))
        done = run(["gcab", "-x", "-C", folder, build.file(cabinet, signed)])
        check(done.returncode == 0, "gcab: " + done.stdout.decode(errors="replace"))
        listings.append({n: read(os.path.join(folder, n)) for n in sorted(os.listdir(folder))})
    check(listings[1], "the unsigned cabinet holds no files")
    equal(listings[0], listings[1], "files (name: bytes)")


@case("wrapper.exe carries the signed package and cabinets", wine=False)
def payload_is_signed_kit(build):
    with open(os.path.join(build.dir, "generated", "payload.rc")) as f:
        lines = [re.match(r'(\d+) (\w+) "(.*)"$', l.strip()) for l in f if l.strip().endswith('"')]
    pe = pefile.PE(build.wrapper)
    resources = {}
    for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for n in t.directory.entries:
            for lang in n.directory.entries:
                d = lang.data.struct
                resources[(str(t.name), n.id)] = pe.get_data(d.OffsetToData, d.Size)
    equal(sorted(os.path.basename(m.group(3)) for m in lines), sorted([PACKAGE] + CABINETS), "payload files")
    for m in lines:
        ident, kind, path = int(m.group(1)), m.group(2), m.group(3)
        equal(os.path.dirname(path), build.signed, "folder of %s %d" % (kind, ident))
        check(resources.get((kind, ident)) == read(path), "resource %s %d is not %s" % (kind, ident, path))


def sign_kit_again(build):
    out = build.scratch("kit-again")
    done = run(["/usr/bin/python3", SIGN, "kit", build.unsigned, out, "--package", PACKAGE, "--cabinets"]
               + CABINETS + ["--description", build.cache["WRAPPER_PRODUCT_NAME"]] + build.signer_options())
    check(done.returncode == 0, "sign.py kit: " + done.stdout.decode(errors="replace"))
    return ({n: read(os.path.join(out, n)) for n in [PACKAGE] + CABINETS},
            {n: read(build.file(n)) for n in [PACKAGE] + CABINETS})


def sign_wrapper_again(build):
    unsigned, again = os.path.join(build.tmp, "unsigned.exe"), os.path.join(build.tmp, "again.exe")
    done = run(["osslsigncode", "remove-signature", "-in", build.wrapper, "-out", unsigned])
    check(done.returncode == 0, "remove-signature: " + done.stdout.decode(errors="replace"))
    done = run(["/usr/bin/python3", SIGN, "file", unsigned, again, "--description",
                build.cache["WRAPPER_PRODUCT_NAME"] + " Setup"] + build.signer_options())
    check(done.returncode == 0, "sign.py file: " + done.stdout.decode(errors="replace"))
    return {"wrapper.exe": read(again)}, {"wrapper.exe": read(build.wrapper)}


@table("signing again elsewhere gives the same bytes",
       [("kit", sign_kit_again), ("wrapper.exe", sign_wrapper_again)], wine=False)
def deterministic(build, again):
    second, first = again(build)
    equal(sorted(n for n in first if first[n] != second[n]), [], "files that differ")


def signer_row(name, expect_signed, *options, in_place=False):
    return (name, (expect_signed, list(options), in_place))


SIGNER_ROWS = [
    signer_row("PKCS#12 with its password file", True, "--pkcs12", "@codesign.p12",
               "--password-file", "@codesign.pass", "--time", "0"),
    signer_row("PKCS#12 with a wrong password", False, "--pkcs12", "@codesign.p12",
               "--password-file", "@wrong.pass", "--time", "0"),
    signer_row("in place, wrong password: the unsigned file is removed", False, "--pkcs12", "@codesign.p12",
               "--password-file", "@wrong.pass", "--time", "0", in_place=True),
    signer_row("certificate without its key", False, "--cert", "@codesign.pem", "--time", "0"),
    signer_row("PKCS#12 and a certificate", False, "--pkcs12", "@codesign.p12", "--cert", "@codesign.pem",
               "--key", "@codesign.key", "--time", "0"),
    signer_row("neither signing time nor time-stamp server", False, "--cert", "@codesign.pem",
               "--key", "@codesign.key"),
]


@table("sign.py signer options", SIGNER_ROWS, wine=False)
def signer_options(build, row):
    expect_signed, options, in_place = row
    with open(os.path.join(build.tmp, "wrong.pass"), "w") as f:
        f.write("not the password\n")
    options = [os.path.join(build.tmp if o == "@wrong.pass" else build.ca, o[1:]) if o.startswith("@") else o
               for o in options]
    folder = tempfile.mkdtemp(prefix="signer-", dir=build.tmp)
    source = os.path.join(folder, "in.cab")
    shutil.copy(build.file("sz160130.cab", signed=False), source)
    target = source if in_place else os.path.join(folder, "out.cab")
    done = run(["/usr/bin/python3", SIGN, "file", source, target] + options)
    if expect_signed:
        check(done.returncode == 0, "sign.py failed: " + done.stdout.decode(errors="replace"))
        passed, report = verify(target, os.path.join(build.ca, "ca.pem"))
        check(passed, "the signed file does not verify:\n" + report)
    else:
        check(done.returncode != 0, "sign.py succeeded")
        check(b"sign.py: " in done.stdout, "no reason given: %r" % done.stdout)
        equal(sorted(os.listdir(folder)), [] if in_place else ["in.cab"], "files left")


TSA_CONFIG = """[tsa]
default_tsa = test
[test]
serial = {folder}/serial
signer_cert = {ca}/tsa.pem
signer_key = {ca}/tsa.key
certs = {ca}/ca.pem
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256
ess_cert_id_alg = sha256
"""


class TimeStampServer(http.server.ThreadingHTTPServer):
    """An RFC 3161 time-stamp server on 127.0.0.1 that answers with `openssl ts -reply`
    as the test authority's time-stamping certificate."""

    def __init__(self, build):
        self.folder = tempfile.mkdtemp(prefix="tsa-", dir=build.tmp)
        with open(os.path.join(self.folder, "serial"), "w") as f:
            f.write("01\n")
        self.config = os.path.join(self.folder, "tsa.cnf")
        with open(self.config, "w") as f:
            f.write(TSA_CONFIG.format(folder=self.folder, ca=build.ca))
        self.answered = 0
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                query = os.path.join(server.folder, "query.tsq")
                with open(query, "wb") as f:
                    f.write(self.rfile.read(int(self.headers["Content-Length"])))
                reply = subprocess.run(["openssl", "ts", "-reply", "-config", server.config, "-queryfile", query],
                                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout
                server.answered += 1
                self.send_response(200)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(reply)))
                self.end_headers()
                self.wfile.write(reply)

            def log_message(self, *_):
                pass

        super().__init__(("127.0.0.1", 0), Handler)
        self.url = "http://127.0.0.1:%d/" % self.server_address[1]
        threading.Thread(target=self.serve_forever, daemon=True).start()


@case("sign.py --timestamp-url: the signature carries the server's time stamp, verified", wine=False)
def time_stamp(build):
    server = TimeStampServer(build)
    target = os.path.join(build.tmp, "stamped.cab")
    try:
        done = run(["/usr/bin/python3", SIGN, "file", build.file("sz160130.cab", signed=False), target,
                    "--cert", build.signer, "--key", os.path.join(build.ca, "codesign.key"),
                    "--timestamp-url", server.url])
    finally:
        server.shutdown()
        server.server_close()
    check(done.returncode == 0, "sign.py failed: " + done.stdout.decode(errors="replace"))
    equal(server.answered, 1, "time-stamp requests answered")
    passed, report = verify(target, os.path.join(build.ca, "ca.pem"), "-TSA-CAfile", os.path.join(build.ca, "ca.pem"))
    check(passed and re.search(r"Timestamp Server Signature verification: ok", report),
          "the time stamp does not verify:\n" + report)


# ---- Wine's installer engine and the signed kit ------------------------------------

class Prefix:
    def __init__(self, build):
        config = build.config
        self.config = config
        self.path = os.path.join(build.tmp, "prefix")
        self.env = {k: v for k, v in os.environ.items() if not k.startswith("WINE")}
        self.env.update(WINEPREFIX=self.path, WINEARCH=config.winearch, WINEDEBUG="-all")
        self.log = os.path.join(build.tmp, "wine.log")
        prefix_template.copy(config, self.path, build.tmp)
        self.kit = os.path.join(self.path, "drive_c", "kit")
        shutil.copytree(build.signed, self.kit)

    def wine(self, args, env):
        """Runs a Wine command to its end (its servers included); its output
        goes to a file, which the background services it starts may keep."""
        with open(self.log, "wb") as log:
            code = subprocess.run(args, env=env, stdout=log, stderr=log, timeout=300).returncode
        subprocess.run(["wineserver", "-w"], env=self.env)
        return code

    def msiexec(self, *arguments):
        # Wine sometimes ends a process with 1 at once, before it does anything
        # (seen under load). Wine's msiexec reports its own failures with
        # installer codes (1603, 1619 ...), which Linux sees as 67, 83 ...,
        # never as 1: a quick exit with 1 is run once more, with a note and
        # Wine's trace of the process starts and DLL loads of that attempt.
        env = dict(self.env, WINEDEBUG=START_TRACE)
        start = time.monotonic()
        code = self.wine([self.config.wine, "msiexec"] + list(arguments), env)
        elapsed = time.monotonic() - start
        if code == 1 and elapsed < 5:
            with open(self.log, "rb") as f:
                note_start_failure("msiexec", elapsed, split_trace(f.read())[1])
            code = self.wine([self.config.wine, "msiexec"] + list(arguments), env)
        return code

    def installed(self, name):
        path = os.path.join(self.path, "drive_c", *self.config.install_dir[3:].split("\\"), *name.split("\\"))
        return read(path).replace(b"\r\n", b"\n") if os.path.exists(path) else None

    def close(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def prefix(build):
    if getattr(build, "prefix", None) is None:
        build.prefix = Prefix(build)
    return build.prefix


def payload(name):
    return read(os.path.join(kit.PAYLOAD, name)).replace(b"\r\n", b"\n")


PACKAGE_PATH = "C:\\kit\\" + PACKAGE


@table("Wine's msiexec installs and removes the signed kit", [
    ("no transform", ([], "res/notes-en.txt")),
    ("embedded transform 1041", (["TRANSFORMS=:1041"], "res/notes-ja.txt")),
])
def wine_installs(build, row):
    properties, notes = row
    p = prefix(build)
    equal(p.msiexec("/i", PACKAGE_PATH, "/qn", *properties), 0, "installation's exit code")
    equal(p.installed("README.txt"), payload("README.txt"), "installed README.txt")
    equal(p.installed("NOTES.txt"), payload(notes), "installed NOTES.txt (the transform's language)")
    equal(p.msiexec("/x", PACKAGE_PATH, "/qn", *properties), 0, "removal's exit code")
    equal(p.installed("README.txt"), None, "README.txt after the removal")


@case("Wine's engine does not check MsiDigitalSignature: a cabinet changed after signing installs")
def wine_ignores_cabinet_signatures(build):
    # What Windows Installer refuses (the cabinet's digest no longer matches
    # its MsiDigitalSignature row), Wine 8's msi installs: it reads neither
    # table. A failure here means Wine's engine changed: the README says what
    # Wine does.
    p = prefix(build)
    changed = changed_cabinet_text(build)
    passed, _ = verify(changed, os.path.join(build.ca, "ca.pem"))
    check(not passed, "the changed cabinet still verifies")
    shutil.copy(changed, os.path.join(p.kit, "sd160130.cab"))
    try:
        code = p.msiexec("/i", PACKAGE_PATH, "/qn")
        text = p.installed("README.txt")
        equal((code, text), (0, payload("README.txt").replace(b"Tarsk Kit", b"tarsk Kit", 1)),
              "exit code and installed README.txt (Wine installs the changed text)")
        p.msiexec("/x", PACKAGE_PATH, "/qn")
    finally:
        shutil.copy(build.file("sd160130.cab"), os.path.join(p.kit, "sd160130.cab"))


def needs_wine(reason):
    """A case that is reported as skipped: this run has no Wine."""
    def skip(build):
        raise Skip("needs Wine: %s" % reason)
    return skip


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build_dir")
    parser.add_argument("ca_dir")
    parser.add_argument("--config", default="win32", help="win32, win32-x64 or win64")
    parser.add_argument("--without-wine", metavar="REASON", help="run only the cases that need no Wine")
    parser.add_argument("-k", action="append", default=[], help="run only cases whose name contains this")
    options = parser.parse_args()
    build = Build(options.build_dir, options.ca_dir, Configuration(options.config))
    print("# signing build %s, configuration %s" % (build.dir, build.config), flush=True)
    selected = [(n, f) for n, f in CASES if not options.k or any(k in n for k in options.k)]
    if options.without_wine:
        selected = [(n, f if n in WITHOUT_WINE else needs_wine(options.without_wine)) for n, f in selected]
    try:
        passed, failed, skipped = run_cases(selected, build)
    finally:
        if getattr(build, "prefix", None) is not None:
            build.prefix.close()
        shutil.rmtree(build.tmp, ignore_errors=True)
    print("%d passed, %d failed, %d skipped (signing, %s)" % (passed, failed, skipped, build.config.name))
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
