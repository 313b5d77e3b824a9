"""Benchmark of vadrel.tsunami.dtopo: time and peak memory.

    PYTHONPATH=build/python /usr/bin/python3 bench/tsunami_bench.py [--full]

Cases, each in a fresh process (so that its peak resident memory, from
getrusage, is its own), the median of three runs where it is short:
  - the published 207-subfault Illapel model and a 190-subfault synthetic
    model (19 x 10 subfaults of 18 x 15 km) on a 1-arc-minute grid of
    6 x 6 degrees (361 x 361 = 130,321 nodes), local and utm frames, with
    the full sum (every subfault on every node) beside them and the
    difference of the two relative to the peak uplift;
  - 8,000 subfaults (200 x 40 of 5 x 5 km, a 1000 km long megathrust) on a
    1000 x 1000 grid of 1 arc minute; with --full, the full sum for 100 of
    the subfaults, scaled to 8,000.
"""
import json
import os
import resource
import subprocess
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ILLAPEL = os.path.join(HERE, "..", "..", "shared", "data", "finite-faults", "illapel2015_subfaults.param")


def synthetic(n_along, n_down, lon0, lat0, length, width, strike=10.0, dip=18.0):
    """A planar thrust cut into n_along x n_down subfaults with a smooth slip
    patch (up to 5 m), rupture times growing along strike."""
    from vadrel import sources
    sub = np.zeros(n_along * n_down, sources.SUBFAULT_DTYPE)
    s, d = np.radians(strike), np.radians(dip)
    k = 0
    for j in range(n_down):
        for i in range(n_along):
            along, down = (i + 0.5) * length, j * width * np.cos(d)
            e = along * np.sin(s) + down * np.cos(s)
            n = along * np.cos(s) - down * np.sin(s)
            lat = lat0 + n / 111.2
            lon = lon0 + e / (111.2 * np.cos(np.radians(lat)))
            slip = 1.0 + 4.0 * np.sin(np.pi * (i + 0.5) / n_along) * np.sin(np.pi * (j + 0.5) / n_down)
            sub[k] = (lon, lat, 1.0 + j * width * np.sin(d), strike, dip, 90.0 + 10 * np.sin(i), slip, length,
                      width, 3e10, i * length / 2.5, 8.0, 0)
            k += 1
    return sources.FiniteFault(subfaults=sub, moment=0.0, Mw=0.0)


def case(name, full):
    from vadrel import sources, tsunami
    out = {}
    if name in ("illapel", "synthetic190"):
        ff = sources.read(ILLAPEL) if name == "illapel" else synthetic(19, 10, -72.5, -33.0, 18.0, 15.0)
        lon = np.arange(-76.0, -70.0 + 1e-9, 1 / 60)
        lat = np.arange(-34.0, -28.0 + 1e-9, 1 / 60)
        tsunami.dtopo(ff, lon[:50], lat[:50])  # imports and first calls
        for frame in ("local", "utm"):
            runs = []
            for _ in range(3):
                t = time.perf_counter()
                d = tsunami.dtopo(ff, lon, lat, frame=frame)
                runs.append(time.perf_counter() - t)
            out[frame] = float(np.median(runs))
            t = time.perf_counter()
            f = tsunami.dtopo(ff, lon, lat, frame=frame, levels=1)
            out[frame + " full sum"] = time.perf_counter() - t
            out[frame + " difference/peak"] = float(np.abs(d.dz - f.dz).max() / np.abs(f.dz).max())
        out["subfaults"], out["nodes"] = len(ff.subfaults), lon.size * lat.size
    else:
        ff = synthetic(200, 40, -75.0, -38.0, 5.0, 5.0, strike=5.0)
        lon, lat = -80.0 + np.arange(1000) / 60, -42.0 + np.arange(1000) / 60
        t = time.perf_counter()
        d = tsunami.dtopo(ff, lon, lat)
        out["local"] = time.perf_counter() - t
        out["peak uplift"] = float(d.dz.max())
        del d
        if full:
            part = sources.FiniteFault(subfaults=ff.subfaults[::80], moment=0.0, Mw=0.0)
            t = time.perf_counter()
            tsunami.dtopo(part, lon, lat, levels=1)
            out["full sum, scaled"] = (time.perf_counter() - t) * len(ff.subfaults) / len(part.subfaults)
        out["subfaults"], out["nodes"] = len(ff.subfaults), lon.size * lat.size
    out["peak memory MB"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
    return out


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--case":
        print(json.dumps(case(sys.argv[2], "--full" in sys.argv)))
        return
    full = "--full" in sys.argv
    print(f"vadrel.tsunami benchmark, {time.strftime('%Y-%m-%d')}, {os.cpu_count()} cores, "
          f"load {os.getloadavg()[0]:.1f}")
    for name in ("illapel", "synthetic190", "megathrust8000"):
        args = [sys.executable, __file__, "--case", name] + (["--full"] if full else [])
        r = subprocess.run(args, capture_output=True, text=True)
        if r.returncode != 0:
            print(f"{name}: failed\n{r.stderr}")
            continue
        res = json.loads(r.stdout.strip().splitlines()[-1])
        print(f"{name}: {res.pop('subfaults')} subfaults x {res.pop('nodes')} nodes")
        for k, v in res.items():
            print(f"  {k:28s} {v:.4g}" + (" s" if isinstance(v, float) and ("local" in k or "utm" in k or "sum" in k)
                                           and "difference" not in k else ""))


if __name__ == "__main__":
    main()
