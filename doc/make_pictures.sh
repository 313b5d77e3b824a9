#!/usr/bin/env bash
# Remakes the README's pictures from the bundled examples with the Python
# module (after bash scripts/run_tests.sh, which builds it in build/).
#   bash doc/make_pictures.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
export PYTHONPATH="$build/python"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cp examples/* "$tmp"
( cd "$tmp"
  "$build/vadrel" thrust_points.txt thrust_faults.txt thrust.out vector >/dev/null
  # The same faults on a denser grid (an M card: 201 x 201 points 0.5 km apart).
  printf 'Z 31 3.0 45.0\nV -0.61 -0.11 0.785 1.0\nM -50 -50 0.5 0.5 201 201\n' > dense_points.txt
  "$build/vadrel" dense_points.txt thrust_faults.txt dense.out vector >/dev/null
  "$build/vadrel" bay_points.txt bay_faults.txt bay.out ascii >/dev/null )
py=/usr/bin/python3
$py -m vadrel.plot "$tmp/thrust.out" --faults examples/thrust_faults.txt --dpi 80 \
  --title "Thrust example: vertical (colour) and horizontal (arrows) displacement" -o doc/thrust_vector.png
$py -m vadrel.plot "$tmp/dense.out" --faults examples/thrust_faults.txt --value range --wrap 28.3 --dpi 80 \
  --title "Thrust example: range change in C-band fringes (28.3 mm)" -o doc/thrust_fringes.png
$py -m vadrel.plot "$tmp/bay_grid.ini" --grid examples/bay_grid.grd --faults examples/bay_faults.txt --dpi 80 \
  --title "Bay example: uplift on the curvilinear grid (bay_grid.ini)" -o doc/bay_uplift.png
