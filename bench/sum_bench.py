#!/usr/bin/env python3
"""Whole-process throughput of the sum and encoding applets against their baselines, each
figure measured in the same run as its baselines (runs interleaved, median wall time, output to
/dev/null, the progress line included):

  host    a cached file (512 MiB by default): vexa md5/sha1/sha256/crc/adler/base64 against
          coreutils (md5sum, sha1sum, sha256sum, base64 -w 74), busybox and Python's zlib;
  target  under qemu-mipsel, a smaller cached file: the static mipsel vexa against the static
          mipsel busybox (Debian's busybox-static:mipsel, fetched once into a cache folder with
          `apt-get download`; needs `dpkg --add-architecture mipsel` and `apt-get update`).

Usage: sum_bench.py <host vexa> [<mipsel vexa_static>] [--size-mib N] [--target-size-mib N]
                    [--runs N]
"""
import argparse
import glob
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

CACHE = os.path.join(os.environ.get("XDG_CACHE_HOME", os.path.expanduser("~/.cache")),
                     "vexa-bench")
QEMU = ["qemu-mipsel", "-L", "/usr/mipsel-linux-gnu"]
ZLIB = ("import sys, zlib\nvalue = {start}\nwith open(sys.argv[1], 'rb') as handle:\n"
        "    for piece in iter(lambda: handle.read(65536), b''):\n"
        "        value = zlib.{function}(piece, value)\nprint('%08X' % value)\n")


def make_file(path, mib):
    size = mib << 20
    if not os.path.exists(path) or os.path.getsize(path) != size:
        with open("/dev/urandom", "rb") as source, open(path, "wb") as target:
            for _ in range(mib):
                target.write(source.read(1 << 20))
    with open(path, "rb") as handle:  # into the page cache
        while handle.read(1 << 24):
            pass
    return size


def measure(commands, runs):
    """Median seconds of each command, the runs of all commands interleaved."""
    times = {name: [] for name, _ in commands}
    for _ in range(runs):
        for name, command in commands:
            start = time.perf_counter()
            result = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            elapsed = time.perf_counter() - start
            if result.returncode != 0:
                raise SystemExit("%s failed: %s" % (" ".join(command), result.stderr[-500:]))
            times[name].append(elapsed)
    return {name: statistics.median(values) for name, values in times.items()}


def report(title, size, groups, runs):
    print("==== %s (%d MiB, median of %d runs) ====" % (title, size >> 20, runs))
    for applet, commands in groups:
        medians = measure(commands, runs)
        ours = commands[0][0]
        line = []
        for name, _ in commands:
            rate = size / medians[name] / 1e6
            line.append("%s %.0f MB/s" % (name, rate))
        ratios = ["%.2fx %s" % (medians[name] / medians[ours], name) for name, _ in commands[1:]]
        print("%-7s %s | vexa against: %s" % (applet, ", ".join(line), ", ".join(ratios)))


def host_groups(vexa, path):
    busybox = shutil.which("busybox")
    groups = []
    for applet, coreutils, box in (("md5", ["md5sum"], "md5sum"), ("sha1", ["sha1sum"], "sha1sum"),
                                   ("sha256", ["sha256sum"], "sha256sum"),
                                   ("base64", ["base64", "-w", "74"], "base64")):
        commands = [("vexa " + applet, [vexa, applet, path]),
                    (" ".join(coreutils), coreutils + [path])]
        if busybox:
            commands.append(("busybox " + box, [busybox, box, path]))
        groups.append((applet, commands))
    crc = [("vexa crc", [vexa, "crc", path]),
           ("python zlib.crc32", [sys.executable, "-c", ZLIB.format(start=0, function="crc32"),
                                  path])]
    if busybox:
        crc.append(("busybox crc32", [busybox, "crc32", path]))
    groups.append(("crc", crc))
    groups.append(("adler", [("vexa adler", [vexa, "adler", path]),
                             ("python zlib.adler32",
                              [sys.executable, "-c", ZLIB.format(start=1, function="adler32"),
                               path])]))
    return groups


def mipsel_busybox():
    """The static mipsel busybox from the cache, fetched once; None when it cannot be had."""
    binary = os.path.join(CACHE, "busybox-mipsel", "bin", "busybox")
    if os.path.exists(binary):
        return binary
    os.makedirs(CACHE, exist_ok=True)
    if not glob.glob(os.path.join(CACHE, "busybox-static_*_mipsel.deb")):
        fetched = subprocess.run(["apt-get", "download", "busybox-static:mipsel"], cwd=CACHE,
                                 capture_output=True, text=True)
        if fetched.returncode != 0:
            print("no mipsel busybox: %s (try: dpkg --add-architecture mipsel && apt-get update)"
                  % fetched.stderr.strip().splitlines()[-1:], file=sys.stderr)
            return None
    package = sorted(glob.glob(os.path.join(CACHE, "busybox-static_*_mipsel.deb")))[-1]
    subprocess.run(["dpkg-deb", "-x", package, os.path.join(CACHE, "busybox-mipsel")], check=True)
    return binary if os.path.exists(binary) else None


def target_groups(vexa, busybox, path):
    groups = []
    for applet, box in (("md5", "md5sum"), ("sha1", "sha1sum"), ("sha256", "sha256sum"),
                        ("crc", "crc32"), ("base64", "base64")):
        groups.append((applet, [("vexa " + applet, QEMU + [vexa, applet, path]),
                                ("busybox " + box, QEMU + [busybox, box, path])]))
    groups.append(("adler", [("vexa adler", QEMU + [vexa, "adler", path])]))
    return groups


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("vexa")
    parser.add_argument("target", nargs="?")
    parser.add_argument("--size-mib", type=int, default=512)
    parser.add_argument("--target-size-mib", type=int, default=32)
    parser.add_argument("--runs", type=int, default=5)
    options = parser.parse_args()
    directory = tempfile.mkdtemp(prefix="vexa-sum-bench-")
    try:
        path = os.path.join(directory, "data")
        size = make_file(path, options.size_mib)
        report("host", size, host_groups(os.path.abspath(options.vexa), path), options.runs)
        if options.target:
            busybox = mipsel_busybox()
            if busybox and shutil.which(QEMU[0]):
                size = make_file(path, options.target_size_mib)
                report("qemu-mipsel", size,
                       target_groups(os.path.abspath(options.target), busybox, path),
                       options.runs)
    finally:
        shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    main()
