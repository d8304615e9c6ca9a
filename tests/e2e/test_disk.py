#!/usr/bin/env python3
"""The disk applets (disk.cpp), run for real: df against `df -B1` for every mount it shows, and
on tmpfs mounts of known sizes in a private mount namespace (the B/K step at 100000 bytes, the
used percentage); stat against stat(1) for a file, a directory, a link, a FIFO, a socket and a
device, with truthful type names and times as old as the epoch; on loop devices (512- and
4096-byte sectors) the block-device sizes against blockdev, and an ext2 file system mounted in a
private namespace naming its device, mount entry, type and options.

Usage: test_disk.py <vexa>
"""
import os
import re
import shutil
import socket
import stat
import subprocess
import tempfile
import time
import unittest

import vexa_e2e as e2e

DF_LINE = re.compile(r"^(\S+)\s+(\S+)\s+(\d+)([BKMGT]) +(\d+)([BKMGT]) +(\d+)([BKMGT]) +"
                     r"(\d+)\.(\d\d)% (.+)$")
UNITS = "BKMGT"
TYPE_NAMES = {"regular file": "regular file", "regular empty file": "regular file",
              "directory": "directory", "symbolic link": "symbolic link",
              "character special file": "character device", "block special file": "block device",
              "fifo": "FIFO", "socket": "socket"}


def scaled(size):
    unit = 0
    while size >= 100000 and unit < 4:
        size //= 1024
        unit += 1
    return size, UNITS[unit]


def parse_df(stdout):
    lines = {}
    for line in stdout.splitlines():
        match = DF_LINE.match(line)
        if match is None:
            raise AssertionError("unreadable df line: %r" % line)
        groups = match.groups()
        lines[groups[10]] = (groups[0], groups[1], (int(groups[2]), groups[3]),
                             (int(groups[4]), groups[5]), (int(groups[6]), groups[7]),
                             int(groups[8]) * 100 + int(groups[9]))
    return lines


def stat_fields(text):
    fields = {}
    for line in text.splitlines():
        name, _, value = line.partition(":")
        fields[name] = value.strip()
    return fields


def asctime(seconds):
    moment = time.gmtime(seconds)
    return time.strftime("%a %b ", moment) + str(moment.tm_mday) + time.strftime(
        " %H:%M:%S %Y", moment)


class DfTest(unittest.TestCase):
    def test_every_mount_agrees_with_df(self):
        ours = e2e.run("df")
        self.assertEqual((ours.returncode, ours.stderr), (0, ""), ours)
        theirs = subprocess.run(["df", "-B1", "--output=size,used,avail,target"],
                                capture_output=True, text=True).stdout.splitlines()[1:]
        lines = parse_df(ours.stdout)
        self.assertGreater(len(theirs), 0)
        for line in theirs:
            size, used, avail, target = line.split(None, 3)
            self.assertIn(target, lines)
            for value, (number, unit) in zip((size, used, avail), lines[target][2:5]):
                expected, expected_unit = scaled(int(value))
                # Another process may write between the two reads: a little slack.
                self.assertEqual(unit, expected_unit, (target, line))
                self.assertLessEqual(abs(number - expected), max(2, expected // 100),
                                     (target, line))

    def test_sizes_step_from_bytes_to_kilobytes_at_100000(self):
        e2e.require_namespaces(self)
        script = r"""
        small=$(mktemp -d); large=$(mktemp -d)
        mount -t tmpfs -o size=98304 vexa-small "$small"
        mount -t tmpfs -o size=151552 vexa-large "$large"
        head -c 40960 /dev/zero > "$small/data"
        "$0" df; echo "status=$?"
        umount "$small" "$large"; rmdir "$small" "$large"
        """
        result = e2e.in_namespaces(script, mount=True)
        self.assertIn("status=0", result.stdout, result)
        rows = {line.split()[0]: line.split() for line in result.stdout.splitlines()
                if line.startswith("vexa-")}
        self.assertEqual(rows["vexa-small"][1:6], ["tmpfs", "98304B", "40960B", "57344B",
                                                   "41.66%"])
        self.assertEqual(rows["vexa-large"][1:6], ["tmpfs", "148K", "0B", "148K", "0.00%"])


class StatTest(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.mkdtemp(prefix="vexa-stat-")

    def tearDown(self):
        shutil.rmtree(self.directory, ignore_errors=True)

    def check_against_stat(self, path, epoch=False):
        result = e2e.run("stat", path, env={"TZ": "UTC"})
        self.assertEqual((result.returncode, result.stderr), (0, ""), result)
        ours = stat_fields(result.stdout)
        theirs = subprocess.run(["stat", "-c", "%i|%f|%h|%u|%g|%o|%s|%b|%Z|%X|%Y|%F", path],
                                capture_output=True, text=True, check=True).stdout.strip()
        inode, mode, links, uid, gid, block, size, blocks, ctime, atime, mtime, kind = \
            theirs.split("|")
        self.assertEqual(ours["File"], '"%s"' % path)
        self.assertEqual(ours["File type"], TYPE_NAMES[kind])
        self.assertEqual(ours["I-node number"], inode)
        self.assertEqual(ours["Mode"], "%o (octal)" % int(mode, 16))
        self.assertEqual(ours["Link count"], links)
        self.assertEqual(ours["Ownership"], "UID=%s   GID=%s" % (uid, gid))
        self.assertEqual(ours["Preferred I/O block size"], block + " bytes")
        self.assertEqual(ours["File size"], size + " bytes")
        self.assertEqual(ours["Blocks allocated"], blocks)
        self.assertEqual(ours["Last status change"], asctime(int(ctime)))
        self.assertEqual(ours["Last file access"], asctime(int(atime)))
        self.assertEqual(ours["Last file modification"], asctime(int(mtime)))
        status = os.lstat(path)
        self.assertEqual(ours["dev/rdev"], "%d.%d / %d.%d" % (
            os.major(status.st_dev), os.minor(status.st_dev), os.major(status.st_rdev),
            os.minor(status.st_rdev)))
        return ours

    def test_kinds_of_file_against_stat(self):
        regular = os.path.join(self.directory, "file")
        with open(regular, "wb") as handle:
            handle.write(b"x" * 12345)
        os.chmod(regular, 0o4751)
        os.utime(regular, (0, 0))  # the epoch itself is a time, not "now"
        link = os.path.join(self.directory, "link")
        os.symlink("file", link)
        fifo = os.path.join(self.directory, "fifo")
        os.mkfifo(fifo)
        unix = os.path.join(self.directory, "socket")
        listener = socket.socket(socket.AF_UNIX)
        listener.bind(unix)
        try:
            self.assertEqual(self.check_against_stat(regular)["Last file access"],
                             "Thu Jan 1 00:00:00 1970")
            for path in (self.directory, link, fifo, unix, "/dev/null"):
                self.check_against_stat(path)
        finally:
            listener.close()

    def test_missing_file_and_usage(self):
        result = e2e.run("stat", os.path.join(self.directory, "missing"))
        self.assertEqual((result.returncode, result.stdout, result.stderr),
                         (1, "", "stat: No such file or directory\n"))
        result = e2e.run("stat")
        self.assertEqual((result.returncode, result.stdout), (1, "Usage: stat <pathname>\n"))


class LoopDeviceTest(unittest.TestCase):
    """Loop devices are the machine's own: each is detached again whatever happens."""

    def attach(self, size, sector_size):
        if shutil.which("losetup") is None or os.geteuid() != 0:
            self.skipTest("needs losetup as root")
        image = os.path.join(self.directory, "image%d" % sector_size)
        with open(image, "wb") as handle:
            handle.truncate(size)
        result = subprocess.run(["losetup", "-f", "--show", "-b", str(sector_size), image],
                                capture_output=True, text=True)
        if result.returncode != 0:
            self.skipTest("no loop device here: " + result.stderr.strip())
        device = result.stdout.strip()
        self.addCleanup(subprocess.run, ["losetup", "-d", device], capture_output=True)
        return device

    def setUp(self):
        self.directory = tempfile.mkdtemp(prefix="vexa-loop-")
        self.addCleanup(shutil.rmtree, self.directory, True)

    def test_block_sizes_against_blockdev(self):
        for sector_size in (512, 4096):
            device = self.attach(8 << 20, sector_size)
            fields = StatTest.check_against_stat(self, device)
            self.assertEqual(fields["File type"], "block device")
            expected = subprocess.run(["blockdev", "--getsize", "--getss", "--getsize64",
                                       device], capture_output=True, text=True,
                                      check=True).stdout.split()
            self.assertEqual([fields["BLKGETSIZE"], fields["BLKSSZGET"],
                              fields["BLKGETSIZE64"]], expected)
            # The byte size is the device's, also with 4096-byte sectors.
            self.assertEqual(fields["BLKGETSIZE64"], str(8 << 20))
            self.assertNotIn("ATA-TYPE", fields)

    def test_file_on_a_mounted_device_names_device_and_mount(self):
        if shutil.which("mkfs.ext2") is None:
            self.skipTest("no mkfs.ext2")
        e2e.require_namespaces(self)
        device = self.attach(8 << 20, 512)
        subprocess.run(["mkfs.ext2", "-q", device], check=True, capture_output=True)
        script = r"""
        place=$(mktemp -d)
        mount -o noatime "$1" "$place" && echo data > "$place/file" && "$0" stat "$place/file"
        echo "status=$?"
        umount "$place"; rmdir "$place"
        """
        result = e2e.in_namespaces(script, device, mount=True)
        self.assertIn("status=0", result.stdout, result)
        fields = stat_fields(result.stdout)
        self.assertEqual(fields["device entry"], device)
        self.assertEqual(fields["mount device entry"], device)
        self.assertEqual(fields["filesystem"], "ext2")
        self.assertIn("noatime", fields["mount options"].split(","))
        self.assertEqual(fields["File type"], "regular file")
        self.assertNotIn("BLKGETSIZE", fields)


if __name__ == "__main__":
    e2e.main(__doc__)
