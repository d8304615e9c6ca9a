#!/usr/bin/env python3
"""The wol applet (wol.cpp), run for real inside a private network namespace with two veth
ends: a UDP listener on port 2304 captures the 102-byte magic packets, sent to a target (with
and without a port, as a locator) and broadcast from every IPv4 address of the interfaces (or
of the one named); MAC addresses in the three forms, and refusals of invalid ones.

Usage: test_wol.py <vexa>
"""
import json
import socket
import sys
import unittest

import vexa_e2e as e2e

# Listens on every address of port 2304 (and 4000), prints what arrived as JSON lines.
LISTENER = r"""
import json, select, socket, sys
sockets = []
for port in (2304, 4000):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    s.bind(("0.0.0.0", port))
    sockets.append(s)
open(sys.argv[1], "w").close()
while True:
    ready, _, _ = select.select(sockets, [], [], 60)
    if not ready:
        break
    for s in ready:
        data, source = s.recvfrom(4096)
        print(json.dumps([s.getsockname()[1], source[0], data.hex()]), flush=True)
"""

# $0 vexa, $1 python, $2 listener source, then the applet's arguments.
NETWORK = r"""
program=$0; python=$1; listener=$2; shift 2
ip link set lo up
ip link add v0 address 02:00:00:00:00:01 type veth peer name v1 address 02:00:00:00:00:02
ip addr add 10.9.0.1/24 dev v0
ip addr add 10.9.0.2/24 dev v1
ip addr add 10.9.1.2/24 dev v1
ip link set v0 up; ip link set v1 up
ready=$(mktemp -u)
"$python" -c "$listener" "$ready" &
listener_pid=$!
while [ ! -e "$ready" ]; do sleep 0.05; done
for arguments in "$@"; do
    eval "\"\$program\" wol $arguments" > "$ready.out" 2>&1
    status=$?
    sed 's/^/OUT /' "$ready.out"
    echo "STATUS $status"
done
sleep 0.5
kill $listener_pid
wait
rm -f "$ready" "$ready.out"
"""

MAC = bytes.fromhex("0123456789ab")
PACKET = (b"\xff" * 6 + MAC * 16).hex()


def run_in_network(*argument_lines):
    e2e.require_namespaces(None, net=True)
    result = e2e.in_namespaces(NETWORK, sys.executable, LISTENER, *argument_lines, net=True,
                               timeout=120)
    outputs, packets = [], []
    for line in result.stdout.splitlines():
        if line.startswith("OUT "):
            outputs.append(line[4:])
        elif line.startswith("STATUS "):
            outputs.append(int(line[7:]))
        elif line.startswith("["):
            packets.append(tuple(json.loads(line)))
    return result, outputs, packets


class WolTest(unittest.TestCase):
    def test_target_receives_one_packet_on_port_2304(self):
        result, outputs, packets = run_in_network(
            "--target 10.9.0.2 01:23:45:67:89:ab", "-t udp://10.9.0.2:4000 01-23-45-67-89-AB",
            "--target=10.9.1.2:4000 0123456789ab")
        self.assertEqual(outputs, [
            "WOL packet : 102 bytes (Target 01:23:45:67:89:AB) udp://10.9.0.2:2304", 0,
            "WOL packet : 102 bytes (Target 01:23:45:67:89:AB) udp://10.9.0.2:4000", 0,
            "WOL packet : 102 bytes (Target 01:23:45:67:89:AB) udp://10.9.1.2:4000", 0],
            result)
        self.assertEqual(sorted((port, data) for port, _, data in packets),
                         [(2304, PACKET), (4000, PACKET), (4000, PACKET)], result)

    def test_without_target_every_interface_address_broadcasts(self):
        result, outputs, packets = run_in_network("01:23:45:67:89:ab", "1:23:45:67:89:ab v1")
        sent = [line for line in outputs if isinstance(line, str)]
        # Loopback is left out; every IPv4 address of the others sends one datagram.
        self.assertEqual(sorted(sent[:3]), [
            "WOL packet : 102 bytes (Target 01:23:45:67:89:AB) v0/10.9.0.1",
            "WOL packet : 102 bytes (Target 01:23:45:67:89:AB) v1/10.9.0.2",
            "WOL packet : 102 bytes (Target 01:23:45:67:89:AB) v1/10.9.1.2"], result)
        # Only the interface named.
        self.assertEqual(sorted(sent[3:]), [
            "WOL packet : 102 bytes (Target 01:23:45:67:89:AB) v1/10.9.0.2",
            "WOL packet : 102 bytes (Target 01:23:45:67:89:AB) v1/10.9.1.2"], result)
        self.assertEqual([line for line in outputs if isinstance(line, int)], [0, 0])
        self.assertEqual(sorted(source for port, source, data in packets
                                if port == 2304 and data == PACKET),
                         ["10.9.0.1", "10.9.0.2", "10.9.0.2", "10.9.1.2", "10.9.1.2"], result)

    def test_invalid_mac_addresses_are_refused(self):
        for text in ("01:23:45:67:89", "01:23:45:67:89:ab:cd", "01:23:45:67:89:ag",
                     "0123456789a", "0123456789abc", "01:23-45:67:89:ab", "001:23:45:67:89:ab",
                     "0x1:23:45:67:89:ab", " 1:23:45:67:89:ab", "", "01:23:45:67:89:ab "):
            result = e2e.run("wol", "--target", "127.0.0.1:9", text)
            self.assertEqual((result.returncode, result.stdout),
                             (1, 'invalid mac address : "%s"\n' % text), result)
        result = e2e.run("wol")
        self.assertEqual(
            (result.returncode, result.stdout),
            (1, "Usage: wol [--target <addresss[:port]>] <mac address> [<interface name>]\n"))

    def test_names_resolved_and_left_at_once_leave_nothing_behind(self):
        # A name goes through the resolver's service thread, a literal address resolves at
        # once; the program exits right after sending, and its exit finds no heap block and no
        # thread of the resolution left (e2e.run fails on any exit dump). Many rounds, since
        # such a leftover only shows when the exit wins a race.
        rounds = 30 if e2e.is_target() else 200
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as listener:
            listener.bind(("127.0.0.1", 0))
            listener.settimeout(30)
            port = listener.getsockname()[1]
            targets = ["localhost:%d" % port] * rounds + ["udp://localhost:%d" % port,
                                                         "127.0.0.1:%d" % port]
            for index, target in enumerate(targets):
                result = e2e.run("wol", "--target", target, "01:23:45:67:89:ab")
                self.assertEqual((result.returncode, result.stderr), (0, ""),
                                 "round %d: %r" % (index, result))
                self.assertTrue(result.stdout.startswith("WOL packet : 102 bytes"), result)
                data, source = listener.recvfrom(4096)
                self.assertEqual((data.hex(), source[0]), (PACKET, "127.0.0.1"))

    def test_no_interface_to_send_from_is_a_failure(self):
        result, outputs, packets = run_in_network("01:23:45:67:89:ab nosuch")
        self.assertEqual(outputs[-1], 1, result)
        self.assertEqual(packets, [])


if __name__ == "__main__":
    e2e.main(__doc__)
