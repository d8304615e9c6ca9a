#!/usr/bin/env python3
"""The udev exercise of the test applet inside a private network namespace: a veth pair
created and deleted there shows as "add" and "remove" events for its device paths, which the
device list follows; messages that user-space sockets send to the uevent group (as root,
claiming root or another user) are dropped.

Usage: test_udev.py <vexa>
"""
import re
import sys
import unittest

import vexa_e2e as e2e

# Sends forged uevents to group 1 from this namespace: plain, claiming uid 0, claiming 65534.
FORGE = r"""
import os, socket, struct, sys
message = b"add@/devices/forged\0ACTION=add\0DEVPATH=/devices/forged\0SUBSYSTEM=net\0"
for uid in (None, 0, 65534):
    s = socket.socket(socket.AF_NETLINK, socket.SOCK_DGRAM, 15)
    control = []
    if uid is not None:
        control = [(socket.SOL_SOCKET, socket.SCM_CREDENTIALS,
                    struct.pack("iII", os.getpid(), uid, 0))]
    s.sendmsg([message], control, 0, (0, 1))
    s.close()
print("forged 3")
"""

SCRIPT = """ip link set lo up
out=$(mktemp)
"$0" test udev 3 >"$out" 2>&1 &
pid=$!
for i in $(seq 200); do grep -q "udev: listening" "$out" && break; sleep 0.05; done
"$1" -c "$2"
ip link add ue0 type veth peer name ue1
sleep 0.5
ip link del ue0
wait "$pid"
echo "status=$?"
cat "$out"
rm -f "$out"
"""


class UdevExerciseTest(unittest.TestCase):
    def test_veth_events_followed_and_forgeries_dropped(self):
        e2e.require_namespaces(self, net=True)
        result = e2e.in_namespaces(SCRIPT, sys.executable, FORGE, net=True)
        out = result.stdout
        self.assertNotIn(e2e.EXIT_DUMP, out)
        self.assertIn("forged 3\n", out, result)
        self.assertIn("status=0\n", out, result)
        self.assertNotIn("forged@", out)
        self.assertNotIn("/devices/forged", out)
        for name in ("ue0", "ue1"):
            path = "/devices/virtual/net/" + name
            self.assertIn("add@%s\n" % path, out)
            self.assertIn("remove@%s\n" % path, out)
            self.assertIn("  DEVPATH=%s\n" % path, out)
        # While the pair existed the list held both links and their queues.
        counts = [int(n) for n in re.findall(r"^\[(\d+) devices\]$", out, re.M)]
        self.assertGreaterEqual(max(counts), 2)
        # Everything added was removed again: the final list is empty.
        self.assertIn("udev: 0 devices listed\n", out)
        self.assertEqual(counts[-1], 0)


if __name__ == "__main__":
    e2e.main(__doc__)
