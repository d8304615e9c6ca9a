"""End-to-end tests of the ftp and ftpget applets.

Real servers on loopback: vsftpd (started from a configuration written here), pyftpdlib (the
Debian package, run with /usr/bin/python3) and busybox's ftpd when the installed busybox has
one; byte-identical downloads in passive PASV/EPSV and active PORT/EPRT mode. A hostile server
of our own (python sockets): replies split at every byte, every line end, continuation lines,
a passive reply naming another host with a trap listening there, malformed passive replies,
a 200 KB line, a multi-line reply that never ends. The partial-file rules: the target appears
only once the transfer is confirmed, a failure leaves nothing, an interrupted download is
resumed with --continue, and --retry resumes by itself.

    test_ftp.py <vexa>
"""
import hashlib
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest

import vexa_e2e as e2e

PYTHON = "/usr/bin/python3"
USAGE = ("usage: ftpget [<option(s)>] <url> [<pathname>]\noptions:\n"
         "\t--verbose : verbose mode\n\t--quiet : quiet mode\n")
FILE_SIZE = 3 * 1024 * 1024 + 12345


def digest(path):
    with open(path, "rb") as source:
        return hashlib.sha256(source.read()).hexdigest()


def ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as probe:
            probe.bind(("::1", 0))
        return True
    except OSError:
        return False


def wait_listening(port, family=socket.AF_INET, timeout=10):
    host = "127.0.0.1" if family == socket.AF_INET else "::1"

    def up():
        try:
            with socket.create_connection((host, port), timeout=0.5):
                return True
        except OSError:
            return False
    return e2e.wait_for(up, timeout)


class Root:
    """A served directory: a random file, an empty one, and incoming/rfc959.txt."""

    def __init__(self):
        self.path = tempfile.mkdtemp(prefix="vexa-ftp-root-")
        os.chmod(self.path, 0o755)
        self.data = os.urandom(FILE_SIZE)
        self.write("file.bin", self.data)
        self.write("empty", b"")
        os.mkdir(os.path.join(self.path, "incoming"), 0o755)
        self.text = b"".join(b"line %05d of the test document\r\n" % n for n in range(3000))
        self.write("incoming/rfc959.txt", self.text)

    def write(self, name, data):
        path = os.path.join(self.path, name)
        with open(path, "wb") as out:
            out.write(data)
        os.chmod(path, 0o644)

    def close(self):
        shutil.rmtree(self.path, ignore_errors=True)


class Server:
    """A real server process; log holds what it wrote about the session."""

    def __init__(self, command, port, family, log_path):
        self.port = port
        self.family = family
        self.log_path = log_path
        self.log = open(log_path + ".out", "wb")
        self.process = subprocess.Popen(command, stdout=self.log, stderr=subprocess.STDOUT,
                                        stdin=subprocess.DEVNULL)
        if not wait_listening(port, family):
            self.close()
            raise unittest.SkipTest("server did not start: %s" % command[0])

    def text(self):
        self.log.flush()
        parts = []
        for path in (self.log_path, self.log_path + ".out"):
            if os.path.exists(path):
                with open(path, "rb") as source:
                    parts.append(source.read().decode("utf-8", "replace"))
        return "".join(parts)

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        self.log.close()


def start_vsftpd(root, work, family):
    port = e2e.free_port()
    config = os.path.join(work, "vsftpd.conf")
    empty = os.path.join(work, "empty")
    os.makedirs(empty, exist_ok=True)
    ipv6 = family == socket.AF_INET6
    with open(config, "w") as out:
        out.write("\n".join([
            "listen=%s" % ("NO" if ipv6 else "YES"),
            "listen_ipv6=%s" % ("YES" if ipv6 else "NO"),
            "listen_address=127.0.0.1" if not ipv6 else "listen_address6=::1",
            "listen_port=%d" % port, "background=NO", "anonymous_enable=YES",
            "local_enable=NO", "write_enable=NO", "anon_root=%s" % root.path,
            "no_anon_password=YES", "secure_chroot_dir=%s" % empty, "seccomp_sandbox=NO",
            "isolate=NO", "isolate_network=NO", "connect_from_port_20=NO", "port_enable=YES",
            "pasv_enable=YES", "log_ftp_protocol=YES",
            "vsftpd_log_file=%s" % os.path.join(work, "vsftpd.log"), "xferlog_enable=YES",
            "dual_log_enable=YES", "xferlog_file=%s" % os.path.join(work, "xfer.log"), ""]))
    return Server(["/usr/sbin/vsftpd", config], port, family, os.path.join(work, "vsftpd.log"))


def start_pyftpdlib(root, work, family):
    port = e2e.free_port(family)
    address = "127.0.0.1" if family == socket.AF_INET else "::1"
    return Server([PYTHON, "-m", "pyftpdlib", "-D", "-i", address, "-p", str(port), "-d",
                   root.path],
                  port, family, os.path.join(work, "pyftpdlib.log"))


def busybox_ftpd():
    for busybox in ("busybox", "/bin/busybox"):
        path = shutil.which(busybox)
        if path and subprocess.run([path, "ftpd", "--help"], capture_output=True).returncode \
                in (0, 1) and b"applet not found" not in subprocess.run(
                    [path, "ftpd", "--help"], capture_output=True).stderr:
            return path
    return None


def start_busybox(root, work, family):
    busybox = busybox_ftpd()
    if busybox is None:
        raise unittest.SkipTest("the installed busybox has no ftpd")
    port = e2e.free_port(family)
    address = "127.0.0.1" if family == socket.AF_INET else "::1"
    return Server([busybox, "tcpsvd", "-vE", address, str(port), busybox, "ftpd", "-v",
                   root.path], port, family, os.path.join(work, "busybox.log"))


# ---- the hostile server -------------------------------------------------------------------

class Connection:
    """The server's side of one control connection."""

    def __init__(self, server, sock):
        self.server = server
        self.sock = sock
        self.sock.settimeout(20)
        self.pending = b""

    def send(self, text, split=False):
        data = text.encode("latin-1") if isinstance(text, str) else text
        try:
            if not split:
                self.sock.sendall(data)
                return
            self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            for byte in data:
                self.sock.sendall(bytes([byte]))
                time.sleep(0.0005)
        except OSError:
            pass

    def command(self):
        while b"\n" not in self.pending:
            try:
                data = self.sock.recv(4096)
            except OSError:
                data = b""
            if not data:
                return ""
            self.pending += data
        line, self.pending = self.pending.split(b"\n", 1)
        text = line.rstrip(b"\r").decode("latin-1")
        self.server.commands.append(text)
        return text

    def until(self, verb):
        while True:
            line = self.command()
            if not line or line.upper().startswith(verb):
                return line
            self.send("200 ok\r\n")

    def login(self, split=False):
        self.send("220 hostile\r\n", split)
        self.until("USER")
        self.send("331 password please\r\n", split)
        self.until("PASS")
        self.send("230 in\r\n", split)
        self.until("TYPE")
        self.send("200 binary\r\n", split)

    def pasv(self, announce="127,0,0,1", port=0, split=False):
        self.until("PASV")
        listener = socket.create_server(("127.0.0.1", port))
        port = listener.getsockname()[1]
        self.send("227 Entering Passive Mode (%s,%d,%d)\r\n" % (announce, port >> 8, port & 255),
                  split)
        return listener

    def serve(self, listener, data, final="226 done\r\n", split=False, middle=None):
        self.command()
        self.send("150 here it comes\r\n", split)
        listener.settimeout(20)
        try:
            data_sock, _ = listener.accept()
        except OSError:
            return
        with data_sock:
            if middle is None:
                data_sock.sendall(data)
            else:
                data_sock.sendall(data[:len(data) // 2])
                middle()
                data_sock.sendall(data[len(data) // 2:])
        listener.close()
        self.send(final, split)

    def finish(self):
        line = self.until("QUIT")
        if line:
            self.send("221 bye\r\n")


class Hostile:
    """A scripted server on loopback: every connection runs script(connection, number)."""

    def __init__(self, script):
        self.script = script
        self.commands = []
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(0.2)
        self.port = self.listener.getsockname()[1]
        self.stopped = False
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def url(self, path="/file.bin", scheme="ftp"):
        return "%s://127.0.0.1:%d%s" % (scheme, self.port, path)

    def run(self):
        number = 0
        while not self.stopped:
            try:
                sock, _ = self.listener.accept()
            except OSError:
                continue
            with sock:
                try:
                    self.script(Connection(self, sock), number)
                except OSError:
                    pass
            number += 1

    def close(self):
        self.stopped = True
        self.thread.join(10)
        self.listener.close()


# A server in its own process, slow enough to be killed half-way through a transfer.
SLOW_SERVER = r"""
import os, socket, sys, time
port, path = int(sys.argv[1]), sys.argv[2]
data = open(path, "rb").read()
listener = socket.create_server(("127.0.0.1", port))
sock, _ = listener.accept()
reader = sock.makefile("rb")
def reply(text):
    sock.sendall(text.encode() + b"\r\n")
reply("220 slow")
offset = 0
for raw in reader:
    line = raw.decode().strip()
    verb = line.split(" ")[0].upper()
    if verb == "USER": reply("331 pass")
    elif verb == "PASS": reply("230 in")
    elif verb == "SIZE": reply("213 %d" % len(data))
    elif verb == "REST": offset = int(line.split()[1]); reply("350 ok")
    elif verb == "PASV":
        passive = socket.create_server(("127.0.0.1", 0))
        p = passive.getsockname()[1]
        reply("227 Entering Passive Mode (127,0,0,1,%d,%d)" % (p >> 8, p & 255))
    elif verb == "RETR":
        reply("150 slowly")
        conn, _ = passive.accept()
        for at in range(offset, len(data), 32768):
            conn.sendall(data[at:at + 32768])
            time.sleep(0.02)
        conn.close()
        reply("226 done")
    elif verb == "QUIT": reply("221 bye"); break
    else: reply("200 ok")
"""


class FtpgetTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = Root()

    @classmethod
    def tearDownClass(cls):
        cls.root.close()

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="vexa-ftp-work-")
        self.out = os.path.join(self.work, "out.bin")

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def ftpget(self, *arguments, timeout=60):
        return e2e.run("ftpget", "--quiet", "--nointeractive", *arguments, timeout=timeout)

    def hostile(self, script):
        server = Hostile(script)
        self.addCleanup(server.close)
        return server

    def test_usage(self):
        result = e2e.run("ftpget")
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stdout, USAGE)

    def test_real_servers_in_every_mode(self):
        modes = [("PASV", "ftp", socket.AF_INET), ("PORT", "ftp@active", socket.AF_INET)]
        if ipv6_loopback():
            modes += [("EPSV", "ftp", socket.AF_INET6), ("EPRT", "ftp@active", socket.AF_INET6)]
        expected = hashlib.sha256(self.root.data).hexdigest()
        for name, starter in (("vsftpd", start_vsftpd), ("pyftpdlib", start_pyftpdlib),
                              ("busybox", start_busybox)):
            for family in (socket.AF_INET, socket.AF_INET6):
                if family == socket.AF_INET6 and not ipv6_loopback():
                    continue
                try:
                    server = starter(self.root, self.work, family)
                except unittest.SkipTest as skipped:
                    print("%s: %s" % (name, skipped))
                    continue
                try:
                    host = "127.0.0.1" if family == socket.AF_INET else "[::1]"
                    for command, scheme, mode_family in modes:
                        if mode_family != family:
                            continue
                        with self.subTest(server=name, mode=command):
                            if os.path.exists(self.out):
                                os.unlink(self.out)
                            url = "%s://%s:%d/file.bin" % (scheme, host, server.port)
                            result = self.ftpget(url, self.out)
                            self.assertEqual(result.returncode, 0, result)
                            self.assertEqual(digest(self.out), expected)
                            self.assertIn(command, server.text())
                    with self.subTest(server=name, case="empty file"):
                        empty = os.path.join(self.work, "empty.out")
                        url = "ftp://%s:%d/empty" % (host, server.port)
                        self.assertEqual(self.ftpget(url, empty).returncode, 0)
                        self.assertFalse(os.path.exists(empty))
                        self.assertFalse(os.path.exists(empty + ".part"))
                finally:
                    server.close()

    def test_progress_line_and_verbose_lines(self):
        server = start_pyftpdlib(self.root, self.work, socket.AF_INET)
        self.addCleanup(server.close)
        result = e2e.run("ftpget", "--verbose", "--nointeractive",
                         "ftp://127.0.0.1:%d/file.bin" % server.port, self.out)
        self.assertEqual(result.returncode, 0, result)
        text = e2e.strip_ansi(result.stdout)
        self.assertIn("220 ", text)
        self.assertIn("226 ", text)
        self.assertRegex(text, r"100%% \[[^\]]*\] +%d, +[0-9]+\.[0-9]{2}[ KMG]bps, ETA 00:00"
                         % FILE_SIZE)
        self.assertIn("out.bin", text)
        self.assertEqual(digest(self.out), hashlib.sha256(self.root.data).hexdigest())

    def test_hostile_line_ends_and_split_replies(self):
        data = self.root.data[:200000]

        def script(conn, number):
            conn.send("220-hello\n220\r220-still\n\r220 ready\r\n", split=True)
            conn.until("USER")
            conn.send("331 go on\r", split=True)
            conn.until("PASS")
            conn.send("230-Welcome\r\n230-more\n230 Done\n\r", split=True)
            conn.until("TYPE")
            conn.send("200 ok\r\n", split=True)
            conn.until("SIZE")
            conn.send("213 %d\r\n" % len(data), split=True)
            conn.serve(conn.pasv(split=True), data, split=True)
            conn.finish()
        server = self.hostile(script)
        result = self.ftpget(server.url(), self.out)
        self.assertEqual(result.returncode, 0, result)
        with open(self.out, "rb") as got:
            self.assertEqual(got.read(), data)

    def test_passive_reply_address_is_ignored(self):
        probe = socket.create_server(("127.0.0.1", 0))
        port = probe.getsockname()[1]
        probe.close()
        try:
            trap = socket.create_server(("127.0.0.2", port))
        except OSError:
            self.skipTest("127.0.0.2 is not usable here")
        trap.setblocking(False)
        self.addCleanup(trap.close)

        def script(conn, number):
            conn.login()
            conn.until("SIZE")
            conn.send("213 1000\r\n")
            conn.serve(conn.pasv(announce="127,0,0,2", port=port), b"t" * 1000)
            conn.finish()
        server = self.hostile(script)
        result = self.ftpget(server.url(), self.out)
        self.assertEqual(result.returncode, 0, result)
        self.assertEqual(os.path.getsize(self.out), 1000)
        with self.assertRaises(BlockingIOError):
            trap.accept()

    def test_malformed_passive_replies_fail_cleanly(self):
        replies = ["227 Entering Passive Mode 127,0,0,1,4,1", "227 (127,0,0,1,4,1,7)",
                   "227 (127,0,0,1,256,1)", "227 (127,0,0,1,0,0)", "227 (127,0,0,1)",
                   "229 Entering Extended Passive Mode (|||70000|)", "229 (|||0|)",
                   "229 (||)", "425 cannot"]
        for reply in replies:
            with self.subTest(reply=reply):
                def script(conn, number, reply=reply):
                    conn.login()
                    conn.until("PASV")
                    conn.send(reply + "\r\n")
                    conn.finish()
                server = self.hostile(script)
                result = self.ftpget(server.url(), self.out, timeout=30)
                self.assertEqual(result.returncode, 1, result)
                self.assertFalse(os.path.exists(self.out))
                self.assertFalse(os.path.exists(self.out + ".part"))

    def test_oversized_replies_fail_in_bounded_memory(self):
        def huge_line(conn, number):
            conn.send("220-" + "x" * 200000 + "\r\n220 ready\r\n")
            conn.finish()

        def endless(conn, number):
            conn.send("220 ready\r\n")
            conn.until("USER")
            line = ("331-" + "y" * 1000 + "\r\n").encode() * 100
            for _ in range(2000):  # up to 200 MB, far past any bound
                try:
                    conn.sock.sendall(line)
                except OSError:
                    return
        for name, script in (("200 KB line", huge_line), ("endless reply", endless)):
            with self.subTest(case=name):
                server = self.hostile(script)
                started = time.monotonic()
                timing = subprocess.run(
                    ["/usr/bin/time", "-f", "%M", e2e.VEXA, "ftpget", "--quiet",
                     "--nointeractive", server.url(), self.out],
                    capture_output=True, text=True, timeout=60, env=e2e.environment())
                self.assertEqual(timing.returncode, 1, timing.stderr[-2000:])
                self.assertLess(time.monotonic() - started, 20)
                e2e.check_dump(timing.stderr)
                resident_kib = int(timing.stderr.strip().splitlines()[-1])
                self.assertLess(resident_kib, 96 * 1024)

    def test_target_appears_only_when_confirmed(self):
        with open(self.out, "wb") as old:
            old.write(b"old content")
        data = self.root.data[:1 << 20]
        halfway = threading.Event()
        release = threading.Event()

        def middle():
            halfway.set()
            release.wait(20)

        def script(conn, number):
            conn.login()
            conn.until("SIZE")
            conn.send("213 %d\r\n" % len(data))
            conn.serve(conn.pasv(), data, middle=middle)
            conn.finish()
        server = self.hostile(script)
        process = subprocess.Popen([e2e.VEXA, "ftpget", "--quiet", "--nointeractive",
                                    server.url(), self.out], stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, env=e2e.environment())
        try:
            self.assertTrue(halfway.wait(20))
            partial = self.out + ".part"
            self.assertTrue(e2e.wait_for(lambda: os.path.exists(partial) and
                                         os.path.getsize(partial) > 0))
            with open(self.out, "rb") as current:
                self.assertEqual(current.read(), b"old content")
        finally:
            release.set()
        _, stderr = process.communicate(timeout=30)
        e2e.check_dump(stderr)
        self.assertEqual(process.returncode, 0)
        with open(self.out, "rb") as got:
            self.assertEqual(got.read(), data)
        self.assertFalse(os.path.exists(self.out + ".part"))

    def test_failed_transfer_leaves_nothing(self):
        with open(self.out, "wb") as old:
            old.write(b"old content")
        data = self.root.data[:300000]

        def script(conn, number):
            conn.login()
            conn.until("SIZE")
            conn.send("213 %d\r\n" % len(data))
            conn.serve(conn.pasv(), data[:100000], final="426 connection lost\r\n")
            conn.finish()
        server = self.hostile(script)
        result = self.ftpget(server.url(), self.out)
        self.assertEqual(result.returncode, 1)
        with open(self.out, "rb") as current:
            self.assertEqual(current.read(), b"old content")
        self.assertFalse(os.path.exists(self.out + ".part"))

    def test_partial_name_planted_as_a_link_or_fifo_is_refused(self):
        precious = os.path.join(self.work, "precious")
        with open(precious, "wb") as handle:
            handle.write(b"keep")
        server = start_pyftpdlib(self.root, self.work, socket.AF_INET)
        self.addCleanup(server.close)
        url = "ftp://127.0.0.1:%d/file.bin" % server.port
        for plant in (lambda path: os.symlink(precious, path), os.mkfifo):
            with self.subTest(plant=plant):
                plant(self.out + ".part")
                result = self.ftpget(url, self.out, timeout=30)
                self.assertNotEqual(result.returncode, 0, result)
                self.assertFalse(os.path.exists(self.out))
                if os.path.lexists(self.out + ".part"):
                    os.unlink(self.out + ".part")
        with open(precious, "rb") as handle:
            self.assertEqual(handle.read(), b"keep")

    def test_interrupted_download_continues(self):
        port = e2e.free_port()
        source = os.path.join(self.root.path, "file.bin")
        slow = subprocess.Popen([PYTHON, "-c", SLOW_SERVER, str(port), source],
                                stdin=subprocess.DEVNULL)
        self.addCleanup(lambda: slow.poll() is None and slow.kill())
        self.assertTrue(wait_listening_no_connect(port))
        url = "ftp://127.0.0.1:%d/file.bin" % port
        process = subprocess.Popen([e2e.VEXA, "ftpget", "--quiet", "--nointeractive",
                                    "--continue", url, self.out], stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, env=e2e.environment())
        partial = self.out + ".part"
        self.assertTrue(e2e.wait_for(lambda: os.path.exists(partial) and
                                     os.path.getsize(partial) > FILE_SIZE // 3, timeout=30))
        slow.send_signal(signal.SIGKILL)
        slow.wait()
        _, stderr = process.communicate(timeout=60)
        e2e.check_dump(stderr)
        self.assertEqual(process.returncode, 1)
        self.assertFalse(os.path.exists(self.out))
        kept = os.path.getsize(partial)
        self.assertTrue(0 < kept < FILE_SIZE)
        server = start_pyftpdlib(self.root, self.work, socket.AF_INET)
        self.addCleanup(server.close)
        result = self.ftpget("--continue", "ftp://127.0.0.1:%d/file.bin" % server.port,
                             self.out)
        self.assertEqual(result.returncode, 0, result)
        self.assertEqual(digest(self.out), hashlib.sha256(self.root.data).hexdigest())
        self.assertFalse(os.path.exists(partial))
        self.assertIn("REST %d" % kept, server.text())

    def test_retry_resumes(self):
        data = self.root.data[:500000]
        rests = []

        def script(conn, number):
            conn.login()
            conn.until("SIZE")
            conn.send("213 %d\r\n" % len(data))
            listener = conn.pasv()
            if number == 0:
                conn.serve(listener, data[:200000], final="426 connection lost\r\n")
            else:
                rest = conn.command()
                rests.append(rest)
                conn.send("350 restarting\r\n")
                conn.serve(listener, data[int(rest.split()[1]):])
            conn.finish()
        server = self.hostile(script)
        result = self.ftpget("--retry", "2", server.url(), self.out)
        self.assertEqual(result.returncode, 0, result)
        with open(self.out, "rb") as got:
            self.assertEqual(got.read(), data)
        self.assertEqual(rests, ["REST 200000"])
        self.assertIn("retrying (1/2)", result.stderr)


def wait_listening_no_connect(port, timeout=10):
    """True once something listens on the port, seen in /proc (a probe would be its one
    client)."""
    want = ":%04X " % port

    def up():
        with open("/proc/net/tcp") as table:
            return any(want in line and line.split()[3] == "0A" for line in table)
    return e2e.wait_for(up, timeout)


class FtpSelfTest(unittest.TestCase):
    def test_self_test_run(self):
        root = Root()
        self.addCleanup(root.close)
        work = tempfile.mkdtemp(prefix="vexa-ftp-work-")
        self.addCleanup(shutil.rmtree, work, True)
        server = start_pyftpdlib(root, work, socket.AF_INET)
        self.addCleanup(server.close)
        result = e2e.run("ftp", "ftp://127.0.0.1:%d/incoming/rfc959.txt" % server.port)
        self.assertEqual(result.returncode, 0, result)
        size = len(root.text)
        self.assertIn('system is "UNIX Type: L8"\n', result.stdout)
        self.assertIn('pwd is "/"\n', result.stdout)
        self.assertIn("size is %d\n" % size, result.stdout)
        self.assertIn("file.bin", result.stdout)  # the listings
        self.assertIn("recv stream", result.stdout)
        self.assertIn("stream OK: %d/%d bytes\n" % (size, size), result.stdout)
        for verb in ("OPTS UTF8 ON", "SYST", "NOOP", "PWD", "CWD incoming", "CWD ..", "NLST",
                     "LIST", "SIZE incoming/rfc959.txt", "RETR incoming/rfc959.txt"):
            self.assertIn(verb, server.text())

    def test_usage(self):
        result = e2e.run("ftp")
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stdout, "usage: ftp <url>\n")


if __name__ == "__main__":
    e2e.main(__doc__)
