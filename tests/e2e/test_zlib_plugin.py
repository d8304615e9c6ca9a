#!/usr/bin/env python3
"""The gzip family served by the plugin file tarvik_plugin_zlib.so (plugins/zlib_plugin.c),
run through the program: round trips of random files, GNU gzip in both directions,
concatenated members, levels, keeping and forcing, damaged input leaving nothing behind,
and zpipe's zlib format against Python's zlib.

Usage: test_zlib_plugin.py <vexa>
"""
import gzip
import os
import random
import shutil
import subprocess
import tempfile
import unittest
import zlib

import vexa_e2e as e2e


class ZlibPluginTest(unittest.TestCase):
    def setUp(self):
        plugin = os.path.join(os.path.dirname(os.path.realpath(e2e.VEXA)),
                              "tarvik_plugin_zlib.so")
        if not os.path.exists(plugin):
            self.skipTest("no zlib plugin beside the program")
        self.directory = tempfile.mkdtemp(prefix="vexa-zlib-")
        self.random = random.Random(11)

    def tearDown(self):
        shutil.rmtree(self.directory, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.directory, name)

    def data(self, size):
        # Half random, half text: compressible and not.
        text = b"".join(b"line %d of the sample\n" % n for n in range(size // 40 + 1))
        return self.random.randbytes(size // 2) + text[: size - size // 2]

    def write(self, name, data):
        with open(self.path(name), "wb") as handle:
            handle.write(data)
        return self.path(name)

    def read(self, name):
        with open(self.path(name), "rb") as handle:
            return handle.read()

    def test_files_round_trip_and_keep_mode_and_times(self):
        for size in (0, 1, 511, 65536, 1000003):
            data = self.data(size)
            source = self.write("f%d" % size, data)
            os.chmod(source, 0o640)
            os.utime(source, (1500000000, 1600000000))
            outcome = e2e.run("gzip", source)
            self.assertEqual(outcome.returncode, 0, outcome)
            self.assertFalse(os.path.exists(source), "the input goes once the output is done")
            packed = self.path("f%d.gz" % size)
            self.assertEqual(gzip.decompress(self.read("f%d.gz" % size)), data)
            self.assertEqual(os.stat(packed).st_mode & 0o777, 0o640)
            self.assertEqual(int(os.stat(packed).st_mtime), 1600000000)
            back = e2e.run("gunzip", packed)
            self.assertEqual(back.returncode, 0, back)
            self.assertFalse(os.path.exists(packed))
            self.assertEqual(self.read("f%d" % size), data)
            self.assertEqual(int(os.stat(source).st_mtime), 1600000000)

    def test_gnu_gzip_both_ways_and_concatenated_members(self):
        if shutil.which("gzip") is None:
            self.skipTest("GNU gzip is not installed")
        first = self.data(300000)
        second = self.data(5000)
        for level in ("-1", "-6", "-9"):
            ours = e2e.run("gzip", level, "-c", input=first, binary=True)
            self.assertEqual(ours.returncode, 0)
            theirs = subprocess.run(["gzip", "-dc"], input=ours.stdout, capture_output=True)
            self.assertEqual((theirs.returncode, theirs.stdout == first), (0, True), level)
            gnu = subprocess.run(["gzip", level, "-c"], input=first, capture_output=True).stdout
            back = e2e.run("gunzip", "-c", input=gnu, binary=True)
            self.assertEqual((back.returncode, back.stdout == first), (0, True), level)
        fast = e2e.run("gzip", "-1c", input=first, binary=True).stdout
        best = e2e.run("gzip", "--best", "-c", input=first, binary=True).stdout
        self.assertLess(len(best), len(fast))
        # Two members one after the other read as the two files in sequence.
        members = gzip.compress(first) + subprocess.run(
            ["gzip", "-c"], input=second, capture_output=True).stdout
        outcome = e2e.run("zcat", input=members, binary=True)
        self.assertEqual((outcome.returncode, outcome.stdout == first + second), (0, True))
        self.write("m.gz", members)
        outcome = e2e.run("gzip", "-dc", self.path("m.gz"), binary=True)
        self.assertTrue(outcome.stdout == first + second)

    def test_keep_force_and_refusals(self):
        data = self.data(20000)
        source = self.write("k", data)
        self.assertEqual(e2e.run("gzip", "-k", source).returncode, 0)
        self.assertEqual(self.read("k"), data)
        # The output exists: refused, both files untouched, unless forced.
        self.write("k.gz", b"old")
        refused = e2e.run("gzip", source)
        self.assertEqual(refused.returncode, 1)
        self.assertIn("already exists", refused.stderr)
        self.assertEqual((self.read("k"), self.read("k.gz")), (data, b"old"))
        self.assertEqual(e2e.run("gzip", "-f", source).returncode, 0)
        self.assertEqual(gzip.decompress(self.read("k.gz")), data)
        self.assertFalse(os.path.exists(source))
        again = e2e.run("gzip", self.path("k.gz"))
        self.assertEqual(again.returncode, 2)
        self.assertIn("already has .gz suffix", again.stderr)
        unknown = e2e.run("gunzip", self.write("plain", b"x"))
        self.assertEqual(unknown.returncode, 2)
        self.assertIn("unknown suffix", unknown.stderr)
        missing = e2e.run("gzip", self.path("none"))
        self.assertEqual(missing.returncode, 1)
        bad = e2e.run("gzip", "-q", input="x")
        self.assertEqual(bad.returncode, 1)
        # .tgz becomes .tar.
        self.write("a.tgz", gzip.compress(b"tar"))
        self.assertEqual(e2e.run("gunzip", self.path("a.tgz")).returncode, 0)
        self.assertEqual(self.read("a.tar"), b"tar")

    def test_damaged_input_leaves_nothing_behind(self):
        data = self.data(200000)
        packed = gzip.compress(data)
        cases = {
            "truncated.gz": packed[: len(packed) // 2],
            "crc.gz": packed[:-8] + bytes([packed[-8] ^ 1]) + packed[-7:],
            "notgzip.gz": b"this is not compressed at all",
        }
        for name, content in cases.items():
            self.write(name, content)
            outcome = e2e.run("gunzip", self.path(name))
            self.assertEqual(outcome.returncode, 1, name)
            self.assertTrue(os.path.exists(self.path(name)), name + ": input kept")
            self.assertFalse(os.path.exists(self.path(name[:-3])), name + ": no output left")
        self.assertIn("not in gzip format", e2e.run("gunzip", self.path("notgzip.gz")).stderr)
        # Trailing bytes after a whole member: the data, and a warning.
        trailing = e2e.run("zcat", input=packed + b"junk", binary=True)
        self.assertEqual(trailing.returncode, 2)
        self.assertTrue(trailing.stdout == data)

    def test_applets_are_listed_green_as_a_plugin_file_s(self):
        listing = e2e.run_pty([e2e.VEXA])
        for name in (b"gunzip", b"gzip", b"zcat", b"zpipe"):
            self.assertIn(b"\x1b[1;32m" + name + b"\x1b[0m", listing.stdout)
        self.assertIn(b"\x1b[1;33mplugin\x1b[0m", listing.stdout)

    def test_zpipe_speaks_the_zlib_format(self):
        data = self.data(400000)
        packed = e2e.run("zpipe", input=data, binary=True)
        self.assertEqual(packed.returncode, 0)
        self.assertTrue(zlib.decompress(packed.stdout) == data)
        back = e2e.run("zpipe", "-d", input=zlib.compress(data, 9), binary=True)
        self.assertEqual((back.returncode, back.stdout == data), (0, True))
        self.assertEqual(e2e.run("zpipe", "-d", input=b"garbage", binary=True).returncode, 1)


if __name__ == "__main__":
    e2e.main(__doc__)
