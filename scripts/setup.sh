#!/usr/bin/env bash
# Installs the Debian packages a step needs when they are missing. Sourced by
# the demo and test scripts; `ensure_packages linux` or `ensure_packages windows`.
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
      missing=$(_kx_missing cmake ninja-build g++ make pkg-config libssl-dev libgtest-dev libgmock-dev \
        libbenchmark-dev clang libclang-rt-14-dev python3)
      # shellcheck disable=SC2086
      _kx_install $missing
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
