"""The Markov chains of :mod:`vadrel.invert.sample`: Hamiltonian Monte
Carlo with a dense metric and a dual-averaged step (static trajectories of
random length, or the no-U-turn sampler), and emcee's ensemble.

Both take a target with ``logp(u, grad=True) -> (log density, gradient)``
over unbounded variables u, a start ``u0`` and a metric (the covariance the
draws are expected to have), and return the draws (chains, draws, d) or
(draws, d), their log densities and a dict of what happened.
"""
from __future__ import annotations

import math
from collections.abc import Callable
from typing import Any, Protocol

import numpy as np

__all__ = ["Target", "hmc_chain", "emcee_chain"]

class Target(Protocol):
    """What the chains sample: a log density over unbounded variables u,
    with its gradient when ``grad`` (None otherwise); -inf outside the
    model's domain."""

    def logp(self, u: np.ndarray, grad: bool = True) -> tuple[float, np.ndarray | None]: ...


# Leapfrog steps of one trajectory at most (as a tree depth of 10 would).
_MOST_STEPS = 1024
# Mean trajectory length in the metric's units.
_LENGTH = math.pi / 2.0
# Doublings of a NUTS trajectory at most (2^10 - 1 = 1023 steps).
_MOST_DEPTH = 10
# Energy error past which a trajectory counts as divergent.
_DIVERGENCE = 1000.0


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


class _State:
    """A point of a trajectory: position, momentum, log density, gradient."""
    __slots__ = ("u", "p", "lp", "g")

    def __init__(self, u, p, lp, g):
        self.u, self.p, self.lp, self.g = u, p, lp, g


class _Dynamics:
    """Leapfrog steps under a dense metric (the covariance the draws are
    expected to have): velocity metric @ p, kinetic energy p.metric.p / 2."""

    def __init__(self, target, metric):
        self.target, self.metric = target, metric
        self.L = np.linalg.cholesky(metric)
        self.leapfrogs = 0

    def momentum(self, rng):
        return np.linalg.solve(self.L.T, rng.standard_normal(self.L.shape[0]))

    def energy(self, s):
        return -s.lp + 0.5 * float(s.p @ (self.metric @ s.p))

    def leapfrog(self, s, step):
        """One step (negative: backwards); None where the model has no value."""
        p = s.p + 0.5 * step * s.g
        u = s.u + step * (self.metric @ p)
        lp, g = self.target.logp(u)
        self.leapfrogs += 1
        if not math.isfinite(lp):
            return None
        return _State(u, p + 0.5 * step * g, lp, g)


def _static(dyn, s0, step, rng):
    """Static HMC: a trajectory of random length between 0.5 and 1.5 times
    pi/2 in the metric's units, its end accepted by Metropolis."""
    n = min(_MOST_STEPS, max(1, int(math.ceil(rng.uniform(0.5, 1.5) * _LENGTH / step))))
    h0 = dyn.energy(s0)
    s = s0
    for _ in range(n):
        s = dyn.leapfrog(s, step)
        if s is None:
            return s0, 0.0, True
    err = dyn.energy(s) - h0
    if not (math.isfinite(err) and err < _DIVERGENCE):
        return s0, 0.0, True
    accept = 1.0 if err <= 0 else math.exp(-err)
    return (s if rng.uniform() < accept else s0), accept, False


class _Tree:
    """A subtree of NUTS: its two ends, the draw it proposes, the log of its
    summed weights, the sum of its momenta, and what happened."""
    __slots__ = ("minus", "plus", "pick", "logw", "rho", "stop", "divergent", "accept", "n")


def _turned(dyn, rho, p_minus, p_plus):
    """The generalised no-U-turn criterion, with velocities."""
    return float(rho @ (dyn.metric @ p_minus)) <= 0.0 or float(rho @ (dyn.metric @ p_plus)) <= 0.0


def _build(dyn, s, direction, depth, step, h0, rng):
    if depth == 0:
        t = _Tree()
        n1 = dyn.leapfrog(s, direction * step)
        t.n, t.stop = 1, False
        err = dyn.energy(n1) - h0 if n1 is not None else math.inf
        if not (math.isfinite(err) and err < _DIVERGENCE):
            t.divergent, t.stop, t.accept, t.logw = True, True, 0.0, -math.inf
            t.minus = t.plus = t.pick = s
            t.rho = np.zeros_like(s.p)
            return t
        t.divergent = False
        t.minus = t.plus = t.pick = n1
        t.logw, t.rho = -err, n1.p.copy()
        t.accept = 1.0 if err <= 0 else math.exp(-err)
        return t
    a = _build(dyn, s, direction, depth - 1, step, h0, rng)
    if a.stop:
        return a
    b = _build(dyn, a.plus if direction > 0 else a.minus, direction, depth - 1, step, h0, rng)
    t = _Tree()
    t.n, t.accept, t.divergent = a.n + b.n, a.accept + b.accept, b.divergent
    if b.stop:
        t.minus, t.plus, t.pick, t.logw, t.rho, t.stop = a.minus, a.plus, a.pick, a.logw, a.rho, True
        return t
    first, second = (a, b) if direction > 0 else (b, a)
    t.minus, t.plus = first.minus, second.plus
    t.logw = float(np.logaddexp(a.logw, b.logw))
    # Within a subtree the draw is chosen in proportion to the weights.
    t.pick = b.pick if math.log(rng.uniform()) < b.logw - t.logw else a.pick
    t.rho = a.rho + b.rho
    # The whole subtree, and each half extended by the other's nearest end.
    t.stop = (_turned(dyn, t.rho, t.minus.p, t.plus.p)
              or _turned(dyn, first.rho + second.minus.p, first.minus.p, second.minus.p)
              or _turned(dyn, first.plus.p + second.rho, first.plus.p, second.plus.p))
    return t


def _nuts(dyn, s0, step, rng):
    """The no-U-turn sampler, multinomial (Betancourt 2017, "A conceptual
    introduction to Hamiltonian Monte Carlo", appendix A): the trajectory
    doubled forwards or backwards at random until it turns back on itself
    (at most _MOST_STEPS leapfrog steps), the draw taken from its points in
    proportion to exp(-energy), each new half's draw favoured over the old
    one's (biased progressive sampling)."""
    s0 = _State(s0.u, dyn.momentum(rng), s0.lp, s0.g)
    h0 = dyn.energy(s0)
    whole = _Tree()
    whole.minus = whole.plus = whole.pick = s0
    whole.logw, whole.rho = 0.0, s0.p.copy()
    accept, n, divergent = 0.0, 0, False
    for depth in range(_MOST_DEPTH):
        direction = 1 if rng.uniform() < 0.5 else -1
        t = _build(dyn, whole.plus if direction > 0 else whole.minus, direction, depth, step, h0, rng)
        accept, n = accept + t.accept, n + t.n
        divergent = divergent or t.divergent
        if t.stop:
            break
        pick = t.pick if math.log(rng.uniform()) < t.logw - whole.logw else whole.pick
        first, second = (whole, t) if direction > 0 else (t, whole)
        turned = (_turned(dyn, whole.rho + t.rho, first.minus.p, second.plus.p)
                  or _turned(dyn, first.rho + second.minus.p, first.minus.p, second.minus.p)
                  or _turned(dyn, first.plus.p + second.rho, first.plus.p, second.plus.p))
        merged = _Tree()
        merged.minus, merged.plus, merged.pick = first.minus, second.plus, pick
        merged.logw, merged.rho = float(np.logaddexp(whole.logw, t.logw)), whole.rho + t.rho
        whole = merged
        if turned:
            break
    pick = whole.pick
    return pick, accept / max(n, 1), divergent


def hmc_chain(target: Target, u0: np.ndarray, metric: np.ndarray, draws: int, warmup: int,
              rng: np.random.Generator, progress: Callable[[str], object] | None = None, label: str = "",
              nuts: bool = True) -> tuple[np.ndarray, np.ndarray, dict[str, Any]]:
    """HMC, by NUTS (``nuts=True``) or with static trajectories of random
    length between 0.5 and 1.5 times pi/2.  Warm-up: the metric first as
    given, then the covariance of the draws of two windows (ending at 40 %
    and 80 % of the warm-up) shrunk towards the one before; the step by
    dual averaging to a mean acceptance of 0.8 (restarted with each new
    metric).  A trajectory whose energy error passes 1000 (or that leaves
    the model's domain) counts as divergent."""
    d = u0.size
    lp, g = target.logp(u0.copy())
    if not math.isfinite(lp):
        raise ValueError("the model has no value at a chain's start")
    state = _State(u0.copy(), None, lp, g)
    dyn = _Dynamics(target, metric)
    transition = _nuts if nuts else _static
    step = 0.8 / d ** 0.25
    adapt = _DualAverage(step)
    out = np.empty((draws, d))
    logps = np.empty(draws)
    accepts, divergent, leapfrogs = [], 0, 0
    kept = []
    windows = [(int(0.15 * warmup), int(0.4 * warmup)), (int(0.4 * warmup), int(0.8 * warmup))]
    total = warmup + draws
    for it in range(total):
        for a, b in windows:
            if it == b and len(kept) > 2 * d:
                k = len(kept)
                new = (k * np.atleast_2d(np.cov(np.array(kept).T)) + 5.0 * dyn.metric) / (k + 5.0)
                leapfrogs += dyn.leapfrogs
                dyn = _Dynamics(target, new)
                adapt = _DualAverage(step)
                kept = []
        if it == warmup:
            step = adapt.final() if adapt.m else step
        if transition is _static:
            state = _State(state.u, dyn.momentum(rng), state.lp, state.g)
        state, accept, div = transition(dyn, state, step, rng)
        if div and it >= warmup:
            divergent += 1
        if it < warmup:
            step = adapt.update(accept)
            if any(a <= it < b for a, b in windows):
                kept.append(state.u.copy())
        else:
            out[it - warmup] = state.u
            logps[it - warmup] = state.lp
            accepts.append(accept)
        if progress and (it + 1) % max(1, total // 10) == 0:
            progress(f"{label}{it + 1}/{total} iterations")
    return out, logps, {"acceptance": float(np.mean(accepts)) if accepts else float("nan"),
                        "divergent": divergent, "step": step, "leapfrogs": leapfrogs + dyn.leapfrogs}


def emcee_chain(target: Target, u0: np.ndarray, metric: np.ndarray, draws: int, warmup: int,
                rng: np.random.Generator, walkers: int, progress: Callable[[str], object] | None = None,
                label: str = "") -> tuple[np.ndarray, np.ndarray, dict[str, Any]]:
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
