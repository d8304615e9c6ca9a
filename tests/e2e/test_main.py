#!/usr/bin/env python3
"""The program's front end (main.cpp and the applet table), run for real: dispatch by link
name and by first argument, the usage listing on pipes and terminals, the exit dump and the
dump_exception option; and the README, whose applet table and install links must name
exactly the applets of applets.def.

Usage: test_main.py <vexa>
"""
import ctypes
import os
import re
import unittest

import vexa_e2e as e2e

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
USAGE_END = "End of vexa. ("
TABLE_ROW = re.compile(r"^\| `([^`]+)` \|")
APPLET_ROW = re.compile(r'^TARVIK_APPLET\("([^"]+)",\s*\w+,\s*(TARVIK_APPLET_\w+)\)$')


def list_lines(stdout):
    """The lines of the applet listing: between "Applets:" and the blank line."""
    lines = stdout.split("\n")
    start = lines.index("Applets:") + 1
    end = lines.index("", start)
    return lines[start:end]


def listed_names(stdout):
    return "".join(line[4:] for line in list_lines(stdout)).split(", ")


def registered_applets():
    """(name, hidden) of every row of applets.def, in registration order."""
    applets = []
    with open(os.path.join(ROOT, "source.vexa", "applets.def")) as table:
        for line in table:
            line = line.strip()
            if not line or line.startswith("//"):
                continue
            match = APPLET_ROW.match(line)
            if match is None:
                raise AssertionError("unreadable applet row: %r" % line)
            applets.append((match.group(1), match.group(2) == "TARVIK_APPLET_HIDDEN"))
    return applets


def readme_section(text, heading):
    start = text.index("\n" + heading + "\n")
    end = text.find("\n## ", start + 1)
    return text[start:end if end >= 0 else len(text)]


class DispatchTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.links = e2e.Links()
        for name in ("qxtrue.EXE", "usr/bin/VEXA_false", "true1", "true2", "Vexa", "test"):
            cls.links.path(name)

    @classmethod
    def tearDownClass(cls):
        cls.links.close()

    def assertUsage(self, outcome):
        self.assertEqual(outcome.returncode, 0, outcome)
        self.assertIn("Applets:", outcome.stdout, outcome)
        self.assertIn(USAGE_END, outcome.stdout, outcome)
        self.assertTrue(outcome.stdout.endswith(")\n"), outcome)
        self.assertIn("true", listed_names(outcome.stdout))

    def test_own_name_without_an_applet_prints_the_usage(self):
        self.assertUsage(e2e.run())
        self.assertUsage(e2e.run("nosuch"))
        self.assertUsage(e2e.run("vexa", "true"))
        self.assertUsage(e2e.run("vexa", "false"))  # false would have returned 1
        self.assertUsage(self.links.run("Vexa"))

    def test_first_argument_selects_the_applet(self):
        self.assertEqual(e2e.run("true").returncode, 0)
        falsehood = e2e.run("false")
        self.assertEqual((falsehood.returncode, falsehood.stdout), (1, ""), falsehood)
        for spelling in ("FALSE", "qxfalse.exe", "/usr/bin/false"):
            self.assertEqual(e2e.run(spelling).returncode, 1, spelling)

    def test_link_names_select_the_applet(self):
        self.assertEqual(self.links.run("qxtrue.EXE").returncode, 0)
        self.assertEqual(self.links.run("usr/bin/VEXA_false").returncode, 1)
        plain = self.links.run("true1")
        self.assertEqual((plain.returncode, plain.stdout), (0, ""), plain)
        self.assertUsage(self.links.run("true2"))

    def test_applet_sees_the_name_it_was_called_by(self):
        listing = e2e.run("test")
        self.assertEqual(listing.returncode, 0, listing)
        self.assertIn("Usage: test <exercise>", listing.stdout)
        linked = self.links.run("test")
        self.assertIn("Usage: %s <exercise>" % self.links.path("test"), linked.stdout, linked)

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
                libc.execv(e2e.VEXA.encode(), argv)
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
        self.assertEqual(os.waitstatus_to_exitcode(status), 0, text)
        self.assertIn(USAGE_END, text)
        e2e.check_dump(text)

    def test_piped_listing_fits_the_width_without_escapes(self):
        for columns in (40, 20):  # 20 wraps even the shortest table
            outcome = e2e.run(env={"COLUMNS": str(columns)})
            self.assertUsage(outcome)
            self.assertNotIn("\x1b", outcome.stdout)
            lines = list_lines(outcome.stdout)
            self.assertGreaterEqual(len(lines), 1 if columns == 40 else 2, outcome)
            for line in lines:
                # Only a name longer than the width may stand, alone, on a longer line.
                if len(line) > columns:
                    self.assertEqual(line.strip().rstrip(",").count(","), 0, repr(line))
                self.assertTrue(line.startswith("    "), repr(line))
            for line in lines[:-1]:
                self.assertTrue(line.endswith(", "), repr(line))
            # Exactly the listed applets of the table, in registration order.
            visible = [name for name, hidden in registered_applets() if not hidden]
            self.assertEqual(listed_names(outcome.stdout), visible)

    def test_listing_on_a_terminal_keeps_its_colours(self):
        outcome = e2e.run_pty([e2e.VEXA])
        self.assertEqual(outcome.returncode, 0, outcome)
        self.assertIn(b"\x1b[1;33mtrue\x1b[0m", outcome.stdout)
        self.assertIn(USAGE_END.encode(), outcome.stdout)

    def test_dump_exception_option_reenables_the_exit_dump(self):
        # Nothing left: the option exits 0 and the dump stays silent.
        outcome = e2e.run("true", "--dump_exception")
        self.assertEqual(outcome.returncode, 0, outcome)
        # An applet that switched the dump off and leaked shows nothing...
        quiet = e2e.run("test", "quiet_leak")
        self.assertEqual(quiet.returncode, 0, quiet)
        # ...unless the option asked for it, with one or two dashes.
        for option in ("--dump_exception", "-dump_exception"):
            forced = e2e.run("test", "quiet_leak", option, expect_dump=True)
            headers = [line for line in forced.stderr.splitlines() if e2e.EXIT_DUMP in line]
            self.assertEqual(len(headers), 1, forced)
            self.assertIn("at source.vexa/main:main:", headers[0])
            self.assertEqual(forced.stderr.count("[ALLOCATED:"), 1, forced)
        # After an end-of-options marker it is an operand, not the option.
        e2e.run("test", "quiet_leak", "--", "--dump_exception")

    def test_leaked_block_shows_in_the_exit_dump(self):
        outcome = e2e.run("test", "leak", expect_dump=True)
        self.assertEqual(outcome.returncode, 0, outcome)
        lines = outcome.stderr.splitlines()
        headers = [line for line in lines if e2e.EXIT_DUMP in line]
        self.assertEqual(len(headers), 1, outcome)
        self.assertTrue(headers[0].endswith("."), headers[0])
        self.assertIn("heap size/count/peak=", headers[0])
        allocated = [line for line in lines if "[ALLOCATED:" in line]
        self.assertEqual(len(allocated), 1, outcome)
        self.assertIn("[ALLOCATED:exercise_leak():", allocated[0])


class ReadmeTest(unittest.TestCase):
    """The README names every applet of the table, hidden ones too (they run through their
    links), and no other; hidden ones are marked as such in its table."""

    def test_applet_table_and_links_follow_applets_def(self):
        registered = registered_applets()
        names = sorted(name for name, _ in registered)
        self.assertEqual(len(names), len(set(names)), "an applet registered twice")
        with open(os.path.join(ROOT, "README.md")) as handle:
            readme = handle.read()
        table = readme_section(readme, "## Applets available today")
        rows = {}
        for line in table.splitlines():
            match = TABLE_ROW.match(line)
            if match and match.group(1) != "Applet":
                rows[match.group(1)] = line
        self.assertEqual(sorted(rows), names)
        for name, hidden in registered:
            self.assertEqual("(hidden" in rows[name], hidden, rows[name])
        install = readme_section(readme, "## Installing the applet links")
        loop = re.search(r"^for applet in ([^;]+); do$", install, re.M)
        self.assertIsNotNone(loop, "no link loop in the install section")
        self.assertEqual(sorted(loop.group(1).split()), names)
        counted = re.search(r"These (\d+) work today", table)
        self.assertIsNotNone(counted, "the table says how many applets there are")
        self.assertEqual(int(counted.group(1)), len(names))


if __name__ == "__main__":
    e2e.main(__doc__)
