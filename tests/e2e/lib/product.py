"""What the tests expect of the product, taken from its sources where possible."""

import os
import re

from .harness import PACKAGE, STANDIN_DIR

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))


def engine_messages():
    """String 4 of resources/strings.rc by (primary, sub) language."""
    with open(os.path.join(ROOT, "resources", "strings.rc"), encoding="utf-8") as f:
        text = f.read()
    messages = {}
    for m in re.finditer(r'LANGUAGE\s+(\d+)\s*,\s*(\d+)\s+STRINGTABLE\s+BEGIN\s+4\s+L"((?:[^"\\]|\\.)*)"\s+END', text):
        messages[(int(m.group(1)), int(m.group(2)))] = m.group(3).replace('""', '"')
    return messages


def installer_command(package_folder, forwarded=b"", transform=None,
                      installer=STANDIN_DIR + r"\msiexec.exe"):
    """The command line the wrapper gives msiexec.exe, by its documented format."""
    package = (package_folder + "\\" + PACKAGE).encode("ascii")
    line = b'"' + installer.encode("ascii") + b'" /i "' + package + b'" '
    if transform is not None:
        line += b"TRANSFORMS=:" + str(transform).encode() + b" "
    return line + forwarded + b" WRAPPER=1"
