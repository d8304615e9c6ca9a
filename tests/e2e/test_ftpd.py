#!/usr/bin/env python3
"""The ftpd applet against real clients on loopback: curl, lftp, ncftp, inetutils ftp,
busybox ftpget/ftpput and python's ftplib move byte-identical files both ways, in both
types and in passive and active mode; the edge cases and attack rows are spoken on a raw
control connection; system accounts are made with useradd for the test (and removed);
bounded loads check the session cap, concurrent sessions and connect/reset cycles.

Usage: test_ftpd.py <vexa>
"""
import ftplib
import io
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest

import vexa_e2e as e2e

CLIENT_TIMEOUT = 60


def have(tool):
    return shutil.which(tool) is not None


class Server:
    """One ftpd on 127.0.0.1 with HOME set to a scratch home."""

    def __init__(self, links, home, *options, env=None):
        self.port = e2e.free_port()
        environment = e2e.environment({"HOME": home, **(env or {})})
        environment.pop("LANG", None)
        self.process = subprocess.Popen(
            [links.path("ftpd"), "-p", str(self.port), *options, "127.0.0.1"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
            env=environment)
        line = self.process.stdout.readline().decode()
        if line != "starting ftp server (listen_port=%d)\n" % self.port:
            self.process.kill()
            raise AssertionError("ftpd did not start: %r %r" % (line, self.process.stderr.read()))

    def stop(self):
        self.process.send_signal(signal.SIGINT)
        out, err = self.process.communicate(timeout=30)
        e2e.check_dump(err)
        return self.process.returncode, out.decode(), err.decode()


class Control:
    """A raw control connection: send a line, read one (possibly multi-line) reply."""

    def __init__(self, port, source=None, greet=True):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10,
                                             source_address=(source, 0) if source else None)
        self.pending = b""
        if greet:
            self.greeting = self.reply()

    def raw(self, data):
        self.sock.sendall(data)

    def line(self):
        while b"\r\n" not in self.pending:
            data = self.sock.recv(65536)
            if not data:
                line, self.pending = self.pending, b""
                return line.decode("latin-1")
            self.pending += data
        line, self.pending = self.pending.split(b"\r\n", 1)
        return line.decode("latin-1")

    def reply(self):
        lines = [self.line()]
        while len(lines[-1]) >= 4 and lines[-1][3] == "-" or (lines[-1][:1] == " "):
            lines.append(self.line())
        return "\n".join(lines)

    def command(self, line):
        self.raw(line.encode("latin-1") + b"\r\n")
        return self.reply()

    def login(self, user="test"):
        answer = self.command("USER " + user)
        self.command("TYPE I")
        return answer

    def pasv(self, source=None):
        answer = self.command("PASV")
        numbers = [int(n) for n in re.search(r"\((\d+(?:,\d+){5})\)", answer).group(1).split(",")]
        return socket.create_connection(("127.0.0.1", numbers[4] * 256 + numbers[5]), timeout=10,
                                        source_address=(source, 0) if source else None)

    def close(self):
        self.sock.close()


def sanitized():
    """True for a program built with AddressSanitizer."""
    if e2e.is_target():
        return False
    with open(e2e.VEXA, "rb") as program:
        return b"__asan_init" in program.read()


def read_all(sock):
    data = b""
    while True:
        chunk = sock.recv(65536)
        if not chunk:
            return data
        data += chunk


class FtpdTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.links = e2e.Links()

    @classmethod
    def tearDownClass(cls):
        cls.links.close()

    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="vexa-ftpd-")
        self.home = os.path.join(self.scratch, "home")
        self.local = os.path.join(self.scratch, "local")
        os.makedirs(self.home)
        os.makedirs(self.local)
        rng = random.Random(15)
        self.binary = bytes(rng.getrandbits(8) for _ in range(1 << 20))
        self.text = b"".join(b"line %d of the text\n" % i for i in range(20000))
        self.put_home("big.bin", self.binary)
        self.put_home("text.txt", self.text)
        self.server = None

    def tearDown(self):
        if self.server is not None and self.server.process.poll() is None:
            status, out, err = self.server.stop()
            self.assertEqual(status, 0, err)
            self.assertIn("stop server.\n", out)
        shutil.rmtree(self.scratch, ignore_errors=True)

    def start(self, *options, env=None):
        self.server = Server(self.links, self.home, *options, env=env)
        return self.server

    def put_home(self, name, data):
        path = os.path.join(self.home, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(data)

    def home_file(self, name):
        with open(os.path.join(self.home, name), "rb") as source:
            return source.read()

    def local_file(self, name, data=None):
        path = os.path.join(self.local, name)
        if data is not None:
            with open(path, "wb") as out:
                out.write(data)
        return path

    def read_local(self, name):
        with open(os.path.join(self.local, name), "rb") as source:
            return source.read()

    def url(self, path=""):
        return "ftp://127.0.0.1:%d/%s" % (self.server.port, path)

    def run_client(self, *command, input=None):
        result = subprocess.run(command, capture_output=True, timeout=CLIENT_TIMEOUT,
                                input=input, cwd=self.local)
        self.assertEqual(result.returncode, 0, "%s: %r %r" % (command, result.stdout[-2000:],
                                                              result.stderr[-2000:]))
        return result

    # ---- real clients ---------------------------------------------------------------------

    @unittest.skipUnless(have("curl"), "curl is missing")
    def test_curl(self):
        self.start()
        curl = ["curl", "-sS", "--max-time", "30", "-u", "test:"]
        for mode in (["--ftp-pasv"], ["--ftp-pasv", "--disable-epsv"], ["-P", "127.0.0.1"],
                     ["-P", "127.0.0.1", "--disable-eprt"]):
            got = self.run_client(*curl, *mode, self.url("big.bin")).stdout
            self.assertEqual(got, self.binary, mode)
            # curl turns the CR LF of an ASCII download back into LF itself.
            got = self.run_client(*curl, *mode, "-B", self.url("text.txt")).stdout
            self.assertEqual(got, self.text, mode)
            source = self.local_file("up.bin", self.binary[::-1])
            self.run_client(*curl, *mode, "-T", source, self.url("up%d.bin" % len(mode)))
            self.assertEqual(self.home_file("up%d.bin" % len(mode)), self.binary[::-1])
        # curl sends an ASCII upload as CR LF text; the server stores LF text.
        self.run_client(*curl, "-B", "-T", self.local_file("lf.txt", self.text),
                        self.url("ascii.txt"))
        self.assertEqual(self.home_file("ascii.txt"), self.text)
        # Resume a download and an upload, and a byte range.
        partial = self.local_file("resume.bin", self.binary[:300000])
        self.run_client(*curl, "-C", "-", "-o", partial, self.url("big.bin"))
        with open(partial, "rb") as source:
            self.assertEqual(source.read(), self.binary)
        self.put_home("cut.bin", self.binary[:123456])
        self.run_client(*curl, "-C", "-", "-T", self.local_file("whole.bin", self.binary),
                        self.url("cut.bin"))
        self.assertEqual(self.home_file("cut.bin"), self.binary)
        got = self.run_client(*curl, "-r", "1000-1999", self.url("big.bin")).stdout
        self.assertEqual(got, self.binary[1000:2000])
        listing = self.run_client(*curl, self.url()).stdout.decode()
        self.assertRegex(listing, r"(?m)^-rw-r--r-- +1 \S+ +\S+ +1048576 \w{3} [ \d]\d .{5} big.bin\r?$")
        names = self.run_client(*curl, "-l", self.url()).stdout.decode().splitlines()
        self.assertIn("text.txt", names)
        self.run_client(*curl, "-Q", "MKD made", "-Q", "-RNFR text.txt", "-Q", "-RNTO made/t.txt",
                        self.url())
        self.assertEqual(self.home_file("made/t.txt"), self.text)

    @unittest.skipUnless(have("lftp"), "lftp is missing")
    def test_lftp(self):
        self.start()
        tree = os.path.join(self.local, "tree")
        for index in range(6):
            os.makedirs(os.path.join(tree, "d%d" % (index % 2)), exist_ok=True)
            with open(os.path.join(tree, "d%d" % (index % 2), "f%d" % index), "wb") as out:
                out.write(self.binary[index * 1000:index * 1000 + 70000])
        self.local_file("put.bin", self.binary[:777777])
        script = ("set net:max-retries 1; set net:timeout 20; set ftp:passive-mode on; "
                  "cls -l; get big.bin -o got.bin; put put.bin; "
                  "pget -n 4 big.bin -o pget.bin; mirror -R --parallel=3 tree tree; "
                  "set ftp:passive-mode off; get text.txt -o active.txt; "
                  "get -a text.txt -o ascii.txt; bye")
        result = self.run_client("lftp", "-u", "test,", "-p", str(self.server.port),
                                 "-e", script, "127.0.0.1")
        self.assertRegex(result.stdout.decode(), r"big\.bin")
        self.assertEqual(self.read_local("got.bin"), self.binary)
        self.assertEqual(self.read_local("pget.bin"), self.binary)
        self.assertEqual(self.read_local("active.txt"), self.text)
        self.assertEqual(self.read_local("ascii.txt"), self.text)
        self.assertEqual(self.home_file("put.bin"), self.binary[:777777])
        for index in range(6):
            name = os.path.join("tree", "d%d" % (index % 2), "f%d" % index)
            self.assertEqual(self.home_file(name), self.binary[index * 1000:index * 1000 + 70000])

    @unittest.skipUnless(have("ncftpget") and have("ncftpput"), "ncftp is missing")
    def test_ncftp(self):
        self.start()
        common = ["-P", str(self.server.port), "-u", "test", "-p", "x", "-t", "20"]
        self.run_client("ncftpget", *common, "127.0.0.1", self.local, "/big.bin")
        self.assertEqual(self.read_local("big.bin"), self.binary)
        self.run_client("ncftpget", *common, "-a", "127.0.0.1", self.local, "/text.txt")
        self.assertEqual(self.read_local("text.txt"), self.text)
        self.run_client("ncftpput", *common, "127.0.0.1", "/",
                        self.local_file("nc.bin", self.binary[5:]))
        self.assertEqual(self.home_file("nc.bin"), self.binary[5:])
        self.run_client("ncftpput", *common, "-a", "127.0.0.1", "/",
                        self.local_file("nc.txt", self.text))
        self.assertEqual(self.home_file("nc.txt"), self.text)

    @unittest.skipUnless(have("inetutils-ftp"), "inetutils ftp is missing")
    def test_inetutils_ftp(self):
        self.start()
        self.local_file("in.bin", self.binary[::3])
        self.local_file("in.txt", self.text)
        for passive in (["-p"], []):
            script = ("user test x\nbinary\nget big.bin got.bin\nput in.bin in.bin\n"
                      "ascii\nget text.txt got.txt\nput in.txt in.txt\nbye\n")
            self.run_client("inetutils-ftp", "-n", *passive, "127.0.0.1", str(self.server.port),
                            input=script.encode())
            self.assertEqual(self.read_local("got.bin"), self.binary)
            self.assertEqual(self.read_local("got.txt"), self.text)
            self.assertEqual(self.home_file("in.bin"), self.binary[::3])
            self.assertEqual(self.home_file("in.txt"), self.text)
            os.remove(os.path.join(self.home, "in.bin"))

    @unittest.skipUnless(have("busybox"), "busybox is missing")
    def test_busybox(self):
        self.start()
        common = ["-P", str(self.server.port), "-u", "test", "-p", "x", "127.0.0.1"]
        self.run_client("busybox", "ftpget", *common, "bb.bin", "big.bin")
        self.assertEqual(self.read_local("bb.bin"), self.binary)
        self.local_file("bbup.bin", self.binary[7:])
        self.run_client("busybox", "ftpput", *common, "bbup.bin", "bbup.bin")
        self.assertEqual(self.home_file("bbup.bin"), self.binary[7:])
        # -c continues a cut download.
        self.local_file("cont.bin", self.binary[:4321])
        self.run_client("busybox", "ftpget", "-c", *common, "cont.bin", "big.bin")
        self.assertEqual(self.read_local("cont.bin"), self.binary)

    def test_python_ftplib(self):
        self.start()
        for passive in (True, False):
            client = ftplib.FTP()
            client.connect("127.0.0.1", self.server.port, timeout=20)
            client.login("test", "")
            client.set_pasv(passive)
            got = io.BytesIO()
            client.retrbinary("RETR big.bin", got.write)
            self.assertEqual(got.getvalue(), self.binary)
            lines = []
            client.retrlines("RETR text.txt", lines.append)
            self.assertEqual(b"".join(line.encode() + b"\n" for line in lines), self.text)
            client.storbinary("STOR py.bin", io.BytesIO(self.binary[::-1]))
            self.assertEqual(self.home_file("py.bin"), self.binary[::-1])
            client.storlines("STOR py.txt", io.BytesIO(self.text))
            self.assertEqual(self.home_file("py.txt"), self.text)
            client.voidcmd("TYPE I")
            self.assertEqual(client.size("big.bin"), len(self.binary))
            got = io.BytesIO()
            client.retrbinary("RETR big.bin", got.write, rest=1000)
            self.assertEqual(got.getvalue(), self.binary[1000:])
            client.quit()

    # ---- edge cases -------------------------------------------------------------------------

    def test_edge_cases(self):
        self.start()
        control = Control(self.server.port)
        self.assertEqual(control.greeting, "220 TARVIK FTP Server")
        self.assertEqual(control.command("user x"), "500 user not understood")
        self.assertEqual(control.command("NOOP"), "530 Please login with USER and PASS !")
        self.assertEqual(control.command("USER test"), "230 Login successful.")
        self.assertEqual(control.command("PASS x"), "530 Please login with USER !")
        self.assertEqual(control.command("CWD .."), "250 CWD command successful")
        self.assertEqual(control.command("PWD"), '257 "/" is current directory.')
        self.assertEqual(control.command("PORT 10,0,0,1,4,300"), "501 Illegal PORT command")
        self.put_home("four", b"a\nb\n")
        # ASCII is the protocol's default type.
        self.assertEqual(control.command("SIZE four"), "213 6")
        self.assertEqual(control.command("TYPE A"), "200 Type set to A")
        self.assertEqual(control.command("SIZE four"), "213 6")
        self.assertEqual(control.command("TYPE I"), "200 Type set to I")
        self.assertEqual(control.command("SIZE four"), "213 4")
        help_lines = control.command("HELP").split("\n")
        self.assertEqual(len(help_lines), 9)
        self.assertTrue(help_lines[0].startswith("214-"))
        self.assertTrue(all(line.startswith(" ") for line in help_lines[1:8]))
        self.assertTrue(help_lines[8].startswith("214 "))
        # REST 100 then RETR sends from byte 100; with a NOOP between, the offset is gone.
        data = control.pasv()
        self.assertEqual(control.command("REST 100"), "350 Restart position ready")
        self.assertEqual(control.command("RETR big.bin"), "150 Opening data connection")
        self.assertEqual(read_all(data), self.binary[100:])
        self.assertEqual(control.reply(), "226 Transfer complete")
        data = control.pasv()
        control.command("REST 100")
        control.command("NOOP")
        control.command("RETR big.bin")
        self.assertEqual(read_all(data), self.binary)
        self.assertEqual(control.reply(), "226 Transfer complete")
        self.assertEqual(control.command("REST -1"), "501 Invalid restart position !")
        self.assertEqual(control.command("QUIT"), "221 Good-bye")
        control.close()

    # ---- attacks ----------------------------------------------------------------------------

    def test_attack_rows(self):
        os.makedirs(os.path.join(self.home, "sub"))
        os.symlink("/etc", os.path.join(self.home, "abs"))
        os.symlink("../../..", os.path.join(self.home, "rel"))
        os.symlink("/", os.path.join(self.home, "sub", "mid"))
        os.symlink("/proc/self/root", os.path.join(self.home, "procroot"))
        self.start()
        control = Control(self.server.port)
        control.login()
        escapes = ["../../../../etc/passwd", "//etc/passwd", "/./../etc/passwd",
                   "sub/..\\..\\..\\etc\\passwd", "abs/passwd", "rel/etc/passwd",
                   "sub/mid/etc/passwd", "procroot/etc/passwd", "sub/mid/../mid/etc/passwd"]
        for path in escapes:
            self.assertRegex(control.command("SIZE " + path), r"^550 ", path)
            self.assertRegex(control.command("MDTM " + path), r"^550 ", path)
            data = control.pasv()
            answer = control.command("RETR " + path)
            if answer.startswith("150"):
                self.fail("RETR %s was served" % path)
            data.close()
            self.assertRegex(control.command("CWD " + path.rsplit("/", 1)[0]),
                             r"^(550|250 CWD command successful)", path)
            control.command("CWD /")
            self.assertRegex(control.command("DELE " + path), r"^550 ", path)
            self.assertRegex(control.command("MKD " + path + ".d"), r"^550 ", path)
            self.assertRegex(control.command("RNFR " + path), r"^550 ", path)
        self.assertTrue(os.path.exists("/etc/passwd"))
        for path in ["abs", "rel", "sub/mid", "procroot", "sub/mid/etc"]:
            self.assertEqual(control.command("CWD " + path), "550 Can not change directory !")
        self.assertEqual(control.command("PWD"), '257 "/" is current directory.')
        # A listing through a link that leads out shows nothing of the outside.
        for path in ["abs", "sub/mid/etc", "procroot/etc", "rel/*", "{..,x}/*", "*/*/*"]:
            data = control.pasv()
            self.assertEqual(control.command("NLST " + path),
                             "150 Opening ASCII mode data connection for file list")
            names = read_all(data).decode("latin-1")
            self.assertEqual(control.reply(), "226 Transfer complete")
            self.assertNotIn("passwd", names, path)
        # 4 KiB paths, NUL, overlong and CR-only lines, glob bombs, IAC.
        self.assertEqual(control.command("CWD " + "a/" * 2048), "500 Command line too long !")
        self.assertEqual(control.command("NLST " + "*" * 4096), "500 Command line too long !")
        control.raw(b"\r" * 5000 + b"\n")
        self.assertEqual(control.reply(), "500 Command line too long !")
        self.assertEqual(control.command("CWD sub\0/../.."), "501 Invalid character in command !")
        for pattern in ["*" * 400, "*/*/*", "[", "[a-", "*/" * 100]:
            data = control.pasv()
            control.command("NLST " + pattern)
            read_all(data)
            self.assertEqual(control.reply(), "226 Transfer complete", pattern)
        control.raw(b"\xff\xf4\xff\xf2NOOP\r\n")
        self.assertEqual(control.line()[:4], "\xff\xf4\xff\xf2")
        self.assertEqual(control.command("SYST"), "215 UNIX Type: L8")
        # Bounce: PORT and EPRT to another host or a low port.
        self.assertEqual(control.command("PORT 127,0,0,2,19,137"), "501 Illegal PORT command")
        self.assertEqual(control.command("PORT 127,0,0,1,0,25"), "501 Illegal PORT command")
        # Passive theft: the first connection from 127.0.0.2 gets nothing.
        answer = control.command("PASV")
        numbers = [int(n) for n in re.search(r"\((\d+(?:,\d+){5})\)", answer).group(1).split(",")]
        port = numbers[4] * 256 + numbers[5]
        thief = socket.create_connection(("127.0.0.1", port), timeout=10,
                                         source_address=("127.0.0.2", 0))
        data = socket.create_connection(("127.0.0.1", port), timeout=10)
        control.command("RETR big.bin")
        self.assertEqual(read_all(data), self.binary)
        self.assertEqual(control.reply(), "226 Transfer complete")
        try:
            self.assertEqual(read_all(thief), b"")
        except ConnectionResetError:
            pass
        self.assertEqual(control.command("EPRT |1|127.0.0.2|5000|"),
                         "502 EPRT command not implemented !")
        self.assertEqual(control.line(), "")
        control.close()

    # ---- system accounts ----------------------------------------------------------------------

    @unittest.skipUnless(os.geteuid() == 0 and have("useradd"), "needs root and useradd")
    def test_system_accounts(self):
        if e2e.is_target() and not os.path.exists("/usr/mipsel-linux-gnu/lib/libcrypt.so.1"):
            self.skipTest("no crypt library for the emulated target")
        user = "vexaftp%d" % os.getpid()
        user_home = os.path.join(self.scratch, user)
        subprocess.run(["useradd", "-m", "-d", user_home, "-s", "/bin/false", user], check=True,
                       capture_output=True)
        try:
            subprocess.run(["chpasswd"], input=("%s:s3cret-Pass\n" % user).encode(), check=True)
            with open(os.path.join(user_home, "mine.txt"), "wb") as out:
                out.write(b"mine\n")
            self.start()
            control = Control(self.server.port)
            self.assertEqual(control.command("USER " + user), "331 Password required for " + user)
            self.assertEqual(control.command("PASS wrong"), "530 Login incorrect !")
            control.command("USER " + user)
            self.assertEqual(control.command("PASS s3cret-Pass"), "230 Login successful.")
            self.assertEqual(control.command("PWD"), '257 "/" is current directory.')
            self.assertEqual(control.command("SIZE mine.txt"), "213 6")
            self.assertEqual(control.command("TYPE I"), "200 Type set to I")
            self.assertEqual(control.command("SIZE mine.txt"), "213 5")
            data = control.pasv()
            control.command("STOR owned.bin")
            data.sendall(b"x" * 1000)
            data.close()
            self.assertEqual(control.reply(), "226 Transfer complete")
            status = os.stat(os.path.join(user_home, "owned.bin"))
            self.assertEqual(status.st_uid, int(subprocess.check_output(["id", "-u", user])))
            self.assertEqual(control.command("CWD /etc"), "550 /etc: No such file or directory")
            control.close()
            # A locked entry never logs in.
            subprocess.run(["usermod", "-L", user], check=True, capture_output=True)
            control = Control(self.server.port)
            control.command("USER " + user)
            self.assertEqual(control.command("PASS s3cret-Pass"), "530 Login incorrect !")
            control.close()
            subprocess.run(["usermod", "-U", user], check=True, capture_output=True)
            self.server.stop()
            # Without a loadable crypt library the login is refused cleanly.
            self.start(env={"TARVIK_FTPD_CRYPT_LIBRARIES": "libnothere.so|/nonexistent.so"})
            control = Control(self.server.port)
            control.command("USER " + user)
            self.assertEqual(control.command("PASS s3cret-Pass"), "530 Login incorrect !")
            self.assertEqual(control.command("USER test"), "230 Login successful.")
            control.close()
        finally:
            subprocess.run(["userdel", "-r", "-f", user], capture_output=True)

    # ---- bounded loads ----------------------------------------------------------------------

    def test_concurrent_sessions(self):
        """64 sessions at once: each logs in, downloads 1 MiB, uploads 1 MiB, reads it back."""
        self.start("--max-sessions=80")
        failures = []
        barrier = threading.Barrier(64, timeout=60)

        def session(index):
            try:
                client = ftplib.FTP()
                client.connect("127.0.0.1", self.server.port, timeout=60)
                client.login("test", "")
                barrier.wait()
                got = io.BytesIO()
                client.retrbinary("RETR big.bin", got.write)
                payload = self.binary[index:] + self.binary[:index]
                client.storbinary("STOR s%d.bin" % index, io.BytesIO(payload))
                back = io.BytesIO()
                client.retrbinary("RETR s%d.bin" % index, back.write)
                client.quit()
                if got.getvalue() != self.binary or back.getvalue() != payload:
                    failures.append("session %d: bytes differ" % index)
            except Exception as error:  # noqa: BLE001 - reported below
                failures.append("session %d: %r" % (index, error))

        threads = [threading.Thread(target=session, args=(i,)) for i in range(64)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(120)
        self.assertEqual(failures, [])

    def test_burst_over_the_cap(self):
        """Twice the cap at once: the extra clients hear 421 within 2 s."""
        self.start("--max-sessions=16")
        clients = []
        started = time.monotonic()
        for _ in range(32):
            clients.append(socket.create_connection(("127.0.0.1", self.server.port), timeout=5))
        answers = []
        for client in clients:
            client.settimeout(max(0.1, 2.0 - (time.monotonic() - started)))
            try:
                answers.append(client.recv(200)[:4])
            except socket.timeout:
                answers.append(b"stall")
        for client in clients:
            client.close()
        self.assertEqual(answers.count(b"220 "), 16, answers)
        self.assertEqual(answers.count(b"421 "), 16, answers)

    def test_connect_reset_cycles(self):
        """1000 connect/reset cycles leave descriptors, threads and memory where they were.
        AddressSanitizer's quarantine would hold every freed block: it is switched off."""
        self.start(env={"ASAN_OPTIONS": "quarantine_size_mb=0:thread_local_quarantine_size_kb=0"})
        pid = self.server.process.pid

        def figures():
            descriptors = len(os.listdir("/proc/%d/fd" % pid))
            threads = len(os.listdir("/proc/%d/task" % pid))
            with open("/proc/%d/status" % pid) as status:
                rss = int(re.search(r"VmRSS:\s+(\d+)", status.read()).group(1))
            return descriptors, threads, rss

        def cycles(count):
            for index in range(count):
                sock = socket.create_connection(("127.0.0.1", self.server.port), timeout=5)
                if index % 2:
                    sock.recv(100)
                    sock.sendall(b"USER test\r\nNOOP\r\n")
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\0\0\0\0\0\0\0")
                sock.close()

        def settled(before):
            return e2e.wait_for(lambda: figures()[:2] == before[:2], timeout=10)

        # The first few hundred sessions warm the C library's arenas and stack cache.
        cycles(500)
        # The last sessions of the warm-up may still be ending on a loaded machine: the
        # reference is the server with no session thread left.
        e2e.wait_for(lambda: figures()[1] == 1, timeout=10)
        time.sleep(0.2)
        start = figures()
        cycles(1000)
        self.assertTrue(settled(start), (start, figures()))
        end = figures()
        self.assertEqual(end[:2], start[:2])
        # AddressSanitizer keeps a record of every thread that ever ran (up to 1 KiB each);
        # under the emulator the figure is the emulator's own (its code cache).
        slack = 1024 if sanitized() else 0
        if not e2e.is_target():
            self.assertLessEqual(end[2], start[2] * 1.05 + slack, (start, end))
        control = Control(self.server.port)
        self.assertEqual(control.login(), "230 Login successful.")
        control.close()


if __name__ == "__main__":
    e2e.main(__doc__)
