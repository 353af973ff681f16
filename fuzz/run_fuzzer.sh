#!/usr/bin/env bash
# Runs one fuzz target for a bounded time: run_fuzzer.sh EXE SEED_CORPUS WORK_DIR SECONDS
# New inputs go to WORK_DIR; the committed seed corpus is only read.  A crash
# leaves its input in WORK_DIR and fails the run.
set -eu
exe=$1 seeds=$2 work=$3 seconds=${4:-60}
mkdir -p "$work/corpus"
exec "$exe" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 \
  -artifact_prefix="$work/" "$work/corpus" "$seeds"
