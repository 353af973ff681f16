#!/usr/bin/env bash
# Fails if a parameterised GoogleTest case is named by its index alone
# ("Case/7") or shows its parameter as raw bytes ("4-byte object <03-00>"),
# which is what CTest then prints.
#   check_test_names.sh TEST_EXECUTABLE...
set -u
status=0
for exe in "$@"; do
  bad=$("$exe" --gtest_list_tests | grep -E -- '-byte object|^  [^ ]*/[0-9]+( |$)' || true)
  if [ -n "$bad" ]; then
    echo "FAIL: $(basename "$exe") has unreadable test names:"
    echo "$bad" | head -5
    status=1
  else
    echo "ok: $(basename "$exe")"
  fi
done
exit $status
