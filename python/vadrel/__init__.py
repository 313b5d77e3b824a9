"""Surface deformation from slip on buried rectangular faults (vadrel).

The functions compute, for arrays of ground points, what the ``vadrel``
program writes in its print files, with the same C++ code: every value equals
the program's to the printed digits.  The computation runs with the GIL
released, spread over all the processors the process may use (or
``threads=n``).

Frames and units
----------------
* Ground points ``x``, ``y``: 1-D float arrays, km east and north in the local
  frame of the fault model.
* Displacements: mm, east / north / up, summed over the segments.
* Range change: the displacement projected on the look vector
  ``(east, north, up)`` (pointing from the ground to the radar, not
  normalised), in mm, plus the fault model's ramp ``a*x + b*y + c``;
  positive is motion towards the radar.
* Strain: horizontal gradients of the displacement in mm/km, columns
  ``STRAIN_COLUMNS``.
* Partial derivatives of the range change with respect to the parameters of
  segment 1: columns ``PARTIAL_COLUMNS`` in mm/km (X, Y, depth, L, W),
  mm/degree (strike, dip) and mm/mm (slips).

Where the closed form has no value (a point exactly on a patch corner, or on
the surface trace of a patch that reaches the surface) the value is taken
1 mm away, as the program does, and a ``RuntimeWarning`` says so.  Bad
arguments raise ``ValueError``.
"""
from __future__ import annotations

import os

import numpy as np

from . import _vadrel
from ._vadrel import Faults, Segment

__all__ = [
    "Segment", "Faults", "read_faults", "patch_displacement", "displacement",
    "range_change", "strain", "partials", "utm", "run", "read_grid",
    "cell_points", "regular_grid", "uplift", "read_ini",
    "STRAIN_COLUMNS", "PARTIAL_COLUMNS", "PATCH_COLUMNS", "__version__",
]

__version__ = _vadrel.version

#: Columns of :func:`strain` (the strain record's order), mm/km.
STRAIN_COLUMNS = ("duede", "duedn", "dunde", "dundn", "duzde", "duzdn")
#: Columns of :func:`partials` (the partial-derivative record's order).
PARTIAL_COLUMNS = ("X", "Y", "strike", "depth", "dip", "U1", "U2", "U3", "L", "W")
#: Columns of :func:`patch_displacement` (patch frame, per slip component).
PATCH_COLUMNS = ("U1_ux", "U1_uy", "U1_uz", "U2_ux", "U2_uy", "U2_uz", "U3_ux", "U3_uy", "U3_uz")


def read_faults(path) -> Faults:
    """Read a faults file with the program's reader.

    Segment lines (a blank in column 1, 14 fields) and the ramp line (``P a b
    c``); a bad line is reported on standard output exactly as the program
    reports it (``Error reading line: ...``) and skipped.  Raises
    ``ValueError`` when no segment is read and ``OSError`` when the file
    cannot be read.
    """
    return _vadrel.read_faults(os.fspath(path))


def patch_displacement(x, y, *, L, W, depth, dip, lam=3.0e10, mu=3.0e10, U1=0.0, U2=0.0, U3=0.0,
                       threads=0):
    """Displacement of one patch in its own frame, at surface points.

    Patch frame: ``x`` along strike, ``y`` 90 degrees counter-clockwise from
    strike seen from above, z up; origin above the start of the deep edge,
    which lies at ``depth`` (km); the patch spans 0 <= x <= L and rises by W
    up dip at ``dip`` degrees.  Slips in mm (any unit), lengths in km.

    Returns an (n, 9) array: ux, uy, uz due to U1 (strike slip), then due to
    U2 (dip slip), then due to U3 (opening) -- ``PATCH_COLUMNS``.  Components
    below 1e-8 in magnitude are exact zeros.  On the surface trace of a
    patch that reaches the surface (and at its corners) the nine values are
    NaN: the displacement jumps there.
    """
    return _vadrel.patch_displacement(x, y, L=L, W=W, depth=depth, dip=dip, lam=lam, mu=mu,
                                      U1=U1, U2=U2, U3=U3, threads=threads)


def displacement(faults: Faults, x, y, *, threads=0):
    """East, north, up displacement (mm) at map points (km), summed over the
    segments: an (n, 3) array, the program's ``vector`` record values."""
    return _vadrel.displacement(faults, x, y, threads=threads)


def range_change(faults: Faults, x, y, look, *, threads=0):
    """Range change (mm) at map points (km): the displacement projected on
    ``look`` = (east, north, up) -- or an (n, 3) array of one look vector per
    point -- plus the ramp.  Positive is motion towards the radar.  The look
    vector is used as given (like a ``V`` card, it is not normalised)."""
    return _vadrel.range_change(faults, x, y, look, threads=threads)


def strain(faults: Faults, x, y, *, threads=0):
    """Horizontal displacement gradients (mm/km) at map points (km), summed
    over the segments: an (n, 6) array in the strain record's order
    ``STRAIN_COLUMNS`` = d(uEast)/dEast, d(uEast)/dNorth, d(uNorth)/dEast,
    d(uNorth)/dNorth, d(uUp)/dEast, d(uUp)/dNorth."""
    return _vadrel.strain(faults, x, y, threads=threads)


def partials(faults: Faults, x, y, look, method="analytic", *, threads=0):
    """Derivatives of the range change with respect to the ten parameters of
    segment 1 (the other segments play no part), an (n, 10) array in the
    partial-derivative record's order ``PARTIAL_COLUMNS``: X, Y, depth, L, W
    in mm/km, strike and dip in mm/degree, U1, U2, U3 in mm/mm.

    ``method="analytic"``: closed form (the ``analytic`` records);
    ``method="forward"``: forward differences with a step of 1 in each
    parameter's unit (the ``partial`` records).
    """
    return _vadrel.partials(faults, x, y, look, method, threads=threads)


def utm(lon, lat, zone):
    """Transverse Mercator projection of the program (WGS 84).

    ``lon``, ``lat`` in degrees (scalars or arrays of one shape), ``zone``
    1..60 (central meridian zone*6 - 183 degrees).  Returns ``(easting,
    northing)`` in metres; the easting carries the false easting of 500 km,
    there is no false northing (negative south of the equator).
    """
    return _vadrel.utm(lon, lat, zone)


def run(points_file, faults_file, print_file, option) -> int:
    """Run the program exactly as ``vadrel points-file faults-file print-file
    option`` would; its console output goes to ``sys.stdout``.  Returns the
    exit status (0 normal end, 1 a stop, 2 an argument error)."""
    return _vadrel.run([os.fspath(points_file), os.fspath(faults_file), os.fspath(print_file),
                        str(option)])


def read_grid(path):
    """Read a curvilinear grid file with the program's reader (free or fixed
    layout).  Returns ``(x, y)``, two (nmax, mmax) arrays of the node
    coordinates in the file's unit (metres or degrees); missing nodes keep
    their value (0, or a whole part of -999)."""
    return _vadrel.read_grid(os.fspath(path))


def cell_points(xn, yn, *, degrees=False, zone=None):
    """The ground points of the cells of a curvilinear grid, as a ``U`` (metres)
    or ``S`` (``degrees=True``, projected with ``zone``) card makes them.

    ``xn``, ``yn``: (nmax, mmax) node arrays (:func:`read_grid`).  Returns
    ``(x, y, valid)``, each of shape (nmax+1, mmax+1) like the uplift grid:
    cell (i, j) at ``[j-1, i-1]`` for i = 2..mmax, j = 2..nmax, in km, the mean
    of the cell's present corners; ``valid`` is False where there is no point
    (the border, and cells whose corner (i, j) is missing).
    """
    xn = np.asarray(xn, dtype=float)
    yn = np.asarray(yn, dtype=float)
    if xn.ndim != 2 or xn.shape != yn.shape:
        raise ValueError("xn and yn must be 2-D arrays of one shape")
    if degrees and zone is None:
        raise ValueError("a grid in degrees needs the UTM zone")
    nmax, mmax = xn.shape
    xs, ys, valid = _vadrel.cell_points(xn, yn)
    xs, ys = xs[1:nmax, 1:mmax], ys[1:nmax, 1:mmax]
    ok = valid[1:nmax, 1:mmax]
    x = np.zeros((nmax + 1, mmax + 1))
    y = np.zeros((nmax + 1, mmax + 1))
    if degrees:
        e, n = utm(xs, np.clip(ys, -90, 90), zone)
        xs, ys = e / 1000.0, n / 1000.0
    else:
        xs, ys = xs / 1000.0, ys / 1000.0
    x[1:nmax, 1:mmax] = np.where(ok, xs, 0.0)
    y[1:nmax, 1:mmax] = np.where(ok, ys, 0.0)
    valid[1:nmax, 1:mmax] = ok
    return x, y, valid


def regular_grid(x0, y0, dx, dy, nx, ny, *, zone=None):
    """The nodes of an ``M`` card (km, local frame) or, with ``zone``, of a
    ``G`` card (x0, dx longitudes and y0, dy latitudes in degrees, projected:
    easting and northing in km).  Returns ``(x, y)`` of shape (ny, nx), node
    (i, j) at ``[j, i]``."""
    i = np.arange(int(nx), dtype=float)
    j = np.arange(int(ny), dtype=float)
    x = np.broadcast_to(x0 + i * dx, (int(ny), int(nx))).copy()
    y = np.broadcast_to((y0 + j * dy)[:, None], (int(ny), int(nx))).copy()
    if zone is not None:
        e, n = utm(x, y, zone)
        x, y = e / 1000.0, n / 1000.0
    return x, y


def uplift(faults: Faults, x, y, look=(0.0, 0.0, 1.0), depth=None, *, threads=0):
    """Grid uplift in metres, as the grid cards store it: the range change
    (with the vertical look vector, the vertical displacement plus the ramp)
    divided by 1000.  With ``depth`` (the depth/mask values of the points) land
    (depth <= 0) gets 0 and water shallower than 250 gets depth/250 of the
    uplift.  ``x``, ``y`` (and ``depth``) may be of any one shape; the result
    has that shape."""
    x = np.asarray(x, dtype=float)
    y = np.asarray(y, dtype=float)
    if x.shape != y.shape:
        raise ValueError(f"x and y must have the same shape, got {x.shape} and {y.shape}")
    r = range_change(faults, x.ravel(), y.ravel(), look, threads=threads).reshape(x.shape)
    if depth is None:
        return r / 1000.0
    d = np.asarray(depth, dtype=float)
    if d.shape != x.shape:
        raise ValueError(f"depth must have the shape of x, got {d.shape} and {x.shape}")
    factor = _vadrel.depth_factors(d)
    return np.where(factor > 0.0, r * factor / 1000.0, 0.0)


def read_ini(path, shape):
    """Read an initial-condition file: ``shape`` = (rows, columns) of the
    uplift grid (ny, nx for G/M cards; nmax+1, mmax+1 for U/S cards).  Returns
    the uplift rows (metres); the zero rows after them are checked to be
    there."""
    rows, cols = shape
    values = np.array(open(os.fspath(path)).read().split(), dtype=float)
    if values.size != 3 * rows * cols:
        raise ValueError(f"{path}: {values.size} values, expected 3 x {rows} x {cols}")
    return values[: rows * cols].reshape(rows, cols)
