#!/usr/bin/env bash
# The web example (docs/examples/web/) in headless Chromium against kx-service
# and kx-sim: served from an allowed origin it shows the card number; served
# from a second origin, not in the allow-list, it shows the refusal and no
# card data. Usage: web_example_test.sh KX_SIM KX_SERVICE. Exit 77: no Chromium.
set -uo pipefail
sim=$1
service=$2
page_dir=$(cd "$(dirname "$0")/../../docs/examples/web" && pwd)
browser=$(command -v chromium || command -v chromium-browser || true)
[ -n "$browser" ] || { echo "chromium is not installed: skipped"; exit 77; }

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

"$sim" --print-path-only >"$work/sim.out" 2>/dev/null &
pids+=($!)
for _ in $(seq 50); do [ -s "$work/sim.out" ] && break; sleep 0.1; done
device=$(head -1 "$work/sim.out")
allowed=$(free_port)
other=$(free_port)
port=$(free_port)
printf 'allow_origin = http://127.0.0.1:%s\n' "$allowed" >"$work/config"
"$service" --port "$port" --device "$device" --config "$work/config" >"$work/service.out" 2>&1 &
pids+=($!)
for origin_port in "$allowed" "$other"; do
  python3 -m http.server --bind 127.0.0.1 --directory "$page_dir" "$origin_port" >/dev/null 2>&1 &
  pids+=($!)
done
for _ in $(seq 50); do
  grep -q listening "$work/service.out" && curl -sf "http://127.0.0.1:$other/index.html" >/dev/null &&
    curl -sf "http://127.0.0.1:$allowed/index.html" >/dev/null && break
  sleep 0.1
done

page() {
  timeout 60 "$browser" --headless --no-sandbox --disable-gpu --no-first-run \
    --user-data-dir="$work/profile-$1" --virtual-time-budget=5000 --dump-dom \
    "http://127.0.0.1:$1/index.html?service=http://127.0.0.1:$port" 2>"$work/chromium-$1.log"
}

status=0
dom=$(page "$allowed")
if grep -q '<span id="card-number">K12345678</span>' <<<"$dom"; then
  echo "allowed origin: the page shows the card number"
else
  echo "allowed origin: no card number in the page:"; echo "$dom" | sed -n '/<body>/,/<\/table>/p'
  status=1
fi
dom=$(page "$other")
if grep -q '读卡服务拒绝了本页面' <<<"$dom" && ! grep -q 'K12345678\|330329' <<<"$dom"; then
  echo "other origin: the page shows the refusal and no card data"
else
  echo "other origin: expected the refusal and no card data:"; echo "$dom" | sed -n '/<body>/,/<\/table>/p'
  status=1
fi
exit $status
