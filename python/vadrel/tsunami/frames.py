"""How the nodes of a longitude/latitude grid reach the half-space solution
of each subfault: the subfault's own tangent frame on the ellipsoid
(:class:`LocalFrames`) or one transverse Mercator zone for all
(:class:`UTMFrame`).  Both are periodic in longitude: nodes and subfaults
may be given in either convention and across the antimeridian."""
from __future__ import annotations

import numpy as np

from .. import geodesy

__all__ = ["LocalFrames", "UTMFrame"]


class LocalFrames:
    """Each subfault in its own tangent frame on the ellipsoid.

    A node's offset from the subfault's top centre is found from the chord
    between the two points in earth-centred coordinates: its direction in the
    subfault's east/north plane gives the azimuth, and the chord length c
    gives the distance along the surface, s = c (1 + q/24 + 3 q^2/640),
    q = c^2 / R^2, R the Gaussian radius of curvature at the subfault (the
    arc of a circle of radius R).  On a regular longitude/latitude grid every
    term is a product of a function of the row and one of the column, so a
    window of nodes costs a few array operations per node.
    """

    name = "local"

    def __init__(self, lon: np.ndarray, lat: np.ndarray, sub: np.ndarray) -> None:
        self.lam = np.radians(lon)
        phi = np.radians(lat)
        _, n = geodesy.radii(lat)                         # km
        self.sin_phi, self.cos_phi = np.sin(phi), np.cos(phi)
        self.p = n * self.cos_phi               # distance from the axis, km
        self.z = n * (1.0 - geodesy.E2) * self.sin_phi  # along the axis, km
        phis = np.radians(sub["lat"])
        ms, ns = geodesy.radii(sub["lat"])
        self.s_lam = np.radians(sub["lon"])
        self.s_sin, self.s_cos = np.sin(phis), np.cos(phis)
        self.s_p = ns * self.s_cos
        self.s_z = ns * (1.0 - geodesy.E2) * self.s_sin
        self.s_inv_r2 = 1.0 / (ns * ms)
        self.origin = np.zeros((len(sub), 2))
        self.sub_lon, self.sub_lat = sub["lon"], sub["lat"]
        self.strike = sub["strike"].astype(float)

    def offsets(self, s: int, rows: slice, cols: slice,
                rotation: bool = False) -> tuple[np.ndarray, np.ndarray, tuple[np.ndarray, np.ndarray] | None]:
        """x, y (km) of the nodes ``rows`` x ``cols`` in subfault ``s``'s
        frame and, with ``rotation``, the cosine and sine that turn that
        frame's horizontal components into the nodes' own east and north."""
        d_lam = self.lam[cols] - self.s_lam[s]
        sin_d, cos_d = np.sin(d_lam), np.cos(d_lam)
        p, z = self.p[rows, None], self.z[rows, None]
        ss, sc, ps, zs = self.s_sin[s], self.s_cos[s], self.s_p[s], self.s_z[s]
        e = p * sin_d
        n = (-ss) * p * cos_d + (ss * ps + sc * (z - zs))
        u = sc * p * cos_d + (ss * (z - zs) - sc * ps)
        rho2 = e * e + n * n
        c2 = rho2 + u * u
        q = c2 * self.s_inv_r2[s]
        with np.errstate(invalid="ignore", divide="ignore"):
            f = np.sqrt(c2 / rho2) * (1.0 + q * (1.0 / 24.0 + q * (3.0 / 640.0)))
        f[rho2 == 0.0] = 1.0
        x, y = e * f, n * f
        if not rotation:
            return x, y, None
        # The node's own east and north components of the chord: their angle
        # minus the chord's angle at the subfault turns the frame's horizontal
        # components into the node's.
        e2 = np.broadcast_to(ps * sin_d, e.shape)
        sp, cp = self.sin_phi[rows, None], self.cos_phi[rows, None]
        n2 = sp * ps * cos_d + (cp * (z - zs) - sp * p)
        r1 = np.sqrt(rho2)
        r2 = np.sqrt(e2 * e2 + n2 * n2)
        with np.errstate(invalid="ignore", divide="ignore"):
            cos_g = (e * e2 + n * n2) / (r1 * r2)
            sin_g = (n * e2 - e * n2) / (r1 * r2)
        bad = ~(r1 * r2 > 0.0)
        cos_g[bad], sin_g[bad] = 1.0, 0.0
        return x, y, (cos_g, sin_g)


class UTMFrame:
    """One transverse Mercator zone for every node and subfault, as the
    program's ``G`` card projects: absolute easting and northing in km;
    strikes turned from true north into grid north by the meridian
    convergence at each subfault."""

    name = "utm"

    def __init__(self, lon: np.ndarray, lat: np.ndarray, sub: np.ndarray, zone: int) -> None:
        self.zone = zone
        glon, glat = np.meshgrid(lon, lat)
        self.e, self.n = geodesy.utm(glon, glat, zone)
        se, sn = geodesy.utm(sub["lon"], sub["lat"], zone)
        self.origin = np.column_stack([se, sn])
        self.strike = sub["strike"] + geodesy.convergence(sub["lon"], sub["lat"], zone)
        self._lon, self._lat = lon, lat
        self.sub_lon, self.sub_lat = sub["lon"], sub["lat"]
        self._gamma = None

    def offsets(self, s: int | None, rows: slice, cols: slice,
                rotation: bool = False) -> tuple[np.ndarray, np.ndarray, tuple[np.ndarray, np.ndarray] | None]:
        """Easting and northing (km) of the nodes ``rows`` x ``cols`` (the
        same for every subfault ``s``) and, with ``rotation``, the cosine and
        sine of the turn from grid to true north at each (minus the meridian
        convergence)."""
        ix = (rows, cols)
        x, y = self.e[ix], self.n[ix]
        if not rotation:
            return x, y, None
        if self._gamma is None:
            g = np.radians(geodesy.convergence(*np.meshgrid(self._lon, self._lat), self.zone))
            self._gamma = (np.cos(g), -np.sin(g))
        return x, y, (self._gamma[0][ix], self._gamma[1][ix])
