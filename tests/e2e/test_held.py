"""Staged files that no less-privileged process can swap: from the moment a
file is written until the wrapper ends it is held, so that a process of the
same user can neither write, delete, rename nor replace it, nor rename the
product folder, while the installer still reads it; links planted in advance
under the staging path are refused before anything is written through them."""

import os
import shutil

from lib.cases import case, check, equal, table
from lib.harness import CABINETS, E2E_DIR, LOG_DIR, PACKAGE, quote_arg
from test_hostile import CREATE_FILE, failure_text, no_crash, wait_for_standin
import zlib

ALL = [PACKAGE] + CABINETS
ATTEMPTS = ("write", "delete", "rename", "replace")


def attempts(prefix):
    """{(what, name): (succeeded, error)} from the hostile program's report."""
    found = {}
    with open(prefix.unix(LOG_DIR + r"\hostile.txt"), encoding="latin-1") as f:
        for line in f.read().splitlines():
            _, what, name, ok, error = line.split("\t")
            found[(what, name)] = (ok == "1", int(error))
    return found


@case("held files: a hostile process of the same user cannot change them while the installer waits")
def hostile_process(session):
    p = session.shared()
    folder = p.staging(p.local_low())
    hostile = quote_arg(E2E_DIR + r"\hostile.exe") + b" " + quote_arg(LOG_DIR + r"\hostile.txt") + b" " + \
        quote_arg(folder) + b" " + b" ".join(n.encode() for n in ALL)
    r = p.run(b"/s", standin={"WAIT_EVENT": 30000, "BEFORE_CHECK": hostile.decode("latin-1"),
                              "CHECK_FILES": ";".join(ALL)})
    no_crash(r)
    equal(r.exit_code, 0, "exit code (%s)" % r.describe())
    run = r.runs[0]
    equal(run.fact("before"), ["0x00000000"], "the hostile program's own exit")
    found = attempts(p)
    # The same calls succeed on a file nobody holds: the refusals below mean something.
    for what in ATTEMPTS:
        equal(found.get((what, "control.tmp"), (None,))[0], True, "control: %s of an unheld file" % what)
    allowed = sorted((what, name) for (what, name), (ok, _) in found.items() if ok and name != "control.tmp")
    equal(allowed, [], "attempts the system allowed on staged files or the product folder")
    equal(sorted(n for (w, n) in found if w == "write"), sorted(ALL + ["control.tmp"]), "files attacked")
    check(("rename-folder", "") in found, "the product folder was not attacked")
    # What the installer then reads is the embedded payload.
    hashes = {name: "%08x" % zlib.crc32(session.kit_file(name)) for name in ALL}
    equal(run.file_hashes(), hashes, "files (CRC-32) the installer read after the attempts")
    equal(sorted(os.listdir(p.unix(folder))), sorted(ALL), "files in the staging folder")


def plant_hard_link(prefix, name):
    """The staged name NAME made, before the run, into a second name of a file elsewhere."""
    victim = prefix.unix(r"C:\victim.txt")
    with open(victim, "wb") as f:
        f.write(b"someone else's file\n")
    folder = prefix.unix(prefix.staging(prefix.local_low()))
    os.makedirs(folder, exist_ok=True)
    os.link(victim, os.path.join(folder, name))
    return victim


LINK_ROWS = [
    # (row, staged name, stand-in settings): the package is refused on the main
    # thread; a cabinet on the cabinet thread while the installer waits (its
    # wait ends with the wrapper, however long the box takes).
    ("package", PACKAGE, None),
    ("cabinet", CABINETS[2], {"WAIT_EVENT": 60000}),
]


@table("hard link planted under a staged name", [(r[0], r) for r in LINK_ROWS])
def planted_hard_link(session, row):
    _, name, standin = row
    p = session.shared()
    clean = p.clean
    victims = []

    def prepare():
        clean()
        victims.append(plant_hard_link(p, name))
    p.clean = prepare
    try:
        r = p.run(b"/s", standin=standin)
        started = len(p.standin_runs())
        if started:
            wait_for_standin(p, started)
    finally:
        p.clean = clean
    no_crash(r)
    equal(r.exit_code, 1920, "exit code (%s)" % r.describe())
    equal([(b.caption, b.text) for b in r.boxes],
          [("Error", failure_text(CREATE_FILE, 1920, "The file cannot be accessed."))], "message boxes")
    with open(victims[-1], "rb") as f:
        equal(f.read(), b"someone else's file\n", "the other file")
    os.remove(victims[-1])


FOLDER_ROWS = [("vendor folder", 1), ("family folder", 2), ("product folder", 3)]  # (row, depth)


@table("folder link planted below the base folder", FOLDER_ROWS)
def planted_folder_link(session, row):
    # Wine cannot make a junction or a Windows symbolic link, but shows a Unix
    # symbolic link to a folder as a reparse point.
    p = session.shared()
    parts = p.config.product_folder.split("\\")
    elsewhere = p.unix(r"C:\elsewhere")
    clean = p.clean

    def prepare():
        clean()
        shutil.rmtree(elsewhere, ignore_errors=True)
        os.makedirs(elsewhere)
        parent = p.unix(p.local_low() + "\\" + "\\".join(parts[:row - 1])) if row > 1 else p.unix(p.local_low())
        os.makedirs(parent, exist_ok=True)
        os.symlink(elsewhere, os.path.join(parent, parts[row - 1]))
    p.clean = prepare
    try:
        r = p.run(b"/s")
    finally:
        p.clean = clean
        p.clean()
    no_crash(r)
    equal(r.exit_code, 1920, "exit code (%s)" % r.describe())
    equal([(b.caption, b.text) for b in r.boxes],
          [("Error", failure_text(CREATE_FILE, 1920, "The file cannot be accessed."))], "message boxes")
    equal(len(r.runs), 0, "installer runs")
    written = [os.path.join(d, f) for d, _, files in os.walk(elsewhere) for f in files]
    equal(written, [], "files written through the link")
    shutil.rmtree(elsewhere, ignore_errors=True)
