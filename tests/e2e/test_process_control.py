#!/usr/bin/env python3
"""The process control applets run for real inside a private PID and mount namespace:
daemonize supervises, detaches and records commands; setcpu lists and changes processor
affinity, checked against taskset. The launcher's lines are read from a private syslog
socket. The script starts itself again under unshare, so it can only signal processes
of its own namespace.

Usage: test_process_control.py <vexa>
"""
import os
import re
import resource
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

VEXA = None
EXIT_DUMP = "dump exception"
INSIDE = "TARVIK_PROCESS_CONTROL_INSIDE"
SYSLOG_LINE = re.compile(r"^<\d+>.*?TARVIK\[(\d+)\]: (.*?)\n?$", re.S)
DEVICES = ("null", "zero", "full", "random", "urandom", "tty")

syslog_sink = None


def run(*arguments, program=None, timeout=60):
    result = subprocess.run([program or VEXA, *arguments], capture_output=True, text=True,
                            timeout=timeout, stdin=subprocess.DEVNULL)
    if EXIT_DUMP in result.stderr:
        raise AssertionError("exit dump: %r" % result.stderr)
    return result


def setup_syslog_sink(scratch):
    """A private /dev (only in this mount namespace) that holds a log socket. The device
    nodes are carried over as single-file bind mounts through the scratch directory."""
    for name in DEVICES:
        if os.path.exists(os.path.join("/dev", name)):
            open(os.path.join(scratch, name), "w").close()
            subprocess.run(["mount", "--bind", os.path.join("/dev", name),
                            os.path.join(scratch, name)], check=True)
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/dev"], check=True)
    for name in os.listdir(scratch):
        open(os.path.join("/dev", name), "w").close()
        subprocess.run(["mount", "--bind", os.path.join(scratch, name),
                        os.path.join("/dev", name)], check=True)
    sink = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sink.bind("/dev/log")
    sink.setblocking(False)
    return sink


def remove_scratch(scratch):
    """Unmounts the carried device nodes before their place holders go: never remove
    anything through a mount."""
    for name in os.listdir(scratch):
        place = os.path.join(scratch, name)
        subprocess.run(["umount", place], stderr=subprocess.DEVNULL)
        if not os.path.ismount(place):
            os.unlink(place)
    try:
        os.rmdir(scratch)
    except OSError:
        pass


def drain_syslog():
    """The messages logged so far, as (pid, text) pairs."""
    messages = []
    while True:
        try:
            datagram = syslog_sink.recv(65536).decode(errors="replace")
        except BlockingIOError:
            return messages
        match = SYSLOG_LINE.match(datagram)
        if match:
            messages.append((int(match.group(1)), match.group(2)))


def cmdline_of(pid):
    with open("/proc/%d/cmdline" % pid, "rb") as handle:
        return handle.read()


def stat_fields(pid):
    """ppid, session id and the name of a process."""
    with open("/proc/%d/stat" % pid) as handle:
        text = handle.read()
    name = text[text.index("(") + 1:text.rindex(")")]
    fields = text[text.rindex(")") + 2:].split()
    return int(fields[1]), int(fields[3]), name


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


def reap(process_or_pid):
    if isinstance(process_or_pid, int):
        try:
            os.kill(process_or_pid, 9)
            os.waitpid(process_or_pid, 0)
        except (ProcessLookupError, ChildProcessError):
            pass
    else:
        process_or_pid.kill()
        process_or_pid.wait()
        if process_or_pid.stdin is not None:
            process_or_pid.stdin.close()


class DaemonizeTest(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.mkdtemp(prefix="vexa-ctl-")
        drain_syslog()

    def tearDown(self):
        shutil.rmtree(self.directory, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.directory, name)

    def runs(self):
        with open(self.path("runs")) as handle:
            return handle.read().splitlines()

    def test_usage_when_no_command(self):
        usage = ("usage: %s [<options>] -- <arg0> [<arg1> ...]\n"
                 "\t-d, --daemon                     : daemonize\n"
                 "\t    --nochdir                    : no chdir\n"
                 "\t    --noclose                    : no close\n"
                 "\t    --pidfile=<pathname>         : pidfile pathname\n"
                 "\t    --launcher                   : launcher (make immortal process)\n\n")
        for name, arguments in (("daemonize", ()), ("daemonize", ("--daemon", "--")),
                                ("daemon", ("--launcher",))):
            result = run(name, *arguments)
            self.assertEqual(result.returncode, 1, result)
            self.assertEqual(result.stdout, usage % name)
        listing = subprocess.run([VEXA], capture_output=True, text=True, timeout=60).stdout
        names = re.findall(r"[\w.]+", listing)
        self.assertIn("daemonize", names)
        self.assertNotIn("daemon", names, "the short name stays hidden")

    def test_pidfile_holds_the_pid_of_the_command(self):
        pidfile = self.path("pid")
        result = run("daemonize", "--pidfile", pidfile, "--", "sh", "-c",
                     "echo $$ > %s; exit 5" % self.path("self"))
        self.assertEqual(result.returncode, 5, "the command replaced the applet")
        with open(pidfile) as handle:
            written = handle.read()
        with open(self.path("self")) as handle:
            self.assertEqual(written, handle.read())
        self.assertRegex(written, r"^\d+\n$")

    def test_pidfile_is_never_written_through_a_link_or_into_a_fifo(self):
        target = self.path("precious")
        with open(target, "w") as handle:
            handle.write("keep\n")
        os.symlink(target, self.path("link"))
        os.mkfifo(self.path("fifo"))
        for name in ("link", "fifo"):
            with self.subTest(name=name):
                result = run("daemonize", "--pidfile", self.path(name), "--", "true",
                             timeout=20)
                self.assertEqual(result.returncode, 0, "the command still runs")
                self.assertIn("can not write the pidfile", result.stderr)
        with open(target) as handle:
            self.assertEqual(handle.read(), "keep\n")

    def test_daemon_leaves_a_detached_process(self):
        for spelling in ("--daemon", "-d"):
            with self.subTest(spelling=spelling):
                self.check_detached(spelling)

    def check_detached(self, spelling):
        pidfile = self.path("pid")
        if os.path.exists(pidfile):
            os.unlink(pidfile)
        result = run("daemonize", spelling, "--pidfile=" + pidfile, "--", "sleep", "30")
        self.assertEqual(result.returncode, 0, result)
        self.assertEqual(result.stdout + result.stderr, "")
        # The detached process writes the file before it replaces itself with the command:
        # wait for a whole line, then for the exec to finish (the new name shows before the
        # new argument area does).
        deadline = time.monotonic() + 10
        written = ""
        while not written.endswith("\n") and time.monotonic() < deadline:
            time.sleep(0.05)
            if os.path.exists(pidfile):
                with open(pidfile) as handle:
                    written = handle.read()
        pid = int(written)
        try:
            deadline = time.monotonic() + 10
            while (stat_fields(pid)[2] != "sleep" or cmdline_of(pid) == b"") and \
                    time.monotonic() < deadline:
                time.sleep(0.05)
            ppid, session, name = stat_fields(pid)
            self.assertEqual(name, "sleep")
            self.assertEqual(ppid, 1, "adopted by the namespace's first process")
            self.assertEqual(session, pid, "leads its own session")
            self.assertEqual(os.readlink("/proc/%d/cwd" % pid), "/")
            self.assertEqual(cmdline_of(pid), b"sleep\x0030\x00")
            self.assertEqual(os.readlink("/proc/%d/fd/1" % pid), "/dev/null")
        finally:
            reap(pid)

    def test_launcher_restarts_a_crashed_command_after_a_pause(self):
        # Crashes on its first two starts: two restarts, each after the full pause, and the
        # restart lines count them.
        script = ('echo run >> %s; [ "$(wc -l < %s)" -lt 3 ] && kill -SEGV $$; exit 0'
                  % (self.path("runs"), self.path("runs")))
        started = time.monotonic()
        result = run("daemonize", "--launcher", "--", "sh", "-c", script)
        elapsed = time.monotonic() - started
        self.assertEqual(result.returncode, 0, result)
        self.assertEqual(len(self.runs()), 3)
        self.assertGreaterEqual(elapsed, 5.8, "each restart comes after the pause")
        lines = [text for _, text in drain_syslog()]
        self.assertEqual(len(lines), 6, lines)
        pids = []
        for start in (0, 2, 4):
            match = re.fullmatch(r"Start monitoring by tarvik_launcher ! \(pid=(\d+)\)",
                                 lines[start])
            self.assertIsNotNone(match, lines)
            pids.append(match.group(1))
        self.assertEqual(len(set(pids)), 3, "every start is a new child")
        for restarts, line in ((1, 1), (2, 3)):
            self.assertEqual(lines[line],
                             "Restarting by tarvik_launcher ! (pid=%s, signum=11, restarts=%d)"
                             % (pids[restarts - 1], restarts))
        self.assertEqual(lines[5],
                         "Stop monitoring by tarvik_launcher ! (pid=%s, status=0)" % pids[2])

    def test_launcher_stops_on_sigkill_and_on_exit(self):
        # The monitor exits 0 either way; the log tells how the child ended.
        cases = (("kill -KILL $$", ", signum=9"), ("exit 3", ", status=3"))
        for command, suffix in cases:
            with self.subTest(command=command):
                if os.path.exists(self.path("runs")):
                    os.unlink(self.path("runs"))
                script = "echo run >> %s; %s" % (self.path("runs"), command)
                result = run("daemonize", "--launcher", "--", "sh", "-c", script)
                self.assertEqual(result.returncode, 0, result)
                self.assertEqual(len(self.runs()), 1)
                lines = [text for _, text in drain_syslog()]
                self.assertEqual(len(lines), 2, lines)
                child = re.fullmatch(r"Start monitoring by tarvik_launcher ! \(pid=(\d+)\)",
                                     lines[0])
                self.assertIsNotNone(child, lines)
                self.assertEqual(lines[1], "Stop monitoring by tarvik_launcher ! (pid=%s%s)"
                                 % (child.group(1), suffix))


class SetcpuTest(unittest.TestCase):
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
        probe = subprocess.run(["unshare", "--mount", "sh", "-c", script, VEXA, "true"],
                               capture_output=True, text=True, timeout=60)
        if probe.returncode != 0:
            self.skipTest("the program cannot run without /proc here (a sanitizer runtime)")
        for arguments in (["--list"], ["--name", "sleep"]):
            result = subprocess.run(["unshare", "--mount", "sh", "-c", script, VEXA, "setcpu",
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


def main_inside():
    global syslog_sink
    # Commands crash on purpose: no core files from them.
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
    scratch = tempfile.mkdtemp(prefix="vexa-ctl-ns-")
    try:
        syslog_sink = setup_syslog_sink(scratch)
        program = unittest.main(argv=[sys.argv[0]], verbosity=2, exit=False)
        return 0 if program.result.wasSuccessful() else 1
    finally:
        if syslog_sink is not None:
            syslog_sink.close()
        subprocess.run(["umount", "-l", "/dev"], stderr=subprocess.DEVNULL)
        remove_scratch(scratch)


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit("usage: test_process_control.py <vexa>")
    VEXA = os.path.abspath(sys.argv[1])
    if os.environ.get(INSIDE) != "1":
        if shutil.which("unshare") is None or shutil.which("taskset") is None:
            print("skipped: needs unshare and taskset")
            sys.exit(0)
        environment = dict(os.environ, **{INSIDE: "1"})
        sys.exit(subprocess.run(["unshare", "--pid", "--fork", "--mount-proc", sys.executable,
                                 os.path.abspath(__file__), VEXA], env=environment,
                                timeout=280).returncode)
    sys.exit(main_inside())
