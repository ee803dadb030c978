#!/usr/bin/env bash
# Every test tier, from a fresh machine: installs what is missing, builds, and
# runs the unit, integration and end-to-end tiers, the packages (a staging
# install, the guide's examples in C, Python, C#, Java and Pascal, the .deb), the
# same unit and integration tiers under AddressSanitizer +
# UndefinedBehaviorSanitizer, the calls from several threads under
# ThreadSanitizer, the fuzz targets (clang: corpora replayed, 30 s each), and
# the Windows group (the 32-bit DLL under wine, the 64-bit one under wine64,
# both zips).
# KX_SKIP_WINDOWS=1 leaves the Windows group out. Ends with "N passed, M failed".
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
source scripts/setup.sh
ensure_packages linux
ensure_packages hosts
if [ "${KX_SKIP_WINDOWS:-0}" != 1 ]; then ensure_packages windows; fi

jobs=${KX_JOBS:-$(nproc)}
passed=0
failed=0
failures=()

step() {
  local name=$1
  shift
  echo
  echo "== $name"
  if "$@"; then
    passed=$((passed + 1))
    echo "== $name: passed"
  else
    failed=$((failed + 1))
    failures+=("$name")
    echo "== $name: FAILED"
  fi
}

# build DIR [cmake options] [-- targets]: configures DIR and builds the
# targets (every one when none are named).
build() {
  local dir=$1
  shift
  local options=() targets=()
  while [ "$#" -gt 0 ] && [ "$1" != -- ]; do options+=("$1"); shift; done
  [ "$#" -gt 0 ] && shift
  targets=("$@")
  cmake -S "$root" -B "$dir" -G Ninja "${options[@]}" >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
  ninja -C "$dir" -j "$jobs" "${targets[@]}" || return 1
}

mkdir -p build
step "build" build "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
step "unit" ctest --test-dir build -L unit --output-on-failure
step "integration" ctest --test-dir build -L integration --output-on-failure
step "end-to-end" ctest --test-dir build -L e2e --output-on-failure
step "packages and host languages" bash tests/package/package_test.sh "$root/build"

mkdir -p build-asan
step "sanitizer build" build "$root/build-asan" -DCMAKE_BUILD_TYPE=Debug -DKX_SANITIZE=ON -DKX_BUILD_BENCH=OFF
step "unit (asan+ubsan)" ctest --test-dir build-asan -L unit --output-on-failure
step "integration (asan+ubsan)" ctest --test-dir build-asan -L integration --output-on-failure

# ThreadSanitizer: the calls from several threads at once, with only what
# that test needs built; any report of a race fails it.
mkdir -p build-tsan
step "thread sanitizer build" build "$root/build-tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKX_TSAN=ON \
  -DKX_BUILD_BENCH=OFF -- kx_thread_tests
step "threads (tsan)" env TSAN_OPTIONS="halt_on_error=1 exitcode=66" build-tsan/tests/kx_thread_tests

# clang: the fuzz targets over the sanitized layers; the same message bytes as
# g++; every seed corpus replayed, then each target fuzzed for a while.
step "fuzz build (clang)" bash scripts/fuzz.sh build
step "message bytes g++ = clang" python3 scripts/check_message_bytes.py build build-fuzz
step "fuzz corpora" bash scripts/fuzz.sh replay
step "fuzz ${KX_FUZZ_SECONDS:-30} s per target" bash scripts/fuzz.sh run "${KX_FUZZ_SECONDS:-30}"

if [ "${KX_SKIP_WINDOWS:-0}" != 1 ]; then
  step "windows" env KX_SIM="$root/build/kx-sim" bash scripts/windows-tests.sh "$root/build-win32"
fi

echo
if [ "$failed" -gt 0 ]; then echo "failed steps: ${failures[*]}"; fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
