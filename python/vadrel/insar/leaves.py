"""Leaves: rectangular blocks of pixels of an interferogram, their averages,
and the dataset of their averages.

Sums over any block come from summed-area tables (running sums over rows
and columns) of the valid-pixel count, the line-of-sight value and its
square, the positions and the look vectors, so a block's statistics cost
four look-ups whatever its size.  Blocks are half-open index ranges
``(r0, r1, c0, c1)``: rows r0..r1-1, columns c0..c1-1.

A leaf's sample is the average of its valid pixels: position (the mean of
their km positions), line-of-sight value, and look vector (the mean of
unit vectors, so slightly shorter than 1 where the look varies across the
leaf: the mean of the pixels' range changes is that mean vector dotted with
a displacement uniform over the leaf).  For the covariance of leaf averages
each leaf also keeps up to g x g sub-points: the blocks of a g x g split of
the leaf, each at the mean position of its valid pixels and weighted by
their count.
"""
from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import ArrayLike

from ..io.datasets import Dataset

if TYPE_CHECKING:
    from .interferogram import Interferogram

__all__ = ["Sums", "annotate", "to_dataset", "Dataset", "footprints"]

# Order of the summed quantities.
_COUNT, _Z, _Z2, _X, _Y, _E, _N, _U = range(8)


class Sums:
    """Summed-area tables of an interferogram (see the module)."""

    def __init__(self, ifg: Interferogram) -> None:
        valid = ifg.valid
        ny, nx = valid.shape
        self.shape = valid.shape
        self.centre = float(np.mean(ifg.los[valid])) if valid.any() else 0.0
        self.t = np.zeros((8, ny + 1, nx + 1))
        w = valid.astype(float)
        z = np.where(valid, ifg.los - self.centre, 0.0)
        parts = (w, z, z * z, np.where(valid, ifg.x, 0.0), np.where(valid, ifg.y, 0.0),
                 np.where(valid, ifg.look[..., 0], 0.0), np.where(valid, ifg.look[..., 1], 0.0),
                 np.where(valid, ifg.look[..., 2], 0.0))
        for k, a in enumerate(parts):
            out = self.t[k, 1:, 1:]
            np.cumsum(a, axis=0, out=out)
            np.cumsum(out, axis=1, out=out)

    def box(self, r0: np.ndarray, r1: np.ndarray, c0: np.ndarray, c1: np.ndarray,
            which: slice = slice(None)) -> np.ndarray:
        """Sums (k, n) over blocks given as index arrays (n,)."""
        t = self.t[which]
        return t[..., r1, c1] - t[..., r0, c1] - t[..., r1, c0] + t[..., r0, c0]

    def stats(self, r0: np.ndarray, r1: np.ndarray, c0: np.ndarray,
              c1: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
        """Per block: count, mean los (mm), variance about it (mm^2), mean x,
        y (km), mean look (n, 3).  Empty blocks give NaN means."""
        s = self.box(r0, r1, c0, c1)
        n = np.rint(s[_COUNT])
        with np.errstate(invalid="ignore", divide="ignore"):
            m = s[_Z] / n
            var = np.maximum(s[_Z2] / n - m * m, 0.0)
            return (n.astype(np.int64), m + self.centre, var, s[_X] / n, s[_Y] / n,
                    np.column_stack([s[_E] / n, s[_N] / n, s[_U] / n]))

    def subpoints(self, r0: np.ndarray, r1: np.ndarray, c0: np.ndarray, c1: np.ndarray,
                  g: int) -> tuple[np.ndarray, np.ndarray]:
        """Up to g x g sub-points per block: positions (n, g, g, 2) km and
        weights (n, g, g) (pixel count / the block's count; 0 for empty
        sub-blocks)."""
        n = r0.size
        pos = np.zeros((n, g, g, 2))
        wts = np.zeros((n, g, g))
        re = [r0 + (r1 - r0) * k // g for k in range(g + 1)]
        ce = [c0 + (c1 - c0) * k // g for k in range(g + 1)]
        for i in range(g):
            for j in range(g):
                s = self.box(re[i], re[i + 1], ce[j], ce[j + 1], slice(_COUNT, _Y + 1))
                cnt = np.rint(s[_COUNT])
                ok = cnt > 0
                wts[:, i, j] = cnt
                pos[ok, i, j, 0] = s[_X][ok] / cnt[ok]
                pos[ok, i, j, 1] = s[_Y][ok] / cnt[ok]
        tot = wts.sum(axis=(1, 2))
        wts /= np.where(tot > 0, tot, 1.0)[:, None, None]
        return pos, wts


def _steps(ifg):
    """Mean km vectors from a pixel to the next along a row and a column."""
    ny, nx = ifg.shape
    xy = np.stack([ifg.x, ifg.y], axis=-1)
    col = (xy[:, -1] - xy[:, 0]).mean(axis=0) / (nx - 1) if nx > 1 else None
    row = (xy[-1, :] - xy[0, :]).mean(axis=0) / (ny - 1) if ny > 1 else None
    if col is None and row is None:
        col, row = np.array([1.0, 0.0]), np.array([0.0, -1.0])
    if col is None:
        col = np.array([row[1], -row[0]]) * -1.0
    if row is None:
        row = np.array([col[1], -col[0]])
    return col, row


def footprints(ifg: Interferogram, r0: np.ndarray, r1: np.ndarray, c0: np.ndarray, c1: np.ndarray) -> np.ndarray:
    """(n, 4, 2) km: the corners of each block's pixels (their centres'
    corners moved out by half a pixel along the grid's mean steps)."""
    col, row = _steps(ifg)
    xy = np.stack([ifg.x, ifg.y], axis=-1)
    a = xy[r0, c0] - 0.5 * col - 0.5 * row
    b = xy[r0, c1 - 1] + 0.5 * col - 0.5 * row
    c = xy[r1 - 1, c1 - 1] + 0.5 * col + 0.5 * row
    d = xy[r1 - 1, c0] - 0.5 * col + 0.5 * row
    return np.stack([a, b, c, d], axis=1)


def _area(poly):
    x, y = poly[..., 0], poly[..., 1]
    return 0.5 * np.abs(np.sum(x * np.roll(y, -1, axis=-1) - np.roll(x, -1, axis=-1) * y, axis=-1))


def annotate(ds: Dataset, *, leaf_box: ArrayLike, footprint: ArrayLike, subpoints: ArrayLike, subweights: ArrayLike,
             variance: ArrayLike, spacing: Sequence[float]) -> Dataset:
    """The per-sample facts of a downsampled dataset beyond its own fields
    (``frame``, ``leaf_size``, ``pixels``), set as attributes: ``leaf_box``
    ((n, 4) row0, row1, col0, col1, half-open, of the interferogram's grid), ``footprint`` ((n, 4, 2) km corners),
    ``subpoints`` ((n, g, g, 2) km) and ``subweights`` ((n, g, g)) for
    the covariance of leaf averages, ``variance`` (mm^2, of the leaf's
    pixels about their mean), ``spacing`` (dx, dy km of the pixels)."""
    ds.leaf_box = np.asarray(leaf_box, dtype=np.int64)
    ds.footprint = np.asarray(footprint, dtype=float)
    ds.subpoints = np.asarray(subpoints, dtype=float)
    ds.subweights = np.asarray(subweights, dtype=float)
    ds.variance = np.asarray(variance, dtype=float)
    ds.spacing = tuple(float(v) for v in spacing)
    return ds


def to_dataset(ifg: Interferogram, sums: Sums, r0: np.ndarray, r1: np.ndarray, c0: np.ndarray, c1: np.ndarray, *,
               g: int = 4, name: str | None = None, offset: bool = True, ramp: bool = True,
               **extra: ArrayLike) -> Dataset:
    """The dataset of the blocks' averages (blocks without a valid pixel
    dropped), annotated; ``extra`` per-block arrays are set too."""
    n, los, var, x, y, look = sums.stats(r0, r1, c0, c1)
    keep = n > 0
    r0, r1, c0, c1 = r0[keep], r1[keep], c0[keep], c1[keep]
    if not np.any(keep):
        raise ValueError("no leaf holds a pixel with data")
    fp = footprints(ifg, r0, r1, c0, c1)
    sp, sw = sums.subpoints(r0, r1, c0, c1, g)
    ds = Dataset(x[keep], y[keep], los[keep], look[keep], name=name or _name(ifg), offset=offset, ramp=ramp,
                 frame=ifg.frame, leaf_size=np.sqrt(_area(fp)), pixels=n[keep])
    annotate(ds, leaf_box=np.column_stack([r0, r1, c0, c1]), footprint=fp, subpoints=sp, subweights=sw,
             variance=var[keep], spacing=ifg.spacing)
    for k, v in extra.items():
        setattr(ds, k, np.asarray(v)[keep])
    return ds


def _name(ifg):
    import os
    return os.path.splitext(os.path.basename(ifg.path))[0] if ifg.path else "radar"
