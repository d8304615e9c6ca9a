#!/usr/bin/env python3
"""The socket and route monitors inside private namespaces.

netstat: with TCP, UDP and raw sockets over IPv4 and IPv6 that a helper process makes (and a
child sharing one of them), every socket of `ss -tuwanp` appears with the same endpoints,
state, queues and owner; the listening port lists name the owners; a socket no process holds
shows "-"; with the IPv6 tables hidden the IPv4 ones still come; each process's descriptors
are read once per run. route: default, host, network, gateway and reject routes (and a few
thousand more) agree with /proc/net/route and `ip -4 route`. netspeed, on a terminal, with
traffic at a known rate over a veth link: the rates agree with the traffic at intervals of
200, 1000 and 1500 ms, in bytes and (key b) in bits; an interface made anew shows 0, not a
wrapped difference; q ends with the end line.

Usage: test_netstat.py <vexa>
"""
import json
import os
import re
import shutil
import socket
import statistics
import struct
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vexa_e2e as e2e  # noqa: E402

MARK = "=====8<====="
BULK_LISTENERS = 2000  # /proc/net/tcp well past 256 KiB
BULK_ROUTES = 2500

# The owner: sockets of every kind, then a child that shares one of them and holds its own.
HELPER = r"""
import ctypes, os, resource, socket, sys, time

def name(text):
    ctypes.CDLL(None).prctl(15, text.encode(), 0, 0, 0)

ready = sys.argv[1]
resource.setrlimit(resource.RLIMIT_NOFILE, (8192, 8192))
name("owner_a")
keep = []
def tcp_listener(family, address):
    listener = socket.socket(family, socket.SOCK_STREAM)
    listener.bind((address, 0))
    listener.listen(16)
    keep.append(listener)
    return listener

def pair(listener, address, unread):
    client = socket.create_connection((address, listener.getsockname()[1]))
    server, _ = listener.accept()
    client.sendall(b"x" * unread)
    keep.extend([client, server])

v4 = tcp_listener(socket.AF_INET, "127.0.0.1")
v6 = tcp_listener(socket.AF_INET6, "::1")
dual = tcp_listener(socket.AF_INET6, "::")
pair(v4, "127.0.0.1", 100)
pair(v6, "::1", 7)
pair(dual, "127.0.0.1", 0)  # the server side is an IPv4-mapped tcp6 socket
# Closed by the client first: TIME_WAIT, held by no process.
client = socket.create_connection(("127.0.0.1", v4.getsockname()[1]))
server, _ = v4.accept()
client.close()
server.close()
for family, address in ((socket.AF_INET, "127.0.0.1"), (socket.AF_INET6, "::1")):
    udp = socket.socket(family, socket.SOCK_DGRAM)
    udp.bind((address, 0))
    keep.append(udp)
connected = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
connected.connect(("127.0.0.1", 9))
keep.append(connected)
keep.append(socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP))
keep.append(socket.socket(socket.AF_INET6, socket.SOCK_RAW, socket.IPPROTO_ICMPV6))
for _ in range(%(bulk)d):
    tcp_listener(socket.AF_INET, "127.0.0.1")
shared = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
shared.bind(("127.0.0.2", 0))
if os.fork() == 0:
    name("owner_b")
    for inherited in keep:
        inherited.close()
    tcp_listener(socket.AF_INET, "127.0.0.3")
    own = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
    own.bind(("::1", 0))
    open(ready + ".child", "w").close()
    time.sleep(60)
    os._exit(0)
while not os.path.exists(ready + ".child"):
    time.sleep(0.01)
open(ready, "w").close()
time.sleep(60)
""" % {"bulk": BULK_LISTENERS}

# $1 helper, $2 python, $3 ready file, $4 scratch directory.
NETSTAT_SCRIPT = r"""
ip link set lo up
"$2" "$1" "$3" &
for i in $(seq 500); do [ -e "$3" ] && break; sleep 0.02; done
ss -tuwanp
echo "%(mark)s"
"$0" netstat
echo "%(mark)s"
ss -4 -tuwan
echo "%(mark)s"
# The tables of this shell's network view replaced by copies without the IPv6 ones; the
# shell then becomes the program, so the program sees them as its own.
sh -c 'mount -t tmpfs none "$1" && for t in tcp udp raw; do cat /proc/net/$t > "$1/$t"; done &&
       mount --bind "$1" /proc/$$/net && exec "$0" netstat' "$0" "$4"
echo "%(mark)s"
strace -f -qq -e trace=openat -o "$4.trace" "$0" netstat > /dev/null
cat "$4.trace"
""" % {"mark": MARK}

ROUTE_SCRIPT = r"""
set -e
ip link set lo up
ip link add v0 type veth peer name v1
ip link add d0 type dummy 2>/dev/null || ip link add d0 type bridge
ip link set v0 up
ip link set v1 up
ip link set d0 up
ip addr add 10.1.0.1/24 dev v0
ip addr add 10.2.0.1/16 dev d0
ip route add default via 10.1.0.254
ip route add 192.0.2.7 via 10.1.0.2
ip route add 10.9.9.9 dev d0
ip route add 198.51.100.0/24 dev d0 metric 50
ip route add 172.16.0.0/12 via 10.2.0.3 metric 7
ip route add unreachable 203.0.113.0/24
ip route add prohibit 203.0.114.7
ip route add blackhole 203.0.115.0/24
ip -batch "$1"
set +e
cat /proc/net/route
echo "%(mark)s"
ip -j -4 route
echo "%(mark)s"
"$0" route
echo "rc=$?"
""" % {"mark": MARK}

SS_STATES = {1: "ESTAB", 2: "SYN-SENT", 3: "SYN-RECV", 4: "FIN-WAIT-1", 5: "FIN-WAIT-2",
             6: "TIME-WAIT", 7: "UNCONN", 8: "CLOSE-WAIT", 9: "LAST-ACK", 10: "LISTEN",
             11: "CLOSING"}
TCP_STATES = {1: "ESTABLISHED", 2: "SYN_SENT", 3: "SYN_RECV", 4: "FIN_WAIT1", 5: "FIN_WAIT2",
              6: "TIME_WAIT", 7: "CLOSE", 8: "CLOSE_WAIT", 9: "LAST_ACK", 10: "LISTEN",
              11: "CLOSING"}
LINE = re.compile(r"^(tcp|tcp6|udp|udp6|raw|raw6) +(\d+) +(\d+) +\[(.*?)\]:(\d+) +"
                  r"\[(.*?)\]:(\d+) +(\S*)\(([0-9A-F]{2})H\) +(\S+)$")
USER = re.compile(r'\("([^"]*)",pid=(\d+),fd=\d+\)')
ANY = {"*", "0.0.0.0", "::"}


def endpoint(text):
    address, port = text.rsplit(":", 1)
    address = address.strip("[]")
    return ("any" if address in ANY else address, 0 if port == "*" else int(port))


def parse_ss(text):
    """(netid, local, remote, state, recv-q, send-q) -> list of holders (name, pid)."""
    sockets = {}
    for line in text.strip().splitlines()[1:]:
        fields = line.split()
        local, remote = endpoint(fields[4]), endpoint(fields[5])
        holders = sorted(((name, int(pid)) for name, pid in USER.findall(line)),
                         key=lambda holder: holder[1])
        key = (fields[0], local, remote, fields[1], int(fields[2]),
               None if fields[1] == "LISTEN" else int(fields[3]))
        sockets.setdefault(key, []).append(holders)
    return sockets


def parse_netstat(test, text):
    """The socket lines as keys comparable with parse_ss, and the two port-list lines."""
    sockets = {}
    lines = text.strip().splitlines()
    test.assertTrue(lines[-2].startswith("TCP Listen port list: "), lines[-2:])
    test.assertTrue(lines[-1].startswith("UDP Listen port list: "), lines[-1:])
    for line in lines[:-2]:
        match = LINE.match(line)
        test.assertIsNotNone(match, line)
        proto, rx, tx, local, lport, remote, rport, state_text, state, owner = match.groups()
        test.assertEqual(line, "%-4s %-6s %-6s %-32s %-32s %-16s %s" % (
            proto, rx, tx, "[%s]:%s" % (local, lport), "[%s]:%s" % (remote, rport),
            "%s(%s)" % (state_text, match.group(9) + "H"), owner))
        state = int(state, 16)
        if proto.startswith("tcp"):
            test.assertEqual(state_text, TCP_STATES.get(state, "UNKNOWN"), line)
        elif proto.startswith("udp"):
            test.assertEqual(state_text, {1: "ESTABLISHED", 7: ""}.get(state, "UNKNOWN"), line)
        else:
            test.assertEqual(state_text, str(state), line)
        ss_state = SS_STATES[state]
        key = (proto.rstrip("6"), endpoint("[%s]:%s" % (local, lport)),
               endpoint("[%s]:%s" % (remote, rport)), ss_state, int(rx),
               None if ss_state == "LISTEN" else int(tx))
        sockets.setdefault(key, []).append(owner)
    return sockets, lines[-2][len("TCP Listen port list: "):], \
        lines[-1][len("UDP Listen port list: "):]


def port_groups(text):
    """"a=1|3-5,b=2" -> {"a": {1, 3, 4, 5}, "b": {2}}."""
    groups = {}
    for group in filter(None, text.split(",")):
        name, ranges = group.split("=", 1)
        ports = groups.setdefault(name, set())
        for part in ranges.split("|"):
            first, _, last = part.partition("-")
            ports.update(range(int(first), int(last or first) + 1))
    return groups


def route_flags(flags):
    if not flags & 0x1:
        return ""
    text = "!" if flags & 0x200 else "U"
    for bit, letter in zip(range(1, 15), "GHRDMmWI SXNTn"):
        if letter != " " and flags & (1 << bit):
            text += letter
    return text


def dotted(word):
    return socket.inet_ntoa(struct.pack("<I", int(word, 16)))


class NetstatTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        e2e.require_namespaces(cls, net=True, pid=True)
        cls.scratch = tempfile.mkdtemp(prefix="vexa-netstat-")
        helper = os.path.join(cls.scratch, "helper.py")
        with open(helper, "w") as handle:
            handle.write(HELPER)
        tables = os.path.join(cls.scratch, "tables")
        os.mkdir(tables)
        result = e2e.in_namespaces(NETSTAT_SCRIPT, helper, sys.executable,
                                   os.path.join(cls.scratch, "ready"), tables, net=True,
                                   pid=True, timeout=120)
        cls.parts = result.stdout.split(MARK + "\n")
        if len(cls.parts) != 5:
            raise AssertionError("namespace run failed: %r" % result)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def test_every_socket_of_ss_with_its_owner(self):
        expected = parse_ss(self.parts[0])
        shown, _, _ = parse_netstat(self, self.parts[1])
        self.assertEqual(sorted(shown), sorted(expected))
        self.assertGreater(len(shown), BULK_LISTENERS)
        owners = set()
        for key, holder_lists in expected.items():
            for holders, owner in zip(holder_lists, shown[key]):
                # The first holder in the process table (lowest pid), or "-" for none.
                self.assertEqual(owner, holders[0][0] if holders else "-", key)
                owners.add(owner)
        self.assertEqual(owners, {"owner_a", "owner_b", "-"})
        # The socket of the parent that its child shares names the parent.
        shared = [key for key, lists in expected.items() if len(lists[0]) == 2]
        self.assertEqual(len(shared), 1)
        self.assertEqual(shown[shared[0]], ["owner_a"])
        self.assertEqual(shared[0][1][0], "127.0.0.2")
        # TIME_WAIT is held by nobody.
        self.assertIn("-", [owner for key, owners_ in shown.items() if key[3] == "TIME-WAIT"
                            for owner in owners_])

    def test_listening_port_lists_name_the_owners(self):
        expected = parse_ss(self.parts[0])
        _, tcp, udp = parse_netstat(self, self.parts[1])
        want_tcp, want_udp = {}, {}
        for key, holder_lists in expected.items():
            for holders in holder_lists:
                owner = holders[0][0] if holders else "-"
                if key[0] == "tcp" and key[3] == "LISTEN":
                    want_tcp.setdefault(owner, set()).add(key[1][1])
                elif key[0] == "udp" and key[3] == "UNCONN":
                    want_udp.setdefault(owner, set()).add(key[1][1])
        self.assertEqual(port_groups(tcp), want_tcp)
        self.assertEqual(port_groups(udp), want_udp)
        self.assertEqual(set(want_tcp), {"owner_a", "owner_b"})
        # Runs of ports are written first-last, and the groups keep their order of first
        # appearance in the tables.
        self.assertTrue(tcp.startswith("owner_a="), tcp[:80])

    def test_hidden_ipv6_tables_still_give_the_ipv4_sockets(self):
        expected = parse_ss(self.parts[2])
        shown, _, _ = parse_netstat(self, self.parts[3])
        self.assertEqual(sorted(shown), sorted(expected))
        self.assertTrue(all(not proto.endswith("6") for proto in
                            re.findall(r"^(\S+) ", self.parts[3], re.M)[:-2]))

    def test_each_descriptor_table_is_read_once(self):
        opened = re.findall(r'openat\([^"]*"(\d+)/fd"', self.parts[4])
        self.assertGreaterEqual(len(set(opened)), 3, self.parts[4][-2000:])
        repeated = {pid for pid in opened if opened.count(pid) > 1}
        self.assertEqual(repeated, set())


# Sends UDP datagrams out of v0 at a steady rate to a neighbour that only v1's link knows, and
# writes v0's transmit counter at the start and the end of the sending; then, when asked,
# makes the link pair anew and sends a little over the new one.
GENERATOR = r"""
import json, socket, subprocess, sys, time
start_delay, duration, result, recreate = float(sys.argv[1]), float(sys.argv[2]), sys.argv[3], \
    sys.argv[4] == "1"
PER_SECOND = 1000
payload = b"x" * 1000

def tx():
    with open("/proc/net/dev") as table:
        for line in table:
            name, _, counters = line.partition(":")
            if name.strip() == "v0":
                return int(counters.split()[8])

def link():
    for command in ("ip link add v0 type veth peer name v1", "ip addr add 10.5.0.1/24 dev v0",
                    "ip link set v0 up", "ip link set v1 up"):
        subprocess.run(command.split(), check=True)
    address = json.loads(subprocess.run(["ip", "-j", "link", "show", "v1"], check=True,
                                        capture_output=True).stdout)[0]["address"]
    subprocess.run(["ip", "neigh", "replace", "10.5.0.2", "lladdr", address, "dev", "v0", "nud",
                    "permanent"], check=True)
    for _ in range(200):
        state = subprocess.run(["ip", "-j", "link", "show", "v0"], check=True,
                               capture_output=True).stdout
        if json.loads(state)[0]["operstate"] == "UP":
            break
        time.sleep(0.01)

if sys.argv[5] == "setup":
    link()
    sys.exit(0)
sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
time.sleep(start_delay)
first, start, sent = tx(), time.monotonic(), 0
while time.monotonic() - start < duration:
    due = int((time.monotonic() - start) * PER_SECOND)
    while sent < due:
        sender.sendto(payload, ("10.5.0.2", 9))
        sent += 1
    time.sleep(0.004)
end, last = time.monotonic(), tx()
with open(result, "w") as out:
    out.write("%d %d %f\n" % (first, last, (last - first) / (end - start)))
if recreate:
    time.sleep(0.3)
    subprocess.run(["ip", "link", "del", "v0"], check=True)
    link()
    for _ in range(5):
        sender.sendto(payload, ("10.5.0.2", 9))
    with open(result, "a") as out:
        out.write("recreated\n")
"""

# $1 python, $2 generator, $3 start delay, $4 duration, $5 result, $6 recreate, $7 interval.
NETSPEED_SCRIPT = r"""
ip link set lo up
sysctl -q -w net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
"$1" "$2" 0 0 "$5" 0 setup || exit 1
"$1" "$2" "$3" "$4" "$5" "$6" run > /dev/null 2>&1 &
"$0" netspeed -i "$7"
echo "status=$?"
"""
ROW = re.compile(r"^ *(\S+): +(\d+|N/A) +(\d+|N/A) +(\d+|N/A) +(\d+|N/A)$")


def frames(output):
    """Each redraw as (unit, {name: (rx rate, tx rate, rx total, tx total)})."""
    parsed = []
    for text in output.split("\x1b[H\x1b[J")[1:]:
        lines = e2e.strip_ansi(text).splitlines()
        rows, unit = {}, None
        for line in lines:
            match = ROW.match(line)
            if match and match.group(1) != "IfName":
                rows[match.group(1)] = tuple(int(value) if value != "N/A" else None
                                             for value in match.groups()[1:])
            elif line.startswith("[unit="):
                unit = line[len("[unit="):-1]
        if unit is not None:
            parsed.append((unit, rows))
    return parsed


class NetspeedTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        e2e.require_namespaces(cls, net=True)
        cls.scratch = tempfile.mkdtemp(prefix="vexa-netspeed-")
        cls.generator = os.path.join(cls.scratch, "generator.py")
        with open(cls.generator, "w") as handle:
            handle.write(GENERATOR)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def monitor(self, interval, duration, bits_after=None, recreate=False, quit_key=b"q"):
        """Runs netspeed on a terminal while the generator sends. Keys follow what has
        happened, not the clock: b after that many frames with traffic (when asked), the quit
        key two frames after the sending (and the re-creation) ended. Returns the frames,
        the counter at the start and the end of the sending, and the rate sent."""
        result = os.path.join(self.scratch, "result-%d" % interval)
        command = ["unshare", "--net", "sh", "-c", NETSPEED_SCRIPT, e2e.VEXA, sys.executable,
                   self.generator, "0.2", str(duration), result, "1" if recreate else "0",
                   str(interval)]

        def traffic(output):
            return sum(1 for _, rows in frames(output.decode("utf-8", "replace"))
                       if rows.get("v0", (0, 0))[1])

        finished_at = []

        def finished(output):
            count = len(frames(output.decode("utf-8", "replace")))
            if not finished_at:
                if not os.path.exists(result):
                    return False
                with open(result) as handle:
                    if recreate and "recreated" not in handle.read():
                        return False
                finished_at.append(count)
            return count >= finished_at[0] + 2

        steps = ([(lambda output: traffic(output) >= bits_after, b"b")] if bits_after else [])
        output = e2e.run_pty(command, keys=steps + [(finished, quit_key)], timeout=60,
                             until=b"status=").stdout.decode("utf-8", "replace")
        self.assertIn("\nEnd of netspeed.\n", output.replace("\r\n", "\n"))
        self.assertIn("status=0", output)
        with open(result) as handle:
            lines = handle.read().split("\n")
        first, last, sent = lines[0].split()
        return frames(output), int(first), int(last), float(sent)

    def steady(self, parsed, first, last):
        """Frames whose whole interval lies inside the sending (by v0's transmit counter)."""
        inside = []
        for (_, before), (unit, rows) in zip(parsed, parsed[1:]):
            if "v0" in before and "v0" in rows and \
                    first < before["v0"][3] <= rows["v0"][3] < last:
                inside.append((unit, rows))
        return inside

    def assert_rate(self, frames_, unit, sent, factor):
        tx = [rows["v0"][1] for frame_unit, rows in frames_ if frame_unit == unit]
        rx = [rows["v1"][0] for frame_unit, rows in frames_ if frame_unit == unit]
        self.assertGreaterEqual(len(tx), 2, frames_)
        for rates in (tx, rx):
            self.assertAlmostEqual(statistics.median(rates) / (sent * factor), 1.0, delta=0.1,
                                   msg="%s: %r against %.0f" % (unit, rates, sent * factor))

    def test_rates_at_200_ms_in_bytes_then_bits(self):
        parsed, first, last, sent = self.monitor(200, 4.0, bits_after=8)
        inside = self.steady(parsed, first, last)
        self.assertTrue(sent > 500000, sent)
        self.assert_rate(inside, "bytes per second", sent, 1)
        self.assert_rate(inside, "bits per second", sent, 8)
        self.assertEqual(parsed[0][0], "bytes per second")
        self.assertEqual(parsed[-1][0], "bits per second")

    def test_rates_at_1000_ms(self):
        parsed, first, last, sent = self.monitor(1000, 5.0)
        self.assert_rate(self.steady(parsed, first, last), "bytes per second", sent, 1)

    def test_rates_at_1500_ms_and_an_interface_made_anew(self):
        parsed, first, last, sent = self.monitor(1500, 5.0, recreate=True, quit_key=b"\x1b")
        # The rate is the difference over the elapsed milliseconds, not over whole seconds.
        self.assert_rate(self.steady(parsed, first, last), "bytes per second", sent, 1)
        renewed = [rows["v0"] for (_, before), (_, rows) in zip(parsed, parsed[1:])
                   if "v0" in before and "v0" in rows and rows["v0"][3] < before["v0"][3]]
        self.assertEqual(len(renewed), 1, parsed)
        self.assertEqual(renewed[0][:2], (0, 0))
        for _, rows in parsed:
            for name, values in rows.items():
                self.assertTrue(all(value is None or value < 10 ** 12 for value in values[:2]),
                                (name, values))


class RouteTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        e2e.require_namespaces(cls, net=True)
        cls.scratch = tempfile.mkdtemp(prefix="vexa-route-")
        batch = os.path.join(cls.scratch, "routes")
        with open(batch, "w") as handle:
            for i in range(BULK_ROUTES):
                handle.write("route add 100.64.%d.%d/32 dev d0 metric %d\n"
                             % (i // 250, i % 250, i % 9))
        result = e2e.in_namespaces(ROUTE_SCRIPT, batch, net=True, timeout=120)
        shutil.rmtree(cls.scratch, ignore_errors=True)
        cls.parts = result.stdout.split(MARK + "\n")
        if len(cls.parts) != 3:
            raise AssertionError("namespace run failed: %r" % result)
        cls.shown = cls.parts[2].splitlines()
        if cls.shown[-1] != "rc=0":
            raise AssertionError("route failed: %r" % result)
        cls.shown = cls.shown[:-1]

    def test_lines_follow_the_kernel_table(self):
        expected = []
        for line in self.parts[0].splitlines()[1:]:
            words = line.split()
            flags = int(words[3], 16)
            expected.append("%-15s %-15s %-15s %-5s %-6u %-6u %3u %s" % (
                dotted(words[1]), dotted(words[2]), dotted(words[7]), route_flags(flags),
                int(words[6]), int(words[4]), int(words[5]), words[0]))
        self.assertEqual(self.shown, expected)
        self.assertGreater(len(self.shown), BULK_ROUTES)

    def test_routes_agree_with_iproute2(self):
        expected = set()
        for route in json.loads(self.parts[1]):
            destination = route["dst"]
            if destination == "default":
                destination = "0.0.0.0/0"
            elif "/" not in destination:
                destination += "/32"
            kind = route.get("type", "unicast")
            flags = ("!" if kind in ("unreachable", "prohibit") else "U") + \
                ("G" if "gateway" in route else "") + ("H" if destination.endswith("/32") else "")
            expected.add((destination, route.get("gateway", "0.0.0.0"), route.get("dev", "*"),
                          route.get("metric", 0), flags))
        shown = set()
        for line in self.shown:
            destination, gateway, mask, flags, metric, _, _, name = line.split()
            bits = bin(struct.unpack("!I", socket.inet_aton(mask))[0]).count("1")
            shown.add(("%s/%d" % (destination, bits), gateway, name, int(metric), flags))
        self.assertEqual(shown, expected)
        for wanted in (("0.0.0.0/0", "10.1.0.254", "v0", 0, "UG"),
                       ("192.0.2.7/32", "10.1.0.2", "v0", 0, "UGH"),
                       ("10.9.9.9/32", "0.0.0.0", "d0", 0, "UH"),
                       ("198.51.100.0/24", "0.0.0.0", "d0", 50, "U"),
                       ("172.16.0.0/12", "10.2.0.3", "d0", 7, "UG"),
                       ("203.0.113.0/24", "0.0.0.0", "*", 0, "!"),
                       ("203.0.114.7/32", "0.0.0.0", "*", 0, "!H")):
            self.assertIn(wanted, shown)


if __name__ == "__main__":
    e2e.main(__doc__)
