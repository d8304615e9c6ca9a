#!/usr/bin/env python3
"""The stream tunnel inside a private network namespace: a veth pair v0 (10.71.0.1) and v1
(10.71.0.2) with the multicast route on v0, so that a datagram sent to a group out of v0
arrives once on v1, where the tunnel's group sockets and the receivers here listen.

rx: datagrams sent to a group reach every TCP client framed, in order and byte-identical
(empty ones too); a client that connects later gets what follows; a client that never reads
grows to the 64 MiB limit and is then skipped with one overflow line while the other keeps
everything and memory stays bounded; once it reads again it gets whole frames again.
tx: a framed TCP source of our own becomes datagrams in the group with the given TTL, one per
frame; a header fed a byte at a time waits for the whole frame; bad magic and a length past
65532 close the connection, which is made anew after the retry time; a source that leaves
has what it completed sent, and is reconnected when it returns. Two instances carry a stream
rx -> TCP -> tx without loss. Configuration files (substitution, environment, search order,
rx and TX items), check lines with rates, save files, the usage text, ESC / q / signals,
and daemon mode with pid file and launcher (in a private PID namespace).

Usage: test_mtunnel.py <vexa>
"""
import ctypes
import os
import random
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vexa_e2e as e2e  # noqa: E402

MAGIC = 0x2744
LIMIT = 64 << 20
NEAR = "10.71.0.1"  # v0: where group traffic leaves
FAR = "10.71.0.2"  # v1: where it arrives
IP_RECVTTL = 12
SO_RCVBUFFORCE = 33
CLONE_NEWNET = 0x40000000
# Freed blocks of the sanitizer build are kept back this long, so that the memory figure of
# the overflow row shows what the program holds, not the sanitizer's quarantine.
SANITIZER = {"ASAN_OPTIONS": (os.environ.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=8")
             .lstrip(":")}

USAGE = (
    "usage: mtunnel [<options>]\noptions:\n"
    "\t-h, --help                       : help\n"
    "\t-v, --verbose                    : verbose\n"
    "\t    --debug                      : debug mode\n"
    "\t-d, --daemon                     : daemonize\n"
    "\t-p, --pidfile=<pathname>         : make pidfile\n"
    "\t    --launcher                   : launcher (make immortal process)\n"
    "\t-c, --config=<config file>       : configuration\n"
    "\t    --dump-config                : dump configuration\n"
    "\t    --check-interval=<msec>      : check interval (msec)\n"
    "\t-r, --rx=<expr1> [<expr1>...]    : multicast(udp) to unicast(tcp)\n"
    "\t-t, --tx=<expr2> [<expr2>...]    : unicast(tcp) to multicast(udp)\n"
    "\t-s, --save                       : save to file\n"
    "\t    --ttl=<value>                : TTL (Time To Live value)\n"
    "\n----\n\n"
    "<expr1>=<zone-ip>:<zone-port>[/<bind-ip>],[<listen-ip>]:<listen-port>\n"
    "<expr2>=<src-ip>:<src-port>[/<bind-ip>],<dst-ip>:<dst-port>[/<bind-ip>]\n\n")

NETWORK = """set -e
ip link set lo up
ip link add v0 type veth peer name v1
ip addr add 10.71.0.1/24 dev v0
ip addr add 10.71.0.2/24 dev v1
ip link set v0 up
ip link set v1 up
ip route add 224.0.0.0/4 dev v0
sysctl -qw net.ipv4.conf.all.rp_filter=0 net.ipv4.conf.v1.rp_filter=0 \
    net.ipv4.conf.all.accept_local=1 net.ipv4.conf.v1.accept_local=1
"""


def enter_private_network():
    """Moves this process (and so every program it starts) into a new network namespace with
    the two links; None, or why it cannot be done."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNET) != 0:
        return "unshare: " + os.strerror(ctypes.get_errno())
    result = subprocess.run(["sh", "-c", NETWORK], capture_output=True, text=True, timeout=30)
    return None if result.returncode == 0 else "network set-up: " + result.stderr


def payload(number, size):
    """Recognisable bytes: the number first (when there is room), then noise seeded by it."""
    head = struct.pack(">I", number)[:size]
    return head + random.Random(number).randbytes(max(0, size - len(head)))


def frame(data, magic=MAGIC, length=None):
    return struct.pack(">HH", magic, len(data) if length is None else length) + data


def sender():
    """Group sender on v0 whose datagrams arrive once, on v1 (no local copy)."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(NEAR))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 0)
    return s


def receiver(group, port):
    """Group member on v1 with a deep buffer that also reports each datagram's TTL."""
    r = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    r.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    r.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 16 << 20)
    r.bind((group, port))
    r.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                 socket.inet_aton(group) + socket.inet_aton(FAR))
    r.setsockopt(socket.IPPROTO_IP, IP_RECVTTL, 1)
    return r


def receive(r, timeout=10.0):
    """(payload, ttl) of the next datagram, or None when none comes in time."""
    r.settimeout(timeout)
    try:
        data, ancillary, _, _ = r.recvmsg(70000, 64)
    except socket.timeout:
        return None
    ttl = [struct.unpack("i", value)[0] for level, kind, value in ancillary if kind == 2]
    return data, (ttl[0] if ttl else None)


class Frames:
    """Reads a framed stream from a client connection, checking every header."""

    def __init__(self, connection):
        self.connection = connection
        self.pending = bytearray()
        self.offset = 0

    def left(self):
        return len(self.pending) - self.offset

    def take(self):
        """The next whole frame from what was read, or None."""
        if self.left() < 4:
            return None
        magic, length = struct.unpack_from(">HH", self.pending, self.offset)
        assert magic == MAGIC, "bad magic %#x in the stream" % magic
        if self.left() < 4 + length:
            return None
        data = bytes(self.pending[self.offset + 4:self.offset + 4 + length])
        self.offset += 4 + length
        return data

    def fill(self, timeout):
        """Reads once more; False when nothing came in time."""
        if self.offset > (1 << 20):
            del self.pending[:self.offset]
            self.offset = 0
        self.connection.settimeout(timeout)
        try:
            chunk = self.connection.recv(1 << 20)
        except socket.timeout:
            return False
        if not chunk:
            raise AssertionError("the stream ended")
        self.pending += chunk
        return True

    def read(self, count, timeout=20.0):
        frames = []
        deadline = time.monotonic() + timeout
        while len(frames) < count:
            data = self.take()
            if data is not None:
                frames.append(data)
                continue
            left = deadline - time.monotonic()
            if left <= 0 or not self.fill(left):
                raise AssertionError("%d of %d frames came" % (len(frames), count))
        return frames


class Tunnel:
    """A running mtunnel whose output lines are collected as they come."""

    def __init__(self, *arguments, cwd=None, env=None):
        self.process = subprocess.Popen(
            [e2e.VEXA, "mtunnel", *arguments], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, text=True, errors="replace", cwd=cwd,
            env=e2e.environment(env))
        self.lines = []
        self.errors = []
        self.changed = threading.Condition()
        self.readers = [threading.Thread(target=self._collect, args=(stream, store), daemon=True)
                        for stream, store in ((self.process.stdout, self.lines),
                                              (self.process.stderr, self.errors))]
        for reader in self.readers:
            reader.start()

    def _collect(self, stream, store):
        for line in stream:
            with self.changed:
                store.append(line)
                self.changed.notify_all()

    def matching(self, text):
        with self.changed:
            return [line for line in self.lines if text in line]

    def wait_line(self, text, count=1, timeout=15.0):
        """The lines holding text once there are count of them."""
        deadline = time.monotonic() + timeout
        with self.changed:
            while True:
                found = [line for line in self.lines if text in line]
                left = deadline - time.monotonic()
                if len(found) >= count or left <= 0 or self.process.poll() is not None:
                    break
                self.changed.wait(min(left, 0.1))
        if len(found) < count:
            raise AssertionError("waited for %d x %r; output: %s%s" % (
                count, text, "".join(self.lines)[-3000:], "".join(self.errors)[-2000:]))
        return found

    def rss_kib(self):
        with open("/proc/%d/status" % self.process.pid) as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0

    def stop(self, signal_number=signal.SIGTERM, check=True):
        """Signals the program; its exit status once it ended."""
        if self.process.poll() is None:
            self.process.send_signal(signal_number)
        try:
            status = self.process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            status = self.process.wait()
        for reader in self.readers:
            reader.join(timeout=10)
        self.process.stdout.close()
        self.process.stderr.close()
        if check:
            e2e.check_dump("".join(self.errors))
        return status

    def output(self):
        return "".join(self.lines)


class MtunnelTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        e2e.require_namespaces(cls, net=True)
        reason = enter_private_network()
        if reason is not None:
            raise unittest.SkipTest(reason)

    def setUp(self):
        self.directory = tempfile.mkdtemp(prefix="mtunnel-")
        self.tunnels = []
        self.sockets = []

    def tearDown(self):
        for tunnel in self.tunnels:
            if not tunnel.process.stdout.closed:
                tunnel.stop(signal.SIGKILL, check=False)
        for s in self.sockets:
            s.close()
        shutil.rmtree(self.directory, ignore_errors=True)

    def tunnel(self, *arguments, **options):
        tunnel = Tunnel(*arguments, cwd=options.pop("cwd", self.directory), **options)
        self.tunnels.append(tunnel)
        return tunnel

    def keep(self, s):
        self.sockets.append(s)
        return s

    def client(self, tunnel, port, count, rcvbuf=None):
        """Connects to the channel's port and waits until the tunnel counted count clients."""
        c = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if rcvbuf is not None:
            c.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        c.connect(("127.0.0.1", port))
        tunnel.wait_line("rx service: accepted", count)
        return self.keep(c)

    def source(self, port):
        listener = self.keep(socket.socket(socket.AF_INET, socket.SOCK_STREAM))
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind((NEAR, port))
        listener.listen(4)
        listener.settimeout(20)
        return listener

    def accept(self, listener):
        connection, _ = listener.accept()
        return self.keep(connection)

    def assert_stopped(self, tunnel):
        self.assertEqual(tunnel.stop(), 0, tunnel.output() + "".join(tunnel.errors))
        self.assertIn("End of mtunnel.", tunnel.output())

    # ---- rx --------------------------------------------------------------------------------

    def test_rx_fans_out_to_every_client_and_saves(self):
        tunnel = self.tunnel("-v", "-s", "-r", "239.1.1.1:5000,:6000")
        tunnel.wait_line("listen socket ready.")
        tunnel.wait_line("udp socket opened.")
        first, second = Frames(self.client(tunnel, 6000, 1)), Frames(self.client(tunnel, 6000, 2))
        group = self.keep(sender())
        sizes = [0, 1, 3, 4, 100, 1316, 1472, 1473, 9000, 65507]
        batch = [payload(n, sizes[n % len(sizes)]) for n in range(120)]
        for start in range(0, len(batch), 10):
            for data in batch[start:start + 10]:
                group.sendto(data, ("239.1.1.1", 5000))
            self.assertEqual(first.read(10), batch[start:start + 10])
            self.assertEqual(second.read(10), batch[start:start + 10])
        late = Frames(self.client(tunnel, 6000, 3))
        more = [payload(1000 + n, sizes[n % len(sizes)]) for n in range(30)]
        for data in more:
            group.sendto(data, ("239.1.1.1", 5000))
        self.assertEqual(late.read(30), more)
        self.assertEqual(first.read(30), more)
        self.assertEqual(second.read(30), more)
        self.assert_stopped(tunnel)
        saved = os.path.join(self.directory,
                             "rx_239.1.1.1_5000_<any>-<any>_6000_<any>.mtunnel.save")
        with open(saved, "rb") as f:
            self.assertEqual(f.read(), b"".join(batch + more))

    def small_send_buffers(self):
        """TCP send buffers of a small device (128 KiB) until the test ends: a socket there
        reports room for far less than the 64 KiB a send may offer."""
        with open("/proc/sys/net/ipv4/tcp_wmem") as f:
            saved = f.read()
        with open("/proc/sys/net/ipv4/tcp_wmem", "w") as f:
            f.write("4096 131072 131072")

        def restore():
            with open("/proc/sys/net/ipv4/tcp_wmem", "w") as f:
                f.write(saved)
        self.addCleanup(restore)

    def test_rx_client_that_never_reads_is_skipped_at_the_limit(self):
        self.small_send_buffers()
        tunnel = self.tunnel("-v", "--check-interval=300", "-r", ":5100,127.0.0.1:6100",
                             env=SANITIZER)
        tunnel.wait_line("listen socket ready.")
        reader = Frames(self.client(tunnel, 6100, 1))
        stalled = self.client(tunnel, 6100, 2, rcvbuf=4096)
        udp = self.keep(socket.socket(socket.AF_INET, socket.SOCK_DGRAM))
        size = 60000
        sent = 0
        received = []

        def send(count):
            nonlocal sent
            for _ in range(count):
                udp.sendto(payload(sent, size), ("127.0.0.1", 5100))
                sent += 1
                # The reader keeps up, so the program's socket never holds more than a few.
                if sent % 8 == 0:
                    received.extend(reader.read(sent - len(received)))

        while not tunnel.matching("rx service: overflow buffer !"):
            self.assertLess(sent, (LIMIT + (32 << 20)) // size, "no overflow line")
            send(16)
        overflow_at = sent
        resident = tunnel.rss_kib()
        send(600)  # another 36 MB past the limit
        received.extend(reader.read(sent - len(received)))
        self.assertEqual([struct.unpack(">I", data[:4])[0] for data in received],
                         list(range(sent)))
        self.assertEqual(received[-1], payload(sent - 1, size))
        overflow = tunnel.matching("rx service: overflow buffer !")
        self.assertEqual(len(overflow), 1, overflow)
        total = int(re.search(r"total=(\d+), fd=\d+\)", overflow[0]).group(1))
        self.assertGreater(total, LIMIT)
        self.assertLessEqual(total, LIMIT + size + 4)
        # Bounded: what the stalled client holds stays at the limit while the rest flows.
        tunnel.wait_line("rx service: check", len(tunnel.matching("rx service: check")) + 1)
        for line in tunnel.matching("rx service: check"):
            buffered = int(re.search(r"buffered=(\d+)bytes", line).group(1))
            self.assertLessEqual(buffered, LIMIT + 4 * (size + 4) + (1 << 20), line)
        self.assertLess(tunnel.rss_kib() - resident, 16 << 10)
        # Reading again, the stalled client finds whole frames: the ones queued before the
        # limit, none of what came while it was full, then what comes once it has room.
        late = Frames(stalled)
        kept = []
        while late.fill(2):
            while (data := late.take()) is not None:
                kept.append(data)
        self.assertEqual(late.left(), 0)
        self.assertEqual([struct.unpack(">I", data[:4])[0] for data in kept],
                         list(range(len(kept))))
        self.assertGreater(len(kept) * (size + 4), LIMIT)
        self.assertLess(len(kept), overflow_at)
        resumed_from = sent
        send(8)
        self.assertEqual(late.read(8), [payload(n, size) for n in range(resumed_from, sent)])
        self.assert_stopped(tunnel)

    # ---- tx --------------------------------------------------------------------------------

    def test_tx_frames_become_datagrams_with_the_ttl(self):
        listener = self.source(7000)
        group = self.keep(receiver("239.2.2.2", 7001))
        tunnel = self.tunnel("-v", "-s", "--ttl=3", "-t", "10.71.0.1:7000,239.2.2.2:7001")
        connection = self.accept(listener)
        tunnel.wait_line("tx service: udp socket opened.")
        sizes = [0, 1, 2, 3, 4, 5, 1316, 1472, 8000, 65507]
        batch = [payload(n, sizes[n % len(sizes)]) for n in range(60)]
        connection.sendall(b"".join(frame(data) for data in batch))
        for data in batch:
            self.assertEqual(receive(group), (data, 3))
        # A header (and frame) fed one byte at a time goes out only once it is whole.
        split = frame(payload(99, 700))
        for byte in split[:-1]:
            connection.sendall(bytes([byte]))
            time.sleep(0.005)
        self.assertIsNone(receive(group, timeout=0.5))
        connection.sendall(split[-1:])
        self.assertEqual(receive(group), (payload(99, 700), 3))
        self.assertIsNone(receive(group, timeout=0.3), "one datagram per frame")
        # 65532 bytes pass the header check but exceed an IPv4 datagram: that frame alone
        # is dropped, the next one goes out.
        connection.sendall(frame(b"y" * 65532) + frame(b"after"))
        self.assertEqual(receive(group), (b"after", 3))
        # The line was written before "after" went out, but the reader may not have it yet.
        tunnel.wait_line("tx service: out-stream failed !")
        self.assertEqual(len(tunnel.matching("tx service: out-stream failed !")), 1)
        self.assertEqual(tunnel.matching("tx service: connected."), [tunnel.matching(
            "tx service: connected.")[0]])
        self.assert_stopped(tunnel)
        saved = os.path.join(self.directory,
                             "tx_10.71.0.1_7000_<any>-239.2.2.2_7001_<any>.mtunnel.save")
        with open(saved, "rb") as f:
            self.assertEqual(f.read(), b"".join(batch) + payload(99, 700) + b"after")

    def test_tx_refuses_bad_headers_and_reconnects(self):
        listener = self.source(7100)
        group = self.keep(receiver("239.2.2.3", 7101))
        tunnel = self.tunnel("-v", "-t", "10.71.0.1:7100,239.2.2.3:7101")
        for number, (magic, length) in enumerate(((0x1234, None), (MAGIC, 65535),
                                                  (MAGIC, 65533))):
            connection = self.accept(listener)
            good = payload(number, 500)
            # The frames behind the broken header are never trusted.
            connection.sendall(frame(good) + frame(b"x" * 40, magic, length) + frame(good))
            self.assertEqual(receive(group), (good, 255))
            connection.settimeout(10)
            self.assertEqual(connection.recv(10), b"", "the tunnel closes the connection")
            closed_at = time.monotonic()
            self.assertIsNone(receive(group, timeout=0.2))
            if magic != MAGIC:
                tunnel.wait_line("tx service: invalid magic ! (src=10.71.0.1:7100/<any>, "
                                 "dst=239.2.2.3:7101/<any>, magic=4660)")
            listener.settimeout(10)
            # The reconnect waits for the retry time (reported, not judged).
            next_connection = self.accept(listener)
            print("reconnected after %.2f s" % (time.monotonic() - closed_at), file=sys.stderr)
            next_connection.sendall(frame(payload(50 + number, 10)))
            self.assertEqual(receive(group), (payload(50 + number, 10), 255))
            next_connection.close()
            tunnel.wait_line("tx service: disconnected client(t) !", number + 1)
        self.assertEqual(len(tunnel.matching("tx service: invalid length !")), 2)
        self.assert_stopped(tunnel)

    def test_tx_source_that_leaves_and_returns(self):
        listener = self.source(7200)
        group = self.keep(receiver("239.2.2.4", 7201))
        tunnel = self.tunnel("-v", "-t", "10.71.0.1:7200,239.2.2.4:7201")
        numbers = iter(range(1000))
        for _ in range(3):
            connection = self.accept(listener)
            # Everything the source completed before leaving goes out; the cut frame does not.
            batch = [payload(next(numbers), 1316) for _ in range(200)]
            connection.sendall(b"".join(frame(data) for data in batch) + frame(b"cut")[:5])
            connection.close()
            for data in batch:
                self.assertEqual(receive(group), (data, 255))
            self.assertIsNone(receive(group, timeout=0.2))
        self.assertEqual(len(tunnel.matching("tx service: disconnected client(t) !")), 3)
        self.assertEqual(len(tunnel.matching("tx service: connected.")), 3)
        self.assert_stopped(tunnel)

    # ---- both ------------------------------------------------------------------------------

    def test_loop_through_two_instances_loses_nothing(self):
        far = self.keep(receiver("239.3.3.3", 7300))
        rx = self.tunnel("-r", "239.1.1.1:5300,127.0.0.1:6300", "-v")
        rx.wait_line("listen socket ready.")
        tx = self.tunnel("-t", "127.0.0.1:6300,239.3.3.3:7300", "-v")
        tx.wait_line("tx service: udp socket opened.")
        rx.wait_line("rx service: accepted")
        group = self.keep(sender())
        count = 10000
        arrived = []
        done = threading.Event()

        def collect():
            while len(arrived) < count:
                got = receive(far, timeout=20)
                if got is None:
                    break
                arrived.append(got[0])
            done.set()

        thread = threading.Thread(target=collect, daemon=True)
        thread.start()
        started = time.monotonic()
        for number in range(count):
            # At most 200 datagrams on the way, so that no socket buffer or link queue on the
            # path can overflow however long any of the programs waits for a processor.
            while number - len(arrived) > 200 and not done.is_set():
                time.sleep(0.0005)
            group.sendto(payload(number, 1316), ("239.1.1.1", 5300))
        done.wait(60)
        elapsed = time.monotonic() - started
        print("%d datagrams in %.2f s" % (count, elapsed), file=sys.stderr)
        self.assertEqual(len(arrived), count)
        self.assertEqual([struct.unpack(">I", data[:4])[0] for data in arrived],
                         list(range(count)))
        self.assertTrue(all(data == payload(n, 1316) for n, data in enumerate(arrived)))
        self.assert_stopped(tx)
        self.assert_stopped(rx)

    def test_configuration_file_items_substitution_and_search(self):
        with open(os.path.join(self.directory, "tarvik_mtunnel.conf"), "w") as f:
            # A comma separates items on an INI line: the halves are joined by "|" or quoted.
            f.write("; channels of this box\n$listen = 6400\n[zone]\n"
                    "rx = 239.1.1.1:${MTUNNEL_ZONE_PORT}|:$(listen)\n"
                    "[peer]\nTX = \"127.0.0.1:6400,239.3.3.4:7400\"\n")
        far = self.keep(receiver("239.3.3.4", 7400))
        tunnel = self.tunnel("-v", "--dump-config", env={"MTUNNEL_ZONE_PORT": "5400"})
        tunnel.wait_line("tx service: udp socket opened.")
        output = tunnel.output()
        self.assertIn('config("./tarvik_mtunnel.conf") found.\n', output)
        # Each channel goes to the head of the list: the last one is shown first.
        self.assertIn("[TX] src=127.0.0.1:6400/<any>, dst=239.3.3.4:7400/<any>\n"
                      "[RX] src=239.1.1.1:5400/<any>, dst=<any>:6400/<any>\n", output)
        self.assertIn("239.1.1.1:5400|:6400", output)  # the dump shows the expanded value
        tunnel.wait_line("rx service: accepted")
        self.keep(sender()).sendto(b"through both", ("239.1.1.1", 5400))
        self.assertEqual(receive(far), (b"through both", 255))  # the default TTL
        self.assert_stopped(tunnel)
        # --config names the only file; channels on the command line leave items unused.
        other = os.path.join(self.directory, "other.conf")
        with open(other, "w") as f:
            f.write("rx = :5401|:6401\n")
        tunnel = self.tunnel("-v", "--config", other, "-r", ":5402,:6402")
        tunnel.wait_line("rx service: listen socket ready.")
        self.assertIn('config("%s") found.' % other, tunnel.output())
        self.assertEqual(tunnel.matching("[RX]"), ["[RX] src=<any>:5402/<any>, "
                                                   "dst=<any>:6402/<any>\n"])
        self.assert_stopped(tunnel)

    def test_check_lines_report_rates(self):
        tunnel = self.tunnel("-v", "--check-interval=1000", "-r", ":5500,127.0.0.1:6500")
        tunnel.wait_line("listen socket ready.")
        client = Frames(self.client(tunnel, 6500, 1))
        udp = self.keep(socket.socket(socket.AF_INET, socket.SOCK_DGRAM))
        tunnel.wait_line("rx service: check")
        before = len(tunnel.matching("rx service: check"))
        # 125,000 payload bytes in one burst: 1,000,000 bits within a one-second interval.
        sizes = [1316] * 94 + [1296]
        for number, size in enumerate(sizes):
            udp.sendto(payload(number, size), ("127.0.0.1", 5500))
        client.read(len(sizes))
        lines = tunnel.wait_line("rx service: check", before + 3)[before:]
        pattern = re.compile(r"^rx service: check \(src=<any>:5500/<any>, "
                             r"dst=127\.0\.0\.1:6500/<any>, in-queued=(\d+)\.(\d{3})Kbps, "
                             r"out-queued=(\d+)\.(\d{3})Kbps/1, buffered=0bytes\)\n$")
        rates = [pattern.match(line) for line in lines]
        self.assertTrue(all(rates), lines)
        incoming = sum(int(m.group(1)) + int(m.group(2)) / 1000 for m in rates)
        outgoing = sum(int(m.group(3)) + int(m.group(4)) / 1000 for m in rates)
        # Bits over at least a second each: exactly 1000.000 when the interval is exact, less
        # when a busy machine printed the line late (a wrong unit would be 8 or 1000 off).
        self.assertLessEqual(incoming, 1000.0)
        self.assertGreater(incoming, 500.0)
        self.assertAlmostEqual(outgoing, incoming * 125380 / 125000, delta=2)
        self.assertIn("in-queued=0.000Kbps, out-queued=0.000Kbps/1", lines[-1])
        self.assert_stopped(tunnel)

    def test_keys_and_signals_stop_with_status_zero(self):
        for keys in (b"\x1b", b"q"):
            result = e2e.run_pty([e2e.VEXA, "mtunnel", "-v", "-r", ":5600,127.0.0.1:6600"],
                                 # Typed again later should a slow start have flushed it.
                                 keys=[(1.5, keys), (3.0, keys)], until=b"End of mtunnel.",
                                 timeout=20)
            self.assertIn(b"rx service: listen socket ready.", result.stdout)
            self.assertIn(b"\r\nEnd of mtunnel.", result.stdout)
            time.sleep(0.2)
        for signal_number in (signal.SIGTERM, signal.SIGINT, signal.SIGQUIT):
            tunnel = self.tunnel("-v", "-r", ":5601,127.0.0.1:6601")
            tunnel.wait_line("listen socket ready.")
            self.assertEqual(tunnel.stop(signal_number), 0)
            self.assertTrue(tunnel.output().endswith("\nEnd of mtunnel.\n"))

    def test_usage_and_refused_options(self):
        for arguments in (["-h", "-r", ":5700,:6700"], []):
            result = e2e.run("mtunnel", *arguments, cwd=self.directory)
            self.assertEqual((result.returncode, result.stdout), (1, USAGE))
        result = e2e.run("mtunnel", "-r", ":5700,:67x0", cwd=self.directory)
        self.assertEqual(result.returncode, 1)
        self.assertIn('invalid port in ":5700,:67x0"', result.stderr)
        result = e2e.run("mtunnel", "--ttl=256", "-r", ":5700,:6700", cwd=self.directory)
        self.assertEqual(result.returncode, 1)
        self.assertIn("--ttl", result.stderr)

    def test_daemon_pid_file_and_launcher(self):
        e2e.require_namespaces(self, net=True, pid=True)
        probe = ("import socket, struct, sys\n"
                 "c = socket.create_connection(('127.0.0.1', 6800))\n"
                 "c.settimeout(5)\n"
                 "u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
                 "data = b''\n"
                 "for _ in range(50):\n"
                 "    u.sendto(b'probe', ('127.0.0.1', 5800))\n"
                 "    try:\n"
                 "        data += c.recv(100)\n"
                 "        break\n"
                 "    except socket.timeout:\n"
                 "        pass\n"
                 "print('frame', data[:9] == struct.pack('>HH', 0x2744, 5) + b'probe')\n")
        script = r"""
ip link set lo up
cd "$1"
wait_pid() { for i in $(seq 200); do [ -s pid ] && [ "$(cat pid)" != "$1" ] && return; sleep 0.05; done; }
"$0" mtunnel -v -d -p "$1/pid" --launcher -r ":5800,127.0.0.1:6800"
echo "detached $?"
wait_pid none
first=$(cat pid)
sleep 0.3
"$2" -c "$3"
kill -USR1 "$first"
wait_pid "$first"
second=$(cat pid)
[ "$second" != "$first" ] && echo restarted
sleep 0.3
"$2" -c "$3"
kill -TERM "$second"
# The worker and its monitor (under an emulator the process name is the emulator's).
left() { pgrep -f ":5800,127.0.0.1:6800" | grep -vx "$$"; }
# Up to 15 s: under an emulator on a busy machine the monitor takes its time.
for i in $(seq 300); do left >/dev/null || break; sleep 0.05; done
left >/dev/null && echo left || echo all-ended
"""
        result = e2e.in_namespaces(script, self.directory, sys.executable, probe, net=True,
                                   pid=True, timeout=60)
        self.assertEqual(result.stdout.split("\n")[:5],
                         ["detached 0", "frame True", "restarted", "frame True", "all-ended"],
                         result)


if __name__ == "__main__":
    e2e.main(__doc__)
