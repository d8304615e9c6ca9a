#!/usr/bin/env python3
"""The memory watchdog (meminfo.cpp), run for real. Everything that could kill or restart runs
only inside a private PID namespace with its own /proc, whose process 1 is a driver that
refuses to run anywhere else: the machine's own processes are never in reach.

- console mode on a terminal: start-up lines (a limit of 1000 raised to 5120), the status line
  against /proc/meminfo, the spinner, the detail view switched on and off with d, q to end;
  with memory short the exception line is shown, the would-be victim logged, nothing killed;
- daemon mode with a limit above the machine's memory (memory always short): the largest
  process is killed and logged; process 1, the watchdog, its launcher and a larger process
  with oom_score_adj -1000 never are; a victim that holds its memory on its way out (stopped
  under a tracer) is waited for, a few seconds, and then passed over; each victim once; the
  exception command runs once;
- with --reboot the namespace ends by the restart (the exception command ran first), at once
  when nothing may be killed.

Usage: test_meminfo.py <vexa>
"""
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

import vexa_e2e as e2e

# Process 1 of a private PID namespace. It starts the processes a case needs, then the
# watchdog, and reports what happened as one JSON line.
DRIVER = r"""
import ctypes, json, os, signal, subprocess, sys, time
if os.getpid() != 1:
    sys.exit(99)
case = json.loads(sys.argv[1])
HOG = "import time\nb = b'x' * (%d << 20)\nprint('ready', flush=True)\ntime.sleep(120)\n"

# Lowering the mark needs CAP_SYS_RESOURCE, which a container may lack: the mark is then laid
# over the process's file in this namespace's own /proc, where the watchdog reads it.
def protect(pid, adjustment):
    try:
        with open("/proc/%d/oom_score_adj" % pid, "w") as handle:
            handle.write(str(adjustment))
        return
    except OSError:
        pass
    mark = os.path.join(case["directory"], "oom_score_adj.%d" % pid)
    with open(mark, "w") as handle:
        handle.write("%d\n" % adjustment)
    subprocess.check_call(["mount", "--bind", mark, "/proc/%d/oom_score_adj" % pid])

# A traced process that is killed stops on its way out with all its memory still held, until
# its tracer lets it go: the watchdog's victim that will not go away.
libc = ctypes.CDLL(None, use_errno=True)
PTRACE_CONT, PTRACE_SEIZE, PTRACE_O_TRACEEXIT, WALL = 7, 0x4206, 0x40, 0x40000000

def trace(pid):
    if libc.ptrace(PTRACE_SEIZE, pid, None, ctypes.c_void_p(PTRACE_O_TRACEEXIT)) != 0:
        raise OSError(ctypes.get_errno(), "PTRACE_SEIZE")

def stopped_on_exit(pid):
    waited, status = os.waitpid(pid, os.WNOHANG | WALL)
    return waited == pid and os.WIFSTOPPED(status) and status >> 16 == 6

def log_lines():
    try:
        with open(case["log"]) as handle:
            return len(handle.read().splitlines())
    except OSError:
        return 0

def hog(mib, adjustment=None):
    process = subprocess.Popen([sys.executable, "-c", HOG % mib], stdout=subprocess.PIPE)
    process.stdout.readline()
    if adjustment is not None:
        protect(process.pid, adjustment)
    return process

def alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as handle:
            return handle.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False

def comm(pid):
    with open("/proc/%d/comm" % pid) as handle:
        return handle.read().strip()

def wait_until(predicate, timeout):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(0.02)

report = {}
processes = {}
if "meminfo" in case:
    # This namespace's own /proc shows the figures of a device the test describes.
    figures = os.path.join(case["directory"], "meminfo")
    with open(figures, "w") as handle:
        handle.write(case["meminfo"])
    subprocess.check_call(["mount", "--bind", figures, "/proc/meminfo"])
for name, mib, adjustment in case.get("hogs", []):
    processes[name] = hog(mib, adjustment)
if case.get("sleeper"):
    processes["sleeper"] = subprocess.Popen(["sleep", "60"])
if "full_log" in case:
    # The log lives on a file system with room for a few bytes more only.
    os.makedirs(case["full_log"], exist_ok=True)
    subprocess.check_call(["mount", "-t", "tmpfs", "-o", "size=4k", "tmpfs", case["full_log"]])
    with open(case["log"], "w") as handle:
        handle.write("x" * (4096 - 21) + "\n")
if case.get("traced"):
    trace(processes[case["traced"]].pid)
report["pids"] = {name: process.pid for name, process in processes.items()}
report["names"] = {name: comm(process.pid) for name, process in processes.items()}
status = subprocess.call([case["vexa"], "meminfo"] + case["arguments"])
report["status"] = status
if case.get("console"):
    report["alive"] = {name: alive(process.pid) for name, process in processes.items()}
else:
    wait_until(lambda: os.path.exists(case["pidfile"]), 10)
    with open(case["pidfile"]) as handle:
        watchdog = int(handle.read())
    with open("/proc/%d/stat" % watchdog) as handle:
        launcher = int(handle.read().rsplit(")", 1)[1].split()[1])
    report["watchdog"], report["launcher"] = watchdog, launcher
    if case.get("traced"):
        traced = processes[case["traced"]]
        report["stopped"] = wait_until(lambda: stopped_on_exit(traced.pid), 20)
        # Checks every 20 ms find memory short all along, yet the victim is still on its way.
        time.sleep(1)
        report["during_stop"] = {"log lines": log_lines(),
                                 "alive": {name: alive(process.pid)
                                           for name, process in processes.items()}}
        # After a few seconds the watchdog gives up waiting and moves on.
        later = processes[case["next"]]
        report["moved_on"] = wait_until(lambda: later.poll() is not None, 20)
        report["still_stopped"] = alive(traced.pid)
        libc.ptrace(PTRACE_CONT, traced.pid, None, None)
    doomed = [processes[name] for name in case.get("doomed", [])]
    report["settled"] = wait_until(lambda: all(p.poll() is not None for p in doomed), 20)
    # Memory stays short: anything else the watchdog would wrongly kill dies in this time.
    time.sleep(case.get("linger", 1.5))
    report["alive"] = {name: alive(process.pid) for name, process in processes.items()}
    if "full_log" in case:
        with open(case["log"]) as handle:
            report["log"] = handle.read()
    report["alive"]["watchdog"] = alive(watchdog)
    report["alive"]["launcher"] = alive(launcher)
    for pid in (launcher, watchdog):
        os.kill(pid, signal.SIGKILL)
print(json.dumps(report), flush=True)
"""

# The exception command: one line per run.
COMMAND = "#!/bin/sh\necho ran >> \"%s\"\n"

LOG_LINE = re.compile(r'^ST=(\d{14}),PID=(\d+),PROCESS_NAME="([^"]*)",RSS=(\d+),'
                      r'MSG="big memory process"$')
# The share is shown only outside the detail view (where a progress bar stands instead).
STATUS_LINE = re.compile(r"(?:(\d+)\.(\d\d)% )?(\d+)/(\d+) KB \(MaxUsed (\d+), Free (\d+), "
                         r"Buffers (\d+), Cached (\d+)\)(?:, Swap \d+/\d+)? \[(-?\d+)\((-?\d+)\)\]")


def total_kb():
    with open("/proc/meminfo") as handle:
        for line in handle:
            if line.startswith("MemTotal:"):
                return int(line.split()[1])
    raise AssertionError("no MemTotal")


class MeminfoTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        e2e.require_namespaces(cls, pid=True)
        cls.scratch = tempfile.mkdtemp(prefix="vexa-meminfo-")
        cls.driver = os.path.join(cls.scratch, "driver.py")
        with open(cls.driver, "w") as handle:
            handle.write(DRIVER)
        # Above the machine's memory: memory is always short.
        cls.short = str(total_kb() * 2)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def setUp(self):
        self.directory = tempfile.mkdtemp(dir=self.scratch)
        self.log = os.path.join(self.directory, "meminfo.log")
        self.marks = os.path.join(self.directory, "marks")
        self.command = os.path.join(self.directory, "exception.sh")
        with open(self.command, "w") as handle:
            handle.write(COMMAND % self.marks)
        os.chmod(self.command, 0o755)

    def namespace_command(self, case):
        case = dict(case, vexa=e2e.VEXA, directory=self.directory)
        return ["unshare", "--pid", "--fork", "--mount-proc", sys.executable, self.driver,
                json.dumps(case)]

    def run_case(self, case, timeout=60):
        result = subprocess.run(self.namespace_command(case), capture_output=True, text=True,
                                timeout=timeout, stdin=subprocess.DEVNULL)
        e2e.check_dump(result.stderr)
        self.assertNotEqual(result.returncode, 99, "the driver was not process 1")
        return result

    def report(self, result):
        self.assertEqual(result.returncode, 0, result)
        return json.loads(result.stdout.strip().splitlines()[-1])

    def log_lines(self):
        if not os.path.exists(self.log):
            return []
        with open(self.log) as handle:
            text = handle.read()
        self.assertTrue(text == "" or text.endswith("\n"), text)
        lines = text.splitlines()
        for line in lines:
            self.assertRegex(line, LOG_LINE)
        return [LOG_LINE.match(line).groups() for line in lines]

    def marks_count(self):
        if not os.path.exists(self.marks):
            return 0
        with open(self.marks) as handle:
            return len(handle.read().splitlines())

    def test_help_prints_the_usage(self):
        result = e2e.run("meminfo", "--help")
        self.assertEqual(result.returncode, 0)
        self.assertTrue(result.stdout.startswith("usage: meminfo [<options>]\noptions:\n"
                                                 "\t-h, --help                       : help\n"),
                        result)
        self.assertIn("\t-s|--size=<KBytes>               : limited free memory size\n",
                      result.stdout)
        self.assertTrue(result.stdout.endswith(
            "\nexamples:\n\tmeminfo -d -p \"/var/run/meminfo.pid\" --launcher -i 10 -r -s 5120 "
            "-t 30000 -e \"/usr/bin/meminfo.sh\" -l \"/storage/meminfo.log\"\n\n"), result)

    def console(self, arguments, keys, hogs=(), meminfo=None):
        """The watchdog on a terminal inside a namespace (over the given /proc/meminfo text);
        the output without colours, with line ends as the program wrote them, and the
        driver's report."""
        case = {"arguments": arguments, "console": True, "hogs": list(hogs)}
        if meminfo is not None:
            case["meminfo"] = meminfo
        result = e2e.run_pty(self.namespace_command(case), keys=keys, timeout=60,
                             until=b'"status"')
        output = result.stdout.decode("utf-8", "replace").replace("\r\n", "\n")
        self.assertIn('"status"', output, output[-3000:])
        report = json.loads([line for line in output.splitlines()
                             if line.startswith('{"pids"')][-1])
        return e2e.strip_ansi(output), report

    def test_console_lines_spinner_detail_view_and_quit(self):
        def status_lines(output):
            return STATUS_LINE.findall(e2e.strip_ansi(output.decode("utf-8", "replace")))

        def detail_shown(output):
            return b"TOP25 RSS:" in output

        seen = {}

        def detail_seen_then_more(count):
            def predicate(output):
                text = output.decode("utf-8", "replace")
                if "TOP25 RSS:" not in text:
                    return False
                seen.setdefault("lines", len(status_lines(output)))
                return len(status_lines(output)) >= seen["lines"] + count
            return predicate

        keys = [(lambda output: len(status_lines(output)) >= 2, b"d"),
                (detail_shown, b""),
                (detail_seen_then_more(2), b"d"),
                (detail_seen_then_more(5), b"q")]
        output, report = self.console(["-i", "100", "-s", "1000"], keys,
                                      hogs=[["hog", 20, None]])
        self.assertEqual(report["status"], 0, output[-3000:])
        start = output.split("\n")[:4]
        self.assertEqual(start, ["monitoring interval 100 msec",
                                 "limited avail memory size is 5120 Kbytes",
                                 "exception delay 30 sec",
                                 "available memory: MemAvailable of the kernel"], output[:500])
        self.assertTrue(output.rstrip("\n").split("\n")[-2].endswith("End of meminfo."),
                        output[-500:])
        self.assertIn("\rEnd of meminfo.\n", output)
        self.assertNotIn("memory full exception", output)

        lines = STATUS_LINE.findall(output)
        self.assertGreaterEqual(len(lines), 7, output[-3000:])
        total = total_kb()
        cumulative = None
        for line in lines:
            share, hundredths, used, line_total, max_used, free, buffers, cached, cum, delta = \
                [int(value) if value else None for value in line]
            self.assertEqual(line_total, total)
            self.assertEqual(used, total - free - buffers - cached)
            self.assertGreaterEqual(max_used, used)
            if share is not None:
                self.assertEqual(share * 100 + hundredths, used * 10000 // total)
            if cumulative is not None:
                # The change since start grows by each check's change (each cut to KB).
                self.assertLessEqual(abs(cum - (cumulative + delta)), 1)
            cumulative = cum
        # The spinner steps through its four frames in order, each after a carriage return.
        frames = re.findall(r"\r([-\\|/])", output)
        self.assertGreaterEqual(len(frames), 4)
        order = "-\\|/"
        self.assertEqual(frames[0], "-")
        for before, after in zip(frames, frames[1:]):
            self.assertEqual(order.index(after), (order.index(before) + 1) % 4, frames)
        # d switched the detail view on for a while and off again.
        self.assertGreaterEqual(output.count("TOP25 RSS:"), 2, output[-3000:])
        tail = output[output.rindex("TOP25 RSS:"):]
        self.assertGreaterEqual(len(STATUS_LINE.findall(tail)), 3, tail)
        self.assertTrue(all(line[0] for line in STATUS_LINE.findall(tail)[1:]), tail)
        self.assertRegex(output, r"\n {11}TIME: \d{4}/\d\d/\d\d \d\d:\d\d:\d\d\n")
        # The hog is among the largest shown, by its pid and its size.
        self.assertIsNotNone(re.search(r"TOP25 RSS:.*? %s\[%d:\d{5,}\]" % (
            re.escape(report["names"]["hog"]), report["pids"]["hog"]), output, re.S), output)
        self.assertTrue(report["alive"]["hog"])

    def test_console_shortage_is_shown_and_logged_but_kills_nothing(self):
        keys = [(lambda output: output.count(b"memory full exception") >= 3, b"q")]
        output, report = self.console(["-i", "50", "-s", self.short, "-l", self.log], keys,
                                      hogs=[["hog", 30, None]])
        self.assertEqual(report["status"], 0)
        self.assertRegex(output, r"memory full exception \(avail=\d+, total=%d, "
                                 r"limited_avail=%s, exception_delay=30\)\n" %
                         (total_kb(), self.short))
        self.assertTrue(report["alive"]["hog"])
        lines = self.log_lines()
        self.assertGreaterEqual(len(lines), 3)
        self.assertEqual({int(line[1]) for line in lines}, {report["pids"]["hog"]})
        self.assertEqual({line[2] for line in lines}, {report["names"]["hog"]})

    def test_available_memory_is_the_kernels_estimate_when_it_gives_one(self):
        # A device whose page cache is mostly a full tmpfs: free + buffers + cached looks
        # plentiful, the kernel knows better.
        device = ("MemTotal:        1048576 kB\nMemFree:            4096 kB\n"
                  "MemAvailable:       4000 kB\nBuffers:            1024 kB\n"
                  "Cached:           900000 kB\nSwapCached:            0 kB\n"
                  "SwapTotal:              0 kB\nSwapFree:               0 kB\n"
                  "Shmem:            890000 kB\n")
        old_kernel = "".join(line + "\n" for line in device.splitlines()
                             if not line.startswith("MemAvailable"))
        quit_after = [(lambda output: len(STATUS_LINE.findall(e2e.strip_ansi(
            output.decode("utf-8", "replace")))) >= 3, b"q")]
        for text, source, short in ((device, "MemAvailable of the kernel", True),
                                    (old_kernel, "free + buffers + cached", False)):
            output, report = self.console(["-i", "50"], quit_after, meminfo=text)
            self.assertEqual(report["status"], 0)
            self.assertIn("\navailable memory: %s\n" % source, output)
            lines = STATUS_LINE.findall(output)
            self.assertGreaterEqual(len(lines), 3)
            self.assertEqual(lines[0][2:8], ("143456", "1048576", "143456", "4096", "1024",
                                             "900000"))
            self.assertEqual("memory full exception (avail=4000, total=1048576, "
                             "limited_avail=5120, exception_delay=30)" in output, short, output)

    def test_daemon_kills_the_largest_it_may_once_each_and_runs_the_command_once(self):
        case = {"arguments": ["-d", "--launcher", "-i", "20", "-s", self.short, "-t", "200",
                              "-e", self.command, "-l", self.log,
                              "-p", os.path.join(self.directory, "pid")],
                "pidfile": os.path.join(self.directory, "pid"), "log": self.log,
                "hogs": [["guarded", 60, -1000], ["hog", 30, None], ["small", 10, -999]],
                "sleeper": True, "doomed": ["hog", "small", "sleeper"],
                "traced": "hog", "next": "small"}
        report = self.report(self.run_case(case))
        self.assertTrue(report["stopped"], report)
        # One kill for the shortage: while the victim still holds its memory, neither it nor
        # anybody else is chosen again.
        self.assertEqual(report["during_stop"], {"log lines": 1, "alive": {
            "guarded": True, "hog": True, "small": True, "sleeper": True}}, report)
        self.assertTrue(report["moved_on"], report)
        self.assertTrue(report["still_stopped"], report)
        self.assertTrue(report["settled"], report)
        alive = report["alive"]
        self.assertEqual(alive, {"guarded": True, "hog": False, "small": False,
                                 "sleeper": False, "watchdog": True, "launcher": True}, report)
        self.assertNotEqual(report["launcher"], 1)
        lines = self.log_lines()
        pids = report["pids"]
        # Largest first; each victim once although every check finds memory short.
        self.assertEqual([int(line[1]) for line in lines],
                         [pids["hog"], pids["small"], pids["sleeper"]], report)
        self.assertEqual([line[2] for line in lines],
                         [report["names"]["hog"], report["names"]["small"], "sleep"])
        self.assertGreater(int(lines[0][3]), 30 * 1024)
        self.assertEqual(self.marks_count(), 1)

    def test_a_log_line_that_does_not_fit_is_not_written_at_all(self):
        full = os.path.join(self.directory, "full")
        case = {"arguments": ["-d", "-i", "20", "-s", self.short, "-l",
                              os.path.join(full, "meminfo.log"), "-p",
                              os.path.join(self.directory, "pid")],
                "pidfile": os.path.join(self.directory, "pid"),
                "log": os.path.join(full, "meminfo.log"), "full_log": full,
                "hogs": [["hog", 20, None]], "doomed": ["hog"], "linger": 0.5}
        report = self.report(self.run_case(case))
        self.assertTrue(report["settled"], report)
        self.assertFalse(report["alive"]["hog"])
        # The 20 bytes that would have fitted are taken back: no torn line.
        self.assertEqual(report["log"], "x" * 4075 + "\n")

    def test_reboot_after_the_command(self):
        # On the console nothing is killed, so nothing but the exception timer restarts: its
        # command first, then the restart.
        case = {"arguments": ["-r", "-i", "20", "-s", self.short, "-t", "100", "-e",
                              self.command], "console": True, "hogs": [["hog", 20, None]]}
        result = self.run_case(case)
        # The kernel ends a namespace restarted from inside as if its process 1 died by
        # SIGHUP, before the driver could report.
        self.assertEqual(result.returncode, -signal.SIGHUP, result)
        self.assertIn("reboot mode (!!!ATTENTION!!!)\n", result.stdout)
        self.assertEqual(self.marks_count(), 1)

    def test_reboot_at_once_when_nothing_may_be_killed(self):
        case = {"arguments": ["-d", "-r", "-i", "20", "-s", self.short, "-t", "60000", "-e",
                              self.command, "-p", os.path.join(self.directory, "pid")],
                "pidfile": os.path.join(self.directory, "pid"), "linger": 30}
        result = self.run_case(case)
        self.assertEqual(result.returncode, -signal.SIGHUP, result)
        self.assertEqual(self.marks_count(), 0)


if __name__ == "__main__":
    e2e.main(__doc__)
