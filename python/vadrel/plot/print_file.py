"""The program's print files as maps: range change (or residuals) in
colour, optionally wrapped into fringes; vector records as arrows over the
vertical; strain and derivative records as one chosen column.

Fringes are drawn only where they can be seen: where they would be denser
than one per two pixels (or one per two samples of a coarse print file) the
map is grey and an :class:`AliasWarning` says how dense they get and over how
much of the map.  With the run's faults and a known look vector the field is
computed anew at one sample per pixel, so only fringes finer than the pixels
are left grey."""
from __future__ import annotations

import math
import os
import warnings
from collections.abc import Sequence
from typing import TYPE_CHECKING

import numpy as np

import vadrel
from vadrel import PathLike
from ..io.print_file import read_print_file
from . import _mpl
from ._mpl import draw_segments as _draw_faults
from ._mpl import symmetric as _symmetric

if TYPE_CHECKING:
    from matplotlib.cm import ScalarMappable
    from matplotlib.figure import Figure

__all__ = ["AliasWarning", "plot_print_file"]


class AliasWarning(UserWarning):
    """Fringes too dense to draw on part of a map (drawn grey there)."""


_UNITS = {"range": "mm", "observed": "mm", "residual": "mm", "east": "mm", "north": "mm", "up": "mm",
          "norm": "mm", "U1": "mm/mm", "U2": "mm/mm", "U3": "mm/mm", "strike": "mm/degree",
          "dip": "mm/degree"}
_LABELS = {"range": "range change", "residual": "residual range change (observed - computed)",
           "observed": "observed range change", "up": "vertical displacement", "east": "east displacement",
           "north": "north displacement", "norm": "displacement norm",
           "duede": "d(uEast)/dEast", "duedn": "d(uEast)/dNorth", "dunde": "d(uNorth)/dEast",
           "dundn": "d(uNorth)/dNorth", "duzde": "d(uUp)/dEast", "duzdn": "d(uUp)/dNorth"}


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
    cmap = _mpl.pyplot().get_cmap("hsv")
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


def plot_print_file(path: PathLike, out: PathLike | None = None, *, value: str | None = None,
                    faults: PathLike | vadrel.Faults | None = None, wrap: float | None = None, title: str | None = None,
                    kind: str | None = None, look: Sequence[float] | None = None,
                    figsize: tuple[float, float] = (7.0, 6.0), dpi: float = 100) -> tuple[Figure, ScalarMappable]:
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
    fig, ax = _mpl.pyplot().subplots(figsize=figsize, dpi=dpi)
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
        _mpl.save(fig, out)
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
    from matplotlib.cm import ScalarMappable
    from matplotlib.colors import ListedColormap, Normalize
    from matplotlib.patches import Patch
    cbar = fig.colorbar(ScalarMappable(Normalize(0.0, wrap), "hsv"), ax=ax, shrink=0.85, label=label)
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
