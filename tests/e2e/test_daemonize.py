#!/usr/bin/env python3
"""The daemonize applet (daemonize.cpp) run for real inside private PID and mount namespaces:
it supervises, detaches and records commands. The launcher's lines are read from a private
syslog socket in a /dev of the mount namespace's own.

Usage: test_daemonize.py <vexa>
"""
import contextlib
import os
import re
import resource
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

import vexa_e2e as e2e

SYSLOG_LINE = re.compile(r"^<\d+>.*?TARVIK\[(\d+)\]: (.*?)\n?$", re.S)
DEVICES = ("null", "zero", "full", "random", "urandom", "tty")

syslog_sink = None


run = e2e.run


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


reap = e2e.reap


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
        listing = e2e.run().stdout
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


@contextlib.contextmanager
def private_syslog():
    """Commands crash on purpose: no core files from them; their launcher logs to a socket
    of this mount namespace's own /dev."""
    global syslog_sink
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
    scratch = tempfile.mkdtemp(prefix="vexa-ctl-ns-")
    try:
        syslog_sink = setup_syslog_sink(scratch)
        yield
    finally:
        if syslog_sink is not None:
            syslog_sink.close()
        subprocess.run(["umount", "-l", "/dev"], stderr=subprocess.DEVNULL)
        remove_scratch(scratch)


if __name__ == "__main__":
    e2e.main(__doc__, namespaces=True, setup=private_syslog)
