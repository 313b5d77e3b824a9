"""Tsunami-model initial conditions from finite-fault models.

    python3 -m vadrel.tsunami MODEL --region W E S N --spacing ARCMIN [--times N]
        [--bathymetry FILE] [--horizontal] [--kajiura] [--frame local|utm] [--format F] -o OUT

:func:`dtopo` turns a finite-fault model (:mod:`vadrel.sources`) into the
vertical motion of the sea floor (or of the sea surface) on a
longitude/latitude grid, through the module's batch kernels; :class:`DTopo`
writes it in the layouts tsunami models read.

Conventions
-----------
* Grid axes ascending, degrees; ``dz[frame, lat, lon]`` in metres, up positive.
* Subfaults: top-centre reference, strike from true north, slip in metres,
  Poisson solid (lambda = mu).  Slip, lengths and depths as in
  :data:`vadrel.sources.SUBFAULT_DTYPE`.
* Static source: one frame at time 0.  Kinematic source: each subfault slips
  from its rupture time over its rise time along the smooth ramp
  ``(1 - cos(pi * tau)) / 2``, tau = (t - t_rup) / t_rise clipped to [0, 1]
  (a subfault with no rupture time starts at 0; with no rise time, or a rise
  time of 0, it slips at once).
"""
from __future__ import annotations

import argparse
import math
import os
import sys
import time
from dataclasses import dataclass

import numpy as np

import vadrel
from vadrel.io.files import replace_file as _replace_file
from . import sources

__all__ = ["DTopo", "dtopo", "read_bathymetry", "read_dtopo", "plot_dtopo", "FORMATS", "main"]

# WGS 84, the ellipsoid of the program's projection.
_A = 6378137.0
_F = 1.0 / 298.257223563
_E2 = _F * (2.0 - _F)

#: Output layouts of :meth:`DTopo.write` and the file-name extensions that
#: select them when no format is given.
FORMATS = {"tt3": ".tt3", "tt1": ".tt1", "netcdf": ".nc", "xyz": ".xyz", "asc": ".asc", "surfer": ".grd",
           "fixed": ".dat"}

_BLOCK = 65536  # nodes per kernel call: the work arrays stay in cache


# --------------------------------------------------------------------------- geometry

def _radii(phi):
    """Prime-vertical (N) and meridional (M) radii of curvature, metres."""
    w2 = 1.0 - _E2 * np.sin(phi) ** 2
    n = _A / np.sqrt(w2)
    return n, n * (1.0 - _E2) / w2


class _LocalFrames:
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

    def __init__(self, lon, lat, sub):
        self.lam = np.radians(lon)
        phi = np.radians(lat)
        n, _ = _radii(phi)
        self.sin_phi, self.cos_phi = np.sin(phi), np.cos(phi)
        self.p = n * self.cos_phi / 1000.0               # distance from the axis, km
        self.z = n * (1.0 - _E2) * self.sin_phi / 1000.0  # along the axis, km
        phis = np.radians(sub["lat"])
        ns, ms = _radii(phis)
        self.s_lam = np.radians(sub["lon"])
        self.s_sin, self.s_cos = np.sin(phis), np.cos(phis)
        self.s_p = ns * self.s_cos / 1000.0
        self.s_z = ns * (1.0 - _E2) * self.s_sin / 1000.0
        self.s_inv_r2 = 1.0e6 / (ns * ms)
        self.origin = np.zeros((len(sub), 2))
        self.sub_lon, self.sub_lat = sub["lon"], sub["lat"]
        self.strike = sub["strike"].astype(float)

    def offsets(self, s, rows, cols, rotation=False):
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


class _UTMFrame:
    """One transverse Mercator zone for every node and subfault, as the
    program's ``G`` card projects: absolute easting and northing in km;
    strikes turned from true north into grid north by the meridian
    convergence at each subfault."""

    name = "utm"

    def __init__(self, lon, lat, sub, zone):
        self.zone = zone
        glon, glat = np.meshgrid(lon, lat)
        e, n = vadrel.utm(glon, glat, zone)
        self.e, self.n = e / 1000.0, n / 1000.0
        del e, n
        se, sn = vadrel.utm(sub["lon"], sub["lat"], zone)
        self.origin = np.column_stack([se / 1000.0, sn / 1000.0])
        self.strike = sub["strike"] + _convergence(sub["lon"], sub["lat"], zone)
        self._lon, self._lat = lon, lat
        self.sub_lon, self.sub_lat = sub["lon"], sub["lat"]
        self._gamma = None

    def offsets(self, s, rows, cols, rotation=False):
        ix = (rows, cols)
        x, y = self.e[ix], self.n[ix]
        if not rotation:
            return x, y, None
        if self._gamma is None:
            g = np.radians(_convergence(*np.meshgrid(self._lon, self._lat), self.zone))
            self._gamma = (np.cos(g), -np.sin(g))
        return x, y, (self._gamma[0][ix], self._gamma[1][ix])


def _convergence(lon, lat, zone):
    """Grid azimuth of true north (degrees) in a UTM zone, from the
    projection itself (a step of 1e-5 degree north)."""
    lon = np.asarray(lon, dtype=float)
    lat = np.asarray(lat, dtype=float)
    step = np.where(lat > 0, -1e-5, 1e-5)
    e0, n0 = vadrel.utm(lon, lat, zone)
    e1, n1 = vadrel.utm(lon, lat + step, zone)
    return np.degrees(np.arctan2((e1 - e0) * np.sign(step), (n1 - n0) * np.sign(step)))


def _utm_zone(sub):
    w = sub["slip"] * sub["length"] * sub["width"] * sub["rigidity"]
    if not np.any(w > 0):
        w = np.ones(len(sub))
    lon = float(np.average(np.mod(sub["lon"] + 180.0, 360.0) - 180.0, weights=w))
    return int(min(60, max(1, math.floor((lon + 180.0) / 6.0) + 1)))


# --------------------------------------------------------------------------- kinematics

def ramp_weights(sub, times):
    """Fraction of each subfault's slip reached at each time, shape
    (subfaults, times): the smooth ramp (1 - cos(pi tau)) / 2 over the rise
    time from the rupture time."""
    times = np.asarray(times, dtype=float)
    t0 = np.nan_to_num(sub["rupture_time"].astype(float), nan=0.0)[:, None]
    rise = np.nan_to_num(sub["rise_time"].astype(float), nan=0.0)[:, None]
    with np.errstate(invalid="ignore", divide="ignore"):
        tau = np.where(rise > 0.0, (times[None, :] - t0) / np.where(rise > 0.0, rise, 1.0),
                       np.where(times[None, :] >= t0, 1.0, 0.0))
    tau = np.clip(tau, 0.0, 1.0)
    return 0.5 * (1.0 - np.cos(np.pi * tau))


def rupture_end(sub):
    """Time at which the last subfault stops slipping, s."""
    t0 = np.nan_to_num(sub["rupture_time"].astype(float), nan=0.0)
    rise = np.nan_to_num(sub["rise_time"].astype(float), nan=0.0)
    return float(np.max(t0 + np.maximum(rise, 0.0))) if len(sub) else 0.0


# --------------------------------------------------------------------------- the sum over subfaults

def _taper(r, d1, width):
    """1 inside d1, 0 beyond d1 + width, a cosine-squared step between."""
    t = np.clip((r - d1) / width, 0.0, 1.0)
    return np.cos(0.5 * np.pi * t) ** 2


def _row_blocks(rows, ncols):
    """Split a range of rows into blocks of at most _BLOCK nodes."""
    per = max(1, _BLOCK // max(1, ncols))
    return [slice(a, min(a + per, rows.stop)) for a in range(rows.start, rows.stop, per)]


class _Sum:
    """Accumulates the displacement of the subfaults on a set of nodes: ``z``
    (frames x rows x cols) and, with ``horizontal``, the east and north
    components, metres."""

    def __init__(self, nt, shape, horizontal):
        self.z = np.zeros((nt,) + shape)
        self.e = np.zeros((nt,) + shape) if horizontal else None
        self.n = np.zeros((nt,) + shape) if horizontal else None

    def add(self, g, sel, u, rot):
        uz = u[..., 2]
        if self.e is not None:
            ue, un = u[..., 0], u[..., 1]
            if rot is not None:
                ue, un = ue * rot[0] + un * rot[1], un * rot[0] - ue * rot[1]
        for t in np.flatnonzero(g):
            self.z[(t,) + sel] += g[t] * uz
            if self.e is not None:
                self.e[(t,) + sel] += g[t] * ue
                self.n[(t,) + sel] += g[t] * un


def _grid_km(lon, lat):
    """Largest node spacing of the grid in km, east and north."""
    phi = np.radians(lat)
    n, m = _radii(phi)
    dx = np.max(np.diff(np.radians(lon))) * np.max(n * np.cos(phi)) / 1000.0 if len(lon) > 1 else 1.0
    dy = np.max(np.diff(phi) * m[1:]) / 1000.0 if len(lat) > 1 else 1.0
    return dx, dy


#: Levels of the evaluation: level l takes every (RATIO**l)-th node, H_l
#: apart.  A subfault's field is cut by cosine-squared tapers around its
#: outline: level l holds the part out to NEAR * H_(l+1) beyond the outline,
#: blended over BLEND * H_(l+1); what is left varies on scales of
#: NEAR * H_(l+1) or more, which bicubic splines through level l+1's nodes
#: carry to the finer levels.  A subfault whose top lies deeper than
#: DEEP * H_l starts at level l: its field is smooth on that scale everywhere.
RATIO, NEAR, BLEND, DEEP = 2, 8.0, 8.0, 6.0


def _size(seg):
    """Half the diagonal of each subfault's map outline, km."""
    return 0.5 * np.hypot(seg["L"], seg["W"] * np.cos(np.radians(seg["dip"])))


def _top(seg):
    return seg["depth"] - seg["W"] * np.sin(np.radians(seg["dip"]))


def _centre(seg):
    """Map position of each subfault's centre in its frame."""
    s = np.radians(seg["strike"])
    h = 0.5 * seg["W"] * np.cos(np.radians(seg["dip"]))
    # From the start of the deep edge: half along strike, half the width up dip.
    return (seg["X"] + 0.5 * seg["L"] * np.sin(s) - h * np.cos(s),
            seg["Y"] + 0.5 * seg["L"] * np.cos(s) + h * np.sin(s))


def _segment(seg, s):
    mu = float(seg["mu"][s])
    return vadrel.Segment(X=float(seg["X"][s]), Y=float(seg["Y"][s]), strike=float(seg["strike"][s]),
                          depth=float(seg["depth"][s]), dip=float(seg["dip"][s]), lam=mu, mu=mu,
                          U1=float(seg["U1"][s]), U2=float(seg["U2"][s]), U3=0.0, L=float(seg["L"][s]),
                          W=float(seg["W"][s]))


def _level_axis(a, k):
    """Every k-th node of an axis and two more beyond each end (the axis
    continued linearly): the splines through them have no end effects on
    the finer nodes."""
    n = len(a)
    p = np.arange(-2 * k, (n - 1) + 2 * k + k, k, dtype=float)
    p = p[p <= (n - 1) + 2 * k]
    if p[-1] < n - 1 + 2 * k:
        p = np.r_[p, n - 1 + 2 * k]
    lo = a[0] + (a[1] - a[0]) * p[p < 0]
    hi = a[-1] + (a[-1] - a[-2]) * (p[p > n - 1] - (n - 1))
    mid = np.interp(p[(p >= 0) & (p <= n - 1)], np.arange(n), a)
    return np.r_[lo, mid, hi]


class _Levels:
    """The grids of the levels (level 0 the dtopo grid) and each subfault's
    windows on them."""

    def __init__(self, lon, lat, sub, seg, make_frame, levels=None):
        self.lons, self.lats = [lon], [lat]
        most = 64 if levels is None else levels
        while len(self.lons) < most:
            k = RATIO ** len(self.lons)
            if (len(lon) - 1) // k < 6 or (len(lat) - 1) // k < 6:
                break
            y = _level_axis(lat, k)
            self.lons.append(_level_axis(lon, k))
            self.lats.append(y[np.abs(y) <= 90.0])
        self.make_frame = make_frame
        self.frames = [None] * len(self.lons)
        phi = np.radians(lat)
        n, m = _radii(phi)
        self.h = max(_grid_km(lon, lat))
        self.m_min, self.p_min = np.min(m), np.min(n) * max(1e-3, np.min(np.cos(phi)))
        self.size, self.top, self.reach_extra = _size(seg), _top(seg), seg["W"]
        self.sub_lon, self.sub_lat = sub["lon"], sub["lat"]

    def frame(self, level):
        if self.frames[level] is None:
            self.frames[level] = self.make_frame(self.lons[level], self.lats[level])
        return self.frames[level]

    def plan(self, s):
        """[(level, rows slice, cols slice, inner (d, width) or None, outer (d, width) or None)]"""
        first = 0
        for l in range(1, len(self.lons)):
            if self.top[s] >= DEEP * self.h * RATIO ** l:
                first = l
        parts, inner = [], None
        for l in range(first, len(self.lons)):
            lon, lat = self.lons[l], self.lats[l]
            H = self.h * RATIO ** (l + 1)  # what is left must be smooth on the next level
            outer = (self.size[s] + NEAR * H, BLEND * H)
            reach = (outer[0] + outer[1] + self.reach_extra[s]) * 1000.0
            dlat = np.degrees(reach / self.m_min)
            dlon = np.degrees(reach / self.p_min)
            j0, j1 = (int(v) for v in np.searchsorted(lat, [self.sub_lat[s] - dlat, self.sub_lat[s] + dlat]))
            i0, i1 = (int(v) for v in np.searchsorted(lon, [self.sub_lon[s] - dlon, self.sub_lon[s] + dlon]))
            if (j0 == 0 and i0 == 0 and j1 == len(lat) and i1 == len(lon)) or l == len(self.lons) - 1:
                parts.append((l, slice(0, len(lat)), slice(0, len(lon)), inner, None))
                return parts
            if j1 > j0 and i1 > i0:
                parts.append((l, slice(j0, j1), slice(i0, i1), inner, outer))
            inner = outer
        return parts

    def cost(self, s):
        return sum((p[1].stop - p[1].start) * (p[2].stop - p[2].start) for p in self.plan(s))


def _evaluate(make_frame, sub, seg, weights, lon, lat, horizontal, levels, progress):
    """The displacement summed over the subfaults on the grid, metres."""
    nx, ny = len(lon), len(lat)
    nsub, nt = weights.shape
    live = [s for s in range(nsub) if np.any(weights[s] > 0) and (seg["U1"][s] != 0 or seg["U2"][s] != 0)]
    total = len(live) or 1
    lv = _Levels(lon, lat, sub, seg, make_frame, levels)
    direct = float(len(live)) * nx * ny
    if levels is None and 2.0 * sum(lv.cost(s) for s in live) >= direct:
        lv = _Levels(lon, lat, sub, seg, make_frame, 1)
    sums = [_Sum(nt, (len(j), len(i)), horizontal) for j, i in zip(lv.lats, lv.lons)]
    frame = lv.frame(0)
    if len(lv.lons) == 1 and frame.name == "utm":
        # One frame for all: the subfaults that share their weights share a call.
        groups = {}
        for s in live:
            groups.setdefault(weights[s].tobytes(), []).append(s)
        done = 0
        for members in groups.values():
            faults = vadrel.Faults([_segment(seg, s) for s in members])
            for rows in _row_blocks(slice(0, ny), nx):
                x, y, rot = frame.offsets(None, rows, slice(0, nx), horizontal)
                u = vadrel.displacement(faults, x.ravel(), y.ravel()).reshape(x.shape + (3,)) / 1000.0
                sums[0].add(weights[members[0]], (rows, slice(0, nx)), u, rot)
            done += len(members)
            if progress:
                progress(done, total)
        return sums[0]
    cx, cy = _centre(seg)
    for count, s in enumerate(live, 1):
        faults = vadrel.Faults([_segment(seg, s)])
        for level, rows_all, cols, inner, outer in lv.plan(s):
            fr = lv.frame(level)
            for rows in _row_blocks(rows_all, cols.stop - cols.start):
                x, y, rot = fr.offsets(s, rows, cols, horizontal)
                u = vadrel.displacement(faults, x.ravel(), y.ravel()).reshape(x.shape + (3,)) / 1000.0
                if inner is not None or outer is not None:
                    r = np.hypot(x - cx[s], y - cy[s])
                    w = _taper(r, *outer) if outer is not None else 1.0
                    if inner is not None:
                        w = w - _taper(r, *inner)
                    u = u * np.asarray(w)[..., None]
                sums[level].add(weights[s], (rows, cols), u, rot)
        if progress:
            progress(count, total)
    if len(sums) > 1:
        from scipy.interpolate import RectBivariateSpline
        for level in range(len(sums) - 1, 0, -1):
            src, dst = sums[level], sums[level - 1]
            for name in ("z", "e", "n"):
                a, b = getattr(src, name), getattr(dst, name)
                if a is None:
                    continue
                for t in range(nt):
                    spline = RectBivariateSpline(lv.lats[level], lv.lons[level], a[t], kx=3, ky=3)
                    b[t] += spline(lv.lats[level - 1], lv.lons[level - 1])
            sums[level] = None
            lv.frames[level] = None
    return sums[0]


# --------------------------------------------------------------------------- bathymetry

def _is_netcdf(path):
    with open(path, "rb") as f:
        head = f.read(8)
    return head[:3] == b"CDF" or head[:8] == b"\x89HDF\r\n\x1a\n"


_HEADER_KEYS = {
    "mx": "ncols", "ncols": "ncols", "my": "nrows", "nrows": "nrows", "mt": "mt",
    "xlower": "xnode", "xllcenter": "xnode", "xllcentre": "xnode", "xllcorner": "xcorner",
    "ylower": "ynode", "yllcenter": "ynode", "yllcentre": "ynode", "yllcorner": "ycorner",
    "t0": "t0", "dx": "dx", "dy": "dy", "dt": "dt", "cellsize": "cellsize",
    "nodata_value": "nodata", "nodata": "nodata",
}


def _read_headed_grid(path):
    """A grid of a headed text layout: header lines of a value and a name
    (the tt3 layout: ``mx``, ``my``, [``mt``], ``xlower``, ``ylower``,
    [``t0``], ``dx``/``cellsize``, [``dy``, ``dt``], [``nodata_value``]) or
    of a name and a value (ESRI ASCII grid: ``ncols``, ``nrows``,
    ``xllcorner``/``xllcenter``, ...), then the rows, north row first.
    Returns ``(x, y, t, values)`` with values of shape (frames, rows, cols),
    rows south first."""
    header = {}
    with open(path) as f:
        lines = f.readlines()
    start = 0
    for number, line in enumerate(lines, 1):
        words = line.split()
        if not words:
            start = number
            continue
        if len(words) >= 2 and words[0].lower() in _HEADER_KEYS:
            name, text = words[0].lower(), words[1]
        elif len(words) >= 2 and words[1].lower() in _HEADER_KEYS:
            name, text = words[1].lower(), words[0]
        else:
            break
        try:
            value = float(text)
        except ValueError:
            raise ValueError(f"{path}: line {number}: {name} is not a number: {text!r}") from None
        if not math.isfinite(value):
            raise ValueError(f"{path}: line {number}: {name} is not finite: {text!r}")
        header[_HEADER_KEYS[name]] = value
        start = number
    for need in ("ncols", "nrows"):
        if need not in header:
            raise ValueError(f"{path}: line {start + 1}: no {need} in the grid header")
    nx, ny, nt = int(header["ncols"]), int(header["nrows"]), int(header.get("mt", 1))
    if nx < 1 or ny < 1 or nt < 1 or nx != header["ncols"] or ny != header["nrows"]:
        raise ValueError(f"{path}: line {start}: grid dimensions must be positive whole numbers")
    dx = header.get("dx", header.get("cellsize"))
    dy = header.get("dy", dx)
    if dx is None or dx <= 0 or dy <= 0:
        raise ValueError(f"{path}: line {start}: no positive grid spacing in the header")
    origin = []
    for axis, step in (("x", dx), ("y", dy)):
        if axis + "node" in header:
            origin.append(header[axis + "node"])
        elif axis + "corner" in header:
            origin.append(header[axis + "corner"] + 0.5 * step)
        else:
            raise ValueError(f"{path}: line {start + 1}: no lower-left {axis} in the grid header")
    x0, y0 = origin
    values = np.empty(nt * ny * nx)
    k = 0
    for number in range(start, len(lines)):
        words = lines[number].split()
        if not words:
            continue
        if k + len(words) > values.size:
            raise ValueError(f"{path}: line {number + 1}: more values than {nt} x {ny} x {nx}")
        try:
            values[k:k + len(words)] = [float(w) for w in words]
        except ValueError as exc:
            raise ValueError(f"{path}: line {number + 1}: not a number ({exc})") from None
        k += len(words)
    if k < values.size:
        raise ValueError(f"{path}: line {len(lines)}: {k} values, expected {values.size}")
    if not np.all(np.isfinite(values)):
        raise ValueError(f"{path}: a value is not finite")
    grid = values.reshape(nt, ny, nx)[:, ::-1, :]
    if "nodata" in header:
        grid = np.where(grid == header["nodata"], np.nan, grid)
    t = header.get("t0", 0.0) + header.get("dt", 0.0) * np.arange(nt)
    return x0 + dx * np.arange(nx), y0 + dy * np.arange(ny), t, grid


def _nc_axis(ds, names):
    for name in names:
        if name in ds.variables and ds.variables[name].ndim == 1:
            return name
    return None


def _read_netcdf_grid(path):
    """A 2-D NetCDF grid: the first two-dimensional variable whose
    dimensions are a latitude (``lat``, ``latitude``, ``y``) and a longitude
    (``lon``, ``longitude``, ``x``) axis."""
    import netCDF4
    with netCDF4.Dataset(path) as ds:
        xname = _nc_axis(ds, ("lon", "longitude", "x"))
        yname = _nc_axis(ds, ("lat", "latitude", "y"))
        if xname is None or yname is None:
            raise ValueError(f"{path}: no longitude and latitude axes")
        for var in ds.variables.values():
            if var.ndim == 2 and var.dimensions == (ds.variables[yname].dimensions[0],
                                                    ds.variables[xname].dimensions[0]):
                z = np.ma.filled(var[:].astype(float), np.nan)
                break
        else:
            raise ValueError(f"{path}: no 2-D variable on the {yname} and {xname} axes")
        x = np.asarray(ds.variables[xname][:], dtype=float)
        y = np.asarray(ds.variables[yname][:], dtype=float)
    if x.size > 1 and x[1] < x[0]:
        x, z = x[::-1], z[:, ::-1]
    if y.size > 1 and y[1] < y[0]:
        y, z = y[::-1], z[::-1, :]
    return x, y, z


def read_bathymetry(bathymetry):
    """Elevation grid ``(lon, lat, elevation)`` (axes ascending, elevation in
    metres, negative under the sea) from a path (tt3 layout, ESRI ASCII
    grid, NetCDF grid) or a tuple of 1-D axes and a 2-D array."""
    if isinstance(bathymetry, (tuple, list)):
        if len(bathymetry) != 3:
            raise ValueError("bathymetry: a tuple must be (lon, lat, elevation)")
        x, y, z = (np.asarray(a, dtype=float) for a in bathymetry)
        name = "bathymetry"
    else:
        name = os.fspath(bathymetry)
        if _is_netcdf(name):
            x, y, z = _read_netcdf_grid(name)
        else:
            x, y, _, z = _read_headed_grid(name)
            z = z[-1]
    if x.ndim != 1 or y.ndim != 1 or z.shape != (y.size, x.size):
        raise ValueError(f"{name}: elevation must have shape (lat, lon) = ({y.size}, {x.size}), got {z.shape}")
    if x.size < 2 or y.size < 2 or np.any(np.diff(x) <= 0) or np.any(np.diff(y) <= 0):
        raise ValueError(f"{name}: the axes must have two or more strictly increasing values")
    return x, y, z


def _bathymetry_on(bathymetry, lon, lat):
    """Water depth h (metres, positive under the sea) on the dtopo grid,
    bilinear in the elevation grid."""
    from scipy.interpolate import RegularGridInterpolator
    x, y, z = read_bathymetry(bathymetry)
    name = bathymetry if not isinstance(bathymetry, (tuple, list)) else "bathymetry"
    shift = 360.0 * np.round((np.mean(lon) - np.mean(x)) / 360.0)
    x = x + shift
    eps = 1e-9 * max(1.0, np.max(np.abs(x)))
    if lon[0] < x[0] - eps or lon[-1] > x[-1] + eps or lat[0] < y[0] - eps or lat[-1] > y[-1] + eps:
        raise ValueError(f"{name}: the grid ({x[0]:g} to {x[-1]:g} E, {y[0]:g} to {y[-1]:g} N) does not "
                         f"cover the dtopo grid ({lon[0]:g} to {lon[-1]:g} E, {lat[0]:g} to {lat[-1]:g} N)")
    f = RegularGridInterpolator((y, x), z, method="linear", bounds_error=False, fill_value=None)
    glat, glon = np.meshgrid(np.clip(lat, y[0], y[-1]), np.clip(lon, x[0], x[-1]), indexing="ij")
    elevation = f((glat, glon))
    if not np.all(np.isfinite(elevation)):
        raise ValueError(f"{name}: missing or non-finite elevations under the dtopo grid")
    return -elevation


def _spacing_m(lon, lat):
    """East and north node spacings in metres: per row (east) and per row pair (north)."""
    phi = np.radians(lat)
    n, m = _radii(phi)
    return n * np.cos(phi), m


def horizontal_term(ue, un, h, lon, lat):
    """u_x dh/dx + u_y dh/dy on the grid (metres), 0 on land (h <= 0)."""
    pe, m = _spacing_m(lon, lat)
    dhdy = np.gradient(h, np.radians(lat), axis=0) / m[:, None]
    dhdx = np.gradient(h, np.radians(lon), axis=1) / pe[:, None]
    return np.where(h > 0.0, ue * dhdx + un * dhdy, 0.0)


def kajiura_filter(dz, h, lon, lat, levels_per_octave=4):
    """The sea-surface displacement of a sea-floor displacement ``dz``
    (lat x lon) by the filter 1/cosh(k h).

    The filter is applied in the Fourier domain on the grid in metres (east
    spacing at the grid's middle latitude), mirrored at its edges so that
    nothing wraps round and a uniform field is unchanged.  Variable depth:
    the field is filtered for a ladder of depths (``levels_per_octave`` per
    doubling between the shallowest and deepest water of the grid) and
    each wet node takes the linear interpolation in depth between the two
    filtered fields around its own depth; land and nodes shallower than
    the first level keep the sea-floor value there (1/cosh(kh) -> 1 as
    h -> 0)."""
    from scipy import fft
    ny, nx = dz.shape
    wet = h > 0.0
    if not np.any(wet) or nx < 2 or ny < 2:
        return dz.copy()
    pe, m = _spacing_m(lon, lat)
    mid = ny // 2
    dx = abs(np.mean(np.diff(np.radians(lon)))) * pe[mid]
    dy = abs(np.mean(np.diff(np.radians(lat)))) * m[mid]
    big = np.pad(dz, ((0, ny), (0, nx)), mode="symmetric")
    spec = fft.rfft2(big)
    ky = 2 * np.pi * fft.fftfreq(2 * ny, dy)
    kx = 2 * np.pi * fft.rfftfreq(2 * nx, dx)
    k = np.hypot(ky[:, None], kx[None, :])
    hmax = float(np.max(h[wet]))
    hmin = max(float(np.min(h[wet])), hmax * 1e-3, 1.0)
    n_levels = max(2, int(math.ceil(levels_per_octave * math.log2(max(hmax / hmin, 1.0)))) + 1)
    depths = np.r_[0.0, np.geomspace(hmin, hmax, n_levels)]
    out = dz.copy()
    below = dz
    for lo, hi in zip(depths[:-1], depths[1:]):
        above = fft.irfft2(spec / np.cosh(np.minimum(k * hi, 700.0)), s=big.shape)[:ny, :nx]
        sel = wet & (h > lo) & (h <= hi)
        w = (h[sel] - lo) / (hi - lo)
        out[sel] = (1.0 - w) * below[sel] + w * above[sel]
        below = above
    return out


# --------------------------------------------------------------------------- result and writers

@dataclass
class DTopo:
    """Motion of the sea floor (or surface) on a longitude/latitude grid:
    ``lon`` (nx), ``lat`` (ny) ascending, degrees; ``times`` (nt) s;
    ``dz`` (nt, ny, nx) metres, up positive."""
    lon: np.ndarray
    lat: np.ndarray
    times: np.ndarray
    dz: np.ndarray

    def write(self, path, format=None):
        """Write the grid to ``path`` in ``format`` (default from the
        extension, see :data:`FORMATS`):

        * ``tt3``: nine header lines, each a value then its name (``mx``,
          ``my``, ``mt``, ``xlower``, ``ylower``, ``t0``, ``dx``, ``dy``,
          ``dt``), then for each frame ``my`` lines of ``mx`` values, north
          row first.
        * ``tt1``: one line ``t lon lat dz`` per node and frame; frames in
          time order, within one frame north row first, west to east.
        * ``netcdf``: CF-1.8, netCDF-4 with deflate: ``dz(time, lat, lon)``
          in m, ``lat``/``lon`` ascending in degrees_north/degrees_east,
          ``time`` in s from the rupture's start.
        * ``xyz``: one line ``lon lat dz`` per node of the last frame (the
          final state), north row first.
        * ``asc``: headed grid of ESRI ASCII layout (``ncols``, ``nrows``,
          ``xllcenter``, ``yllcenter``, ``cellsize`` -- or ``dx`` and ``dy``
          when they differ -- and ``nodata_value``), rows north first, last
          frame.
        * ``surfer``: headed grid of the Surfer ASCII layout (``DSAA``,
          ``nx ny``, ``xmin xmax``, ``ymin ymax``, ``zmin zmax``), rows
          south first, last frame.
        * ``fixed``: no header; each row of the last frame, north row first,
          in lines of ten fields of 13 columns (Fortran ``10E13.5``).
        """
        path = os.fspath(path)
        if format is None:
            ext = os.path.splitext(path)[1].lower()
            format = next((k for k, v in FORMATS.items() if v == ext), None)
            if format is None:
                raise ValueError(f"{path}: cannot tell the format from the extension {ext!r}; "
                                 f"give one of {', '.join(FORMATS)}")
        if format not in FORMATS:
            raise ValueError(f"{path}: unknown format {format!r}; one of {', '.join(FORMATS)}")
        self._check()
        if format in ("tt3", "asc", "surfer", "fixed"):
            self._uniform(path)
        if format == "netcdf":
            _atomic(path, self._write_netcdf, binary=True)
        else:
            _atomic(path, getattr(self, "_write_" + format))

    def _check(self):
        nt, ny, nx = self.dz.shape
        if len(self.lon) != nx or len(self.lat) != ny or len(self.times) != nt:
            raise ValueError(f"dz has shape {self.dz.shape}, axes {nt}, {ny}, {nx} expected")
        if not np.all(np.isfinite(self.dz)):
            raise ValueError("dz holds values that are not finite")

    def _uniform(self, path):
        for name, a in (("longitude", self.lon), ("latitude", self.lat)):
            if len(a) > 1 and np.ptp(np.diff(a)) > 1e-6 * abs(a[-1] - a[0]) / max(1, len(a) - 1):
                raise ValueError(f"{path}: the {name} spacing is not uniform, as this layout needs")

    def _step(self, a):
        return float((a[-1] - a[0]) / (len(a) - 1)) if len(a) > 1 else 0.0

    def _write_tt3(self, f):
        nt, ny, nx = self.dz.shape
        head = [(nx, "mx"), (ny, "my"), (nt, "mt"), (repr(float(self.lon[0])), "xlower"),
                (repr(float(self.lat[0])), "ylower"), (repr(float(self.times[0])), "t0"),
                (repr(self._step(self.lon)), "dx"), (repr(self._step(self.lat)), "dy"),
                (repr(self._step(self.times)), "dt")]
        f.write("".join(f"{v:<20} {k}\n" for v, k in head))
        for t in range(nt):
            _rows(f, self.dz[t, ::-1, :], " ")

    def _write_tt1(self, f):
        glon, glat = np.meshgrid(self.lon, self.lat[::-1])
        for t in range(len(self.times)):
            block = np.column_stack([np.full(glon.size, self.times[t]), glon.ravel(), glat.ravel(),
                                     self.dz[t, ::-1, :].ravel()])
            np.savetxt(f, block, fmt=["%.6g", "%.10g", "%.10g", "%.6e"])

    def _write_xyz(self, f):
        glon, glat = np.meshgrid(self.lon, self.lat[::-1])
        np.savetxt(f, np.column_stack([glon.ravel(), glat.ravel(), self.dz[-1, ::-1, :].ravel()]),
                   fmt=["%.10g", "%.10g", "%.6e"])

    def _write_asc(self, f):
        nt, ny, nx = self.dz.shape
        dx, dy = self._step(self.lon), self._step(self.lat)
        f.write(f"ncols {nx}\nnrows {ny}\nxllcenter {float(self.lon[0])!r}\nyllcenter {float(self.lat[0])!r}\n")
        if abs(dx - dy) <= 1e-9 * max(abs(dx), abs(dy)):
            f.write(f"cellsize {dx!r}\n")
        else:
            f.write(f"dx {dx!r}\ndy {dy!r}\n")
        f.write("nodata_value -9999\n")
        _rows(f, self.dz[-1, ::-1, :], " ")

    def _write_surfer(self, f):
        z = self.dz[-1]
        f.write(f"DSAA\n{z.shape[1]} {z.shape[0]}\n{float(self.lon[0])!r} {float(self.lon[-1])!r}\n"
                f"{float(self.lat[0])!r} {float(self.lat[-1])!r}\n{float(z.min())!r} {float(z.max())!r}\n")
        _rows(f, z, " ")

    def _write_fixed(self, f):
        for row in self.dz[-1, ::-1, :]:
            for a in range(0, len(row), 10):
                f.write("".join("%13.5E" % v for v in row[a:a + 10]) + "\n")

    def _write_netcdf(self, path):
        import netCDF4
        with netCDF4.Dataset(path, "w", format="NETCDF4") as ds:
            ds.Conventions = "CF-1.8"
            ds.title = "Sea-floor vertical displacement"
            ds.source = f"vadrel {vadrel.__version__} (Okada half-space, vadrel.tsunami)"
            ds.history = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()) + " written by vadrel.tsunami"
            ds.createDimension("time", len(self.times))
            ds.createDimension("lat", len(self.lat))
            ds.createDimension("lon", len(self.lon))
            v = ds.createVariable("time", "f8", ("time",))
            v.units, v.long_name, v.axis = "s", "time since the start of the rupture", "T"
            v[:] = self.times
            v = ds.createVariable("lat", "f8", ("lat",))
            v.units, v.standard_name, v.long_name, v.axis = "degrees_north", "latitude", "latitude", "Y"
            v[:] = self.lat
            v = ds.createVariable("lon", "f8", ("lon",))
            v.units, v.standard_name, v.long_name, v.axis = "degrees_east", "longitude", "longitude", "X"
            v[:] = self.lon
            v = ds.createVariable("dz", "f4", ("time", "lat", "lon"), zlib=True, complevel=4, shuffle=True,
                                  chunksizes=(1, min(len(self.lat), 512), min(len(self.lon), 512)))
            v.units, v.long_name = "m", "vertical displacement, up positive"
            v[:] = self.dz


def _rows(f, rows, sep):
    fmt = sep.join(["%.6e"] * rows.shape[1]) + "\n"
    for r in rows:
        f.write(fmt % tuple(r))


def _atomic(path, write, binary=False):
    _replace_file(path, write, text=not binary)


def read_dtopo(path) -> DTopo:
    """Read a dtopo grid written as ``tt3`` or ``netcdf`` back into a :class:`DTopo`."""
    path = os.fspath(path)
    if _is_netcdf(path):
        import netCDF4
        with netCDF4.Dataset(path) as ds:
            try:
                lon = np.asarray(ds.variables["lon"][:], dtype=float)
                lat = np.asarray(ds.variables["lat"][:], dtype=float)
                t = np.asarray(ds.variables["time"][:], dtype=float)
                dz = np.ma.filled(ds.variables["dz"][:].astype(float), np.nan)
            except KeyError as exc:
                raise ValueError(f"{path}: no variable {exc} (lon, lat, time and dz expected)") from None
        return DTopo(lon, lat, t, dz)
    lon, lat, t, dz = _read_headed_grid(path)
    return DTopo(lon, lat, t, dz)


# --------------------------------------------------------------------------- the face

def _source(source):
    if isinstance(source, sources.FiniteFault):
        return source
    if isinstance(source, (str, os.PathLike)):
        return sources.read(source)
    raise ValueError(f"source must be a FiniteFault or a path, got {type(source).__name__}")


def _axis(a, name):
    a = np.asarray(a, dtype=float)
    if a.ndim != 1 or a.size < 1 or not np.all(np.isfinite(a)):
        raise ValueError(f"{name} must be a 1-D array of finite values")
    if a.size > 1 and np.any(np.diff(a) <= 0):
        raise ValueError(f"{name} must be strictly increasing")
    return a


def dtopo(source, lon, lat, *, times=None, bathymetry=None, horizontal=False, kajiura=False, frame="local",
          zone=None, levels=None, progress=None) -> DTopo:
    """Vertical displacement of the sea floor (or, with ``kajiura``, of the
    sea surface) caused by a finite-fault model, on the grid of the 1-D
    axes ``lon``, ``lat`` (ascending, degrees).

    ``source``: a :class:`vadrel.sources.FiniteFault` or a path read with
    :func:`vadrel.sources.read`.

    ``frame``: how the nodes reach the half-space solution.

    * ``"local"`` (default): each subfault in its own tangent frame on the
      WGS 84 ellipsoid; a node is placed at its distance and azimuth from the
      subfault's top centre (chord length turned into arc length on the
      Gaussian sphere of the subfault, azimuth from the chord in the
      subfault's horizon).  Against exact geodesics (Vincenty's formulae),
      at latitudes 0 to 80 degrees in every direction: distance errors under
      1e-3 m at 50 km, 0.2 m at 300 km, 7 m (7e-6) at 1000 km and 62 m
      (3e-5) at 2000 km; azimuth errors under 1e-5, 1e-4, 1e-3 and 4e-3
      degree.  The uplift of a model 100 km across then equals the one of
      exact-geodesic placement to 2e-5 of its peak.
    * ``"utm"``: one transverse Mercator zone (``zone``, default the zone of
      the moment-weighted mean longitude), as the program's ``G`` card
      projects; strikes are turned into grid north.  Distances carry the
      zone's scale error, -4e-4 on the central meridian to about +1e-3 at
      3 degrees from it and growing as the square of the distance beyond; a
      model 1000 km long straddling a zone's edge is then stretched or
      shrunk by some 1e-3 and its uplift shifts by a few hundred metres at
      the far end.

    ``times``: frame times in seconds (kinematic source, see the module's
    ramp); default one frame, the final state, at time 0.

    ``bathymetry``: elevation (negative under the sea) from a tt3-layout or
    ESRI ASCII grid file, a NetCDF grid, or a tuple ``(lon, lat,
    elevation)``; interpolated bilinearly to the grid.  Needed by
    ``horizontal`` (adds u_x dh/dx + u_y dh/dy, h = -elevation, on wet nodes)
    and ``kajiura`` (see :func:`kajiura_filter`).

    Evaluation: when every subfault on every node would cost at least
    twice as much, the nodes are taken in levels, level l holding every
    2**l-th node (and two beyond each edge): each subfault is evaluated on
    the full grid near its outline, on ever sparser levels farther out
    (level l out to 16 of level l+1's spacings beyond its outline, blended by
    cosine-squared tapers), and the levels are summed from the sparsest by
    bicubic splines.  Against the full sum the uplift differs by about 1e-4
    of its peak (1.1e-4 for a 190-subfault model on a 1-arc-minute grid).
    ``levels=1`` forces the full sum.  ``progress(done, total)`` is called
    as subfaults are done.
    """
    ff = _source(source)
    lon = _axis(lon, "lon")
    lat = _axis(lat, "lat")
    if np.any(np.abs(lat) > 90.0):
        raise ValueError("lat must lie within -90 to 90 degrees")
    sub = np.array(ff.subfaults, dtype=sources.SUBFAULT_DTYPE, copy=True)
    if len(sub) == 0:
        raise ValueError("the source has no subfaults")
    for name in ("lon", "lat", "depth", "strike", "dip", "rake", "slip", "length", "width", "rigidity"):
        if not np.all(np.isfinite(sub[name])):
            raise ValueError(f"subfault {int(np.flatnonzero(~np.isfinite(sub[name]))[0])}: {name} is not finite")
    middle = 0.5 * (lon[0] + lon[-1])
    sub["lon"] = sub["lon"] - 360.0 * np.round((sub["lon"] - middle) / 360.0)
    if times is None:
        t = np.zeros(1)
        weights = np.ones((len(sub), 1))
    else:
        t = _axis(np.atleast_1d(times), "times")
        weights = ramp_weights(sub, t)
    if frame == "local":
        def make_frame(x, y):
            return _LocalFrames(x, y, sub)
    elif frame == "utm":
        zone = int(zone) if zone is not None else _utm_zone(sub)
        if not 1 <= zone <= 60:
            raise ValueError(f"zone must be 1 to 60, got {zone}")

        def make_frame(x, y):
            return _UTMFrame(x, y, sub, zone)
    else:
        raise ValueError(f"frame must be 'local' or 'utm', got {frame!r}")
    h = None
    if horizontal or kajiura:
        if bathymetry is None:
            raise ValueError("horizontal and kajiura need the bathymetry")
        if len(lon) < 2 or len(lat) < 2:
            raise ValueError("horizontal and kajiura need a grid of 2 x 2 nodes or more")
        h = _bathymetry_on(bathymetry, lon, lat)
    fr = make_frame(lon[:1], lat[:1])
    seg = sources.segment_arrays(sub, fr.origin[:, 0], fr.origin[:, 1], fr.strike)
    acc = _evaluate(make_frame, sub, seg, weights, lon, lat, horizontal, levels, progress)
    dz = acc.z
    if horizontal:
        for k in range(len(t)):
            dz[k] += horizontal_term(acc.e[k], acc.n[k], h, lon, lat)
    if kajiura:
        for k in range(len(t)):
            dz[k] = kajiura_filter(dz[k], h, lon, lat)
    if not np.all(np.isfinite(dz)):
        raise ValueError("the displacement is not finite at some nodes")
    return DTopo(lon, lat, t, dz)


# --------------------------------------------------------------------------- pictures

def subfault_outlines(sub):
    """Map outlines of subfaults, (n, 5, 2) lon/lat, closed: the top edge
    then the bottom edge, from the top centre along strike and down dip
    (offsets turned into degrees with the radii of curvature there)."""
    sub = np.asarray(sub)
    s = np.radians(sub["strike"])
    half = 0.5 * sub["length"]
    across = sub["width"] * np.cos(np.radians(sub["dip"]))
    along_e, along_n = np.sin(s), np.cos(s)
    down_e, down_n = np.cos(s), -np.sin(s)
    corners = []
    for a, d in ((-1, 0), (1, 0), (1, 1), (-1, 1), (-1, 0)):
        corners.append((a * half * along_e + d * across * down_e, a * half * along_n + d * across * down_n))
    n, m = _radii(np.radians(sub["lat"]))
    out = np.empty((len(sub), 5, 2))
    for k, (de, dn) in enumerate(corners):
        out[:, k, 0] = sub["lon"] + np.degrees(de * 1000.0 / (n * np.cos(np.radians(sub["lat"]))))
        out[:, k, 1] = sub["lat"] + np.degrees(dn * 1000.0 / m)
    return out


def plot_dtopo(dtopo, path=None, ax=None, source=None, frame=-1, title=None):
    """Map of ``dz`` (one frame, the last by default) on a diverging colour
    scale centred on 0, with the subfault outlines of ``source`` (a
    FiniteFault or a path) when given.  Saved to ``path`` when given;
    returns the axes."""
    import matplotlib
    if ax is None and path is not None:
        matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    if not isinstance(dtopo, DTopo):
        dtopo = read_dtopo(dtopo)
    z = dtopo.dz[frame]
    own = ax is None
    if own:
        fig, ax = plt.subplots(figsize=(7.0, 6.0))
    else:
        fig = ax.figure
    top = float(np.max(np.abs(z))) or 1.0
    mesh = ax.pcolormesh(dtopo.lon, dtopo.lat, z, cmap="RdBu_r", vmin=-top, vmax=top, shading="nearest")
    fig.colorbar(mesh, ax=ax, label="dz (m)")
    if source is not None:
        sub = _source(source).subfaults
        for outline in subfault_outlines(sub):
            ax.plot(outline[:, 0], outline[:, 1], color="0.3", linewidth=0.4)
    ax.set_xlim(dtopo.lon[0], dtopo.lon[-1])
    ax.set_ylim(dtopo.lat[0], dtopo.lat[-1])
    ax.set_xlabel("longitude (degrees)")
    ax.set_ylabel("latitude (degrees)")
    ax.set_aspect(1.0 / max(0.05, math.cos(math.radians(0.5 * (dtopo.lat[0] + dtopo.lat[-1])))))
    ax.set_title(title or f"dz at t = {dtopo.times[frame]:g} s: {z.min():.3g} to {z.max():.3g} m")
    if own and path is not None:
        def save(tmp):
            fig.savefig(tmp, dpi=120, format=os.path.splitext(os.fspath(path))[1][1:] or "png")
        _atomic(os.fspath(path), save, binary=True)
        plt.close(fig)
    return ax


# --------------------------------------------------------------------------- command line

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


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        raise SystemExit(_fail(f"{message} (see --help)", 2))


def _fail(message, status=1):
    sys.stderr.write(f"vadrel.tsunami: error: {message}\n")
    return status


def main(argv=None) -> int:
    p = _Parser(prog="python3 -m vadrel.tsunami",
                description="Sea-floor (or sea-surface) displacement of a finite-fault model on a "
                            "longitude/latitude grid, written for tsunami models.")
    p.add_argument("model", help="finite-fault model file (subfault table, database file or CSV)")
    p.add_argument("--region", nargs=4, type=float, required=True, metavar=("W", "E", "S", "N"),
                   help="grid limits, degrees")
    p.add_argument("--spacing", type=float, required=True, metavar="ARCMIN", help="node spacing, arc minutes")
    p.add_argument("--times", type=int, default=1, metavar="N",
                   help="N frames from 0 to the end of the rupture (default 1: the final state)")
    p.add_argument("--bathymetry", metavar="FILE", help="elevation grid (tt3 layout, ESRI ASCII, NetCDF)")
    p.add_argument("--horizontal", action="store_true", help="add the horizontal motion over sloping bathymetry")
    p.add_argument("--kajiura", action="store_true", help="sea surface by the 1/cosh(kh) filter")
    p.add_argument("--frame", choices=("local", "utm"), default="local")
    p.add_argument("--zone", type=int, help="UTM zone of --frame utm")
    p.add_argument("--format", choices=tuple(FORMATS), help="output layout (default from the extension)")
    p.add_argument("--reference", help="reference point of a subfault CSV (top center, centroid, ...)")
    p.add_argument("-o", "--output", required=True, metavar="OUT")
    a = p.parse_args(argv)
    try:
        w, e, s, n = a.region
        if not (a.spacing > 0 and math.isfinite(a.spacing)):
            raise ValueError(f"--spacing must be a positive number of arc minutes, got {a.spacing:g}")
        if not (e > w and n > s and -90 <= s and n <= 90 and all(map(math.isfinite, a.region))):
            raise ValueError("--region must be W E S N with W < E and -90 <= S < N <= 90")
        if a.times < 1:
            raise ValueError(f"--times must be 1 or more, got {a.times}")
        step = a.spacing / 60.0
        nx = int(math.floor((e - w) / step + 1e-9)) + 1
        ny = int(math.floor((n - s) / step + 1e-9)) + 1
        if float(nx) * ny > 5e8:
            raise ValueError(f"the grid of {nx} x {ny} nodes is too large")
        lon, lat = w + step * np.arange(nx), s + step * np.arange(ny)
        ff = sources.read(a.model, reference=a.reference) if a.reference else sources.read(a.model)
        for line in sources.summary(ff):
            print(line)
        times = None
        if a.times > 1:
            times = np.linspace(0.0, max(rupture_end(ff.subfaults), 1e-9), a.times)
        print(f"grid: {nx} x {ny} nodes, {w:g} to {e:g} E, {s:g} to {n:g} N, spacing {a.spacing:g} arc minutes")
        print(f"frames: {1 if times is None else len(times)}"
              + ("" if times is None else f", 0 to {times[-1]:g} s") + f"; frame: {a.frame}")
        start = time.perf_counter()
        d = dtopo(ff, lon, lat, times=times, bathymetry=a.bathymetry, horizontal=a.horizontal,
                  kajiura=a.kajiura, frame=a.frame, zone=a.zone, progress=_Bar())
        elapsed = time.perf_counter() - start
        d.write(a.output, a.format)
        print(f"dz: {d.dz.min():.4g} to {d.dz.max():.4g} m")
        print(f"elapsed: {elapsed:.2f} s")
        print(f"wrote {a.output}")
    except (ValueError, OSError) as exc:
        return _fail(str(exc))
    except MemoryError as exc:
        return _fail(f"out of memory: {exc}")
    except KeyboardInterrupt:
        return _fail("interrupted", 130)
    except Exception as exc:  # anything else still ends in one line, never a traceback
        return _fail(f"{type(exc).__name__}: {exc}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
