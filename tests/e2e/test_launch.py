"""Launch sequence under Wine: installer command line, languages, exit codes,
engine check, overlong command lines, staging folders, cabinets and event."""

from lib import kit
from lib.cases import case, check, equal, table
from lib.harness import (CABINETS, CODE_PAGES, INSTALLER_KEY, PACKAGE, STANDIN_DIR, WINDOWS_11_BUILD,
                         WRAPPER, quote_arg)
from lib.product import engine_messages, installer_command

ALL_FILES = ";".join(CABINETS)
TOO_LONG = "The command line is too long for the installer. The installation was not started."


def single_run(result):
    check(not result.timed_out, "the wrapper did not end: " + result.describe())
    equal(len(result.runs), 1, "stand-in runs (%s)" % result.describe())
    return result.runs[0]


def expect_untouched(prefix, result):
    """No installer started, nothing staged."""
    equal(len(result.runs), 0, "stand-in runs")
    for base in (prefix.local_low(), prefix.roaming()):
        check(not prefix.exists(base + r"\Velmor"), "a staging folder was created below " + base)


# ---- the installer command line

@case("typical run: German, /s and quoted /v")
def typical(session):
    p = session.shared()
    r = p.run(b'/s /v"INSTALLDIR=C:\\kit"', locale="de_DE.UTF-8", version="win7")
    run = single_run(r)
    equal(run.command_line,
          installer_command(p.staging(p.local_low()), b" INSTALLDIR=C:\\kit  /qn"),
          "installer command line")
    equal(r.exit_code, 0, "exit code")
    equal(r.boxes, [], "message boxes")


LANGUAGE_ROWS = [
    # (row, locale, arguments, transform, forwarded)
    ("English, no arguments", "en_US.UTF-8", b"", None, b""),
    ("German 0x0407", "de_DE.UTF-8", b"", None, b""),
    ("Japanese", "ja_JP.UTF-8", b"/s", 1041, b" /qn"),
    ("Chinese PRC", "zh_CN.UTF-8", b"/s", 2052, b" /qn"),
    ("Chinese Taiwan", "zh_TW.UTF-8", b"", None, b""),
    ("/lang=1033 on Japanese", "ja_JP.UTF-8", b"/lang=1033", None, b""),
    ("/lang=1041 on English", "en_US.UTF-8", b"/lang=1041", 1041, b""),
    ("/lang=2052 on German", "de_DE.UTF-8", b"/lang=2052 X=1", 2052, b"X=1 "),
    ("/lang=1031 refused", "de_DE.UTF-8", b"/lang=1031", None, b""),
    ("/qn already forwarded", "en_US.UTF-8", b"/s /qn", None, b"/qn "),
    ("/QN does not count", "en_US.UTF-8", b"/s /QN", None, b"/QN  /qn"),
    ("/v without quotes and plain", "en_US.UTF-8", b"B=2 /vA=1 /x", None, b"B=2  A=1 /x "),
]


@table("language and arguments", [(r[0], r) for r in LANGUAGE_ROWS])
def language(session, row):
    _, locale, arguments, transform, forwarded = row
    p = session.shared()
    r = p.run(arguments, locale=locale)
    equal(single_run(r).command_line,
          installer_command(p.staging(p.local_low()), forwarded, transform), "installer command line")
    equal(r.exit_code, 0, "exit code")


SJIS_ROWS = [
    # 表 is 0x95 0x5C in Shift-JIS: on code page 932 its trail byte is no
    # backslash, so the quote after it closes the region and /s stays separate.
    ("Japanese cp932", "ja_JP.UTF-8", 1041, b" INSTALLDIR=C:\\\x95\x5c  /qn"),
    # On code page 1252 the same bytes are a character and a backslash that
    # escapes the quote: one argument, no quiet switch.
    ("English cp1252", "en_US.UTF-8", None, b" INSTALLDIR=C:\\\x95\" /s "),
]


@table("double-byte path argument", [(r[0], r) for r in SJIS_ROWS])
def double_byte(session, row):
    _, locale, transform, forwarded = row
    p = session.shared()
    r = p.run(b'/v"INSTALLDIR=C:\\\x95\x5c" /s', locale=locale)
    equal(single_run(r).command_line,
          installer_command(p.staging(p.local_low()), forwarded, transform), "installer command line")


# ---- exit codes

@table("installer exit code passes through", [("%d" % c if c < 0x10000 else "0x%08X" % c, c)
                                              for c in (0, 1602, 1603, 3010, 0xC0000005, 0xFFFFFFFF)])
def exit_code(session, code):
    r = session.shared().run(b"/s", standin={"EXIT": "0x%x" % code})
    single_run(r)
    equal(r.exit_code, code, "wrapper exit code")


@case("no InstallerLocation value: -3, package staged, no installer")
def no_location(session):
    p = session.shared()
    r = p.run(b"/s", installer_location=None)
    equal(r.exit_code, 0xFFFFFFFD, "exit code")
    equal(len(r.runs), 0, "stand-in runs")
    equal(p.read(p.staging(p.local_low()) + "\\" + PACKAGE), session.kit_file(PACKAGE), "staged package")


@case("InstallerLocation folder without msiexec.exe: exit 1")
def location_without_msiexec(session):
    r = session.shared().run(b"/s", installer_location=r"C:\nothing-here")
    equal(r.exit_code, 1, "exit code")
    equal(len(r.runs), 0, "stand-in runs")


@case("InstallerLocation with a trailing backslash")
def location_trailing_backslash(session):
    p = session.shared()
    r = p.run(b"", installer_location=STANDIN_DIR + "\\")
    equal(single_run(r).command_line,
          installer_command(p.staging(p.local_low()), installer=STANDIN_DIR + r"\\msiexec.exe"),
          "installer command line")


# ---- engine check (a prefix of its own: msi.dll is replaced)

def engine_prefix(session):
    if not hasattr(session, "engine_prefix"):
        session.engine_prefix = session.copy_prefix("engine")
    return session.engine_prefix


def run_with_engine(session, version, arguments, locale):
    p = engine_prefix(session)
    with open(session.programs + "/msi_%s.dll" % version, "rb") as f:
        dll = f.read()
    with open(p.system_file("msi.dll"), "wb") as f:
        f.write(dll)
    # Wine maps its builtin msi.dll even for a version query unless told to
    # prefer the file in system32.
    return p, p.run(arguments, locale=locale, dll_overrides="msi=n")


ENGINE_MESSAGE_ROWS = [
    # (row, engine version, locale, arguments, string table language)
    ("German", "1.1.0.0", "de_DE.UTF-8", b"/s", (7, 0)),
    ("Japanese", "1.1.0.0", "ja_JP.UTF-8", b"", (17, 1)),
    ("Simplified Chinese", "2.0.2599.65535", "zh_CN.UTF-8", b"", (4, 2)),
    ("Traditional Chinese", "1.1.0.0", "zh_TW.UTF-8", b"", (4, 1)),
    ("French", "2.0.2599.65535", "fr_FR.UTF-8", b"", (12, 0)),
    ("English", "noversion", "en_US.UTF-8", b"", (9, 1)),
    ("/lang=1041 on English", "1.1.0.0", "en_US.UTF-8", b"/lang=1041", (9, 1)),
]


@table("engine too old", [(r[0], r) for r in ENGINE_MESSAGE_ROWS])
def engine_too_old(session, row):
    _, version, locale, arguments, language = row
    expected = engine_messages()[language]
    p, r = run_with_engine(session, version, arguments, locale)
    equal(r.exit_code, 0xFFFFFFFE, "exit code")
    expect_untouched(p, r)
    equal(len(r.boxes), 1, "message boxes")
    box = r.boxes[0]
    equal(box.text, expected, "message text")
    equal(box.text_bytes, expected.encode(CODE_PAGES[locale]), "message bytes in the ANSI code page")
    equal(box.caption, "", "caption")
    # One button, whose text the system localises ("OK", "確定" ...), and an icon.
    equal(len(box.buttons), 1, "buttons %r" % box.buttons)
    equal(box.icon, "icon", "icon")


@table("engine sufficient", [(v, v) for v in ("2.0.2600.0", "3.1.4000.0")])
def engine_sufficient(session, version):
    p, r = run_with_engine(session, version, b"/s", "en_US.UTF-8")
    single_run(r)
    equal(r.exit_code, 0, "exit code")
    equal(r.boxes, [], "message boxes")


# ---- overlong command lines

OVERLONG_ROWS = [
    ("one /v of 1100 characters", b"/v" + b"x" * 1100),
    ("forwarded text over 1023", b" ".join(b"P%03d=12345" % i for i in range(110))),
    ("no room for /qn", b"/s " + b"y" * 1020),
]


@table("overlong command line refused", [(r[0] + q[0], (r[1] + q[1], q[2]))
                                         for r in OVERLONG_ROWS
                                         for q in ((" (quiet)", b" /s", True), ("", b"", False))
                                         if not (r[0] == "no room for /qn" and not q[2])])
def overlong(session, row):
    arguments, quiet = row
    p = session.shared()
    r = p.run(arguments)
    equal(r.exit_code, 1639, "exit code")
    expect_untouched(p, r)
    if quiet:
        equal(r.boxes, [], "message boxes with /s")
    else:
        equal([(b.caption, b.text) for b in r.boxes], [("Error", TOO_LONG)], "message boxes")


@case("forwarded text fits but the installer command line does not")
def composed_too_long(session):
    # 1000 forwarded characters fit the 1023 of the translation; with the two
    # paths the command line exceeds 1023 and must be refused, not cut.
    p = session.shared()
    r = p.run(b"/s " + b"z" * 998)
    equal(r.exit_code, 1639, "exit code")
    equal(len(r.runs), 0, "stand-in runs")
    equal(r.boxes, [], "message boxes with /s")


# ---- staging folder, cabinets and the ready event

STAGING_ROWS = [
    # (row, Windows version, base folder kind, builds the system must report);
    # "xp" is XP as the prefix can have it (XP x64 in a 64-bit prefix).
    # Windows 10 and 11 show every edition 6.2 (no compatibility manifest, a
    # header that declares 6.2 or less): an NT 6 kernel, so LocalLow. The
    # system's own version, as the stand-in records it, shows that the prefix
    # really is that system.
    ("win7", "win7", "local_low", None),
    ("win10", "win10", "local_low", range(10240, WINDOWS_11_BUILD)),
    ("win11", "win11", "local_low", range(WINDOWS_11_BUILD, 1 << 16)),
    ("winxp", "xp", "roaming", None),
]


@table("staging folder", [(r[0], r) for r in STAGING_ROWS])
def staging(session, row):
    label, version, kind, builds = row
    p, installer, overrides = session.shared(), STANDIN_DIR + r"\msiexec.exe", None
    if version == "xp":
        p, version, installer, overrides = session.xp()
    elif version == "win11":
        # The Windows 11 values stay in the registry: a prefix of its own.
        p = session.copy_prefix(label)
    r = p.run(b"/s", version=version, standin={"WAIT_EVENT": 30000, "CHECK_FILES": ALL_FILES},
              dll_overrides=overrides or None)
    run = single_run(r)
    if builds is not None:
        system = run.fact("system")
        check(system is not None and system[:2] == ["10", "0"] and int(system[2]) in builds,
              "the system's version (major, minor, build) %r, not 10.0 with a build in [%d, %d)"
              % (system, builds.start, builds.stop))
    folder = p.staging(getattr(p, kind)())
    equal(run.command_line, installer_command(folder, b" /qn", installer=installer), "installer command line")
    check(run.fact("event") is not None and run.fact("event")[0] == "signalled",
          "event when the installer waited: %r" % (run.fact("event"),))
    sizes = {name: len(session.kit_file(name)) for name in CABINETS}
    equal(run.files(), sizes, "cabinet sizes when the event was signalled")
    for name in [PACKAGE] + CABINETS:
        equal(p.read(folder + "\\" + name) == session.kit_file(name), True, name + " equals the kit file")
    other = p.roaming() if kind == "local_low" else p.local_low()
    check(not p.exists(other + r"\Velmor"), "files were also staged below " + other)


@case("win2003: system msiexec.exe, InstallerLocation ignored")
def win2003_real_msiexec(session):
    # Wine's own msiexec.exe is run, in a prefix of its own since it installs the kit.
    p = session.copy_prefix("win2003-real")
    r = p.run(b"/s", version="win2003", after=kit.value_lines(p))
    equal(len(r.runs), 0, "stand-in runs (InstallerLocation must not be used)")
    equal(r.exit_code, 0, "exit code")
    equal(r.boxes, [], "message boxes")
    kit.expect_installed(p, r)
    for name in [PACKAGE] + CABINETS:
        check(p.read(p.staging(p.roaming()) + "\\" + name) == session.kit_file(name),
              name + " staged below Roaming differs from the kit's")


@table("win2003 command line", [("InstallerLocation set", r"C:\standin"), ("no InstallerLocation", None)])
def win2003_command(session, location):
    p = session.system_standin()
    r = p.run(b"/s", version="win2003", installer_location=location, dll_overrides="msiexec.exe=n",
              standin={"EXIT": 3010})
    equal(single_run(r).command_line,
          installer_command(p.staging(p.roaming()), b" /qn", installer=r"C:\windows\system32\msiexec.exe"),
          "installer command line")
    equal(r.exit_code, 3010, "exit code")


@case("quoted program name followed directly by /s")
def program_name(session):
    # A quoted program path followed directly by /s: the /s is part of the name.
    p = session.shared()
    r = p.run(command_line=quote_arg(WRAPPER) + b"/s")
    equal(single_run(r).command_line, installer_command(p.staging(p.local_low())), "installer command line")
