"""Pictures of interferogram downsampling and noise: the leaves of a
quadtree (or of resolution sampling) over the data, and a semivariogram
with its fitted model.  matplotlib is imported when a picture is drawn,
with whatever backend the caller chose."""
from __future__ import annotations

import warnings
from collections.abc import Iterable
from typing import TYPE_CHECKING

import numpy as np

from vadrel import PathLike
from ._mpl import pyplot, save

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

    from vadrel import Faults, Segment
    from ..insar import Covariance, Interferogram
    from ..io.datasets import Dataset

__all__ = ["plot_leaves", "plot_semivariogram"]


def _limit(values):
    v = np.asarray(values, dtype=float)
    v = v[np.isfinite(v)]
    m = float(np.max(np.abs(v))) if v.size else 1.0
    return m if m > 0 else 1.0


def plot_leaves(dataset: Dataset, out: PathLike | None = None, *, ifg: Interferogram | None = None,
                faults: Faults | Segment | Iterable[Segment] | None = None, title: str | None = None,
                dpi: float = 110, cmap: str = "RdBu_r", ax: Axes | None = None) -> Figure | None:
    """The samples' leaves (their footprints, coloured by the mean
    line-of-sight value, mm towards the radar), beside the interferogram's
    pixels when ``ifg`` is given; fault outlines when ``faults`` are.
    Saved to ``out`` (format from its extension) or returned as the figure
    when ``out`` is None."""
    plt = pyplot()
    from matplotlib.collections import PolyCollection
    fp = getattr(dataset, "footprint", None)
    if fp is None:
        raise ValueError(f"{dataset!r} has no leaf footprints: it is not a downsampled interferogram")
    m = _limit(dataset.obs)
    if ifg is not None:
        m = max(m, _limit(ifg.los))
    if ax is None:
        ncols = 2 if ifg is not None else 1
        fig, axes = plt.subplots(1, ncols, figsize=(6.0 * ncols, 5.4), squeeze=False, sharex=True, sharey=True)
        axes = list(axes[0])
    else:
        fig, axes = ax.figure, [ax]
    if ifg is not None and len(axes) == 2:
        a = axes[0]
        with warnings.catch_warnings():
            # A projected geographic grid's km columns bend a little (the
            # meridians converge): the cell edges halfway between pixels hold.
            warnings.filterwarnings("ignore", message="The input coordinates to pcolormesh")
            im = a.pcolormesh(ifg.x, ifg.y, np.ma.masked_invalid(ifg.los), cmap=cmap, vmin=-m, vmax=m,
                              shading="nearest", rasterized=True)
        a.set_title(f"pixels ({int(np.count_nonzero(ifg.valid))} with data)")
        a.set_aspect("equal")
        a.set_xlabel("x (km)")
        a.set_ylabel("y (km)")
    a = axes[-1]
    pc = PolyCollection(fp, array=np.asarray(dataset.obs), cmap=cmap, edgecolors="0.25", linewidths=0.2)
    pc.set_clim(-m, m)
    a.add_collection(pc)
    a.autoscale_view()
    a.set_aspect("equal")
    a.set_xlabel("x (km)")
    a.set_title(title or f"{len(dataset)} leaves, {int(np.sum(dataset.pixels))} pixels")
    if faults is not None:
        from vadrel.insar._fault import outline, segments
        for seg in segments(faults):
            o = outline(seg)
            for b in axes:
                b.plot(*np.vstack([o, o[:1]]).T, color="k", lw=0.8)
                b.plot(*o[:2].T, color="k", lw=2.0)
    fig.colorbar(pc, ax=axes, label="line of sight (mm, towards the radar)", shrink=0.85)
    if out is None:
        return fig
    save(fig, out, dpi, close=True)
    return None


def plot_semivariogram(cov: Covariance, out: PathLike | None = None, *, title: str | None = None, dpi: float = 110,
                       ax: Axes | None = None) -> Figure | None:
    """The empirical semivariogram (or covariogram) a ``Covariance`` was
    fitted to, markers sized by their pair counts, with the fitted model,
    its sill, range and nugget."""
    plt = pyplot()
    if cov.lags is None:
        raise ValueError("this covariance was not estimated from data: no semivariogram to draw")
    if ax is None:
        fig, ax = plt.subplots(figsize=(6.4, 4.4))
    else:
        fig = ax.figure
    use = cov.counts > 0
    h = np.asarray(cov.lags)[use]
    n = np.asarray(cov.counts)[use]
    ax.scatter(h, np.asarray(cov.values)[use], s=8 + 40 * n / n.max(), color="C0", label="empirical", zorder=3)
    hh = np.linspace(0.0, max(h.max(), 1e-9) * 1.05, 300)[1:]
    if cov.kind == "semivariogram":
        ax.plot(hh, cov.semivariogram(hh), color="C3", label="fitted model")
        ax.axhline(cov.sill + cov.nugget, color="0.5", lw=0.6, ls="--")
        ax.set_ylabel("semivariance (mm$^2$)")
    else:
        ax.plot(hh, cov.function(hh), color="C3", label="fitted model")
        ax.axhline(0.0, color="0.5", lw=0.6)
        ax.set_ylabel("covariance (mm$^2$)")
    ax.axvline(cov.range, color="0.5", lw=0.6, ls=":")
    ax.set_xlabel("distance (km)")
    ax.set_xlim(0, None)
    ax.set_title(title or f"{cov.model}: sill {cov.sill:.3g} mm$^2$, range {cov.range:.3g} km, "
                          f"nugget {cov.nugget:.3g} mm$^2$")
    note = "" if cov.converged and not cov.at_bound else "  (" + (
        "not converged" if not cov.converged else "on a bound: " + ", ".join(cov.at_bound)) + ")"
    ax.legend(title=f"{cov.pixels} pixels{note}", fontsize=8, title_fontsize=8)
    if out is None:
        return fig
    save(fig, out, dpi, close=True)
    return None
