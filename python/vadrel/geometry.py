"""Fault-plane conventions: the one place where a subfault's reference
point, its corners and outline, its program segment and the patch frame are
written.

Subfaults (:data:`SUBFAULT_DTYPE`) are given by their top centre (the
midpoint of the up-dip edge) on the WGS 84 ellipsoid, strike from true
north, dipping to the right of the strike direction.  A point in the fault
plane ``along`` km along strike and ``down`` km down dip of a subfault's
point is reached by the geodesic that leaves that point at the azimuth of the
horizontal offset (along the strike, and ``down cos(dip)`` to its right) for
its length (:func:`move_in_plane`, :func:`geodesy.move`): exact on the
ellipsoid for that convention, whatever the size of the subfault.  The
flat-earth and constant-bearing shortcuts it replaces were off by 15-86 m at
20 km and by up to 2 km at 100 km.

Program segments (the faults file's fields: ``X``, ``Y`` the surface point
above the start of the deep edge, ``depth`` of the deep edge) live in a
projected km frame; :func:`to_patch` and :func:`from_patch` turn map offsets
into the patch frame of :func:`vadrel.patch_displacement` (x along strike,
y 90 degrees counter-clockwise from it) and back.
"""
from __future__ import annotations

import math
import re
from collections.abc import Callable, Iterable
from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import ArrayLike

from . import geodesy

if TYPE_CHECKING:
    from vadrel import Faults, Segment

__all__ = ["SUBFAULT_DTYPE", "REFERENCES", "canonical_reference", "directions", "move_in_plane", "move_reference",
           "subfault_corners", "subfault_outlines", "centres", "moment_weights", "default_zone", "check_zone",
           "top_depth", "to_patch", "from_patch", "segments_of", "segment_corners", "cut_segment", "segment_outline",
           "segment_centre", "slip_components", "segment_arrays", "grid_strike", "ABOVE_SURFACE", "check_surface"]

#: One row per subfault.  ``lon``, ``lat``: the top centre (midpoint of the
#: up-dip edge), degrees; ``depth``: top depth, km; ``strike`` (azimuth from
#: true north), ``dip``, ``rake`` degrees; ``slip`` m; ``length``, ``width``
#: km; ``rigidity`` Pa; ``rupture_time``, ``rise_time`` s (NaN where the file
#: has none); ``segment`` from 0.
SUBFAULT_DTYPE = np.dtype([("lon", "f8"), ("lat", "f8"), ("depth", "f8"), ("strike", "f8"), ("dip", "f8"),
                           ("rake", "f8"), ("slip", "f8"), ("length", "f8"), ("width", "f8"),
                           ("rigidity", "f8"), ("rupture_time", "f8"), ("rise_time", "f8"),
                           ("segment", "i4")])

#: Where a subfault's reference point lies: (fraction of the length along
#: strike from the start, fraction of the width down dip for its map
#: position, fraction of the width down dip for its depth), from the top
#: corner at the start of the strike.  The ``noaa sift`` convention gives the
#: bottom centre's position with the top's depth.
REFERENCES = {
    "top corner": (0.0, 0.0, 0.0),
    "top center": (0.5, 0.0, 0.0),
    "centroid": (0.5, 0.5, 0.5),
    "bottom center": (0.5, 1.0, 1.0),
    "noaa sift": (0.5, 1.0, 0.0),
}
_ALIASES = {"top centre": "top center", "top center": "top center", "centroid": "centroid",
            "center": "centroid", "centre": "centroid", "bottom center": "bottom center",
            "bottom centre": "bottom center", "noaa sift": "noaa sift", "sift": "noaa sift",
            "top corner": "top corner"}


def canonical_reference(reference: str) -> str:
    """The reference point's name as :data:`REFERENCES` spells it (``top
    centre``, ``top-center``, ``center``, ``sift`` ... are taken);
    ``ValueError`` for an unknown one."""
    key = re.sub(r"[\s_\-]+", " ", str(reference).strip().lower())
    if key not in _ALIASES:
        raise ValueError(f"unknown reference point {reference!r}: use top center, centroid, bottom center, "
                         "top corner or noaa sift")
    return _ALIASES[key]


def directions(strike: ArrayLike, dip: ArrayLike) -> tuple[tuple[float | np.ndarray, float | np.ndarray],
                                                           tuple[float | np.ndarray, float | np.ndarray],
                                                           float | np.ndarray, float | np.ndarray]:
    """Unit vectors (east, north) along strike and horizontally down dip (to
    the right of the strike), and cos, sin of the dip."""
    s = np.radians(strike)
    d = np.radians(dip)
    return (np.sin(s), np.cos(s)), (np.cos(s), -np.sin(s)), np.cos(d), np.sin(d)


def _move(lon, lat, east, north):
    """geodesy.move, the points that do not move kept to the bit."""
    lon2, lat2 = geodesy.move(lon, lat, east, north)
    still = (np.asarray(east) == 0) & (np.asarray(north) == 0)
    if np.any(still):
        lon2 = np.where(still, lon, lon2)
        lat2 = np.where(still, lat, lat2)
    return lon2, lat2


def move_in_plane(lon: ArrayLike, lat: ArrayLike, depth: ArrayLike, strike: ArrayLike, dip: ArrayLike,
                  along: float | np.ndarray,
                  down: float | np.ndarray) -> tuple[float | np.ndarray, float | np.ndarray, np.ndarray]:
    """Points moved ``along`` km along strike and ``down`` km down dip in
    their fault plane: the new (lon, lat, depth), by a geodesic from each
    point (see the module's description).  Arrays broadcast."""
    (se, sn), (de, dn), cd, sd = directions(strike, dip)
    east = along * se + down * cd * de
    north = along * sn + down * cd * dn
    lon2, lat2 = _move(lon, lat, east, north)
    return lon2, lat2, np.asarray(depth, dtype=float) + down * sd


def move_reference(lon: ArrayLike, lat: ArrayLike, depth: ArrayLike, strike: ArrayLike, dip: ArrayLike,
                   length: ArrayLike, width: ArrayLike, source: str,
                   target: str = "top center") -> tuple[float | np.ndarray, float | np.ndarray, np.ndarray]:
    """Subfault points given as the ``source`` reference point turned into
    the ``target`` one (names of :data:`REFERENCES`, aliases taken): one
    geodesic move in the fault plane.  Returns (lon, lat, depth)."""
    a0, b0, z0 = REFERENCES[canonical_reference(source)]
    a1, b1, z1 = REFERENCES[canonical_reference(target)]
    (se, sn), (de, dn), cd, sd = directions(strike, dip)
    along = (a1 - a0) * np.asarray(length, dtype=float)
    across = (b1 - b0) * np.asarray(width, dtype=float) * cd
    lon2, lat2 = _move(lon, lat, along * se + across * de, along * sn + across * dn)
    return lon2, lat2, np.asarray(depth, dtype=float) + (z1 - z0) * np.asarray(width, dtype=float) * sd


def subfault_corners(sub: np.ndarray) -> np.ndarray:
    """Corners of the subfaults, an (n, 4, 3) array of lon, lat, depth km:
    top at the start of the strike, top at the end, bottom at the end,
    bottom at the start (geodesics from the top centre)."""
    sub = np.asarray(sub)
    out = np.empty((len(sub), 4, 3))
    for k, (a, b) in enumerate(((-0.5, 0.0), (0.5, 0.0), (0.5, 1.0), (-0.5, 1.0))):
        lon, lat, z = move_in_plane(sub["lon"], sub["lat"], sub["depth"], sub["strike"], sub["dip"],
                                    a * sub["length"], b * sub["width"])
        out[:, k, 0], out[:, k, 1], out[:, k, 2] = lon, lat, z
    return out


def subfault_outlines(sub: np.ndarray) -> np.ndarray:
    """Map outlines of subfaults, (n, 5, 2) lon/lat, closed: the top edge
    then the bottom edge (the corners of :func:`subfault_corners`)."""
    c = subfault_corners(sub)
    return np.concatenate([c[:, :, :2], c[:, :1, :2]], axis=1)


def centres(sub: np.ndarray) -> tuple[float | np.ndarray, float | np.ndarray, np.ndarray]:
    """(lon, lat, depth) of the subfaults' centres."""
    sub = np.asarray(sub)
    return move_in_plane(sub["lon"], sub["lat"], sub["depth"], sub["strike"], sub["dip"], 0.0,
                         0.5 * sub["width"])


def moment_weights(sub: np.ndarray) -> np.ndarray:
    """Each subfault's share of the moment, rigidity x |slip| x area (all ones
    when there is no moment)."""
    sub = np.asarray(sub)
    w = sub["rigidity"] * np.abs(sub["slip"]) * sub["length"] * sub["width"]
    return w if np.all(np.isfinite(w)) and np.sum(w) > 0 else np.ones(len(sub))


def default_zone(sub: np.ndarray) -> int:
    """The UTM zone of a model: the zone of the moment-weighted circular mean
    longitude of its subfaults' centres (:func:`geodesy.model_zone`)."""
    lon, _, _ = centres(sub)
    return geodesy.model_zone(lon, moment_weights(sub))


def check_zone(zone: int, sub: np.ndarray) -> int:
    """An explicit zone for a model checked (:func:`geodesy.check_zone`:
    ``ValueError`` unless 1..60, a warning when its central meridian lies more
    than 3 degrees of longitude from the model)."""
    lon, _, _ = centres(sub)
    return geodesy.check_zone(zone, lon, moment_weights(sub))


def top_depth(depth: float | np.ndarray, W: float | np.ndarray, dip: ArrayLike) -> float | np.ndarray:
    """Depth of a segment's top edge from the depth of its deep edge."""
    return depth - W * np.sin(np.radians(dip))


def to_patch(x: ArrayLike, y: ArrayLike, X: float | np.ndarray, Y: float | np.ndarray,
             strike: ArrayLike) -> tuple[float | np.ndarray, float | np.ndarray]:
    """Map points (km east, north) in the patch frame of a segment at X, Y
    striking ``strike`` degrees: x along strike, y 90 degrees to its left."""
    s, c = np.sin(np.radians(strike)), np.cos(np.radians(strike))
    dx, dy = np.asarray(x) - X, np.asarray(y) - Y
    return dx * s + dy * c, -dx * c + dy * s


def from_patch(xs: float | np.ndarray, ys: float | np.ndarray,
               strike: ArrayLike) -> tuple[float | np.ndarray, float | np.ndarray]:
    """Patch-frame offsets or vectors (along strike, to its left) as map
    east and north components: the inverse rotation of :func:`to_patch`."""
    s, c = np.sin(np.radians(strike)), np.cos(np.radians(strike))
    return xs * s - ys * c, xs * c + ys * s


def segments_of(faults: Faults | Segment | Iterable[Segment]) -> list[Segment]:
    """The segments of a model: a ``Faults``, one ``Segment`` or an iterable
    of them; ``ValueError`` for anything else or no segment."""
    from ._vadrel import Faults, Segment
    if isinstance(faults, Segment):
        return [faults]
    segs = list(faults.segments) if isinstance(faults, Faults) else None
    if segs is None:
        try:
            segs = list(faults)
        except TypeError:
            segs = None
    if not segs or not all(isinstance(s, Segment) for s in segs):
        raise ValueError("faults must be a vadrel.Faults, a vadrel.Segment or a list of segments")
    return segs


def segment_corners(seg: Segment) -> np.ndarray:
    """(4, 2) km: the surface projection of a program segment's plane, corners
    in the order top start, top end, deep end, deep start (the top edge lies
    W cos(dip) up dip, to the left of the strike direction, from the deep
    edge that X, Y starts)."""
    wc = seg.W * math.cos(math.radians(seg.dip))
    e, n = from_patch(np.array([0.0, seg.L, seg.L, 0.0]), np.array([wc, wc, 0.0, 0.0]), seg.strike)
    return np.column_stack([seg.X + e, seg.Y + n])


def cut_segment(seg: Segment, nx: int, ny: int, prefix: str = "p") -> list[Segment]:
    """A program segment cut into ``nx`` patches along strike and ``ny`` down
    dip, row 0 the shallowest, row by row: ``Segment`` copies with no slip,
    named ``<prefix><row>_<column>`` from 1."""
    nx, ny = int(nx), int(ny)
    if nx < 1 or ny < 1:
        raise ValueError(f"{nx} x {ny} is not a number of patches")
    sd, cd = math.sin(math.radians(seg.dip)), math.cos(math.radians(seg.dip))
    pl, pw = seg.L / nx, seg.W / ny
    out = []
    for j in range(ny):
        up = (ny - 1 - j) * pw          # the patch's deep edge, up dip from the segment's
        for i in range(nx):
            e, n = from_patch(i * pl, up * cd, seg.strike)
            out.append(seg.replace(X=seg.X + float(e), Y=seg.Y + float(n), depth=seg.depth - up * sd, L=pl, W=pw,
                                   U1=0.0, U2=0.0, U3=0.0, name=f"{prefix}{j + 1}_{i + 1}"))
    return out


def segment_outline(seg: Segment, scale: float = 1.0) -> tuple[np.ndarray, np.ndarray]:
    """Surface projection of a program segment in map coordinates (km times
    ``scale``): the outline (5 points, closed) and the top (shallow) edge."""
    wc = seg.W * math.cos(math.radians(seg.dip))
    xs = np.array([0.0, seg.L, seg.L, 0.0, 0.0])
    ys = np.array([0.0, 0.0, wc, wc, 0.0])
    e, n = from_patch(xs, ys, seg.strike)
    pts = np.column_stack([seg.X + e, seg.Y + n]) * scale
    return pts, pts[2:4]


def segment_centre(X: float | np.ndarray, Y: float | np.ndarray, strike: ArrayLike, L: ArrayLike, W: ArrayLike,
                   dip: ArrayLike) -> tuple[float | np.ndarray, float | np.ndarray]:
    """Map position of segments' centres: from the start of the deep edge,
    half along strike and half the width up dip."""
    e, n = from_patch(0.5 * np.asarray(L), 0.5 * np.asarray(W) * np.cos(np.radians(dip)), strike)
    return X + e, Y + n


def slip_components(slip: float | np.ndarray, rake: ArrayLike) -> tuple[float | np.ndarray, float | np.ndarray]:
    """Strike slip U1 (left-lateral positive) and dip slip U2 (reverse
    positive) of a slip along ``rake`` (measured in the fault plane from the
    strike direction, counter-clockwise seen from the hanging wall)."""
    r = np.radians(rake)
    return slip * np.cos(r), slip * np.sin(r)


def segment_arrays(sub: np.ndarray, x: ArrayLike, y: ArrayLike, strike: ArrayLike) -> dict[str, np.ndarray]:
    """The program's segment fields of subfaults, vectorised.

    ``sub``: array of ``SUBFAULT_DTYPE``; ``x``, ``y``: their top centres in
    some frame, km; ``strike``: their strikes in that frame, degrees.  Returns
    a dict of arrays ``X``, ``Y`` (surface point above the start of the deep
    edge), ``strike``, ``depth`` (of the deep edge), ``dip``, ``L``, ``W``,
    ``U1`` (strike slip, left-lateral positive), ``U2`` (dip slip, reverse
    positive) in mm, and ``mu`` (the rigidity).
    """
    sub = np.asarray(sub)
    x = np.asarray(x, dtype=float)
    y = np.asarray(y, dtype=float)
    (se, sn), (de, dn), cd, sd = directions(np.asarray(strike, dtype=float), sub["dip"])
    L = sub["length"].astype(float)
    W = sub["width"].astype(float)
    u1, u2 = slip_components(sub["slip"] * 1000.0, sub["rake"])
    return {
        "X": x - 0.5 * L * se + W * cd * de, "Y": y - 0.5 * L * sn + W * cd * dn,
        "strike": np.asarray(strike, dtype=float) % 360.0, "depth": sub["depth"] + W * sd,
        "dip": sub["dip"].astype(float), "L": L, "W": W, "U1": u1, "U2": u2,
        "mu": sub["rigidity"].astype(float),
    }


def grid_strike(lon: ArrayLike, lat: ArrayLike, strike: ArrayLike, zone: int) -> float | np.ndarray:
    """Strikes (azimuths from true north, degrees) turned into the grid
    frame of UTM ``zone`` (the meridian convergence of the program's
    projection added: :func:`geodesy.grid_azimuth`), 0..360."""
    return geodesy.grid_azimuth(lon, lat, strike, zone)


#: How far (km) a subfault's top may reach above the surface before it is
#: refused: a metre, more than the rounding of any published depth.
ABOVE_SURFACE = 1e-3


def check_surface(sub: np.ndarray, above_surface: str = "refuse",
                  name: Callable[[int], str] | None = None) -> np.ndarray:
    """Subfaults (top centres) whose top lies above the surface: a
    ``ValueError`` naming the first of them (``name(k)`` names subfault
    ``k``, by default "subfault k+1") unless ``above_surface="allow"``.
    Returns the indices of such subfaults."""
    if above_surface not in ("refuse", "allow"):
        raise ValueError(f"above_surface must be 'refuse' or 'allow', got {above_surface!r}")
    bad = np.flatnonzero(~(np.asarray(sub["depth"]) >= -ABOVE_SURFACE))
    if bad.size and above_surface == "refuse":
        k = int(bad[0])
        what = name(k) if name is not None else f"subfault {k + 1}"
        more = f" (and {bad.size - 1} more subfaults)" if bad.size > 1 else ""
        raise ValueError(f"{what}: its top is {-float(sub['depth'][k]):.3f} km above the surface{more}, which no "
                         "fault can be; give above_surface='allow' to take it all the same")
    return bad
