#!/usr/bin/env python3
"""The encoding applets (encode.cpp), run for real: base64 output identical to coreutils
`base64 -w N` (74 by default, 0 for none), round trips of random files through decoding, the
wrap-extension flag, URL-safe output, ignore-garbage against `base64 -d -i`; quoted_printable
against the escaping rule and back; several inputs into one output file, the refusal of an
input that is the output (nothing truncated), unreadable inputs among readable ones.

Usage: test_encode.py <vexa>
"""
import base64
import os
import random
import shutil
import subprocess
import tempfile
import unittest

import vexa_e2e as e2e


def coreutils_base64(path, width):
    return subprocess.run(["base64", "-w", str(width), path], capture_output=True,
                          check=True).stdout


def quoted_printable(data):
    return b"".join(bytes([byte]) if 0x21 <= byte <= 0x7E and byte != 0x3D
                    else b"=%02X" % byte for byte in data)


class EncodeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.mkdtemp(prefix="vexa-encode-")
        generator = random.Random(29)
        cls.files = {}
        for size in (1, 2, 3, 4, 55, 56, 57, 65535, 65536, 65537, 200003):
            path = os.path.join(cls.directory, "random%d" % size)
            data = bytes(generator.getrandbits(8) for _ in range(size))
            with open(path, "wb") as handle:
                handle.write(data)
            cls.files[path] = data

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.directory, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.directory, name)

    def run_bytes(self, *arguments, **options):
        return e2e.run(*arguments, binary=True, **options)

    def test_base64_equals_coreutils_and_round_trips(self):
        for path, data in self.files.items():
            result = self.run_bytes("base64", path)
            self.assertEqual((result.returncode, result.stderr), (0, b""), result)
            self.assertEqual(result.stdout, coreutils_base64(path, 74), path)
            encoded = self.path("encoded")
            with open(encoded, "wb") as handle:
                handle.write(result.stdout)
            decoded = self.run_bytes("base64", "-d", encoded)
            self.assertEqual((decoded.returncode, decoded.stdout), (0, data), path)

    def test_wrap_widths(self):
        path = self.path("random200003")
        for width in ("0", "1", "4", "76", "1000"):
            for spelling in ("-w", "--wrap", "--wrap-size"):
                result = self.run_bytes("base64", spelling, width, path)
                self.assertEqual(result.stdout, coreutils_base64(path, width), (spelling, width))
        result = e2e.run("base64", "-w", "-3", path)
        self.assertEqual(result.returncode, 1, result)
        self.assertIn("invalid value for --w", result.stderr)

    def test_wrap_extension_puts_a_backslash_before_each_break(self):
        path = self.path("random57")
        expected = coreutils_base64(path, 10).replace(b"\n", b"\\\n")
        for spelling in ("--wrap-ext", "-we", "--wrap_extension"):
            result = self.run_bytes("base64", "-w", "10", spelling, path)
            self.assertEqual(result.stdout, expected, spelling)
        # -w alone is the width, never the extension.
        result = self.run_bytes("base64", "-w", "10", path)
        self.assertNotIn(b"\\", result.stdout)

    def test_url_safe_alphabet(self):
        path = self.path("random65537")
        expected = coreutils_base64(path, 74).replace(b"+", b"-").replace(b"/", b"_")
        for spelling in ("-u", "--url-safe", "--filename_safe"):
            self.assertEqual(self.run_bytes("base64", spelling, path).stdout, expected)

    def test_garbage_ends_decoding_unless_ignored(self):
        data = self.files[self.path("random200003")]
        text = bytearray(base64.b64encode(data))
        places = range(len(text) - 4000, 0, -4000)
        for at in places:
            text[at:at] = b" !\t\x80"
        garbled = self.path("garbled")
        with open(garbled, "wb") as handle:
            handle.write(text)
        ignored = self.run_bytes("base64", "-d", "--ignore-garbage", garbled)
        coreutils = subprocess.run(["base64", "-d", "-i", garbled], capture_output=True).stdout
        self.assertEqual((ignored.returncode, ignored.stdout), (0, data))
        self.assertEqual(ignored.stdout, coreutils)
        stopped = self.run_bytes("base64", "-d", garbled)
        # Decoding ends at the first foreign byte, after the groups in front of it.
        self.assertEqual(stopped.stdout, data[:min(places) // 4 * 3])

    def test_quoted_printable_escapes_and_round_trips(self):
        for path, data in self.files.items():
            result = self.run_bytes("quoted_printable", path)
            self.assertEqual((result.returncode, result.stdout), (0, quoted_printable(data)))
            encoded = self.path("encoded")
            with open(encoded, "wb") as handle:
                handle.write(result.stdout)
            decoded = self.run_bytes("quoted_printable", "--decode", encoded)
            self.assertEqual(decoded.stdout, data, path)
        result = self.run_bytes("quoted_printable", input=b"a b=\n")
        self.assertEqual(result.stdout, b"a=20b=3D=0A")
        # Lower-case digits and soft breaks are not escapes: they pass through.
        result = self.run_bytes("quoted_printable", "-d", input=b"=41=4a=4=\nx=")
        self.assertEqual(result.stdout, b"A=4a=4=\nx=")

    def test_inputs_go_to_one_output_and_bad_inputs_do_not_stop_the_rest(self):
        output = self.path("out")
        first, second = self.path("random3"), self.path("random55")
        missing = self.path("missing")
        result = e2e.run("base64", "-o", output, first, missing, second)
        self.assertEqual(result.returncode, 1, result)
        self.assertIn('Can not open "%s" ! (read)' % missing, result.stderr)
        with open(output, "rb") as handle:
            self.assertEqual(handle.read(), coreutils_base64(first, 74) +
                             coreutils_base64(second, 74))
        result = e2e.run("quoted_printable", "--output", output, second, first)
        self.assertEqual(result.returncode, 0, result)
        with open(output, "rb") as handle:
            self.assertEqual(handle.read(), quoted_printable(self.files[second] +
                                                             self.files[first]))

    def test_an_input_that_is_the_output_is_refused_untouched(self):
        victim = self.path("victim")
        with open(victim, "wb") as handle:
            handle.write(b"precious")
        other = self.path("random4")
        for applet in ("base64", "quoted_printable"):
            for output in (victim, os.path.join(self.directory, ".", "victim")):
                result = e2e.run(applet, "-o", output, other, victim)
                self.assertEqual(result.returncode, 1, result)
                self.assertIn('Same input/output pathname "%s" !' % victim, result.stderr)
                with open(victim, "rb") as handle:
                    self.assertEqual(handle.read(), b"precious")

    def test_help_and_unwritable_output(self):
        for applet in ("base64", "quoted_printable"):
            result = e2e.run(applet, "-h")
            self.assertEqual(result.returncode, 1)
            self.assertTrue(result.stdout.startswith("usage: %s [<options>]" % applet))
            result = e2e.run(applet, "-o", self.path("no/such/dir"), self.path("random1"))
            self.assertEqual(result.returncode, 1)
            self.assertIn("! (write)", result.stderr)
        if os.path.exists("/dev/full"):
            result = e2e.run("base64", "-o", "/dev/full", self.path("random1"))
            self.assertEqual(result.returncode, 1, result)
            self.assertIn('Write failed "/dev/full" !', result.stderr)


if __name__ == "__main__":
    e2e.main(__doc__)
