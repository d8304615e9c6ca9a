#!/bin/sh
# Frames per second of the full-screen recomposition (bench/fbmap_fps.cpp) on the host and,
# built static for the device, under qemu-mipsel; then the host comparison with pixman.
# usage: bench/fbmap_bench.sh <host build directory> <mipsel build directory>
set -eu
host=${1:-bench-build}
target=${2:-build-mipsel}
tree=$(cd "$(dirname "$0")/.." && pwd)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
echo "==== host ===="
"$host/bench/fbmap_fps" 60
"$host/bench/fbmap_bench" --benchmark_min_time=1
echo "==== qemu-mipsel (static, -O2 loop in a -Os library) ===="
mipsel-linux-gnu-g++ -std=c++20 -O2 -static -fno-exceptions -fno-rtti -iquote "$tree/source" \
    "$tree/bench/fbmap_fps.cpp" "$target/libtarvik.a" -lpthread -ldl -o "$out/fbmap_fps"
qemu-mipsel "$out/fbmap_fps" 10
