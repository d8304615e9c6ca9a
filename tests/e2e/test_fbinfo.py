#!/usr/bin/env python3
"""The fbinfo and fbclear applets (fbinfo.cpp) on the virtual framebuffer at 1280x720 in 32,
24, 16 and 8 bits per pixel: fbinfo's description of the screen, fbclear's whole screen and
boxes (clipped at the edges, raw values with --follow, repeated with --keep until told to
stop), checked pixel by pixel in the screen file and in the PNG that scripts/fb2png makes of
it (kept under artifacts/fb/ beside the program). Nothing here touches a real /dev/fb*: the
virtual framebuffer, once named, stands in for every device.

Usage: test_fbinfo.py <vexa>
"""
import os
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zlib

import vexa_e2e as e2e

FB2PNG = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts",
                      "fb2png")
WIDTH, HEIGHT = 1280, 720
# Default colour interface of each depth, its name, and a colour converted to it.
DEPTHS = {32: (0x18485868, "ARGB8888"), 24: (0x00485868, "dRGB0888"),
          16: (0x00455665, "dRGB0565"), 8: (0x000000F8, "dddp0008")}


def palette_rgb(index):
    """The built-in palette (as fb2png and the library compute it)."""
    if index < 16:
        if index == 7:
            return (0xC0, 0xC0, 0xC0)
        if index == 8:
            return (0x80, 0x80, 0x80)
        level = 0xFF if index >= 8 else 0x80
        return tuple(level if index & bit else 0 for bit in (1, 2, 4))
    if index < 232:
        cube = index - 16
        return (cube // 36 * 51, cube // 6 % 6 * 51, cube % 6 * 51)
    grey = 8 + (index - 232) * 10
    return (grey, grey, grey)


def displayed(bits, raw):
    """The RGB a pixel value shows."""
    if bits == 32 or bits == 24:
        return ((raw >> 16) & 0xFF, (raw >> 8) & 0xFF, raw & 0xFF)
    if bits == 16:
        return (((raw >> 11) & 0x1F) << 3, ((raw >> 5) & 0x3F) << 2, (raw & 0x1F) << 3)
    return palette_rgb(raw)


def read_png(path):
    """Width, height and rows of RGB triples of a PNG written with filter 0 rows."""
    with open(path, "rb") as source:
        data = source.read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    offset, idat, width, height = 8, b"", 0, 0
    while offset < len(data):
        length, kind = struct.unpack(">I4s", data[offset:offset + 8])
        body = data[offset + 8:offset + 8 + length]
        if kind == b"IHDR":
            width, height = struct.unpack(">II", body[:8])
        elif kind == b"IDAT":
            idat += body
        offset += 12 + length
    raw = zlib.decompress(idat)
    stride = 1 + 3 * width
    return width, height, [raw[y * stride + 1:(y + 1) * stride] for y in range(height)]


class Screen:
    def __init__(self, directory, bits):
        self.bits = bits
        self.path = os.path.join(directory, "fb%d" % bits)
        self.env = {"TARVIK_VIRTUAL_FB": "%s:%dx%dx%d" % (self.path, WIDTH, HEIGHT, bits)}

    def pixel(self, x, y):
        size = self.bits // 8
        with open(self.path, "rb") as source:
            source.seek((y * WIDTH + x) * size)
            return int.from_bytes(source.read(size), "little")

    def size(self):
        return os.path.getsize(self.path)


class FbinfoTest(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.mkdtemp(prefix="vexa-fb-")
        self.links = e2e.Links()
        self.artifacts = os.path.join(os.path.dirname(e2e.VEXA), "artifacts", "fb")
        os.makedirs(self.artifacts, exist_ok=True)

    def tearDown(self):
        self.links.close()
        for name in os.listdir(self.directory):
            os.unlink(os.path.join(self.directory, name))
        os.rmdir(self.directory)

    def snapshot(self, screen, name):
        out = os.path.join(self.artifacts, "%s-%d.png" % (name, screen.bits))
        subprocess.run([sys.executable, FB2PNG, screen.path, "%dx%dx%d" % (WIDTH, HEIGHT,
                        screen.bits), out], check=True, timeout=120)
        return read_png(out)

    def test_fbinfo_describes_each_depth(self):
        for bits, (code, name) in DEPTHS.items():
            screen = Screen(self.directory, bits)
            result = self.links.run("fbinfo", env=screen.env)
            self.assertEqual(result.returncode, 0, result)
            line_length = WIDTH * bits // 8
            self.assertIn("Frame buffer information.\n~~~~~~~~~~~~~~~~~~~~~~~~~\n", result.stdout)
            # (colours are left out when the output is not a terminal)
            self.assertIn('\tdevice               = "virtual framebuffer"\n',
                          e2e.strip_ansi(result.stdout))
            tail = result.stdout[result.stdout.index("\ndevice name"):]
            lines = tail.split("\n")
            self.assertEqual(lines[1], 'device name : "virtual framebuffer"')
            self.assertRegex(lines[2], r"^fd          : \d+$")
            self.assertEqual(lines[3], "map size    : %d bytes" % (line_length * HEIGHT))
            self.assertRegex(lines[4], r"^map ptr     : [0-9a-fA-F]+$")
            self.assertEqual(lines[5], "line length : %d bytes" % line_length)
            self.assertEqual(lines[6], 'resolution  : %d x %d %dbpp (color_interface[%08XH]="%s")'
                             % (WIDTH, HEIGHT, bits, code, name))
            self.assertEqual(lines[7:], ["", ""])
            self.assertEqual(screen.size(), line_length * HEIGHT)

    def test_no_device(self):
        missing = os.path.join(self.directory, "no-such-fb")
        for applet in ("fbinfo", "fbclear"):
            result = self.links.run(applet, "--dev=" + missing)
            self.assertEqual(result.returncode, 1, result)
            self.assertEqual(result.stdout,
                             'tarvik_open_ctx failed ! ("application/qvl_fb", fb_handle)\n')
        # A geometry the virtual framebuffer cannot serve fails the same way.
        result = self.links.run("fbclear", env={"TARVIK_VIRTUAL_FB": missing + ":10x10x12"})
        self.assertEqual(result.returncode, 1, result)
        self.assertFalse(os.path.exists(missing))

    def test_fbclear_screen_and_boxes(self):
        for bits in (32, 16, 8):
            screen = Screen(self.directory, bits)
            run = lambda *arguments: self.links.run("fbclear", *arguments, env=screen.env)
            self.assertEqual(run("--color=0xFF203040").returncode, 0)
            self.assertEqual(run("--color=0xFFFF0000", "--x=100", "--y=50", "--w=200",
                                 "--h=100").returncode, 0)
            # Boxes over the edges are clipped to the screen.
            self.assertEqual(run("--color=0xFF00FF00", "--x=-40", "--y=660", "--w=3000",
                                 "--h=3000").returncode, 0)
            self.assertEqual(run("--color=0x0000FF", "--x=1270", "--y=-5", "--w=100",
                                 "--h=10").returncode, 0)
            self.assertEqual(screen.size(), WIDTH * HEIGHT * bits // 8)
            background = screen.pixel(0, 0)
            red, green, blue = screen.pixel(150, 100), screen.pixel(0, 700), screen.pixel(1279, 0)
            expected = {(0, 0): (0x20, 0x30, 0x40), (150, 100): (0xFF, 0, 0),
                        (0, 700): (0, 0xFF, 0), (1279, 0): (0, 0, 0xFF)}
            for (x, y), rgb in expected.items():
                shown = displayed(bits, screen.pixel(x, y))
                for got, want in zip(shown, rgb):
                    self.assertLessEqual(abs(got - want), 0x28 if bits == 8 else 8,
                                         (bits, x, y, shown, rgb))
            # Every pixel in the right place: the box, the clipped boxes, the background.
            width, height, rows = self.snapshot(screen, "fbclear")
            self.assertEqual((width, height), (WIDTH, HEIGHT))
            colours = {value: bytes(displayed(bits, value))
                       for value in (background, red, green, blue)}
            for y in range(0, HEIGHT, 7):
                for x in range(0, WIDTH, 5):
                    if 100 <= x < 300 and 50 <= y < 150:
                        want = red
                    elif y >= 660:
                        want = green
                    elif x >= 1270 and y < 5:
                        want = blue
                    else:
                        want = background
                    self.assertEqual(rows[y][3 * x:3 * x + 3], colours[want], (bits, x, y))

    def test_fbclear_raw_values_and_refusals(self):
        screen = Screen(self.directory, 16)
        result = self.links.run("fbclear", "--follow", "--color=0x1234", "--w=3", "--h=2",
                                env=screen.env)
        self.assertEqual(result.returncode, 0, result)
        self.assertEqual([screen.pixel(x, y) for x, y in ((0, 0), (2, 1), (3, 0), (0, 2))],
                         [0x1234, 0x1234, 0, 0])
        for arguments in (["--color=red"], ["--color=0x100000000"], ["--color="],
                          ["--w=-1"], ["--x=zz"]):
            result = self.links.run("fbclear", *arguments, env=screen.env)
            self.assertEqual(result.returncode, 1, (arguments, result))
            self.assertNotEqual(result.stderr, "", arguments)

    def test_fbclear_keep_repeats_until_told_to_stop(self):
        screen = Screen(self.directory, 32)
        process = subprocess.Popen([self.links.path("fbclear"), "--keep", "--color=0xFF0000FF"],
                                   env=e2e.environment(screen.env), stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
        try:
            self.assertTrue(e2e.wait_for(lambda: os.path.exists(screen.path) and
                                         screen.size() > 0 and screen.pixel(5, 5) == 0xFF0000FF,
                                         timeout=30))
            # Drawn again every 500 ms: a pixel changed behind its back comes back.
            with open(screen.path, "r+b") as raw:
                raw.seek((5 * WIDTH + 5) * 4)
                raw.write(b"\0\0\0\0")
            self.assertTrue(e2e.wait_for(lambda: screen.pixel(5, 5) == 0xFF0000FF, timeout=30))
            process.send_signal(signal.SIGTERM)
            self.assertEqual(process.wait(timeout=30), 0)
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()
            process.stdout.close()
            process.stderr.close()


if __name__ == "__main__":
    e2e.main(namespaces=True)
