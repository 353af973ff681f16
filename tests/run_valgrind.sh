#!/usr/bin/env bash
# Memcheck over one GoogleTest executable: run_valgrind.sh EXE [GTEST_FILTER]
# The shim's own malloc and free are left in place (they forward to libc,
# whose allocator valgrind replaces), so the heap tests still count calls.
# Fails on any error or leak; exits 77 (skipped) when valgrind is absent.
set -u
exe=$1 filter=${2:-*}
if ! command -v valgrind >/dev/null; then
  echo "valgrind not installed: memcheck skipped"
  exit 77
fi
exec valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
  --errors-for-leak-kinds=definite,indirect,possible --show-leak-kinds=definite,indirect,possible \
  --track-origins=yes --quiet --soname-synonyms=somalloc=nouserintercepts "$exe" --gtest_filter="$filter" --gtest_brief=1
