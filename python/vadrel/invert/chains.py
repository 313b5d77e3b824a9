"""The Markov chains of :mod:`vadrel.invert.sample`: Hamiltonian Monte
Carlo with a dense metric and a dual-averaged step, and emcee's ensemble.

Both take a target with ``logp(u, grad=True) -> (log density, gradient)``
over unbounded variables u, a start ``u0`` and a metric (the covariance the
draws are expected to have), and return the draws (chains, draws, d) or
(draws, d), their log densities and a dict of what happened.
"""
from __future__ import annotations

import math

import numpy as np

__all__ = ["hmc_chain", "emcee_chain"]

# Leapfrog steps of one trajectory at most (as a tree depth of 10 would).
_MOST_STEPS = 1024


# ---------------------------------------------------------------------------
# Hamiltonian Monte Carlo with a dense metric and dual-averaged step
# ---------------------------------------------------------------------------


class _DualAverage:
    """Hoffman and Gelman (2014), algorithm 5: the log step that brings the
    mean acceptance to ``target``."""

    def __init__(self, step, target=0.8, gamma=0.05, t0=10.0, kappa=0.75):
        self.mu, self.target, self.gamma, self.t0, self.kappa = math.log(10.0 * step), target, gamma, t0, kappa
        self.hbar, self.log_bar, self.m = 0.0, 0.0, 0

    def update(self, accept):
        self.m += 1
        m = self.m
        self.hbar += ((self.target - accept) - self.hbar) / (m + self.t0)
        log_step = self.mu - math.sqrt(m) / self.gamma * self.hbar
        w = m ** -self.kappa
        self.log_bar = w * log_step + (1.0 - w) * self.log_bar
        return math.exp(log_step)

    def final(self):
        return math.exp(self.log_bar)


def hmc_chain(target, u0, metric, draws, warmup, rng, progress=None, label=""):
    """HMC: the metric first as given, then (at three quarters of the
    warm-up) the covariance of the warm-up's middle draws shrunk towards
    it; the step by dual averaging to an acceptance of 0.8; trajectory
    lengths between 0.5 and 1.5 times pi/2; a trajectory whose energy error
    passes 1000 (or leaves the model's domain) counts as divergent."""
    d = u0.size
    u = u0.copy()
    lp, g = target.logp(u)
    if not math.isfinite(lp):
        raise ValueError("the model has no value at a chain's start")
    L = np.linalg.cholesky(metric)
    step = 0.8 / d ** 0.25
    adapt = _DualAverage(step)
    out = np.empty((draws, d))
    logps = np.empty(draws)
    accepts, divergent, leapfrogs = [], 0, 0
    kept = []
    slow_end, metric_at = int(0.15 * warmup), int(0.75 * warmup)
    total = warmup + draws
    for it in range(total):
        if it == metric_at and len(kept) > 2 * d:
            k = len(kept)
            metric = (k * np.atleast_2d(np.cov(np.array(kept).T)) + 5.0 * metric) / (k + 5.0)
            L = np.linalg.cholesky(metric)
            adapt = _DualAverage(step)
        if it == warmup:
            step = adapt.final()
        n = min(_MOST_STEPS, max(1, int(math.ceil(rng.uniform(0.5, 1.5) * (math.pi / 2.0) / step))))
        p = np.linalg.solve(L.T, rng.standard_normal(d))
        h0 = -lp + 0.5 * float(p @ (metric @ p))
        un, gn, lpn, pn = u, g, lp, p + 0.5 * step * g
        ok = True
        for i in range(n):
            un = un + step * (metric @ pn)
            lpn, gn = target.logp(un)
            leapfrogs += 1
            if not math.isfinite(lpn):
                ok = False
                break
            if i < n - 1:
                pn = pn + step * gn
        if ok:
            pn = pn + 0.5 * step * gn
            h1 = -lpn + 0.5 * float(pn @ (metric @ pn))
            err = h1 - h0
            accept = 1.0 if err <= 0 else (math.exp(-err) if math.isfinite(err) else 0.0)
            ok = math.isfinite(err) and err < 1000.0
        else:
            accept = 0.0
        if not ok and it >= warmup:
            divergent += 1
        if ok and rng.uniform() < accept:
            u, g, lp = un, gn, lpn
        if it < warmup:
            step = adapt.update(accept)
            if slow_end <= it < metric_at:
                kept.append(u.copy())
        else:
            out[it - warmup] = u
            logps[it - warmup] = lp
            accepts.append(accept)
        if progress and (it + 1) % max(1, total // 10) == 0:
            progress(f"{label}{it + 1}/{total} iterations")
    return out, logps, {"acceptance": float(np.mean(accepts)) if accepts else float("nan"),
                        "divergent": divergent, "step": step, "leapfrogs": leapfrogs}


def emcee_chain(target, u0, metric, draws, warmup, rng, walkers, progress=None, label=""):
    """emcee's affine-invariant ensemble, its walkers drawn from the metric
    about u0: one chain per walker."""
    import emcee
    d = u0.size
    L = np.linalg.cholesky(metric)
    start = u0 + (L @ rng.standard_normal((d, walkers))).T

    def logp(u):
        return target.logp(u, grad=False)[0]

    sampler = emcee.EnsembleSampler(walkers, d, logp)
    sampler.random_state = np.random.RandomState(int(rng.integers(2 ** 31))).get_state()
    state = sampler.run_mcmc(start, warmup, progress=False)
    sampler.reset()
    sampler.run_mcmc(state, draws, progress=False)
    chain = np.swapaxes(sampler.get_chain(), 0, 1)          # (walkers, draws, d)
    logps = sampler.get_log_prob().T
    if progress:
        progress(f"{label}{warmup + draws} steps of {walkers} walkers")
    return chain, logps, {"acceptance": float(np.mean(sampler.acceptance_fraction)), "divergent": 0,
                          "step": float("nan"), "leapfrogs": 0}
