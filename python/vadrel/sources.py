"""Published finite-fault rupture models in, the program's faults file out.

    python3 -m vadrel.sources MODEL [--zone Z] [--origin LON LAT] [--format F] [--reference R] -o faults.txt

:func:`read` takes the three layouts in which finite-fault models are
published, recognised from their content:

``param``
    The subfault table with segment headers (``#Total number of
    fault_segments=``, per segment ``#Fault_segment = ...``, a boundary
    polygon and rows ``Lat. Lon. depth slip rake strike dip t_rup t_ris t_fal
    mo``; slip in cm, ``mo`` in dyne cm).  The table does not say which point
    of a subfault its coordinates give; the first row of each segment is
    placed in the segment's boundary polygon (along strike and down dip, in
    subfaults) and the nearest of its top corner at the start of the strike,
    its top centre and its centre is taken.  The older variant that states
    "lat. lon. and depth are corresponding to the centroid" (and carries a
    rigidity column in dyne/cm^2) is taken at its word.
``fsp``
    The rupture-model database layout (``%`` header lines, a column line
    ``% LAT LON X==EW Y==NS Z SLIP RAKE ...``, data rows; ``% SEGMENT #``
    blocks for several segments).  The reference point is the one the header
    states ("top-center", "center"); columns are taken by the header's names,
    and non-numeric tokens in a row are dropped with a warning.
``csv``
    A subfault CSV with a header naming its columns (``Longitude, Latitude,
    Depth(km), Length, Width, Strike, Dip, Rake, Slip``, optionally
    ``Rigidity`` in Pa, ``Rupture_time``, ``Rise_time``, ``Segment``); the
    reference point is the argument ``reference``: ``top center``,
    ``centroid``, ``bottom center`` or ``noaa sift`` (longitude and latitude
    of the bottom centre with the depth of the top).

Every point is turned into the subfault's top centre (:data:`SUBFAULT_DTYPE`)
on the WGS 84 ellipsoid.  Rigidity: the file's (a column, the velocity
structure of an ``fsp`` header, or a subfault's moment divided by its slip
and area), else 30 GPa with a warning.  The moment magnitude is
Mw = 2/3 (log10 M0 - 9.1), M0 in N m.
"""
from __future__ import annotations

import argparse
import csv
import io
import math
import os
import re
import sys
from dataclasses import dataclass, field

import numpy as np

import vadrel
from vadrel.io.files import replace_file as _replace_file

__all__ = ["SUBFAULT_DTYPE", "FiniteFault", "read", "segment_arrays", "subfault_corners", "offset_lonlat",
           "grid_strike", "moment_magnitude", "write_faults", "plot_finite_fault", "main"]

#: One row per subfault.  ``lon``, ``lat``: the top centre (midpoint of the
#: up-dip edge), degrees; ``depth``: top depth, km; ``strike`` (azimuth from
#: true north), ``dip``, ``rake`` degrees; ``slip`` m; ``length``, ``width``
#: km; ``rigidity`` Pa; ``rupture_time``, ``rise_time`` s (NaN where the file
#: has none); ``segment`` from 0.
SUBFAULT_DTYPE = np.dtype([("lon", "f8"), ("lat", "f8"), ("depth", "f8"), ("strike", "f8"), ("dip", "f8"),
                           ("rake", "f8"), ("slip", "f8"), ("length", "f8"), ("width", "f8"),
                           ("rigidity", "f8"), ("rupture_time", "f8"), ("rise_time", "f8"),
                           ("segment", "i4")])

DEFAULT_RIGIDITY = 3.0e10  # Pa

_A = 6378137.0                    # WGS 84 semi-major axis, m
_F = 1.0 / 298.257223563
_E2 = _F * (2.0 - _F)

# Where a subfault's reference point lies, as fractions of its length along
# strike and of its width down dip from the top corner at the start of the
# strike.
_REFERENCES = {
    "top corner": (0.0, 0.0),
    "top center": (0.5, 0.0),
    "centroid": (0.5, 0.5),
    "bottom center": (0.5, 1.0),
}
_REFERENCE_ALIASES = {"top centre": "top center", "top center": "top center", "top-center": "top center",
                      "centroid": "centroid", "center": "centroid", "centre": "centroid",
                      "bottom center": "bottom center", "bottom centre": "bottom center",
                      "noaa sift": "noaa sift", "sift": "noaa sift", "top corner": "top corner"}


def moment_magnitude(moment):
    """Mw = 2/3 (log10 M0 - 9.1), M0 in N m."""
    return 2.0 / 3.0 * (math.log10(moment) - 9.1) if moment > 0 else float("nan")


def _radii(lat):
    """Meridian and prime-vertical radii of curvature (km) at ``lat`` degrees."""
    s2 = np.sin(np.radians(lat)) ** 2
    w = np.sqrt(1.0 - _E2 * s2)
    return _A * (1.0 - _E2) / w ** 3 / 1000.0, _A / w / 1000.0


def offset_lonlat(lon, lat, east, north):
    """The point ``east``, ``north`` km from (``lon``, ``lat``) in the local
    tangent plane of the ellipsoid, to second order in the offset (the
    radii are taken at the mid latitude): exact to a few metres for 20 km."""
    lon = np.asarray(lon, dtype=float)
    lat = np.asarray(lat, dtype=float)
    M, _ = _radii(lat)
    mid = lat + 0.5 * np.degrees(north / M)
    M, N = _radii(mid)
    return (lon + np.degrees(east / (N * np.cos(np.radians(mid)))), lat + np.degrees(north / M))


def _tangent(lon0, lat0, lon, lat):
    """East and north km of (lon, lat) from (lon0, lat0), the inverse of
    :func:`offset_lonlat`."""
    mid = 0.5 * (np.asarray(lat0, dtype=float) + lat)
    M, N = _radii(mid)
    return (np.radians(np.asarray(lon) - lon0) * N * np.cos(np.radians(mid)),
            np.radians(np.asarray(lat) - lat0) * M)


def _directions(strike, dip):
    """Unit vectors (east, north) along strike and horizontally down dip
    (to the right of the strike), and cos/sin of the dip."""
    s = np.radians(strike)
    d = np.radians(dip)
    return (np.sin(s), np.cos(s)), (np.cos(s), -np.sin(s)), np.cos(d), np.sin(d)


def _move(lon, lat, depth, strike, dip, along, down):
    """Move points ``along`` km along strike and ``down`` km down dip in
    the fault plane: new (lon, lat, depth)."""
    (se, sn), (de, dn), cd, sd = _directions(strike, dip)
    east = along * se + down * cd * de
    north = along * sn + down * cd * dn
    lon2, lat2 = offset_lonlat(lon, lat, east, north)
    return lon2, lat2, depth + down * sd


def subfault_corners(sub):
    """Corners of the subfaults, an (n, 4, 3) array of lon, lat, depth km:
    top at the start of the strike, top at the end, bottom at the end,
    bottom at the start."""
    sub = np.asarray(sub)
    out = np.empty((len(sub), 4, 3))
    for k, (a, b) in enumerate(((-0.5, 0.0), (0.5, 0.0), (0.5, 1.0), (-0.5, 1.0))):
        lon, lat, z = _move(sub["lon"], sub["lat"], sub["depth"], sub["strike"], sub["dip"],
                            a * sub["length"], b * sub["width"])
        out[:, k, 0], out[:, k, 1], out[:, k, 2] = lon, lat, z
    return out


def grid_strike(lon, lat, strike, zone):
    """Strikes (azimuths from true north, degrees) turned into the grid
    frame of UTM ``zone``: the direction of the projected strike line at the
    point, so the meridian convergence (about dlon sin(lat)) is taken off."""
    lon = np.asarray(lon, dtype=float)
    lat = np.asarray(lat, dtype=float)
    s = np.radians(strike)
    h = 0.05  # km either side: the projection is conformal, a short chord gives the angle
    lo1, la1 = offset_lonlat(lon, lat, -h * np.sin(s), -h * np.cos(s))
    lo2, la2 = offset_lonlat(lon, lat, h * np.sin(s), h * np.cos(s))
    e1, n1 = vadrel.utm(lo1, la1, zone)
    e2, n2 = vadrel.utm(lo2, la2, zone)
    return np.degrees(np.arctan2(np.asarray(e2) - e1, np.asarray(n2) - n1)) % 360.0


def segment_arrays(sub, x, y, strike):
    """The program's segment fields of subfaults, vectorised.

    ``sub``: array of ``SUBFAULT_DTYPE``; ``x``, ``y``: their top centres in
    some frame, km; ``strike``: their strikes in that frame, degrees.  Returns
    a dict of arrays ``X``, ``Y`` (surface point above the start of the deep
    edge), ``strike``, ``depth`` (of the deep edge), ``dip``, ``L``, ``W``,
    ``U1`` (strike slip, left-lateral positive), ``U2`` (dip slip, reverse
    positive) in mm, and ``mu`` (the rigidity).  The patch dips to the right
    of the strike direction; the rake is measured in the fault plane from the
    strike direction, counter-clockwise seen from the hanging wall, so
    U1 = slip cos(rake), U2 = slip sin(rake).
    """
    sub = np.asarray(sub)
    x = np.asarray(x, dtype=float)
    y = np.asarray(y, dtype=float)
    (se, sn), (de, dn), cd, sd = _directions(np.asarray(strike, dtype=float), sub["dip"])
    L = sub["length"].astype(float)
    W = sub["width"].astype(float)
    r = np.radians(sub["rake"])
    slip_mm = sub["slip"] * 1000.0
    return {
        "X": x - 0.5 * L * se + W * cd * de, "Y": y - 0.5 * L * sn + W * cd * dn,
        "strike": np.asarray(strike, dtype=float) % 360.0, "depth": sub["depth"] + W * sd,
        "dip": sub["dip"].astype(float), "L": L, "W": W,
        "U1": slip_mm * np.cos(r), "U2": slip_mm * np.sin(r), "mu": sub["rigidity"].astype(float),
    }


def _zone(lon):
    return int(min(60, max(1, math.floor((lon + 180.0) / 6.0) + 1)))


@dataclass
class FiniteFault:
    """A finite-fault model: its subfaults (:data:`SUBFAULT_DTYPE`), scalar
    moment (N m), Mw, hypocentre (lon, lat, depth km, or None), boundary
    polygons ((k, 3) arrays of lon, lat, depth km), the reference point taken
    for each segment, the warnings of the reading, the format and the path."""
    subfaults: np.ndarray
    moment: float
    Mw: float
    hypocentre: tuple | None = None
    boundary: list = field(default_factory=list)
    reference: list = field(default_factory=list)
    warnings: list = field(default_factory=list)
    format: str = ""
    path: str | None = None

    @property
    def segments(self):
        """Number of segments."""
        return int(self.subfaults["segment"].max()) + 1 if len(self.subfaults) else 0

    def centroid(self):
        """Moment-weighted mean (lon, lat) of the subfault centres (the plain
        mean where there is no moment)."""
        sub = self.subfaults
        lon, lat, _ = _move(sub["lon"], sub["lat"], sub["depth"], sub["strike"], sub["dip"], 0.0,
                            0.5 * sub["width"])
        w = sub["rigidity"] * np.abs(sub["slip"]) * sub["length"] * sub["width"]
        if not np.sum(w) > 0:
            w = np.ones(len(sub))
        return float(np.average(lon, weights=w)), float(np.average(lat, weights=w))

    def default_zone(self):
        """The UTM zone of the moment centroid."""
        return _zone(self.centroid()[0])

    def to_faults(self, zone=None, origin=None, lam=None) -> vadrel.Faults:
        """The subfaults as the program's segments.

        Positions are UTM km of ``zone`` (default: the zone of the moment
        centroid): absolute (easting with its false easting, northing from
        the equator), as ``G`` and ``S`` grid cards use, or measured from
        ``origin`` = (lon, lat) as after a ``Z`` card.  Each strike is
        turned into the grid frame at its subfault (meridian convergence);
        lengths stay true lengths (the zone's scale error, under 0.1 % inside
        a zone, is not applied).  Slips in mm; lambda = mu unless ``lam``
        (Pa) is given.  Segment names are ``S<segment>_<subfault>``.
        """
        sub = self.subfaults
        if len(sub) == 0:
            raise ValueError("the model has no subfaults")
        zone = self.default_zone() if zone is None else int(zone)
        if not 1 <= zone <= 60:
            raise ValueError(f"UTM zone {zone} is not in 1..60")
        e, n = vadrel.utm(sub["lon"], sub["lat"], zone)
        x, y = np.asarray(e) / 1000.0, np.asarray(n) / 1000.0
        if origin is not None:
            e0, n0 = vadrel.utm(float(origin[0]), float(origin[1]), zone)
            x, y = x - e0 / 1000.0, y - n0 / 1000.0
        g = segment_arrays(sub, x, y, grid_strike(sub["lon"], sub["lat"], sub["strike"], zone))
        lam_v = g["mu"] if lam is None else np.full(len(sub), float(lam))
        segs = []
        count = {}
        for k in range(len(sub)):
            s = int(sub["segment"][k])
            count[s] = count.get(s, 0) + 1
            segs.append(vadrel.Segment(X=float(g["X"][k]), Y=float(g["Y"][k]), strike=float(g["strike"][k]),
                                       depth=float(g["depth"][k]), dip=float(g["dip"][k]),
                                       lam=float(lam_v[k]), mu=float(g["mu"][k]), U1=float(g["U1"][k]),
                                       U2=float(g["U2"][k]), U3=0.0, L=float(g["L"][k]),
                                       W=float(g["W"][k]), name=f"S{s + 1}_{count[s]}"))
        return vadrel.Faults(segs)


# ---------------------------------------------------------------- reading

class _Source:
    """Lines of a file with their numbers, and errors that name them."""

    def __init__(self, path, text):
        self.path = path
        self.lines = text.splitlines()

    def error(self, number, reason):
        return ValueError(f"{self.path}: line {number}: {reason}")


_NUMBER = r"[-+]?(?:\d+\.?\d*|\.\d+)(?:[eEdD][-+]?\d+)?"


def _float(src, number, token, what):
    try:
        v = float(token.replace("D", "E").replace("d", "e"))
    except ValueError:
        raise src.error(number, f"{what}: {token!r} is not a number") from None
    if not math.isfinite(v):
        raise src.error(number, f"{what}: {token!r} is not a finite number")
    return v


def _detect(src):
    for number, line in enumerate(src.lines, 1):
        t = line.strip()
        if not t:
            continue
        if t.startswith("%"):
            return "fsp"
        if t.startswith("#"):
            if "fault_segment" in t.lower():
                return "param"
            if number < 50:
                continue          # a comment above a table or a CSV header
        low = t.lower()
        if "," in t and "lon" in low and "lat" in low:
            return "csv"
        raise src.error(number, "not a finite-fault model: expected a subfault table ('#Total number of "
                                "fault_segments='), a rupture-model database file ('%' header lines) or a "
                                "subfault CSV with a header naming its columns")
    raise ValueError(f"{src.path}: line 1: the file is empty")


def _check_rows(src, rows, numbers):
    """Geometry a subfault cannot do without."""
    for k, r in enumerate(rows):
        if not 0.0 < r["dip"] <= 90.0:
            raise src.error(numbers[k], f"dip {r['dip']:g} is not in (0, 90] degrees")
        if not (r["length"] > 0 and r["width"] > 0):
            raise src.error(numbers[k], "subfault length and width must be positive")
        if not -90.0 <= r["lat"] <= 90.0:
            raise src.error(numbers[k], f"latitude {r['lat']:g} is beyond 90 degrees")


def _to_top_centre(rows, reference):
    """Move reference points (lon, lat, depth in the rows) to top centres."""
    if reference == "noaa sift":
        # bottom centre's position with the top's depth: move up dip horizontally only
        lon, lat, _ = _move(rows["lon"], rows["lat"], rows["depth"], rows["strike"], rows["dip"], 0.0,
                            -rows["width"])
        rows["lon"], rows["lat"] = lon, lat
        return
    a, b = _REFERENCES[reference]
    lon, lat, z = _move(rows["lon"], rows["lat"], rows["depth"], rows["strike"], rows["dip"],
                        (0.5 - a) * rows["length"], -b * rows["width"])
    rows["lon"], rows["lat"], rows["depth"] = lon, lat, z


def _canonical_reference(reference):
    key = re.sub(r"[\s_\-]+", " ", str(reference).strip().lower())
    if key not in _REFERENCE_ALIASES:
        raise ValueError(f"unknown reference point {reference!r}: use top center, centroid, bottom center "
                         "or noaa sift")
    return _REFERENCE_ALIASES[key]


def _rigidity_from_moment(rows, moment, warnings, label, fallback=None):
    """mu = moment / (slip area) where there is slip; elsewhere ``fallback``
    (an array) or the median of the others."""
    area = rows["length"] * rows["width"] * 1.0e6
    with np.errstate(divide="ignore", invalid="ignore"):
        mu = moment / (np.abs(rows["slip"]) * area)
    ok = (rows["slip"] != 0) & np.isfinite(mu) & (mu > 0)
    if fallback is not None:
        mu = np.where(ok, mu, fallback)
    elif ok.any():
        med = float(np.median(mu[ok]))
        if not ok.all():
            warnings.append(f"{label}: {int((~ok).sum())} subfaults without slip take the median "
                            f"rigidity of the others, {med:.4g} Pa")
        mu = np.where(ok, mu, med)
    else:
        warnings.append(f"{label}: no subfault has slip; rigidity taken as {DEFAULT_RIGIDITY:g} Pa")
        mu = np.full(len(rows), DEFAULT_RIGIDITY)
    return mu


def _empty(n):
    rows = np.zeros(n, dtype=SUBFAULT_DTYPE)
    rows["rupture_time"] = np.nan
    rows["rise_time"] = np.nan
    return rows


# --- subfault table with segment headers

_PARAM_NAMES = {"lat": "lat", "lon": "lon", "depth": "depth", "slip": "slip", "rake": "rake",
                "strike": "strike", "dip": "dip", "t_rup": "t_rup", "t_ris": "t_ris", "t_fal": "t_fal",
                "mo": "mo", "rigidity": "rigidity", "rig": "rigidity", "mu": "rigidity"}


def _read_param(src, reference):
    warnings, boundary, refs = [], [], []
    segments = []      # per segment: dict(header, nx, ny, dx, dy, rows, numbers, polygon, hypo)
    columns = None
    stated_centroid = False
    declared = None
    cur = None
    state = None
    for number, line in enumerate(src.lines, 1):
        t = line.strip()
        if not t:
            continue
        low = t.lower()
        if t.startswith("#"):
            if "total number of fault_segments" in low:
                m = re.search(r"=\s*(\d+)", t)
                if not m:
                    raise src.error(number, "no number of segments after '='")
                declared = int(m.group(1))
            elif low.lstrip("# ").startswith("fault_segment"):
                m = re.search(r"=\s*(\d+)\s+nx\(along-strike\)\s*=\s*(\d+)\s+dx\s*=\s*(" + _NUMBER
                              + r")\s*km\s+ny\(downdip\)\s*=\s*(\d+)\s+dy\s*=\s*(" + _NUMBER + r")\s*km", low)
                if not m:
                    raise src.error(number, "a segment header must read '#Fault_segment = k nx(Along-strike)= n "
                                            "Dx = d km ny(downdip)= n Dy = d km'")
                cur = {"nx": int(m.group(2)), "dx": float(m.group(3)), "ny": int(m.group(4)),
                       "dy": float(m.group(5)), "rows": [], "numbers": [], "polygon": [], "hypo": None,
                       "line": number}
                if cur["nx"] < 1 or cur["ny"] < 1 or not (cur["dx"] > 0 and cur["dy"] > 0):
                    raise src.error(number, "subfault counts and sizes must be positive")
                segments.append(cur)
                state = None
            elif low.lstrip("# ").startswith("boundary of fault_segment"):
                if cur is None:
                    raise src.error(number, "a boundary before any '#Fault_segment' header")
                m = re.search(r"cell\s*\(\s*(\d+)\s*,\s*(\d+)\s*\).*lon:\s*(" + _NUMBER + r")\s+lat:\s*("
                              + _NUMBER + ")", low)
                if m:
                    cur["hypo"] = (int(m.group(1)), int(m.group(2)), float(m.group(3)), float(m.group(4)))
                state = "boundary"
            elif "centroid" in low and "lat" in low:
                stated_centroid = True
            elif low.lstrip("# ").startswith("lon.") and state == "boundary":
                pass
            elif low.lstrip("# ").startswith("lat."):
                names = [w.strip(".").lower() for w in t.lstrip("# ").split()]
                unknown = [w for w in names if w not in _PARAM_NAMES]
                if unknown and columns is None:
                    warnings.append(f"line {number}: column(s) {', '.join(unknown)} not used")
                columns = [_PARAM_NAMES.get(w, "unused:" + w) for w in names]
                for need in ("lat", "lon", "depth", "slip", "rake", "strike", "dip"):
                    if need not in columns:
                        raise src.error(number, f"the column line has no {need!r} column")
                state = "rows"
            continue
        if cur is None:
            raise src.error(number, "a data line before any '#Fault_segment' header")
        tokens = t.split()
        if state == "boundary":
            if len(tokens) != 3:
                raise src.error(number, f"a boundary corner needs 3 numbers (lon lat depth), got {len(tokens)}")
            cur["polygon"].append([_float(src, number, w, "boundary corner") for w in tokens])
        elif state == "rows":
            if len(tokens) != len(columns):
                raise src.error(number, f"{len(tokens)} values, the column line names {len(columns)}")
            cur["rows"].append([_float(src, number, w, name) for w, name in zip(tokens, columns)])
            cur["numbers"].append(number)
        else:
            raise src.error(number, "a data line outside a boundary or subfault block")
    if not segments:
        raise ValueError(f"{src.path}: line 1: no '#Fault_segment' header")
    if declared is not None and declared != len(segments):
        raise ValueError(f"{src.path}: line {len(src.lines)}: {len(segments)} segments, the header "
                         f"declares {declared}")
    parts, hypo = [], None
    for s, seg in enumerate(segments):
        label = f"segment {s + 1}"
        n = seg["nx"] * seg["ny"]
        if len(seg["rows"]) != n:
            last = seg["numbers"][-1] if seg["numbers"] else seg["line"]
            raise src.error(last, f"{label} has {len(seg['rows'])} subfault rows, its header declares "
                                  f"{seg['nx']} x {seg['ny']} = {n}")
        data = np.array(seg["rows"])
        col = {name: data[:, k] for k, name in enumerate(columns)}
        rows = _empty(n)
        for name in ("lat", "lon", "depth", "rake", "strike", "dip"):
            rows[name] = col[name]
        rows["slip"] = col["slip"] / 100.0
        rows["length"], rows["width"], rows["segment"] = seg["dx"], seg["dy"], s
        if "t_rup" in col:
            rows["rupture_time"] = col["t_rup"]
        if "t_ris" in col:
            rows["rise_time"] = col["t_ris"] + col.get("t_fal", 0.0)
        _check_rows(src, rows, seg["numbers"])
        poly = np.array(seg["polygon"]) if seg["polygon"] else None
        if poly is not None:
            boundary.append(poly)
        if reference is not None:
            ref, why = reference, "given"
        elif stated_centroid:
            ref, why = "centroid", "stated in the file"
        elif poly is None:
            ref, why = "centroid", "no boundary polygon to compare with: assumed"
            warnings.append(f"{label}: no boundary polygon; subfault coordinates taken as centroids")
        else:
            ref, why = _place_in_polygon(rows[0], poly, label, warnings)
        refs.append(f"{ref} ({why})")
        if "rigidity" in col:
            rows["rigidity"] = col["rigidity"] * 0.1          # dyne/cm^2 -> Pa
        elif "mo" in col:
            rows["rigidity"] = _rigidity_from_moment(rows, col["mo"] * 1.0e-7, warnings, label)
        else:
            rows["rigidity"] = DEFAULT_RIGIDITY
            warnings.append(f"{label}: no rigidity or moment column; rigidity taken as {DEFAULT_RIGIDITY:g} Pa")
        if seg["hypo"] is not None and hypo is None:
            i, j, lon, lat = seg["hypo"]
            k = (j - 1) * seg["nx"] + (i - 1)
            hypo = (lon, lat, float(rows["depth"][k])) if 0 <= k < n else (lon, lat, float("nan"))
        _to_top_centre(rows, ref)
        parts.append(rows)
    return np.concatenate(parts), hypo, boundary, refs, warnings


def _place_in_polygon(first, poly, label, warnings):
    """Where the first subfault's point lies in its segment's boundary
    polygon, in subfaults along strike and down dip from the polygon's top
    corner at the start of the strike; the nearest known reference."""
    east, north = _tangent(first["lon"], first["lat"], poly[:, 0], poly[:, 1])
    (se, sn), (de, dn), cd, sd = _directions(first["strike"], first["dip"])
    u = east * se + north * sn
    v = (east * de + north * dn) * cd + (poly[:, 2] - first["depth"]) * sd
    a = -u.min() / first["length"]
    b = -v.min() / first["width"]
    name = min(("top corner", "top center", "centroid"),
               key=lambda r: max(abs(a - _REFERENCES[r][0]), abs(b - _REFERENCES[r][1])))
    miss = max(abs(a - _REFERENCES[name][0]), abs(b - _REFERENCES[name][1]))
    if miss > 0.25:
        warnings.append(f"{label}: the first subfault lies {a:.2f} subfaults along strike and {b:.2f} down dip "
                        f"of the boundary's top corner, far from any usual reference point; taken as {name}")
    why = f"first subfault {a:.2f} along strike, {b:.2f} down dip of the boundary's top corner"
    return name, why


# --- rupture-model database files

_FSP_COLUMNS = {"LAT": "lat", "LON": "lon", "X==EW": "x", "Y==NS": "y", "X": "x", "Y": "y", "Z": "depth",
                "SLIP": "slip", "RAKE": "rake", "TRUP": "trup", "RISE": "rise", "SF_MOMENT": "moment",
                "STRK": "strike", "STRIKE": "strike", "DIP": "dip"}
_PAIR = re.compile(r"([A-Za-z][A-Za-z0-9_]*)\s*=\s*(" + _NUMBER + ")")


def _read_fsp(src, reference):
    warnings = []
    glob, segs = {}, []
    columns, stated, layers, in_layers = None, None, [], False
    cur = None
    stray = {}
    for number, line in enumerate(src.lines, 1):
        t = line.strip()
        if not t:
            continue
        if t.startswith("%"):
            body = t.lstrip("%").strip()
            up = body.upper()
            m = re.match(r"SEGMENT\s*#\s*(\d+)", up)
            if m:
                cur = {"keys": {}, "rows": [], "numbers": [], "line": number, "columns": None}
                segs.append(cur)
            label = body.split(":", 1)[0].strip().upper() if ":" in body else ""
            target = cur["keys"] if cur is not None else glob
            for key, val in _PAIR.findall(body):
                target.setdefault((label, key.upper()), float(val.replace("D", "E").replace("d", "e")))
                target.setdefault(("", key.upper()), float(val.replace("D", "E").replace("d", "e")))
            ms = re.search(r"coordinates are given for\s+([a-z\- ]+?)\s+of each subfault", body.lower())
            if ms:
                stated = ms.group(1)
            toks = body.split()
            if "LAT" in toks and "LON" in toks and "SLIP" in toks:
                columns = []
                for w in toks:
                    if w not in _FSP_COLUMNS:
                        # time-window slips and other columns this reader does not need keep their names
                        columns.append(w.lower())
                    else:
                        columns.append(_FSP_COLUMNS[w])
                in_layers = False
            elif "DEPTH" in up and "DENS" in up and ("S_VEL" in up or "S-VEL" in up):
                names = [w.upper().replace("-", "_") for w in toks]
                in_layers = (names.index("DEPTH"), names.index("S_VEL"), names.index("DENS"))
            elif in_layers and toks and all(re.fullmatch(_NUMBER, w) for w in toks):
                i, j, k = in_layers
                layers.append((float(toks[i]), float(toks[j]), float(toks[k])))
            elif in_layers and toks and not toks[0].startswith("["):
                in_layers = False if layers else in_layers
            continue
        if columns is None:
            raise src.error(number, "a data row before the column line ('% LAT LON ... SLIP ...')")
        if cur is None:
            cur = {"keys": {}, "rows": [], "numbers": [], "line": number, "columns": None}
            segs.append(cur)
        if cur["rows"] and cur["columns"] is not columns:
            raise src.error(number, "a column line inside a segment's rows")
        cur["columns"] = columns
        values = []
        for w in t.split():
            if re.fullmatch(_NUMBER, w):
                values.append(_float(src, number, w, "value"))
            elif re.fullmatch(r"[-+]?(nan|inf|infinity)", w.lower()):
                raise src.error(number, f"{w!r} is not a finite number")
            else:
                stray.setdefault(w, []).append(number)
        if len(values) < len(columns):
            raise src.error(number, f"{len(values)} numbers, the column line names {len(columns)}")
        if len(values) > len(columns):
            raise src.error(number, f"{len(values)} numbers, more than the {len(columns)} columns the column "
                                    "line names")
        cur["rows"].append(values)
        cur["numbers"].append(number)
    if columns is None:
        raise ValueError(f"{src.path}: line {len(src.lines)}: no column line ('% LAT LON ... SLIP ...')")
    for w, where in stray.items():
        warnings.append(f"non-numeric token {w!r} between the columns of {len(where)} rows "
                        f"(lines {where[0]}..{where[-1]}) dropped")
    segs = [s for s in segs if s["rows"]]
    if not segs:
        raise ValueError(f"{src.path}: line {len(src.lines)}: no subfault rows")
    nsg = glob.get(("INVS", "NSG"))
    if nsg is not None and int(nsg) != len(segs):
        raise ValueError(f"{src.path}: line {len(src.lines)}: {len(segs)} segments of rows, the header "
                         f"declares Nsg = {int(nsg)}")
    if reference is not None:
        ref, why = reference, "given"
    elif stated is not None:
        key = re.sub(r"[\s\-]+", " ", stated)
        if key not in _REFERENCE_ALIASES:
            raise ValueError(f"{src.path}: line 1: unknown reference point {stated!r} in the header")
        ref, why = _REFERENCE_ALIASES[key], f"stated in the header: {stated}"
    else:
        ref, why = "centroid", "not stated in the header: assumed"
        warnings.append("the header does not say which point of a subfault the coordinates give; "
                        "taken as the centre")

    def get(keys, names, label=None):
        for d in keys:
            for n in names:
                if label is not None and (label, n) in d:
                    return d[(label, n)]
                if label is None and ("", n) in d:
                    return d[("", n)]
        return None

    parts, refs = [], []
    has_moment = True
    for s, seg in enumerate(segs):
        label = f"segment {s + 1}"
        first = seg["numbers"][0]
        keys = [seg["keys"], glob] if len(segs) > 1 else [glob, seg["keys"]]
        dx = get(keys, ["DX"])
        dz = get(keys, ["DZ"])
        if dx is None or dz is None or not (dx > 0 and dz > 0):
            raise src.error(first, f"{label}: no positive subfault size (Dx, Dz) in the header")
        for need in ("lat", "lon", "depth", "slip"):
            if need not in seg["columns"]:
                raise src.error(first, f"the column line has no {need.upper()} column")
        data = np.array(seg["rows"])
        col = {name: data[:, k] for k, name in enumerate(seg["columns"])}
        has_moment = has_moment and "moment" in col
        n = len(data)
        nx, nz = get(keys, ["NX"]), get(keys, ["NZ"])
        count = get([seg["keys"]], ["NSBFS"]) if len(segs) > 1 else (nx * nz if nx and nz else None)
        if count is not None and int(count) != n:
            raise src.error(seg["numbers"][-1], f"{label} has {n} subfault rows, the header declares "
                                                f"{int(count)}")
        rows = _empty(n)
        rows["lat"], rows["lon"], rows["depth"], rows["slip"] = col["lat"], col["lon"], col["depth"], col["slip"]
        for name, keyn, what in (("strike", ["STRK", "STRIKE"], "strike"), ("dip", ["DIP"], "dip"),
                                 ("rake", ["RAKE"], "rake")):
            if name in col:
                rows[name] = col[name]
            else:
                v = get(keys, keyn)
                if v is None:
                    raise src.error(first, f"{label}: no {what} column and no {what} in the header")
                rows[name] = v
        rows["length"], rows["width"], rows["segment"] = dx, dz, s
        if "trup" in col:
            rows["rupture_time"] = col["trup"]
        if "rise" in col:
            rows["rise_time"] = col["rise"]
        _check_rows(src, rows, seg["numbers"])
        refs.append(f"{ref} ({why})")
        _to_top_centre(rows, ref)
        htop = get([glob], ["HTOP"], "MECH") if len(segs) == 1 else get([seg["keys"]], ["Z2TOP"])
        top = float(rows["depth"].min())
        if htop is not None and abs(top - htop) > 0.05 * dz * math.sin(math.radians(rows["dip"].min())):
            warnings.append(f"{label}: the rows, taken as {ref}, put the top of the fault at {top:.3f} km; "
                            f"the header says {htop:g} km")
        structure = _layer_rigidity(layers, rows) if layers else None
        if "moment" in col:
            rows["rigidity"] = _rigidity_from_moment(rows, col["moment"], warnings, label, structure)
        else:
            rows["rigidity"] = np.nan if structure is None else structure
        parts.append(rows)
    sub = np.concatenate(parts)
    header_mo = get([glob], ["MO"], "SIZE")
    todo = np.isnan(sub["rigidity"])
    if not has_moment:
        # No moment per subfault: one rigidity that gives the published moment,
        # else the velocity structure's rho beta^2, else the default.
        slip_area = float(np.sum(np.abs(sub["slip"]) * sub["length"] * sub["width"] * 1.0e6))
        if header_mo is not None and header_mo > 0 and slip_area > 0:
            note = ""
            if layers:
                layered = float(np.sum(sub["rigidity"] * np.abs(sub["slip"]) * sub["length"] * sub["width"])) * 1e6
                note = f"; the velocity structure's rho beta^2 would give {layered:.4g} N m"
            sub["rigidity"] = header_mo / slip_area
            warnings.append(f"rigidity {header_mo / slip_area:.4g} Pa throughout, the header's Mo divided by the "
                            f"subfaults' slip times area{note}")
            todo[:] = False
        elif layers:
            todo[:] = False
    if todo.any():
        sub["rigidity"][todo] = DEFAULT_RIGIDITY
        warnings.append(f"{int(todo.sum())} subfaults without a rigidity in the file take {DEFAULT_RIGIDITY:g} Pa")
    lat, lon, dep = get([glob], ["LAT"], "LOC"), get([glob], ["LON"], "LOC"), get([glob], ["DEP"], "LOC")
    hypo = (lon, lat, dep) if lat is not None and lon is not None else None
    return sub, hypo, [], refs, warnings, header_mo


def _layer_rigidity(layers, rows):
    """mu = rho beta^2 of the layer holding each subfault's centre (layer
    tops in km, S velocity in km/s, density in g/cm^3)."""
    tops = np.array([l[0] for l in layers])
    mu = np.array([l[2] * 1000.0 * (l[1] * 1000.0) ** 2 for l in layers])
    order = np.argsort(tops)
    tops, mu = tops[order], mu[order]
    centre = rows["depth"] + 0.5 * rows["width"] * np.sin(np.radians(rows["dip"]))
    return mu[np.clip(np.searchsorted(tops, centre, side="right") - 1, 0, len(mu) - 1)]


# --- subfault CSV

_CSV_COLUMNS = {"longitude": "lon", "lon": "lon", "latitude": "lat", "lat": "lat", "depth": "depth",
                "length": "length", "width": "width", "strike": "strike", "dip": "dip", "rake": "rake",
                "slip": "slip", "rigidity": "rigidity", "mu": "rigidity", "rupture_time": "rupture_time",
                "rupturetime": "rupture_time", "trup": "rupture_time", "rise_time": "rise_time",
                "risetime": "rise_time", "rise": "rise_time", "segment": "segment"}


def _read_csv(src, reference):
    warnings = []
    if reference is None:
        reference = "top center"
        warnings.append("no reference point given for the CSV subfaults; taken as the top centre")
    reader = csv.reader(io.StringIO("\n".join(src.lines)))
    header, header_line, data, numbers = None, 0, [], []
    for number, fields in enumerate(reader, 1):
        if not fields or not "".join(fields).strip() or fields[0].lstrip().startswith("#"):
            continue
        if header is None:
            header = []
            for f in fields:
                key = re.sub(r"\(.*?\)", "", f).strip().lower().replace(" ", "_")
                if key not in _CSV_COLUMNS:
                    raise src.error(number, f"unknown column {f.strip()!r} in the header")
                header.append(_CSV_COLUMNS[key])
            header_line = number
            for need in ("lon", "lat", "depth", "length", "width", "strike", "dip", "rake", "slip"):
                if need not in header:
                    raise src.error(number, f"the header has no {need!r} column")
            continue
        if len(fields) != len(header):
            raise src.error(number, f"{len(fields)} fields, the header names {len(header)}")
        data.append([_float(src, number, f.strip(), name) for f, name in zip(fields, header)])
        numbers.append(number)
    if not data:
        raise src.error(max(header_line, 1), "no subfault rows")
    data = np.array(data)
    rows = _empty(len(data))
    for k, name in enumerate(header):
        rows[name] = data[:, k]
    if "rigidity" not in header:
        rows["rigidity"] = DEFAULT_RIGIDITY
        warnings.append(f"no rigidity column; rigidity taken as {DEFAULT_RIGIDITY:g} Pa")
    _check_rows(src, rows, numbers)
    if "segment" in header:
        seg = data[:, header.index("segment")]
        if np.any(seg != np.round(seg)) or np.any(seg < 0):
            raise src.error(numbers[int(np.argmax((seg != np.round(seg)) | (seg < 0)))],
                            "segment must be a whole number from 0")
    nseg = int(rows["segment"].max()) + 1
    _to_top_centre(rows, reference)
    return rows, None, [], [f"{reference} (given)"] * nseg, warnings


def read(path, format=None, reference=None) -> FiniteFault:
    """Read a finite-fault model (see the module's description).

    ``format``: ``"param"``, ``"fsp"`` or ``"csv"``, or None to recognise it
    from the content.  ``reference``: the point of each subfault the
    coordinates give (``top center``, ``centroid``, ``bottom center``,
    ``noaa sift``); needed for CSV files, and overriding the file's own
    convention for the others.  Raises ``ValueError`` naming the file, the
    line and the reason for anything that does not parse, ``OSError`` when
    the file cannot be read.
    """
    path = os.fspath(path)
    with open(path, encoding="utf-8", errors="strict") as f:
        try:
            text = f.read()
        except UnicodeDecodeError as e:
            raise ValueError(f"{path}: line 1: not a text file ({e.reason})") from None
    src = _Source(path, text.lstrip("\ufeff"))
    fmt = _detect(src) if format is None else str(format).lower()
    if reference is not None:
        reference = _canonical_reference(reference)
    header_mo = None
    if fmt == "param":
        sub, hypo, boundary, refs, warnings = _read_param(src, reference)
    elif fmt == "fsp":
        sub, hypo, boundary, refs, warnings, header_mo = _read_fsp(src, reference)
    elif fmt == "csv":
        sub, hypo, boundary, refs, warnings = _read_csv(src, reference)
    else:
        raise ValueError(f"unknown format {format!r}: use param, fsp or csv")
    moment = float(np.sum(sub["rigidity"] * np.abs(sub["slip"]) * sub["length"] * sub["width"] * 1.0e6))
    if not math.isfinite(moment):
        raise ValueError(f"{path}: line 1: the moment is not finite")
    if header_mo is not None and header_mo > 0 and abs(moment / header_mo - 1.0) > 0.05:
        warnings.append(f"the subfaults' moment {moment:.4g} N m differs from the header's Mo "
                        f"{header_mo:.4g} N m by {100 * (moment / header_mo - 1):.1f} %")
    return FiniteFault(subfaults=sub, moment=moment, Mw=moment_magnitude(moment), hypocentre=hypo,
                       boundary=boundary, reference=refs, warnings=warnings, format=fmt, path=path)


# ---------------------------------------------------------------- writing

def _field(v, digits):
    s = repr(float(v)) if digits >= 17 else f"{float(v):.{digits}g}"
    return s[:-2] if s.endswith(".0") and "e" not in s else s


def _segment_line(seg):
    name = re.sub(r"\s", "_", seg.name)[:16] or "segment"
    for digits in (17, 15, 13, 12, 11, 10, 9, 8, 7):
        nums = [_field(v, digits) for v in (seg.X, seg.Y, seg.strike)] + [str(int(seg.flag))] + \
               [_field(v, digits) for v in (seg.depth, seg.dip, seg.lam, seg.mu, seg.U1, seg.U2, seg.U3,
                                            seg.L, seg.W)]
        line = " " + " ".join(nums + [name])
        if len(line) <= 128:
            return line
    raise ValueError(f"segment {seg.name!r} does not fit in 128 columns")


def write_faults(faults, path, *, comments=()):
    """Write ``faults`` (a :class:`vadrel.Faults`) as the program's faults
    file: one segment line per segment (a blank in column 1, the 14 fields,
    at most 128 columns, every number with as many digits as the line
    holds -- 17 significant digits unless the line would be too long), then
    the ramp line ``P a b c`` when the ramp is not zero.  The file is written
    beside ``path`` under a temporary name and renamed into place.
    ``comments`` (lines of text) go first, each behind a ``#``."""
    path = os.fspath(path)
    lines = [("# " + c)[:128] for c in comments] or ["# faults written by vadrel"]
    for seg in faults.segments:
        values = (seg.X, seg.Y, seg.strike, seg.depth, seg.dip, seg.lam, seg.mu, seg.U1, seg.U2, seg.U3,
                  seg.L, seg.W)
        if not all(math.isfinite(v) for v in values):
            raise ValueError(f"{path}: segment {seg.name!r} has a value that is not finite")
        lines.append(_segment_line(seg))
    ramp = tuple(faults.ramp)
    if any(ramp):
        lines.append("P " + " ".join(repr(float(v)) for v in ramp))
    text = "\n".join(lines) + "\n"
    _replace_file(path, lambda f: f.write(text))


# ---------------------------------------------------------------- picture

def plot_finite_fault(ff, path=None, ax=None):
    """Map of a finite-fault model: each subfault's surface projection
    coloured by its slip (m), the boundary polygons, the hypocentre (a star).
    Draws on ``ax`` when given, else on a new figure; saves to ``path`` when
    given.  Returns the axes."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.collections import PolyCollection

    if ax is None:
        fig, ax = plt.subplots(figsize=(7.0, 7.0))
    else:
        fig = ax.figure
    # Deepest first, so that the shallower subfaults of steep faults lie on top.
    order = np.argsort(-ff.subfaults["depth"], kind="stable")
    corners = subfault_corners(ff.subfaults[order])
    polys = PolyCollection(corners[:, :, :2], array=ff.subfaults["slip"][order], cmap="viridis",
                           edgecolors="0.4", linewidths=0.3)
    ax.add_collection(polys)
    fig.colorbar(polys, ax=ax, label="slip (m)", shrink=0.8)
    for k, poly in enumerate(ff.boundary):
        ax.plot(poly[:, 0], poly[:, 1], color="black", lw=1.2, label="boundary" if k == 0 else None)
    if ff.hypocentre is not None:
        ax.plot(ff.hypocentre[0], ff.hypocentre[1], marker="*", color="red", markersize=14,
                markeredgecolor="black", ls="none", label="hypocentre")
    ax.autoscale_view()
    mid = float(np.mean(corners[:, :, 1]))
    ax.set_aspect(1.0 / max(math.cos(math.radians(mid)), 0.05))
    ax.set_xlabel("longitude (degrees)")
    ax.set_ylabel("latitude (degrees)")
    name = os.path.basename(ff.path) if ff.path else "finite-fault model"
    ax.set_title(f"{name}: Mw {ff.Mw:.2f}, {len(ff.subfaults)} subfaults")
    if ff.boundary or ff.hypocentre is not None:
        ax.legend(loc="best", fontsize="small")
    if path is not None:
        fig.savefig(os.fspath(path), dpi=150, bbox_inches="tight")
    return ax


# ---------------------------------------------------------------- command line

def summary(ff):
    """The lines the command line prints about a model."""
    sub = ff.subfaults
    out = [f"model: {ff.path} (format {ff.format})",
           f"segments: {ff.segments}, subfaults: {len(sub)}"]
    for s in range(ff.segments):
        one = sub[sub["segment"] == s]
        if len(one) == 0:
            continue
        out.append(f"  segment {s + 1}: {len(one)} subfaults of {one['length'][0]:.3f} x {one['width'][0]:.3f} km, "
                   f"strike {np.median(one['strike']):.1f}, dip {np.median(one['dip']):.1f}, "
                   f"reference point: {ff.reference[s]}")
    out.append(f"moment: {ff.moment:.4e} N m, Mw {ff.Mw:.3f} (Mw = 2/3 (log10 M0 - 9.1), M0 in N m)")
    if ff.hypocentre is not None:
        out.append("hypocentre: lon %.4f lat %.4f depth %.2f km" % ff.hypocentre)
    out.append(f"slip: max {sub['slip'].max():.3f} m; rigidity {sub['rigidity'].min():.3g} "
               f"to {sub['rigidity'].max():.3g} Pa")
    out.extend(f"warning: {w}" for w in ff.warnings)
    return out


def main(argv=None):
    p = argparse.ArgumentParser(prog="python3 -m vadrel.sources",
                                description="Read a published finite-fault model and write the program's "
                                            "faults file.")
    p.add_argument("model", help="finite-fault model (subfault table, rupture-model database file or CSV)")
    p.add_argument("--zone", type=int, help="UTM zone (default: the zone of the moment centroid)")
    p.add_argument("--origin", type=float, nargs=2, metavar=("LON", "LAT"),
                   help="positions relative to this point, as after a Z card (default: absolute UTM km)")
    p.add_argument("--format", choices=("param", "fsp", "csv"), help="the layout (default: from the content)")
    p.add_argument("--reference", help="reference point of the subfaults: top center, centroid, bottom center, "
                                       "noaa sift")
    p.add_argument("--lam", type=float, help="lambda in Pa (default: equal to each subfault's rigidity)")
    p.add_argument("-o", "--output", required=True, help="faults file to write")
    a = p.parse_args(argv)
    try:
        ff = read(a.model, format=a.format, reference=a.reference)
        zone = a.zone if a.zone is not None else ff.default_zone()
        faults = ff.to_faults(zone=zone, origin=a.origin, lam=a.lam)
        write_faults(faults, a.output)
    except (ValueError, OSError) as e:
        print(f"vadrel.sources: {e}", file=sys.stderr)
        return 1
    try:
        _print_summary(ff, a, zone, faults)
    except BrokenPipeError:          # the reader of our output went away (| head)
        sys.stderr.close()
    return 0


def _print_summary(ff, a, zone, faults):
    for line in summary(ff):
        print(line)
    frame = (f"km from lon {a.origin[0]:g} lat {a.origin[1]:g}, the frame after a card 'Z {zone} "
             f"{a.origin[0]:g} {a.origin[1]:g}'") if a.origin else \
        "absolute UTM km (easting with its 500 km false easting), the frame of G and S grid cards"
    print(f"frame: UTM zone {zone}, {frame}")
    print(f"wrote {a.output}: {len(faults)} segments", flush=True)


if __name__ == "__main__":
    sys.exit(main())
