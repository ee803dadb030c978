#!/usr/bin/env bash
# The fuzz targets, built with clang in build-fuzz/ (ASan + UBSan + libFuzzer).
#
#   scripts/fuzz.sh build                   configure and build every target
#   scripts/fuzz.sh replay [TARGET...]      run each corpus in fuzz/corpus/ once
#   scripts/fuzz.sh run SECONDS [TARGET...] fuzz each target for SECONDS, one
#                                           after another, from its corpus
#
# Targets are named without the fuzz_ prefix (frame_decode, serial_read, ...);
# none named means all. New inputs of a run go to build-fuzz/corpus/<target>,
# findings to build-fuzz/findings/<target>-*; the committed corpus is left as
# it is. Extra libFuzzer flags come from KX_FUZZ_FLAGS (e.g. -jobs=1 -runs=N).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
tree=${KX_FUZZ_TREE:-$root/build-fuzz}
jobs=${KX_JOBS:-$(nproc)}

targets() {
  if [ "$#" -gt 0 ]; then printf '%s\n' "$@"; else sed 's/^fuzz_//' "$tree/fuzz_targets.txt"; fi
}

case "${1:-}" in
  build)
    mkdir -p "$tree"
    cmake -S "$root" -B "$tree" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKX_FUZZ=ON >"$tree.configure.log" 2>&1 ||
      { cat "$tree.configure.log"; exit 1; }
    ninja -C "$tree" -j "$jobs" fuzz_all
    ;;
  replay)
    shift
    status=0
    for t in $(targets "$@"); do
      corpus=$root/fuzz/corpus/$t
      count=$(find "$corpus" -type f | wc -l)
      if [ "$count" -eq 0 ]; then
        echo "$t: no seed corpus"
        status=1
        continue
      fi
      mkdir -p "$tree/findings"
      if "$tree/fuzz/fuzz_$t" -runs=0 -artifact_prefix="$tree/findings/$t-" "$corpus" \
        >"$tree/replay-$t.log" 2>&1; then
        echo "$t: $count inputs replayed"
      else
        tail -40 "$tree/replay-$t.log"
        echo "$t: FAILED on its corpus"
        status=1
      fi
    done
    exit $status
    ;;
  run)
    seconds=${2:?seconds}
    shift 2
    status=0
    for t in $(targets "$@"); do
      work=$tree/corpus/$t
      mkdir -p "$work" "$tree/findings"
      start=$(date +%s)
      # shellcheck disable=SC2086
      "$tree/fuzz/fuzz_$t" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$tree/findings/$t-" ${KX_FUZZ_FLAGS:-} "$work" "$root/fuzz/corpus/$t" \
        >"$tree/run-$t.log" 2>&1
      result=$?
      runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$tree/run-$t.log")
      cov=$(grep -o 'cov: [0-9]*' "$tree/run-$t.log" | tail -1)
      echo "$t: ${runs:-?} executions in $(($(date +%s) - start)) s, ${cov:-cov: ?}"
      if [ "$result" -ne 0 ]; then
        grep -E 'ERROR|SUMMARY|check failed' "$tree/run-$t.log" | head -5
        echo "$t: FINDING, see $tree/run-$t.log"
        status=1
      fi
    done
    exit $status
    ;;
  *)
    sed -n '2,14p' "$0"
    exit 2
    ;;
esac
