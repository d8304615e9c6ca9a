#!/usr/bin/env python3
"""The sum applets (sum.cpp), run for real: md5, sha1 and sha256 against coreutils, crc and
adler against zlib and the published check values, for files, standard input and several inputs
with some unreadable; expected values in either case (marks O, X and -), the progress line in its
percentage and byte-count forms; check files written by md5sum, sha1sum and sha256sum (GNU lines
and --tag lines, escaped names) verified, changed files reported FAILED, --quiet and --status.

Usage: test_sum.py <vexa>
"""
import hashlib
import os
import random
import re
import shutil
import subprocess
import tempfile
import unittest
import zlib

import vexa_e2e as e2e

DIGESTS = {"md5": hashlib.md5, "sha1": hashlib.sha1, "sha256": hashlib.sha256}
LINE = re.compile(r"^([0-9A-Fa-f]+) (.*) \[([OX-])\]$")


def crc16_ibm(data):
    crc = 0
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def crc64_iso(data):
    table = []
    for index in range(256):
        value = index
        for _ in range(8):
            value = (value >> 1) ^ 0xD800000000000000 if value & 1 else value >> 1
        table.append(value)
    crc = 0xFFFFFFFFFFFFFFFF
    for byte in data:
        crc = table[(crc ^ byte) & 0xFF] ^ (crc >> 8)
    return crc ^ 0xFFFFFFFFFFFFFFFF


CHECKSUMS = {  # applet arguments: (reference, hex digits)
    ("crc",): (lambda data: zlib.crc32(data), 8),
    ("crc", "--32"): (lambda data: zlib.crc32(data), 8),
    ("crc", "--16"): (crc16_ibm, 4),
    ("crc", "--crc64"): (crc64_iso, 16),
    ("adler",): (lambda data: zlib.adler32(data), 8),
    ("adler", "--adler32"): (lambda data: zlib.adler32(data), 8),
}


def results(stdout):
    """(hex, name, mark) of every line, after the progress line each one overwrote."""
    rows = []
    for line in stdout.split("\n")[:-1]:
        match = LINE.match(line.split("\r")[-1])
        if match is None:
            raise AssertionError("unreadable line %r in %r" % (line, stdout[-2000:]))
        rows.append(match.groups())
    return rows


class SumTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.mkdtemp(prefix="vexa-sum-")
        generator = random.Random(17)
        cls.files = {}
        for name, size in (("empty", 0), ("one", 1), ("piece", 65536), ("piece1", 65537),
                           ("random", 300001)):
            path = os.path.join(cls.directory, name)
            with open(path, "wb") as handle:
                handle.write(bytes(generator.getrandbits(8) for _ in range(size)))
            with open(path, "rb") as handle:
                cls.files[path] = handle.read()
        cls.check = os.path.join(cls.directory, "check")
        with open(cls.check, "wb") as handle:
            handle.write(b"123456789")
        cls.links = e2e.Links()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.directory, ignore_errors=True)
        cls.links.close()

    def run_sum(self, *arguments, **options):
        result = e2e.run(*arguments, **options)
        self.assertNotIn("\x1b", result.stdout)
        return result

    def test_digests_equal_coreutils_for_files(self):
        paths = sorted(self.files)
        for name in DIGESTS:
            result = self.run_sum(name, "--no-progress", *paths)
            self.assertEqual((result.returncode, result.stderr), (0, ""), result)
            tool = subprocess.run([name + "sum", *paths], capture_output=True, text=True,
                                  check=True).stdout.splitlines()
            expected = [(line.split()[0].upper(), line.split(None, 1)[1].strip(), "-")
                        for line in tool]
            self.assertEqual(results(result.stdout), expected, name)

    def test_checksums_equal_zlib_and_the_published_values(self):
        published = {("crc",): "CBF43926", ("crc", "--16"): "BB3D",
                     ("crc", "--crc64"): "B90956C775A41001", ("adler",): "091E01DE"}
        for arguments, value in published.items():
            result = self.run_sum(*arguments, "-n", self.check)
            self.assertEqual(results(result.stdout), [(value, self.check, "-")], arguments)
        paths = sorted(self.files)
        for arguments, (reference, digits) in CHECKSUMS.items():
            result = self.run_sum(*arguments, "-n", *paths)
            self.assertEqual(result.returncode, 0, result)
            expected = [("%0*X" % (digits, reference(self.files[path])), path, "-")
                        for path in paths]
            self.assertEqual(results(result.stdout), expected, arguments)
            lower = self.run_sum(*arguments, "-noprogress", "--lower", paths[-1])
            self.assertEqual(results(lower.stdout)[0][0], expected[-1][0].lower())

    def test_standard_input_is_read_once_as_stdin(self):
        data = self.files[os.path.join(self.directory, "random")]
        for name, function in DIGESTS.items():
            result = e2e.run(name, input=data, binary=True)
            self.assertEqual(results(result.stdout.decode()),
                             [(function(data).hexdigest().upper(), "stdin", "-")], result)
        result = self.links.run("crc", "-n", input="123456789")
        self.assertEqual(results(result.stdout), [("CBF43926", "stdin", "-")])

    def test_unreadable_inputs_do_not_stop_the_others(self):
        missing = os.path.join(self.directory, "missing")
        one = os.path.join(self.directory, "one")
        for arguments in (("md5",), ("sha256",), ("crc", "--64"), ("adler",)):
            result = self.run_sum(*arguments, "-n", missing, one, self.directory, one)
            self.assertEqual(result.returncode, 1, result)
            self.assertEqual([name for _, name, _ in results(result.stdout)], [one, one])
            self.assertIn('Can not open "%s" !\n' % missing, result.stderr)
            self.assertIn('Read failed "%s" !\n' % self.directory, result.stderr)

    def test_expected_values_mark_each_input(self):
        one = os.path.join(self.directory, "one")
        empty = os.path.join(self.directory, "empty")
        md5_one = hashlib.md5(self.files[one]).hexdigest()
        md5_empty = hashlib.md5(b"").hexdigest()
        result = self.run_sum("md5", "-n", "--md5", md5_one, "--md5=" + md5_empty.upper(), one,
                              empty)
        self.assertEqual(result.returncode, 0, result)
        self.assertEqual([mark for _, _, mark in results(result.stdout)], ["O", "O"])
        # A wrong value marks X and fails; an input without a value is marked -.
        result = self.run_sum("md5", "-n", "--md5=" + md5_empty, one, empty)
        self.assertEqual(result.returncode, 1, result)
        self.assertEqual([mark for _, _, mark in results(result.stdout)], ["X", "-"])
        sha = hashlib.sha1(b"123456789").hexdigest()
        self.assertEqual(results(self.run_sum("sha1", "-n", "--sha1", sha, self.check).stdout),
                         [(sha.upper(), self.check, "O")])
        # Checksums compare as numbers: leading zeros, 0x and either case; wider never matches.
        for value, mark in (("cbf43926", "O"), ("0x00CBF43926", "O"), ("1CBF43926", "X"),
                            ("cbf4392", "X"), ("cbf43926z", "X"), ("", "X")):
            result = self.run_sum("crc", "-n", "--crc", value, self.check)
            self.assertEqual(results(result.stdout)[0][2], mark, value)
            self.assertEqual(result.returncode, 0 if mark == "O" else 1)
        for value, mark in (("bb3d", "O"), ("1bb3d", "X")):
            result = self.run_sum("crc", "-n", "--16", "--crc=" + value, self.check)
            self.assertEqual(results(result.stdout)[0][2], mark, value)
        result = self.run_sum("adler", "-n", "--adler", "91e01de", self.check)
        self.assertEqual(results(result.stdout)[0][2], "O")

    def test_progress_line_shows_percent_or_bytes(self):
        path = os.path.join(self.directory, "random")
        # Bytes: a text run would read every carriage return as a line break.
        result = e2e.run("sha256", path, binary=True)
        line = result.stdout.decode().split("\n")[0]
        steps = line.split("\r")
        # One update per 64 KiB piece, cleared by twenty blanks before the result.
        self.assertEqual(steps[0], "")
        self.assertRegex(steps[1], r"^\[.{3}\] 21\.84%$")
        self.assertRegex(steps[5], r"^\[.{3}\] 100\.00%$")
        digest = hashlib.sha256(self.files[path]).hexdigest().upper()
        self.assertEqual(steps[6:], [" " * 20, digest + " " + path + " [-]"])
        # A pipe has no size: the byte count.
        result = e2e.run("md5", input=b"x" * 70000, binary=True)
        steps = result.stdout.decode().split("\n")[0].split("\r")
        self.assertTrue(all(re.match(r"^\[.{3}\] \d+ bytes$", step) for step in steps[1:-2]),
                        steps)
        self.assertTrue(steps[-3].endswith(" 70000 bytes"), steps)
        # No progress at all with -n.
        result = self.run_sum("md5", "-n", path)
        self.assertNotIn("\r", result.stdout)

    def test_help_prints_the_usage_and_fails(self):
        for name in ("md5", "sha1", "sha256", "crc", "adler"):
            result = self.run_sum(name, "--help")
            self.assertEqual(result.returncode, 1, result)
            self.assertTrue(result.stdout.startswith("usage: %s [<options>]" % name), result)
            self.assertIn("--" + name + " ", result.stdout)


class CheckTest(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.mkdtemp(prefix="vexa-check-")
        self.names = ["plain", "with space", "star*", "new\nline", "back\\slash"]
        for index, name in enumerate(self.names):
            with open(os.path.join(self.directory, name), "wb") as handle:
                handle.write(os.urandom(1000 + index * 70000))

    def tearDown(self):
        shutil.rmtree(self.directory, ignore_errors=True)

    def list_file(self, tool, *options):
        listing = subprocess.run([tool, *options, *self.names], cwd=self.directory,
                                 capture_output=True, check=True).stdout
        path = os.path.join(self.directory, tool + "".join(options) + ".list")
        with open(path, "wb") as handle:
            handle.write(listing)
        return path

    def verify(self, applet, *arguments):
        return e2e.run(applet, *arguments, cwd=self.directory)

    def test_gnu_and_tag_lists_verify(self):
        for applet in DIGESTS:
            for options in ((), ("--tag",), ("-b",)):
                listing = self.list_file(applet + "sum", *options)
                result = self.verify(applet, "-c", listing)
                self.assertEqual((result.returncode, result.stderr), (0, ""), (options, result))
                shown = [name.replace("\n", "?") + ": OK" for name in self.names]
                self.assertEqual(result.stdout.splitlines(), shown, (applet, options))

    def test_a_changed_file_fails(self):
        listing = self.list_file("sha256sum")
        tagged = self.list_file("md5sum", "--tag")
        with open(os.path.join(self.directory, "star*"), "ab") as handle:
            handle.write(b"!")
        os.unlink(os.path.join(self.directory, "plain"))
        result = self.verify("sha256", "--check", listing)
        self.assertEqual(result.returncode, 1, result)
        self.assertEqual(result.stdout.splitlines(), [
            "plain: FAILED open or read", "with space: OK", "star*: FAILED", "new?line: OK",
            "back\\slash: OK"])
        self.assertIn("WARNING: 1 computed checksum did NOT match", result.stderr)
        self.assertIn("WARNING: 1 listed file could not be read", result.stderr)
        quiet = self.verify("md5", "-c", tagged, "--quiet")
        self.assertEqual((quiet.returncode, quiet.stdout),
                         (1, "plain: FAILED open or read\nstar*: FAILED\n"), quiet)
        status = self.verify("md5", "-c", tagged, "--status")
        self.assertEqual((status.returncode, status.stdout, status.stderr), (1, "", ""))

    def test_list_on_standard_input_and_malformed_lines(self):
        with open(os.path.join(self.directory, "plain"), "rb") as handle:
            plain = handle.read()
        digest = hashlib.sha1(plain)
        text = "%s  plain\nnot a line\n%s  plain\n" % (digest.hexdigest(), "0" * 39)
        result = e2e.run("sha1", "-c", input=text, cwd=self.directory)
        self.assertEqual((result.returncode, result.stdout), (0, "plain: OK\n"), result)
        self.assertIn("WARNING: 2 lines are improperly formatted", result.stderr)
        # A list for another digest has no proper line for this one.
        result = e2e.run("sha256", "-c", input=text, cwd=self.directory)
        self.assertEqual(result.returncode, 1, result)
        self.assertIn("no properly formatted SHA256 checksum lines found", result.stderr)
        tagged = "MD5 (plain) = %s\n" % hashlib.md5(plain).hexdigest().upper()
        result = e2e.run("sha1", "-c", input=tagged, cwd=self.directory)
        self.assertEqual(result.returncode, 1, result)
        result = e2e.run("md5", "-c", input=tagged, cwd=self.directory)
        self.assertEqual((result.returncode, result.stdout), (0, "plain: OK\n"), result)


if __name__ == "__main__":
    e2e.main(__doc__)
