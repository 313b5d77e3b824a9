"""A tsunami source as a map of its sea-floor uplift dz: one frame, on a
diverging colour scale symmetric about zero, with the subfaults of the
model outlined thinly, its hypocentre, and the coastlines.

The map keeps the grid's own longitudes (a grid across the antimeridian is
contiguous in them); the model's outlines and the coastlines are wrapped to
within 180 degrees of the grid's middle."""
from __future__ import annotations

import math
import os

from typing import TYPE_CHECKING

import numpy as np

from vadrel import PathLike
from .. import geodesy, sources
from ..geometry import subfault_outlines
from ..sources import FiniteFault
from ..tsunami import DTopo
from . import _mpl, coast as _coast
from .finite_fault import HYPOCENTRE
from .inputs import read_tsunami_source

if TYPE_CHECKING:
    from matplotlib.axes import Axes

__all__ = ["plot_dtopo", "frame_index"]


def frame_index(dtopo: DTopo, frame: int | None = None, time: float | None = None) -> int:
    """The frame to draw: ``frame`` (an index from 0, or negative from the
    end), or the frame nearest ``time`` s, or the last.  ``ValueError`` for a
    frame that is not there or a time more than half a frame step beyond the
    source's times."""
    times = np.asarray(dtopo.times, dtype=float)
    n = len(times)
    if frame is not None and time is not None:
        raise ValueError("give a frame or a time, not both")
    if time is not None:
        time = float(time)
        step = float(np.min(np.diff(times))) if n > 1 else 0.0
        if not math.isfinite(time) or time < times[0] - 0.5 * step - 1e-9 or time > times[-1] + 0.5 * step + 1e-9:
            span = f"at {times[0]:g} s" if n == 1 else f"from {times[0]:g} to {times[-1]:g} s"
            raise ValueError(f"no frame at t = {time:g} s: the source has {n} frame{'s' if n > 1 else ''} {span}")
        return int(np.argmin(np.abs(times - time)))
    if frame is None:
        return n - 1
    if not -n <= int(frame) < n:
        raise ValueError(f"no frame {frame}: the source has {n} frame{'s' if n > 1 else ''} (0 to {n - 1})")
    return int(frame) % n


def _uniform(a):
    return len(a) < 3 or np.ptp(np.diff(a)) <= 1e-6 * abs(a[-1] - a[0]) / (len(a) - 1)


def _edges(a):
    """Cell edges about the nodes of an ascending axis."""
    if len(a) == 1:
        return a[0] + np.array([-0.01, 0.01])
    mid = 0.5 * (a[1:] + a[:-1])
    return np.concatenate([[2 * a[0] - mid[0]], mid, [2 * a[-1] - mid[-1]]])


def plot_dtopo(dtopo: DTopo | PathLike, path: PathLike | None = None, ax: Axes | None = None,
               source: FiniteFault | PathLike | None = None, frame: int | None = None, title: str | None = None, *,
               time: float | None = None, reference: str | None = None, coast: bool | None = None,
               dpi: int = 110) -> Axes:
    """Map of a tsunami source's ``dz`` (a :class:`~vadrel.tsunami.DTopo`, or a
    file in any layout it is written in, recognised by content:
    :func:`vadrel.plot.inputs.read_tsunami_source`).

    One frame (:func:`frame_index`: ``frame``, or the one nearest ``time``
    s, else the last) on a diverging scale symmetric about 0; the
    subfaults of ``source`` (a FiniteFault or a model file, read with
    ``reference``) outlined thinly, with its hypocentre; coastlines as
    ``coast`` says (:func:`vadrel.plot.coast.coastlines`).  Draws on ``ax``
    when given, else on a new figure; saved to ``path`` when given.
    Returns the axes."""
    plt = _mpl.pyplot()
    if not isinstance(dtopo, DTopo):
        dtopo = read_tsunami_source(dtopo)
    k = frame_index(dtopo, frame, time)
    lon, lat = np.asarray(dtopo.lon, dtype=float), np.asarray(dtopo.lat, dtype=float)
    z = np.asarray(dtopo.dz[k], dtype=float)
    own = ax is None
    if own:
        fig, ax = plt.subplots(figsize=(7.5, 6.5), layout="constrained")
    else:
        fig = ax.figure
    lo, hi = _mpl.symmetric(z)
    xe, ye = _edges(lon), _edges(lat)
    if _uniform(lon) and _uniform(lat):
        field = ax.imshow(z, extent=(xe[0], xe[-1], ye[0], ye[-1]), origin="lower", cmap="RdBu_r", vmin=lo,
                          vmax=hi, interpolation="nearest", aspect="auto")
    else:
        field = ax.pcolormesh(xe, ye, z, cmap="RdBu_r", vmin=lo, vmax=hi, shading="flat")
    fig.colorbar(field, ax=ax, label="dz (m), up positive", shrink=0.85)
    centre = 0.5 * (xe[0] + xe[-1])
    if source is not None:
        from matplotlib.collections import PolyCollection
        ff = source if isinstance(source, FiniteFault) else sources.read(source, reference=reference)
        outlines = subfault_outlines(ff.subfaults)
        outlines[:, :, 0] = geodesy.wrap(outlines[:, :, 0], centre)
        ax.add_collection(PolyCollection(outlines[:, :4], facecolors="none", zorder=3, **_mpl.MESH),
                          autolim=False)
        if ff.hypocentre is not None:
            ax.plot(geodesy.wrap(ff.hypocentre[0], centre), ff.hypocentre[1], label="hypocentre", **HYPOCENTRE)
    ax.set_xlim(xe[0], xe[-1])
    ax.set_ylim(ye[0], ye[-1])
    _mpl.lonlat_axes(ax, 0.5 * (ye[0] + ye[-1]))
    _coast.draw_coast(ax, _coast.coastlines(xe[0], xe[-1], ye[0], ye[-1], coast))
    if ax.lines:
        ax.legend(loc="lower left", fontsize="small", framealpha=0.8)
    n = len(dtopo.times)
    which = f" (frame {k} of 0 to {n - 1})" if n > 1 else ""
    ax.set_title(title or f"dz at t = {dtopo.times[k]:g} s{which}: {z.min():.3g} to {z.max():.3g} m")
    if own and path is not None:
        _mpl.save(fig, path, dpi, close=True)
    return ax
