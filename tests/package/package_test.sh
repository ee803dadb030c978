#!/usr/bin/env bash
# The library as its users get it: installed into a staging prefix, the
# integrator's guide's examples built against the install (C with
# pkg-config and with find_package, Python, C# under Mono, Java with JNA,
# Free Pascal) and run against kx-sim; then the .deb made by CPack, its
# contents and post-install note checked, and the C example built against
# the unpacked package with pkg-config.
#
#   tests/package/package_test.sh BUILD_DIR
#
# A host language whose compiler is not installed is skipped with a SKIP
# line. Ends with "N passed, M failed"; exits 1 on failure.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath "${1:-$root/build}")
work=$(mktemp -d)
sims=()
cleanup() {
  local pid
  for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

passed=0
failed=0
pass() { echo "PASS $1"; passed=$((passed + 1)); }
fail() { echo "FAIL $1${2:+: $2}"; failed=$((failed + 1)); }
skip() { echo "SKIP $1: $2"; }
check() { # NAME COMMAND...: passes when the command succeeds
  local name=$1
  shift
  if "$@" >"$work/check.log" 2>&1; then pass "$name"; else fail "$name" "$(tail -5 "$work/check.log" | tr '\n' '|')"; fi
}

# Starts a kx-sim from the staged install; prints its device path.
start_sim() {
  local file=$work/sim.$RANDOM
  "$stage/bin/kx-sim" --exit-after-idle 60 --path-file "$file" >/dev/null 2>&1 &
  sims+=($!)
  for _ in $(seq 1 100); do
    [ -s "$file" ] && break
    sleep 0.05
  done
  head -1 "$file" 2>/dev/null
}

# Runs an example against a fresh kx-sim on COM3; it must print the
# cardholder's card number and name in UTF-8, whatever the locale says.
run_example() { # NAME COMMAND...
  local name=$1 device out
  shift
  device=$(start_sim)
  [ -n "$device" ] || { fail "$name" "kx-sim gave no device"; return; }
  out=$(LC_ALL=C "$@" 3 "$device" 2>&1)
  if [[ "$out" == *"card number:         K12345678"* && "$out" == *"name:                张三"* ]]; then
    pass "$name"
  else
    fail "$name" "$(echo "$out" | head -5 | tr '\n' '|')"
  fi
}

# ---------------------------------------------------------------- staging install
stage=$work/stage
if cmake --install "$build" --prefix "$stage" >"$work/install.log" 2>&1; then pass "cmake --install into a staging prefix"; else
  fail "cmake --install" "$(tail -3 "$work/install.log")"
  echo "$passed passed, $failed failed"
  exit 1
fi
lib=$stage/lib
check "library file with its version" test -f "$lib/libKX_ICCReader.so.1.0.307"
check "SONAME libKX_ICCReader.so.1" bash -c "readelf -d '$lib/libKX_ICCReader.so.1.0.307' | grep -q 'Library soname: \[libKX_ICCReader.so.1\]'"
check "links .so.1 and .so" bash -c "[ \"\$(readlink '$lib/libKX_ICCReader.so.1')\" = libKX_ICCReader.so.1.0.307 ] && [ \"\$(readlink '$lib/libKX_ICCReader.so')\" = libKX_ICCReader.so.1 ]"
check "diagnostic build beside it" test -f "$lib/libKX_ICCReader-diag.so.1"
check "simulator build beside it" test -f "$lib/libKX_ICCReader-sim.so.1"
for f in include/KX_ICCReader.h bin/kxcard bin/kx-sim bin/kx-service \
  lib/systemd/user/kx-service.service lib/udev/rules.d/60-kx-iccreader.rules \
  lib/pkgconfig/kx_iccreader.pc lib/cmake/KX_ICCReader/KX_ICCReaderConfig.cmake \
  share/doc/kx-iccreader/integration.md share/doc/kx-iccreader/card-map.md; do
  check "installed $f" test -f "$stage/$f"
done
check "installed kxcard runs from the install" "$stage/bin/kxcard" --version
check "installed kx-service runs from the install" "$stage/bin/kx-service" --version

examples=$work/examples
python3 "$root/tests/package/extract_examples.py" "$root/docs/integration.md" "$examples" >/dev/null ||
  fail "the guide's examples"
# Every export of the table is declared in each host language's example.
for example in read_basic.py ReadBasic.cs KX.java kx_iccreader.pas; do
  missing=$(grep -v '^#' "$root/interface/exports.tsv" | cut -f2 | while read -r name; do
    grep -qw "$name" "$examples/$example" || echo "$name"
  done | tr '\n' ' ')
  if [ -z "$missing" ]; then pass "$example declares every export"; else fail "$example declares every export" "missing $missing"; fi
done

# ---------------------------------------------------------------- C, both ways
export PKG_CONFIG_PATH=$lib/pkgconfig
if cc -Wall -Wextra -Werror -o "$work/read_basic_pc" "$examples/read_basic.c" \
  $(pkg-config --cflags --libs kx_iccreader) -Wl,-rpath,"$(pkg-config --variable=libdir kx_iccreader)" \
  >"$work/cc.log" 2>&1; then
  pass "C example builds with pkg-config"
  run_example "C example (pkg-config) reads the card" "$work/read_basic_pc"
else
  fail "C example builds with pkg-config" "$(head -5 "$work/cc.log" | tr '\n' '|')"
fi
if cmake -S "$examples" -B "$work/cmake-host" -G Ninja -DCMAKE_PREFIX_PATH="$stage" \
  -DCMAKE_BUILD_RPATH="$lib" >"$work/cmake.log" 2>&1 && ninja -C "$work/cmake-host" >>"$work/cmake.log" 2>&1; then
  pass "C example builds with find_package(KX_ICCReader)"
  run_example "C example (find_package) reads the card" "$work/cmake-host/read_basic"
else
  fail "C example builds with find_package(KX_ICCReader)" "$(tail -5 "$work/cmake.log" | tr '\n' '|')"
fi

# ---------------------------------------------------------------- host languages
export LD_LIBRARY_PATH=$lib
run_example "Python example (ctypes) reads the card" python3 "$examples/read_basic.py"
# The simulator build in the library's place: the sample card, no kx-sim.
out=$(KX_ICCREADER_LIBRARY=$lib/libKX_ICCReader-sim.so.1 LC_ALL=C timeout 60 python3 "$examples/read_basic.py" 1 2>&1)
if [[ "$out" == *"card number:         K12345678"* && "$out" == *"simulator build"* ]]; then
  pass "Python example over the installed simulator build reads the sample card"
else
  fail "Python example over the installed simulator build reads the sample card" "$(echo "$out" | head -3 | tr '\n' '|')"
fi

if command -v mcs >/dev/null && command -v mono >/dev/null; then
  if mcs -nologo -out:"$work/ReadBasic.exe" "$examples/ReadBasic.cs" >"$work/mcs.log" 2>&1; then
    pass "C# example compiles (mcs)"
    run_example "C# example (Mono) reads the card" mono "$work/ReadBasic.exe"
  else
    fail "C# example compiles (mcs)" "$(head -5 "$work/mcs.log" | tr '\n' '|')"
  fi
else
  skip "C# example" "Mono is not installed (Debian mono-mcs, mono-runtime)"
fi

jna=/usr/share/java/jna.jar
if command -v javac >/dev/null && command -v java >/dev/null && [ -f "$jna" ]; then
  if javac -Xlint:all -Werror -cp "$jna" -d "$work/java" "$examples/KX.java" "$examples/ReadBasic.java" \
    >"$work/javac.log" 2>&1; then
    pass "Java example compiles (javac)"
    run_example "Java example (JNA) reads the card" java -cp "$jna:$work/java" ReadBasic
  else
    fail "Java example compiles (javac)" "$(head -5 "$work/javac.log" | tr '\n' '|')"
  fi
else
  skip "Java example" "a JDK or JNA is not installed (Debian default-jdk, libjna-java)"
fi

if command -v fpc >/dev/null; then
  mkdir -p "$work/fpc"
  if fpc -v0 -FU"$work/fpc" -Fl"$lib" -k-rpath="$lib" -o"$work/read_basic_fpc" \
    "$examples/read_basic.pas" >"$work/fpc.log" 2>&1; then
    pass "Pascal example compiles (fpc)"
    run_example "Pascal example (Free Pascal) reads the card" "$work/read_basic_fpc"
  else
    fail "Pascal example compiles (fpc)" "$(grep -i error "$work/fpc.log" | head -5 | tr '\n' '|')"
  fi
else
  skip "Pascal example" "Free Pascal is not installed (Debian fp-compiler, fp-units-rtl)"
fi
unset LD_LIBRARY_PATH

# ---------------------------------------------------------------- the diagnostic build swapped in
# The diagnostic build under the product's own names in a folder of its own:
# a host that loads the library by name gets it with LD_LIBRARY_PATH naming
# that folder (a host linked with an RPATH: LD_PRELOAD of its .so.1). Each
# host's capture holds the export calls with their arguments and results and
# the frames each way, and replays as "same".
swap=$lib/kx_iccreader/diag
check "swap-in build under the product's names" bash -c "[ -f '$swap/libKX_ICCReader.so.1.0.307' ] && [ \"\$(readlink '$swap/libKX_ICCReader.so')\" = libKX_ICCReader.so.1 ] && readelf -d '$swap/libKX_ICCReader.so.1' | grep -q 'Library soname: \[libKX_ICCReader.so.1\]'"
run_swapped() { # NAME how(path|preload) COMMAND...
  local name=$1 how=$2 capture=$work/swapped.$RANDOM.kxcap out
  shift 2
  if [ "$how" = path ]; then
    run_example "$name: the host's output" env LD_LIBRARY_PATH="$swap" KX_CAPTURE="$capture" "$@"
  else
    run_example "$name: the host's output" env LD_PRELOAD="$swap/libKX_ICCReader.so.1" KX_CAPTURE="$capture" "$@"
  fi
  # The calls with their arguments and results, and the frames each way.
  if grep -qE '^call [0-9]+ [0-9]+ KXReaderInit n:3,9600 -$' "$capture" 2>/dev/null &&
    grep -qE '^call [0-9]+ [0-9]+ KXReadInfo 0 "3F00" "EF05" 0 -$' "$capture" &&
    grep -qE '^return [0-9]+ [0-9]+ KXReadInfo 0 "[0-9A-F]{32}.*K12345678" error=""$' "$capture" &&
    grep -qE '^tx [0-9]+ 3 x:02[0-9A-F]+03$' "$capture" && grep -qE '^rx [0-9]+ 3 x:02[0-9A-F]+03$' "$capture"; then
    pass "$name: the capture holds the calls and the frames"
  else
    fail "$name: the capture holds the calls and the frames" "$(grep -E '^(call|kxcap)' "$capture" 2>/dev/null | head -3 | tr '\n' '|')"
  fi
  out=$("$stage/bin/kxcard" replay "$capture" 2>&1)
  if [[ "$out" == same* ]]; then pass "$name: kxcard replay says same"; else fail "$name: kxcard replay says same" "$(echo "$out" | head -3 | tr '\n' '|')"; fi
}
run_swapped "Python example (LD_LIBRARY_PATH swap-in)" path python3 "$examples/read_basic.py"
[ -f "$work/ReadBasic.exe" ] && run_swapped "C# example (LD_LIBRARY_PATH swap-in)" path mono "$work/ReadBasic.exe"
[ -d "$work/java" ] && run_swapped "Java example (LD_LIBRARY_PATH swap-in)" path java -cp "$jna:$work/java" ReadBasic
[ -x "$work/read_basic_fpc" ] && run_swapped "Pascal example (LD_PRELOAD swap-in)" preload "$work/read_basic_fpc"
[ -x "$work/read_basic_pc" ] && run_swapped "C example (LD_PRELOAD swap-in)" preload "$work/read_basic_pc"

# ---------------------------------------------------------------- the .deb
if (cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/deb") >"$work/cpack.log" 2>&1; then
  pass "cpack -G DEB"
else
  fail "cpack -G DEB" "$(tail -5 "$work/cpack.log" | tr '\n' '|')"
fi
deb=$(ls "$work"/deb/*.deb 2>/dev/null | head -1)
if [ -n "$deb" ]; then
  dpkg-deb -c "$deb" >"$work/deb.contents"
  for f in ./usr/lib/libKX_ICCReader.so.1.0.307 ./usr/lib/libKX_ICCReader.so.1 ./usr/include/KX_ICCReader.h \
    ./usr/lib/libKX_ICCReader-sim.so.1 ./usr/share/doc/kx-iccreader/KX_ICCReader-sim.profile.example \
    ./usr/bin/kxcard ./usr/bin/kx-sim ./usr/bin/kx-service ./usr/lib/systemd/user/kx-service.service \
    ./usr/lib/udev/rules.d/60-kx-iccreader.rules ./usr/lib/kx_iccreader/diag/libKX_ICCReader.so.1 \
    ./usr/lib/pkgconfig/kx_iccreader.pc ./usr/lib/cmake/KX_ICCReader/KX_ICCReaderConfig.cmake; do
    check "package holds $f" grep -q " $f" "$work/deb.contents"
  done
  dpkg-deb -e "$deb" "$work/control"
  # The note printed after installing: who may open the reader.
  check "post-install note names the group dialout" grep -q 'group "dialout"' "$work/control/postinst"
  check "post-install note names the group plugdev" grep -q 'group "plugdev"' "$work/control/postinst"
  check "package version 1.0.307" bash -c "dpkg-deb -f '$deb' Version | grep -qx 1.0.307"
  check "package depends on the C++ runtime" bash -c "dpkg-deb -f '$deb' Depends | grep -q libstdc++"
  # The .pc names /usr, where the package puts the files; unpacked elsewhere
  # they are found through the sysroot.
  dpkg-deb -x "$deb" "$work/root"
  check "pkg-config file names /usr" grep -qx 'prefix=/usr' "$work/root/usr/lib/pkgconfig/kx_iccreader.pc"
  check "programs and libraries are stripped" bash -c "! file -L '$work/root/usr/bin/kxcard' '$work/root/usr/bin/kx-sim' '$work/root/usr/lib/libKX_ICCReader.so.1' | grep -q 'not stripped'"
  # lintian: no error; its warnings are fixed or overridden with a reason in
  # packaging/debian/lintian-overrides. Its whole output goes to the log.
  if command -v lintian >/dev/null; then
    lintian --tag-display-limit 0 "$deb" >"$work/lintian.log" 2>&1
    sed 's/^/lintian: /' "$work/lintian.log"
    if grep -qE '^[EW]: ' "$work/lintian.log"; then
      fail "lintian finds no error or warning" "$(grep -E '^[EW]: ' "$work/lintian.log" | head -3 | tr '\n' '|')"
    else
      pass "lintian finds no error or warning"
    fi
  else
    fail "lintian finds no error or warning" "lintian is not installed (scripts/setup.sh installs it)"
  fi
  if cc -o "$work/read_basic_deb" "$examples/read_basic.c" \
    $(PKG_CONFIG_SYSROOT_DIR=$work/root PKG_CONFIG_PATH=$work/root/usr/lib/pkgconfig \
      pkg-config --cflags --libs kx_iccreader) -I"$work/root/usr/include" \
    -Wl,-rpath,"$work/root/usr/lib" >"$work/cc-deb.log" 2>&1; then
    pass "C example builds against the package with pkg-config"
    run_example "C example (package) reads the card" "$work/read_basic_deb"
  else
    fail "C example builds against the package" "$(head -5 "$work/cc-deb.log" | tr '\n' '|')"
  fi
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
