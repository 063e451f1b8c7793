"""The sample kit as the real msiexec installs it (resources/kit): where its
files and registry values land, and checks that it is (or is not) installed."""

import os
import subprocess

from .cases import check, equal
from .harness import PACKAGE, REG_SZ, VENDOR_KEY, HarnessError
from .product import ROOT

PAYLOAD = os.path.join(ROOT, "resources", "kit", "payload")
KIT_KEY = VENDOR_KEY + r"\Kit"
UNINSTALL_PARENT = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
REAL_MSIEXEC = r"C:\windows\system32\msiexec.exe"
# Installed path (below the configuration's install_dir) -> payload source, for the English installation.
FILES = {
    "README.txt": "README.txt",
    "NOTES.txt": "res/notes-en.txt",
    r"docs\LICENSE.txt": "docs/LICENSE.txt",
    r"samples\hello.tpz": "samples/hello.tpz",
    r"tools\tpzcheck.cfg": "tools/tpzcheck.cfg",
    r"lib\tpzcore.txt": "lib/tpzcore.txt",
    r"lib\zones.txt": "lib/zones.txt",
    r"plugins\plugins.lst": "plugins/plugins.lst",
    r"bin\tpz.cfg": "bin/tpz.cfg",
}
# The values the kit writes below KIT_KEY (as RegQueryValueExA returns them).
VALUES = {
    "Language": (REG_SZ, b"en\0"),
    "Version": (REG_SZ, b"1.6.0_13\0"),
    "InstallDir": None,  # the configuration's install_dir, with a backslash
}


PRODUCT_NAME = "Tarsk Kit 1.6.0_13"


def package_properties(session, *names):
    """Values of the embedded package's Property table (None where missing)."""
    out = subprocess.run(["msiinfo", "export", os.path.join(session.kit_dir, PACKAGE), "Property"],
                         stdout=subprocess.PIPE, check=True).stdout.decode("latin-1")
    rows = dict(line.rstrip("\r").split("\t", 1) for line in out.splitlines()[3:] if "\t" in line)
    return [rows.get(name) for name in names]


def product_code(session):
    """The product code of the package the build embeds (Property table)."""
    if getattr(session, "_product_code", None) is None:
        code, = package_properties(session, "ProductCode")
        if code is None:
            raise HarnessError("no ProductCode in the package's Property table")
        session._product_code = code.strip()
    return session._product_code


def value_lines(prefix):
    """Job lines that read the kit's values and its product registration after
    a run, in the package's registry view."""
    root = prefix.config.kit_root
    return [("getval", root, KIT_KEY, name) for name in VALUES] + [
        ("getval", root, UNINSTALL_PARENT + product_code(prefix.session), "DisplayName")]


def expect_installed(prefix, result):
    """Every kit file with the payload's text and the kit's registry values
    (result must come from a run with value_lines(prefix) among its after lines)."""
    install_dir = prefix.config.install_dir
    for installed, source in FILES.items():
        path = install_dir + "\\" + installed
        check(prefix.exists(path), "kit file missing: " + path)
        with open(os.path.join(PAYLOAD, source), "rb") as f:
            expected = f.read().replace(b"\r\n", b"\n")
        equal(prefix.read(path).replace(b"\r\n", b"\n"), expected, "text of " + installed)
    for name, value in VALUES.items():
        if name == "InstallDir":
            value = (REG_SZ, install_dir.encode("ascii") + b"\\\0")
        equal(result.values.get(name), value, r"%s\%s value %s" % (prefix.config.kit_root, KIT_KEY, name))
    equal(result.values.get("DisplayName"), (REG_SZ, PRODUCT_NAME.encode("ascii") + b"\0"),
          "product registration (DisplayName)")
