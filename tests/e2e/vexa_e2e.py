"""Shared helpers of the end-to-end tests: where the program is, how to run it (piped, on a
terminal, through a link name, inside private namespaces), and the checks every run gets
(no exit dump unless one is expected). Python standard library only.

A test file does:

    import vexa_e2e as e2e
    ...
    if __name__ == "__main__":
        e2e.main(__doc__)

and is started as `test_<applet>.py <vexa>`; e2e.VEXA then holds the program's path.
"""
import contextlib
import os
import pty
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

VEXA = None
# The first line of the exit report of leftover heap blocks, scopes and threads.
EXIT_DUMP = "dump exception at"
ANSI = re.compile(r"\x1b\[[0-9;?]*[A-Za-z]")


def strip_ansi(text):
    return ANSI.sub("", text)


def is_target():
    """True when the program under test is the mipsel build run through qemu."""
    return os.path.basename(os.path.dirname(VEXA)) == "qemu"


class Run:
    """What a run gave: exit status and the two outputs (text, or bytes for raw runs)."""

    def __init__(self, returncode, stdout, stderr):
        self.returncode = returncode
        self.stdout = stdout
        self.stderr = stderr

    def __repr__(self):
        return "rc=%s stdout=%r stderr=%r" % (self.returncode, self.stdout[-2000:],
                                               self.stderr[-2000:])


def check_dump(stderr, expect_dump=False):
    text = stderr if isinstance(stderr, str) else stderr.decode("utf-8", "replace")
    if not expect_dump and EXIT_DUMP in text:
        raise AssertionError("unexpected exit dump: %r" % text[-4000:])


def environment(extra=None, columns="80"):
    env = dict(os.environ)
    env["COLUMNS"] = columns
    env.pop("LINES", None)
    if extra:
        env.update(extra)
    return env


def run(*arguments, program=None, input=None, env=None, timeout=60, expect_dump=False,
        binary=False, cwd=None):
    """Runs `vexa arguments...` (or `program arguments...`) with piped output."""
    result = subprocess.run([program or VEXA, *arguments], capture_output=True,
                            text=not binary, errors=None if binary else "replace",
                            input=input, timeout=timeout, env=environment(env), cwd=cwd,
                            stdin=None if input is not None else subprocess.DEVNULL)
    outcome = Run(result.returncode, result.stdout, result.stderr)
    check_dump(outcome.stderr, expect_dump)
    return outcome


class Links:
    """A scratch directory of links to the program, so that it runs under applet names
    (argv[0] dispatch works for the emulator wrapper as for the real program)."""

    def __init__(self):
        self.directory = tempfile.mkdtemp(prefix="vexa-links-")

    def path(self, name):
        path = os.path.join(self.directory, name)
        if not os.path.lexists(path):
            os.makedirs(os.path.dirname(path), exist_ok=True)
            os.symlink(VEXA, path)
        return path

    def run(self, name, *arguments, **options):
        return run(*arguments, program=self.path(name), **options)

    def close(self):
        shutil.rmtree(self.directory, ignore_errors=True)


def run_pty(arguments, keys=b"", columns=80, rows=24, timeout=30, until=None, env=None,
            key_delay=0.2, expect_dump=False):
    """Runs a command on a new pseudo-terminal of the given size, typing keys (a bytes
    object, or a list of (delay, bytes) pairs, where a delay may also be a predicate over the
    output so far: that key is typed once it holds) and collecting everything it prints until
    it ends, until `until` (bytes) shows, or the time-out. Returns Run(status or None, output
    bytes, b"")."""
    pid, master = pty.fork()
    if pid == 0:
        try:
            import fcntl
            import struct
            import termios
            fcntl.ioctl(0, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))
            os.execvpe(arguments[0], arguments, environment(env, str(columns)))
        finally:
            os._exit(127)
    if isinstance(keys, (bytes, bytearray)):
        keys = [(key_delay, bytes(keys))] if keys else []
    output = bytearray()
    deadline = time.monotonic() + timeout
    pending = list(keys)

    def delay():
        return 0 if not pending or callable(pending[0][0]) else pending[0][0]

    next_key = time.monotonic() + delay()
    status = None
    closed = False
    try:
        while time.monotonic() < deadline:
            if pending and time.monotonic() >= next_key and \
                    (not callable(pending[0][0]) or pending[0][0](bytes(output))):
                os.write(master, pending.pop(0)[1])
                next_key = time.monotonic() + delay()
            wait = max(0.0, min(0.05, deadline - time.monotonic()))
            ready, _, _ = select.select([master], [], [], wait)
            if ready:
                try:
                    data = os.read(master, 65536)
                except OSError:
                    data = b""
                if not data:
                    closed = True
                    break
                output += data
                if until is not None and until in output and not pending:
                    break
        # A closed terminal may come a moment before the process has ended: give it up to
        # the deadline (at least a second) before ending it.
        waited, raw = wait_for(lambda: os.waitpid(pid, os.WNOHANG),
                               timeout=max(1.0, deadline - time.monotonic()) if closed else 0,
                               ready=lambda result: result[0] != 0)
        if waited == 0:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
        else:
            status = os.waitstatus_to_exitcode(raw)
    finally:
        os.close(master)
    check_dump(bytes(output), expect_dump)
    return Run(status, bytes(output), b"")


def unshare_command(net=False, pid=False, mount=False):
    command = ["unshare"]
    if net:
        command.append("--net")
    if pid:
        command += ["--pid", "--fork", "--mount-proc"]
    elif mount:
        command.append("--mount")
    return command


def in_namespaces(script, *script_arguments, net=False, pid=False, mount=False, timeout=120,
                  env=None, expect_dump=False):
    """Runs a shell script in new namespaces ($0 is the program, $1... the arguments)."""
    command = unshare_command(net, pid, mount) + ["sh", "-c", script, VEXA, *script_arguments]
    result = subprocess.run(command, capture_output=True, text=True, errors="replace",
                            timeout=timeout, stdin=subprocess.DEVNULL, env=environment(env))
    outcome = Run(result.returncode, result.stdout, result.stderr)
    check_dump(outcome.stderr, expect_dump)
    return outcome


_namespace_reasons = {}


def namespaces_usable(net=False, pid=False):
    """None when private namespaces of the asked kinds work here, else why not."""
    key = (net, pid)
    if key not in _namespace_reasons:
        reason = None
        if shutil.which("unshare") is None or (net and shutil.which("ip") is None):
            reason = "unshare or ip is missing"
        else:
            probe = "ip link add p0 type veth peer name p1" if net else "true"
            result = subprocess.run(unshare_command(net, pid) + ["sh", "-c", probe],
                                    capture_output=True, text=True, timeout=30)
            if result.returncode != 0:
                reason = "no private namespaces here: " + result.stderr.strip()
        _namespace_reasons[key] = reason
    return _namespace_reasons[key]


def require_namespaces(test, net=False, pid=False):
    reason = namespaces_usable(net, pid)
    if reason is not None:
        raise unittest.SkipTest(reason)


def reap(process_or_pid):
    """Kills and waits for a child (a Popen) or a pid, whichever it is; gone already is fine."""
    if isinstance(process_or_pid, int):
        try:
            os.kill(process_or_pid, 9)
            os.waitpid(process_or_pid, 0)
        except (ProcessLookupError, ChildProcessError):
            pass
    else:
        process_or_pid.kill()
        process_or_pid.wait()
        if process_or_pid.stdin is not None:
            process_or_pid.stdin.close()


def free_port(family=None):
    """A TCP port on loopback that nothing listens on right now."""
    import socket
    with socket.socket(family or socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0) if family in (None, socket.AF_INET) else ("::1", 0))
        return probe.getsockname()[1]


def wait_for(predicate, timeout=10.0, step=0.02, ready=bool):
    """Polls predicate until ready(its value) or the time runs out; returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if ready(value) or time.monotonic() >= deadline:
            return value
        time.sleep(step)


INSIDE = "VEXA_E2E_INSIDE_NAMESPACES"


def main(doc=None, namespaces=False, setup=None):
    """Entry of a test file: takes the program path from the command line, runs the tests.
    With namespaces the file first starts itself again inside private PID and mount
    namespaces with their own /proc, so that its tests can only signal processes of their
    own; setup (a context manager factory) then runs around the tests in there."""
    global VEXA
    if len(sys.argv) < 2:
        print(doc or __doc__, file=sys.stderr)
        return sys.exit(2)
    VEXA = os.path.abspath(sys.argv.pop(1))
    if namespaces and os.environ.get(INSIDE) != "1":
        reason = namespaces_usable(pid=True)
        if reason is not None:
            print("skipped: " + reason)
            return sys.exit(0)
        command = unshare_command(pid=True) + [sys.executable, os.path.abspath(sys.argv[0]), VEXA]
        return sys.exit(subprocess.run(command, env=dict(os.environ, **{INSIDE: "1"}),
                                       timeout=280).returncode)
    with setup() if setup is not None else contextlib.nullcontext():
        program = unittest.main(exit=False, verbosity=2)
    sys.exit(0 if program.result.wasSuccessful() else 1)
