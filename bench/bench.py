#!/usr/bin/python3
"""Measures one edition of wrapper.exe under Wine against references taken in
the same run, and writes the results file with a section per edition.

  bench.py measure --edition EDITION --wine LOADER --full EXE --small EXE --kit DIR
                   --reps N --section FILE --svg FILE
      measures, prints the table, writes the edition's Markdown section to
      FILE and the timeline of a typical whole job to the SVG file;
  bench.py report --out docs/benchmarks.md --measured EDITION=SECTION_FILE ...
                  [--skipped EDITION=REASON ...]
      writes the results file: the sections measured now, and for an edition
      not measured now its section from the earlier file, marked as such.

Called by bench/run.sh once the executables, the kits and the Wine prefix
exist. Every figure is the median of REPS repetitions, and every ratio
compares medians of the same run.

Time stamps come from QueryPerformanceCounter in the Windows programs of
bench/programs (under Wine the Linux CLOCK_MONOTONIC_RAW), so they are
comparable across processes and with the Linux side (timeline.clock_ns):
  launch.exe   stamps just before it starts a program and when that ended
               (and, for the timeline, when it saw the ready event set);
  msiexec.exe  (stand-in) stamps its own start and the moment the
               cabinets-ready event was set, and reads its parent's memory.
"""
import argparse
import datetime
import os
import pathlib
import platform
import re
import shutil
import statistics
import subprocess
import sys
import time

import pefile

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import timeline  # noqa: E402

INSTALLER_KEY = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Installer"
PACKAGE = "tpz1.6.0_13.msi"
CABINETS = ["sd160130.cab", "ss160130.cab", "st160130.cab", "sj160130.cab",
            "sp160130.cab", "sz160130.cab", "sb160130.cab", "sr160130.cab"]  # writing order
DD_TIME = re.compile(r"copied, ([0-9.e+-]+) s")
INSTALL_LOG = r"C:\bench\install.log"

# The editions, in the order of the results file.
EDITIONS = {
    "win32": {"title": "32-bit edition (win32)",
              "what": "the 32-bit `wrapper.exe` with the i586 kit, in a 32-bit Wine prefix",
              "staging": "tpz1.6.0_13"},
    "win64": {"title": "x64 edition (win64)",
              "what": "the native 64-bit `wrapper.exe` with the amd64 kit, in a 64-bit Wine prefix",
              "staging": "tpz1.6.0_13_x64"},
    "win-arm64": {"title": "arm64 edition (win-arm64)",
                  "what": "the native arm64 `wrapper.exe` with the arm64 kit, in a 64-bit prefix of arm64 Wine",
                  "staging": "tpz1.6.0_13"},
}


def product_code(package):
    """The package's ProductCode, read from its Property table."""
    table = subprocess.run(["msiinfo", "export", str(package), "Property"], check=True,
                           stdout=subprocess.PIPE, text=True).stdout
    for line in table.splitlines():
        name, _, value = line.partition("\t")
        if name == "ProductCode":
            return value.strip()
    raise RuntimeError("%s has no ProductCode" % package)


class Bench:
    def __init__(self, args):
        self.args = args
        self.edition = getattr(args, "edition", "win32")
        self.loader = getattr(args, "wine", None) or "wine"
        self.prefix = pathlib.Path(os.environ["WINEPREFIX"])
        self.drive = self.prefix / "drive_c"
        self.work = self.drive / "bench"  # C:\bench
        self.full = pathlib.Path(args.full).resolve()
        self.small = pathlib.Path(args.small).resolve()
        self.kit = pathlib.Path(args.kit).resolve()
        users = sorted((self.drive / "users").glob("*/AppData/LocalLow"))
        users = [u for u in users if u.parent.parent.name != "Public"]
        if not users:
            sys.exit("bench: no LocalLow folder in the prefix")
        self.locallow = users[0]
        self.staging = self.locallow.joinpath("Velmor", "Tarsk", EDITIONS[self.edition]["staging"])
        self.files = {n: (self.kit / n).stat().st_size for n in [PACKAGE, *CABINETS]}
        self.cab_bytes = sum(self.files[c] for c in CABINETS)
        self.product_code = product_code(self.kit / PACKAGE)

    # ---- Wine helpers
    def wine(self, *argv, env=None, check=True):
        run_env = dict(os.environ)
        run_env.update(env or {})
        result = subprocess.run([self.loader, *argv], env=run_env, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True, errors="replace")
        if check and result.returncode != 0:
            raise RuntimeError("wine %s: exit %d\n%s" % (argv, result.returncode, result.stdout))
        return result

    def set_installer(self, folder):
        self.wine("reg", "add", INSTALLER_KEY, "/v", "InstallerLocation", "/d", folder, "/f")

    @staticmethod
    def win_path(path):
        return "Z:" + str(path).replace("/", "\\")

    def records(self, name):
        facts = {}
        path = self.work / name
        if path.exists():
            for line in path.read_text(errors="replace").splitlines():
                key, _, value = line.partition(" ")
                facts[key] = value
        return facts

    def clear_records(self):
        for name in ("launch.txt", "standin.txt"):
            (self.work / name).unlink(missing_ok=True)

    def launch(self, *command, env=None):
        """Runs launch.exe COMMAND; returns (launch record, stand-in record)."""
        self.clear_records()
        run_env = {"BENCH_LAUNCH_OUT": r"C:\bench\launch.txt",
                   "BENCH_STANDIN_OUT": r"C:\bench\standin.txt"}
        run_env.update(env or {})
        self.wine(r"C:\bench\launch.exe", *command, env=run_env)
        launch = self.records("launch.txt")
        if launch.get("exit") != "0":
            raise RuntimeError("%s: %s" % (command, launch))
        return launch, self.records("standin.txt")

    def fresh_staging(self):
        shutil.rmtree(self.staging, ignore_errors=True)
        os.sync()  # earlier writes do not compete with the timed ones

    def uninstall(self):
        self.wine("msiexec", "/x", self.product_code, "/qn", check=False)

    # ---- 1 and 2: cabinet throughput and installer start, with the stand-in
    def dd_cabinets(self):
        """dd bs=8192 of the eight cabinets into a fresh folder beside the staging folder."""
        target = self.locallow / "bench-dd"
        shutil.rmtree(target, ignore_errors=True)
        target.mkdir()
        os.sync()
        seconds = 0.0
        for cab in CABINETS:
            out = subprocess.run(["dd", "if=%s" % (self.kit / cab), "of=%s" % (target / cab),
                                  "bs=8192"], stderr=subprocess.PIPE, text=True, check=True)
            seconds += float(DD_TIME.search(out.stderr).group(1))
        shutil.rmtree(target)
        return seconds

    def standin_runs(self, reps):
        self.set_installer(r"C:\bench\standin")
        rows = {"wrapper_start": [], "cab_wait": [], "cab_all": [], "trivial_start": [],
                "small_start": [], "dd": []}
        full = self.win_path(self.full)
        small = self.win_path(self.small)
        for rep in range(reps + 1):  # the first round warms the page cache and wineserver
            self.fresh_staging()
            launch, standin = self.launch(full, "/s")
            if "ready" not in standin:
                raise RuntimeError("stand-in saw no ready event: %s" % standin)
            start = (int(standin["start"]) - int(launch["launch"])) / 1e9
            wait = (int(standin["ready"]) - int(standin["start"])) / 1e9
            every = (int(standin["ready"]) - int(launch["launch"])) / 1e9
            self.fresh_staging()
            launch_s, standin_s = self.launch(small, "/s")
            small_start = (int(standin_s["start"]) - int(launch_s["launch"])) / 1e9
            launch_t, standin_t = self.launch(r"C:\bench\trivial.exe",
                                              r"C:\bench\standin\msiexec.exe")
            trivial = (int(standin_t["start"]) - int(launch_t["launch"])) / 1e9
            dd = self.dd_cabinets()
            if rep == 0:
                continue
            for key, value in (("wrapper_start", start), ("cab_wait", wait), ("cab_all", every),
                               ("trivial_start", trivial), ("small_start", small_start),
                               ("dd", dd)):
                rows[key].append(value)
            print("  round %d: start %.1f ms (trivial %.1f, small kit %.1f), cabinets %.1f ms "
                  "after the installer's start (dd %.1f ms)" % (
                      rep, start * 1e3, trivial * 1e3, small_start * 1e3, wait * 1e3, dd * 1e3),
                  flush=True)
        self.command_line = standin["cmd"]
        return rows

    # ---- 3: the whole job with Wine's msiexec
    def installer_command(self, wrapper_property=False):
        # The command line the wrapper passes (as the stand-in saw it), by
        # default without WRAPPER=1: the package then does not wait for the
        # event and skips its WaitForCabinets custom action.
        command = self.command_line.replace(r"C:\bench\standin\msiexec.exe",
                                            r"C:\windows\system32\msiexec.exe")
        if not wrapper_property:
            command = command.replace("WRAPPER=1", "")
        return [part.strip('"') for part in command.split()]

    def copy_kit(self):
        self.staging.mkdir(parents=True, exist_ok=True)
        started = time.monotonic()
        subprocess.run(["cp", *[str(self.kit / n) for n in [PACKAGE, *CABINETS]],
                        str(self.staging)], check=True)
        return time.monotonic() - started

    def installed(self):
        return (self.drive / "Program Files" / "Tarsk").glob("*/*.dat")

    def traced_run(self):
        """wrapper.exe /s with the verbose installer log, while the Linux side
        polls the staging folder, /proc and the log: the timeline's stamps."""
        log = self.work / "install.log"
        log.unlink(missing_ok=True)
        tracer = timeline.Tracer(self.prefix, self.staging, self.files, log, self.full.name)
        tracer.start()
        before = timeline.clock_ns()
        try:
            launch, _ = self.launch(self.win_path(self.full), "/s", "/l*v", INSTALL_LOG,
                                    env={"BENCH_WATCH_EVENT": "1"})
        finally:
            after = timeline.clock_ns()
            tracer.finish()
        # The Windows stamps must lie between the Linux ones taken around the
        # run; otherwise the two sides do not read the same clock.
        if not before <= int(launch["launch"]) <= int(launch["end"]) <= after:
            raise RuntimeError("launch.exe's stamps %s lie outside the Linux stamps %d..%d taken "
                               "around the run: QueryPerformanceCounter is not CLOCK_MONOTONIC_RAW "
                               "here" % (launch, before, after))
        return tracer.summary(launch, CABINETS)

    def real_runs(self, reps):
        self.set_installer(r"C:\windows\system32")
        rows = {"wrapper": [], "alone": [], "parent": [], "copy": [], "sequential": [],
                "traced": []}
        traces = []
        full = self.win_path(self.full)
        command = self.installer_command()
        with_wrapper = self.installer_command(wrapper_property=True)
        for rep in range(reps + 1):
            self.uninstall()
            self.fresh_staging()
            launch, _ = self.launch(full, "/s")
            wrapper = (int(launch["end"]) - int(launch["launch"])) / 1e9
            if not any(self.installed()):
                raise RuntimeError("wrapper.exe /s installed nothing")
            self.uninstall()
            os.sync()
            launch, _ = self.launch(*command)  # (a) package and cabinets already staged
            alone = (int(launch["end"]) - int(launch["launch"])) / 1e9
            self.uninstall()
            os.sync()
            # The wrapper's own installer command (WRAPPER=1) through a parent that
            # has set the event already: the least any wrapper process costs.
            launch, _ = self.launch(r"C:\bench\signalled.exe", *with_wrapper)
            parent = (int(launch["end"]) - int(launch["launch"])) / 1e9
            self.uninstall()
            self.fresh_staging()
            copy = self.copy_kit()  # (b) all files first, then the installer
            launch, _ = self.launch(*command)
            sequential = copy + (int(launch["end"]) - int(launch["launch"])) / 1e9
            self.uninstall()
            self.fresh_staging()
            trace = self.traced_run()  # the timeline: the whole job again, watched
            if not any(self.installed()):
                raise RuntimeError("the traced wrapper.exe /s installed nothing")
            self.uninstall()
            if rep == 0:
                continue
            traces.append(trace)
            for key, value in (("wrapper", wrapper), ("alone", alone), ("parent", parent),
                               ("copy", copy), ("sequential", sequential),
                               ("traced", trace["wrapper_end"] / 1e3)):
                rows[key].append(value)
            print("  round %d: wrapper.exe /s %.0f ms, installer alone %.0f ms (WRAPPER=1 "
                  "through a parent, event set %.0f ms), copy then install %.0f ms, traced "
                  "wrapper.exe /s %.0f ms" % (
                      rep, wrapper * 1e3, alone * 1e3, parent * 1e3, sequential * 1e3,
                      trace["wrapper_end"]), flush=True)
        return rows, traces

    # ---- 4: memory, read while the stand-in holds the wrapper alive
    def wrapper_pid(self, exe_name):
        wanted = ("WINEPREFIX=%s" % self.prefix).encode()
        for entry in os.scandir("/proc"):
            if not entry.name.isdigit():
                continue
            try:
                # Wine sets argv[0] to the Windows path once the program runs.
                argv0 = open("/proc/%s/cmdline" % entry.name, "rb").read().split(b"\0")[0]
                if not argv0.lower().endswith(b"\\" + exe_name.lower().encode()):
                    continue
                if wanted in open("/proc/%s/environ" % entry.name, "rb").read().split(b"\0"):
                    return int(entry.name)
            except OSError:
                continue
        return None

    @staticmethod
    def proc_status(pid):
        values = {}
        try:
            for line in open("/proc/%d/status" % pid):
                key, _, rest = line.partition(":")
                if rest.strip().endswith("kB"):
                    values[key] = int(rest.split()[0]) * 1024
        except OSError:
            pass
        return values

    def memory_run(self, exe):
        self.fresh_staging()
        self.clear_records()
        hold = self.work / "release"
        hold.unlink(missing_ok=True)
        env = dict(os.environ, BENCH_LAUNCH_OUT=r"C:\bench\launch.txt",
                   BENCH_STANDIN_OUT=r"C:\bench\standin.txt", BENCH_HOLD=r"C:\bench\release")
        proc = subprocess.Popen([self.loader, r"C:\bench\launch.exe", self.win_path(exe), "/s"],
                                env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        pid, peak_anon, status = None, 0, {}
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            if pid is None:
                pid = self.wrapper_pid(exe.name)
            if pid is not None:
                sample = self.proc_status(pid)
                if sample:
                    status = sample
                    peak_anon = max(peak_anon, sample.get("RssAnon", 0))
            if "ready" in self.records("standin.txt"):
                break
            time.sleep(0.002)
        if pid is not None:
            final = self.proc_status(pid)
            if final:
                status = final
                peak_anon = max(peak_anon, final.get("RssAnon", 0))
        hold.touch()
        proc.wait(timeout=60)
        hold.unlink(missing_ok=True)
        windows = self.records("standin.txt").get("parentmem", "0 0 0 0").split()
        return {"VmHWM": status.get("VmHWM", 0), "RssAnon": peak_anon,
                "RssFile": status.get("RssFile", 0), "VmRSS": status.get("VmRSS", 0),
                "PeakPagefileUsage": int(windows[0]), "PeakWorkingSetSize": int(windows[2])}

    def memory_runs(self, reps):
        self.set_installer(r"C:\bench\standin")
        result = {}
        for label, exe in (("full", self.full), ("small", self.small)):
            self.memory_run(exe)  # warm-up
            runs = [self.memory_run(exe) for _ in range(reps)]
            result[label] = {k: statistics.median(r[k] for r in runs) for k in runs[0]}
            print("  %s kit: %s" % (label, ", ".join("%s %.1f MiB" % (k, v / 2**20)
                                                     for k, v in result[label].items())),
                  flush=True)
        return result

    # ---- 5: size of everything but the resources
    def sizes(self):
        pe = pefile.PE(str(self.full), fast_load=True)
        sections = [(s.Name.rstrip(b"\0").decode(), s.SizeOfRawData, s.PointerToRawData)
                    for s in pe.sections]
        code = sum(size for name, size, _ in sections if name != ".rsrc")
        headers = pe.OPTIONAL_HEADER.SizeOfHeaders
        aligned = all(offset % 4096 == 0 for _, _, offset in sections)
        return code, headers, sections, pe.OPTIONAL_HEADER.FileAlignment, aligned


def utc_now():
    return datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")


def machine_facts(staging, loader):
    cpu = "unknown"
    for line in open("/proc/cpuinfo"):
        if line.startswith("model name"):
            cpu = line.split(":", 1)[1].strip()
            break
    wine = subprocess.run([loader, "--version"], stdout=subprocess.PIPE, text=True).stdout.strip()
    fs = subprocess.run(["df", "--output=fstype,source", str(staging)],
                        stdout=subprocess.PIPE, text=True).stdout.split("\n")[1].split()
    return {"CPU": cpu, "Cores": str(os.cpu_count()), "Kernel": platform.release(),
            "Wine": "%s (%s)" % (wine, loader), "Staging file system": "%s (%s)" % (fs[0], fs[1]),
            "Load average at the end": " ".join(open("/proc/loadavg").read().split()[:3]),
            "Date": utc_now()}


def typical(traces):
    """The traced run whose whole-job time is the median (the lower one of two)."""
    ordered = sorted(range(len(traces)), key=lambda i: traces[i]["wrapper_end"])
    index = ordered[(len(ordered) - 1) // 2]
    return index, traces[index]


def measure(args):
    bench = Bench(args)
    load_at_start = " ".join(open("/proc/loadavg").read().split()[:3])
    med = statistics.median
    mb = bench.cab_bytes / 1e6
    started = time.monotonic()

    print("1, 2: cabinets and installer start (stand-in msiexec), %d rounds" % (args.reps * 4),
          flush=True)
    s = bench.standin_runs(args.reps * 4)  # cheap rounds, and process starts vary most
    print("3: whole job with Wine's msiexec, %d rounds (and the traced job for the timeline)"
          % args.reps, flush=True)
    r, traces = bench.real_runs(args.reps)
    print("4: memory", flush=True)
    m = bench.memory_runs(3)
    code, headers, sections, alignment, aligned = bench.sizes()

    wait, dd = med(s["cab_wait"]), med(s["dd"])
    throughput = (mb / wait) / (mb / dd)
    start, trivial = med(s["wrapper_start"]), med(s["trivial_start"])
    start_ratio = start / trivial
    wrapper, alone, seq = med(r["wrapper"]), med(r["alone"]), med(r["sequential"])
    bound = max(alone, dd)
    job_ratio = wrapper / bound
    gain = seq / wrapper
    private_growth = m["full"]["RssAnon"] - m["small"]["RssAnon"]
    hwm_growth = m["full"]["VmHWM"] - m["small"]["VmHWM"]
    win_private_growth = m["full"]["PeakPagefileUsage"] - m["small"]["PeakPagefileUsage"]

    ms = lambda x: "%.1f ms" % (x * 1e3)
    mib = lambda x: "%.2f MiB" % (x / 2**20)
    met = lambda ok: "met" if ok else "**not met**"
    rows = [
        ("1. Cabinet throughput", "%.0f MB/s (%s for %.1f MB after the installer's start)" % (
            mb / wait, ms(wait), mb), "dd bs=8192: %.0f MB/s (%s)" % (mb / dd, ms(dd)),
         "%.2f" % throughput, ">= 0.90", met(throughput >= 0.9)),
        ("2. Installer start", ms(start), "trivial program: %s" % ms(trivial),
         "%.3f" % start_ratio, "<= 1.05", met(start_ratio <= 1.05)),
        ("3. Whole job (wrapper.exe /s)", ms(wrapper),
         "max(installer alone %s, dd of cabinets %s)" % (ms(alone), ms(dd)),
         "%.3f" % job_ratio, "<= 1.05", met(job_ratio <= 1.05)),
        ("3a. Floor: WRAPPER=1 installer through a parent, event set", ms(med(r["parent"])),
         "installer alone: %s" % ms(alone), "%.3f" % (med(r["parent"]) / alone),
         "report", "-"),
        ("3b. Gain over copy then install", ms(wrapper), "copy then install: %s (copy %s)" % (
            ms(seq), ms(med(r["copy"]))), "%.2f (above 1: the wrapper is faster)" % gain, "report", "-"),
        ("4. Private memory growth", "+%s (full %s)" % (mib(private_growth),
                                                       mib(m["full"]["RssAnon"])),
         "small kit: %s" % mib(m["small"]["RssAnon"]), "%+.2f MiB" % (private_growth / 2**20),
         "< 2 MiB", met(private_growth < 2 * 2**20)),
        ("4b. Peak resident growth", "+%s (full %s)" % (mib(hwm_growth), mib(m["full"]["VmHWM"])),
         "small kit: %s" % mib(m["small"]["VmHWM"]), "%+.2f MiB" % (hwm_growth / 2**20),
         "report", "-"),
        ("5. Size without resources", "%d bytes (%.1f KiB)" % (code, code / 1024),
         "headers %d bytes more" % headers, "-", "<= 32 KiB", met(code <= 32768)),
    ]
    header = "| Figure | Measured | Reference (same run) | Ratio | Goal | Result |"
    table = [header, "|---|---|---|---|---|---|"] + ["| %s |" % " | ".join(row) for row in rows]
    print()
    print("%s:" % EDITIONS[args.edition]["title"])
    print("\n".join(table))

    facts = machine_facts(bench.staging.parent, bench.loader)
    facts = dict(list(facts.items())[:-2] + [("Load average at the start", load_at_start)] +
                 list(facts.items())[-2:])
    lows = [
        ("2", "%.3f" % (min(s["wrapper_start"]) / min(s["trivial_start"]))),
        ("3", "%.3f" % (min(r["wrapper"]) / max(min(r["alone"]), min(s["dd"])))),
        ("3 against the floor 3a", "%.3f" % (min(r["wrapper"]) / min(r["parent"]))),
    ]
    print("ratios of the fastest rounds (a quiet machine): " +
          ", ".join("%s: %s" % pair for pair in lows))
    index, trace = typical(traces)
    title = "%s: one typical whole job, wrapper.exe /s with Wine's msiexec" % (
        EDITIONS[args.edition]["title"])
    subtitle = ("Traced round %d of %d, whole job %.1f ms: the median of the traced rounds "
                "(measured %s; untraced median %.1f ms)" % (
                    index + 1, len(traces), trace["wrapper_end"], facts["Date"], wrapper * 1e3))
    timeline.draw(trace, args.svg, title, subtitle)
    print("timeline of traced round %d (%.1f ms) drawn to %s" % (index + 1, trace["wrapper_end"],
                                                                 args.svg))
    extra = {
        "start_small": ms(med(s["small_start"])),
        "cab_all": ms(med(s["cab_all"])),
        "cab_all_rate": "%.0f" % (mb / med(s["cab_all"])),
        "win_private": mib(win_private_growth),
        "sections": ", ".join("%s %d" % (n, sz) for n, sz, _ in sections),
        "rss_file_full": mib(m["full"]["RssFile"]),
        "alignment": alignment,
        "aligned": "all sections start at multiples of 4096" if aligned
                   else "some sections are not 4096-aligned",
        "duration": "%.0f s" % (time.monotonic() - started),
    }
    section = edition_section(args, facts, table, s, r, extra, bench, lows, trace, index, traces)
    pathlib.Path(args.section).parent.mkdir(parents=True, exist_ok=True)
    pathlib.Path(args.section).write_text(section)
    print("section written to %s" % args.section)


# ---- the results file
def begin_marker(edition):
    return "<!-- edition %s begin -->" % edition


def end_marker(edition):
    return "<!-- edition %s end -->" % edition


STATUS_BEGIN, STATUS_END = "<!-- status begin -->", "<!-- status end -->"


def fmt_ms(value):
    return "-" if value is None else "%.1f" % value


def timeline_lines(args, trace, index, traces, r):
    """The picture, and the same stamps as a table."""
    svg = os.path.relpath(args.svg, pathlib.Path(args.out_doc).parent)
    traced = [t["wrapper_end"] for t in traces]
    lines = [
        "![Timeline of a typical whole job, %s](%s)" % (EDITIONS[args.edition]["title"], svg),
        "",
        "Drawn from traced round %d of %d, the one whose whole job (%.1f ms) is the median of" % (
            index + 1, len(traces), trace["wrapper_end"]),
        "the traced rounds. A traced round is `wrapper.exe /s /l*v C:\\bench\\install.log` run after",
        "the untraced ones of the same round, while the Linux side polls at %s: the" % (
            trace.get("poller", "?")),
        "files and the log every %.2f ms on average (at most %.1f ms apart in this round), /proc" % (
            trace["poll_mean"] or 0, trace["poll_max"] or 0),
        "every %.2f ms (at most %.1f ms apart); an L moment is late by up to that gap. The verbose"
        % (trace.get("proc_poll_mean") or 0, trace.get("proc_poll_max") or 0),
        "log and the polling make the job slower than in figure 3: traced median %.1f ms against %.1f ms" % (
            statistics.median(traced), statistics.median(r["wrapper"]) * 1e3),
        "untraced (traced rounds: %s)." % ", ".join("%.0f" % x for x in traced),
        "",
        "| Moment | ms after the wrapper's start | Source |",
        "|---|---|---|",
        "| wrapper.exe started | 0.0 | W: launch.exe, just before CreateProcessA |",
    ]
    name, size, seen, done = trace["package"]
    lines.append("| package %s (%d bytes) created / complete | %s / %s | L: file size |" % (
        name, size, fmt_ms(seen), fmt_ms(done)))
    lines.append("| wrapper.exe's Windows command line set by Wine | %s | L: /proc |"
                 % fmt_ms(trace["wrapper_running"]))
    lines.append("| msiexec.exe's process created (the wrapper's fork of it seen) | %s | L: /proc |"
                 % fmt_ms(trace["installer_created"]))
    lines.append("| msiexec.exe's Windows command line set by Wine | %s | L: /proc |"
                 % fmt_ms(trace["installer_running"]))
    for name, size, seen, done in trace["cabinets"]:
        lines.append("| cabinet %s (%d bytes) created / complete | %s / %s | L: file size |" % (
            name, size, fmt_ms(seen), fmt_ms(done)))
    lines.append("| ready event set | %s | W: launch.exe, waiting on the event |"
                 % fmt_ms(trace["event_set"]))
    lines.append("| installer's first log line | %s | L: log |" % fmt_ms(trace["log_first"]))
    lines.append("| custom-action server (msiexec -Embedding) started / ended | %s / %s | L: /proc |"
                 % (fmt_ms(trace["ca_start"]), fmt_ms(trace["ca_end"])))
    wait = trace["wait"]
    if "start" in wait:
        lines.append("| WaitForCabinets: waiting up to %d ms / event set after %s ms (its count) "
                     "| %s / %s | L: log |" % (
                         wait["limit_ms"], wait.get("waited_ms", "?"), fmt_ms(wait["start"]),
                         fmt_ms(wait.get("end"))))
    files = trace["actions"].get("InstallFiles")
    if files:
        lines.append("| InstallFiles started / ended | %s / %s | L: log |" % (
            fmt_ms(files[0]), fmt_ms(files[1])))
    lines.append("| msiexec.exe ended | %s | L: /proc |" % fmt_ms(trace["installer_end"]))
    lines.append("| wrapper.exe ended | %s | W: launch.exe |" % fmt_ms(trace["wrapper_end"]))
    waits = ["%d" % t["wait"]["waited_ms"] for t in traces if "waited_ms" in t["wait"]]
    lines += ["", "WaitForCabinets' own count of its wait in every traced round (ms): %s." % (
        ", ".join(waits) or "none logged")]
    return lines


def edition_section(args, facts, table, s, r, extra, bench, lows, trace, index, traces):
    fmt = lambda xs: ", ".join("%.1f" % (x * 1e3) for x in xs)
    edition = EDITIONS[args.edition]
    lines = [
        begin_marker(args.edition),
        "## %s" % edition["title"],
        "",
        STATUS_BEGIN,
        "> Measured in the run of %s: %s." % (facts["Date"], edition["what"]),
        "> Medians of %d rounds for figures 1 and 2, %d for 3 and the timeline, 3 for 4, each after"
        % (args.reps * 4, args.reps),
        "> one warm-up round; every reference is measured in the same run, in this edition's own",
        "> prefix. Measuring this edition took %s (builds and prefix not counted)." % extra["duration"],
        STATUS_END,
        "",
        "### Machine",
        "",
    ]
    lines += ["- %s: %s" % (k, v) for k, v in facts.items()]
    lines += ["- Kit: package %d bytes, eight cabinets %d bytes; ProductCode %s" % (
        bench.files[PACKAGE], bench.cab_bytes, bench.product_code), ""]
    lines += ["### Results", ""] + table + [""]
    lines += ["Ratios of the fastest rounds of each series (what a quiet machine gives; the",
              "machine is shared, so the medians carry other programs' load): " +
              ", ".join("figure %s: %s" % pair for pair in lows) + ".", ""]
    lines += ["### Timeline of a typical whole job", ""]
    lines += timeline_lines(args, trace, index, traces, r) + [""]
    lines += ["### Raw rounds (ms)", ""]
    for key, label in (("wrapper_start", "installer start, wrapper (full kit)"),
                       ("small_start", "installer start, wrapper (small kit)"),
                       ("trivial_start", "installer start, trivial program"),
                       ("cab_wait", "cabinets ready after the installer's start"),
                       ("cab_all", "cabinets ready after the executable's start"),
                       ("dd", "dd bs=8192 of the cabinets")):
        lines.append("- %s: %s" % (label, fmt(s[key])))
    for key, label in (("wrapper", "wrapper.exe /s with Wine's msiexec"),
                       ("alone", "installer alone, files staged"),
                       ("parent", "WRAPPER=1 installer through signalled.exe, files staged"),
                       ("copy", "copy of package and cabinets"),
                       ("sequential", "copy then installer"),
                       ("traced", "traced wrapper.exe /s (verbose log, polling)")):
        lines.append("- %s: %s" % (label, fmt(r[key])))
    lines += ["", "### Details", ""]
    lines += DETAILS.format(**extra).strip("\n").splitlines()
    lines += [end_marker(args.edition)]
    return "\n".join(lines) + "\n"


DETAILS = """
- Cabinets ready after the executable's start (figure 1 counts from the
  installer's start): {cab_all} ({cab_all_rate} MB/s).
- Installer start with the small kit: {start_small}.
- Private memory growth as Wine's `GetProcessMemoryInfo` reports it from the
  stand-in: {win_private}. File-backed resident memory (RssFile) with the
  full kit: {rss_file_full}.
- Sections: {sections}; file alignment {alignment}, {aligned}.
"""

NOTES = """
Each edition runs in its own private Wine prefix (`build/bench/EDITION/prefix`)
with its own builds, and its references are measured there in the same run.

1. **Cabinet throughput.** The stand-in `msiexec.exe` (InstallerLocation points
   at it) stamps its start and the moment `VelmorTPZCabExtractWaitEvent` is set.
   The figure is (ready − installer start): the time the installer waits for the
   cabinets. The cabinet thread starts before the installer, so this is shorter
   than the thread's own writing time (the edition's Details give the time from
   the executable's start). The reference is GNU `dd bs=8192` copying the same
   eight cabinets from files (page cache warm) into a fresh folder beside the
   staging folder, the times `dd` reports summed. Neither side syncs; the
   folders are emptied and `sync` is run before each timed part.
   Goal: at least 0.9 of dd's throughput.
2. **Installer start.** `launch.exe` stamps the moment before `CreateProcessA`;
   the stand-in stamps its own start. The reference is `trivial.exe`, a GUI
   program without a C runtime, built for the edition's architecture with the
   wrapper's file alignment, that imports the same DLLs as the wrapper
   (kernel32, user32, advapi32) and only starts the stand-in. Goal: at most 1.05×.
3. **Whole job.** `launch.exe` runs `wrapper.exe /s` with Wine's own `msiexec`
   and stamps its end. (a) is `msiexec` with the wrapper's own command line
   without `WRAPPER=1` while the package and cabinets are already staged; (b)
   is `cp` of the package and cabinets into an empty staging folder followed by
   that same `msiexec`. 3a is the floor for any wrapper: the wrapper's own
   installer command line (with `WRAPPER=1`, so the package also runs its
   `WaitForCabinets` DLL custom action, which (a) skips) started through
   `signalled.exe`, a parent that has created and set the event and does
   nothing else. The product is uninstalled (`msiexec /x {ProductCode} /qn`,
   the code read from the kit's package) after every run. Goal: within 5% of
   the larger of (a) and the cabinet writing time (dd).
4. **Memory.** The stand-in keeps the wrapper alive after the event until the
   Linux side has read `/proc/PID/status` of the wrapper's Wine process (found by
   its command line and `WINEPREFIX`), sampled every 2 ms during the run:
   RssAnon (private, the largest sample) and VmHWM (peak resident). Wine's own
   `GetProcessMemoryInfo` from the stand-in gives the same private figure from
   the same source. The resources are mapped from the file and read once, so
   with the full kit they are counted as file-backed page cache (RssFile), not
   as private memory. Goal: private memory grows by less than 2 MiB.
5. **Size.** Sum of the raw sizes of the sections other than `.rsrc`.
   Goal: 32 KiB or less.

**Timeline.** Each round of figure 3 ends with one more `wrapper.exe /s`, run
with the verbose installer log (`/l*v`) while a Linux thread polls about every
millisecond; the picture shows the round whose whole job is the median of
these traced rounds. Its moments come from two sources on one clock. W:
`launch.exe` stamps with `QueryPerformanceCounter` the wrapper's start and
end, and (with `BENCH_WATCH_EVENT`) the moment it saw the ready event set.
L: the Linux thread stamps with `CLOCK_MONOTONIC_RAW` the first poll that sees
each staged file created and at its full size, each `msiexec` process in
`/proc` (the installer's process from the first poll that sees the wrapper's
fork of it; the custom-action server `msiexec -Embedding`), and each new line
of the verbose log (the installer's actions, and the package's own
`WaitForCabinets: waiting up to N ms` / `event set after N ms` lines). Under
Wine 8 `QueryPerformanceCounter` reads `CLOCK_MONOTONIC_RAW`, not
`CLOCK_MONOTONIC` (`time.monotonic_ns()`), which differs from it by an amount
that grows with the uptime; every traced run checks that launch.exe's stamps
fall between the Linux stamps taken around it. An L moment is late by up to
one polling interval.
"""


def old_sections(text):
    """The edition sections of an earlier results file, by edition."""
    found = {}
    for edition in EDITIONS:
        begin, end = begin_marker(edition), end_marker(edition)
        if begin in text and end in text:
            found[edition] = text[text.index(begin):text.index(end) + len(end)] + "\n"
    return found


def kept_section(edition, old, reason, run_date):
    """The earlier section of an edition not measured now, with a status saying so."""
    title = EDITIONS[edition]["title"]
    if old is None:
        return "\n".join([begin_marker(edition), "## %s" % title, "", STATUS_BEGIN,
                          "> Not measured in the run of %s, because %s; no earlier figures." % (
                              run_date, reason),
                          STATUS_END, end_marker(edition)]) + "\n"
    date = re.search(r"^- Date: (.+)$", old, re.M)
    cpu = re.search(r"^- CPU: (.+)$", old, re.M)
    kernel = re.search(r"^- Kernel: (.+)$", old, re.M)
    measured = date.group(1) if date else "an earlier run"
    machine = ", ".join(x.group(1) for x in (cpu, kernel) if x) or "the machine listed below"
    status = [
        STATUS_BEGIN,
        "> **Not re-measured in the run of %s**, because %s." % (run_date, reason),
        "> The figures below are from the run of %s, on the machine listed below" % measured,
        "> (%s), which could run this edition." % machine,
        STATUS_END,
    ]
    if STATUS_BEGIN in old and STATUS_END in old:
        head = old[:old.index(STATUS_BEGIN)]
        tail = old[old.index(STATUS_END) + len(STATUS_END):]
        return head + "\n".join(status) + tail
    head, _, rest = old.partition("\n## %s\n" % title)
    return head + "\n## %s\n\n" % title + "\n".join(status) + "\n" + rest


def report(args):
    out = pathlib.Path(args.out)
    old_text = out.read_text() if out.exists() else ""
    olds = old_sections(old_text)
    run_date = utc_now()
    measured = dict(item.split("=", 1) for item in args.measured)
    skipped = dict(item.split("=", 1) for item in args.skipped)
    sections = []
    for edition in EDITIONS:
        if edition in measured:
            sections.append(pathlib.Path(measured[edition]).read_text())
        else:
            reason = skipped.get(edition, "it was not asked for")
            sections.append(kept_section(edition, olds.get(edition), reason, run_date))
    summary = "measured the %s" % " and the ".join(
        EDITIONS[e]["title"] for e in EDITIONS if e in measured)
    for e in EDITIONS:
        if e not in measured:
            summary += "; not the %s, because %s" % (EDITIONS[e]["title"],
                                                    skipped.get(e, "it was not asked for"))
    lines = [
        "# Benchmarks",
        "",
        "Written by `%s`, one section per edition of `wrapper.exe`, each measured in its" % args.command,
        "own private Wine prefix against references measured in the same run, with a",
        "timeline of one typical whole job. `bench/run.sh` measures every edition the host",
        "can run; an edition it cannot run keeps its section from the run that measured",
        "it, marked with that run's date and machine. Re-run it to refresh this file.",
        "",
        "Latest run: %s, %s." % (run_date, summary),
        "",
    ]
    lines += ["- [%s](#%s)" % (EDITIONS[e]["title"], anchor(EDITIONS[e]["title"])) for e in EDITIONS]
    lines += ["- [How each figure is measured](#how-each-figure-is-measured)", ""]
    text = "\n".join(lines) + "\n" + "\n".join(sections) + "\n## How each figure is measured\n\n"
    text += NOTES.strip("\n") + "\n"
    marker = "## Analysis"
    if marker in old_text:  # the hand-written analysis below the marker is kept
        text += "\n" + old_text[old_text.index(marker):].rstrip("\n") + "\n"
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(text)
    print("written to %s (%s)" % (out, summary))


def anchor(title):
    return re.sub(r"[^a-z0-9 -]", "", title.lower()).replace(" ", "-")


def main():
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="mode", required=True)
    m = sub.add_parser("measure", help="measure one edition")
    m.add_argument("--edition", required=True, choices=sorted(EDITIONS))
    m.add_argument("--wine", required=True, help="the Wine loader of the edition")
    m.add_argument("--full", required=True, help="wrapper.exe with the full-size kit")
    m.add_argument("--small", required=True, help="wrapper.exe with the small kit")
    m.add_argument("--kit", required=True, help="folder of the full-size kit")
    m.add_argument("--reps", type=int, default=5)
    m.add_argument("--section", required=True, help="the edition's Markdown section (written)")
    m.add_argument("--svg", required=True, help="the timeline picture (written)")
    m.add_argument("--out-doc", default="docs/benchmarks.md",
                   help="the results file the section goes into (for the picture's link)")
    r = sub.add_parser("report", help="write the results file")
    r.add_argument("--out", required=True, help="the Markdown results file")
    r.add_argument("--measured", action="append", default=[], help="EDITION=SECTION_FILE")
    r.add_argument("--skipped", action="append", default=[], help="EDITION=REASON")
    r.add_argument("--command", default="bench/run.sh")
    args = parser.parse_args()
    if args.mode == "measure":
        measure(args)
    else:
        report(args)


if __name__ == "__main__":
    main()
