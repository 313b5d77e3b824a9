"""A tsunami source as a map of its sea-floor uplift dz, with the outlines
of the model's subfaults."""
from __future__ import annotations

import math

import numpy as np

from ..geometry import subfault_outlines
from ..tsunami import DTopo, read_dtopo
from ..sources import FiniteFault, read
from . import _mpl

__all__ = ["plot_dtopo"]


def plot_dtopo(dtopo, path=None, ax=None, source=None, frame=-1, title=None):
    """Map of ``dz`` (one frame, the last by default) on a diverging colour
    scale centred on 0, with the subfault outlines of ``source`` (a
    FiniteFault or a path) when given.  Saved to ``path`` when given;
    returns the axes."""
    plt = _mpl.pyplot()
    if not isinstance(dtopo, DTopo):
        dtopo = read_dtopo(dtopo)
    z = dtopo.dz[frame]
    own = ax is None
    if own:
        fig, ax = plt.subplots(figsize=(7.0, 6.0))
    else:
        fig = ax.figure
    top = float(np.max(np.abs(z))) or 1.0
    mesh = ax.pcolormesh(dtopo.lon, dtopo.lat, z, cmap="RdBu_r", vmin=-top, vmax=top, shading="nearest")
    fig.colorbar(mesh, ax=ax, label="dz (m)")
    if source is not None:
        ff = source if isinstance(source, FiniteFault) else read(source)
        sub = ff.subfaults
        for outline in subfault_outlines(sub):
            ax.plot(outline[:, 0], outline[:, 1], color="0.3", linewidth=0.4)
    ax.set_xlim(dtopo.lon[0], dtopo.lon[-1])
    ax.set_ylim(dtopo.lat[0], dtopo.lat[-1])
    ax.set_xlabel("longitude (degrees)")
    ax.set_ylabel("latitude (degrees)")
    ax.set_aspect(1.0 / max(0.05, math.cos(math.radians(0.5 * (dtopo.lat[0] + dtopo.lat[-1])))))
    ax.set_title(title or f"dz at t = {dtopo.times[frame]:g} s: {z.min():.3g} to {z.max():.3g} m")
    if own and path is not None:
        _mpl.save(fig, path, 120, close=True)
    return ax
