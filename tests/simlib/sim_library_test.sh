#!/usr/bin/env bash
# The simulator build of the library as an integrator meets it: the guide's
# Python example reads the sample card with no kx-sim and no device, the
# warning at load comes once, and a profile beside the library changes the
# card, the reader's faults, its ports and the PIN pad.
#
#   sim_library_test.sh libKX_ICCReader-sim.so docs/integration.md
#
# Prints PASS/FAIL lines and "N passed, M failed"; exits 1 on failure.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# As an integrator puts it in place: a copy, in a folder of its own, which
# is where the profile is looked for.
cp "$1" "$work/libKX_ICCReader-sim.so.1"
lib=$work/libKX_ICCReader-sim.so.1
profile=$work/KX_ICCReader-sim.profile
python3 "$here/../package/extract_examples.py" "$2" "$work/examples" >/dev/null || exit 1

passed=0
failed=0
warning="KX_ICCReader simulator build: no card reader is used; the card is simulated"

# check NAME PROFILE STDIN EXPECTED... -- COMMAND...: runs the command with
# PROFILE beside the library ("-": none) and STDIN; every EXPECTED text must
# be in its output (stdout and stderr), and the load warning exactly once.
check() {
  local name=$1 text=$2 input=$3 expected=() out why=""
  shift 3
  while [ "$1" != -- ]; do expected+=("$1"); shift; done
  shift
  rm -f "$profile"
  [ "$text" = - ] || printf '%b' "$text" >"$profile"
  out=$(printf '%b' "$input" | LC_ALL=C "$@" 2>&1)
  for want in "${expected[@]}"; do
    [[ "$out" == *"$want"* ]] || why="no \"$want\""
  done
  [ "$(grep -c "^$warning" <<<"$out")" -eq 1 ] || why="the load warning not once"
  if [ -z "$why" ]; then echo "PASS $name"; passed=$((passed + 1)); else
    echo "FAIL $name: $why in: $(head -8 <<<"$out" | tr '\n' '|')"
    failed=$((failed + 1))
  fi
}
example() { KX_ICCREADER_LIBRARY=$lib timeout 60 python3 "$work/examples/read_basic.py" "$@"; }
host() { timeout 60 python3 "$here/sim_host.py" "$lib" "$@"; }

check "the guide's Python example reads the sample card" - "" \
  "card number:         K12345678" "name:                张三" "(the built-in sample card)" -- example 1
check "the port scan's COM1 and the USB reader both answer" - "" \
  "init 1 = 0; status = 0 after 0 s; init 100 = 0; status = 0 after 0 s" -- \
  host init 1 status init 100 status
check "a profile beside the library changes the card" \
  '[file 3F00 EF05]\n7 = "K87654321"\n[file 3F00 EF06]\n2 = "李四"\n' "" \
  "card number:         K87654321" "name:                李四" "($profile)" -- example 1
check "kx-sim's faults from the profile: no card" '[simulator]\noptions = --no-card\n' "" \
  "GetReaderStatus failed: -6" -- example 1
# The simulated reader keeps time as a device does: a silent one takes the
# library's whole wait.
check "a silent reader times out in real time" '[simulator]\noptions = --silent\n' "" \
  "init 1 = 0; status = -4 after 2 s" -- host init 1 status
check "the reader on another port only" '[simulator]\nport = 3\nusb = no # serial only\n' "" \
  "init 100 = -2; init 1 = -2; init 3 = 0; status = 0 after 0 s" -- host init 100 init 1 init 3 status
check "the PIN pad types the card's PIN" '[card]\npin = 112233\n' "" \
  "password = 0 112233" -- host password 1
check "the PIN pad types the profile's digits" '[simulator]\npin-pad = 654321\n' "" \
  "password = 0 654321" -- host password 0
check "the PIN pad asks the console" '[simulator]\npin-pad = console\n' "135790\n" \
  "PIN pad: type the PIN" "password = 0 135790" -- host password 1
check "the console's end is the pad's cancel key" '[simulator]\npin-pad = console\n' "" \
  "password = -4" -- host password 1
check "no PIN pad" '[simulator]\npin-pad = none\n' "" "password = -2" -- host password 1
check "a wrong setting names its line, and no reader answers" '# mine\n[simulator]\nport = 0\n' "" \
  "KX_ICCReader-sim.profile: line 3: port: a COM port number from 1 to 255; no reader is simulated" \
  "init 1 = -2; init 100 = -2" -- host init 1 init 100
check "a program option of kx-sim is refused" '[simulator]\noptions = --replay x.kxcap\n' "" \
  "--replay does not apply to the simulator build" "init 1 = -2" -- host init 1
check "a wrong card line names its line" '[simulator]\nusb = no\n[card]\npin = 12x\n' "" \
  "KX_ICCReader-sim.profile: line 4:" "init 1 = -2" -- host init 1

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
