#!/usr/bin/env bash
# Installs the built tree into a temporary prefix, then builds and runs a
# consumer through find_package and another through pkg-config.  Both must
# record the library as plain libsampling_kernels.so and run against the
# installed copy.
set -eu
build=${1:?usage: install_test.sh BUILD_DIR SOURCE_DIR}
source=${2:?usage: install_test.sh BUILD_DIR SOURCE_DIR}
cmake=${CMAKE_COMMAND:-cmake}
cc=${CC:-cc}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" \
  || { cat "$work/install.log"; echo "FAIL: cmake --install"; exit 1; }
for f in lib/libsampling_kernels.so include/sampling_kernels.h include/sampling_kernels.hpp \
         lib/cmake/sampling_kernels/sampling_kernelsConfig.cmake lib/pkgconfig/sampling_kernels.pc; do
  [ -f "$prefix/$f" ] || { echo "FAIL: $f was not installed"; exit 1; }
done
"$source/tests/check_frame.sh" "$prefix/lib/libsampling_kernels.so" >"$work/frame.log" \
  || { cat "$work/frame.log"; echo "FAIL: the installed library breaks the frame"; exit 1; }

# NEEDED must name the library alone, never a path to it.
check_needed() {
  local needed
  needed=$(readelf -d -W "$1" | sed -n 's/.*(NEEDED).*\[\(.*sampling_kernels.*\)\]/\1/p')
  [ "$needed" = "libsampling_kernels.so" ] || { echo "FAIL: $2 records '$needed'"; exit 1; }
  echo "ok: $2 records libsampling_kernels.so"
}

# The run uses the installed copy only: the build tree is not on the path.
run_installed() {
  local out
  out=$(env LD_LIBRARY_PATH="$prefix/lib" "$1") || { echo "$out"; echo "FAIL: $2 exited non-zero"; exit 1; }
  echo "$out"
  [ "$(env LD_LIBRARY_PATH="$prefix/lib" LD_TRACE_LOADED_OBJECTS=1 "$1" | grep sampling_kernels | awk '{print $3}')" \
    = "$prefix/lib/libsampling_kernels.so" ] || { echo "FAIL: $2 did not load the installed library"; exit 1; }
}

"$cmake" -S "$source/tests/install_consumer" -B "$work/cmake-consumer" \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release >"$work/consumer.log" 2>&1 \
  && "$cmake" --build "$work/cmake-consumer" >>"$work/consumer.log" 2>&1 \
  || { cat "$work/consumer.log"; echo "FAIL: the find_package consumer did not build"; exit 1; }
check_needed "$work/cmake-consumer/consumer" "find_package consumer"
run_installed "$work/cmake-consumer/consumer" "find_package consumer"

export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
flags=$(pkg-config --cflags --libs sampling_kernels) || { echo "FAIL: pkg-config"; exit 1; }
echo "pkg-config: $flags"
# shellcheck disable=SC2086
"$cc" -std=c99 -Wall -Werror "$source/tests/install_consumer/consumer.c" $flags -o "$work/pc-consumer" \
  || { echo "FAIL: the pkg-config consumer did not build"; exit 1; }
check_needed "$work/pc-consumer" "pkg-config consumer"
run_installed "$work/pc-consumer" "pkg-config consumer"
# The sparse companion: installed with its frame, found through the CMake
# package and through pkg-config, recorded by name, and finding the library
# next to itself through its $ORIGIN run path.
for f in lib/libsampling_kernels_sparse.so include/sampling_kernels_sparse.h \
         lib/pkgconfig/sampling_kernels_sparse.pc; do
  [ -f "$prefix/$f" ] || { echo "FAIL: $f was not installed"; exit 1; }
done
"$source/tests/check_frame.sh" "$prefix/lib/libsampling_kernels_sparse.so" \
  "libc.so.6 libsampling_kernels.so" Multi_Sample_CSR "Binary_Search Multi_Sample free malloc rand" \
  >"$work/frame_sparse.log" \
  || { cat "$work/frame_sparse.log"; echo "FAIL: the installed companion breaks the frame"; exit 1; }
check_sparse() {
  local needed out
  needed=$(readelf -d -W "$1" | sed -n 's/.*(NEEDED).*\[\(.*sampling_kernels.*\)\]/\1/p' | sort | tr '\n' ' ')
  # The library itself is recorded only if the program calls it.
  case "$needed" in
    "libsampling_kernels_sparse.so "|"libsampling_kernels.so libsampling_kernels_sparse.so ") ;;
    *) echo "FAIL: $2 records '$needed'"; exit 1 ;;
  esac
  out=$(env LD_LIBRARY_PATH="$prefix/lib" "$1") || { echo "$out"; echo "FAIL: $2 exited non-zero"; exit 1; }
  echo "$out"
  loaded=$(env LD_LIBRARY_PATH="$prefix/lib" LD_TRACE_LOADED_OBJECTS=1 "$1" | grep sampling_kernels | awk '{print $3}' | sort | tr '\n' ' ')
  [ "$loaded" = "$prefix/lib/libsampling_kernels.so $prefix/lib/libsampling_kernels_sparse.so " ] \
    || { echo "FAIL: $2 loaded '$loaded'"; exit 1; }
}
check_sparse "$work/cmake-consumer/consumer_sparse" "sampling_kernels::sparse consumer"
flags=$(pkg-config --cflags --libs sampling_kernels_sparse) || { echo "FAIL: pkg-config sparse"; exit 1; }
echo "pkg-config: $flags"
# shellcheck disable=SC2086
"$cc" -std=c99 -Wall -Werror "$source/tests/install_consumer/consumer_sparse.c" $flags -o "$work/pc-sparse" \
  || { echo "FAIL: the pkg-config sparse consumer did not build"; exit 1; }
check_sparse "$work/pc-sparse" "pkg-config sparse consumer"
# The companion alone finds the library through its run path.
[ "$(readelf -d -W "$prefix/lib/libsampling_kernels_sparse.so" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')" = '$ORIGIN' ] \
  || { echo "FAIL: the installed companion's run path is not \$ORIGIN"; exit 1; }
echo "install test passed"
