"""Maps of vadrel's outputs (matplotlib, Agg backend: no display needed).

    python3 -m vadrel.plot PRINT_FILE -o map.png [--faults FAULTS] [--value NAME] [--wrap 28.3]
    python3 -m vadrel.plot FILE.ini -o uplift.png [--grid GRID.grd | --card "M x0 y0 dx dy nx ny"] [--faults FAULTS]

A print file is drawn as a map of its points: the range change (or, for
``residual`` records, the residual) in colour, optionally wrapped into
fringes of a radar half-wavelength in mm (``--wrap 28.3`` for C band);
``vector`` records as arrows of the horizontal motion over the colour of the
vertical; ``strain`` and partial-derivative records as one chosen column
(``--value duzde``, ``--value dip``).  With ``--faults`` the surface
projections of the segments are drawn (outline, the top edge bold).

An initial-condition file (.ini) is drawn as an uplift map: on the cells of
its curvilinear grid with ``--grid``, on the nodes of a ``G`` or ``M`` card
with ``--card`` (the card's line from the points file).
"""
from __future__ import annotations

import argparse
import math
import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from matplotlib.collections import PolyCollection  # noqa: E402

import vadrel  # noqa: E402

__all__ = ["read_print_file", "read_ini_file", "segment_outline", "plot_print_file", "plot_ini", "main"]

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


def _ini_shape_from_lines(lines):
    """Row length of an initial-condition file from its line breaks: a row
    wraps after five values, and every row starts on a new line."""
    counts = [len(l.split()) for l in lines if l.strip()]
    if not counts:
        raise ValueError("empty initial-condition file")
    n = 0
    for c in counts:
        n += c
        if c < 5:
            break
    else:
        raise ValueError("cannot tell the row length (a multiple of 5): give the grid or the card")
    values = sum(counts)
    if values % (3 * n):
        raise ValueError("cannot tell the grid's shape: give the grid or the card")
    return values // (3 * n), n


def read_ini_file(path, shape=None):
    """The uplift rows of an initial-condition file (metres), of ``shape``
    (rows, columns), or of the shape its line breaks show."""
    if shape is None:
        with open(os.fspath(path)) as f:
            shape = _ini_shape_from_lines(f.readlines())
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


def plot_print_file(path, out=None, *, value=None, faults=None, wrap=None, title=None, kind=None,
                    figsize=(7.0, 6.0), dpi=100):
    """Draws a print file as a map; returns (figure, colour mappable).

    ``value``: the column in colour (default: the range change; the residual
    for residual records; the vertical displacement for vector records,
    drawn under arrows of the horizontal one; duzde for strain records; U2
    for derivative records).  ``wrap``: a half-wavelength in mm; the value
    (in mm) is wrapped into [0, wrap) fringes.  ``faults``: a faults file or
    a :class:`vadrel.Faults` whose segments are outlined.  ``out``: PNG file
    written when given.
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
    fig, ax = plt.subplots(figsize=figsize, dpi=dpi)
    if wrap is not None:
        if units != "mm" or not wrap > 0:
            raise ValueError("wrap needs a positive half-wavelength and a value in mm")
        v = np.mod(v, wrap)
        m = _colour_map(ax, x, y, v, "hsv", 0.0, wrap)
        label = f"{_LABELS.get(value, value)} (mm), wrapped every {wrap:g} mm"
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
    fig.colorbar(m, ax=ax, label=label, shrink=0.85)
    ax.set_xlabel("x, east (km)")
    ax.set_ylabel("y, north (km)")
    ax.set_aspect("equal", adjustable="box")
    ax.set_title(title or f"{os.path.basename(os.fspath(path))}: {kind} records, {value}")
    if out is not None:
        fig.savefig(out)
    return fig, m


def _parse_card(card):
    parts = card.split()
    if not parts or parts[0] not in ("G", "M") or len(parts) < 7:
        raise ValueError(f"a card is 'G lon0 lat0 dlon dlat nx ny' or 'M x0 y0 dx dy nx ny', got {card!r}")
    x0, y0, dx, dy = (float(p) for p in parts[1:5])
    return parts[0], x0, y0, dx, dy, int(parts[5]), int(parts[6])


def plot_ini(path, out=None, *, grid=None, card=None, faults=None, title=None, figsize=(7.0, 6.0), dpi=100):
    """Draws an initial-condition file as an uplift map; returns (figure,
    colour mappable).  ``grid``: the curvilinear grid file (cells drawn as
    polygons in its unit); ``card``: a ``G`` or ``M`` card line (nodes in
    degrees or km); neither: the grid's index axes.  ``faults`` are outlined
    on km and metre grids."""
    fig, ax = plt.subplots(figsize=figsize, dpi=dpi)
    xlabel, ylabel, scale = "i", "j", None
    if grid is not None:
        xn, yn = vadrel.read_grid(grid)
        nmax, mmax = xn.shape
        up = read_ini_file(path, (nmax + 1, mmax + 1))
        present = (xn != 0.0) & (np.trunc(xn) != -999.0)
        polys, vals = [], []
        for j in range(1, nmax):
            for i in range(1, mmax):
                corners = [(j - 1, i - 1), (j - 1, i), (j, i), (j, i - 1)]
                poly = [(xn[c], yn[c]) for c in corners if present[c]]
                if present[j, i] and len(poly) >= 3:
                    polys.append(poly)
                    vals.append(up[j, i])
        vals = np.array(vals)
        lo, hi = _symmetric(vals)
        m = PolyCollection(polys, array=vals, cmap="RdBu_r", edgecolors="face", linewidths=0.3)
        m.set_clim(lo, hi)
        ax.add_collection(m)
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
        up = read_ini_file(path)
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


def main(argv=None):
    ap = argparse.ArgumentParser(prog="python3 -m vadrel.plot",
                                 description="Draw a vadrel print file or initial-condition file (.ini) as a "
                                             "map (PNG).")
    ap.add_argument("input", help="print file, or initial-condition file ending in .ini")
    ap.add_argument("-o", "--output", help="PNG file (default: the input's name with .png)")
    ap.add_argument("--faults", help="faults file: draw the segments' surface projections")
    ap.add_argument("--value", help="column in colour (range, residual, observed, up, east, north, norm, "
                                    "a strain column such as duzde, or a parameter such as dip)")
    ap.add_argument("--kind", help="record kind to draw when a print file holds several")
    ap.add_argument("--wrap", type=float, help="wrap into fringes of this half-wavelength, mm (28.3 for C band)")
    ap.add_argument("--grid", help="curvilinear grid file of the .ini (U or S card)")
    ap.add_argument("--card", help="the G or M card line of the .ini, e.g. 'M -50 -50 1 1 101 101'")
    ap.add_argument("--title", help="title of the map")
    ap.add_argument("--dpi", type=int, default=100)
    a = ap.parse_args(argv)
    out = a.output or os.path.splitext(a.input)[0] + ".png"
    try:
        if a.input.endswith(".ini"):
            plot_ini(a.input, out, grid=a.grid, card=a.card, faults=a.faults, title=a.title, dpi=a.dpi)
        else:
            plot_print_file(a.input, out, value=a.value, faults=a.faults, wrap=a.wrap, title=a.title,
                            kind=a.kind, dpi=a.dpi)
    except (ValueError, OSError) as e:
        print(f"vadrel.plot: {e}", file=sys.stderr)
        return 1
    print(out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
