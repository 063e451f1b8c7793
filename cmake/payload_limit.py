#!/usr/bin/python3
"""Stops the build when the payload is larger than the edition can start.

    payload_limit.py --edition NAME --limit BYTES --instead TEXT --stamp FILE PAYLOAD...

The whole image is mapped in one piece when the program starts, so a payload
above the edition's limit gives a wrapper.exe that the system refuses to
start ("Not enough memory") before a line of it runs. Such a build fails here,
naming the payload's size, the limit and what to do instead. Within the limit
the stamp file records the size.
"""

import argparse
import os
import sys

OVERRIDE = "WRAPPER_PAYLOAD_LIMIT"


def describe(size):
    """Bytes with their thousands marked, and in GiB or MiB."""
    if size >= 2**30:
        unit = "%.2f GiB" % (size / 2**30)
    elif size >= 2**20:
        unit = "%.1f MiB" % (size / 2**20)
    else:
        unit = "%.1f KiB" % (size / 2**10)
    return "{:,} bytes ({})".format(size, unit)


def refusal(edition, total, limit, instead):
    """The build's message for a payload of total bytes over limit, or None."""
    if total <= limit:
        return None
    return ("the payload is %s, more than %s can start (its limit is %s: the system maps the "
            "whole image in one piece and refuses a larger one before the program runs). "
            "%s To build it anyway, set %s to a larger number of bytes."
            % (describe(total), edition, describe(limit), instead, OVERRIDE))


def main(argv):
    parser = argparse.ArgumentParser()
    parser.add_argument("--edition", required=True)
    parser.add_argument("--limit", required=True, type=int)
    parser.add_argument("--instead", required=True)
    parser.add_argument("--stamp", required=True)
    parser.add_argument("payload", nargs="+")
    args = parser.parse_args(argv)
    total = sum(os.path.getsize(path) for path in args.payload)
    message = refusal(args.edition, total, args.limit, args.instead)
    if message is not None:
        print("wrapper.exe: " + message, file=sys.stderr)
        return 1
    with open(args.stamp, "w") as stamp:
        stamp.write("%d\n" % total)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
