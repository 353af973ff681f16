#!/usr/bin/env bash
# `cmake --install` puts poisson_nmf, the sampler's library and its header in
# the prefix, and the installed program runs against the installed
# libraries from any directory.
set -eu
build=${1:?usage: install_test.sh BUILD_DIR}
cmake=${CMAKE_COMMAND:-cmake}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$cmake" --install "$build" --prefix "$work/prefix" >"$work/log" || { cat "$work/log"; exit 1; }
for f in bin/poisson_nmf lib/libsampling_kernels_nmf.so lib/sk_nmf_worker include/sampling_kernels_nmf.h; do
  [ -f "$work/prefix/$f" ] || { echo "FAIL: $f was not installed"; exit 1; }
done
cd "$work"
out=$(env -u LD_LIBRARY_PATH prefix/bin/poisson_nmf --rows 30 --cols 20 --components 2 --sweeps 10 --quiet) \
  || { echo "FAIL: the installed poisson_nmf did not run"; exit 1; }
echo "$out" | grep -q "recovery of the planted components" || { echo "FAIL: output: $out"; exit 1; }
# It finds the installed worker program: three row blocks on two processes.
out=$(env -u LD_LIBRARY_PATH -u SK_NMF_WORKER prefix/bin/poisson_nmf --rows 3000 --cols 20 --components 2 --sweeps 3 --jobs 2 --quiet) \
  || { echo "FAIL: the installed poisson_nmf did not run on two processes"; exit 1; }
echo "$out" | grep -q "on 2 processes" || { echo "FAIL: --jobs 2 output: $out"; exit 1; }
for lib in libsampling_kernels_sparse.so libsampling_kernels.so; do
  for program in prefix/bin/poisson_nmf prefix/lib/libsampling_kernels_nmf.so prefix/lib/sk_nmf_worker; do
    loaded=$(env -u LD_LIBRARY_PATH LD_TRACE_LOADED_OBJECTS=1 /lib64/ld-linux-x86-64.so.2 "$program" 2>/dev/null \
             | awk -v l="$lib" '$1 == l { print $3 }' | xargs -r realpath)
    [ "$loaded" = "$(realpath "prefix/lib/$lib")" ] || { echo "FAIL: $program loads $lib from '$loaded'"; exit 1; }
  done
done
echo "ok: installed poisson_nmf, libsampling_kernels_nmf.so and sk_nmf_worker run against the installed libraries"
