"""The corner plot of a posterior: every parameter's histogram on the
diagonal and every pair's draws below it."""
from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING

import numpy as np

from vadrel import PathLike
from . import _mpl

if TYPE_CHECKING:
    from matplotlib.figure import Figure

    from ..invert import Posterior

__all__ = ["plot_posterior"]


def plot_posterior(post: Posterior, out: PathLike | None = None, *, params: Sequence[str] | None = None,
                   truth: Mapping[str, float] | None = None, best: bool = True, bins: int | None = None,
                   title: str | None = None, dpi: float = 100) -> Figure:
    """Corner plot of a :class:`~vadrel.invert.Posterior` (or of any object
    with ``samples`` (draws, parameters) and ``names``).

    Diagonal: the histogram of each parameter, its 5, 50 and 95 %
    quantiles dashed; below: 2-D histograms of the pairs with the 39 % and
    86 % highest-density contours (the 1 and 2 sigma ellipses of a
    Gaussian).  ``params``: the names to show (default all, offsets and
    ramps included); ``truth``: name -> value, drawn in red (a synthetic
    test's truth); ``best``: the best fit (``post.map``) drawn in black
    when the posterior has one; ``bins``: of the histograms (default from
    the draws' count, 10 to 40).  Saved to ``out`` (PNG) if given; returns
    the figure."""
    plt = _mpl.pyplot()
    names = list(post.names)
    params = names if params is None else list(params)
    for p in params:
        if p not in names:
            raise ValueError(f"no parameter '{p}' in the posterior (one of {', '.join(names)})")
    cols = [names.index(p) for p in params]
    S = np.asarray(post.samples)[:, cols]
    if bins is None:
        bins = int(np.clip(np.sqrt(S.shape[0]) / 2.0, 10, 40))
    k = len(params)
    size = max(1.6, min(2.4, 16.0 / max(k, 1)))
    fig, axes = plt.subplots(k, k, figsize=(size * k + 0.8, size * k + 0.6), squeeze=False)
    marks = []
    if truth:
        marks.append(({p: truth.get(p) for p in params}, "tab:red", "truth"))
    if best and getattr(post, "map", None):
        marks.append(({p: post.map.get(p) for p in params}, "black", "best fit"))
    lim = [_limits(S[:, i], [m[0].get(p) for m in marks]) for i, p in enumerate(params)]
    for i in range(k):
        for j in range(k):
            ax = axes[i][j]
            if j > i:
                ax.set_visible(False)
                continue
            if i == j:
                ax.hist(S[:, i], bins=bins, range=lim[i], color="0.45", histtype="stepfilled", alpha=0.7)
                for q in np.percentile(S[:, i], [5.0, 50.0, 95.0]):
                    ax.axvline(q, color="tab:blue", lw=0.9, ls="--")
                ax.set_yticks([])
                lo, hi = _interval(S[:, i])
                ax.set_title(f"{params[i]}\n{np.median(S[:, i]):.4g} [{lo:.4g}, {hi:.4g}]", fontsize=8)
            else:
                _pair(ax, S[:, j], S[:, i], lim[j], lim[i], bins)
            for values, colour, _ in marks:
                vx = values.get(params[j])
                if vx is not None:
                    ax.axvline(vx, color=colour, lw=1.0)
                vy = values.get(params[i])
                if i != j and vy is not None:
                    ax.axhline(vy, color=colour, lw=1.0)
                    if vx is not None:
                        ax.plot(vx, vy, "s", color=colour, ms=3)
            ax.set_xlim(lim[j])
            if i != j:
                ax.set_ylim(lim[i])
            ax.tick_params(labelsize=7)
            if i < k - 1:
                ax.set_xticklabels([])
            else:
                ax.set_xlabel(params[j], fontsize=8)
            if j > 0 and i != j:
                ax.set_yticklabels([])
            elif i != j:
                ax.set_ylabel(params[i], fontsize=8)
    if marks:
        from matplotlib.lines import Line2D
        handles = [Line2D([], [], color=c, lw=1.2, label=lab) for _, c, lab in marks]
        handles.append(Line2D([], [], color="tab:blue", lw=0.9, ls="--", label="5, 50, 95 %"))
        fig.legend(handles=handles, loc="upper right", fontsize=9, frameon=False)
    head = title
    if head is None and hasattr(post, "rhat"):
        head = (f"posterior: {np.asarray(post.samples).shape[0]} draws ({getattr(post, 'method', '')}), "
                f"R-hat max {np.max(post.rhat):.3f}, ESS min {np.min(post.ess):.0f}")
    if head:
        fig.suptitle(head, fontsize=10)
    # Margins in inches, whatever the count of parameters: room for the
    # tick labels and names at the left and bottom, little elsewhere.
    width, height = size * k + 0.8, size * k + 0.6
    fig.subplots_adjust(wspace=0.06, hspace=0.06 if k > 1 else 0.3, left=0.75 / width,
                        right=1.0 - 0.15 / width, bottom=0.55 / height, top=1.0 - 0.9 / height)
    if out is not None:
        _mpl.save(fig, out, dpi, close=True)
    return fig


def _interval(a, level=0.9):
    q = 50.0 * (1.0 - level)
    lo, hi = np.percentile(a, [q, 100.0 - q])
    return float(lo), float(hi)


def _limits(a, extra):
    lo, hi = np.percentile(a, [0.1, 99.9])
    for v in extra:
        if v is not None and np.isfinite(v):
            lo, hi = min(lo, v), max(hi, v)
    pad = 0.05 * (hi - lo) if hi > lo else max(abs(lo) * 1e-3, 1e-9)
    return float(lo - pad), float(hi + pad)


def _pair(ax, x, y, xl, yl, bins):
    H, xe, ye = np.histogram2d(x, y, bins=bins, range=[xl, yl])
    ax.imshow(H.T, origin="lower", extent=(xe[0], xe[-1], ye[0], ye[-1]), aspect="auto", cmap="Greys",
              interpolation="nearest")
    levels = _density_levels(H, (0.86, 0.39))
    if levels is not None:
        xc, yc = 0.5 * (xe[1:] + xe[:-1]), 0.5 * (ye[1:] + ye[:-1])
        ax.contour(xc, yc, H.T, levels=levels, colors="tab:blue", linewidths=0.8)


def _density_levels(H, masses):
    """Histogram heights enclosing the given fractions of the draws (the
    highest bins first), increasing; None when they do not separate."""
    flat = np.sort(H.ravel())[::-1]
    total = flat.sum()
    if total <= 0:
        return None
    cum = np.cumsum(flat) / total
    levels = sorted({float(flat[min(np.searchsorted(cum, m), flat.size - 1)]) for m in masses})
    levels = [v for v in levels if v > 0]
    return levels if len(levels) == len(masses) else None
