"""The scaling benchmark's measurement and report (driven by bench/scaling.sh).

    scaling.py measure --edition E --wine LOADER --exe WRAPPER --kit DIR --mib N --build-seconds S
        prints one row: EDITION MIB BUILT BUILD_S EXE_BYTES STARTED STAGED RATIO MBPS DD_MBPS PRIVATE_MIB
    scaling.py report --rows FILE --doc docs/benchmarks.md [--skipped TEXT]
        writes the table between the scaling markers of the results file
"""

import argparse
import filecmp
import os
import pathlib
import subprocess
import sys
import time
import types

sys.dont_write_bytecode = True
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import bench  # noqa: E402

BEGIN = "<!-- scaling begin -->"
END = "<!-- scaling end -->"
COLUMNS = ["edition", "mib", "built", "build_s", "exe_bytes", "started", "staged",
           "ratio", "mbps", "dd_mbps", "private_mib"]


def start_once(b, exe):
    """One wrapper.exe /s with the stand-in: (exit code, stand-in record)."""
    b.fresh_staging()
    b.clear_records()
    env = {"BENCH_LAUNCH_OUT": r"C:\bench\launch.txt", "BENCH_STANDIN_OUT": r"C:\bench\standin.txt"}
    b.wine(r"C:\bench\launch.exe", b.win_path(exe), "/s", env=env, check=False)
    launch = b.records("launch.txt")
    if "nostart" in launch:  # the system refused to start the image
        return "CreateProcess error %s" % launch["nostart"], {}
    if "exit" not in launch:
        return "no record", {}
    return int(launch["exit"]), b.records("standin.txt")


def measure(args):
    exe = pathlib.Path(args.exe).resolve()
    b = bench.Bench(types.SimpleNamespace(edition=args.edition, wine=args.wine, full=exe,
                                          small=exe, kit=args.kit))
    b.set_installer(r"C:\bench\standin")
    row = {"edition": args.edition, "mib": args.mib, "built": "yes",
           "build_s": "%.0f" % float(args.build_seconds), "exe_bytes": exe.stat().st_size,
           "started": "no", "staged": "-", "ratio": "-", "mbps": "-", "dd_mbps": "-",
           "private_mib": "-"}
    waits = []
    for _ in range(2):  # the first round reads the image into the page cache
        code, standin = start_once(b, exe)
        if code != 0 or "ready" not in standin:
            row["started"] = "no (%s)" % (code if isinstance(code, str) else "exit 0x%08X" % (code & 0xFFFFFFFF))
            break
        row["started"] = "yes"
        waits.append((int(standin["ready"]) - int(standin["start"])) / 1e9)
    if row["started"] == "yes":
        names = [bench.PACKAGE, *bench.CABINETS]
        same = all(filecmp.cmp(b.kit / n, b.staging / n, shallow=False) for n in names)
        row["staged"] = "yes" if same else "DIFFERENT"
        mb = b.cab_bytes / 1e6
        dd = b.dd_cabinets()
        # The cabinets are written after the installer's start; the stand-in
        # sees the event once the last one is written and verified.
        row["mbps"] = "%.0f" % (mb / waits[-1])
        row["dd_mbps"] = "%.0f" % (mb / dd)
        row["ratio"] = "%.2f" % (dd / waits[-1])
        memory = b.memory_run(exe)
        row["private_mib"] = "%.1f" % (memory["RssAnon"] / 2**20)
    b.fresh_staging()
    print(" ".join(str(row[c]).replace(" ", "_") for c in COLUMNS), flush=True)


def table(rows):
    lines = ["| Edition | Payload | Builds (time) | Image | Starts | Staged byte for byte | "
             "Cabinets MB/s (dd) | Against dd | Private memory |",
             "|---|---|---|---|---|---|---|---|---|"]
    for r in rows:
        built = "yes (%s s)" % r["build_s"] if r["built"] == "yes" else "no"
        image = "%.0f MiB" % (int(r["exe_bytes"]) / 2**20) if r["built"] == "yes" else "-"
        speed = "%s (%s)" % (r["mbps"], r["dd_mbps"]) if r["mbps"] != "-" else "-"
        memory = "%s MiB" % r["private_mib"] if r["private_mib"] != "-" else "-"
        lines.append("| %s | %s MiB | %s | %s | %s | %s | %s | %s | %s |" % (
            r["edition"], r["mib"], built, image, r["started"].replace("_", " "), r["staged"],
            speed, r["ratio"], memory))
    return lines


def report(args):
    rows = []
    for line in pathlib.Path(args.rows).read_text().splitlines():
        values = line.split()
        if len(values) == len(COLUMNS):
            rows.append(dict(zip(COLUMNS, values)))
        elif len(values) == 6:  # a build that failed
            rows.append(dict(zip(COLUMNS[:4], values[:4]), exe_bytes="0", started="-", staged="-",
                             ratio="-", mbps="-", dd_mbps="-", private_mib="-"))
    section = [BEGIN, "", "Measured by `bench/scaling.sh` on %s (%d cores, Wine %s)." % (
        bench.utc_now(), os.cpu_count(),
        subprocess.run([args.wine, "--version"], stdout=subprocess.PIPE, text=True).stdout.strip()), ""]
    section += table(rows)
    if args.skipped:
        section += ["", args.skipped]
    section += ["", END]
    doc = pathlib.Path(args.doc)
    text = doc.read_text()
    if BEGIN in text and END in text:
        text = text[:text.index(BEGIN)] + "\n".join(section) + text[text.index(END) + len(END):]
    else:
        text = text.rstrip("\n") + "\n\n### Payload limits\n\n" + "\n".join(section) + "\n"
    doc.write_text(text)
    print("\n".join(table(rows)))


def main():
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="command", required=True)
    m = sub.add_parser("measure")
    m.add_argument("--edition", required=True, choices=sorted(bench.EDITIONS))
    m.add_argument("--wine", required=True)
    m.add_argument("--exe", required=True)
    m.add_argument("--kit", required=True)
    m.add_argument("--mib", required=True)
    m.add_argument("--build-seconds", required=True)
    r = sub.add_parser("report")
    r.add_argument("--rows", required=True)
    r.add_argument("--doc", required=True)
    r.add_argument("--skipped", default="")
    r.add_argument("--wine", default="/usr/lib/wine/wine64", help="the loader whose version is named")
    args = parser.parse_args()
    started = time.monotonic()
    (measure if args.command == "measure" else report)(args)
    print("(%.0f s)" % (time.monotonic() - started), file=sys.stderr)


if __name__ == "__main__":
    main()
