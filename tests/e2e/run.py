"""Runs the end-to-end tests: python3 run.py BUILD_DIR [--config NAME] [-k SUBSTRING]...

NAME is the configuration (lib/configuration.py): win32 (the default),
win32-x64 or win64. Prints one line per case ("ok", "FAIL", or "skip" with
the reason a case cannot apply to the configuration) and a final
"N passed, M failed, K skipped"; exits non-zero on any failure, or when
nothing passed."""

import argparse
import importlib
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from lib import cases  # noqa: E402
from lib.configuration import Configuration  # noqa: E402
from lib.harness import HarnessError, Session  # noqa: E402

# What a signature can change, run again on the signed build (the unsigned
# build runs every case): the image and its resources read back, that it
# starts and reads its own strings and package, that it installs the kit
# with the real installer engine, and a message box from its string table.
SIGNED_BUILD_CASES = (
    "image:",
    "typical run: German, /s and quoted /v",
    "real msiexec: /s installs the kit after the event",
    "engine too old[English]",
    "engine too old[Japanese]",
)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build_dir")
    parser.add_argument("--config", default="win32", help="win32, win32-x64 or win64")
    parser.add_argument("--without-wine", metavar="REASON",
                        help="run only the cases that need no Wine, and say why the others do not run")
    parser.add_argument("-k", action="append", default=[], help="run only cases whose name contains this")
    parser.add_argument("-v", action="store_true", help="print Wine's stderr of failing cases")
    parser.add_argument("--signed-build", action="store_true",
                        help="run only what a signature can change (SIGNED_BUILD_CASES)")
    parser.add_argument("--shard", metavar="I/N", default="1/1",
                        help="run only every Nth case, from the Ith on (a suite split in N runs side by side)")
    options = parser.parse_args()

    here = os.path.dirname(os.path.abspath(__file__))
    for name in sorted(os.listdir(here)):
        if name.startswith("test_") and name.endswith(".py"):
            importlib.import_module(name[:-3])

    patterns = options.k + (list(SIGNED_BUILD_CASES) if options.signed_build else [])
    selected = [(n, f) for n, f in cases.CASES if not patterns or any(k in n for k in patterns)]
    shard, shards = (int(n) for n in options.shard.split("/"))
    if not 1 <= shard <= shards:
        parser.error("--shard I/N needs 1 <= I <= N")
    selected = selected[shard - 1::shards]
    not_run = 0
    if options.without_wine:
        not_run = len([n for n, _ in selected if n not in cases.WITHOUT_WINE])
        selected = [(n, f) for n, f in selected if n in cases.WITHOUT_WINE]
        print("# %d cases need Wine and do not run: %s" % (not_run, options.without_wine), flush=True)
    config = Configuration(options.config)
    print("# configuration %s%s" % (config, ", cases %d of every %d" % (shard, shards) if shards > 1 else ""),
          flush=True)
    passed = failed = skipped = 0
    started = time.monotonic()
    session = None
    try:
        session = Session(options.build_dir, config)
        if not options.without_wine:
            session.start_display()
        passed, failed, skipped = cases.run_cases(selected, session, brief=(HarnessError,))
    except HarnessError as e:
        print("harness error: %s" % e, flush=True)
        failed += 1
    finally:
        if session is not None:
            session.close()
    print("# %.0f s" % (time.monotonic() - started))
    print("%d passed, %d failed, %d skipped%s (%s)" % (
        passed, failed, skipped, ", %d not run without Wine" % not_run if options.without_wine else "",
        config.name))
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
