#!/bin/bash
# The memory watchdog as a daemon at its default interval (500 ms) and at 1000 ms against
# earlyoom at its own defaults (with plenty of memory it checks about once a second), side by
# side for DURATION seconds (60 unless given): CPU time (from schedstat, in nanoseconds, else
# from the tick counters), wake-ups, resident and peak resident memory.
# Both run inside a private PID namespace with its own /proc, so whatever either of them
# would kill is one of the namespace's processes, and both end with it.
# Usage: meminfo_bench.sh [vexa]    (a Release build without sanitizers; the default is the
# static program of the benchmark build)
set -euo pipefail

VEXA=$(realpath "${1:-bench-build/vexa_static}")
EARLYOOM=${EARLYOOM:-/usr/bin/earlyoom}
DURATION=${DURATION:-60}

for program in "$VEXA" "$EARLYOOM"; do
    if [ ! -x "$program" ]; then
        echo "meminfo_bench: $program is missing" >&2
        exit 1
    fi
done

if [ "${MEMINFO_BENCH_INSIDE:-}" != 1 ]; then
    exec unshare --pid --fork --mount-proc env MEMINFO_BENCH_INSIDE=1 DURATION="$DURATION" \
        EARLYOOM="$EARLYOOM" "$0" "$VEXA"
fi
if [ "$$" -ne 1 ]; then
    echo "meminfo_bench: not process 1 of a private PID namespace" >&2
    exit 1
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$VEXA" meminfo -d -p "$scratch/meminfo.pid"
"$VEXA" meminfo -d -i 1000 -p "$scratch/meminfo_1s.pid"
"$EARLYOOM" >"$scratch/earlyoom.out" 2>&1 &
earlyoom=$!
for _ in $(seq 1 100); do
    [ -s "$scratch/meminfo.pid" ] && [ -s "$scratch/meminfo_1s.pid" ] && break
    sleep 0.05
done
meminfo=$(cat "$scratch/meminfo.pid")
meminfo_1s=$(cat "$scratch/meminfo_1s.pid")

hertz=$(getconf CLK_TCK)
cpu_ns() {
    if [ -r "/proc/$1/schedstat" ]; then
        awk '{print $1}' "/proc/$1/schedstat"
    else
        awk -v hz="$hertz" '{sub(/.*\) /, ""); print ($12 + $13) * 1000000000 / hz}' "/proc/$1/stat"
    fi
}
status_field() { awk -v key="$2:" '$1 == key {print $2}' "/proc/$1/status"; }
switches() {
    echo $(($(status_field "$1" voluntary_ctxt_switches) + $(status_field "$1" nonvoluntary_ctxt_switches)))
}

declare -A cpu0 wake0
for name in meminfo meminfo_1s earlyoom; do
    cpu0[$name]=$(cpu_ns "${!name}")
    wake0[$name]=$(switches "${!name}")
done
sleep "$DURATION"

printf '%-10s %14s %12s %10s %10s\n' program "cpu ms/${DURATION}s" "wake-ups/s" "rss KB" "peak KB"
declare -A cpu rss
for name in meminfo meminfo_1s earlyoom; do
    pid=${!name}
    cpu[$name]=$(($(cpu_ns "$pid") - cpu0[$name]))
    rss[$name]=$(status_field "$pid" VmRSS)
    wakes=$(($(switches "$pid") - wake0[$name]))
    printf '%-10s %14s %12s %10s %10s\n' "$name" \
        "$(awk -v ns="${cpu[$name]}" 'BEGIN {printf "%.2f", ns / 1e6}')" \
        "$(awk -v n="$wakes" -v s="$DURATION" 'BEGIN {printf "%.2f", n / s}')" \
        "${rss[$name]}" "$(status_field "$pid" VmHWM)"
done
for name in meminfo meminfo_1s; do
    awk -v n="$name" -v a="${cpu[$name]}" -v b="${cpu[earlyoom]}" -v r="${rss[$name]}" \
        -v q="${rss[earlyoom]}" \
        'BEGIN {printf "ratios %s/earlyoom: cpu %.2f, rss %.2f\n", n, (b ? a / b : 0), (q ? r / q : 0)}'
done
kill -9 "$meminfo" "$meminfo_1s" "$earlyoom"
