#!/usr/bin/env bash
# The demo sampler: it recovers planted factors, reads the same matrix alike
# from all three file formats, writes its factors, and rejects bad input with
# one error line naming the file and line.
set -u
demo=${1:?usage: demo_test.sh POISSON_NMF}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

"$demo" --help >"$work/help" 2>&1 && grep -q -- '--counts FILE' "$work/help" && grep -q -- '--burn-in' "$work/help" \
  && pass "--help" || fail "--help"

# A small planted problem must be recovered well.
if "$demo" --rows 80 --cols 60 --components 3 --sweeps 80 --burn-in 40 --seed 4 --out "$work/planted" \
     >"$work/out" 2>"$work/err"; then
  w=$(sed -n 's/.*matched components): W \([0-9.]*\), H \([0-9.]*\)/\1 \2/p' "$work/out")
  if [ -n "$w" ] && awk -v a="${w% *}" -v b="${w#* }" 'BEGIN { exit !(a >= 0.9 && b >= 0.9) }'; then
    pass "planted components recovered ($w)"
  else
    fail "planted components not recovered: '$w'"; cat "$work/out"
  fi
  grep -q 'sweep 80/80' "$work/err" && pass "progress reaches the last sweep" || fail "no final progress line"
  shape() { awk -F, '{ if (NF != n && NR > 1) bad = 1; n = NF; for (i = 1; i <= NF; ++i) if (!($i > 0)) bad = 1 }
                     END { print (bad ? "bad" : NR "x" n) }' "$1"; }
  [ "$(shape "$work/planted_W.csv")" = 80x3 ] && [ "$(shape "$work/planted_H.csv")" = 3x60 ] \
    && pass "--out writes positive 80x3 W and 3x60 H" \
    || fail "--out shapes: W $(shape "$work/planted_W.csv"), H $(shape "$work/planted_H.csv")"
else
  fail "planted run exited non-zero"; cat "$work/err"
fi

# One 3 x 4 matrix in each format; with one seed the fits must agree exactly.
printf '%s\n' '%%MatrixMarket matrix coordinate integer general' '% comment' '3 4 5' \
  '1 1 5' '2 3 7' '3 4 2' '1 4 1' '3 2 4' >"$work/m.mtx"
printf '%s\n' '%%MatrixMarket matrix array real general' '3 4' 5 0 0 0 0 4 0 7 0 1 0 2 >"$work/a.mtx"
printf '%s\n' '# counts' '5,0,0,1' '0, 0, 7, 0' '0,4,0,2' >"$work/c.csv"
for f in m.mtx a.mtx c.csv; do
  "$demo" --counts "$work/$f" --components 2 --sweeps 30 --burn-in 10 --out "$work/fit_$f" >/dev/null 2>"$work/err" \
    || { fail "fitting $f"; cat "$work/err"; }
done
if cmp -s "$work/fit_m.mtx_W.csv" "$work/fit_a.mtx_W.csv" && cmp -s "$work/fit_m.mtx_W.csv" "$work/fit_c.csv_W.csv" \
   && cmp -s "$work/fit_m.mtx_H.csv" "$work/fit_a.mtx_H.csv" && cmp -s "$work/fit_m.mtx_H.csv" "$work/fit_c.csv_H.csv"; then
  pass "coordinate, array and CSV files give the same fit"
else
  fail "the three formats give different fits"
fi

# Bad input: a non-zero exit, nothing on stdout and one line on stderr that
# names the file and, for a malformed file, the line.
expect_error() {
  local name=$1 want=$2; shift 2
  "$demo" "$@" >"$work/out" 2>"$work/err"
  local status=$?
  if [ "$status" -ne 0 ] && [ ! -s "$work/out" ] && [ "$(wc -l <"$work/err")" -eq 1 ] && grep -q -- "$want" "$work/err"; then
    pass "$name: $(cat "$work/err")"
  else
    fail "$name: status $status, stderr '$(cat "$work/err")', want '$want'"
  fi
}
bad() { printf '%s\n' "${@:2}" >"$work/$1"; }
bad text.csv '1,2' '3,x'
expect_error "word in a CSV" "text.csv:2: 'x' is not a number" --counts "$work/text.csv"
bad ragged.csv '1,2,3' '' '4,5'
expect_error "ragged CSV" "ragged.csv:3: expected 3 fields" --counts "$work/ragged.csv"
bad frac.csv '1,2.5'
expect_error "fractional count" "frac.csv:1: count '2.5'" --counts "$work/frac.csv"
bad neg.csv '1,-2'
expect_error "negative count" "neg.csv:1: count '-2'" --counts "$work/neg.csv"
bad range.mtx '%%MatrixMarket matrix coordinate real general' '2 2 1' '3 1 4'
expect_error "index out of range" "range.mtx:3: row '3'" --counts "$work/range.mtx"
bad short.mtx '%%MatrixMarket matrix coordinate real general' '2 2 2' '1 1 4'
expect_error "too few entries" "short.mtx:3: expected 2 entries, found 1" --counts "$work/short.mtx"
bad long.mtx '%%MatrixMarket matrix array real general' '1 2' '1' '2' '3'
expect_error "too many values" "long.mtx:5: more entries" --counts "$work/long.mtx"
bad sym.mtx '%%MatrixMarket matrix coordinate real symmetric' '2 2 1' '1 1 4'
expect_error "unsupported symmetry" "sym.mtx:1: only 'general'" --counts "$work/sym.mtx"
bad size.mtx '%%MatrixMarket matrix coordinate real general' '2 two 1'
expect_error "bad size line" "size.mtx:2: column count 'two'" --counts "$work/size.mtx"
: >"$work/empty.csv"
expect_error "empty file" "empty.csv:1: the file is empty" --counts "$work/empty.csv"
expect_error "missing file" "cannot open $work/none.csv" --counts "$work/none.csv"
expect_error "burn-in too long" "--burn-in (9) must be below --sweeps (9)" --sweeps 9 --burn-in 9
expect_error "unknown option" "unknown option '--colums'" --colums 3
expect_error "zero components" "--components wants" --components 0

echo "$failures failures"
[ "$failures" -eq 0 ]
