"""Initial-condition files (``.ini``) as uplift maps: on the cells of their
curvilinear grid (land cells of a depth/mask file apart), on the nodes of a
``G`` or ``M`` card, or on the grid's index axes."""
from __future__ import annotations

import os
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING

import numpy as np

import vadrel
from vadrel import PathLike
from ..io.ini import ini_shape, read_ini_file
from . import _mpl
from ._mpl import draw_segments as _draw_faults
from ._mpl import symmetric as _symmetric

if TYPE_CHECKING:
    from matplotlib.cm import ScalarMappable
    from matplotlib.figure import Figure

    from vadrel import Faults, Segment

__all__ = ["plot_ini"]


def _parse_card(card):
    parts = card.split()
    if not parts or parts[0] not in ("G", "M") or len(parts) < 7:
        raise ValueError(f"a card is 'G lon0 lat0 dlon dlat nx ny' or 'M x0 y0 dx dy nx ny', got {card!r}")
    x0, y0, dx, dy = (float(p) for p in parts[1:5])
    return parts[0], x0, y0, dx, dy, int(parts[5]), int(parts[6])


_LAND = "#c8b48c"


def plot_ini(path: PathLike, out: PathLike | None = None, *, grid: PathLike | None = None, card: str | None = None,
             depth: PathLike | None = None, shape: Sequence[int] | None = None,
             faults: PathLike | Faults | Iterable[Segment] | None = None, title: str | None = None,
             figsize: tuple[float, float] = (7.0, 6.0), dpi: float = 100) -> tuple[Figure, ScalarMappable]:
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
    from matplotlib.collections import PolyCollection
    from matplotlib.patches import Patch
    fig, ax = _mpl.pyplot().subplots(figsize=figsize, dpi=dpi)
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
        _mpl.save(fig, out)
    return fig, m
