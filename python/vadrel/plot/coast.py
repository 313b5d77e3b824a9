"""Coastlines on the maps, from GMT's GSHHG shorelines when they are
installed (the ``gmt`` program and its GSHHG data: Debian's ``gmt`` and
``gmt-gshhg-low``), and simply absent when they are not.

The shorelines come from ``gmt coast -R<w>/<e>/<s>/<n> -D<res>+f -W -M
-A0/1/2``: the ocean shores and the shores of lakes (GSHHG levels 1 and 2)
within the region, written as a multi-segment table (:func:`parse_segments`).
The resolution follows the map's size: ``i`` (intermediate, about 0.2 km)
under 3 degrees, ``l`` (low, about 1 km) under 20, ``c`` (crude, about 5 km)
beyond; ``+f`` falls back to the next coarser one installed.  ``gmt`` runs in
a temporary directory, since it leaves a ``gmt.history`` file where it runs.

Longitudes are drawn in the map's own range: each point is wrapped to within
180 degrees of the map's centre (:func:`vadrel.geodesy.wrap`), and a line is
broken where two of its points then lie more than 180 degrees apart, so a map
across the antimeridian shows whole coasts."""
from __future__ import annotations

import math
import os
import shutil
import subprocess
import tempfile
from typing import TYPE_CHECKING

import numpy as np

from .. import geodesy

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.collections import LineCollection

__all__ = ["CoastUnavailable", "parse_segments", "gmt_coastlines", "wrapped", "coastlines", "draw_coast",
           "resolution"]


class CoastUnavailable(OSError):
    """No coastlines can be had: no ``gmt`` program, no GSHHG data, or
    ``gmt`` failed; the text says which."""


def parse_segments(text: str, name: str = "coastlines") -> list[np.ndarray]:
    """The lines of a multi-segment table: a line starting with ``>`` begins a
    segment (what follows it is the segment's header), ``#`` lines are
    comments, every other line holds a point's x and y first (separated by
    blanks, tabs or commas; further columns ignored).  A point of ``NaN``
    breaks the line there.  Returns an (n, 2) array per piece of two points
    or more; ``ValueError`` naming ``name`` and the line of a point that does
    not read."""
    pieces: list[np.ndarray] = []
    points: list[tuple[float, float]] = []

    def close():
        if len(points) >= 2:
            pieces.append(np.array(points, dtype=float))
        points.clear()

    for number, line in enumerate(text.splitlines(), 1):
        t = line.strip()
        if not t or t.startswith("#"):
            continue
        if t.startswith(">"):
            close()
            continue
        words = t.replace(",", " ").split()
        try:
            x, y = float(words[0]), float(words[1])
        except (ValueError, IndexError):
            raise ValueError(f"{name}: line {number}: expected x and y, got {t[:60]!r}") from None
        if math.isnan(x) or math.isnan(y):
            close()
        elif not (math.isfinite(x) and math.isfinite(y)):
            raise ValueError(f"{name}: line {number}: a coordinate is not finite")
        else:
            points.append((x, y))
    close()
    return pieces


def resolution(west: float, east: float, south: float, north: float) -> str:
    """The GSHHG resolution for a map of this extent (see the module's
    description)."""
    span = max(east - west, north - south)
    return "i" if span < 3.0 else ("l" if span < 20.0 else "c")


def gmt_coastlines(west: float, east: float, south: float, north: float, *, timeout: float = 60.0,
                   program: str | None = None) -> list[np.ndarray]:
    """Shorelines within the region (degrees; ``west`` < ``east`` in any
    longitude convention, the region may cross the antimeridian) from
    ``gmt coast``: (n, 2) arrays of lon, lat, longitudes wrapped to the
    region's middle.  :class:`CoastUnavailable` when ``gmt`` is not installed
    (``program`` names it; default the ``gmt`` on ``PATH``), fails or
    takes longer than ``timeout`` seconds."""
    exe = program or shutil.which("gmt")
    if exe is None:
        raise CoastUnavailable("no coastlines: the gmt program is not installed (Debian packages gmt and "
                               "gmt-gshhg-low)")
    south, north = max(-90.0, south), min(90.0, north)
    if not (east > west and north > south):
        raise ValueError(f"an empty region: {west:g}/{east:g}/{south:g}/{north:g}")
    region = f"-R{west:.6f}/{east:.6f}/{south:.6f}/{north:.6f}"
    command = [exe, "coast", region, f"-D{resolution(west, east, south, north)}+f", "-W", "-M", "-A0/1/2"]
    try:
        with tempfile.TemporaryDirectory(prefix="vadrel-coast-") as here:
            run = subprocess.run(command, cwd=here, capture_output=True, text=True, timeout=timeout,
                                 stdin=subprocess.DEVNULL, env=dict(os.environ, GMT_TMPDIR=here))
    except subprocess.TimeoutExpired:
        raise CoastUnavailable(f"no coastlines: gmt coast took longer than {timeout:g} s") from None
    except OSError as e:
        raise CoastUnavailable(f"no coastlines: gmt could not be run ({e.strerror or e})") from None
    if run.returncode != 0:
        why = next((l.strip() for l in run.stderr.splitlines() if l.strip()), f"status {run.returncode}")
        raise CoastUnavailable(f"no coastlines: gmt coast failed ({why}); is gmt-gshhg-low installed?")
    try:
        pieces = parse_segments(run.stdout, "gmt coast")
    except ValueError as e:
        raise CoastUnavailable(f"no coastlines: {e}") from None
    return wrapped(pieces, 0.5 * (west + east))


def wrapped(pieces: list[np.ndarray], centre: float) -> list[np.ndarray]:
    """Lines with their longitudes within 180 degrees of ``centre``, broken
    where two neighbouring points then lie more than 180 degrees apart."""
    out = []
    for p in pieces:
        lon = geodesy.wrap(p[:, 0], centre)
        lon = np.atleast_1d(lon)
        cuts = np.flatnonzero(np.abs(np.diff(lon)) > 180.0) + 1
        for part_lon, part_lat in zip(np.split(lon, cuts), np.split(p[:, 1], cuts)):
            if len(part_lon) >= 2:
                out.append(np.column_stack([part_lon, part_lat]))
    return out


def coastlines(west: float, east: float, south: float, north: float, coast: bool | None = None) -> list[np.ndarray]:
    """The shorelines of a map as ``coast`` asks: None (the default) for
    them when they can be had and none otherwise, without a word; True for
    them or :class:`CoastUnavailable`; False for none."""
    if coast is False:
        return []
    try:
        return gmt_coastlines(west, east, south, north)
    except CoastUnavailable:
        if coast:
            raise
        return []


def draw_coast(ax: Axes, pieces: list[np.ndarray], *, colour: str = "0.15",
               width: float = 0.7) -> list[LineCollection]:
    """The lines drawn on ``ax`` above the fields, leaving the axes' limits
    as they are; returns the drawn line collection (or nothing)."""
    if not pieces:
        return []
    from matplotlib.collections import LineCollection
    lines = LineCollection(pieces, colors=colour, linewidths=width, zorder=4, label="coastline")
    lines.set_gid("coastline")
    auto = ax.get_autoscale_on()
    ax.set_autoscale_on(False)
    ax.add_collection(lines, autolim=False)
    ax.set_autoscale_on(auto)
    return [lines]
