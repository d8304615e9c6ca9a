#!/bin/bash
# Interface listing with 50 links (each with an IPv4 and an IPv6 address) in a private
# network namespace: `vexa ifconfig` against `ip addr` and net-tools `ifconfig -a`, measured
# in the same hyperfine run, output to /dev/null.
# Usage: ifconfig_bench.sh [vexa]   (as root; release build: configure build-netif-rel)
set -euo pipefail

VEXA=$(realpath "${1:-build-netif-rel/vexa}")
RUNS=${RUNS:-200}
LINKS=${LINKS:-50}
NET_TOOLS=""
for candidate in /sbin/ifconfig /usr/sbin/ifconfig; do
    if [ -x "$candidate" ]; then
        NET_TOOLS=$candidate
        break
    fi
done
for program in "$VEXA" "$NET_TOOLS" "$(command -v ip || true)" "$(command -v hyperfine || true)"; do
    if [ -z "$program" ] || [ ! -x "$program" ]; then
        echo "ifconfig_bench: vexa, ip, net-tools ifconfig and hyperfine are needed" >&2
        exit 1
    fi
done

# Everything below runs inside a fresh network namespace: the links vanish with it.
if [ "${IFCONFIG_BENCH_INSIDE:-}" != 1 ]; then
    exec env IFCONFIG_BENCH_INSIDE=1 unshare --net "$0" "$VEXA"
fi

ip link set lo up
kind=dummy
ip link add probe0 type dummy 2>/dev/null && ip link del probe0 || kind=bridge
for n in $(seq 1 "$LINKS"); do
    ip link add "d$n" type "$kind"
    ip addr add "10.$((n / 250)).$((n % 250)).1/24" brd + dev "d$n"
    ip -6 addr add "fd00:$n::1/64" dev "d$n" nodad
    ip link set "d$n" up
done
echo "ifconfig_bench: $LINKS $kind links (+ lo) in a private network namespace"

json=$(mktemp)
trap 'rm -f "$json"' EXIT
hyperfine --warmup 10 --runs "$RUNS" -N --export-json "$json" \
    -n vexa "$VEXA ifconfig" -n ip "ip addr" -n net-tools "$NET_TOOLS -a"

python3 - "$json" <<'PY'
import json, sys
results = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
vexa, ip, net_tools = (results[name]["median"] for name in ("vexa", "ip", "net-tools"))
print(f"median: vexa ifconfig {vexa * 1e3:.2f} ms, ip addr {ip * 1e3:.2f} ms, "
      f"net-tools ifconfig -a {net_tools * 1e3:.2f} ms")
print(f"ratio vexa/ip {vexa / ip:.2f}, ratio vexa/net-tools {vexa / net_tools:.2f}")
PY
