#!/usr/bin/env python3
"""The process table applets run for real: ps against procps ps (same pids, ids, threads,
sizes), the resident-size order, a process whose name holds spaces and parentheses, and
libdepend finding (and, inside a private PID namespace, ending) a process that maps a
library built for the test. Users without a name show as their number in ps and in the XML
report, also with empty password and group files (private mount namespace). Hostile surroundings: names and arguments holding terminal
sequences and line breaks, a full output device, too few descriptors and no /proc (in a
private mount namespace) each give a clear error line and a failing status.

Usage: test_ps.py <vexa>
"""
import os
import pwd
import re
import resource
import shutil
import subprocess
import sys
import tempfile
import unittest

import vexa_e2e as e2e

PS_LINE = re.compile(
    r"^(?P<mark>[* ]) +(?P<index>\d+) +(?P<ppid>\d+) +(?P<pid>\d+) (?P<user>\S+) +"
    r"(?P<state>\S..)  +(?P<threads>\d+) +(?P<vmsize>\d+)Kb +(?P<rss>\d+)Kb +"
    r"(?P<cpu>[ \d]+\.\d%|###\.#%) +(?P<fds>\d+) (?P<name>.*)$")
LIBRARY_SOURCE = "int vexa_probe_value(void) { return 42; }\n"


run = e2e.run


def parse_ps(text):
    lines = e2e.strip_ansi(text).splitlines()
    header = lines[0].split()
    assert header == ["Idx", "PPID", "PID", "UID", "State", "Thr", "VmSize", "RSS", "CPU",
                      "fds", "Name"], header
    rows = []
    for line in lines[1:]:
        match = PS_LINE.match(line)
        assert match, "unparsed ps line: %r" % line
        rows.append(match.groupdict())
    return rows


def procps_table():
    out = subprocess.run(["ps", "-eo", "pid=,ppid=,ruid=,nlwp=,vsz=,rss="],
                         capture_output=True, text=True, check=True).stdout
    table = {}
    for line in out.splitlines():
        pid, ppid, uid, threads, vsz, rss = (int(word) for word in line.split())
        table[pid] = (ppid, uid, threads, vsz, rss)
    return table


def user_name(uid):
    try:
        return pwd.getpwuid(uid).pw_name
    except KeyError:
        return str(uid)


def start_named(name, *setup):
    """A python child that renames itself (comm) and waits on its input."""
    code = ("import sys\n"
            "open('/proc/self/comm', 'w').write(sys.argv[1])\n"
            + "".join(setup) +
            "sys.stdout.write('ready\\n'); sys.stdout.flush()\n"
            "sys.stdin.read()\n")
    child = subprocess.Popen([sys.executable, "-c", code, name], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "ready\n"
    return child


def without_proc(*arguments):
    """Runs vexa with an empty /proc in a private mount namespace; None when that cannot be
    done here, or when the program cannot run at all without /proc (a sanitizer runtime
    reads its options and threads there)."""
    if os.geteuid() != 0 or shutil.which("unshare") is None:
        return None
    script = 'mount -t tmpfs none /proc && exec "$0" "$@"'
    probe = subprocess.run(["unshare", "--mount", "sh", "-c", script, e2e.VEXA, "true"],
                           capture_output=True, text=True, timeout=60)
    if probe.returncode != 0:
        return None
    return subprocess.run(["unshare", "--mount", "sh", "-c", script, e2e.VEXA, *arguments],
                          capture_output=True, text=True, timeout=60, errors="replace")


def stop(child):
    child.stdin.close()
    child.wait(timeout=30)
    child.stdout.close()


class PsTest(unittest.TestCase):
    def test_table_matches_procps(self):
        odd = start_named("a b) (c")
        try:
            odd_fds = len(os.listdir("/proc/%d/fd" % odd.pid))
            before = procps_table()
            result = run("ps")
            after = procps_table()
        finally:
            stop(odd)
        self.assertEqual(result.returncode, 0, result.stderr)
        rows = parse_ps(result.stdout)
        mine = {int(row["pid"]): row for row in rows}
        self.assertEqual(len(mine), len(rows), "a pid listed twice")
        self.assertEqual([int(row["index"]) for row in rows], list(range(1, len(rows) + 1)))
        common = set(mine) & set(before) & set(after)
        self.assertGreaterEqual(len(common), 0.8 * len(before), "little overlap with procps")
        self.assertIn(odd.pid, common)
        for pid in common:
            self.assertEqual(int(mine[pid]["ppid"]), before[pid][0], "pid %d" % pid)
            self.assertEqual(mine[pid]["user"], user_name(before[pid][1]), "pid %d" % pid)
        # Processes whose figures did not move between the two procps runs must agree; a busy
        # one may still move in between, so a few stragglers are tolerated.
        stable = [pid for pid in common if before[pid] == after[pid]]
        self.assertGreaterEqual(len(stable), 0.5 * len(common))
        differ = []
        for pid in stable:
            row = mine[pid]
            got = (int(row["threads"]), int(row["vmsize"]), int(row["rss"]))
            if got != before[pid][2:]:
                differ.append((pid, got, before[pid][2:]))
        self.assertLessEqual(len(differ), max(2, len(stable) // 20), differ)
        self.assertEqual(mine[odd.pid]["threads"], "1")
        self.assertEqual(int(mine[odd.pid]["rss"]), before[odd.pid][4])
        self.assertEqual(int(mine[odd.pid]["fds"]), odd_fds)
        self.assertEqual(mine[odd.pid]["state"][0], "S")
        # Its command line holds line breaks: they show as '?', the table stays one line each.
        self.assertTrue(mine[odd.pid]["name"].startswith(sys.executable + " -c import sys?open("))
        marked = [row for row in rows if row["mark"] == "*"]
        self.assertEqual(len(marked), 1, marked)
        self.assertIn("ps", marked[0]["name"])

    def test_rss_order(self):
        result = run("ps", "--rss")
        self.assertEqual(result.returncode, 0, result.stderr)
        rows = parse_ps(result.stdout)
        keys = [(-int(row["rss"]), int(row["pid"])) for row in rows]
        self.assertEqual(keys, sorted(keys))
        # The short prefix names the same option.
        short = parse_ps(run("ps", "-rss").stdout)
        keys = [(-int(row["rss"]), int(row["pid"])) for row in short]
        self.assertEqual(keys, sorted(keys))
        plain = {int(row["pid"]) for row in parse_ps(run("ps").stdout)}
        ordered = {int(row["pid"]) for row in rows}
        self.assertGreaterEqual(len(plain & ordered), 0.8 * len(plain))

    def test_cpu_sampling(self):
        result = run("ps", "--cpu")
        self.assertEqual(result.returncode, 0, result.stderr)
        rows = parse_ps(result.stdout)
        self.assertTrue(rows)
        for row in rows:
            if row["cpu"] != "###.#%":
                self.assertLessEqual(float(row["cpu"][:-1]), 100.0, row)

    def test_uid_names_follow_the_password_database(self):
        rows = parse_ps(run("ps").stdout)
        pid1 = [row for row in rows if row["pid"] == "1"]
        self.assertEqual(pid1[0]["user"], "root")


# A board without a password or group file: empty ones bound over the real ones, and a name
# service that looks at files only, in a private mount namespace.
NO_USERS_SCRIPT = r"""
: > "$1/empty"
printf 'passwd: files\ngroup: files\n' > "$1/nsswitch.conf"
for file in passwd group; do mount --bind "$1/empty" /etc/$file || exit 9; done
mount --bind "$1/nsswitch.conf" /etc/nsswitch.conf || exit 9
"$0" ps > "$1/ps" && "$0" test xml @ps > "$1/xml"
"""
XML_USER = re.compile(r"<pid>(\d+)</pid>\s*<username><!\[CDATA\[(.*?)\]\]></username>")


class UnknownUsersTest(unittest.TestCase):
    """Users without a name show as their number in ps and in the process table's XML."""

    def test_unnamed_users_are_numbers(self):
        e2e.require_namespaces(self)
        unnamed = 54321
        try:
            pwd.getpwuid(unnamed)
            self.skipTest("uid %d has a name here" % unnamed)
        except KeyError:
            pass
        # A child of a uid no database names, alive across both listings.
        child = subprocess.Popen(["sleep", "60"], preexec_fn=lambda: os.setuid(unnamed))
        try:
            with tempfile.TemporaryDirectory() as folder:
                os.chmod(folder, 0o755)
                rows = [("system users", None)]
                if e2e.namespaces_usable() is None:
                    rows.append(("no password file", NO_USERS_SCRIPT))
                for label, script in rows:
                    with self.subTest(label):
                        before = procps_table()
                        if script is None:
                            listing = run("ps").stdout
                            document = run("test", "xml", "@ps").stdout
                        else:
                            result = e2e.in_namespaces(script, folder, mount=True)
                            self.assertEqual((result.returncode, result.stderr), (0, ""),
                                             result)
                            with open(os.path.join(folder, "ps")) as handle:
                                listing = handle.read()
                            with open(os.path.join(folder, "xml")) as handle:
                                document = handle.read()
                        after = procps_table()

                        def expected(pid):
                            uid = before[pid][1]
                            return str(uid) if script else user_name(uid)

                        shown = {int(row["pid"]): row["user"] for row in parse_ps(listing)}
                        reported = {int(pid): user for pid, user in XML_USER.findall(document)}
                        for table in (shown, reported):
                            self.assertEqual(table.get(child.pid), str(unnamed))
                            if script:
                                self.assertEqual(table.get(1), "0")
                            for pid, user in table.items():
                                if pid in before and before[pid][1] == after.get(pid, (0, -1))[1]:
                                    self.assertEqual(user, expected(pid), "pid %d" % pid)
        finally:
            e2e.reap(child)


class PsFailureTest(unittest.TestCase):
    def test_full_output_device_fails_with_a_message(self):
        with open("/dev/full", "w") as full:
            result = subprocess.run([e2e.VEXA, "ps"], stdout=full, stderr=subprocess.PIPE,
                                    text=True, timeout=60)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr, "ps: write error: No space left on device\n")

    def test_too_few_descriptors_is_an_error_not_rows_of_zeros(self):
        if e2e.is_target():
            self.skipTest("the emulator's wrapper needs descriptors of its own")

        def limit():
            resource.setrlimit(resource.RLIMIT_NOFILE, (4, 4))

        result = subprocess.run([e2e.VEXA, "ps"], capture_output=True, text=True, timeout=60,
                                preexec_fn=limit, stdin=subprocess.DEVNULL)
        self.assertEqual(result.returncode, 1, result)
        self.assertEqual(result.stdout, "")
        self.assertEqual(result.stderr,
                         "ps: can not read the process table: Too many open files\n")

    def test_no_proc_is_an_error(self):
        for applet in (["ps"], ["libdepend", "libc.so.6"]):
            result = without_proc(*applet)
            if result is None:
                self.skipTest("no private mount namespace, or the program needs /proc")
            self.assertEqual(result.returncode, 1, result)
            self.assertEqual(result.stdout, "")
            self.assertEqual(result.stderr, "%s: can not read the process table: "
                             "No such file or directory\n" % applet[0])


class LibdependTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.mkdtemp(prefix="libdepend_")
        cls.library = os.path.join(cls.directory, "libvexaprobe%d.so" % os.getpid())
        source = os.path.join(cls.directory, "probe.c")
        with open(source, "w") as handle:
            handle.write(LIBRARY_SOURCE)
        subprocess.run(["cc", "-shared", "-fPIC", "-o", cls.library, source], check=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.directory, ignore_errors=True)

    def start_user(self):
        return start_named("probe user", "import ctypes\n",
                           "ctypes.CDLL(%r)\n" % self.library)

    def test_print_modes(self):
        user = self.start_user()
        try:
            exe = os.readlink("/proc/%d/exe" % user.pid)
            with open("/proc/%d/cmdline" % user.pid, "rb") as handle:
                raw = handle.read().decode()
            base = os.path.basename(self.library)
            # The child's program text spans lines; its line breaks are shown as "?".
            cmdline = raw.replace("\0", " ").replace("\n", "?")
            argv = " ".join(raw.rstrip("\0").split("\0")).replace("\n", "?")
            cases = [
                ([self.library], "%d probe user %s\n" % (user.pid, exe)),
                ([base], "%d probe user %s\n" % (user.pid, exe)),
                (["--all", base], "%d probe user %s\n" % (user.pid, exe)),
                (["-p", base], "probe user\n"),
                (["--pname", base], "probe user\n"),
                (["-a", base], exe + "\n"),
                (["-c", base], cmdline + "\n"),
                (["--argv", base], argv + "\n"),
                (["--pid", base], "%d\n" % user.pid),
                # Every alternative of every option, with either prefix.
                (["--process_name", base], "probe user\n"),
                (["-pname", base], "probe user\n"),
                (["--pathname", base], exe + "\n"),
                (["--abspath", base], exe + "\n"),
                (["-abs", base], exe + "\n"),
                (["--cmdline", base], cmdline + "\n"),
                (["--cmd", base], cmdline + "\n"),
                (["-arg", base], argv + "\n"),
                (["-pid", base], "%d\n" % user.pid),
                (["--default", base], "%d probe user %s\n" % (user.pid, exe)),
                (["-a", "-c", base], cmdline + "\n"),
                (["-c", "-a", base], cmdline + "\n"),
                (["-a", "--argv", base], argv + "\n"),
                # An option no question names is not taken for a library.
                (["--bogus", base], "%d probe user %s\n" % (user.pid, exe)),
                # Later modes win whatever the order on the command line.
                (["--pid", "-p", base], "%d\n" % user.pid),
                (["no-such-lib.so", base], "%d probe user %s\n" % (user.pid, exe)),
                (["no-such-lib.so"], ""),
            ]
            for arguments, expected in cases:
                result = run("libdepend", *arguments)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(result.stdout, expected, arguments)
            result = run("libdepend", "--verbose", "--pid", base)
            self.assertEqual(result.stdout, 'ARG: "%s"\n%d\n' % (base, user.pid))
            result = run("libdepend", "-debug", "-p", "no-such-lib.so", base)
            self.assertEqual(result.stdout,
                             'ARG: "no-such-lib.so"\nARG: "%s"\nprobe user\n' % base)
            self.assertIsNone(user.poll(), "listing must not signal")
        finally:
            stop(user)

    def test_names_and_arguments_show_control_characters(self):
        # A name that would retitle the terminal, an argument that would forge a row.
        code = ("import ctypes, sys\n"
                "open('/proc/self/comm', 'w').write('\\x1b]0;pwn\\x07')\n"
                "ctypes.CDLL(sys.argv[1])\n"
                "sys.stdout.write('ready\\n'); sys.stdout.flush()\n"
                "sys.stdin.read()\n")
        user = subprocess.Popen([sys.executable, "-c", code, self.library, "a\n1 forged x"],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        try:
            self.assertEqual(user.stdout.readline(), "ready\n")
            base = os.path.basename(self.library)
            exe = os.readlink("/proc/%d/exe" % user.pid)
            with open("/proc/%d/cmdline" % user.pid, "rb") as handle:
                raw = handle.read().decode()
            shown = raw.replace("\0", " ").replace("\n", "?")
            cases = [
                (["-p", base], "?]0;pwn?\n"),
                ([base], "%d ?]0;pwn? %s\n" % (user.pid, exe)),
                (["--cmdline", base], shown + "\n"),
                (["--argv", base], " ".join(raw.rstrip("\0").split("\0")).replace("\n", "?")
                 + "\n"),
            ]
            for arguments, expected in cases:
                result = run("libdepend", *arguments)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(result.stdout, expected, arguments)
                self.assertNotIn("\x1b", result.stdout)
        finally:
            stop(user)

    def test_usage_without_names(self):
        result = run("libdepend", "--pid")
        self.assertEqual(result.returncode, 1)
        self.assertEqual(
            result.stdout,
            "usage: libdepend [<option>] <lib> [...]\n"
            "\t--verbose|--debug         : debug mode\n"
            "\t--all|--default           : print all\n"
            "\t--process_name|--pname|-p : print process name\n"
            "\t--pathname|--abspath|-a   : print abspath\n"
            "\t--cmdline|--cmd|-c        : print cmdline\n"
            "\t--argv|--arg              : print argv\n"
            "\t--pid                     : print pid\n"
            "\t--kill                    : kill process\n"
            "\n")
        # Everything behind the end-of-options marker is an operand, a library name too.
        self.assertEqual(run("libdepend", "--", "no-such-lib.so").returncode, 0)

    def test_kill_inside_private_namespace(self):
        e2e.require_namespaces(self, pid=True)
        # The victim, vexa and the waiting shell live in their own PID namespace with its own
        # /proc: nothing outside can be signalled.
        script = (
            'python3 -c "import ctypes,sys,time; ctypes.CDLL(sys.argv[1]); '
            'open(sys.argv[2], \'w\').close(); time.sleep(600)" "$1" "$2" & '
            'victim=$!; '
            'for i in $(seq 1 200); do [ -e "$2" ] && break; sleep 0.05; done; '
            '"$0" libdepend --pid "$1"; '
            '"$0" libdepend --kill "$(basename "$1")"; echo "kill=$?"; '
            'wait $victim; echo "victim=$?"; '
            '"$0" libdepend "$1"; echo "after=$?"')
        ready = os.path.join(self.directory, "ready")
        result = e2e.in_namespaces(script, self.library, ready, pid=True)
        lines = result.stdout.splitlines()
        self.assertEqual(len(lines), 5, result.stdout + result.stderr)
        self.assertRegex(lines[0], r"^\d+$")  # listed before the kill
        self.assertRegex(lines[1], r"^%s \S+ \S+$" % lines[0])
        self.assertEqual(lines[2:], ["kill=0", "victim=%d" % (128 + 15), "after=0"])
        # Between the passes the waiting is said on the error output, listing lines are not.
        self.assertIn("Wait until the process is terminated... (0.1 sec)\n", result.stderr)
        self.assertNotIn(lines[0] + " ", result.stderr)

if __name__ == "__main__":
    e2e.main(__doc__)
