#!/usr/bin/env python3
"""Multicast membership for real: inside a private network namespace with two veth pairs,
addressed and up, `vexa test socket multicast` opens datagram sockets for an IPv4 and an IPv6
group, which must be joined on every up interface (checked against the kernel's tables by the
exercise and here) and must receive a datagram sent to the group.

Usage: test_multicast.py <vexa>
"""
import os
import shutil
import subprocess
import sys
import unittest

VEXA = None
EXIT_DUMP = "dump exception"

SETUP = """set -e
ip link set lo up
sysctl -qw net.ipv6.conf.default.accept_dad=0 net.ipv6.conf.all.accept_dad=0
ip link add v0 type veth peer name v1
ip link add w0 type veth peer name w1
ip addr add 10.91.0.1/24 dev v0
ip addr add 10.92.0.1/24 dev w0
ip -6 addr add fd91::1/64 dev v0 nodad
ip -6 addr add fd92::1/64 dev w0 nodad
for link in v0 v1 w0 w1; do ip link set "$link" up; done
ip route add 224.0.0.0/4 dev v0
"""


def in_private_network(script):
    return subprocess.run(["unshare", "--net", "sh", "-c", script], capture_output=True,
                          text=True, timeout=120, stdin=subprocess.DEVNULL)


def namespaces_usable():
    if shutil.which("unshare") is None or shutil.which("ip") is None:
        return "unshare or ip is missing"
    probe = in_private_network("ip link add p0 type veth peer name p1")
    if probe.returncode != 0:
        return "no private network with veth links here: " + probe.stderr.strip()
    return None


class MulticastTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        reason = namespaces_usable()
        if reason is not None:
            raise unittest.SkipTest(reason)

    def run_exercise(self, after=""):
        script = SETUP + '"$0" test socket multicast\n' + after
        result = subprocess.run(["unshare", "--net", "sh", "-c", script, VEXA],
                                capture_output=True, text=True, timeout=120,
                                stdin=subprocess.DEVNULL)
        self.assertNotIn(EXIT_DUMP, result.stderr)
        return result

    def test_groups_joined_everywhere_and_received(self):
        result = self.run_exercise()
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertNotIn("[ERROR]", result.stderr)
        # Each interface that is up with an address of the family: v0 and w0 carry IPv4
        # addresses, lo too; every link has an IPv6 address (at least link-local).
        self.assertIn("239.1.2.3 joined on 3 interfaces", result.stdout)
        if os.path.exists("/proc/net/if_inet6"):
            self.assertIn("ff12::1234 joined on 5 interfaces", result.stdout)

    def test_membership_ends_with_the_program(self):
        # The kernel drops the memberships when the sockets close: nothing is left behind.
        result = self.run_exercise(after="cat /proc/net/igmp /proc/net/igmp6\n")
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertNotIn("030201EF", result.stdout)
        self.assertNotIn("ff120000000000000000000000001234", result.stdout)

    def test_plain_exercise_on_loopback(self):
        result = subprocess.run([VEXA, "test", "socket"], capture_output=True, text=True,
                                timeout=60, stdin=subprocess.DEVNULL)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertNotIn(EXIT_DUMP, result.stderr)


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    VEXA = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
