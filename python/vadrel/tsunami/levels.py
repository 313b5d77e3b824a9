"""The sum over subfaults on a grid: in full (every subfault on every node),
or in levels (each subfault on the full grid near its outline and on ever
sparser grids farther out, summed from the sparsest by bicubic splines).

A subfault's window on a level is found on the circle of longitudes: the
nodes within its reach east or west, wherever the grid puts the
antimeridian, so a model across it, or a grid given in -180..180 or in
0..360, is summed alike."""
from __future__ import annotations

from collections.abc import Callable
from typing import TYPE_CHECKING

import numpy as np

import vadrel
from .. import geodesy, geometry

if TYPE_CHECKING:
    from .frames import LocalFrames, UTMFrame

__all__ = ["RATIO", "NEAR", "BLEND", "DEEP", "evaluate"]

_BLOCK = 65536  # nodes per kernel call: the work arrays stay in cache


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
    m, n = geodesy.radii(lat)
    dx = np.max(np.diff(np.radians(lon))) * np.max(n * np.cos(phi)) if len(lon) > 1 else 1.0
    dy = np.max(np.diff(phi) * m[1:]) if len(lat) > 1 else 1.0
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


def _segment(seg, s):
    mu = float(seg["mu"][s])
    return vadrel.Segment(X=float(seg["X"][s]), Y=float(seg["Y"][s]), strike=float(seg["strike"][s]),
                          depth=float(seg["depth"][s]), dip=float(seg["dip"][s]), lam=mu, mu=mu,
                          U1=float(seg["U1"][s]), U2=float(seg["U2"][s]), U3=0.0, L=float(seg["L"][s]),
                          W=float(seg["W"][s]))


def _columns(lon, centre, reach):
    """The runs of nodes of the (ascending) axis ``lon`` from ``reach``
    degrees of longitude west of ``centre`` to ``reach`` east of it, measured
    on the circle: a list of slices (two where the window wraps round the
    grid's ends, none where it misses the grid)."""
    if reach >= 180.0:
        return [slice(0, len(lon))]
    mid = 0.5 * (float(lon[0]) + float(lon[-1]))
    c = (float(centre) - mid + 180.0) % 360.0 - 180.0 + mid      # the centre nearest the grid's middle
    ends = np.searchsorted(lon, [c - 360.0 - reach, c - 360.0 + reach, c - reach, c + reach,
                                 c + 360.0 - reach, c + 360.0 + reach])
    return [slice(int(a), int(b)) for a, b in zip(ends[::2], ends[1::2]) if b > a]


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
        m, n = geodesy.radii(lat)
        self.h = max(_grid_km(lon, lat))
        self.m_min, self.p_min = np.min(m), np.min(n) * max(1e-3, np.min(np.cos(phi)))
        self.size, self.reach_extra = _size(seg), seg["W"]
        self.top = geometry.top_depth(seg["depth"], seg["W"], seg["dip"])
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
            reach = outer[0] + outer[1] + self.reach_extra[s]  # km
            dlat = np.degrees(reach / self.m_min)
            dlon = np.degrees(reach / self.p_min)
            j0, j1 = (int(v) for v in np.searchsorted(lat, [self.sub_lat[s] - dlat, self.sub_lat[s] + dlat]))
            cols = _columns(lon, self.sub_lon[s], dlon)
            whole = j0 == 0 and j1 == len(lat) and len(cols) == 1 and cols[0] == slice(0, len(lon))
            if whole or l == len(self.lons) - 1:
                parts.append((l, slice(0, len(lat)), slice(0, len(lon)), inner, None))
                return parts
            if j1 > j0:
                parts.extend((l, slice(j0, j1), c, inner, outer) for c in cols)
            inner = outer
        return parts

    def cost(self, s):
        return sum((p[1].stop - p[1].start) * (p[2].stop - p[2].start) for p in self.plan(s))


def evaluate(make_frame: Callable[[np.ndarray, np.ndarray], LocalFrames | UTMFrame], sub: np.ndarray,
             seg: dict[str, np.ndarray], weights: np.ndarray, lon: np.ndarray, lat: np.ndarray, horizontal: bool,
             levels: int | None, progress: Callable[[int, int], object] | None) -> _Sum:
    """The displacement summed over the subfaults on the grid, metres: a
    sum whose ``z`` (and, with ``horizontal``, ``e`` and ``n``) are (frames,
    rows, columns) arrays."""
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
    cx, cy = geometry.segment_centre(seg["X"], seg["Y"], seg["strike"], seg["L"], seg["W"], seg["dip"])
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
