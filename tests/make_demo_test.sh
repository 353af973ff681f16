#!/usr/bin/env bash
# `make demo` needs no test tool: it runs with GoogleTest made unfindable,
# configures no test, and the demo exits successfully.
set -u
source=${1:?usage: make_demo_test.sh SOURCE_DIR}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset MAKEFLAGS MAKELEVEL MFLAGS
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

if make -C "$source" --no-print-directory demo BUILD_DIR="$work/build" \
     CMAKE_FLAGS=-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON >"$work/log" 2>&1; then
  pass "make demo ran without GoogleTest"
else
  cat "$work/log"; fail "make demo failed"
fi
grep -q '^SAMPLING_KERNELS_TESTS:BOOL=OFF' "$work/build/CMakeCache.txt" \
  && [ ! -e "$work/build/tests" ] && pass "no test configured" || fail "make demo configured the tests"
# The dependency step of the demo asks only for build tools.
calls=$(make -C "$source" --no-print-directory -n demo BUILD_DIR="$work/build" | grep install_deps)
[ "$calls" = "tools/install_deps.sh build" ] && pass "dependency step: $calls" \
  || fail "make demo runs '$calls'"
echo "$failures failures"
[ "$failures" -eq 0 ]
