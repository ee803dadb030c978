#!/usr/bin/env bash
# The demo: builds the library, kx-sim and kxcard, then opens the simulated
# reader over a pseudo-terminal and shows its model, version and card status.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
ensure_packages linux

build=${KX_BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$build" kxcard kx-sim KX_ICCReader >/dev/null
"$build/kxcard" reader --sim "$@"
