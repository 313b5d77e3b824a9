"""Positions on Earth: the one place where the ellipsoid, longitudes, zones
and projections are written.

Everything here is on the WGS 84 ellipsoid; longitudes and latitudes are
geodetic degrees, distances km.  Longitudes may come in either convention
(-180..180 or 0..360) and may straddle the antimeridian: every function
gives the same result for ``lon`` and ``lon + 360``.

* Geodesics (:func:`direct`, :func:`inverse`, :func:`move`,
  :func:`offsets`) are Karney's algorithms (through PROJ's geodesic
  library, as :mod:`pyproj` exposes them): exact to about 15 nm, at any
  distance.
* :func:`utm` is the program's own transverse Mercator projection (the
  compiled core's series, WGS 84 with the single-precision flattening and
  scale factor the program uses), absolute easting (500 km false easting)
  and northing from the equator, in km.  Within a zone (3 degrees of the
  central meridian) the series is good to about a millimetre; it degrades
  beyond that and does not hold near the poles.
* :class:`LocalFrame` is a transverse Mercator frame about an origin of the
  caller's choosing (scale 1 on its central meridian, the origin at 0, 0),
  through PROJ's exact ``tmerc``: good to well under a millimetre within
  thousands of km of the origin.  Distances in the frame are true lengths
  times the scale factor ``1 + x^2 / (2 R^2)`` (x the distance from the
  central meridian): 1.2e-4 at 100 km, 3e-6 at 20 km.
* :func:`ecef` and :func:`enu` give earth-centred and local tangent-plane
  coordinates, exact (no series).
"""
from __future__ import annotations

import math
import warnings
from collections.abc import Sequence

import numpy as np
from numpy.typing import ArrayLike

#: WGS 84 semi-major axis (m), flattening and first eccentricity squared.
A = 6378137.0
F = 1.0 / 298.257223563
E2 = F * (2.0 - F)

__all__ = ["A", "F", "E2", "wrap", "circular_mean", "radii", "direct", "inverse", "move", "offsets",
           "zone_of", "central_meridian", "model_zone", "check_zone", "utm", "convergence", "grid_azimuth",
           "LocalFrame", "ecef", "enu"]

_GEOD = None


def _geod():
    global _GEOD
    if _GEOD is None:
        import pyproj
        _GEOD = pyproj.Geod(ellps="WGS84")
    return _GEOD


def _arrays(*values):
    """Broadcast the values as float arrays; the shape and the flat copies."""
    arrs = np.broadcast_arrays(*[np.asarray(v, dtype=float) for v in values])
    shape = arrs[0].shape
    return shape, [np.ascontiguousarray(a).ravel() for a in arrs]


def _shaped(shape, *flat):
    out = tuple(f.reshape(shape) if shape else float(f.reshape(-1)[0]) for f in flat)
    return out


def wrap(lon: ArrayLike, centre: ArrayLike = 0.0) -> float | np.ndarray:
    """Longitudes brought into [centre - 180, centre + 180) degrees.

    ``wrap(lon)`` is the -180..180 convention, ``wrap(lon, 180)`` the 0..360
    one, ``wrap(lon, lon0)`` the longitudes nearest ``lon0``.
    """
    lon = np.asarray(lon, dtype=float)
    out = np.mod(lon - centre + 180.0, 360.0) - 180.0 + centre
    return float(out) if out.ndim == 0 else out


def circular_mean(lon: ArrayLike, weights: ArrayLike | None = None) -> float:
    """The mean longitude on the circle (degrees in -180..180): the direction
    of the weighted sum of unit vectors, so 179.9 and -179.9 average to 180
    (-180), not 0.  ``ValueError`` when the longitudes cancel (no mean
    direction) or there are none."""
    lon = np.radians(np.asarray(lon, dtype=float).ravel())
    if lon.size == 0:
        raise ValueError("no longitudes to average")
    w = np.ones_like(lon) if weights is None else np.broadcast_to(np.asarray(weights, dtype=float), lon.shape)
    if not np.all(np.isfinite(lon)) or not np.all(np.isfinite(w)):
        raise ValueError("longitudes and weights must be finite")
    c, s = float(np.sum(w * np.cos(lon))), float(np.sum(w * np.sin(lon)))
    if math.hypot(c, s) <= 1e-12 * float(np.sum(np.abs(w))):
        raise ValueError("the longitudes have no mean direction (they cancel on the circle)")
    return wrap(math.degrees(math.atan2(s, c)))


def radii(lat: ArrayLike) -> tuple[float | np.ndarray, float | np.ndarray]:
    """Meridian (M) and prime-vertical (N) radii of curvature at ``lat``
    degrees, km."""
    s2 = np.sin(np.radians(np.asarray(lat, dtype=float))) ** 2
    w = np.sqrt(1.0 - E2 * s2)
    return A * (1.0 - E2) / w ** 3 / 1000.0, A / w / 1000.0


def direct(lon: ArrayLike, lat: ArrayLike, azimuth: ArrayLike,
           distance: ArrayLike) -> tuple[float | np.ndarray, float | np.ndarray, float | np.ndarray]:
    """The geodesic direct problem: the point ``distance`` km from (``lon``,
    ``lat``) along the geodesic leaving at ``azimuth`` degrees (clockwise
    from true north).  Returns ``(lon2, lat2, azimuth2)``, the azimuth at the
    end point; ``lon2`` is given nearest ``lon`` (the input's convention
    kept).  Arrays broadcast together.  Exact (Karney, 2013)."""
    shape, (lo, la, az, d) = _arrays(lon, lat, azimuth, distance)
    _check_lat(la)
    lo2, la2, back = _geod().fwd(wrap(lo), la, az, d * 1000.0)
    lo2 = wrap(np.asarray(lo2), lo)
    az2 = wrap(np.asarray(back) + 180.0)
    return _shaped(shape, np.asarray(lo2, dtype=float).ravel(), np.asarray(la2, dtype=float), np.asarray(az2))


def inverse(lon1: ArrayLike, lat1: ArrayLike, lon2: ArrayLike,
            lat2: ArrayLike) -> tuple[float | np.ndarray, float | np.ndarray, float | np.ndarray]:
    """The geodesic inverse problem: ``(azimuth1, azimuth2, distance)``, the
    azimuths (degrees from true north) at both ends of the shortest geodesic
    from point 1 to point 2 and its length in km.  Exact (Karney, 2013)."""
    shape, (a, b, c, d) = _arrays(lon1, lat1, lon2, lat2)
    _check_lat(b)
    _check_lat(d)
    az1, back, dist = _geod().inv(wrap(a), b, wrap(c), d)
    return _shaped(shape, np.asarray(az1, dtype=float), wrap(np.asarray(back, dtype=float) + 180.0),
                   np.asarray(dist, dtype=float) / 1000.0)


def move(lon: ArrayLike, lat: ArrayLike, east: ArrayLike,
         north: ArrayLike) -> tuple[float | np.ndarray, float | np.ndarray]:
    """The point reached from (``lon``, ``lat``) by a horizontal offset of
    ``east``, ``north`` km: along the geodesic leaving at azimuth
    atan2(east, north) for a distance hypot(east, north).  Returns ``(lon2,
    lat2)`` (``lon2`` nearest ``lon``).  The inverse of :func:`offsets`."""
    east = np.asarray(east, dtype=float)
    north = np.asarray(north, dtype=float)
    lon2, lat2, _ = direct(lon, lat, np.degrees(np.arctan2(east, north)), np.hypot(east, north))
    return lon2, lat2


def offsets(lon0: ArrayLike, lat0: ArrayLike, lon: ArrayLike,
            lat: ArrayLike) -> tuple[float | np.ndarray, float | np.ndarray]:
    """East and north km of (``lon``, ``lat``) from (``lon0``, ``lat0``):
    the geodesic distance resolved along its azimuth at the first point (the
    azimuthal equidistant frame of the first point).  The inverse of
    :func:`move`."""
    az, _, d = inverse(lon0, lat0, lon, lat)
    a = np.radians(az)
    return d * np.sin(a), d * np.cos(a)


def _check_lat(lat):
    lat = np.asarray(lat)
    if not np.all(np.isfinite(lat)) or np.any(np.abs(lat) > 90.0):
        bad = lat[~(np.abs(lat) <= 90.0)].ravel()[0]
        raise ValueError(f"latitude {bad:g} is not in -90..90 degrees")


def zone_of(lon: ArrayLike) -> int | np.ndarray:
    """The UTM zone (1..60) holding each longitude, in either convention:
    zone k covers [6k - 186, 6k - 180) degrees east."""
    z = np.floor((wrap(lon) + 180.0) / 6.0).astype(int) + 1
    z = np.clip(z, 1, 60)
    return int(z) if np.ndim(z) == 0 else z


def central_meridian(zone: int) -> float:
    """Central meridian of a UTM zone, degrees in -180..180."""
    return 6.0 * int(zone) - 183.0


def model_zone(lon: ArrayLike, weights: ArrayLike | None = None) -> int:
    """The zone of a model whose points are at ``lon`` (weighted, by moment
    say): the zone of their :func:`circular_mean`, so a model across the
    antimeridian gets zone 60 or 1, not the zone of the arithmetic mean."""
    return zone_of(circular_mean(lon, weights))


def check_zone(zone: int, lon: ArrayLike | None = None, weights: ArrayLike | None = None, *,
               what: str = "the model") -> int:
    """An explicit zone checked: ``ValueError`` unless it is an integer
    1..60; a ``UserWarning`` when the mean longitude of ``lon`` lies more than
    3 degrees from the zone's central meridian (outside the zone: the
    projection's scale and convergence errors grow quickly beyond it).
    Returns the zone as an int."""
    try:
        z = int(zone)
    except (TypeError, ValueError):
        raise ValueError(f"UTM zone {zone!r} is not an integer") from None
    if z != zone or not 1 <= z <= 60:
        raise ValueError(f"UTM zone {zone!r} is not in 1..60")
    if lon is not None:
        mean = circular_mean(lon, weights)
        off = abs(wrap(mean - central_meridian(z)))
        if off > 3.0:
            warnings.warn(f"UTM zone {z} (central meridian {central_meridian(z):g}) is {off:.1f} degrees of "
                          f"longitude from {what} (mean longitude {mean:.3f}, zone {zone_of(mean)}): "
                          "positions and strikes lose accuracy outside a zone", UserWarning, stacklevel=2)
    return z


def utm(lon: ArrayLike, lat: ArrayLike, zone: int) -> tuple[float | np.ndarray, float | np.ndarray]:
    """The program's projection of (``lon``, ``lat``) into UTM ``zone``:
    ``(easting, northing)`` km, absolute (500 km false easting, northing from
    the equator), as the program's ``G`` and ``S`` grid cards project.
    Longitudes in either convention (the compiled projection wraps the
    difference from the central meridian)."""
    from . import _vadrel
    z = check_zone(zone)
    shape, (lo, la) = _arrays(lon, lat)
    _check_lat(la)
    if not np.all(np.isfinite(lo)):
        raise ValueError("longitudes must be finite")
    e, n = _vadrel.utm(wrap(lo), la, z)
    return _shaped(shape, np.asarray(e) / 1000.0, np.asarray(n) / 1000.0)


def convergence(lon: ArrayLike, lat: ArrayLike, zone: int) -> float | np.ndarray:
    """Meridian convergence of the program's projection: the grid azimuth of
    true north at (``lon``, ``lat``) in ``zone``, degrees clockwise from
    grid north: about -dlon sin(lat), dlon the longitude from the central
    meridian (meridians close towards the pole, which lies on the central
    meridian, so east of it in the north true north points to grid west).  From the projection itself by a
    central difference of 1e-5 degree in latitude: error about 1e-10
    degree."""
    lon = np.asarray(lon, dtype=float)
    lat = np.asarray(lat, dtype=float)
    h = 1e-5
    lo = np.clip(lat - h, -90.0, 90.0)
    hi = np.clip(lat + h, -90.0, 90.0)
    e0, n0 = utm(lon, lo, zone)
    e1, n1 = utm(lon, hi, zone)
    g = np.degrees(np.arctan2(np.asarray(e1) - e0, np.asarray(n1) - n0))
    return float(g) if np.ndim(g) == 0 else g


def grid_azimuth(lon: ArrayLike, lat: ArrayLike, azimuth: ArrayLike, zone: int) -> float | np.ndarray:
    """Azimuths from true north at (``lon``, ``lat``) turned into grid
    azimuths of the program's projection in ``zone`` (the projection is
    conformal: true azimuth plus the convergence), degrees in 0..360."""
    g = np.mod(np.asarray(azimuth, dtype=float) + convergence(lon, lat, zone), 360.0)
    return float(g) if np.ndim(g) == 0 else g


class LocalFrame:
    """A local km frame: transverse Mercator about ``origin`` = (lon0, lat0)
    (central meridian lon0, scale 1 on it, the origin at x = y = 0), WGS 84,
    through PROJ.  x east, y north (grid), km.

    ``to_km(lon, lat)`` and ``to_lonlat(x, y)`` convert arrays that
    broadcast; ``to_grid(lon, lat, azimuth)`` and ``to_true(x, y, azimuth)``
    turn azimuths between true and grid north.  Good to well under a
    millimetre; lengths in the frame are true lengths times
    1 + x^2 / (2 R^2) (1.2e-4 at 100 km east or west of the origin).
    """

    def __init__(self, origin: Sequence[float]) -> None:
        try:
            lon0, lat0 = (float(v) for v in origin)
        except (TypeError, ValueError):
            raise ValueError(f"origin must be (longitude, latitude) in degrees, got {origin!r}") from None
        if not (math.isfinite(lon0) and math.isfinite(lat0)) or abs(lat0) > 90.0:
            raise ValueError(f"origin ({lon0:g}, {lat0:g}) is not a longitude and latitude")
        self.lon0, self.lat0 = wrap(lon0), lat0
        import pyproj
        crs = pyproj.CRS.from_proj4(f"+proj=tmerc +lat_0={self.lat0!r} +lon_0={self.lon0!r} +k_0=1 +x_0=0 "
                                    "+y_0=0 +ellps=WGS84 +units=m +no_defs")
        self.crs = crs
        self._fwd = pyproj.Transformer.from_crs("EPSG:4326", crs, always_xy=True)
        self._inv = pyproj.Transformer.from_crs(crs, "EPSG:4326", always_xy=True)

    def __repr__(self):
        return f"LocalFrame(origin=({self.lon0!r}, {self.lat0!r}))"

    def __reduce__(self):
        return (LocalFrame, ((self.lon0, self.lat0),))

    def to_km(self, lon: ArrayLike, lat: ArrayLike) -> tuple[float | np.ndarray, float | np.ndarray]:
        """(x, y) km of points given in degrees (either longitude
        convention)."""
        shape, (lo, la) = _arrays(lon, lat)
        _check_lat(la)
        x, y = self._fwd.transform(wrap(lo, self.lon0), la)
        return _shaped(shape, np.asarray(x) / 1000.0, np.asarray(y) / 1000.0)

    def to_lonlat(self, x: ArrayLike, y: ArrayLike) -> tuple[float | np.ndarray, float | np.ndarray]:
        """(lon, lat) degrees of points of the frame (longitudes nearest the
        origin's)."""
        shape, (xs, ys) = _arrays(x, y)
        lo, la = self._inv.transform(xs * 1000.0, ys * 1000.0)
        return _shaped(shape, wrap(np.asarray(lo, dtype=float), self.lon0), np.asarray(la, dtype=float))

    def convergence(self, lon: ArrayLike, lat: ArrayLike) -> float | np.ndarray:
        """Grid azimuth of true north at the points, degrees."""
        lon = np.asarray(lon, dtype=float)
        lat = np.asarray(lat, dtype=float)
        h = 1e-5
        x0, y0 = self.to_km(lon, np.clip(lat - h, -90.0, 90.0))
        x1, y1 = self.to_km(lon, np.clip(lat + h, -90.0, 90.0))
        g = np.degrees(np.arctan2(np.asarray(x1) - x0, np.asarray(y1) - y0))
        return float(g) if np.ndim(g) == 0 else g

    def to_grid(self, lon: ArrayLike, lat: ArrayLike, azimuth: ArrayLike) -> float | np.ndarray:
        """True azimuths at (lon, lat) as grid azimuths of the frame, 0..360."""
        g = np.mod(np.asarray(azimuth, dtype=float) + self.convergence(lon, lat), 360.0)
        return float(g) if np.ndim(g) == 0 else g

    def to_true(self, x: ArrayLike, y: ArrayLike, azimuth: ArrayLike) -> float | np.ndarray:
        """Grid azimuths at frame points (x, y) as true azimuths, 0..360."""
        lon, lat = self.to_lonlat(x, y)
        g = np.mod(np.asarray(azimuth, dtype=float) - self.convergence(lon, lat), 360.0)
        return float(g) if np.ndim(g) == 0 else g


def ecef(lon: ArrayLike, lat: ArrayLike, height: ArrayLike = 0.0) -> np.ndarray:
    """Earth-centred, earth-fixed coordinates (km) of points at ``height``
    km above the ellipsoid: an (..., 3) array."""
    lam = np.radians(np.asarray(lon, dtype=float))
    phi = np.radians(np.asarray(lat, dtype=float))
    h = np.asarray(height, dtype=float)
    n = A / 1000.0 / np.sqrt(1.0 - E2 * np.sin(phi) ** 2)
    p = (n + h) * np.cos(phi)
    return np.stack(np.broadcast_arrays(p * np.cos(lam), p * np.sin(lam), (n * (1.0 - E2) + h) * np.sin(phi)),
                    axis=-1)


def enu(lon0: float, lat0: float, lon: ArrayLike, lat: ArrayLike, height: ArrayLike = 0.0) -> np.ndarray:
    """East, north, up (km, an (..., 3) array) of points in the tangent
    plane of the ellipsoid at (``lon0``, ``lat0``): the chord from the
    origin rotated into its local frame (exact; up is negative for distant
    points on the surface, about -d^2 / (2 R))."""
    d = ecef(lon, lat, height) - ecef(lon0, lat0)
    lam, phi = math.radians(float(lon0)), math.radians(float(lat0))
    sl, cl, sp, cp = math.sin(lam), math.cos(lam), math.sin(phi), math.cos(phi)
    r = np.array([[-sl, cl, 0.0], [-sp * cl, -sp * sl, cp], [cp * cl, cp * sl, sp]])
    return d @ r.T
