#!/usr/bin/env bash
# Records the sessions of tests/sessions/ again, on purpose: each is one
# kxcard run against kx-sim, captured by the diagnostic build. Re-record
# after a change that alters the bytes on the wire or a result, and review
# the diff of the captures before committing them.
#
#   tests/sessions/record.sh [BUILD_DIR]      (default: build)
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build}
out=tests/sessions
kxcard=$build/kxcard

# A user card personalised with another UK1DF01 than the PSAM derives: its
# external authentication refuses the PSAM's cryptogram.
other_key=$(mktemp)
trap 'rm -f "$other_key"' EXIT
"$build/kx-sim" --save "$other_key" --exit-after-idle 0.2 >/dev/null
sed -i 's/^DF01 83 = [0-9A-F]*/DF01 83 = 00000000000000000000000000000000/' "$other_key"

# name | kxcard arguments | kx-sim arguments
sessions=(
  "reader|reader|"
  "apdu|apdu 00A40000023F00|"
  "psam|psam-id|"
  "pin-verify|verify-pin 123456|"
  "pin-change|change-pin 123456 654321|"
  "read-info|read 3F00 EF05|"
  "update-info|write DF01 EF05 1 0|"
  "read-binary|read-binary 3F00 EF07 0 16|"
  "update-binary|write-binary DF0B EF0C 0 0102|"
  "identity|id|"
  "key|check-key UK1DF01|"
  "unlock|unlock-pin|"
  "lock|lock-app DF04 --yes|"
  "fail-silent-reader|reader|--silent"
  "fail-no-card|read 3F00 EF05|--no-card"
  "fail-wrong-pin|verify-pin 111111|"
  "fail-damaged-frame|reader|--bad-check"
  "fail-reader-status|check-key UK1DF01|--only-command 26 --after 3 --times 1 --status 1002"
  "fail-card-pulled|read 3F00 EF05|--pull-card-after 8"
  "fail-refused-cryptogram|check-key UK1DF01|--profile $other_key"
  "fail-blocked-pin|verify-pin 123456|--pin-tries 0"
)

for row in "${sessions[@]}"; do
  IFS='|' read -r name args simargs <<<"$row"
  rm -f "$out/$name.kxcap"
  # shellcheck disable=SC2086
  "$kxcard" $args --sim ${simargs:+--sim-args "$simargs"} --capture "$out/$name.kxcap" \
    >/dev/null 2>&1 || true
  echo "$name: $(grep -c '^call ' "$out/$name.kxcap") calls"
done
