"""Convergence of Markov chains: the rank-normalised split R-hat and the
bulk effective sample size (Vehtari, Gelman, Simpson, Carpenter and
Buerkner, 2021, "Rank-normalization, folding, and localization: an improved
R-hat for assessing convergence of MCMC", Bayesian Analysis 16, 667-718).

Chains are arrays (chains, draws) of one parameter, or (chains, draws,
parameters).  Every chain is split in two halves, so that a chain that
drifts shows as two that disagree; draws are replaced by the normal scores
of their ranks over all chains, so that heavy tails do not hide a problem.

* :func:`rhat`: the larger of the split R-hat of the rank-normalised draws
  and of their distances from the median (folded: catches chains of one
  location and different spreads).  1 for chains of one distribution; over
  1.01 means more or longer chains are needed.
* :func:`ess`: draws x chains / tau, tau the integrated autocorrelation
  time estimated with Geyer's initial monotone sequence (the sums of pairs
  of autocorrelations, cut at the first negative sum and made
  non-increasing) on the rank-normalised split chains.  The draws' count
  for independent draws, fewer for correlated ones: (1 - phi) / (1 + phi)
  of them for an AR(1) series with coefficient phi.
"""
from __future__ import annotations

import numpy as np
from numpy.typing import ArrayLike
import scipy.special
import scipy.stats

__all__ = ["rhat", "ess", "ess_tail", "autocorrelation_time"]


def _chains(x):
    a = np.asarray(x, dtype=float)
    if a.ndim == 1:
        a = a[None, :]
    if a.ndim not in (2, 3):
        raise ValueError(f"chains must be (chains, draws) or (chains, draws, parameters), got shape {a.shape}")
    if a.shape[1] < 4:
        raise ValueError(f"chains need at least 4 draws each, got {a.shape[1]}")
    return a


def _split(a):
    """Each chain cut into its two halves (an odd middle draw dropped)."""
    n = a.shape[1] // 2
    return np.concatenate([a[:, :n], a[:, a.shape[1] - n:]], axis=0)


def _normal_scores(a):
    """Normal scores of the ranks over all chains (ties averaged)."""
    r = scipy.stats.rankdata(a, axis=None).reshape(a.shape)
    return scipy.special.ndtri((r - 0.375) / (a.size + 0.25))


def _rhat_plain(a):
    m, n = a.shape
    w = float(np.mean(np.var(a, axis=1, ddof=1)))
    b = n * float(np.var(np.mean(a, axis=1), ddof=1)) if m > 1 else 0.0
    if w <= 0.0:
        return 1.0 if b <= 0.0 else float("inf")
    return float(np.sqrt(((n - 1) / n * w + b / n) / w))


def _per_parameter(f, a):
    if a.ndim == 2:
        return f(a)
    return np.array([f(a[:, :, j]) for j in range(a.shape[2])])


def rhat(chains: ArrayLike) -> float | np.ndarray:
    """Rank-normalised split R-hat: a number for (chains, draws), one per
    parameter for (chains, draws, parameters)."""
    def one(a):
        s = _split(a)
        folded = np.abs(s - np.median(s))
        return max(_rhat_plain(_normal_scores(s)), _rhat_plain(_normal_scores(folded)))
    return _per_parameter(one, _chains(chains))


def _autocovariance(a):
    """Autocovariance of each chain at every lag (by FFT), biased (divided
    by the draws' count)."""
    m, n = a.shape
    d = a - a.mean(axis=1, keepdims=True)
    size = 1 << (2 * n - 1).bit_length()
    f = np.fft.rfft(d, size, axis=1)
    return np.fft.irfft(f * np.conj(f), size, axis=1)[:, :n] / n


def autocorrelation_time(chains: ArrayLike) -> float:
    """Integrated autocorrelation time of (chains, draws) of one parameter
    as drawn (no split, no ranks), by Geyer's initial monotone sequence."""
    a = _chains(chains)
    if a.ndim != 2:
        raise ValueError("autocorrelation_time takes (chains, draws) of one parameter")
    return _tau(a)


def _tau(a):
    m, n = a.shape
    acov = _autocovariance(a)
    chain_var = acov[:, 0] * n / (n - 1)
    w = float(np.mean(chain_var))
    var_plus = w * (n - 1) / n + (float(np.var(a.mean(axis=1), ddof=1)) if m > 1 else 0.0)
    if var_plus <= 0.0:
        return float("nan")
    rho = 1.0 - (w - acov.mean(axis=0)) / var_plus
    rho[0] = 1.0
    total, last = 0.0, float("inf")
    for t in range(0, n - 1, 2):
        pair = rho[t] + rho[t + 1]
        if pair < 0.0:
            break
        last = min(last, pair)
        total += last
    tau = -1.0 + 2.0 * total
    # As the reference implementations do: never more than m n log10(m n) draws' worth.
    return max(tau, 1.0 / np.log10(m * n))


def ess(chains: ArrayLike) -> float | np.ndarray:
    """Bulk effective sample size of the rank-normalised split chains: a
    number for (chains, draws), one per parameter for (chains, draws,
    parameters)."""
    def one(a):
        s = _normal_scores(_split(a))
        return s.size / _tau(s)
    return _per_parameter(one, _chains(chains))


def ess_tail(chains: ArrayLike) -> float | np.ndarray:
    """Tail effective sample size: the smaller of the effective sample sizes
    of I(x <= 5 % quantile) and I(x <= 95 % quantile) over the split
    chains; a number for (chains, draws), one per parameter for (chains,
    draws, parameters)."""
    def one(a):
        s = _split(a)
        out = []
        for q in (0.05, 0.95):
            ind = (s <= np.quantile(s, q)).astype(float)
            tau = _tau(ind)
            out.append(s.size / tau if np.isfinite(tau) else 0.0)
        return min(out)
    return _per_parameter(one, _chains(chains))
