#!/usr/bin/env bash
# Makes sure the tools of one job are present:
#   install_deps.sh build   the library and the demo: a C++ compiler, CMake, make
#   install_deps.sh test    the build's tools plus everything the test suite uses
# Missing Debian packages are installed with apt-get when running as root (as
# CI does); otherwise the script names them and fails.
set -eu
job=${1:-build}

# package : a file or command that shows it is installed
build=(
  "cmake:/usr/bin/cmake"
  "g++:/usr/bin/g++"
  "make:/usr/bin/make"
)
test=(
  "binutils:/usr/bin/readelf"
  "libgtest-dev:/usr/include/gtest/gtest.h"
  # gzip input for poisson_nmf (optional at configure time, tested when present)
  "zlib1g-dev:/usr/include/zlib.h"
  # the installed-package test, the README's examples and the Python binding
  "pkg-config:/usr/bin/pkg-config"
  "python3:/usr/bin/python3"
  "python3-numpy:/usr/lib/python3/dist-packages/numpy/__init__.py"
  "python3-venv:/usr/lib/python3.11/ensurepip/__init__.py"
  "python3-pip:/usr/lib/python3/dist-packages/pip/__init__.py"
  "python3-setuptools:/usr/lib/python3/dist-packages/setuptools/__init__.py"
  "python3-wheel:/usr/lib/python3/dist-packages/wheel/__init__.py"
  # sparse counts in the Python binding's tests
  "python3-scipy:/usr/lib/python3/dist-packages/scipy/sparse/__init__.py"
  # DaskPoissonNMF and its tests on a LocalCluster
  "python3-distributed:/usr/lib/python3/dist-packages/distributed/__init__.py"
  # the memcheck run and the fuzz targets
  "valgrind:/usr/bin/valgrind"
  "clang:/usr/bin/clang++"
  "libclang-rt-14-dev:/usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.fuzzer-x86_64.a"
  # make coverage
  "llvm-14:/usr/bin/llvm-cov-14"
)

case "$job" in
  build) wanted=("${build[@]}") ;;
  test) wanted=("${build[@]}" "${test[@]}") ;;
  *) echo "usage: install_deps.sh [build|test]" >&2; exit 2 ;;
esac

missing=()
for entry in "${wanted[@]}"; do
  package=${entry%%:*}
  probe=${entry#*:}
  [ -e "$probe" ] || missing+=("$package")
done

[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages: ${missing[*]}" >&2
  echo "install them with: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
