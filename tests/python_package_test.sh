#!/usr/bin/env bash
# `pip install ./python` on a copy of the tree: a wheel tagged for the
# platform, holding a library with the CMake build's frame and code, that
# imports from outside the tree with its type marker and version.
set -u
source=${1:?usage: python_package_test.sh SOURCE_DIR CMAKE_LIBRARY VERSION [PYTHON]}
cmake_library=${2:?}
version=${3:?}
python=${4:-/usr/bin/python3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset PYTHONPATH SAMPLING_KERNELS_LIBRARY
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

mkdir "$work/tree"
(cd "$source" && tar -cf - --exclude='./build*' --exclude=./.git --exclude=./python/build \
   --exclude='*.egg-info' --exclude=__pycache__ .) | (cd "$work/tree" && tar -xf -)

"$python" -m pip wheel --no-build-isolation --no-deps -w "$work/wheels" "$work/tree/python" \
  >"$work/log" 2>&1 || { cat "$work/log"; fail "pip wheel"; }
wheel=$(ls "$work"/wheels/*.whl 2>/dev/null)
case "$wheel" in
  */sampling_kernels-"$version"-py3-none-linux_x86_64.whl) pass "wheel $(basename "$wheel")" ;;
  *) fail "wheel is '$wheel'" ;;
esac

"$python" -m venv --system-site-packages "$work/venv" >"$work/log" 2>&1 || { cat "$work/log"; fail "venv"; }
"$work/venv/bin/python" -m pip install --no-deps --no-index "$wheel" >"$work/log" 2>&1 \
  || { cat "$work/log"; fail "pip install of the wheel"; }
info=$(cd / && "$work/venv/bin/python" -c '
import importlib.resources, sampling_kernels as sk
print(sk.library_path)
print(sk.__version__)
print(importlib.resources.files("sampling_kernels").joinpath("py.typed").is_file())
sk.seed(1)
print(sk.multi_sample([[5]], [[1.0, 1.0]], [[1.0], [1.0]])[0].sum())')
library=$(sed -n 1p <<<"$info")
[ "$library" = "$work/venv/lib/python$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')/site-packages/sampling_kernels/libsampling_kernels.so" ] \
  && pass "imported from / with the library inside the package" || fail "loaded '$library'"
[ "$(sed -n 2p <<<"$info")" = "$version" ] && pass "__version__ $version" || fail "version: $info"
[ "$(sed -n 3p <<<"$info")" = True ] && pass "py.typed installed" || fail "no py.typed"
[ "$(sed -n 4p <<<"$info")" = 5.0 ] && pass "a call places every unit" || fail "call: $info"

# Every library in the package (companions included) loads from outside the
# tree with no search path: those that need another find it through $ORIGIN.
loads=$(cd / && "$work/venv/bin/python" -c '
import ctypes, pathlib, sampling_kernels as sk
for so in sorted(pathlib.Path(sk.__file__).parent.glob("*.so")):
    ctypes.CDLL(str(so))
    print(so.name)' 2>&1) && pass "every packaged library loads: $(echo $loads)"   || fail "a packaged library does not load: $loads"

# A fit on two processes finds the worker program inside the package.
fit=$(cd / && "$work/venv/bin/python" -c '
import numpy as np
from sampling_kernels import PoissonNMF
x = np.random.default_rng(0).poisson(0.2, size=(3000, 30))
one, two = (PoissonNMF(2, n_sweeps=4, random_state=1, n_jobs=n).fit(x).components_ for n in (1, 2))
print(np.array_equal(one, two))' 2>&1)
[ "$fit" = True ] && pass "a two-process fit runs from the package" || fail "a two-process fit: $fit"

if [ -f "$library" ]; then
  "$source/tests/check_frame.sh" "$library" >"$work/frame" 2>&1 && pass "frame of the packaged library" \
    || { cat "$work/frame"; fail "the packaged library breaks the frame"; }
  # Same flags, same compiler: the same machine code as the CMake build.
  code() { objdump -d --no-show-raw-insn "$1" | tail -n +4; }
  if cmp -s <(code "$library") <(code "$cmake_library"); then
    pass "same code as the CMake build"
  else
    diff <(code "$library") <(code "$cmake_library") | head -20
    fail "the packaged library's code differs from the CMake build's"
  fi
fi
echo "$failures failures"
[ "$failures" -eq 0 ]
