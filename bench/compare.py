#!/usr/bin/python3
"""Compares builds of wrapper.exe on the stand-in figures (installer start,
cabinets ready), interleaved round by round, medians printed; with --real,
on the whole job with Wine's msiexec against the installer alone.
  WINEPREFIX=... bench/compare.py --kit KITDIR [--edition win32|win64] [--rounds N] [--real]
                                  LABEL=EXE ...
Needs the prefix and programs that bench/run.sh sets up for the edition
(build/bench/EDITION/prefix); the edition decides the Wine loader and the
staging folder."""
import argparse
import os
import pathlib
import statistics
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, str(pathlib.Path(__file__).parent))
import bench as benchmod  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--kit", required=True)
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--real", action="store_true")
    parser.add_argument("--edition", default="win32", choices=sorted(benchmod.EDITIONS))
    parser.add_argument("exes", nargs="+", help="LABEL=PATH")
    args = parser.parse_args()
    exes = [item.split("=", 1) for item in args.exes]
    loader = "/usr/lib/wine/wine64" if args.edition == "win64" else "wine"
    b = benchmod.Bench(argparse.Namespace(full=exes[0][1], small=exes[0][1], kit=args.kit,
                                          edition=args.edition, wine=loader))
    if args.real:
        return real(b, exes, args.rounds)
    b.set_installer(r"C:\bench\standin")
    rows = {label: {"start": [], "wait": [], "all": []} for label, _ in exes}
    rows["trivial"] = {"start": []}
    rows["dd"] = {"all": []}
    for rnd in range(args.rounds + 1):
        for label, exe in exes:
            b.fresh_staging()
            launch, standin = b.launch(b.win_path(pathlib.Path(exe).resolve()), "/s")
            t0, s, r = int(launch["launch"]), int(standin["start"]), int(standin["ready"])
            if rnd:
                rows[label]["start"].append((s - t0) / 1e6)
                rows[label]["wait"].append((r - s) / 1e6)
                rows[label]["all"].append((r - t0) / 1e6)
        launch, standin = b.launch(r"C:\bench\trivial.exe", r"C:\bench\standin\msiexec.exe")
        if rnd:
            rows["trivial"]["start"].append((int(standin["start"]) - int(launch["launch"])) / 1e6)
        dd = b.dd_cabinets()
        if rnd:
            rows["dd"]["all"].append(dd * 1e3)
    for label, values in rows.items():
        print("%-12s " % label + "  ".join("%s %.1f ms" % (k, statistics.median(v))
                                           for k, v in values.items()))


def real(b, exes, rounds):
    b.set_installer(r"C:\bench\standin")
    b.fresh_staging()
    _, standin = b.launch(b.win_path(pathlib.Path(exes[0][1]).resolve()), "/s")
    b.command_line = standin["cmd"]
    command = b.installer_command()
    b.set_installer(r"C:\windows\system32")
    rows = {label: [] for label, _ in exes}
    rows["alone"] = []
    for rnd in range(rounds + 1):
        for label, exe in exes:
            b.uninstall()
            b.fresh_staging()
            launch, _ = b.launch(b.win_path(pathlib.Path(exe).resolve()), "/s")
            if rnd:
                rows[label].append((int(launch["end"]) - int(launch["launch"])) / 1e6)
        b.uninstall()
        os.sync()
        launch, _ = b.launch(*command)
        if rnd:
            rows["alone"].append((int(launch["end"]) - int(launch["launch"])) / 1e6)
    b.uninstall()
    for label, values in rows.items():
        print("%-12s whole job %.1f ms (min %.1f)" % (label, statistics.median(values), min(values)))


if __name__ == "__main__":
    main()
