#!/usr/bin/python3
"""Checks resources/kit/msitransform.py.

  test_transform.py KIT_MSI WORKDIR [--kittool EXE] [--wine LOADER]

Its reader is compared with msitools' view of the kit package; its transforms
are applied by Wine's installer engine (kittool apply-transform, when
--kittool is given and WINEPREFIX is set; LOADER, default "wine", starts it)
and the resulting tables are compared with the target database. Prints "PASS name" / "FAIL name" lines.
"""

import argparse
import os
import shutil
import subprocess
import sys
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "resources", "kit"))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import msitransform as mt  # noqa: E402
from lib.wine_start import START_TRACE, note_start_failure, split_trace  # noqa: E402

# A small fixture: integer columns of both widths and nullability, a
# two-column key, a table wider than the 16-bit update mask, properties.
SCHEMA = {
    "Items": (["Key", "Count", "Big", "Note", "Flag"], ["s32", "I2", "I4", "L64", "i2"], 1),
    "Pairs": (["A", "B", "Value"], ["s16", "i2", "S32"], 2),
    "Wide": (["K"] + ["C%d" % i for i in range(1, 18)], ["s8"] + ["I2"] * 17, 1),
    "Property": (["Property", "Value"], ["s72", "l0"], 1),
}
BASE = {
    "Items": [("alpha", 1, 100000, "first", 0), ("beta", None, -5, None, 1),
              ("gamma", 32767, 2147483647, "third", 2)],
    "Pairs": [("x", 1, "x1"), ("x", 2, "x2"), ("y", 1, "y1")],
    "Wide": [("w",) + tuple(range(1, 18)), ("v",) + (None,) * 17],
    "Property": [("ProductCode", "{11111111-2222-3333-4444-555555555555}"),
                 ("ProductVersion", "1.0.0"), ("ProductLanguage", "1033"),
                 ("UpgradeCode", "{11111111-2222-3333-4444-666666666666}")],
}


def edit(table, key, **changes):
    def apply(tables):
        cols = SCHEMA[table][0]
        nkeys = SCHEMA[table][2]
        rows = tables[table]
        for i, row in enumerate(rows):
            if row[:nkeys] == key:
                rows[i] = tuple(changes.get(c, v) for c, v in zip(cols, row))
                return
        raise KeyError(key)
    return apply


def delete(table, key):
    def apply(tables):
        nkeys = SCHEMA[table][2]
        tables[table] = [r for r in tables[table] if r[:nkeys] != key]
    return apply


def insert(table, row):
    def apply(tables):
        tables[table].append(row)
    return apply


SCENARIOS = [
    ("update-columns", [edit("Items", ("alpha",), Count=-32767, Note=None),
                        edit("Items", ("beta",), Count=7, Note="now set"),
                        edit("Items", ("gamma",), Big=-2147483647, Flag=-1)]),
    ("insert-and-delete", [delete("Items", ("beta",)),
                           insert("Items", ("delta", None, None, None, 0)),
                           insert("Items", ("epsilon", 5, 5, "fifth", 3))]),
    ("two-column-key", [delete("Pairs", ("x", 2)), edit("Pairs", ("y", 1), Value="why"),
                        insert("Pairs", ("x", 3, "x3"))]),
    ("column-beyond-mask", [edit("Wide", ("w",), C2=200, C17=1700),
                            edit("Wide", ("v",), C16=16)]),
    ("codepage-text", [edit("Items", ("alpha",), Note="Caf\u00e9 cr\u00e8me")]),
    ("delete-all-rows", [delete("Pairs", ("x", 1)), delete("Pairs", ("x", 2)),
                         delete("Pairs", ("y", 1))]),
    ("property-values", [edit("Property", ("ProductLanguage",), Value="1041"),
                         insert("Property", ("KIT_LANGUAGE", "ja"))]),
    # A string of 64 KiB or more takes two entries of the string pool.
    ("long-string", [insert("Property", ("LONG_VALUE", "0123456789" * 7000)),
                     edit("Items", ("beta",), Note="after the long one")]),
    ("no-change", []),
]


def write_db(path, tables, extra_schema=None):
    """Builds a database with msibuild, which reads .idt files as UTF-8."""
    folder = path + ".idt"
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    schema = dict(SCHEMA, **(extra_schema or {}))
    args = mt.write_idt_files(folder, tables, schema)
    if os.path.exists(path):
        os.remove(path)
    subprocess.run(["msibuild", os.path.abspath(path)] + args,
                   cwd=folder, check=True, stdout=subprocess.DEVNULL)
    return path


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def run_kittool(cmd):
    """kittool under Wine. It prints why on every failure, so an exit with 1
    and nothing printed is Wine failing to start it: that start is run once
    more, with a note and Wine's trace of it."""
    env = dict(os.environ, WINEDEBUG=START_TRACE)
    start = time.monotonic()
    out = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    if out.returncode == 1 and not out.stdout:
        note_start_failure("kittool " + cmd[2], time.monotonic() - start, split_trace(out.stderr)[1])
        out = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    return out


def wine_export(wine, kittool, db, outdir, tables, transform=None):
    shutil.rmtree(outdir, ignore_errors=True)
    os.makedirs(outdir)
    if transform:
        cmd = [wine, kittool, "apply-transform", windows_path(db), windows_path(transform)]
    else:
        cmd = [wine, kittool, "export", windows_path(db)]
    cmd += [windows_path(outdir)] + list(tables)
    out = run_kittool(cmd)
    if out.returncode:
        raise AssertionError("kittool failed: %s" % out.stdout.decode(errors="replace"))
    result = {}
    for t in tables:
        with open(os.path.join(outdir, t + ".idt"), "rb") as f:
            lines = f.read().decode("cp1252").split("\r\n")
        result[t] = (lines[:3], sorted(line for line in lines[3:] if line))
    return result


def msiinfo_rows(msi, table, work):
    # msiinfo writes the streams of a table to a folder named after it, in
    # its current folder.
    out = subprocess.run(["msiinfo", "export", os.path.abspath(msi), table],
                         stdout=subprocess.PIPE, cwd=work, check=True).stdout.decode("cp1252")
    lines = [line for line in out.replace("\r\n", "\n").split("\n") if line]
    return lines[1].split("\t"), sorted(lines[3:])


class Runner:
    def __init__(self):
        self.failed = 0

    def case(self, name, func, *args):
        started = time.monotonic()
        try:
            func(*args)
            print("PASS %s (%.1fs)" % (name, time.monotonic() - started))
        except Exception:  # a failing case must not stop the others
            self.failed += 1
            print("FAIL %s (%.1fs)" % (name, time.monotonic() - started))
            traceback.print_exc(file=sys.stdout)
        sys.stdout.flush()


def check_reader(msi, work):
    db = mt.Database(msi)
    tables = subprocess.run(["msiinfo", "tables", msi], stdout=subprocess.PIPE,
                            check=True).stdout.decode().split()
    expected = sorted(t for t in tables if not t.startswith("_"))
    assert sorted(db.tables) == expected, (sorted(db.tables), expected)
    for name, table in db.tables.items():
        types, rows = msiinfo_rows(msi, name, work)
        mine = []
        for row in table.rows:
            cells = []
            for v, (_, ctype) in zip(row, table.columns):
                if mt.is_stream_column(ctype):
                    # msiinfo shows a stream cell as the stream's name
                    v = None if v is None else ".".join([name] + [str(k) for k in table.key(row)])
                cells.append("" if v is None else str(v))
            mine.append("\t".join(cells))
        assert sorted(mine) == rows, (name, sorted(mine)[:3], rows[:3])
        assert len(types) == len(table.columns), name


def check_stream_names(msi):
    db = mt.Database(msi)
    raw = {entry[0] for entry in db.ole.listdir() if len(entry) == 1}
    for name in list(db.tables) + ["_Tables", "_Columns", "_StringPool", "_StringData"]:
        enc = mt.encode_stream_name(name, True)
        assert enc in raw, name
        assert mt.decode_stream_name(enc) == "!" + name
    for name, table in db.tables.items():
        if any(mt.is_stream_column(t) for _, t in table.columns):
            for row in table.rows:
                enc = mt.encode_stream_name(".".join([name] + [str(k) for k in table.key(row)]),
                                            False)
                assert enc in raw, (name, row[0])


def check_scenario(work, wine, kittool, name, edits):
    base = {k: list(v) for k, v in BASE.items()}
    target = {k: list(v) for k, v in BASE.items()}
    for e in edits:
        e(target)
    base_msi = write_db(os.path.join(work, "base.msi"), base)
    target_msi = write_db(os.path.join(work, name + ".msi"), target)
    mst = os.path.join(work, name + ".mst")
    streams, changes = mt.build_transform(mt.Database(base_msi), mt.Database(target_msi))
    mt.write_transform(mst, streams)
    assert bool(changes) == bool(edits), changes
    got = wine_export(wine, kittool, base_msi, os.path.join(work, name + ".got"), SCHEMA, mst)
    want = wine_export(wine, kittool, target_msi, os.path.join(work, name + ".want"), SCHEMA)
    assert got == want, "\n%s\n%s" % (got, want)


def check_refuses(work):
    base = write_db(os.path.join(work, "refuse-base.msi"), {k: list(v) for k, v in BASE.items()})
    extra = {"Extra": (["E"], ["s8"], 1)}
    cases = {
        "new table": dict({k: list(v) for k, v in BASE.items()}, Extra=[("e",)]),
        "changed column": dict({k: list(v) for k, v in BASE.items()}),
    }
    schemas = {"new table": extra,
               "changed column": {"Pairs": (["A", "B", "Value"], ["s16", "i2", "S64"], 2)}}
    for what, tables in cases.items():
        target = write_db(os.path.join(work, "refuse.msi"), tables, schemas[what])
        try:
            mt.build_transform(mt.Database(base), mt.Database(target))
        except mt.MsiError:
            continue
        raise AssertionError("no error for a %s" % what)


def check_embed(work, msi):
    base = {k: list(v) for k, v in BASE.items()}
    target = {k: list(v) for k, v in BASE.items()}
    edit("Property", ("ProductLanguage",), Value="2052")(target)
    b = write_db(os.path.join(work, "emb-base.msi"), base)
    t = write_db(os.path.join(work, "emb-target.msi"), target)
    mst = os.path.join(work, "emb.mst")
    streams, _ = mt.build_transform(mt.Database(b), mt.Database(t))
    mt.write_transform(mst, streams)
    out = os.path.join(work, "embedded.msi")
    mt.embed(msi, out, {"2052": mst})
    import olefile
    src, dst, tr = olefile.OleFileIO(msi), olefile.OleFileIO(out), olefile.OleFileIO(mst)
    assert dst.root.clsid == src.root.clsid
    assert dst.getclsid("2052") == mt.TRANSFORM_CLSID
    for entry in src.listdir():
        if entry[0] in ("2052",):
            continue
        assert dst.openstream(entry).read() == src.openstream(entry).read(), entry
    for entry in tr.listdir():
        assert dst.openstream(["2052"] + entry).read() == tr.openstream(entry).read(), entry
    props = dst.getproperties(["2052", mt.SUMMARY_STREAM])
    assert props[mt.PID_REVNUMBER].decode() == (
        "{11111111-2222-3333-4444-555555555555}1.0.0;"
        "{11111111-2222-3333-4444-555555555555}1.0.0;"
        "{11111111-2222-3333-4444-666666666666}"), props[mt.PID_REVNUMBER]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("kit_msi")
    parser.add_argument("work")
    parser.add_argument("--kittool")
    parser.add_argument("--wine", default="wine", help="the Wine loader that starts kittool")
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    r = Runner()
    r.case("reader-matches-msiinfo", check_reader, args.kit_msi, args.work)
    r.case("stream-names-match-package", check_stream_names, args.kit_msi)
    r.case("transform-refuses-schema-changes", check_refuses, args.work)
    r.case("transform-embeds-as-substorage", check_embed, args.work, args.kit_msi)
    if args.kittool:
        for name, edits in SCENARIOS:
            r.case("transform-applied-by-wine-" + name, check_scenario, args.work,
                   args.wine, args.kittool, name, edits)
    return 1 if r.failed else 0


if __name__ == "__main__":
    sys.exit(main())
