"""The five framebuffer applets (fbinfo, fbclear, fbcolorbar, fbruler, fbclock) on the virtual
framebuffer at 1280x720 in 32, 16 and 8 bits: fbinfo's lines, fbclear of the screen and of a
box, the colour bars at their places (plain and extended), the ruler's crosshair at the centre
and its frame, the clock window at the centre leaving the rest of the screen alone; the open
failure without a device. Screenshots (scripts/fb2png) are kept in artifacts/fb/ beside the
program."""
import importlib.machinery
import importlib.util
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

import vexa_e2e as e2e

WIDTH, HEIGHT = 1280, 720
DEPTHS = (32, 16, 8)
NAMES = {32: "ARGB8888", 16: "dRGB0565", 8: "dddp0008"}
CODES = {32: 0x18485868, 16: 0x00455665, 8: 0x000000F8}
FB2PNG = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "fb2png")


def load_fb2png():
    loader = importlib.machinery.SourceFileLoader("fb2png", FB2PNG)
    spec = importlib.util.spec_from_loader("fb2png", loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


PALETTE = [load_fb2png().palette_rgb(index) for index in range(256)]
# How far a channel may land from the asked colour: none at 32 bits, the dropped low bits at
# 16, the palette's steps at 8.
TOLERANCE = {32: 0, 16: 8, 8: 40}


def artifacts():
    directory = os.path.dirname(e2e.VEXA)
    if os.path.basename(directory) == "qemu":
        directory = os.path.dirname(directory)
    path = os.path.join(directory, "artifacts", "fb")
    os.makedirs(path, exist_ok=True)
    return path


class Screen:
    """The virtual framebuffer file of one depth, read back as RGB pixels."""

    def __init__(self, directory, bits):
        self.bits = bits
        self.path = os.path.join(directory, "fb%d" % bits)
        self.env = {"TARVIK_VIRTUAL_FB": "%s:%dx%dx%d" % (self.path, WIDTH, HEIGHT, bits)}
        self.data = b""

    def load(self):
        with open(self.path, "rb") as screen:
            self.data = screen.read()
        return self

    def rgb(self, x, y):
        size = self.bits // 8
        at = (y * WIDTH + x) * size
        raw = self.data[at:at + size]
        if self.bits == 32:
            value = struct.unpack("<I", raw)[0]
            return (value >> 16 & 0xFF, value >> 8 & 0xFF, value & 0xFF)
        if self.bits == 16:
            value = struct.unpack("<H", raw)[0]
            return ((value >> 11) << 3, (value >> 5 & 0x3F) << 2, (value & 0x1F) << 3)
        return PALETTE[raw[0]]

    def count(self, predicate, box):
        x0, y0, x1, y1 = box
        return sum(1 for y in range(y0, y1) for x in range(x0, x1) if predicate(self.rgb(x, y)))

    def shot(self, name):
        out = os.path.join(artifacts(), "%s_%d.png" % (name, self.bits))
        subprocess.run([sys.executable, FB2PNG, self.path, "%dx%dx%d" % (WIDTH, HEIGHT, self.bits),
                        out], check=True, timeout=120)
        return out


def rgb_of(argb):
    return (argb >> 16 & 0xFF, argb >> 8 & 0xFF, argb & 0xFF)


class FbPatternTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.mkdtemp(prefix="vexa-fb-")
        cls.links = e2e.Links()

    @classmethod
    def tearDownClass(cls):
        cls.links.close()
        shutil.rmtree(cls.directory, ignore_errors=True)

    def run_applet(self, screen, name, *arguments):
        result = self.links.run(name, *arguments, env=screen.env, timeout=120)
        self.assertEqual(0, result.returncode, result)
        return result

    def assert_color(self, screen, x, y, argb, what=""):
        got, want = screen.rgb(x, y), rgb_of(argb)
        tolerance = TOLERANCE[screen.bits]
        self.assertTrue(all(abs(a - b) <= tolerance for a, b in zip(got, want)),
                        "%s at (%d, %d), %d bits: %s, expected %s" % (what, x, y, screen.bits,
                                                                      got, want))

    def test_fbinfo_lines(self):
        for bits in DEPTHS:
            with self.subTest(bits=bits):
                screen = Screen(self.directory, bits)
                out = self.run_applet(screen, "fbinfo").stdout
                self.assertIn('device name : "virtual framebuffer"\n', out)
                self.assertIn("map size    : %d bytes\n" % (WIDTH * HEIGHT * bits // 8), out)
                self.assertIn("line length : %d bytes\n" % (WIDTH * bits // 8), out)
                self.assertIn('resolution  : 1280 x 720 %dbpp (color_interface[%08XH]="%s")\n'
                              % (bits, CODES[bits], NAMES[bits]), out)
                self.assertEqual(WIDTH * HEIGHT * bits // 8, os.path.getsize(screen.path))

    def test_fbclear_screen_and_box(self):
        for bits in DEPTHS:
            with self.subTest(bits=bits):
                screen = Screen(self.directory, bits)
                self.run_applet(screen, "fbclear", "--color", "0xFF0000FF")
                self.run_applet(screen, "fbclear", "--color", "0xFFFF0000", "--x", "100", "--y",
                                "50", "--w", "200", "--h", "100")
                screen.load()
                for x, y in ((0, 0), (1279, 719), (99, 50), (300, 149), (100, 150), (100, 49)):
                    self.assert_color(screen, x, y, 0xFF0000FF, "outside the box")
                for x, y in ((100, 50), (299, 149), (200, 100)):
                    self.assert_color(screen, x, y, 0xFFFF0000, "inside the box")
                screen.shot("fbclear")

    def test_fbcolorbar_plain_and_extended(self):
        top = [0xFFFFFF, 0xFFFF00, 0x00FFFF, 0x00FF00, 0xFF00FF, 0xFF0000, 0x0000FF]
        middle = [0x0000FF, 0x000000, 0xFF7F3F, 0x000000, 0x007FFF, 0x000000, 0xFFFFFF]
        bottom = [0x00007F, 0xFFFFFF, 0x0000FF, 0x000000, 0x000000, 0x000000]
        bar, sixth = WIDTH // 7, WIDTH // 6
        for bits in DEPTHS:
            with self.subTest(bits=bits):
                screen = Screen(self.directory, bits)
                self.run_applet(screen, "fbcolorbar")
                screen.load()
                for i, color in enumerate(top):
                    for x in (i * bar, i * bar + bar // 2, (i + 1) * bar - 1 if i < 6 else 1279):
                        self.assert_color(screen, x, 700, color, "plain bar %d" % i)
                self.run_applet(screen, "fbcolorbar", "--ext")
                screen.load()
                for i, color in enumerate(top):
                    self.assert_color(screen, i * bar + bar // 2, 479, color, "top bar %d" % i)
                for i, color in enumerate(middle):
                    # Where the palette has no such colour, the nearest of its steps.
                    self.assert_color(screen, i * bar + bar // 2, 540, color, "middle bar %d" % i)
                    self.assert_color(screen, i * bar + bar // 2, 480, color, "middle bar %d" % i)
                for i, color in enumerate(bottom):
                    self.assert_color(screen, i * sixth + sixth // 2, 600, color,
                                      "bottom bar %d" % i)
                self.assert_color(screen, 1279, 719, bottom[-1], "last bottom bar")
                screen.shot("fbcolorbar")

    def test_fbruler_crosshair_at_the_centre(self):
        white, black = 0xFFFFFFFF, 0xFF000000
        for bits in DEPTHS:
            with self.subTest(bits=bits):
                screen = Screen(self.directory, bits)
                self.run_applet(screen, "fbclear", "--color", "0xFF00FF00")
                self.run_applet(screen, "fbruler")
                screen.load()
                cx, cy = WIDTH // 2, HEIGHT // 2
                for d in (-1, 0, 1):
                    for x in (cx - 100, cx - 50, cx, cx + 100):
                        self.assert_color(screen, x, cy + d, white, "horizontal crosshair")
                    for y in (cy - 100, cy + 37, cy + 100):
                        self.assert_color(screen, cx + d, y, white, "vertical crosshair")
                for x, y in ((cx - 101, cy), (cx + 101, cy), (cx, cy - 101), (cx, cy + 101),
                             (cx + 2, cy + 2), (cx - 2, cy - 50)):
                    self.assert_color(screen, x, y, black, "beside the crosshair")
                # The window covers the screen: frame on every edge, ticks every ten pixels.
                for x, y in ((0, 0), (1279, 0), (0, 719), (1279, 719), (640, 719), (1279, 360)):
                    self.assert_color(screen, x, y, white, "frame")
                for x in range(10, 600, 10):
                    self.assert_color(screen, x, 3, white, "tick")
                    self.assert_color(screen, x + 5, 3, black, "between ticks")
                # Numbers ("%3d") under the long ticks.
                self.assertGreater(screen.count(lambda p: min(p) > 200, (100, 12, 130, 30)), 10)
                screen.shot("fbruler")

    def test_fbclock_window_at_the_centre(self):
        for bits in DEPTHS:
            with self.subTest(bits=bits):
                screen = Screen(self.directory, bits)
                self.run_applet(screen, "fbclear", "--color", "0xFF00FF00")
                self.run_applet(screen, "fbclock", "-n", "1")
                screen.load()
                # Half the screen wide, 24 glyph rows of 10 pixels and a gap high, centred.
                left, width, height = 320, 640, 244
                top = (HEIGHT - height) // 2
                for x, y in ((left - 1, top), (left + width, top), (left, top - 1),
                             (left, top + height), (0, 0), (1279, 719)):
                    self.assert_color(screen, x, y, 0xFF00FF00, "outside the clock")
                lit = screen.count(lambda p: min(p) > 200, (left, top, left + width,
                                                             top + height))
                self.assertGreater(lit, 5000, "the date and time are drawn")
                self.assertEqual(0, screen.count(lambda p: p[1] > 200 and p[0] < 100,
                                                 (left, top, left + width, top + height)))
                screen.shot("fbclock")

    def test_no_device(self):
        result = self.links.run("fbruler", "--dev", os.path.join(self.directory, "none"),
                                env={"TARVIK_VIRTUAL_FB": ""})
        self.assertEqual(1, result.returncode, result)
        self.assertIn('tarvik_open_ctx failed ! ("application/qvl_fb", fb_handle)\n',
                      result.stdout)


if __name__ == "__main__":
    e2e.main(__doc__)
