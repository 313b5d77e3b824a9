"""Speed and calibration of the posterior sampler (vadrel.invert.sample_fault).

    PYTHONPATH=build/python /usr/bin/python3 bench/sample_bench.py [--points 1000] [--draws 2600]
        [--chains 4] [--warmup N] [--method hmc,nuts,emcee] [--marginalise auto|yes|no]
        [--plot corner.png] [--coverage 100] [--coverage-draws 150] [--coverage-warmup 300]

1. Speed: a synthetic fault (dip 60, oblique slip) seen by 1,000 radar
   samples spread over 120 x 120 km, with correlated noise (exponential
   covariance, sill 100 mm^2 (10 mm), range 15 km, plus a 1 mm^2
   nugget) whose full covariance weights the data, and an offset and ramp;
   9 fault parameters, offset and ramp (by default the slips, offset and
   ramp integrated out and drawn from their conditional, the chains on the
   other 7).  Wall time on this machine's processors, the bulk effective
   sample size per parameter, R-hat, effective draws per second.  Goal:
   10,000 effective draws of every parameter in under 5 minutes, R-hat below
   1.01 (``--draws 3000``).  ``--draws 0`` skips it.
2. Coverage: the same fault, points and covariance, ``--coverage`` noise
   draws from that covariance; each sampled (4 chains, short: intervals need
   a few hundred effective draws), the 90 % central interval of every
   parameter, and the share of noise draws whose interval holds the truth
   (goal 85-95 %; for a calibrated posterior the count over 100 draws is
   binomial, 84-95 % in 95 % of runs).
"""
import argparse
import os
import sys
import time
import warnings

import numpy as np
import scipy.stats

import vadrel
from vadrel import invert
from vadrel.invert.sample import SampleWarning, sample_fault

TRUTH = vadrel.Segment(X=0.0, Y=0.0, strike=30.0, depth=15.0, dip=60.0, lam=3e10, mu=3e10, U1=1000.0,
                       U2=500.0, U3=0.0, L=30.0, W=12.0, name="truth")
LOOK = np.array([-0.61, -0.11, 0.785]) / np.linalg.norm([-0.61, -0.11, 0.785])
OFFSET, RAMP = 3.0, (0.02, -0.01)


def exponential(x, y, sill=100.0, rng_km=15.0, nugget=1.0):
    d = np.hypot(x[:, None] - x[None, :], y[:, None] - y[None, :])
    return sill * np.exp(-d / rng_km) + nugget * np.eye(x.size)


def start_near(truth):
    v = {k: getattr(truth, k) for k in invert.PARAMETERS + ("lam", "mu")}
    v.update(X=truth.X + 1.0, Y=truth.Y - 1.0, strike=truth.strike + 3.0, U1=0.9 * truth.U1, U2=0.9 * truth.U2)
    return vadrel.Segment(name="start", **v)


def synthetic(points, seed):
    """1,000 radar samples over 120 x 120 km, the truth's range change plus
    an offset and a ramp, and the exponential covariance of the noise."""
    rng = np.random.default_rng(seed)
    x, y = rng.uniform(-60, 60, points), rng.uniform(-60, 60, points)
    cov = exponential(x, y)
    clean = vadrel.range_change(vadrel.Faults([TRUTH]), x, y, LOOK) + RAMP[0] * x + RAMP[1] * y + OFFSET
    return x, y, cov, clean, rng


def speed(points, draws, chains, method, marginalise, warmup):
    x, y, cov, clean, rng = synthetic(points, 5)
    noisy = clean + np.linalg.cholesky(cov) @ rng.standard_normal(points)
    d = invert.Dataset(x, y, noisy, LOOK, cov=cov, name="radar")
    kw = {"walkers": 24} if method == "emcee" else {}
    t = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", SampleWarning)
        post = sample_fault(d, start_near(TRUTH), draws=draws, chains=chains, seed=1, method=method,
                            marginalise=marginalise, warmup=warmup,
                            progress=lambda s: print("  " + s, file=sys.stderr), **kw)
    wall = time.perf_counter() - t
    print(f"{method}: {points} points, full covariance, {chains} chains x {draws} draws "
          f"({post.samples.shape[0]} kept), integrated out: {', '.join(post.marginalised) or 'none'}; "
          f"{wall:.1f} s on {os.cpu_count()} processors, {post.evaluations} model evaluations, "
          f"acceptance {post.acceptance:.2f}, divergent {post.divergent}")
    print(f"  chains' processor time {post.cpu_time:.1f} s in all: {post.cpu_time / 2:.1f} s of wall time on two "
          f"idle processors; load average now {os.getloadavg()[0]:.1f}")
    print(f"  ESS min {post.ess.min():.0f}, median {np.median(post.ess):.0f}; R-hat max {post.rhat.max():.4f}; "
          f"{post.ess.min() / wall:.1f} effective draws per second (min over parameters), "
          f"{post.ess.min() / post.cpu_time:.1f} per processor second; slips' draws outside the bounds "
          f"{100 * post.truncated:.2g} %")
    print(f"  {'parameter':<14} {'truth':>9} {'mean':>10} {'sigma':>9} {'Laplace':>9} {'p05':>9} {'p95':>9} "
          f"{'R-hat':>7} {'ESS':>7} {'tail':>7}")
    truth = true_values(post.names)
    for j, n in enumerate(post.names):
        p05, p95 = np.percentile(post.samples[:, j], [5, 95])
        print(f"  {n:<14} {truth[j]:9.3f} {post.samples[:, j].mean():10.3f} "
              f"{post.samples[:, j].std():9.4f} {post.fit.sigma[n]:9.4f} {p05:9.3f} {p95:9.3f} {post.rhat[j]:7.4f} "
              f"{post.ess[j]:7.0f} {post.ess_tail[j]:7.0f}")
    return post


def true_values(names):
    """The truth of every reported parameter: the segment's, then the offset
    and ramp (the data's mean position is where the ramp is zero)."""
    t = {n: getattr(TRUTH, n) for n in invert.PARAMETERS}
    return np.array([t.get(n, np.nan) for n in names])


def coverage(n, points, draws, warmup, noise_seed=None):
    """Noise draws from the full covariance, each sampled; the share of 90 %
    intervals that hold the truth, per parameter.  ``noise_seed``: another
    set of noise draws (and chains) on the same points, for a run independent
    of the default one."""
    x, y, cov, clean, rng = synthetic(points, 21)
    chain_seed = 0
    if noise_seed is not None:
        rng, chain_seed = np.random.default_rng([21, noise_seed]), 1000 * (noise_seed + 1)
    chol = np.linalg.cholesky(cov)
    hits, count, unconverged = None, 0, []
    rhat_max, ess_min, tail_min, t = 0.0, np.inf, np.inf, time.perf_counter()
    for k in range(n):
        d = invert.Dataset(x, y, clean + chol @ rng.standard_normal(points), LOOK, cov=cov, name="radar")
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            post = sample_fault(d, start_near(TRUTH), draws=draws, warmup=warmup, chains=4, seed=chain_seed + k)
        if hits is None:
            names = post.names
            hits = np.zeros(len(names), dtype=int)
            laplace = np.zeros(len(names), dtype=int)
            truth = true_values(names)
            # The offset and ramp as the data set's own columns carry them.
            coef = np.linalg.lstsq(d.nuisance, OFFSET + RAMP[0] * x + RAMP[1] * y, rcond=None)[0]
            truth[-coef.size:] = coef
        rhat_max, ess_min = max(rhat_max, float(post.rhat.max())), min(ess_min, float(post.ess.min()))
        tail_min = min(tail_min, float(post.ess_tail.min()))
        if not post.converged:
            unconverged.append(k)
            print(f"  noise draw {k}: {post.message}", file=sys.stderr, flush=True)
        for j, p in enumerate(names):
            lo, hi = post.interval(p, 0.9)
            hits[j] += lo <= truth[j] <= hi
            # The best fit's own interval, +- 1.645 sigma of its Laplace approximation.
            laplace[j] += abs(post.fit.params[p] - truth[j]) <= 1.645 * post.fit.sigma[p]
        count += 1
        if (k + 1) % 5 == 0:
            print(f"  {k + 1}/{n} noise draws, {time.perf_counter() - t:.0f} s; so far "
                  + " ".join(f"{p}:{h}" for p, h in zip(names, hits)), file=sys.stderr, flush=True)
    print(f"coverage of the 90 % intervals over {count} noise draws ({points} points, full exponential "
          f"covariance, 4 chains x {draws} draws each after {warmup}; largest R-hat {rhat_max:.4f}, smallest "
          f"ESS {ess_min:.0f} (tail {tail_min:.0f}); {time.perf_counter() - t:.0f} s; load average now {os.getloadavg()[0]:.1f}):")
    print(f"  {'parameter':<14} {'posterior':>9} {'Laplace':>9}")
    lo, hi = scipy.stats.binom.ppf([0.025, 0.975], count, 0.9) / count
    for p, h, h2 in zip(names, hits, laplace):
        print(f"  {p:<14} {100.0 * h / count:7.1f} % {100.0 * h2 / count:7.1f} %")
    print(f"  not converged (R-hat, divergences or ESS): {len(unconverged)} of {count} noise draws "
          f"{unconverged if unconverged else ''}")
    print(f"  {'all':<14} {100.0 * hits.sum() / (count * len(names)):5.1f} %  (95 % of counts from exact "
          f"intervals fall in {100 * lo:.0f}-{100 * hi:.0f} %)")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--points", type=int, default=1000)
    ap.add_argument("--draws", type=int, default=2600, help="draws per chain after the warm-up")
    ap.add_argument("--chains", type=int, default=4)
    ap.add_argument("--warmup", type=int, default=None)
    ap.add_argument("--method", default="hmc", help="hmc, nuts, emcee or several, comma-separated")
    ap.add_argument("--marginalise", default="auto", choices=("auto", "yes", "no"),
                    help="integrate the slips out (auto: when their bounds are far)")
    ap.add_argument("--plot", metavar="PNG", help="the corner plot of the (first) speed run's posterior")
    ap.add_argument("--coverage", type=int, default=0, help="noise draws of the coverage run (100 for the goal)")
    ap.add_argument("--coverage-draws", type=int, default=150, help="draws per chain of each coverage run")
    ap.add_argument("--coverage-warmup", type=int, default=300)
    ap.add_argument("--noise-seed", type=int, default=None,
                    help="another set of noise draws for the coverage run (default: the first set)")
    a = ap.parse_args()
    marg = {"auto": "auto", "yes": True, "no": False}[a.marginalise]
    if a.draws:
        for i, m in enumerate(a.method.split(",")):
            post = speed(a.points, a.draws, a.chains, m, marg, a.warmup)
            if a.plot and i == 0:
                from vadrel.plot.posterior import plot_posterior
                truth = dict(zip(post.names, true_values(post.names)))
                plot_posterior(post, a.plot, params=list(invert.DEFAULT_FREE), truth=truth,
                               title=f"{m}: {post.samples.shape[0]} draws, ESS min {post.ess.min():.0f}")
    if a.coverage:
        coverage(a.coverage, a.points, a.coverage_draws, a.coverage_warmup, a.noise_seed)


if __name__ == "__main__":
    main()
