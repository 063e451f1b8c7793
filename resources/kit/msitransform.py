#!/usr/bin/python3
"""Reads Windows Installer databases, writes transforms, embeds them in a package.

Neither msitools nor Wine can generate transforms, so this writes the storage
format that the installer engine reads:

* A database is a compound file. Every table is one stream named by packing
  the table name into the CJK range (see encode_stream_name); strings live in
  a shared pool (_StringPool: codepage word, then a length/refcount pair per
  string; _StringData: the bytes).
* A table stream in a database is stored column by column. A transform's table
  stream is stored row by row, each row led by a 16-bit mask:
    - bit 0 set: a whole row follows, the number of columns in the high byte
      (an insert, or a replacement of the row with the same key);
    - bit 0 clear: the key columns plus the columns whose bit is set follow
      (an update); a mask of 0 with only the keys deletes the row.
  Integers are stored with their high bit flipped (0 means null); strings are
  indices into the transform's own string pool.
* The transform's summary information names the base and target product
  (revision number "{code}version;{code}version;{upgrade code}") and the
  checks to run before applying it (character count: validation flags).
* An embedded transform is a substorage of the package, applied with
  TRANSFORMS=:name.

Reading uses olefile, writing uses libgsf through GObject introspection.
"""

import argparse
import os
import struct
import sys
import uuid

import olefile

TRANSFORM_CLSID = "000C1082-0000-0000-C000-000000000046"
PACKAGE_CLSID = "000C1084-0000-0000-C000-000000000046"
SUMMARY_STREAM = "\x05SummaryInformation"
SUMMARY_FMTID = "F29F85E0-4FF9-1068-AB91-08002B27B3D9"

# Column type bits as stored in _Columns.
T_VALID = 0x0100
T_LOCALIZABLE = 0x0200
T_STRING = 0x0800
T_NULLABLE = 0x1000
T_KEY = 0x2000

# Summary information property ids and the variant types used for them.
PID_CODEPAGE, PID_TITLE, PID_SUBJECT, PID_AUTHOR, PID_KEYWORDS, PID_COMMENTS = 1, 2, 3, 4, 5, 6
PID_TEMPLATE, PID_LASTAUTHOR, PID_REVNUMBER = 7, 8, 9
PID_CREATE_DTM, PID_LASTSAVE_DTM = 12, 13
PID_PAGECOUNT, PID_WORDCOUNT, PID_CHARCOUNT, PID_APPNAME, PID_SECURITY = 14, 15, 16, 18, 19
VT_I2, VT_I4, VT_LPSTR, VT_FILETIME = 2, 3, 30, 64
_PID_TYPES = {PID_CODEPAGE: VT_I2, PID_CREATE_DTM: VT_FILETIME, PID_LASTSAVE_DTM: VT_FILETIME,
              PID_PAGECOUNT: VT_I4, PID_WORDCOUNT: VT_I4, PID_CHARCOUNT: VT_I4,
              PID_SECURITY: VT_I4}

# Validation flags (low word of PID_CHARCOUNT) the engine checks before applying.
VALIDATE_LANGUAGE = 0x0001
VALIDATE_PRODUCT = 0x0002
VALIDATE_UPGRADECODE = 0x0800

_MIME = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz._"


class MsiError(Exception):
    pass


def _idt_value(value):
    if value is None:
        return ""
    text = str(value)
    if any(c in text for c in "\t\r\n"):
        raise SystemExit("value with tab or line break: %r" % text)
    return text


def write_idt_files(folder, tables, schemas):
    """Writes tables ({name: rows}, schemas {name: (columns, types, key count)})
    as .idt files in folder, for msibuild, which reads them as UTF-8 and stores
    strings in code page 1252 (_ForceCodepage). Returns msibuild's arguments."""
    args = []
    for name, rows in tables.items():
        columns, types, nkeys = schemas[name]
        lines = ["\t".join(columns), "\t".join(types), "\t".join([name] + columns[:nkeys])]
        lines += ["\t".join(_idt_value(v) for v in row) for row in rows]
        with open(os.path.join(folder, name + ".idt"), "w", encoding="utf-8",
                  newline="\r\n") as f:
            f.write("\n".join(lines) + "\n")
        args += ["-i", name + ".idt"]
    with open(os.path.join(folder, "_ForceCodepage.idt"), "w", newline="\r\n") as f:
        f.write("\n\n1252\t_ForceCodepage\n")
    return args + ["-i", "_ForceCodepage.idt"]


def encode_stream_name(name, table):
    """Packs [0-9A-Za-z._] pairs into one UTF-16 unit; tables get a 0x4840 prefix."""
    out = ["\u4840"] if table else []
    i = 0
    while i < len(name):
        a = _MIME.find(name[i])
        if a < 0:
            out.append(name[i])
            i += 1
            continue
        b = _MIME.find(name[i + 1]) if i + 1 < len(name) else -1
        if b >= 0:
            out.append(chr(0x3800 + a + (b << 6)))
            i += 2
        else:
            out.append(chr(0x4800 + a))
            i += 1
    return "".join(out)


def decode_stream_name(name):
    out = []
    for ch in name:
        c = ord(ch)
        if c == 0x4840:
            out.append("!")  # marks a table stream
        elif 0x3800 <= c < 0x4800:
            c -= 0x3800
            out.append(_MIME[c & 0x3F] + _MIME[(c >> 6) & 0x3F])
        elif 0x4800 <= c < 0x4840:
            out.append(_MIME[c - 0x4800])
        else:
            out.append(ch)
    return "".join(out)


def _codec(codepage):
    return "cp%d" % codepage if codepage else "cp1252"


def _column_width(ctype, strref):
    if ctype & T_STRING:
        return 2 if is_stream_column(ctype) else strref
    return 2 if (ctype & 0xFF) <= 2 else 4


def is_stream_column(ctype):
    return (ctype & ~T_NULLABLE) == (T_STRING | T_VALID)


def _decode_int(raw, width):
    if raw == 0:
        return None
    if width == 2:
        return raw - 0x8000
    value = raw ^ 0x80000000
    return value - (1 << 32) if value & 0x80000000 else value


def _encode_int(value, width):
    if value is None:
        return 0
    if width == 2:
        if not -0x7FFF <= value <= 0x7FFF:
            raise MsiError("value %d does not fit a 2-byte column" % value)
        return value + 0x8000
    if not -0x7FFFFFFF <= value <= 0x7FFFFFFF:
        raise MsiError("value %d does not fit a 4-byte column" % value)
    return (value & 0xFFFFFFFF) ^ 0x80000000


class Table:
    def __init__(self, name, columns):
        self.name = name
        self.columns = columns  # [(name, type)] in column order
        self.rows = []          # tuples; stream cells hold the stream's bytes

    @property
    def key_count(self):
        return sum(1 for _, t in self.columns if t & T_KEY)

    def key(self, row):
        return tuple(v for v, (_, t) in zip(row, self.columns) if t & T_KEY)


class Database:
    """A read-only view of the tables and summary information of a package or storage."""

    def __init__(self, path):
        self.ole = olefile.OleFileIO(path)
        self.streams = {}
        for entry in self.ole.listdir(streams=True, storages=False):
            if len(entry) == 1:
                self.streams[decode_stream_name(entry[0])] = entry[0]
        self._load_strings()
        self.tables = {}
        for name in self._table_names():
            self.tables[name] = self._load_table(name)

    def close(self):
        self.ole.close()

    def _read(self, decoded_name):
        raw = self.streams.get(decoded_name)
        return self.ole.openstream(raw).read() if raw is not None else b""

    def _load_strings(self):
        pool = self._read("!_StringPool")
        data = self._read("!_StringData")
        words = struct.unpack("<%dH" % (len(pool) // 2), pool[: len(pool) // 2 * 2])
        self.codepage = 0
        self.strref = 2
        if len(words) >= 2:
            self.codepage = words[0] | ((words[1] & 0x7FFF) << 16)
            if words[1] & 0x8000:
                self.strref = 3
        codec = _codec(self.codepage)
        self.strings = [None]
        offset = 0
        i = 2
        while i + 1 < len(words):
            length, refs = words[i], words[i + 1]
            if length == 0 and refs == 0:
                self.strings.append(None)
                i += 2
                continue
            if length == 0:  # a string of 64 KiB or more: its length is the next pair
                length = words[i + 2] | (words[i + 3] << 16)
                i += 2
            self.strings.append(data[offset:offset + length].decode(codec))
            offset += length
            i += 2

    def _string(self, index):
        if index == 0:
            return None
        if index >= len(self.strings):
            raise MsiError("string index %d out of range" % index)
        return self.strings[index]

    def _columns_of(self, raw, types, strref):
        widths = [_column_width(t, strref) for t in types]
        row_size = sum(widths)
        count = len(raw) // row_size if row_size else 0
        cols, offset = [], 0
        for width, ctype in zip(widths, types):
            values = []
            for r in range(count):
                b = raw[offset + r * width: offset + (r + 1) * width]
                n = int.from_bytes(b, "little")
                if ctype & T_STRING and not is_stream_column(ctype):
                    values.append(self._string(n))
                elif ctype & T_STRING:
                    values.append(n)
                else:
                    values.append(_decode_int(n, width))
            cols.append(values)
            offset += count * width
        return [tuple(c[r] for c in cols) for r in range(count)]

    def _table_names(self):
        rows = self._columns_of(self._read("!_Tables"), [T_STRING | T_KEY | 64], self.strref)
        names = [r[0] for r in rows]
        col_rows = self._columns_of(
            self._read("!_Columns"),
            [T_STRING | T_KEY | 64, T_KEY | 2, T_STRING | 64, 2], self.strref)
        self._schema = {}
        for table, number, name, ctype in col_rows:
            self._schema.setdefault(table, []).append((number, name, ctype & 0xFFFF))
        return names

    def _load_table(self, name):
        columns = [(n, t) for _, n, t in sorted(self._schema.get(name, []))]
        table = Table(name, columns)
        rows = self._columns_of(self._read("!" + name), [t for _, t in columns], self.strref)
        for row in rows:
            if any(is_stream_column(t) for _, t in columns):
                row = list(row)
                keys = [str(v) for v, (_, t) in zip(row, columns) if t & T_KEY]
                stream = ".".join([name] + keys)
                for i, (_, t) in enumerate(columns):
                    if is_stream_column(t):
                        row[i] = self._read(stream) if stream in self.streams else None
                row = tuple(row)
            table.rows.append(row)
        return table

    def summary(self):
        """Summary information as {pid: value} (strings decoded)."""
        if not self.ole.exists(SUMMARY_STREAM):
            return {}
        props = self.ole.getproperties(SUMMARY_STREAM, convert_time=False)
        return {k: (v.decode(_codec(props.get(PID_CODEPAGE, 0) & 0xFFFF)) if isinstance(v, bytes)
                    else v) for k, v in props.items()}

    def property(self, name):
        table = self.tables.get("Property")
        for row in table.rows if table else []:
            if row[0] == name:
                return row[1]
        return None


def encode_summary(props, codepage=1252):
    """An OLE property set stream holding {pid: value}."""
    entries = []
    for pid in sorted(props):
        value = props[pid]
        vt = _PID_TYPES.get(pid, VT_LPSTR)
        if vt == VT_I2:
            data = struct.pack("<Ihh", vt, value, 0)
        elif vt == VT_I4:
            data = struct.pack("<Ii", vt, value)
        elif vt == VT_FILETIME:
            data = struct.pack("<IQ", vt, value)
        else:
            text = value.encode(_codec(codepage)) + b"\0"
            data = struct.pack("<II", vt, len(text)) + text
            data += b"\0" * (-len(data) % 4)
        entries.append((pid, data))
    offset = 8 + 8 * len(entries)
    index, body = b"", b""
    for pid, data in entries:
        index += struct.pack("<II", pid, offset + len(body))
        body += data
    section = struct.pack("<II", 8 + len(index) + len(body), len(entries)) + index + body
    header = struct.pack("<HHI", 0xFFFE, 0, 0x00020006) + b"\0" * 16 + struct.pack("<I", 1)
    header += uuid.UUID(SUMMARY_FMTID).bytes_le + struct.pack("<I", 48)
    return header + section


class StringPool:
    def __init__(self, codepage):
        self.codepage = codepage
        self.index = {}
        self.strings = []
        self.refs = []

    def ref(self, value):
        if value is None or value == "":
            return 0
        if value not in self.index:
            self.strings.append(value)
            self.refs.append(0)
            self.index[value] = len(self.strings)
        i = self.index[value]
        self.refs[i - 1] += 1
        return i

    def streams(self):
        codec = _codec(self.codepage)
        pool = [struct.pack("<I", self.codepage)]
        data = []
        for s, refs in zip(self.strings, self.refs):
            b = s.encode(codec)
            if len(b) > 0xFFFF:  # a zero length, then the length as a pair of words
                pool.append(struct.pack("<HH", 0, min(refs, 0xFFFF)))
                pool.append(struct.pack("<HH", len(b) & 0xFFFF, len(b) >> 16))
            else:
                pool.append(struct.pack("<HH", len(b), min(refs, 0xFFFF)))
            data.append(b)
        return b"".join(pool), b"".join(data)


def diff_tables(base, target):
    """Changes turning base into target: {table: [(op, row, changed column indices)]}."""
    changes = {}
    for name in sorted(set(base.tables) | set(target.tables)):
        if name not in base.tables:
            raise MsiError("table %s is new in the target: adding tables is not supported" % name)
        if name not in target.tables:
            raise MsiError("table %s is missing in the target: dropping tables is not supported"
                           % name)
        b, t = base.tables[name], target.tables[name]
        if b.columns != t.columns:
            raise MsiError("columns of table %s differ: schema changes are not supported" % name)
        brows = {b.key(r): r for r in b.rows}
        trows = {t.key(r): r for r in t.rows}
        ops = []
        for key in sorted(brows, key=repr):
            if key not in trows:
                ops.append(("delete", brows[key], []))
        for key in sorted(trows, key=repr):
            row = trows[key]
            if key not in brows:
                ops.append(("insert", row, list(range(len(row)))))
                continue
            changed = [i for i, (old, new) in enumerate(zip(brows[key], row))
                       if _norm(old) != _norm(new)]
            if changed:
                ops.append(("update", row, changed))
        for op, row, cols in ops:
            for i in cols:
                if is_stream_column(b.columns[i][1]):
                    raise MsiError("table %s: changing stream column %s is not supported"
                                   % (name, b.columns[i][0]))
        if ops:
            changes[name] = ops
    return changes


def _norm(value):
    return None if value == "" else value


def encode_transform_table(table, ops, pool):
    """Row-wise transform stream of one table; string indices come from pool."""
    out = []
    ncols = len(table.columns)
    for op, row, changed in ops:
        if op == "insert" or (op == "update" and (max(changed) >= 16 or ncols > 16)):
            mask = 1 | (ncols << 8)
            present = range(ncols)
        else:
            mask = 0
            for i in changed if op == "update" else []:
                mask |= 1 << i
            present = [i for i, (_, t) in enumerate(table.columns) if t & T_KEY or mask >> i & 1]
        out.append(struct.pack("<H", mask))
        for i in present:
            name, ctype = table.columns[i]
            if is_stream_column(ctype):
                raise MsiError("table %s: stream column %s in a transform row" % (table.name, name))
            if ctype & T_STRING:
                # Two-byte indices: build_transform refuses larger pools.
                out.append(pool.ref(row[i]).to_bytes(2, "little"))
            else:
                width = _column_width(ctype, 2)
                out.append(_encode_int(row[i], width).to_bytes(width, "little"))
    return b"".join(out)


def _product_line(db):
    return "%s%s" % (db.property("ProductCode") or "", db.property("ProductVersion") or "")


def build_transform(base, target, validation=VALIDATE_PRODUCT | VALIDATE_UPGRADECODE,
                    errors=0, base_summary=None, target_summary=None):
    """Streams of a transform turning base into target: {stream name: bytes}.

    The summaries default to the databases' own; a build that writes the final
    summary information later passes the one the package will carry.
    """
    changes = diff_tables(base, target)
    pool = StringPool(base.codepage)
    streams = {}
    for name, ops in changes.items():
        streams[encode_stream_name(name, True)] = encode_transform_table(base.tables[name], ops,
                                                                         pool)
    if len(pool.strings) >= 0xFFFF:
        raise MsiError("transform needs more than 65534 strings")
    pool_data, string_data = pool.streams()
    streams[encode_stream_name("_StringPool", True)] = pool_data
    streams[encode_stream_name("_StringData", True)] = string_data

    bsum = base.summary() if base_summary is None else base_summary
    tsum = target.summary() if target_summary is None else target_summary
    upgrade = target.property("UpgradeCode") or base.property("UpgradeCode") or ""
    summary = {
        PID_CODEPAGE: bsum.get(PID_CODEPAGE, 1252) & 0xFFFF,
        PID_TITLE: "Transform",
        PID_TEMPLATE: bsum.get(PID_TEMPLATE, ""),
        PID_LASTAUTHOR: tsum.get(PID_TEMPLATE, ""),
        PID_REVNUMBER: "%s;%s;%s" % (_product_line(base), _product_line(target), upgrade),
        PID_PAGECOUNT: max(bsum.get(PID_PAGECOUNT, 200), tsum.get(PID_PAGECOUNT, 200)),
        PID_CHARCOUNT: (errors << 16) | validation,
        PID_APPNAME: "msitransform.py",
        PID_SECURITY: 4,
    }
    if (bsum.get(PID_CREATE_DTM)):
        summary[PID_CREATE_DTM] = bsum[PID_CREATE_DTM]
        summary[PID_LASTSAVE_DTM] = bsum[PID_CREATE_DTM]
    streams[SUMMARY_STREAM] = encode_summary(summary, summary[PID_CODEPAGE])
    return streams, changes


# ---- compound file writing -------------------------------------------------

def _gsf():
    import gi
    gi.require_version("Gsf", "1")
    from gi.repository import Gsf
    return Gsf


def _write_tree(parent, tree):
    for name in sorted(tree):
        node = tree[name]
        if isinstance(node, dict):
            child = parent.new_child(name, True)
            clsid = node.get("\0clsid")
            if clsid:
                child.set_class_id(list(uuid.UUID(clsid).bytes_le))
            _write_tree(child, {k: v for k, v in node.items() if k != "\0clsid"})
            child.close()
        else:
            child = parent.new_child(name, False)
            if node and not child.write(node):
                raise MsiError("writing stream failed")
            child.close()


def write_compound(path, tree, clsid):
    """Writes {name: bytes | {sub tree}} as a compound file with the given root class."""
    Gsf = _gsf()
    out = Gsf.OutputStdio.new(path)
    ole = Gsf.OutfileMSOle.new(out)
    ole.set_class_id(list(uuid.UUID(clsid).bytes_le))
    _write_tree(ole, tree)
    if not ole.close():
        raise MsiError("closing %s failed" % path)


def read_compound(path):
    """{name: bytes | {sub tree}} of a compound file, with class ids of storages."""
    ole = olefile.OleFileIO(path)
    tree = {}
    for entry in ole.listdir(streams=True, storages=True):
        node = tree
        for part in entry[:-1]:
            node = node.setdefault(part, {})
        kind = ole.get_type(entry)
        if kind == olefile.STGTY_STORAGE:
            sub = node.setdefault(entry[-1], {})
            clsid = ole.getclsid(entry)
            if clsid:
                sub["\0clsid"] = clsid
        else:
            node[entry[-1]] = ole.openstream(entry).read()
    root = ole.root.clsid
    ole.close()
    return tree, root


def write_transform(path, streams):
    write_compound(path, streams, TRANSFORM_CLSID)


def embed(package, output, transforms, summary=None):
    """Copies package to output with each {name: transform path} as a substorage.

    summary, when given, replaces the package's summary information stream.
    """
    tree, root = read_compound(package)
    if summary is not None:
        tree[SUMMARY_STREAM] = summary
    for name, path in transforms.items():
        sub, sub_clsid = read_compound(path)
        sub["\0clsid"] = sub_clsid or TRANSFORM_CLSID
        tree[name] = sub
    write_compound(output, tree, root or PACKAGE_CLSID)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="cmd", required=True)
    d = sub.add_parser("diff", help="write a transform turning BASE into TARGET")
    d.add_argument("base")
    d.add_argument("target")
    d.add_argument("output")
    d.add_argument("--validation", type=lambda s: int(s, 0),
                   default=VALIDATE_PRODUCT | VALIDATE_UPGRADECODE)
    e = sub.add_parser("embed", help="copy PACKAGE to OUTPUT with NAME=TRANSFORM substorages")
    e.add_argument("package")
    e.add_argument("output")
    e.add_argument("transforms", nargs="*", metavar="NAME=TRANSFORM")
    args = parser.parse_args(argv)
    try:
        if args.cmd == "diff":
            base, target = Database(args.base), Database(args.target)
            streams, changes = build_transform(base, target, validation=args.validation)
            write_transform(args.output, streams)
            for name, ops in sorted(changes.items()):
                counts = {}
                for op, _, _ in ops:
                    counts[op] = counts.get(op, 0) + 1
                print("%s: %s" % (name, ", ".join("%d %s" % (n, op)
                                                 for op, n in sorted(counts.items()))))
        else:
            pairs = {}
            for item in args.transforms:
                name, sep, path = item.partition("=")
                if not sep or not name:
                    raise MsiError("expected NAME=TRANSFORM, got %r" % item)
                pairs[name] = path
            embed(args.package, args.output, pairs)
    except (MsiError, OSError) as exc:
        print("msitransform: %s" % exc, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
