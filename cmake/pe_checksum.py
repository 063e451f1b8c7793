#!/usr/bin/python3
"""Writes the header checksum of a PE file in place.

GNU ld writes the checksum itself; lld 14 cannot, so the arm64 edition's
link is followed by this. The checksum is the sum of the file's 16-bit words
(the checksum field counted as zero) with every carry added back in, folded
to 16 bits, plus the file's length.

The file is read in pieces, so an image that carries a large kit costs
neither its size in memory nor a loop over its words: a piece read as one
little-endian number is congruent to the sum of its 16-bit words modulo
0xFFFF (2**16 is 1 modulo 0xFFFF), and the carries added back make the
folded sum that same residue, with 0xFFFF standing for a non-zero multiple.
"""

import struct
import sys

PIECE = 64 * 2**20  # even: a piece never splits a word


def checksum_offset(header):
    (pe,) = struct.unpack_from("<I", header, 0x3C)
    if header[pe:pe + 4] != b"PE\0\0":
        raise SystemExit("not a PE file")
    return pe + 4 + 20 + 64  # signature, file header, then the field's place in the optional header


def checksum(f, skip):
    """The checksum of the open file f, whose field at offset skip counts as zero."""
    f.seek(0)
    residue = 0
    any_word = False
    length = 0
    while True:
        piece = bytearray(f.read(PIECE))
        if not piece:
            break
        # The field's bytes that fall in this piece count as zero.
        start = max(skip - length, 0)
        end = min(skip + 4 - length, len(piece))
        if start < end:
            piece[start:end] = bytes(end - start)
        length += len(piece)
        # An odd last byte is the low byte of a word whose high byte is zero.
        value = int.from_bytes(piece, "little")
        any_word = any_word or value != 0
        residue = (residue + value % 0xFFFF) % 0xFFFF
    folded = 0xFFFF if residue == 0 and any_word else residue
    return folded + length


def main(path):
    with open(path, "r+b") as f:
        offset = checksum_offset(f.read(4096))
        value = checksum(f, offset)
        f.seek(offset)
        f.write(struct.pack("<I", value))


if __name__ == "__main__":
    if len(sys.argv) != 2:
        raise SystemExit("usage: pe_checksum.py FILE")
    main(sys.argv[1])
