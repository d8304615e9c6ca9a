#!/usr/bin/env python3
"""The stream tunnel against socat, in the same run, inside a private network namespace
(loopback with multicast on).

rx: datagrams of 1316 bytes sent to a group at a fixed rate reach two TCP clients. vexa is one
`mtunnel -r group:port,127.0.0.1:port` serving both clients; socat needs one process per
client (`socat -u UDP4-RECV:port,ip-add-membership=... TCP4-LISTEN:...`), both with the same
1 MiB receive buffer. Figures per rate: datagrams lost (by the client that got fewer), CPU time
of the tunnel per datagram sent (all its processes and threads), and the ratio. Then the rate
is raised until the tunnel loses datagrams: the highest rate without loss (or the sender's own
limit, said as such). A run without pacing shows what each loses when the sender goes flat out.

Idle memory: resident set of `mtunnel` with one rx and one tx channel (connected to each
other, no traffic) against socat's two processes doing the same jobs.

On a machine shared with other work the tunnels lose datagrams when their threads wait for a
processor longer than their receive buffers last (1 MiB holds about 9 ms at 100,000/s): the
loss counts are then the scheduler's. NICE="chrt -f 50" runs both tunnels at a real-time
priority to take that out.

Usage: mtunnel_bench.py [vexa] [--quick]   (as root; re-runs itself in a new namespace)
"""
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

GROUP = "239.9.9.9"
SIZE = 1316
SECONDS = 2.0
RECEIVE_BUFFER = 1 << 20
# A command prefix for the tunnels (see above), empty by default.
NICE = os.environ.get("NICE", "").split()

# Paced sender: `sender port rate count` sends count datagrams of SIZE bytes to the group
# in batches every millisecond (sendmmsg), rate 0 meaning flat out; prints the rate reached.
SENDER = r"""
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#define BATCH 256
static double now(void) { struct timespec t; clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9; }
int main(int argc, char **argv) {
    int port = atoi(argv[1]); double rate = atof(argv[2]); long count = atol(argv[3]);
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct in_addr any = {htonl(0x7f000001)};
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &any, sizeof any);
    int sndbuf = 4 << 20; setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &sndbuf, sizeof sndbuf);
    struct sockaddr_in to = {0}; to.sin_family = AF_INET; to.sin_port = htons(port);
    inet_pton(AF_INET, "%(group)s", &to.sin_addr);
    static char data[BATCH][%(size)d]; struct mmsghdr messages[BATCH]; struct iovec io[BATCH];
    memset(messages, 0, sizeof messages);
    for (int i = 0; i < BATCH; i++) { io[i].iov_base = data[i]; io[i].iov_len = %(size)d;
        messages[i].msg_hdr.msg_iov = &io[i]; messages[i].msg_hdr.msg_iovlen = 1;
        messages[i].msg_hdr.msg_name = &to; messages[i].msg_hdr.msg_namelen = sizeof to; }
    double start = now(); long sent = 0;
    while (sent < count) {
        long due = rate > 0 ? (long)((now() - start) * rate) + 1 : count;
        if (due > count) due = count;
        if (due <= sent) { struct timespec pause = {0, 200000}; nanosleep(&pause, 0); continue; }
        int batch = due - sent > BATCH ? BATCH : (int)(due - sent);
        for (int i = 0; i < batch; i++) memcpy(data[i], &(long){sent + i}, sizeof(long));
        int done = sendmmsg(fd, messages, batch, 0);
        if (done > 0) sent += done;
    }
    printf("%%.0f\n", sent / (now() - start));
    return 0;
}
"""


def in_private_network():
    if os.environ.get("MTUNNEL_BENCH_NETNS") == "1":
        return
    os.environ["MTUNNEL_BENCH_NETNS"] = "1"
    os.execvp("unshare", ["unshare", "--net", sys.executable, *sys.argv])


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def resident_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def wait_port(port, timeout=10):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with open("/proc/net/tcp") as f:
            if any(":%04X 00000000:0000 0A" % port in line for line in f):
                return
        time.sleep(0.02)
    raise SystemExit("nothing listens on %d" % port)


class Client(threading.Thread):
    """Connects and counts bytes until the stream stays quiet or the tunnel goes."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.socket = socket.create_connection(("127.0.0.1", port))
        self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        self.bytes = 0
        self.last = time.monotonic()
        self.start()

    def run(self):
        buffer = bytearray(4 << 20)
        while True:
            try:
                got = self.socket.recv_into(buffer)
            except OSError:
                return
            if not got:
                return
            self.bytes += got
            self.last = time.monotonic()

    def settle(self, quiet=0.5):
        while time.monotonic() - self.last < quiet:
            time.sleep(0.05)


class Tunnel:
    """The tunnel under test: processes, the ports its two clients use, its frame size."""

    def __init__(self, kind, vexa, port):
        self.kind = kind
        self.processes = []
        if kind == "mtunnel":
            self.frame = SIZE + 4
            self.ports = [port + 1000, port + 1000]
            self.processes.append(subprocess.Popen(
                NICE + [vexa, "mtunnel", "-r", "%s:%d,127.0.0.1:%d" % (GROUP, port, port + 1000)],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL))
        else:
            self.frame = SIZE
            self.ports = [port + 1000, port + 1001]
            for listen in self.ports:
                self.processes.append(subprocess.Popen(
                    NICE + ["socat", "-u", "-b", "65536",
                     "UDP4-RECV:%d,ip-add-membership=%s:127.0.0.1,reuseaddr,rcvbuf=%d"
                     % (port, GROUP, RECEIVE_BUFFER),
                     "TCP4-LISTEN:%d,bind=127.0.0.1,reuseaddr" % listen],
                    stdin=subprocess.DEVNULL))
        for listen in set(self.ports):
            wait_port(listen)
        self.clients = [Client(listen) for listen in self.ports]
        time.sleep(0.3)

    def cpu(self):
        return sum(cpu_seconds(p.pid) for p in self.processes)

    def close(self):
        for p in self.processes:
            p.terminate()
        for p in self.processes:
            p.wait(timeout=10)
        for c in self.clients:
            c.socket.close()


def run_rate(kind, vexa, sender, port, rate, count):
    tunnel = Tunnel(kind, vexa, port)
    before = tunnel.cpu()
    reached = float(subprocess.run([sender, str(port), str(rate), str(count)], check=True,
                                   capture_output=True, text=True).stdout)
    for client in tunnel.clients:
        client.settle()
    used = tunnel.cpu() - before
    received = min(client.bytes for client in tunnel.clients) // tunnel.frame
    tunnel.close()
    return {"reached": reached, "lost": count - received, "us": used / count * 1e6}


def idle_memory(vexa):
    mtunnel = subprocess.Popen(
        [vexa, "mtunnel", "-r", "%s:7000,127.0.0.1:7001" % GROUP,
         "-t", "127.0.0.1:7001,%s:7002" % GROUP], stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL)
    wait_port(7001)
    socats = [subprocess.Popen(
        ["socat", "-u", "UDP4-RECV:7100,ip-add-membership=%s:127.0.0.1,reuseaddr" % GROUP,
         "TCP4-LISTEN:7101,bind=127.0.0.1,reuseaddr"], stdin=subprocess.DEVNULL)]
    wait_port(7101)
    socats.append(subprocess.Popen(
        ["socat", "-u", "TCP4:127.0.0.1:7101", "UDP4-SENDTO:%s:7102" % GROUP],
        stdin=subprocess.DEVNULL))
    time.sleep(1.5)
    figures = (resident_kib(mtunnel.pid), [resident_kib(p.pid) for p in socats])
    for p in [mtunnel] + socats:
        p.terminate()
        p.wait(timeout=10)
    return figures


def main():
    quick = "--quick" in sys.argv
    arguments = [a for a in sys.argv[1:] if a != "--quick"]
    vexa = os.path.abspath(arguments[0] if arguments else "bench-build/vexa")
    if os.geteuid() != 0 or not shutil.which("socat") or not shutil.which("cc"):
        raise SystemExit("mtunnel_bench: needs root, socat and cc")
    in_private_network()
    subprocess.run("ip link set lo up && ip link set lo multicast on && "
                   "ip route add 224.0.0.0/4 dev lo", shell=True, check=True)
    scratch = tempfile.mkdtemp(prefix="mtunnel-bench-")
    try:
        with open(os.path.join(scratch, "sender.c"), "w") as f:
            f.write(SENDER % {"group": GROUP, "size": SIZE})
        sender = os.path.join(scratch, "sender")
        subprocess.run(["cc", "-O2", "-o", sender, os.path.join(scratch, "sender.c")],
                       check=True)
        port = 5000
        print("rx channel, 2 clients, %d-byte datagrams, %.0f s per rate" % (SIZE, SECONDS))
        for rate in (50000, 100000, 0):
            count = int((rate or 100000) * SECONDS)
            row = {}
            for kind in ("mtunnel", "socat"):
                port += 10
                row[kind] = run_rate(kind, vexa, sender, port, rate, count)
            m, s = row["mtunnel"], row["socat"]
            print("  %-9s mtunnel: sent at %6.0f/s, lost %6d (%5.1f%%), %5.2f us CPU/datagram"
                  " | socat: sent at %6.0f/s, lost %6d (%5.1f%%), %5.2f us"
                  " | CPU ratio %.2f" % (
                      "%d/s" % rate if rate else "unpaced", m["reached"], m["lost"],
                      100.0 * m["lost"] / count, m["us"], s["reached"], s["lost"],
                      100.0 * s["lost"] / count, s["us"], m["us"] / s["us"] if s["us"] else 0))
        best = {}
        for kind in ("mtunnel", "socat"):
            best[kind] = None
            for rate in ((50000, 100000) if quick else
                         (25000, 50000, 75000, 100000, 125000, 150000, 200000, 250000)):
                port += 10
                result = run_rate(kind, vexa, sender, port, rate, int(rate * SECONDS))
                if result["lost"] != 0:
                    break
                best[kind] = (rate, result["reached"])
                if result["reached"] < 0.95 * rate:
                    break
        for kind, value in best.items():
            if value is None:
                print("  %s: loses at the lowest rate tried" % kind)
            else:
                print("  %s: highest rate without loss %d/s (sender reached %.0f/s)%s" % (
                    kind, value[0], value[1],
                    " - the sender's own limit" if value[1] < 0.95 * value[0] else ""))
        mtunnel, socats = idle_memory(vexa)
        print("idle memory, one rx and one tx channel: mtunnel %d KiB; socat %d + %d = %d KiB;"
              " ratio %.2f (against one socat %.2f)" % (
                  mtunnel, socats[0], socats[1], sum(socats), mtunnel / sum(socats),
                  mtunnel / socats[0]))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
