#!/usr/bin/env python3
"""The plugin applet and the stream contexts behind every stream-reading applet, run for
real: the plugin list and its XML form, --exec, plugin files in the working directory
(loaded only for development), and streams read through `cat` byte for byte: TFTP from
in.tftpd (tftp-hpa), FTP from pyftpdlib (read, write, append resume), pipes, and UDP
multicast inside a private network namespace.

Usage: test_plugin.py <vexa>
"""
import os
import random
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

import vexa_e2e as e2e

ZLIB_PLUGIN = "tarvik_plugin_zlib.so"


def zlib_plugin():
    """The zlib plugin file beside the program, or None."""
    path = os.path.join(os.path.dirname(os.path.realpath(e2e.VEXA)), ZLIB_PLUGIN)
    return path if os.path.exists(path) else None


class PluginAppletTest(unittest.TestCase):
    def test_self_is_listed_with_its_interface(self):
        outcome = e2e.run("plugin")
        self.assertEqual(outcome.returncode, 0, outcome)
        lines = e2e.strip_ansi(outcome.stdout).splitlines()
        self.assertEqual(lines[0], '* plugin-name: "@self"')
        self.assertEqual(lines[1], '  - mime-type-hint="application/qvl_base;application/'
                         'qvl_stream*;application/qvl_fb;application/qvl_linuxfb;application/'
                         'qvl_windows_dib;application/qvl_multicall*"')
        self.assertEqual(lines[2], '  - interface-type="ctx0" (00000001H)')
        size = 116 if e2e.is_target() else 216  # the table of 32-bit or 64-bit words
        self.assertEqual(lines[3], '  - interface-struct-size="%d" (%08XH)' % (size, size))
        self.assertEqual(lines[4], '  - interface-version="1" (00000001H)')
        self.assertEqual(lines[5], '  - interface-flags="00000000H"')
        self.assertTrue(lines[6].startswith('  - main-entry="executable" ('), lines[6])
        self.assertEqual(len(lines), 7)
        # The same for the empty name and "@self" given twice; the colours on a terminal.
        twice = e2e.run("plugin", "@self", "")
        self.assertEqual(twice.stdout.count("plugin-name"), 2)
        terminal = e2e.run_pty([e2e.VEXA, "plugin"])
        self.assertIn(b'\x1b[1;33m*\x1b[0m plugin-name: "\x1b[1;37m@self\x1b[0m"', terminal.stdout)

    def test_xml_is_well_formed_and_names_failures(self):
        names = ["@self", "no_such_plugin.so"]
        if zlib_plugin():
            names.append(ZLIB_PLUGIN)
        outcome = e2e.run("plugin", "--xml", *names)
        self.assertEqual(outcome.returncode, 1, outcome)  # one plugin failed to load
        self.assertTrue(outcome.stdout.startswith(
            "<?xml version='1.0' encoding='UTF-8' standalone='yes'?>\n<!-- "), outcome.stdout)
        self.assertTrue(outcome.stdout.endswith("</plugin>\n<!-- end of plugin.xml -->\n"))
        self.assertIn("can not load plugin", outcome.stderr)
        if shutil.which("xmllint"):
            lint = subprocess.run(["xmllint", "--noout", "-"], input=outcome.stdout,
                                  capture_output=True, text=True)
            self.assertEqual(lint.returncode, 0, lint.stderr)
        import xml.etree.ElementTree as tree
        root = tree.fromstring(outcome.stdout.split("\n", 1)[1])
        items = root.findall("item")
        self.assertEqual([item.get("index") for item in items],
                         [str(index) for index in range(len(names))])
        self.assertEqual([item.findtext("name") for item in items], names)
        self.assertEqual([item.findtext("valid") for item in items],
                         ["yes", "no"] + (["yes"] if len(names) > 2 else []))
        self.assertEqual(items[0].find("interface/type").get("value"), "1")
        self.assertEqual(items[0].findtext("interface/type"), "ctx0")
        self.assertEqual(items[0].findtext("main/executable"), "yes")
        self.assertIsNone(items[1].find("interface"))

    def test_help_and_failures(self):
        outcome = e2e.run("plugin", "--help")
        self.assertEqual(outcome.returncode, 1)
        self.assertEqual(outcome.stdout, "usage: plugin [<options>] <plugin-name> ...\noptions:\n"
                         "\t-h, --help                       : help\n"
                         "\t    --xml                        : dump information (xml format)\n"
                         "\t-x, --exec <plugin-name> [<args>]: execute plugin\n\n")
        missing = e2e.run("plugin", "--exec", "no_such_plugin.so", "x")
        self.assertEqual(missing.returncode, 1)
        self.assertIn('can not load plugin : "no_such_plugin.so', e2e.strip_ansi(missing.stderr))
        listed = e2e.run("plugin", "no_such_plugin.so")
        self.assertEqual(listed.returncode, 1)

    def test_exec_runs_the_main_entry(self):
        plugin = zlib_plugin()
        if plugin is None:
            self.skipTest("no zlib plugin beside the program")
        data = bytes(random.Random(7).getrandbits(8) for _ in range(50000)) * 3
        outcome = e2e.run("plugin", "--exec", ZLIB_PLUGIN, "gzip", "-c", input=data, binary=True)
        self.assertEqual(outcome.returncode, 0, outcome.stderr)
        import gzip
        self.assertEqual(gzip.decompress(outcome.stdout), data)
        back = e2e.run("plugin", "-x", plugin, "gunzip", "-c", input=outcome.stdout, binary=True)
        self.assertEqual((back.returncode, back.stdout), (0, data))

    def test_working_directory_is_no_plugin_directory(self):
        plugin = zlib_plugin()
        if plugin is None:
            self.skipTest("no zlib plugin beside the program")
        directory = tempfile.mkdtemp(prefix="vexa-plugin-cwd-")
        try:
            shutil.copy(plugin, os.path.join(directory, "dropped.so"))
            refused = e2e.run("plugin", "dropped.so", cwd=directory,
                              env={"TARVIK_PLUGIN_DEVELOPMENT": ""})
            self.assertEqual(refused.returncode, 1, refused)
            self.assertNotIn("interface-type", refused.stdout)
            loaded = e2e.run("plugin", "dropped.so", cwd=directory,
                             env={"TARVIK_PLUGIN_DEVELOPMENT": "1"})
            self.assertEqual(loaded.returncode, 0, loaded)
            self.assertIn('interface-type="', loaded.stdout)
            # A program without the plugin beside it never takes the gzip applets from the
            # working directory, however the file is named there.
            shutil.copy(plugin, os.path.join(directory, ZLIB_PLUGIN))
            alone = os.path.join(directory, "bin")
            os.mkdir(alone)
            program = os.path.join(alone, "vexa")
            shutil.copy(os.path.realpath(e2e.VEXA), program)
            gone = e2e.run("gzip", "-c", program=program, cwd=directory, input=b"x",
                           env={"TARVIK_PLUGIN_DEVELOPMENT": ""}, binary=True)
            self.assertIn(b"Applets:", gone.stdout, "no gzip applet: the usage is shown")
            self.assertNotIn(b"gzip", gone.stdout)
            taken = e2e.run("gzip", "-c", program=program, cwd=directory, input=b"x",
                            env={"TARVIK_PLUGIN_DEVELOPMENT": "1"}, binary=True)
            self.assertEqual(taken.returncode, 0, "development loading takes it")
            self.assertTrue(taken.stdout.startswith(b"\x1f\x8b"), taken.stdout[:20])
        finally:
            shutil.rmtree(directory, ignore_errors=True)


def random_file(path, size, seed):
    data = random.Random(seed).randbytes(size)
    with open(path, "wb") as handle:
        handle.write(data)
    os.chmod(path, 0o644)
    return data


class Server:
    """A peer process, stopped at the end."""

    def __init__(self, command, ready):
        self.process = subprocess.Popen(command, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
        if not e2e.wait_for(ready, timeout=10):
            self.close()
            raise unittest.SkipTest("peer did not start: %s" % " ".join(command))

    def close(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def udp_port_free(port):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        try:
            probe.bind(("127.0.0.1", port))
            return True
        except OSError:
            return False


class TftpStreamTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        tftpd = shutil.which("in.tftpd") or "/usr/sbin/in.tftpd"
        if not os.path.exists(tftpd):
            raise unittest.SkipTest("in.tftpd (tftpd-hpa) is not installed")
        cls.directory = tempfile.mkdtemp(prefix="vexa-tftp-")
        os.chmod(cls.directory, 0o755)  # the server reads as an unprivileged user
        cls.port = 6969 if udp_port_free(6969) else e2e.free_port()
        cls.files = {
            "exact512": random_file(os.path.join(cls.directory, "exact512"), 512, 1),
            "empty": random_file(os.path.join(cls.directory, "empty"), 0, 2),
            "odd": random_file(os.path.join(cls.directory, "odd"), 70001, 3),
            # 81920 blocks: the block number wraps past 65535.
            "big": random_file(os.path.join(cls.directory, "big"), 40 * 1024 * 1024, 4),
        }
        cls.server = Server([tftpd, "-L", "-a", "127.0.0.1:%d" % cls.port, "-s", cls.directory],
                            lambda: not udp_port_free(cls.port))

    @classmethod
    def tearDownClass(cls):
        cls.server.close()
        shutil.rmtree(cls.directory, ignore_errors=True)

    def url(self, name):
        return "tftp://127.0.0.1:%d/%s" % (self.port, name)

    def test_files_arrive_byte_identical(self):
        for name, data in self.files.items():
            outcome = e2e.run("cat", self.url(name), binary=True, timeout=120)
            self.assertEqual(outcome.returncode, 0, (name, outcome.stderr))
            self.assertTrue(outcome.stdout == data, "%s: %d of %d bytes" %
                            (name, len(outcome.stdout), len(data)))

    def test_missing_file_fails(self):
        outcome = e2e.run("cat", self.url("missing"), binary=True)
        self.assertNotEqual(outcome.returncode, 0)
        self.assertEqual(outcome.stdout, b"")
        # The digest applets take the same locators.
        digest = e2e.run("md5", "-n", self.url("odd"))
        import hashlib
        self.assertIn(hashlib.md5(self.files["odd"]).hexdigest().upper(), digest.stdout)


class FtpStreamTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        probe = subprocess.run(["/usr/bin/python3", "-c", "import pyftpdlib"],
                               capture_output=True)
        if probe.returncode != 0:
            raise unittest.SkipTest("pyftpdlib is not installed")
        cls.directory = tempfile.mkdtemp(prefix="vexa-ftp-")
        os.chmod(cls.directory, 0o777)
        cls.port = e2e.free_port()
        script = ("import sys\n"
                  "from pyftpdlib.authorizers import DummyAuthorizer\n"
                  "from pyftpdlib.handlers import FTPHandler\n"
                  "from pyftpdlib.servers import FTPServer\n"
                  "a = DummyAuthorizer(); a.add_anonymous(sys.argv[2], perm='elradfmwMT')\n"
                  "FTPHandler.authorizer = a\n"
                  "FTPServer(('127.0.0.1', int(sys.argv[1])), FTPHandler).serve_forever()\n")

        def listening():
            with socket.socket() as probe:
                return probe.connect_ex(("127.0.0.1", cls.port)) == 0
        cls.server = Server(["/usr/bin/python3", "-c", script, str(cls.port), cls.directory],
                            listening)

    @classmethod
    def tearDownClass(cls):
        cls.server.close()
        shutil.rmtree(cls.directory, ignore_errors=True)

    def url(self, name):
        return "ftp://127.0.0.1:%d/%s" % (self.port, name)

    def test_read_write_and_append(self):
        data = random_file(os.path.join(self.directory, "served"), 3 * 1024 * 1024 + 17, 5)
        outcome = e2e.run("cat", self.url("served"), binary=True)
        self.assertEqual(outcome.returncode, 0, outcome.stderr)
        self.assertTrue(outcome.stdout == data)
        upload = random.Random(6).randbytes(1500000)
        first = e2e.run("test", "ctx_write", "wb " + self.url("up"), input=upload[:600000],
                        binary=True)
        self.assertEqual((first.returncode, first.stdout), (0, b"ctx_write: ok\n"))
        with open(os.path.join(self.directory, "up"), "rb") as handle:
            self.assertTrue(handle.read() == upload[:600000])
        rest = e2e.run("test", "ctx_write", "ab " + self.url("up"), input=upload[600000:],
                       binary=True)
        self.assertEqual((rest.returncode, rest.stdout), (0, b"ctx_write: ok\n"))
        with open(os.path.join(self.directory, "up"), "rb") as handle:
            self.assertTrue(handle.read() == upload)
        missing = e2e.run("cat", self.url("missing"), binary=True)
        self.assertNotEqual(missing.returncode, 0)


HTTP_SERVER = """
import http.server, sys
class Handler(http.server.SimpleHTTPRequestHandler):
    def do_GET(self):
        if self.path.startswith("/echo"):
            body = "".join("%s: %s\\n" % (name, value) for name, value in self.headers.items()
                           if name.lower().startswith("x-")).encode()
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
        elif self.path == "/moved":
            self.send_response(302)
            self.send_header("Location", "/served")
            self.end_headers()
        else:
            super().do_GET()
    def log_message(self, *arguments):
        pass
server = http.server.ThreadingHTTPServer(("127.0.0.1", int(sys.argv[1])),
    lambda *a: Handler(*a, directory=sys.argv[2]))
server.serve_forever()
"""


class HttpStreamTest(unittest.TestCase):
    """HTTP URLs, served by the curl plugin file when it lies beside the program."""

    @classmethod
    def setUpClass(cls):
        plugin = os.path.join(os.path.dirname(os.path.realpath(e2e.VEXA)),
                              "tarvik_plugin_curl.so")
        if not os.path.exists(plugin):
            raise unittest.SkipTest("no curl plugin beside the program")
        cls.directory = tempfile.mkdtemp(prefix="vexa-http-")
        cls.port = e2e.free_port()
        cls.data = random_file(os.path.join(cls.directory, "served"), 5 * 1024 * 1024 + 3, 9)

        def listening():
            with socket.socket() as probe:
                return probe.connect_ex(("127.0.0.1", cls.port)) == 0
        cls.server = Server([sys.executable, "-c", HTTP_SERVER, str(cls.port), cls.directory],
                            listening)

    @classmethod
    def tearDownClass(cls):
        cls.server.close()
        shutil.rmtree(cls.directory, ignore_errors=True)

    def url(self, path):
        return "http://127.0.0.1:%d/%s" % (self.port, path)

    def test_stream_applets_read_http(self):
        for path in ("served", "moved"):
            outcome = e2e.run("cat", self.url(path), binary=True)
            self.assertEqual(outcome.returncode, 0, outcome.stderr)
            self.assertTrue(outcome.stdout == self.data, path)
        missing = e2e.run("cat", self.url("missing"), binary=True)
        self.assertNotEqual(missing.returncode, 0)
        self.assertEqual(missing.stdout, b"")
        # Only reading: a writing mode passes the URL on, and nobody else serves it.
        write = e2e.run("test", "ctx_write", "wb " + self.url("up"), input=b"x", binary=True)
        self.assertEqual(write.returncode, 1)

    def test_simple_get_sends_every_header_line(self):
        outcome = e2e.run("test", "http_get", self.url("echo"),
                          input="X-First: one\r\n\r\nX-Second: two\nX-First: again")
        self.assertEqual(outcome.returncode, 0, outcome)
        self.assertEqual(outcome.stdout, "X-First: one\nX-Second: two\nX-First: again\n")
        whole = e2e.run("test", "http_get", self.url("served"), input=b"", binary=True)
        self.assertTrue(whole.stdout == self.data)
        self.assertEqual(e2e.run("test", "http_get", self.url("missing")).returncode, 1)


class PipeAndUdpStreamTest(unittest.TestCase):
    def test_pipe_command(self):
        directory = tempfile.mkdtemp(prefix="vexa-pipe-")
        try:
            data = random_file(os.path.join(directory, "in"), 300000, 8)
            outcome = e2e.run("cat", "pipe://cat %s" % os.path.join(directory, "in"),
                              binary=True)
            self.assertEqual(outcome.returncode, 0, outcome.stderr)
            self.assertTrue(outcome.stdout == data)
            written = e2e.run("test", "ctx_write",
                              "wb pipe://cat >%s" % os.path.join(directory, "out"), input=data,
                              binary=True)
            self.assertEqual(written.returncode, 0, written)
            with open(os.path.join(directory, "out"), "rb") as handle:
                self.assertTrue(handle.read() == data)
        finally:
            shutil.rmtree(directory, ignore_errors=True)

    def test_multicast_group_in_a_private_network(self):
        e2e.require_namespaces(self, net=True)
        # The receiver joins the group on the loopback link of a private network; the
        # sender's datagrams arrive in order; a writing mode is refused.
        sender = ("import socket, sys, time\n"
                  "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
                  "s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 1)\n"
                  "s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF,"
                  " socket.inet_aton('127.0.0.1'))\n"
                  "for n in range(200):\n"
                  "    s.sendto(b'datagram %04d|' % n, ('239.7.7.7', 5004))\n"
                  "    time.sleep(0.002)\n")
        script = ("ip link set lo up && ip link set lo multicast on && "
                  "ip route add 224.0.0.0/4 dev lo && "
                  "{ \"$0\" test ctx_write 'wb udp://239.7.7.7:5004' </dev/null; echo write=$?; }"
                  " && { timeout 4 \"$0\" cat udp://239.7.7.7:5004 > \"$1\" & } && sleep 0.7 && "
                  "%s -c \"$2\" && wait; true") % sys.executable
        directory = tempfile.mkdtemp(prefix="vexa-udp-")
        try:
            out = os.path.join(directory, "out")
            outcome = e2e.in_namespaces(script, out, sender, net=True, timeout=60)
            self.assertIn("write=1", outcome.stdout, outcome)
            with open(out, "rb") as handle:
                received = handle.read()
            expected = b"".join(b"datagram %04d|" % n for n in range(200))
            self.assertEqual(received, expected)
        finally:
            shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    e2e.main(__doc__)
