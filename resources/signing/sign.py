#!/usr/bin/python3
"""Authenticode signing of the wrapper and its kit with osslsigncode (SHA-256).

    sign.py file IN OUT [signer options] [--description TEXT]
    sign.py kit IN_DIR OUT_DIR --package NAME --cabinets NAME... [signer options]

Signer options: --cert PEM --key PEM, or --pkcs12 FILE; --password-file FILE
(the password of the key or of the PKCS#12 file, read by osslsigncode from the
file, never given on a command line); --timestamp-url URL (an RFC 3161 time
stamp) or else --time SECONDS, the signing time written into the signature,
so that the same input and key give the same bytes. An RSA key signs
deterministically (PKCS#1 v1.5); an ECDSA signature differs on every run.

"file" signs one executable, package or cabinet; IN and OUT may be the same
path (the file is replaced once the signature is made; on failure OUT is
removed, so that no unsigned file stands where a signed one belongs).

"kit" writes the signed kit to OUT_DIR, in the order an installer engine
that checks cabinets needs:
  1. each external cabinet is signed;
  2. the package gets one MsiDigitalSignature row per cabinet (Table "Media",
     SignObject the DiskId of the cabinet's Media row, the signer's row of
     MsiDigitalCertificate, Hash the Authenticode digest of the signed
     cabinet) and one MsiDigitalCertificate row (the signer's certificate,
     DER); its other tables, its summary information and its embedded
     transforms stay as they are;
  3. the package is signed.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "kit"))
sys.dont_write_bytecode = True   # no __pycache__ in the source tree
import msitransform as mt  # noqa: E402

CERTIFICATE_ROW = "CodeSigning"
SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
SIGNED_DATA = "1.2.840.113549.1.7.2"

# The two tables, as the installer's schema defines them: (columns, types, key count).
SIGNATURE_SCHEMAS = {
    "MsiDigitalCertificate": (["DigitalCertificate", "CertData"], ["s72", "v0"], 1),
    "MsiDigitalSignature": (["Table", "SignObject", "DigitalCertificate_", "Hash"],
                            ["s32", "s72", "s72", "V0"], 2),
}


class SignError(Exception):
    pass


# ---- DER, as far as a PKCS#7 Authenticode signature needs it ---------------

def der_item(data, offset):
    """(tag, start of content, end of content) of the DER item at offset."""
    if offset + 2 > len(data):
        raise SignError("DER item past the end")
    tag = data[offset]
    length = data[offset + 1]
    start = offset + 2
    if length & 0x80:
        n = length & 0x7F
        if n == 0 or n > 4 or start + n > len(data):
            raise SignError("unsupported DER length")
        length = int.from_bytes(data[start:start + n], "big")
        start += n
    if start + length > len(data):
        raise SignError("DER item longer than its container")
    return tag, start, start + length


def der_children(data, start, end):
    """[(tag, content start, content end, item start, item end)] inside a constructed item."""
    items = []
    offset = start
    while offset < end:
        tag, s, e = der_item(data, offset)
        items.append((tag, s, e, offset, e))
        offset = e
    return items


def der_oid(raw):
    first = raw[0]
    parts = [first // 40 if first < 80 else 2, first % 40 if first < 80 else first - 80]
    value = 0
    for b in raw[1:]:
        value = (value << 7) | (b & 0x7F)
        if not b & 0x80:
            parts.append(value)
            value = 0
    return ".".join(str(p) for p in parts)


def signature_facts(pkcs7):
    """(digest of the signed file as the signature records it, DER of the
    signer's certificate) of a DER PKCS#7 Authenticode signature."""
    tag, s, e = der_item(pkcs7, 0)
    content_info = der_children(pkcs7, s, e)
    if tag != 0x30 or len(content_info) < 2 or der_oid(pkcs7[content_info[0][1]:content_info[0][2]]) != SIGNED_DATA:
        raise SignError("not a PKCS#7 signed-data structure")
    _, s, e, _, _ = content_info[1]                      # [0] EXPLICIT
    _, s, e, _, _ = der_children(pkcs7, s, e)[0]        # SignedData
    signed_data = der_children(pkcs7, s, e)
    # version, digestAlgorithms, contentInfo, [0] certificates, [1] crls, signerInfos
    _, s, e, _, _ = signed_data[2]
    inner = der_children(pkcs7, s, e)
    if der_oid(pkcs7[inner[0][1]:inner[0][2]]) != SPC_INDIRECT_DATA:
        raise SignError("the signed content is not Authenticode indirect data")
    _, s, e, _, _ = inner[1]                              # [0] EXPLICIT
    _, s, e, _, _ = der_children(pkcs7, s, e)[0]         # SpcIndirectDataContent
    _, s, e, _, _ = der_children(pkcs7, s, e)[1]         # messageDigest: DigestInfo
    _, s, e, _, _ = der_children(pkcs7, s, e)[1]         # digest OCTET STRING
    digest = pkcs7[s:e]

    certificates = [c for c in signed_data if c[0] == 0xA0]
    signer_infos = signed_data[-1]
    if signer_infos[0] != 0x31 or not certificates:
        raise SignError("no certificates or signer in the signature")
    _, s, e, _, _ = der_children(pkcs7, signer_infos[1], signer_infos[2])[0]
    signer = der_children(pkcs7, s, e)
    _, s, e, _, _ = signer[1]                             # issuerAndSerialNumber
    issuer, serial = [pkcs7[i0:i1] for _, _, _, i0, i1 in der_children(pkcs7, s, e)]
    for _, _, _, c0, c1 in der_children(pkcs7, certificates[0][1], certificates[0][2]):
        _, s, e = der_item(pkcs7, c0)
        _, s, e, _, _ = der_children(pkcs7, s, e)[0]     # tbsCertificate
        tbs = der_children(pkcs7, s, e)
        if tbs[0][0] == 0xA0:                             # [0] version
            tbs = tbs[1:]
        cert_serial = pkcs7[tbs[0][3]:tbs[0][4]]
        cert_issuer = pkcs7[tbs[2][3]:tbs[2][4]]
        if (cert_issuer, cert_serial) == (issuer, serial):
            return digest, pkcs7[c0:c1]
    raise SignError("the signer's certificate is not in the signature")


# ---- osslsigncode -----------------------------------------------------------

def run(cmd, what):
    done = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if done.returncode != 0:
        raise SignError("%s failed (exit %d):\n%s" % (what, done.returncode,
                                                       done.stdout.decode(errors="replace").strip()))
    return done.stdout


def signer_arguments(options):
    if options.pkcs12 and (options.cert or options.key):
        raise SignError("give either --pkcs12 or --cert with --key, not both")
    if options.pkcs12:
        args = ["-pkcs12", options.pkcs12]
    elif options.cert and options.key:
        args = ["-certs", options.cert, "-key", options.key]
    else:
        raise SignError("a signer is needed: --cert with --key, or --pkcs12")
    for path in (options.pkcs12, options.cert, options.key, options.password_file):
        if path and not os.path.isfile(path):
            raise SignError("no such file: %s" % path)
    if options.password_file:
        args += ["-readpass", options.password_file]
    if options.timestamp_url:
        args += ["-ts", options.timestamp_url]
    elif options.time is not None:
        args += ["-time", str(options.time)]
    else:
        raise SignError("a signing time (--time) or a time-stamp server (--timestamp-url) is needed")
    return args


def sign_file(options, source, target, description=None):
    """Signs source into target (which may be source itself)."""
    folder = os.path.dirname(os.path.abspath(target))
    fd, temporary = tempfile.mkstemp(prefix=".signing-", dir=folder)
    os.close(fd)
    os.remove(temporary)   # osslsigncode creates its output itself
    cmd = [options.osslsigncode, "sign", "-h", "sha256"] + signer_arguments(options)
    if description:
        cmd += ["-n", description]
    try:
        run(cmd + ["-in", source, "-out", temporary], "signing %s" % os.path.basename(source))
        os.chmod(temporary, os.stat(source).st_mode & 0o777)
        os.replace(temporary, target)
    except BaseException:
        for path in {temporary, target}:
            if os.path.exists(path):
                os.remove(path)
        raise


def signature_of(options, path, work):
    """(digest, signer certificate DER) of a signed file."""
    out = os.path.join(work, os.path.basename(path) + ".p7")
    run([options.osslsigncode, "extract-signature", "-in", path, "-out", out],
        "reading the signature of %s" % os.path.basename(path))
    with open(out, "rb") as f:
        return signature_facts(f.read())


# ---- the kit ----------------------------------------------------------------

def media_rows(package):
    """{cabinet name: DiskId} of the package's external cabinets."""
    db = mt.Database(package)
    try:
        media = db.tables.get("Media")
        rows = media.rows if media else []
    finally:
        db.close()
    return {cabinet: disk for disk, _, _, cabinet, _, _ in rows
            if cabinet and not cabinet.startswith("#")}


def write_signature_tables(options, package, output, rows, certificate, work):
    """Copies package to output with the two signature tables (rows: [(DiskId, digest)]).

    msibuild adds the tables; the package's embedded transforms are then put
    back as they were, since msibuild drops a substorage's class (the class
    that marks a storage as a transform)."""
    folder = os.path.join(work, "tables")
    os.makedirs(os.path.join(folder, "MsiDigitalCertificate"))
    os.makedirs(os.path.join(folder, "MsiDigitalSignature"))
    with open(os.path.join(folder, "MsiDigitalCertificate", CERTIFICATE_ROW), "wb") as f:
        f.write(certificate)
    signature_rows = []
    for disk, digest in rows:
        name = "Media.%d" % disk
        with open(os.path.join(folder, "MsiDigitalSignature", name), "wb") as f:
            f.write(digest)
        signature_rows.append(("Media", str(disk), CERTIFICATE_ROW, name))
    # The last pair of arguments imports _ForceCodepage: the package keeps its own code page.
    args = mt.write_idt_files(folder, {"MsiDigitalCertificate": [(CERTIFICATE_ROW, CERTIFICATE_ROW)],
                                       "MsiDigitalSignature": signature_rows}, SIGNATURE_SCHEMAS)[:-2]
    shutil.copy(package, os.path.join(folder, "package.msi"))
    done = subprocess.run([options.msibuild, "package.msi"] + args, cwd=folder,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if done.returncode != 0:
        raise SignError("adding the signature tables failed:\n%s" % done.stdout.decode(errors="replace"))
    original, _ = mt.read_compound(package)
    tree, root = mt.read_compound(os.path.join(folder, "package.msi"))
    for name, node in original.items():
        if isinstance(node, dict):
            tree[name] = node
    mt.write_compound(output, tree, root or mt.PACKAGE_CLSID)


def sign_kit(options):
    source, target = os.path.abspath(options.input), os.path.abspath(options.output)
    if source == target:
        raise SignError("the signed kit needs a folder of its own")
    package = os.path.join(source, options.package)
    media = media_rows(package)
    unlisted = sorted(set(options.cabinets) - set(media))
    unnamed = sorted(set(media) - set(options.cabinets))
    if unlisted or unnamed:
        raise SignError("the package's Media table and the cabinets differ: %s" % "; ".join(
            ["not in the Media table: " + " ".join(unlisted)] * bool(unlisted)
            + ["not given: " + " ".join(unnamed)] * bool(unnamed)))
    os.makedirs(target, exist_ok=True)
    work = tempfile.mkdtemp(prefix="kit-signing-", dir=target)
    try:
        rows, certificate = [], None
        for cabinet in options.cabinets:
            signed = os.path.join(target, cabinet)
            sign_file(options, os.path.join(source, cabinet), signed)
            digest, signer = signature_of(options, signed, work)
            if certificate not in (None, signer):
                raise SignError("the cabinets name different signers")
            certificate = signer
            rows.append((media[cabinet], digest))
        tabled = os.path.join(work, "tabled.msi")
        write_signature_tables(options, package, tabled, sorted(rows), certificate, work)
        sign_file(options, tabled, os.path.join(target, options.package), options.description)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--cert", help="code-signing certificate, PEM (with --key)")
    common.add_argument("--key", help="its private key, PEM")
    common.add_argument("--pkcs12", help="certificate and key in one PKCS#12 file")
    common.add_argument("--password-file", help="file holding the password of the key or PKCS#12 file")
    common.add_argument("--timestamp-url", help="RFC 3161 time-stamp server")
    common.add_argument("--time", type=int,
                        help="signing time in seconds since 1970 when no time stamp is asked for")
    common.add_argument("--description", help="the program or package name shown to the user")
    common.add_argument("--osslsigncode", default="osslsigncode")
    common.add_argument("--msibuild", default="msibuild")
    sub = parser.add_subparsers(dest="command", required=True)
    f = sub.add_parser("file", parents=[common], help="sign one file")
    f.add_argument("input")
    f.add_argument("output")
    k = sub.add_parser("kit", parents=[common], help="sign the cabinets, record them in the package, sign it")
    k.add_argument("input")
    k.add_argument("output")
    k.add_argument("--package", required=True)
    k.add_argument("--cabinets", nargs="+", required=True)
    options = parser.parse_args(argv)
    try:
        signer_arguments(options)          # refuses a bad signer before anything is written
        if options.command == "file":
            sign_file(options, options.input, options.output, options.description)
        else:
            sign_kit(options)
    except SignError as e:
        print("sign.py: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
