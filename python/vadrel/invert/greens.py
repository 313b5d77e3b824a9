"""Green's functions of patches at the data, gathered straight into the
whitened normal equations by blocks of observations, so that the full
matrix of Green's functions is never held: memory grows with the square of
the number of unknowns, not with the number of data.

The unknowns are the strike slip U1 of every patch, then the dip slip U2 of
every patch (mm), then the datasets' nuisance coefficients (offsets and
ramps, :class:`vadrel.invert.data.Stack`).  A column of Green's functions
is the range change (mm) along each observation's look vector for 1 mm of
slip on one patch, from the patch kernel of :func:`vadrel.patch_displacement`
turned from the patch frame to the map.
"""
from __future__ import annotations

import concurrent.futures
import os
import time
from collections.abc import Callable, Mapping, Sequence
from typing import TYPE_CHECKING

import numpy as np
import scipy.linalg.blas

import vadrel
from .. import geometry

if TYPE_CHECKING:
    from .data import Stack

__all__ = ["NormalEquations", "greens", "normal_equations", "block_rows", "BLOCK_BYTES"]

#: Bytes of Green's functions computed at once (one block of observations).
BLOCK_BYTES = 48_000_000


def _threads():
    if hasattr(os, "sched_getaffinity"):
        return max(1, len(os.sched_getaffinity(0)))
    return os.cpu_count() or 1


def greens(patches: Sequence[Mapping[str, float]], x: np.ndarray, y: np.ndarray, look: np.ndarray,
           out: np.ndarray | None = None, pool: concurrent.futures.Executor | None = None) -> np.ndarray:
    """(m, 2P) range change for 1 mm of strike slip (first P columns) and of
    dip slip (last P) on each patch, at points x, y (km) seen along
    ``look`` (m, 3).  ``out`` (m, >= 2P) receives them when given."""
    P, m = len(patches), x.size
    G = np.empty((m, 2 * P)) if out is None else out

    def one(k):
        v = patches[k]
        xs, ys = geometry.to_patch(x, y, v["X"], v["Y"], v["strike"])
        # No warnings here: this runs on the pool's threads, and the warnings
        # machinery's state is the process's (a catch_warnings on a thread can
        # leave other threads' warnings silenced).  The patch kernel gives NaN
        # where the field jumps, which the caller refuses.
        u = vadrel.patch_displacement(xs, ys, L=v["L"], W=v["W"], depth=v["depth"], dip=v["dip"],
                                      lam=v["lam"], mu=v["mu"], U1=1.0, U2=1.0, U3=0.0, threads=1)
        for col, o in ((k, 0), (P + k, 3)):
            e, n = geometry.from_patch(u[:, o], u[:, o + 1], v["strike"])
            G[:, col] = e * look[:, 0] + n * look[:, 1] + u[:, o + 2] * look[:, 2]

    if pool is None or P < 8:
        for k in range(P):
            one(k)
    else:
        list(pool.map(one, range(P)))
    return G


def block_rows(n: int, block_bytes: int = BLOCK_BYTES) -> int:
    """Observations per block for n unknowns."""
    return int(max(64, block_bytes // (8 * max(n, 1))))


class NormalEquations:
    """``A`` = (WG)^T (WG) (n, n), ``g`` = (WG)^T (Wd) (n,) and ``dd`` =
    (Wd)^T (Wd) of whitened Green's functions G (with the nuisance columns)
    and data d; ``m`` observations, ``time`` (s) to gather them."""

    def __init__(self, A: np.ndarray, g: np.ndarray, dd: float, m: int, elapsed: float) -> None:
        self.A, self.g, self.dd, self.m, self.time = A, g, float(dd), m, elapsed

    @property
    def n(self) -> int:
        return self.g.size

    def misfit2(self, c: np.ndarray) -> float:
        """|W(G c - d)|^2 from the normal equations alone."""
        return max(0.0, float(c @ (self.A @ c) - 2.0 * (c @ self.g) + self.dd))


def _whiten_rows(d, B, rows):
    """Rows ``rows`` of dataset d's Green's functions whitened (only where
    its weights are per observation; the caller passes every row
    otherwise)."""
    if getattr(d, "sigma", None) is not None:
        return B / d.sigma[rows, None]
    if not d.weighted:
        return B
    return d.whiten(B)


def _row_local(d):
    """Whether a dataset's whitening acts row by row (standard deviations,
    or no weights); any other weights (a covariance) mix its rows."""
    return getattr(d, "sigma", None) is not None or not d.weighted


def normal_equations(stack: Stack, patches: Sequence[Mapping[str, float]],
                     progress: Callable[[str], object] | None = None,
                     block_bytes: int = BLOCK_BYTES) -> NormalEquations:
    """The whitened normal equations of slip on ``patches`` and the nuisance
    of ``stack``'s datasets, gathered by blocks of observations (a dataset
    with a full covariance is one block: its whitening mixes all its rows).
    Memory is checked before anything large is allocated; ``MemoryError``
    gives the size asked and the machine's."""
    t0 = time.perf_counter()
    P = len(patches)
    q = stack.nuisance.shape[1]
    n = 2 * P + q
    rows_per = block_rows(n, block_bytes)
    # A, and two blocks of Green's functions (computed and whitened).
    vadrel._require_memory(n + 2 * rows_per, 8 * n, f"the normal equations of {n} unknowns ({P} patches)")
    for d in stack.datasets:
        if not _row_local(d):
            vadrel._require_memory(2 * len(d), 8 * n, f"the Green's functions of dataset {d.name} "
                                   f"({len(d)} observations with a full covariance, {P} patches)")
    A = np.zeros((n, n), order="F")
    g = np.zeros(n)
    dd = 0.0
    total, done = stack.obs.size, 0
    wobs = stack.wobs
    with concurrent.futures.ThreadPoolExecutor(_threads()) as pool:
        for d, s in zip(stack.datasets, stack.slices):
            step = rows_per if _row_local(d) else len(d)
            for a in range(0, len(d), step):
                rows = np.arange(a, min(a + step, len(d)))
                i = s.start + rows
                B = np.empty((rows.size, n), order="F")     # columns written whole
                greens(patches, stack.x[i], stack.y[i], stack.look[i], out=B, pool=pool)
                B[:, 2 * P:] = stack.nuisance[i]
                if not np.all(np.isfinite(B)):
                    raise ValueError("Green's functions are not finite (a point on the trace of a patch "
                                     "that reaches the ground?)")
                B = _whiten_rows(d, B, rows)
                w = wobs[i]
                # A += B^T B (upper triangle; BLAS rank-k update), g += B^T w.
                A = scipy.linalg.blas.dsyrk(1.0, np.asfortranarray(B), beta=1.0, c=A, trans=1, lower=0,
                                            overwrite_c=1)
                g += B.T @ w
                dd += float(w @ w)
                done += rows.size
                if progress:
                    progress(f"Green's functions: {done}/{total} observations x {P} patches")
    _symmetric(A)
    return NormalEquations(A.T, g, dd, total, time.perf_counter() - t0)


def _symmetric(A, bs=256):
    """The lower triangle of A filled from its upper one, in place, by
    blocks (no temporary of A's size)."""
    n = A.shape[0]
    for i in range(0, n, bs):
        e = min(i + bs, n)
        d = A[i:e, i:e]
        A[i:e, i:e] = np.triu(d) + np.triu(d, 1).T
        A[e:, i:e] = A[i:e, e:].T
