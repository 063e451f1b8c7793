#!/usr/bin/python3
"""Tests of the benchmark's own logic that runs no Wine: how the timeline's
poller reads /proc, what a traced run's summary says, the picture, and how
the results file keeps an edition that was not measured.
  /usr/bin/python3 -m unittest discover -s bench -p 'test_*.py'
"""
import pathlib
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import bench  # noqa: E402
import timeline  # noqa: E402

WRAPPER = [b"z:\\work\\build\\wrapper.exe", b"/s"]
LAUNCH = [b"c:\\bench\\launch.exe"] + WRAPPER
INSTALLER = [b"c:\\windows\\system32\\msiexec.exe", b"/i", b"c:\\users\\u\\tpz.msi", b"/qn",
             b"wrapper=1"]
CA_SERVER = [b"c:\\windows\\system32\\msiexec.exe", b"-embedding", b"240"]
LOADER = [b"/usr/lib/wine/wine64"]


class ScriptedTracer(timeline.Tracer):
    """A tracer whose /proc is a list of snapshots, one per poll: pid -> argv
    (an empty list while a process is between fork and exec, or exiting)."""

    def __init__(self, snapshots, foreign=()):
        self.snapshots = snapshots
        self.current = {}
        self.foreign = set(foreign)
        super().__init__("/prefix", "/nonexistent", {}, "/nonexistent/log", "wrapper.exe")

    def pids(self):
        return sorted(self.current)

    def alive(self, pid):
        return pid in self.current

    def argv(self, pid):
        return self.current.get(pid)

    def ours(self, pid):
        return pid not in self.foreign

    def replay(self):
        for tick, snapshot in enumerate(self.snapshots, start=1):
            self.current = snapshot
            self.poll_processes(tick)
        return {k: v for k, v in self.stamps.items() if not k.endswith("_pid")}


# The sequence Wine 8 shows (seen under 64-bit Wine): every new process is
# first a copy of its parent, then empty, then the loader with the program,
# then the program's Windows command line; msiexec forks twice to start its
# custom-action server, and the first fork ends at once.
OBSERVED = [
    {100: LOADER + LAUNCH},                          # 1 launch.exe (its line names the wrapper)
    {100: LAUNCH, 101: LAUNCH},                      # 2 launch.exe forks
    {100: LAUNCH, 101: []},                          # 3
    {100: LAUNCH, 101: LOADER + WRAPPER},            # 4 the wrapper's exec
    {100: LAUNCH, 101: WRAPPER},                     # 5 its Windows command line
    {100: LAUNCH, 101: WRAPPER, 102: WRAPPER},       # 6 the wrapper forks for msiexec
    {100: LAUNCH, 101: WRAPPER, 103: LOADER + INSTALLER},   # 7 msiexec's exec
    {100: LAUNCH, 101: WRAPPER, 103: INSTALLER},     # 8
    {100: LAUNCH, 101: WRAPPER, 103: INSTALLER, 104: INSTALLER},   # 9 msiexec forks
    {100: LAUNCH, 101: WRAPPER, 103: INSTALLER, 105: INSTALLER},   # 10 the first fork has ended
    {100: LAUNCH, 101: WRAPPER, 103: INSTALLER, 105: LOADER + CA_SERVER},  # 11
    {100: LAUNCH, 101: WRAPPER, 103: INSTALLER, 105: CA_SERVER},   # 12
    {100: LAUNCH, 101: WRAPPER, 103: INSTALLER, 105: []},          # 13 the server exits
    {100: LAUNCH, 101: WRAPPER, 103: []},            # 14 msiexec exits
    {100: LAUNCH, 101: WRAPPER},                     # 15
]


class TracerProcesses(unittest.TestCase):
    def test_cases(self):
        cases = [
            ("the sequence Wine shows", OBSERVED, (), {
                "wrapper_exec": 4, "wrapper_running": 5, "installer_fork": 6,
                "installer_exec": 7, "installer_running": 8, "ca_exec": 11, "ca_running": 12,
                "ca_end": 13, "installer_end": 14}),
            ("fork and exec between two polls", [
                {101: WRAPPER},
                {101: WRAPPER, 103: INSTALLER},
                {101: WRAPPER},
            ], (), {"wrapper_exec": 1, "wrapper_running": 1, "installer_exec": 2,
                    "installer_running": 2, "installer_end": 3}),
            ("another prefix's installer is not ours", [
                {101: WRAPPER, 200: INSTALLER},
                {101: WRAPPER},
            ], (200,), {"wrapper_exec": 1, "wrapper_running": 1}),
            ("an uninstall is not the installer", [
                {101: WRAPPER, 103: [INSTALLER[0], b"/x", b"{code}", b"/qn"]},
                {101: WRAPPER},
            ], (), {"wrapper_exec": 1, "wrapper_running": 1}),
        ]
        for name, snapshots, foreign, expected in cases:
            with self.subTest(name):
                self.assertEqual(ScriptedTracer(snapshots, foreign).replay(), expected)


class TracerSummary(unittest.TestCase):
    def summary(self, stamps, lines, launch_end=1000):
        tracer = ScriptedTracer([])
        tracer.files = {"tpz.msi": 10, "b.cab": 5, "a.cab": 7}
        tracer.seen = {"tpz.msi": 2_000_000, "a.cab": 3_000_000, "b.cab": 4_000_000}
        tracer.complete = {"tpz.msi": 2_500_000, "a.cab": 3_500_000}
        tracer.stamps = stamps
        tracer.ticks = [0, 1_000_000, 3_000_000, 3_500_000]
        tracer.log_lines = [(stamp * 1_000_000, line) for stamp, line in lines]
        launch = {"launch": "0", "end": str(launch_end * 1_000_000), "eventset": "300000000"}
        return tracer.summary(launch, ["a.cab", "b.cab"])

    def test_moments(self):
        s = self.summary({"installer_exec": 120_000_000, "installer_end": 1_004_000_000,
                          "ca_exec": 500_000_000, "ca_end": 900_000_000}, [
            (400, "=== Logging started ==="),
            (600, "Action start 5:34:59: WaitForCabinets."),
            (600, "WaitForCabinets: waiting up to 600000 ms for event VelmorTPZCabExtractWaitEvent"),
            (602, "WaitForCabinets: event set after 2 ms"),
            (610, "Action start 5:34:59: InstallFiles."),
            (640, "Action ended 5:34:59: InstallFiles. Return value 1."),
        ])
        # Without a fork seen, the installer counts from its exec.
        self.assertEqual(s["installer_created"], 120.0)
        # A late poll does not put msiexec's end after the wrapper's.
        self.assertEqual(s["installer_end"], 1000.0)
        self.assertEqual(s["ca_end"], 900.0)
        self.assertEqual(s["event_set"], 300.0)
        self.assertEqual(s["package"], ("tpz.msi", 10, 2.0, 2.5))
        self.assertEqual(s["cabinets"], [("a.cab", 7, 3.0, 3.5), ("b.cab", 5, 4.0, None)])
        self.assertEqual(s["log_first"], 400.0)
        self.assertEqual(s["wait"], {"start": 600.0, "limit_ms": 600000, "end": 602.0,
                                     "waited_ms": 2})
        self.assertEqual(s["actions"]["InstallFiles"], [610.0, 640.0])
        self.assertEqual((s["polls"], s["poll_mean"], s["poll_max"]), (3, 3.5 / 3, 2.0))

    def test_failed_wait(self):
        s = self.summary({}, [
            (600, "WaitForCabinets: waiting up to 10 ms for event VelmorTPZCabExtractWaitEvent"),
            (611, "WaitForCabinets: cabinets not ready after 10 ms, giving up"),
        ])
        self.assertEqual(s["wait"]["start"], 600.0)
        self.assertNotIn("waited_ms", s["wait"])
        self.assertIn("giving up", s["wait"]["failed"])
        self.assertIsNone(s["installer_created"])


class Picture(unittest.TestCase):
    FULL = {
        "wrapper_start": 0.0, "wrapper_end": 900.0, "event_set": 210.0, "wrapper_exec": 8.0,
        "wrapper_running": 16.0, "installer_created": 120.0, "installer_exec": 130.0,
        "installer_running": 140.0, "installer_end": 895.0, "ca_start": 550.0, "ca_end": 890.0,
        "polls": 600, "poll_mean": 1.4, "poll_max": 6.0,
        "package": ("tpz.msi", 417792, 110.0, 111.0),
        "cabinets": [("sd160130.cab", 9710828, 112.0, 190.0), ("sz160130.cab", 1802, 191.0, 191.0)],
        "log_first": 500.0,
        "actions": {"InstallFiles": [800.0, 805.0]},
        "wait": {"start": 780.0, "limit_ms": 600000, "end": 781.0, "waited_ms": 0},
    }

    def draw(self, trace):
        with tempfile.TemporaryDirectory() as folder:
            path = pathlib.Path(folder) / "t.svg"
            timeline.draw(trace, str(path), "title", "subtitle")
            root = ElementTree.fromstring(path.read_text())
        return " ".join(e.text or "" for e in root.iter("{http://www.w3.org/2000/svg}text"))

    def test_cases(self):
        partial = dict(self.FULL, installer_created=None, installer_exec=None,
                       installer_running=None, installer_end=None, ca_start=None, ca_end=None,
                       event_set=None, log_first=None, actions={}, wait={},
                       cabinets=[("sd160130.cab", 9710828, 112.0, None)])
        cases = [
            ("every moment seen", self.FULL,
             ["event set 210.0", "msiexec.exe created 120.0", "waited 0 ms (the event had been "
              "set 570 ms before)", "sd 9.7 MB", "Enlarged: the first"]),
            # A run where the poller saw little still gives a picture, with what it saw.
            ("most moments missing", partial, ["no WaitForCabinets lines in the log"]),
        ]
        for name, trace, texts in cases:
            with self.subTest(name):
                drawn = self.draw(trace)
                for text in texts:
                    self.assertIn(text, drawn)


class Typical(unittest.TestCase):
    def test_median_run(self):
        for ends, expected in (([5.0, 1.0, 3.0, 9.0, 4.0], 4), ([8.0, 2.0, 6.0, 4.0], 3),
                               ([7.0], 0)):
            with self.subTest(ends=ends):
                index, trace = bench.typical([{"wrapper_end": e} for e in ends])
                self.assertEqual(index, expected)
                self.assertIs(trace["wrapper_end"], ends[expected])


OLD = """# Benchmarks

intro of an earlier run

<!-- edition win32 begin -->
## 32-bit edition (win32)

<!-- status begin -->
> Measured in the run of 2026-12-10 14:41 UTC: the old words.
<!-- status end -->

### Machine

- CPU: Old CPU
- Kernel: 6.1-old
- Date: 2026-12-10 14:41 UTC

| 2. Installer start | 50.9 ms |
<!-- edition win32 end -->

<!-- edition win64 begin -->
## x64 edition (win64)

old x64 figures
<!-- edition win64 end -->

## How each figure is measured

old notes

## Analysis

Hand-written words.
"""


class ResultsFile(unittest.TestCase):
    def test_kept_section(self):
        old = bench.old_sections(OLD)["win32"]
        kept = bench.kept_section("win32", old, "the kernel refuses 32-bit programs",
                                  "2026-12-11 09:00 UTC")
        self.assertIn("**Not re-measured in the run of 2026-12-11 09:00 UTC**, because the "
                      "kernel refuses 32-bit programs", kept)
        self.assertIn("from the run of 2026-12-10 14:41 UTC", kept)
        self.assertIn("(Old CPU, 6.1-old)", kept)
        self.assertNotIn("the old words", kept)
        # Everything outside the status block stays as it was.
        self.assertEqual(kept.split(bench.STATUS_END)[1], old.split(bench.STATUS_END)[1])
        self.assertTrue(kept.startswith(bench.begin_marker("win32")))

    def test_kept_again(self):
        # A section kept once is kept the same way by the next run.
        first = bench.kept_section("win32", bench.old_sections(OLD)["win32"], "reason one", "D1")
        second = bench.kept_section("win32", first, "reason two", "D2")
        self.assertEqual(second.count(bench.STATUS_BEGIN), 1)
        self.assertIn("because reason two", second)
        self.assertNotIn("reason one", second)
        self.assertIn("from the run of 2026-12-10 14:41 UTC", second)

    def test_no_earlier_section(self):
        kept = bench.kept_section("win32", None, "the kernel refuses 32-bit programs", "D")
        self.assertIn("because the kernel refuses 32-bit programs; no earlier figures", kept)
        self.assertTrue(kept.rstrip().endswith(bench.end_marker("win32")))

    def test_report(self):
        with tempfile.TemporaryDirectory() as folder:
            out = pathlib.Path(folder) / "benchmarks.md"
            out.write_text(OLD)
            section = pathlib.Path(folder) / "win64.md"
            section.write_text("%s\n## x64 edition (win64)\n\nnew x64 figures\n%s\n" % (
                bench.begin_marker("win64"), bench.end_marker("win64")))
            args = type("Args", (), {"out": str(out), "measured": ["win64=%s" % section],
                                     "skipped": ["win32=no i386"], "command": "bench/run.sh"})
            bench.report(args)
            text = out.read_text()
        self.assertIn("new x64 figures", text)
        self.assertNotIn("old x64 figures", text)
        self.assertIn("| 2. Installer start | 50.9 ms |", text)
        self.assertIn("because no i386", text)
        self.assertLess(text.index("## 32-bit edition"), text.index("## x64 edition"))
        self.assertEqual(text.count("## Analysis"), 1)
        self.assertTrue(text.rstrip().endswith("Hand-written words."))
        self.assertNotIn("old notes", text)


if __name__ == "__main__":
    unittest.main()
