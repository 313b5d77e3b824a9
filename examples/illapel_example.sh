#!/bin/sh
# From a published finite-fault model to the program's print file:
#   sh examples/illapel_example.sh [MODEL]
# MODEL defaults to the Illapel 2015 database file beside the checkout
# (shared/data/finite-faults).  Set VADREL to the program and PYTHONPATH to
# the built module (the defaults are those of build/).
set -e
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
model=${1:-$root/../shared/data/finite-faults/illapel2015.fsp}
VADREL=${VADREL:-$root/build/vadrel}
export PYTHONPATH="${PYTHONPATH:-$root/build/python}"
python3=${PYTHON:-/usr/bin/python3}
"$python3" -m vadrel.sources "$model" --zone 19 --origin -71.67 -31.57 -o illapel_faults.txt
"$VADREL" "$here/illapel_points.txt" illapel_faults.txt illapel.out vector
echo "wrote illapel_faults.txt and illapel.out"
