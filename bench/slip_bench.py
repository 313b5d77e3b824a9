"""Speed and memory of the slip inversion (vadrel.invert.fit_slip).

    PYTHONPATH=build/python /usr/bin/python3 bench/slip_bench.py [--repeat 3] [--compare] [--points 50000]

1. The Sarez interferogram (../shared/data/insar, 3,927 points), the slip on
   the one fitted plane, extended 20 km at each end and 8 km down dip:
   40 x 10 and 80 x 20 patches, without bound and with the rake within 45
   degrees of left-lateral, smoothing 1: the whole call (median of the
   repeats), its part setting up the Green's functions and normal
   equations, the bounded solver's iterations, the rms.  With --compare,
   the same normal equations solved by Lawson and Hanson's NNLS on the
   Cholesky factor (scipy.optimize.nnls), as the package did before.
2. Memory: 40 x 10 patches on --points synthetic points (a random cloud
   over 200 x 200 km, per-point sigma), in a child process that reports its
   peak resident memory (VmHWM of /proc/self/status); beside it a child
   that only builds the data, and the size a whole matrix of Green's
   functions would have taken.
3. One plane against the three segments of examples/sarez_segments.txt,
   same patches (2.5 km), smoothing, extension and rake range: the rms
   against 1.15 x 39.5 mm (the published five-segment model's 39.5 mm).
4. Resolution, checkerboard and an L-curve of 8 weights on the 40 x 10 mesh.
"""
import argparse
import os
import statistics
import subprocess
import sys
import time
import warnings

import numpy as np

import vadrel
from vadrel import invert
from vadrel.invert.problem import slip_problem
from vadrel.invert.resolution import checkerboard, resolution
from vadrel.invert.slip import fit_slip, lcurve

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.environ.get("VADREL_SOURCE", os.path.dirname(HERE))
SAREZ = os.path.join(SOURCE, "..", "shared", "data", "insar", "sarez2015_ascending.txt")
START = os.path.join(SOURCE, "examples", "sarez_start.txt")
SEGMENTS = os.path.join(SOURCE, "examples", "sarez_segments.txt")


def load():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        d = invert.load_dataset(SAREZ)
        plane = invert.fit_fault(d, vadrel.read_faults(START)).faults
    return d, plane


def sarez(d, plane, repeat, compare):
    print(f"1. Sarez, {d.npoints} points, one plane extended (20, 8) km, smoothing 1; median of {repeat}")
    print(f"{'patches':>8} {'bound':>12} {'total s':>8} {'set-up s':>9} {'solve s':>8} {'iterations':>11} "
          f"{'rms mm':>7} {'at bound':>9}")
    for nx, ny in ((40, 10), (80, 20)):
        for label, kw in (("none", {}), ("rake +-45", {"rake": (-45.0, 45.0)})):
            runs = []
            for _ in range(repeat):
                t = time.perf_counter()
                fit = fit_slip(d, plane, nx=nx, ny=ny, smoothing=1.0, extend=(20.0, 8.0), **kw)
                runs.append((time.perf_counter() - t, fit.greens_time))
            total = statistics.median(r[0] for r in runs)
            setup = statistics.median(r[1] for r in runs)
            print(f"{nx:>4}x{ny:<3} {label:>12} {total:8.2f} {setup:9.2f} {total - setup:8.2f} "
                  f"{fit.iterations:11d} {fit.rms['all']:7.2f} {int(fit.at_bound.sum()):9d}")
            if compare and kw:
                import scipy.linalg
                import scipy.optimize
                sp = fit.problem
                t = time.perf_counter()
                H = sp.hessian(1.0)
                R = scipy.linalg.cholesky(H)
                z = scipy.linalg.solve_triangular(R, sp._g, trans="T")
                # Free nuisance columns doubled (+, -), as the former solver did.
                free = np.flatnonzero(~sp.constrained)
                A = np.hstack([R, -R[:, free]])
                y = scipy.optimize.nnls(A, z, maxiter=20 * A.shape[1])[0]
                c = y[:sp.n].copy()
                c[free] -= y[sp.n:]
                old = time.perf_counter() - t
                u = sp.basis @ c
                print(f"{'':>12} former NNLS on the Cholesky factor: {old:.2f} s to solve, largest slip difference "
                      f"{np.abs(u - sp.basis @ fit.solution.x).max():.2g} mm")


def peak_mb():
    """This process's peak resident memory, MB."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024.0
    return float("nan")


def child_memory(n, only_data):
    """Run in a child: the data (and the fit unless only_data); prints the
    time, the rms and the peak memory."""
    rng = np.random.default_rng(0)
    x, y = rng.uniform(-100, 100, n), rng.uniform(-100, 100, n)
    truth = vadrel.Faults([vadrel.Segment(X=-20.0, Y=-30.0, strike=40.0, depth=16.0, dip=76.0, lam=3e10, mu=3e10,
                                          U1=2000.0, U2=-400.0, U3=0.0, L=60.0, W=16.0, name="t")])
    look = (-0.61, -0.11, 0.785)
    los = vadrel.range_change(truth, x, y, look) + rng.normal(0, 5.0, n)
    d = invert.Dataset(x, y, los, look, sigma=rng.uniform(3, 8, n))
    if only_data:
        print(f"0 0 {peak_mb():.1f}")
        return
    t = time.perf_counter()
    fit = fit_slip(d, truth, nx=40, ny=10, smoothing=1.0, extend=(10.0, 6.0), rake=(-45.0, 45.0))
    print(f"{time.perf_counter() - t:.2f} {fit.rms['all']:.3f} {peak_mb():.1f}")


def memory(n):
    print(f"2. Memory: 40 x 10 patches, rake +-45, on {n} synthetic points with sigma")
    out = {}
    for what in ("data", "fit"):
        r = subprocess.run([sys.executable, __file__, "--child", str(n), what], capture_output=True, text=True,
                           check=True)
        out[what] = [float(v) for v in r.stdout.split()]
    print(f"   peak resident memory: {out['fit'][2]:.0f} MB with the fit ({out['data'][2]:.0f} MB for the data "
          f"alone); {out['fit'][0]:.2f} s, rms {out['fit'][1]:.2f} mm")
    print(f"   a whole matrix of Green's functions would be {n * 800 * 8 / 1e6:.0f} MB "
          f"(twice that whitened)")


def segments(d, plane):
    print("3. One plane against three segments: patches 2.5 km, smoothing 1, extend (10, 8) km, rake +-45")
    kw = dict(patch=(2.5, 2.5), smoothing=1.0, extend=(10.0, 8.0), rake=(-45.0, 45.0))
    for label, faults, more in (("one plane", plane, {}),
                                ("three segments", vadrel.read_faults(SEGMENTS), {"join": 5.0})):
        t = time.perf_counter()
        fit = fit_slip(d, faults, **kw, **more)
        shape = " + ".join(f"{s.nx}x{s.ny}" for s in fit.segments)
        print(f"   {label:<15} {shape:<22} rms {fit.rms['all']:6.2f} mm (target <= {1.15 * 39.5:.1f}), "
              f"VR {100 * fit.variance_reduction['all']:.2f} %, Mw {fit.Mw:.2f}, {time.perf_counter() - t:.2f} s, "
              f"joins {fit.joins}")


def tests(d, plane):
    print("4. Resolution tests on 40 x 10 patches, rake +-45")
    t = time.perf_counter()
    sp = slip_problem(d, plane, nx=40, ny=10, extend=(20.0, 8.0), rake=(-45.0, 45.0))
    print(f"   set-up {time.perf_counter() - t:.2f} s")
    for label, f in (("resolution", lambda: resolution(sp, smoothing=1.0)),
                     ("checkerboard 15 x 6 km", lambda: checkerboard(sp, size=(15.0, 6.0), smoothing=1.0)),
                     ("L-curve, 8 weights", lambda: lcurve(sp, smoothings=[0.03, 0.1, 0.3, 1, 3, 10, 30, 100]))):
        t = time.perf_counter()
        out = f()
        extra = f", corner {out.corner_smoothing:.3g}" if label.startswith("L") else f", {out!r}"
        print(f"   {label:<24} {time.perf_counter() - t:.2f} s{extra}")


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child_memory(int(sys.argv[2]), sys.argv[3] == "data")
        return
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--compare", action="store_true", help="also the former NNLS on the Cholesky factor")
    ap.add_argument("--points", type=int, default=50_000)
    a = ap.parse_args()
    print(f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} processors")
    d, plane = load()
    sarez(d, plane, a.repeat, a.compare)
    memory(a.points)
    segments(d, plane)
    tests(d, plane)
    print(f"load average {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
