"""Wine harness for the end-to-end tests: private prefixes, a private X
display, raw command lines, the recording msiexec stand-in and message boxes.

Every Wine process of a test run is started through run_raw.exe, which first
applies the registry settings of the case (Windows version, InstallerLocation,
vendor key) and then starts the wrapper with an exact byte command line, so a
case costs one Wine start-up."""

import fcntl
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

from lib import prefix_template
from lib.wine_start import START_TRACE, note_start_failure, split_trace

EVENT_NAME = "VelmorTPZCabExtractWaitEvent"
PACKAGE = "tpz1.6.0_13.msi"
CABINETS = ["sd160130.cab", "ss160130.cab", "st160130.cab", "sj160130.cab",
            "sp160130.cab", "sz160130.cab", "sb160130.cab", "sr160130.cab"]
INSTALLER_KEY = r"SOFTWARE\Microsoft\Windows\CurrentVersion\Installer"
VENDOR_KEY = r"Software\TarskSoft"
# The vendor key is in the 32-bit registry view for every wrapper and package
# (the flag is ignored in a 32-bit prefix).
VENDOR_ROOT = "HKLM32"
STANDIN_DIR = r"C:\standin"          # holds the stand-in msiexec.exe
E2E_DIR = r"C:\e2e"                  # wrapper.exe, run_raw.exe, boxreader.exe, jobs
LOG_DIR = r"C:\e2e\log"              # the stand-in's records
WRAPPER = r"C:\e2e\wrapper.exe"
REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ = 1, 2, 3, 4, 7

# The ANSI code page Wine gives each locale (GetACP).
CODE_PAGES = {"en_US.UTF-8": "cp1252", "de_DE.UTF-8": "cp1252", "fr_FR.UTF-8": "cp1252",
              "ja_JP.UTF-8": "cp932", "zh_CN.UTF-8": "cp936", "zh_TW.UTF-8": "cp950",
              "ko_KR.UTF-8": "cp949"}


# Wine 8 has a win10 setting but none for Windows 11 (10.0, build 22000 and
# later). Without a Version setting it reads the version from the registry:
# CurrentVersion as "major.minor" (CurrentMajorVersionNumber is not read),
# CurrentBuildNumber and CSDVersion, in the registry view of the process's own
# kind (a 32-bit process in a 64-bit prefix reads the 32-bit view). The
# values stay in the prefix, but a later Version setting takes precedence.
NT_VERSION_KEY = r"Software\Microsoft\Windows NT\CurrentVersion"
WINDOWS_11_BUILD = 22000


def windows_version_lines(version):
    """Job lines that make the prefix show VERSION to the processes started
    after them: one of Wine's settings (win7, win10, winxp ...) or "win11"."""
    if version != "win11":
        return [("setval", "HKCU", r"Software\Wine", "Version", str(REG_SZ), sz(version).hex())]
    lines = [("delval", "HKCU", r"Software\Wine", "Version")]
    for root in ("HKLM32", "HKLM64"):
        for name, value in (("CurrentVersion", "10.0"), ("CurrentBuildNumber", str(WINDOWS_11_BUILD)),
                            ("CurrentBuild", str(WINDOWS_11_BUILD))):
            lines.append(("setval", root, NT_VERSION_KEY, name, str(REG_SZ), sz(value).hex()))
        lines.append(("delval", root, NT_VERSION_KEY, "CSDVersion"))
    return lines


class HarnessError(Exception):
    """The harness itself could not do its part (not a product failure)."""


def sz(text, encoding="ascii"):
    """Bytes of a REG_SZ value: the text and its terminator."""
    if isinstance(text, str):
        text = text.encode(encoding)
    return text + b"\0"


def quote_arg(path):
    return b'"' + path.encode("ascii") + b'"'


class Box:
    def __init__(self, fields):
        self.pid = int(fields[1])
        self.caption = bytes.fromhex(fields[2]).decode("utf-16le")
        self.text = bytes.fromhex(fields[3]).decode("utf-16le")
        self.caption_bytes = bytes.fromhex(fields[4])
        self.text_bytes = bytes.fromhex(fields[5])
        self.buttons = [bytes.fromhex(b).decode("utf-16le") for b in fields[6].split("|")] if fields[6] else []
        self.icon = fields[7].strip()

    def __repr__(self):
        return "Box(caption=%r, text=%r, buttons=%r)" % (self.caption, self.text, self.buttons)


class StandinRun:
    """One start of the stand-in msiexec.exe: its raw command line and facts."""

    def __init__(self, command_line, facts):
        self.command_line = command_line
        self.facts = facts                      # list of tab-split lines

    def fact(self, name):
        for f in self.facts:
            if f[0] == name:
                return f[1:]
        return None

    def files(self):
        return {f[1]: int(f[2]) for f in self.facts if f[0] == "file"}

    def file_hashes(self):
        """Name -> CRC-32 (8 hex digits) of the files present when they were looked up."""
        return {f[1]: f[3] for f in self.facts if f[0] == "file" and len(f) > 3}

    def watched(self, when):
        """The STANDIN_WATCH value at "before" or "after": (type, bytes), or None when absent."""
        for f in self.facts:
            if f[0] == "watch" and f[1] == when:
                if f[2] == "value":
                    return (int(f[3]), bytes.fromhex(f[4]))
                if f[2] == "absent":
                    return None
                raise HarnessError("stand-in watch: %r" % (f,))
        raise HarnessError("the stand-in recorded no %s value" % when)


class Result:
    def __init__(self, lines, boxes, runs, elapsed, stderr):
        self.lines = lines
        self.boxes = boxes
        self.runs = runs
        self.elapsed = elapsed
        self.stderr = stderr
        self.exit_code = None
        self.timed_out = False
        self.snapshot = None                    # what the display and the prefix held before a time-out
        self.values = {}
        self.keys = {}                          # keyinfo: key -> (subkeys, values) or None
        for line in lines:
            f = line.split("\t")
            if f[0] == "exit":
                self.exit_code = int(f[1], 16)
            elif f[0] == "timeout":
                self.timed_out = True
            elif f[0] == "value":
                self.values[f[1]] = (int(f[2]), bytes.fromhex(f[3]))
            elif f[0] == "novalue":
                self.values[f[1]] = None
            elif f[0] == "key":
                self.keys[f[1]] = (int(f[2]), int(f[3]))
            elif f[0] == "nokey":
                self.keys[f[1]] = None
            elif f[0] in ("error", "nostart"):
                raise HarnessError("run_raw: %s" % line)

    def describe(self):
        text = "exit=%s boxes=%r runs=%d" % (
            "timeout" if self.timed_out else ("0x%08x" % self.exit_code if self.exit_code is not None else None),
            self.boxes, len(self.runs))
        if self.timed_out and self.snapshot:
            text += "\n" + self.snapshot
        return text


def run_setup(args, env, cwd):
    """A Wine command of the harness's own set-up (no product code runs in
    it): one failure is run again, with a note. It runs without the start
    trace and its output goes to a file, because the background services it
    may start keep its environment and output for the rest of the run."""
    log = os.path.join(cwd, "setup.log")
    for attempt in (1, 2):
        start = time.monotonic()
        with open(log, "wb") as f:
            code = subprocess.run(args, env=env, cwd=cwd, stdout=f, stderr=f).returncode
        if code == 0:
            return
        with open(log, "rb") as f:
            output = f.read()
        if attempt == 1:
            note_start_failure(" ".join(args[1:]), time.monotonic() - start, output)
    raise HarnessError("%s failed twice (exit %d)" % (" ".join(args), code))


def remove_tree(path):
    """Removes a folder tree, or the symbolic link that a case planted in its
    place (rmtree refuses a link and would leave it for the next case)."""
    if os.path.islink(path):
        os.unlink(path)
    else:
        shutil.rmtree(path, ignore_errors=True)


class Prefix:
    """A private Wine prefix of the session's configuration with the test programs installed."""

    def __init__(self, session, path):
        self.session = session
        self.config = session.config
        self.path = path
        self.drive_c = os.path.join(path, "drive_c")
        users = [u for u in os.listdir(os.path.join(self.drive_c, "users")) if u != "Public"]
        if len(users) != 1:
            raise HarnessError("cannot tell the prefix's user from %r" % users)
        self.user = users[0]
        self.counter = 0
        self.server_started = False

    # ---- paths
    def unix(self, windows_path):
        """The Linux path of a C: path of this prefix."""
        if not windows_path[:3].upper() == "C:\\":
            raise HarnessError("not a C: path: %s" % windows_path)
        return os.path.join(self.drive_c, *windows_path[3:].split("\\"))

    def local_low(self):
        return r"C:\users\%s\AppData\LocalLow" % self.user

    def roaming(self):
        return r"C:\users\%s\AppData\Roaming" % self.user

    def staging(self, base):
        """The staging folder below a base folder (Windows path)."""
        return base + "\\" + self.config.product_folder

    def system_file(self, name):
        """The Linux path of C:\\windows\\system32\\NAME as the wrapper's process sees it."""
        return os.path.join(self.drive_c, "windows", self.config.system_folder, name)

    def env(self, locale="en_US.UTF-8", extra=None):
        env = {k: v for k, v in os.environ.items()
               if not (k.startswith("LC_") or k in ("LANG", "LANGUAGE") or k.startswith("STANDIN_")
                       or k.startswith("WINE"))}
        env.update(WINEPREFIX=self.path, WINEARCH=self.config.winearch, WINEDEBUG="-all",
                   DISPLAY=self.session.display, LC_ALL=locale, STANDIN_DIR=LOG_DIR)
        env.update(extra or {})
        return env

    # ---- set-up
    def install_programs(self):
        os.makedirs(self.unix(E2E_DIR), exist_ok=True)
        os.makedirs(self.unix(STANDIN_DIR), exist_ok=True)
        progs = self.session.programs
        for name in ("run_raw.exe", "boxreader.exe", "hostile.exe", "desktop_keeper.exe"):
            shutil.copy(os.path.join(progs, name), self.unix(E2E_DIR))
        shutil.copy(os.path.join(progs, "msiexec.exe"), self.unix(STANDIN_DIR))
        shutil.copy(self.session.wrapper, self.unix(WRAPPER))

    def start_server(self):
        """A persistent wineserver keeps the prefix warm between cases."""
        if not self.server_started:
            subprocess.run(["wineserver", "-p"], env=self.env(), check=True)
            # Wine's background services start with the first program and keep
            # its environment and output: start them with a neutral one.
            run_setup([self.config.wine, "cmd", "/c", "exit"], self.env(), self.session.tmp)
            self.hold_desktop()
            self.server_started = True

    def hold_desktop(self):
        """Starts Wine's desktop process once, with a neutral environment, and
        keeps it for the whole run (desktop_keeper.c says why)."""
        out_path = os.path.join(self.session.tmp, "keeper-%s.txt" % os.path.basename(self.path))
        with open(out_path, "wb") as out:
            self.keeper = subprocess.Popen([self.config.wine, E2E_DIR + r"\desktop_keeper.exe"],
                                           env=self.env(), cwd=self.session.tmp, stdout=out,
                                           stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 180
        while True:
            with open(out_path, "rb") as f:
                output = f.read()
            if re.search(rb"^desktop [1-9][0-9]*\r?$", output, re.M):
                return
            if self.keeper.poll() is not None or time.monotonic() > deadline:
                raise HarnessError("the desktop keeper did not report the desktop (exit %s): %r"
                                   % (self.keeper.poll(), output[-2000:]))
            time.sleep(0.1)

    def stop(self):
        subprocess.run(["wineserver", "-k"], env=self.env(), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        keeper, self.keeper = getattr(self, "keeper", None), None
        if keeper is not None:
            try:
                keeper.wait(30)
            except subprocess.TimeoutExpired:
                keeper.kill()
                keeper.wait()
        self.server_started = False

    def clean(self):
        """Removes what earlier cases left: staging folders and stand-in records."""
        for base in (self.local_low(), self.roaming()):
            remove_tree(self.unix(base + r"\Velmor"))
        shutil.rmtree(self.unix(LOG_DIR), ignore_errors=True)
        os.makedirs(self.unix(LOG_DIR))

    # ---- a case
    def run(self, arguments=b"", *, locale="en_US.UTF-8", version="win7",
            installer_location=STANDIN_DIR, command_line=None, standin=None, before=(), after=(),
            dll_overrides=None, timeout=60, extra_env=None, expect_exit_1=False):
        """Starts the wrapper once and returns a Result.

        arguments: raw bytes after the program name (a blank is put between).
        installer_location: a Windows path, raw bytes of a REG_SZ value
            (terminator included), or None to delete the value.
        standin: STANDIN_* settings without the prefix (EXIT, REG, WAIT_EVENT ...).
        before/after: extra job lines (tuples of fields) around the run.
        expect_exit_1: the wrapper is meant to end with 1 without starting the
            installer, which is never taken for Wine failing to start it."""
        self.start_server()
        self.clean()
        job = windows_version_lines(version) + [("delkey", VENDOR_ROOT, VENDOR_KEY)]
        if installer_location is None:
            job.append(("delval", "HKLM", INSTALLER_KEY, "InstallerLocation"))
        else:
            data = installer_location if isinstance(installer_location, bytes) else sz(installer_location)
            job.append(("setval", "HKLM", INSTALLER_KEY, "InstallerLocation", str(REG_SZ), data.hex()))
        job.extend(before)
        if command_line is None:
            command_line = quote_arg(WRAPPER) + (b" " + arguments if arguments else b"")
        job.append(("run", str(timeout * 1000), command_line.hex()))
        job.extend(after)

        self.counter += 1
        job_path = "%s\\job-%d.txt" % (E2E_DIR, self.counter)
        result_path = "%s\\result-%d.txt" % (E2E_DIR, self.counter)
        with open(self.unix(job_path), "w", newline="\n") as f:
            for line in job:
                f.write("\t".join(line) + "\n")
        extra = {"STANDIN_" + k: str(v) for k, v in (standin or {}).items()}
        if dll_overrides:
            extra["WINEDLLOVERRIDES"] = dll_overrides
        extra.update(extra_env or {})
        env = self.env(locale, extra)

        # Wine traces process starts and DLL loads of the run (kept apart from
        # its other output), so that a start that dies can be told and looked into.
        env["WINEDEBUG"] = START_TRACE
        # Wine's output goes to a file: a pipe could be held open by processes
        # that outlive the case.
        for attempt in (1, 2):
            stderr_path = os.path.join(self.session.tmp, "stderr-%s-%d-%d.txt"
                                       % (os.path.basename(self.path), self.counter, attempt))
            start = time.monotonic()
            with open(stderr_path, "wb") as stderr_file:
                proc = subprocess.Popen([self.config.wine, E2E_DIR + r"\run_raw.exe", job_path, result_path],
                                        env=env, cwd=self.session.tmp, stdout=stderr_file, stderr=stderr_file)
                boxes = self.session.watch_boxes(proc, self, locale, timeout + 15)
                proc.wait()
            elapsed = time.monotonic() - start
            snapshot, self.session.snapshot = self.session.snapshot, None
            with open(stderr_path, "rb") as f:
                err, trace = split_trace(f.read())
            try:
                with open(self.unix(result_path), encoding="ascii") as f:
                    lines = [l for l in f.read().split("\n") if l]
            except FileNotFoundError:
                lines = None
            if (attempt == 1 and not expect_exit_1
                    and self._wine_start_failed(lines, proc.returncode, err, boxes, installer_location)):
                note_start_failure("run_raw.exe", elapsed, trace)
                os.remove(stderr_path)
                if os.path.exists(self.unix(result_path)):
                    os.remove(self.unix(result_path))
                self.clean()
                continue
            if lines is None:
                raise HarnessError("run_raw wrote no result (exit %s): %s"
                                   % (proc.returncode, err.decode(errors="replace")[-2000:]))
            break
        result = Result(lines, boxes, self.standin_runs(), elapsed, err)
        result.snapshot = snapshot
        return result

    def _wine_start_failed(self, lines, returncode, err, boxes, installer_location):
        """Whether a run met Wine's rare failure to start a process (about once
        in four full runs, never in a case run alone, cause not found): a
        process ends with 1 at once, silently. Either run_raw itself wrote no
        report, or the wrapper ended with 1 although the stand-in installer was
        there to start, and it never recorded a start. Neither shows a box.
        Only a case with the prefix's own clean-up is run again."""
        if boxes or self.standin_runs() or err or "clean" in self.__dict__:
            return False
        if lines is None:
            return returncode == 1
        standin_there = (isinstance(installer_location, str)
                         and os.path.exists(self.unix(installer_location + "\\msiexec.exe")))
        return standin_there and Result(lines, [], [], 0, b"").exit_code == 1

    def standin_runs(self):
        runs = []
        n = 1
        while os.path.exists(self.unix(r"%s\run-%d.cmd" % (LOG_DIR, n))):
            with open(self.unix(r"%s\run-%d.cmd" % (LOG_DIR, n)), "rb") as f:
                command_line = f.read()
            facts = []
            try:
                with open(self.unix(r"%s\run-%d.txt" % (LOG_DIR, n)), encoding="latin-1") as f:
                    facts = [l.split("\t") for l in f.read().split("\n") if l]
            except FileNotFoundError:
                pass
            runs.append(StandinRun(command_line, facts))
            n += 1
        return runs

    def standin_log(self, run):
        """The real installer's log of a pass-through run (STANDIN_PASS_LOG), as text."""
        with open(self.unix(r"%s\run-%d.log" % (LOG_DIR, run)), "rb") as f:
            data = f.read()
        if data[:2] == b"\xff\xfe":
            return data[2:].decode("utf-16le", "replace")
        return data.decode("latin-1")

    def install_variant(self, name, exe):
        r"""Copies another build of wrapper.exe to C:\e2e\NAME\wrapper.exe (same
        program name, so its message boxes are still found); returns that path."""
        path = "%s\%s\wrapper.exe" % (E2E_DIR, name)
        os.makedirs(os.path.dirname(self.unix(path)), exist_ok=True)
        shutil.copy(exe, self.unix(path))
        return path

    def read(self, windows_path):
        with open(self.unix(windows_path), "rb") as f:
            return f.read()

    def exists(self, windows_path):
        return os.path.exists(self.unix(windows_path))


class Session:
    """One test run: a temp dir, a private X display and the Wine prefixes."""

    def __init__(self, build_dir, config):
        self.config = config
        self.build_dir = os.path.abspath(build_dir)
        self.wrapper = os.path.join(self.build_dir, "wrapper.exe")
        self.programs = os.path.join(self.build_dir, "e2e")
        self.kit_dir = self._kit_dir()
        for path in (self.wrapper, os.path.join(self.programs, "run_raw.exe")):
            if not os.path.exists(path):
                raise HarnessError("missing %s: build the win32 preset first" % path)
        self.tmp = tempfile.mkdtemp(prefix="wrapper-e2e-")
        self.prefixes = []
        self.xvfb = None
        self.display = None
        self.template = None
        self._shared = None
        self._system = None
        self.snapshot = None

    def _kit_dir(self):
        """The folder of the package and cabinets wrapper.exe carries: a
        signing build embeds a signed copy of WRAPPER_KIT_DIR."""
        try:
            return self.cache_value("WRAPPER_EMBEDDED_KIT_DIR")
        except HarnessError:  # a build folder configured before that setting
            return self.cache_value("WRAPPER_KIT_DIR")

    def cache_value(self, name):
        """A setting of the build folder's CMake cache."""
        cache = os.path.join(self.build_dir, "CMakeCache.txt")
        with open(cache) as f:
            for line in f:
                m = re.match(r"%s:[A-Z]+=(.*)$" % re.escape(name), line.strip())
                if m:
                    return m.group(1)
        raise HarnessError("%s not in %s" % (name, cache))

    def variant(self, name, omit=(), full_size=False):
        """Another build of wrapper.exe, in BUILD_DIR/../e2e-BUILD-NAME: without the
        payload resources named in omit, embedding the same kit, or with
        full_size a full-size sample kit of its own (in that build's kit/).
        Configured and built once per test run (only the wrapper target, with
        the kit it needs). A signing build's variant is signed with the same
        settings: it signs the same unsigned kit again in its own folder (a
        full-size kit is embedded as built, where its callers read it).
        Returns the path of its wrapper.exe."""
        cache = getattr(self, "_variants", None)
        if cache is None:
            cache = self._variants = {}
        if name not in cache:
            source = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))
            out = os.path.join(os.path.dirname(self.build_dir),
                               "e2e-%s-%s" % (os.path.basename(self.build_dir), name))
            kit_dir = os.path.join(out, "kit") if full_size else os.path.abspath(self.cache_value("WRAPPER_KIT_DIR"))
            kit_options = (["-DWRAPPER_BUILD_KIT=ON", "-DWRAPPER_FULL_SIZE_KIT=ON"] if full_size
                           else ["-DWRAPPER_BUILD_KIT=OFF"])
            kit_options += ["-D%s=%s" % setting for setting in self.signing_settings().items()]
            if full_size:
                kit_options.append("-DWRAPPER_SIGN_KIT=OFF")
            log = os.path.join(self.tmp, "variant-%s.log" % name)
            # Suites of the same build side by side build each variant once:
            # the second waits for the first, and its build then does nothing.
            os.makedirs(os.path.dirname(out), exist_ok=True)
            with open(out + ".lock", "w") as lock, open(log, "wb") as f:
                fcntl.flock(lock, fcntl.LOCK_EX)
                configure = subprocess.run(
                    ["cmake", "-S", source, "-B", out,
                     "-DCMAKE_TOOLCHAIN_FILE=" + self.cache_value("CMAKE_TOOLCHAIN_FILE"),
                     "-DWRAPPER_ARCH_TAG=" + self.cache_value("WRAPPER_ARCH_TAG"),
                     "-DCMAKE_BUILD_TYPE=MinSizeRel", "-DWRAPPER_OMIT_RESOURCES=" + ";".join(omit),
                     "-DWRAPPER_KIT_DIR=" + kit_dir] + kit_options,
                    stdout=f, stderr=subprocess.STDOUT)
                build = configure.returncode == 0 and subprocess.run(
                    ["cmake", "--build", out, "--target", "wrapper", "-j2"],
                    stdout=f, stderr=subprocess.STDOUT).returncode == 0
            if not build:
                with open(log, errors="replace") as f:
                    raise HarnessError("building the %s variant failed:\n%s" % (name, f.read()[-3000:]))
            cache[name] = os.path.join(out, "wrapper.exe")
        return cache[name]

    def signing_settings(self):
        """The build's WRAPPER_SIGN_* settings that its cache holds."""
        settings = {}
        for name in ("WRAPPER_SIGN_CERT", "WRAPPER_SIGN_KEY", "WRAPPER_SIGN_PKCS12",
                     "WRAPPER_SIGN_PASSWORD_FILE", "WRAPPER_SIGN_TIMESTAMP_URL", "WRAPPER_SIGN_TIME",
                     "WRAPPER_SIGN_KIT"):
            try:
                settings[name] = self.cache_value(name)
            except HarnessError:
                pass
        return settings

    def kit_file(self, name):
        with open(os.path.join(self.kit_dir, name), "rb") as f:
            return f.read()

    # ---- display
    def start_display(self):
        """A private X display. Xvfb picks a free display number itself and
        reports it (-displayfd), so suites started side by side never race
        for one and never share one."""
        read_end, write_end = os.pipe()
        proc = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                                 "-nolisten", "tcp"], pass_fds=(write_end,),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as reader:
            number = reader.readline().strip()   # written once the display accepts clients
        if not number.isdigit():
            if proc.poll() is None:
                proc.kill()
            proc.wait()
            raise HarnessError("could not start Xvfb (exit %s)" % proc.returncode)
        self.xvfb, self.display = proc, ":" + number

    # ---- prefixes
    def make_template(self):
        self.template = prefix_template.template(self.config, self.tmp, self.display)

    def copy_prefix(self, name):
        """A fresh copy of the template, for cases that change system files."""
        if self.template is None:
            self.make_template()
        path = os.path.join(self.tmp, name)
        subprocess.run(["cp", "-a", self.template, path], check=True)
        prefix = Prefix(self, path)
        prefix.install_programs()
        self.prefixes.append(prefix)
        return prefix

    def system_standin(self):
        """A prefix whose system32\\msiexec.exe (as the wrapper sees it) is the stand-in:
        the installer of systems that report version 5.2."""
        if self._system is None:
            p = self.copy_prefix("system")
            shutil.copy(os.path.join(self.programs, "msiexec.exe"), p.system_file("msiexec.exe"))
            self._system = p
        return self._system

    def xp(self):
        """How an XP case runs here: (prefix, version, installer path, DLL
        overrides it needs). No 64-bit Windows reports 5.1 (XP x64 is 5.2),
        so in a 64-bit prefix the case runs as XP x64, where the wrapper
        takes the same roaming-folder path but msiexec.exe from the system
        directory; Wine's own msiexec.exe is replaced by the stand-in there."""
        if self.config.winearch == "win32":
            return self.shared(), "winxp", STANDIN_DIR + r"\msiexec.exe", ""
        return self.system_standin(), "winxp64", r"C:\windows\system32\msiexec.exe", "msiexec.exe=n"

    def shared(self):
        """The prefix reused by all cases that leave system files alone."""
        if self._shared is None:
            self._shared = self.copy_prefix("shared")
        return self._shared

    # ---- message boxes
    def watch_boxes(self, proc, prefix, locale, limit):
        """While proc runs, reads every message box of the wrapper or an
        msiexec.exe and dismisses it with the Return key."""
        boxes = []
        deadline = time.monotonic() + limit
        # A run still going shortly before run_raw's own time-out is looked
        # at once, so that a failure can say what was on the display then.
        look = deadline - 20
        env = prefix.env(locale)
        while proc.poll() is None:
            if look is not None and time.monotonic() > look:
                self.snapshot, look = self.look_at(prefix), None
            if time.monotonic() > deadline:
                proc.kill()
                raise HarnessError("run did not end within %d s" % limit)
            windows = self._box_windows()
            if windows:
                out = self._read_boxes(env)
                for line in out.stdout.decode("ascii", "replace").splitlines():
                    if line.startswith("box\t"):
                        boxes.append(Box(line.split("\t")))
                for w in windows:
                    subprocess.run(["xdotool", "windowfocus", "--sync", w], env=env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=10)
                    subprocess.run(["xdotool", "key", "Return"], env=env, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, timeout=10)
                # Wait for the box to go before looking for another one.
                gone = time.monotonic() + 10
                while proc.poll() is None and set(self._box_windows()) & set(windows) and time.monotonic() < gone:
                    time.sleep(0.2)
            time.sleep(0.2)
        return boxes

    def _read_boxes(self, env):
        """boxreader.exe's report of the boxes shown. It looks for 3 s before
        it gives up with 1, so an exit 1 well before that, with nothing
        printed, is Wine failing to start it: that start is run again."""
        env = dict(env, WINEDEBUG=START_TRACE)
        for attempt in (1, 2):
            start = time.monotonic()
            out = subprocess.run([self.config.wine, E2E_DIR + r"\boxreader.exe", "3000"], env=env,
                                 cwd=self.tmp, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=30)
            elapsed = time.monotonic() - start
            if attempt == 1 and out.returncode == 1 and not out.stdout and elapsed < 2.5:
                note_start_failure("boxreader.exe", elapsed, split_trace(out.stderr)[1])
                continue
            return out

    def look_at(self, prefix):
        """The windows of the display (name and class) and the Wine processes
        of the prefix, as text."""
        lines = ["  windows of %s:" % self.display]
        xenv = {"DISPLAY": self.display, "PATH": os.environ.get("PATH", "")}
        ids = subprocess.run(["xdotool", "search", "--name", ""], env=xenv, stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL).stdout.decode().split()
        visible = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", ""], env=xenv,
                                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout.decode().split()
        for w in ids:
            facts = []
            for what in ("getwindowname", "getwindowclassname", "getwindowgeometry"):
                out = subprocess.run(["xdotool", what, w], env=xenv, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL).stdout.decode(errors="replace")
                facts.append(" ".join(out.split()))
            lines.append("    %s %s %r %s" % (w, "visible" if w in visible else "hidden", facts[0], facts[1:]))
        lines.append("  Wine processes of %s:" % prefix.path)
        marker = ("WINEPREFIX=" + prefix.path).encode()
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open("/proc/%s/environ" % pid, "rb") as f:
                    if marker not in f.read().split(b"\0"):
                        continue
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    command = f.read().replace(b"\0", b" ").decode(errors="replace")
                with open("/proc/%s/stat" % pid) as f:
                    state = f.read().rsplit(")", 1)[1].split()[0]
            except OSError:
                continue
            lines.append("    %s %s %s" % (pid, state, command.strip()))
        return "\n".join(lines)

    def _box_windows(self):
        out = subprocess.run(["xdotool", "search", "--onlyvisible", "--class", r"^(wrapper|msiexec)\.exe$"],
                             env={"DISPLAY": self.display, "PATH": os.environ.get("PATH", "")},
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        return out.stdout.decode().split()

    def close(self):
        for prefix in self.prefixes:
            prefix.stop()
        if self.template:
            env = dict(os.environ, WINEPREFIX=self.template)
            subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if self.xvfb is not None:
            self.xvfb.send_signal(signal.SIGTERM)
            try:
                self.xvfb.wait(5)
            except subprocess.TimeoutExpired:
                self.xvfb.kill()
        shutil.rmtree(self.tmp, ignore_errors=True)
