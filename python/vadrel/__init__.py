"""Surface deformation from slip on buried rectangular faults (vadrel).

The functions compute, for arrays of ground points, what the ``vadrel``
program writes in its print files, with the same C++ code: every value equals
the program's to the printed digits.  The computation runs with the GIL
released, spread over all the processors the process may use (or
``threads=n``).

Frames and units
----------------
* Ground points ``x``, ``y``: numbers or arrays of any shapes that broadcast
  together (as numpy's operators broadcast them), km east and north in the
  local frame of the fault model.  Results have the points' shape with the
  components last: ``displacement`` of (200, 300) grids is (200, 300, 3), of
  two numbers (3,), of 1-D points of length n (n, 3).  ``range_change`` and
  ``uplift`` give one value per point: the points' shape.  Coordinates must be
  finite and within 1e50 km (``ValueError`` naming the argument otherwise).
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
values raise ``ValueError`` naming the argument, calls of the wrong form
(an ambiguous positional ``Segment``) ``TypeError``, and a result too large
for the machine's memory ``MemoryError`` before anything is allocated.

Fault segments are built by keyword in the faults file's order,
``Segment(X=, Y=, strike=, flag=0, depth=, dip=, lam=, mu=, U1=, U2=, U3=,
L=, W=, name="")`` (see ``help(Segment)`` for positional calls), and
``Faults`` takes any iterable of them.
"""
from __future__ import annotations

import os
from collections.abc import Sequence
from typing import Union

import numpy as np
from numpy.typing import ArrayLike

from . import _vadrel
from ._vadrel import Faults, Segment
from ._moved import moved

__all__ = [
    "Segment", "Faults", "read_faults", "patch_displacement", "displacement",
    "range_change", "strain", "partials", "utm", "run", "read_grid",
    "cell_points", "regular_grid", "uplift", "read_ini", "read_depth",
    "write_faults", "STRAIN_COLUMNS", "PARTIAL_COLUMNS", "PATCH_COLUMNS", "PathLike", "__version__",
]

#: A file name as every reader and writer of the package takes it: a ``str``
#: or an ``os.PathLike`` of one (``pathlib.Path``, ...).
PathLike = Union[str, "os.PathLike[str]"]

__version__ = _vadrel.version

#: Columns of :func:`strain` (the strain record's order), mm/km.
STRAIN_COLUMNS = ("duede", "duedn", "dunde", "dundn", "duzde", "duzdn")
#: Columns of :func:`partials` (the partial-derivative record's order).
PARTIAL_COLUMNS = ("X", "Y", "strike", "depth", "dip", "U1", "U2", "U3", "L", "W")
#: Columns of :func:`patch_displacement` (patch frame, per slip component).
PATCH_COLUMNS = ("U1_ux", "U1_uy", "U1_uz", "U2_ux", "U2_uy", "U2_uz", "U3_ux", "U3_uy", "U3_uz")


def read_faults(path: PathLike) -> Faults:
    """Read a faults file with the program's reader.

    Segment lines (a blank in column 1, 14 fields) and the ramp line (``P a b
    c``); a bad line is reported on standard output exactly as the program
    reports it (``Error reading line: ...``) and skipped.  Raises
    ``ValueError`` when no segment is read and ``OSError`` when the file
    cannot be read.
    """
    return _vadrel.read_faults(os.fspath(path))


# Beyond this size (km, mm) the model cannot be evaluated; the faults reader
# refuses segments beyond it too.
_LARGEST = 1e50


def _checked(name, value, limit=_LARGEST):
    """``value`` as a float array whose entries are finite and within
    ``limit``; ValueError naming the argument and the first offending entry."""
    a = np.asarray(value, dtype=float)
    ok = np.abs(a) <= limit
    if not ok.all():
        where = np.unravel_index(int(np.argmin(ok.ravel())), a.shape)
        v = a[where]
        label = f"{name}[{', '.join(str(int(k)) for k in where)}]" if a.ndim else name
        if np.isfinite(v):
            raise ValueError(f"{label} is beyond 1e50 ({v!r}); coordinates must be finite numbers "
                             f"within 1e50")
        raise ValueError(f"{label} is not finite ({v}); coordinates must be finite numbers")
    return a


def _memory_bytes():
    """Physical memory of the machine in bytes (None when unknown)."""
    try:
        return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (ValueError, OSError, AttributeError):
        return None


def _size_text(n):
    for unit in ("bytes", "kB", "MB", "GB", "TB", "PB"):
        if n < 1000 or unit == "PB":
            return f"{n:.3g} {unit}"
        n /= 1000.0


def _require_memory(count, per_item, what):
    """MemoryError, before anything is allocated, when ``count`` items of
    ``per_item`` bytes would not fit in the machine's memory."""
    need = float(count) * per_item
    have = _memory_bytes()
    if have is not None and need > have:
        raise MemoryError(f"{what} needs {_size_text(need)}, more than this machine's "
                          f"{_size_text(have)} of memory")


# Bytes per point that a call holds at its peak (the flattened coordinates,
# the sums the compiled core keeps, the result), by the result's length k.
def _per_point(k):
    return 8 * (2 + 3 + k)


def _points(x, y, k, *more):
    """Broadcasts x, y (and ``more``: (name, array, trailing) triples whose
    last ``trailing`` axes are not broadcast) together; returns the points'
    shape and the flattened contiguous arrays the compiled core takes."""
    x = _checked("x", x)
    y = _checked("y", y)
    shapes = [x.shape, y.shape] + [a.shape[: a.ndim - t] for _, a, t in more]
    try:
        shape = np.broadcast_shapes(*shapes)
    except ValueError:
        names = ["x", "y"] + [n for n, _, _ in more]
        raise ValueError(f"{', '.join(names[:-1])} and {names[-1]} must have the same length, or shapes that broadcast "
                         f"together, got {', '.join(str(s) for s in shapes[:-1])} and {shapes[-1]}") from None
    n = int(np.prod(shape, dtype=float))
    _require_memory(n, _per_point(k), f"a result for {n} points {shape}")
    flat = [np.broadcast_to(x, shape).ravel(), np.broadcast_to(y, shape).ravel()]
    for _, a, t in more:
        tail = a.shape[a.ndim - t:]
        flat.append(np.broadcast_to(a, shape + tail).reshape((n,) + tail))
    return shape, flat


def _look(look):
    """A look vector, or an array of them (..., 3)."""
    a = np.asarray(look, dtype=float)
    if a.ndim == 0 or a.shape[-1] != 3:
        raise ValueError(f"look must be (east, north, up) or an array of shape (..., 3) with one vector per "
                         f"point, got shape {a.shape}")
    if not np.isfinite(a).all():
        raise ValueError("look holds a value that is not finite")
    return a


def _with_look(x, y, look, k):
    """Points and look vectors broadcast together: (shape, x, y, look) with
    look either one (3,) vector or one per point."""
    lk = _look(look)
    if lk.ndim == 1:
        shape, (fx, fy) = _points(x, y, k)
        return shape, fx, fy, lk
    shape, (fx, fy, fl) = _points(x, y, k, ("look", lk, 1))
    return shape, fx, fy, fl


def patch_displacement(x: ArrayLike, y: ArrayLike, *, L: float, W: float, depth: float, dip: float,
                       lam: float = 3.0e10, mu: float = 3.0e10, U1: float = 0.0, U2: float = 0.0, U3: float = 0.0,
                       threads: int = 0) -> np.ndarray:
    """Displacement of one patch in its own frame, at surface points.

    Patch frame: ``x`` along strike, ``y`` 90 degrees counter-clockwise from
    strike seen from above, z up; origin above the start of the deep edge,
    which lies at ``depth`` (km); the patch spans 0 <= x <= L and rises by W
    up dip at ``dip`` degrees.  Slips in mm (any unit), lengths in km.

    Returns the points' shape plus 9: ux, uy, uz due to U1 (strike slip),
    then due to U2 (dip slip), then due to U3 (opening) -- ``PATCH_COLUMNS``.
    Components below 1e-8 in magnitude are exact zeros.

    NaN, all nine values, exactly where the displacement jumps: on the
    surface trace of a patch that reaches the surface, corners included.
    With tol = 1e-12 (|x| + |y| + L + W + |depth|), a point (x, y) is NaN
    when the patch's shallower long edge is within tol of the surface,
    ``|y sin(dip) - depth cos(dip)| <= tol`` (the line where the patch's plane
    meets the surface; cos(dip) is taken as 0 within 1e-8 degrees of
    vertical) and ``-tol <= x <= L + tol``.  (A dip whose sine is negative is
    taken from the patch's other long edge: y - W cos(dip) for y and
    depth - W sin(dip) for depth, in the test and in tol.)  Everywhere else
    every value is finite.

    ValueError, naming the argument: L or W not positive, a value that is
    not finite, a length, depth or slip beyond 1e50, mu/(lam+mu) not finite,
    a patch with a part above the surface (not a physical source: the field
    is unbounded under its corners) and a horizontal patch at depth 0 (it lies
    in the surface).
    """
    shape, (fx, fy) = _points(x, y, 9)
    u = _vadrel.patch_displacement(fx, fy, L=L, W=W, depth=depth, dip=dip, lam=lam, mu=mu,
                                   U1=U1, U2=U2, U3=U3, threads=threads)
    return u.reshape(shape + (9,))


def displacement(faults: Faults, x: ArrayLike, y: ArrayLike, *, threads: int = 0) -> np.ndarray:
    """East, north, up displacement (mm) at map points (km), summed over the
    segments: the points' shape plus 3, the program's ``vector`` record
    values."""
    shape, (fx, fy) = _points(x, y, 3)
    return _vadrel.displacement(faults, fx, fy, threads=threads).reshape(shape + (3,))


def range_change(faults: Faults, x: ArrayLike, y: ArrayLike, look: ArrayLike, *, threads: int = 0) -> np.ndarray:
    """Range change (mm) at map points (km): the displacement projected on
    ``look`` = (east, north, up) plus the ramp; the points' shape.  ``look``
    is one vector or an array (..., 3) of them that broadcasts with the
    points (one per point, say).  Positive is motion towards the radar.  The
    look vector is used as given (like a ``V`` card, it is not normalised)."""
    shape, fx, fy, lk = _with_look(x, y, look, 1)
    return _vadrel.range_change(faults, fx, fy, lk, threads=threads).reshape(shape)


def strain(faults: Faults, x: ArrayLike, y: ArrayLike, *, threads: int = 0) -> np.ndarray:
    """Horizontal displacement gradients (mm/km) at map points (km), summed
    over the segments: the points' shape plus 6, in the strain record's order
    ``STRAIN_COLUMNS`` = d(uEast)/dEast, d(uEast)/dNorth, d(uNorth)/dEast,
    d(uNorth)/dNorth, d(uUp)/dEast, d(uUp)/dNorth."""
    shape, (fx, fy) = _points(x, y, 6)
    return _vadrel.strain(faults, fx, fy, threads=threads).reshape(shape + (6,))


def partials(faults: Faults, x: ArrayLike, y: ArrayLike, look: ArrayLike, method: str = "analytic", *,
             threads: int = 0) -> np.ndarray:
    """Derivatives of the range change with respect to the ten parameters of
    segment 1 (the other segments play no part): the points' shape plus 10,
    in the partial-derivative record's order ``PARTIAL_COLUMNS``: X, Y,
    depth, L, W in mm/km, strike and dip in mm/degree, U1, U2, U3 in mm/mm.
    ``look`` broadcasts with the points as in :func:`range_change`.

    ``method="analytic"``: closed form (the ``analytic`` records);
    ``method="forward"``: forward differences with a step of 1 in each
    parameter's unit (the ``partial`` records).
    """
    shape, fx, fy, lk = _with_look(x, y, look, 10)
    return _vadrel.partials(faults, fx, fy, lk, method, threads=threads).reshape(shape + (10,))


def utm(lon: ArrayLike, lat: ArrayLike, zone: int) -> tuple[float, float] | tuple[np.ndarray, np.ndarray]:
    """Transverse Mercator projection of the program (WGS 84).

    ``lon``, ``lat`` in degrees (numbers or arrays whose shapes broadcast
    together), ``zone`` 1..60 (central meridian zone*6 - 183 degrees).
    Returns ``(easting, northing)`` in metres, each of the broadcast shape
    (two floats for two numbers); the easting carries the false easting of
    500 km, there is no false northing (negative south of the equator).
    """
    big = np.finfo(float).max
    lon = _checked("lon", lon, big)
    lat = _checked("lat", lat, big)
    try:
        shape = np.broadcast_shapes(lon.shape, lat.shape)
    except ValueError:
        raise ValueError(f"lon and lat must have the same shape, or shapes that broadcast together, got "
                         f"{lon.shape} and {lat.shape}") from None
    if not shape:
        return _vadrel.utm(lon, lat, zone)
    _require_memory(int(np.prod(shape, dtype=float)), 32, f"a projection of {shape} points")
    e, n = _vadrel.utm(np.broadcast_to(lon, shape).ravel(), np.broadcast_to(lat, shape).ravel(), zone)
    return e.reshape(shape), n.reshape(shape)


def run(points_file: PathLike, faults_file: PathLike, print_file: PathLike, option: str) -> int:
    """Run the program exactly as ``vadrel points-file faults-file print-file
    option`` would; its console output goes to ``sys.stdout``.  Returns the
    exit status (0 normal end, 1 a stop, 2 an argument error)."""
    return _vadrel.run([os.fspath(points_file), os.fspath(faults_file), os.fspath(print_file),
                        str(option)])


def read_grid(path: PathLike) -> tuple[np.ndarray, np.ndarray]:
    """Read a curvilinear grid file with the program's reader (free or fixed
    layout).  Returns ``(x, y)``, two (nmax, mmax) arrays of the node
    coordinates in the file's unit (metres or degrees); missing nodes keep
    their value (0, or a whole part of -999)."""
    return _vadrel.read_grid(os.fspath(path))


def cell_points(xn: ArrayLike, yn: ArrayLike, *, degrees: bool = False,
                zone: int | None = None) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The ground points of the cells of a curvilinear grid, as a ``U`` (metres)
    or ``S`` (``degrees=True``, projected with ``zone``) card makes them.

    ``xn``, ``yn``: (nmax, mmax) node arrays (:func:`read_grid`).  Returns
    ``(x, y, valid)``, each of shape (nmax+1, mmax+1) like the uplift grid:
    cell (i, j) at ``[j-1, i-1]`` for i = 2..mmax, j = 2..nmax, in km, the mean
    of the cell's present corners; ``valid`` is False where there is no point
    (the border, and cells whose corner (i, j) is missing: x of 0 or with the
    whole part -999).  Nodes must be finite; a grid too large for the
    machine's memory raises ``MemoryError`` before anything is allocated.
    """
    shape = np.broadcast_shapes(np.shape(xn), np.shape(yn)) if np.ndim(xn) == np.ndim(yn) == 2 else None
    if shape is None or np.shape(xn) != np.shape(yn):
        raise ValueError(f"xn and yn must be 2-D arrays of one shape, got {np.shape(xn)} and {np.shape(yn)}")
    if degrees and zone is None:
        raise ValueError("a grid in degrees needs the UTM zone")
    nmax, mmax = shape
    # The nodes twice (here and in the core), the cells' x, y and validity
    # there and here.
    _require_memory((nmax + 1) * (mmax + 1), 8 * 8 + 2, f"a grid of {mmax} x {nmax} nodes")
    big = np.finfo(float).max
    xn = _checked("xn", xn, big)
    yn = _checked("yn", yn, big)
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


def _finite_number(name, v):
    try:
        f = float(v)
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be a number, got {v!r}") from None
    if not np.isfinite(f):
        raise ValueError(f"{name} must be a finite number, got {f}")
    return f


def _count(name, v):
    """A node count: a whole number (an integral float is taken)."""
    f = _finite_number(name, v)
    if f != int(f):
        raise ValueError(f"{name} must be a whole number of nodes, got {v!r}")
    return int(f)


def regular_grid(x0: float, y0: float, dx: float, dy: float, nx: int, ny: int, *,
                 zone: int | None = None) -> tuple[np.ndarray, np.ndarray]:
    """The nodes of an ``M`` card (km, local frame) or, with ``zone``, of a
    ``G`` card (x0, dx longitudes and y0, dy latitudes in degrees, projected:
    easting and northing in km).  Returns ``(x, y)`` of shape (ny, nx), node
    (i, j) at ``[j, i]``; a count of 0 or less gives no node, as on the cards.

    ``ValueError`` naming the argument: an origin or step that is not a
    finite number, a count that is not a whole number, a node beyond 1e50 km
    (``M``) or a latitude beyond 90 degrees (``G``).  A grid whose nodes would
    not fit in the machine's memory raises ``MemoryError`` before anything is
    allocated.
    """
    x0, y0, dx, dy = (_finite_number(n, v) for n, v in (("x0", x0), ("y0", y0), ("dx", dx), ("dy", dy)))
    nx, ny = max(_count("nx", nx), 0), max(_count("ny", ny), 0)
    _require_memory(nx * ny, 16 if zone is None else 48, f"a grid of {nx} x {ny} nodes")
    limit = 90.0 if zone is not None else _LARGEST
    if nx and ny:
        for name, a, d, n in (("x0", x0, dx, nx), ("y0", y0, dy, ny)):
            end = a + (n - 1) * d
            if zone is None or name == "y0":
                if not (abs(a) <= limit and abs(end) <= limit):
                    raise ValueError(f"{name}, d{name[0]}, n{name[0]}: the nodes run from {a!r} to {end!r}, "
                                     f"beyond {'90 degrees' if zone is not None else '1e50 km'}")
    i = np.arange(nx, dtype=float)
    j = np.arange(ny, dtype=float)
    x = np.broadcast_to(x0 + i * dx, (ny, nx)).copy()
    y = np.broadcast_to((y0 + j * dy)[:, None], (ny, nx)).copy()
    if zone is not None:
        e, n = utm(x, y, zone)
        x, y = e / 1000.0, n / 1000.0
    return x, y


def uplift(faults: Faults, x: ArrayLike, y: ArrayLike, look: ArrayLike = (0.0, 0.0, 1.0),
           depth: ArrayLike | None = None, *, threads: int = 0) -> np.ndarray:
    """Grid uplift in metres, as the grid cards store it: the range change
    (with the vertical look vector, the vertical displacement plus the ramp)
    divided by 1000.  With ``depth`` (the depth/mask values of the points) land
    (depth <= 0) gets 0 and water shallower than 250 gets depth/250 of the
    uplift.  ``x``, ``y``, ``depth`` and ``look`` (one vector or (..., 3))
    broadcast together; the result has the points' shape.

    A depth that is NaN has no meaning as water: such a cell counts as land
    (uplift 0), as a depth/mask value the grid cards could not read would;
    +inf is deep water (the whole uplift), -inf land.  A grid too large for
    the machine's memory raises ``MemoryError`` before anything is computed.
    """
    lk = _look(look)
    more = [("look", lk, 1)] if lk.ndim > 1 else []
    if depth is not None:
        more.append(("depth", np.asarray(depth, dtype=float), 0))
    shape, flat = _points(x, y, 4, *more)
    r = _vadrel.range_change(faults, flat[0], flat[1], flat[2] if lk.ndim > 1 else lk, threads=threads)
    if depth is None:
        return (r / 1000.0).reshape(shape)
    factor = _vadrel.depth_factors(flat[-1])
    return np.where(factor > 0.0, r * factor / 1000.0, 0.0).reshape(shape)


def read_depth(path: PathLike, shape: Sequence[int]) -> np.ndarray:
    """Read a depth/mask file as a ``D`` line makes the grid cards read it:
    ``shape`` = (nmax+1, mmax+1) rows of values in free format, each row
    starting on a new line (anything after a row's last value on its last
    line is ignored).  Returns the (rows, columns) array; depth <= 0 is land.
    ``ValueError`` naming the file and the row when it ends early or a value
    cannot be read; ``OSError`` when it cannot be read at all."""
    rows, cols = (_count("rows", shape[0]), _count("columns", shape[1]))
    return _vadrel.read_depth(os.fspath(path), rows, cols)


# The file readers and writers of this face live in vadrel.io, above the
# compiled core: initial-condition files, the one faults-file writer, and the
# old name of the safe writer.
__getattr__ = moved(__name__, {"read_ini": "vadrel.io.ini", "write_faults": "vadrel.io.faults",
                               "_replace_file": "vadrel.io.files:replace_file"})
