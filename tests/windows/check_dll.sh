#!/usr/bin/env bash
# Static checks of KX_ICCReader.dll, from its bytes alone (no Wine): the
# machine it is built for, the export table against the list generated from
# interface/exports.tsv, the stack each export removes (from its "ret $n";
# 32-bit only: x86-64 has one calling convention, the caller cleans up), the
# imported DLLs, and the version resource.
#
#   check_dll.sh DLL EXPORTS_TSV [TOOL_PREFIX]
#
# TOOL_PREFIX names the binutils and the DLL's machine: i686-w64-mingw32 (the
# default) or x86_64-w64-mingw32.
#
# Prints PASS/FAIL lines and ends with
# "check_dll: N passed, M failed"; exits 1 when anything failed.
set -uo pipefail

dll=$1
tsv=$2
prefix=${3:-i686-w64-mingw32}
objdump=$prefix-objdump
nm=$prefix-nm

passed=0
failed=0
pass() { echo "PASS $1"; passed=$((passed + 1)); }
fail() { echo "FAIL $1: $2"; failed=$((failed + 1)); }
check() { # check NAME DETAIL COMMAND...
  local name=$1 detail=$2
  shift 2
  if "$@"; then pass "$name"; else fail "$name" "$detail"; fi
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export LC_ALL=C

# ---- the table itself: 43 ordinals, each group in byte-wise order
# ordinal, name, bytes, routine, state; POSIX-only rows have no ordinal.
grep -v '^#' "$tsv" | awk -F'\t' 'NF == 5 && $1 != "-" { print }' >"$work/expected"
check "table has ordinals 1 to 43 once each" "$(cut -f1 "$work/expected" | tr '\n' ' ')" \
  test "$(cut -f1 "$work/expected" | sort -n | tr '\n' ' ')" = "$(seq 1 43 | tr '\n' ' ')"
check "table names are unique" "duplicates" \
  test "$(cut -f2 "$work/expected" | sort | uniq -d | wc -l)" -eq 0
awk -F'\t' '$1 <= 8 { print $2 }' "$work/expected" >"$work/first"
awk -F'\t' '$1 > 8 { print $2 }' "$work/expected" >"$work/rest"
check "ordinals 1 to 8 in byte-wise name order" "$(tr '\n' ' ' <"$work/first")" sort -c "$work/first"
check "ordinals 9 to 43 in byte-wise name order" "out of order" sort -c "$work/rest"
awk -F'\t' '$5 == "built" { print $1 "\t" $2 }' "$work/expected" | sort -n >"$work/built"

# ---- the DLL's machine
case $prefix in
  x86_64-*) format=pei-x86-64 ;;
  *) format=pei-i386 ;;
esac
got_format=$("$objdump" -f "$dll" 2>/dev/null | sed -n 's/.*file format //p')
check "built for $format" "file format '$got_format'" test "$got_format" = "$format"

# ---- the DLL's export table
"$objdump" -p "$dll" >"$work/headers" || { fail "objdump -p" "cannot read $dll"; exit 1; }
image_base=$(awk '/^ImageBase/ { print $2 }' "$work/headers")
awk '/^\[Ordinal\/Name Pointer\] Table/ { on = 1; next } on && /^[ \t]*\[/ { gsub(/[\[\]]/, ""); print $1 + 1 "\t" $2 } on && /^$/ { on = 0 }' \
  "$work/headers" | sort -n >"$work/exported"
awk '/^Export Address Table -- Ordinal Base/ { on = 1; next } on && /Export RVA/ { gsub(/[\[\]]/, " "); print $3 "\t" $4 } on && /^$/ { on = 0 }' \
  "$work/headers" | sort -n >"$work/rvas"
check "exports are exactly the table's built rows (name and ordinal)" \
  "$(diff "$work/built" "$work/exported" | grep '^[<>]' | tr '\n' ' ')" \
  cmp -s "$work/built" "$work/exported"
check "no decorated export names" "$(grep '@' "$work/exported" | tr '\n' ' ')" \
  test "$(grep -c '@' "$work/exported")" -eq 0
check "no export without a name" "$(wc -l <"$work/rvas") addresses, $(wc -l <"$work/exported") names" \
  test "$(wc -l <"$work/rvas")" -eq "$(wc -l <"$work/exported")"
alias_rva() { awk -F'\t' -v o="$1" '$1 == o { print $2 }' "$work/rvas"; }
ordinal_of() { awk -F'\t' -v n="$1" '$2 == n { print $1 }' "$work/expected"; }
# Two names, one function: the second name leads to the first's code.
while IFS=$'\t' read -r ordinal name bytes routine state; do
  [ "$state" = built ] && [ "$routine" != "-" ] || continue
  check "$name is $routine" "different addresses" \
    test "$(alias_rva "$ordinal")" = "$(alias_rva "$(ordinal_of "$routine")")"
done <"$work/expected"
check "all 43 exports built" "$(awk -F'\t' '$5 == "pending" { print $2 }' "$work/expected" | tr '\n' ' ')" \
  test "$(wc -l <"$work/built")" -eq 43

# ---- stack cleanup: every "ret" of every export removes its own arguments
if [ "$format" = pei-x86-64 ]; then
  echo "SKIP stack cleanup: x86-64 has one calling convention (the caller removes the arguments)"
elif "$objdump" -d --no-show-raw-insn "$dll" >"$work/disasm" && grep -q '^[0-9a-f]* <_.*@[0-9]*>:$' "$work/disasm"; then
  while IFS=$'\t' read -r ordinal name; do
    bytes=$(awk -F'\t' -v n="$name" '$2 == n { print $3 }' "$work/expected")
    va=$(printf '%x' $((0x$image_base + 0x$(alias_rva "$ordinal"))))
    # The function body: from its label to the next label.
    awk -v va="$va" '
      $0 ~ "^0*" va " <" { on = 1; next }
      on && /^[0-9a-f]+ <.*>:$/ { exit }
      on { print }' "$work/disasm" >"$work/body"
    rets=$(grep -E '\sret' "$work/body" | sed -E 's/.*\sret[lw]?\s*//' | sort -u | tr '\n' ' ')
    if [ "$bytes" -eq 0 ]; then want=""; else want=$(printf '$0x%x' "$bytes"); fi
    if ! grep -Eq '\sret' "$work/body"; then
      # A tail call to a function that removes the same arguments.
      if grep -Eq "\sjmp\s.*<.*@$bytes>" "$work/body"; then
        pass "$name removes $bytes bytes of arguments (tail call)"
      else
        fail "$name removes $bytes bytes of arguments" "no ret found"
      fi
    else
      check "$name removes $bytes bytes of arguments" "returns with: $rets" test "$rets" = "$want "
    fi
  done <"$work/exported"
else
  echo "SKIP stack cleanup from the disassembly: the DLL has no symbols"
fi

# ---- imports: system DLLs only, no MinGW runtime
sed -n 's/^\s*DLL Name: //p' "$work/headers" | sort -u >"$work/imports"
check "imports only system DLLs" "$(tr '\n' ' ' <"$work/imports")" \
  test "$(grep -Eivc '^(kernel32|user32|msvcrt|advapi32|hid|setupapi)\.dll$' "$work/imports")" -eq 0
check "no MinGW runtime DLL imported" "$(grep -Ei 'libgcc|libstdc|winpthread' "$work/imports")" \
  test "$(grep -Eic 'libgcc|libstdc|winpthread' "$work/imports")" -eq 0
check "USER32 imported for the Escape key" "imports: $(tr '\n' ' ' <"$work/imports")" \
  grep -qix 'user32.dll' "$work/imports"

# ---- version resource: fixed part and strings
offset=$(grep -obUaP '\xbd\x04\xef\xfe' "$dll" | head -1 | cut -d: -f1)
if [ -n "$offset" ]; then
  # dwSignature, dwStrucVersion, FileMS, FileLS, ProductMS, ProductLS
  fixed=$(od -An -tx4 -j "$offset" -N 24 "$dll" | tr -s ' \n' ' ' | sed 's/^ //;s/ $//')
  check "version resource: file and product version 1.0.0.0" "$fixed" \
    test "$(echo "$fixed" | cut -d' ' -f3-6)" = "00010000 00000000 00010000 00000000"
else
  fail "version resource" "no VS_FIXEDFILEINFO"
fi
strings -el "$dll" >"$work/wide"
for pair in "FileVersion=V1.0.307" "ProductVersion=1.0.0.0" "FileDescription=KX_ICCReader" "InternalName=KX_ICCReader" \
  "OriginalFilename=KX_ICCReader.dll"; do
  key=${pair%%=*}
  value=${pair#*=}
  got=$(grep -A1 -x "$key" "$work/wide" | sed -n 2p)
  check "version string $key" "got '$got'" test "$got" = "$value"
done

echo "check_dll: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
