"""Maps of vadrel's outputs (matplotlib, Agg backend: no display needed).

    python3 -m vadrel.plot PRINT_FILE -o map.png [--faults FAULTS] [--value NAME] [--wrap 28.3] [--look E N U]
    python3 -m vadrel.plot FILE.ini -o uplift.png [--grid GRID.grd [--depth DEPTH.dep] |
                           --card "M x0 y0 dx dy nx ny" | --shape ROWS COLUMNS] [--faults FAULTS]
    python3 -m vadrel.plot MODEL.fsp|.param|.csv -o slip.png
    python3 -m vadrel.plot DTOPO.tt3|.nc -o dz.png [--model MODEL]

A print file is drawn as a map of its points: the range change (or, for
``residual`` records, the residual) in colour, optionally wrapped into
fringes of a radar half-wavelength in mm (``--wrap 28.3`` for C band);
``vector`` records as arrows of the horizontal motion over the colour of the
vertical; ``strain`` and partial-derivative records as one chosen column
(``--value duzde``, ``--value dip``).  With ``--faults`` the surface
projections of the segments are drawn (outline, the top edge bold).

Fringes are drawn only where they can be seen: where they would be denser
than one per two pixels (or one per two samples of a coarse print file) the
map is grey and a warning says how dense they get and over how much of the
map.  With ``--faults`` (the run's faults file) and a known look vector (the
range of ``vector`` records gives it, or ``--look``) the field is computed
anew at one sample per pixel, so only fringes finer than the pixels are
left grey.

An initial-condition file (.ini) is drawn as an uplift map: on the cells of
its curvilinear grid with ``--grid`` (land cells of the depth/mask file given
with ``--depth`` drawn in a land colour, apart from zero uplift), on the nodes
of a ``G`` or ``M`` card with ``--card`` (the card's line from the points
file), or on the grid's index axes: of ``--shape``, of the grid file beside
it (``bay.grd`` for ``bay.ini``), or of the shape its line breaks show.

A finite-fault model (``.fsp``, ``.param``, ``.csv``: see
:mod:`vadrel.sources`) is drawn as its slip on the subfaults in map view,
with the boundary polygons and the hypocentre; a tsunami source (``.tt3`` or
``.nc``: see :mod:`vadrel.tsunami`) as a map of its sea-floor uplift dz,
with the subfault outlines of ``--model``.
"""
from __future__ import annotations

import argparse
import math
import os
import sys
import warnings

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from matplotlib.collections import PolyCollection  # noqa: E402
from matplotlib.colors import ListedColormap  # noqa: E402
from matplotlib.patches import Patch  # noqa: E402

import vadrel  # noqa: E402

__all__ = ["read_print_file", "read_ini_file", "segment_outline", "plot_print_file", "plot_ini", "main",
           "AliasWarning"]


class AliasWarning(UserWarning):
    """Fringes too dense to draw on part of a map (drawn grey there)."""


# Record kinds by record length (without the newline), their field width and
# column names.
_KINDS = {
    33: ("range", 10, ("x", "y", "range")),
    55: ("residual", 10, ("x", "y", "observed", "range", "residual")),
    77: ("vector", 10, ("x", "y", "east", "north", "up", "norm", "range")),
    112: ("strain", 13, ("x", "y") + vadrel.STRAIN_COLUMNS),
    252: ("partial", 20, ("x", "y") + vadrel.PARTIAL_COLUMNS),
}
_UNITS = {"range": "mm", "observed": "mm", "residual": "mm", "east": "mm", "north": "mm", "up": "mm",
          "norm": "mm", "U1": "mm/mm", "U2": "mm/mm", "U3": "mm/mm", "strike": "mm/degree",
          "dip": "mm/degree"}
_LABELS = {"range": "range change", "residual": "residual range change (observed - computed)",
           "observed": "observed range change", "up": "vertical displacement", "east": "east displacement",
           "north": "north displacement", "norm": "displacement norm",
           "duede": "d(uEast)/dEast", "duedn": "d(uEast)/dNorth", "dunde": "d(uNorth)/dEast",
           "dundn": "d(uNorth)/dNorth", "duzde": "d(uUp)/dEast", "duzdn": "d(uUp)/dNorth"}


def _number(text):
    """A fixed-layout field: asterisks (too wide) give NaN; an exponent of
    three digits has no letter (-1.2345678901-103)."""
    t = text.strip()
    if not t or t.startswith("*"):
        return math.nan
    try:
        return float(t)
    except ValueError:
        k = max(t.rfind("+"), t.rfind("-"))
        return float(t[:k] + "E" + t[k:])


def read_print_file(path):
    """The records of a print file, grouped by kind.

    Returns a dict: kind ("range", "residual", "vector", "strain", "partial"
    or "analytic") -> (columns, array of shape (n, len(columns))).  Header
    and echo lines are skipped.
    """
    groups = {}
    analytic = False
    with open(os.fspath(path)) as f:
        for line in f:
            line = line.rstrip("\n")
            if line.lstrip().startswith("*"):
                if "Exact derivatives" in line:
                    analytic = True
                continue
            spec = _KINDS.get(len(line))
            if spec is None:
                continue
            kind, width, cols = spec
            if kind == "partial" and analytic:
                kind = "analytic"
            vals = [_number(line[k * (width + 1) + 1:(k + 1) * (width + 1)]) for k in range(len(cols))]
            groups.setdefault(kind, (cols, []))[1].append(vals)
    return {k: (cols, np.array(rows, dtype=float)) for k, (cols, rows) in groups.items()}


_SHAPE_HELP = ("pass --grid FILE.grd (a U or S card's grid), --card \"M x0 y0 dx dy nx ny\" (the G or M card "
               "of the points file) or --shape ROWS COLUMNS")


def _ini_shape_from_lines(lines):
    """(rows, columns) of an initial-condition file from its line breaks (a
    row wraps after five values and every row starts on a new line), or None
    when they cannot tell: rows of a multiple of five values."""
    counts = [len(l.split()) for l in lines if l.strip()]
    if not counts:
        raise ValueError("empty initial-condition file")
    n = 0
    for c in counts:
        n += c
        if c < 5:
            break
    else:
        return None
    values = sum(counts)
    if values % (3 * n):
        return None
    return values // (3 * n), n


def _grid_beside(path, values):
    """The grid file a U or S card named for this .ini (its name with any
    four-character ending, ``bay.grd`` for ``bay.ini``), when one lies
    beside it and has the file's number of values."""
    path = os.fspath(path)
    stem = path[:-4]
    folder = os.path.dirname(path) or "."
    base = os.path.basename(stem)
    for name in sorted(os.listdir(folder)):
        if len(name) != len(base) + 4 or not name.startswith(base) or name.endswith(".ini"):
            continue
        candidate = os.path.join(folder, name)
        try:
            xn, _ = vadrel.read_grid(candidate)
        except (ValueError, OSError):
            continue
        if 3 * (xn.shape[0] + 1) * (xn.shape[1] + 1) == values:
            return candidate
    return None


def ini_shape(path):
    """(rows, columns, grid file or None) of an initial-condition file: of
    the grid file beside it, else of its line breaks; ValueError saying what
    to pass when neither tells."""
    with open(os.fspath(path)) as f:
        lines = f.readlines()
    values = sum(len(l.split()) for l in lines)
    grid = _grid_beside(path, values)
    if grid is not None:
        xn, _ = vadrel.read_grid(grid)
        return xn.shape[0] + 1, xn.shape[1] + 1, grid
    shape = _ini_shape_from_lines(lines)
    if shape is None:
        raise ValueError(f"{path}: cannot tell the grid's shape (its rows may hold a multiple of five values): "
                         + _SHAPE_HELP)
    return shape[0], shape[1], None


def read_ini_file(path, shape=None):
    """The uplift rows of an initial-condition file (metres), of ``shape``
    (rows, columns), or of the shape :func:`ini_shape` finds."""
    if shape is None:
        shape = ini_shape(path)[:2]
    return vadrel.read_ini(path, shape)


def segment_outline(seg, scale=1.0):
    """Surface projection of a segment in map coordinates (km times
    ``scale``): the outline (5 points, closed) and the top (shallow) edge."""
    a = math.radians(90.0 - seg.strike)
    A, B = math.sin(a), math.cos(a)
    wc = seg.W * math.cos(math.radians(seg.dip))
    corners = [(0.0, 0.0), (seg.L, 0.0), (seg.L, wc), (0.0, wc), (0.0, 0.0)]
    pts = np.array([(seg.X + xs * B - ys * A, seg.Y + xs * A + ys * B) for xs, ys in corners]) * scale
    return pts, pts[2:4]


def _draw_faults(ax, faults, scale=1.0):
    if isinstance(faults, (str, os.PathLike)):
        faults = vadrel.read_faults(faults)
    for seg in faults.segments:
        outline, top = segment_outline(seg, scale)
        ax.plot(outline[:, 0], outline[:, 1], color="black", lw=0.8)
        ax.plot(top[:, 0], top[:, 1], color="black", lw=2.6, solid_capstyle="butt")


def _regular(x, y):
    """(xs, ys, index) when the points fill a regular lattice, else None."""
    xs = np.unique(x)
    ys = np.unique(y)
    if len(xs) * len(ys) != len(x) or len(xs) < 2 or len(ys) < 2:
        return None
    return xs, ys, (np.searchsorted(ys, y), np.searchsorted(xs, x))


def _colour_map(ax, x, y, v, cmap, vmin, vmax):
    reg = _regular(x, y)
    if reg is not None:
        xs, ys, (j, i) = reg
        grid = np.full((len(ys), len(xs)), np.nan)
        grid[j, i] = v
        return ax.pcolormesh(xs, ys, np.ma.masked_invalid(grid), shading="nearest", cmap=cmap, vmin=vmin,
                             vmax=vmax)
    span = max(np.ptp(x), np.ptp(y), 1e-9)
    size = max(4.0, 6e4 / max(len(x), 1) / max(span, 1.0) * span / 10.0)
    return ax.scatter(x, y, c=v, s=min(size, 60.0), marker="s", cmap=cmap, vmin=vmin, vmax=vmax,
                      edgecolors="none")


def _thin(x, y, most=25):
    """The points that get an arrow: every k-th row and column of a lattice
    so that at most `most` arrows run along a side; all points otherwise."""
    reg = _regular(x, y)
    if reg is None:
        return np.ones(len(x), dtype=bool)
    xs, ys, (j, i) = reg
    k = max(1, math.ceil(max(len(xs), len(ys)) / most))
    return (i % k == 0) & (j % k == 0)


def _symmetric(v):
    m = float(np.nanmax(np.abs(v))) if np.isfinite(v).any() else 1.0
    return (-m, m) if m > 0 else (-1.0, 1.0)


def _axes_pixels(fig, ax):
    """The map's size in pixels (columns, rows) and the size of a pixel in
    data units (the axes have equal aspect)."""
    ax.apply_aspect()
    box = ax.get_position()
    w = max(int(round(box.width * fig.get_figwidth() * fig.dpi)), 1)
    h = max(int(round(box.height * fig.get_figheight() * fig.dpi)), 1)
    (x0, x1), (y0, y1) = ax.get_xlim(), ax.get_ylim()
    return w, h, max(abs(x1 - x0) / w, abs(y1 - y0) / h)


def _fitted_look(cols, data, ramp):
    """The look vector of vector records: range - ramp = look . (east, north,
    up), fitted; None when one vector does not fit every record to the
    printed digits (the look vector varies, as with an E card)."""
    u = data[:, [cols.index("east"), cols.index("north"), cols.index("up")]]
    x, y = data[:, 0], data[:, 1]
    b = data[:, cols.index("range")] - (ramp[0] * x + ramp[1] * y + ramp[2])
    ok = np.isfinite(u).all(axis=1) & np.isfinite(b)
    if ok.sum() < 3:
        return None
    look, *_ = np.linalg.lstsq(u[ok], b[ok], rcond=None)
    # Four printed values of 0.1 mm each carry up to 0.05 mm of rounding.
    if np.abs(u[ok] @ look - b[ok]).max() > 0.05 * (1.0 + np.abs(look).sum()) + 1e-9:
        return None
    return look


def _model_field(faults, value, look, x, y):
    """The value (mm) computed by the module at points x, y (any shape)."""
    if value == "range":
        return vadrel.range_change(faults, x, y, look)
    return vadrel.displacement(faults, x, y)[..., ("east", "north", "up").index(value)]


# Nodes per pixel along each axis where the field is computed anew; each
# pixel shows the mean colour of its nodes, which keeps fringes of a few
# pixels from beating with the pixel grid.
_SUB = 3


def _check_model(faults, value, look, x, y, v):
    """ValueError unless the faults (and look vector) give the print file's
    values, to the printed digits."""
    worst = np.abs(_model_field(faults, value, look, x, y) - v)
    k = int(np.nanargmax(worst))
    if worst[k] > 0.06 + 1e-3 * np.nanmax(np.abs(v)):
        raise ValueError(f"the faults given do not give the print file's {value} (it differs by {worst[k]:.3g} mm "
                         f"at x = {x[k]:g}, y = {y[k]:g}): pass the run's faults file and look vector")


def _pixel_fringes(ax, faults, value, look, wrap, width, height, strip=64):
    """The wrapped field computed at _SUB x _SUB nodes in every pixel of the
    map, drawn as an image of the pixels' mean colours; returns the image and
    the fringes per pixel (the largest gradient among each pixel's nodes
    times the pixel's size, over the half-wavelength).  Worked through in
    strips of ``strip`` pixel rows, so that memory stays small at any size."""
    (x0, x1), (y0, y1) = ax.get_xlim(), ax.get_ylim()
    fx = x0 + (np.arange(_SUB * width) + 0.5) * (x1 - x0) / (_SUB * width)
    fy = y0 + (np.arange(-1, _SUB * height + 1) + 0.5) * (y1 - y0) / (_SUB * height)  # one node beyond each side
    pixel = max((x1 - x0) / width, (y1 - y0) / height)
    cmap = plt.get_cmap("hsv")
    rgb = np.empty((height, width, 3))
    density = np.empty((height, width))
    for r0 in range(0, height, strip):
        r1 = min(height, r0 + strip)
        ys = fy[_SUB * r0:_SUB * r1 + 2]
        field = _model_field(faults, value, look, fx[None, :], ys[:, None])
        gy, gx = np.gradient(field, ys, fx)
        blocks = (r1 - r0, _SUB, width, _SUB)
        density[r0:r1] = np.hypot(gx, gy)[1:-1].reshape(blocks).max(axis=(1, 3)) * pixel / wrap
        colours = cmap(np.mod(field[1:-1], wrap) / wrap)[..., :3]
        rgb[r0:r1] = colours.reshape(blocks + (3,)).mean(axis=(1, 3))
    rgb[density > 0.5] = 0.6
    image = ax.imshow(rgb, extent=(x0, x1, y0, y1), origin="lower", interpolation="nearest", aspect="equal")
    return image, density


def _fringe_density(xs, ys, grid, wrap, pixel):
    """Fringes per displayed cell at each node of a lattice: the gradient of
    the unwrapped value times the larger of the node spacing and the pixel,
    divided by the half-wavelength."""
    dx = np.diff(xs).min() if len(xs) > 1 else pixel
    dy = np.diff(ys).min() if len(ys) > 1 else pixel
    gy, gx = np.gradient(grid, ys, xs) if grid.shape[0] > 1 and grid.shape[1] > 1 else (0.0 * grid, 0.0 * grid)
    cell = max(dx, dy, pixel)
    return np.hypot(gx, gy) * cell / wrap, cell > pixel


def plot_print_file(path, out=None, *, value=None, faults=None, wrap=None, title=None, kind=None, look=None,
                    figsize=(7.0, 6.0), dpi=100):
    """Draws a print file as a map; returns (figure, colour mappable).

    ``value``: the column in colour (default: the range change; the residual
    for residual records; the vertical displacement for vector records,
    drawn under arrows of the horizontal one; duzde for strain records; U2
    for derivative records).  ``wrap``: a half-wavelength in mm; the value
    (in mm) is wrapped into [0, wrap) fringes.  ``faults``: a faults file or
    a :class:`vadrel.Faults` whose segments are outlined.  ``out``: PNG file
    written when given.

    Fringes denser than one per two pixels (or per two samples, when the
    print file's points are further apart than the pixels) cannot be drawn:
    such parts of the map are grey, and an :class:`AliasWarning` says how
    dense the fringes get there and over how much of the map.  With
    ``faults`` -- the run's own -- and a look vector (``look``, or the one the
    ``vector`` records' range gives) the range, east, north or up
    displacement is computed anew at one node per pixel first.
    """
    groups = read_print_file(path)
    if not groups:
        raise ValueError(f"{path}: no point records")
    if kind is None:
        kind = max(groups, key=lambda k: len(groups[k][1]))
    if kind not in groups:
        raise ValueError(f"{path}: no {kind} records (found {', '.join(groups)})")
    cols, data = groups[kind]
    default = {"range": "range", "residual": "residual", "vector": "up", "strain": "duzde",
               "partial": "U2", "analytic": "U2"}[kind]
    value = value or default
    if value not in cols[2:]:
        raise ValueError(f"{kind} records have no column {value!r}; choose one of {', '.join(cols[2:])}")
    x, y = data[:, 0], data[:, 1]
    v = data[:, cols.index(value)]
    units = _UNITS.get(value, "mm/km")
    label = f"{_LABELS.get(value, 'd(range)/d(' + value + ')')} ({units})"
    if isinstance(faults, (str, os.PathLike)):
        faults = vadrel.read_faults(faults)
    fig, ax = plt.subplots(figsize=figsize, dpi=dpi)
    if wrap is not None:
        if units != "mm" or not wrap > 0:
            raise ValueError("wrap needs a positive half-wavelength and a value in mm")
        m, label = _fringes(fig, ax, x, y, v, value, wrap, faults, look, cols, data)
    else:
        lo, hi = _symmetric(v) if value != "norm" else (0.0, float(np.nanmax(v)) or 1.0)
        m = _colour_map(ax, x, y, v, "RdBu_r", lo, hi)
    if kind == "vector" and wrap is None:
        e, n = data[:, cols.index("east")], data[:, cols.index("north")]
        keep = _thin(x, y)
        q = ax.quiver(x[keep], y[keep], e[keep], n[keep], angles="xy", pivot="tail", color="black",
                      width=0.003)
        big = float(np.nanmax(np.hypot(e, n)))
        if big > 0:
            ref = float(f"{big:.1g}")
            ax.quiverkey(q, 0.9, -0.12, ref, f"{ref:g} mm horizontal", labelpos="W", coordinates="axes")
    if faults is not None:
        _draw_faults(ax, faults)
    if wrap is None:
        fig.colorbar(m, ax=ax, label=label, shrink=0.85)
    ax.set_xlabel("x, east (km)")
    ax.set_ylabel("y, north (km)")
    ax.set_aspect("equal", adjustable="box")
    ax.set_title(title or f"{os.path.basename(os.fspath(path))}: {kind} records, {value}")
    if out is not None:
        fig.savefig(out)
    return fig, m


def _fringes(fig, ax, x, y, v, value, wrap, faults, look, cols, data):
    """Draws the wrapped value, grey where the fringes are too dense to see;
    returns the fringe mappable and the colour bar's label."""
    reg = _regular(x, y)
    if reg is not None:
        xs, ys, (j, i) = reg
        hx, hy = (xs[-1] - xs[0]) / (len(xs) - 1) / 2, (ys[-1] - ys[0]) / (len(ys) - 1) / 2
    else:
        xs, ys = np.unique(x), np.unique(y)
        hx = hy = 0.0
    extent = ((x.min() - hx, x.max() + hx), (y.min() - hy, y.max() + hy))
    span = max(extent[0][1] - extent[0][0], extent[1][1] - extent[1][0], 1e-9)
    ax.set_xlim(*extent[0] if extent[0][1] > extent[0][0] else (x.min() - span / 2, x.max() + span / 2))
    ax.set_ylim(*extent[1] if extent[1][1] > extent[1][0] else (y.min() - span / 2, y.max() + span / 2))
    ax.set_aspect("equal", adjustable="box")
    ax.set_autoscale_on(False)  # the fault outlines drawn later do not widen the map
    label = f"{_LABELS.get(value, value)} (mm), wrapped every {wrap:g} mm"
    cbar = fig.colorbar(plt.cm.ScalarMappable(plt.Normalize(0.0, wrap), "hsv"), ax=ax, shrink=0.85, label=label)
    width, height, pixel = _axes_pixels(fig, ax)
    if look is None and value == "range" and "east" in cols and faults is not None:
        look = _fitted_look(cols, data, faults.ramp)
    if faults is not None and value in ("range", "east", "north", "up") and (value != "range" or look is not None):
        # The field itself at every pixel, not the print file's samples.
        _check_model(faults, value, look, x, y, v)
        _, density = _pixel_fringes(ax, faults, value, look, wrap, width, height)
        m, per, computed = cbar.mappable, "pixel", True
    else:
        m = _colour_map(ax, x, y, np.mod(v, wrap), "hsv", 0.0, wrap)
        if reg is None:
            return m, label
        grid = np.full((len(ys), len(xs)), np.nan)
        grid[j, i] = v
        density, coarse = _fringe_density(xs, ys, grid, wrap, pixel)
        per, computed = ("sample of the print file" if coarse else "pixel"), False
        dense = density > 0.5
        if dense.any():
            ax.pcolormesh(xs, ys, np.ma.masked_where(~dense, np.ones_like(grid)), shading="nearest",
                          cmap=ListedColormap(["0.6"]), vmin=0.0, vmax=2.0)
    dense = density > 0.5
    if dense.any():
        share = 100.0 * dense.sum() / np.isfinite(density).sum()
        text = (f"fringes up to {np.nanmax(density):.2g} per {per}: too dense to draw on {share:.2g}% of the map "
                f"(grey)")
        if computed:
            text += "; a larger picture (--dpi) shows more of them"
        else:
            text += ("; with the run's faults file (--faults) and its look vector (vector records, or --look) "
                     "the field is computed at every pixel")
        ax.legend(handles=[Patch(color="0.6", label="fringes too dense to draw")], loc="lower left",
                  fontsize="small", framealpha=0.8)
        warnings.warn(text, AliasWarning, stacklevel=3)
    return m, label


def _parse_card(card):
    parts = card.split()
    if not parts or parts[0] not in ("G", "M") or len(parts) < 7:
        raise ValueError(f"a card is 'G lon0 lat0 dlon dlat nx ny' or 'M x0 y0 dx dy nx ny', got {card!r}")
    x0, y0, dx, dy = (float(p) for p in parts[1:5])
    return parts[0], x0, y0, dx, dy, int(parts[5]), int(parts[6])


_LAND = "#c8b48c"


def plot_ini(path, out=None, *, grid=None, card=None, depth=None, shape=None, faults=None, title=None,
             figsize=(7.0, 6.0), dpi=100):
    """Draws an initial-condition file as an uplift map; returns (figure,
    colour mappable).  ``grid``: the curvilinear grid file (cells drawn as
    polygons in its unit); ``depth``: its depth/mask file, whose land cells
    (depth <= 0, uplift 0 in the file) are drawn in a land colour, apart
    from water without uplift; ``card``: a ``G`` or ``M`` card line (nodes in
    degrees or km); ``shape``: (rows, columns) on the index axes; none of
    them: the grid file beside the .ini when there is one (``bay.grd`` for
    ``bay.ini``), else the index axes of the shape the line breaks show.
    ``faults`` are outlined on km and metre grids."""
    if grid is None and card is None and shape is None:
        rows, cols, grid = ini_shape(path)
        shape = None if grid is not None else (rows, cols)
    if depth is not None and grid is None:
        raise ValueError("--depth goes with the grid file (--grid) of a U or S card")
    fig, ax = plt.subplots(figsize=figsize, dpi=dpi)
    xlabel, ylabel, scale = "i", "j", None
    if grid is not None:
        xn, yn = vadrel.read_grid(grid)
        nmax, mmax = xn.shape
        up = read_ini_file(path, (nmax + 1, mmax + 1))
        land = None if depth is None else vadrel.read_depth(depth, (nmax + 1, mmax + 1)) <= 0.0
        present = (xn != 0.0) & (np.trunc(xn) != -999.0)
        polys, vals, dry = [], [], []
        for j in range(1, nmax):
            for i in range(1, mmax):
                corners = [(j - 1, i - 1), (j - 1, i), (j, i), (j, i - 1)]
                poly = [(xn[c], yn[c]) for c in corners if present[c]]
                if present[j, i] and len(poly) >= 3:
                    (dry if land is not None and land[j, i] else polys).append(poly)
                    if not (land is not None and land[j, i]):
                        vals.append(up[j, i])
        vals = np.array(vals)
        lo, hi = _symmetric(vals)
        m = PolyCollection(polys, array=vals, cmap="RdBu_r", edgecolors="face", linewidths=0.3)
        m.set_clim(lo, hi)
        ax.add_collection(m)
        if dry:
            ax.add_collection(PolyCollection(dry, facecolors=_LAND, edgecolors=_LAND, linewidths=0.3))
            ax.legend(handles=[Patch(color=_LAND, label="land (depth <= 0)")], loc="lower left", fontsize="small",
                      framealpha=0.8)
        ax.autoscale_view()
        degrees = np.nanmax(np.abs(xn[present])) <= 360.0 and np.nanmax(np.abs(yn[present])) <= 90.0
        xlabel, ylabel = ("longitude (degrees)", "latitude (degrees)") if degrees else ("x (m)", "y (m)")
        scale = None if degrees else 1000.0
        where = os.path.basename(os.fspath(grid))
    elif card is not None:
        kind, x0, y0, dx, dy, nx, ny = _parse_card(card)
        up = read_ini_file(path, (ny, nx))
        xs, ys = x0 + np.arange(nx) * dx, y0 + np.arange(ny) * dy
        lo, hi = _symmetric(up)
        m = ax.pcolormesh(xs, ys, up, shading="nearest", cmap="RdBu_r", vmin=lo, vmax=hi)
        if kind == "G":
            xlabel, ylabel = "longitude (degrees)", "latitude (degrees)"
        else:
            xlabel, ylabel, scale = "x, east (km)", "y, north (km)", 1.0
        where = f"{kind} card"
    else:
        up = read_ini_file(path, shape)
        lo, hi = _symmetric(up)
        m = ax.pcolormesh(up, cmap="RdBu_r", vmin=lo, vmax=hi)
        where = "grid indices"
    if faults is not None and scale is not None:
        _draw_faults(ax, faults, scale)
    fig.colorbar(m, ax=ax, label="uplift (m)", shrink=0.85)
    ax.set_xlabel(xlabel)
    ax.set_ylabel(ylabel)
    ax.set_aspect("equal", adjustable="box")
    ax.set_title(title or f"{os.path.basename(os.fspath(path))}: uplift on {where}")
    if out is not None:
        fig.savefig(out)
    return fig, m


_MODEL_SUFFIXES = (".fsp", ".param", ".csv")
_DTOPO_SUFFIXES = (".tt3", ".nc")


def main(argv=None):
    ap = argparse.ArgumentParser(prog="python3 -m vadrel.plot",
                                 description="Draw a vadrel print file or initial-condition file (.ini) as a "
                                             "map (PNG).")
    ap.add_argument("input", help="print file, initial-condition file (.ini), finite-fault model (.fsp, .param, "
                                  ".csv) or tsunami source (.tt3, .nc)")
    ap.add_argument("-o", "--output", help="PNG file (default: the input's name with .png)")
    ap.add_argument("--faults", help="faults file: draw the segments' surface projections")
    ap.add_argument("--value", help="column in colour (range, residual, observed, up, east, north, norm, "
                                    "a strain column such as duzde, or a parameter such as dip)")
    ap.add_argument("--kind", help="record kind to draw when a print file holds several")
    ap.add_argument("--wrap", type=float, help="wrap into fringes of this half-wavelength, mm (28.3 for C band)")
    ap.add_argument("--grid", help="curvilinear grid file of the .ini (U or S card)")
    ap.add_argument("--card", help="the G or M card line of the .ini, e.g. 'M -50 -50 1 1 101 101'")
    ap.add_argument("--depth", help="depth/mask file of the grid (--grid): land cells drawn apart from zero uplift")
    ap.add_argument("--shape", type=int, nargs=2, metavar=("ROWS", "COLUMNS"),
                    help="rows and columns of the .ini's uplift grid, drawn on its index axes")
    ap.add_argument("--look", type=float, nargs=3, metavar=("E", "N", "U"),
                    help="the run's look vector, to compute dense fringes of range records with --faults")
    ap.add_argument("--model", help="finite-fault model of a .tt3/.nc source: its subfaults outlined")
    ap.add_argument("--title", help="title of the map")
    ap.add_argument("--dpi", type=int, default=100)
    a = ap.parse_args(argv)
    kind = os.path.splitext(a.input)[1].lower()
    out = a.output or os.path.splitext(a.input)[0] + ".png"
    try:
        with warnings.catch_warnings(record=True) as notes:
            warnings.simplefilter("always", AliasWarning)
            if kind in _MODEL_SUFFIXES:
                from . import sources
                sources.plot_finite_fault(sources.read(a.input), out)
            elif kind in _DTOPO_SUFFIXES:
                from . import tsunami
                tsunami.plot_dtopo(a.input, out, source=a.model, title=a.title)
            elif a.input.endswith(".ini"):
                plot_ini(a.input, out, grid=a.grid, card=a.card, depth=a.depth, shape=a.shape, faults=a.faults,
                         title=a.title, dpi=a.dpi)
            else:
                plot_print_file(a.input, out, value=a.value, faults=a.faults, wrap=a.wrap, title=a.title,
                                kind=a.kind, look=a.look, dpi=a.dpi)
    except (ValueError, OSError) as e:
        print(f"vadrel.plot: {e}", file=sys.stderr)
        return 1
    for n in notes:
        print(f"vadrel.plot: {out}: {n.message}", file=sys.stderr)
    print(out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
