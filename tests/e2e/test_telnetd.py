"""End-to-end tests of the telnetd applet against real clients: the telnet client under tmux,
python sockets for protocol and attack rows, an inetd-style harness and socat for the
single-connection mode, strace to see the relay areas.

    test_telnetd.py <vexa>
"""
import fcntl
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import termios
import time
import unittest

import vexa_e2e as e2e

NEGOTIATION = bytes([0xFF, 0xFD, 0x01, 0xFF, 0xFD, 0x1F, 0xFF, 0xFD, 0x21, 0xFF, 0xFB, 0x01,
                     0xFF, 0xFB, 0x03])
IAC, SB, SE, NAWS = 0xFF, 0xFA, 0xF0, 0x1F
USAGE = (
    "usage: telnetd [<options>]\noptions:\n"
    "\t-l, --login=<login>         : exec login program on connect (default: \"/bin/sh\")\n"
    "\t-d, --daemon                : daemonize process\n"
    "\t-p, --port=<listen port>    : listen for connections on port (default: 23)\n"
    "\t-f, --issue=<issue file>    : display issue file (default: \"/etc/issue.net\")\n"
    "\t-i, --interface=<interface> : specify the network interface to listen on\n"
    "\t-b, --buffer=<buffer size>  : rx/tx fixed buffer size (default: 2048 bytes x 2)\n"
    "\t-s, --session=<limit count> : session limit count (default: unlimited)\n"
    "\t-6, --inet6                 : use IPv6 (default: IPv4)\n"
    "\t-x, --xinetd                : use xinetd mode (default: standalone)\n"
    "\t--disable-telnet-protocol   : disable telnet protocol (default: use telnet protocol)\n"
    "\n")
# A login program that records the environment it got and every byte its terminal delivers
# (the terminal switched to raw first, so the bytes are exactly what the server wrote).
RECORDER = """#!/bin/sh
env > "$TELNETD_TEST_DIR/env"
stty raw -echo
printf 'READY\\n'
exec cat > "$TELNETD_TEST_DIR/input"
"""


def naws(*values):
    return bytes([IAC, SB, NAWS, *values, IAC, SE])


def listening(port, inet6=False):
    """True when something listens on the TCP port (read from /proc, without connecting)."""
    want = ":%04X" % port
    for path in (["/proc/net/tcp6"] if inet6 else ["/proc/net/tcp", "/proc/net/tcp6"]):
        try:
            with open(path) as table:
                next(table)
                for line in table:
                    fields = line.split()
                    if fields[1].endswith(want) and fields[3] == "0A":
                        return True
        except OSError:
            pass
    return False


def children_of(pid):
    """(pid, state) of every process whose parent is pid."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as stat:
                text = stat.read()
        except OSError:
            continue
        fields = text[text.rindex(")") + 2:].split()
        if int(fields[1]) == pid:
            found.append((int(entry), fields[0]))
    return found


def descriptor_count(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def rss_kb(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class Server:
    """A telnetd on a free loopback port, verbose, its output in a log file."""

    def __init__(self, *options, env=None, port=None, inet6=False, wait=True, program=None):
        self.port = port or e2e.free_port()
        self.log = tempfile.NamedTemporaryFile(prefix="telnetd-", suffix=".log", delete=False)
        command = [*(program or []), e2e.VEXA, "telnetd", "-v", "-p", str(self.port), *options]
        environment = e2e.environment(env)
        self.process = subprocess.Popen(command, stdout=self.log, stderr=subprocess.STDOUT,
                                        stdin=subprocess.DEVNULL, env=environment)
        if wait and not e2e.wait_for(lambda: listening(self.port, inet6) or
                                     self.process.poll() is not None, timeout=20):
            self.stop()
            raise AssertionError("telnetd did not start listening")
        # Under a tracer the server is the tracer's child: signals go to the server itself.
        self.pid = self.process.pid
        if program:
            self.pid = children_of(self.process.pid)[0][0]

    def text(self):
        with open(self.log.name, "rb") as log:
            return log.read().decode("utf-8", "replace")

    def stop(self, sig=signal.SIGTERM):
        if self.process.poll() is None:
            os.kill(self.pid, sig)
        try:
            status = self.process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            status = None
        text = self.text()
        os.unlink(self.log.name)
        e2e.check_dump(text)
        return status, text

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.process.poll() is None:
            self.stop()


class Client:
    def __init__(self, port, host="127.0.0.1", family=socket.AF_INET):
        self.sock = socket.socket(family, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock.settimeout(10)
        self.sock.connect((host, port))
        self.data = b""
        self.closed = False

    def read_until(self, marker, timeout=10.0):
        """Reads until marker (bytes) arrived or the peer closed; returns everything so far."""
        deadline = time.monotonic() + timeout
        while marker not in self.data and not self.closed and time.monotonic() < deadline:
            self.sock.settimeout(max(0.05, deadline - time.monotonic()))
            try:
                chunk = self.sock.recv(65536)
            except socket.timeout:
                break
            except ConnectionResetError:
                chunk = b""
            if not chunk:
                self.closed = True
            self.data += chunk
        return self.data

    def read_to_end(self, timeout=10.0):
        self.read_until(b"\0never\0", timeout)
        return self.data

    def send(self, data, flags=0):
        self.sock.sendall(data, flags)

    def command(self, line, marker, timeout=10.0):
        self.send(line.encode() + b"\r\0")
        return self.read_until(marker.encode(), timeout)

    def reset(self):
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.sock.close()

    def close(self):
        self.sock.close()


class TelnetdTest(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.mkdtemp(prefix="telnetd-test-")
        self.issue = self.path("issue", "a\nb")

    def tearDown(self):
        shutil.rmtree(self.directory, ignore_errors=True)

    def path(self, name, content=None, mode=0o644):
        path = os.path.join(self.directory, name)
        if content is not None:
            with open(path, "w") as file:
                file.write(content)
            os.chmod(path, mode)
        return path

    def assert_stopped(self, server, sig=signal.SIGTERM):
        status, text = server.stop(sig)
        self.assertEqual(status, 0, text)
        return text

    def test_usage_and_refused_command_lines(self):
        for arguments in (["-h"], ["--help"], ["-?"], ["stray"], ["-p", "23", "extra"]):
            result = e2e.run("telnetd", *arguments)
            self.assertEqual(result.returncode, 1, arguments)
            self.assertEqual(result.stdout, USAGE, arguments)
        result = e2e.run("telnetd", "--port=70000")
        self.assertEqual(result.returncode, 1)
        self.assertIn("--p", result.stderr)

    def test_missing_login_program_stops_before_listening(self):
        command = ["telnetd", "-p", str(e2e.free_port()), "-l", self.path("nosuch")]
        if shutil.which("strace"):
            trace = self.path("trace")
            result = e2e.run("-f", "-e", "trace=bind,listen", "-o", trace, e2e.VEXA, *command,
                             program=shutil.which("strace"))
            with open(trace) as calls:
                self.assertNotRegex(calls.read(), r"\b(bind|listen)\(")
        else:
            result = e2e.run(*command)
        self.assertEqual(result.returncode, 1)
        self.assertIn("executable login program check: No such file or directory",
                      result.stderr)

    def test_non_executable_login_program_fails_in_the_child(self):
        login = self.path("login", "#!/bin/sh\necho never\n", mode=0o644)
        with Server("-l", login, "-f", self.issue) as server:
            for _ in range(2):
                client = Client(server.port)
                data = client.read_to_end()
                self.assertTrue(client.closed)
                self.assertTrue(data.startswith(NEGOTIATION + b"a\r\nb"), data)
                self.assertIn(b"execv: Permission denied", data)
                self.assertIsNone(server.process.poll())
            self.assert_stopped(server)

    def test_real_client_gets_the_window_size_and_its_changes(self):
        if not shutil.which("tmux") or not shutil.which("telnet"):
            self.skipTest("tmux or telnet missing")
        tmux = ["tmux", "-L", "vexa-telnetd-%d" % os.getpid(), "-f", "/dev/null"]

        def screen():
            return subprocess.run(tmux + ["capture-pane", "-p", "-t", "t"], capture_output=True,
                                  text=True).stdout

        with Server("-f", self.issue, env={"PS1": "vexa$ "}) as server:
            subprocess.run(tmux + ["new-session", "-d", "-s", "t", "-x", "100", "-y", "30",
                                   "telnet 127.0.0.1 %d" % server.port], check=True)
            try:
                self.assertTrue(e2e.wait_for(lambda: "vexa$" in screen()), screen())
                subprocess.run(tmux + ["send-keys", "-t", "t", "stty size", "Enter"], check=True)
                self.assertTrue(e2e.wait_for(lambda: "30 100" in screen()), screen())
                subprocess.run(tmux + ["resize-window", "-t", "t", "-x", "132", "-y", "43"],
                               check=True)
                time.sleep(0.3)
                subprocess.run(tmux + ["send-keys", "-t", "t", "stty size; echo A$((6*7))",
                                       "Enter"], check=True)
                self.assertTrue(e2e.wait_for(lambda: "A42" in screen()), screen())
                shown = screen()
                self.assertIn("43 132", shown)
                # Enter arrives as CR NUL: no stray NUL reaches the shell (it would echo ^@).
                self.assertNotIn("^@", shown)
                self.assertIn("a\nb", shown)
            finally:
                subprocess.run(tmux + ["kill-server"], capture_output=True)
            self.assert_stopped(server)

    def test_negotiation_follows_the_child_and_the_issue_gets_cr(self):
        with Server("-f", self.issue) as server:
            client = Client(server.port)
            data = client.read_until(b"a\r\nb")
            self.assertTrue(data.startswith(NEGOTIATION + b"a\r\nb"), data)
            # The child's zero byte was taken before anything was sent.
            text = server.text()
            self.assertRegex(text, r"new pts name: \"/dev/pts/\d+\"\n"
                                   r"connection from 127\.0\.0\.1:\d+ \(id=\d+, sessions=1/0\)\n"
                                   r"pt sync \(id=\d+, rx=1\)\n")
            self.assertIn(b"OK7", client.command("echo OK$((3+4))", "OK7"))
            # Output bytes 0xFF are doubled; input IAC IAC is one 0xFF for the terminal.
            client.send(b"printf '\\377Z\\n'; printf '\xff\xffY' | od -An -tx1\r\0")
            data = client.read_until(b" ff 59")
            self.assertIn(b"\xff\xffZ", data)
            self.assertIn(b" ff 59", data)
            client.close()
            self.assertTrue(e2e.wait_for(lambda: "disconnected from client" in server.text()))
            self.assert_stopped(server)

    def test_raw_mode_sends_nothing_first_and_runs_the_terminal_raw(self):
        with Server("--disable-telnet-protocol", "-f", self.issue) as server:
            client = Client(server.port)
            data = client.read_until(b"a\r\nb")
            self.assertTrue(data.startswith(b"a\r\nb"), data)
            client.send(b"stty -a; printf '\\377X\\n'\n")
            data = client.read_until(b"\xffX")
            for flag in (b"-icanon", b"-echo ", b"-isig", b"-iexten", b"-opost", b"-icrnl",
                         b"-ixon", b"-istrip", b"cs8", b"-parenb"):
                self.assertIn(flag, data)
            self.assertNotIn(b"\xff\xffX", data)
            self.assertNotIn(b"\xff", data[:data.index(b"\xffX")])
            client.close()
            self.assert_stopped(server, signal.SIGINT)

    def test_small_buffer_gives_two_256_byte_areas(self):
        strace = shutil.which("strace")
        if not strace or subprocess.run([strace, "-o", "/dev/null", "true"],
                                        capture_output=True).returncode != 0:
            self.skipTest("strace cannot trace here")
        trace = self.path("trace")
        # The leak checker of sanitizer builds cannot run under a tracer.
        quiet = {"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"}
        with Server("-b", "100", "-f", "", env=quiet,
                    program=[strace, "-s", "0", "-o", trace, "-e",
                             "trace=accept,accept4,read,recvfrom,sendto"]) as server:
            client = Client(server.port)
            client.read_until(NEGOTIATION)
            client.send(b"x" * 1000 + b"\r\0")
            client.command("i=0; while [ $i -lt 40 ]; do echo %s; i=$((i+1)); done; echo E$((1+1))"
                           % ("0123456789" * 6), "E2")
            client.close()
            self.assertTrue(e2e.wait_for(lambda: "disconnected from client" in server.text()))
            self.assert_stopped(server)
        with open(trace) as calls:
            lines = calls.read().splitlines()
        start = next(i for i, line in enumerate(lines) if line.startswith("accept"))
        sizes = {"read": [], "recvfrom": [], "sendto": []}
        for line in lines[start:]:
            match = re.match(r'(read|recvfrom|sendto)\(\d+, ""(?:\.\.\.)?, (\d+)', line)
            if match:
                sizes[match.group(1)].append(int(match.group(2)))
        self.assertEqual(max(sizes["recvfrom"]), 256, sizes)
        self.assertEqual(max(sizes["read"]), 256, sizes)
        self.assertLessEqual(max(sizes["sendto"]), 256, sizes)
        self.assertEqual(sizes["read"][0], 1)  # the synchronisation byte

    def test_session_limit_refuses_the_third_client_and_frees_a_slot(self):
        with Server("-s", "2", "-f", "") as server:
            first = Client(server.port)
            second = Client(server.port)
            for client in (first, second):
                client.read_until(NEGOTIATION)
            third = Client(server.port)
            self.assertEqual(third.read_to_end(), b"")
            self.assertTrue(third.closed)
            self.assertTrue(e2e.wait_for(lambda: "limited session: refuse connection (127.0.0.1:"
                                         in server.text()), server.text())
            first.close()
            self.assertTrue(e2e.wait_for(lambda: "disconnected from client" in server.text()))
            fourth = Client(server.port)
            self.assertTrue(fourth.read_until(NEGOTIATION).startswith(NEGOTIATION))
            self.assertIn(b"S9", fourth.command("echo S$((4+5))", "S9"))
            self.assertIn("sessions=2/2", server.text())
            second.close()
            fourth.close()
            self.assert_stopped(server)

    def xinetd_session(self, client, process):
        self.assertTrue(client.read_until(NEGOTIATION).startswith(NEGOTIATION))
        self.assertIn(b"X5", client.command("echo X$((2+3))", "X5"))
        client.send(b"exit\r\0")
        client.read_to_end()
        self.assertTrue(client.closed)
        client.close()
        self.assertEqual(process.wait(timeout=20), 0)
        e2e.check_dump(process.stderr.read())
        process.stderr.close()

    def test_xinetd_mode_serves_descriptor_0_and_ends_with_it(self):
        # An inetd-like harness: the accepted socket becomes the server's descriptor 0.
        with socket.socket() as listener:
            listener.bind(("127.0.0.1", 0))
            listener.listen(1)
            client = Client(listener.getsockname()[1])
            connection, _ = listener.accept()
            with connection:
                process = subprocess.Popen([e2e.VEXA, "telnetd", "-x", "-f", ""],
                                           stdin=connection, stdout=subprocess.DEVNULL,
                                           stderr=subprocess.PIPE, env=e2e.environment())
        self.xinetd_session(client, process)
        if shutil.which("socat"):
            port = e2e.free_port()
            process = subprocess.Popen(
                ["socat", "TCP-LISTEN:%d,bind=127.0.0.1,reuseaddr" % port,
                 "EXEC:%s telnetd -x -f /dev/null,nofork" % e2e.VEXA],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                env=e2e.environment())
            self.assertTrue(e2e.wait_for(lambda: listening(port)))
            self.xinetd_session(Client(port), process)

    def test_interface_binding_and_inet6(self):
        with Server("-i", "lo", "-f", "") as server:
            self.assertRegex(server.text(), r"interface lo binding \(127\.0\.0\.1:%d\)"
                             % server.port)
            self.assertTrue(Client(server.port).read_until(NEGOTIATION).startswith(NEGOTIATION))
            self.assert_stopped(server)
        result = e2e.run("telnetd", "-p", str(e2e.free_port()), "-i", "nosuch0")
        self.assertEqual(result.returncode, 1)
        self.assertIn("not found interface", result.stdout + result.stderr)
        if not socket.has_ipv6 or not os.path.exists("/proc/net/if_inet6"):
            return
        with Server("-6", "-i", "lo", "-f", "", inet6=True) as server:
            self.assertIn("verbose mode (inet6,standalong)", server.text())
            self.assertRegex(server.text(), r"interface lo binding \(\[?::1\]?:%d\)" % server.port)
            client = Client(server.port, "::1", socket.AF_INET6)
            self.assertTrue(client.read_until(NEGOTIATION).startswith(NEGOTIATION))
            self.assertRegex(server.text(), r"connection from \[?::1\]?:\d+")
            client.close()
            self.assert_stopped(server)

    def test_attack_rows_reach_the_terminal_only_as_data(self):
        login = self.path("record", RECORDER, mode=0o755)
        evil = bytes([IAC, SB, 0x27, 0, 0]) + b"USER\x01-f root\x00LD_PRELOAD\x01/tmp/evil.so" + \
            bytes([IAC, SE])
        slc = bytes([IAC, SB, 0x22, 0x03, 0x01, 0x03, 0x00, 0x03, IAC, IAC, 0x02, 0x0F, IAC,
                     IAC, IAC, SE])
        rows = [
            # name, pieces (sent apart), terminal bytes, (columns, rows)
            ("naws shorter than 4", [naws(0, 80, 0) + b"x"], b"x", (0, 0)),
            ("naws longer than 4", [naws(0, 80, 0, 24, 7) + b"x"], b"x", (0, 0)),
            ("naws split over packets",
             [bytes([IAC, SB, NAWS, 0]), bytes([80, 0]), bytes([24, IAC]), bytes([SE]) + b"x"],
             b"x", (80, 24)),
            ("IAC IAC inside naws", [naws(0, IAC, IAC, 0, 24)], b"", (255, 24)),
            ("naws 0x0 leaves the size", [naws(0, 80, 0, 24), naws(0, 0, 0, 0) + b"x"], b"x",
             (80, 24)),
            ("naws 0 height leaves the height", [naws(0, 90, 0, 30), naws(0, 100, 0, 0)], b"",
             (100, 30)),
            ("naws 65535x65535", [naws(*([IAC, IAC] * 4))], b"", (65535, 65535)),
            ("64 KiB SB without SE",
             [bytes([IAC, SB, 0x18]) + b"A" * 65536, b"still dropped", bytes([IAC, SE]) + b"ok"],
             b"ok", (0, 0)),
            ("SE without SB", [bytes([IAC, SE]) + b"x"], b"x", (0, 0)),
            ("IAC at the end of a read", [b"a" + bytes([IAC]), bytes([IAC]) + b"b" +
                                          bytes([IAC]), bytes([0xFB, 0x01]) + b"c"],
             b"a\xffbc", (0, 0)),
            ("line-mode SLC flood", [slc * 2000 + b"x"], b"x", (0, 0)),
            ("two-byte commands", [bytes([IAC, 0xF1]) + b"a" + bytes([IAC, 0xF4, IAC, 0xF2])],
             b"a", (0, 0)),
            ("CR NUL and CR LF", [b"a\r\0b\r\nc\nd\0e"], b"a\rb\rc\nd\0e", (0, 0)),
        ]
        with Server("-l", login, "-f", "", env={"TELNETD_TEST_DIR": self.directory}) as server:
            for name, pieces, expected, size in rows + [("environment", None, b"x", (0, 0)),
                                                        ("urgent data", None, b"a!b", (0, 0))]:
                with self.subTest(name):
                    for leftover in ("input", "env"):
                        if os.path.exists(self.path(leftover)):
                            os.unlink(self.path(leftover))
                    client = Client(server.port)
                    if name == "environment":
                        client.send(evil)  # before the login program even starts
                    client.read_until(b"READY\n")
                    slave = re.findall(r'new pts name: "([^"]+)"', server.text())[-1]
                    if name == "environment":
                        client.send(b"x")
                    elif name == "urgent data":
                        client.send(b"a")
                        client.send(b"!", socket.MSG_OOB)
                        client.send(b"b")
                    else:
                        for piece in pieces:
                            client.send(piece)
                            time.sleep(0.05)
                    client.send(b"<END>")
                    self.assertTrue(e2e.wait_for(lambda: self.recorded().endswith(b"<END>")),
                                    self.recorded()[-200:])
                    self.assertEqual(self.recorded(), expected + b"<END>")
                    self.assertEqual(self.window_size(slave), size)
                    with open(self.path("env"), "rb") as env:
                        environment = env.read()
                    self.assertNotIn(b"LD_PRELOAD", environment)
                    self.assertNotIn(b"-f root", environment)
                    client.close()
            self.assert_stopped(server)

    def recorded(self):
        try:
            with open(self.path("input"), "rb") as recorded:
                return recorded.read()
        except OSError:
            return b""

    @staticmethod
    def window_size(slave):
        fd = os.open(slave, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            rows, columns = struct.unpack("HHHH", fcntl.ioctl(fd, termios.TIOCGWINSZ,
                                                              b"\0" * 8))[:2]
        finally:
            os.close(fd)
        return columns, rows

    def test_ended_login_ends_the_session_and_every_child_is_reaped(self):
        with Server("-f", "") as server:
            client = Client(server.port)
            client.read_until(NEGOTIATION)
            client.send(b"exit\r\0")
            client.read_to_end()
            self.assertTrue(client.closed)
            # A background job keeps the terminal open: the session still ends with the login.
            client = Client(server.port)
            client.read_until(NEGOTIATION)
            started = time.monotonic()
            client.send(b"sleep 15 & exit\r\0")
            client.read_to_end(timeout=20)
            self.assertTrue(client.closed)
            self.assertLess(time.monotonic() - started, 10)
            self.assertTrue(e2e.wait_for(lambda: children_of(server.pid) == []),
                            children_of(server.pid))
            self.assert_stopped(server)

    def test_connect_reset_cycles_leave_nothing_behind(self):
        with Server("-f", "") as server:
            pid = server.pid

            def cycle(count, wait):
                for index in range(count):
                    client = Client(server.port)
                    if wait or index % 2 == 0:
                        client.read_until(NEGOTIATION)
                    client.reset()

            def settled():
                return (children_of(pid) == [] and descriptor_count(pid) == baseline_fds)

            baseline_fds = descriptor_count(pid)
            cycle(20, True)
            self.assertTrue(e2e.wait_for(settled, timeout=20), children_of(pid))
            rss = rss_kb(pid)
            cycle(180, False)
            self.assertTrue(e2e.wait_for(settled, timeout=20),
                            (children_of(pid), descriptor_count(pid), baseline_fds))
            self.assertLess(rss_kb(pid) - rss, 4096)
            # Still serving.
            client = Client(server.port)
            client.read_until(NEGOTIATION)
            self.assertIn(b"R1", client.command("echo R$((0+1))", "R1"))
            client.close()
            self.assert_stopped(server)

    def test_daemon_mode_detaches(self):
        e2e.require_namespaces(self, pid=True)
        port = e2e.free_port()
        script = '"$0" telnetd -d -p "$1" -f /dev/null; echo "rc=$?"; sleep 5'
        process = subprocess.Popen(e2e.unshare_command(pid=True) + ["sh", "-c", script, e2e.VEXA,
                                                                    str(port)],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   stdin=subprocess.DEVNULL, env=e2e.environment())
        try:
            self.assertTrue(e2e.wait_for(lambda: listening(port), timeout=20))
            client = Client(port)
            self.assertTrue(client.read_until(NEGOTIATION).startswith(NEGOTIATION))
            self.assertIn(b"D4", client.command("echo D$((2+2))", "D4"))
            client.close()
        finally:
            stdout, stderr = process.communicate(timeout=30)
        self.assertIn(b"rc=0", stdout)
        e2e.check_dump(stderr)


if __name__ == "__main__":
    e2e.main(__doc__)
