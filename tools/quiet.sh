#!/usr/bin/env bash
# quiet.sh LOG COMMAND...: runs COMMAND with its output in LOG; prints one
# line when it succeeds and the whole log when it fails.
set -u
log=${1:?usage: quiet.sh LOG COMMAND...}
shift
mkdir -p "$(dirname "$log")"
if "$@" >"$log" 2>&1; then
  warnings=$(grep -c -E 'warning:' "$log")
  [ "$warnings" -eq 0 ] || echo "$warnings compiler warnings, see $log"
  echo "ok: $* (log: $log)"
else
  status=$?
  cat "$log"
  echo "FAILED ($status): $*"
  exit "$status"
fi
