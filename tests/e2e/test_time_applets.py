#!/usr/bin/env python3
"""The time applets run for real: hertz against getconf, uptime against /proc/uptime, by
first argument and by link name, plain on pipes and coloured on a terminal.

Usage: test_time_applets.py <vexa>
"""
import os
import pty
import re
import select
import shutil
import subprocess
import sys
import tempfile
import unittest

VEXA = None
EXIT_DUMP = "dump exception"
UPTIME_LINE = re.compile(r"^uptime: (\d+) days (\d\d):(\d\d):(\d\d) \((\d+) sec\)\n$")


def run(*arguments, program=None):
    result = subprocess.run([program or VEXA, *arguments], capture_output=True, text=True,
                            timeout=60, stdin=subprocess.DEVNULL)
    if EXIT_DUMP in result.stderr:
        raise AssertionError("exit dump: %r" % result.stderr)
    return result


def proc_uptime():
    with open("/proc/uptime") as handle:
        return float(handle.read().split()[0])


def run_on_terminal(*arguments):
    """Output of the program on a pseudo-terminal, and its exit status."""
    master, slave = pty.openpty()
    process = subprocess.Popen([VEXA, *arguments], stdin=subprocess.DEVNULL, stdout=slave,
                               stderr=subprocess.PIPE)
    os.close(slave)
    output = b""
    while True:
        ready, _, _ = select.select([master], [], [], 30)
        if not ready:
            break
        try:
            chunk = os.read(master, 65536)
        except OSError:  # the slave side closed
            break
        if not chunk:
            break
        output += chunk
    os.close(master)
    stderr = process.stderr.read().decode(errors="replace")
    process.stderr.close()
    return process.wait(timeout=30), output.decode(errors="replace"), stderr


class TimeAppletsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.mkdtemp(prefix="vexa-time-")
        for name in ("uptime", "hertz"):
            os.symlink(VEXA, os.path.join(cls.directory, name))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.directory, ignore_errors=True)

    def test_hertz_is_the_clock_tick_rate(self):
        expected = subprocess.run(["getconf", "CLK_TCK"], capture_output=True, text=True,
                                  check=True).stdout
        for result in (run("hertz"), run(program=os.path.join(self.directory, "hertz"))):
            self.assertEqual(result.returncode, 0, result)
            self.assertEqual(result.stdout, expected)
            self.assertEqual(result.stderr, "")

    def test_uptime_agrees_with_proc_uptime(self):
        for program in (None, os.path.join(self.directory, "uptime")):
            before = proc_uptime()
            result = run("uptime") if program is None else run(program=program)
            after = proc_uptime()
            self.assertEqual(result.returncode, 0, result)
            self.assertEqual(result.stderr, "")
            self.assertNotIn("\x1b", result.stdout)
            match = UPTIME_LINE.match(result.stdout)
            self.assertIsNotNone(match, repr(result.stdout))
            days, hours, minutes, seconds, total = (int(group) for group in match.groups())
            self.assertGreaterEqual(total, int(before) - 1)
            self.assertLessEqual(total, int(after) + 1)
            self.assertLess(hours, 24)
            self.assertLess(minutes, 60)
            self.assertLess(seconds, 60)
            self.assertEqual(((days * 24 + hours) * 60 + minutes) * 60 + seconds, total)

    def test_output_that_cannot_be_written_fails(self):
        for applet in ("uptime", "hertz"):
            with open("/dev/full", "w") as full:
                result = subprocess.run([VEXA, applet], stdout=full, stderr=subprocess.PIPE,
                                        text=True, timeout=60, stdin=subprocess.DEVNULL)
            self.assertEqual(result.returncode, 1, applet)
            self.assertEqual(result.stderr, "%s: write error: No space left on device\n" % applet)

    def test_uptime_on_a_terminal_is_coloured(self):
        status, output, stderr = run_on_terminal("uptime")
        self.assertEqual(status, 0, output + stderr)
        self.assertNotIn(EXIT_DUMP, stderr)
        self.assertRegex(output, r"^uptime: \x1b\[1;37m\d+\x1b\[0m days \x1b\[1;37m\d\d\x1b\[0m:"
                                 r"\x1b\[1;37m\d\d\x1b\[0m:\x1b\[1;37m\d\d\x1b\[0m "
                                 r"\(\x1b\[1;34m\d+\x1b\[0m sec\)\r?\n$")


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit("usage: test_time_applets.py <vexa>")
    VEXA = os.path.abspath(sys.argv[1])
    unittest.main(argv=[sys.argv[0]], verbosity=2)
