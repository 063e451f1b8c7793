#!/usr/bin/python3
"""Makes arm64 import libraries for the test programs: ucrtbase, kernel32,
user32, advapi32 and msi, with every function Wine's DLLs export.

    import_libs.py OUTDIR

The product's own import libraries list only what it calls
(cmake/arm64-imports); the test programs use a C runtime and much more of
the system, so their lists are read from the export tables of the host's
64-bit Wine DLLs, whose names are those of every Wine architecture (arm64
Wine of Debian 12 keeps its DLLs as Linux libraries, without PE export
tables to read)."""

import os
import subprocess
import sys

import pefile

WINE_DLLS = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows"
NAMES = ("ucrtbase", "kernel32", "user32", "advapi32", "msi")
EXECUTABLE = 0x20000000


def def_text(name):
    pe = pefile.PE(os.path.join(WINE_DLLS, name + ".dll"))
    lines = ["LIBRARY %s.dll" % name, "EXPORTS"]
    for symbol in pe.DIRECTORY_ENTRY_EXPORT.symbols:
        if not symbol.name:
            continue
        section = None if symbol.forwarder else pe.get_section_by_rva(symbol.address)
        data = section is not None and not section.Characteristics & EXECUTABLE
        lines.append("    %s%s" % (symbol.name.decode(), " DATA" if data else ""))
    return "\n".join(lines) + "\n"


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for name in NAMES:
        definition = os.path.join(out, name + ".def")
        with open(definition, "w") as f:
            f.write(def_text(name))
        subprocess.run(["llvm-dlltool", "-m", "arm64", "-d", definition,
                        "-l", os.path.join(out, "lib%s.a" % name)], check=True)


if __name__ == "__main__":
    main()
