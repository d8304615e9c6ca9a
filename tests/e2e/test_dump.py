#!/usr/bin/env python3
"""The dump applet (dump.cpp), run for real: every line's address and bytes against
`xxd -s <offset> -l <size>` (decimal and hexadecimal numbers), the text column, the MD5 of the
bytes shown, standard input (an offset read away), several inputs with one unreadable, and
refused numbers.

Usage: test_dump.py <vexa>
"""
import hashlib
import os
import re
import shutil
import subprocess
import tempfile
import unittest

import vexa_e2e as e2e

LINE = re.compile(r"^([0-9A-F]{8}) ((?:[0-9A-F]{2}| [|] |   | ){1,})\[(.{16})\]$")


def parse_dump(text):
    """{name: ([(address, bytes, text column)], md5)} of a dump's output."""
    dumps, lines, name = {}, [], None
    for line in text.split("\n"):
        if name is None:
            name = line
        elif line.startswith("  MD5SUM: "):
            dumps[name] = (lines, line[len("  MD5SUM: "):])
            lines, name = [], None
        elif line:
            match = LINE.match(line)
            if match is None:
                raise AssertionError("unreadable dump line %r" % line)
            hexes = match.group(2).replace("|", " ").split()
            lines.append((int(match.group(1), 16), bytes.fromhex("".join(hexes)),
                          match.group(3)))
    return dumps


def xxd(path, offset, size):
    """[(address, bytes)] of xxd's lines for the same range."""
    output = subprocess.run(["xxd", "-s", str(offset), "-l", str(size), "-c", "16", path],
                            capture_output=True, text=True, check=True).stdout
    rows = []
    for line in output.splitlines():
        address, rest = line.split(":", 1)
        rows.append((int(address, 16), bytes.fromhex(rest[1:40].replace(" ", ""))))
    return rows


class DumpTest(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.mkdtemp(prefix="vexa-dump-")
        self.path = os.path.join(self.directory, "data")
        self.data = bytes(range(256)) * 300 + b"end"
        with open(self.path, "wb") as handle:
            handle.write(self.data)

    def tearDown(self):
        shutil.rmtree(self.directory, ignore_errors=True)

    def test_ranges_against_xxd(self):
        if shutil.which("xxd") is None:
            self.skipTest("no xxd")
        for offset, size in ((0, 100), (3, 33), ("0x10", "0x100"), (70000, 200), (76790, 50),
                             (65530, 70000)):
            result = e2e.run("dump", "-o", str(offset), "--size", str(size), self.path)
            self.assertEqual((result.returncode, result.stderr), (0, ""), result)
            start, length = int(str(offset), 0), int(str(size), 0)
            lines, md5 = parse_dump(result.stdout)[self.path]
            self.assertEqual([(address, data) for address, data, _ in lines],
                             xxd(self.path, start, length), (offset, size))
            shown = self.data[start:start + length]
            self.assertEqual(md5, hashlib.md5(shown).hexdigest().upper())
            for _, data, column in lines:
                text = "".join(chr(byte) if 0x20 <= byte <= 0x7E else "." for byte in data)
                self.assertEqual(column, text.ljust(16))

    def test_whole_file_standard_input_and_failures(self):
        result = e2e.run("dump", self.path)
        lines, md5 = parse_dump(result.stdout)[self.path]
        self.assertEqual(b"".join(data for _, data, _ in lines), self.data)
        self.assertEqual(md5, hashlib.md5(self.data).hexdigest().upper())
        # Standard input cannot seek: the offset is read away, the addresses stay true.
        result = e2e.run("dump", "-o", "1000", "-s", "20", input=self.data, binary=True)
        lines, md5 = parse_dump(result.stdout.decode())["stdin"]
        self.assertEqual([(address, data) for address, data, _ in lines],
                         [(1000, self.data[1000:1016]), (1016, self.data[1016:1020])])
        self.assertEqual(md5, hashlib.md5(self.data[1000:1020]).hexdigest().upper())
        missing = os.path.join(self.directory, "missing")
        result = e2e.run("dump", "-s", "16", missing, self.path)
        self.assertEqual(result.returncode, 1, result)
        self.assertIn('Can not open "%s" !' % missing, result.stderr)
        self.assertEqual(list(parse_dump(result.stdout)), [self.path])
        for bad in ("-o", "x1"), ("-s", "-5"), ("-s", "12k"):
            result = e2e.run("dump", *bad, self.path)
            self.assertEqual(result.returncode, 1, (bad, result))
            self.assertIn("invalid number", result.stderr)
            self.assertTrue(result.stdout.startswith("usage: dump"))


if __name__ == "__main__":
    e2e.main(__doc__)
