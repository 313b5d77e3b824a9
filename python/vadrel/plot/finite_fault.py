"""A finite-fault model in map view: each subfault's surface projection
coloured by its slip, the boundary polygons, the hypocentre."""
from __future__ import annotations

import math
import os

import numpy as np

from ..geometry import subfault_corners
from . import _mpl

__all__ = ["plot_finite_fault"]


def plot_finite_fault(ff, path=None, ax=None):
    """Map of a finite-fault model: each subfault's surface projection
    coloured by its slip (m), the boundary polygons, the hypocentre (a star).
    Draws on ``ax`` when given, else on a new figure; saves to ``path`` when
    given.  Returns the axes."""
    from matplotlib.collections import PolyCollection
    plt = _mpl.pyplot()

    if ax is None:
        fig, ax = plt.subplots(figsize=(7.0, 7.0))
    else:
        fig = ax.figure
    # Deepest first, so that the shallower subfaults of steep faults lie on top.
    order = np.argsort(-ff.subfaults["depth"], kind="stable")
    corners = subfault_corners(ff.subfaults[order])
    polys = PolyCollection(corners[:, :, :2], array=ff.subfaults["slip"][order], cmap="viridis",
                           edgecolors="0.4", linewidths=0.3)
    ax.add_collection(polys)
    fig.colorbar(polys, ax=ax, label="slip (m)", shrink=0.8)
    for k, poly in enumerate(ff.boundary):
        ax.plot(poly[:, 0], poly[:, 1], color="black", lw=1.2, label="boundary" if k == 0 else None)
    if ff.hypocentre is not None:
        ax.plot(ff.hypocentre[0], ff.hypocentre[1], marker="*", color="red", markersize=14,
                markeredgecolor="black", ls="none", label="hypocentre")
    ax.autoscale_view()
    mid = float(np.mean(corners[:, :, 1]))
    ax.set_aspect(1.0 / max(math.cos(math.radians(mid)), 0.05))
    ax.set_xlabel("longitude (degrees)")
    ax.set_ylabel("latitude (degrees)")
    name = os.path.basename(ff.path) if ff.path else "finite-fault model"
    ax.set_title(f"{name}: Mw {ff.Mw:.2f}, {len(ff.subfaults)} subfaults")
    if ff.boundary or ff.hypocentre is not None:
        ax.legend(loc="best", fontsize="small")
    if path is not None:
        _mpl.save(fig, path, 150, bbox_inches="tight")
    return ax
