#!/usr/bin/python3
"""Measures wrapper.exe under Wine against references taken in the same run.

Called by bench/run.sh once the executables, the kits and the Wine prefix
exist; prints the table and writes docs/benchmarks.md. Every figure is the
median of REPS repetitions, and every ratio compares medians of the same run.

Time stamps come from QueryPerformanceCounter in the Windows programs of
bench/programs (under Wine the Linux monotonic clock), so they are comparable
across processes:
  launch.exe   stamps just before it starts a program and when that ended;
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

PRODUCT_CODE = "{4B7E2C1A-9D35-4F60-8A13-160013A0C0DE}"
INSTALLER_KEY = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Installer"
STAGING_TAIL = ("Velmor", "Tarsk", "tpz1.6.0_13")
PACKAGE = "tpz1.6.0_13.msi"
CABINETS = ["sd160130.cab", "ss160130.cab", "st160130.cab", "sj160130.cab",
            "sp160130.cab", "sz160130.cab", "sb160130.cab", "sr160130.cab"]
DD_TIME = re.compile(r"copied, ([0-9.e+-]+) s")


class Bench:
    def __init__(self, args):
        self.args = args
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
        self.staging = self.locallow.joinpath(*STAGING_TAIL)
        self.staging_win = "C:\\users\\%s\\AppData\\LocalLow\\%s" % (
            self.locallow.parent.parent.name, "\\".join(STAGING_TAIL))
        self.cab_bytes = sum((self.kit / c).stat().st_size for c in CABINETS)

    # ---- Wine helpers
    def wine(self, *argv, env=None, check=True):
        run_env = dict(os.environ)
        run_env.update(env or {})
        result = subprocess.run(["wine", *argv], env=run_env, stdout=subprocess.PIPE,
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
        self.wine("msiexec", "/x", PRODUCT_CODE, "/qn", check=False)

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

    def real_runs(self, reps):
        self.set_installer(r"C:\windows\system32")
        rows = {"wrapper": [], "alone": [], "parent": [], "copy": [], "sequential": []}
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
            if rep == 0:
                continue
            for key, value in (("wrapper", wrapper), ("alone", alone), ("parent", parent),
                               ("copy", copy), ("sequential", sequential)):
                rows[key].append(value)
            print("  round %d: wrapper.exe /s %.0f ms, installer alone %.0f ms (WRAPPER=1 "
                  "through a parent, event set %.0f ms), copy then install %.0f ms" % (
                      rep, wrapper * 1e3, alone * 1e3, parent * 1e3, sequential * 1e3),
                  flush=True)
        return rows

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
        proc = subprocess.Popen(["wine", r"C:\bench\launch.exe", self.win_path(exe), "/s"],
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


def machine_facts(staging):
    cpu = "unknown"
    for line in open("/proc/cpuinfo"):
        if line.startswith("model name"):
            cpu = line.split(":", 1)[1].strip()
            break
    wine = subprocess.run(["wine", "--version"], stdout=subprocess.PIPE, text=True).stdout.strip()
    fs = subprocess.run(["df", "--output=fstype,source", str(staging)],
                        stdout=subprocess.PIPE, text=True).stdout.split("\n")[1].split()
    return {"CPU": cpu, "Cores": str(os.cpu_count()), "Kernel": platform.release(),
            "Wine": wine, "Staging file system": "%s (%s)" % (fs[0], fs[1]),
            "Load average at the end": " ".join(open("/proc/loadavg").read().split()[:3]),
            "Date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--full", required=True, help="wrapper.exe with the full-size kit")
    parser.add_argument("--small", required=True, help="wrapper.exe with the small kit")
    parser.add_argument("--kit", required=True, help="folder of the full-size kit")
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--out", required=True, help="the Markdown results file")
    parser.add_argument("--command", default="bench/run.sh")
    args = parser.parse_args()
    bench = Bench(args)
    load_at_start = " ".join(open("/proc/loadavg").read().split()[:3])
    med = statistics.median
    mb = bench.cab_bytes / 1e6

    print("1, 2: cabinets and installer start (stand-in msiexec), %d rounds" % (args.reps * 4),
          flush=True)
    s = bench.standin_runs(args.reps * 4)  # cheap rounds, and process starts vary most
    print("3: whole job with Wine's msiexec, %d rounds" % args.reps, flush=True)
    r = bench.real_runs(args.reps)
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
    print("\n".join(table))

    facts = machine_facts(bench.staging.parent)
    facts = dict(list(facts.items())[:-2] + [("Load average at the start", load_at_start)] +
                 list(facts.items())[-2:])
    lows = [
        ("2", "%.3f" % (min(s["wrapper_start"]) / min(s["trivial_start"]))),
        ("3", "%.3f" % (min(r["wrapper"]) / max(min(r["alone"]), min(s["dd"])))),
        ("3 against the floor 3a", "%.3f" % (min(r["wrapper"]) / min(r["parent"]))),
    ]
    print("ratios of the fastest rounds (a quiet machine): " +
          ", ".join("%s: %s" % pair for pair in lows))
    extra = {
        "start_small": ms(med(s["small_start"])),
        "cab_all": ms(med(s["cab_all"])),
        "cab_all_rate": "%.0f" % (mb / med(s["cab_all"])),
        "win_private": mib(win_private_growth),
        "sections": ", ".join("%s %d" % (n, sz) for n, sz, _ in sections),
        "rss_file_full": mib(m["full"]["RssFile"]),
    }
    write_markdown(args, facts, table, rows, s, r, m, extra, alignment, aligned, bench, lows)
    print("\nwritten to %s" % args.out)


def write_markdown(args, facts, table, rows, s, r, m, extra, alignment, aligned, bench, lows):
    fmt = lambda xs: ", ".join("%.1f" % (x * 1e3) for x in xs)
    lines = [
        "# Benchmarks",
        "",
        "Written by `%s`: medians of %d rounds for figures 1 and 2, %d for 3, 3 for 4," % (
            args.command, args.reps * 4, args.reps),
        "each after one warm-up round; every reference is measured in the same run.",
        "Re-run it to refresh this file.",
        "",
        "## Machine",
        "",
    ]
    lines += ["- %s: %s" % (k, v) for k, v in facts.items()]
    lines += ["- Kit: package %d bytes, eight cabinets %d bytes" % (
        (bench.kit / PACKAGE).stat().st_size, bench.cab_bytes), ""]
    lines += ["## Results", ""] + table + [""]
    lines += ["## Raw rounds (ms)", ""]
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
                       ("sequential", "copy then installer")):
        lines.append("- %s: %s" % (label, fmt(r[key])))
    lines += ["", "Ratios of the fastest rounds of each series (what a quiet machine gives; the",
              "machine is shared, so the medians carry other programs' load): " +
              ", ".join("figure %s: %s" % pair for pair in lows) + "."]
    lines += ["", "## How each figure is measured, and notes", ""]
    lines += NOTES.format(**extra, alignment=alignment,
                          aligned="all sections start at multiples of 4096" if aligned
                          else "some sections are not 4096-aligned").strip("\n").splitlines()
    old = pathlib.Path(args.out).read_text() if pathlib.Path(args.out).exists() else ""
    marker = "## Analysis"
    if marker in old:  # the hand-written analysis below the marker is kept
        lines += ["", old[old.index(marker):].rstrip("\n")]
    pathlib.Path(args.out).parent.mkdir(parents=True, exist_ok=True)
    pathlib.Path(args.out).write_text("\n".join(lines) + "\n")


NOTES = """
1. **Cabinet throughput.** The stand-in `msiexec.exe` (InstallerLocation points
   at it) stamps its start and the moment `VelmorTPZCabExtractWaitEvent` is set.
   The figure is (ready − installer start): the time the installer waits for the
   cabinets. The cabinet thread starts before the installer, so this is shorter
   than the thread's own writing time; from the executable's start the cabinets
   are ready after {cab_all} ({cab_all_rate} MB/s). The reference is GNU
   `dd bs=8192` copying the same eight cabinets from files (page cache warm) into a
   fresh folder beside the staging folder, the times `dd` reports summed. Neither
   side syncs; the folders are emptied and `sync` is run before each timed part.
   Goal: at least 0.9 of dd's throughput.
2. **Installer start.** `launch.exe` stamps the moment before `CreateProcessA`;
   the stand-in stamps its own start. The reference is `trivial.exe`, a GUI
   program without a C runtime that imports the same DLLs as the wrapper
   (kernel32, user32, advapi32) and only starts the stand-in. The wrapper with
   the small kit starts the installer after {start_small}. Goal: at most 1.05×.
3. **Whole job.** `launch.exe` runs `wrapper.exe /s` with Wine's own `msiexec`
   and stamps its end. (a) is `msiexec` with the wrapper's own command line
   without `WRAPPER=1` while the package and cabinets are already staged; (b)
   is `cp` of the package and cabinets into an empty staging folder followed by
   that same `msiexec`. 3a is the floor for any wrapper: the wrapper's own
   installer command line (with `WRAPPER=1`, so the package also runs its
   `WaitForCabinets` DLL custom action, which (a) skips) started through
   `signalled.exe`, a parent that has created and set the event and does
   nothing else. The product is uninstalled (`msiexec /x {{ProductCode}} /qn`)
   after every run. Goal: within 5% of the larger of (a) and the cabinet
   writing time (dd).
4. **Memory.** The stand-in keeps the wrapper alive after the event until the
   Linux side has read `/proc/PID/status` of the wrapper's Wine process (found by
   its command line and `WINEPREFIX`), sampled every 2 ms during the run:
   RssAnon (private, the largest sample) and VmHWM (peak resident). Wine's own
   `GetProcessMemoryInfo` from the stand-in gives the same private figure from the
   same source (growth {win_private}). With the full kit, file-backed resident
   memory (RssFile) is {rss_file_full}: the resources are mapped from the file
   and read once, so they are counted as page cache, not as private memory.
   Goal: private memory grows by less than 2 MiB.
5. **Size.** Sum of the raw sizes of the sections other than `.rsrc`
   ({sections}); file alignment {alignment}, {aligned}. Goal: 32 KiB or less.
"""


if __name__ == "__main__":
    main()
