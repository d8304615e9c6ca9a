#!/usr/bin/env python3
"""The setcpu applet (setcpu.cpp) run for real inside private PID and mount namespaces: it
lists and changes the processor affinity of processes chosen by pid or name pattern,
checked against taskset.

Usage: test_setcpu.py <vexa>
"""
import os
import re
import shutil
import subprocess
import sys
import unittest

import vexa_e2e as e2e


run = e2e.run


def taskset_list(pid):
    """The affinity of pid as a set of processors, from taskset."""
    output = subprocess.run(["taskset", "-pc", str(pid)], capture_output=True, text=True,
                            check=True).stdout
    return parse_cpu_list(output.rsplit(":", 1)[1].strip(), ",")


def parse_cpu_list(text, separator):
    cpus = set()
    for part in text.split(separator):
        if "-" in part:
            first, last = part.split("-")
            cpus.update(range(int(first), int(last) + 1))
        elif part:
            cpus.add(int(part))
    return cpus


reap = e2e.reap


class SetcpuTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if shutil.which("taskset") is None:
            raise unittest.SkipTest("taskset is missing")

    def setUp(self):
        self.cpus = sorted(os.sched_getaffinity(0))
        self.sleepers = [subprocess.Popen(["sleep", "30"]) for _ in range(3)]

    def tearDown(self):
        for process in self.sleepers:
            reap(process)

    def test_list_agrees_with_taskset(self):
        os.sched_setaffinity(self.sleepers[0].pid, {self.cpus[0]})
        result = run("setcpu", "--list")
        self.assertEqual(result.returncode, 0, result)
        lines = result.stdout.splitlines()
        self.assertEqual(lines[0], "CPU x %d" % len(self.cpus))
        self.assertEqual(lines[1], "%5s %-32s %s" % ("PID", "Mask", "Name"))
        rows = {}
        for line in lines[2:]:
            match = re.fullmatch(r"\s*(\d+) (\S+)\s+(.*)", line)
            self.assertIsNotNone(match, line)
            self.assertEqual(line, "%5s %-32s %s" % match.groups())
            rows[int(match.group(1))] = (match.group(2), match.group(3))
        for process in self.sleepers:
            mask, name = rows[process.pid]
            self.assertEqual(name, "sleep")
            self.assertEqual(parse_cpu_list(mask, "|"), taskset_list(process.pid))
        self.assertEqual(rows[self.sleepers[0].pid][0], str(self.cpus[0]))

    def test_pin_by_pid_and_release(self):
        pid = self.sleepers[0].pid
        cpu = self.cpus[-1]
        result = run("setcpu", "--pid", str(pid), "--cpu", str(cpu))
        self.assertEqual(result.returncode, 0, result)
        self.assertEqual(result.stdout, "CPU x %d\nset running on CPU%d (pid=%d)\n"
                         % (len(self.cpus), cpu, pid))
        self.assertEqual(taskset_list(pid), {cpu})
        mask = subprocess.run(["taskset", "-p", str(pid)], capture_output=True, text=True,
                              check=True).stdout
        self.assertEqual(int(mask.rsplit(":", 1)[1], 16), 1 << cpu)
        self.assertEqual(taskset_list(self.sleepers[1].pid), set(self.cpus), "others unmoved")

        result = run("setcpu", "-p", str(pid))
        self.assertEqual(result.returncode, 0, result)
        self.assertEqual(result.stdout.splitlines()[-1], "set running on CPUs (pid=%d)" % pid)
        self.assertEqual(taskset_list(pid), set(self.cpus))

    def test_pin_by_name_pattern(self):
        other = subprocess.Popen(["cat"], stdin=subprocess.PIPE)
        try:
            cpu = self.cpus[0]
            result = run("setcpu", "--name", "sl?e*|nothing", "--cpu", str(cpu))
            self.assertEqual(result.returncode, 0, result)
            lines = result.stdout.splitlines()
            self.assertEqual(lines[1], 'searching process "sl?e*|nothing"')
            expected = ["set running on CPU%d (pid=%d)" % (cpu, process.pid)
                        for process in self.sleepers]
            self.assertEqual(sorted(lines[2:]), sorted(expected))
            for process in self.sleepers:
                self.assertEqual(taskset_list(process.pid), {cpu})
            self.assertEqual(taskset_list(other.pid), set(self.cpus))

            result = run("setcpu", "--name", "no-such-process")
            self.assertEqual(result.returncode, 0, result)
            self.assertEqual(result.stdout.splitlines()[1:], ['searching process "no-such-process"'])
        finally:
            reap(other)

    def test_pin_by_executable_path_or_first_word(self):
        renamed = subprocess.Popen(["zz-first-word", "30"], executable=shutil.which("sleep"))
        try:
            cpu = self.cpus[-1]
            exe = os.path.realpath(shutil.which("sleep"))
            # Only the executable path matches the first pattern, only argv[0] the second.
            for pattern, expected in (("*" + exe[1:], self.sleepers + [renamed]),
                                      ("zz-first-*", [renamed])):
                with self.subTest(pattern=pattern):
                    for process in self.sleepers + [renamed]:
                        os.sched_setaffinity(process.pid, set(self.cpus))
                    result = run("setcpu", "--name", pattern, "--cpu", str(cpu))
                    self.assertEqual(result.returncode, 0, result)
                    pinned = sorted(int(pid) for pid in re.findall(
                        r"^set running on CPU%d \(pid=(\d+)\)$" % cpu, result.stdout, re.M))
                    self.assertEqual(pinned, sorted(process.pid for process in expected))
        finally:
            reap(renamed)

    def test_refusals(self):
        result = run("setcpu", "--pid", "999999", "--cpu", str(self.cpus[0]))
        self.assertEqual(result.returncode, 1, result)
        self.assertIn("can not change running cpu !\n", result.stdout)
        result = run("setcpu", "--pid", str(self.sleepers[0].pid), "--cpu", "1024")
        self.assertEqual(result.returncode, 1, result)
        self.assertEqual(taskset_list(self.sleepers[0].pid), set(self.cpus))

    def test_numbers_out_of_range_are_refused_with_a_message(self):
        pid = str(self.sleepers[0].pid)
        # 4294967297 would wrap to CPU 1, "" read as every CPU, -1 as no pid at all.
        for arguments, option, text, bounds in (
                (["--pid", pid, "--cpu", "4294967297"], "c", "4294967297", "-1..1023"),
                (["--pid", pid, "--cpu", ""], "c", "", "-1..1023"),
                (["--pid", pid, "--cpu", "1x"], "c", "1x", "-1..1023"),
                (["--pid", "-1", "--cpu", "0"], "p", "-1", "1..2147483647"),
                (["--pid", "99999999999", "--list"], "p", "99999999999", "1..2147483647")):
            with self.subTest(arguments=arguments):
                os.sched_setaffinity(self.sleepers[0].pid, set(self.cpus))
                result = run("setcpu", *arguments)
                self.assertEqual(result.returncode, 1, result)
                self.assertEqual(result.stderr, 'setcpu: invalid value for --%s: "%s" '
                                 "(expected %s)\n" % (option, text, bounds))
                self.assertNotIn("set running", result.stdout)
                self.assertEqual(taskset_list(self.sleepers[0].pid), set(self.cpus))

    def test_list_shows_control_characters_of_names(self):
        renamed = subprocess.Popen(
            [sys.executable, "-c", "import sys, time\n"
             "open('/proc/self/comm', 'w').write('\\x1b]0;pwn\\x07')\n"
             "sys.stdout.write('ready\\n'); sys.stdout.flush(); time.sleep(30)\n"],
            stdout=subprocess.PIPE, text=True)
        try:
            self.assertEqual(renamed.stdout.readline(), "ready\n")
            result = run("setcpu", "--list")
            self.assertEqual(result.returncode, 0, result)
            self.assertNotIn("\x1b", result.stdout)
            self.assertRegex(result.stdout, r"(?m)^ *%d \S+ +\?\]0;pwn\?$" % renamed.pid)
        finally:
            reap(renamed)

    def test_no_proc_is_an_error(self):
        script = 'mount -t tmpfs none /proc && exec "$0" "$@"'
        probe = subprocess.run(["unshare", "--mount", "sh", "-c", script, e2e.VEXA, "true"],
                               capture_output=True, text=True, timeout=60)
        if probe.returncode != 0:
            self.skipTest("the program cannot run without /proc here (a sanitizer runtime)")
        for arguments in (["--list"], ["--name", "sleep"]):
            result = subprocess.run(["unshare", "--mount", "sh", "-c", script, e2e.VEXA, "setcpu",
                                     *arguments], capture_output=True, text=True, timeout=60)
            self.assertEqual(result.returncode, 1, result)
            self.assertEqual(result.stderr, "setcpu: can not read the process table: "
                             "No such file or directory\n")
            self.assertNotIn("PID", result.stdout)

    def test_usage_without_arguments(self):
        result = run("setcpu")
        self.assertEqual(result.returncode, 0, result)
        self.assertEqual(result.stdout, "usage: --pid <pid> | --cpu <id> | --name <process name> "
                                        "| --list\nCPU x %d\n" % len(self.cpus))


if __name__ == "__main__":
    e2e.main(__doc__, namespaces=True)
