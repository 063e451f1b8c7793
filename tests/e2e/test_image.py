"""The built executable read back with pefile: manifest, icon group, the
engine message in ten languages, version information, imports, security
flags and the Authenticode signature of a signing build."""

import os
import re
import struct
import subprocess
from xml.etree import ElementTree

import pefile

from lib.cases import case, check, equal, table
from lib.harness import PACKAGE
from lib.kit import package_properties
from lib.product import ROOT, engine_messages

RT_ICON, RT_STRING, RT_GROUP_ICON, RT_MANIFEST = 3, 6, 14, 24

# What the program's processor decides: the optional header's kind, whether
# ASLR may use the whole 64-bit range, the oldest system it declares (XP is
# 5.1, the first x64 systems are 5.2, Windows 10 on Arm starts images of 6.2)
# and the processor its manifest names.
MACHINES = {
    0x14C: {"name": "i386", "magic": 0x10B, "high_entropy": False, "subsystem": (5, 1), "manifest": b"X86"},
    0x8664: {"name": "x86-64", "magic": 0x20B, "high_entropy": True, "subsystem": (5, 2), "manifest": b"amd64"},
    0xAA64: {"name": "arm64", "magic": 0x20B, "high_entropy": True, "subsystem": (6, 2), "manifest": b"arm64"},
}
# Windows 8.1 and later show an image without a compatibility manifest 6.2
# unless its header's system version is 6.3 or more (then 6.3, or from 10.0
# the true version): every edition must be shown 6.2 there, so that all of
# them stage in the same LocalLow folder.
NEWEST_SYSTEM_VERSION = (6, 2)

_images = {}


def image(session):
    if session.wrapper not in _images:
        _images[session.wrapper] = pefile.PE(session.wrapper)
    return _images[session.wrapper]


def resources(pe, type_id):
    """{(name id, language): bytes} of one resource type."""
    found = {}
    for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if t.id == type_id:
            for n in t.directory.entries:
                for lang in n.directory.entries:
                    d = lang.data.struct
                    found[(n.id, lang.id)] = pe.get_data(d.OffsetToData, d.Size)
    return found


@case("image: manifest is resources/manifest.xml.in for the build's architecture", wine=False)
def manifest(session):
    with open(os.path.join(ROOT, "resources", "manifest.xml.in"), "rb") as f:
        template = f.read()
    config = session.config
    # The processor is the program's own; the assembly name follows the package's architecture tag.
    expected = (template.replace(b"@WRAPPER_MANIFEST_ARCH@", MACHINES[config.machine]["manifest"])
                .replace(b"@WRAPPER_ARCH_TAG@", config.package_arch.encode()))
    found = resources(image(session), RT_MANIFEST)
    equal(sorted(found), [(1, 1033)], "manifest resources (id, language)")
    equal(found[(1, 1033)], expected, "manifest bytes")
    # A compatibility section naming Windows 8.1 or 10 would make Windows show
    # the edition its true version, and the staging folder would follow it.
    elements = [e.tag.rsplit("}", 1)[-1] for e in ElementTree.fromstring(found[(1, 1033)]).iter()]
    equal([e for e in elements if e.lower() == "compatibility"], [], "compatibility sections in the manifest")


@case("image: icon group 115 with twelve images", wine=False)
def icon_group(session):
    pe = image(session)
    groups = resources(pe, RT_GROUP_ICON)
    equal(sorted(groups), [(115, 1033)], "icon groups (id, language)")
    data = groups[(115, 1033)]
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    equal((reserved, kind, count), (0, 1, 12), "group header")
    icons = resources(pe, RT_ICON)
    expected = [(size, bits, i * 4 + n + 1) for i, bits in enumerate((4, 8, 32))
                for n, size in enumerate((48, 32, 24, 16))]
    entries = []
    for i in range(count):
        w, h, colors, _, planes, bits, size, ident = struct.unpack_from("<BBBBHHIH", data, 6 + 14 * i)
        check(w == h, "entry %d is not square" % i)
        entries.append((w, bits, ident))
        picture = icons.get((ident, 1033))
        check(picture is not None, "icon image %d missing" % ident)
        equal(len(picture), size, "size of icon image %d" % ident)
        header_size, pw, ph, _, pbits = struct.unpack_from("<IiiHH", picture, 0)
        equal((header_size, pw, ph, pbits), (40, w, 2 * w, bits), "bitmap header of icon image %d" % ident)
    equal(entries, expected, "group entries (size, bits per pixel, id)")


STRING_LANGUAGES = [(7, 0), (10, 0), (12, 0), (16, 0), (29, 0), (4, 1), (9, 1), (17, 1), (18, 1), (4, 2)]


@table("image: engine message", [("%d" % (p | s << 10), (p, s)) for p, s in STRING_LANGUAGES], wine=False)
def string_table(session, language):
    primary, sub = language
    langid = primary | sub << 10
    blocks = resources(image(session), RT_STRING)
    check((1, langid) in blocks, "no string block 1 in language %d" % langid)
    data = blocks[(1, langid)]
    strings, offset = [], 0
    for _ in range(16):
        (length,) = struct.unpack_from("<H", data, offset)
        strings.append(data[offset + 2:offset + 2 + 2 * length].decode("utf-16le", "replace"))
        offset += 2 + 2 * length
    equal(strings[4], engine_messages()[language], "string 4")
    equal([i for i, s in enumerate(strings) if s], [4], "strings present in block 1")


@case("image: string table languages", wine=False)
def string_languages(session):
    found = sorted(lang for (_, lang) in resources(image(session), RT_STRING))
    equal(found, sorted(p | s << 10 for p, s in STRING_LANGUAGES), "string table languages")


@case("image: imports only KERNEL32 and ADVAPI32", wine=False)
def imports(session):
    # The window system's library is loaded by full path when a box is due.
    pe = image(session)
    names = sorted(e.dll.decode().upper() for e in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []))
    equal(names, ["ADVAPI32.DLL", "KERNEL32.DLL"], "imported DLLs")
    check(not hasattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT"), "delay imports present")


@case("image: header flags, machine and subsystem version", wine=False)
def header(session):
    pe = image(session)
    opt = pe.OPTIONAL_HEADER
    flags = opt.DllCharacteristics
    check(flags & 0x0040, "DYNAMIC_BASE missing (0x%04x)" % flags)
    check(flags & 0x0100, "NX_COMPAT missing (0x%04x)" % flags)
    equal(opt.Subsystem, 2, "subsystem (Windows GUI)")
    equal(pe.FILE_HEADER.TimeDateStamp, 0, "link timestamp")
    machine = MACHINES[session.config.machine]
    equal(pe.FILE_HEADER.Machine, session.config.machine, "machine (%s)" % machine["name"])
    equal(opt.Magic, machine["magic"], "optional header (PE32 0x10B, PE32+ 0x20B)")
    equal(bool(flags & 0x0020), machine["high_entropy"], "HIGH_ENTROPY_VA (flags 0x%04x)" % flags)
    # Every edition may be given addresses above 2 GiB (the 32-bit one gets
    # 4 GiB of address space on 64-bit Windows).
    characteristics = pe.FILE_HEADER.Characteristics
    check(characteristics & 0x0020, "LARGE_ADDRESS_AWARE missing (characteristics 0x%04x)" % characteristics)
    equal((opt.MajorSubsystemVersion, opt.MinorSubsystemVersion), machine["subsystem"], "subsystem version")
    system = (opt.MajorOperatingSystemVersion, opt.MinorOperatingSystemVersion)
    equal(system, (opt.MajorSubsystemVersion, opt.MinorSubsystemVersion), "operating-system version")
    check(system <= NEWEST_SYSTEM_VERSION, "operating-system version %d.%d is above %d.%d: Windows 8.1 and "
          "later would show the image its true version" % (system + NEWEST_SYSTEM_VERSION))


@case("image: every section starts on a 4096-byte boundary of the file", wine=False)
def sections_mappable(session):
    # Wine maps a section straight from the file only at such offsets;
    # otherwise it copies the whole payload into private memory at start.
    pe = image(session)
    misplaced = [(s.Name.rstrip(b"\0").decode(), s.PointerToRawData) for s in pe.sections
                 if s.SizeOfRawData and s.PointerToRawData % 4096]
    equal(misplaced, [], "sections at unaligned file offsets")
    check(any(s.Name.startswith(b".rsrc") for s in pe.sections), "no resource section")


# ---- the embedded package

# What the package's architecture decides: the summary's platform, the
# oldest installer that may run it (Page Count: 200 brought 64-bit packages,
# 500 is the first for Arm64), the program files root, the components'
# 64-bit attribute and the processor of its custom action DLL.
PACKAGE_ARCHES = {
    "i586": ("Intel", 200, "ProgramFilesFolder", 0, 0x14C),
    "amd64": ("x64", 200, "ProgramFiles64Folder", 256, 0x8664),
    "arm64": ("Arm64", 500, "ProgramFiles64Folder", 256, 0xAA64),
}


def msiinfo(*args):
    return subprocess.run(["msiinfo"] + list(args), stdout=subprocess.PIPE, check=True).stdout


def exported_rows(msi, name):
    """Rows of one table as msiinfo exports it (after the three header lines)."""
    text = msiinfo("export", msi, name).decode("utf-8")
    return [line.split("\t") for line in text.splitlines()[3:]]


@case("image: the embedded package is built for the package's architecture", wine=False)
def package_architecture(session):
    platform, schema, program_files, component_bits, dll_machine = PACKAGE_ARCHES[session.config.package_arch]
    msi = os.path.join(session.kit_dir, PACKAGE)
    summary = msiinfo("suminfo", msi).decode("utf-8")
    equal(re.search(r"^Template: (.*)$", summary, re.M).group(1), platform + ";1033", "summary Template")
    equal(int(re.search(r"^Version: (\d+)", summary, re.M).group(1)), schema, "summary Page Count (schema)")
    roots = [row[0] for row in exported_rows(msi, "Directory") if row[1] == "TARGETDIR"]
    equal(roots, [program_files], "folders below TARGETDIR")
    bits = sorted({int(row[3]) & 256 for row in exported_rows(msi, "Component")})
    equal(bits, [component_bits], "msidbComponentAttributes64bit of the components")
    dll = pefile.PE(data=msiinfo("extract", msi, "Binary.KitCA"), fast_load=True)
    equal(hex(dll.FILE_HEADER.Machine), hex(dll_machine), "machine of the custom action DLL")
    check(dll.FILE_HEADER.Characteristics & 0x2000, "the custom action binary is not a DLL")


# ---- version information and signature

RT_VERSION = 16
VS_FFI_SIGNATURE, VS_FFI_STRUCVERSION, VS_FFI_FILEFLAGSMASK = 0xFEEF04BD, 0x00010000, 0x3F
VOS_NT_WINDOWS32, VFT_APP = 0x00040004, 1


@case("image: version information names the product the package installs", wine=False)
def version_information(session):
    pe = image(session)
    equal(sorted(resources(pe, RT_VERSION)), [(1, 1033)], "version resources (id, language)")
    parts = [int(p) for p in session.cache_value("WRAPPER_VERSION_PARTS").split(";")]
    product_name, company = package_properties(session, "ProductName", "Manufacturer")
    with open(os.path.join(ROOT, "resources", "manifest.xml.in"), encoding="utf-8") as f:
        description = re.search(r"<description>(.*)</description>", f.read()).group(1)
    fixed = pe.VS_FIXEDFILEINFO[0]
    high, low = parts[0] << 16 | parts[1], parts[2] << 16 | parts[3]
    equal((fixed.Signature, fixed.StrucVersion), (VS_FFI_SIGNATURE, VS_FFI_STRUCVERSION), "fixed part header")
    equal((fixed.FileVersionMS, fixed.FileVersionLS, fixed.ProductVersionMS, fixed.ProductVersionLS),
          (high, low, high, low), "file and product version")
    equal((fixed.FileFlagsMask, fixed.FileFlags, fixed.FileOS, fixed.FileType, fixed.FileSubtype,
           fixed.FileDateMS, fixed.FileDateLS),
          (VS_FFI_FILEFLAGSMASK, 0, VOS_NT_WINDOWS32, VFT_APP, 0, 0, 0),
          "flags, operating system, type, subtype, date")
    tables, translations = {}, []
    for info in pe.FileInfo[0]:
        if info.Key == b"StringFileInfo":
            for t in info.StringTable:
                tables[t.LangID.decode().upper()] = {k.decode(): v.decode() for k, v in t.entries.items()}
        elif info.Key == b"VarFileInfo":
            translations += [v.entry for v in info.Var]
    dotted = ".".join(str(p) for p in parts)
    equal(tables, {"040904B0": {
        "CompanyName": company, "FileDescription": description, "FileVersion": dotted,
        "InternalName": "wrapper", "OriginalFilename": os.path.basename(session.wrapper),
        "ProductName": product_name, "ProductVersion": dotted}}, "string tables by language and code page")
    equal(translations, [{b"Translation": "0x0409 0x04b0"}], "translations (US English, Unicode)")


def signing_build(session):
    """Whether the build names a signer (a build configured before signing existed does not)."""
    settings = session.signing_settings()
    return bool(settings.get("WRAPPER_SIGN_CERT") or settings.get("WRAPPER_SIGN_PKCS12"))


@case("image: an Authenticode signature after the last section exactly when the build signs", wine=False)
def signature_placement(session):
    pe = image(session)
    with open(session.wrapper, "rb") as f:
        size = len(f.read())
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[4]        # the certificate table
    check(pe.verify_checksum(), "header checksum 0x%08x, the file's is 0x%08x"
          % (pe.OPTIONAL_HEADER.CheckSum, pe.generate_checksum()))
    if not signing_build(session):
        equal((directory.VirtualAddress, directory.Size), (0, 0), "certificate table of an unsigned build")
        return
    end = max(s.PointerToRawData + s.SizeOfRawData for s in pe.sections)
    equal((directory.VirtualAddress, directory.Size), ((end + 7) // 8 * 8, size - (end + 7) // 8 * 8),
          "certificate table (file offset, size): the rest of the file after the last section")
    length, revision, kind = struct.unpack_from("<IHH", pe.__data__, directory.VirtualAddress)
    equal((revision, kind), (0x0200, 0x0002), "WIN_CERTIFICATE revision and type (PKCS#7 signed data)")
    check(length <= directory.Size and (directory.Size - length) < 8,
          "WIN_CERTIFICATE of %d bytes in a table of %d" % (length, directory.Size))
