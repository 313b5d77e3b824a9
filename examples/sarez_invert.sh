#!/usr/bin/env bash
# Fits the ascending radar interferogram of the 2015 Sarez (Pamir) earthquake:
# first one uniform-slip fault (nine free parameters, offset and ramp), then
# the slip on that plane, extended, cut into 40 x 10 patches.
#
#   bash examples/sarez_invert.sh [OUTPUT_DIR]     (default: sarez_fit)
#
# The data are ../shared/data/insar/sarez2015_ascending.txt beside the
# checkout (or SAREZ_DATA); the module is taken from build/python unless
# PYTHONPATH is set.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
data=${SAREZ_DATA:-$here/../../shared/data/insar/sarez2015_ascending.txt}
out=${1:-sarez_fit}
mkdir -p "$out"
export PYTHONPATH=${PYTHONPATH:-$here/../build/python}
py=/usr/bin/python3

# One fault: X, Y, strike, depth, dip, U1, U2, L, W free.
$py -m vadrel.invert "$data" --start "$here/sarez_start.txt" \
    -o "$out/sarez_fault.txt" --plot "$out/sarez_fit.png"
# Slip on the fitted plane, 20 km longer at each end and 8 km deeper, rake
# within 45 degrees of left-lateral; the plane itself stays (--free "").
$py -m vadrel.invert "$data" --start "$out/sarez_fault.txt" --free "" \
    --slip 40 10 --smoothing 1 --extend 20 8 --rake -45 45 \
    -o "$out/sarez_slip.txt" --plot "$out/sarez_slipfit.png"
echo "wrote $out: sarez_fault.txt/.json, sarez_slip.txt/.json, sarez_fit.png, sarez_slipfit.png, sarez_slipfit_slip.png"
