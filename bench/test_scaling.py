"""Tests of the scaling benchmark's report (bench/scaling.py)."""

import pathlib
import sys
import tempfile
import types
import unittest
from unittest import mock

sys.dont_write_bytecode = True
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import scaling  # noqa: E402

ROWS = """win64 256 yes 9 268582912 yes yes 0.82 610 744 3.7
win32 2048 yes 70 2147700736 no_(CreateProcess_error_8) - - - - -
win32 4096 no 3 0 -
"""


class ScalingReportTest(unittest.TestCase):
    def report(self, doc_text, skipped=""):
        with tempfile.TemporaryDirectory() as folder:
            rows = pathlib.Path(folder, "rows.txt")
            rows.write_text(ROWS)
            doc = pathlib.Path(folder, "benchmarks.md")
            doc.write_text(doc_text)
            with mock.patch("subprocess.run", return_value=types.SimpleNamespace(stdout="wine-8.0\n")), \
                    mock.patch("builtins.print"):
                scaling.report(types.SimpleNamespace(rows=str(rows), doc=str(doc), skipped=skipped, wine="wine64"))
            return doc.read_text()

    def test_each_outcome_has_its_row(self):
        text = self.report("# Benchmarks\n")
        cases = [
            "| win64 | 256 MiB | yes (9 s) | 256 MiB | yes | yes | 610 (744) | 0.82 | 3.7 MiB |",
            "| win32 | 2048 MiB | yes (70 s) | 2048 MiB | no (CreateProcess error 8) | - | - | - | - |",
            "| win32 | 4096 MiB | no | - | - | - | - | - | - |",
        ]
        for row in cases:
            with self.subTest(row=row):
                self.assertIn(row, text)

    def test_only_the_scaling_section_is_replaced(self):
        old = "# Benchmarks\nabove\n%s\nold table\n%s\nbelow\n" % (scaling.BEGIN, scaling.END)
        text = self.report(old, skipped="win32: not measured")
        self.assertTrue(text.startswith("# Benchmarks\nabove\n" + scaling.BEGIN))
        self.assertTrue(text.endswith(scaling.END + "\nbelow\n"))
        self.assertNotIn("old table", text)
        self.assertIn("win32: not measured", text)
        self.assertIn("Wine wine-8.0)", text)
        self.assertEqual(text.count(scaling.BEGIN), 1)


if __name__ == "__main__":
    unittest.main()
