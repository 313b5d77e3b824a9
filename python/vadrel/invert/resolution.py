"""How well the data resolve a slip distribution: the diagonal of the model
resolution matrix of the smoothed, unbounded linear problem
(:func:`resolution`), and the checkerboard test (:func:`checkerboard`).

Resolution matrix.  For whitened Green's functions G (with the offsets and
ramps) and the smoothing term s^2 m/2P D^T D, the unbounded solution is
u = (G^T G + s^2 m/2P D^T D)^-1 G^T d, so the estimate of a true u_t from
noise-free data is R u_t with R = (G^T G + s^2 m/2P D^T D)^-1 G^T G.  Its
diagonal is 1 where a component is resolved on its own, near 0 where the
smoothing sets it; its trace is the number of parameters the data
effectively fit.  Bounds make the problem nonlinear: R describes the
unbounded problem only.

Checkerboard.  Squares of slip (``amplitude`` mm along ``rake``) and of no
slip, ``size`` km along strike by km in depth, counted from the start of
the segments laid end to end and from the shallowest top edge; their
synthetic data (exact: (WG)^T (WG) u_t needs no new Green's functions), with
noise drawn from the datasets' own weights if asked, inverted with the same
smoothing and bounds as the data.
"""
from __future__ import annotations

import math
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

import vadrel
from .bounded import _inverse
from .problem import RIDGE, SlipProblem, _smoothing, slip_problem
from .slip import SlipFit

if TYPE_CHECKING:
    from vadrel import Faults, Segment
    from ..io.datasets import Dataset

__all__ = ["Resolution", "Checkerboard", "resolution", "checkerboard"]


def _problem_of(source, faults, smoothing, mesh):
    """(problem, smoothing) from a SlipFit, a SlipProblem, or datasets and
    faults with the mesh's arguments."""
    if isinstance(source, SlipFit):
        if faults is not None or mesh:
            raise ValueError("a SlipFit carries its patches: give only the smoothing, if another")
        return source.problem, source.smoothing if smoothing is None else _smoothing(smoothing)
    if smoothing is None:
        raise ValueError("give the smoothing weight")
    if isinstance(source, SlipProblem):
        if faults is not None or mesh:
            raise ValueError("a SlipProblem is already meshed: give only the smoothing")
        return source, _smoothing(smoothing)
    if faults is None:
        raise ValueError("give the faults (or segment) to mesh")
    return slip_problem(source, faults, **mesh), _smoothing(smoothing)


class Resolution:
    """``diagonal`` ((P, 2): the resolution of U1 and U2 on each patch),
    ``nuisance`` (of the offsets and ramps), ``trace`` (parameters
    effectively fitted), ``smoothing``, ``layout`` (where the patches are
    drawn), ``names`` (the segments')."""

    def __repr__(self):
        return f"Resolution(smoothing={self.smoothing:g}, trace {self.trace:.1f} of {self.diagonal.size} + " \
               f"{self.nuisance.size})"


def resolution(source: SlipFit | SlipProblem | Dataset | Iterable[Dataset],
               faults: Faults | Segment | Iterable[Segment] | None = None, *, smoothing: float | None = None,
               **mesh: Any) -> Resolution:
    """The diagonal of the model resolution matrix of the unbounded,
    smoothed slip inversion (see the module's description).

    ``source``: a :class:`SlipFit` (its patches and smoothing, or
    ``smoothing`` given), a :class:`SlipProblem`, or datasets with
    ``faults`` and the mesh's arguments of :func:`fit_slip` (``nx``, ``ny``,
    ``patch``, ``extend``, ``join``).  Costs an inversion of the normal
    matrix (n^3 for n unknowns); normal equations singular to the machine's
    precision take the solver's ridge."""
    sp, s = _problem_of(source, faults, smoothing, mesh)
    vadrel._require_memory(2 * sp.n, 8 * sp.n, f"the resolution of {sp.n} unknowns")
    A = sp.neq.A
    H = np.array(A)
    M = sp.laplacian_normal().tocoo()
    H[M.row, M.col] += sp.weight(s) * M.data
    try:
        inv = _inverse(H)
    except ValueError:
        H[np.diag_indices_from(H)] += RIDGE * np.trace(H) / sp.n
        inv = _inverse(H)
    del H
    diag = np.einsum("ij,ji->i", inv, A)
    r = Resolution()
    r.diagonal = np.column_stack([diag[:sp.P], diag[sp.P:2 * sp.P]])
    r.nuisance = diag[2 * sp.P:]
    r.trace = float(diag.sum())
    r.smoothing = s
    r.layout = sp.mesh.layout()
    r.names = list(sp.mesh.names)
    return r


class Checkerboard:
    """``input`` and ``recovered`` ((P, 2) U1, U2 mm), ``size`` (km along,
    km in depth), ``amplitude`` (mm), ``rake``, ``smoothing``, ``recovery``
    (1 - |recovered - input|^2 / |input|^2), ``status``, ``message``,
    ``layout`` and ``names``."""

    def __repr__(self):
        return f"Checkerboard({self.size[0]:g} x {self.size[1]:g} km, recovery {100 * self.recovery:.1f} %)"


def _default_rake(sp):
    """Per patch the rake of the test slip: the middle of its rake range,
    the direction its signs allow, or 0 (left-lateral)."""
    rakes = np.zeros(sp.P)
    for k in range(len(sp.mesh.planes)):
        s = slice(sp.mesh.starts[k], sp.mesh.starts[k + 1])
        if sp.rake is not None:
            r = sp.rake if len(sp.rake) == 2 and np.ndim(sp.rake[0]) == 0 else sp.rake[k]
            if r is not None:
                rakes[s] = 0.5 * (float(r[0]) + float(r[1]))
                continue
        if sp.positivity is not None:
            p = sp.positivity if len(sp.positivity) == 2 and np.ndim(sp.positivity[0]) == 0 else sp.positivity[k]
            if p is not None and any(p):
                rakes[s] = math.degrees(math.atan2(float(p[1] or 0), float(p[0] or 0)))
    return rakes


def checkerboard(source: SlipFit | SlipProblem | Dataset | Iterable[Dataset],
                 faults: Faults | Segment | Iterable[Segment] | None = None, *, size: Sequence[float],
                 smoothing: float | None = None, amplitude: float = 1000.0, rake: float | None = None,
                 noise: bool = False, seed: int = 0, maxiter: int = 200, **mesh: Any) -> Checkerboard:
    """The checkerboard test (see the module's description).

    ``source`` as for :func:`resolution` (a SlipFit also gives its
    smoothing and bounds); ``size`` = (km along strike, km in depth) of the
    squares; ``amplitude`` (mm); ``rake`` of the test slip (degrees; by
    default the middle of each segment's rake range, the direction its
    signs allow, or 0); ``noise``: add noise drawn from the datasets'
    weights (sigma or covariance; an unweighted observation has 1 mm), with
    ``seed``."""
    sp, s = _problem_of(source, faults, smoothing, mesh)
    try:
        sa, sz = (float(v) for v in size)
    except (TypeError, ValueError):
        raise ValueError(f"size must be (km along strike, km in depth), not {size!r}") from None
    if not (sa > 0 and sz > 0 and math.isfinite(sa) and math.isfinite(sz)):
        raise ValueError(f"size: the squares must have positive sides, not {sa:g} x {sz:g} km")
    lay = sp.mesh.layout()
    along, depth = lay.centres.T
    depth = depth - lay.rects[:, 2].min()
    on = (np.floor(along / sa) + np.floor(depth / sz)) % 2 == 0
    r = _default_rake(sp) if rake is None else np.full(sp.P, float(rake))
    mag = np.where(on, float(amplitude), 0.0)
    truth = np.column_stack([mag * np.cos(np.radians(r)), mag * np.sin(np.radians(r))])
    u = np.r_[truth[:, 0], truth[:, 1], np.zeros(sp.q)]
    g = sp.neq.A @ u
    if noise:
        vadrel._require_memory(2 * sp.n, 8 * sp.n, f"the noise of a checkerboard of {sp.n} unknowns")
        # (WG)^T e for whitened noise e ~ N(0, I) is N(0, (WG)^T (WG)): drawn through a
        # Cholesky factor (with a ridge of 1e-10 of the mean diagonal when there are fewer
        # data than unknowns and the matrix is singular).
        A = np.array(sp.neq.A)
        A[np.diag_indices_from(A)] += 1e-10 * np.trace(A) / sp.n
        L = np.linalg.cholesky(A)
        g = g + L @ np.random.default_rng(seed).standard_normal(sp.n)
    est, sol = sp.solve(s, rhs=g, maxiter=maxiter)
    rec, _ = sp.slips(est)
    cb = Checkerboard()
    cb.input, cb.recovered, cb.size, cb.amplitude, cb.rake, cb.smoothing = truth, rec, (sa, sz), float(amplitude), \
        r, s
    cb.recovery = 1.0 - float(np.sum((rec - truth) ** 2)) / max(float(np.sum(truth ** 2)), 1e-300)
    cb.status = "converged" if sol.converged else "iteration limit"
    cb.message = sol.message
    cb.layout, cb.names = lay, list(sp.mesh.names)
    return cb
