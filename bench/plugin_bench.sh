#!/bin/sh
# The plugin files and the TFTP client against their baselines in the same run (hyperfine):
#   vexa gzip -c / gunzip -c (tarvik_plugin_zlib.so) against GNU gzip at the same level,
#   a 40 MiB TFTP download from in.tftpd on loopback: vexa cat against tftp-hpa's client.
# Usage: bench/plugin_bench.sh <vexa with the plugin files beside it>
set -eu
vexa=$(readlink -f "${1:?usage: plugin_bench.sh <vexa>}")
dir=$(mktemp -d)
tftpd_pid=
trap '[ -n "$tftpd_pid" ] && kill "$tftpd_pid" 2>/dev/null; rm -rf "$dir"' EXIT INT TERM
command -v hyperfine >/dev/null || { echo "plugin_bench: hyperfine is missing" >&2; exit 1; }

# 48 MiB of mixed data: text lines, repeated blocks and random bytes.
python3 - "$dir/sample" <<'PY'
import random, sys
r = random.Random(1)
with open(sys.argv[1], "wb") as out:
    for n in range(48):
        kind = n % 3
        if kind == 0:
            out.write(b"".join(b"%08d the quick brown fox %d jumps\n" % (i, i * 7) for i in range(26000))[:1 << 20])
        elif kind == 1:
            block = r.randbytes(4096)
            out.write(block * 256)
        else:
            out.write(r.randbytes(1 << 20))
PY
gzip -6 -c "$dir/sample" > "$dir/sample.gz"
for level in 1 6 9; do
    hyperfine -N --warmup 1 --runs 5 \
        -n "vexa gzip -$level" "sh -c '$vexa gzip -$level -c $dir/sample > /dev/null'" \
        -n "GNU gzip -$level" "sh -c 'gzip -$level -c $dir/sample > /dev/null'"
done
hyperfine -N --warmup 1 --runs 10 \
    -n "vexa gunzip -c" "sh -c '$vexa gunzip -c $dir/sample.gz > /dev/null'" \
    -n "GNU gunzip -c" "sh -c 'gzip -d -c $dir/sample.gz > /dev/null'"

if [ -x /usr/sbin/in.tftpd ] && command -v tftp >/dev/null; then
    mkdir -m 755 "$dir/tftp"
    head -c 41943040 /dev/urandom > "$dir/tftp/f40m"
    chmod 644 "$dir/tftp/f40m"
    port=$(python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    /usr/sbin/in.tftpd -L -a "127.0.0.1:$port" -s "$dir/tftp" &
    tftpd_pid=$!
    sleep 0.3
    hyperfine -N --warmup 1 --runs 5 \
        -n "vexa cat tftp://" "sh -c '$vexa cat tftp://127.0.0.1:$port/f40m > /dev/null'" \
        -n "tftp-hpa get" "sh -c 'cd $dir && tftp 127.0.0.1 $port -m binary -c get f40m /dev/null'"
fi
