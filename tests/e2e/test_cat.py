#!/usr/bin/env python3
"""The cat applet (cat.cpp), run for real: files and standard input copied byte for byte in
order, several inputs with some unreadable (the others still copied, status 1), a full output
device reported, the usage on --help.

Usage: test_cat.py <vexa>
"""
import os
import shutil
import tempfile
import unittest

import vexa_e2e as e2e


class CatTest(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.mkdtemp(prefix="vexa-cat-")
        self.first = os.path.join(self.directory, "first")
        self.second = os.path.join(self.directory, "second")
        self.data = {self.first: bytes(range(256)) * 1000 + b"\x00tail",
                     self.second: os.urandom(65536 * 3 + 5)}
        for path, data in self.data.items():
            with open(path, "wb") as handle:
                handle.write(data)

    def tearDown(self):
        shutil.rmtree(self.directory, ignore_errors=True)

    def test_files_and_standard_input_byte_for_byte(self):
        links = e2e.Links()
        try:
            for result in (e2e.run("cat", self.first, self.second, self.first, binary=True),
                           links.run("cat", self.first, self.second, self.first, binary=True)):
                self.assertEqual((result.returncode, result.stderr), (0, b""), result)
                self.assertEqual(result.stdout, self.data[self.first] + self.data[self.second] +
                                 self.data[self.first])
        finally:
            links.close()
        result = e2e.run("cat", input=self.data[self.second], binary=True)
        self.assertEqual((result.returncode, result.stdout), (0, self.data[self.second]))

    def test_unreadable_inputs_do_not_stop_the_others(self):
        missing = os.path.join(self.directory, "missing")
        result = e2e.run("cat", missing, self.first, self.directory, self.second, binary=True)
        self.assertEqual(result.returncode, 1, result)
        self.assertEqual(result.stdout, self.data[self.first] + self.data[self.second])
        self.assertIn(b'Can not open "%s" ! (read)' % missing.encode(), result.stderr)
        self.assertIn(b'Read failed "%s" !' % self.directory.encode(), result.stderr)

    def test_full_output_and_help(self):
        if os.path.exists("/dev/full"):
            with open("/dev/full", "wb") as full:
                import subprocess
                result = subprocess.run([e2e.VEXA, "cat", self.first], stdout=full,
                                        stderr=subprocess.PIPE, timeout=60)
            self.assertEqual(result.returncode, 1)
            self.assertIn(b'Write failed "stdout" !', result.stderr)
        result = e2e.run("cat", "--help")
        self.assertEqual(result.returncode, 1)
        self.assertTrue(result.stdout.startswith("usage: cat [<options>]"), result)


if __name__ == "__main__":
    e2e.main(__doc__)
