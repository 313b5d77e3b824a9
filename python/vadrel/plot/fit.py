"""The pictures of a fit: data, model and residual maps side by side, and
the slip on the fitted plane."""
from __future__ import annotations

import numpy as np

from ..invert.data import datasets_of
from ..invert.slip import SlipFit
from . import _mpl

__all__ = ["plot_fit", "plot_slip"]


def plot_fit(fit, datasets, out=None, *, title=None, dpi=110):
    """Data, model and residual maps side by side, one row per dataset, with
    one colour scale per row and the fault outlined (the top edge bold).
    ``fit``: a :class:`FaultFit` or :class:`SlipFit`.  GNSS: the vertical in
    colour, the horizontal as arrows.  Saved to ``out`` (PNG) if given;
    returns the figure."""
    plt = _mpl.pyplot()
    datasets = datasets_of(datasets)
    segs = [fit.plane] if isinstance(fit, SlipFit) else list(fit.faults.segments)
    fig, axes = plt.subplots(len(datasets), 3, figsize=(13.5, 4.2 * len(datasets)), squeeze=False,
                             sharex=True, sharey=True, constrained_layout=True)
    for row, (d, pred, res) in enumerate(zip(datasets, fit.predicted, fit.residuals)):
        obs = d.shaped(d.obs)
        x, y = d.x[:d.npoints], d.y[:d.npoints]
        col = (lambda a: a[:, 2]) if d.kind == "gnss" else (lambda a: a)
        lim = float(np.percentile(np.abs(col(obs)), 99)) or 1.0
        if d.kind == "gnss":
            # One arrow scale for the row: the largest observed motion a sixth of the map.
            big = float(np.hypot(obs[:, 0], obs[:, 1]).max()) or 1.0
            span = max(float(np.ptp(x)), float(np.ptp(y)), 1.0)
            arrows = dict(angles="xy", scale_units="xy", scale=big / (span / 6.0), width=0.004)
        for ax, v, what in zip(axes[row], (obs, pred, res), ("data", "model", "residual")):
            sc = ax.scatter(x, y, c=col(v), s=5 if d.kind == "los" else 40, cmap="RdBu_r", vmin=-lim,
                            vmax=lim, linewidths=0)
            if d.kind == "gnss":
                q = ax.quiver(x, y, v[:, 0], v[:, 1], **arrows)
                ax.quiverkey(q, 0.08, 0.05, big, f"{big:.3g} mm", labelpos="E", coordinates="axes")
            _mpl.draw_segments(ax, segs, width=2.4)
            rms = f", rms {float(np.sqrt(np.mean(res ** 2))):.1f} mm" if what == "residual" else ""
            ax.set_title(f"{d.name}: {what}{rms}")
            ax.set_aspect("equal")
            ax.set_xlabel("x (km east)")
        axes[row][0].set_ylabel("y (km north)")
        unit = "vertical, mm" if d.kind == "gnss" else "range change, mm (towards the radar)"
        fig.colorbar(sc, ax=list(axes[row]), shrink=0.8, label=unit)
    if title:
        fig.suptitle(title)
    if out is not None:
        _mpl.save(fig, out, dpi, close=True)
    return fig


def plot_slip(fit, out=None, *, title=None, dpi=110):
    """Slip on the plane: its magnitude in colour and its direction as
    arrows (U1 along strike, U2 up dip), against the distance along strike
    and down dip from the top edge.  Saved to ``out`` if given; returns the
    figure."""
    plt = _mpl.pyplot()
    L, W = fit.plane.L, fit.plane.W
    mag = np.hypot(fit.slip[..., 0], fit.slip[..., 1]) / 1000.0
    fig, ax = plt.subplots(figsize=(11.0, 3.2 + 5.0 * min(1.0, W / L)), constrained_layout=True)
    im = ax.imshow(mag, extent=(0, L, W, 0), cmap="viridis", aspect="auto", interpolation="nearest")
    xs = (np.arange(fit.nx) + 0.5) * L / fit.nx
    ys = (np.arange(fit.ny) + 0.5) * W / fit.ny
    gx, gy = np.meshgrid(xs, ys)
    # Up dip is towards the top of the picture (the top edge at 0).
    ax.quiver(gx, gy, fit.slip[..., 0], fit.slip[..., 1], color="white", angles="uv", pivot="middle")
    ax.set_xlabel(f"along strike ({fit.plane.strike:.0f} degrees), km")
    ax.set_ylabel("down dip from the top edge, km")
    fig.colorbar(im, ax=ax, label="slip, m")
    mw = f"Mw {fit.Mw:.2f}, " if fit.Mw is not None else ""
    ax.set_title(title or f"slip: {mw}max {mag.max():.2f} m, VR {100 * fit.variance_reduction['all']:.1f} %")
    if out is not None:
        _mpl.save(fig, out, dpi, close=True)
    return fig
