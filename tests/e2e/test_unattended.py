"""Unattended runs: started on a desktop of a window station that is not
visible (as a service account or a scheduled task without a desktop is), the
wrapper shows none of its message boxes, which nobody could answer there, and
ends by itself with the code the box would have preceded. The same situations
on the visible desktop still show their box."""

import os
import shutil

from lib.cases import check, equal, table
from lib.harness import CABINETS, PACKAGE
from test_hostile import CREATE_FILE, failure_text, wait_for_standin
from test_launch import TOO_LONG, engine_prefix

# A box on an invisible desktop would wait for ever: the run is ended after
# this long, which shows as a time-out.
LIMIT = 20


def folder_named_like(name):
    """Set-up: a folder where the staged file NAME belongs, so creating it fails with 5."""
    def setup(prefix):
        os.makedirs(prefix.unix(prefix.staging(prefix.local_low()) + "\\" + name))
    return setup


def engine_too_old(prefix, session):
    with open(session.programs + "/msi_1.1.0.0.dll", "rb") as f:
        dll = f.read()
    with open(prefix.system_file("msi.dll"), "wb") as f:
        f.write(dll)


SITUATIONS = [
    # (name, set-up, arguments, stand-in, exit code, box caption and text)
    ("engine too old", None, b"/s", None, 0xFFFFFFFE, None),
    ("package cannot be created (main thread)", folder_named_like(PACKAGE), b"/s", None, 5,
     ("Error", failure_text(CREATE_FILE, 5, "Access denied."))),
    # The installer's wait ends with the wrapper, however long the box takes.
    ("cabinet cannot be created (cabinet thread)", folder_named_like(CABINETS[1]), b"/s",
     {"WAIT_EVENT": 60000}, 5, ("Error", failure_text(CREATE_FILE, 5, "Access denied."))),
    ("overlong command line without /s", None, b"/v" + b"p" * 1100, None, 1639, ("Error", TOO_LONG)),
]
ROWS = [("%s, %s" % (s[0], desktop), (s, desktop == "hidden desktop"))
        for s in SITUATIONS for desktop in ("hidden desktop", "visible desktop")]


@table("unattended", ROWS)
def unattended(session, row):
    (name, setup, arguments, standin, code, box), hidden = row
    engine = name == "engine too old"
    p = engine_prefix(session) if engine else session.shared()
    if engine:
        engine_too_old(p, session)
    clean = p.clean

    def prepare():
        clean()
        if setup is not None:
            setup(p)
    p.clean = prepare
    try:
        r = p.run(arguments, before=[("hidden",)] if hidden else [], standin=standin,
                  dll_overrides="msi=n" if engine else None, timeout=LIMIT)
        # A cabinet failure can end the wrapper before it has started the
        # installer; a stand-in that did start is waited for.
        started = len(p.standin_runs())
        if started:
            wait_for_standin(p, started)
    finally:
        p.clean = clean
        shutil.rmtree(p.unix(p.local_low() + r"\Velmor"), ignore_errors=True)
    if hidden:
        equal([l for l in r.lines if l.startswith("hidden\t")], ["hidden\t0\t0"],
              "the window station made for the run (visible flag, error)")
    check(not r.timed_out, "the wrapper did not end within %d s: %s" % (LIMIT, r.describe()))
    equal(r.exit_code, code, "exit code (%s)" % r.describe())
    if engine:
        messages = [b for b in r.boxes]
        equal(len(messages), 0 if hidden else 1, "engine message boxes")
    else:
        equal([(b.caption, b.text) for b in r.boxes], [] if hidden or box is None else [box], "message boxes")
    if hidden:
        check(r.elapsed < 10, "the run took %.1f s" % r.elapsed)
