"""Tests of cmake/pe_checksum.py, which writes the arm64 image's header
checksum, against the checksum computed word by word.

    python3 -m unittest discover -s tests/scripts -p 'test_*.py'
"""

import os
import random
import struct
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "cmake"))
import pe_checksum  # noqa: E402

PE_AT = 0x80
FIELD = PE_AT + 4 + 20 + 64


def word_by_word(data):
    """The checksum as the image format describes it: 16-bit words, carries added back."""
    length = len(data)
    data = bytearray(data)
    data[FIELD:FIELD + 4] = bytes(4)
    if length % 2:
        data.append(0)
    total = 0
    for (word,) in struct.iter_unpack("<H", data):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return total + length


def image(body):
    data = bytearray(body)
    data[0x3C:0x40] = struct.pack("<I", PE_AT)
    data[PE_AT:PE_AT + 4] = b"PE\0\0"
    return data


class PeChecksumTest(unittest.TestCase):
    def test_matches_the_word_by_word_sum(self):
        rng = random.Random(7)
        cases = {
            "random, even length": image(rng.randbytes(20000)),
            "random, odd length": image(rng.randbytes(20001)),
            "zeros but the header": image(bytes(4096)),
            # words that add up to a non-zero multiple of 0xFFFF fold to 0xFFFF, not 0
            "a multiple of 0xFFFF": image(bytes(512)) + b"\xff\xff" * 3,
            "a stale checksum in the field": image(rng.randbytes(5000)),
        }
        cases["a stale checksum in the field"][FIELD:FIELD + 4] = b"\x12\x34\x56\x78"
        for piece in (pe_checksum.PIECE, 4096, FIELD + 2):  # the field inside one piece, or split over two
            for name, data in cases.items():
                with self.subTest(name, piece=piece), tempfile.NamedTemporaryFile() as f:
                    f.write(data)
                    f.flush()
                    saved = pe_checksum.PIECE
                    pe_checksum.PIECE = piece
                    try:
                        pe_checksum.main(f.name)
                    finally:
                        pe_checksum.PIECE = saved
                    f.seek(0)
                    written = f.read()
                    self.assertEqual(len(written), len(data), "only the field is written")
                    (value,) = struct.unpack_from("<I", written, FIELD)
                    self.assertEqual(value, word_by_word(data))
                    self.assertEqual(written[:FIELD] + written[FIELD + 4:], bytes(data[:FIELD] + data[FIELD + 4:]))


if __name__ == "__main__":
    unittest.main()
