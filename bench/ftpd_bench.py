#!/usr/bin/env python3
"""The FTP server against vsftpd, both on loopback in the same run: server CPU time per
512 MiB RETR in image type (the server's own and its reaped children's CPU from /proc, and
the CPU of its whole control group, which also counts session processes nobody reaped),
memory per additional idle logged-in session (PSS and RSS of the server's processes), and
the wall time of 50 concurrent curl downloads of 10 MiB. Prints each figure with its
baseline and the ratio.

Usage: ftpd_bench.py [vexa]     (run as root; vsftpd and curl must be installed)
"""
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

VSFTPD = shutil.which("vsftpd") or "/usr/sbin/vsftpd"
RUNS = int(os.environ.get("RUNS", "3"))
RETR_RUNS = int(os.environ.get("RETR_RUNS", "10"))
IDLE_SESSIONS = 40
CLK_TCK = os.sysconf("SC_CLK_TCK")


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_port(port, timeout=10):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("server on port %d did not come up" % port)


def descendants(pid):
    """pid and every process below it."""
    children = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as stat:
                    fields = stat.read().rsplit(")", 1)[1].split()
                children.setdefault(int(fields[1]), []).append(int(entry))
            except OSError:
                pass
    found, pending = [], [pid]
    while pending:
        current = pending.pop()
        found.append(current)
        pending.extend(children.get(current, []))
    return found


def cpu_seconds(pid):
    """Own and reaped children's CPU of pid, in seconds."""
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return sum(int(value) for value in fields[11:15]) / CLK_TCK


def memory_kib(pid):
    """PSS and RSS summed over pid and its descendants."""
    pss = rss = 0
    for process in descendants(pid):
        try:
            with open("/proc/%d/smaps_rollup" % process) as rollup:
                text = rollup.read()
            pss += int(re.search(r"^Pss:\s+(\d+)", text, re.M).group(1))
            rss += int(re.search(r"^Rss:\s+(\d+)", text, re.M).group(1))
        except (OSError, AttributeError):
            pass
    return pss, rss


class Vexa:
    name = "vexa ftpd"

    def __init__(self, program, root):
        self.port = free_port()
        self.process = subprocess.Popen(
            [program, "ftpd", "-p", str(self.port), "--max-sessions=200", "127.0.0.1"],
            env=dict(os.environ, HOME=root), stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        wait_port(self.port)

    def stop(self):
        self.process.send_signal(signal.SIGINT)
        self.process.wait(30)


class Vsftpd:
    name = "vsftpd"

    def __init__(self, root, scratch):
        self.port = free_port()
        config = os.path.join(scratch, "vsftpd.conf")
        empty = os.path.join(scratch, "empty")
        os.makedirs(empty, exist_ok=True)
        with open(config, "w") as out:
            out.write("\n".join([
                "listen=YES", "listen_ipv6=NO", "listen_address=127.0.0.1",
                "listen_port=%d" % self.port, "background=NO", "anonymous_enable=YES",
                "no_anon_password=YES", "anon_root=%s" % root, "local_enable=NO",
                "write_enable=NO", "seccomp_sandbox=NO", "max_clients=0", "max_per_ip=0",
                "secure_chroot_dir=%s" % empty, "xferlog_enable=NO", "syslog_enable=NO",
                "vsftpd_log_file=/dev/null", "pasv_enable=YES", ""]))
        self.process = subprocess.Popen([VSFTPD, config], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        wait_port(self.port)

    def stop(self):
        self.process.terminate()
        self.process.wait(30)


def curl(port, path, output=os.devnull):
    return subprocess.Popen(["curl", "-sS", "--max-time", "120", "-o", output, "-u",
                             "anonymous:", "ftp://127.0.0.1:%d/%s" % (port, path)])


def settle(server):
    """Waits until the server has no session process or thread left."""
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        if len(descendants(server.process.pid)) == 1 and len(
                os.listdir("/proc/%d/task" % server.process.pid)) == 1:
            return
        time.sleep(0.05)


class CpuGroup:
    """A cpuacct control group holding the server and every process it starts, so that
    session processes that end unreaped are counted too (None when there is none)."""

    ROOT = "/sys/fs/cgroup/cpuacct"

    def __init__(self, pid):
        self.path = os.path.join(self.ROOT, "ftpd-bench-%d" % pid)
        os.mkdir(self.path)
        with open(os.path.join(self.path, "cgroup.procs"), "w") as procs:
            procs.write(str(pid))

    def seconds(self):
        with open(os.path.join(self.path, "cpuacct.usage")) as usage:
            return int(usage.read()) / 1e9

    def close(self):
        with open(os.path.join(self.path, "cgroup.procs")) as procs:
            for pid in procs.read().split():
                with open(os.path.join(self.ROOT, "cgroup.procs"), "w") as root:
                    root.write(pid)
        os.rmdir(self.path)


def retr_cpu(server):
    """CPU per download over RETR_RUNS downloads: from /proc (own and reaped children's,
    in clock ticks) and from the control group when there is one."""
    group = None
    try:
        group = CpuGroup(server.process.pid)
    except OSError:
        pass
    settle(server)
    before = cpu_seconds(server.process.pid)
    group_before = group.seconds() if group else 0
    for _ in range(RETR_RUNS):
        if curl(server.port, "big.bin").wait() != 0:
            raise RuntimeError("%s: download failed" % server.name)
    settle(server)
    proc = (cpu_seconds(server.process.pid) - before) / RETR_RUNS
    grouped = (group.seconds() - group_before) / RETR_RUNS if group else float("nan")
    if group:
        group.close()
    return proc, grouped


def login(port):
    sock = socket.create_connection(("127.0.0.1", port), timeout=10)
    reader = sock.makefile("rb")

    def reply():
        while True:
            line = reader.readline()
            if not line or line[3:4] == b" ":
                return line

    reply()
    sock.sendall(b"USER anonymous\r\n")
    if reply().startswith(b"331"):
        sock.sendall(b"PASS x@\r\n")
        reply()
    return sock, reader


def idle_memory(server):
    settle(server)
    time.sleep(0.3)
    before = memory_kib(server.process.pid)
    sessions = [login(server.port) for _ in range(IDLE_SESSIONS)]
    time.sleep(0.5)
    after = memory_kib(server.process.pid)
    for sock, reader in sessions:
        reader.close()
        sock.close()
    return tuple((a - b) / IDLE_SESSIONS for a, b in zip(after, before))


def concurrent_wall(server, scratch):
    samples = []
    for _ in range(RUNS):
        settle(server)
        started = time.monotonic()
        clients = [curl(server.port, "ten.bin") for _ in range(50)]
        if any(client.wait() != 0 for client in clients):
            raise RuntimeError("%s: a download failed" % server.name)
        samples.append(time.monotonic() - started)
    return statistics.median(samples)


def main():
    vexa = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "bench-build/vexa")
    if os.geteuid() != 0 or not os.path.exists(VSFTPD) or not shutil.which("curl"):
        print("ftpd_bench: skipped (needs root, vsftpd and curl)", file=sys.stderr)
        return 0
    scratch = tempfile.mkdtemp(prefix="ftpd-bench-")
    root = os.path.join(scratch, "root")
    os.makedirs(root)
    os.chmod(scratch, 0o755)
    with open(os.path.join(root, "big.bin"), "wb") as out:
        block = os.urandom(1 << 20)
        for _ in range(512):
            out.write(block)
    with open(os.path.join(root, "ten.bin"), "wb") as out:
        out.write(os.urandom(10 << 20))
    results = {}
    try:
        for make in (lambda: Vexa(vexa, root), lambda: Vsftpd(root, scratch)):
            server = make()
            try:
                curl(server.port, "big.bin").wait()  # page cache warm for both
                results[server.name] = (retr_cpu(server), idle_memory(server),
                                        concurrent_wall(server, scratch))
            finally:
                server.stop()
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    ours, theirs = results["vexa ftpd"], results["vsftpd"]
    print("%-44s %12s %12s %8s" % ("figure", "vexa ftpd", "vsftpd", "ratio"))
    rows = [("server CPU per 512 MiB RETR, /proc (ms)", ours[0][0] * 1000, theirs[0][0] * 1000),
            ("server CPU per 512 MiB RETR, cgroup (ms)", ours[0][1] * 1000, theirs[0][1] * 1000),
            ("PSS per idle logged-in session (KiB)", ours[1][0], theirs[1][0]),
            ("RSS per idle logged-in session (KiB)", ours[1][1], theirs[1][1]),
            ("50 concurrent 10 MiB downloads (ms)", ours[2] * 1000, theirs[2] * 1000)]
    for label, mine, baseline in rows:
        ratio = mine / baseline if baseline else float("nan")
        print("%-44s %12.1f %12.1f %7.2fx" % (label, mine, baseline, ratio))
    return 0


if __name__ == "__main__":
    sys.exit(main())
