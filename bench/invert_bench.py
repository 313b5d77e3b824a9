"""Speed and accuracy of vadrel.invert.

    PYTHONPATH=build/python /usr/bin/python3 bench/invert_bench.py [--repeat 5] [--monte-carlo 200]
                                                                   [--dask-starts 12]

1. The Sarez interferogram (../shared/data/insar, 3,927 points with per-point
   look vectors), one segment, nine free parameters plus offset and ramp,
   from examples/sarez_start.txt: time to converge (median of the repeats),
   model evaluations (finite differences included) and Jacobians, final rms,
   for the closed-form Jacobian and for forward and central differences.
2. Slip on the fitted plane cut into 40 x 10 patches (800 unknowns), Green's
   functions included: unconstrained, and with the rake within 45 degrees
   of left-lateral.
3. Monte Carlo: a synthetic fault fitted to many noisy copies of its data;
   the scatter of the estimates against the standard deviations the fit
   reports (their ratio should be near 1).
4. Random starts on dask workers: the Sarez fit with 12 starts as tasks on
   a local cluster of one, then two, worker processes of one thread each
   (each task's compiled calls on one thread); the wall time of each and
   the speed-up (goal: at least 1.6 on two processors).
"""
import argparse
import os
import statistics
import sys
import time

import numpy as np

import vadrel
from vadrel import invert

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.environ.get("VADREL_SOURCE", os.path.dirname(HERE))
SAREZ = os.path.join(SOURCE, "..", "shared", "data", "insar", "sarez2015_ascending.txt")


def timed(f, repeat):
    times, out = [], None
    for _ in range(repeat):
        t = time.perf_counter()
        out = f()
        times.append(time.perf_counter() - t)
    return statistics.median(times), out


def sarez(repeat):
    d = invert.load_dataset(SAREZ)
    start = vadrel.read_faults(os.path.join(SOURCE, "examples", "sarez_start.txt"))
    print(f"Sarez: {d.npoints} points, 9 free parameters + offset and ramp, median of {repeat}")
    print(f"{'Jacobian':<10} {'time s':>8} {'evaluations':>12} {'Jacobians':>10} {'rms mm':>9} {'VR %':>6} "
          f"{'Mw':>5} {'strike':>7}")
    fits = {}
    for jac in ("analytic", "forward", "central"):
        t, fit = timed(lambda: invert.fit_fault(d, start, jacobian=jac), repeat)
        fits[jac] = fit
        print(f"{jac:<10} {t:8.3f} {fit.nfev:12d} {fit.njev:10d} {fit.rms['all']:9.4f} "
              f"{100 * fit.variance_reduction['all']:6.2f} {fit.Mw:5.2f} {fit.params['strike']:7.2f}")
    a = fits["analytic"]
    for jac in ("forward", "central"):
        dp = max(abs(fits[jac].params[n] - a.params[n]) / max(a.sigma[n], 1e-30) for n in invert.DEFAULT_FREE)
        print(f"  {jac}: largest difference from the closed-form solution {dp:.2g} sigma")
    plane = a.faults.segments[0]
    for label, kw in (("unconstrained", {}), ("rake -45..45", {"rake": (-45, 45)})):
        greens = []

        def run():
            s = invert.fit_slip(d, plane, nx=40, ny=10, smoothing=1.0, extend=(20, 8), **kw)
            greens.append(s.greens_time)
            return s

        t, s = timed(run, repeat)
        print(f"slip 40 x 10, {label:<14} {t:6.3f} s (of which Green's functions and normal equations "
              f"{statistics.median(greens):.3f} s), rms {s.rms['all']:.2f} mm, "
              f"VR {100 * s.variance_reduction['all']:.2f} %, Mw {s.Mw:.2f}")


def monte_carlo(n):
    truth = vadrel.Segment(X=0.0, Y=0.0, strike=30.0, depth=15.0, dip=60.0, lam=3e10, mu=3e10, U1=1000.0,
                           U2=500.0, U3=0.0, L=30.0, W=12.0, name="truth")
    g = np.linspace(-60, 60, 30)
    x, y = (a.ravel() for a in np.meshgrid(g, g))
    look = (-0.61, -0.11, 0.785)
    clean = vadrel.range_change(vadrel.Faults([truth]), x, y, look)
    rng = np.random.default_rng(11)
    est, sig = [], []
    t = time.perf_counter()
    for k in range(n):
        d = invert.Dataset(x, y, clean + rng.normal(0, 3.0, x.size), look, sigma=3.0)
        fit = invert.fit_fault(d, truth)
        est.append([fit.params[p] for p in invert.DEFAULT_FREE])
        sig.append([fit.sigma[p] for p in invert.DEFAULT_FREE])
        if (k + 1) % 50 == 0:
            print(f"  {k + 1}/{n} fits", file=sys.stderr)
    est, sig = np.array(est), np.array(sig)
    print(f"Monte Carlo: {n} noisy copies (sigma 3 mm, {x.size} points), {time.perf_counter() - t:.1f} s")
    print(f"{'parameter':<9} {'truth':>9} {'mean':>10} {'scatter':>9} {'reported':>9} {'ratio':>6}")
    for j, p in enumerate(invert.DEFAULT_FREE):
        scatter, reported = est[:, j].std(ddof=1), np.median(sig[:, j])
        print(f"{p:<9} {getattr(truth, p):9.3f} {est[:, j].mean():10.3f} {scatter:9.4f} {reported:9.4f} "
              f"{scatter / reported:6.2f}")


def dask_starts(starts, repeat):
    import warnings

    import distributed
    d = invert.load_dataset(SAREZ)
    start = vadrel.read_faults(os.path.join(SOURCE, "examples", "sarez_start.txt"))
    times = {}
    for n in (1, 2):
        with distributed.LocalCluster(n_workers=n, threads_per_worker=1, processes=True, dashboard_address=None,
                                      silence_logs=40) as cluster, distributed.Client(cluster) as client:
            client.run(lambda: None)     # the workers are up before the clock starts

            def run():
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    return invert.fit_fault(d, start, starts=starts, seed=3, client=client)

            times[n], fit = timed(run, repeat)
        print(f"{starts} starts on {n} worker process(es) of one thread: {times[n]:.2f} s "
              f"(median of {repeat}), best rms {fit.rms['all']:.4f} mm")
    print(f"  speed-up of two workers over one: {times[1] / times[2]:.2f}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--monte-carlo", type=int, default=200)
    ap.add_argument("--dask-starts", type=int, default=12, help="random starts on dask workers (0: skip)")
    ap.add_argument("--only-dask", action="store_true", help="run the dask part alone")
    a = ap.parse_args()
    if not os.path.exists(SAREZ):
        print(f"no Sarez data at {SAREZ}: skipped")
    elif not a.only_dask:
        sarez(a.repeat)
    if a.monte_carlo and not a.only_dask:
        monte_carlo(a.monte_carlo)
    if a.dask_starts and os.path.exists(SAREZ):
        dask_starts(a.dask_starts, max(1, min(a.repeat, 3)))


if __name__ == "__main__":
    main()
