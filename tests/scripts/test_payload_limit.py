"""Tests of cmake/payload_limit.py: the build's refusal of a payload larger
than the edition can start.

    python3 -m unittest discover -s tests/scripts -p 'test_*.py'
"""

import contextlib
import io
import os
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "cmake"))
import payload_limit  # noqa: E402


class PayloadLimitTest(unittest.TestCase):
    def build(self, sizes, limit):
        """Runs the check on files of the given sizes; returns (exit code, stderr, stamp or None)."""
        with tempfile.TemporaryDirectory() as folder:
            paths = []
            for index, size in enumerate(sizes):
                path = os.path.join(folder, "part%d" % index)
                with open(path, "wb") as f:
                    f.truncate(size)  # sparse: large sizes cost no disk
                paths.append(path)
            stamp = os.path.join(folder, "payload-size.txt")
            errors = io.StringIO()
            with contextlib.redirect_stderr(errors):
                code = payload_limit.main(["--edition", "the 32-bit edition", "--limit", str(limit),
                                           "--instead", "Build the x64 edition.", "--stamp", stamp] + paths)
            written = open(stamp).read() if os.path.exists(stamp) else None
            return code, errors.getvalue(), written

    def test_the_payload_is_the_sum_of_its_files_against_the_limit(self):
        gib = 2**30
        cases = [
            # sizes, limit, accepted
            ([417792, 9710828, 0], 10 * 2**20, True),
            ([gib, gib // 2], 3 * gib // 2, True),        # exactly at the limit
            ([gib, gib // 2, 1], 3 * gib // 2, False),    # one byte over
            ([3 * gib, 2 * gib], 4 * gib, False),         # above 4 GiB: no 32-bit wrap-around
            ([0], 0, True),
        ]
        for sizes, limit, accepted in cases:
            with self.subTest(sizes=sizes, limit=limit):
                code, errors, stamp = self.build(sizes, limit)
                if accepted:
                    self.assertEqual((code, errors, stamp), (0, "", "%d\n" % sum(sizes)))
                else:
                    self.assertEqual(code, 1)
                    self.assertIsNone(stamp, "a refused payload leaves no stamp for the build to go on with")
                    self.assertIn("{:,} bytes".format(sum(sizes)), errors)
                    self.assertIn("its limit is {:,} bytes".format(limit), errors)

    def test_the_message_names_size_limit_edition_and_what_to_do(self):
        message = payload_limit.refusal("the 32-bit edition", 1610715136, 1073741824, "Build the x64 edition.")
        self.assertEqual(
            message,
            "the payload is 1,610,715,136 bytes (1.50 GiB), more than the 32-bit edition can start "
            "(its limit is 1,073,741,824 bytes (1.00 GiB): the system maps the whole image in one piece "
            "and refuses a larger one before the program runs). Build the x64 edition. "
            "To build it anyway, set WRAPPER_PAYLOAD_LIMIT to a larger number of bytes.")
        self.assertIsNone(payload_limit.refusal("the x64 edition", 5, 5, ""))

    def test_a_missing_payload_file_fails_the_build(self):
        with tempfile.TemporaryDirectory() as folder:
            with self.assertRaises(FileNotFoundError):
                payload_limit.main(["--edition", "e", "--limit", "1", "--instead", "i",
                                    "--stamp", os.path.join(folder, "s"), os.path.join(folder, "missing")])


if __name__ == "__main__":
    unittest.main()
