"""Wine sometimes ends a process with 1 at once, silently, before it does
anything (seen under load, about once in a few full runs). The test runners
trace process starts and DLL loads of the programs they start, so that such
a start can be told and run once more with its trace in the log."""

import re

# Wine's channels of process starts and DLL loads.
START_TRACE = "-all,+process,+loaddll"
TRACE_LINE = re.compile(rb"^[0-9a-f]+:(trace|fixme|warn|err):(process|loaddll):")


def split_trace(output):
    """Wine's output split into its other lines and the START_TRACE lines."""
    other, trace = [], []
    for line in output.splitlines(keepends=True):
        (trace if TRACE_LINE.match(line) else other).append(line)
    return b"".join(other), b"".join(trace)


def note_start_failure(program, elapsed, trace):
    """Says in the log that a Wine process died (at once, for a program of a
    case) and is run again, with what Wine wrote (the trace of its process
    starts and DLL loads, for a case), so that the cause can be looked into."""
    lines = trace.decode("ascii", "replace").splitlines()
    print("  note: %s failed (%.1f s), before it did anything: run again."
          " Wine's output of that start (last %d of %d lines):" % (program, elapsed, min(len(lines), 40), len(lines)))
    for line in lines[-40:]:
        print("    " + line)
    print(end="", flush=True)
