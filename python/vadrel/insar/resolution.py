"""Downsampling by data resolution (Lohman and Simons, 2005, G-cubed 6,
Q01007): cells are small where the data resolve slip on a starting fault
model best, large where they say little about it.

Algorithm:

1. The starting fault's segments are cut into patches (``patches`` = (nx,
   ny) along strike and down dip, per segment or one for all); the Green's
   functions G (cells x 2 patches) are the range change, along each cell's
   mean look vector at its mean position, for unit strike slip and unit
   dip slip on each patch.
2. The cells start as the square blocks of the largest size tiling the
   grid.  Each round computes the data resolution matrix of the damped
   least-squares inverse, N = G (G^T G + e^2 I)^-1 G^T (from the singular
   values s of G: N_ii = sum_k U_ik^2 s_k^2 / (s_k^2 + e^2), e = ``damping``
   times the largest singular value).  N_ii near 1 means cell i's datum is
   nearly reproduced by the model whatever its value: the data there carry
   much information on the slip.
3. Every cell whose N_ii exceeds ``threshold`` is split into four (as
   :mod:`vadrel.insar.quadtree` splits), down to the smallest size; cells
   whose fraction of pixels without data exceeds ``max_nan`` are split, or
   dropped when they cannot be.  Rounds go on until no cell splits (or
   ``max_rounds``).

The trace of N is the number of model parameters the data resolve; each of
the final cells resolves at most ``threshold`` of it (those at the smallest
size excepted), so the number of samples is at least the trace over the
threshold.  Each sample is one leaf as in the quadtree (mean position, value
and look vector, size, pixel count) with its ``resolution`` N_ii.
"""
from __future__ import annotations

import math
import warnings
from collections.abc import Callable, Iterable, Sequence
from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import ArrayLike

import vadrel
from ._fault import patches as _patches, segments
from .leaves import Sums, to_dataset
from .quadtree import _splittable, leaf_limits, roots, split

if TYPE_CHECKING:
    from vadrel import Faults, Segment
    from ..io.datasets import Dataset
    from .interferogram import Interferogram

__all__ = ["resolution_sample", "greens", "data_resolution"]


def greens(faults: Faults | Segment | Iterable[Segment], x: ArrayLike, y: ArrayLike, look: ArrayLike,
           patches: Sequence[int] | Sequence[Sequence[int]] = (10, 4)) -> np.ndarray:
    """(m, 2 P): range change (mm) at points (x, y) km along ``look`` (m, 3)
    for 1 mm of strike slip (first P columns) and of dip slip (last P) on
    each of the P patches of the segments."""
    segs = segments(faults)
    per = [patches] * len(segs) if np.ndim(patches) == 1 else list(patches)
    if len(per) != len(segs) or not all(len(p) == 2 for p in per):
        raise ValueError(f"patches: one (nx, ny) for all segments or one per segment ({len(segs)})")
    parts = [p for seg, (nx, ny) in zip(segs, per) for p in _patches(seg, nx, ny)]
    m = np.asarray(x).size
    G = np.empty((m, 2 * len(parts)))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        for k, p in enumerate(parts):
            for col, slip in ((k, {"U1": 1.0}), (len(parts) + k, {"U2": 1.0})):
                G[:, col] = vadrel.range_change(vadrel.Faults([p.replace(**slip)]), x, y, look)
    if not np.all(np.isfinite(G)):
        raise ValueError("the Green's functions are not finite")
    return G


def data_resolution(G: np.ndarray, damping: float = 0.05) -> np.ndarray:
    """Diagonal of the data resolution matrix of the damped least-squares
    inverse of G (see the module)."""
    U, s, _ = np.linalg.svd(G, full_matrices=False)
    if s.size == 0 or s[0] == 0:
        return np.zeros(G.shape[0])
    e = float(damping) * s[0]
    f = s ** 2 / (s ** 2 + e ** 2)
    return np.einsum("ik,k,ik->i", U, f, U)


def resolution_sample(ifg: Interferogram, faults: Faults | Segment, *,
                      patches: Sequence[int] | Sequence[Sequence[int]] = (10, 4), threshold: float = 0.05,
                      damping: float = 0.05, min_size: float | None = None, max_size: float | None = None,
                      size_units: str = "km", max_nan: float = 0.5, subpoints: int = 4, max_rounds: int = 30,
                      name: str | None = None, offset: bool = True, ramp: bool = True,
                      progress: Callable[[str], object] | None = None, sums: Sums | None = None) -> Dataset:
    """Samples of ``ifg`` chosen by their data resolution of slip on
    ``faults`` (a ``Faults`` or ``Segment``, km in the interferogram's
    frame), as a ``Dataset`` with the attributes of
    :func:`vadrel.insar.leaves.annotate` and ``resolution`` (N_ii per
    sample).  ``threshold``: the resolution above which a cell splits;
    ``damping``: relative to the largest singular value of G; sizes and
    ``max_nan`` as for the quadtree; ``progress``: a callable given a line
    per round."""
    threshold, damping = float(threshold), float(damping)
    if not (0 < threshold <= 1):
        raise ValueError(f"threshold must be a resolution in (0, 1], not {threshold}")
    if not (damping > 0 and math.isfinite(damping)):
        raise ValueError(f"damping must be positive, not {damping}")
    max_nan = float(max_nan)
    if not 0.0 <= max_nan <= 1.0:
        raise ValueError(f"max_nan must be a fraction in 0..1, not {max_nan}")
    lo, hi, dx, dy = leaf_limits(ifg, min_size, max_size, size_units)
    sums = sums or Sums(ifg)
    cells = roots(ifg.shape, hi, dx, dy)
    for rnd in range(int(max_rounds)):
        # Cells with too few pixels: split while they can be, else drop.
        while True:
            r0, r1, c0, c1 = cells
            n = np.rint(sums.box(r0, r1, c0, c1, slice(0, 1))[0])
            nan = 1.0 - n / ((r1 - r0) * (c1 - c0))
            can = _splittable(r0, r1, c0, c1, lo, dx, dy)
            holey = (n > 0) & (nan > max_nan)
            ok = (n > 0) & ~holey
            if not np.any(holey & can):
                cells = tuple(a[ok] for a in cells)
                break
            kids = split(*(a[holey & can] for a in cells), dx, dy)
            cells = tuple(np.concatenate([a[ok], k]) for a, k in zip(cells, kids))
        if cells[0].size == 0:
            raise ValueError("no cell holds enough pixels with data")
        _, _, _, x, y, look = sums.stats(*cells)
        N = data_resolution(greens(faults, x, y, look, patches), damping)
        go = (N > threshold) & _splittable(*cells, lo, dx, dy)
        if progress:
            progress(f"round {rnd + 1}: {cells[0].size} cells, {int(go.sum())} split, "
                     f"resolution trace {N.sum():.3g}")
        if not np.any(go):
            break
        kids = split(*(a[go] for a in cells), dx, dy)
        cells = tuple(np.concatenate([a[~go], k]) for a, k in zip(cells, kids))
    else:
        warnings.warn(f"resolution sampling stopped after {max_rounds} rounds with cells still above the "
                      "threshold", RuntimeWarning, stacklevel=2)
    return to_dataset(ifg, sums, *cells, g=int(subpoints), name=name, offset=offset, ramp=ramp, resolution=N)
