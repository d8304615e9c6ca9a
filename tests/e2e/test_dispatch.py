#!/usr/bin/env python3
"""The program's front end, run for real: dispatch by link name and by first argument,
the usage listing on pipes and terminals, the exit dump, and the test applet.

Usage: test_dispatch.py <vexa>
"""
import ctypes
import os
import pty
import select
import shutil
import subprocess
import sys
import tempfile
import unittest

VEXA = None
EXIT_DUMP = "dump exception at"
USAGE_END = "End of vexa. ("


def environment(columns="80"):
    env = dict(os.environ)
    env["COLUMNS"] = columns
    env.pop("LINES", None)
    return env


class Run:
    def __init__(self, returncode, stdout, stderr):
        self.returncode = returncode
        self.stdout = stdout
        self.stderr = stderr

    def __repr__(self):
        return "rc=%d stdout=%r stderr=%r" % (self.returncode, self.stdout[-2000:],
                                               self.stderr[-2000:])


def run(*arguments, program=None, columns="80", expect_dump=False):
    """Runs the program (or a link to it) with piped output; unless a dump is expected,
    an exit dump on the error output fails the run."""
    result = subprocess.run([program or VEXA, *arguments], capture_output=True, text=True,
                            timeout=60, env=environment(columns), stdin=subprocess.DEVNULL)
    outcome = Run(result.returncode, result.stdout, result.stderr)
    if not expect_dump and EXIT_DUMP in outcome.stderr:
        raise AssertionError("unexpected exit dump: %r" % outcome)
    return outcome


def list_lines(stdout):
    """The lines of the applet listing: between "Applets:" and the blank line."""
    lines = stdout.split("\n")
    start = lines.index("Applets:") + 1
    end = lines.index("", start)
    return lines[start:end]


class DispatchTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.mkdtemp(prefix="vexa-dispatch-")
        os.makedirs(os.path.join(cls.directory, "usr", "bin"))
        cls.links = {}
        for name in ("qxtrue.EXE", "usr/bin/VEXA_false", "true1", "true2", "Vexa", "test"):
            path = os.path.join(cls.directory, name)
            os.symlink(VEXA, path)
            cls.links[name] = path

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.directory, ignore_errors=True)

    def assertUsage(self, outcome):
        self.assertEqual(outcome.returncode, 0, outcome)
        self.assertIn("Applets:", outcome.stdout, outcome)
        self.assertIn(USAGE_END, outcome.stdout, outcome)
        self.assertTrue(outcome.stdout.endswith(")\n"), outcome)
        self.assertIn("true", "".join(list_lines(outcome.stdout)).replace(" ", "").split(","))

    def test_own_name_without_an_applet_prints_the_usage(self):
        self.assertUsage(run())
        self.assertUsage(run("nosuch"))
        self.assertUsage(run("vexa", "true"))
        self.assertUsage(run("vexa", "false"))  # false would have returned 1
        self.assertUsage(run(program=self.links["Vexa"]))

    def test_first_argument_selects_the_applet(self):
        self.assertEqual(run("true").returncode, 0)
        falsehood = run("false")
        self.assertEqual(falsehood.returncode, 1, falsehood)
        self.assertEqual(falsehood.stdout, "")
        self.assertEqual(run("FALSE").returncode, 1)
        self.assertEqual(run("qxfalse.exe").returncode, 1)
        self.assertEqual(run("/usr/bin/false").returncode, 1)

    def test_link_names_select_the_applet(self):
        self.assertEqual(run(program=self.links["qxtrue.EXE"]).returncode, 0)
        self.assertEqual(run(program=self.links["usr/bin/VEXA_false"]).returncode, 1)
        plain = run(program=self.links["true1"])
        self.assertEqual((plain.returncode, plain.stdout), (0, ""), plain)
        self.assertUsage(run(program=self.links["true2"]))

    def test_applet_sees_the_name_it_was_called_by(self):
        listing = run("test")
        self.assertEqual(listing.returncode, 0, listing)
        self.assertIn("Usage: test <exercise>", listing.stdout)
        linked = run(program=self.links["test"])
        self.assertIn("Usage: %s <exercise>" % self.links["test"], linked.stdout, linked)

    def test_empty_argument_vector_prints_the_usage(self):
        read_end, write_end = os.pipe()
        pid = os.fork()
        if pid == 0:
            try:
                os.dup2(write_end, 1)
                os.dup2(write_end, 2)
                os.environ["COLUMNS"] = "80"
                libc = ctypes.CDLL(None, use_errno=True)
                argv = (ctypes.c_char_p * 1)(None)
                libc.execv(VEXA.encode(), argv)
            finally:
                os._exit(127)
        os.close(write_end)
        output = b""
        while True:
            chunk = os.read(read_end, 65536)
            if not chunk:
                break
            output += chunk
        os.close(read_end)
        _, status = os.waitpid(pid, 0)
        text = output.decode(errors="replace")
        self.assertTrue(os.WIFEXITED(status), text)
        self.assertEqual(os.WEXITSTATUS(status), 0, text)
        self.assertIn(USAGE_END, text)
        self.assertNotIn(EXIT_DUMP, text)

    def test_piped_listing_fits_forty_columns_without_escapes(self):
        for columns in (40, 20):  # 20 wraps even the shortest table
            outcome = run(columns=str(columns))
            self.assertUsage(outcome)
            self.assertNotIn("\x1b", outcome.stdout)
            lines = list_lines(outcome.stdout)
            self.assertGreaterEqual(len(lines), 1 if columns == 40 else 2, outcome)
            for line in lines:
                self.assertLessEqual(len(line), columns, repr(line))
                self.assertTrue(line.startswith("    "), repr(line))
            for line in lines[:-1]:
                self.assertTrue(line.endswith(", "), repr(line))
            names = "".join(line[4:] for line in lines).split(", ")
            registered = ("clear", "false", "test", "true")  # in registration order
            self.assertEqual([name for name in names if name in registered], list(registered))

    def test_listing_on_a_terminal_keeps_its_colours(self):
        master, slave = pty.openpty()
        process = subprocess.Popen([VEXA], stdin=subprocess.DEVNULL, stdout=slave,
                                   stderr=subprocess.PIPE, env=environment("80"))
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
        self.assertEqual(process.wait(timeout=30), 0)
        self.assertIn(b"\x1b[1;33mtrue\x1b[0m", output)
        self.assertIn(USAGE_END.encode(), output)
        self.assertNotIn(EXIT_DUMP, stderr)

    def test_dump_exception_option_reenables_the_exit_dump(self):
        # Nothing left: the option exits 0 and the dump stays silent.
        outcome = run("true", "--dump_exception")
        self.assertEqual(outcome.returncode, 0, outcome)
        self.assertNotIn(EXIT_DUMP, outcome.stderr)
        # An applet that switched the dump off and leaked shows nothing...
        quiet = run("test", "quiet_leak")
        self.assertEqual(quiet.returncode, 0, quiet)
        self.assertNotIn(EXIT_DUMP, quiet.stderr)
        # ...unless the option asked for it, with one or two dashes.
        for option in ("--dump_exception", "-dump_exception"):
            forced = run("test", "quiet_leak", option, expect_dump=True)
            headers = [line for line in forced.stderr.splitlines() if EXIT_DUMP in line]
            self.assertEqual(len(headers), 1, forced)
            self.assertIn("at source.vexa/main:main:", headers[0])
            self.assertEqual(forced.stderr.count("[ALLOCATED:"), 1, forced)
        # After an end-of-options marker it is an operand, not the option.
        after_marker = run("test", "quiet_leak", "--", "--dump_exception")
        self.assertNotIn(EXIT_DUMP, after_marker.stderr)

    def test_leaked_block_shows_in_the_exit_dump(self):
        outcome = run("test", "leak", expect_dump=True)
        self.assertEqual(outcome.returncode, 0, outcome)
        lines = outcome.stderr.splitlines()
        headers = [line for line in lines if EXIT_DUMP in line]
        self.assertEqual(len(headers), 1, outcome)
        self.assertTrue(headers[0].endswith("."), headers[0])
        self.assertIn("heap size/count/peak=", headers[0])
        allocated = [line for line in lines if "[ALLOCATED:" in line]
        self.assertEqual(len(allocated), 1, outcome)
        self.assertIn("[ALLOCATED:exercise_leak():", allocated[0])

    def test_self_checks_pass(self):
        outcome = run("test", "all")
        self.assertEqual(outcome.returncode, 0, outcome)
        self.assertNotIn("FAILED", outcome.stdout)
        self.assertIn(" 0 failed", outcome.stdout)
        for exercise in ("heap", "alloca", "exception", "format", "argument", "scan",
                         "pattern", "version"):
            self.assertRegex(outcome.stdout, r"test %s +ok" % exercise)

    def test_unknown_exercise_fails(self):
        outcome = run("test", "nosuch")
        self.assertEqual(outcome.returncode, 1, outcome)
        self.assertIn("unknown exercise", outcome.stderr)


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit("usage: test_dispatch.py <vexa>")
    VEXA = os.path.abspath(sys.argv[1])
    if not os.access(VEXA, os.X_OK):
        sys.exit("test_dispatch.py: %s is not an executable" % VEXA)
    unittest.main(argv=[sys.argv[0]], verbosity=2)
