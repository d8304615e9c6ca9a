#!/bin/bash
# `vexa ftpget` against curl: one 512 MiB file from vsftpd on loopback (passive mode), both
# writing to /dev/shm so that the figures are the clients' own, not the disk's. Each client
# runs RUNS times, alternating; the best wall time (throughput) and the best CPU time (user +
# system) of each are compared.
# Usage: ftp_bench.sh [vexa] [size-in-MiB]
set -euo pipefail

VEXA=${1:-bench-build/vexa}
SIZE_MIB=${2:-512}
RUNS=${RUNS:-3}
VSFTPD=${VSFTPD:-/usr/sbin/vsftpd}

for program in "$VEXA" "$VSFTPD" "$(command -v curl)"; do
    if [ ! -x "$program" ]; then
        echo "ftp_bench: $program is missing" >&2
        exit 1
    fi
done

work=$(mktemp -d /dev/shm/vexa-ftp-bench-XXXXXX)
vsftpd_pid=
cleanup() {
    if [ -n "$vsftpd_pid" ]; then kill "$vsftpd_pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/root" "$work/empty"
chmod 755 "$work/root"
head -c $((SIZE_MIB << 20)) /dev/urandom > "$work/root/big.bin"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat > "$work/vsftpd.conf" <<CONF
listen=YES
listen_address=127.0.0.1
listen_port=$port
background=NO
anonymous_enable=YES
local_enable=NO
write_enable=NO
anon_root=$work/root
no_anon_password=YES
secure_chroot_dir=$work/empty
seccomp_sandbox=NO
isolate=NO
isolate_network=NO
connect_from_port_20=NO
pasv_enable=YES
CONF
"$VSFTPD" "$work/vsftpd.conf" &
vsftpd_pid=$!
for _ in $(seq 100); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then break; fi
    sleep 0.05
done
url="ftp://127.0.0.1:$port/big.bin"

# One timed run: prints "wall user system".
measure() {
    /usr/bin/time -f "%e %U %S" -o "$work/time" "$@" >/dev/null 2>&1
    cat "$work/time"
}

for _ in $(seq "$RUNS"); do
    for name in vexa curl; do
        rm -f "$work/out.$name"
        if [ "$name" = vexa ]; then
            timing=$(measure "$VEXA" ftpget --quiet --nointeractive "$url" "$work/out.$name")
        else
            timing=$(measure curl -s -o "$work/out.$name" "$url")
        fi
        cmp -s "$work/root/big.bin" "$work/out.$name" || {
            echo "ftp_bench: $name got a different file" >&2
            exit 1
        }
        echo "$name $timing" >> "$work/results"
    done
done

python3 - "$SIZE_MIB" "$work/results" <<'PY'
import sys
size = int(sys.argv[1]) * 1048576 / 1e6
best = {}
for line in open(sys.argv[2]):
    name, wall, user, system = line.split()
    wall, cpu = max(float(wall), 0.01), float(user) + float(system)
    old = best.get(name, (1e9, 1e9))
    best[name] = (min(old[0], wall), min(old[1], cpu))
(vexa_wall, vexa_cpu), (curl_wall, curl_cpu) = best["vexa"], best["curl"]
print("ftpget %s MiB from vsftpd: vexa %.0f MB/s (cpu %.2f s), curl %.0f MB/s (cpu %.2f s)"
      % (sys.argv[1], size / vexa_wall, vexa_cpu, size / curl_wall, curl_cpu))
print("throughput ratio vexa/curl %.2f, cpu ratio vexa/curl %.2f"
      % (curl_wall / vexa_wall, vexa_cpu / max(curl_cpu, 0.01)))
PY
