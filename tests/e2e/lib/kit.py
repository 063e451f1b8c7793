"""The sample kit as the real msiexec installs it (resources/kit): where its
files and registry values land, and checks that it is (or is not) installed."""

import os

from .cases import check, equal
from .harness import REG_SZ, VENDOR_KEY
from .product import ROOT

PAYLOAD = os.path.join(ROOT, "resources", "kit", "payload")
INSTALL_DIR = r"C:\Program Files\Tarsk\Kit 1.6.0_13"
KIT_KEY = VENDOR_KEY + r"\Kit"
PRODUCT_CODE = "{4B7E2C1A-9D35-4F60-8A13-160013A0C0DE}"
UNINSTALL_KEY = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + PRODUCT_CODE
REAL_MSIEXEC = r"C:\windows\system32\msiexec.exe"
# Installed path (below INSTALL_DIR) -> payload source, for the English installation.
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
    "InstallDir": (REG_SZ, INSTALL_DIR.encode("ascii") + b"\\\0"),
}


PRODUCT_NAME = "Tarsk Kit 1.6.0_13"


def value_lines():
    """Job lines that read the kit's values and its product registration after a run."""
    return [("getval", "HKLM", KIT_KEY, name) for name in VALUES] + [
        ("getval", "HKLM", UNINSTALL_KEY, "DisplayName")]


def expect_installed(prefix, result):
    """Every kit file with the payload's text and the kit's registry values
    (result must come from a run with value_lines() among its after lines)."""
    for installed, source in FILES.items():
        path = INSTALL_DIR + "\\" + installed
        check(prefix.exists(path), "kit file missing: " + path)
        with open(os.path.join(PAYLOAD, source), "rb") as f:
            expected = f.read().replace(b"\r\n", b"\n")
        equal(prefix.read(path).replace(b"\r\n", b"\n"), expected, "text of " + installed)
    for name, value in VALUES.items():
        equal(result.values.get(name), value, r"HKLM\%s value %s" % (KIT_KEY, name))
    equal(result.values.get("DisplayName"), (REG_SZ, PRODUCT_NAME.encode("ascii") + b"\0"),
          "product registration (DisplayName)")
