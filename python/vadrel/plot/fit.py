"""The pictures of a fit: data, model, residual and offset-and-ramp maps
side by side, and the slip on the fitted plane."""
from __future__ import annotations

from collections.abc import Iterable
from typing import TYPE_CHECKING

import numpy as np

from vadrel import PathLike
from ..geometry import segments_of
from ..invert.data import datasets_of
from . import _mpl
from .slip import plot_slip  # kept where callers found it before the slip pictures had their own module

if TYPE_CHECKING:
    from matplotlib.figure import Figure

    from ..invert import FaultFit, SlipFit
    from ..io.datasets import Dataset

__all__ = ["plot_fit", "plot_slip"]


def plot_fit(fit: FaultFit | SlipFit, datasets: Dataset | Iterable[Dataset], out: PathLike | None = None, *,
             title: str | None = None, dpi: float = 110) -> Figure:
    """Data, model, residual and offset-and-ramp maps side by side, one row
    per dataset, the fault outlined (the top edge bold).

    Data and model share one colour scale (the 99th percentile of the
    data's size); the residuals have their own, symmetric about 0 (the 99th
    percentile of their size), so that what the model misses shows however
    small it is; the fitted offset and ramp (part of the model) are drawn
    apart, on a scale of their own.  ``fit``: a :class:`FaultFit` or
    :class:`SlipFit`.  GNSS: the vertical in colour, the horizontal as
    arrows; the residual arrows at their own scale, with each station's 1
    sigma error ellipse at the arrow's tip and a scale arrow.  Saved to
    ``out`` (PNG) if given; returns the figure."""
    plt = _mpl.pyplot()
    datasets = datasets_of(datasets)
    if hasattr(fit, "faults"):
        segs = list(fit.faults.segments)
    else:
        segs = segments_of(getattr(fit, "planes", None) or fit.plane)
    fig, axes = plt.subplots(len(datasets), 4, figsize=(17.5, 4.2 * len(datasets)), squeeze=False,
                             sharex=True, sharey=True, constrained_layout=True)
    for row, (d, pred, res) in enumerate(zip(datasets, fit.predicted, fit.residuals)):
        obs = d.shaped(d.obs)
        x, y = d.x[:d.npoints], d.y[:d.npoints]
        gnss = d.kind == "gnss"
        col = (lambda a: a[:, 2]) if gnss else (lambda a: a)
        nuis = _nuisance_field(d, fit)
        lim = float(np.percentile(np.abs(col(obs)), 99)) or 1.0
        rlim = float(np.percentile(np.abs(col(res)), 99)) or 1.0
        nlim = float(np.abs(col(nuis)).max()) or 1.0
        scales = (lim, lim, rlim, nlim)
        span = max(float(np.ptp(x)), float(np.ptp(y)), 1.0)
        if gnss:
            # Arrow scales: the largest observed motion a sixth of the map;
            # the residuals' largest a tenth, on their own scale.
            big = float(np.hypot(obs[:, 0], obs[:, 1]).max()) or 1.0
            rbig = float(np.hypot(res[:, 0], res[:, 1]).max()) or 1.0
            arrows = [big, big, rbig, big]
            lengths = [span / 6.0, span / 6.0, span / 10.0, span / 6.0]
        images = []
        for c, (ax, v, what) in enumerate(zip(axes[row], (obs, pred, res, nuis),
                                              ("data", "model", "residual", "offset and ramp"))):
            sc = ax.scatter(x, y, c=col(v), s=5 if not gnss else 40, cmap="RdBu_r", vmin=-scales[c],
                            vmax=scales[c], linewidths=0)
            images.append(sc)
            if gnss:
                q = ax.quiver(x, y, v[:, 0], v[:, 1], angles="xy", scale_units="xy",
                              scale=arrows[c] / lengths[c], width=0.004)
                ax.quiverkey(q, 0.12, 0.06, arrows[c], f"{arrows[c]:.3g} mm", labelpos="E", coordinates="axes")
                if what == "residual":
                    _ellipses(ax, d, x + v[:, 0] * lengths[c] / arrows[c], y + v[:, 1] * lengths[c] / arrows[c],
                              lengths[c] / arrows[c])
            _mpl.draw_segments(ax, segs, width=2.4)
            rms = f", rms {float(np.sqrt(np.mean(res ** 2))):.1f} mm" if what == "residual" else ""
            if c == 3 and d.nuisance.shape[1] == 0:
                rms = ": none fitted"
            ax.set_title(f"{d.name}: {what}{rms}", fontsize=10)
            ax.set_aspect("equal")
            ax.set_xlabel("x (km east)")
        axes[row][0].set_ylabel("y (km north)")
        unit = "vertical, mm" if gnss else "range change, mm (towards the radar)"
        fig.colorbar(images[0], ax=list(axes[row][:2]), shrink=0.8, label=unit)
        fig.colorbar(images[2], ax=axes[row][2], shrink=0.8, label="residual, mm")
        fig.colorbar(images[3], ax=axes[row][3], shrink=0.8, label="offset and ramp, mm")
    if title:
        fig.suptitle(title)
    if out is not None:
        _mpl.save(fig, out, dpi, close=True)
    return fig


def _nuisance_field(d, fit):
    """The fitted offset and ramp at the dataset's points, shaped as the
    data (zero where none was fitted)."""
    off, ramp = fit.offsets.get(d.name), fit.ramps.get(d.name)
    x, y = d.x[:d.npoints], d.y[:d.npoints]
    if d.kind != "gnss":
        if off is None:
            return np.zeros(d.npoints)
        return off + ramp[0] * x + ramp[1] * y
    out = np.zeros((d.npoints, 3))
    for c in range(3):
        if off is not None:
            out[:, c] = off[c] + ramp[c][0] * x + ramp[c][1] * y
    return out


def _ellipses(ax, d, cx, cy, scale):
    """1 sigma error ellipses of the horizontal components at (cx, cy), in
    the arrows' scale (map km per mm)."""
    from matplotlib.collections import EllipseCollection
    m = d.npoints
    if d.sigma is not None:
        cov = np.zeros((m, 2, 2))
        cov[:, 0, 0], cov[:, 1, 1] = d.sigma[:m] ** 2, d.sigma[m:2 * m] ** 2
    elif d.chol is not None:
        C = d.chol @ d.chol.T
        i = np.arange(m)
        cov = np.stack([np.stack([C[i, i], C[i, m + i]], -1), np.stack([C[m + i, i], C[m + i, m + i]], -1)], 1)
    else:
        return
    w, v = np.linalg.eigh(cov)
    angle = np.degrees(np.arctan2(v[:, 1, 1], v[:, 0, 1]))
    widths = 2.0 * np.sqrt(np.maximum(w[:, 1], 0.0)) * scale
    heights = 2.0 * np.sqrt(np.maximum(w[:, 0], 0.0)) * scale
    ax.add_collection(EllipseCollection(widths, heights, angle, units="xy", offsets=np.column_stack([cx, cy]),
                                        offset_transform=ax.transData, facecolors="none", edgecolors="0.2",
                                        linewidths=0.7))
