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
    the subfaults, scaled to 8,000;
  - readers: a 2 MB line in each finite-fault layout and in a grid (a
    header word, a run of ``=``, a 2-million-digit number, a cell, a
    comment), each read once and timed (each must read or fail in well
    under a second, in time linear in the line: the 1 MB case beside it).

    PYTHONPATH=build/python /usr/bin/python3 bench/tsunami_bench.py --readers
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


def long_lines(n):
    """Files with one line of about n characters, by layout."""
    head = (" #Total number of fault_segments=           1\n"
            "#Fault_segment =   1 nx(Along-strike)=  2 Dx = 10.00km ny(downdip)=   1 Dy = 10.00km\n"
            " #Lat. Lon. depth slip rake strike dip t_rup t_ris t_fal mo\n")
    row = "  -32.0 -72.0 1.0 100.0 90.0 10.0 20.0 1.0 1.0 1.0 3.0E+26\n"
    fsp = ("% Invs : Dx = 2.0 km Dz = 2.0 km\n% Mech : STRK = 10 DIP = 80 RAKE = 0\n"
           "% Coordinates are given for top-center of each subfault\n% LAT LON Z SLIP\n")
    csv = "lon,lat,depth,length,width,strike,dip,rake,slip\n"
    return {
        "fsp header word": "% Event : " + "a" * n + "\n" + fsp + " -31 -72 5 1\n",
        "fsp run of Dx=": "% Invs : " + "Dx=" * (n // 3) + "\n" + fsp + " -31 -72 5 1\n",
        "fsp digits": fsp + " -31 -72 5 " + "1" * n + "x\n",
        "fsp row of tokens": fsp + " -31 -72 5 1" + " x" * (n // 2) + "\n",
        "param header word": head.replace("Dx = 10.00km", "Dx = 10.00km " + "cell(1,1) " * (n // 10)) + row + row,
        "param boundary": head.replace(" #Lat.", "#Boundary of Fault_segment 1. EQ in cell "
                                       + "( 9, 5). Lon: " * (n // 15) + "\n #Lat.") + row + row,
        "param digits": head + row + row.replace("1.0 1.0 1.0", "1" * n + " 1.0 1.0"),
        "csv header": "lon,lat," + "x" * n + "\n1,2,3\n",
        "csv cell": csv + "10,45,2,10,5,0,45,90," + "3" * n + "\n",
        "csv comment": "#" + " lon lat" * (n // 8) + "\n" + csv + "10,45,2,10,5,0,45,90,1\n",
        "grid values": "ncols 3\nnrows 1\nxllcorner 0\nyllcorner 0\ncellsize 1\n1 2 " + "4" * n + "\n",
    }


def readers():
    import tempfile
    from vadrel.io import grids, recognise
    d = tempfile.mkdtemp()
    print("readers: one line of 1 MB and of 2 MB, read or refused (s)")
    times = {}
    for n in (1_000_000, 2_000_000):
        for name, body in long_lines(n).items():
            p = os.path.join(d, "f")
            with open(p, "w") as f:
                f.write(body)
            t = time.perf_counter()
            try:
                (grids.read_grid if name.startswith("grid") else recognise.read_model)(p)
                how = "read"
            except ValueError:
                how = "refused"
            times.setdefault(name, []).append((time.perf_counter() - t, how))
    for name, ((t1, _), (t2, how)) in times.items():
        print(f"  {name:28s} {t1:7.3f} {t2:7.3f}  {how}")


def main():
    if "--readers" in sys.argv:
        readers()
        return
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
