#!/usr/bin/env bash
# Runs each fuzz target once over its corpus with clang's source-based
# coverage and prints what llvm-cov sees of the library's own sources.
#   coverage.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1 root=$2
profdata=$(command -v llvm-profdata || command -v llvm-profdata-14)
cov=$(command -v llvm-cov || command -v llvm-cov-14)
rm -rf "$build/profiles" && mkdir -p "$build/profiles"
objects=()
for f in multi_sample binary_search; do
  LLVM_PROFILE_FILE="$build/profiles/$f-%p.profraw" \
    "$build/${f}_fuzz" -runs=0 "$root/fuzz/corpus/$f" >"$build/profiles/$f.log" 2>&1 \
    || { cat "$build/profiles/$f.log"; exit 1; }
  objects+=(-object "$build/${f}_fuzz")
done
"$profdata" merge -sparse "$build"/profiles/*.profraw -o "$build/profiles/merged.profdata"
sources=("$root"/src/*.cpp "$root"/src/*.h)
"$cov" report "${objects[@]:1}" -instr-profile="$build/profiles/merged.profdata" "${sources[@]}"
# Every function of the library must be reached: llvm-cov lists any that is not.
missed=$("$cov" report "${objects[@]:1}" -instr-profile="$build/profiles/merged.profdata" \
           -show-functions "${sources[@]}" | awk '$1 ~ /^[_A-Za-z]/ && $1 !~ /^(Name|TOTAL|File)/ && $4 > 0 && $4 == $5 ' || true)
"$cov" export "${objects[@]:1}" -instr-profile="$build/profiles/merged.profdata" -summary-only \
  "${sources[@]}" >"$build/profiles/summary.json"
/usr/bin/python3 - "$build/profiles/summary.json" <<'PY'
import json, sys
t = json.load(open(sys.argv[1]))["data"][0]["totals"]
f, l, r = t["functions"], t["lines"], t["regions"]
print(f"library coverage over the fuzz corpora: functions {f['covered']}/{f['count']}, "
      f"lines {l['percent']:.1f}% ({l['covered']}/{l['count']}), regions {r['percent']:.1f}%")
sys.exit(0 if f["covered"] == f["count"] else 1)
PY
