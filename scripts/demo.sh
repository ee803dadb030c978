#!/usr/bin/env bash
# The demo: builds the library, kx-sim and kxcard (installing only what that
# needs), starts one simulated reader on a pseudo-terminal and runs three
# steps against it, so what one step writes the next one reads:
#   1. the reader: its model, version, the card's status and reset answer;
#   2. the cardholder's basic data (3F00 EF05) and name (3F00 EF06);
#   3. a new name written and read back, and one item only the PIN opens.
# Extra arguments go to every kxcard command (for example --json).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
ensure_packages demo

build=${KX_BUILD_DIR:-build-demo}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKX_BUILD_TESTS=OFF \
  -DKX_BUILD_BENCH=OFF >/dev/null
ninja -C "$build" kxcard kx-sim KX_ICCReader >/dev/null

# One kx-sim for the whole demo; it ends when the demo does.
path_file=$(mktemp)
"$build/kx-sim" --path-file "$path_file" --exit-after-idle 60 >/dev/null 2>&1 &
sim=$!
trap 'kill "$sim" 2>/dev/null; rm -f "$path_file"' EXIT
for _ in $(seq 1 100); do
  [ -s "$path_file" ] && break
  sleep 0.05
done
device=$(head -1 "$path_file")
[ -n "$device" ] || { echo "kx-sim did not start" >&2; exit 1; }
kxcard() { "$build/kxcard" "$@" --port 1 --device "$device" "${extra[@]}"; }
extra=("$@")

echo "The simulated reader kx-sim serves on $device as COM1. Its card holds"
echo "sample data (the cardholder 张三, card number K12345678), no real person's."
echo
echo "== 1. the reader"
kxcard reader
echo "(status: 2 when the reader powered a user card on and it answered, 0 when"
echo " no card answered.)"
echo "(ATR: the card's answer to reset, the bytes it sends when powered on; they"
echo " tell the card's type and how to talk to it.)"
echo
echo "== 2. the cardholder's basic data (3F00 EF05) and name (3F00 EF06 record 2)"
kxcard read 3F00 EF05
kxcard read 3F00 EF06 2
echo
echo "== 3. a new name written to the card, read back; the registered address"
echo "      (DF01 EF05 record 2), which only the cardholder's PIN opens"
kxcard write 3F00 EF06 2 李四
kxcard read 3F00 EF06 2
kxcard read DF01 EF05 2 --pin 123456
