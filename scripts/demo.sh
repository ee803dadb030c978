#!/usr/bin/env bash
# The demo: builds the library, kx-sim and kxcard, then opens the simulated
# reader over a pseudo-terminal and shows its model, version and card status,
# the cardholder's basic data (3F00 EF05, every item) and one item that only
# the cardholder's PIN opens.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
ensure_packages linux

build=${KX_BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$build" kxcard kx-sim KX_ICCReader >/dev/null
"$build/kxcard" reader --sim "$@"
echo
echo "== the card's basic data (3F00 EF05)"
"$build/kxcard" read 3F00 EF05 --sim "$@"
echo
echo "== the registered address (DF01 EF05 record 2, read with the PIN)"
"$build/kxcard" read DF01 EF05 2 --pin 123456 --sim "$@"
