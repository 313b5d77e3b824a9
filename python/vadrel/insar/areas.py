"""Areas of an interferogram: boxes and polygons, in longitude and latitude
or in the km frame, used for crops, reference areas and exclusions.

* A box is four numbers ``(west, east, south, north)``: degrees of
  longitude and latitude, or km (``xmin, xmax, ymin, ymax``).  A longitude
  box runs eastwards from ``west`` to ``east`` on the circle, so
  ``(179, -179, ...)`` is the two degrees across the antimeridian, and
  either longitude convention gives the same box.
* A polygon is a sequence of at least three ``(lon, lat)`` or ``(x, y)``
  vertices.  A longitude/latitude polygon is taken into the km frame vertex
  by vertex, its edges straight lines of the frame (within a few metres of
  geodesics for edges of a hundred km near the origin).  Points inside by
  the even-odd rule; points on an edge count as inside or outside
  arbitrarily.
"""
from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import ArrayLike

if TYPE_CHECKING:
    from ..geodesy import LocalFrame

__all__ = ["inside", "in_polygon"]


def _as_area(area, what):
    a = np.asarray(area, dtype=float)
    if a.shape == (4,):
        if not np.all(np.isfinite(a)):
            raise ValueError(f"{what}: the box {tuple(area)} has a value that is not finite")
        return "box", a
    if a.ndim == 2 and a.shape[1] == 2 and a.shape[0] >= 3:
        if not np.all(np.isfinite(a)):
            raise ValueError(f"{what}: a polygon vertex is not finite")
        return "polygon", a
    raise ValueError(f"{what}: expected a box (west, east, south, north) or a polygon of at least three "
                     f"(x, y) vertices, got an array of shape {a.shape}")


def in_polygon(poly: ArrayLike, x: ArrayLike, y: ArrayLike) -> np.ndarray:
    """Even-odd test of points (x, y) (any broadcasting shapes) against a
    polygon (n, 2) in the same plane coordinates."""
    x, y = np.broadcast_arrays(np.asarray(x, dtype=float), np.asarray(y, dtype=float))
    out = np.zeros(x.shape, dtype=bool)
    p = np.asarray(poly, dtype=float)
    q = np.roll(p, -1, axis=0)
    for (x1, y1), (x2, y2) in zip(p, q):
        if y1 == y2:
            continue
        crosses = (y1 > y) != (y2 > y)
        xc = x1 + (y - y1) * (x2 - x1) / (y2 - y1)
        out ^= crosses & (x < xc)
    return out


def inside(area: ArrayLike, *, lonlat: bool, frame: LocalFrame | None = None, x: ArrayLike | None = None,
           y: ArrayLike | None = None, lon: ArrayLike | None = None, lat: ArrayLike | None = None,
           what: str = "area") -> np.ndarray:
    """The points inside ``area`` (a box or polygon, see the module), given
    in longitude/latitude (``lonlat``) or km.  A longitude box needs ``lon``
    and ``lat``; a km box or any polygon needs ``x`` and ``y`` (and
    ``frame`` for a longitude/latitude polygon)."""
    kind, a = _as_area(area, what)
    if kind == "box":
        w, e, s, n = a
        if s > n:
            raise ValueError(f"{what}: south {s:g} is north of north {n:g}")
        if lonlat:
            if abs(s) > 90 or abs(n) > 90:
                raise ValueError(f"{what}: latitudes must be in -90..90")
            lon = np.asarray(lon, dtype=float)
            width = np.mod(e - w, 360.0)
            if width == 0.0 and e != w:
                width = 360.0
            return (np.mod(lon - w, 360.0) <= width) & (lat >= s) & (lat <= n)
        if w > e:
            raise ValueError(f"{what}: xmin {w:g} exceeds xmax {e:g}")
        return (x >= w) & (x <= e) & (y >= s) & (y <= n)
    if lonlat:
        if frame is None:
            raise ValueError(f"{what}: a longitude/latitude polygon needs the interferogram's frame")
        px, py = frame.to_km(a[:, 0], a[:, 1])
        a = np.column_stack([px, py])
    return in_polygon(a, x, y)
