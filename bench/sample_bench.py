"""Speed and calibration of the posterior sampler (vadrel.invert.sample_fault).

    PYTHONPATH=build/python /usr/bin/python3 bench/sample_bench.py [--points 1000] [--draws 2600]
        [--chains 4] [--method hmc|emcee|both] [--coverage 100] [--coverage-draws 600]

1. Speed: a synthetic fault (dip 60, oblique slip) seen by 1,000 radar
   samples spread over 120 x 120 km, with correlated noise (exponential
   covariance, sill 100 mm^2 (10 mm), range 15 km, plus a 1 mm^2
   nugget) whose full covariance weights the data, and an offset and ramp;
   9 fault parameters sampled (the offset and ramp integrated out and drawn
   from their conditional).  Wall time on this machine's processors, the
   bulk effective sample size (min and median over the 12 parameters),
   R-hat, effective draws per second.  Goal: 10,000 effective draws of every
   parameter in under 5 minutes, R-hat below 1.01.
2. Coverage: the same fault with white noise (3 mm) on a smaller grid,
   ``--coverage`` noise draws; for each, the 90 % central interval of every
   parameter; the fraction of draws whose interval holds the truth (goal
   85-95 %; the binomial scatter of a fraction near 0.9 over 100 draws is
   3 %).
"""
import argparse
import os
import sys
import time

import numpy as np

import vadrel
from vadrel import invert
from vadrel.invert.sample import sample_fault

TRUTH = vadrel.Segment(X=0.0, Y=0.0, strike=30.0, depth=15.0, dip=60.0, lam=3e10, mu=3e10, U1=1000.0,
                       U2=500.0, U3=0.0, L=30.0, W=12.0, name="truth")
LOOK = np.array([-0.61, -0.11, 0.785]) / np.linalg.norm([-0.61, -0.11, 0.785])


def exponential(x, y, sill=100.0, rng_km=15.0, nugget=1.0):
    d = np.hypot(x[:, None] - x[None, :], y[:, None] - y[None, :])
    return sill * np.exp(-d / rng_km) + nugget * np.eye(x.size)


def start_near(truth):
    v = {k: getattr(truth, k) for k in invert.PARAMETERS + ("lam", "mu")}
    v.update(X=truth.X + 1.0, Y=truth.Y - 1.0, strike=truth.strike + 3.0, U1=0.9 * truth.U1, U2=0.9 * truth.U2)
    return vadrel.Segment(name="start", **v)


def speed(points, draws, chains, method):
    rng = np.random.default_rng(5)
    x, y = rng.uniform(-60, 60, points), rng.uniform(-60, 60, points)
    cov = exponential(x, y)
    clean = vadrel.range_change(vadrel.Faults([TRUTH]), x, y, LOOK) + 0.02 * x - 0.01 * y + 3.0
    noisy = clean + np.linalg.cholesky(cov) @ rng.standard_normal(points)
    d = invert.Dataset(x, y, noisy, LOOK, cov=cov, name="radar")
    kw = {"walkers": 24} if method == "emcee" else {}
    t = time.perf_counter()
    post = sample_fault(d, start_near(TRUTH), draws=draws, chains=chains, seed=1, method=method,
                        progress=lambda s: print("  " + s, file=sys.stderr), **kw)
    wall = time.perf_counter() - t
    print(f"{method}: {points} points, full covariance, {chains} chains x {draws} draws "
          f"({post.samples.shape[0]} kept), {wall:.1f} s on {os.cpu_count()} processors, "
          f"{post.evaluations} model evaluations, acceptance {post.acceptance:.2f}, "
          f"divergent {post.divergent}")
    print(f"  chains' processor time {post.cpu_time:.1f} s in all: {post.cpu_time / 2:.1f} s of wall time on two "
          f"idle processors; load average now {os.getloadavg()[0]:.1f}")
    print(f"  ESS min {post.ess.min():.0f}, median {np.median(post.ess):.0f}; R-hat max {post.rhat.max():.4f}; "
          f"{post.ess.min() / wall:.1f} effective draws per second (min over parameters), "
          f"{post.ess.min() / post.cpu_time:.1f} per processor second")
    print(f"  {'parameter':<14} {'truth':>9} {'mean':>10} {'sigma':>9} {'Laplace':>9} {'R-hat':>7} {'ESS':>7}")
    truth = {n: getattr(TRUTH, n) for n in invert.PARAMETERS}
    for j, n in enumerate(post.names):
        print(f"  {n:<14} {truth.get(n, float('nan')):9.3f} {post.samples[:, j].mean():10.3f} "
              f"{post.samples[:, j].std():9.4f} {post.fit.sigma[n]:9.4f} {post.rhat[j]:7.4f} {post.ess[j]:7.0f}")
    return post


def coverage(n, draws):
    g = np.linspace(-50, 50, 15)
    x, y = (a.ravel() for a in np.meshgrid(g, g))
    clean = vadrel.range_change(vadrel.Faults([TRUTH]), x, y, LOOK)
    rng = np.random.default_rng(21)
    names = list(invert.DEFAULT_FREE)
    hits = np.zeros(len(names), dtype=int)
    rhat_max, t = 0.0, time.perf_counter()
    for k in range(n):
        d = invert.Dataset(x, y, clean + rng.normal(0.0, 3.0, x.size), LOOK, sigma=3.0, name="radar")
        import warnings
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            post = sample_fault(d, start_near(TRUTH), draws=draws, chains=4, seed=k)
        rhat_max = max(rhat_max, float(post.rhat.max()))
        for j, p in enumerate(names):
            lo, hi = post.interval(p, 0.9)
            hits[j] += lo <= getattr(TRUTH, p) <= hi
        if (k + 1) % 10 == 0:
            print(f"  {k + 1}/{n} noise draws, {time.perf_counter() - t:.0f} s", file=sys.stderr)
    print(f"coverage of the 90 % intervals over {n} noise draws ({x.size} points, sigma 3 mm, 4 chains x "
          f"{draws} draws each; largest R-hat {rhat_max:.4f}; {time.perf_counter() - t:.0f} s):")
    for p, h in zip(names, hits):
        print(f"  {p:<7} {100.0 * h / n:5.1f} %")
    print(f"  all     {100.0 * hits.sum() / (n * len(names)):5.1f} %")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--points", type=int, default=1000)
    ap.add_argument("--draws", type=int, default=2600, help="draws per chain after the warm-up")
    ap.add_argument("--chains", type=int, default=4)
    ap.add_argument("--method", default="hmc", choices=("hmc", "emcee", "both"))
    ap.add_argument("--coverage", type=int, default=0, help="noise draws of the coverage run (100 for the goal)")
    ap.add_argument("--coverage-draws", type=int, default=600)
    a = ap.parse_args()
    if a.draws:
        for m in (("hmc", "emcee") if a.method == "both" else (a.method,)):
            speed(a.points, a.draws, a.chains, m)
    if a.coverage:
        coverage(a.coverage, a.coverage_draws)


if __name__ == "__main__":
    main()
