"""Registration of test cases: one function per case, or one per row of a
table of cases (the row's name is added to the case name). A case registered
with wine=False reads only the build's files, so it also runs for a
configuration whose programs this host cannot start."""

import time
import traceback

from .configuration import Skip

CASES = []          # (name, function of the session)
WITHOUT_WINE = set()  # names of the cases that need no Wine


def case(name, wine=True):
    def register(function):
        CASES.append((name, lambda session: function(session)))
        if not wine:
            WITHOUT_WINE.add(name)
        return function
    return register


def table(name, rows, wine=True):
    """rows: (row name, argument) pairs; the function gets (session, argument)."""
    def register(function):
        for row_name, argument in rows:
            full = "%s[%s]" % (name, row_name)
            CASES.append((full, (lambda a: lambda session: function(session, a))(argument)))
            if not wine:
                WITHOUT_WINE.add(full)
        return function
    return register


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def equal(actual, expected, what):
    if actual != expected:
        raise AssertionError("%s:\n    expected %r\n    actual   %r" % (what, expected, actual))


def run_cases(selected, subject, brief=()):
    """Runs each (name, function) of selected on subject and prints one line
    per case: "ok", "FAIL" with the difference (a traceback, or only the
    message for an exception of a type in brief), or "skip" with the reason.
    Returns (passed, failed, skipped)."""
    passed = failed = skipped = 0
    for name, function in selected:
        t0 = time.monotonic()
        try:
            function(subject)
        except Skip as e:
            skipped += 1
            print("skip %s\n  %s" % (name, e), flush=True)
            continue
        except Exception as e:  # a harness problem counts as a failure of the case
            failed += 1
            if isinstance(e, AssertionError):
                detail = str(e)
            elif isinstance(e, brief):
                detail = "".join(traceback.format_exception_only(type(e), e)).strip()
            else:
                detail = traceback.format_exc().strip()
            print("FAIL %s (%.1fs)\n  %s" % (name, time.monotonic() - t0, detail.replace("\n", "\n  ")), flush=True)
            continue
        passed += 1
        print("ok   %s (%.1fs)" % (name, time.monotonic() - t0), flush=True)
    return passed, failed, skipped
