"""Interferogram downsampling speed and the calibration of fault fits with an
estimated noise covariance.

    PYTHONPATH=build/python /usr/bin/python3 bench/insar_bench.py speed [--pixels 1e7]
    PYTHONPATH=build/python /usr/bin/python3 bench/insar_bench.py montecarlo [--draws 200]

speed: a synthetic interferogram of the given number of pixels (a fault's
range change plus correlated noise) downsampled by the quadtree; the time
of the summed-area tables and of the tree, the median of three runs, and of
the resolution-based sampler on a tenth of the pixels.

montecarlo: the Sarez geometry (0.5 km pixels over the extent of the
downsampled Sarez interferogram, 160 x 140 km; look vectors of an ascending
right-looking pass, heading -12 degrees, incidence 33 to 44 degrees across
the swath, as the Sarez file's e, n, u are) and a fault like the one fitted
to the Sarez data (the README's one-fault fit).  Each draw adds correlated
noise (exponential, sill 100 mm^2 = (10 mm)^2, range 15 km), masks 2 km
either side of the trace (incoherent there in real data), takes a quadtree,
fits the fault with uniform weights, estimates the covariance from the
residual of that fit 10 km and more from the fault, and fits again with it.
Printed: per parameter, the scatter of the fitted values over the draws
divided by the root mean square of the reported sigma (1 when the sigma are
honest), the mean error in sigma, and the share of draws within 1 and 2
sigma of the truth.
"""
from __future__ import annotations

import argparse
import sys
import time

import numpy as np

import vadrel
import vadrel.insar as vi
from vadrel.invert import fit_fault

FREE = ("X", "Y", "strike", "depth", "dip", "U1", "U2", "L", "W")
# The one-fault fit of the Sarez data (README), rounded.
SAREZ_LIKE = vadrel.Segment(X=77.11, Y=-25.05, strike=41.84, flag=0, depth=16.86, dip=76.22, lam=3e10, mu=3e10,
                            U1=1886.0, U2=-494.8, U3=0.0, L=38.15, W=17.03, name="sarez-like")


def sarez_scene(dx=0.5):
    xs = np.arange(0.0, 160.0, dx)
    ys = np.arange(-90.0, 50.0, dx)
    X, Y = np.meshgrid(xs, ys)
    look = vi.look.from_incidence_heading(33.0 + 11.0 * X / 160.0, -12.0)
    clean = vadrel.range_change(vadrel.Faults([SAREZ_LIKE]), X, Y, look)
    return xs, ys, look, clean


def speed(args):
    n = int(float(args.pixels))
    side = int(round(np.sqrt(n)))
    dx = 200.0 / side
    xs = np.arange(side) * dx - 100.0
    X, Y = np.meshgrid(xs, xs)
    seg = SAREZ_LIKE.replace(X=0.0, Y=-15.0)
    look = np.array([-0.55, -0.10, 0.83])
    look /= np.linalg.norm(look)
    t0 = time.perf_counter()
    los = vadrel.range_change(vadrel.Faults([seg]), X, Y, look)
    los += vi.noise_field(X.shape, dx, 100.0, 15.0, seed=1)
    del X, Y
    ifg = vi.Interferogram(xs[None, :], xs[:, None], los, look)
    print(f"synthetic interferogram {side} x {side} = {side * side:.3g} pixels, {dx * 1000:.0f} m pixels "
          f"(made in {time.perf_counter() - t0:.1f} s)")
    from vadrel.insar.leaves import Sums
    times, tsums = [], []
    for _ in range(3):
        t0 = time.perf_counter()
        sums = Sums(ifg)
        t1 = time.perf_counter()
        ds = vi.quadtree(ifg, 30.0, min_size=0.5, max_size=25.0, sums=sums)
        t2 = time.perf_counter()
        tsums.append(t1 - t0)
        times.append(t2 - t0)
        del sums
    print(f"quadtree: {len(ds)} leaves; {np.median(times):.2f} s in all (median of 3: {np.round(times, 2)}), "
          f"of which summed-area tables {np.median(tsums):.2f} s")
    small = vi.Interferogram(xs[None, ::3], xs[::3, None], los[::3, ::3], look)
    t0 = time.perf_counter()
    rs = small.resolution_sample(vadrel.Faults([seg]), patches=(8, 4), max_size=25.0, min_size=1.0)
    print(f"resolution sampling of {small.los.size:.3g} pixels: {len(rs)} cells in {time.perf_counter() - t0:.2f} s")


def montecarlo(args):
    xs, ys, look, clean = sarez_scene(args.dx)
    X, Y = np.meshgrid(xs, ys)
    from vadrel.insar._fault import trace_distance
    near = trace_distance(SAREZ_LIKE, X, Y) < 2.0
    truth = np.array([getattr(SAREZ_LIKE, k) for k in FREE])
    vals, sig, covs, sizes = [], [], [], []
    t_start = time.perf_counter()
    for k in range(args.draws):
        noise = vi.noise_field(X.shape, args.dx, 100.0, 15.0, seed=1000 + k)
        ifg = vi.Interferogram(xs[None, :], ys[:, None], np.where(near, np.nan, clean + noise), look)
        ds = ifg.quadtree(args.threshold, min_size=1.0, max_size=20.0)
        first = fit_fault([ds], SAREZ_LIKE)
        cov = vi.covariance(ifg, exclude=first.faults, subtract=first.faults, distance=10.0, seed=k,
                            detrend=not args.no_detrend)
        fit = fit_fault([vi.with_covariance(ds, cov)], first.faults)
        vals.append([fit.params[p] for p in FREE])
        sig.append([fit.sigma[p] for p in FREE])
        covs.append([cov.sill, cov.range, cov.nugget])
        sizes.append(len(ds))
        if (k + 1) % 10 == 0 or k == 0:
            el = time.perf_counter() - t_start
            print(f"draw {k + 1}/{args.draws}: {len(ds)} samples, {cov}, {el / (k + 1):.1f} s a draw",
                  flush=True)
    vals, sig, covs = np.array(vals), np.array(sig), np.array(covs)
    rms_sig = np.sqrt(np.mean(sig ** 2, axis=0))
    ratio = vals.std(axis=0, ddof=1) / rms_sig
    z = (vals - truth) / sig
    print(f"\n{args.draws} draws, {np.mean(sizes):.0f} samples on average; estimated sill "
          f"{covs[:, 0].mean():.1f} +- {covs[:, 0].std():.1f} mm^2 (true 100), range {covs[:, 1].mean():.1f} "
          f"+- {covs[:, 1].std():.1f} km (true 15), nugget {covs[:, 2].mean():.2f} mm^2 (true 0)")
    print(f"{'parameter':>9} {'truth':>9} {'mean':>9} {'scatter':>9} {'rms sigma':>9} {'ratio':>6} "
          f"{'bias/sig':>8} {'in 1 sig':>8} {'in 2 sig':>8}")
    for i, p in enumerate(FREE):
        print(f"{p:>9} {truth[i]:9.3f} {vals[:, i].mean():9.3f} {vals[:, i].std(ddof=1):9.4f} "
              f"{rms_sig[i]:9.4f} {ratio[i]:6.2f} {np.mean(z[:, i]):8.2f} {np.mean(np.abs(z[:, i]) < 1):8.2f} "
              f"{np.mean(np.abs(z[:, i]) < 2):8.2f}")
    ok = np.all((ratio >= 0.8) & (ratio <= 1.25))
    print(f"scatter / sigma {'within' if ok else 'NOT within'} 0.8-1.25 for every parameter "
          f"({time.perf_counter() - t_start:.0f} s)")
    return 0 if ok else 1


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = ap.add_subparsers(dest="what", required=True)
    s = sub.add_parser("speed")
    s.add_argument("--pixels", default="1e7")
    m = sub.add_parser("montecarlo")
    m.add_argument("--draws", type=int, default=200)
    m.add_argument("--dx", type=float, default=0.5)
    m.add_argument("--threshold", type=float, default=30.0)
    m.add_argument("--no-detrend", action="store_true", help="keep the plane before the semivariogram")
    a = ap.parse_args(argv)
    return speed(a) if a.what == "speed" else montecarlo(a)


if __name__ == "__main__":
    sys.exit(main())
