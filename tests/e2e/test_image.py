"""The built executable read back with pefile: manifest, icon group, the
engine message in ten languages, imports and security flags."""

import os
import struct

import pefile

from lib.cases import case, check, equal, table
from lib.product import ROOT, engine_messages

RT_ICON, RT_STRING, RT_GROUP_ICON, RT_MANIFEST = 3, 6, 14, 24

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
    expected = (template.replace(b"@WRAPPER_MANIFEST_ARCH@", b"amd64" if config.wrapper_bits == 64 else b"X86")
                .replace(b"@WRAPPER_ARCH_TAG@", config.package_arch.encode()))
    found = resources(image(session), RT_MANIFEST)
    equal(sorted(found), [(1, 1033)], "manifest resources (id, language)")
    equal(found[(1, 1033)], expected, "manifest bytes")


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


@case("image: imports only KERNEL32, USER32, ADVAPI32", wine=False)
def imports(session):
    pe = image(session)
    names = sorted(e.dll.decode().upper() for e in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []))
    equal(names, ["ADVAPI32.DLL", "KERNEL32.DLL", "USER32.DLL"], "imported DLLs")
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
    if session.config.wrapper_bits == 64:
        equal(pe.FILE_HEADER.Machine, 0x8664, "machine (x86-64)")
        equal(opt.Magic, 0x20B, "optional header (PE32+)")
        check(flags & 0x0020, "HIGH_ENTROPY_VA missing (0x%04x)" % flags)
        # The first x64 systems are 5.2 (XP x64, Server 2003 x64).
        equal((opt.MajorSubsystemVersion, opt.MinorSubsystemVersion), (5, 2), "subsystem version")
    else:
        equal(pe.FILE_HEADER.Machine, 0x14C, "machine (i386)")
        equal(opt.Magic, 0x10B, "optional header (PE32)")
        equal((opt.MajorSubsystemVersion, opt.MinorSubsystemVersion), (5, 1), "subsystem version")
    equal((opt.MajorOperatingSystemVersion, opt.MinorOperatingSystemVersion),
          (opt.MajorSubsystemVersion, opt.MinorSubsystemVersion), "operating-system version")


@case("image: every section starts on a 4096-byte boundary of the file", wine=False)
def sections_mappable(session):
    # Wine maps a section straight from the file only at such offsets;
    # otherwise it copies the whole payload into private memory at start.
    pe = image(session)
    misplaced = [(s.Name.rstrip(b"\0").decode(), s.PointerToRawData) for s in pe.sections
                 if s.SizeOfRawData and s.PointerToRawData % 4096]
    equal(misplaced, [], "sections at unaligned file offsets")
    check(any(s.Name.startswith(b".rsrc") for s in pe.sections), "no resource section")
