#!/usr/bin/python3
"""Builds the sample kit: tpz1.6.0_13.msi and its eight external cabinets.

The package's tables are described here and written as .idt files that
msibuild imports; the cabinets are made by gcab without compression; the
language transforms are the difference between the package and a variant
of it, written by msitransform.py and embedded as substorages "1041" and
"2052". --arch picks the x86 package (i586), the x64 one (amd64) or the
Arm64 one (arm64), see ARCHES. Everything is derived from fixed inputs
(GUIDs, dates, file times, pseudo-random payload seeds), so a rebuild gives
the same bytes.
"""

import argparse
import hashlib
import math
import os
import shutil
import subprocess
import sys
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import msitransform as mt  # noqa: E402

PACKAGE = "tpz1.6.0_13.msi"
PRODUCT_NAME = "Tarsk Kit 1.6.0_13"
PRODUCT_VERSION = "1.6.0.13"
MANUFACTURER = "TarskSoft"
UPGRADE_CODE = "{4B7E2C1A-9D35-4F60-8A13-00000000C0DE}"
COMPONENT_NAMESPACE = uuid.UUID("8E1F3C62-5A0B-4C7D-9E24-7A5B1C3D9F00")
# 2013-01-30 00:00:00 UTC: file times in the cabinets and summary dates.
FIXED_UNIX_TIME = 1359504000
FIXED_FILETIME = (FIXED_UNIX_TIME + 11644473600) * 10**7

# What differs between the x86 package (i586), the x64 one (amd64) and the
# Arm64 one (arm64). All share the upgrade code; each has its own product and
# package code, since the installer engine must see them as different
# products, and its own component GUIDs, since a component GUID names a
# component of one architecture.
#   platform          first half of the summary's Template ("x64;1033")
#   schema            the summary's Page Count: the oldest installer version
#                     that may run the package (2.0 brought 64-bit packages,
#                     5.0 is the first for the Arm64 platform)
#   program_files     the Directory table's root of the installation folder
#   component_bits    added to every component's Attributes
#                     (msidbComponentAttributes64bit: registry and files of a
#                     64-bit component go to the 64-bit view and folders)
#   locator_bits      added to the RegLocator type (msidbLocatorType64bit:
#                     search the 64-bit registry view)
#   component_prefix  name prefix of the component GUIDs (uuid5)
ARCHES = {
    "i586": {"platform": "Intel", "schema": 200,
             "product_code": "{4B7E2C1A-9D35-4F60-8A13-160013A0C0DE}",
             "package_code": "{4B7E2C1A-9D35-4F60-8A13-1600130FACED}",
             "program_files": "ProgramFilesFolder",
             "component_bits": 0, "locator_bits": 0,
             "component_prefix": "tarsk-kit/"},
    "amd64": {"platform": "x64", "schema": 200,
              "product_code": "{4B7E2C1A-9D35-4F64-8A13-160013A0C0DE}",
              "package_code": "{4B7E2C1A-9D35-4F64-8A13-1600130FACED}",
              "program_files": "ProgramFiles64Folder",
              "component_bits": 256, "locator_bits": 16,
              "component_prefix": "tarsk-kit/x64/"},
    "arm64": {"platform": "Arm64", "schema": 500,
              "product_code": "{4B7E2C1A-9D35-4FA6-8A13-160013A0C0DE}",
              "package_code": "{4B7E2C1A-9D35-4FA6-8A13-1600130FACED}",
              "program_files": "ProgramFiles64Folder",
              "component_bits": 256, "locator_bits": 16,
              "component_prefix": "tarsk-kit/arm64/"},
}

# Cabinets in the order the installation needs them (= DiskId order), the
# files each carries (file key, payload path, directory, component) and the
# approximate size of the cabinet in a --full-size build.
CABINETS = [
    ("sd160130.cab", 9710828, [("README.txt", "README.txt", "INSTALLDIR", "Readme"),
                               ("LICENSE.txt", "docs/LICENSE.txt", "DOCSDIR", "Docs")]),
    ("ss160130.cab", 17689546, [("hello.tpz", "samples/hello.tpz", "SAMPLESDIR", "Samples")]),
    ("st160130.cab", 25484248, [("tpzcheck.cfg", "tools/tpzcheck.cfg", "TOOLSDIR", "Tools")]),
    ("sj160130.cab", 13237360, [("tpzcore.txt", "lib/tpzcore.txt", "LIBDIR", "Lib")]),
    ("sp160130.cab", 29233, [("plugins.lst", "plugins/plugins.lst", "PLUGINSDIR", "Plugins")]),
    ("sz160130.cab", 1802, [("zones.txt", "lib/zones.txt", "LIBDIR", "Lib")]),
    ("sb160130.cab", 9886799, [("tpz.cfg", "bin/tpz.cfg", "BINDIR", "Bin")]),
    ("sr160130.cab", 96383, [("NotesEn", "res/notes-en.txt", "INSTALLDIR", "NotesEn"),
                             ("NotesJa", "res/notes-ja.txt", "INSTALLDIR", "NotesJa"),
                             ("NotesZh", "res/notes-zh-CN.txt", "INSTALLDIR", "NotesZh")]),
]
PACKAGE_FULL_SIZE = 417792
# Where a --full-size build puts each cabinet's filler file.
PAD_FILES = {"sd160130.cab": ("manual.dat", "DOCSDIR", "Docs"),
             "ss160130.cab": ("samples.dat", "SAMPLESDIR", "Samples"),
             "st160130.cab": ("tools.dat", "TOOLSDIR", "Tools"),
             "sj160130.cab": ("core.dat", "LIBDIR", "Lib"),
             "sp160130.cab": ("plugins.dat", "PLUGINSDIR", "Plugins"),
             "sz160130.cab": ("zones.dat", "LIBDIR", "Lib"),
             "sb160130.cab": ("tpz.dat", "BINDIR", "Bin"),
             "sr160130.cab": ("res.dat", "INSTALLDIR", "Readme")}
# Installed names that differ from the file key.
INSTALLED_NAMES = {"NotesEn": "NOTES.txt", "NotesJa": "NOTES.txt", "NotesZh": "NOTES.txt"}

# PROGRAMFILES stands for the architecture's program files folder.
DIRECTORIES = [
    ("TARGETDIR", None, "SourceDir"),
    ("PROGRAMFILES", "TARGETDIR", "."),
    ("TARSKDIR", "PROGRAMFILES", "Tarsk"),
    ("INSTALLDIR", "TARSKDIR", "Kit 1.6.0_13"),
    ("DOCSDIR", "INSTALLDIR", "docs"),
    ("SAMPLESDIR", "INSTALLDIR", "samples"),
    ("TOOLSDIR", "INSTALLDIR", "tools"),
    ("LIBDIR", "INSTALLDIR", "lib"),
    ("PLUGINSDIR", "INSTALLDIR", "plugins"),
    ("BINDIR", "INSTALLDIR", "bin"),
]

# Only one notes file is installed: the one of the installation's language.
COMPONENT_CONDITIONS = {"NotesEn": 'KIT_LANGUAGE<>"ja" AND KIT_LANGUAGE<>"zh-CN"',
                        "NotesJa": 'KIT_LANGUAGE="ja"',
                        "NotesZh": 'KIT_LANGUAGE="zh-CN"'}

# What each embedded transform changes, as row edits of the package's tables
# (and the language half of the target's Template).
LANGUAGES = {
    "1041": {"language": "ja", "locale": "ja-JP"},
    "2052": {"language": "zh-CN", "locale": "zh-CN"},
}

# msidbCustomActionType: 1 = DLL in the Binary table; +1024 deferred; +2048 no impersonation.
CA_DLL, CA_DEFERRED_SYSTEM = 1, 1 + 1024 + 2048

SCHEMAS = {
    "Property": (["Property", "Value"], ["s72", "l0"], 1),
    "Directory": (["Directory", "Directory_Parent", "DefaultDir"], ["s72", "S72", "l255"], 1),
    "Feature": (["Feature", "Feature_Parent", "Title", "Description", "Display", "Level",
                 "Directory_", "Attributes"],
                ["s38", "S38", "L64", "L255", "I2", "i2", "S72", "i2"], 1),
    "Component": (["Component", "ComponentId", "Directory_", "Attributes", "Condition", "KeyPath"],
                  ["s72", "S38", "s72", "i2", "S255", "S72"], 1),
    "FeatureComponents": (["Feature_", "Component_"], ["s38", "s72"], 2),
    "File": (["File", "Component_", "FileName", "FileSize", "Version", "Language", "Attributes",
              "Sequence"], ["s72", "s72", "l255", "i4", "S72", "S20", "I2", "i4"], 1),
    "Media": (["DiskId", "LastSequence", "DiskPrompt", "Cabinet", "VolumeLabel", "Source"],
              ["i2", "i4", "L64", "S255", "S32", "S72"], 1),
    "Registry": (["Registry", "Root", "Key", "Name", "Value", "Component_"],
                 ["s72", "i2", "l255", "L255", "L0", "s72"], 1),
    "CustomAction": (["Action", "Type", "Source", "Target"], ["s72", "i2", "S72", "S255"], 1),
    "InstallExecuteSequence": (["Action", "Condition", "Sequence"], ["s72", "S255", "I2"], 1),
    "InstallUISequence": (["Action", "Condition", "Sequence"], ["s72", "S255", "I2"], 1),
    "Binary": (["Name", "Data"], ["s72", "v0"], 1),
    "AppSearch": (["Property", "Signature_"], ["s72", "s72"], 2),
    "RegLocator": (["Signature_", "Root", "Key", "Name", "Type"],
                   ["s72", "i2", "s255", "S255", "I2"], 1),
}


def short_name(name, taken):
    """The 8.3 form a FileName/DefaultDir column needs beside a long name."""
    base, dot, ext = name.rpartition(".")
    if not dot:
        base, ext = name, ""
    simple = base and len(base) <= 8 and len(ext) <= 3 and all(
        c.isalnum() or c in "_-" for c in base + ext)
    if simple and name.upper() not in taken:
        short = name.upper()
    else:
        stem = "".join(c for c in base.upper() if c.isalnum())[:6] or "FILE"
        ext = "".join(c for c in ext.upper() if c.isalnum())[:3]
        n = 1
        while True:
            short = "%s~%d%s" % (stem, n, "." + ext if ext else "")
            if short not in taken:
                break
            n += 1
    taken.add(short)
    return name if short == name else "%s|%s" % (short, name)


def component_guid(arch, name):
    return "{%s}" % str(uuid.uuid5(COMPONENT_NAMESPACE,
                                   ARCHES[arch]["component_prefix"] + name)).upper()


def filler(name, size):
    """Incompressible bytes, the same on every build."""
    return hashlib.shake_256(("tarsk-kit:" + name).encode()).digest(size)


def run(cmd, **kw):
    result = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **kw)
    if result.returncode:
        sys.stderr.write(result.stdout.decode(errors="replace"))
        raise SystemExit("command failed: %s" % " ".join(cmd))
    return result.stdout


def stage_file(path, data):
    with open(path, "wb") as f:
        f.write(data)
    os.utime(path, (FIXED_UNIX_TIME, FIXED_UNIX_TIME))


def payload_bytes(rel):
    with open(os.path.join(HERE, "payload", rel), "rb") as f:
        data = f.read()
    if rel.endswith((".txt", ".cfg", ".lst", ".tpz")):
        data = data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
    return data


def build_cabinet(work, cab, files, target):
    """Writes the cabinet; files are (key, bytes). Returns [(key, size)] in cabinet order."""
    folder = os.path.join(work, "cab", cab)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for key, data in files:
        stage_file(os.path.join(folder, key), data)
    out = os.path.join(os.path.dirname(work), cab)

    def make(extra):
        keys = [k for k, _ in files] + list(extra)
        if os.path.exists(out):
            os.remove(out)
        run(["gcab", "-c", "-n", out] + [os.path.join(folder, k) for k in keys])
        return os.path.getsize(out)

    sizes = [(k, len(d)) for k, d in files]
    if target is None:
        make([])
        shutil.rmtree(folder)
        return sizes
    pad_key = PAD_FILES[cab][0]
    size = make([])
    # Uncompressed data goes in 32 KiB blocks with an 8-byte header each; a
    # file entry costs 16 bytes plus its name. Estimate, then correct.
    pad = max(0, target - size - 17 - len(pad_key))
    pad -= 8 * math.ceil(pad / 32768)
    for _ in range(4):
        pad = max(0, pad)
        stage_file(os.path.join(folder, pad_key), filler(cab, pad))
        size = make([pad_key])
        if size == target or pad == 0:
            break
        pad += target - size
    shutil.rmtree(folder)  # tens of megabytes, and the cabinet holds them
    return sizes + [(pad_key, pad)]


def package_tables(layout, binaries, arch, language=None):
    """All rows of the package; language names an entry of LANGUAGES for a variant."""
    t = {name: [] for name in SCHEMAS}
    a = ARCHES[arch]
    lang = LANGUAGES[language] if language else {"language": "en"}
    t["Property"] = [
        ("ProductCode", a["product_code"]), ("UpgradeCode", UPGRADE_CODE),
        ("ProductName", PRODUCT_NAME), ("ProductVersion", PRODUCT_VERSION),
        ("Manufacturer", MANUFACTURER), ("ProductLanguage", language or "1033"),
        ("ALLUSERS", "1"), ("KIT_LANGUAGE", lang["language"]),
        ("WRAPPER_WAIT_MS", "600000"),
        ("SecureCustomProperties", "INSTALLDIR;KIT_LANGUAGE;WRAPPER;WRAPPER_WAIT_MS;"
         "REQUEST_REINSTALL;INSTALL_STATUS_TYPE;INSTALL_STATUS_VALUE;INSTALL_STATUS_HEX"),
        ("ARPNOMODIFY", "1"),
    ]
    taken = {}
    for key, parent, name in DIRECTORIES:
        key = a["program_files"] if key == "PROGRAMFILES" else key
        parent = a["program_files"] if parent == "PROGRAMFILES" else parent
        default = name if name in ("SourceDir", ".") else short_name(name, taken.setdefault(
            parent, set()))
        t["Directory"].append((key, parent, default))
    t["Feature"] = [("Complete", None, PRODUCT_NAME, "The complete kit.", 1, 1, "INSTALLDIR", 0)]

    components = {}
    names_taken = {}
    sequence = 0
    for disk, (cab, files) in enumerate(layout, start=1):
        for key, size, directory, component in files:
            sequence += 1
            components.setdefault(component, (directory, key))
            installed = INSTALLED_NAMES.get(key, key)
            taken_here = names_taken.setdefault(directory, set())
            fname = short_name(installed, set() if key in INSTALLED_NAMES else taken_here)
            t["File"].append((key, "Comp" + component, fname, size, None, None, 0, sequence))
        t["Media"].append((disk, sequence, None, cab, None, None))
    for name, (directory, keyfile) in components.items():
        t["Component"].append(("Comp" + name, component_guid(arch, name), directory,
                               a["component_bits"], COMPONENT_CONDITIONS.get(name), keyfile))
    # Registry values (attribute 4: the key path is a Registry row), in the
    # package's own registry view; the company key itself goes when the last
    # value goes.
    t["Component"].append(("CompRegistry", component_guid(arch, "Registry"), "INSTALLDIR",
                           4 | a["component_bits"], None, "RegLanguage"))
    kit_key = r"Software\TarskSoft\Kit"
    t["Registry"] = [("RegLanguage", 2, kit_key, "Language", "[KIT_LANGUAGE]", "CompRegistry"),
                     ("RegInstallDir", 2, kit_key, "InstallDir", "[INSTALLDIR]", "CompRegistry"),
                     ("RegVersion", 2, kit_key, "Version", "1.6.0_13", "CompRegistry")]
    if language:
        t["Registry"].append(("RegLocale", 2, kit_key, "Locale", lang["locale"], "CompRegistry"))
    # Maintenance runs (repair, uninstall) find the kit where the first run
    # put it, even when INSTALLDIR was given on that command line only
    # (RegLocator type 2: the raw value; in the view the value was written to).
    t["AppSearch"] = [("INSTALLDIR", "InstallDirSearch")]
    t["RegLocator"] = [("InstallDirSearch", 2, kit_key, "InstallDir", 2 | a["locator_bits"])]
    t["FeatureComponents"] = [("Complete", c[0]) for c in t["Component"]]

    t["Binary"] = [(name, name) for name in sorted(binaries)]
    t["CustomAction"] = [
        ("WaitForCabinets", CA_DLL, "KitCA", "WaitForCabinets"),
        ("PrepareInstallStatus", CA_DLL, "KitCA", "PrepareInstallStatus"),
        ("WriteInstallStatus", CA_DEFERRED_SYSTEM, "KitCA", "WriteInstallStatus"),
        ("ClearInstallStatus", CA_DEFERRED_SYSTEM, "KitCA", "ClearInstallStatus"),
    ]
    uninstall = 'REMOVE="ALL"'
    t["InstallExecuteSequence"] = [
        ("AppSearch", None, 50), ("CostInitialize", None, 800), ("FileCost", None, 900), ("CostFinalize", None, 1000),
        ("InstallValidate", None, 1400), ("InstallInitialize", None, 1500),
        ("ProcessComponents", None, 1600), ("UnpublishFeatures", None, 1800),
        ("RemoveRegistryValues", None, 2600),
        ("ClearInstallStatus", uninstall, 2650),
        ("RemoveFiles", None, 3500), ("RemoveFolders", None, 3600),
        ("CreateFolders", None, 3700),
        # Nothing before InstallFiles opens a cabinet.
        ("WaitForCabinets", 'WRAPPER="1" AND NOT (%s)' % uninstall, 3990),
        ("InstallFiles", None, 4000), ("WriteRegistryValues", None, 5000),
        ("RegisterUser", None, 6000), ("RegisterProduct", None, 6100),
        ("PublishFeatures", None, 6300), ("PublishProduct", None, 6400),
        # Only a first installation asks for another run: the maintenance run
        # that follows must not ask again.
        ("PrepareInstallStatus", "NOT Installed", 6500),
        ("WriteInstallStatus", "WriteInstallStatus", 6550),
        ("InstallFinalize", None, 6600),
    ]
    t["InstallUISequence"] = [("AppSearch", None, 50), ("CostInitialize", None, 800), ("FileCost", None, 900),
                              ("CostFinalize", None, 1000), ("ExecuteAction", None, 1300)]
    return t


def build_database(folder, tables, binaries):
    """Writes the tables as .idt files and imports them into folder/package.msi.

    msibuild reads .idt files as UTF-8 and stores strings in the database's
    code page, set by _ForceCodepage.
    """
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(os.path.join(folder, "Binary"))
    for name, data in binaries.items():
        stage_file(os.path.join(folder, "Binary", name), data)
    args = mt.write_idt_files(folder, tables, SCHEMAS)
    run(["msibuild", "package.msi"] + args, cwd=folder)
    return os.path.join(folder, "package.msi")


def summary_info(arch, language="1033"):
    return {
        mt.PID_CODEPAGE: 1252, mt.PID_TITLE: "Installation Database",
        mt.PID_SUBJECT: PRODUCT_NAME, mt.PID_AUTHOR: MANUFACTURER,
        mt.PID_KEYWORDS: "Installer", mt.PID_COMMENTS: "Sample kit for the installer wrapper.",
        mt.PID_TEMPLATE: "%s;%s" % (ARCHES[arch]["platform"], language),
        mt.PID_REVNUMBER: ARCHES[arch]["package_code"],
        mt.PID_CREATE_DTM: FIXED_FILETIME, mt.PID_LASTSAVE_DTM: FIXED_FILETIME,
        mt.PID_PAGECOUNT: ARCHES[arch]["schema"], mt.PID_WORDCOUNT: 2,  # compressed files in cabinets
        mt.PID_APPNAME: "kitbuild.py", mt.PID_SECURITY: 2,
    }


def build_package(work, out, layout, binaries, arch):
    base_path = build_database(os.path.join(work, "base"),
                               package_tables(layout, binaries, arch), binaries)
    base = mt.Database(base_path)
    base_summary = summary_info(arch)
    transforms = {}
    for language in LANGUAGES:
        variant_path = build_database(os.path.join(work, language),
                                      package_tables(layout, binaries, arch, language), binaries)
        variant = mt.Database(variant_path)
        streams, _ = mt.build_transform(base, variant, base_summary=base_summary,
                                        target_summary=summary_info(arch, language))
        variant.close()
        transforms[language] = os.path.join(work, language + ".mst")
        mt.write_transform(transforms[language], streams)
    base.close()
    mt.embed(base_path, out, transforms,
             summary=mt.encode_summary(base_summary, base_summary[mt.PID_CODEPAGE]))
    return os.path.getsize(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("outdir")
    parser.add_argument("--full-size", action="store_true",
                        help="pad the cabinets and the package to the sizes of a real kit")
    parser.add_argument("--ca-dll", required=True, help="the custom action DLL to embed")
    parser.add_argument("--arch", choices=sorted(ARCHES), default="i586",
                        help="the package's architecture (the DLL must match it)")
    args = parser.parse_args()

    outdir = os.path.abspath(args.outdir)
    work = os.path.join(outdir, "work")
    os.makedirs(work, exist_ok=True)

    layout = []
    for cab, target, files in CABINETS:
        staged = [(key, payload_bytes(rel)) for key, rel, _, _ in files]
        sizes = build_cabinet(work, cab, staged, target if args.full_size else None)
        where = {key: (d, c) for key, _, d, c in files}
        where[PAD_FILES[cab][0]] = PAD_FILES[cab][1:]
        layout.append((cab, [(k, s) + where[k] for k, s in sizes]))

    with open(args.ca_dll, "rb") as f:
        binaries = {"KitCA": f.read()}
    out = os.path.join(outdir, PACKAGE)
    size = build_package(work, out, layout, binaries, args.arch)
    if args.full_size:
        # The package grows in 512-byte sectors; a filler stream in the Binary
        # table brings it to the size of a real kit's package.
        pad = max(0, PACKAGE_FULL_SIZE - size - 1024)
        for _ in range(4):
            binaries["KitPad"] = filler("package", pad)
            size = build_package(work, out, layout, binaries, args.arch)
            if abs(size - PACKAGE_FULL_SIZE) < 512:
                break
            pad = max(0, pad + PACKAGE_FULL_SIZE - size)
    return 0


if __name__ == "__main__":
    sys.exit(main())
