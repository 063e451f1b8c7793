"""The background cabinets, the ready event and the reinstall handshake: with
Wine's real msiexec installing the sample kit (through the stand-in in
pass-through mode, which records and counts every installer run), and with
the recording stand-in for the registry value the handshake reads."""

import os
import re
import zlib

from lib import kit
from lib.cases import case, check, equal, table
from lib.harness import (CABINETS, PACKAGE, REG_BINARY, REG_DWORD, REG_EXPAND_SZ, REG_MULTI_SZ,
                         REG_SZ, VENDOR_KEY, VENDOR_ROOT, quote_arg, sz)
from lib.product import installer_command

STATUS = "InstallStatus"
WATCH_STATUS = r"%s\%s|%s" % (VENDOR_ROOT, VENDOR_KEY, STATUS)
# The stand-in passes each run on to Wine's msiexec, with a verbose log per run.
PASS_THROUGH = {"PASS": kit.REAL_MSIEXEC, "PASS_LOG": 1, "WATCH": WATCH_STATUS}
WAITING = re.compile(r"WaitForCabinets: waiting up to (\d+) ms")
EVENT_SET = re.compile(r"WaitForCabinets: event set after (\d+) ms")


def crc32(data):
    return "%08x" % zlib.crc32(data)


def expect_staged(session, prefix, names):
    """The staging folder holds exactly the package and these cabinets, each
    byte for byte the kit's."""
    folder = prefix.staging(prefix.local_low())
    equal(sorted(os.listdir(prefix.unix(folder))), sorted([PACKAGE] + names), "files in the staging folder")
    for name in [PACKAGE] + names:
        check(prefix.read(folder + "\\" + name) == session.kit_file(name), name + " differs from the kit's")


def waits_in_log(log):
    """(time-out, milliseconds until the event was set) of the kit's wait, from a run's log."""
    waiting, done = WAITING.search(log), EVENT_SET.search(log)
    check(waiting is not None, "the kit's log shows no wait for the event")
    check(done is not None, "the kit's log shows no event set")
    return int(waiting.group(1)), int(done.group(1))


def vendor_key_after_install(prefix):
    """(subkeys, values) of the 32-bit view's vendor key once the kit is
    installed and no request is left: the i586 kit's Kit subkey alone; the
    amd64 kit keeps that subkey in the 64-bit view, so there is no key."""
    return (1, 0) if prefix.config.kit_root == "HKLM" else None


# ---- the real msiexec installs the kit

@case("real msiexec: /s installs the kit after the event")
def real_install(session):
    p = session.copy_prefix("kit-install")
    r = p.run(b"/s", installer_location=r"C:\standin", standin=PASS_THROUGH,
              after=kit.value_lines(p) + [("getval", VENDOR_ROOT, VENDOR_KEY, STATUS),
                                         ("keyinfo", VENDOR_ROOT, VENDOR_KEY)])
    equal(r.exit_code, 0, "exit code (%s)" % r.describe())
    equal(len(r.runs), 1, "installer runs")
    equal(r.runs[0].command_line, installer_command(p.staging(p.local_low()), b" /qn"),
          "installer command line")
    timeout, _ = waits_in_log(p.standin_log(1))
    equal(timeout, 600000, "the kit's time-out (WRAPPER=1 and the default WRAPPER_WAIT_MS)")
    kit.expect_installed(p, r)
    equal(r.values[STATUS], None, "InstallStatus after a plain installation")
    equal(r.keys[VENDOR_KEY], vendor_key_after_install(p), "vendor key (32-bit view) afterwards")
    expect_staged(session, p, CABINETS)


@case("real msiexec: REQUEST_REINSTALL=1 runs the kit twice, the second at once")
def real_reinstall(session):
    # WRAPPER_WAIT_MS=3000: a second run that found the event unsignalled would
    # give up after 3 s with 1603.
    p = session.copy_prefix("kit-reinstall")
    r = p.run(b'/s /v"REQUEST_REINSTALL=1 WRAPPER_WAIT_MS=3000"', standin=PASS_THROUGH,
              after=kit.value_lines(p) + [("getval", VENDOR_ROOT, VENDOR_KEY, STATUS),
                                         ("keyinfo", VENDOR_ROOT, VENDOR_KEY)])
    equal(r.exit_code, 0, "exit code (%s)" % r.describe())
    equal(len(r.runs), 2, "installer runs")
    equal(r.runs[0].command_line,
          installer_command(p.staging(p.local_low()), b" REQUEST_REINSTALL=1 WRAPPER_WAIT_MS=3000  /qn"),
          "first command line")
    equal(r.runs[1].command_line, r.runs[0].command_line, "second command line")
    equal(r.runs[0].watched("before"), None, "InstallStatus before the first run")
    equal(r.runs[0].watched("after"), (REG_SZ, sz("reinstall")), "InstallStatus the first run left")
    equal(r.runs[1].watched("before"), None, "InstallStatus when the second run started")
    equal(r.runs[1].watched("after"), None, "InstallStatus the second run left")
    first, second = p.standin_log(1), p.standin_log(2)
    equal(waits_in_log(first)[0], 3000, "the first run's time-out")
    timeout, waited = waits_in_log(second)
    equal(timeout, 3000, "the second run's time-out")
    check(waited < 1000, "the second run waited %d ms for an event that was already set" % waited)
    check(re.search(r"Installed = 1", second) is not None, "the second run is no maintenance run")
    kit.expect_installed(p, r)
    equal(r.values[STATUS], None, "InstallStatus afterwards")
    # The status value was the vendor key's only value; only the kit's own subkey can keep it.
    equal(r.keys[VENDOR_KEY], vendor_key_after_install(p), "vendor key (32-bit view) afterwards")
    expect_staged(session, p, CABINETS)


# ---- the handshake against the value the recording stand-in finds

SUBKEY = VENDOR_KEY + r"\Other"
FILLER = b"reinstall\0" + b"x" * 590 + b"\0"      # 600 characters and a terminator


def status_row(name, runs, data=None, type=REG_SZ, **options):
    """A handshake case: InstallStatus set to data (type) before the run, and
    the number of installer runs it should give."""
    row = {"runs": runs, "data": data, "type": type, "root": VENDOR_ROOT, "written": None,
           "extra": [], "location": r"C:\standin", "vendor": "gone" if runs == 2 else "kept",
           "left": "gone" if runs == 2 else "same", "readonly": False}
    row.update(options)
    return (name, row)


HANDSHAKE_ROWS = [
    status_row("REG_SZ reinstall", 2, sz("reinstall")),
    status_row("REG_EXPAND_SZ reinstall", 2, sz("reinstall"), REG_EXPAND_SZ),
    status_row("REG_MULTI_SZ reinstall", 2, b"reinstall\0\0", REG_MULTI_SZ),
    status_row("REG_MULTI_SZ with one terminator", 1, b"reinstall\0", REG_MULTI_SZ),
    status_row("REG_DWORD 1", 1, (1).to_bytes(4, "little"), REG_DWORD),
    status_row("REG_BINARY reinstall and terminator", 1, b"reinstall\0", REG_BINARY),
    status_row("REG_SZ Reinstall", 1, sz("Reinstall")),
    status_row("REG_SZ reinstall and a blank", 1, sz("reinstall ")),
    status_row("REG_SZ without terminator", 1, b"reinstall"),
    status_row("REG_SZ of 600 characters", 1, FILLER),
    # "reinstall", its terminator and filler: 512 bytes fill the status buffer
    # exactly and are read; one more byte is too long and nothing is read.
    status_row("REG_SZ of 512 bytes", 2, FILLER[:511] + b"\0"),
    status_row("REG_SZ of 513 bytes", 1, FILLER[:512] + b"\0"),
    status_row("under HKCU only", 1, sz("reinstall"), root="HKCU", vendor="gone"),
    status_row("vendor key with another value", 2, sz("reinstall"), vendor=(0, 1),
               extra=[("setval", VENDOR_ROOT, VENDOR_KEY, "Other", str(REG_SZ), sz("x").hex())]),
    status_row("vendor key with a subkey", 2, sz("reinstall"), vendor=(1, 0),
               extra=[("setval", VENDOR_ROOT, SUBKEY, "Other", str(REG_SZ), sz("x").hex())]),
    status_row("vendor key read-only", 2, sz("reinstall"), readonly=True, vendor=(0, 1), left="same"),
    status_row("first run not startable", 2, sz("reinstall"), location=r"C:\nothing-here"),
    status_row("written by the first run", 2, written=(REG_SZ, sz("reinstall"), "1")),
    status_row("Reinstall written by the first run", 1, written=(REG_SZ, sz("Reinstall"), "1"),
               left=sz("Reinstall")),
    # The handshake runs once: a second run that asks again leaves the value
    # for the next start.
    status_row("written by both runs", 2, written=(REG_SZ, sz("reinstall"), "1,2"), vendor=(0, 1),
               left=sz("reinstall")),
]


@table("reinstall handshake", HANDSHAKE_ROWS)
def handshake(session, row):
    p = session.shared()
    root = row["root"]
    key = VENDOR_KEY
    before, after = list(row["extra"]), []
    standin = {"EXIT": "1603,3010", "WATCH": WATCH_STATUS, "WAIT_EVENT": 30000}
    if row["data"] is not None:
        before.append(("setval", root, key, STATUS, str(row["type"]), row["data"].hex()))
    if row["written"] is not None:
        type_, data, runs = row["written"]
        standin.update(REG=r"%s\%s|%s|%d|%s" % (VENDOR_ROOT, key, STATUS, type_, data.hex()), REG_RUNS=runs)
    if row["readonly"]:
        # Everyone may read the key (and change its DACL back), nothing more.
        before += [("keyacl", VENDOR_ROOT, key, "0x20019"), ("openkey", VENDOR_ROOT, key, "0x2001f")]
    after += [("getval", root, key, STATUS), ("keyinfo", VENDOR_ROOT, key)]
    if row["readonly"]:
        after.append(("keyacl", VENDOR_ROOT, key, "0xf003f"))
    if root != VENDOR_ROOT:
        after.append(("delkey", root, key))
    r = p.run(b"/s", installer_location=row["location"], standin=standin, before=before, after=after)

    if row["readonly"]:
        opened = [l for l in r.lines if l.startswith("openkey\t")]
        equal(opened, ["openkey\t%s\t0x2001f\t5" % key], "read and write access to the read-only key "
              "(Wine is expected to enforce the DACL)")
        check("keyacl\t%s\t0" % key in r.lines, "the key's DACL was not restored: %r" % r.lines)
    startable = row["location"] == r"C:\standin"
    equal(len(r.runs), row["runs"] if startable else 0, "installer runs")
    equal(r.exit_code, (1603 if row["runs"] == 1 else 3010) if startable else 1, "exit code (the last run's)")
    if startable and row["runs"] == 2:
        equal(r.runs[1].command_line, r.runs[0].command_line, "second command line")
        # The event stays signalled for the second run.
        equal(r.runs[1].fact("event")[:2], ["signalled", "initial=signalled"], "event at the second run")
        # Cleared before the second run starts (unless the key is read-only).
        expected = r.runs[0].watched("after") if row["left"] == "same" else None
        equal(r.runs[1].watched("before"), expected, "InstallStatus when the second run started")

    if row["left"] == "gone":
        left = None
    elif row["left"] == "same":
        left = (row["type"], row["data"])
    else:
        left = (REG_SZ, row["left"])
    equal(r.values[STATUS], left, r"%s\%s %s afterwards" % (root, key, STATUS))
    vendor = row["vendor"]
    if vendor == "kept":
        vendor = (0, 1)
    equal(r.keys[key], None if vendor == "gone" else vendor, r"HKLM\%s afterwards (subkeys, values)" % key)


@case("reinstall handshake: a request in the 64-bit registry view only is not the package's")
def handshake_other_view(session):
    # Every wrapper reads the request in the 32-bit view, where both kits
    # write it; a 64-bit view's key of the same name is left alone.
    p = session.shared()
    session.config.skip_unless(p.config.winearch == "win64", "a 32-bit prefix has a single registry view")
    standin = {"EXIT": "1603,3010", "WAIT_EVENT": 30000}
    r = p.run(b"/s", standin=standin,
              before=[("delkey", "HKLM64", VENDOR_KEY),
                      ("setval", "HKLM64", VENDOR_KEY, STATUS, str(REG_SZ), sz("reinstall").hex())],
              after=[("getval", "HKLM64", VENDOR_KEY, STATUS), ("delkey", "HKLM64", VENDOR_KEY)])
    equal(len(r.runs), 1, "installer runs")
    equal(r.exit_code, 1603, "exit code")
    equal(r.values[STATUS], (REG_SZ, sz("reinstall")), r"HKLM64\%s %s afterwards" % (VENDOR_KEY, STATUS))


# ---- cabinets and the event, also in builds without some payload resources

CABINET_ROWS = [
    ("full build", []),
    ("without TARSK_CAB8", ["TARSK_CAB8"]),
]


def wrapper_command(session, prefix, omit, arguments):
    """The command line of a build without the resources in omit (None: the main build)."""
    if not omit:
        return None
    exe = session.variant("no" + "-".join(o.lower().replace("tarsk_", "") for o in omit), omit)
    return quote_arg(prefix.install_variant("no-" + "-".join(omit).lower(), exe)) + b" " + arguments


@table("cabinets when the event is signalled", CABINET_ROWS)
def cabinets_at_event(session, omit):
    p = session.shared()
    expected = [c for c in CABINETS if not (c == "sp160130.cab" and "TARSK_CAB8" in omit)]
    r = p.run(b"/s", command_line=wrapper_command(session, p, omit, b"/s"),
              standin={"WAIT_EVENT": 30000, "CHECK_FILES": ";".join([PACKAGE] + CABINETS)})
    equal(r.exit_code, 0, "exit code (%s)" % r.describe())
    equal(len(r.runs), 1, "installer runs")
    run = r.runs[0]
    check(run.fact("event") is not None and run.fact("event")[0] == "signalled",
          "event while the installer waited: %r" % (run.fact("event"),))
    sizes = {name: len(session.kit_file(name)) if name in expected or name == PACKAGE else -1
             for name in [PACKAGE] + CABINETS}
    equal(run.files(), sizes, "file sizes when the event was signalled")
    hashes = {name: crc32(session.kit_file(name)) for name in [PACKAGE] + expected}
    equal(run.file_hashes(), hashes, "file contents (CRC-32) when the event was signalled")
    expect_staged(session, p, expected)
    equal(r.boxes, [], "message boxes")


@case("build without TARSK_INSTALLER: exit 1, nothing staged, no installer")
def no_package(session):
    p = session.shared()
    r = p.run(b"/s", command_line=wrapper_command(session, p, ["TARSK_INSTALLER"], b"/s"),
              standin={"WAIT_EVENT": 1000}, expect_exit_1=True)
    equal(r.exit_code, 1, "exit code")
    equal(len(r.runs), 0, "installer runs")
    equal(r.boxes, [], "message boxes")
    folder = p.unix(p.staging(p.local_low()))
    # The staging folders are made before the package is looked for; no file lands there.
    equal(os.listdir(folder) if os.path.isdir(folder) else [], [], "files in the staging folder")
    check(not os.path.exists(p.unix(p.roaming() + r"\Velmor")), "something was staged below Roaming")


@case("full-size kit: the waiting installer sees all eight cabinets complete at the signal")
def full_size_at_event(session):
    # With the small kit the cabinets are written before the installer has
    # even started; with some 76 MB the installer usually starts first and
    # really waits. Runs are repeated until one did (the event was not yet set
    # when it looked); every run must see complete cabinets.
    exe = session.variant("fullkit", full_size=True)
    kit_dir = os.path.join(os.path.dirname(exe), "kit")
    expected = {}
    for name in [PACKAGE] + CABINETS:
        with open(os.path.join(kit_dir, name), "rb") as f:
            data = f.read()
        expected[name] = (len(data), crc32(data))
    p = session.shared()
    command = quote_arg(p.install_variant("fullkit", exe)) + b" /s"
    waited = 0
    for attempt in range(8):
        r = p.run(command_line=command, standin={"WAIT_EVENT": 60000, "CHECK_FILES": ";".join(expected)})
        equal(r.exit_code, 0, "exit code (%s)" % r.describe())
        event = r.runs[0].fact("event")
        check(event is not None and event[0] == "signalled", "event while the installer waited: %r" % (event,))
        run = r.runs[0]
        seen = {name: (size, run.file_hashes().get(name)) for name, size in run.files().items()}
        equal(seen, expected, "sizes and CRC-32 when the event was signalled (run %d, %s)" % (attempt + 1, event[1]))
        if event[1] == "initial=unsignalled":
            waited += 1
            break
    # Through the emulator a 32-bit installer starts far more slowly than the
    # natively fast writes end: it may never get to look first there.
    p.config.skip_unless(waited > 0 or not p.config.emulated,
                         "every run saw complete cabinets, but in 8 runs the emulated installer never "
                         "started before the cabinets were written, so none showed the wait")
    check(waited > 0, "in 8 runs the installer never started before the cabinets were written: "
          "the check shows nothing on this machine")
