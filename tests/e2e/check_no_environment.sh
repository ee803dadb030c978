#!/usr/bin/env bash
# The product library has no reference to the environment; the diagnostic
# build has (it reads KX_TRACE), which shows the check can see one.
#   check_no_environment.sh PRODUCT.so DIAGNOSTIC.so
set -uo pipefail
reads_environment() { nm -D --undefined-only "$1" | grep -Eqw '(secure_)?getenv|environ'; }
status=0
if reads_environment "$1"; then
  echo "FAIL $1 refers to the environment:"
  nm -D --undefined-only "$1" | grep -Ew '(secure_)?getenv|environ'
  status=1
else
  echo "PASS $1 has no reference to getenv"
fi
if reads_environment "$2"; then echo "PASS $2 reads the environment"; else
  echo "FAIL the check found no getenv in $2"
  status=1
fi
exit $status
