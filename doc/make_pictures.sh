#!/usr/bin/env bash
# Remakes the pictures of the README and of doc/plot.md with the Python
# module (after bash scripts/run_tests.sh, which builds it in build/): the
# bundled examples, and the published models of the shared data folder.
# Coastlines are drawn where GMT and its GSHHG data are installed (Debian's
# gmt and gmt-gshhg-low), and are absent otherwise.
#   bash doc/make_pictures.sh [build-dir [data-dir]]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
models=$(realpath "${2:-../shared/data}")/finite-faults
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
# The README's fringe command: the points are 5 km apart, far coarser than
# the fringes, so the range is computed anew from the faults at every pixel
# (grey where even the pixels are too coarse for them).
$py -m vadrel.plot "$tmp/thrust.out" --faults examples/thrust_faults.txt --value range --wrap 28.3 --dpi 120 \
  --title "Thrust example: range change in C-band fringes (28.3 mm)" -o doc/thrust_fringes.png
$py -m vadrel.plot "$tmp/bay_grid.ini" --grid examples/bay_grid.grd --depth examples/bay_depth.dep \
  --faults examples/bay_faults.txt --dpi 80 \
  --title "Bay example: uplift on the curvilinear grid (bay_grid.ini)" -o doc/bay_uplift.png
# Published models: a subduction thrust (map and fault-plane view), a steep
# strike-slip fault 4 s into its rupture (the plane view shows what the map
# cannot), and the tsunami source of the thrust with its subfaults.
$py -m vadrel.plot "$models/illapel2015_subfaults.param" --dpi 80 -o doc/illapel_slip.png
$py -m vadrel.plot "$models/parkfield2004.fsp" --time 4 --dpi 80 -o doc/parkfield_4s.png
$py -m vadrel.tsunami "$models/illapel2015_subfaults.param" --region -75 -69 -34.5 -28 --spacing 2 \
  -o "$tmp/illapel.tt3" >/dev/null 2>&1
$py -m vadrel.plot "$tmp/illapel.tt3" --model "$models/illapel2015_subfaults.param" --dpi 80 \
  --title "Illapel 2015: sea-floor uplift of the published model" -o doc/illapel_dz.png
