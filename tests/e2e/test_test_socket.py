#!/usr/bin/env python3
"""The socket exercises of the diagnostic applet (test_socket.cpp), run for real: on loopback,
and inside a private network namespace with two veth pairs, addressed and up, where
`vexa test socket multicast` opens datagram sockets for an IPv4 and an IPv6 group, which must
be joined on every up interface (checked against the kernel's tables by the exercise and
here) and must receive a datagram sent to the group.

Usage: test_test_socket.py <vexa>
"""
import os
import unittest

import vexa_e2e as e2e

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


class MulticastTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        e2e.require_namespaces(cls, net=True)

    def run_exercise(self, after=""):
        return e2e.in_namespaces(SETUP + '"$0" test socket multicast\n' + after, net=True)

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
        result = e2e.run("test", "socket")
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)


if __name__ == "__main__":
    e2e.main(__doc__)
