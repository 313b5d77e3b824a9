"""``python3 -m vadrel.tsunami``: a finite-fault model's sea-floor (or
sea-surface) displacement on a longitude/latitude grid, written for tsunami
models."""
from __future__ import annotations

import math
import sys
import time
from collections.abc import Sequence

import numpy as np

from .. import sources
from ..tsunami import FORMATS, dtopo, rupture_end
from . import Parser, check_files, command, warnings_as_lines
from .sources import pairs

__all__ = ["main", "frame_times"]


class _Bar:
    """Progress on standard error: a bar redrawn in place on a terminal,
    a line every quarter otherwise."""

    def __init__(self, stream=sys.stderr, width=40):
        self.stream, self.width = stream, width
        self.tty = hasattr(stream, "isatty") and stream.isatty()
        self.last, self.quarter = 0.0, 0

    def __call__(self, done, total):
        now = time.monotonic()
        if self.tty:
            if done < total and now - self.last < 0.1:
                return
            self.last = now
            n = int(self.width * done / total)
            self.stream.write(f"\r[{'#' * n}{'.' * (self.width - n)}] {done}/{total} subfaults")
            if done >= total:
                self.stream.write("\n")
        else:
            q = 4 * done // total
            if q > self.quarter:
                self.quarter = q
                self.stream.write(f"{25 * q}% ({done}/{total} subfaults)\n")
        self.stream.flush()


def frame_times(text: str) -> tuple[int, np.ndarray | None]:
    """``--times``: a count of frames (``N``) or a list of times in seconds
    (``0,10,20,60``).  Returns ``(count, times or None)``; ``ValueError``
    for anything else."""
    text = str(text).strip()
    if "," not in text:
        try:
            n = int(text)
        except ValueError:
            n = None
        if n is not None:
            if n < 1:
                raise ValueError(f"--times must be 1 or more frames, got {n}")
            return n, None
    try:
        times = np.array([float(w) for w in text.split(",") if w.strip()], dtype=float)
    except ValueError:
        raise ValueError(f"--times must be a number of frames or times in seconds separated by commas, "
                         f"got {text[:40]!r}") from None
    if times.size == 0 or not np.all(np.isfinite(times)) or np.any(np.diff(times) <= 0):
        raise ValueError("--times: the times must be finite and increasing")
    return times.size, times


def _fail(message, status=1):
    sys.stderr.write(f"vadrel.tsunami: error: {message}\n")
    return status


@command("vadrel.tsunami")
def main(argv: Sequence[str] | None = None) -> int:
    p = Parser(prog="python3 -m vadrel.tsunami",
                description="Sea-floor (or sea-surface) displacement of a finite-fault model on a "
                            "longitude/latitude grid, written for tsunami models.")
    p.add_argument("model", help="finite-fault model file (subfault table, database file or CSV)")
    p.add_argument("--region", nargs=4, type=float, required=True, metavar=("W", "E", "S", "N"),
                   help="grid limits, degrees")
    p.add_argument("--spacing", type=float, required=True, metavar="ARCMIN", help="node spacing, arc minutes")
    p.add_argument("--times", default="1", metavar="N|T1,T2,...",
                   help="N frames from 0 to the end of the rupture (default 1: the final state), or the frame "
                        "times in seconds, comma separated (0,10,20,60)")
    p.add_argument("--rupture-velocity", type=float, metavar="KM_S",
                   help="for a model without rupture times: each subfault starts when a front at this "
                        "velocity from the hypocentre reaches it")
    p.add_argument("--hypocentre", type=float, nargs=3, metavar=("LON", "LAT", "DEPTH"),
                   help="hypocentre of --rupture-velocity (default: the model's)")
    p.add_argument("--allow-above-surface", action="store_true",
                   help="take subfaults whose top is above the surface (refused otherwise)")
    p.add_argument("--columns", metavar="NAME=FIELD,...",
                   help="columns of a table no alias covers (e.g. xs=lon,ys=lat)")
    p.add_argument("--units", metavar="FIELD=UNIT,...", help="units of a table's fields (e.g. depth=m,slip=cm)")
    p.add_argument("--bathymetry", metavar="FILE", help="elevation grid (tt3 layout, ESRI ASCII, NetCDF)")
    p.add_argument("--horizontal", action="store_true", help="add the horizontal motion over sloping bathymetry")
    p.add_argument("--kajiura", action="store_true", help="sea surface by the 1/cosh(kh) filter")
    p.add_argument("--frame", choices=("local", "utm"), default="local")
    p.add_argument("--zone", type=int, help="UTM zone of --frame utm (default: the model's; a zone more "
                                            "than 3 degrees of longitude from the model warns)")
    p.add_argument("--format", choices=tuple(FORMATS), help="output layout (default from the extension)")
    p.add_argument("--reference", help="reference point of a subfault CSV (top center, centroid, ...)")
    p.add_argument("-o", "--output", required=True, metavar="OUT")
    a = p.parse_args(argv)
    check_files([("output", a.output)], [("model", a.model), ("bathymetry", a.bathymetry)])
    try:
        w, e, s, n = a.region
        if not (a.spacing > 0 and math.isfinite(a.spacing)):
            raise ValueError(f"--spacing must be a positive number of arc minutes, got {a.spacing:g}")
        if not (e > w and n > s and -90 <= s and n <= 90 and all(map(math.isfinite, a.region))):
            raise ValueError("--region must be W E S N with W < E and -90 <= S < N <= 90")
        count, listed = frame_times(a.times)
        step = a.spacing / 60.0
        nx = int(math.floor((e - w) / step + 1e-9)) + 1
        ny = int(math.floor((n - s) / step + 1e-9)) + 1
        if float(nx) * ny > 5e8:
            raise ValueError(f"the grid of {nx} x {ny} nodes is too large")
        lon, lat = w + step * np.arange(nx), s + step * np.arange(ny)
        ff = sources.read(a.model, reference=a.reference, columns=pairs(a.columns, "--columns"),
                          units=pairs(a.units, "--units"))
        if a.rupture_velocity is not None:
            ff = ff.with_rupture_times(a.rupture_velocity, a.hypocentre)
        for line in sources.summary(ff):
            print(line)
        times = listed
        if listed is None and count > 1:
            times = np.linspace(0.0, max(rupture_end(ff.subfaults), 1e-9), count)
        print(f"grid: {nx} x {ny} nodes, {w:g} to {e:g} E, {s:g} to {n:g} N, spacing {a.spacing:g} arc minutes")
        print(f"frames: {1 if times is None else len(times)}"
              + ("" if times is None else f", 0 to {times[-1]:g} s") + f"; frame: {a.frame}")
        start = time.perf_counter()
        with warnings_as_lines("vadrel.tsunami"):
            d = dtopo(ff, lon, lat, times=times, bathymetry=a.bathymetry, horizontal=a.horizontal,
                      kajiura=a.kajiura, frame=a.frame, zone=a.zone, progress=_Bar(),
                      above_surface="allow" if a.allow_above_surface else "refuse")
        elapsed = time.perf_counter() - start
        d.write(a.output, a.format)
        print(f"dz: {d.dz.min():.4g} to {d.dz.max():.4g} m")
        print(f"elapsed: {elapsed:.2f} s")
        print(f"wrote {a.output}")
    except (ValueError, OSError) as exc:
        return _fail(str(exc))
    return 0
