#!/bin/bash
# The process table under load: `vexa ps` (which also counts every process's descriptors)
# against `busybox ps` and procps ps over 500 extra processes, then peak memory of vexa ps
# and busybox ps. Runs inside a private PID namespace with its own /proc, so the extra
# processes are the only load and they end with the namespace.
# Usage: ps_bench.sh [vexa]    (a Release build without sanitizers; the default is the
# static program of the benchmark build, linked like the device program and like
# busybox-static, so that start-up and peak memory compare like with like)
set -euo pipefail

VEXA=$(realpath "${1:-bench-build/vexa_static}")
BUSYBOX=${BUSYBOX:-/bin/busybox}
PROCPS=${PROCPS:-/usr/bin/ps}
EXTRA=${EXTRA:-500}
RUNS=${RUNS:-50}

for program in "$VEXA" "$BUSYBOX" "$PROCPS" /usr/bin/time; do
    if [ ! -x "$program" ]; then
        echo "ps_bench: $program is missing" >&2
        exit 1
    fi
done

if [ "${PS_BENCH_INSIDE:-}" != 1 ]; then
    exec unshare --pid --fork --mount-proc env PS_BENCH_INSIDE=1 "$0" "$VEXA"
fi

pids=()
for _ in $(seq 1 "$EXTRA"); do
    sleep 600 &
    pids+=($!)
done
trap 'kill "${pids[@]}" 2>/dev/null || true' EXIT
echo "processes in the namespace: $(ls -d /proc/[0-9]* | wc -l)"

shell_option=(--shell=none)
if ! hyperfine --help 2>/dev/null | grep -q -- '--shell'; then
    shell_option=()
fi
json=$(mktemp)
hyperfine --warmup 5 --runs "$RUNS" "${shell_option[@]}" --export-json "$json" \
    -n vexa "$VEXA ps" -n busybox "$BUSYBOX ps" \
    -n procps "$PROCPS -eo pid,ppid,user,stat,nlwp,vsz,rss,pcpu,args"

peak_kb() {
    /usr/bin/time -v "$@" 2>&1 >/dev/null | awk -F: '/Maximum resident set size/ {gsub(/ /, "", $2); print $2}'
}
vexa_peak=$(peak_kb "$VEXA" ps)
busybox_peak=$(peak_kb "$BUSYBOX" ps)

python3 - "$json" "$vexa_peak" "$busybox_peak" <<'PY'
import json
import sys

results = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
vexa, busybox, procps = (results[name]["mean"] for name in ("vexa", "busybox", "procps"))
print("mean wall time: vexa %.2f ms, busybox %.2f ms, procps %.2f ms" %
      (vexa * 1e3, busybox * 1e3, procps * 1e3))
print("ratio vexa/busybox %.2f (target <= 1.20), vexa/procps %.2f" % (vexa / busybox, vexa / procps))
vexa_peak, busybox_peak = int(sys.argv[2]), int(sys.argv[3])
print("peak RSS: vexa %d kB, busybox %d kB, ratio %.2f (target <= 1.00)" %
      (vexa_peak, busybox_peak, vexa_peak / busybox_peak))
PY
rm -f "$json"
