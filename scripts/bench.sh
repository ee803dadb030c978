#!/usr/bin/env bash
# The README's performance figures, from a Release build: every export that
# talks to the card against kx-sim on a line paced at 9600 and at 115200
# baud, a silent reader's 5 s wait, the reader search, the lock's cost per
# export call and a soak of 100,000 mixed calls, and kx-service's cost per
# request, requests per second and memory. Prints the benchmarks' own
# output as they run, then the README's tables in Markdown. Takes about
# sixteen minutes. The system-call column needs perf events (root,
# or kernel.perf_event_paranoid set to -1); without them it reads n/a.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
ensure_packages linux

build=${KX_BENCH_BUILD_DIR:-build-release}
mkdir -p "$build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKX_BUILD_TESTS=OFF >"$build.configure.log" 2>&1 ||
  { cat "$build.configure.log"; exit 1; }
ninja -C "$build" -j "${KX_JOBS:-$(nproc)}" kx-sim kx-service link_bench operation_bench search_bench \
  load_bench service_bench

outputs=()
for bench in link_bench operation_bench search_bench load_bench; do
  "$build/bench/$bench" --benchmark_out="$build/$bench.json" --benchmark_out_format=json
  outputs+=("$build/$bench.json")
done
echo
python3 bench/report.py "${outputs[@]}"
# kx-service: its cost per request, 8 clients, memory and descriptors.
"$build/bench/service_bench"
