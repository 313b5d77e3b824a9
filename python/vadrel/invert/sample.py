"""Posterior sampling of a fault's geometry (:func:`sample_fault`).

The posterior
-------------
The data are Gaussian about the model with the datasets' weights (``sigma``
or a full covariance ``cov``; with neither on every dataset, one unknown
standard deviation common to all, integrated out under the prior 1/sigma).
Priors: uniform over the bounds of every free parameter (those of
:func:`~vadrel.invert.fit_fault`, or ``bounds``), in the fit's own
variables (the depth of the top edge, ``top``, when ``depth`` is free);
flat over the offsets and ramps.

What the chains run on (:mod:`vadrel.invert.target`)
----------------------------------------------------
The model is linear in the offsets and ramps and in the slips, so these are
integrated out exactly: the chains run on the rest of the geometry alone,
on the log marginal -1/2 r^T K r - 1/2 log det(G^T K G) with its
closed-form gradient (G the unit-slip fields, K the precision with the
offsets and ramps projected out, r the residual at the best slips), and
each draw of the geometry gets its slips, then its offsets and ramps, from
their exact Gaussian conditionals.  The slips' uniform prior over their
bounds is taken as flat there: ``marginalise="auto"`` (default) does so
only when every slip's bound lies at least 6 conditional standard
deviations from the best fit's slips, and otherwise keeps the slips in the
chains (``marginalise=False`` always does).  The conditional draws of the
slips are drawn again until inside their bounds; the share refused is
``truncated`` (over 1e-3: a warning).

Each segment's X, Y enter the chains at the centre of its top edge
(:mod:`vadrel.invert.reparam`): surface data fix the top of a buried fault
best, and at the deep edge's start X, Y trade off with W, dip and strike
along a curved ridge.  Every bounded variable then runs on the logit of its
place between its bounds, u = log((x - lo) / (hi - x)), with the log of
dx/du added to the log-density, so that the chains never leave the bounds
and the prior stays uniform in x.

Samplers (:mod:`vadrel.invert.chains`)
--------------------------------------
``method="hmc"`` (default): Hamiltonian Monte Carlo on the closed-form
gradient with a dense metric (mass matrix) in u: first the Laplace
approximation at the best fit, then the covariance of the draws of two
warm-up windows; the leapfrog step tuned by dual averaging to an
acceptance of 0.8; each trajectory's length drawn between 0.5 and 1.5
times pi/2 in the metric's units (a quarter period of the Gaussian the
metric describes: nearly independent successive draws when the posterior
is close to it).  A trajectory whose energy error passes 1000 is counted as
divergent.

``method="nuts"``: the no-U-turn sampler (multinomial, the same metric and
step adaptation), which finds each trajectory's length itself.

``method="emcee"``: the affine-invariant ensemble sampler of
``python3-emcee`` (no gradient), its walkers started from the Laplace
approximation, one ensemble per chain.

Measured in ``bench/sample_bench.py`` (doc/invert.md), static HMC gives the
most effective draws per second on the integrated posterior: it is the
default.

Chains
------
``chains`` chains (at least 4 for R-hat), spread over ``workers`` processes
(default: one per processor, at most one per chain), each running its
compiled calls on one thread.  Diagnostics: rank-normalised split R-hat and
bulk effective sample size per parameter (:mod:`vadrel.invert.diagnostics`);
the result is ``converged`` when every R-hat is below 1.01, no trajectory
diverged, every effective sample size is at least 100 and (slips
integrated out) no more than 1e-3 of the slips' conditional draws fell
outside their bounds.
"""
from __future__ import annotations

import math
import multiprocessing
import os
import time
import warnings
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import TYPE_CHECKING

import numpy as np

from . import diagnostics
from .chains import emcee_chain, hmc_chain
from .fault import DEFAULT_FREE, FitWarning, _problem, _run_start
from .target import SLIPS, FullTarget, SlipMarginal

if TYPE_CHECKING:
    import vadrel
    from ..io.datasets import Dataset

__all__ = ["Posterior", "SampleWarning", "sample_fault", "METHODS"]

METHODS = ("nuts", "hmc", "emcee")
# Conditional standard deviations between the best fit's slips and their
# bounds under which "auto" keeps the slips in the chains.
_MARGIN = 6.0
# Share of the slips' conditional draws outside their bounds above which
# the marginal (which neglects that mass) is not trusted.
_TRUNCATED = 1e-3


class SampleWarning(FitWarning):
    """Chains that did not converge: R-hat at or over 1.01, divergent
    trajectories, too few effective draws, or (slips integrated out) too
    many of the slips' conditional draws outside their bounds."""


def _chain_job(job):
    """One chain (or one ensemble), run in this process or a worker: the
    draws in u, turned into reported parameters with their offsets and
    ramps."""
    target, method, u0, metric, draws, warmup, seed, walkers, threads, progress, label = job
    cpu = time.process_time()
    target.problem.threads = threads
    rng = np.random.default_rng(seed)
    if method in ("nuts", "hmc"):
        u, logps, info = hmc_chain(target, u0, metric, draws, warmup, rng, progress, label, nuts=method == "nuts")
        u, logps = u[None], logps[None]
    else:
        u, logps, info = emcee_chain(target, u0, metric, draws, warmup, rng, walkers, progress, label)
    out = np.empty(u.shape[:2] + (target.problem.nparam,))
    for c in range(u.shape[0]):
        for k in range(u.shape[1]):
            out[c, k] = target.draw(u[c, k], rng)
    info["evaluations"] = target.evaluations
    info["rejected"] = getattr(target, "rejected", 0)
    info["drawn"] = getattr(target, "drawn", 0)
    info["cpu_time"] = time.process_time() - cpu
    return out, logps, info


def _run_jobs(jobs, workers, progress):
    if workers <= 1 or len(jobs) == 1:
        return [_chain_job(j) for j in jobs]
    # Worker processes forked from this one (a script needs no main guard);
    # their compiled calls run on one thread each (``threads``).
    pool = multiprocessing.get_context("fork").Pool(workers)
    with pool:
        results = [None] * len(jobs)
        for done, (i, res) in enumerate(pool.imap_unordered(_indexed_job, list(enumerate(jobs))), 1):
            results[i] = res
            if progress:
                progress(f"chain {i + 1} done ({done}/{len(jobs)})")
        pool.close()
        pool.join()
    return results


def _indexed_job(item):
    i, job = item
    return i, _chain_job(job)


# ---------------------------------------------------------------------------
# The result and the entry point
# ---------------------------------------------------------------------------


class Posterior:
    """Draws from the posterior of a fault's geometry (:func:`sample_fault`).

    * ``samples``: (draws x chains, parameters), every chain's draws after
      the warm-up, end to end; ``chains``: the same as (chains, draws,
      parameters) (for emcee, one chain per walker);
    * ``names``: the parameters, as :class:`~vadrel.invert.FaultFit` names
      them (the segment's own: ``depth`` is that of the deep edge; the
      offsets and ramps last);
    * ``rhat``, ``ess``: rank-normalised split R-hat and bulk effective
      sample size, one per parameter (arrays in the order of ``names``);
      ``ess_tail``: the tail effective sample size (that of the 5 % and
      95 % quantiles: how well the ends of a 90 % interval are known);
    * ``acceptance`` (mean over the chains), ``divergent`` (HMC trajectories
      whose energy error passed 1000), ``step`` (HMC leapfrog steps per
      chain), ``evaluations`` (model evaluations, all chains), ``time`` (s,
      wall clock, the best fit included), ``cpu_time`` (s, the chains'
      processor time added up),
      ``method``, ``status`` (0 converged, 1 not), ``converged``,
      ``message``;
    * ``fit``: the best fit (:class:`~vadrel.invert.FaultFit`) the chains
      started from; ``map``: its parameter values (name -> value);
    * ``marginalised``: the parameters integrated out of the chains and
      drawn from their exact conditional (the slips, or none);
      ``truncated``: the share of the slips' conditional draws refused for
      leaving their bounds (the prior mass the integrated marginal
      neglects);
    * ``log_posterior``: (chains, draws), up to a constant (of the chains'
      own variables: with the slips integrated out, their marginal);
    * ``frame``: the datasets' km frame (None without): :meth:`lonlat`.
    """

    def column(self, name: str) -> np.ndarray:
        """The draws of one parameter."""
        try:
            return self.samples[:, self.names.index(name)]
        except ValueError:
            raise KeyError(f"no parameter '{name}' (one of {', '.join(self.names)})") from None

    def summary(self) -> dict:
        """name -> {mean, sigma, p05, p50, p95, rhat, ess, ess_tail, map}."""
        out = {}
        q = np.percentile(self.samples, [5.0, 50.0, 95.0], axis=0)
        for j, n in enumerate(self.names):
            out[n] = {"mean": float(np.mean(self.samples[:, j])), "sigma": float(np.std(self.samples[:, j], ddof=1)),
                      "p05": float(q[0, j]), "p50": float(q[1, j]), "p95": float(q[2, j]),
                      "rhat": float(self.rhat[j]), "ess": float(self.ess[j]),
                      "ess_tail": float(self.ess_tail[j]), "map": self.map.get(n)}
        return out

    def interval(self, name: str, level: float = 0.9) -> tuple[float, float]:
        """The central credible interval of a parameter at ``level``."""
        a = 50.0 * (1.0 - level)
        lo, hi = np.percentile(self.column(name), [a, 100.0 - a])
        return float(lo), float(hi)

    def lonlat(self) -> dict:
        """Longitudes and latitudes (degrees) of each segment's reference
        point for every draw: {"lon": ..., "lat": ...} (``lon_2``... for
        segment 2 of several).  ValueError when the data have no frame."""
        if self.frame is None:
            raise ValueError("the datasets carry no frame: the draws are in km only")
        out = {}
        nseg = len(self.fit.faults.segments)
        for k, s in enumerate(self.fit.faults.segments):
            suffix = "" if nseg == 1 else f"_{k + 1}"
            x = self.column("X" + suffix) if "X" + suffix in self.names else np.full(len(self.samples), s.X)
            y = self.column("Y" + suffix) if "Y" + suffix in self.names else np.full(len(self.samples), s.Y)
            out["lon" + suffix], out["lat" + suffix] = self.frame.to_lonlat(x, y)
        return out

    def __repr__(self):
        return (f"Posterior({self.method}, {self.samples.shape[0]} draws of {len(self.names)} parameters, "
                f"R-hat max {np.max(self.rhat):.4f}, ESS min {np.min(self.ess):.0f}, {self.time:.1f} s)")


def _reported(problem, raw):
    """Draws in the fit's variables (top edge for depth) -> the segments'
    own parameters (deep edge), offsets and ramps as they are."""
    out = raw.copy()
    for j, (k, n) in enumerate(problem.free):
        if n != "top":
            continue
        wj = problem.free.index((k, "W")) if (k, "W") in problem.free else None
        dj = problem.free.index((k, "dip")) if (k, "dip") in problem.free else None
        W = raw[..., wj] if wj is not None else problem.values[k]["W"]
        dip = raw[..., dj] if dj is not None else problem.values[k]["dip"]
        out[..., j] = raw[..., j] + W * np.sin(np.radians(dip))
    return out


def _target(problem, p, marginalise):
    """The chains' target: the slips integrated out (``marginalise``
    True, or "auto" when every slip's bound lies at least _MARGIN
    conditional sigma from the best fit's slips) or every parameter in the
    chains."""
    slips = [j for j, (k, n) in enumerate(problem.free) if n in SLIPS]
    if marginalise is False or (marginalise == "auto" and (not slips or len(slips) == problem.nfree)):
        return FullTarget(problem)
    if not slips or len(slips) == problem.nfree:
        raise ValueError("marginalise: the slips can be integrated out only with a free slip and some "
                         "free geometry")
    target = SlipMarginal(problem)
    theta = p[target.cols]
    if marginalise == "auto":
        try:
            near = np.min(target.margins(theta)) < _MARGIN
        except (ValueError, np.linalg.LinAlgError):
            near = True
        if near:
            return FullTarget(problem)
    return target


def sample_fault(datasets: Dataset | Iterable[Dataset], start: vadrel.Segment | vadrel.Faults, *,
                 free: Sequence[str] | Sequence[Sequence[str]] = DEFAULT_FREE,
                 bounds: Mapping[str, Sequence[float]] | Sequence[Mapping[str, Sequence[float]]] | None = None,
                 draws: int = 1000, chains: int = 4, warmup: int | None = None, seed: int = 0,
                 method: str = "hmc", workers: int | None = None, walkers: int | None = None,
                 progress: Callable[[str], object] | None = None,
                 marginalise: bool | str = "auto") -> Posterior:
    """Draws from the posterior of the geometry and slip of fault segments.

    ``datasets``, ``start``, ``free`` and ``bounds`` as for
    :func:`~vadrel.invert.fit_fault`, which is run first (the chains start
    about its best fit, and it gives the Laplace approximation); uniform
    priors over the bounds.  ``draws`` per chain after ``warmup`` iterations
    (default 1000: the metric of a skewed posterior needs it) in each of
    ``chains`` chains (at least 4 for a trustworthy R-hat), spread over
    ``workers`` processes (default: the processors, at most one per chain;
    1 runs them in this process).  ``method``: ``"hmc"`` (Hamiltonian Monte
    Carlo on the closed-form gradient), ``"nuts"`` (its no-U-turn variant)
    or ``"emcee"`` (``chains`` ensembles of ``walkers`` walkers, default 2 x
    the chains' parameters + 2, each walker's draws counted as a chain).
    ``marginalise``: ``"auto"`` integrates the free slips out when their
    bounds are far (see the module's text), ``True`` always, ``False``
    never.  ``seed`` makes the draws repeatable; ``progress``: a callable
    given lines of text.  A :class:`SampleWarning` when the chains did not
    converge.
    """
    t0 = time.perf_counter()
    if method not in METHODS:
        raise ValueError(f"method must be one of {', '.join(METHODS)}, not '{method}'")
    draws, chains = int(draws), int(chains)
    if draws < 10 or chains < 1:
        raise ValueError("draws must be at least 10 and chains at least 1")
    warmup = 1000 if warmup is None else int(warmup)
    if warmup < 0:
        raise ValueError("warmup must not be negative")
    problem = _problem(datasets, start, free, bounds)
    st = problem.stack
    if any(d.weighted for d in st.datasets) and not st.weighted:
        raise ValueError("sampling needs weights (sigma or cov) on every dataset, or on none")
    if problem.nfree == 0:
        raise ValueError("nothing to sample: no free parameter of the fault")
    if marginalise not in ("auto", True, False):
        raise ValueError(f"marginalise must be 'auto', True or False, not {marginalise!r}")
    from .fault import _fault_fit, _at_bound
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", FitWarning)
        p, cost, nfev, njev, status, message, active = _run_start(problem, problem.start(), "analytic")
    fit = _fault_fit(problem, p, cost, nfev, njev, message, [cost], time.perf_counter() - t0)
    fit.status, fit.converged, fit.at_bound = status, status > 0, _at_bound(problem, p, active)
    if progress:
        progress(f"best fit: cost {cost:.6g}, {nfev} evaluations")
    target = _target(problem, p, marginalise)
    if progress and target.marginalised:
        progress(f"slips integrated out: the chains run on {target.dim} parameters")
    # About the best fit, moved in from a bound by 1e-3 of the span (where
    # the logit has no curvature to speak of).
    u_map = target.u_of(p[target.cols], margin=1e-3)
    metric = target.laplace(target.theta(u_map)[0])
    nproc = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else (os.cpu_count() or 1)
    workers = min(chains, nproc) if workers is None else max(1, min(int(workers), chains))
    threads = 1 if workers > 1 else 0
    seeds = np.random.SeedSequence(seed).spawn(chains + 1)
    rng = np.random.default_rng(seeds[-1])
    d = target.dim
    if method == "emcee":
        walkers = int(walkers) if walkers is not None else 2 * d + 2
        if walkers < 2 * d or walkers % 2:
            raise ValueError(f"walkers must be even and at least twice the parameters ({2 * d})")
    jobs = []
    Lm = np.linalg.cholesky(metric)
    for c in range(chains):
        # Starts spread over the Laplace approximation (twice its width), so
        # that R-hat can see chains that do not mix.
        u0 = u_map + (2.0 * Lm @ rng.standard_normal(d) if method != "emcee" else 0.0)
        for _ in range(20):
            if math.isfinite(target.logp(u0, grad=False)[0]):
                break
            u0 = 0.5 * (u0 + u_map)
        local = progress if workers == 1 else None
        jobs.append((target, method, u0, metric, draws, warmup, seeds[c], walkers, threads, local,
                     f"chain {c + 1}/{chains}: "))
    results = _run_jobs(jobs, workers, progress)
    raw = np.concatenate([r[0] for r in results], axis=0)
    post = Posterior()
    post.chains = _reported(problem, raw)
    post.samples = post.chains.reshape(-1, post.chains.shape[2])
    post.log_posterior = np.concatenate([r[1] for r in results], axis=0)
    post.names = list(fit.names)
    post.rhat = np.atleast_1d(diagnostics.rhat(post.chains))
    post.ess = np.atleast_1d(diagnostics.ess(post.chains))
    post.ess_tail = np.atleast_1d(diagnostics.ess_tail(post.chains))
    post.acceptance = float(np.mean([r[2]["acceptance"] for r in results]))
    post.divergent = int(sum(r[2]["divergent"] for r in results))
    post.step = [r[2]["step"] for r in results]
    post.evaluations = int(sum(r[2]["evaluations"] for r in results))
    post.cpu_time = float(sum(r[2]["cpu_time"] for r in results))
    post.method, post.fit, post.frame = method, fit, fit.frame
    post.map = {n: fit.params[n] for n in post.names}
    post.marginalised = [post.names[j] for j in target.marginalised]
    drawn = sum(r[2]["drawn"] for r in results)
    post.truncated = sum(r[2]["rejected"] for r in results) / drawn if drawn else 0.0
    problems = []
    if post.truncated > _TRUNCATED:
        problems.append(f"{100 * post.truncated:.2g} % of the slips' conditional draws fell outside their "
                        f"bounds, whose mass the integrated slips neglect: sample with marginalise=False")
    bad = [n for n, r in zip(post.names, post.rhat) if not r < 1.01]
    if bad:
        problems.append(f"R-hat at or over 1.01 for {', '.join(bad)} (max {np.nanmax(post.rhat):.3f})")
    if post.divergent:
        problems.append(f"{post.divergent} divergent trajectories")
    few = [n for n, e in zip(post.names, post.ess) if not e >= 100]
    if few:
        problems.append(f"fewer than 100 effective draws for {', '.join(few)}")
    post.converged = not problems
    post.status = 0 if post.converged else 1
    post.message = ("converged: R-hat below 1.01, effective draws "
                    f"{np.min(post.ess):.0f} at least" if post.converged else "; ".join(problems))
    post.time = time.perf_counter() - t0
    if not post.converged:
        warnings.warn(f"the chains did not converge: {post.message}; run longer or more chains",
                      SampleWarning, stacklevel=2)
    return post
