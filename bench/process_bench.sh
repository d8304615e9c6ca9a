#!/bin/bash
# Whole-process start-up: `vexa true` against `busybox true`, measured in the same
# hyperfine run, and the size of the stripped static target program.
# Usage: process_bench.sh [vexa] [vexa_static]
set -euo pipefail

VEXA=${1:-bench-build/vexa}
VEXA_STATIC=${2:-build-mipsel/vexa_static}
BUSYBOX=${BUSYBOX:-/bin/busybox}
RUNS=${RUNS:-300}

for program in "$VEXA" "$BUSYBOX"; do
    if [ ! -x "$program" ]; then
        echo "process_bench: $program is missing" >&2
        exit 1
    fi
done

# Without a shell in between, the figures are the programs' own start-up.
shell_option=(--shell=none)
if ! hyperfine --help 2>/dev/null | grep -q -- '--shell=none\|-N,'; then
    shell_option=()
fi

json=$(mktemp)
trap 'rm -f "$json"' EXIT
hyperfine --warmup 20 --runs "$RUNS" "${shell_option[@]}" --export-json "$json" \
    -n vexa "$VEXA true" -n busybox "$BUSYBOX true"

python3 - "$json" <<'PY'
import json, sys
results = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
vexa, busybox = results["vexa"]["median"], results["busybox"]["median"]
print(f"median start-up: vexa {vexa * 1e6:.0f} us, busybox {busybox * 1e6:.0f} us, "
      f"ratio vexa/busybox {vexa / busybox:.2f}")
PY

if [ -f "$VEXA_STATIC" ]; then
    echo "stripped static target program: $(stat -c %s "$VEXA_STATIC") bytes ($VEXA_STATIC)"
else
    echo "stripped static target program: $VEXA_STATIC not built (make target)"
fi
