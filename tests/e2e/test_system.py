#!/usr/bin/env python3
"""The small system applets (system.cpp), run for real: hertz against getconf and, inside
a private mount namespace, over an empty /proc/stat, and over young counters with the clock of
a private time namespace set back to just after boot; output to a full device fails;
uptime against /proc/uptime, plain on pipes and coloured on a terminal; true, false and clear,
each by first argument and by link; uuid against Python's reading of version-1 UUIDs; kelmor;
reset on a terminal (stty settings restored) and without one; ldd against the system's ldd, and
its refusal to run a program that has no dynamic loader; reboot and poweroff only ever as
guests of a private PID namespace, whose end they cause (the machine is never touched).

Usage: test_system.py <vexa>
"""
import os
import re
import signal
import subprocess
import shutil
import tempfile
import time
import unittest
import uuid

import vexa_e2e as e2e

UPTIME_LINE = re.compile(r"^uptime: (\d+) days (\d\d):(\d\d):(\d\d) \((\d+) sec\)\n$")


def proc_uptime():
    with open("/proc/uptime") as handle:
        return float(handle.read().split()[0])

# Process 1 of a fresh PID namespace: it records the signals it and a child get, starts the
# applet and waits. The first line refuses to go on anywhere but as that process 1, so the
# applet can never reach the machine's own processes or its reboot call.
SHUTDOWN_SCRIPT = r"""
[ "$$" -eq 1 ] || exit 99
log=$1
note() { echo "$1" >> "$log"; }
trap 'note "init TERM"' TERM
trap 'note "init QUIT"' QUIT
(trap 'note "child TERM"' TERM; note "child ready"; while :; do sleep 0.05; done) &
until grep -q "child ready" "$log"; do sleep 0.05; done
note "start"
"$0" "$2" &
while :; do wait; done
"""

# Runs the applet with an argument as process 1 of a new namespace, noting any signal.
REFUSE_SCRIPT = r"""
[ "$$" -eq 1 ] || exit 99
trap 'echo "init TERM"' TERM
trap 'echo "init QUIT"' QUIT
"$0" "$1" "$2"
echo "status=$?"
"""


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

    def test_hertz_of_young_counters_is_the_stated_unit(self):
        e2e.require_namespaces(self)
        probe = subprocess.run(["unshare", "--time", "--fork", "true"], capture_output=True,
                               text=True, timeout=30)
        if probe.returncode != 0:
            self.skipTest("no private time namespace here: " + probe.stderr.strip())
        # A private time namespace moves the clock back to the uptime of the row and a bound
        # file stands for /proc/stat: the applet sees a board that booted that long ago.
        stated = subprocess.run(["getconf", "CLK_TCK"], capture_output=True, text=True,
                                check=True).stdout
        unknown = "tarvik_get_hertz: [ERROR] unknown HZ value ! (assume 100)\n"
        rows = [
            # 2 s after boot the counters lag the clock: estimate 57, no row; the stated unit
            # is taken without a report.
            (2, "cpu  5 0 105 4 0 0 0 0 0 0\ncpu0 5 0 105 4 0 0 0 0 0 0\n", stated, ""),
            # 20 s, counters lagging by a third: estimate 60 to 64, a wrong row.
            (20, "cpu  64 0 64 1152\ncpu0 64 0 64 1152\n", stated, ""),
            # Past the first minute the estimate holds, and so does its report.
            (100, "cpu 12500 0 12500\ncpu0 25000\n", "250\n", ""),
            (100, "cpu 9000\ncpu0 9000\n", "100\n", unknown),
        ]
        script = 'mount --bind "$1" /proc/stat && "$0" hertz; echo "status=$?"'
        with tempfile.TemporaryDirectory() as folder:
            for uptime, stat, out, err in rows:
                with self.subTest(uptime=uptime, stat=stat):
                    path = os.path.join(folder, "stat")
                    with open(path, "w") as handle:
                        handle.write(stat)
                    offset = str(uptime - int(time.clock_gettime(time.CLOCK_MONOTONIC)))
                    command = ["unshare", "--mount", "--time", "--fork", "--monotonic", offset,
                               "--boottime", offset, "sh", "-c", script, e2e.VEXA, path]
                    result = subprocess.run(command, capture_output=True, text=True,
                                            timeout=60, stdin=subprocess.DEVNULL)
                    self.assertEqual((result.stdout, e2e.strip_ansi(result.stderr)),
                                     (out + "status=0\n", err), result)

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

    def test_uuid_is_a_fresh_time_based_uuid(self):
        texts = []
        for result in self.both_ways("uuid") + self.both_ways("uuid"):
            self.assertEqual((result.returncode, result.stderr), (0, ""), result)
            self.assertRegex(result.stdout, r"^[0-9a-f]{8}-[0-9a-f]{4}-1[0-9a-f]{3}-"
                                            r"[89ab][0-9a-f]{3}-[0-9a-f]{12}\n$")
            texts.append(result.stdout.strip())
        self.assertEqual(len(set(texts)), len(texts), "every UUID differs")
        parsed = [uuid.UUID(text) for text in texts]
        self.assertTrue(all(value.version == 1 and value.variant == uuid.RFC_4122
                            for value in parsed))
        # 100-ns units since 1582-10-15; the clock of this machine, within a minute.
        seconds = [(value.time - 0x01B21DD213814000) / 1e7 for value in parsed]
        for value in seconds:
            self.assertLess(abs(value - time.time()), 60, seconds)
        self.assertEqual(seconds, sorted(seconds), "later runs, later times")

    def test_kelmor_prints_the_signature_and_stays_out_of_the_listing(self):
        for result in self.both_ways("kelmor"):
            self.assertEqual((result.returncode, result.stderr), (0, ""), result)
            self.assertRegex(result.stdout, r"^Tarvik library v5\.0\.2\.0 \(.+\)\n$")
        self.assertNotIn("kelmor", e2e.run().stdout)

    def test_reset_restores_a_sane_terminal(self):
        if e2e.is_target():
            self.skipTest("the emulator's terminal calls are not the point here")
        script = 'stty -echo -icanon; "$0" reset; echo "status=$?"; stty -a'
        result = e2e.run_pty(["sh", "-c", script, e2e.VEXA])
        output = result.stdout.decode("utf-8", "replace")
        self.assertEqual(result.returncode, 0, output)
        self.assertIn("\x1bc\x1b(K\x1b[J\x1b[0m\x1b[?25h", output)
        self.assertIn("status=0", output)
        settings = output.split("status=0", 1)[1].split()
        self.assertIn("echo", settings)
        self.assertIn("icanon", settings)
        # Without a terminal on both sides it does nothing at all.
        for result in self.both_ways("reset"):
            self.assertEqual((result.returncode, result.stdout, result.stderr), (0, "", ""))

    def test_ldd_lists_the_libraries_like_the_system_ldd(self):
        if e2e.is_target():
            self.skipTest("a host program's loader is not the target's")
        result = e2e.run("ldd")
        self.assertEqual((result.returncode, result.stdout), (1, "Usage: ldd <pathname>\n"))
        program = shutil.which("ls")
        result = self.links.run("ldd", program)
        self.assertEqual((result.returncode, result.stderr), (0, ""), result)
        expected = subprocess.run(["ldd", program], capture_output=True, text=True).stdout

        def names(text):
            return sorted(line.split()[0] for line in text.splitlines() if line.strip())
        self.assertEqual(names(result.stdout), names(expected))

    def test_ldd_refuses_what_it_would_run(self):
        if e2e.is_target():
            self.skipTest("host programs")
        with tempfile.TemporaryDirectory() as directory:
            marker = os.path.join(directory, "ran")
            script = os.path.join(directory, "script")
            with open(script, "w") as handle:
                handle.write("#!/bin/sh\ntouch %s\n" % marker)
            os.chmod(script, 0o755)
            static = shutil.which("busybox")
            cases = [(script, "is not a dynamic executable"),
                     (os.path.join(directory, "missing"), "can not open")]
            if static:
                cases.append((static, "is not a dynamic executable"))
            for path, message in cases:
                result = e2e.run("ldd", path)
                self.assertEqual((result.returncode, result.stdout), (1, ""), result)
                self.assertIn(message, result.stderr)
            self.assertFalse(os.path.exists(marker), "the script ran")
            # A bare name is the file in the working directory, never one on the PATH.
            result = e2e.run("ldd", "ls", cwd=directory)
            self.assertEqual(result.returncode, 1, result)
            self.assertIn("can not open", result.stderr)

    def shut_down(self, applet):
        """The applet's signals as process 1 and a child saw them, and how the namespace
        ended (the status of unshare, which dies by the signal its namespace ended with)."""
        e2e.require_namespaces(self, pid=True)
        with tempfile.TemporaryDirectory() as directory:
            log = os.path.join(directory, "signals")
            open(log, "w").close()
            result = e2e.in_namespaces(SHUTDOWN_SCRIPT, log, applet, pid=True, timeout=60)
            with open(log) as handle:
                return result, handle.read().splitlines()

    def test_reboot_and_poweroff_refuse_arguments_signalling_nobody(self):
        e2e.require_namespaces(self, pid=True)
        for applet in ("reboot", "poweroff"):
            for argument in ("--help", "now"):
                result = e2e.in_namespaces(REFUSE_SCRIPT, applet, argument, pid=True, timeout=60)
                self.assertEqual(result.returncode, 0, (applet, argument, result))
                self.assertEqual(result.stdout, "status=1\n", (applet, argument, result))
                self.assertIn("usage: ", result.stderr, (applet, argument, result))

    def test_reboot_and_poweroff_end_their_pid_namespace_in_stages(self):
        for applet, ending in (("reboot", signal.SIGHUP), ("poweroff", signal.SIGINT)):
            result, seen = self.shut_down(applet)
            self.assertNotEqual(result.returncode, 99, "not process 1 of a new namespace")
            # The kernel ends a namespace whose process 1 restarts (powers off) as if that
            # process had died by SIGHUP (SIGINT).
            self.assertEqual(result.returncode, -ending, (applet, result, seen))
            # Process 1 is asked first, then every other process, and finally told to quit
            # after the rest were killed.
            self.assertEqual(seen, ["child ready", "start", "init TERM", "child TERM",
                                    "init QUIT"], (applet, result))


if __name__ == "__main__":
    e2e.main(__doc__)
