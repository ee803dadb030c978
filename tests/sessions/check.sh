#!/usr/bin/env bash
# The recorded sessions as regression tests (run by ctest):
#
#   check.sh replay KXCARD        every capture here replays as "same"
#   check.sh one-byte KXCARD      a capture changed in one byte of a frame the
#                                 host sends fails, naming that byte
#   check.sh changed-constant KXCARD  KXCARD over a library with one constant
#                                 changed fails the identity session there
#   check.sh no-pin               no capture holds a PIN the sessions use
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)

case "${1:-}" in
  replay)
    kxcard=$2
    status=0
    for f in "$here"/*.kxcap; do
      if out=$("$kxcard" replay "$f" 2>&1) && grep -q '^same' <<<"$out"; then
        echo "$(basename "$f"): $(grep '^same' <<<"$out")"
      else
        echo "$(basename "$f"): DIFFERENT"
        echo "$out"
        status=1
      fi
    done
    exit $status
    ;;
  one-byte)
    kxcard=$2
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    # The power-on frame's command byte 22 (digits "3232") becomes 23 in the
    # first frame of the reader session that carries it.
    line=$(grep -n '^tx .* x:0230303035333232323030' "$here/reader.kxcap" | head -1 | cut -d: -f1)
    [ -n "$line" ] || { echo "no power-on frame in reader.kxcap"; exit 1; }
    sed "${line}s/x:02303030353332323230/x:02303030353332323330/" "$here/reader.kxcap" >"$work/edited.kxcap"
    out=$("$kxcard" replay "$work/edited.kxcap" 2>&1)
    echo "$out"
    grep -q "first difference at byte [0-9]* of the host's write recorded on line" <<<"$out" &&
      grep -q "recorded frame: power off slot 0" <<<"$out" &&
      grep -q "received frame: power on slot 0" <<<"$out" &&
      grep -q '^first difference: call' <<<"$out"
    ;;
  changed-constant)
    # KXCARD replays over a library built with one constant changed (the
    # record holding the card number, 7 → 8): a session that never reads it
    # still replays as "same"; the identity session fails at that READ
    # RECORD, named down to the APDU and the export call.
    kxcard=$2
    out=$("$kxcard" replay "$here/reader.kxcap" 2>&1)
    grep -q '^same' <<<"$out" || { echo "reader.kxcap over the changed library: $out"; exit 1; }
    out=$("$kxcard" replay "$here/identity.kxcap" 2>&1)
    rc=$?
    echo "$out"
    [ "$rc" -eq 1 ] &&
      grep -q "first difference at byte 16 of the host's write recorded on line [0-9]*, in call 4 KXReadCardIDAIO" <<<"$out" &&
      grep -q "recorded frame: APDU to slot 0: 00 B2 07 04 FF" <<<"$out" &&
      grep -q "received frame: APDU to slot 0: 00 B2 08 04 FF" <<<"$out" &&
      grep -q '^first difference: call 4 KXReadCardIDAIO' <<<"$out"
    ;;
  no-pin)
    # kx-sim's PIN, the PIN after an unlock, and those the sessions typed:
    # as a text value, and as the frame digits of their BCD (which are also
    # the hex of the text), in what the host sent and the calls' values; the
    # card's own data (rx, and the trace's decoding of it) may hold the same
    # digits (the card number K12345678) and are looked at as text only.
    status=0
    for pin in 123456 258147 654321 111111; do
      hexText=$(printf '%s' "$pin" | od -An -tx1 | tr -d ' \n' | tr a-f A-F)
      digits=$(printf '%s' "$pin" | sed 's/./3&/g')
      if grep -l -e "\"$pin\"" "$here"/*.kxcap ||
        grep -l -i -E "^(tx|hid-out|call|return) .*($hexText|$digits)" "$here"/*.kxcap; then
        echo "PIN $pin found in the captures above"
        status=1
      fi
    done
    exit $status
    ;;
  *)
    sed -n '2,9p' "$0"
    exit 2
    ;;
esac
