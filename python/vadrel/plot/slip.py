"""The pictures of a slip inversion: the slip map (:func:`plot_slip`), the
diagonal of the resolution matrix (:func:`plot_resolution`), the L-curve
with its corner (:func:`plot_lcurve`) and the checkerboard test
(:func:`plot_checkerboard`).

Slip maps show the patches of every segment laid end to end: the distance
along strike across, the depth down (increasing downward), at equal scales,
so a patch looks as large as it is in depth; segments are named above and
parted by a line.  Slip is drawn in metres.
"""
from __future__ import annotations

import math
from typing import TYPE_CHECKING

import numpy as np

from vadrel import PathLike
from . import _mpl

if TYPE_CHECKING:
    from matplotlib.figure import Figure

    from ..invert import Checkerboard, LCurve, Resolution, SlipFit

__all__ = ["plot_slip", "plot_resolution", "plot_lcurve", "plot_checkerboard"]


def _figure(layout, rows=1):
    """A figure of ``rows`` slip maps, each as wide as the page and as tall
    as its depth range at equal scales (within reason)."""
    plt = _mpl.pyplot()
    r = layout.rects
    along = float(r[:, 1].max() - r[:, 0].min())
    deep = float(r[:, 3].max() - r[:, 2].min())
    h = min(max(11.0 * deep / max(along, 1e-9), 1.2), 6.0) + 1.6
    fig, axes = plt.subplots(rows, 1, figsize=(11.0, h * rows), squeeze=False, constrained_layout=True)
    return fig, axes[:, 0]


def _patches(ax, layout, values, *, cmap, vmin, vmax, label, fig):
    """The patches coloured by ``values``, the segments marked, the axes
    set (depth down, equal scales); the colour bar added."""
    from matplotlib.collections import PolyCollection
    r = layout.rects
    polys = np.stack([np.column_stack([r[:, 0], r[:, 2]]), np.column_stack([r[:, 1], r[:, 2]]),
                      np.column_stack([r[:, 1], r[:, 3]]), np.column_stack([r[:, 0], r[:, 3]])], axis=1)
    pc = PolyCollection(polys, array=np.asarray(values, dtype=float), cmap=cmap, edgecolors="none")
    pc.set_clim(vmin, vmax)
    ax.add_collection(pc)
    top, bottom = float(r[:, 2].min()), float(r[:, 3].max())
    for x0, x1, name in layout.spans:
        ax.text(0.5 * (x0 + x1), top, name, ha="center", va="bottom", fontsize=8)
        for x in (x0, x1):
            ax.plot([x, x], [top, bottom], color="0.3", lw=0.6)
    ax.set_xlim(float(r[:, 0].min()), float(r[:, 1].max()))
    ax.set_ylim(bottom, top - 0.06 * max(bottom - top, 1e-9))
    ax.set_aspect("equal")
    ax.set_xlabel("along strike, km (segments end to end)")
    ax.set_ylabel("depth, km")
    fig.colorbar(pc, ax=ax, label=label, shrink=0.9)
    return polys


def _arrows(ax, layout, slip, big=None):
    """Rake arrows (U1 along strike, U2 up dip, so up the picture) at the
    patches, the longest (or ``big`` mm) 0.9 of the smaller patch side, on
    at most about 500 patches; an arrow key."""
    mag = np.hypot(slip[:, 0], slip[:, 1])
    big = (float(mag.max()) if mag.size else 0.0) if big is None else float(big)
    if big <= 0:
        return
    c = layout.centres
    side = float(np.min(np.minimum(layout.rects[:, 1] - layout.rects[:, 0], layout.rects[:, 3] - layout.rects[:, 2])))
    stride = max(1, int(math.ceil(math.sqrt(len(mag) / 500.0))))
    pick = np.flatnonzero((mag > 0.02 * big) & (np.arange(len(mag)) % stride == 0))
    scale = big / (0.9 * stride * max(side, 1e-9))
    q = ax.quiver(c[pick, 0], c[pick, 1], slip[pick, 0], slip[pick, 1], angles="uv", scale_units="xy",
                  scale=scale, pivot="middle", color="white", edgecolor="black", linewidth=0.3, width=0.0018,
                  headwidth=3.5, headlength=4.0, headaxislength=3.5)
    key = _round(big)
    ax.quiverkey(q, 0.9, 1.03, key, f"{key / 1000.0:.3g} m", labelpos="E", coordinates="axes",
                 color="black")


def _round(v):
    """A round number (1, 2 or 5 times a power of ten) at most v."""
    e = 10.0 ** math.floor(math.log10(v))
    return max(m * e for m in (1.0, 2.0, 5.0) if m * e <= v)


def _bounds(ax, polys, at_bound):
    from matplotlib.collections import PolyCollection
    if np.any(at_bound):
        ax.add_collection(PolyCollection(polys[np.asarray(at_bound)], facecolors="none", edgecolors="0.85",
                                         hatch="////", linewidths=0.0, label="at a bound"))
        ax.legend(loc="lower right", fontsize=8, framealpha=0.8)


def plot_slip(fit: SlipFit, out: PathLike | None = None, *, title: str | None = None, dpi: float = 110,
              arrows: bool = True) -> Figure:
    """The slip of a :class:`SlipFit`: its magnitude in colour (m), its
    direction as rake arrows with a key, patches where a bound holds
    hatched; every segment, laid end to end, against depth.  Saved to
    ``out`` (PNG, or the format of its extension) if given; returns the
    figure."""
    lay = fit.layout
    slip = fit.patch_slip
    fig, (ax,) = _figure(lay)
    mag = np.hypot(slip[:, 0], slip[:, 1]) / 1000.0
    polys = _patches(ax, lay, mag, cmap="viridis", vmin=0.0, vmax=float(mag.max()) or 1.0, label="slip, m", fig=fig)
    _bounds(ax, polys, fit.at_bound)
    if arrows:
        _arrows(ax, lay, slip)
    mw = f"Mw {fit.Mw:.2f}, " if fit.Mw is not None else ""
    state = "" if fit.converged else f", {fit.status}"
    ax.set_title(title or f"slip: {mw}max {mag.max():.2f} m, rms {fit.rms['all']:.3g} mm, "
                          f"VR {100 * fit.variance_reduction['all']:.1f} %, smoothing {fit.smoothing:.3g}{state}",
                 loc="left")
    if out is not None:
        _mpl.save(fig, out, dpi, close=True)
    return fig


def plot_resolution(res: Resolution, out: PathLike | None = None, *, title: str | None = None,
                    dpi: float = 110) -> Figure:
    """The diagonal of the resolution matrix (:func:`vadrel.invert.resolution`)
    on the patches, for strike slip and dip slip, 0 to 1."""
    fig, axes = _figure(res.layout, rows=2)
    for ax, k, what in zip(axes, (0, 1), ("strike slip U1", "dip slip U2")):
        _patches(ax, res.layout, res.diagonal[:, k], cmap="magma", vmin=0.0, vmax=1.0,
                 label="resolution", fig=fig)
        ax.set_title(f"{what}: diagonal of the resolution matrix", loc="left")
    fig.suptitle(title or f"resolution, smoothing {res.smoothing:.3g}: {res.trace:.1f} parameters effectively "
                          f"fitted of {res.diagonal.size + res.nuisance.size}")
    if out is not None:
        _mpl.save(fig, out, dpi, close=True)
    return fig


def plot_checkerboard(cb: Checkerboard, out: PathLike | None = None, *, title: str | None = None,
                      dpi: float = 110) -> Figure:
    """The checkerboard test (:func:`vadrel.invert.checkerboard`): the test
    slip above, the slip recovered from its synthetic data below, on one
    colour scale, with rake arrows."""
    fig, axes = _figure(cb.layout, rows=2)
    top = max(float(np.hypot(*cb.input.T).max()), float(np.hypot(*cb.recovered.T).max()), 1e-9) / 1000.0
    for ax, s, what in zip(axes, (cb.input, cb.recovered), ("test slip", "recovered")):
        _patches(ax, cb.layout, np.hypot(s[:, 0], s[:, 1]) / 1000.0, cmap="viridis", vmin=0.0, vmax=top,
                 label="slip, m", fig=fig)
        _arrows(ax, cb.layout, s, big=1000.0 * top)
        ax.set_title(what, loc="left")
    fig.suptitle(title or f"checkerboard {cb.size[0]:g} x {cb.size[1]:g} km, smoothing {cb.smoothing:.3g}: "
                          f"{100 * cb.recovery:.1f} % recovered")
    if out is not None:
        _mpl.save(fig, out, dpi, close=True)
    return fig


def plot_lcurve(lc: LCurve, out: PathLike | None = None, *, title: str | None = None,
                dpi: float = 110) -> Figure:
    """The L-curve (:func:`vadrel.invert.lcurve`): roughness against misfit
    on logarithmic axes, each point labelled with its smoothing weight, the
    corner (greatest curvature, on the interpolated curve) marked."""
    plt = _mpl.pyplot()
    fig, ax = plt.subplots(figsize=(6.5, 5.0), constrained_layout=True)
    m, r, s = np.asarray(lc.misfit), np.asarray(lc.roughness), np.asarray(lc.smoothings)
    order = np.argsort(s)
    ax.loglog(m[order], r[order], "o-", color="C0", ms=4)
    for mi, ri, si in zip(m, r, s):
        ax.annotate(f"{si:g}", (mi, ri), textcoords="offset points", xytext=(5, 3), fontsize=7)
    if lc.corner is not None:
        ax.loglog([lc.corner_misfit], [lc.corner_roughness], "o", ms=12, mfc="none", mec="C3", mew=2,
                  label=f"corner: smoothing {lc.corner_smoothing:.3g}")
        ax.legend(loc="upper right")
    ax.set_xlabel("misfit (weighted rms of the residuals)")
    ax.set_ylabel("roughness (rms Laplacian of slip), mm/km$^2$")
    ax.set_title(title or "L-curve")
    if out is not None:
        _mpl.save(fig, out, dpi, close=True)
    return fig
