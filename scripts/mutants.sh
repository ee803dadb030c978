#!/usr/bin/env bash
# Sampled mutation testing of the library, run by hand (it takes tens of
# minutes): scripts/mutants.sh SEED COUNT [--start N] [--timeout S] [--list]
# [--only FILE:LINE] [--build-dir DIR]. Mutates the sources in place and
# restores them (do not edit them meanwhile); builds in build-mutants/ and,
# when a mutant of a bound needs it, build-mutants-asan/. See scripts/mutants.py.
set -euo pipefail
cd "$(dirname "$0")/.."
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(cd .. && pwd)}
exec nice -n "${KX_NICE:-15}" python3 scripts/mutants.py "$@"
