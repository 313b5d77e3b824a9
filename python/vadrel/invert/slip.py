"""Distributed slip on every segment of a model cut into patches: Green's
functions gathered into the normal equations, Laplacian smoothing within
each segment and across joined ones, bounds on each patch's rake or sign
solved as sign constraints (:func:`fit_slip`), and the L-curve of the
smoothing weight with its corner (:func:`lcurve`).

The fit minimises mean((r/sigma)^2) + smoothing^2 mean((Laplacian of
slip)^2), both means (over the m observations and over the 2P slip
components), so a weight means the same whatever the number of data and
patches.  The data must outnumber the unknowns no smoothing constrains:
the offsets and ramps, and every slip component when the smoothing is 0
(``ValueError`` otherwise).  With fewer data than unknowns (smoothing > 0)
the slip is set by the smoothing as much as by the data: the fit warns and
says so in its ``message``.
"""
from __future__ import annotations

import math
import time
import warnings
from collections.abc import Callable, Iterable, Sequence
from typing import TYPE_CHECKING

import numpy as np
import scipy.interpolate
from numpy.typing import ArrayLike

import vadrel
from .fault import _make_segment, _moment, _mw, _program_ramp
from .mesh import plane_patches
from .problem import SlipProblem, _smoothing, slip_problem

if TYPE_CHECKING:
    from vadrel import Faults, Segment
    from ..io.datasets import Dataset

__all__ = ["SlipFit", "SegmentSlip", "LCurve", "fit_slip", "lcurve", "lcurve_corner", "slip_problem",
           "SlipProblem"]


def _plane_patches(plane, nx, ny, extend):
    """The (extended) plane and its nx x ny patches, row 0 the shallowest."""
    return plane_patches(plane, nx, ny, extend)


class SegmentSlip:
    """The slip on one segment: ``name``, ``plane`` (the extended segment),
    ``nx``, ``ny``, ``slip`` ((ny, nx, 2) U1, U2 in mm, row 0 the shallowest,
    column 0 at the start of the strike), ``at_bound`` ((ny, nx): a bound
    holds with equality, its rake on an end of the range or its slip 0 under
    a rake or sign bound), ``patches`` (slice of the fit's patches)."""

    def __repr__(self):
        return f"SegmentSlip({self.name!r}, {self.ny}x{self.nx}, max {np.abs(self.slip).max():.4g} mm)"


class SlipFit:
    """The result of :func:`fit_slip`.

    ``segments`` (a :class:`SegmentSlip` per segment), ``planes`` (the
    extended segments, a ``Faults``), ``patches`` (a ``Faults`` of every
    patch with its slip, segment by segment, each row by row from the top;
    the ramp of the only radar dataset as its ``P`` line), ``patch_slip``
    ((P, 2) mm), ``at_bound`` ((P,)), ``joins``, ``layout`` (where each
    patch is drawn: :class:`vadrel.invert.mesh.Layout`);
    for one segment, as before, ``slip`` ((ny, nx, 2)), ``nx``, ``ny`` and
    ``plane`` (a ``Segment``) -- for several, tuples of one per segment;
    ``rms``, ``variance_reduction`` (per dataset and ``"all"``), ``moment``
    (N m), ``Mw``, ``predicted``, ``residuals``, ``offsets``, ``ramps``,
    ``roughness`` (rms of the Laplacian of the slip, mm/km^2), ``misfit``
    (the weighted rms), ``smoothing``, ``status`` (``"converged"`` or
    ``"iteration limit"``), ``converged``, ``message``, ``iterations``,
    ``time`` (s, of the call) and ``greens_time`` (s, the part of it spent
    setting the problem up: 0 when given a :class:`SlipProblem`), ``problem`` (the
    :class:`SlipProblem`, for further smoothing weights and resolution
    tests without computing the Green's functions again)."""

    def __repr__(self):
        shape = "+".join(f"{s.ny}x{s.nx}" for s in self.segments)
        return (f"SlipFit({shape}, Mw={_mw(self.Mw)}, rms={self.rms['all']:.3g} mm, "
                f"VR={100 * self.variance_reduction['all']:.1f} %, {self.status})")


def _check_count(sp, smoothing):
    """The warning for fewer data than unknowns (the ValueError for fewer
    than the unsmoothed ones comes from the problem's solve)."""
    if smoothing > 0 and sp.m < sp.n:
        return (f"{sp.m} observations for {sp.n} unknowns: the slip is set by the smoothing as much as by the "
                f"data, and its variance reduction says little")
    return None


def _slip_fit(sp: SlipProblem, smoothing, t0, *, active=None, maxiter=200, built=False) -> SlipFit:
    smoothing = _smoothing(smoothing)
    st, mesh = sp.stack, sp.mesh
    u, sol = sp.solve(smoothing, active=active, maxiter=maxiter)
    slip, nuis = sp.slips(u)
    pred = sp.predict(u)
    fit = SlipFit()
    fit.problem, fit.smoothing, fit.solution = sp, smoothing, sol
    (fit.rms, fit.variance_reduction, fit.predicted, fit.residuals, fit.offsets,
     fit.ramps) = st.summary(pred, nuis)
    fit.patch_slip = slip
    act = sol.active[:2 * sp.P]
    fit.at_bound = act[:sp.P] | act[sp.P:]
    fit.segments = []
    for k, (v, (ny, nx)) in enumerate(zip(mesh.planes, mesh.shapes)):
        s = SegmentSlip()
        s.name, s.plane, s.nx, s.ny = mesh.names[k], _make_segment(v), nx, ny
        s.patches = slice(mesh.starts[k], mesh.starts[k + 1])
        s.slip = slip[s.patches].reshape(ny, nx, 2)
        s.at_bound = fit.at_bound[s.patches].reshape(ny, nx)
        fit.segments.append(s)
    fit.planes = vadrel.Faults([s.plane for s in fit.segments])
    fit.joins = list(mesh.joins)
    fit.layout = mesh.layout()
    one = len(fit.segments) == 1
    pick = (lambda name: getattr(fit.segments[0], name)) if one else \
        (lambda name: tuple(getattr(s, name) for s in fit.segments))
    fit.slip, fit.nx, fit.ny, fit.plane = pick("slip"), pick("nx"), pick("ny"), pick("plane")
    fit.patches = sp.patch_faults(slip, ramp=_program_ramp(st.datasets, fit.offsets, fit.ramps))
    vals = [dict(v, U1=float(a), U2=float(b)) for v, (a, b) in zip(mesh.patches, slip)]
    fit.moment, fit.Mw = _moment(vals)
    fit.roughness = sp.roughness(u)
    fit.misfit = float(np.sqrt(np.mean((st.whiten(pred) - st.wobs) ** 2)))
    fit.converged = bool(sol.converged)
    fit.status = "converged" if sol.converged else "iteration limit"
    fit.iterations = sol.iterations
    notes = [sol.message]
    few = _check_count(sp, smoothing)
    if few:
        notes.append(few)
        warnings.warn(few, RuntimeWarning, stacklevel=3)
    if not sol.converged:
        warnings.warn(f"slip fit: {sol.message}", RuntimeWarning, stacklevel=3)
    fit.message = "; ".join(notes)
    fit.time, fit.greens_time = time.perf_counter() - t0, (sp.greens_time if built else 0.0)
    fit.datasets = [d.name for d in st.datasets]
    return fit


def fit_slip(datasets: Dataset | Iterable[Dataset] | SlipProblem,
             faults: Faults | Segment | Iterable[Segment] | None = None, *, smoothing: float,
             nx: int | Sequence[int] | None = None, ny: int | Sequence[int] | None = None,
             patch: Sequence[float] | Sequence[Sequence[float]] | None = None,
             extend: Sequence[float] | Sequence[Sequence[float]] = (0.0, 0.0),
             rake: Sequence[float] | Sequence[Sequence[float] | None] | None = None,
             positivity: Sequence[int] | None = None, join: float | bool | Sequence[tuple[int, int]] | None = None,
             maxiter: int = 200, progress: Callable[[str], object] | None = None,
             plane: Faults | Segment | Iterable[Segment] | None = None) -> SlipFit:
    """Distributed slip on every segment of a model.

    ``datasets``: a ``Dataset`` or a list of them (or a :class:`SlipProblem`
    already set up, whose Green's functions are used again: then give no
    other argument but ``smoothing`` and ``maxiter``).  ``faults``: a
    ``Faults``, a list of ``Segment`` or one ``Segment`` (e.g.
    ``fit.faults`` of :func:`fit_fault`): every segment is meshed.

    ``nx``, ``ny``: patches along strike and down dip (one number for every
    segment, or one per segment), or ``patch`` = (km along strike, km down
    dip) (one pair, or one per segment); ``extend`` = (km at each free end
    along strike, km down dip), one pair or one per segment; ``join``: how
    segments whose ends meet are joined for the smoothing
    (:mod:`vadrel.invert.mesh`); ``smoothing``: the weight of the Laplacian
    (the fit minimises mean((r/sigma)^2) + smoothing^2 mean((Laplacian of
    slip in mm/km^2)^2)); ``rake`` = (low, high) degrees keeps every patch's
    rake in that range (0 left-lateral, 90 reverse; one pair, or one per
    segment, None for none); ``positivity`` = (sign of U1, sign of U2), each
    +1, -1 or 0 (free); ``maxiter``: factorisations the bounded solver may
    use.  The offsets and ramps of the datasets are fitted with the slip.
    ``progress``: a callable given a line of text now and then.
    """
    t0 = time.perf_counter()
    if plane is not None:
        if faults is not None:
            raise ValueError("give faults or plane, not both")
        faults = plane
    if isinstance(datasets, SlipProblem):
        if faults is not None or nx is not None or ny is not None or patch is not None or rake is not None \
                or positivity is not None or join is not None or tuple(extend) != (0.0, 0.0):
            raise ValueError("a SlipProblem is already meshed: give only smoothing (and maxiter)")
        return _slip_fit(datasets, smoothing, t0, maxiter=maxiter)
    if faults is None:
        raise ValueError("fit_slip needs the faults (or segment) to mesh")
    sp = slip_problem(datasets, faults, nx=nx, ny=ny, patch=patch, extend=extend, rake=rake,
                      positivity=positivity, join=join, progress=progress)
    return _slip_fit(sp, smoothing, t0, maxiter=maxiter, built=True)


class LCurve(tuple):
    """The L-curve: unpacks as (misfit, roughness) -- the weighted rms of
    the residuals and the rms of the Laplacian of the slip (mm/km^2) for
    each smoothing weight -- and holds ``smoothings``, ``corner`` (the index
    of the computed weight nearest the corner, or None with fewer than 4
    weights), ``corner_smoothing`` (the weight of greatest curvature, between
    the computed ones), ``corner_misfit`` and ``corner_roughness`` (the
    corner on the interpolated curve), ``corner_at_edge`` (the greatest curvature lies at
    the second or the last but one weight: the corner may lie beyond the
    weights tried), ``curvature`` (at each computed weight) and ``problem``."""

    def __new__(cls, misfit: np.ndarray, roughness: np.ndarray, smoothings: np.ndarray,
                problem: SlipProblem | None) -> LCurve:
        self = super().__new__(cls, (misfit, roughness))
        self.misfit, self.roughness, self.smoothings, self.problem = misfit, roughness, smoothings, problem
        self.corner_smoothing, self.corner, self.curvature = lcurve_corner(misfit, roughness, smoothings)
        self.corner_misfit = self.corner_roughness = None
        self.corner_at_edge = False
        if self.corner_smoothing is not None:
            s = np.asarray(smoothings, dtype=float)
            ok = s > 0
            order = np.argsort(s[ok])
            t = np.log10(s[ok][order])
            at = math.log10(self.corner_smoothing)
            self.corner_misfit, self.corner_roughness = (
                float(10.0 ** scipy.interpolate.CubicSpline(t, np.log10(np.asarray(v, dtype=float)[ok][order]))(at))
                for v in (misfit, roughness))
            self.corner_at_edge = bool(min(abs(at - t[1]), abs(at - t[-2])) < 1e-9)
        return self

    def __getnewargs__(self):
        return (self.misfit, self.roughness, self.smoothings, self.problem)


def lcurve_corner(misfit: ArrayLike, roughness: ArrayLike,
                  smoothings: ArrayLike) -> tuple[float | None, int | None, np.ndarray | None]:
    """The corner of an L-curve: the smoothing weight where the curve
    (log10 misfit, log10 roughness), parametrised by t = log10 smoothing, is
    most sharply bent towards the origin, i.e. where its signed curvature

        k(t) = (x' y'' - x'' y') / (x'^2 + y'^2)^(3/2)

    is greatest (x, y interpolated by cubic splines through the computed
    points, k evaluated on a fine grid of t between them, the first and
    last points left out as they have one neighbour).  Returns (the weight,
    the index of the nearest computed weight, k at the computed weights);
    (None, None, None) with fewer than 4 positive weights."""
    s = np.asarray(smoothings, dtype=float)
    x = np.log10(np.asarray(misfit, dtype=float))
    y = np.log10(np.asarray(roughness, dtype=float))
    ok = (s > 0) & np.isfinite(x) & np.isfinite(y)
    if ok.sum() < 4:
        return None, None, None
    t = np.log10(s[ok])
    order = np.argsort(t)
    t, x, y = t[order], x[ok][order], y[ok][order]
    if np.any(np.diff(t) <= 0):
        raise ValueError("smoothings: each weight once")
    fx, fy = scipy.interpolate.CubicSpline(t, x), scipy.interpolate.CubicSpline(t, y)

    def kappa(tt):
        x1, y1, x2, y2 = fx(tt, 1), fy(tt, 1), fx(tt, 2), fy(tt, 2)
        return (x1 * y2 - x2 * y1) / np.maximum(x1 ** 2 + y1 ** 2, 1e-300) ** 1.5

    fine = np.linspace(t[1], t[-2], 2001)
    k = kappa(fine)
    best = float(fine[int(np.argmax(k))])
    idx_ok = np.flatnonzero(ok)[order]
    nearest = int(idx_ok[int(np.argmin(np.abs(t - best)))])
    curv = np.full(s.size, np.nan)
    curv[idx_ok] = kappa(t)
    return 10.0 ** best, nearest, curv


def lcurve(datasets: Dataset | Iterable[Dataset] | SlipProblem,
           faults: Faults | Segment | Iterable[Segment] | None = None, *, smoothings: Iterable[float],
           nx: int | Sequence[int] | None = None, ny: int | Sequence[int] | None = None,
           patch: Sequence[float] | Sequence[Sequence[float]] | None = None,
           extend: Sequence[float] | Sequence[Sequence[float]] = (0.0, 0.0),
           rake: Sequence[float] | Sequence[Sequence[float] | None] | None = None,
           positivity: Sequence[int] | None = None, join: float | bool | Sequence[tuple[int, int]] | None = None,
           maxiter: int = 200, progress: Callable[[str], object] | None = None,
           plane: Faults | Segment | Iterable[Segment] | None = None) -> LCurve:
    """Misfit (weighted rms) and roughness (mm/km^2) of the slip inversion
    for each smoothing weight, the Green's functions computed once (the
    arguments of :func:`fit_slip`; ``datasets`` may be a
    :class:`SlipProblem`).  Returns an :class:`LCurve`, which unpacks as the
    two arrays and gives the corner (:func:`lcurve_corner`)."""
    faults = plane if faults is None else faults
    if isinstance(datasets, SlipProblem):
        sp = datasets
    else:
        sp = slip_problem(datasets, faults, nx=nx, ny=ny, patch=patch, extend=extend, rake=rake,
                          positivity=positivity, join=join, progress=progress)
    weights = [_smoothing(s) for s in smoothings]
    misfit, rough, active = [], [], None
    # From the strongest smoothing down, each solve starting from the last one's active set.
    for i in sorted(range(len(weights)), key=lambda i: -weights[i]):
        u, sol = sp.solve(weights[i], active=active, maxiter=maxiter)
        active = sol.active
        if not sol.converged:
            warnings.warn(f"L-curve, smoothing {weights[i]:g}: {sol.message}", RuntimeWarning, stacklevel=2)
        misfit.append((i, sp.misfit(u)))
        rough.append((i, sp.roughness(u)))
        if progress:
            progress(f"L-curve: smoothing {weights[i]:g}, misfit {misfit[-1][1]:.4g}, "
                     f"roughness {rough[-1][1]:.4g}")
    misfit = np.array([v for _, v in sorted(misfit)])
    rough = np.array([v for _, v in sorted(rough)])
    lc = LCurve(misfit, rough, np.array(weights), sp)
    if lc.corner_at_edge:
        warnings.warn(f"the L-curve is most bent at the edge of the weights tried ({lc.corner_smoothing:g}): its "
                      f"corner may lie beyond them", RuntimeWarning, stacklevel=2)
    return lc

