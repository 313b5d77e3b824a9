#!/usr/bin/env bash
# Builds the program (Release) and runs the bundled examples.  The print
# files are left in examples/ (thrust.out and the curvilinear example's
# files) for reading.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/ensure-deps.sh --example   # the compiler, CMake and make only
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DVADREL_TESTS=OFF -DVADREL_PYTHON=OFF -DVADREL_MANPAGE=OFF >/dev/null
cmake --build build-release -j2 --target vadrel
cd examples
../build-release/vadrel thrust_points.txt thrust_faults.txt thrust.out vector
echo "Print file: examples/thrust.out"
../build-release/vadrel bay_points.txt bay_faults.txt bay.out ascii
echo "Print file: examples/bay.out, initial-condition file: examples/bay_grid.ini"
