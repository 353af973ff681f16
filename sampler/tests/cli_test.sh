#!/usr/bin/env bash
# The poisson_nmf command line: every option in --help, the same fit from
# every file format, compression and standard input, the outputs it writes,
# and one error line (prog: file:line: message) with a non-zero exit for
# each bad input.
set -u
prog=${1:?usage: cli_test.sh POISSON_NMF}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

# --help lists every option the parser knows, each with its default.
"$prog" --help >"$work/help" 2>&1 || fail "--help exits non-zero"
for option in counts rows cols components sweeps burn-in shape rate holdout seed out quiet help \
    jobs checkpoint checkpoint-every resume header; do
  grep -q -- "--$option" "$work/help" || fail "--help does not list --$option"
  grep -q -- "\"--$option\"" "$(dirname "$0")/../cli/poisson_nmf.cpp" || fail "--$option in --help is not parsed"
done
defaults=$(grep -c 'default' "$work/help")
[ "$defaults" -ge 16 ] && pass "--help lists every option ($defaults defaults named)" || fail "--help names only $defaults defaults"

# The planted default: components recovered, factors written with their shapes.
if "$prog" --rows 80 --cols 60 --components 3 --sweeps 100 --seed 4 --out "$work/planted" >"$work/out" 2>"$work/err"; then
  r=$(sed -n 's/.*matched components): W \([0-9.]*\), H \([0-9.]*\)/\1 \2/p' "$work/out")
  awk -v a="${r% *}" -v b="${r#* }" 'BEGIN { exit !(a >= 0.9 && b >= 0.9) }' \
    && pass "planted components recovered ($r)" || fail "planted components not recovered: '$r'"
  shape() { awk -F, '{ if (NF != n && NR > 1) bad = 1; n = NF; for (i = 1; i <= NF; ++i) if (!($i > 0)) bad = 1 }
                     END { print (bad ? "bad" : NR "x" n) }' "$1"; }
  [ "$(shape "$work/planted_W.csv")" = 80x3 ] && [ "$(shape "$work/planted_H.csv")" = 3x60 ] \
    && pass "--out writes positive 80x3 W and 3x60 H" \
    || fail "--out shapes: W $(shape "$work/planted_W.csv"), H $(shape "$work/planted_H.csv")"
  grep -q 'sweep 100/100' "$work/err" && pass "progress reaches the last sweep" || fail "no final progress line"
else
  fail "planted run exited non-zero: $(cat "$work/err")"
fi
# A log gets a line now and then, never carriage returns or escapes.
[ "$(grep -c '^sweep' "$work/err")" -le 11 ] && ! grep -q $'[\r\033]' "$work/err" \
  && pass "progress in a log: $(grep -c '^sweep' "$work/err") plain lines" || fail "progress in a log"
# On a terminal, one line rewritten and cleared to its end.
if command -v script >/dev/null; then
  script -qec "$prog --rows 40 --cols 30 --components 2 --sweeps 2000 >/dev/null" /dev/null >"$work/tty" 2>&1
  grep -q $'\r' "$work/tty" && grep -q $'\033\\[K' "$work/tty" \
    && pass "progress on a terminal rewrites one line and clears it" || fail "progress on a terminal"
fi

# --sweeps alone takes half of them as burn-in.
"$prog" --rows 20 --cols 20 --components 2 --sweeps 10 --quiet >/dev/null 2>"$work/err" \
  && pass "--sweeps 10 alone" || fail "--sweeps 10 alone: $(cat "$work/err")"

# One 3 x 4 matrix in every format; with one seed the fits agree exactly.
printf '%s\n' '%%MatrixMarket matrix coordinate integer general' '% comment' '3 4 6' \
  '1 1 5' '2 3 7' '3 4 2' '1 4 1' '3 2 3' '3 2 1' >"$work/m.mtx"
printf '%s\n' '%%MatrixMarket matrix array real general' '3 4' 5 0 0 0 0 4 0 7 0 1 0 2 >"$work/a.mtx"
printf '%s\n' '# counts' '5,0,0,1' '0, 0, 7, 0' '0,4,0,2' >"$work/c.csv"
printf '%s\r\n' 'doc,"w1",w2,w3' '5,0,0,1' '0,0,7,0' '0,4,0,2' >"$work/header.csv"
printf '\xef\xbb\xbf%s\n' '5,0,0,1' >"$work/bom.csv"; printf '%s\n' '0,0,7,0' '0,4,0,2' >>"$work/bom.csv"
gzip -c "$work/m.mtx" >"$work/m.mtx.gz"
gzip -c "$work/c.csv" >"$work/c.csv.gz"; gzip -c "$work/c.csv" >>"$work/c.csv.gz"  # two members: 6 rows
opts=(--components 2 --sweeps 30 --seed 3 --quiet)
# A build without zlib names the format instead (configured with
# -DSAMPLING_KERNELS_ZLIB=OFF or without zlib1g-dev).
gz=(m.mtx.gz gzstdin)
if "$prog" --counts "$work/m.mtx.gz" "${opts[@]}" 2>&1 | grep -q "no gzip support"; then
  gz=()
  pass "no gzip support in this build: the error names the format"
fi
for f in m.mtx a.mtx c.csv header.csv bom.csv ${gz[0]:+m.mtx.gz}; do
  "$prog" --counts "$work/$f" "${opts[@]}" --out "$work/fit_$f" >/dev/null 2>"$work/err" \
    || fail "fitting $f: $(cat "$work/err")"
done
"$prog" --counts - "${opts[@]}" --out "$work/fit_stdin" <"$work/m.mtx" >/dev/null 2>"$work/err" || fail "stdin: $(cat "$work/err")"
if [ ${#gz[@]} -gt 0 ]; then
  gzip -c "$work/a.mtx" | "$prog" --counts - "${opts[@]}" --out "$work/fit_gzstdin" >/dev/null 2>"$work/err" \
    || fail "gzip on stdin: $(cat "$work/err")"
fi
same=1
for f in a.mtx c.csv header.csv bom.csv stdin "${gz[@]}"; do
  for m in W H; do
    g=$work/fit_$f; [ -e "${g}_$m.csv" ] || g=$work/fit_$f
    cmp -s "$work/fit_m.mtx_$m.csv" "${g}_$m.csv" || { same=0; echo "  $f differs ($m)"; }
  done
done
[ $same = 1 ] && pass "coordinate, array, CSV, header row, BOM, gzip and stdin give the same fit" \
  || fail "the formats give different fits"
if [ ${#gz[@]} -gt 0 ]; then
  "$prog" --counts "$work/c.csv.gz" "${opts[@]}" --out "$work/two" >/dev/null 2>&1 \
    && [ "$(wc -l <"$work/two_W.csv")" -eq 6 ] && pass "concatenated gzip members are read whole" || fail "two gzip members"
fi

# No cap on cells: 100,000 x 1,000,000 (1e11 cells) with a few counts fits in
# memory that grows with the rows, columns and non-zeros only.
printf '%s\n' '%%MatrixMarket matrix coordinate integer general' '100000 1000000 3' \
  '1 1 4' '50000 999999 2' '100000 7 1' >"$work/wide.mtx"
limit=4000000
ldd "$prog" | grep -q libasan && limit=unlimited  # AddressSanitizer reserves terabytes
( ulimit -v $limit; "$prog" --counts "$work/wide.mtx" --components 2 --sweeps 4 --quiet --out "$work/wide" ) \
  >/dev/null 2>"$work/err" && [ "$(wc -l <"$work/wide_W.csv")" -eq 100000 ] \
  && pass "a 100000 x 1000000 matrix fits under 4 GB of address space" || fail "wide matrix: $(cat "$work/err")"

# A fit says what memory it needs before it starts (and refuses at once,
# with that figure, when this process cannot have it: below).
"$prog" --rows 20 --cols 20 --components 2 --sweeps 4 >/dev/null 2>"$work/err"
grep -q "^poisson_nmf: the fit needs [0-9.]* [KMGiBbytes]* (factors, tallies and sums .*working copies" "$work/err" \
  && pass "the fit's memory is stated: $(grep 'fit needs' "$work/err")" || fail "no memory figure before the fit"
# --holdout that holds out nothing says so.
printf '%s\n' '%%MatrixMarket matrix coordinate integer general' '2 2 1' '1 1 1' >"$work/one.mtx"
"$prog" --counts "$work/one.mtx" --holdout 0.01 --sweeps 4 --quiet >"$work/out" 2>&1
grep -q '^held-out log-likelihood: none, since --holdout 0.01 held out none of the 1 counts' "$work/out" \
  && ! grep -q 'per count, 0 held-out' "$work/out" && pass "--holdout with nothing held out" \
  || fail "--holdout with nothing held out: $(cat "$work/out")"
# --holdout reports a finite held-out log-likelihood per count.
"$prog" --rows 100 --cols 80 --components 3 --sweeps 60 --holdout 0.2 --quiet >"$work/out" 2>&1
ho=$(sed -n 's/^held-out log-likelihood: .* (\(.*\) per count, \([0-9]*\) held-out counts)/\1 \2/p' "$work/out")
awk -v a="${ho% *}" -v n="${ho#* }" 'BEGIN { exit !(a < 0 && a > -10 && n > 0) }' \
  && pass "--holdout 0.2: $ho" || fail "--holdout output: '$(cat "$work/out")'"

# Bad input: a non-zero exit, nothing on stdout and one line on stderr that
# starts with the program's name and names the file and line.
expect_error() {
  local name=$1 want=$2; shift 2
  "$prog" "$@" >"$work/out" 2>"$work/err"
  local status=$?
  if [ "$status" -ne 0 ] && [ ! -s "$work/out" ] && [ "$(wc -l <"$work/err")" -eq 1 ] \
     && grep -q "^poisson_nmf: " "$work/err" && grep -qF -- "$want" "$work/err"; then
    pass "$name: $(cat "$work/err")"
  else
    fail "$name: status $status, stderr '$(cat "$work/err")', stdout '$(head -c 200 "$work/out")', want '$want'"
  fi
}
bad() { printf '%s\n' "${@:2}" >"$work/$1"; }
# More than any machine has: refused before anything is allocated.
printf '%s\n' '%%MatrixMarket matrix coordinate integer general' '1 2147483647 1' '1 1 3' >"$work/vast.mtx"
expect_error "a fit larger than memory" "out of memory: the fit of (1 x 2147483647) counts with 100 factors needs " \
  --counts "$work/vast.mtx" --components 100
grep -q "working copies" "$work/err" || fail "the refusal does not say what the memory is for"
# Known from the size line: refused before 16 GiB of row offsets are filled.
printf '%s\n' '%%MatrixMarket matrix coordinate integer general' '2147483647 1 0' >"$work/rows.mtx"
start=$(date +%s)
expect_error "rows beyond memory" "rows.mtx:2: out of memory: the fit of (2147483647 x 1) counts with 5 factors needs" \
  --counts "$work/rows.mtx"
grep -q "(the row offsets 16.0 GiB, factors, tallies and sums" "$work/err" || fail "the refusal does not count the row offsets"
[ $(( $(date +%s) - start )) -le 5 ] && pass "refused from the size line" || fail "rows beyond memory refused late"
bad text.csv '1,2' '3,x'
expect_error "word in a CSV" "text.csv:2: 'x' is not a number" --counts "$work/text.csv"
bad ragged.csv '1,2,3' '' '4,5'
expect_error "ragged CSV" "ragged.csv:3: expected 3 fields" --counts "$work/ragged.csv"
bad frac.csv 'a,b' '1,2.5'
expect_error "fractional count after a header" "frac.csv:2: count '2.5'" --counts "$work/frac.csv"
bad neg.csv '1,-2'
expect_error "negative count" "neg.csv:1: count '-2'" --counts "$work/neg.csv"
bad nan.csv '1,nan'
expect_error "NaN count" "nan.csv:1: count 'nan'" --counts "$work/nan.csv"
bad huge.csv '1,2147483648'
expect_error "count above 2^31 - 1" "huge.csv:1: count '2147483648'" --counts "$work/huge.csv"
bad onlyheader.csv 'a,b,c'
expect_error "header and no counts" "onlyheader.csv:1: no counts" --counts "$work/onlyheader.csv"
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
bad big.mtx '%%MatrixMarket matrix coordinate real general' '2147483648 2 1'
expect_error "dimension of 2^31" "big.mtx:2: row count '2147483648' is not from 1 to 2147483647" --counts "$work/big.mtx"
bad sum.mtx '%%MatrixMarket matrix coordinate integer general' '2 2 2' '1 1 2147483647' '1 1 1'
expect_error "repeated entries overflow" "repeated entries of cell (1, 1)" --counts "$work/sum.mtx"
: >"$work/empty.csv"
expect_error "empty file" "empty.csv:1: the file is empty" --counts "$work/empty.csv"
if [ ${#gz[@]} -gt 0 ]; then
  head -c 100 "$work/m.mtx.gz" >"$work/cut.gz"
  expect_error "truncated gzip" ": the gzip data is truncated" --counts "$work/cut.gz"
  grep -q "cut.gz:[0-9]*: the gzip" "$work/err" && pass "truncated gzip: file and line named" || fail "truncated gzip: no file:line"
  printf '\x1f\x8b\x08\x00garbage-garbage' >"$work/bad.gz"
  expect_error "corrupt gzip" "bad.gz:1: corrupt gzip data" --counts "$work/bad.gz"
else
  expect_error "gzip without zlib" "m.mtx.gz:1: the file is gzip-compressed, and this build has no gzip support" \
    --counts "$work/m.mtx.gz"
fi
printf 'BZh91AY&SY' >"$work/x.bz2"
expect_error "bzip2 file" "x.bz2:1: the file is bzip2-compressed" --counts "$work/x.bz2"
printf '\xff\xfe1\x002\x00' >"$work/u16.csv"
expect_error "UTF-16 file" "u16.csv:1: the file is UTF-16" --counts "$work/u16.csv"
expect_error "missing file" "cannot open $work/none.csv" --counts "$work/none.csv"
expect_error "directory as input" "is a directory" --counts "$work"
expect_error "empty stdin" "<stdin>:1: the file is empty" --counts - </dev/null
expect_error "burn-in too long" "--burn-in (9) must be below --sweeps (9)" --sweeps 9 --burn-in 9
expect_error "unknown option" "unknown option '--colums'" --colums 3
expect_error "zero components" "--components wants" --components 0
expect_error "missing value" "--sweeps needs a value" --sweeps
expect_error "an option where a value should be" "--counts needs a value, not the option '--sweeps'" --counts --sweeps 3
expect_error "a value on a flag" "--quiet takes no value, not '0'" --quiet=0
expect_error "an empty --counts" "--counts wants a file name or '-', not ''" --counts ""
expect_error "an empty --counts=" "--counts wants a file name or '-', not ''" --counts=
# Priors the sampler's numbers cannot carry are refused; at the ends of the
# range every fit comes out finite.
for prior in "--shape 5e-324" "--shape 1e308" "--rate 1e300" "--rate 1e-11" "--background-shape 2e10"; do
  expect_error "prior $prior" "${prior% *} wants a number from 1e-10 to 1e10" $prior
done
for prior in "1e-10 1e-10" "1e-10 1e10" "1e10 1e-10" "1e10 1e10" "1e-10 auto" "1e10 auto"; do
  a=${prior% *} b=${prior#* }
  "$prog" --rows 60 --cols 40 --components 3 --sweeps 30 --shape $a --rate $b --background yes --background-shape $a \
    --quiet --out "$work/prior" >"$work/out" 2>&1 \
    && grep -q '^log-likelihood of the posterior-mean fit: -[0-9]' "$work/out" \
    && cat "$work/prior_W.csv" "$work/prior_H.csv" "$work/prior_background.csv" | tr , '\n' \
       | awk '!($1 + 0 >= 0 && $1 + 0 < 1e300) { bad = 1 } END { exit bad }' \
    && pass "shape $a, rate $b: a finite fit" || fail "shape $a, rate $b: $(head -c 300 "$work/out")"
done
expect_error "sweeps Auto" "--sweeps wants a whole number from 1 to 2147483647 or 'auto', not 'Auto'" --sweeps Auto
expect_error "auto with too long a burn-in" "--burn-in (1001) must be at most 1000 with --sweeps auto" \
  --sweeps auto --burn-in 1001
expect_error "shape zero" "--shape wants a number from 1e-10 to 1e10, not '0'" --shape 0
expect_error "rate word" "--rate wants a number from 1e-10 to 1e10 or 'auto', not 'fast'" --rate fast
expect_error "holdout of 1" "--holdout wants a fraction" --holdout 1
expect_error "seed too large" "--seed wants a whole number from 0 to 4294967295" --seed 4294967296
# --out is checked before the fit: a long fit into a missing directory fails
# at once and writes nothing.
start=$(date +%s)
expect_error "--out into a missing directory" "cannot write $work/nowhere/x_W.csv: directory $work/nowhere" \
  --out "$work/nowhere/x" --rows 3000 --cols 3000 --sweeps 100000
[ $(( $(date +%s) - start )) -le 5 ] && pass "--out failed before the fit" || fail "--out was checked late"
mkdir "$work/x_H.csv"
expect_error "--out onto a directory" "cannot write $work/x_H.csv: it is a directory" --out "$work/x"
[ ! -e "$work/x_W.csv" ] && pass "nothing written when --out fails" || fail "x_W.csv written despite the error"
ln -s "$work/nowhere/h.csv" "$work/dangling_H.csv"
expect_error "--out onto a link into a missing directory" "cannot write $work/dangling_H.csv: directory $work/nowhere" \
  --out "$work/dangling" --rows 3000 --cols 3000 --sweeps 100000
expect_error "--out into /proc" "cannot write /proc/self/fit_W.csv: " --out /proc/self/fit --rows 3000 --cols 3000 --sweeps 100000
[ $(( $(date +%s) - start )) -le 15 ] && pass "unwritable --out paths fail before the fit" || fail "--out was checked late"
# W and H are replaced together or not at all: with H's directory gone by
# the time it is written, the old W stays as it was.
small=(--rows 5 --cols 2000 --components 2 --sweeps 4 --quiet)
mkdir "$work/gone"; echo old >"$work/pair_W.csv"; ln -s gone/h.csv "$work/pair_H.csv"; mkfifo "$work/feed"
"$prog" --counts "$work/feed" --components 2 --sweeps 4 --quiet --out "$work/pair" >/dev/null 2>"$work/err" &
pid=$!
for _ in $(seq 100); do ls "$work/gone" | grep -q 'h.csv.tmp' && break; sleep 0.05; done
rm -rf "$work/gone"; cat "$work/m.mtx" >"$work/feed"; wait $pid; status=$?
[ $status -eq 1 ] && grep -q "^poisson_nmf: cannot write $work/pair_H.csv: No such file or directory" "$work/err" \
  && [ "$(cat "$work/pair_W.csv")" = old ] && pass "H failing to write leaves the old W: $(cat "$work/err")" \
  || fail "H failing to write: status $status, '$(cat "$work/err")', W now $(head -c 40 "$work/pair_W.csv")"
# A link is written through, to where it points.
echo old >"$work/target.csv"; ln -s target.csv "$work/linked_W.csv"
"$prog" "${small[@]}" --out "$work/linked" >/dev/null 2>&1 && [ -L "$work/linked_W.csv" ] \
  && [ "$(wc -l <"$work/target.csv")" -eq 5 ] && pass "--out writes through a link" || fail "--out through a link"
# Stopped by a signal mid-fit: its temporary files go with it.
"$prog" --rows 300 --cols 300 --sweeps 1000000 --quiet --out "$work/stopped" >/dev/null 2>&1 &
pid=$!
for _ in $(seq 100); do ls "$work" | grep -q 'stopped_H.csv.tmp' && break; sleep 0.05; done
ls "$work" | grep -q 'stopped_H.csv.tmp' || fail "no temporary --out file during the fit"
kill -TERM $pid; wait $pid
ls "$work" | grep -q 'tmp' && fail "temporary files left behind: $(ls "$work" | grep tmp)" \
  || pass "no temporary files left after a failed write or a signal"
# Results on a standard output that cannot take them are an error.
"$prog" "${small[@]}" >/dev/full 2>"$work/err"; status=$?
[ $status -eq 1 ] && grep -q "^poisson_nmf: cannot write standard output: No space left on device" "$work/err" \
  && pass "a full standard output: $(cat "$work/err")" || fail "standard output on /dev/full: status $status"

# Several processes: six row blocks of 1024 rows and a part block.
awk 'BEGIN { srand(3); n = 0; for (i = 1; i <= 6500; ++i) for (j = 1; j <= 40; ++j) if (rand() < 0.1) { e[n++] = i " " j " " int(1 + 3 * rand()) }
             print "%%MatrixMarket matrix coordinate integer general"; print 6500, 40, n; for (k = 0; k < n; ++k) print e[k] }' >"$work/jobs.mtx"
jobs_opts=(--counts "$work/jobs.mtx" --components 3 --sweeps 12 --seed 9 --quiet)
for j in 1 2 3; do "$prog" "${jobs_opts[@]}" --jobs $j --out "$work/jobs$j" >"$work/jobs$j.out" 2>&1 || fail "--jobs $j: $(cat "$work/jobs$j.out")"; done
cmp -s "$work/jobs1_W.csv" "$work/jobs2_W.csv" && cmp -s "$work/jobs1_W.csv" "$work/jobs3_W.csv" \
  && cmp -s "$work/jobs1_H.csv" "$work/jobs2_H.csv" && cmp -s "$work/jobs1_H.csv" "$work/jobs3_H.csv" \
  && grep -q "on 3 processes" "$work/jobs3.out" && pass "--jobs 1, 2 and 3 give the same bits" || fail "--jobs changes the fit"

# Under a process limit no thread or process can start: the reader parses
# on its own thread and the fit runs on one process, with the same bits.
# (RLIMIT_NPROC does not bind root, so root runs it as nobody.)
limited=()
if [ "$(id -u)" -ne 0 ]; then limited=(prlimit --nproc=1)
elif command -v setpriv >/dev/null && id nobody >/dev/null 2>&1; then
  limited=(prlimit --nproc=1 setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups)
  chmod 755 "$work"; mkdir -m 777 "$work/limited"
fi
if [ ${#limited[@]} -gt 0 ]; then
  [ -d "$work/limited" ] || mkdir "$work/limited"
  # (LeakSanitizer's check at exit needs a thread of its own.)
  ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 "${limited[@]}" "$prog" --counts "$work/jobs.mtx" --components 3 --sweeps 12 --seed 9 --jobs 3 --out "$work/limited/fit" >"$work/out" 2>"$work/err"; status=$?
  [ $status -eq 0 ] && cmp -s "$work/jobs1_W.csv" "$work/limited/fit_W.csv" && cmp -s "$work/jobs1_H.csv" "$work/limited/fit_H.csv" \
    && grep -q "^poisson_nmf: started 0 of 2 worker processes (a process: Resource temporarily unavailable)" "$work/err" \
    && grep -q "on 1 process" "$work/out" && pass "no process or thread can start: the same fit on one" \
    || fail "under a process limit: status $status, $(grep -v '^sweep' "$work/err")"
else
  echo "skipped: no way to run under a process limit here"
fi

# Killed at any moment and resumed: the bits of a fit never stopped.
ckpt=$work/fit.ckpt
"$prog" "${jobs_opts[@]}" --sweeps 40 --jobs 1 --out "$work/whole" >/dev/null 2>&1
resumed=1
for wait in 0.05 0.2 0.4; do
  rm -f "$ckpt"
  "$prog" "${jobs_opts[@]}" --sweeps 40 --jobs 2 --checkpoint "$ckpt" --checkpoint-every 3 >/dev/null 2>&1 &
  pid=$!
  for _ in $(seq 200); do [ -e "$ckpt" ] && break; sleep 0.01; done
  sleep "$wait"
  kill -9 $pid 2>/dev/null; wait $pid 2>/dev/null
  "$prog" "${jobs_opts[@]}" --sweeps 40 --jobs 3 --checkpoint "$ckpt" --resume --out "$work/resumed" >"$work/resumed.out" 2>&1 \
    || { resumed=0; echo "  resume failed: $(cat "$work/resumed.out")"; }
  cmp -s "$work/whole_W.csv" "$work/resumed_W.csv" && cmp -s "$work/whole_H.csv" "$work/resumed_H.csv" \
    || { resumed=0; echo "  resumed after ${wait}s differs: $(grep time "$work/resumed.out")"; }
done
[ $resumed = 1 ] && pass "killed fits resumed from their checkpoints equal the fit never stopped" || fail "resumed fits"
ls "$work" | grep -q 'fit.ckpt.tmp' && fail "a temporary checkpoint was left behind" || true

# A worker that dies ends the fit at once with one line, never a hang.
"$prog" "${jobs_opts[@]}" --sweeps 1000000 --jobs 2 >"$work/out" 2>"$work/err" &
pid=$!
for _ in $(seq 300); do worker=$(pgrep -P $pid sk_nmf_worker) && break; sleep 0.01; done
start=$(date +%s)
kill -9 $worker
for _ in $(seq 100); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
if kill -0 $pid 2>/dev/null; then
  kill -9 $pid; fail "the fit went on after its worker was killed"
else
  wait $pid; status=$?
  [ $status -eq 1 ] && [ "$(wc -l <"$work/err")" -eq 1 ] && grep -q "^poisson_nmf: worker process 1 of 1 was killed by signal 9" "$work/err" \
    && pass "a killed worker ends the fit in $(( $(date +%s) - start )) s: $(cat "$work/err")" \
    || fail "killed worker: status $status, stderr '$(cat "$work/err")'"
fi

# Without the worker program beside it: one process by default, an error
# when processes are asked for.
mkdir "$work/alone" && cp "$prog" "$work/alone/"
env -u SK_NMF_WORKER "$work/alone/poisson_nmf" "${jobs_opts[@]}" --out "$work/alone/fit" >"$work/out" 2>&1 \
  && grep -q "on 1 process" "$work/out" && cmp -s "$work/jobs1_W.csv" "$work/alone/fit_W.csv" \
  && pass "no worker program: the same fit on one process" || fail "no worker program: $(cat "$work/out")"
installed=$prog; prog=$work/alone/poisson_nmf
expect_error "no worker program, --jobs 2" "cannot find the worker program sk_nmf_worker beside $work/alone" \
  "${jobs_opts[@]}" --jobs 2
prog=$installed
expect_error "no jobs" "--jobs wants a whole number from 1 to 4096, not '0'" --jobs 0
expect_error "jobs word" "--jobs wants a whole number" --jobs many
expect_error "checkpoint every 0" "--checkpoint-every wants a whole number from 1" --checkpoint-every 0
expect_error "resume alone" "--resume needs --checkpoint FILE" --resume
expect_error "empty checkpoint name" "--checkpoint wants a file name" --checkpoint=
expect_error "header word" "--header wants yes, no or auto, not 'maybe'" --header maybe

# --vocab: each component's top words are the largest entries of its row of
# H, and the background's of PREFIX_background.csv.
seq 40 | sed 's/^/w/' >"$work/jobs.vocab"
"$prog" "${jobs_opts[@]}" --background yes --vocab "$work/jobs.vocab" --top-words 6 --out "$work/vocab" >"$work/vocab.out" 2>&1 \
  || fail "--vocab: $(cat "$work/vocab.out")"
from_h=$(cat "$work/vocab_H.csv" "$work/vocab_background.csv" | awk -F, '{
  line = ""; for (n = 0; n < 6; ++n) { best = 0; for (j = 1; j <= NF; ++j) if (!(j in used) && (best == 0 || $j + 0 > $best + 0)) best = j
    used[best] = 1; line = line " w" best }
  delete used; print line }')
printed=$(sed -n 's/^  [0-9a-z]*://p' "$work/vocab.out")
[ -n "$printed" ] && [ "$printed" = "$from_h" ] && [ "$(grep -c '^  ' "$work/vocab.out")" -eq 4 ] \
  && grep -q '^  background:' "$work/vocab.out" && pass "--top-words agree with H and the background" \
  || fail "--top-words: printed '$printed', from H '$from_h'"
seq 39 | sed 's/^/w/' >"$work/short.vocab"
printf 'a\nb\n\nc\n' >"$work/gap.vocab"
expect_error "vocab of another length" "--vocab $work/short.vocab has 39 words, but the counts have 40 columns" \
  "${jobs_opts[@]}" --vocab "$work/short.vocab"
expect_error "vocab longer" "has more than 40 words, but the counts have 40 columns" \
  "${jobs_opts[@]}" --vocab <(seq 41)
expect_error "vocab with an empty line" "$work/gap.vocab:3: an empty line where a word should be" \
  "${jobs_opts[@]}" --vocab "$work/gap.vocab"
expect_error "missing vocab" "cannot read --vocab $work/none.vocab" "${jobs_opts[@]}" --vocab "$work/none.vocab"
expect_error "top words beyond the columns" "--top-words 41 is more than the 40 columns" \
  "${jobs_opts[@]}" --vocab "$work/jobs.vocab" --top-words 41
expect_error "top words alone" "--top-words needs --vocab FILE" --top-words 5
expect_error "no top words" "--top-words wants a whole number from 1" --vocab "$work/jobs.vocab" --top-words 0
expect_error "empty vocab name" "--vocab wants a file name" --vocab=
expect_error "background word" "--background wants yes or no, not 'maybe'" --background maybe
expect_error "background shape 0" "--background-shape wants a number from 1e-10 to 1e10, not '0'" --background-shape 0
"$prog" "${jobs_opts[@]}" --checkpoint "$ckpt" >/dev/null 2>&1
printf 'x' | dd of="$ckpt" bs=1 seek=300 conv=notrunc 2>/dev/null
expect_error "damaged checkpoint" "checkpoint $ckpt: it is corrupt (its checksum does not match)" "${jobs_opts[@]}" --checkpoint "$ckpt" --resume
"$prog" "${jobs_opts[@]}" --checkpoint "$ckpt" >/dev/null 2>&1
expect_error "checkpoint of other options" "checkpoint $ckpt: it was made with components 3, not 4" "${jobs_opts[@]}" --components 4 --checkpoint "$ckpt" --resume
head -c 100 "$ckpt" >"$work/short.ckpt"
expect_error "truncated checkpoint" "checkpoint $work/short.ckpt: it is truncated" "${jobs_opts[@]}" --checkpoint "$work/short.ckpt" --resume

echo "$failures failures"
[ "$failures" -eq 0 ]
