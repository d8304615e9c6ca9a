"""The CGI reports ps.cgi, cputick.cgi and version.cgi under a real web server (lighttpd with
mod_cgi on loopback), fetched with curl: well-formed documents (xmllint) with the four report
headers and the standard ones, HEAD without a body, one Date only; tick counters that lie
between two readings of /proc/stat; a POST of 100 MiB refused at once by a process that stays
a few MiB. Then authentication through the same server, with the exercise `test cgi` behind
one account: curl --basic and --digest with right and wrong passwords, Python's urllib digest
handler, and a Digest header whose nonce left the window refused with stale=true. Last, the
status page of www/ served by the same server inside a private PID namespace and loaded in
headless Chromium: no console message, the process table of the namespace (sorted as its
link asks), a graph with several readings, the version facts; a screenshot is kept in
artifacts/ beside the program."""
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.request

import vexa_e2e as e2e

LIGHTTPD = shutil.which("lighttpd") or "/usr/sbin/lighttpd"
CHROMIUM = shutil.which("chromium-headless-shell") or shutil.which("chromium")
WWW = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "www")
REPORTS = ["ps.cgi", "cputick.cgi", "version.cgi"]
USER, PASSWORD = "admin", "s3cret"
REPORT_HEADERS = {
    "content-type": "text/xml; charset=UTF-8",
    "cache-control": "no-cache, no-store, must-revalidate",
    "pragma": "no-cache",
    "access-control-allow-origin": "*",
}
MIB = 1024 * 1024

CONFIG = """
server.document-root = "{root}/www"
server.bind = "127.0.0.1"
server.port = {port}
server.errorlog = "{root}/error.log"
server.modules = ("mod_cgi")
server.max-request-size = 204800
server.upload-dirs = ("{root}")
cgi.assign = (".cgi" => "")
index-file.names = ("index.html")
mimetype.assign = (".html" => "text/html", ".xml" => "text/xml", ".js" => "text/javascript",
                   ".css" => "text/css")
"""

# Runs the report it is named after (minus "-measured") as a child and records its peak
# resident size in kB, so that the test can see what a huge request body cost it. The server
# ends a CGI that is still there once the answer is complete: the wrapper stays for its record.
MEASURED = """#!{python}
import os, resource, signal, subprocess, sys
signal.signal(signal.SIGTERM, signal.SIG_IGN)
status = subprocess.call([{program!r}])
with open({record!r}, "w") as handle:
    handle.write("%d %d" % (resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss, status))
sys.exit(status)
"""


def md5(text):
    return hashlib.md5(text.encode()).hexdigest()


def proc_stat_aggregate():
    with open("/proc/stat") as handle:
        numbers = [int(word) for word in handle.readline().split()[1:]]
    numbers += [0] * (15 - len(numbers))
    return [sum(numbers[:15]) % 2 ** 32] + numbers[:8]


class Server:
    """lighttpd on a free loopback port over a scratch tree: www/ with the report links,
    the guarded exercise and a measuring wrapper."""

    def __init__(self, prefix_command=()):
        self.root = tempfile.mkdtemp(prefix="vexa-cgi-")
        self.in_namespace = bool(prefix_command)
        self.www = os.path.join(self.root, "www")
        os.makedirs(os.path.join(self.www, "cgi-bin"))
        for name in REPORTS:
            os.symlink(e2e.VEXA, os.path.join(self.www, "cgi-bin", name))
        self.script("auth.cgi", "#!/bin/sh\nexec %s test cgi %s:%s\n" % (e2e.VEXA, USER, PASSWORD))
        self.record = os.path.join(self.root, "rss")
        self.script("ps-measured.cgi", MEASURED.format(
            python=sys.executable, program=os.path.join(self.www, "cgi-bin", "ps.cgi"),
            record=self.record))
        self.port = e2e.free_port()
        config = os.path.join(self.root, "lighttpd.conf")
        with open(config, "w") as handle:
            handle.write(CONFIG.format(root=self.root, port=self.port))
        for name in os.listdir(WWW):
            shutil.copy(os.path.join(WWW, name), self.www)
        self.process = subprocess.Popen([*prefix_command, LIGHTTPD, "-D", "-f", config],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        ready = e2e.wait_for(lambda: self.process.poll() is not None or self.answers(),
                             timeout=10)
        if not ready or self.process.poll() is not None:
            self.close()
            raise RuntimeError("lighttpd did not start: %r" % self.log())

    def script(self, name, text):
        path = os.path.join(self.www, "cgi-bin", name)
        with open(path, "w") as handle:
            handle.write(text)
        os.chmod(path, 0o755)

    def answers(self):
        import socket
        with socket.socket() as probe:
            return probe.connect_ex(("127.0.0.1", self.port)) == 0

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def log(self):
        try:
            with open(os.path.join(self.root, "error.log")) as handle:
                return handle.read()[-3000:]
        except OSError:
            return ""

    def close(self):
        if self.process.poll() is None:
            # unshare outlives SIGTERM while its child runs; its end takes the child along.
            if self.in_namespace:
                self.process.kill()
            else:
                self.process.terminate()
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=10)
        shutil.rmtree(self.root, ignore_errors=True)


def curl(*arguments, data=None):
    """Status, headers (name in lower case -> list of values) and body of one curl call."""
    result = subprocess.run(["curl", "-sS", "-D", "-", "--max-time", "30", *arguments],
                            capture_output=True, input=data, timeout=60)
    if result.returncode != 0:
        raise AssertionError("curl failed: %r" % result.stderr)
    raw = result.stdout
    # Headers of every response (curl --digest shows the 401 first), body after the last.
    blocks = []
    while raw.startswith(b"HTTP/"):
        head, _, raw = raw.partition(b"\r\n\r\n")
        blocks.append(head)
    lines = blocks[-1].decode("latin-1").split("\r\n")
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers.setdefault(name.strip().lower(), []).append(value.strip())
    return int(lines[0].split()[1]), headers, raw


class ReportsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.exists(LIGHTTPD) or shutil.which("curl") is None:
            raise unittest.SkipTest("lighttpd or curl missing (scripts/install-deps)")
        cls.server = Server()

    @classmethod
    def tearDownClass(cls):
        cls.server.close()

    def fetch(self, name, *arguments):
        return curl(*arguments, self.server.url("/cgi-bin/" + name))

    def assert_well_formed(self, body):
        checked = subprocess.run(["xmllint", "--noout", "-"], input=body, capture_output=True)
        self.assertEqual(checked.returncode, 0, checked.stderr)

    def test_documents_with_their_headers(self):
        for name in REPORTS:
            with self.subTest(name=name):
                status, headers, body = self.fetch(name, "-A", "probe/1.0")
                self.assertEqual(status, 200, self.server.log())
                for header, value in REPORT_HEADERS.items():
                    self.assertEqual(headers.get(header), [value], headers)
                self.assertEqual(headers["content-length"], [str(len(body))])
                self.assertEqual(len(headers["date"]), 1, headers)
                self.assertRegex(headers["date"][0],
                                 r"^[A-Z][a-z]{2}, \d{1,2} [A-Z][a-z]{2} \d{4} \d\d:\d\d:\d\d GMT$")
                self.assertRegex(headers["server"][0], r"^tarvik_qvl/\d+\.\d+\.\d+\.\d+$")
                self.assert_well_formed(body)
                text = body.decode()
                # The server announces an empty body for GET.
                if name != "cputick.cgi":
                    self.assertIn("<!-- method='GET' (index='1') -->\n", text)
                    self.assertTrue(text.endswith(
                        "<!-- content-length='0', valid='1', in_size='0', buffer_size='0', "
                        "max_buffer_size='4096' -->\n"), text[-300:])

    def test_process_table_holds_the_web_server(self):
        status, _, body = self.fetch("ps.cgi")
        self.assertEqual(status, 200)
        self.assertIn(str(self.server.process.pid).encode(), body)
        self.assertIn(b"lighttpd", body)

    def test_ticks_lie_between_two_readings(self):
        before = proc_stat_aggregate()
        status, _, body = self.fetch("cputick.cgi")
        after = proc_stat_aggregate()
        self.assertEqual(status, 200)
        values = re.findall(r"<(\w+) id='(\d)'>(\d+)</\1>", body.decode())
        self.assertEqual([name for name, _, _ in values],
                         ["total", "user", "nice", "system", "idle", "iowait", "irq", "softirq",
                          "stolen"])
        for (name, index, value), low, high in zip(values, before, after):
            self.assertTrue(low <= int(value) <= high, (name, low, value, high))
        self.assertIn(b"<cputick count='8'>", body)

    def test_head_and_post(self):
        # Raw HTTP/1.0, read to the end: nothing may follow the headers.
        import socket
        with socket.create_connection(("127.0.0.1", self.server.port), timeout=30) as sock:
            sock.sendall(b"HEAD /cgi-bin/version.cgi HTTP/1.0\r\nHost: x\r\n\r\n")
            answer = b""
            while True:
                piece = sock.recv(65536)
                if not piece:
                    break
                answer += piece
        head, _, body = answer.partition(b"\r\n\r\n")
        self.assertTrue(head.startswith(b"HTTP/1.0 200"), answer)
        self.assertEqual(body, b"")
        self.assertGreater(int(re.search(rb"Content-Length: (\d+)", head).group(1)), 100)
        status, _, body = self.fetch("version.cgi", "--data-binary", "a=1&b=2")
        self.assertEqual(status, 200)
        self.assertIn(b"<!-- method='POST' (index='3') -->", body)
        self.assertIn(b"content-length='7', valid='1', in_size='7', buffer_size='7'", body)

    def read_record(self):
        # The server may answer as soon as the announced length arrived, a moment before the
        # wrapper wrote its record.
        e2e.wait_for(lambda: os.path.exists(self.server.record), timeout=10)
        with open(self.server.record) as handle:
            rss_kb, exit_status = (int(word) for word in handle.read().split())
        os.unlink(self.server.record)
        self.assertEqual(exit_status, 1)
        self.assertLess(rss_kb, 16 * 1024, "the report grew to %d kB" % rss_kb)

    def test_huge_post_refused_in_little_memory(self):
        """100 MiB through the server: the report refuses it before reading a byte. Then the
        report alone with 100 MiB on its input and no length: it stops at the limit."""
        body = os.path.join(self.server.root, "body")
        with open(body, "wb") as handle:
            handle.truncate(100 * MIB)
        try:
            status, _, _ = curl("-H", "Content-Type: application/octet-stream",
                                "--data-binary", "@" + body,
                                self.server.url("/cgi-bin/ps-measured.cgi"))
        finally:
            os.unlink(body)
        self.assertEqual(status, 413, self.server.log())
        self.read_record()

        env = dict(os.environ, REQUEST_METHOD="POST")
        env.pop("CONTENT_LENGTH", None)
        feeder = subprocess.Popen(
            [sys.executable, "-c",
             "import sys\nblock = b'x' * 65536\n"
             "try:\n    [sys.stdout.buffer.write(block) for _ in range(1600)]\n"
             "except BrokenPipeError:\n    pass\n"],
            stdout=subprocess.PIPE)
        report = subprocess.Popen([self.server.www + "/cgi-bin/ps-measured.cgi"],
                                  stdin=feeder.stdout, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, env=env)
        feeder.stdout.close()
        out, err = report.communicate(timeout=60)
        feeder.wait(timeout=60)
        self.assertIn(b"Status: 413 Request Entity Too Large\r\n", out)
        self.assertIn(b"overflow entity body size (", err)
        self.read_record()


class AuthenticationTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.exists(LIGHTTPD) or shutil.which("curl") is None:
            raise unittest.SkipTest("lighttpd or curl missing (scripts/install-deps)")
        cls.server = Server()
        cls.url = cls.server.url("/cgi-bin/auth.cgi?q=42")

    @classmethod
    def tearDownClass(cls):
        cls.server.close()

    def test_curl_basic_and_digest(self):
        for scheme in ("--basic", "--digest"):
            with self.subTest(scheme=scheme):
                status, _, body = curl(scheme, "-u", "%s:%s" % (USER, PASSWORD), self.url)
                self.assertEqual((status, body), (200, b"granted GET q=42\n"),
                                 self.server.log())
                status, headers, body = curl(scheme, "-u", USER + ":wrong", self.url)
                self.assertEqual(status, 401)
                self.assertEqual(body, b"")
                self.assertTrue(headers["www-authenticate"][0].startswith(
                    'Digest realm="127.0.0.1", qop="auth", nonce="'), headers)
        status, _, _ = curl(self.url)
        self.assertEqual(status, 401)

    def test_python_digest_handler(self):
        def opener(password):
            manager = urllib.request.HTTPPasswordMgrWithDefaultRealm()
            manager.add_password(None, self.server.url("/"), USER, password)
            return urllib.request.build_opener(urllib.request.HTTPDigestAuthHandler(manager))

        with opener(PASSWORD).open(self.url, timeout=30) as response:
            self.assertEqual(response.status, 200)
            self.assertEqual(response.read(), b"granted GET q=42\n")
        with opener(PASSWORD).open(self.url, data=b"q=ignored", timeout=30) as response:
            self.assertEqual(response.read(), b"granted POST q=42\n")
        with self.assertRaises(urllib.error.HTTPError) as refused:
            opener("wrong").open(self.url, timeout=30)
        self.assertEqual(refused.exception.code, 401)

    def authorization(self, minutes_ago):
        """A right Digest header for a nonce issued that many minutes ago."""
        realm = "127.0.0.1"
        opaque = md5(realm)
        stamp = time.strftime("%Y%m%d%H%M00", time.gmtime(time.time() - 60 * minutes_ago))
        nonce = md5(opaque + ":" + stamp)
        uri = "/cgi-bin/auth.cgi?q=42"
        ha1 = md5("%s:%s:%s" % (USER, realm, PASSWORD))
        response = md5("%s:%s:00000001:c0ffee:auth:%s" % (ha1, nonce, md5("GET:" + uri)))
        return ('Digest username="%s", realm="%s", nonce="%s", uri="%s", qop=auth, '
                'nc=00000001, cnonce="c0ffee", response="%s", opaque="%s"'
                % (USER, realm, nonce, uri, response, opaque))

    def test_replayed_digest_outside_the_window(self):
        status, _, body = curl("-H", "Authorization: " + self.authorization(0), self.url)
        self.assertEqual((status, body), (200, b"granted GET q=42\n"))
        status, _, _ = curl("-H", "Authorization: " + self.authorization(3), self.url)
        self.assertEqual(status, 200)
        for minutes in (10, 60 * 24):
            status, headers, _ = curl("-H", "Authorization: " + self.authorization(minutes),
                                      self.url)
            self.assertEqual(status, 401)
            self.assertTrue(headers["www-authenticate"][0].endswith(", stale=true"), headers)


class StatusPageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.exists(LIGHTTPD) or CHROMIUM is None:
            raise unittest.SkipTest("lighttpd or chromium-headless-shell missing")
        e2e.require_namespaces(cls, pid=True)
        # The web server is the first process of its namespace: the CGI sees it and its own
        # kind only.
        cls.server = Server(e2e.unshare_command(pid=True) + ["--kill-child"])

    @classmethod
    def tearDownClass(cls):
        cls.server.close()

    def browse(self, url, *options, budget=9000):
        """The page after budget ms of virtual time: the DOM and every console line."""
        profile = tempfile.mkdtemp(prefix="vexa-chromium-")
        try:
            result = subprocess.run(
                [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                 "--user-data-dir=" + profile, "--enable-logging=stderr", "--v=0",
                 "--virtual-time-budget=%d" % budget, "--window-size=1200,900", *options, url],
                capture_output=True, text=True, errors="replace", timeout=120)
        finally:
            shutil.rmtree(profile, ignore_errors=True)
        console = [line for line in result.stderr.splitlines() if ":CONSOLE" in line]
        return result.stdout, console

    def test_page_in_headless_chromium(self):
        dom, console = self.browse(self.server.url("/#sort=-pid"), "--dump-dom")
        self.assertEqual(console, [])
        self.assertNotIn('class="error"', dom)
        self.assertIn("updated ", dom)
        # The graph took several readings and shows the last one.
        samples = int(re.search(r'<canvas id="cpu-graph"[^>]*data-samples="(\d+)"', dom).group(1))
        self.assertGreaterEqual(samples, 2, dom[:3000])
        self.assertRegex(dom, r'<span id="cpu-now" class="figure">\d+\.\d%</span>')
        # The table: the namespace's processes only, in descending PID order.
        rows = re.findall(r"<tr><td>(\d+)</td><td>(\d+)</td>(?:<td>[^<]*</td>){6}"
                          r"<td>([^<]*)</td>", dom)
        self.assertTrue(rows, dom[-3000:])
        pids = [int(pid) for pid, _, _ in rows]
        self.assertEqual(pids, sorted(pids, reverse=True))
        names = {pid: name for pid, _, name in rows}
        self.assertEqual(names.get("1"), "lighttpd", rows)
        # Under the emulator the reports run as the emulator's processes.
        reports = {"qemu-mipsel"} if e2e.is_target() else {"ps.cgi", "cputick.cgi", "version.cgi"}
        self.assertTrue(reports & set(names.values()), rows)
        self.assertLessEqual(set(names.values()), {"lighttpd"} | reports, rows)
        self.assertIn('aria-sort="descending"', dom)
        self.assertIn("<dd>" + e2e.run("version", "-ver").stdout.strip(), dom)

        artifacts = os.path.join(os.path.dirname(e2e.VEXA), "artifacts")
        os.makedirs(artifacts, exist_ok=True)
        shot = os.path.join(artifacts, "status_page.png")
        _, console = self.browse(self.server.url("/"), "--screenshot=" + shot)
        self.assertEqual(console, [])
        with open(shot, "rb") as handle:
            self.assertEqual(handle.read(8), b"\x89PNG\r\n\x1a\n")


if __name__ == "__main__":
    e2e.main(__doc__)
