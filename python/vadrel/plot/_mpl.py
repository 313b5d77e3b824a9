"""Matplotlib for the pictures, imported only when a picture is drawn; no
backend is chosen here (a command line that has no display picks Agg with
:func:`use_agg`)."""
from __future__ import annotations

import math
import os
from collections.abc import Iterable
from types import ModuleType
from typing import TYPE_CHECKING, Any

import numpy as np

from vadrel import PathLike
from ..geometry import segment_outline
from ..io.files import replace_file

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

    from vadrel import Faults, Segment

__all__ = ["pyplot", "use_agg", "save", "draw_segments", "symmetric", "MESH", "lonlat_axes"]

#: Edges of a subfault mesh: thin and light, so that the field shows through.
MESH = {"linewidths": 0.25, "edgecolors": (0.15, 0.15, 0.15, 0.35)}


def pyplot() -> ModuleType:
    """``matplotlib.pyplot``, imported on first use."""
    import matplotlib.pyplot as plt
    return plt


def use_agg() -> None:
    """The Agg backend, for programs that write pictures to files."""
    import matplotlib
    matplotlib.use("Agg")


def save(fig: Figure, path: PathLike, dpi: float | None = None, *, close: bool = False, **options: Any) -> None:
    """``fig`` saved to ``path`` (the format from its extension, PNG without
    one), replacing any file there whole; the figure closed after with
    ``close``."""
    path = os.fspath(path)
    fmt = os.path.splitext(path)[1][1:].lower() or "png"
    try:
        replace_file(path, lambda tmp: fig.savefig(tmp, dpi=dpi if dpi is not None else "figure", format=fmt,
                                                **options),
                     text=False)
    finally:
        if close:
            pyplot().close(fig)


def draw_segments(ax: Axes, faults: PathLike | Faults | Iterable[Segment], scale: float = 1.0,
                  width: float = 2.6) -> None:
    """The surface projections of a faults file's (or a ``Faults``') segments:
    the outline thin, the top edge bold."""
    if isinstance(faults, (str, os.PathLike)):
        import vadrel
        faults = vadrel.read_faults(faults)
    for seg in getattr(faults, "segments", faults):
        outline, top = segment_outline(seg, scale)
        ax.plot(outline[:, 0], outline[:, 1], color="black", lw=0.8)
        ax.plot(top[:, 0], top[:, 1], color="black", lw=width, solid_capstyle="butt")


def symmetric(v: np.ndarray) -> tuple[float, float]:
    """Colour limits symmetric about 0 holding every finite value."""
    m = float(np.nanmax(np.abs(v))) if np.isfinite(v).any() else 1.0
    return (-m, m) if m > 0 else (-1.0, 1.0)


def lonlat_axes(ax: Axes, lat: float) -> None:
    """Longitude and latitude axes labelled, with the aspect that keeps
    distances true at latitude ``lat`` (1 / cos(lat))."""
    from matplotlib.ticker import MaxNLocator
    ax.set_aspect(1.0 / max(math.cos(math.radians(float(lat))), 0.05))
    ax.xaxis.set_major_locator(MaxNLocator(nbins=6, steps=[1, 2, 2.5, 5, 10]))
    ax.set_xlabel("longitude (degrees)")
    ax.set_ylabel("latitude (degrees)")
