#!/usr/bin/python3
"""Speed of vadrel.displacement from Python (medians of repeated calls).

    PYTHONPATH=build/python /usr/bin/python3 python/bench/speed.py [repeats]

Case 1: 1,000,000 points (a 1000 x 1000 grid, 0.1 km apart) x 1 segment.
Case 2: 40,000 points (200 x 200, 0.5 km apart) x 200 segments (a 20 x 10
tiling of a 100 km x 50 km plane dipping 20 degrees, slip varying from patch
to patch).  Each on all the process's processors and on one thread.
"""
import statistics
import sys
import time

import numpy as np

import vadrel


def median_time(fn, repeats):
    fn()  # warm up (pages, caches)
    times = []
    for _ in range(repeats):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return statistics.median(times)


def main():
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    g = np.linspace(-50, 50, 1000)
    x1, y1 = (a.ravel() for a in np.meshgrid(g, g))
    one = vadrel.Faults([vadrel.Segment(X=0, Y=-20, strike=10, depth=15, dip=30, lam=3e10, mu=3e10, U1=200, U2=2500,
                                        U3=0, L=40, W=25)])
    g = np.linspace(-50, 50, 200)
    x2, y2 = (a.ravel() for a in np.meshgrid(g, g))
    segs = []
    for i in range(20):
        for j in range(10):
            w = 5.0
            depth = 20.0 - j * w * np.sin(np.radians(20.0))
            y0 = -50.0 + 5.0 * i
            x0 = 20.0 - j * w * np.cos(np.radians(20.0))
            segs.append(vadrel.Segment(X=x0, Y=y0, strike=0.0, depth=depth, dip=20.0, lam=3e10, mu=3e10, U1=50.0 + i,
                                       U2=1000.0 + 30.0 * j, U3=0.0, L=5.0, W=w, name=f"p{i}_{j}"))
    many = vadrel.Faults(segs)
    print(f"processors available: {vadrel._vadrel.available_threads()}")
    for label, f, x, y in (("1e6 points x 1 segment", one, x1, y1), ("40,000 points x 200 segments", many, x2, y2)):
        for threads in (0, 1):
            t = median_time(lambda: vadrel.displacement(f, x, y, threads=threads), repeats)
            who = "all processors" if threads == 0 else "1 thread"
            print(f"{label:32s} {who:15s} {t:8.3f} s   {t / (len(x) * len(f)) * 1e9:7.1f} ns per point-segment")


if __name__ == "__main__":
    main()
