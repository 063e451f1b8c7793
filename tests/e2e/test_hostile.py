"""A hostile machine under Wine: planted libraries, a rebuilt executable, full
and read-only disks, a folder where a file should be, two runs at once,
extreme command lines, a missing profile and odd registry values. Nothing may
be overrun (no crash, no cut), planted (no foreign library or program runs) or
lost (the staged files are the kit's, and nothing lands outside the staging
folder)."""

import glob
import os
import shutil
import subprocess
import time

from lib.cases import case, check, equal, table
from lib.harness import (CABINETS, E2E_DIR, INSTALLER_KEY, PACKAGE, REG_BINARY,
                         REG_DWORD, REG_EXPAND_SZ, REG_SZ, VENDOR_KEY, VENDOR_ROOT, WRAPPER, HarnessError,
                         quote_arg, sz)
from lib.product import installer_command

REG_NONE, REG_QWORD = 0, 11
CREATE_FILE = "Installer : Wrapper.CreateFile "
WRITE_FILE = "Installer : Wrapper.WriteFile (In small chunks) "
ALL_FILES = ";".join(CABINETS)
SHARING_TEXT = "Sharing violation."


def failure_text(what, error, system_text):
    """The staging failure message: "<operation> failed with error N: <system text>"."""
    return "%s failed with error %d: %s\r\n" % (what, error, system_text)


def only_box(result, text):
    equal([(b.caption, b.text) for b in result.boxes], [("Error", text)], "message boxes")


def no_crash(result):
    """An unhandled exception shows as an NTSTATUS exit code or a trace on stderr."""
    check(not result.timed_out, "the wrapper did not end: " + result.describe())
    check(result.exit_code is not None and
          (result.exit_code < 0xC0000000 or result.exit_code in (0xFFFFFFFD, 0xFFFFFFFE)),
          "exit code looks like a crash: " + result.describe())
    check(b"Unhandled" not in result.stderr and b"page fault" not in result.stderr,
          "Wine reported a crash: %r" % result.stderr[-500:])


# ---- what a run changes on disk

def snapshot(prefix):
    """Path -> size of every file and folder of drive C:, except the test
    programs' own folder (jobs, results and the stand-in's records)."""
    skip = prefix.unix(E2E_DIR)
    found = {}
    for root, dirs, files in os.walk(prefix.drive_c):
        if root == skip or root.startswith(skip + os.sep):
            dirs[:] = []
            continue
        for name in dirs:
            found[os.path.join(root, name)] = -1
        for name in files:
            path = os.path.join(root, name)
            try:
                found[path] = os.lstat(path).st_size
            except OSError:
                pass
    return found


def changed_outside(prefix, before, staging_base):
    """Paths created or changed since the snapshot that are not the staging
    folder, the folders on its way, or files inside it."""
    staging = prefix.unix(prefix.staging(staging_base))
    allowed = {staging}
    parent = staging
    for _ in prefix.config.product_folder.split("\\"):
        parent = os.path.dirname(parent)
        allowed.add(parent)
    after = snapshot(prefix)
    return sorted(p for p, size in after.items()
                  if before.get(p) != size and p not in allowed and not p.startswith(staging + os.sep))


def wait_for_standin(prefix, runs=1, limit=60):
    """A stand-in still waiting for the event records its end after the
    wrapper has gone: wait for it, so that the next case starts clean."""
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        done = [r for r in prefix.standin_runs() if r.fact("exit") is not None]
        if len(done) >= runs:
            return prefix.standin_runs()
        time.sleep(0.2)
    raise HarnessError("the stand-in did not finish")


# ---- planted libraries

PLANTED = ["shfolder", "shell32", "version", "msi", "userenv", "profapi", "cryptbase", "dwmapi", "uxtheme"]
# Native first for every planted name but version: Wine's own user32 imports
# version.dll, so with an override for it a planted version.dll is loaded into
# every GUI program before the product runs a single instruction. That the
# product does not import version.dll itself is the import check of
# test_image.py; at run time it loads it by its full path.
PLANT_OVERRIDES = "shfolder,shell32,msi,userenv,profapi,cryptbase,dwmapi,uxtheme=n,b;msiexec.exe=n"
# The window system's library is loaded only when a box is due: planted too,
# for the runs that show one (a planted user32 in every run would break the
# harness's own programs).
PLANT_USER32_OVERRIDES = PLANT_OVERRIDES + ";user32=n,b"
PLANT_APP = r"C:\plant\app"      # wrapper.exe and the planted libraries beside it
PLANT_CWD = r"C:\plant\cwd"      # the current folder of the run, with the same libraries
PLANT_MARKS = r"C:\plant\marks"  # where a loaded planted library leaves its mark


class CurrentFolderSession:
    """The session seen by a prefix whose runs start in another current folder
    (the harness starts Wine in session.tmp)."""

    def __init__(self, session, folder):
        self._session = session
        self.tmp = folder

    def __getattr__(self, name):
        return getattr(self._session, name)


def planted_prefix(session):
    """A prefix with the planted libraries in PLANT_APP and PLANT_CWD, runs
    starting in PLANT_CWD, and the stand-in as system32\\msiexec.exe too (the
    win2003 path), so that Wine's own installer never runs here."""
    if not hasattr(session, "planted_prefix"):
        p = session.copy_prefix("planted")
        for folder in (PLANT_APP, PLANT_CWD):
            os.makedirs(p.unix(folder))
            for name in PLANTED:
                shutil.copy(os.path.join(session.programs, "plant.dll"), p.unix(folder + "\\" + name + ".dll"))
            shutil.copy(os.path.join(session.programs, "plant.dll"), p.unix(folder + r"\user32.dll"))
        shutil.copy(session.wrapper, p.unix(PLANT_APP + r"\wrapper.exe"))
        shutil.copy(os.path.join(session.programs, "loadlib.exe"), p.unix(PLANT_APP + r"\loadlib.exe"))
        shutil.copy(os.path.join(session.programs, "loadlib.exe"), p.unix(E2E_DIR + r"\loadlib.exe"))
        shutil.copy(os.path.join(session.programs, "msiexec.exe"), p.system_file("msiexec.exe"))
        # Wine's background services start from the session's folder with a
        # neutral environment before anything runs in the planted folder.
        p.start_server()
        p.session = CurrentFolderSession(session, p.unix(PLANT_CWD))
        session.planted_prefix = p
    return session.planted_prefix


def take_marks(prefix):
    """{library file name: programs that loaded it}, and the marks removed."""
    marks = {}
    for path in glob.glob(os.path.join(prefix.unix(PLANT_MARKS), "*.mark")):
        with open(path, encoding="latin-1") as f:
            marks[os.path.basename(path)[:-5]] = sorted(set(f.read().split()))
    shutil.rmtree(prefix.unix(PLANT_MARKS), ignore_errors=True)
    return marks


def run_planted(prefix, command_line, overrides=PLANT_OVERRIDES, **options):
    take_marks(prefix)
    r = prefix.run(command_line=command_line, dll_overrides=overrides,
                   extra_env={"PLANT_MARK_DIR": PLANT_MARKS}, **options)
    return r, take_marks(prefix)


CONTROL_ROWS = [
    # A program loading libraries by bare name does pick the planted ones up,
    # so the absence of marks below means something. Beside the program: any
    # name. From the current folder: only names without a file in system32
    # (Wine's placeholder files are found there first, as on Windows).
    ("beside the program", (PLANT_APP + r"\loadlib.exe", "shell32.dll", "shell32.dll", PLANT_APP)),
    ("in the current folder", (E2E_DIR + r"\loadlib.exe", "profapi.dll", "profapi.dll", E2E_DIR)),
    ("user32 beside the program", (PLANT_APP + r"\loadlib.exe", "user32.dll", "user32.dll", PLANT_APP)),
]


@table("planted libraries: control", CONTROL_ROWS)
def planted_control(session, row):
    program, library, mark, _ = row
    p = planted_prefix(session)
    r, marks = run_planted(p, quote_arg(program) + b" " + library.encode(), overrides=PLANT_USER32_OVERRIDES)
    check(mark in marks, "no mark of a planted %s loaded by name: %r (%s)" % (library, marks, r.describe()))
    equal(marks[mark], [program], "the program that loaded it")


@table("planted libraries: none loaded", [(v, v) for v in ("win7", "winxp", "win2003")])
def planted_none(session, version):
    p = planted_prefix(session)
    if version == "winxp":
        version = session.xp()[1]
    r, marks = run_planted(p, quote_arg(PLANT_APP + r"\wrapper.exe") + b" /s", version=version)
    equal(marks, {}, "planted libraries loaded (library: programs)")
    equal(r.exit_code, 0, "exit code (%s)" % r.describe())
    equal(len(r.runs), 1, "installer runs")
    base = p.local_low() if version == "win7" else p.roaming()
    installer = r"C:\windows\system32\msiexec.exe" if version in ("win2003", "winxp64") else r"C:\standin\msiexec.exe"
    equal(r.runs[0].command_line, installer_command(p.staging(base), b" /qn", installer=installer),
          "installer command line (the usual staging folder)")


@case("planted libraries: a message box comes from the system's user32, loaded when it is due")
def planted_box(session):
    # An overlong command line without /s: the only run-time load is the
    # window system's library, for the box.
    p = planted_prefix(session)
    r, marks = run_planted(p, quote_arg(PLANT_APP + r"\wrapper.exe") + b" /v" + b"p" * 1100,
                           overrides=PLANT_USER32_OVERRIDES)
    equal(marks, {}, "planted libraries loaded (library: programs)")
    equal(r.exit_code, 1639, "exit code (%s)" % r.describe())
    equal([(b.caption, b.text) for b in r.boxes],
          [("Error", "The command line is too long for the installer. The installation was not started.")],
          "message boxes")


@case("planted program: an empty InstallerLocation does not run \\msiexec.exe of the current drive")
def planted_root_msiexec(session):
    # The run's current folder is on C:, whose root holds a program named
    # msiexec.exe: an empty value must not turn into the path "\msiexec.exe".
    p = planted_prefix(session)
    shutil.copy(os.path.join(session.programs, "msiexec.exe"), p.unix(r"C:\msiexec.exe"))
    try:
        r = p.run(b"/s", installer_location=b"\0")
    finally:
        os.remove(p.unix(r"C:\msiexec.exe"))
    equal([run.command_line for run in r.runs], [], "programs run as the installer")
    equal(r.exit_code, 0xFFFFFFFD, "exit code")


# ---- the build

@case("reproducible build: a second build directory gives the same wrapper.exe", wine=False)
def reproducible(session):
    # Another directory, configured from scratch with the same toolchain,
    # build type and kit; only the wrapper target is built.
    other = session.variant("repro", [])
    check(os.path.abspath(other) != os.path.abspath(session.wrapper), "the same file")
    with open(session.wrapper, "rb") as f:
        first = f.read()
    with open(other, "rb") as f:
        second = f.read()
    differing = [i for i in range(min(len(first), len(second))) if first[i] != second[i]]
    check(len(first) == len(second) and not differing,
          "wrapper.exe differs: sizes %d and %d, %d bytes differ, first at 0x%x"
          % (len(first), len(second), len(differing), differing[0] if differing else -1))


# ---- staging faults

def fault_prefix(session):
    """A prefix of its own: the cases mount file systems over its staging folder."""
    if not hasattr(session, "fault_prefix"):
        p = session.copy_prefix("faults")
        os.makedirs(p.unix(r"C:\standin-hold"))
        shutil.copy(os.path.join(session.programs, "hold", "msiexec.exe"), p.unix(r"C:\standin-hold\msiexec.exe"))
        session.fault_prefix = p
    return session.fault_prefix


def mount_over_staging(prefix, options):
    """A small tmpfs over the per-user base folder, with the (empty) staging
    folder made in it; returns the mount's Linux path.

    The mount point is the base folder, not a folder below it: a mount point
    below the base folder is a reparse point, which the wrapper refuses before
    it writes anything. A read-only file system is remounted read-only after
    the folders are made, so that creating the first file meets it."""
    base = prefix.unix(prefix.local_low())
    os.makedirs(base, exist_ok=True)
    writable = ",".join(o for o in options.split(",") if o != "ro")
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", writable, "tmpfs", base],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if done.returncode != 0:
        raise HarnessError("cannot mount a tmpfs (root is needed): %s" % done.stdout.decode(errors="replace"))
    os.makedirs(prefix.unix(prefix.staging(prefix.local_low())))
    if "ro" in options.split(","):
        subprocess.run(["mount", "-o", "remount,ro", base], check=True)
    return base


def put_file_at_product_folder(prefix):
    """A file named like the product folder where the folder belongs."""
    family = os.path.dirname(prefix.unix(prefix.staging(prefix.local_low())))
    os.makedirs(family, exist_ok=True)
    with open(os.path.join(family, prefix.config.product_folder.split("\\")[-1]), "wb") as f:
        f.write(b"not a folder")


FAULT_ROWS = [
    # (row, set-up, mount options, stand-in, expected exit, expected message,
    #  what stays: {file name: "kit" | "part" | "empty"})
    ("disk full while the package is written", None, "size=16k", None,
     112, failure_text(WRITE_FILE, 112, "Disk full."), {PACKAGE: "part"}),
    # The package and the first cabinet fill the file system's 4 KiB pages:
    # the second cabinet meets a full disk while the installer waits for the
    # event, so the process ends with the error when the box is dismissed.
    # The installer's wait ends with the wrapper, however long the box takes.
    ("disk full while a cabinet is written", None, lambda session: "size=%dk" % (
        4 * sum(-(-len(session.kit_file(n)) // 4096) for n in (PACKAGE, CABINETS[0]))), {"WAIT_EVENT": 60000},
     112, failure_text(WRITE_FILE, 112, "Disk full."),
     {PACKAGE: "kit", CABINETS[0]: "kit", CABINETS[1]: "empty"}),
    ("staging folder on a read-only file system", None, "ro,size=16k", None,
     5, failure_text(CREATE_FILE, 5, "Access denied."), {}),
    ("a file where the product folder belongs", put_file_at_product_folder, None, None,
     3, failure_text(CREATE_FILE, 3, "Path not found."), None),
]


@table("staging fault", [(r[0], r) for r in FAULT_ROWS])
def staging_fault(session, row):
    _, setup, mount, standin, code, message, stays = row
    p = fault_prefix(session)
    clean = p.clean
    mounted = []

    def prepare():
        clean()
        if setup is not None:
            setup(p)
        if mount is not None:
            mounted.append(mount_over_staging(p, mount(session) if callable(mount) else mount))
    p.clean = prepare
    try:
        before = snapshot(p)
        r = p.run(b"/s", standin=standin)
        if standin:
            wait_for_standin(p)
        no_crash(r)
        equal(r.exit_code, code, "exit code (%s)" % r.describe())
        only_box(r, message)
        equal(len(r.runs), 1 if standin else 0, "installer runs")
        if stays is not None:
            folder = p.unix(p.staging(p.local_low()))
            left = {}
            for name in sorted(os.listdir(folder)):
                with open(os.path.join(folder, name), "rb") as f:
                    data = f.read()
                kit = session.kit_file(name)
                left[name] = ("kit" if data == kit else "empty" if not data else
                              "part" if kit.startswith(data) else "other")
            equal(left, stays, "files in the staging folder")
        equal(changed_outside(p, before, p.local_low()), [], "written outside the staging folder")
    finally:
        p.clean = clean
        for folder in mounted:
            subprocess.run(["umount", folder], check=True)
        p.clean()


@case("two runs at once: no crash, the staged files are the kit's")
def two_at_once(session):
    # The installer stand-in holds the package open for 1.5 s as the real
    # engine does; a run that stages meanwhile cannot replace it.
    p = fault_prefix(session)
    p.start_server()
    p.clean()
    env = p.env("en_US.UTF-8", {"STANDIN_HOLD_MS": "1500"})
    procs = []
    for n in (1, 2):
        job = "%s\\parallel-%d.txt" % (E2E_DIR, n)
        with open(p.unix(job), "w", newline="\n") as f:
            f.write("\t".join(("setval", "HKCU", r"Software\Wine", "Version", str(REG_SZ), sz("win7").hex())) + "\n")
            f.write("\t".join(("setval", "HKLM", INSTALLER_KEY, "InstallerLocation", str(REG_SZ),
                               sz(r"C:\standin-hold").hex())) + "\n")
            f.write("\t".join(("run", "60000", (quote_arg(WRAPPER) + b" /s").hex())) + "\n")
        result = p.unix("%s\\parallel-%d.result" % (E2E_DIR, n))
        if os.path.exists(result):
            os.remove(result)
        procs.append((subprocess.Popen([p.config.wine, E2E_DIR + r"\run_raw.exe", job, result], env=env,
                                       cwd=session.tmp, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL),
                      result))
    boxes = []
    for proc, _ in procs:
        boxes += session.watch_boxes(proc, p, "en_US.UTF-8", 75)
        proc.wait()
    codes = []
    for _, result in procs:
        with open(result) as f:
            exits = [line.split("\t")[1] for line in f.read().split("\n") if line.startswith("exit\t")]
        check(len(exits) == 1, "run_raw did not report an exit code")
        codes.append(int(exits[0], 16))
    # A run either installs (0) or meets the other run's open file and stops
    # with the sharing violation (32) and its CreateFile message.
    print("     two runs at once: exit codes %r" % codes)
    check(all(c in (0, 32) for c in codes), "exit codes %r" % codes)
    check(0 in codes, "no run installed: %r" % codes)
    sharing = failure_text(CREATE_FILE, 32, SHARING_TEXT)
    equal([(b.caption, b.text) for b in boxes], [("Error", sharing)] * codes.count(32), "message boxes")
    runs = wait_for_standin(p, codes.count(0))
    equal(len(runs), codes.count(0), "installer runs (one per run that exited 0: %r)" % codes)
    folder = p.staging(p.local_low())
    for name in [PACKAGE] + CABINETS:
        equal(p.read(folder + "\\" + name) == session.kit_file(name), True, name + " equals the kit file")


# ---- command lines

W = quote_arg(WRAPPER)
MAXIMUM = 32766  # characters before the terminator: CreateProcessA refuses 32767


def padded(total, tail, filler=b" "):
    """The wrapper's quoted name, filler, then tail: total characters in all."""
    count = total - len(W) - len(tail)
    return W + (filler * count)[:count] + tail


def many_properties(total):
    line = W + b" /s"
    n = 0
    while len(line) + 8 <= total:
        line += b" P%05d=" % n
        n += 1
    return line + b"x" * (total - len(line))


BINARY = bytes(range(1, 256))
# The tab and the blank end the first two arguments; the double quote opens a
# region that runs to the end, so every other byte, the backslash included,
# is kept as it is.
BINARY_FORWARDED = (bytes(range(1, 9)) + b" " + bytes(range(0x0A, 0x20)) + b" " + b"!" +
                    bytes(range(0x23, 0x100)) + b" ")

COMMAND_LINE_ROWS = [
    # (row, command line, locale, expected forwarded text or 1639, transform)
    ("1,000 characters: one argument, too long with the paths",
     W + b" /s " + b"a" * (1000 - len(W) - 4), "en_US.UTF-8", 1639, None),
    ("1,000 characters: mostly blanks", padded(1000, b"/s X=1"), "en_US.UTF-8", b"X=1  /qn", None),
    ("32,000 characters: one argument", W + b" /s " + b"b" * (32000 - len(W) - 4), "en_US.UTF-8", 1639, None),
    ("32,000 characters: blanks and tabs", padded(32000, b"/s", b" \t"), "en_US.UTF-8", b" /qn", None),
    ("maximum length: many properties", many_properties(MAXIMUM), "en_US.UTF-8", 1639, None),
    ("maximum length: blanks, then one property", padded(MAXIMUM, b"A=1"), "en_US.UTF-8", b"A=1 ", None),
    ("maximum length: one quoted argument", W + b' /s "' + b"q" * (MAXIMUM - len(W) - 5), "en_US.UTF-8", 1639, None),
    ("unbalanced quote", W + b' /s "A=1 B=2', "en_US.UTF-8", b"A=1 B=2  /qn", None),
    ("unbalanced /v quote", W + b' /v"P=1 /s', "en_US.UTF-8", b" P=1 /s ", None),
    ("lone backslashes", W + b" \\ a\\ b\\\\ \\\\\\", "en_US.UTF-8", b"\\ a\\ b\\\\ \\\\\\ ", None),
    ("backslashes before quotes", W + b' a\\"b c\\\\"d e"', "en_US.UTF-8", b'a"b c\\d e ', None),
    ("binary bytes 0x01-0xFF", W + b" " + BINARY, "en_US.UTF-8", BINARY_FORWARDED, None),
    # Code page 932: Wine's conversion of the command line to Unicode and back
    # drops a lead byte that ends the text, and turns a lead byte followed by
    # a blank into one character (0x81 0x45); the product keeps the pair
    # together, so the /s after it is no switch.
    ("Shift-JIS lead byte at the end", W + b" /s X\x95", "ja_JP.UTF-8", b"X  /qn", 1041),
    ("Shift-JIS lead byte before a blank", W + b" X\x95 /s", "ja_JP.UTF-8", b"X\x81\x45/s ", 1041),
]


@table("command line", [(r[0], r) for r in COMMAND_LINE_ROWS])
def command_line(session, row):
    _, line, locale, expected, transform = row
    p = session.shared()
    r = p.run(command_line=line, locale=locale)
    no_crash(r)
    if expected == 1639:
        equal(r.exit_code, 1639, "exit code (%s)" % r.describe())
        equal(len(r.runs), 0, "installer runs")
        equal(r.boxes, [], "message boxes with /s")
    else:
        equal(r.exit_code, 0, "exit code (%s)" % r.describe())
        equal(len(r.runs), 1, "installer runs")
        equal(r.runs[0].command_line, installer_command(p.staging(p.local_low()), expected, transform),
              "installer command line")


@case("command line: binary bytes on code page 932 end in one installer run")
def binary_cp932(session):
    # Lead bytes pair with the byte after them; Wine's conversion changes
    # pairs it cannot map, so only the frame of the command line is compared.
    p = session.shared()
    r = p.run(command_line=W + b" " + BINARY, locale="ja_JP.UTF-8")
    no_crash(r)
    equal(r.exit_code, 0, "exit code (%s)" % r.describe())
    equal(len(r.runs), 1, "installer runs")
    frame = installer_command(p.staging(p.local_low()), b"@@", 1041).split(b"@@")
    line = r.runs[0].command_line
    check(line.startswith(frame[0] + bytes(range(1, 9)) + b" ") and line.endswith(b"\xff " + frame[1]),
          "installer command line %r" % line)


# ---- the profile fallback

def install_envrun(prefix):
    path = E2E_DIR + r"\envrun.exe"
    if not prefix.exists(path):
        shutil.copy(os.path.join(prefix.session.programs, "envrun.exe"), prefix.unix(path))
    return path


PROFILE = r"C:\profile"
PROFILE_ROWS = [
    # (row, USERPROFILE, expected exit, expected message or None)
    ("short: the fallback is used", PROFILE, 0, None),
    ("300 characters", "C:\\" + "p" * 297, 3, failure_text(CREATE_FILE, 3, "Path not found.")),
    ("260 characters", "C:\\" + "p" * 257, 3, failure_text(CREATE_FILE, 3, "Path not found.")),
    ("259 characters: the composed path is too long", "C:\\" + "p" * 256, 206,
     failure_text(CREATE_FILE, 206, "File name is too long.")),
]


@table("profile fallback on winxp (no folder library loads)", [(r[0], r) for r in PROFILE_ROWS])
def profile_fallback(session, row):
    # With shfolder.dll and shell32.dll both refused by Wine the roaming
    # folder cannot be asked for: USERPROFILE is the base. Wine sets
    # USERPROFILE itself at start-up, so envrun sets it for the wrapper.
    _, profile, code, message = row
    p, version, installer, overrides = session.xp()
    envrun = install_envrun(p)
    os.makedirs(p.unix(PROFILE), exist_ok=True)
    before = snapshot(p)
    r = p.run(command_line=quote_arg(envrun) + b" " + W + b" /s", version=version,
              dll_overrides=";".join(filter(None, ["shfolder,shell32=d", overrides])),
              extra_env={"ENVRUN_SET": "USERPROFILE=" + profile})
    no_crash(r)
    equal(r.exit_code, code, "exit code (%s)" % r.describe())
    if message is None:
        equal(r.boxes, [], "message boxes")
        equal(r.runs[0].command_line, installer_command(p.staging(PROFILE), b" /qn", installer=installer),
              "installer command line")
        equal(changed_outside(p, before, PROFILE), [], "written outside the staging folder")
        shutil.rmtree(p.unix(PROFILE + r"\Velmor"))
    else:
        only_box(r, message)
        equal(len(r.runs), 0, "installer runs")
        equal(changed_outside(p, before, PROFILE), [], "written anywhere")
        check(not p.exists(PROFILE + r"\Velmor"), "something was staged")


@case("winxp without shfolder.dll: the roaming folder through shell32.dll")
def without_shfolder(session):
    p, version, installer, overrides = session.xp()
    r = p.run(b"/s", version=version, dll_overrides=";".join(filter(None, ["shfolder=d", overrides])))
    equal(r.exit_code, 0, "exit code (%s)" % r.describe())
    equal(r.runs[0].command_line, installer_command(p.staging(p.roaming()), b" /qn", installer=installer),
          "installer command line")


# ---- odd registry values

LOCATION_ROWS = [
    # (row, type, bytes, True when the stand-in runs, else the value counts as not found)
    ("empty REG_SZ", REG_SZ, b"\0", False),
    ("zero-length REG_SZ", REG_SZ, b"", False),
    # Wine's RegQueryValueExA adds the missing terminator of a REG_SZ and
    # counts it (Windows adds it only when there is room and does not count
    # it), so under Wine this value reaches the product as a terminated text.
    ("REG_SZ written without its terminator", REG_SZ, b"C:\\standin", True),
    ("REG_BINARY without terminator", REG_BINARY, b"C:\\standin", False),
    ("REG_DWORD 0x12345678", REG_DWORD, (0x12345678).to_bytes(4, "little"), False),
    ("REG_DWORD 0", REG_DWORD, bytes(4), False),
    ("REG_EXPAND_SZ with a terminated path", REG_EXPAND_SZ, sz("C:\\standin"), True),
    ("300 characters", REG_SZ, sz("C:\\" + "x" * 297), False),
    ("248 characters: msiexec.exe does not fit", REG_SZ, sz("C:\\" + "x" * 245), False),
]


@table("InstallerLocation", [(r[0], r) for r in LOCATION_ROWS])
def installer_location(session, row):
    _, type_, data, runs = row
    p = session.shared()
    r = p.run(b"/s", before=[("setval", "HKLM", INSTALLER_KEY, "InstallerLocation", str(type_), data.hex())])
    no_crash(r)
    if runs:
        equal(r.exit_code, 0, "exit code (%s)" % r.describe())
        equal([run.command_line for run in r.runs], [installer_command(p.staging(p.local_low()), b" /qn")],
              "installer command lines")
    else:
        equal(r.exit_code, 0xFFFFFFFD, "exit code (%s)" % r.describe())
        equal([run.command_line for run in r.runs], [], "installer command lines")
    equal(p.read(p.staging(p.local_low()) + "\\" + PACKAGE), session.kit_file(PACKAGE), "staged package")


STATUS_ROWS = [
    # Never a reinstall request, and left as it was.
    ("REG_NONE reinstall", REG_NONE, sz("reinstall")),
    ("REG_QWORD", REG_QWORD, (0x6c6174736e696572).to_bytes(8, "little")),
    ("REG_SZ of 64 KiB starting with reinstall", REG_SZ, b"reinstall" + b"\0" * (65536 - 9)),
]


def status_values(result):
    """The InstallStatus values read before and after the run, as (type,
    size, start) so that a long one prints short."""
    found = []
    for line in result.lines:
        f = line.split("\t")
        if f[:2] == ["value", "InstallStatus"]:
            data = bytes.fromhex(f[3])
            found.append((int(f[2]), len(data), data[:16]))
        elif f[:2] == ["novalue", "InstallStatus"]:
            found.append(None)
    return found


@table("InstallStatus", [(r[0], r) for r in STATUS_ROWS])
def install_status(session, row):
    _, type_, data = row
    p = session.shared()
    read = ("getval", VENDOR_ROOT, VENDOR_KEY, "InstallStatus")
    r = p.run(b"/s", before=[("setval", VENDOR_ROOT, VENDOR_KEY, "InstallStatus", str(type_), data.hex()), read],
              after=[read])
    no_crash(r)
    equal(r.exit_code, 0, "exit code (%s)" % r.describe())
    equal(len(r.runs), 1, "installer runs")
    before, after = status_values(r)
    check(before is not None and before[0] == type_, "the value was not set: %r" % (before,))
    equal(after, before, "InstallStatus afterwards (type, size, first bytes)")
