"""Where a fault model's segments lie: their surface outlines and traces,
their cutting into patches, and their positions in longitude and latitude.

The segment convention is the faults file's: ``X``, ``Y`` (km) is the
point of the ground above the start of the deep edge, ``depth`` (km) the
depth of that edge, ``strike`` degrees clockwise from the frame's north,
the plane dipping ``dip`` degrees to the right of the strike direction, of
length ``L`` along strike and width ``W`` down dip.  Up dip is then
(-cos s, sin s) in (east, north) and the top edge lies ``W cos(dip)`` that
way, at depth ``depth - W sin(dip)``.
"""
from __future__ import annotations

import math
from collections.abc import Iterable
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import ArrayLike

from .. import geometry

if TYPE_CHECKING:
    from vadrel import Faults, Segment
    from ..geodesy import LocalFrame

__all__ = ["segments", "outline", "trace", "distance", "trace_distance", "patches", "lonlat"]

_DEG = math.pi / 180.0


segments = geometry.segments_of
outline = geometry.segment_corners


def trace(seg: Segment) -> np.ndarray:
    """(2, 2) km: the ends of the top edge's surface projection."""
    return outline(seg)[:2]


def distance(faults: Faults | Segment | Iterable[Segment], x: ArrayLike, y: ArrayLike) -> np.ndarray:
    """km from points (x, y) to the nearest segment's surface projection
    (0 inside it): a plane measure in the km frame."""
    x = np.asarray(x, dtype=float)
    y = np.asarray(y, dtype=float)
    best = np.full(np.broadcast(x, y).shape, np.inf)
    from .areas import in_polygon
    for seg in segments(faults):
        poly = outline(seg)
        d = np.full(best.shape, np.inf)
        for a, b in zip(poly, np.roll(poly, -1, axis=0)):
            ab = b - a
            n2 = float(ab @ ab)
            t = np.zeros(best.shape) if n2 == 0.0 else np.clip(((x - a[0]) * ab[0] + (y - a[1]) * ab[1]) / n2, 0, 1)
            d = np.minimum(d, np.hypot(x - a[0] - t * ab[0], y - a[1] - t * ab[1]))
        if abs(math.cos(seg.dip * _DEG)) * seg.W > 1e-9:
            d = np.where(in_polygon(poly, x, y), 0.0, d)
        best = np.minimum(best, d)
    return best


def trace_distance(faults: Faults | Segment | Iterable[Segment], x: ArrayLike, y: ArrayLike) -> np.ndarray:
    """km from points (x, y) to the nearest segment's trace (the surface
    projection of its top edge): a plane measure in the km frame."""
    x = np.asarray(x, dtype=float)
    y = np.asarray(y, dtype=float)
    best = np.full(np.broadcast(x, y).shape, np.inf)
    for seg in segments(faults):
        a, b = trace(seg)
        ab = b - a
        n2 = float(ab @ ab)
        t = np.zeros(best.shape) if n2 == 0.0 else np.clip(((x - a[0]) * ab[0] + (y - a[1]) * ab[1]) / n2, 0, 1)
        best = np.minimum(best, np.hypot(x - a[0] - t * ab[0], y - a[1] - t * ab[1]))
    return best


def patches(seg: Segment, nx: int, ny: int) -> list[Segment]:
    """The segment cut into ``nx`` patches along strike and ``ny`` down dip,
    row 0 the shallowest, each a ``Segment`` with no slip."""
    return geometry.cut_segment(seg, nx, ny, "p")


def lonlat(faults: Faults | Segment | Iterable[Segment], frame: LocalFrame) -> list[dict[str, Any]]:
    """Each segment in longitude and latitude through ``frame`` (a
    ``LocalFrame``): a dict with ``lon``, ``lat`` (of the point X, Y),
    ``strike`` (degrees from true north), ``trace`` ((2, 2) lon, lat of the
    top edge's ends), ``outline`` ((4, 2)), and the segment's other values."""
    out = []
    for seg in segments(faults):
        lon, lat = frame.to_lonlat(seg.X, seg.Y)
        o = outline(seg)
        olon, olat = frame.to_lonlat(o[:, 0], o[:, 1])
        out.append({"name": seg.name, "lon": float(lon), "lat": float(lat),
                    "strike": float(frame.to_true(seg.X, seg.Y, seg.strike)),
                    "depth": seg.depth, "dip": seg.dip, "L": seg.L, "W": seg.W,
                    "U1": seg.U1, "U2": seg.U2, "U3": seg.U3,
                    "trace": np.column_stack([olon[:2], olat[:2]]),
                    "outline": np.column_stack([olon, olat])})
    return out
