#!/bin/sh
# Instructions per draw of the floor, the baseline and the library, counted by
# callgrind over one untimed pass of each (multi_sample_bench --count): a
# steady unit where timings on a shared machine are not.
#
#   bench/count_instructions.sh BENCH_EXECUTABLE [FILTER[,FILTER...]]
#
# Prints one line per workload: its draws and the three counts per draw.
set -eu
bench=$1
filter=${2:-}
command -v valgrind >/dev/null || { echo "$0: needs valgrind" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '%-16s %10s %12s %12s %12s\n' workload draws floor baseline library
for name in $("$bench" --list ${filter:+--filter="$filter"}); do
  line="$name"
  for who in floor baseline library; do
    out="$work/$who.out"
    draws=$(valgrind --tool=callgrind --collect-atstart=no --toggle-collect='*counted_pass*' \
              --callgrind-out-file="$out" "$bench" --filter="$name" --count="$who" 2>/dev/null |
            awk -v n="$name" '$1 == n { print $2 }')
    ir=$(awk '/^(summary|totals):/ { print $2; exit }' "$out")
    line="$line $ir"
  done
  echo "$line" | awk -v d="$draws" '{ printf "%-16s %10d %12.1f %12.1f %12.1f\n", $1, d, $2 / d, $3 / d, $4 / d }'
done
