"""The timeline of one whole job: stamps gathered while `wrapper.exe /s` runs
with Wine's msiexec, and a picture of them as plain SVG text.

Two sources of stamps on one clock:
  W  the Windows side: QueryPerformanceCounter in launch.exe (just before it
     starts the wrapper, when it saw the cabinets-ready event set, when the
     wrapper ended). Wine 8 reads CLOCK_MONOTONIC_RAW for it, in 100 ns units;
  L  the Linux side: a thread that polls about every millisecond, stamped with
     CLOCK_MONOTONIC_RAW: the sizes of the staged files, /proc for the
     installer's processes (Wine sets a program's command line to its Windows
     one), and the lines of the verbose installer log (/l*v), which Wine's
     msi writes as it goes.
CLOCK_MONOTONIC (Python's time.monotonic_ns) is a different clock: it is
slewed by time synchronisation and differs from the raw one by an amount that
grows with the uptime, so it must not be mixed with the Windows stamps.
"""
import html
import os
import re
import threading
import time


def clock_ns():
    """The clock Wine's QueryPerformanceCounter reads, in nanoseconds."""
    return time.clock_gettime_ns(time.CLOCK_MONOTONIC_RAW)


WAIT_START = re.compile(r"WaitForCabinets: waiting up to (\d+) ms")
WAIT_SET = re.compile(r"WaitForCabinets: event set after (\d+) ms")
WAIT_FAILED = re.compile(r"WaitForCabinets: (cabinets not ready|wait failed|cancelled)")
ACTION = re.compile(r"Action (start|ended) [0-9:]+: (\w+)\.")


class Tracer(threading.Thread):
    """Polls the staging folder, /proc and the installer log until finish()."""

    def __init__(self, prefix, staging, files, log, wrapper_name, interval=0.001):
        super().__init__(daemon=True)
        self.prefix_env = ("WINEPREFIX=%s" % prefix).encode()
        self.staging = staging
        self.files = dict(files)  # name -> size when complete
        self.log = log
        self.wrapper_image = b"\\" + wrapper_name.lower().encode()
        self.interval = interval
        self.known = set(self.pids())
        self.stop_flag = threading.Event()
        self.policy = "not started"
        self.ticks = []      # the stamp of every poll of the files and the log
        self.proc_ticks = []  # the stamp of every poll of /proc
        self.seen = {}       # file name -> first seen
        self.complete = {}   # file name -> first seen at its full size
        self.stamps = {}     # process moments, first occurrence
        self.roles = {}      # pid -> "new" | "foreign" | "wrapper" | "installer" | "ca" | "gone"
        self.log_lines = []  # (stamp, line)
        self.log_offset = 0
        self.log_rest = b""

    # ---- polling
    def run(self):
        """Two pollers: files and log, and processes. Reading a process's
        command line waits while that process changes its mappings (its exec,
        Wine mapping a large image), so the files are polled on their own."""
        processes = threading.Thread(target=self.loop, args=(self.poll_processes, self.proc_ticks),
                                     daemon=True)
        processes.start()
        self.loop(self.poll_files_and_log, self.ticks)
        processes.join()

    def loop(self, step, ticks):
        # The job keeps both cores busy; a poller of ordinary priority is then
        # left waiting for tens of milliseconds at times. As a real-time
        # thread (when allowed) it runs as soon as its sleep ends; it sleeps
        # most of the time, so it takes little from the job.
        try:
            os.sched_setscheduler(threading.get_native_id(), os.SCHED_FIFO, os.sched_param(1))
            self.policy = "real-time priority (SCHED_FIFO)"
        except (OSError, AttributeError):
            self.policy = "ordinary priority"
        while not self.stop_flag.is_set():
            now = clock_ns()
            ticks.append(now)
            step(now)
            time.sleep(self.interval)
        step(clock_ns())

    def finish(self):
        self.stop_flag.set()
        self.join()
        return self

    def poll_files_and_log(self, now):
        self.poll_files(now)
        self.poll_log(now)

    def mark(self, key, now):
        self.stamps.setdefault(key, now)

    def poll_files(self, now):
        for name, size in self.files.items():
            if name in self.complete:
                continue
            try:
                current = os.stat(os.path.join(self.staging, name)).st_size
            except OSError:
                continue
            self.seen.setdefault(name, now)
            if current >= size:
                self.complete[name] = now

    # The views of /proc that the polling uses (a test replaces them).
    @staticmethod
    def pids():
        return [int(entry) for entry in os.listdir("/proc") if entry.isdigit()]

    @staticmethod
    def alive(pid):
        return os.path.exists("/proc/%d" % pid)

    @staticmethod
    def argv(pid):
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                return [a.lower() for a in f.read().split(b"\0") if a]
        except OSError:
            return None

    def ours(self, pid):
        try:
            with open("/proc/%d/environ" % pid, "rb") as f:
                return self.prefix_env in f.read().split(b"\0")
        except OSError:
            return False

    @staticmethod
    def image(argv):
        """The program a command line runs: after Wine's exec its loader comes first."""
        if argv and argv[0].startswith(b"/"):
            return argv[1] if len(argv) > 1 else b""
        return argv[0] if argv else b""

    def classify(self, argv):
        image = self.image(argv)
        if image.endswith(b"\\msiexec.exe"):
            if b"-embedding" in argv:
                return "ca"
            return "installer" if b"/i" in argv else "other"
        if image.endswith(self.wrapper_image):
            return "wrapper"
        return None  # another program, or a process between fork and exec

    def poll_processes(self, now):
        """A new process first shows its parent's command line (fork), then an
        empty one, then the Wine loader's with the program (exec), then the
        program's Windows command line: every new process of this prefix is
        read on every poll until its role is known, and the installer's
        processes until they end."""
        for pid in self.pids():
            if pid in self.known:
                continue
            role = self.roles.get(pid)
            if role in ("foreign", "gone") or (role == "wrapper" and "wrapper_running" in self.stamps):
                continue
            argv = self.argv(pid)
            if role == "wrapper":
                if argv and not argv[0].startswith(b"/"):
                    self.mark("wrapper_running", now)
                continue
            if role in ("installer", "ca"):
                # After its exec a process's command line is empty only while it exits.
                if not argv:
                    self.mark(role + "_end", now)
                    self.roles[pid] = "gone"
                elif not argv[0].startswith(b"/"):
                    self.mark(role + "_running", now)  # Wine has set its Windows command line
                continue
            if not argv:
                continue
            if role is None:
                if not self.ours(pid):
                    self.roles[pid] = "foreign"
                    continue
                self.roles[pid] = "new"
            kind = self.classify(argv)
            if kind == "wrapper":
                if "wrapper_pid" not in self.stamps:
                    self.stamps["wrapper_pid"] = pid
                    self.mark("wrapper_exec", now)
                    self.roles[pid] = "wrapper"
                    if not argv[0].startswith(b"/"):
                        self.mark("wrapper_running", now)
                elif pid != self.stamps["wrapper_pid"] and "installer_exec" not in self.stamps:
                    # A copy of the running wrapper that is not the wrapper: the
                    # fork that becomes the installer's process.
                    self.mark("installer_fork", now)
            elif kind in ("installer", "ca") and kind + "_pid" not in self.stamps:
                # The first process of its kind; later ones with the same command
                # line are its forks (msiexec forks to start the custom-action
                # server) and are read on until they show what they become.
                self.stamps[kind + "_pid"] = pid
                self.roles[pid] = kind
                self.mark(kind + "_exec", now)
                if not argv[0].startswith(b"/"):
                    self.mark(kind + "_running", now)
        for pid, role in list(self.roles.items()):
            if role in ("installer", "ca") and not self.alive(pid):
                self.mark(role + "_end", now)
                self.roles[pid] = "gone"

    def poll_log(self, now):
        try:
            size = os.stat(self.log).st_size
        except OSError:
            return
        if size <= self.log_offset:
            return
        with open(self.log, "rb") as f:
            f.seek(self.log_offset)
            data = f.read(size - self.log_offset)
        self.log_offset += len(data)
        lines = (self.log_rest + data).split(b"\n")
        self.log_rest = lines.pop()
        for line in lines:
            self.log_lines.append((now, line.decode("latin-1").rstrip("\r")))

    # ---- the result, in ms after the wrapper's start
    def summary(self, launch, order):
        """The moments of the run in ms after the wrapper's start (None when not
        seen). launch: launch.exe's record (ns stamps); order: the cabinets in
        writing order."""
        t0, t1 = int(launch["launch"]), int(launch["end"])
        ms = lambda ns: None if ns is None else (ns - t0) / 1e6
        s = self.stamps
        wrapper_end = ms(t1)
        # The wrapper waits for msiexec, which waits for its custom-action
        # server: a poll that comes late must not put their ends after it.
        bounded = lambda ns: None if ns is None else min(ms(ns), wrapper_end)
        gaps = lambda ticks: [b - a for a, b in zip(ticks, ticks[1:]) if t0 <= b <= t1]
        polls, proc_polls = gaps(self.ticks), gaps(self.proc_ticks)
        result = {
            "wrapper_start": 0.0,
            "wrapper_end": wrapper_end,
            "event_set": ms(int(launch["eventset"])) if "eventset" in launch else None,
            "wrapper_exec": ms(s.get("wrapper_exec")),
            "wrapper_running": ms(s.get("wrapper_running")),
            "installer_created": ms(s.get("installer_fork", s.get("installer_exec"))),
            "installer_exec": ms(s.get("installer_exec")),
            "installer_running": ms(s.get("installer_running")),
            "installer_end": bounded(s.get("installer_end")),
            "ca_start": ms(s.get("ca_exec")),
            "ca_end": bounded(s.get("ca_end")),
            "polls": len(polls),
            "poll_mean": sum(polls) / len(polls) / 1e6 if polls else None,
            "poll_max": max(polls) / 1e6 if polls else None,
            "proc_poll_mean": sum(proc_polls) / len(proc_polls) / 1e6 if proc_polls else None,
            "proc_poll_max": max(proc_polls) / 1e6 if proc_polls else None,
            "poller": self.policy,
        }
        package = [n for n in self.files if n not in order][0]
        result["package"] = (package, self.files[package], ms(self.seen.get(package)),
                             ms(self.complete.get(package)))
        result["cabinets"] = [(n, self.files[n], ms(self.seen.get(n)), ms(self.complete.get(n)))
                              for n in order]
        result["log_first"] = ms(self.log_lines[0][0]) if self.log_lines else None
        actions, wait = {}, {}
        for stamp, line in self.log_lines:
            m = ACTION.search(line)
            if m:
                entry = actions.setdefault(m.group(2), [None, None])
                index = 0 if m.group(1) == "start" else 1
                if entry[index] is None:
                    entry[index] = ms(stamp)
            m = WAIT_START.search(line)
            if m and "start" not in wait:
                wait["start"], wait["limit_ms"] = ms(stamp), int(m.group(1))
            m = WAIT_SET.search(line)
            if m and "end" not in wait:
                wait["end"], wait["waited_ms"] = ms(stamp), int(m.group(1))
            if WAIT_FAILED.search(line):
                wait["failed"] = line
        result["actions"] = actions
        result["wait"] = wait
        return result


# ---- the picture
COLOURS = {
    "wrapper": "#4c78a8", "wrapper_light": "#9ecae9", "cab_a": "#f58518", "cab_b": "#ffbf79",
    "wrapper_mid": "#72a0cf", "wine": "#b0b0b0", "fork": "#d9d9d9",
    "installer": "#54a24b", "installer_light": "#a9d99a", "installer_dark": "#2f6b2a",
    "ca": "#d6c2e0", "wait": "#b279a2", "event": "#e45756", "grid": "#dddddd", "text": "#222222",
}


def nice_step(span, target=10):
    raw = span / target
    for step in (1, 2, 5, 10, 20, 25, 50, 100, 200, 250, 500, 1000, 2000, 5000):
        if step >= raw:
            return step
    return 10000


class Svg:
    def __init__(self, width, height):
        self.width, self.height = width, height
        self.items = []

    def add(self, text):
        self.items.append(text)

    def rect(self, x, y, w, h, fill, title=None, stroke="none"):
        tip = "<title>%s</title>" % html.escape(title) if title else ""
        self.add('<rect x="%.1f" y="%.1f" width="%.1f" height="%.1f" fill="%s" stroke="%s">%s</rect>'
                 % (x, y, max(w, 1.0), h, fill, stroke, tip))

    def line(self, x1, y1, x2, y2, stroke, width=1, dash=None):
        extra = ' stroke-dasharray="%s"' % dash if dash else ""
        self.add('<line x1="%.1f" y1="%.1f" x2="%.1f" y2="%.1f" stroke="%s" stroke-width="%s"%s/>'
                 % (x1, y1, x2, y2, stroke, width, extra))

    def text(self, x, y, content, size=12, anchor="start", weight="normal", fill=None):
        self.add('<text x="%.1f" y="%.1f" font-size="%s" text-anchor="%s" font-weight="%s" fill="%s">%s</text>'
                 % (x, y, size, anchor, weight, fill or COLOURS["text"], html.escape(content)))

    def diamond(self, x, y, r, fill):
        self.add('<path d="M%.1f %.1f l%.1f %.1f l%.1f %.1f l%.1f %.1f z" fill="%s"/>'
                 % (x, y - r, r, r, -r, r, -r, -r, fill))

    def render(self):
        return ('<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" viewBox="0 0 %d %d" '
                'font-family="DejaVu Sans, Arial, Helvetica, sans-serif">\n'
                '<rect width="100%%" height="100%%" fill="white"/>\n%s\n</svg>\n'
                % (self.width, self.height, self.width, self.height, "\n".join(self.items)))


def fits(x1, x2, text, size=11):
    return (x2 - x1) > len(text) * size * 0.6 + 6


class Chart:
    """Lanes of bars against one time axis."""

    def __init__(self, svg, top, lanes, t_from, t_to, left=230, right=30, lane_h=40):
        self.svg, self.top, self.lanes, self.lane_h = svg, top, lanes, lane_h
        self.left, self.right = left, svg.width - right
        self.t_from, self.t_to = t_from, t_to
        self.bottom = top + lane_h * len(lanes)

    def x(self, ms):
        return self.left + (ms - self.t_from) * (self.right - self.left) / (self.t_to - self.t_from)

    def frame(self, step, axis_label):
        svg = self.svg
        for i, name in enumerate(self.lanes):
            y = self.top + i * self.lane_h
            if i % 2 == 0:
                svg.rect(0, y, svg.width, self.lane_h, "#f7f7f7")
            svg.text(self.left - 10, y + self.lane_h / 2 + 4, name, size=12, anchor="end")
        k = int(self.t_from / step)
        while k * step <= self.t_to + 1e-9:
            if k * step >= self.t_from:
                x = self.x(k * step)
                svg.line(x, self.top - 6, x, self.bottom, COLOURS["grid"])
                svg.text(x, self.bottom + 16, "%g" % (k * step), size=11, anchor="middle")
            k += 1
        svg.text((self.left + self.right) / 2, self.bottom + 34, axis_label, size=11, anchor="middle")

    def bar(self, lane, t1, t2, fill, tip, label=None, label_fill=None):
        """A bar from t1 to t2 in a lane; its label inside when it fits. Bars of
        unknown ends are left out."""
        if t1 is None or t2 is None:
            return
        t1, t2 = max(t1, self.t_from), min(t2, self.t_to)
        if t2 < t1:
            return
        y = self.top + lane * self.lane_h + 9
        h = self.lane_h - 18
        x1, x2 = self.x(t1), self.x(t2)
        self.svg.rect(x1, y, x2 - x1, h, fill, tip)
        if label and fits(x1, x2, label):
            self.svg.text((x1 + x2) / 2, y + h / 2 + 4, label, size=11, anchor="middle",
                          fill=label_fill)

    def note(self, lane, t, text, side="right"):
        y = self.top + lane * self.lane_h + self.lane_h / 2 + 4
        x = self.x(t)
        if side == "right" and x + len(text) * 6.6 + 8 > self.svg.width:
            side = "left"
        if side == "right":
            self.svg.text(x + 6, y, text, size=11)
        else:
            self.svg.text(x - 6, y, text, size=11, anchor="end")

    def moment(self, t, text, colour, row=0):
        if t is None or not self.t_from <= t <= self.t_to:
            return
        x = self.x(t)
        self.svg.line(x, self.top - 8, x, self.bottom, colour, 1.5, "5,3")
        anchor = "middle"
        if x + len(text) * 3.3 > self.svg.width - 4:
            anchor = "end"
        self.svg.text(x, self.top - 12 - 14 * row, text, size=11, anchor=anchor, fill=colour)


def moments(chart, t):
    """The guide lines of the moments that matter, their labels kept apart."""
    marks = [("msiexec.exe created %.1f", t["installer_created"], COLOURS["installer_dark"]),
             ("event set %.1f", t["event_set"], COLOURS["event"]),
             ("msiexec.exe ended %.1f", t["installer_end"], COLOURS["installer_dark"])]
    marks = sorted(((n % v, v, c) for n, v, c in marks if v is not None), key=lambda m: m[1])
    last_x, last_half, row = -1e9, 0.0, 0
    for text, value, colour in marks:
        if not chart.t_from <= value <= chart.t_to:
            continue
        x, half = chart.x(value), len(text) * 3.4
        row = row + 1 if x - half < last_x + last_half + 8 else 0
        chart.moment(value, text, colour, row)
        last_x, last_half = x, half


def cabinet_bars(chart, lane, cabs, named):
    for k, (name, size, seen, done) in enumerate(cabs):
        label = None
        if named:
            label = "%s %.1f MB" % (name[:2], size / 1e6) if size >= 1e6 else name[:2]
            if not fits(chart.x(seen), chart.x(done), label):
                label = name[:2]
        chart.bar(lane, seen, done, COLOURS["cab_a" if k % 2 == 0 else "cab_b"],
                  "cabinet %s (%d bytes): created %.1f ms, complete %.1f ms" % (name, size, seen, done),
                  label)


def draw(t, path, title, subtitle):
    """Writes the SVG picture of one traced run t (a Tracer.summary) to path."""
    svg = Svg(1100, 0)  # the height is set once everything is placed
    svg.text(16, 26, title, size=16, weight="bold")
    svg.text(16, 46, subtitle, size=12)
    cabs = [c for c in t["cabinets"] if c[2] is not None and c[3] is not None]
    pkg_name, pkg_size, pkg_seen, pkg_done = t["package"]
    created, end = t["installer_created"], t["wrapper_end"]
    first_log = t["log_first"]
    wait = t["wait"]

    # The whole job.
    step = nice_step(end)
    whole = Chart(svg, 100, ["wrapper.exe, main thread", "wrapper.exe, cabinet thread",
                             "msiexec.exe (installer)", "custom-action server",
                             "package's wait (WaitForCabinets)"], 0, (int(end / step) + 1) * step)
    whole.frame(step, "ms after launch.exe started wrapper.exe")
    running = t["wrapper_running"]
    whole.bar(0, 0, running, COLOURS["wine"],
              "Wine starts wrapper.exe (until its Windows command line is set): 0 to %s ms" % running)
    whole.bar(0, running, pkg_seen, COLOURS["wrapper"],
              "its start-up (DLLs, checks, paths): %s to %s ms" % (running, pkg_seen), "start-up",
              "white")
    whole.bar(0, pkg_seen, pkg_done, COLOURS["wrapper_mid"],
              "package %s written: %s to %s ms" % (pkg_name, pkg_seen, pkg_done))
    whole.bar(0, pkg_done, created, COLOURS["wrapper"],
              "event, cabinet thread, msiexec.exe started: %s to %s ms" % (pkg_done, created))
    whole.bar(0, created, end, COLOURS["wrapper_light"],
              "waits for msiexec.exe: %s to %.1f ms" % (created, end), "waits for msiexec.exe")
    cabinet_bars(whole, 1, cabs, named=False)
    if cabs:
        whole.note(1, cabs[-1][3], "8 cabinets, %.1f to %.1f ms (enlarged below)" % (
            cabs[0][2], cabs[-1][3]))
    install_start = first_log if first_log is not None else created
    whole.bar(2, created, install_start, COLOURS["installer_light"],
              "start-up until its first log line: %s to %s ms" % (created, first_log),
              "start-up, until its first log line")
    whole.bar(2, install_start, t["installer_end"], COLOURS["installer"],
              "install sequence: %s to %s ms" % (install_start, t["installer_end"]),
              "install sequence", "white")
    files = t["actions"].get("InstallFiles")
    if files and None not in files:
        whole.bar(2, files[0], files[1], COLOURS["installer_dark"],
                  "InstallFiles: %.1f to %.1f ms" % tuple(files))
        svg.text(whole.x(files[1]), whole.top + 2 * whole.lane_h + 7, "InstallFiles", size=9,
                 anchor="middle")
    whole.bar(3, t["ca_start"], t["ca_end"], COLOURS["ca"],
              "msiexec -Embedding, runs the kit's DLL custom actions: %s to %s ms" % (
                  t["ca_start"], t["ca_end"]), "msiexec -Embedding")
    if "start" in wait:
        w_end = wait.get("end", wait["start"])
        whole.bar(3 + 1, wait["start"], w_end, COLOURS["wait"],
                  "WaitForCabinets: %.1f to %.1f ms" % (wait["start"], w_end))
        svg.diamond(whole.x(wait["start"]), whole.top + 4.5 * whole.lane_h, 6, COLOURS["wait"])
        if "waited_ms" in wait:
            text = "waited %d ms" % wait["waited_ms"]
            if t["event_set"] is not None and t["event_set"] < wait["start"]:
                text += " (the event had been set %.0f ms before)" % (wait["start"] - t["event_set"])
        else:
            text = wait.get("failed", "no end logged")
        whole.note(4, w_end, text, side="left")
    else:
        whole.note(4, 0, "no WaitForCabinets lines in the log")
    moments(whole, t)

    # Enlarged: from the start until the cabinets are written and msiexec runs.
    known = [v for v in [t["event_set"], t["installer_running"]] + [c[3] for c in cabs]
             if v is not None]
    z_end = max(known) if known else end
    z_step = nice_step(z_end, 10)
    z_to = min((int(z_end * 1.04 / z_step) + 1) * z_step, end)
    svg.text(16, 366, "Enlarged: the first %g ms" % z_to, size=13, weight="bold")
    zoom = Chart(svg, 406, ["wrapper.exe, main thread", "wrapper.exe, cabinet thread",
                            "msiexec.exe (installer)"], 0, z_to)
    zoom.frame(z_step, "ms after launch.exe started wrapper.exe")
    zoom.bar(0, 0, running, COLOURS["wine"],
             "Wine starts wrapper.exe (until its Windows command line is set): 0 to %s ms" % running,
             "Wine starts it")
    zoom.bar(0, running, pkg_seen, COLOURS["wrapper"],
             "its start-up (DLLs, checks, paths): %s to %s ms" % (running, pkg_seen),
             "start-up: DLLs, checks, paths", "white")
    zoom.bar(0, pkg_seen, pkg_done, COLOURS["wrapper_mid"],
             "package %s (%d bytes) written: %s to %s ms" % (pkg_name, pkg_size, pkg_seen, pkg_done),
             "package")
    zoom.bar(0, pkg_done, created, COLOURS["wrapper"],
             "event, cabinet thread, msiexec.exe started: %s to %s ms" % (pkg_done, created))
    zoom.bar(0, created, z_to, COLOURS["wrapper_light"], "waits for msiexec.exe",
             "waits for msiexec.exe")
    cabinet_bars(zoom, 1, cabs, named=True)
    zoom.bar(2, created, t["installer_exec"], COLOURS["fork"],
             "fork until Wine's loader runs msiexec.exe: %s to %s ms" % (created, t["installer_exec"]))
    zoom.bar(2, t["installer_exec"], t["installer_running"], COLOURS["wine"],
             "Wine starts msiexec.exe: %s to %s ms" % (t["installer_exec"], t["installer_running"]),
             "Wine starts it")
    zoom.bar(2, t["installer_running"], z_to, COLOURS["installer_light"],
             "msiexec.exe runs (its first log line at %s ms)" % first_log, "msiexec.exe runs")
    moments(zoom, t)

    legend = [("wine", "Wine's loader starts the program"), ("fork", "fork before msiexec.exe's exec"),
              ("wrapper", "wrapper: start-up; event, thread, CreateProcess"),
              ("wrapper_mid", "package written"),
              ("wrapper_light", "waits for msiexec.exe"), ("cab_a", "cabinets (alternating shades)"),
              ("installer_light", "msiexec.exe until its first log line"),
              ("installer", "install sequence"), ("installer_dark", "InstallFiles"),
              ("ca", "custom-action server"), ("wait", "WaitForCabinets")]
    x, y = 16, 636
    for key, text in legend:
        width = 22 + len(text) * 6.4
        if x + width > svg.width - 16:
            x, y = 16, y + 20
        svg.rect(x, y - 10, 14, 12, COLOURS[key])
        svg.text(x + 19, y, text, size=11)
        x += width + 14

    notes = [
        "W stamps: QueryPerformanceCounter in launch.exe (the wrapper's start and end, the event set). "
        "L stamps: Linux polling at %s:" % t.get("poller", "?"),
        "the staged files and the verbose log every %.2f ms on average (at most %.1f ms apart), "
        "msiexec processes in /proc every %.2f ms (at most %.1f ms apart)." % (
            t["poll_mean"] or 0, t["poll_max"] or 0, t.get("proc_poll_mean") or 0,
            t.get("proc_poll_max") or 0),
        "One clock: CLOCK_MONOTONIC_RAW. An L moment is late by up to the gap between two polls. "
        "Hover over a bar for its exact times; docs/benchmarks.md lists them.",
    ]
    for k, line in enumerate(notes):
        svg.text(16, y + 34 + 16 * k, line, size=11)
    svg.height = int(y + 34 + 16 * len(notes) + 8)
    with open(path, "w") as f:
        f.write(svg.render())
