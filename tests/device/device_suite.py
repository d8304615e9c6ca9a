"""The device suite: the target program as the tools of a booted 32-bit MIPS system.

Run by `scripts/device test` (`make device`). Each check prints one line ("ok", "FAIL" or
"skip" and its name), figures print as "figure" lines, and the run closes on the total.
Boots: the main device (256 MiB, 8 bits per pixel, a USB controller for hot-plugging), a
64 MiB device for the memory watchdog, and two more at 16 and 32 bits per pixel for the
framebuffer. Every wait is bounded; everything that kills, replaces or restarts runs on the
emulated machine.
"""
import hashlib
import os
import pty
import re
import select
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time
import traceback
import fcntl
import termios

D = None  # the scripts/device module
RESULTS = {"passed": 0, "failed": 0, "skipped": 0}
ONLY = None
FIGURES = []


class SkipCheck(Exception):
    pass


def check(name, function, *arguments):
    """Runs one check: one line with its outcome."""
    if ONLY and ONLY not in name:
        return None
    try:
        detail = function(*arguments)
    except SkipCheck as reason:
        RESULTS["skipped"] += 1
        D.say("skip %s: %s" % (name, reason))
        return None
    except AssertionError as failure:
        RESULTS["failed"] += 1
        D.say("FAIL %s: %s" % (name, str(failure)[:600].replace("\n", "\\n")))
        return None
    except Exception as failure:  # a broken channel or time-out fails the check, not the run
        RESULTS["failed"] += 1
        D.say("FAIL %s: %s: %s" % (name, type(failure).__name__,
                                    str(failure)[:600].replace("\n", "\\n")))
        if os.environ.get("VEXA_DEVICE_TRACE"):
            traceback.print_exc()
        return None
    RESULTS["passed"] += 1
    D.say("ok   %s%s" % (name, (": " + detail) if detail else ""))
    return True


def figure(text):
    FIGURES.append(text)
    D.say("figure " + text)


def expect(condition, message):
    if not condition:
        raise AssertionError(message)


def clean(text):
    return D.strip_ansi(text).replace("\r", "")


def run_ok(device, command, timeout=60):
    status, output = device.sh(command, timeout)
    expect(status == 0, "%r exited %d: %r" % (command, status, output[-400:]))
    return clean(output)


def proc_meminfo(device):
    text = run_ok(device, "cat /proc/meminfo")
    return {key: int(value) for key, value in re.findall(r"^(\w+):\s+(\d+)", text, re.M)}


# ---- the main device: the system applets -------------------------------------------------------

def check_hertz(device):
    # Asked first thing after boot, when the tick counters are young.
    status, output = device.sh("vexa hertz")
    expect((status, output) == (0, "100\n"), "want the kernel's 100 and nothing else, got "
           "rc=%d %r" % (status, output))


def check_test_all(device):
    status, output = device.sh("vexa test all", timeout=180)
    summary = re.search(r"test all: (\d+) exercises run, (\d+) failed", output)
    expect(summary is not None, "no summary line: %r" % output[-300:])
    failed = [line for line in output.splitlines() if line.endswith("FAILED")]
    expect(status == 0 and summary.group(2) == "0" and not failed,
           "rc=%d %s %s" % (status, summary.group(0), failed))
    return summary.group(0)


def check_uptime(device):
    output = run_ok(device, "vexa uptime; cat /proc/uptime")
    found = re.match(r"uptime: (\d+) days (\d\d):(\d\d):(\d\d) \((\d+) sec\)\n([\d.]+) ", output)
    expect(found, "unexpected output %r" % output)
    days, hours, minutes, seconds, total = (int(found.group(i)) for i in range(1, 6))
    expect(days * 86400 + hours * 3600 + minutes * 60 + seconds == total, "fields disagree")
    kernel = float(found.group(6))
    expect(kernel - 2 <= total <= kernel, "uptime %d s, kernel %.2f s" % (total, kernel))


def check_ps(device):
    output = run_ok(device, "vexa ps")
    rows = [line.split() for line in output.splitlines()[1:] if line.strip()]
    by_pid = {row[2] if row[0] != "*" else row[3]: row for row in rows}
    expect("1" in by_pid and any("telnetd" in line for line in output.splitlines()),
           "init or telnetd missing: %r" % output[-800:])
    # No user database on this device: the owner is shown by number.
    init = by_pid["1"]
    expect(init[3] == "0", "user of process 1 shown as %r (want 0)" % init[3])


def check_ifconfig(device):
    output = run_ok(device, "vexa ifconfig")
    expect(re.search(r"^eth0 +Link encap:Ethernet +HWaddr 52:54:00:12:34:56", output, re.M),
           "eth0 line: %r" % output[:400])
    expect("inet addr:10.0.2.15/24  Mask:255.255.255.0" in output, "eth0 address missing")
    expect("inet addr:127.0.0.1/8" in output, "lo address missing")
    expect(re.search(r"UP BROADCAST RUNNING MULTICAST", output), "eth0 flags")
    output = run_ok(device, "vexa ifconfig -i eth0 -t 2000")
    expect("10.0.2.15" in output, "ifconfig -i eth0: %r" % output)


def check_netstat(device):
    output = run_ok(device, "vexa netstat")
    expect(re.search(r"^tcp .*\[0\.0\.0\.0\]:23 .*LISTEN\(0AH\) +telnetd$", output, re.M),
           "telnetd's listening socket: %r" % output)
    expect("TCP Listen port list: telnetd=23" in output, "listen list: %r" % output)


def check_route(device):
    output = run_ok(device, "vexa route")
    expect(re.search(r"^0\.0\.0\.0 +10\.0\.2\.2 +0\.0\.0\.0 +UG .* eth0$", output, re.M),
           "default route: %r" % output)
    expect(re.search(r"^10\.0\.2\.0 +0\.0\.0\.0 +255\.255\.255\.0 +U .* eth0$", output, re.M),
           "network route: %r" % output)


def check_df(device):
    output = run_ok(device, "vexa df; busybox df -k / /tmp")
    expect(re.search(r"^/dev/sda +ext4 .* /$", output, re.M), "root row: %r" % output)
    expect(re.search(r"^tmp +tmpfs +160M .* /tmp$", output, re.M), "tmp row: %r" % output)
    busybox = re.search(r"^/dev/sda +(\d+) +(\d+) +(\d+)", output, re.M)
    ours = re.search(r"^/dev/sda +ext4 +(\d+)K +(\d+)K +(\d+)K", output, re.M)
    expect(busybox and ours, "sizes in K: %r" % output)
    expect(ours.group(1) == busybox.group(1), "size %sK, busybox %sK" % (ours.group(1),
                                                                        busybox.group(1)))


def check_stat(device):
    output = run_ok(device, "vexa stat /dev/sda")
    for line in ('File type:                block device', "BLKGETSIZE64:             33554432",
                 "BLKSSZGET:                512", "ATA-MODEL-NAME:           QEMU_HARDDISK"):
        expect(line in output, "%r missing: %r" % (line, output))


def check_version(device):
    output = run_ok(device, "vexa version; vexa version -arch; vexa version -word_size")
    expect("<architecture>mipsel</architecture>" in output, "architecture")
    expect("<word_size>32</word_size>" in output, "word size")
    expect(output.endswith("mipsel\n32\n"), "single items: %r" % output[-40:])


def check_uuid(device):
    output = run_ok(device, "vexa uuid; vexa uuid")
    values = output.split()
    pattern = r"^[0-9a-f]{8}-[0-9a-f]{4}-1[0-9a-f]{3}-[89ab][0-9a-f]{3}-525400123456$"
    expect(len(values) == 2 and all(re.match(pattern, v) for v in values),
           "want two version-1 UUIDs with the eth0 address as node: %r" % output)
    expect(values[0] != values[1], "the same UUID twice")


def check_meminfo(device):
    output = run_ok(device, "busybox timeout 2 vexa meminfo -i 300")
    kernel = proc_meminfo(device)
    lines = re.findall(r"([\d.]+)% (\d+)/(\d+) KB \(MaxUsed (\d+), Free (\d+), Buffers (\d+), "
                       r"Cached (\d+)\)", output)
    expect(lines, "no figures line: %r" % output[-300:])
    share, used, total, _, free, buffers, cached = lines[-1]
    expect(int(total) == kernel["MemTotal"], "total %s, kernel %d" % (total,
                                                                   kernel["MemTotal"]))
    # The figures moved a little between the two readings: within 2 MiB.
    expect(abs(int(free) - kernel["MemFree"]) < 2048, "free %s, kernel %d" % (free,
                                                                          kernel["MemFree"]))
    expect(abs(int(cached) - kernel["Cached"]) < 2048, "cached %s, kernel %d" %
           (cached, kernel["Cached"]))
    expect(int(buffers) == kernel["Buffers"] or abs(int(buffers) - kernel["Buffers"]) < 512,
           "buffers")
    expect(int(used) == int(total) - int(free) - int(buffers) - int(cached),
           "used %s is not total - free - buffers - cached" % used)
    expect(abs(float(share) - 100.0 * int(used) / int(total)) < 0.02, "share %s" % share)


def check_reboot_refuses_arguments(device):
    try:
        status, output = device.sh("vexa reboot --help; echo alive", timeout=20)
    except TimeoutError:
        device.buffer = b""
        device.connect(120)  # it restarted the device: the checks after it need it back
        raise AssertionError("reboot --help restarted the device")
    expect(output.endswith("alive\n") and "usage" in output.lower(),
           "reboot --help must print its usage and signal nobody: %r" % output)
    status, output = device.sh("vexa poweroff now; echo status=$?")
    expect("status=1" in output, "poweroff now: %r" % output)


# ---- telnet -------------------------------------------------------------------------------------

def telnet_prompt(port, timeout):
    """Connects to the forwarded telnet port until a shell prompt arrives; seconds taken."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=2) as channel:
                channel.settimeout(0.5)
                data = b""
                until = time.monotonic() + 3
                while time.monotonic() < until:
                    try:
                        chunk = channel.recv(4096)
                    except socket.timeout:
                        continue
                    if not chunk:
                        break
                    data += chunk
                    if PROMPT.search(data):
                        return True
        except OSError:
            pass
        time.sleep(0.1)
    return False


# The shell's prompt, perhaps followed by its terminal queries (cursor position, erase).
PROMPT = re.compile(rb"[#$] (\x1b\[[0-9;]*[A-Za-z]|\r)*$")


class Terminal:
    """A host program on a pseudo-terminal of a given size."""

    def __init__(self, command, rows, columns):
        self.pid, self.master = pty.fork()
        if self.pid == 0:
            try:
                fcntl.ioctl(0, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))
                os.execvp(command[0], command)
            finally:
                os._exit(127)
        self.output = b""

    def read_until(self, pattern, timeout):
        deadline = time.monotonic() + timeout
        regex = re.compile(pattern)
        while time.monotonic() < deadline:
            found = regex.search(self.output)
            if found:
                return found
            ready, _, _ = select.select([self.master], [], [], 0.2)
            if ready:
                try:
                    self.output += os.read(self.master, 4096)
                except OSError:
                    break
        raise AssertionError("%r not seen in %r" % (pattern, self.output[-300:]))

    def type(self, text):
        os.write(self.master, text)

    def resize(self, rows, columns):
        fcntl.ioctl(self.master, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))
        os.kill(self.pid, signal.SIGWINCH)

    def close(self):
        try:
            os.kill(self.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        os.waitpid(self.pid, 0)
        os.close(self.master)


def check_telnet(device):
    terminal = Terminal(["telnet", "127.0.0.1", str(device.telnet_port)], 30, 100)
    try:
        terminal.read_until(PROMPT.pattern, 20)
        terminal.type(b"stty size; echo mark-$((6*7))\r")
        terminal.read_until(rb"30 100\r?\n.*mark-42", 20)
        terminal.resize(41, 123)
        time.sleep(0.5)
        terminal.type(b"stty size; echo mark-$((6*8))\r")
        terminal.read_until(rb"41 123\r?\n.*mark-48", 20)
        terminal.type(b"exit\r")
    finally:
        terminal.close()


# ---- FTP --------------------------------------------------------------------------------------

def start_ftpd(device):
    status, output = device.sh("pidof ftpd >/dev/null || { HOME=/tmp/ftp /usr/bin/ftpd -p 21 "
                               ">/tmp/ftpd.log 2>&1 & busybox sleep 1; }; cat /tmp/ftpd.log")
    expect("starting ftp server (listen_port=21)" in output, "ftpd: %r" % output)


def md5_on_device(device, path):
    output = run_ok(device, "busybox md5sum " + path)
    return output.split()[0]


def check_ftp_curl(device, scratch):
    start_ftpd(device)
    data = os.urandom(3 * 1024 * 1024 + 4321)
    source = os.path.join(scratch, "curl-up.bin")
    back = os.path.join(scratch, "curl-back.bin")
    open(source, "wb").write(data)
    base = "ftp://test:x@127.0.0.1:%d/" % device.ftp_port
    result = D.run_quiet(["curl", "-sS", "--max-time", "120", "-T", source, base + "curl.bin"])
    expect(result.returncode == 0, "curl upload: " + result.stdout)
    expect(md5_on_device(device, "/tmp/ftp/curl.bin") == hashlib.md5(data).hexdigest(),
           "uploaded file differs on the device")
    result = D.run_quiet(["curl", "-sS", "--max-time", "120", "-o", back, base + "curl.bin"])
    expect(result.returncode == 0, "curl download: " + result.stdout)
    expect(open(back, "rb").read() == data, "downloaded file differs")


def check_ftp_lftp(device, scratch):
    start_ftpd(device)
    run_ok(device, "busybox dd if=/dev/urandom of=/tmp/ftp/device.bin bs=1024 count=2500 "
                   "2>/dev/null")
    want = md5_on_device(device, "/tmp/ftp/device.bin")
    local = os.path.join(scratch, "lftp-get.bin")
    script = ("set net:max-retries 1; set net:timeout 20; set ftp:ignore-pasv-address true; "
              "set ftp:passive-mode true; open -u test,x -p %d 127.0.0.1; get device.bin -o %s; "
              "put %s -o lftp-put.bin; bye" % (device.ftp_port, local, local))
    result = D.run_quiet(["lftp", "-c", script], timeout=180)
    expect(result.returncode == 0, "lftp: " + result.stdout[-400:])
    got = open(local, "rb").read()
    expect(hashlib.md5(got).hexdigest() == want, "lftp get differs")
    expect(md5_on_device(device, "/tmp/ftp/lftp-put.bin") == want, "lftp put differs")


# ---- figures ----------------------------------------------------------------------------------

def check_rss(device):
    start_ftpd(device)
    run_ok(device, "vexa meminfo -d -s 5120 -p /tmp/meminfo.pid -l /tmp/meminfo.log "
                   ">/dev/null 2>&1; busybox sleep 1")
    rows = []
    for name, pids in (("telnetd", "$(pidof telnetd)"), ("ftpd", "$(pidof ftpd)"),
                       ("meminfo", "$(cat /tmp/meminfo.pid)")):
        output = run_ok(device, "for p in %s; do grep VmRSS /proc/$p/status; done" % pids)
        sizes = [int(size) for size in re.findall(r"VmRSS:\s+(\d+) kB", output)]
        expect(sizes, "%s not running" % name)
        rows.append("%s %d KB" % (name, max(sizes)))
    # Baselines in the same system: the glue shell, and busybox's telnet server.
    output = run_ok(device, "grep VmRSS /proc/$$/status")
    rows.append("busybox sh %s KB" % re.search(r"(\d+) kB", output).group(1))
    output = run_ok(device, "busybox telnetd -F -p 2323 -l /bin/sh & p=$!; busybox sleep 1; "
                            "grep VmRSS /proc/$p/status; kill $p")
    found = re.search(r"(\d+) kB", output)
    expect(found, "busybox telnetd did not start: %r" % output)
    rows.append("busybox telnetd %s KB" % found.group(1))
    figure("device RSS: " + ", ".join(rows))


def check_md5_figure(device):
    run_ok(device, "busybox dd if=/dev/urandom of=/tmp/chunk bs=65536 count=16 2>/dev/null && "
                   "for i in $(busybox seq 64); do cat /tmp/chunk; done >/tmp/big && rm /tmp/chunk")
    size = run_ok(device, "busybox stat -c %s /tmp/big").strip()
    expect(size == str(64 * 1024 * 1024), "file size %s" % size)
    timings = {}
    digests = {}
    for name, command in (("vexa md5", "vexa md5 /tmp/big >/tmp/md5.out 2>&1; "
                                       "tail -c 200 /tmp/md5.out"),
                          ("busybox md5sum", "busybox md5sum /tmp/big")):
        runs = []
        for _ in range(3):  # the best of three, each timed from here over the serial line
            started = time.monotonic()
            output = run_ok(device, command, timeout=600)
            runs.append(time.monotonic() - started)
        timings[name] = min(runs)
        found = re.findall(r"\b([0-9a-fA-F]{32})\b", output.lower())
        expect(found, "%s printed no digest: %r" % (name, output[-200:]))
        digests[name] = found[-1]
    run_ok(device, "rm -f /tmp/big /tmp/md5.out")
    expect(digests["vexa md5"] == digests["busybox md5sum"], "digests differ: %r" % digests)
    figure("md5 of 64 MiB on the device: vexa md5 %.1f s, busybox md5sum %.1f s "
           "(ratio %.2f)" % (timings["vexa md5"], timings["busybox md5sum"],
                             timings["vexa md5"] / timings["busybox md5sum"]))


# ---- device events, live monitors -----------------------------------------------------------

def check_uevents(device):
    run_ok(device, "rm -f /tmp/udev.out; vexa test udev 60 >/tmp/udev.out 2>&1 & "
                   "echo $! >/tmp/udev.pid; i=0; while ! grep -q listening /tmp/udev.out && "
                   "[ $i -lt 100 ]; do busybox usleep 50000; i=$((i+1)); done; cat /tmp/udev.out")
    # A module load, then a keyboard plugged into the USB controller through the monitor.
    run_ok(device, "for m in usb-common usbcore ohci-hcd ohci-pci; do "
                   "busybox insmod /lib/modules/$m.ko || exit 1; done")
    answer = device.monitor("device_add usb-kbd,id=kbd1,bus=ohci.0")
    expect("Error" not in answer, "device_add: %r" % answer)
    deadline = time.monotonic() + 30
    output = ""
    while time.monotonic() < deadline:
        output = run_ok(device, "cat /tmp/udev.out")
        if re.search(r"^add@/devices/.*/usb1/1-1$", output, re.M):
            break
        time.sleep(0.5)
    answer = device.monitor("device_del kbd1")
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        output = run_ok(device, "cat /tmp/udev.out")
        if re.search(r"^remove@/devices/.*/usb1/1-1$", output, re.M):
            break
        time.sleep(0.5)
    run_ok(device, "kill $(cat /tmp/udev.pid); busybox sleep 1")
    output = run_ok(device, "cat /tmp/udev.out")
    expect("add@/module/usbcore" in output, "module load not seen: %r" % output[:600])
    expect(re.search(r"^add@/devices/.*/usb1/1-1$", output, re.M),
           "keyboard plug not seen: %r" % output[-800:])
    expect(re.search(r"^  SUBSYSTEM=usb$", output, re.M) and
           re.search(r"^  ACTION=add$", output, re.M), "event fields missing")
    expect(re.search(r"^remove@/devices/.*/usb1/1-1$", output, re.M),
           "keyboard unplug not seen: %r" % output[-800:])
    return "%d events" % len(re.findall(r"^\w+@/", output, re.M))


def count_tables(device):
    return run_ok(device, "cat /tmp/netspeed.out").count("IfName:")


def wait_tables(device, count, timeout=30):
    deadline = time.monotonic() + timeout
    while count_tables(device) < count and time.monotonic() < deadline:
        time.sleep(0.3)
    expect(count_tables(device) >= count, "netspeed printed no table in %d s" % timeout)


def check_netspeed_under_traffic(device, scratch):
    start_ftpd(device)
    data = os.urandom(4 * 1024 * 1024)
    source = os.path.join(scratch, "traffic.bin")
    open(source, "wb").write(data)
    # Both monitors run from before the first byte to after the last one.
    run_ok(device, "rm -f /tmp/netspeed.out /tmp/cpuusage.out; "
                   "busybox timeout 120 vexa netspeed -i 1000 >/tmp/netspeed.out 2>&1 & "
                   "echo $! >/tmp/netspeed.pid; "
                   "busybox timeout 120 vexa cpuusage -i 1000 >/tmp/cpuusage.out 2>&1 & "
                   "echo $! >/tmp/cpuusage.pid")
    wait_tables(device, 1)
    result = D.run_quiet(["curl", "-sS", "--max-time", "100", "--limit-rate", "700K", "-T",
                          source, "ftp://test:x@127.0.0.1:%d/traffic.bin" % device.ftp_port])
    wait_tables(device, count_tables(device) + 2)
    run_ok(device, "kill $(cat /tmp/netspeed.pid) $(cat /tmp/cpuusage.pid); busybox sleep 1")
    expect(result.returncode == 0, "curl: " + result.stdout)
    netspeed = run_ok(device, "cat /tmp/netspeed.out")
    cpuusage = run_ok(device, "cat /tmp/cpuusage.out; rm -f /tmp/ftp/traffic.bin")
    rates = [int(rx) for rx in re.findall(r"^ +eth0: +(\d+) +\d+ ", netspeed, re.M)]
    expect(rates and max(rates) > 0, "eth0 receive rates %r" % rates)
    # The totals are the kernel's counters: the whole file (and its headers) came in.
    totals = [int(t) for t in re.findall(r"^ +eth0: +\d+ +\d+ +(\d+) ", netspeed, re.M)]
    expect(totals[-1] - totals[0] >= len(data), "eth0 received %d bytes of a %d-byte file" %
           (totals[-1] - totals[0], len(data)))
    lines = re.findall(r"([\d.]+)% \(user= *([\d.]+)%, nice= *([\d.]+)%, system= *([\d.]+)%, "
                       r"idle= *([\d.]+)%, iowait= *([\d.]+)%, irq= *([\d.]+)%, "
                       r"softirq= *([\d.]+)%, stolen= *([\d.]+)%\) tps=(\d+)", cpuusage)
    expect(lines, "no cpuusage lines: %r" % cpuusage[-300:])
    for line in lines:
        shares = [float(v) for v in line[1:9]]
        expect(abs(sum(shares) - 100.0) < 0.1, "shares do not add up: %r" % (line,))
        expect(abs(float(line[0]) - (100.0 - shares[3] - shares[4])) < 0.05 or
               abs(float(line[0]) - (100.0 - shares[3])) < 0.05, "usage %r" % (line,))
        expect(int(line[9]) > 0, "no ticks in an interval: %r" % (line,))
    busiest = max(float(line[0]) for line in lines)
    expect(busiest > 0.0, "the CPU looked idle all along while receiving: %r" % lines)
    return "eth0 up to %d B/s, %d bytes in; CPU up to %.1f%%" % (
        max(rates), totals[-1] - totals[0], busiest)


# ---- update and reboot ------------------------------------------------------------------------

PYFTPD = r"""
import sys, logging
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
logging.basicConfig(level=logging.ERROR)
authorizer = DummyAuthorizer()
authorizer.add_user("tarvik", "qenlot", sys.argv[1], perm="elr")
handler = FTPHandler
handler.authorizer = authorizer
handler.masquerade_address = "10.0.2.2"  # what the device reaches this machine as
server = FTPServer(("127.0.0.1", 0), handler)
print(server.socket.getsockname()[1], flush=True)
server.serve_forever(timeout=1)
"""


def publish(root, path, data):
    full = os.path.join(root, path)
    os.makedirs(os.path.dirname(full), exist_ok=True)
    open(full, "wb").write(data)
    open(full + ".md5", "w").write("%s  %s\n" % (hashlib.md5(data).hexdigest(),
                                                 os.path.basename(path)))


def check_update_and_reboot(device, scratch):
    if not os.path.exists(D.DEBIAN_PYTHON):
        raise SkipCheck("no %s for pyftpdlib" % D.DEBIAN_PYTHON)
    profile = run_ok(device, "vexa version -target_build_profile").strip()
    program = open(D.PROGRAM, "rb").read()
    # The new release: the same program with a mark of its own behind the ELF image.
    mark = b"\0device update %d\0" % os.getpid()
    new_program = program + mark
    new_ini = b"[box]\nname=after update\n"
    home = os.path.join(scratch, "release")
    publish(home, "misc/%s/usr/bin/vexa_static" % profile, program)
    publish(home, "%s/usr/bin/vexa" % profile, new_program)
    publish(home, "%s/etc/vexa/box.ini" % profile, new_ini)
    server = subprocess.Popen([D.DEBIAN_PYTHON, "-c", PYFTPD, home], stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, text=True)
    try:
        port = int(server.stdout.readline())
        status, output = device.sh("mkdir -p /tmp/upd && vexa update --server=10.0.2.2:%d -u tarvik -p qenlot "
                                   "--temp=/tmp/upd --noprogress" % port, timeout=300)
    finally:
        server.kill()
        server.wait()
    expect(status == 0, "update exited %d: %r" % (status, output[-800:]))
    want = hashlib.md5(new_program).hexdigest()
    expect(md5_on_device(device, "/usr/bin/vexa") == want, "program not replaced")
    expect(md5_on_device(device, "/etc/vexa/box.ini") == hashlib.md5(new_ini).hexdigest(),
           "box.ini not replaced")
    expect(run_ok(device, "ls -A /tmp/upd 2>/dev/null | wc -l").strip() in ("0", ""),
           "temporary files left")
    expect(run_ok(device, "vexa version -arch") == "mipsel\n", "new program does not run")
    # Restart the device with the reboot applet; what it wrote must be on the disk after.
    device.buffer = b""
    device.control.sendall(b"vexa reboot >/dev/console 2>&1\n")
    deadline = time.monotonic() + 60
    while "reboot: Restarting system" not in device.console() and time.monotonic() < deadline:
        time.sleep(0.2)
    expect("reboot: Restarting system" in device.console(), "no restart seen on the console")
    device.started = time.monotonic()
    device.connect(120)
    expect(md5_on_device(device, "/usr/bin/vexa") == want, "program lost over the reboot")
    expect(run_ok(device, "cat /etc/vexa/box.ini").encode() == new_ini, "box.ini lost")
    uptime = run_ok(device, "vexa uptime")
    expect(re.match(r"uptime: 0 days 00:00:\d\d \(\d+ sec\)\n", uptime), "uptime %r" % uptime)
    expect(telnet_prompt(device.telnet_port, 30), "no telnet prompt after the reboot")
    return "%s replaced and kept over the reboot" % profile


# ---- memory watchdog ---------------------------------------------------------------------------

HOG = "busybox awk 'BEGIN { while (1) { a[n++] = sprintf(\"%0960d\", n) } }'"


def check_watchdog(device):
    meminfo = proc_meminfo(device)
    run_ok(device, "vexa meminfo -d -s 12000 -i 200 -l /tmp/watchdog.log -p /tmp/watchdog.pid "
                   ">/dev/null 2>&1; busybox sleep 1; cat /tmp/watchdog.pid")
    run_ok(device, "%s >/dev/null 2>&1 & echo $! >/tmp/hog.pid" % HOG)
    deadline = time.monotonic() + 120
    gone = False
    while time.monotonic() < deadline:
        status, _ = device.sh("kill -0 $(cat /tmp/hog.pid) 2>/dev/null", timeout=30)
        if status != 0:
            gone = True
            break
        time.sleep(0.5)
    if not gone:
        device.sh("kill -9 $(cat /tmp/hog.pid)")
    expect(gone, "the allocating process was not ended in 120 s")
    hog = run_ok(device, "cat /tmp/hog.pid").strip()
    log = run_ok(device, "cat /tmp/watchdog.log 2>&1")
    kernel = run_ok(device, "busybox dmesg")
    expect(re.search(r"PID=%s,PROCESS_NAME=\"[^\"]*\",RSS=\d+" % hog, log),
           "no log line for process %s: %r" % (hog, log))
    expect("Out of memory" not in kernel and "oom-kill" not in kernel,
           "the kernel's OOM killer acted: %r" % kernel[-600:])
    expect(run_ok(device, "kill -0 $(cat /tmp/watchdog.pid) && echo alive").strip() == "alive",
           "the watchdog itself ended")
    return "process %s ended and logged, %d KB total, no OOM kill" % (hog, meminfo["MemTotal"])


def check_watchdog_restart(device):
    """With -r the watchdog restarts the device after ending the process; its log line,
    written to the disk, is there after the restart."""
    run_ok(device, "kill $(cat /tmp/watchdog.pid) 2>/dev/null; rm -f /data/restart.log; "
                   "vexa meminfo -d -r -t 500 -s 12000 -i 200 -l /data/restart.log "
                   "-p /tmp/restart.pid >/dev/null 2>&1; busybox sleep 1")
    restarts = device.console().count("reboot: Restarting system")
    device.buffer = b""
    device.control.sendall(("%s >/dev/null 2>&1 & echo $! >/data/hog.pid; busybox sync\n" %
                            HOG).encode())
    deadline = time.monotonic() + 120
    while device.console().count("reboot: Restarting system") == restarts and \
            time.monotonic() < deadline:
        time.sleep(0.3)
    expect(device.console().count("reboot: Restarting system") > restarts,
           "no restart in 120 s")
    device.started = time.monotonic()
    device.connect(120)
    hog = run_ok(device, "cat /data/hog.pid").strip()
    log = run_ok(device, "cat /data/restart.log")
    expect(re.search(r"PID=%s,PROCESS_NAME=\"[^\"]*\",RSS=\d+" % hog, log),
           "no log line for process %s after the restart: %r" % (hog, log))
    uptime = run_ok(device, "cat /proc/uptime")
    expect(float(uptime.split()[0]) < 60, "the device did not restart: %r" % uptime)


# ---- framebuffer --------------------------------------------------------------------------------

FB_APPLETS = ("fbinfo", "fbclear", "fbcolorbar", "fbruler", "fbclock")


def listed_applets(device):
    output = run_ok(device, "vexa")
    block = output.split("Applets:", 1)[-1].split("End of", 1)[0]
    return set(name.strip() for name in block.replace("\n", " ").split(",") if name.strip())


def needs(applets, name):
    if name not in applets:
        raise SkipCheck("vexa does not list %s" % name)


def close(colour, want, tolerance):
    return all(abs(a - b) <= tolerance for a, b in zip(colour, want))


def fb_geometry(device):
    output = run_ok(device, "cd /sys/class/graphics/fb0 && cat virtual_size bits_per_pixel "
                            "stride name")
    size, bpp, stride, name = output.split("\n")[:4]
    width, height = (int(v) for v in size.split(","))
    return width, height, int(bpp), int(stride), name


def check_fb_reference(device, bpp, scratch):
    """The kernel's mode and the screenshot path, before any applet: a raw pixel row written
    to /dev/fb0 shows in the screenshot where and in the colour it should."""
    width, height, depth, stride, name = fb_geometry(device)
    expect((width, height, depth) == (640, 480, bpp), "mode %dx%d %d bpp, %s" %
           (width, height, depth, name))
    pixel = {8: b"\x0f", 16: struct.pack("<H", 0xF800), 32: struct.pack("<I", 0x00FF0000)}[bpp]
    want = (255, 255, 255) if bpp == 8 else (255, 0, 0)
    row = 100
    run_ok(device, "busybox printf '%s' | busybox dd of=/dev/fb0 bs=%d seek=%d conv=notrunc "
                   "2>/dev/null" % ("".join("\\%03o" % b for b in pixel * 64), len(pixel) * 64,
                                    row * stride // (len(pixel) * 64)))
    path = os.path.join(D.ARTIFACTS, "fb%d-reference.png" % bpp)
    image = device.screendump(path)
    expect((image.width, image.height) == (640, 480), "screenshot %dx%d" %
           (image.width, image.height))
    kept = D.read_png(path)
    expect((kept.width, kept.height, kept.pixels) == (image.width, image.height, image.pixels),
           "the PNG kept differs from the screenshot")
    expect(close(image.at(10, row), want, 16) and close(image.at(63, row), want, 16),
           "pixel (10,%d) is %r, want %r" % (row, image.at(10, row), want))
    return name


def check_fbinfo(device, applets, bpp):
    needs(applets, "fbinfo")
    width, height, depth, stride, name = fb_geometry(device)
    output = run_ok(device, "vexa fbinfo")
    found = re.search(r"resolution  : (\d+) x (\d+) (\d+)bpp", output)
    expect(found, "no resolution line: %r" % output)
    expect(tuple(int(v) for v in found.groups()) == (width, height, depth),
           "fbinfo %s, sysfs %dx%d %d bpp" % (found.group(0), width, height, depth))
    length = re.search(r"line length : (\d+) bytes", output)
    expect(length and int(length.group(1)) == stride, "line length, sysfs stride %d" % stride)


TOP_BARS = [(255, 255, 255), (255, 255, 0), (0, 255, 255), (0, 255, 0), (255, 0, 255),
            (255, 0, 0), (0, 0, 255)]
MIDDLE_BARS = [(0, 0, 255), (0, 0, 0), (255, 127, 63), (0, 0, 0), (0, 127, 255), (0, 0, 0),
               (255, 255, 255)]
BOTTOM_BARS = [(0, 0, 127), (255, 255, 255), (0, 0, 255), (0, 0, 0), (0, 0, 0), (0, 0, 0)]


def tolerance(bpp):
    # 16 bits keep 5 or 6 bits a channel; 8 bits map to the nearest colour of the palette.
    return {8: 100, 16: 10, 32: 2}[bpp]


def check_fbcolorbar(device, applets, bpp):
    needs(applets, "fbcolorbar")
    run_ok(device, "vexa fbcolorbar")
    image = device.screendump(os.path.join(D.ARTIFACTS, "fb%d-colorbar.png" % bpp))
    bar = image.width // 7
    for index, want in enumerate(TOP_BARS):
        x, y = index * bar + bar // 2, image.height // 2
        expect(close(image.at(x, y), want, tolerance(bpp)), "bar %d at (%d,%d) is %r, want %r"
               % (index, x, y, image.at(x, y), want))


def check_fbcolorbar_extended(device, applets, bpp):
    needs(applets, "fbcolorbar")
    run_ok(device, "vexa fbcolorbar --ext")
    image = device.screendump(os.path.join(D.ARTIFACTS, "fb%d-colorbar-ext.png" % bpp))
    height = image.height
    rows = ((height // 3, image.width // 7, TOP_BARS),
            (height // 3 * 2 + height // 12, image.width // 7, MIDDLE_BARS),
            (height - height // 12, image.width // 6, BOTTOM_BARS))
    for y, bar, colours in rows:
        for index, want in enumerate(colours):
            x = index * bar + bar // 2
            expect(close(image.at(x, y), want, tolerance(bpp)),
                   "(%d,%d) is %r, want %r" % (x, y, image.at(x, y), want))


def check_fbclear(device, applets, bpp):
    needs(applets, "fbclear")
    run_ok(device, "vexa fbclear --color=0xFF0000FF")
    image = device.screendump(os.path.join(D.ARTIFACTS, "fb%d-clear-blue.png" % bpp))
    for x, y in ((0, 0), (639, 479), (320, 240), (17, 401)):
        expect(close(image.at(x, y), (0, 0, 255), tolerance(bpp)),
               "(%d,%d) is %r after a blue clear" % (x, y, image.at(x, y)))
    run_ok(device, "vexa fbclear --color=0xFFFF0000 --x=100 --y=50 --w=200 --h=100")
    image = device.screendump(os.path.join(D.ARTIFACTS, "fb%d-clear-box.png" % bpp))
    expect(close(image.at(150, 100), (255, 0, 0), tolerance(bpp)), "inside the box: %r" %
           (image.at(150, 100),))
    expect(close(image.at(99, 100), (0, 0, 255), tolerance(bpp)) and
           close(image.at(300, 100), (0, 0, 255), tolerance(bpp)) and
           close(image.at(150, 150), (0, 0, 255), tolerance(bpp)), "the box spilled over")
    run_ok(device, "vexa fbclear")
    image = device.screendump(os.path.join(D.ARTIFACTS, "fb%d-clear-default.png" % bpp))
    expect(all(image.at(x, y) == (0, 0, 0) for x, y in ((0, 0), (320, 240), (150, 100))),
           "default clear is not black")


def check_fbruler(device, applets, bpp):
    needs(applets, "fbruler")
    run_ok(device, "vexa fbclear")
    device.sh("busybox timeout 3 vexa fbruler", timeout=30)
    image = device.screendump(os.path.join(D.ARTIFACTS, "fb%d-ruler.png" % bpp))
    cx, cy = image.width // 2, image.height // 2
    # The crosshair: lines through the centre, 100 pixels each way.
    marked = [(x, y) for x, y in ((cx + 40, cy), (cx - 40, cy), (cx, cy + 40), (cx, cy - 40))
              if image.at(x, y) != (0, 0, 0)]
    expect(len(marked) == 4, "crosshair pixels lit: %r" % marked)
    expect(image.at(cx + 40, cy + 30) == (0, 0, 0) or image.at(cx + 30, cy + 40) == (0, 0, 0),
           "the whole screen is drawn over")


def check_fbclock(device, applets, bpp):
    needs(applets, "fbclock")
    run_ok(device, "vexa fbclear")
    device.sh("busybox timeout 3 vexa fbclock", timeout=30)
    image = device.screendump(os.path.join(D.ARTIFACTS, "fb%d-clock.png" % bpp))
    lit = sum(1 for y in range(0, image.height, 2) for x in range(0, image.width, 2)
              if image.at(x, y) != (0, 0, 0))
    expect(lit > 20, "the time is not drawn (%d pixels lit)" % lit)


def framebuffer_checks(device, bpp, scratch, applets):
    check("framebuffer %d bpp: kernel mode and screenshot" % bpp, check_fb_reference, device,
          bpp, scratch)
    check("framebuffer %d bpp: fbinfo agrees with sysfs" % bpp, check_fbinfo, device, applets,
          bpp)
    check("framebuffer %d bpp: fbcolorbar" % bpp, check_fbcolorbar, device, applets, bpp)
    check("framebuffer %d bpp: fbcolorbar --ext" % bpp, check_fbcolorbar_extended, device,
          applets, bpp)
    check("framebuffer %d bpp: fbruler" % bpp, check_fbruler, device, applets, bpp)
    check("framebuffer %d bpp: fbclear" % bpp, check_fbclear, device, applets, bpp)
    check("framebuffer %d bpp: fbclock" % bpp, check_fbclock, device, applets, bpp)


# ---- the run -----------------------------------------------------------------------------------

def boot(kit, name, **options):
    device = kit.boot(name, **options)
    try:
        seconds = device.connect(150)
    except Exception:
        device.stop()
        raise
    return device, seconds


def main_device(kit, scratch):
    device = kit.boot("main", usb=True)
    applets = set()
    try:
        # The host knocks at the telnet port from the start, in a thread of its own, while
        # the control shell asks hertz as soon as it answers.
        prompt = {}

        def knock():
            prompt["reached"] = telnet_prompt(device.telnet_port, 150)
            prompt["seconds"] = time.monotonic() - device.started

        knocker = threading.Thread(target=knock)
        knocker.start()
        try:
            ready = device.connect(150)
            check("hertz right after boot", check_hertz, device)
        finally:
            knocker.join()
        check("boot: telnet prompt from the host", lambda: expect(prompt["reached"],
                                                                  "no prompt in 150 s"))
        if prompt["reached"]:
            figure("boot to first telnet prompt: %.1f s from qemu's start (the serial control "
                   "shell, started by init after the same start-up script: %.1f s)" %
                   (prompt["seconds"], ready))
        for name, function in (("test all", check_test_all),
                               ("uptime against /proc/uptime", check_uptime),
                               ("ps: processes and numeric owners", check_ps),
                               ("ifconfig", check_ifconfig),
                               ("netstat: telnetd listening", check_netstat),
                               ("route", check_route),
                               ("df against busybox df", check_df),
                               ("stat of the disk", check_stat),
                               ("version: mipsel, 32-bit", check_version),
                               ("uuid", check_uuid),
                               ("meminfo against /proc/meminfo", check_meminfo),
                               ("telnet: real client, stty size follows the window",
                                check_telnet)):
            check(name, function, device)
        check("ftpd: curl upload and download", check_ftp_curl, device, scratch)
        check("ftpd: lftp get and put", check_ftp_lftp, device, scratch)
        check("uevents: module load and USB hot-plug", check_uevents, device)
        check("netspeed and cpuusage while the host sends", check_netspeed_under_traffic,
              device, scratch)
        check("figure: RSS of telnetd, ftpd, meminfo", check_rss, device)
        check("figure: md5 of 64 MiB against busybox md5sum", check_md5_figure, device)
        applets = listed_applets(device)
        framebuffer_checks(device, 8, scratch, applets)
        check("reboot and poweroff refuse arguments", check_reboot_refuses_arguments, device)
        check("update from the host's FTP server, then reboot", check_update_and_reboot,
              device, scratch)
    finally:
        device.stop()
    return applets


def run(device_module, only=None):
    global D, ONLY
    D = device_module
    ONLY = only
    started = time.monotonic()
    try:
        kit = D.Kit()
    except D.Skip as reason:
        D.say("device: skipped: %s" % reason)
        D.say("0 passed, 0 failed, 1 skipped")
        return 0
    scratch = tempfile.mkdtemp(prefix="vexa-device-suite-")
    try:
        applets = set()
        if not ONLY or not ONLY.startswith(("framebuffer", "watchdog")):
            applets = main_device(kit, scratch) or set()
        if not ONLY or "watchdog" in ONLY:
            device, _ = boot(kit, "watchdog", memory=64, tmp="8m")
            try:
                check("watchdog: meminfo -d ends an allocating process before the kernel",
                      check_watchdog, device)
                check("watchdog: with -r it restarts the device, its log kept on the disk",
                      check_watchdog_restart, device)
            finally:
                device.stop()
        for bpp in (16, 32):
            if ONLY and "framebuffer" not in ONLY:
                continue
            device, _ = boot(kit, "fb%d" % bpp, memory=64, tmp="8m", bpp=bpp)
            try:
                framebuffer_checks(device, bpp, scratch, applets or listed_applets(device))
            finally:
                device.stop()
    finally:
        kit.close()
        D.shutil.rmtree(scratch, ignore_errors=True)
    D.say("device: %d s, artifacts in %s" % (time.monotonic() - started, D.ARTIFACTS))
    D.say("%d passed, %d failed, %d skipped" % (RESULTS["passed"], RESULTS["failed"],
                                                RESULTS["skipped"]))
    return 1 if RESULTS["failed"] else 0
