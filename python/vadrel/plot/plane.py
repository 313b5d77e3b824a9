"""The fault-plane view of a finite-fault model: each segment seen from its
hanging wall, distance along strike (km) against depth (km, down), so that
steep faults, whose map view is a sliver, show their slip.

Each segment has its own frame (:class:`PlaneFrame`): an axis through the
middle of its subfaults along their mean strike (the circular mean weighted
by area).  A point's distance along strike is its geodesic offset from that
middle (the azimuthal equidistant frame of the middle point,
:func:`vadrel.geodesy.offsets`) resolved along the axis, counted from the
segment's first corner.  Points on the geodesic through the middle along the
axis are placed exactly; a point ``d`` km across the axis (along the
geodesic square to it), ``s`` km along it, is placed short by about
``s d^2 / (3 R^2)``: 0.2 m at 10 km across and 200 km along, 14 m at 85 km
across and 230 km along (a wide subduction model's corners).  Depth is the subfault's own (the top from the file, the
bottom ``width * sin(dip)`` below it).  Seen from the hanging wall, the
strike runs to the right and up dip is up, so the rake (counter-clockwise
from the strike seen from the hanging wall) is the angle of the slip arrow on
the page."""
from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
from numpy.typing import ArrayLike

from .. import geodesy, geometry

__all__ = ["PlaneFrame", "plane_frames", "plane_polygons", "nearest_segment", "exaggeration"]


@dataclass(frozen=True)
class PlaneFrame:
    """One segment's frame: its label (the ``segment`` field), the middle
    point (lon, lat) the distances are measured from, the axis' azimuth
    (degrees from true north) and the distance along it of the segment's
    first corner, which becomes 0."""
    segment: int
    lon: float
    lat: float
    strike: float
    start: float

    def along(self, lon: ArrayLike, lat: ArrayLike) -> np.ndarray:
        """Distance along strike (km) of points, from the segment's start."""
        e, n = geodesy.offsets(self.lon, self.lat, lon, lat)
        s = math.radians(self.strike)
        return np.asarray(e) * math.sin(s) + np.asarray(n) * math.cos(s) - self.start


def _mean_strike(sub) -> float:
    w = sub["length"] * sub["width"]
    try:
        return geodesy.wrap(geodesy.circular_mean(sub["strike"], w if np.sum(w) > 0 else None), 180.0)
    except ValueError:       # strikes that cancel on the circle: any axis is as good
        return float(np.median(sub["strike"]))


def plane_frames(sub: np.ndarray) -> list[PlaneFrame]:
    """The frame of each segment of ``sub`` (:data:`SUBFAULT_DTYPE`), in the
    order of their labels."""
    sub = np.asarray(sub)
    frames = []
    for label in np.unique(sub["segment"]):
        one = sub[sub["segment"] == label]
        corners = geometry.subfault_corners(one)
        lon0 = geodesy.circular_mean(corners[:, :, 0])
        lat0 = float(np.mean(corners[:, :, 1]))
        frame = PlaneFrame(int(label), lon0, lat0, _mean_strike(one), 0.0)
        start = float(np.min(frame.along(corners[:, :, 0], corners[:, :, 1])))
        frames.append(PlaneFrame(int(label), lon0, lat0, frame.strike, start))
    return frames


def plane_polygons(sub: np.ndarray, frames: list[PlaneFrame] | None = None) -> tuple[np.ndarray, list[PlaneFrame]]:
    """Each subfault's corners in its segment's plane view: an (n, 4, 2)
    array of (along strike, depth) km, the corners in the order of
    :func:`vadrel.geometry.subfault_corners`; and the frames."""
    sub = np.asarray(sub)
    frames = plane_frames(sub) if frames is None else frames
    corners = geometry.subfault_corners(sub)
    out = np.empty((len(sub), 4, 2))
    for f in frames:
        k = sub["segment"] == f.segment
        out[k, :, 0] = f.along(corners[k, :, 0], corners[k, :, 1])
        out[k, :, 1] = corners[k, :, 2]
    return out, frames


def nearest_segment(sub: np.ndarray, lon: float, lat: float, depth: float) -> int:
    """Label of the segment with the subfault centre nearest a point
    (straight-line distance from the horizontal geodesic distance and the
    depth difference)."""
    sub = np.asarray(sub)
    clon, clat, cdepth = geometry.centres(sub)
    _, _, d = geodesy.inverse(lon, lat, clon, clat)
    return int(sub["segment"][int(np.argmin(np.hypot(d, np.asarray(cdepth) - depth)))])


def exaggeration(polygons: np.ndarray, least: float = 0.25) -> int:
    """Vertical exaggeration of a plane view: 1 (equal scales) when the
    depth span is at least ``least`` of the span along strike, else the
    whole number that brings it near that share."""
    along = float(np.ptp(polygons[..., 0])) if polygons.size else 0.0
    depth = float(np.ptp(polygons[..., 1])) if polygons.size else 0.0
    if along <= 0.0 or depth <= 0.0 or depth >= least * along:
        return 1
    return max(1, round(least * along / depth))
