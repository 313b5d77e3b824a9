#!/usr/bin/env bash
# pip install of the package into a fresh virtual environment, offline, on
# Debian's setuptools, pybind11 and numpy; then the installed package and its
# console scripts are used from outside the source tree.
#   pip_install_test.sh SOURCE_DIR WORK_DIR
set -euo pipefail
src=$1
work=$2
rm -rf "$work"
mkdir -p "$work/src"
# A copy of the sources, so that the build leaves nothing in the checkout.
tar -C "$src" --exclude='./build*' --exclude='./.git' --exclude='*/__pycache__' -cf - . | tar -C "$work/src" -xf -
/usr/bin/python3 -m venv --system-site-packages "$work/env"
"$work/env/bin/pip" install --quiet --no-build-isolation --no-index --no-deps "$work/src" > "$work/pip.log" 2>&1 ||
  { cat "$work/pip.log"; exit 1; }
cd "$work"
"$work/env/bin/python" - <<'PY'
import os, sys
import vadrel
where = os.path.realpath(vadrel.__file__)
assert where.startswith(os.path.realpath(sys.prefix)), f"vadrel imported from {where}, not the environment"
seg = vadrel.Segment(X=0, Y=0, strike=0, depth=15, dip=90, lam=3e10, mu=3e10, U1=1000, U2=0, U3=0, L=20, W=10)
u = vadrel.displacement(vadrel.Faults([seg]), 5.0, 10.0)
# A vertical left-lateral strike-slip fault along north: beside its middle,
# the ground moves along strike only, and the up component vanishes.
assert abs(u[2]) < 1e-9 and abs(u[0]) < 1e-9 and u[1] != 0, u
assert os.path.exists(os.path.join(os.path.dirname(vadrel.__file__), "py.typed"))
print("imported from", where)
PY
for s in vadrel-sources vadrel-tsunami vadrel-invert vadrel-plot; do
  "$work/env/bin/$s" --help > "$work/$s.txt" || { echo "$s --help failed"; exit 1; }
  grep -q -i "usage" "$work/$s.txt" || { echo "$s --help printed no usage"; exit 1; }
done
echo "pip install: module and console scripts work"
