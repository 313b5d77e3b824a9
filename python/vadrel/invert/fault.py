"""Fitting the geometry and slip of fault segments to the data: weighted
nonlinear least squares with the closed-form Jacobian (:func:`fit_fault`)."""
from __future__ import annotations

import math
import time
import warnings
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import scipy.optimize

import vadrel
from .. import geometry
from ..sources import moment_magnitude
from .data import Stack, datasets_of

if TYPE_CHECKING:
    from distributed import Client

    from ..io.datasets import Dataset

__all__ = ["PARAMETERS", "DEFAULT_FREE", "FaultFit", "FitWarning", "fit_fault"]

#: The ten parameters of a segment, in the order of :data:`vadrel.PARTIAL_COLUMNS`.
PARAMETERS = tuple(vadrel.PARTIAL_COLUMNS)
#: Parameters fitted by default: everything but the opening.
DEFAULT_FREE = ("X", "Y", "strike", "depth", "dip", "U1", "U2", "L", "W")
_SLIPS = ("U1", "U2", "U3")
_DEG = math.pi / 180.0


class FitWarning(UserWarning):
    """A fit that did not converge, or whose result sits on a bound."""


def _seg_values(seg):
    return {k: float(getattr(seg, k)) for k in PARAMETERS + ("lam", "mu")} | {"name": seg.name,
                                                                             "flag": int(seg.flag)}


def _make_segment(v):
    """A Segment from a dict of its fields (by keyword: the positional order
    is not relied on)."""
    return vadrel.Segment(X=v["X"], Y=v["Y"], strike=v["strike"], depth=v["depth"], dip=v["dip"],
                          lam=v["lam"], mu=v["mu"], U1=v["U1"], U2=v["U2"], U3=v["U3"], L=v["L"],
                          W=v["W"], name=v["name"], flag=v["flag"])


def _with(v, **changes):
    return dict(v, **changes)


def _top(v):
    return float(geometry.top_depth(v["depth"], v["W"], v["dip"]))


def _moment(values):
    """Scalar moment (N m) of segments, mu (taken in Pa) x area x shear
    slip, and its magnitude (None for no slip)."""
    m0 = sum(v["mu"] * v["L"] * v["W"] * 1e6 * math.hypot(v["U1"], v["U2"]) * 1e-3 for v in values)
    return m0, (moment_magnitude(m0) if m0 > 0 else None)


def _mw(mw):
    return "-" if mw is None else f"{mw:.2f}"


def _segments_of(start):
    if isinstance(start, vadrel.Segment):
        return [start], (0.0, 0.0, 0.0)
    if isinstance(start, vadrel.Faults):
        return list(start.segments), tuple(start.ramp)
    raise ValueError("start must be a vadrel.Segment or a vadrel.Faults")


# ---------------------------------------------------------------------------
# Nonlinear fit of the geometry
# ---------------------------------------------------------------------------


class _Problem:
    """The parameter vector of a geometry fit and its model, residuals and
    Jacobian.  Internal variables: the free parameters of each segment (the
    depth of the top edge in place of ``depth``), then the nuisance
    coefficients."""

    def __init__(self, stack, values, free, bounds):
        self.stack, self.values = stack, values
        self.free = []            # (segment index, parameter name); "top" stands for depth
        for k, names in enumerate(free):
            for n in names:
                self.free.append((k, "top" if n == "depth" else n))
        self.nfree = len(self.free)
        self.nparam = self.nfree + stack.nuisance.shape[1]
        self.lb, self.ub = self._bounds(bounds)
        self.calls = 0
        # Processors for each compiled call: 0 all of them; 1 in a task on
        # a worker (one task per thread, no oversubscription).
        self.threads = 0

    def _bounds(self, user):
        st = self.stack
        ext = max(float(np.ptp(st.x)), float(np.ptp(st.y)), 1.0)
        lb, ub = [], []
        for k, n in self.free:
            v = self.values[k]
            freek = {m for kk, m in self.free if kk == k}
            if n in ("X", "Y"):
                a = st.x if n == "X" else st.y
                lo, hi = float(a.min()) - ext, float(a.max()) + ext
            elif n == "strike":
                lo, hi = v["strike"] - 180.0, v["strike"] + 180.0
            elif n == "top":
                lo, hi = 0.0, max(50.0, 2.0 * v["depth"])
            elif n == "dip":
                lo, hi = 1.0, 179.0
            elif n in _SLIPS:
                big = max(2e4, 3.0 * abs(v[n]))
                lo, hi = -big, big
            elif n == "L":
                lo, hi = min(1.0, v["L"]), max(3.0 * v["L"], 2.0 * ext)
            else:  # W
                lo, hi = min(1.0, v["W"]), max(3.0 * v["W"], 100.0)
                if "top" not in freek:
                    hi = min(hi, v["depth"] if "dip" in freek else v["depth"] / math.sin(v["dip"] * _DEG))
            u = user[k].get(n) if user else None
            if u is not None:
                lo, hi = float(u[0]), float(u[1])
            if not lo < hi:
                raise ValueError(f"segment {k + 1}: empty bounds for {n} ({lo}, {hi})")
            x0 = self._start_value(k, n)
            if not lo <= x0 <= hi:
                what = "the depth of its top edge" if n == "top" else n
                raise ValueError(f"segment {k + 1}: the start's {what} ({x0:g}) is outside the bounds "
                                 f"({lo:g}, {hi:g})")
            lb.append(lo)
            ub.append(hi)
        q = self.stack.nuisance.shape[1]
        return np.array(lb + [-np.inf] * q), np.array(ub + [np.inf] * q)

    def _start_value(self, k, n):
        v = self.values[k]
        return _top(v) if n == "top" else v[n]

    def start(self):
        p = [self._start_value(k, n) for k, n in self.free]
        return np.array(p + [0.0] * self.stack.nuisance.shape[1])

    def segment_values(self, p):
        vals = [dict(v) for v in self.values]
        for (k, n), val in zip(self.free, p):
            vals[k]["depth_top" if n == "top" else n] = float(val)
        for v in vals:
            if "depth_top" in v:
                v["depth"] = v.pop("depth_top") + v["W"] * math.sin(v["dip"] * _DEG)
        return vals

    def faults(self, p):
        return vadrel.Faults([_make_segment(v) for v in self.segment_values(p)])

    def predict(self, p):
        st = self.stack
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            r = vadrel.range_change(self.faults(p), st.x, st.y, st.look, threads=self.threads)
        r = r + st.nuisance @ p[self.nfree:]
        if not np.all(np.isfinite(r)):
            raise ValueError("the model is not finite for these parameters")
        return r

    def residuals(self, p):
        self.calls += 1
        return self.stack.whiten(self.predict(p)) - self.stack.wobs

    def jacobian(self, p, internal=True, whiten=True):
        """d(prediction)/d(variable), whitened (unless ``whiten=False``):
        internal variables (top edge) or, with ``internal=False``, the
        segment's own parameters."""
        st = self.stack
        vals = self.segment_values(p)
        J = np.empty((st.obs.size, self.nparam))
        cols = {}
        for k in sorted({k for k, _ in self.free}):
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", RuntimeWarning)
                cols[k] = vadrel.partials(vadrel.Faults([_make_segment(vals[k])]), st.x, st.y, st.look,
                                          threads=self.threads)
        idx = {n: i for i, n in enumerate(PARAMETERS)}
        for j, (k, n) in enumerate(self.free):
            P, v = cols[k], vals[k]
            if n == "top":
                J[:, j] = P[:, idx["depth"]]
            elif internal and n in ("W", "dip") and (k, "top") in self.free:
                # depth = top + W sin(dip): moving W or dip at a fixed top edge moves the deep edge.
                d = (math.sin(v["dip"] * _DEG) if n == "W" else v["W"] * math.cos(v["dip"] * _DEG) * _DEG)
                J[:, j] = P[:, idx[n]] + P[:, idx["depth"]] * d
            else:
                J[:, j] = P[:, idx[n]]
        J[:, self.nfree:] = st.nuisance
        if not np.all(np.isfinite(J)):
            raise ValueError("the Jacobian is not finite for these parameters")
        return st.whiten(J) if whiten else J

    def random_start(self, rng):
        """Geometry drawn uniformly inside the bounds; slips and nuisance
        solved linearly for that geometry (the model is linear in them)."""
        p = self.start()
        lin = [j for j, (k, n) in enumerate(self.free) if n in _SLIPS] + list(range(self.nfree, self.nparam))
        for j, (k, n) in enumerate(self.free):
            if n not in _SLIPS:
                p[j] = rng.uniform(self.lb[j], self.ub[j])
        # Held slips stay; the free ones and the nuisance are the linear solution.
        for j in lin:
            p[j] = 0.0
        base = self.residuals(p)
        A = self.jacobian(p)[:, lin]
        sol = np.linalg.lstsq(A, -base, rcond=None)[0]
        p[lin] = np.clip(sol, self.lb[lin], self.ub[lin])
        return p


def _run_start(problem, p0, jacobian, threads=None, max_nfev=None):
    """One least-squares run from p0 (a task for a distributed worker, with
    ``threads=1``)."""
    problem.calls = 0
    if threads is not None:
        problem.threads = threads
    jac = {"analytic": problem.jacobian, "forward": "2-point", "central": "3-point"}[jacobian]
    r = scipy.optimize.least_squares(problem.residuals, p0, jac=jac, bounds=(problem.lb, problem.ub),
                                     method="trf", x_scale="jac", ftol=1e-10, xtol=1e-10, gtol=1e-10,
                                     max_nfev=max_nfev or max(200, 30 * problem.nparam))
    return r.x, float(r.cost), problem.calls, int(r.njev or 0), int(r.status), str(r.message), r.active_mask


class FaultFit:
    """The result of :func:`fit_fault`.

    ``faults`` (a ``Faults``; the ramp of the only radar dataset, if there is
    one such, as its ``P`` line), ``params`` and ``sigma`` (name -> value,
    one standard deviation; names ``X``... for one segment, ``X_2``... for
    segment 2 of several, ``DATASET.offset``, ``DATASET.ramp_x``... for the
    nuisance; held parameters have sigma 0), ``names`` and ``covariance``
    (of the free parameters), ``rms`` and ``variance_reduction`` (dataset
    name -> value, and ``"all"``: the weighted whole), ``moment`` (N m),
    ``Mw``, ``nfev`` (model evaluations, finite differences included),
    ``njev``, ``predicted`` and ``residuals`` (per dataset, observed -
    computed; (n, 3) for GNSS), ``offsets`` and ``ramps`` (per dataset, in
    the model frame: offset + a x + b y), ``chi2``, ``time`` (s), ``starts``
    (the final cost of each start).

    Honest ends: ``status`` (that of ``scipy.optimize.least_squares`` for
    the best start: 1 to 4 converged, 0 stopped at the evaluation limit),
    ``converged`` (bool) and ``message``; a :class:`FitWarning` is raised
    when the fit did not converge.  ``at_bound``: the free parameters whose
    value ends on a bound of the search, name -> ``"lower"`` or ``"upper"``
    (``top`` for the depth of the top edge, 0 at the ground); their sigma
    ignores the bound.  ``frame``: the datasets' km frame (None if they have
    none); with one, :meth:`lonlat` gives the segments' positions in degrees.
    """

    def lonlat(self) -> list[dict[str, Any]]:
        """Per segment (a list of dicts): ``lon``, ``lat`` of the reference
        point (X, Y), ``strike_true`` there (degrees from true north;
        ``strike`` is from the frame's grid north) and the top edge's ends
        ``top_lon``, ``top_lat`` (two values each, in the strike's
        direction).  ValueError when the data have no
        frame."""
        if self.frame is None:
            raise ValueError("the datasets carry no frame: the fit is in km only")
        out = []
        for s in self.faults.segments:
            lon, lat = self.frame.to_lonlat(s.X, s.Y)
            _, top = geometry.segment_outline(s)
            top = top[::-1]              # in the strike's direction
            tl, tb = self.frame.to_lonlat(top[:, 0], top[:, 1])
            out.append({"name": s.name, "lon": float(lon), "lat": float(lat),
                        "strike_true": float(self.frame.to_true(s.X, s.Y, s.strike)),
                        "top_lon": [float(v) for v in tl], "top_lat": [float(v) for v in tb]})
        return out

    def __repr__(self):
        return (f"FaultFit(Mw={_mw(self.Mw)}, rms={self.rms['all']:.3g} mm, "
                f"VR={100 * self.variance_reduction['all']:.1f} %, nfev={self.nfev})")


def _free_lists(free, nseg):
    if free is None:
        free = DEFAULT_FREE
    if isinstance(free, str):
        free = [n for n in free.split(",") if n]
    free = list(free)
    if free and all(isinstance(f, (list, tuple)) for f in free):
        if len(free) != nseg:
            raise ValueError(f"free: {len(free)} lists for {nseg} segments")
        lists = [list(f) for f in free]
    else:
        lists = [list(free) for _ in range(nseg)]
    for f in lists:
        for n in f:
            if n not in PARAMETERS:
                raise ValueError(f"free: unknown parameter '{n}' (one of {', '.join(PARAMETERS)})")
        if len(set(f)) != len(f):
            raise ValueError("free: a parameter is named twice")
    return lists


def _bound_lists(bounds, nseg, free):
    if bounds is None:
        return None
    if isinstance(bounds, dict):
        bounds = [bounds] * nseg
    bounds = list(bounds)
    if len(bounds) != nseg:
        raise ValueError(f"bounds: {len(bounds)} dicts for {nseg} segments")
    out = []
    for k, (b, f) in enumerate(zip(bounds, free)):
        b = dict(b)
        if "depth" in b and "depth" in f:
            raise ValueError("bounds: the fit runs on the depth of the top edge; bound it with 'top'")
        for n, v in b.items():
            if n not in PARAMETERS + ("top",):
                raise ValueError(f"bounds: unknown parameter '{n}'")
            if len(v) != 2 or not all(math.isfinite(float(a)) for a in v):
                raise ValueError(f"bounds: {n} needs two finite values (low, high)")
        out.append(b)
    return out


def _problem(datasets, start, free, bounds):
    """The parameter vector, bounds and model of a geometry fit, checked."""
    stack = Stack(datasets_of(datasets))
    segs, _ = _segments_of(start)
    values = [_seg_values(s) for s in segs]
    for k, v in enumerate(values):
        if _top(v) < -1e-9:
            raise ValueError(f"segment {k + 1}: its top edge is above the ground "
                             f"(depth - W sin(dip) = {_top(v):.3g} km)")
    free = _free_lists(free, len(values))
    problem = _Problem(stack, values, free, _bound_lists(bounds, len(values), free))
    if problem.nparam == 0:
        raise ValueError("nothing to fit: no free parameter and no offset or ramp")
    if stack.obs.size <= problem.nparam:
        raise ValueError(f"{stack.obs.size} observations for {problem.nparam} free parameters (offsets and "
                         f"ramps included): a fit needs more data than parameters")
    return problem


def fit_fault(datasets: Dataset | Iterable[Dataset], start: vadrel.Segment | vadrel.Faults, *,
              free: Sequence[str] | Sequence[Sequence[str]] = DEFAULT_FREE,
              bounds: Mapping[str, Sequence[float]] | Sequence[Mapping[str, Sequence[float]]] | None = None,
              jacobian: str = "analytic", starts: int = 1, seed: int = 0, client: Client | None = None,
              progress: Callable[[str], object] | None = None, max_nfev: int | None = None) -> FaultFit:
    """Fit the geometry and slip of one or more segments to the datasets.

    ``start``: a ``Segment`` or a ``Faults``; ``free``: the names of the
    fitted parameters (for several segments one list for all, or a list per
    segment); ``bounds``: {name: (low, high)} (or one dict per segment),
    ``top`` bounding the depth of the top edge; ``jacobian``: ``"analytic"``
    (closed form), ``"forward"`` or ``"central"`` (finite differences);
    ``starts`` > 1 adds random starts inside the bounds (drawn from ``seed``)
    and keeps the best, run as tasks on ``client`` (a ``distributed.Client``)
    when given (each task's compiled calls on one thread: start the workers
    with one thread each, ``threads_per_worker=1``); ``progress``: a callable
    given a line of text per start; ``max_nfev``: the evaluation limit of
    each start (default max(200, 30 x parameters)).

    Refused (ValueError): no more observations than parameters (offsets and
    ramps counted).  Warned (:class:`FitWarning`): a fit stopped at its
    evaluation limit (``status`` 0), a result on a bound (``at_bound``).
    """
    t0 = time.perf_counter()
    if jacobian not in ("analytic", "forward", "central"):
        raise ValueError(f"jacobian must be analytic, forward or central, not '{jacobian}'")
    problem = _problem(datasets, start, free, bounds)
    starts = int(starts)
    if starts < 1:
        raise ValueError("starts must be at least 1")
    if max_nfev is not None and int(max_nfev) < 1:
        raise ValueError("max_nfev must be at least 1")
    rng = np.random.default_rng(seed)
    p0s = [problem.start()] + [problem.random_start(rng) for _ in range(starts - 1)]
    results = []
    if client is not None and starts > 1:
        remote = client.scatter(problem, broadcast=True)
        futures = [client.submit(_run_start, remote, p0, jacobian, 1, max_nfev, pure=False) for p0 in p0s]
        for i, fut in enumerate(futures):
            results.append(fut.result())
            if progress:
                progress(f"start {i + 1}/{starts}: cost {results[-1][1]:.6g}")
    else:
        for i, p0 in enumerate(p0s):
            results.append(_run_start(problem, p0, jacobian, max_nfev=max_nfev))
            if progress:
                progress(f"start {i + 1}/{starts}: cost {results[-1][1]:.6g}")
    best = min(range(len(results)), key=lambda i: results[i][1])
    p, cost, nfev, njev, status, message, active = results[best]
    fit = _fault_fit(problem, p, cost, nfev, njev, message, [r[1] for r in results], time.perf_counter() - t0)
    fit.status, fit.converged = status, status > 0
    fit.at_bound = _at_bound(problem, p, active)
    if not fit.converged:
        warnings.warn(f"the fit did not converge: {message} ({nfev} evaluations); the result is where it "
                      f"stopped", FitWarning, stacklevel=2)
    if fit.at_bound:
        warnings.warn(f"the fit ends on a bound: {_bound_text(fit.at_bound)}", FitWarning, stacklevel=2)
    return fit


def _at_bound(problem, p, active):
    """Free parameters on a bound: the solver's active set, or within 1e-6
    of the bounds' span of one."""
    out = {}
    for j, (k, n) in enumerate(problem.free):
        lo, hi = problem.lb[j], problem.ub[j]
        tol = 1e-6 * (hi - lo)
        name = n if len(problem.values) == 1 else f"{n}_{k + 1}"
        if active[j] < 0 or p[j] - lo <= tol:
            out[name] = "lower"
        elif active[j] > 0 or hi - p[j] <= tol:
            out[name] = "upper"
    return out


def _bound_text(at_bound):
    return ", ".join(f"{n} ({side})" for n, side in at_bound.items())


def _fault_fit(problem, p, cost, nfev, njev, message, costs, elapsed):
    st = problem.stack
    vals = problem.segment_values(p)
    for v in vals:
        v["strike"] %= 360.0
    fit = FaultFit()
    nseg = len(vals)
    pred = problem.predict(p)
    m, npar = st.obs.size, problem.nparam
    fit.chi2 = 2.0 * cost
    J = problem.jacobian(p, internal=False)
    cov = np.linalg.pinv(J.T @ J)
    if not st.weighted:
        cov *= fit.chi2 / (m - npar)
    sd = np.sqrt(np.maximum(np.diag(cov), 0.0))

    def label(k, n):
        return n if nseg == 1 else f"{n}_{k + 1}"

    fit.names = [label(k, "depth" if n == "top" else n) for k, n in problem.free] + st.nuisance_names
    fit.covariance = cov
    fit.params, fit.sigma = {}, {}
    for k, v in enumerate(vals):
        for n in PARAMETERS:
            fit.params[label(k, n)] = v[n]
            fit.sigma[label(k, n)] = 0.0
    for name, val, s in zip(fit.names, list(p[:problem.nfree]) + list(p[problem.nfree:]), sd):
        if name not in fit.params:
            fit.params[name] = float(val)
        fit.sigma[name] = float(s)
    (fit.rms, fit.variance_reduction, fit.predicted, fit.residuals, fit.offsets,
     fit.ramps) = st.summary(pred, p[problem.nfree:])
    fit.moment, fit.Mw = _moment(vals)
    ramp = _program_ramp(st.datasets, fit.offsets, fit.ramps)
    fit.faults = vadrel.Faults([_make_segment(v) for v in vals], ramp=ramp)
    fit.nfev, fit.njev, fit.message, fit.starts, fit.time = nfev, njev, message, costs, elapsed
    fit.datasets = [d.name for d in st.datasets]
    fit.frame = st.frame
    return fit


def _program_ramp(datasets, offsets, ramps):
    """The program has one range ramp: that of the only radar dataset."""
    radar = [d for d in datasets if d.kind == "los"]
    if len(radar) != 1:
        return (0.0, 0.0, 0.0)
    d = radar[0]
    return (ramps[d.name][0], ramps[d.name][1], offsets[d.name])
