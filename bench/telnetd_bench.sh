#!/bin/bash
# The telnet server against busybox telnetd, both on loopback with /bin/sh as the login
# program, measured in the same run with the same python client:
#   - throughput: `cat` of a 50 MiB text file through one session (median of 3),
#   - memory: resident and anonymous (heap and stack) memory of the server process alone with
#     50 idle sessions (the shells are other processes and not counted),
#   - start-up: time from the TCP connect to the first byte of the shell prompt (median of 30,
#     the two servers taking turns).
# Usage: telnetd_bench.sh [vexa] (default bench-build/vexa_static, from `make bench`)
set -euo pipefail

VEXA=${1:-bench-build/vexa_static}
BUSYBOX=${BUSYBOX:-/bin/busybox}
MIB=${MIB:-50}
SESSIONS=${SESSIONS:-50}
CONNECTS=${CONNECTS:-30}

for program in "$VEXA" "$BUSYBOX"; do
    if [ ! -x "$program" ]; then
        echo "telnetd_bench: $program is missing" >&2
        exit 1
    fi
done

exec python3 - "$VEXA" "$BUSYBOX" "$MIB" "$SESSIONS" "$CONNECTS" <<'PY'
import os, socket, statistics, subprocess, sys, tempfile, time

vexa, busybox, mib, sessions, connects = sys.argv[1], sys.argv[2], *map(int, sys.argv[3:])
PROMPT = b"# " if os.geteuid() == 0 else b"$ "

def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]

def listening(port):
    want = ":%04X" % port
    for path in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(path) as table:
            if any(l.split()[1].endswith(want) and l.split()[3] == "0A" for l in list(table)[1:]):
                return True
    return False

class Server:
    def __init__(self, name):
        self.name, self.port = name, free_port()
        env = dict(os.environ, PS1=PROMPT.decode())
        if name == "vexa":
            command = [vexa, "telnetd", "-p", str(self.port), "-l", "/bin/sh", "-f", "/dev/null"]
        else:
            command = [busybox, "telnetd", "-F", "-p", str(self.port), "-l", "/bin/sh",
                       "-f", "/dev/null"]
        self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, env=env,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 20
        while not listening(self.port):
            if time.monotonic() > deadline:
                raise SystemExit("%s telnetd did not start" % name)
            time.sleep(0.02)

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()

    def cpu_seconds(self):
        with open("/proc/%d/stat" % self.process.pid) as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def memory(self):
        figures = {}
        with open("/proc/%d/status" % self.process.pid) as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    figures["rss"] = int(line.split()[1])
        with open("/proc/%d/smaps_rollup" % self.process.pid) as rollup:
            for line in rollup:
                if line.startswith("Anonymous:"):
                    figures["anonymous"] = int(line.split()[1])
        return figures

def connect(port):
    client = socket.create_connection(("127.0.0.1", port), timeout=30)
    client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return client

def read_until(client, marker):
    tail = b""
    received = 0
    while marker not in tail:
        chunk = client.recv(1 << 20)
        if not chunk:
            raise SystemExit("connection closed early")
        received += len(chunk)
        tail = (tail + chunk)[-4096:]
    return received

def first_prompt(port):
    started = time.perf_counter()
    client = connect(port)
    read_until(client, PROMPT)
    elapsed = time.perf_counter() - started
    client.close()
    return elapsed

def throughput(port, path):
    client = connect(port)
    read_until(client, PROMPT)
    started = time.perf_counter()
    client.sendall(b"cat %s; echo END$((6*7))\r\0" % path.encode())
    read_until(client, b"END42")
    elapsed = time.perf_counter() - started
    client.sendall(b"exit\r\0")
    client.close()
    return elapsed

with tempfile.NamedTemporaryFile(prefix="telnetd-bench-", suffix=".txt") as data:
    line = b"".join(b"%c" % (32 + (i * 7) % 95) for i in range(99)) + b"\n"
    data.write(line * (mib * 1024 * 1024 // len(line)))
    data.flush()
    size = os.path.getsize(data.name)
    servers = {name: Server(name) for name in ("vexa", "busybox")}
    try:
        times = {name: [] for name in servers}
        cpu = {name: 0.0 for name in servers}
        for _ in range(3):
            for name, server in servers.items():
                before = server.cpu_seconds()
                times[name].append(throughput(server.port, data.name))
                cpu[name] += server.cpu_seconds() - before
        rate = {name: size / statistics.median(values) / 1e6 for name, values in times.items()}
        print("throughput (cat of %d MiB): vexa %.1f MB/s, busybox %.1f MB/s, ratio %.2f"
              % (mib, rate["vexa"], rate["busybox"], rate["vexa"] / rate["busybox"]))
        # The server's own processor time for the same bytes, which load on the machine
        # disturbs far less than the wall-clock rate.
        print("relay processor time for 3 x %d MiB: vexa %.2f s, busybox %.2f s, ratio %.2f"
              % (mib, cpu["vexa"], cpu["busybox"], cpu["vexa"] / max(cpu["busybox"], 0.01)))

        # Alternating order and a pause after each session, so that neither server's
        # teardown of the previous session falls into the other's measurement.
        delays = {name: [] for name in servers}
        for round in range(connects):
            for name in (("vexa", "busybox") if round % 2 == 0 else ("busybox", "vexa")):
                delays[name].append(first_prompt(servers[name].port))
                time.sleep(0.05)
        delay = {name: statistics.median(values) * 1e3 for name, values in delays.items()}
        print("connect to first prompt byte (median of %d): vexa %.2f ms, busybox %.2f ms, "
              "ratio %.2f" % (connects, delay["vexa"], delay["busybox"],
                              delay["vexa"] / delay["busybox"]))

        memory = {}
        for name, server in servers.items():
            idle = [connect(server.port) for _ in range(sessions)]
            for client in idle:
                read_until(client, PROMPT)
            time.sleep(0.5)
            memory[name] = server.memory()
            for client in idle:
                client.close()
        print("server memory with %d idle sessions: vexa RSS %d KiB (anonymous %d KiB), busybox "
              "RSS %d KiB (anonymous %d KiB), RSS ratio %.2f, anonymous ratio %.2f"
              % (sessions, memory["vexa"]["rss"], memory["vexa"]["anonymous"],
                 memory["busybox"]["rss"], memory["busybox"]["anonymous"],
                 memory["vexa"]["rss"] / memory["busybox"]["rss"],
                 memory["vexa"]["anonymous"] / memory["busybox"]["anonymous"]))
    finally:
        for server in servers.values():
            server.stop()
PY
