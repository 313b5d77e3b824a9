"""Quadtree downsampling of an interferogram.

The grid is tiled with square blocks (in km) of the largest leaf size; a
block is split into four (two along a side that is already much shorter
than the other) while

* the variance of its valid pixels about their mean exceeds ``threshold``
  (mm^2), or
* more than ``max_nan`` of its pixels have no data,

as long as its halves are no smaller than the smallest leaf size.  A block
that cannot be split is kept when its fraction without data is at most
``max_nan`` and dropped otherwise.  Each kept block (leaf) gives one sample
(see :mod:`vadrel.insar.leaves`): the mean position of its valid pixels,
their mean line-of-sight value and look vector, its size and pixel count.

All blocks of one level are handled at once from summed-area tables: the
work is a few passes over the pixels plus a few operations per block.
"""
from __future__ import annotations

import math
from collections.abc import Sequence
from typing import TYPE_CHECKING

import numpy as np

from .leaves import Sums, to_dataset

if TYPE_CHECKING:
    from ..io.datasets import Dataset
    from .interferogram import Interferogram

__all__ = ["quadtree", "split", "roots", "leaf_limits"]


def leaf_limits(ifg: Interferogram, min_size: float | None, max_size: float | None,
                size_units: str) -> tuple[float, float, float, float]:
    """(min_km, max_km, dx, dy): leaf sizes in km and the pixel spacing."""
    dx, dy = ifg.spacing
    ny, nx = ifg.shape
    if size_units not in ("km", "pixels"):
        raise ValueError(f"size_units must be 'km' or 'pixels', not {size_units!r}")
    scale = 1.0 if size_units == "km" else math.sqrt(dx * dy)
    lo = 0.0 if min_size is None else float(min_size) * scale
    hi = (min(nx * dx, ny * dy) / 4.0 if max_size is None else float(max_size) * scale)
    if not (math.isfinite(lo) and math.isfinite(hi)) or lo < 0 or hi <= 0:
        raise ValueError(f"leaf sizes must be finite, min >= 0 and max > 0 (min {min_size}, max {max_size})")
    if lo > hi:
        raise ValueError(f"the smallest leaf ({min_size} {size_units}) is larger than the largest ({max_size})")
    return lo, max(hi, min(dx, dy)), dx, dy


def roots(shape: Sequence[int], max_km: float, dx: float,
          dy: float) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """The blocks tiling the grid, each at most ``max_km`` a side."""
    ny, nx = shape
    R = max(1, int(max_km / dy + 1e-9))
    C = max(1, int(max_km / dx + 1e-9))
    rs = np.arange(0, ny, R)
    cs = np.arange(0, nx, C)
    r0, c0 = (a.ravel() for a in np.meshgrid(rs, cs, indexing="ij"))
    return r0, np.minimum(r0 + R, ny), c0, np.minimum(c0 + C, nx)


def split(r0: np.ndarray, r1: np.ndarray, c0: np.ndarray, c1: np.ndarray, dx: float,
          dy: float) -> tuple[np.ndarray, ...]:
    """Children of blocks: each side halved when longer than a pixel and
    not less than half the other side (in km)."""
    h, w = (r1 - r0) * dy, (c1 - c0) * dx
    srow = ((r1 - r0) > 1) & (h >= 0.5 * w)
    scol = ((c1 - c0) > 1) & (w >= 0.5 * h)
    rm = np.where(srow, r0 + (r1 - r0) // 2, r1)
    cm = np.where(scol, c0 + (c1 - c0) // 2, c1)
    parts = [(r0, rm, c0, cm), (r0, rm, cm, c1), (rm, r1, c0, cm), (rm, r1, cm, c1)]
    out = [np.concatenate(v) for v in zip(*parts)]
    keep = (out[1] > out[0]) & (out[3] > out[2])
    return tuple(a[keep] for a in out)


def _splittable(r0, r1, c0, c1, min_km, dx, dy):
    rows, cols = r1 - r0, c1 - c0
    size = np.maximum(rows * dy, cols * dx)
    return ((rows > 1) | (cols > 1)) & (size >= 2.0 * min_km * (1 - 1e-9))


def quadtree(ifg: Interferogram, threshold: float, *, min_size: float | None = None, max_size: float | None = None,
             size_units: str = "km", max_nan: float = 0.5, subpoints: int = 4, name: str | None = None,
             offset: bool = True, ramp: bool = True, sums: Sums | None = None) -> Dataset:
    """Quadtree samples of ``ifg`` as a ``Dataset`` (see the module).

    ``threshold``: variance (mm^2) above which a leaf is split;
    ``min_size``, ``max_size``: the smallest and largest leaf side, km (or
    pixels with ``size_units="pixels"``; by default a pixel and a quarter of
    the grid's shorter side); ``max_nan``: the largest fraction of a leaf's
    pixels without data; ``subpoints``: sub-points a side kept per leaf for
    the covariance of leaf averages; ``name``, ``offset``, ``ramp``: passed
    to the ``Dataset``.  The returned dataset carries the attributes of
    :func:`vadrel.insar.leaves.annotate`.
    """
    threshold = float(threshold)
    if not (threshold > 0 and math.isfinite(threshold)):
        raise ValueError(f"threshold must be a positive variance in mm^2, not {threshold}")
    max_nan = float(max_nan)
    if not 0.0 <= max_nan <= 1.0:
        raise ValueError(f"max_nan must be a fraction in 0..1, not {max_nan}")
    g = int(subpoints)
    if g < 1:
        raise ValueError("subpoints must be at least 1")
    lo, hi, dx, dy = leaf_limits(ifg, min_size, max_size, size_units)
    sums = sums or Sums(ifg)
    boxes = roots(ifg.shape, hi, dx, dy)
    kept = []
    while boxes[0].size:
        r0, r1, c0, c1 = boxes
        s = sums.box(r0, r1, c0, c1, slice(0, 3))
        n = np.rint(s[0])
        with np.errstate(invalid="ignore", divide="ignore"):
            m = s[1] / n
            var = np.where(n > 0, s[2] / n - m * m, 0.0)
        nan = 1.0 - n / ((r1 - r0) * (c1 - c0))
        can = _splittable(r0, r1, c0, c1, lo, dx, dy)
        go = can & (n > 0) & ((nan > max_nan) | (var > threshold))
        keep = ~go & (n > 0) & (nan <= max_nan)
        kept.append(tuple(a[keep] for a in boxes))
        boxes = split(*(a[go] for a in boxes), dx, dy)
    r0, r1, c0, c1 = (np.concatenate(v) for v in zip(*kept))
    if r0.size == 0:
        raise ValueError("the quadtree kept no leaf: every block has too few pixels with data "
                         f"(more than max_nan = {max_nan:g} of them missing)")
    return to_dataset(ifg, sums, r0, r1, c0, c1, g=g, name=name, offset=offset, ramp=ramp)
