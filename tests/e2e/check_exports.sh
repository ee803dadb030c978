#!/usr/bin/env bash
# The shared library exports exactly the library's C functions: nothing
# internal, no C++ symbols.
set -euo pipefail
lib=$1
expected=$(sed -n 's/^ *\([A-Za-z_][A-Za-z0-9_]*\);$/\1/p' "$2" | sort)
actual=$(nm -D --defined-only "$lib" | awk '{print $3}' | sed 's/@.*//' | grep -v '^$' | sort -u)
if [ "$expected" != "$actual" ]; then
  echo "exported symbols differ from the version script:"
  diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
# All 43 of the DLL's functions and the POSIX-only KXSetComDevice.
if [ "$(echo "$actual" | wc -l)" -ne 44 ] || ! echo "$actual" | grep -qx KXSetComDevice; then
  echo "expected the 43 exports and KXSetComDevice, got $(echo "$actual" | wc -l):"
  echo "$actual"
  exit 1
fi
echo "exports: $(echo "$actual" | wc -l) functions, as listed"
