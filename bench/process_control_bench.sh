#!/bin/bash
# Process control applets against their closest peers, measured in the same hyperfine
# runs: `vexa daemonize -- /bin/true` against `busybox setsid /bin/true` (a wrapper that
# execs its command), and `vexa setcpu --pid P --cpu 0` against `busybox taskset` and
# util-linux `taskset` on a sleeping process of our own.
# Usage: process_control_bench.sh [vexa]
set -euo pipefail

VEXA=${1:-bench-build/vexa}
BUSYBOX=${BUSYBOX:-/bin/busybox}
TASKSET=${TASKSET:-$(command -v taskset || true)}
RUNS=${RUNS:-300}

for program in "$VEXA" "$BUSYBOX" "$TASKSET"; do
    if [ -z "$program" ] || [ ! -x "$program" ]; then
        echo "process_control_bench: ${program:-taskset} is missing" >&2
        exit 1
    fi
done

shell_option=(--shell=none)
if ! hyperfine --help 2>/dev/null | grep -q -- '--shell=none\|-N,'; then
    shell_option=()
fi

sleep 600 &
sleeper=$!
json_exec=$(mktemp)
json_cpu=$(mktemp)
trap 'kill "$sleeper" 2>/dev/null || true; rm -f "$json_exec" "$json_cpu"' EXIT

hyperfine --warmup 20 --runs "$RUNS" "${shell_option[@]}" --export-json "$json_exec" \
    -n vexa "$VEXA daemonize -- /bin/true" -n busybox "$BUSYBOX setsid /bin/true"
hyperfine --warmup 20 --runs "$RUNS" "${shell_option[@]}" --export-json "$json_cpu" \
    -n vexa "$VEXA setcpu --pid $sleeper --cpu 0" \
    -n busybox "$BUSYBOX taskset -pc 0 $sleeper" \
    -n taskset "$TASKSET -pc 0 $sleeper"

python3 - "$json_exec" "$json_cpu" <<'PY'
import json, sys
def medians(path):
    return {r["command"]: r["median"] for r in json.load(open(path))["results"]}
wrap = medians(sys.argv[1])
print(f"exec wrapper: vexa daemonize {wrap['vexa'] * 1e6:.0f} us, busybox setsid "
      f"{wrap['busybox'] * 1e6:.0f} us, ratio {wrap['vexa'] / wrap['busybox']:.2f}")
pin = medians(sys.argv[2])
print(f"pin one process: vexa setcpu {pin['vexa'] * 1e6:.0f} us, busybox taskset "
      f"{pin['busybox'] * 1e6:.0f} us (ratio {pin['vexa'] / pin['busybox']:.2f}), "
      f"taskset {pin['taskset'] * 1e6:.0f} us (ratio {pin['vexa'] / pin['taskset']:.2f})")
PY
