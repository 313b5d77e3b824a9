"""A slip inversion set up once: the patches of every segment, the
whitened normal equations of their Green's functions and of the datasets'
offsets and ramps, the Laplacian that smooths the slip, and the bounds on
each patch's slip written as simple sign constraints.  Any number of
smoothing weights are then solved from it (:meth:`SlipProblem.solve`).

Bounds.  Each patch has two unknowns c1, c2 and its slip is (U1, U2) =
c1 d1 + c2 d2 for two directions d1, d2 in the (strike slip, dip slip)
plane:

* no bound: d1 = (1, 0), d2 = (0, 1), both free;
* ``positivity=(s1, s2)``: d1 = (s1, 0), d2 = (0, s2) (a sign of 0 stands for
  1), the coefficient kept >= 0 where the sign is not 0;
* ``rake=(low, high)``, 0 < high - low < 180 degrees: d1 and d2 point along
  the two limiting rakes and both coefficients are kept >= 0.  The
  non-negative combinations of two directions less than 180 degrees apart
  are exactly the slips whose rake lies between them (zero slip included),
  so the rake bound is an exact box, with two columns per patch.

The smoothing acts on the slip components, not on the coefficients, so it
means the same with or without bounds.
"""
from __future__ import annotations

import math
import time
import warnings
from collections.abc import Callable, Iterable, Sequence
from typing import TYPE_CHECKING

import numpy as np
import scipy.sparse
from numpy.typing import ArrayLike

import vadrel
from .bounded import nonnegative_quadratic
from .data import Stack, datasets_of
from .greens import normal_equations
from .mesh import mesh_segments, segments_of

if TYPE_CHECKING:
    from vadrel import Faults, Segment
    from ..io.datasets import Dataset
    from .bounded import BoundedSolution

__all__ = ["SlipProblem", "slip_problem", "check_memory", "RIDGE"]

_DEG = math.pi / 180.0
#: The ridge (times the mean diagonal) of normal equations singular to the machine's precision.
RIDGE = 1e-12


def check_memory(patches: int, nuisance: int) -> None:
    """``MemoryError`` (the size asked and the machine's) when a slip
    inversion of this many patches would not fit: the normal equations in
    two frames, the smoothed matrix, its inverse and a factor of a block of
    it, n x n each for n = 2 patches + nuisance unknowns, and the patches'
    fields (about 2 kB each)."""
    n = 2 * patches + nuisance
    vadrel._require_memory(6.0 * n * n + 250.0 * patches, 8, f"a slip inversion of {n} unknowns ({patches} patches)")


def _bases(mesh, rake, positivity):
    """Per patch the 2 x 2 matrix whose columns are d1, d2, and per patch
    which of c1, c2 are kept >= 0."""
    nseg, P = len(mesh.planes), len(mesh)
    if rake is not None and positivity is not None:
        raise ValueError("give rake or positivity, not both")
    t = np.zeros((P, 2, 2))
    cons = np.zeros((P, 2), dtype=bool)
    rakes = _each("rake", rake, nseg)
    signs = _each("positivity", positivity, nseg)
    for k in range(nseg):
        s = slice(mesh.starts[k], mesh.starts[k + 1])
        if rakes[k] is not None:
            try:
                r1, r2 = (float(r) for r in rakes[k])
            except (TypeError, ValueError):
                raise ValueError(f"rake: (low, high) in degrees, not {rakes[k]!r}") from None
            if not (math.isfinite(r1) and math.isfinite(r2) and 0.0 < r2 - r1 < 180.0):
                raise ValueError(f"rake: (low, high) in degrees with 0 < high - low < 180, not ({r1:g}, {r2:g})")
            t[s] = [[math.cos(r1 * _DEG), math.cos(r2 * _DEG)], [math.sin(r1 * _DEG), math.sin(r2 * _DEG)]]
            cons[s] = True
        else:
            pos = (0, 0) if signs[k] is None else tuple(signs[k])
            if len(pos) != 2 or any(v not in (-1, 0, 1, None) for v in pos):
                raise ValueError("positivity: (sign of U1, sign of U2), each +1, -1 or 0 (free)")
            t[s] = np.diag([float(v or 1) for v in pos])
            cons[s] = [bool(v) for v in pos]
    return t, cons


def _each(name, value, nseg):
    """A bound for every segment: one pair for all, or a list of one per
    segment (None for no bound)."""
    if value is None:
        return [None] * nseg
    vals = list(value)
    if len(vals) == 2 and all(v is None or np.ndim(v) == 0 for v in vals):
        return [tuple(vals)] * nseg
    if len(vals) != nseg:
        raise ValueError(f"{name}: {len(vals)} values for {nseg} segments (one pair for all, or one per segment)")
    return vals


class SlipProblem:
    """The set-up of a slip inversion (see :func:`slip_problem`):
    ``stack`` (the datasets end to end), ``mesh`` (the patches), ``neq``
    (the whitened normal equations in (U1, U2, nuisance)), ``laplacian``
    ((P, P), 1/km^2), ``basis`` ((n, n) sparse: slip and nuisance from the
    solved coefficients), ``constrained`` (the coefficients kept >= 0),
    ``P`` patches, ``q`` nuisance coefficients, ``n`` unknowns, ``m``
    observations, ``greens_time`` (s)."""

    def __init__(self, datasets: Dataset | Iterable[Dataset], faults: Faults | Segment | Iterable[Segment], *,
                 nx: int | Sequence[int] | None = None, ny: int | Sequence[int] | None = None,
                 patch: Sequence[float] | Sequence[Sequence[float]] | None = None,
                 extend: Sequence[float] | Sequence[Sequence[float]] = (0.0, 0.0),
                 rake: Sequence[float] | Sequence[Sequence[float] | None] | None = None,
                 positivity: Sequence[int] | None = None, join: float | bool | Sequence[tuple[int, int]] | None = None,
                 progress: Callable[[str], object] | None = None) -> None:
        t0 = time.perf_counter()
        self.stack = st = Stack(datasets_of(datasets))
        self.q = q = st.nuisance.shape[1]
        self.mesh = mesh_segments(faults, nx=nx, ny=ny, patch=patch, extend=extend, join=join,
                                  check=lambda P: check_memory(P, q))
        t, cons = _bases(self.mesh, rake, positivity)
        self.P = P = len(self.mesh)
        self.n = n = 2 * P + q
        self.m = st.obs.size
        self.rake, self.positivity = rake, positivity
        self.neq = normal_equations(st, self.mesh.patches, progress)
        self.laplacian = self.mesh.laplacian()
        i = np.arange(P)
        rows = np.r_[i, i, P + i, P + i, 2 * P + np.arange(q)]
        cols = np.r_[i, P + i, i, P + i, 2 * P + np.arange(q)]
        vals = np.r_[t[:, 0, 0], t[:, 0, 1], t[:, 1, 0], t[:, 1, 1], np.ones(q)]
        self.basis = scipy.sparse.csr_matrix((vals, (rows, cols)), shape=(n, n))
        self.constrained = np.r_[cons[:, 0], cons[:, 1], np.zeros(q, dtype=bool)]
        self.identity = bool(np.all(t == np.eye(2)))
        if self.identity:
            self._A = self.neq.A
        else:
            Bt = self.basis.T.tocsr()
            self._A = np.asarray((Bt @ (Bt @ self.neq.A).T).T)      # B^T A B, A symmetric
        self._g = self.basis.T @ self.neq.g
        self._DtD = (self.basis.T @ self.laplacian_normal() @ self.basis).tocoo()
        self._DtD.sum_duplicates()
        self.greens_time = time.perf_counter() - t0

    def laplacian_normal(self) -> scipy.sparse.csr_matrix:
        """(n, n) D^T D of the slip components' Laplacian (slip and nuisance
        frame, the nuisance not smoothed)."""
        LtL = (self.laplacian.T @ self.laplacian).tocsr()
        return scipy.sparse.block_diag([LtL, LtL, scipy.sparse.csr_matrix((self.q, self.q))]).tocsr()

    def weight(self, smoothing: float) -> float:
        """The factor of the Laplacian's normal equations: smoothing^2 m / 2P
        (the misfit and the roughness are both means)."""
        return float(smoothing) ** 2 * self.m / (2.0 * self.P)

    def hessian(self, smoothing: float, ridge: float = 0.0) -> np.ndarray:
        """The smoothed normal matrix in the coefficients' frame (with a
        ridge of ``ridge`` times its mean diagonal)."""
        H = np.array(self._A)
        H[self._DtD.row, self._DtD.col] += self.weight(smoothing) * self._DtD.data
        if ridge:
            H[np.diag_indices_from(H)] += ridge * np.trace(H) / self.n
        return H

    def solve(self, smoothing: float, *, active: ArrayLike | None = None, maxiter: int = 200,
              rhs: ArrayLike | None = None) -> tuple[np.ndarray, BoundedSolution]:
        """Coefficients minimising mean((r/sigma)^2) + smoothing^2
        mean((Laplacian of slip)^2) within the bounds: (slip and nuisance
        vector u = basis c, the solver's :class:`BoundedSolution`).  ``rhs``
        replaces the data's (WG)^T (Wd) (in slip and nuisance, e.g. for
        synthetic data).  Normal equations that are singular to the
        machine's precision (no smoothing, and a slip the data cannot see)
        are solved with a ridge of 1e-12 of their mean diagonal, and the
        solution's message says so."""
        smoothing = _smoothing(smoothing)
        unreg = self.q + (0 if smoothing > 0 else 2 * self.P)
        if self.m <= unreg:
            what = "offsets and ramps" if smoothing > 0 else "unknowns (no smoothing)"
            raise ValueError(f"{self.m} observations for {unreg} {what}: the data cannot determine them")
        g = self._g if rhs is None else self.basis.T @ np.asarray(rhs, dtype=float)
        try:
            sol = nonnegative_quadratic(self.hessian(smoothing), g, self.constrained, active=active,
                                        maxiter=maxiter)
        except ValueError:
            sol = nonnegative_quadratic(self.hessian(smoothing, RIDGE), g, self.constrained, active=active,
                                        maxiter=maxiter)
            sol.message += (f"; the normal equations are singular: solved with a ridge of {RIDGE:g} of their mean "
                            f"diagonal (add smoothing)")
            warnings.warn(sol.message, RuntimeWarning, stacklevel=3)
        return self.basis @ sol.x, sol

    def slips(self, u: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """(P, 2) U1, U2 (mm) and the nuisance coefficients of a solution."""
        return np.column_stack([u[:self.P], u[self.P:2 * self.P]]), u[2 * self.P:]

    def roughness(self, u: np.ndarray) -> float:
        """rms of the Laplacian of the slip components, mm/km^2."""
        s, _ = self.slips(u)
        return float(np.sqrt(np.mean((self.laplacian @ s) ** 2)))

    def misfit(self, u: np.ndarray) -> float:
        """Weighted rms of the residuals, from the normal equations."""
        return math.sqrt(self.neq.misfit2(u) / self.m)

    def patch_faults(self, slip: np.ndarray, ramp: Sequence[float] = (0.0, 0.0, 0.0)) -> vadrel.Faults:
        """The patches with their slip, as a ``Faults``."""
        from .fault import _make_segment
        return vadrel.Faults([_make_segment(dict(v, U1=float(a), U2=float(b)))
                              for v, (a, b) in zip(self.mesh.patches, slip)], ramp=ramp)

    def predict(self, u: np.ndarray) -> np.ndarray:
        """The model at the observations, mm: the patches' range change plus
        the offsets and ramps."""
        s, nuis = self.slips(u)
        st = self.stack
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            r = vadrel.range_change(self.patch_faults(s), st.x, st.y, st.look)
        return r + st.nuisance @ nuis


def _smoothing(s) -> float:
    try:
        s = float(s)
    except (TypeError, ValueError):
        raise ValueError(f"smoothing must be a number, not {s!r}") from None
    if not (math.isfinite(s) and s >= 0):
        raise ValueError(f"smoothing must be a finite number >= 0, not {s}")
    return s


def slip_problem(datasets: Dataset | Iterable[Dataset], faults: Faults | Segment | Iterable[Segment], *,
                 nx: int | Sequence[int] | None = None, ny: int | Sequence[int] | None = None,
                 patch: Sequence[float] | Sequence[Sequence[float]] | None = None,
                 extend: Sequence[float] | Sequence[Sequence[float]] = (0.0, 0.0),
                 rake: Sequence[float] | Sequence[Sequence[float] | None] | None = None,
                 positivity: Sequence[int] | None = None, join: float | bool | Sequence[tuple[int, int]] | None = None,
                 progress: Callable[[str], object] | None = None) -> SlipProblem:
    """Set up the slip inversion of ``datasets`` on every segment of
    ``faults`` (see :func:`vadrel.invert.fit_slip` for the arguments): the
    Green's functions are computed once, for any number of smoothing
    weights, resolution tests and checkerboards."""
    segments_of(faults)
    return SlipProblem(datasets, faults, nx=nx, ny=ny, patch=patch, extend=extend, rake=rake,
                       positivity=positivity, join=join, progress=progress)
