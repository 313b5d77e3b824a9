#!/usr/bin/env bash
# Installs what the build needs when it is missing (Debian packages): a C++
# compiler, CMake and GoogleTest; for the Python module and its tests
# pybind11, the Python headers, numpy, scipy, matplotlib, netCDF4, dask,
# distributed and pytest, all for Debian's /usr/bin/python3.  Google Benchmark is only needed
# for the benchmarks (pass --bench); clang and its libFuzzer runtime only for
# the fuzz targets (pass --fuzz).
set -euo pipefail
need=()
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v g++ >/dev/null 2>&1 || need+=(g++)
command -v make >/dev/null 2>&1 || need+=(make)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
py_has() { [ -x /usr/bin/python3 ] && /usr/bin/python3 -c "import $1" >/dev/null 2>&1; }
[ -x /usr/bin/python3 ] || need+=(python3)
[ -f /usr/include/pybind11/pybind11.h ] || need+=(pybind11-dev)
compgen -G "/usr/include/python3*/Python.h" >/dev/null || need+=(python3-dev)
py_has numpy || need+=(python3-numpy)
py_has scipy.optimize || need+=(python3-scipy)
py_has matplotlib || need+=(python3-matplotlib)
py_has netCDF4 || need+=(python3-netcdf4)
py_has dask.array || need+=(python3-dask)
py_has distributed || need+=(python3-distributed)
py_has pytest || need+=(python3-pytest)
if [ "${1:-}" = "--bench" ] && [ ! -f /usr/include/benchmark/benchmark.h ]; then
  need+=(libbenchmark-dev)
fi
if [ "${1:-}" = "--fuzz" ]; then
  command -v clang++ >/dev/null 2>&1 || need+=(clang)
  ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || need+=(libclang-rt-14-dev)
fi
if [ ${#need[@]} -gt 0 ]; then
  echo "Installing: ${need[*]}"
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}"
fi
