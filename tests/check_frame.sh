#!/usr/bin/env bash
# Checks the built shared object's frame: what it needs, exports and imports,
# that it has no start-up code, no data of its own and no instructions that
# fuse a multiply and add or touch the floating-point environment.
set -u
lib=${1:?usage: check_frame.sh LIBRARY [NEEDED EXPORTS IMPORTS]}
# What the library may need, export and import, as space-separated lists; the
# defaults are libsampling_kernels.so's.  A companion passes its own.
words() { tr ' ' '\n' <<<"$1" | sed '/^$/d' | sort | tr '\n' ' '; }
want_needed=$(words "${2:-libc.so.6}")
want_exports=$(words "${3:-Binary_Search Multi_Sample}")
want_imports=$(words "${4:-free malloc rand}")
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

dyn=$(readelf -d -W "$lib") || { echo "FAIL: readelf cannot read $lib"; exit 1; }
header=$(readelf -h -W "$lib")

grep -q 'Type:.*DYN' <<<"$header" && pass "shared object" || fail "not ET_DYN"
grep -q 'Machine:.*X86-64' <<<"$header" && pass "x86-64" || fail "not x86-64"

needed=$(grep '(NEEDED)' <<<"$dyn" | sed 's/.*\[\(.*\)\]/\1/' | sort | tr '\n' ' ')
[ "$needed" = "$want_needed" ] && pass "needs only $want_needed" || fail "NEEDED is '$needed'"

grep -q '(SONAME)' <<<"$dyn" && fail "has a SONAME" || pass "no SONAME"
for tag in INIT FINI INIT_ARRAY FINI_ARRAY PREINIT_ARRAY TEXTREL; do
  grep -q "($tag)" <<<"$dyn" && fail "has a $tag entry" || pass "no $tag"
done

defined=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort | tr '\n' ' ')
[ "$defined" = "$want_exports" ] && pass "exports exactly $want_exports" \
  || fail "defined dynamic symbols are '$defined'"
types=$(nm -D --defined-only "$lib" | awk '{print $2}' | sort -u | tr '\n' ' ')
[ "$types" = "T " ] && pass "exports are functions" || fail "export types '$types'"

imported=$(nm -D --undefined-only "$lib" | awk '{print $2}' | sed 's/@.*//' | sort)
extra=$(comm -23 <(echo "$imported") <(tr ' ' '\n' <<<"$want_imports" | sed '/^$/d'))
[ -z "$extra" ] && pass "imports only $want_imports" || fail "also imports: $(echo $extra)"

# No global state: no writable data sections with contents of their own.
sections=$(readelf -S -W "$lib" | sed -n 's/^ *\[ *[0-9]*\] \([^ ]*\) *[A-Z_]* *[0-9a-f]* *[0-9a-f]* *\([0-9a-f]*\).*/\1 \2/p')
while read -r name size; do
  case "$name" in
    .data|.bss|.tdata|.tbss|.data.rel.ro|.init_array|.fini_array|.ctors|.dtors|.init|.fini)
      [ "$((16#$size))" -eq 0 ] || fail "section $name holds $((16#$size)) bytes" ;;
  esac
done <<<"$sections"
pass "no data, bss, tls or init sections with contents"

code=$(objdump -d --no-show-raw-insn "$lib")
fma=$(grep -E -c '\bv?fn?m(add|sub)[0-9a-z]*\b' <<<"$code")
[ "$fma" -eq 0 ] && pass "no fused multiply-add" || fail "$fma fused multiply-add instructions"
env=$(grep -E -c '\b(v?ldmxcsr|v?stmxcsr|fldcw|fnstcw|fstcw|fldenv|fnstenv|fnclex|frstor|fxrstor|xrstor)\b' <<<"$code")
[ "$env" -eq 0 ] && pass "floating-point environment untouched" || fail "$env instructions touch the FP environment"

# Wider instructions may appear only in functions chosen at run time after a
# CPU check; such functions carry the vector width in their name.
wide=$(awk '/^[0-9a-f]+ <.*>:$/ {fn=$2} /%[yz]mm|\bv[a-z]+[ \t]+.*%xmm/ {print fn}' <<<"$code" \
       | sort -u | grep -v -E '(avx2|avx512)' || true)
[ -z "$wide" ] && pass "baseline x86-64 outside dispatched functions" \
  || fail "vector extensions in baseline code: $(echo $wide)"

# Working memory beyond the one scratch array is a bounded stack buffer: no
# frame above 16 KiB and no frame sized at run time.
largest=0
for imm in $(grep -E -o 'sub +\$0x[0-9a-f]+,%rsp' <<<"$code" | grep -E -o '0x[0-9a-f]+'); do
  [ $((imm)) -gt "$largest" ] && largest=$((imm))
done
[ "$largest" -le 16384 ] && pass "largest stack frame $largest bytes" || fail "a stack frame of $largest bytes"
grep -E -q 'sub +%r[a-z0-9]+,%rsp' <<<"$code" && fail "a stack frame sized at run time" || pass "no run-time sized stack frames"

echo "$failures failures"
[ "$failures" -eq 0 ]
