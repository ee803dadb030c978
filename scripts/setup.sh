#!/usr/bin/env bash
# Installs the Debian packages a step needs when they are missing. Sourced by
# the demo and test scripts; `ensure_packages linux`, `ensure_packages hosts`
# (the integrator's guide's host languages) or `ensure_packages windows`.
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
    linux)
      # dpkg-dev and file: CPack's .deb reads the programs' dependencies.
      # cpp-httplib and nlohmann-json: kx-service's HTTP server and JSON;
      # chromium (headless) runs the web example against it.
      missing=$(_kx_missing cmake ninja-build g++ make pkg-config libssl-dev libgtest-dev libgmock-dev \
        libbenchmark-dev clang libclang-rt-14-dev libtsan2 python3 dpkg-dev file \
        libcpp-httplib-dev nlohmann-json3-dev curl chromium)
      # shellcheck disable=SC2086
      _kx_install $missing
      ;;
    hosts)
      # The guide's C# (Mono, with code page 936) and Free Pascal examples. A
      # machine without them still tests the rest: the examples are skipped.
      missing=$(_kx_missing mono-mcs mono-runtime libmono-i18n4.0-cil libmono-i18n-cjk4.0-cil \
        fp-compiler fp-units-rtl)
      # shellcheck disable=SC2086
      _kx_install $missing || echo "== could not install: $missing (their examples are skipped)"
      ;;
    windows)
      if ! dpkg --print-foreign-architectures | grep -qx i386; then
        _kx_sudo dpkg --add-architecture i386
        _kx_apt_updated=0
      fi
      missing=$(_kx_missing g++-mingw-w64-i686 binutils-mingw-w64-i686 wine wine32)
      # shellcheck disable=SC2086
      _kx_install $missing
      ;;
  esac
}
