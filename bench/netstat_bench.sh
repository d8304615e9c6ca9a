#!/bin/bash
# Socket and route listings at scale, in private namespaces: `vexa netstat` with 10,000
# sockets held by 500 processes against `ss -tuwanp` and net-tools `netstat -tuwanp`, and
# `vexa route` with 10,000 routes against `ip -4 route` and net-tools `route -n`, each trio
# measured in the same hyperfine run with its output to /dev/null.
# Usage: netstat_bench.sh [vexa]   (as root; a release build, e.g. bench-build/vexa)
set -euo pipefail

VEXA=$(realpath "${1:-bench-build/vexa}")
RUNS=${RUNS:-30}
PROCESSES=${PROCESSES:-500}
PER_PROCESS=20 # 4 listeners, 5 connections (both ends), 6 datagram sockets
ROUTES=${ROUTES:-10000}
for program in "$VEXA" "$(command -v ss || true)" "$(command -v netstat || true)" \
    "$(command -v route || true)" "$(command -v ip || true)" "$(command -v hyperfine || true)"; do
    if [ -z "$program" ] || [ ! -x "$program" ]; then
        echo "netstat_bench: vexa, ss, ip, net-tools netstat and route, hyperfine are needed" >&2
        exit 1
    fi
done

# Everything below runs in fresh network, PID and mount namespaces: sockets, owners and
# routes vanish with them.
if [ "${NETSTAT_BENCH_INSIDE:-}" != 1 ]; then
    exec env NETSTAT_BENCH_INSIDE=1 unshare --net --pid --fork --mount-proc "$0" "$VEXA"
fi

ip link set lo up
ulimit -n "$(ulimit -Hn)" # the maker holds every socket at once, then a copy of twenty

# One process makes every socket, then hands each set of twenty to a child that becomes a
# sleeping owner (its descriptors kept across exec); the maker keeps none of them.
python3 - "$PROCESSES" <<'PY'
import fcntl, os, socket, sys
processes = int(sys.argv[1])
groups = []
for _ in range(processes):
    group = []
    listeners = []
    for _ in range(4):
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(64)
        listeners.append(listener)
    group += listeners
    for _ in range(5):
        client = socket.create_connection(listeners[0].getsockname())
        server, _ = listeners[0].accept()
        group += [client, server]
    for _ in range(6):
        datagram = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        datagram.bind(("127.0.0.1", 0))
        group.append(datagram)
    groups.append(group)
for group in groups:
    if os.fork() == 0:
        # Out of the way first: the final places may hold sockets of this very group.
        high = [fcntl.fcntl(sock.fileno(), fcntl.F_DUPFD, 1 << 14) for sock in group]
        for index, fd in enumerate(high):
            os.dup2(fd, 3 + index)
        os.closerange(3 + len(group), 1 << 16)
        os.execvp("sleep", ["sleep", "3600"])
    for sock in group:
        sock.close()
PY
sockets=$(($(cat /proc/net/tcp /proc/net/udp | wc -l) - 2))
owners=$(pgrep -c -x sleep)
echo "netstat_bench: $sockets sockets, $owners owning processes"

json=$(mktemp)
trap 'rm -f "$json" "$json.routes" "$json.batch"' EXIT
hyperfine --warmup 3 --runs "$RUNS" -N --export-json "$json" \
    -n vexa "$VEXA netstat" -n ss "ss -tuwanp" -n net-tools "netstat -tuwanp"

ip link add d0 type dummy 2>/dev/null || ip link add d0 type bridge
ip addr add 10.0.0.1/8 dev d0
ip link set d0 up
python3 - "$ROUTES" > "$json.batch" <<'PY'
import sys
for i in range(int(sys.argv[1])):
    print("route add 100.%d.%d.0/24 dev d0 metric %d" % (64 + i // 250, i % 250, i % 7))
PY
ip -batch "$json.batch"
echo "netstat_bench: $(($(wc -l < /proc/net/route) - 1)) routes"
hyperfine --warmup 3 --runs "$RUNS" -N --export-json "$json.routes" \
    -n vexa "$VEXA route" -n ip "ip -4 route" -n net-tools "route -n"

python3 - "$json" "$json.routes" <<'PY'
import json, sys
for path, peer in ((sys.argv[1], "ss"), (sys.argv[2], "ip")):
    results = {r["command"]: r["median"] for r in json.load(open(path))["results"]}
    vexa, other, net_tools = results["vexa"], results[peer], results["net-tools"]
    print(f"median: vexa {vexa * 1e3:.1f} ms, {peer} {other * 1e3:.1f} ms, "
          f"net-tools {net_tools * 1e3:.1f} ms; ratio vexa/{peer} {vexa / other:.2f}, "
          f"vexa/net-tools {vexa / net_tools:.2f}")
PY
