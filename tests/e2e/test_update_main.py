#!/usr/bin/env python3
"""End-to-end tests of update and do_update, always with a root prefix pointing at a staging
tree in a scratch directory, inside private PID and mount namespaces (the update ends
processes, and one row mounts a small tmpfs).

The update server is the project's own ftpd (user test) and, separately, pyftpdlib (users
with passwords, and a throttled data rate for the rows that cut or interrupt a transfer).
Rows: the test mode and the locator; a whole spawn-mode run (the copy downloaded, checked
and executed, files and modes installed, nothing temporary left); required, optional, forced
and word-size entries; a mipsel profile; checksum mismatches and missing checksum files; the
server killed half-way and Ctrl-C during the downloads (tree unchanged) and during the
installation (the file at hand finished, nothing after it); processes that map a replaced
library ended by SIGTERM, or by SIGKILL when they ignore it; a full disk (the target stays as
it was); the password prompt on a terminal.

    test_update_main.py <vexa>
"""
import hashlib
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import vexa_e2e as e2e

PYTHON = "/usr/bin/python3"
HOST_PROFILE = None  # the program's own, read once
MIPSEL_PROFILE = "mipsel-RelWithDebInfo"
WORD_SIZE = None  # of the program under test (the mipsel build is 32-bit)

PYFTPD = r"""
import sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, ThrottledDTPHandler
from pyftpdlib.servers import FTPServer
import logging
logging.basicConfig(level=logging.ERROR)
root, port, limit = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
authorizer = DummyAuthorizer()
for pair in sys.argv[4:]:
    user, password = pair.split(":", 1)
    authorizer.add_user(user, password, root, perm="elr")
handler = FTPHandler
handler.authorizer = authorizer
if limit:
    ThrottledDTPHandler.read_limit = limit
    handler.dtp_handler = ThrottledDTPHandler
server = FTPServer(("127.0.0.1", port), handler)
print("ready", flush=True)
server.serve_forever()
"""


def md5(data):
    return hashlib.md5(data).hexdigest()


def read(path):
    with open(path, "rb") as source:
        return source.read()


def write(path, data, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.write(data)
    os.chmod(path, mode)


def snapshot(root):
    """Every path under root with its kind, mode and content digest."""
    state = {}
    for directory, names, files in os.walk(root):
        for name in names + files:
            path = os.path.join(directory, name)
            status = os.lstat(path)
            digest = md5(read(path)) if os.path.isfile(path) and \
                not os.path.islink(path) else None
            state[os.path.relpath(path, root)] = (status.st_mode, digest)
    return state


class Ftpd:
    """The project's ftpd serving home on 127.0.0.1 (user test, any password)."""

    def __init__(self, links, home):
        self.port = e2e.free_port()
        environment = e2e.environment({"HOME": home})
        self.process = subprocess.Popen(
            [links.path("ftpd"), "-p", str(self.port), "127.0.0.1"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
            env=environment)
        line = self.process.stdout.readline().decode()
        assert line.startswith("starting ftp server"), line
        self.locator = "ftp@passive://test:x@127.0.0.1:%d" % self.port
        self.server = "127.0.0.1:%d" % self.port

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
            try:
                self.process.communicate(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.communicate()


class Pyftpd:
    """pyftpdlib on 127.0.0.1 with the given users; limit throttles data (bytes/s)."""

    def __init__(self, home, users=(("tarvik", "qenlot"),), limit=0):
        self.port = e2e.free_port()
        self.process = subprocess.Popen(
            [PYTHON, "-c", PYFTPD, home, str(self.port), str(limit)] +
            ["%s:%s" % pair for pair in users],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        line = self.process.stdout.readline().decode()
        assert line == "ready\n", line
        self.server = "127.0.0.1:%d" % self.port

    def locator(self, user="tarvik", password="qenlot"):
        return "ftp@passive://%s:%s@%s" % (user, password, self.server)

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        self.process.stdout.close()


class UpdateTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        global HOST_PROFILE, WORD_SIZE
        cls.links = e2e.Links()
        HOST_PROFILE = e2e.run("version", "-target_build_profile").stdout.strip()
        WORD_SIZE = int(e2e.run("version", "-word_size").stdout)

    @classmethod
    def tearDownClass(cls):
        cls.links.close()

    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="vexa-update-")
        self.home = os.path.join(self.scratch, "server")
        self.stage = os.path.join(self.scratch, "stage")
        self.temp = os.path.join(self.scratch, "temp")
        for path in (self.home, self.stage, self.temp):
            os.makedirs(path)
        self.servers = []
        self.files = {}

    def tearDown(self):
        for server in self.servers:
            server.stop()
        subprocess.run(["umount", "-q", os.path.join(self.scratch, "small")],
                       stderr=subprocess.DEVNULL)
        shutil.rmtree(self.scratch, ignore_errors=True)

    # ---- the server tree ----------------------------------------------------------------

    def publish(self, path, data, checksum=None):
        """A file of the server tree and its NAME.md5 (checksum None: the right one, False:
        no checksum file)."""
        full = os.path.join(self.home, path)
        write(full, data)
        if checksum is False and os.path.exists(full + ".md5"):
            os.unlink(full + ".md5")
        elif checksum is not False:
            write(full + ".md5", ((checksum or md5(data)) + "  " +
                                  os.path.basename(path) + "\n").encode())
        self.files[path] = data

    def publish_release(self, profile=None, program=True, big_plugin=0):
        profile = profile or HOST_PROFILE
        if program:
            self.publish("misc/%s/usr/bin/vexa_static" % profile, read(e2e.VEXA))
        self.publish("%s/usr/bin/vexa" % profile, os.urandom(150000))
        self.publish("%s/usr/lib/tarvik_plugin_a.so" % profile, os.urandom(big_plugin or 20000))
        self.publish("%s/usr/lib/tarvik_plugin_b.so" % profile, os.urandom(3000))
        self.publish("%s/usr/lib%d/tarvik_plugin_a.so" % (profile, WORD_SIZE), os.urandom(7000))
        self.publish("%s/opt/vexa/apps/player.so" % profile, os.urandom(4000))
        self.publish("%s/etc/tarvik_mtunnel.conf" % profile, b"[channel]\nport=6000\n")
        self.publish("%s/etc/vexa/box.ini" % profile, b"[box]\nname=vexa\n")
        return profile

    def served(self, path, profile=None):
        return self.files["%s/%s" % (profile or HOST_PROFILE, path)]

    def local(self, path, data=None, mode=0o644):
        full = os.path.join(self.stage, path)
        if data is not None:
            write(full, data, mode)
        return full

    def ftpd(self):
        server = Ftpd(self.links, self.home)
        self.servers.append(server)
        return server

    def pyftpd(self, **options):
        server = Pyftpd(self.home, **options)
        self.servers.append(server)
        return server

    # ---- runs -----------------------------------------------------------------------------

    def update(self, server, *options, user=("-u", "test", "-p", "x")):
        return self.links.run("update", "--server=" + server, *user, "--temp=" + self.temp,
                              "--root=" + self.stage, "--noprogress", *options, timeout=120)

    def do_update(self, locator, *options, profile=None):
        return self.links.run("do_update", locator, profile or HOST_PROFILE, self.temp,
                              "--root=" + self.stage, *options, timeout=120)

    def start_do_update(self, locator, *options):
        return subprocess.Popen(
            [self.links.path("do_update"), locator, HOST_PROFILE, self.temp,
             "--root=" + self.stage, *options],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
            env=e2e.environment())

    def assert_clean(self):
        """Nothing temporary left: no download, no copy, no .new/.old/.part in the tree."""
        self.assertEqual(os.listdir(self.temp), [])
        for path in snapshot(self.stage):
            self.assertFalse(path.endswith((".new", ".old", ".part")), path)

    def assert_installed(self, path, mode, profile=None):
        full = self.local(path)
        self.assertEqual(read(full), self.served(path, profile), path)
        self.assertEqual(os.stat(full).st_mode & 0o7777, mode, path)

    # ---- rows -------------------------------------------------------------------------------

    def test_test_mode_and_locator(self):
        remote = "/misc/%s/usr/bin/vexa_static" % HOST_PROFILE
        result = self.links.run("update", "--test", "--temp=" + self.temp)
        self.assertEqual(result.returncode, 0, result)
        self.assertEqual(result.stdout, 'downloading "ftp@passive://tarvik:qenlot@'
                         'update.vexa.example:2121%s" to "%s/do_update"\n' % (remote, self.temp))
        # Only a user: no password in the locator, and nobody asks for one in test mode.
        result = self.links.run("update", "--test", "-u", "bob", "-s", "10.0.0.1:21",
                                "--active", "--path=/pub", "--temp=" + self.temp)
        self.assertEqual(result.stdout, 'downloading "ftp@active://bob@10.0.0.1:21/pub%s" '
                         'to "%s/do_update"\n' % (remote, self.temp))
        result = self.links.run("update", "--test", "--script", "-p", "pw",
                                "--target_build_profile=" + MIPSEL_PROFILE, "--temp=" + self.temp)
        self.assertEqual(result.stdout, 'downloading "ftp@passive://tarvik:pw@update.vexa.example'
                         ':2121/misc/%s/usr/bin/vexa_update" to "%s/vexa_update.sh"\n'
                         % (MIPSEL_PROFILE, self.temp))
        self.assertEqual(os.listdir(self.temp), [])
        # A relative temporary directory is made absolute (the copy runs from it).
        result = self.links.run("update", "--test", "--temp=temp", cwd=self.scratch)
        self.assertTrue(result.stdout.endswith(' to "%s/do_update"\n' % self.temp), result)
        # A temporary directory that cannot be entered ends the script mode.
        result = self.links.run("update", "--test", "--script", "--temp=/nonexistent/dir")
        self.assertEqual((result.returncode, result.stdout), (1, "update failed !\n"))

    def test_missing_temporary_directory_told_before_any_download(self):
        # No server listens there: the directory is named before anything is fetched.
        port = e2e.free_port()
        missing = os.path.join(self.scratch, "missing")
        result = self.links.run("update", "--server=127.0.0.1:%d" % port, "--temp=" + missing,
                                "--noprogress")
        self.assertEqual((result.returncode, result.stdout.splitlines()[-1:]),
                         (1, ["update failed !"]), result)
        self.assertIn("%s: No such file or directory" % missing, result.stderr)
        self.assertFalse(os.path.exists(missing))

    def test_spawn_run_against_ftpd(self):
        self.publish_release()
        self.local("usr/lib/tarvik_plugin_a.so", b"old plugin", 0o600)
        self.local("etc/vexa/box.ini", b"old ini", 0o600)
        self.local("etc/vexa/notes.txt", b"mine")
        os.makedirs(self.local("usr/bin"))
        os.symlink("vexa", self.local("usr/bin/ftpget"))
        # What a power cut between moving the program aside and renaming the new one in
        # leaves: the previous program under vexa.old. It comes back, then gets replaced.
        self.local("usr/bin/vexa.old", b"previous program", 0o755)
        server = self.ftpd()
        result = self.update(server.server, "--verbose")
        self.assertEqual(result.returncode, 0, result)
        out = result.stdout
        self.assertIn("Initializing upgrade process...\n", out)
        self.assertIn('   - root_prefix           : "%s"\n' % self.stage, out)
        self.assertIn('   - temp_prefix           : "%s/vexa_update"\n' % self.temp, out)
        self.assertIn("\nUpgrade now... Do not power off ! (Please wait...)\n" + "~" * 50 + "\n\n",
                      out)
        # Required: installed although missing here. Optional: only where present.
        self.assert_installed("usr/bin/vexa", 0o755)
        self.assert_installed("usr/lib/tarvik_plugin_a.so", 0o755)
        self.assert_installed("etc/vexa/box.ini", 0o644)
        for absent in ("usr/lib/tarvik_plugin_b.so", "etc/tarvik_mtunnel.conf",
                       "opt/vexa/apps/player.so"):
            self.assertFalse(os.path.exists(self.local(absent)), absent)
        self.assertIn('      [ Ignore update: tarvik_mtunnel.conf ] not found local "%s/etc"\n'
                      % self.stage, out)
        self.assertEqual(read(self.local("etc/vexa/notes.txt")), b"mine")
        self.assertEqual(os.readlink(self.local("usr/bin/ftpget")), "vexa")
        self.assertIn(' * Removing self_exec("%s/do_update")...\n' % self.temp, out)
        self.assert_clean()
        # Once more with --force: the plain optional entry comes too, wildcards still not.
        # --quiet reaches the second stage: nothing is printed at all.
        result = self.update(server.server, "--force", "--quiet")
        self.assertEqual((result.returncode, result.stdout, result.stderr), (0, "", ""))
        self.assert_installed("etc/tarvik_mtunnel.conf", 0o644)
        self.assertFalse(os.path.exists(self.local("usr/lib/tarvik_plugin_b.so")))
        self.assert_clean()

    def test_pyftpdlib_default_credentials_word_size_and_mipsel_profile(self):
        self.publish_release()
        self.publish_release(MIPSEL_PROFILE, program=False)
        os.makedirs(self.local("usr/lib%d" % WORD_SIZE))
        self.local("usr/lib%d/tarvik_plugin_a.so" % WORD_SIZE, b"old")
        self.local("usr/lib/tarvik_plugin_a.so", b"stays")
        server = self.pyftpd()
        # No -u and no -p: the built-in user and password (known to this server only).
        result = self.update(server.server, user=())
        self.assertEqual(result.returncode, 0, result)
        self.assert_installed("usr/bin/vexa", 0o755)
        self.assert_installed("usr/lib%d/tarvik_plugin_a.so" % WORD_SIZE, 0o755)
        self.assertEqual(read(self.local("usr/lib/tarvik_plugin_a.so")), b"stays")
        self.assert_clean()
        # The second stage alone, for another profile.
        result = self.do_update(server.locator(), profile=MIPSEL_PROFILE)
        self.assertEqual(result.returncode, 0, result)
        self.assert_installed("usr/bin/vexa", 0o755, MIPSEL_PROFILE)
        # A wrong password is refused at login and changes nothing.
        before = snapshot(self.stage)
        result = self.do_update(server.locator(password="wrong"))
        self.assertEqual(result.returncode, 1, result)
        self.assertIn("login failed !\n", result.stdout)
        self.assertEqual(snapshot(self.stage), before)

    def test_checksums(self):
        profile = self.publish_release()
        self.local("usr/lib/tarvik_plugin_a.so", b"old a")
        self.local("usr/lib/tarvik_plugin_b.so", b"old b")
        self.local("etc/vexa/box.ini", b"old ini")
        self.publish("%s/usr/lib/tarvik_plugin_a.so" % profile, os.urandom(5000), "0" * 32)
        self.publish("%s/usr/lib/tarvik_plugin_b.so" % profile, os.urandom(5000), False)
        server = self.ftpd()
        result = self.do_update(server.locator)
        self.assertEqual(result.returncode, 0, result)
        self.assertIn("      [ Checksum mismatch: tarvik_plugin_a.so ]\n", result.stdout)
        self.assertIn("      [ No checksum: tarvik_plugin_b.so ]", result.stdout)
        self.assertEqual(read(self.local("usr/lib/tarvik_plugin_a.so")), b"old a")
        self.assertEqual(read(self.local("usr/lib/tarvik_plugin_b.so")), b"old b")
        self.assert_installed("usr/bin/vexa", 0o755)
        self.assert_installed("etc/vexa/box.ini", 0o644)
        self.assert_clean()
        # --no-checksum accepts the file without a checksum file, never a wrong one.
        result = self.do_update(server.locator, "--no-checksum")
        self.assertEqual(result.returncode, 0, result)
        self.assert_installed("usr/lib/tarvik_plugin_b.so", 0o755)
        self.assertEqual(read(self.local("usr/lib/tarvik_plugin_a.so")), b"old a")
        # --no-clean keeps the checked downloads (installed by copying them).
        result = self.do_update(server.locator, "--no-clean")
        self.assertEqual(result.returncode, 0, result)
        self.assertEqual(read(os.path.join(self.temp, "vexa_update/usr/bin/vexa")),
                         self.served("usr/bin/vexa"))
        self.assert_installed("usr/bin/vexa", 0o755)
        shutil.rmtree(os.path.join(self.temp, "vexa_update"))
        # A program copy that does not match its checksum is never run.
        self.publish("misc/%s/usr/bin/vexa_static" % profile, read(e2e.VEXA), "f" * 32)
        before = snapshot(self.stage)
        result = self.update(server.server)
        self.assertEqual(result.returncode, 1, result)
        self.assertIn("update failed !\n", result.stdout)
        self.assertIn("checksum mismatch", result.stderr)
        self.assertNotIn("Initializing", result.stdout)
        self.assertEqual(snapshot(self.stage), before)
        self.assert_clean()

    def wait_for_partial(self, process):
        """True once a download is under way (a partial file holds bytes)."""
        def partial():
            for directory, _, names in os.walk(self.temp):
                for name in names:
                    try:
                        if name.endswith(".part") and \
                                os.path.getsize(os.path.join(directory, name)) > 0:
                            return True
                    except OSError:
                        pass
            return None if process.poll() is None else False
        return e2e.wait_for(partial, timeout=30, step=0.01,
                            ready=lambda value: value is not None) is True

    def test_cut_transfer_and_interrupt_during_downloads(self):
        self.publish_release(program=False, big_plugin=3 << 20)
        self.local("usr/lib/tarvik_plugin_a.so", b"old a")
        self.local("etc/vexa/box.ini", b"old ini")
        before = snapshot(self.stage)
        for cut in (True, False):
            server = self.pyftpd(limit=1 << 20)
            process = self.start_do_update(server.locator())
            if not self.wait_for_partial(process):
                process.kill()
                out, err = process.communicate()
                self.fail("no download under way: %r %r" % (out[-3000:], err[-3000:]))
            if cut:
                server.stop()
            else:
                process.send_signal(signal.SIGINT)
            out, err = process.communicate(timeout=60)
            e2e.check_dump(err)
            out = out.decode()
            self.assertEqual(process.returncode, 1, out)
            self.assertIn("connection lost !\n" if cut else "update interrupted !\n", out)
            self.assertNotIn("Installing", out)
            self.assertEqual(snapshot(self.stage), before)
            self.assert_clean()
            server.stop()

    def test_library_users_ended_and_interrupt_while_installing(self):
        self.publish_release()
        plugin = self.local("usr/lib/tarvik_plugin_a.so", os.urandom(8192))
        player = self.local("opt/vexa/apps/player.so", os.urandom(8192))
        self.local("etc/tarvik_mtunnel.conf", b"old conf")
        mapper = ("import mmap, signal, sys, time\n"
                  "if sys.argv[2] == 'ignore': signal.signal(signal.SIGTERM, signal.SIG_IGN)\n"
                  "f = open(sys.argv[1], 'rb')\n"
                  "m = mmap.mmap(f.fileno(), 0, prot=mmap.PROT_READ)\n"
                  "print('mapped', flush=True)\n"
                  "time.sleep(120)\n")

        def start(path, how):
            process = subprocess.Popen([sys.executable, "-c", mapper, path, how],
                                       stdout=subprocess.PIPE)
            self.assertEqual(process.stdout.readline(), b"mapped\n")
            return process
        # The root prefix reaches the tree through a link: the maps show resolved paths.
        os.symlink(self.stage, os.path.join(self.scratch, "via"))
        self.stage = os.path.join(self.scratch, "via")
        polite, stubborn, application = (start(plugin, "default"), start(plugin, "ignore"),
                                         start(player, "default"))
        try:
            server = self.ftpd()
            process = self.start_do_update(server.locator, "--verbose")
            # Ctrl-C while the stubborn user is given its grace: the library is still
            # installed, what comes after it is not.
            lines = []
            for raw in iter(process.stdout.readline, b""):
                lines.append(raw.decode())
                if "Terminate: %d" % stubborn.pid in lines[-1]:
                    process.send_signal(signal.SIGINT)
                    break
            out = "".join(lines) + process.stdout.read().decode()
            process.wait(timeout=60)
            e2e.check_dump(process.stderr.read())
            process.stdout.close()
            process.stderr.close()
            self.assertEqual(process.returncode, 1, out)
            self.assertIn("update interrupted !\n", out)
            self.assertEqual(polite.wait(timeout=10), -signal.SIGTERM)
            self.assertEqual(stubborn.wait(timeout=10), -signal.SIGKILL)
            self.assert_installed("usr/bin/vexa", 0o755)
            self.assert_installed("usr/lib/tarvik_plugin_a.so", 0o755)
            self.assertNotEqual(read(player), self.served("opt/vexa/apps/player.so"))
            self.assertEqual(read(self.local("etc/tarvik_mtunnel.conf")), b"old conf")
            self.assert_clean()
            # Once more to the end: a library of the application directory is replaced
            # under its user, who is left running.
            result = self.do_update(server.locator)
            self.assertEqual(result.returncode, 0, result)
            self.assert_installed("opt/vexa/apps/player.so", 0o755)
            self.assert_installed("etc/tarvik_mtunnel.conf", 0o644)
            self.assertIsNone(application.poll(), "a user in the application directory")
            self.assert_clean()
        finally:
            for process in (polite, stubborn, application):
                if process.poll() is None:
                    process.kill()
                process.wait()
                process.stdout.close()

    def test_full_disk_keeps_the_target(self):
        profile = self.publish_release()
        small = os.path.join(self.scratch, "small")
        os.makedirs(small)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", small]).returncode:
            self.skipTest("cannot mount a tmpfs here")
        self.stage = small
        self.local("usr/bin/vexa", os.urandom(120000), 0o755)
        self.publish("%s/usr/bin/vexa" % profile, os.urandom(200000))
        before = snapshot(self.stage)
        server = self.ftpd()
        result = self.do_update(server.locator)
        self.assertEqual(result.returncode, 0, result)
        self.assertIn("      [ Copy failed: vexa ]\n", result.stdout)
        self.assertEqual(snapshot(self.stage), before)
        self.assert_clean()

    def test_planted_temporary_link_refused(self):
        self.publish_release()
        elsewhere = os.path.join(self.scratch, "elsewhere")
        os.makedirs(elsewhere)
        os.symlink(elsewhere, os.path.join(self.temp, "vexa_update"))
        server = self.ftpd()
        result = self.do_update(server.locator)
        self.assertEqual(result.returncode, 1, result)
        self.assertIn("do_update_init failed !\n", result.stdout)
        self.assertEqual(os.listdir(elsewhere), [])
        self.assertEqual(os.listdir(self.stage), [])

    def test_password_prompt_on_a_terminal(self):
        self.publish_release()
        server = self.pyftpd(users=(("bob", "s3cret"),))
        command = [self.links.path("update"), "--server=" + server.server, "-u", "bob",
                   "--temp=" + self.temp, "--root=" + self.stage, "--noprogress"]
        result = e2e.run_pty(command, keys=[(lambda out: b"Password: " in out, b"s3cret\n")],
                             timeout=90)
        output = e2e.strip_ansi(result.stdout.decode(errors="replace"))
        self.assertEqual(result.returncode, 0, output)
        self.assertIn("Password: ", output)
        self.assertNotIn("s3cret", output)
        self.assert_installed("usr/bin/vexa", 0o755)
        self.assert_clean()


if __name__ == "__main__":
    e2e.main(__doc__, namespaces=True)
