#!/usr/bin/env bash
# Installs what the build needs when it is missing (Debian packages).
#
#   ensure-deps.sh            the program, its tests and the Python module: a
#                             C++ compiler, CMake, make and GoogleTest; pybind11,
#                             the Python headers, numpy, scipy, matplotlib,
#                             netCDF4, dask, distributed, pytest, pyproj and
#                             geographiclib (geodesics), rasterio and xarray
#                             (interferogram grids), emcee (posterior
#                             sampling), hypothesis (property tests), tqdm
#                             (progress), setuptools and venv (pip install),
#                             all for
#                             Debian's /usr/bin/python3, and an optimised BLAS
#                             (OpenBLAS) for the slip inversions' normal
#                             equations
#   ensure-deps.sh --example  only what scripts/run_example.sh needs: the
#                             compiler, CMake and make
#   ensure-deps.sh --bench    everything, Google Benchmark, and gfortran for
#                             the DC3D yardstick
#   ensure-deps.sh --fuzz     everything, and clang with its libFuzzer runtime
#   ensure-deps.sh --coast    everything, and GMT with its low-resolution
#                             GSHHG shorelines (coastlines on the pictures;
#                             optional: the pictures leave them out without)
#
# With --list as well, the packages of that choice are printed (installed or
# not) and nothing is installed.
set -euo pipefail
mode=all
list=no
for arg in "$@"; do
  case "$arg" in
    --example) mode=example ;;
    --bench) mode=bench ;;
    --fuzz) mode=fuzz ;;
    --coast) mode=coast ;;
    --list) list=yes ;;
    *) echo "ensure-deps.sh: unknown option $arg (--example, --bench, --fuzz, --coast, --list)" >&2; exit 2 ;;
  esac
done

py_has() { [ -x /usr/bin/python3 ] && /usr/bin/python3 -c "import $1" >/dev/null 2>&1; }

packages=()
need=()
# want PACKAGE CHECK...: the package belongs to this choice; it is installed
# when the check fails.
want() {
  local pkg=$1
  shift
  packages+=("$pkg")
  "$@" >/dev/null 2>&1 || need+=("$pkg")
}

want cmake command -v cmake
want g++ command -v g++
want make command -v make
if [ "$mode" != example ]; then
  want libgtest-dev test -f /usr/include/gtest/gtest.h
  want python3 test -x /usr/bin/python3
  want pybind11-dev test -f /usr/include/pybind11/pybind11.h
  want python3-dev compgen -G "/usr/include/python3*/Python.h"
  want python3-numpy py_has numpy
  want python3-scipy py_has scipy.optimize
  want python3-matplotlib py_has matplotlib
  want python3-netcdf4 py_has netCDF4
  want python3-dask py_has dask.array
  want python3-distributed py_has distributed
  want python3-pytest py_has pytest
  want python3-pyproj py_has pyproj
  want python3-geographiclib py_has geographiclib
  want python3-rasterio py_has rasterio
  want python3-xarray py_has xarray
  want python3-emcee py_has emcee
  want python3-hypothesis py_has hypothesis
  want python3-tqdm py_has tqdm
  want python3-setuptools py_has setuptools
  want python3-venv py_has ensurepip
  want libopenblas0-pthread compgen -G "/usr/lib/*/openblas-pthread/libblas.so.3"
fi
if [ "$mode" = bench ]; then
  want libbenchmark-dev test -f /usr/include/benchmark/benchmark.h
  want gfortran command -v gfortran  # the DC3D yardstick the benchmarks compare with
fi
if [ "$mode" = fuzz ]; then
  want clang command -v clang++
  want libclang-rt-14-dev compgen -G "/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a"
fi
if [ "$mode" = coast ]; then
  want gmt command -v gmt
  want gmt-gshhg-low test -f /usr/share/gmt-gshhg/binned_GSHHS_l.nc
fi

if [ "$list" = yes ]; then
  echo "${packages[*]}"
  exit 0
fi
if [ ${#need[@]} -gt 0 ]; then
  echo "Installing: ${need[*]}"
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}"
fi
