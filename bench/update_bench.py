#!/usr/bin/env python3
"""A full self-update of a staging tree of 20 files (30 MiB) from the project's ftpd on
loopback: `update` in spawn mode (the program copy downloaded, checked and run as do_update,
every file downloaded with its MD5 file, then installed through NAME.new and a rename).

Baseline in the same run: Python's ftplib fetching the same files and checksum files (and the
program copy) over one connection into the same file system, which is the transfer time
alone (curl is far slower against this server: it waits on every file). The time outside
the transfers is the update's wall time minus the download time it reports with --verbose
(both stages: start-up, connections and logins, planning, installation, cleaning). Best of
RUNS.
The whole script runs inside a private PID namespace (the update may signal processes that
map a library it replaces).

Usage: update_bench.py [vexa] (RUNS=3)
"""
import hashlib
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

INSIDE = "VEXA_BENCH_INSIDE_NAMESPACE"
MIB = 1 << 20
# The baseline client: every path over one connection, each file flushed to storage as the
# update does.
FETCH = r"""
import ftplib, os, sys
ftp = ftplib.FTP()
ftp.connect("127.0.0.1", int(sys.argv[1]))
ftp.login("test", "x")
for n, path in enumerate(sys.argv[3:]):
    with open(os.path.join(sys.argv[2], str(n)), "wb") as out:
        ftp.retrbinary("RETR /" + path, out.write, 65536)
        out.flush()
        os.fsync(out.fileno())
ftp.quit()
"""


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.write(data)


def release():
    """The 20 installed paths and their sizes: 30 MiB in all."""
    files = {"usr/bin/vexa": 6 * MIB}
    for n in range(14):
        files["usr/lib/tarvik_plugin_%02d.so" % n] = MIB + MIB // 2
    for n in range(3):
        files["opt/vexa/apps/app%d.so" % n] = MIB
    files["etc/vexa/box.conf"] = 64 << 10
    files["etc/tarvik_mtunnel.conf"] = 4 << 10
    assert len(files) == 20
    return files


def main():
    vexa = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "bench-build/vexa")
    if os.environ.get(INSIDE) != "1":
        command = ["unshare", "--pid", "--fork", "--mount-proc", sys.executable,
                   os.path.abspath(__file__), vexa]
        return subprocess.run(command, env=dict(os.environ, **{INSIDE: "1"})).returncode
    runs = int(os.environ.get("RUNS", "3"))
    profile = subprocess.run([vexa, "version", "-target_build_profile"], capture_output=True,
                             text=True).stdout.strip()
    work = tempfile.mkdtemp(prefix="vexa-update-bench-")
    server = None
    try:
        home, stage, temp, fetched = (os.path.join(work, name)
                                      for name in ("server", "stage", "temp", "fetched"))
        paths = []
        files = release()
        total = sum(files.values())
        served = {"misc/%s/usr/bin/vexa_static" % profile: open(vexa, "rb").read()}
        for path, size in files.items():
            served["%s/%s" % (profile, path)] = os.urandom(size)
        for path, data in served.items():
            write(os.path.join(home, path), data)
            write(os.path.join(home, path + ".md5"), hashlib.md5(data).hexdigest().encode())
        links = os.path.join(work, "links")
        os.makedirs(links)
        for name in ("ftpd", "update"):
            os.symlink(vexa, os.path.join(links, name))
        port = free_port()
        server = subprocess.Popen([os.path.join(links, "ftpd"), "-p", str(port), "127.0.0.1"],
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                  env=dict(os.environ, HOME=home))
        server.stdout.readline()
        for path in served:
            paths += [path, path + ".md5"]

        def fresh_stage():
            shutil.rmtree(stage, ignore_errors=True)
            for path in files:
                write(os.path.join(stage, path), b"old")
            shutil.rmtree(temp, ignore_errors=True)
            os.makedirs(temp)

        def timed(command):
            start = time.monotonic()
            result = subprocess.run(command, capture_output=True, text=True)
            elapsed = time.monotonic() - start
            if result.returncode != 0:
                raise SystemExit("%s failed: %s" % (command[0], result.stderr[-2000:]))
            # The update reports the time its downloads took (both stages, checksum files
            # included): everything else is the time outside the transfers.
            spent = [int(m) for m in re.findall(r" \* Downloaded .* in (\d+) ms\n",
                                                 result.stdout)]
            return elapsed, sum(spent) / 1000.0

        update_times, transfer_times, curl_times = [], [], []
        for _ in range(runs):
            fresh_stage()
            wall, transfers = timed([os.path.join(links, "update"), "-s", "127.0.0.1:%d" % port,
                                     "-u", "test", "-p", "x", "--temp=" + temp,
                                     "--root=" + stage, "--noprogress", "--verbose"])
            update_times.append(wall)
            transfer_times.append(wall - transfers)
            for path in files:
                data = served["%s/%s" % (profile, path)]
                with open(os.path.join(stage, path), "rb") as installed:
                    if installed.read() != data:
                        raise SystemExit("update_bench: %s was not installed" % path)
            shutil.rmtree(fetched, ignore_errors=True)
            os.makedirs(fetched)
            curl_times.append(timed([sys.executable, "-c", FETCH, str(port), fetched] + paths)[0])
        best_update, best_curl = min(update_times), min(curl_times)
        best = update_times.index(best_update)
        outside = transfer_times[best]
        print("update_bench: %d files, %.1f MiB (+ the %.1f MiB program copy), best of %d"
              % (len(files), total / MIB, len(served[next(iter(served))]) / MIB, runs))
        print("  update (spawn, both stages)  %.3f s" % best_update)
        print("  ftplib, same files, one conn %.3f s   (ratio update/ftplib %.2f)"
              % (best_curl, best_update / best_curl))
        print("  outside the transfers        %.3f s   (%.1f %% of the update)"
              % (outside, 100.0 * outside / best_update))
    finally:
        if server is not None:
            server.terminate()
            server.wait()
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
