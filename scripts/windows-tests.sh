#!/usr/bin/env bash
# The Windows group, for both DLLs: cross-builds KX_ICCReader.dll, kxcard.exe
# and the test host with MinGW-w64 for i686 (the 32-bit DLL) and x86-64 (the
# 64-bit DLL), checks each DLL's bytes (machine, exports and ordinals, stack
# cleanup for the 32-bit one, imports, version resource) and each zip, then
# runs the test host and kxcard.exe against kx-sim on pseudo-terminals mapped
# as COM ports: the 32-bit build under wine, the 64-bit one under wine64. It
# measures the CPU cost of waiting for a silent reader.
#
#   scripts/windows-tests.sh [BUILD_DIR [KX_SIM]]
#
# BUILD_DIR (default build-win32) holds the i686 build, BUILD_DIR-x64 the
# x86-64 one; kx-sim (the Linux build) comes from the second argument,
# $KX_SIM, build/kx-sim, or is built in BUILD_DIR-sim. Installs the cross
# compilers and Wine when missing. Where this machine cannot execute 32-bit
# programs at all, the 32-bit DLL is checked from its bytes only and the Wine
# runs are the 64-bit ones. Ends with "N passed, M failed"; exits 1 on failure.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
root=$(pwd)
build=$(realpath -m "${1:-$root/build-win32}")
sim=${2:-${KX_SIM:-}}
jobs=${KX_JOBS:-2}

passed=0
failed=0
pass() { echo "PASS $1"; passed=$((passed + 1)); }
fail() { echo "FAIL $1${2:+: $2}"; failed=$((failed + 1)); }
finish() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit $?
}

# Runs a command whose output has PASS/FAIL lines and adds them to the tally.
# A command that fails without reporting a FAIL line counts as one failure.
tally() {
  local name=$1 out rc p f
  shift
  out=$("$@" 2>&1)
  rc=$?
  out=${out//$'\r'/}
  echo "$out" | grep -aE '^(PASS|FAIL|PENDING|SKIP|NOTE)' | sed "s/^/[$name] /"
  p=$(echo "$out" | grep -ac '^PASS')
  f=$(echo "$out" | grep -ac '^FAIL')
  passed=$((passed + p))
  failed=$((failed + f))
  if [ "$rc" -ne 0 ] && [ "$f" -eq 0 ]; then
    fail "$name" "exit status $rc"
    echo "$out" | tail -20
  fi
}

# ---------------------------------------------------------------- packages
as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; elif command -v sudo >/dev/null; then sudo "$@"; else "$@"; fi; }
apt_updated=0
install_missing() {
  local pkg missing=()
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
  [ "${#missing[@]}" -eq 0 ] && return 0
  echo "== installing: ${missing[*]}"
  if [ "$apt_updated" -eq 0 ]; then
    as_root apt-get update -qq >/dev/null
    apt_updated=1
  fi
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
}

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  as_root dpkg --add-architecture i386
fi
install_missing cmake ninja-build g++-mingw-w64-i686 binutils-mingw-w64-i686 \
  g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64 g++-mingw-w64-i686-posix \
  g++-mingw-w64-x86-64-posix libboost-dev nlohmann-json3-dev curl wine wine32 wine64 ||
  { fail "install the cross compilers and Wine"; finish; }

# The two builds: the tree, the tools' prefix and the zip's system name.
archs=(i686 x86_64)
tree_of() { if [ "$1" = i686 ]; then echo "$build"; else echo "$build-x64"; fi; }
zip_system_of() { if [ "$1" = i686 ]; then echo win32; else echo win64; fi; }

# Can this machine execute 32-bit x86 programs? (Some virtual machines run
# without the kernel's 32-bit support: every i386 binary fails to exec.)
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  wine_archs=(i686 x86_64)
else
  wine_archs=(x86_64)
  echo "NOTE this machine cannot execute 32-bit programs; the 32-bit DLL is checked from its bytes only"
fi

# ---------------------------------------------------------------- builds
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cross_build() { # DIR TOOLCHAIN
  mkdir -p "$1"
  cmake -S "$root" -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=Release "${launcher[@]}" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$2" >"$1.configure.log" 2>&1 ||
    { cat "$1.configure.log"; return 1; }
  ninja -C "$1" -j "$jobs" >"$1.build.log" 2>&1 || { tail -40 "$1.build.log"; return 1; }
}

for arch in "${archs[@]}"; do
  tree=$(tree_of "$arch")
  if cross_build "$tree" "mingw-$arch.cmake"; then pass "cross build ($arch)"; else
    fail "cross build ($arch)"
    finish
  fi
  for f in KX_ICCReader.dll diag/KX_ICCReader.dll kxcard.exe tests/windows/test_host.exe \
    tests/windows/serial_wait_bench.exe; do
    if [ -f "$tree/$f" ]; then pass "built $f ($arch)"; else fail "built $f ($arch)"; fi
  done
done

# ---------------------------------------------------------------- static checks
for arch in "${archs[@]}"; do
  tally "exports $arch" bash "$root/tests/windows/check_dll.sh" "$(tree_of "$arch")/KX_ICCReader.dll" \
    "$root/interface/exports.tsv" "$arch-w64-mingw32"
done

# ---------------------------------------------------------------- the zips
# What a Windows integrator unpacks, and the import library Microsoft's
# linker takes: it must resolve the names a caller compiled against the
# header asks for (32-bit: the decorated stdcall names) to the DLL's plain
# ones (checked here with the MinGW linker, which reads the same format). The
# 64-bit zip holds the same file names as the 32-bit one; its binaries are
# stripped.
link_dir=$(mktemp -d)
cat >"$link_dir/host.c" <<'HOST'
#include "KX_ICCReader.h"
int main(void) {
  char message[KX_ERR_MESSAGE_SIZE];
  KXGetErrMessage(-4, message);
  return KXGetLibVer() == 20121227 ? 0 : 1;
}
HOST
zip_names() { python3 -c 'import sys, zipfile; print("\n".join(zipfile.ZipFile(sys.argv[1]).namelist()))' "$1"; }
for arch in "${archs[@]}"; do
  tree=$(tree_of "$arch")
  name=kx-iccreader-1.0.307-$(zip_system_of "$arch").zip
  rm -rf "$tree/package"
  if (cd "$tree" && cpack -G ZIP --config "$tree/CPackConfig.cmake" -B "$tree/package") >"$tree.cpack.log" 2>&1; then
    pass "cpack -G ZIP ($arch)"
  else
    fail "cpack -G ZIP ($arch)" "$(tail -3 "$tree.cpack.log" | tr '\n' '|')"
  fi
  zip=$tree/package/$name
  if [ -f "$zip" ]; then
    pass "made $name"
    listing=$(zip_names "$zip")
    for f in bin/KX_ICCReader.dll bin/kxcard.exe bin/kx-service.exe diag/KX_ICCReader.dll diag/kxcard.exe \
      include/KX_ICCReader.h lib/KX_ICCReader.lib lib/libKX_ICCReader.dll.a lib/KX_ICCReader.def \
      doc/integration.md doc/card-map.md README.txt examples/read_basic.c examples/read_basic.py \
      examples/ReadBasic.cs examples/read_basic.pas; do
      if echo "$listing" | grep -q "/$f\$"; then pass "$name holds $f"; else fail "$name holds $f"; fi
    done
    unzipped=$(mktemp -d)
    python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$zip" "$unzipped"
    # kx-service.exe carries its C++ run-time and threads: beside the
    # library it loads only what every Windows has.
    service_dlls=$("$arch-w64-mingw32-objdump" -p "$(ls "$unzipped"/*/bin/kx-service.exe 2>/dev/null | head -1)" 2>/dev/null |
      sed -n 's/.*DLL Name: //p' | tr 'A-Z' 'a-z' | sort | tr '\n' ' ')
    if [ -n "$service_dlls" ] && ! echo "$service_dlls" |
      grep -qvE '^((kernel32|ws2_32|msvcrt|user32|advapi32|kx_iccreader)\.dll ?)+$'; then
      pass "$name: kx-service.exe loads only system DLLs and the library"
    else
      fail "$name: kx-service.exe loads only system DLLs and the library" "$service_dlls"
    fi
    for f in bin/KX_ICCReader.dll bin/kxcard.exe bin/kx-service.exe diag/KX_ICCReader.dll; do
      path=$(ls "$unzipped"/*/"$f" 2>/dev/null | head -1)
      if [ -n "$path" ] && ! objdump -h "$path" 2>/dev/null | grep -q '\.debug_'; then
        pass "$name: $f is stripped"
      else
        fail "$name: $f is stripped"
      fi
    done
    shipped=$(ls "$unzipped"/*/bin/KX_ICCReader.dll 2>/dev/null | head -1)
    [ -n "$shipped" ] && echo "NOTE the shipped KX_ICCReader.dll ($arch): $(stat -c %s "$shipped") bytes"
    rm -rf "$unzipped"
    echo "$listing" | cut -d/ -f2- | sort >"$link_dir/names-$arch"
    python3 -c 'import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); n = [f for f in z.namelist() if f.endswith("/bin/KX_ICCReader.dll")][0]; open(sys.argv[2], "wb").write(z.read(n))' \
      "$zip" "$link_dir/zipped.dll" 2>/dev/null
    format=$("$arch-w64-mingw32-objdump" -f "$link_dir/zipped.dll" 2>/dev/null | sed -n 's/.*file format //p')
    want=pei-i386
    [ "$arch" = x86_64 ] && want=pei-x86-64
    if [ "$format" = "$want" ]; then pass "$name holds the $want DLL"; else
      fail "$name holds the $want DLL" "got '$format'"
    fi
  else
    fail "made $name" "$(ls "$tree/package" 2>/dev/null | tr '\n' ' ')"
  fi
  if "$arch-w64-mingw32-gcc" -I"$root/include" -o "$link_dir/host-$arch.exe" "$link_dir/host.c" \
    "$tree/KX_ICCReader.lib" >"$link_dir/link.log" 2>&1; then
    pass "a host links with KX_ICCReader.lib ($arch)"
  else
    fail "a host links with KX_ICCReader.lib ($arch)" "$(head -3 "$link_dir/link.log" | tr '\n' '|')"
  fi
done
if [ -s "$link_dir/names-i686" ] && cmp -s "$link_dir/names-i686" "$link_dir/names-x86_64"; then
  pass "the two zips hold the same file names"
else
  fail "the two zips hold the same file names" \
    "$(diff "$link_dir/names-i686" "$link_dir/names-x86_64" 2>&1 | grep '^[<>]' | tr '\n' ' ')"
fi
rm -rf "$link_dir"

# ---------------------------------------------------------------- the simulator DLL
# KX_ICCReader-sim.dll, in each zip's sim/ folder: the product's exports and
# ordinals, system DLLs only, and a version resource with the product's
# numbers whose file description says it is the simulator.
sim_dll_static() { # ARCH
  local tree zip got want
  tree=$(tree_of "$1")
  sim_dll=$tree/KX_ICCReader-sim.dll
  [ -f "$sim_dll" ] || { fail "built KX_ICCReader-sim.dll ($1)"; return; }
  exported() { "$1-w64-mingw32-objdump" -p "$2" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p'; }
  if [ -n "$(exported "$1" "$sim_dll")" ] &&
    cmp -s <(exported "$1" "$sim_dll") <(exported "$1" "$tree/KX_ICCReader.dll"); then
    pass "simulator DLL: the product's exports and ordinals ($1)"
  else
    fail "simulator DLL: the product's exports and ordinals ($1)"
  fi
  got=$("$1-w64-mingw32-objdump" -p "$sim_dll" | sed -n 's/^\s*DLL Name: //p' | grep -Eivc '^(kernel32|user32|msvcrt|advapi32|hid|setupapi)\.dll$')
  if [ "$got" -eq 0 ]; then pass "simulator DLL imports only system DLLs ($1)"; else
    fail "simulator DLL imports only system DLLs ($1)"
  fi
  want=$(strings -el "$tree/KX_ICCReader.dll" | grep -A1 -xE 'FileVersion|ProductVersion|InternalName|OriginalFilename')
  got=$(strings -el "$sim_dll" | grep -A1 -xE 'FileVersion|ProductVersion|InternalName|OriginalFilename')
  # VS_FIXEDFILEINFO: its signature, then the file and product versions.
  fixed() {
    local at
    at=$(LC_ALL=C grep -obUaP '\xbd\x04\xef\xfe' "$1" | head -1 | cut -d: -f1)
    [ -n "$at" ] && od -An -tx4 -j "$at" -N 24 "$1"
  }
  if [ -n "$got" ] && [ "$got" = "$want" ] && [ -n "$(fixed "$sim_dll")" ] &&
    [ "$(fixed "$sim_dll")" = "$(fixed "$tree/KX_ICCReader.dll")" ]; then
    pass "simulator DLL: the product's version numbers and names ($1)"
  else
    fail "simulator DLL: the product's version numbers and names ($1)"
  fi
  got=$(strings -el "$sim_dll" | grep -A1 -x FileDescription | sed -n 2p)
  if [[ "$got" == *simulator* ]]; then pass "simulator DLL: its file description says so ($1)"; else
    fail "simulator DLL: its file description says so ($1)" "got '$got'"
  fi
  zip=$tree/package/kx-iccreader-1.0.307-$(zip_system_of "$1").zip
  got=$(zip_names "$zip" 2>/dev/null)
  for f in sim/KX_ICCReader-sim.dll sim/KX_ICCReader-sim.profile.example; do
    if echo "$got" | grep -q "/$f\$"; then pass "the $1 zip holds $f"; else fail "the $1 zip holds $f"; fi
  done
}
for arch in "${archs[@]}"; do sim_dll_static "$arch"; done

# Under Wine, as an integrator uses it: renamed KX_ICCReader.dll beside
# kxcard.exe, no COM port leading to any device; the sample card, then the
# card of a profile beside it. The warning comes once, on stderr and in the
# debugger's output.
sim_dll_wine() {
  local dir=$scratch/sim-dll-$arch out
  mkdir -p "$dir"
  cp "$kxcard" "$dir/kxcard.exe"
  cp "$tree/KX_ICCReader-sim.dll" "$dir/KX_ICCReader.dll"
  out=$(WINEDEBUG=-all,+debugstr winerun "$dir/kxcard.exe" read 3F00 EF05 --port 1 2>&1)
  out=${out//$'\r'/}
  if [[ "$out" == *"卡号: K12345678"* ]] &&
    [ "$(grep -c '^KX_ICCReader simulator build: no card reader is used' <<<"$out")" -eq 1 ] &&
    [ "$(grep -c 'OutputDebugStringA "KX_ICCReader simulator build: no card reader' <<<"$out")" -eq 1 ]; then
    pass "simulator DLL as KX_ICCReader.dll reads the sample card, one warning ($arch)"
  else
    fail "simulator DLL as KX_ICCReader.dll reads the sample card, one warning ($arch)" \
      "$(head -5 <<<"$out" | tr '\n' '|')"
  fi
  printf '[file 3F00 EF05]\n7 = "K87654321"\n' >"$dir/KX_ICCReader-sim.profile"
  # No port given: the search finds the simulated reader on USB first.
  out=$(winerun "$dir/kxcard.exe" read 3F00 EF05 2>&1)
  if [[ "$out" == *"卡号: K87654321"* && "$out" == *"KX_ICCReader-sim.profile)"* ]]; then
    pass "simulator DLL takes the profile beside it ($arch)"
  else
    fail "simulator DLL takes the profile beside it ($arch)" "$(head -5 <<<"$out" | tr '\n' '|')"
  fi
}

# ---------------------------------------------------------------- Wine
if [ -z "$sim" ] && [ -x "$root/build/kx-sim" ]; then sim=$root/build/kx-sim; fi
if [ -z "$sim" ] || [ ! -x "$sim" ]; then
  echo "== building kx-sim in $build-sim"
  cmake -S "$root" -B "$build-sim" -G Ninja -DCMAKE_BUILD_TYPE=Debug >"$build-sim.configure.log" 2>&1 &&
    ninja -C "$build-sim" -j "$jobs" kx-sim >"$build-sim.build.log" 2>&1
  sim=$build-sim/kx-sim
fi
[ -x "$sim" ] || { fail "kx-sim available" "$sim"; finish; }

scratch=$(mktemp -d)
head -c 20000 /dev/zero | tr '\0' ' ' >"$scratch/big-body"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY WINELOADER WINEARCH
sim_pids=()
wineserver=""
# Ends the simulators and the Wine server of one group.
stop_group() {
  local pid
  for pid in "${sim_pids[@]}"; do kill "$pid" 2>/dev/null; done
  sim_pids=()
  if [ -n "$wineserver" ]; then "$wineserver" -k 2>/dev/null; fi
  wait 2>/dev/null
}
cleanup() {
  stop_group
  rm -rf "$scratch"
}
trap cleanup EXIT

winerun() { timeout 120 "$wine" "$@"; }

# Starts kx-sim with the given options and maps its pseudo-terminal to COM $1.
start_sim() {
  local port=$1 pathfile=$scratch/sim-$arch-$1.path
  shift
  "$sim" --exit-after-idle 300 --path-file "$pathfile" "$@" >/dev/null 2>"$scratch/sim-$arch-$port.log" &
  sim_pids+=($!)
  for _ in $(seq 1 100); do
    [ -s "$pathfile" ] && break
    sleep 0.05
  done
  [ -s "$pathfile" ] || { fail "kx-sim on COM$port ($arch)" "no device path"; return 1; }
  ln -sfn "$(head -1 "$pathfile")" "$WINEPREFIX/dosdevices/com$port"
}

kxcard_check() { # NAME EXPECTED_TEXT ARGS...
  local name=$1 expected=$2 out rc
  shift 2
  out=$(winerun "$kxcard" "$@" 2>&1)
  rc=$?
  out=${out//$'\r'/}
  if [ "$rc" -eq 0 ] && [[ "$out" == *"$expected"* ]]; then pass "kxcard.exe $name ($arch)"; else
    fail "kxcard.exe $name ($arch)" "exit $rc: $(echo "$out" | head -5 | tr '\n' '|')"
  fi
}

# CPU cost of waiting for a silent reader on COM 20; printed, never failed on.
silent_wait_bench() {
  local server_pid="" server_dir pid t0 t1 bench_out bench_rc share
  server_dir=$(printf 'server-%x-%x' "$(stat -c %d "$WINEPREFIX")" "$(stat -c %i "$WINEPREFIX")")
  for pid in $(pgrep -f "wineserver" 2>/dev/null); do
    if [[ "$(readlink "/proc/$pid/cwd" 2>/dev/null)" == */$server_dir ]]; then server_pid=$pid; fi
  done
  server_ticks() { [ -n "$server_pid" ] && awk '{ print $14 + $15 }' "/proc/$server_pid/stat" 2>/dev/null; }
  t0=$(server_ticks)
  bench_out=$(winerun "$tree/tests/windows/serial_wait_bench.exe" "$dll" 20 5 2>&1)
  bench_rc=$?
  t1=$(server_ticks)
  echo "${bench_out//$'\r'/} ($arch)"
  if [ -n "$t0" ] && [ -n "$t1" ]; then
    echo "wineserver CPU during the benchmark: $(((t1 - t0) * 1000 / $(getconf CLK_TCK))) ms"
  fi
  if [ "$bench_rc" -eq 0 ]; then pass "silent-wait benchmark ran ($arch)"; else
    fail "silent-wait benchmark ran ($arch)" "exit $bench_rc"
  fi
  share=$(echo "$bench_out" | sed -n 's/.*CPU: \([0-9.]*\) %.*/\1/p')
  if [ -n "$share" ] && awk -v s="$share" 'BEGIN { exit !(s > 5) }'; then
    echo "WARN the silent wait took $share % of one core (target: under 5 %)"
  fi
}

# ---------------------------------------------------------------- capture and replay
# A capture made under Wine by the diagnostic DLL replays on Linux as "same"
# (Linux kxcard, beside kx-sim): one format for both. Two captures: the test
# host over diag\KX_ICCReader.dll, and kxcard.exe --capture (which runs
# diag\kxcard.exe over it) verifying a PIN. Each is plain LF text with the
# platform's name, the calls with their arguments, and no PIN (the card's
# own number K12345678 holds its digits: what the card sends is not looked at).
capture_replay_checks() {
  local linux_kxcard capture out name
  linux_kxcard=$(dirname "$sim")/kxcard
  if [ ! -x "$linux_kxcard" ] && [ -f "$(dirname "$sim")/build.ninja" ]; then
    ninja -C "$(dirname "$sim")" -j "$jobs" kxcard >/dev/null 2>&1
  fi
  [ -x "$linux_kxcard" ] || { fail "Linux kxcard beside kx-sim for the replays" "$linux_kxcard"; return; }
  start_sim 7 || return
  KX_CAPTURE="Z:$scratch/host-$arch.kxcap" tally "host-capture-com7 $arch" \
    winerun "$host" reader "$tree/diag/KX_ICCReader.dll" 7
  kxcard_check "--capture over the diagnostic DLL" "accepted" \
    --capture "Z:$scratch/kxcard-$arch.kxcap" verify-pin 123456 --port 7
  for name in host kxcard; do
    capture=$scratch/$name-$arch.kxcap
    if head -3 "$capture" 2>/dev/null | tr '\n' ' ' | grep -qx "kxcap 1 library 1.0.307 diagnostic platform windows-$arch " &&
      grep -qE '^call [0-9]+ [0-9]+ KXCardVerifyPIN 0 pin:6 -$' "$capture" &&
      grep -qE '^tx [0-9]+ 7 x:02[0-9A-F*]+03$' "$capture" && ! grep -q $'\r' "$capture" &&
      ! grep -qE '"123456"|^(tx|call|return) .*313233343536' "$capture"; then
      pass "$name's capture under Wine: header, calls, frames, LF lines, no PIN ($arch)"
    else
      fail "$name's capture under Wine: header, calls, frames, LF lines, no PIN ($arch)" \
        "$(head -4 "$capture" 2>/dev/null | tr '\r\n' '^|')"
    fi
    out=$("$linux_kxcard" replay "$capture" 2>&1)
    if [[ "$out" == same* ]]; then pass "$name's capture under Wine replays on Linux: $out ($arch)"; else
      fail "$name's capture under Wine replays on Linux ($arch)" "$(echo "$out" | head -4 | tr '\n' '|')"
    fi
  done
}

# The Wine runs of one build, in a throw-away prefix of its own: the 32-bit
# build under wine in a 32-bit prefix, the 64-bit build under wine64.
# kx-service.exe over the reader on COM7: the reads a web page makes, the
# refusals that must reach no card, the event stream, a second instance.
service_checks() {
  local port=$((18700 + RANDOM % 200)) conf=$scratch/service-$arch.conf out answer
  local base=http://127.0.0.1:$port
  printf 'allow_origin = http://allowed.example\n' >"$conf"
  start_sim 7 --trace || return
  "$wine" "$tree/kx-service.exe" --port "$port" --com 7 --config "Z:$conf" \
    >"$scratch/service-$arch.out" 2>&1 &
  local service_pid=$!
  sim_pids+=("$service_pid")
  for _ in $(seq 1 100); do
    grep -q "listening on" "$scratch/service-$arch.out" 2>/dev/null && break
    sleep 0.1
  done
  if grep -q "listening on http://127.0.0.1:$port" "$scratch/service-$arch.out"; then
    pass "kx-service.exe listens ($arch)"
  else
    fail "kx-service.exe listens ($arch)" "$(head -3 "$scratch/service-$arch.out" | tr '\n' '|')"
    return
  fi
  service_row() { # NAME STATUS TEXT CURL_ARGS...
    local what=$1 status=$2 text=$3
    shift 3
    answer=$(curl -s -m 20 -w ' %{http_code}' "$@")
    if [[ "$answer" == *"$text"*" $status" ]]; then pass "kx-service.exe: $what ($arch)"; else
      fail "kx-service.exe: $what ($arch)" "$answer"
    fi
  }
  service_row "the reader" 200 '"model":"TXR-7700"' "$base/v1/reader"
  service_row "the identity" 200 '"cardNumber":"K12345678"' -H "Origin: http://allowed.example" \
    "$base/v1/card/identity"
  service_row "the basic data" 200 '"value":"K12345678"' "$base/v1/card/files/3F00/EF05"
  local frames
  frames=$(wc -c <"$scratch/sim-$arch-7.log")
  service_row "a rebinding Host" 421 '"code":-100' -H "Host: evil.example:$port" "$base/v1/card/identity"
  service_row "a disallowed Origin" 403 '"code":-101' -H "Origin: http://evil.example" "$base/v1/card/identity"
  service_row "an oversized body" 413 '"code":-105' -H "Content-Type: application/json" \
    --data-binary "@$scratch/big-body" "$base/v1/pin/verify"
  service_row "a write while writing is disabled" 403 '"code":-107' -X PUT \
    -H "Content-Type: application/json" -d '{"value":"A"}' "$base/v1/card/files/3F00/EF06/records/2"
  if [ "$(wc -c <"$scratch/sim-$arch-7.log")" = "$frames" ]; then pass "kx-service.exe: no refusal reached the reader ($arch)"; else
    fail "kx-service.exe: no refusal reached the reader ($arch)"
  fi
  out=$(timeout 5 curl -s -N "$base/v1/events" 2>/dev/null)
  if [[ "$out" == *'data: {"state":"present"}'* ]]; then pass "kx-service.exe: the event stream ($arch)"; else
    fail "kx-service.exe: the event stream ($arch)" "$out"
  fi
  out=$(winerun "$tree/kx-service.exe" --port "$port" --com 7 --config "Z:$conf" 2>&1)
  if [ $? -eq 1 ] && [[ "$out" == *"is in use"* ]]; then pass "kx-service.exe: a second one exits ($arch)"; else
    fail "kx-service.exe: a second one exits ($arch)" "$out"
  fi
}

wine_group() { # ARCH
  arch=$1
  tree=$(tree_of "$arch")
  # Each loader with the server of its own width, as Wine sets them up.
  if [ "$arch" = i686 ]; then
    wine=/usr/lib/wine/wine
    wineserver=/usr/lib/wine/wineserver32
    [ -x "$wineserver" ] || wineserver=/usr/lib/wine/wineserver64
    unset WINELOADER
  else
    wine=/usr/lib/wine/wine64
    wineserver=/usr/lib/wine/wineserver64
    export WINELOADER=$wine
  fi
  export WINESERVER=$wineserver
  export WINEPREFIX=$scratch/prefix-$arch
  host=$tree/tests/windows/test_host.exe
  dll=$tree/KX_ICCReader.dll
  kxcard=$tree/kxcard.exe

  # One server for the group: every wine start after the first is quick.
  mkdir -p "$WINEPREFIX"
  "$wineserver" -p 2>>"$scratch/wineserver-$arch.log"
  if timeout 300 "$wine" wineboot -i >"$scratch/wineboot-$arch.log" 2>&1; then pass "Wine prefix ($arch)"; else
    fail "Wine prefix ($arch)" "$(tail -3 "$scratch/wineboot-$arch.log")"
    stop_group
    return
  fi
  # Wine maps COMn to /dev/ttyS(n-1) unless told otherwise; the reader search
  # must find only the simulators, never the machine's own serial console.
  for n in $(seq 1 99); do ln -sfn /nonexistent-kx-port "$WINEPREFIX/dosdevices/com$n"; done
  sim_dll_wine

  # No reader anywhere yet: every export called where it is harmless (the
  # 32-bit host checks the stack after each call).
  tally "host-exports $arch" winerun "$host" exports "$dll"
  tally "host-version $arch" winerun "$host" version "$dll"

  # A reader on COM5 and one on COM12 (a port that opens only as \\.\COM12).
  start_sim 5 && tally "host-reader-com5 $arch" winerun "$host" reader "$dll" 5
  start_sim 12 && tally "host-reader-com12 $arch" winerun "$host" reader "$dll" 12
  start_sim 20 --silent && tally "host-silent-com20 $arch" winerun "$host" silent "$dll" 20

  # The diagnostic DLL, in place of the product, traces to the file KX_TRACE
  # names (a Windows path: Wine's Z: drive is the Linux root), PIN data as **.
  local trace=$scratch/kx-trace-$arch.txt
  start_sim 6 && KX_TRACE="Z:$trace" tally "host-diag-com6 $arch" winerun "$host" reader "$tree/diag/KX_ICCReader.dll" 6
  if grep -q "export KXReaderInit = 0" "$trace" 2>/dev/null && grep -q "apdu slot 0 > " "$trace"; then
    pass "diagnostic DLL writes its trace to KX_TRACE ($arch)"
  else
    fail "diagnostic DLL writes its trace to KX_TRACE ($arch)" "$(head -3 "$trace" 2>/dev/null | tr '\n' '|')"
  fi
  capture_replay_checks

  # kxcard.exe over the same reader on COM5.
  kxcard_check "reader --port 5" "status:  2" reader --port 5
  kxcard_check "errmsg -4" "通讯错误" errmsg -4
  kxcard_check "apdu on COM5" "SW 9000" apdu 0084000008 --port 5
  kxcard_check "read 3F00 EF05 on COM5" "卡号: K12345678" read 3F00 EF05 --port 5
  kxcard_check "-v over the diagnostic DLL" "apdu slot 0 > 00 84 00 00 08" -v apdu 0084000008 --port 5
  kxcard_check "files (the card's map)" "read:  key RK1DF0B" files DF0B EF0C

  service_checks
  # The wait code is the same source in both builds: measured once, on the
  # first build that runs here.
  [ "$arch" = "${wine_archs[0]}" ] && silent_wait_bench
  stop_group
}

for arch in "${wine_archs[@]}"; do
  if "/usr/lib/wine/$([ "$arch" = i686 ] && echo wine || echo wine64)" --version >/dev/null 2>&1; then
    wine_group "$arch"
  else
    fail "Wine for $arch runs" "$([ "$arch" = i686 ] && echo wine || echo wine64) --version failed"
  fi
done

finish
