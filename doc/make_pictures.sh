#!/usr/bin/env bash
# Remakes the documentation's pictures from the bundled examples with the Python
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
  "$build/vadrel" bay_points.txt bay_faults.txt bay.out ascii >/dev/null )
py=/usr/bin/python3
$py -m vadrel.plot "$tmp/thrust.out" --faults examples/thrust_faults.txt --dpi 80 \
  --title "Thrust example: vertical (colour) and horizontal (arrows) displacement" -o doc/thrust_vector.png
# The fringe command of the README: the points are 5 km apart, far coarser than
# the fringes, so the range is computed anew from the faults at every pixel
# (grey where even the pixels are too coarse for them).
$py -m vadrel.plot "$tmp/thrust.out" --faults examples/thrust_faults.txt --value range --wrap 28.3 --dpi 120 \
  --title "Thrust example: range change in C-band fringes (28.3 mm)" -o doc/thrust_fringes.png
$py -m vadrel.plot "$tmp/bay_grid.ini" --grid examples/bay_grid.grd --depth examples/bay_depth.dep \
  --faults examples/bay_faults.txt --dpi 80 \
  --title "Bay example: uplift on the curvilinear grid (bay_grid.ini)" -o doc/bay_uplift.png
