#!/usr/bin/env bash
# Reading speed of the count reader on synthetic files:
#   bench/read_bench.sh [WORK_DIR] [REPS]   (default /tmp/sk_read_bench, 3)
# Makes a ~340 MB Matrix Market file (once), the same shuffled, its gzip
# and a dense CSV of small counts, and reads each on 1 and 2 threads, the
# single-thread runs pinned to one core; each line is the best of REPS
# reads.  Not part of `make test`.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-/tmp/sk_read_bench}
reps=${2:-3}
mkdir -p "$work"
exe=$work/read_bench
g++ -std=c++20 -O3 -DNDEBUG -ffp-contract=off -Wall -Wextra -Wshadow -pthread -DSK_NMF_HAVE_ZLIB \
  -I"$root/sampler/src" "$root/bench/read_bench.cpp" "$root/sampler/src/formats.cpp" \
  "$root/sampler/src/shared_memory.cpp" -lz -o "$exe"
mtx=$work/big.mtx shuffled=$work/shuffled.mtx csv=$work/dense.csv
[ -s "$mtx" ] || /usr/bin/python3 "$root/bench/synthetic_counts.py" "$mtx" --rows 200000 --cols 20000 --counts 25000000
[ -s "$shuffled" ] || { head -2 "$mtx"; tail -n +3 "$mtx" | shuf --random-source=<(yes); } >"$shuffled"
[ -s "$mtx.gz" ] || gzip -1 -c "$mtx" >"$mtx.gz"
[ -s "$csv" ] || /usr/bin/python3 - "$csv" <<'PY'
import sys
import numpy as np
rng = np.random.default_rng(1)
with open(sys.argv[1], "w") as f:
    for _ in range(20):  # 100,000 rows of 1,000 columns, mostly 0 to 3
        np.savetxt(f, rng.poisson(0.7, size=(5000, 1000)), fmt="%d", delimiter=",")
PY
text=$(gzip -dc "$mtx.gz" | wc -c)
# The fastest of the reads (the machine may be busy with other work).
best() {
  for _ in $(seq "$reps"); do "$@"; done | awk -F, '{ print $NF "\t" $0 }' | sort -n | tail -1 | cut -f2 | sed 's/,[0-9]*$//'
}
for f in "$mtx" "$shuffled" "$csv" "$mtx.gz"; do
  bytes=$(stat -L -c %s "$f"); [ "$f" = "$mtx.gz" ] && bytes=$text
  best taskset -c 0 "$exe" "$f" 1 "$bytes"
  best "$exe" "$f" 2 "$bytes"
done
