#!/usr/bin/env python3
"""The ifconfig applet inside private network namespaces: the listing agrees field by field
with iproute2 (`ip -j -s addr`) on veth, bridge/dummy, tun and loopback links carrying several
IPv4 and IPv6 addresses, and the wait for an IPv4 address prints it as soon as it appears.

Usage: test_ifconfig.py <vexa>
"""
import json
import os
import re
import shutil
import tempfile
import unittest

import vexa_e2e as e2e

MARK = "=====8<====="

# Links of the test namespace; a bridge stands in for a dummy link where the kernel has no
# dummy driver (both are Ethernet-type links without a peer).
SETUP = r"""
set -e
ip link set lo up
ip link add v0 type veth peer name v1
ip link add d0 type dummy 2>/dev/null || ip link add d0 type bridge
ip tuntap add tn0 mode tun
ip addr add 10.1.0.1/24 brd + dev v0
ip addr add 10.1.1.1/16 dev v0
ip addr add 172.16.9.9/30 brd + dev v0
ip -6 addr add fd00::1/64 dev v0 nodad
ip -6 addr add fd00:1::2/80 dev v0 nodad
ip -6 addr add fd00:2::1 peer fd00:2::2 dev v0 nodad
ip addr add 192.168.5.5/32 dev d0
ip addr add 192.168.6.6/23 brd + dev d0
ip -6 addr add 2001:db8::5/56 dev d0 nodad
ip addr add 10.9.0.1 peer 10.9.0.2/32 dev tn0
ip -6 addr add fd00:3::1 peer fd00:3::2 dev tn0 nodad
ip link set v1 mtu 1400
ip link set v0 up
ip link set v1 up
ip link set d0 up
ip link set tn0 up
ip link set v0 promisc on
set +e
# The running flag follows the carrier with a delay: let the veth pair settle first.
for i in $(seq 100); do
  ip link show v0 | grep -q "state UP" && ip link show v1 | grep -q "state UP" && break
  sleep 0.02
done
"""

FLAG_NAMES = {"UP", "BROADCAST", "LOOPBACK", "POINTOPOINT", "NOARP", "PROMISC", "ALLMULTI",
              "MULTICAST", "MASTER", "SLAVE", "DYNAMIC"}
ENCAP = {"ether": "Ethernet", "loopback": "Local Loopback", "none": "UNKNOWN"}


def in_namespace(script):
    """Runs the set-up and then script in a new network namespace ("$0" is the program)."""
    return e2e.in_namespaces(SETUP + script, net=True, timeout=60)


def parse_listing(text):
    """Interface blocks of the listing, keyed by name."""
    interfaces = {}
    for block in e2e.strip_ansi(text).strip("\n").split("\n\n"):
        lines = block.split("\n")
        head = re.match(r"^(\S+)\s+Link encap:(.*?)(?:  HWaddr (\S+))?$", lines[0])
        assert head, "bad first line %r" % lines[0]
        record = {"encap": head.group(2), "hwaddr": head.group(3), "inet": [], "inet6": [],
                  "lines": lines}
        for line in lines[1:]:
            match = re.match(r"^ {10}inet addr:(\S+)/(\d+)(?:  (Bcast|P-t-P):(\S+))?"
                             r"  Mask:(\S+)  Scope:(\S+)$", line)
            if match:
                record["inet"].append(match.groups())
                continue
            match = re.match(r"^ {10}inet6 addr: (\S+)/(\d+)(?:  P-t-P:(\S+))? Scope:(\S+)$",
                             line)
            if match:
                record["inet6"].append(match.groups())
                continue
            match = re.match(r"^ {10}((?:[A-Z0-9_]+ ?)+)  MTU:(\d+)  Metric:(\d+)  Metric6:(\d+)"
                             r"  IfIndex:(\d+)$", line)
            if match:
                record["flags"] = set(match.group(1).split())
                record["mtu"] = int(match.group(2))
                record["metric"] = int(match.group(3))
                record["index"] = int(match.group(5))
                continue
            match = re.match(r"^ {10}([RT]X) packets:(\d+) errors:(\d+) dropped:(\d+) fifo:(\d+)"
                             r" (?:frame|collisions):(\d+) (?:compressed|carrier):(\d+)"
                             r" (?:multicast|compressed):(\d+)$", line)
            if match:
                record[match.group(1)] = [int(value) for value in match.groups()[1:]]
                continue
            match = re.match(r"^ {10}RX bytes:(\d+)  TX bytes:(\d+)$", line)
            if match:
                record["rx_bytes"], record["tx_bytes"] = map(int, match.groups())
                continue
            match = re.match(r"^ {10}LinkInfo: (.*)$", line)
            if match:
                record["link"] = match.group(1)
        interfaces[head.group(1)] = record
    return interfaces


def prefix_mask(bits):
    value = (0xFFFFFFFF << (32 - bits)) & 0xFFFFFFFF if bits else 0
    return ".".join(str(value >> shift & 255) for shift in (24, 16, 8, 0))


class IfconfigTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        e2e.require_namespaces(cls, net=True)

    def test_listing_matches_iproute2(self):
        result = in_namespace(
            'ip -j -s addr; echo "%s"; "$0" ifconfig; echo "status=$?"; echo "%s";'
            ' ip -j -s addr' % (MARK, MARK))
        self.assertEqual(result.returncode, 0, result.stderr)
        before, listing, after = result.stdout.split(MARK + "\n")
        self.assertIn("status=0\n", listing)
        listing = listing.replace("status=0\n", "")
        self.assertNotIn("\x1b", listing, "colour escapes on a pipe")
        self.assertEqual(result.stderr, "")
        shown = parse_listing(listing)
        links_before = {link["ifname"]: link for link in json.loads(before)}
        links_after = {link["ifname"]: link for link in json.loads(after)}
        self.assertEqual(sorted(shown), sorted(links_before))
        self.assertEqual(sorted(shown), ["d0", "lo", "tn0", "v0", "v1"])
        for name, link in links_before.items():
            with self.subTest(interface=name):
                self.check_interface(shown[name], link, links_after[name])

    def check_interface(self, record, link, link_after):
        self.assertEqual(record["encap"], ENCAP[link["link_type"]])
        if link["link_type"] == "ether":
            self.assertEqual(record["hwaddr"], link["address"])
        else:
            self.assertIsNone(record["hwaddr"])
        self.assertEqual(record["index"], link["ifindex"])
        self.assertEqual(record["mtu"], link["mtu"])
        self.assertEqual(record["metric"], 1)
        ip_flags = set(link["flags"]) & FLAG_NAMES
        self.assertEqual(record["flags"] - {"RUNNING"}, ip_flags)
        if "LOWER_UP" in link["flags"]:
            self.assertIn("RUNNING", record["flags"])
        # Addresses: the same set, with prefix lengths, broadcast or peer, mask and scope.
        inet = sorted((a[0], int(a[1]), a[3] if a[2] == "Bcast" else None,
                       a[3] if a[2] == "P-t-P" else None) for a in record["inet"])
        want = sorted((a["local"], a["prefixlen"], a.get("broadcast"),
                       a.get("address") if a.get("address") != a["local"] else None)
                      for a in link["addr_info"] if a["family"] == "inet")
        self.assertEqual(inet, want)
        for address in record["inet"]:
            self.assertEqual(address[4], prefix_mask(int(address[1])))
        # An address with a peer is listed once, with its peer.
        inet6 = sorted((a[0], int(a[1]), a[2] or "") for a in record["inet6"])
        want6 = sorted((a["local"], a["prefixlen"],
                        a.get("address") if a.get("address", a["local"]) != a["local"] else "")
                       for a in link["addr_info"] if a["family"] == "inet6")
        self.assertEqual(inet6, want6)
        scopes = {"host": "Host", "link": "Link"}
        for address in record["inet6"]:
            info = [a for a in link["addr_info"] if a.get("local") == address[0]][0]
            self.assertEqual(address[3], scopes.get(info["scope"], "Global"), address)
        # Counters may tick between the reads (IPv6 neighbour traffic on veth): the listing
        # must lie between the two iproute2 reads.
        for direction, fields in (("RX", ("packets", "errors", "dropped")),
                                  ("TX", ("packets", "errors", "dropped"))):
            low = link["stats64"][direction.lower()]
            high = link_after["stats64"][direction.lower()]
            for position, field in enumerate(fields):
                value = record[direction][position]
                self.assertTrue(low[field] <= value <= high[field],
                                "%s %s %d not in [%d, %d]" % (direction, field, value,
                                                              low[field], high[field]))
        for direction, key in (("rx", "rx_bytes"), ("tx", "tx_bytes")):
            low = link["stats64"][direction]["bytes"]
            high = link_after["stats64"][direction]["bytes"]
            self.assertTrue(low <= record[key] <= high, (direction, record[key], low, high))
        low = link["stats64"]["rx"]["multicast"]
        high = link_after["stats64"]["rx"]["multicast"]
        self.assertTrue(low <= record["RX"][6] <= high)

    def test_link_information(self):
        result = in_namespace('"$0" ifconfig')
        shown = parse_listing(result.stdout)
        if not any("link" in record for record in shown.values()):
            self.skipTest("the ethtool request is not available (emulator)")
        # veth reports its settings through ethtool; a tun link without a reader has no carrier.
        self.assertEqual(shown["v0"]["link"], "no negotiation, 10000 Mbit/s, full duplex")
        self.assertEqual(shown["tn0"]["link"], "no link")
        self.assertEqual(shown["lo"]["link"], "link")
        self.assertIn("PROMISC", shown["v0"]["flags"])
        self.assertIn("          Media:unknown", shown["v0"]["lines"])

    def test_wait_prints_the_address_once_it_appears(self):
        result = in_namespace(
            'start=$(date +%s%N); "$0" ifconfig --interface v1 --timeout 3000 > out.txt &'
            ' pid=$!; sleep 1; ip addr add 10.7.7.7/24 dev v1; wait $pid; status=$?;'
            ' end=$(date +%s%N); cat out.txt; echo "status=$status ms=$(( (end - start) / 1000000 ))"'
            .replace("out.txt", os.path.join(self.directory, "out.txt")))
        lines = result.stdout.split("\n")
        self.assertEqual(lines[0], "10.7.7.7", result.stdout)
        match = re.match(r"^status=(\d+) ms=(\d+)$", lines[1])
        self.assertTrue(match, result.stdout)
        self.assertEqual(match.group(1), "0")
        # It answered on the address, not on the time-out.
        self.assertLess(int(match.group(2)), 2700, result.stdout)

    def test_wait_times_out_with_the_whole_list(self):
        result = in_namespace(
            'start=$(date +%s%N); "$0" ifconfig -i v1 -t 600; status=$?; end=$(date +%s%N);'
            ' echo "status=$status ms=$(( (end - start) / 1000000 ))"')
        listing, _, tail = result.stdout.rpartition("status=")
        shown = parse_listing(listing)
        self.assertEqual(sorted(shown), ["d0", "lo", "tn0", "v0", "v1"])
        status, elapsed = re.match(r"^(\d+) ms=(\d+)\n$", tail).groups()
        self.assertEqual(status, "1")
        self.assertGreaterEqual(int(elapsed), 600)

    def test_interface_with_an_address_answers_at_once(self):
        result = in_namespace('"$0" ifconfig --interface=v0; echo "status=$?";'
                              ' "$0" ifconfig -i tn0 --wait')
        self.assertEqual(result.stdout, "10.1.0.1\nstatus=0\n10.9.0.1\n")

    def test_no_such_interface_without_wait_prints_the_list(self):
        result = in_namespace('"$0" ifconfig -i nosuch0; echo "status=$?"')
        listing, _, tail = result.stdout.rpartition("status=")
        self.assertEqual(tail, "1\n")
        self.assertIn("v0", parse_listing(listing))

    def test_closed_output_fails_with_a_message(self):
        result = in_namespace('"$0" ifconfig >&-; echo "status=$?" >&2')
        self.assertEqual(result.stderr.splitlines()[-2:],
                         ["ifconfig: write error: Bad file descriptor", "status=1"])

    def test_help(self):
        result = e2e.run("ifconfig", "--help")
        self.assertEqual(result.returncode, 0)
        self.assertEqual(
            result.stdout,
            "usage: ifconfig [<options>]\noptions:\n"
            "\t-h, --help                       : help\n"
            "\t-t|--timeout=<msec>              : wait until ipv4 up in msec\n"
            "\t   --wait                        : wait until ipv4 up\n"
            "\t-i|--interface=<name>            : trigger wait to network interface ipv4\n\n")

    def setUp(self):
        self.directory = tempfile.mkdtemp(prefix="ifconfig-test-")

    def tearDown(self):
        shutil.rmtree(self.directory, ignore_errors=True)


if __name__ == "__main__":
    e2e.main(__doc__)
