"""Tests of cmake/payload_limit.py: the build's refusal of a payload larger
than the edition can start.

    python3 -m unittest discover -s tests/scripts -p 'test_*.py'
"""

import contextlib
import io
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.normpath(os.path.join(HERE, "..", ".."))
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
            written = None
            if os.path.exists(stamp):
                with open(stamp) as f:
                    written = f.read()
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


class BuildRefusalTest(unittest.TestCase):
    """The real build of the 32-bit edition, over a kit of sparse files just
    above the limit: it stops before anything is embedded."""

    CABINETS = ["sd160130", "ss160130", "st160130", "sj160130", "sp160130", "sz160130", "sb160130", "sr160130"]

    def configure_and_build(self, folder, extra):
        kit = os.path.join(folder, "kit")
        os.makedirs(kit)
        for name in ["tpz1.6.0_13.msi"] + [c + ".cab" for c in self.CABINETS]:
            with open(os.path.join(kit, name), "wb") as f:
                f.truncate(4096 if name.endswith(".msi") else 200 * 2**20)  # 8 x 200 MiB + 4 KiB
        build = os.path.join(folder, "build")
        configure = subprocess.run(
            ["cmake", "--preset", "win32", "-B", build, "-DWRAPPER_BUILD_KIT=OFF", "-DWRAPPER_KIT_DIR=" + kit] + extra,
            cwd=SOURCE, capture_output=True, text=True)
        if configure.returncode != 0:
            return configure, build
        return subprocess.run(["cmake", "--build", build, "-j2"], capture_output=True, text=True), build

    def setUp(self):
        if shutil.which("i686-w64-mingw32-g++") is None:
            self.skipTest("no i686-w64-mingw32-g++ here: the build of the 32-bit edition cannot run")

    def test_a_kit_over_the_limit_stops_the_build_with_its_size_and_limit(self):
        with tempfile.TemporaryDirectory() as folder:
            result, build = self.configure_and_build(folder, [])
            self.assertNotEqual(result.returncode, 0)
            self.assertIn("the payload is 1,677,725,696 bytes (1.56 GiB), more than the 32-bit edition can start "
                          "(its limit is 1,677,721,600 bytes (1.56 GiB)", result.stdout + result.stderr)
            self.assertIn("set WRAPPER_PAYLOAD_LIMIT", result.stdout + result.stderr)
            self.assertFalse(os.path.exists(os.path.join(build, "wrapper.exe")))

    def test_a_limit_that_is_not_a_number_stops_the_configuration(self):
        with tempfile.TemporaryDirectory() as folder:
            result, _ = self.configure_and_build(folder, ["-DWRAPPER_PAYLOAD_LIMIT=1.5GiB"])
            self.assertNotEqual(result.returncode, 0)
            self.assertIn('WRAPPER_PAYLOAD_LIMIT must be a number of bytes, not "1.5GiB"', result.stderr)


if __name__ == "__main__":
    unittest.main()
