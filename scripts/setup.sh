#!/usr/bin/env bash
# Installs the Debian packages a step needs when they are missing. Sourced by
# the demo and test scripts: `ensure_packages demo` (what building the
# library, kxcard and kx-sim needs, and no more), `ensure_packages linux`
# (that and everything the tests need), `ensure_packages hosts` (the
# integrator's guide's host languages) or `ensure_packages windows`.
set -euo pipefail

_kx_sudo() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; elif command -v sudo >/dev/null; then sudo "$@"; else "$@"; fi
}

_kx_missing() {
  local pkg missing=()
  for pkg in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$pkg")
    fi
  done
  echo "${missing[@]:-}"
}

_kx_apt_updated=0
_kx_install() {
  [ "$#" -gt 0 ] || return 0
  echo "== installing: $*"
  if [ "$_kx_apt_updated" -eq 0 ]; then
    _kx_sudo apt-get update -qq
    _kx_apt_updated=1
  fi
  _kx_sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}

ensure_packages() {
  local missing
  case "$1" in
    demo)
      missing=$(_kx_missing cmake ninja-build g++ make pkg-config libssl-dev python3)
      # shellcheck disable=SC2086
      _kx_install $missing
      ;;
    linux)
      ensure_packages demo
      # The test libraries, clang for the fuzz targets, the thread sanitizer;
      # dpkg-dev and file: CPack's .deb reads the programs' dependencies;
      # lintian checks the .deb; Boost (Beast) and nlohmann-json: kx-service's
      # HTTP server and JSON; chromium (headless) runs the web example
      # against it.
      missing=$(_kx_missing libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev \
        libtsan2 dpkg-dev file lintian libboost-dev nlohmann-json3-dev curl chromium)
      # shellcheck disable=SC2086
      _kx_install $missing
      ;;
    hosts)
      # The guide's C# (Mono, with code page 936), Java (JNA) and Free Pascal
      # examples, one language at a time. A machine without one still tests
      # the rest: that language's example is skipped.
      local language
      for language in "mono-mcs mono-runtime libmono-i18n4.0-cil libmono-i18n-cjk4.0-cil" \
        "default-jdk libjna-java" "fp-compiler fp-units-rtl"; do
        # shellcheck disable=SC2086
        missing=$(_kx_missing $language)
        # shellcheck disable=SC2086
        _kx_install $missing || echo "== could not install: $missing (its example is skipped)"
      done
      ;;
    windows)
      if ! dpkg --print-foreign-architectures | grep -qx i386; then
        _kx_sudo dpkg --add-architecture i386
        _kx_apt_updated=0
      fi
      # Both DLLs: i686 under wine (wine32), x86-64 under wine64; the posix
      # thread-model compilers, Boost and nlohmann-json for kx-service.exe.
      missing=$(_kx_missing g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64-win32 \
        g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 \
        libboost-dev nlohmann-json3-dev wine wine32 wine64)
      # shellcheck disable=SC2086
      _kx_install $missing
      ;;
  esac
}
