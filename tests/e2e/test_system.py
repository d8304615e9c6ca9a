#!/usr/bin/env python3
"""The small system applets (system.cpp), run for real: hertz against getconf and, inside
a private mount namespace, over an empty /proc/stat; uptime against /proc/uptime, plain on
pipes and coloured on a terminal; true, false and clear; each by first argument and by link.

Usage: test_system.py <vexa>
"""
import re
import subprocess
import unittest

import vexa_e2e as e2e

UPTIME_LINE = re.compile(r"^uptime: (\d+) days (\d\d):(\d\d):(\d\d) \((\d+) sec\)\n$")


def proc_uptime():
    with open("/proc/uptime") as handle:
        return float(handle.read().split()[0])


class SystemTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.links = e2e.Links()

    @classmethod
    def tearDownClass(cls):
        cls.links.close()

    def both_ways(self, name, *arguments):
        """The applet run by first argument and through a link of its name."""
        return e2e.run(name, *arguments), self.links.run(name, *arguments)

    def test_hertz_is_the_clock_tick_rate(self):
        expected = subprocess.run(["getconf", "CLK_TCK"], capture_output=True, text=True,
                                  check=True).stdout
        for result in self.both_ways("hertz"):
            self.assertEqual((result.returncode, result.stdout, result.stderr),
                             (0, expected, ""), result)

    def test_hertz_without_tick_counters_reports_and_assumes_100(self):
        e2e.require_namespaces(self)
        # /dev/null bound over /proc/stat, in this namespace only: the file reads empty.
        script = 'mount --bind /dev/null /proc/stat && "$0" hertz; echo "status=$?"'
        result = e2e.in_namespaces(script, mount=True)
        self.assertEqual(result.stdout, "100\nstatus=0\n", result)
        self.assertEqual(result.stderr,
                         "tarvik_get_hertz: [ERROR] unknown HZ value ! (assume 100, "
                         "tarvik_open_cpu_ticks failed)\n", result)

    def test_uptime_agrees_with_proc_uptime(self):
        for run in (lambda: e2e.run("uptime"), lambda: self.links.run("uptime")):
            before = proc_uptime()
            result = run()
            after = proc_uptime()
            self.assertEqual((result.returncode, result.stderr), (0, ""), result)
            match = UPTIME_LINE.match(result.stdout)
            self.assertIsNotNone(match, repr(result.stdout))
            days, hours, minutes, seconds, total = (int(group) for group in match.groups())
            self.assertGreaterEqual(total, int(before) - 1)
            self.assertLessEqual(total, int(after) + 1)
            self.assertLess((hours, minutes, seconds), (24, 60, 60))
            self.assertLess(max(minutes, seconds), 60)
            self.assertEqual(((days * 24 + hours) * 60 + minutes) * 60 + seconds, total)

    def test_output_that_cannot_be_written_fails(self):
        for applet in ("uptime", "hertz"):
            with open("/dev/full", "w") as full:
                result = subprocess.run([e2e.VEXA, applet], stdout=full, stderr=subprocess.PIPE,
                                        text=True, timeout=60, stdin=subprocess.DEVNULL)
            self.assertEqual(result.returncode, 1, applet)
            self.assertEqual(result.stderr, "%s: write error: No space left on device\n" % applet)

    def test_uptime_on_a_terminal_is_coloured(self):
        result = e2e.run_pty([e2e.VEXA, "uptime"])
        self.assertEqual(result.returncode, 0, result)
        self.assertRegex(result.stdout.decode(),
                         r"^uptime: \x1b\[1;37m\d+\x1b\[0m days \x1b\[1;37m\d\d\x1b\[0m:"
                         r"\x1b\[1;37m\d\d\x1b\[0m:\x1b\[1;37m\d\d\x1b\[0m "
                         r"\(\x1b\[1;34m\d+\x1b\[0m sec\)\r?\n$")

    def test_true_false_and_clear(self):
        for name, status in (("true", 0), ("false", 1)):
            for result in self.both_ways(name, "--anything", "operand"):
                self.assertEqual((result.returncode, result.stdout, result.stderr),
                                 (status, "", ""), result)
        # The clear sequence reaches a terminal; a pipe gets it stripped like every escape.
        for result in self.both_ways("clear"):
            self.assertEqual((result.returncode, result.stdout, result.stderr), (0, "", ""))
        on_terminal = e2e.run_pty([e2e.VEXA, "clear"])
        self.assertEqual((on_terminal.returncode, on_terminal.stdout), (0, b"\x1b[H\x1b[J"))


if __name__ == "__main__":
    e2e.main(__doc__)
