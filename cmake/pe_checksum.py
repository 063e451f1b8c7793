#!/usr/bin/python3
"""Writes the header checksum of a PE file in place.

GNU ld writes the checksum itself; lld 14 cannot, so the arm64 edition's
link is followed by this. The checksum is the one-complement-style sum of
the file's 16-bit words (the checksum field counted as zero), folded to 16
bits, plus the file's length.
"""

import struct
import sys


def checksum_offset(data):
    (pe,) = struct.unpack_from("<I", data, 0x3C)
    if data[pe:pe + 4] != b"PE\0\0":
        raise SystemExit("not a PE file")
    return pe + 4 + 20 + 64  # signature, file header, then the field's place in the optional header


def checksum(data, skip):
    padded = data + b"\0" * (len(data) % 2)
    total = 0
    for (word,) in struct.iter_unpack("<H", padded):
        total += word
    (stored,) = struct.unpack_from("<I", data, skip)
    total -= (stored & 0xFFFF) + (stored >> 16)
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(data)


def main(path):
    with open(path, "rb") as f:
        data = f.read()
    offset = checksum_offset(data)
    data = bytearray(data)
    struct.pack_into("<I", data, offset, checksum(bytes(data), offset))
    with open(path, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        raise SystemExit("usage: pe_checksum.py FILE")
    main(sys.argv[1])
