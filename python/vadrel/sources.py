"""Published finite-fault rupture models in, the program's faults file out.

    python3 -m vadrel.sources MODEL [--zone Z] [--origin LON LAT] [--format F] [--reference R] -o faults.txt

:func:`read` takes the layouts in which finite-fault models are published,
recognised from their content (:mod:`vadrel.io.recognise`):

``param``
    The subfault table with segment headers (:mod:`vadrel.io.param`).
``fsp``
    The rupture-model database layout (:mod:`vadrel.io.fsp`).
``csv``
    A subfault CSV with a header naming its columns (:mod:`vadrel.io.csv`);
    the reference point is the argument ``reference``: ``top center``,
    ``centroid``, ``bottom center``, ``top corner`` or ``noaa sift``
    (longitude and latitude of the bottom centre with the depth of the top).

Every point is turned into the subfault's top centre (:data:`SUBFAULT_DTYPE`)
on the WGS 84 ellipsoid, along geodesics (:mod:`vadrel.geometry`).
Rigidity: the file's (a column, the velocity structure of an ``fsp`` header,
or a subfault's moment divided by its slip and area), else 30 GPa with a
warning.  The moment magnitude is Mw = 2/3 (log10 M0 - 9.1), M0 in N m.
"""
from __future__ import annotations

import dataclasses
import math
import os
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field

import numpy as np
from numpy.typing import ArrayLike

import vadrel
from vadrel import PathLike
from ._moved import moved
from . import geodesy, geometry
from .geometry import SUBFAULT_DTYPE, grid_strike, segment_arrays, subfault_corners
from .io.faults import write_faults
from .io.recognise import read_model
from .io.subfaults import DEFAULT_RIGIDITY, SlipHistory
from .io.unit_sources import read_unit_sources

__all__ = ["SUBFAULT_DTYPE", "DEFAULT_RIGIDITY", "FiniteFault", "read", "segment_arrays", "subfault_corners",
           "offset_lonlat", "grid_strike", "moment_magnitude", "summary", "write_faults", "unit_sources",
           "SlipHistory", "plot_finite_fault", "main"]


def moment_magnitude(moment: float) -> float:
    """Mw = 2/3 (log10 M0 - 9.1), M0 in N m."""
    return 2.0 / 3.0 * (math.log10(moment) - 9.1) if moment > 0 else float("nan")


def offset_lonlat(lon: ArrayLike, lat: ArrayLike, east: ArrayLike,
                  north: ArrayLike) -> tuple[float | np.ndarray, float | np.ndarray]:
    """The point ``east``, ``north`` km from (``lon``, ``lat``): along the
    geodesic of that azimuth and length (:func:`vadrel.geodesy.move`)."""
    return geodesy.move(lon, lat, east, north)


@dataclass
class FiniteFault:
    """A finite-fault model: its subfaults (:data:`SUBFAULT_DTYPE`), scalar
    moment (N m), Mw, hypocentre (lon, lat, depth km, or None), boundary
    polygons ((k, 3) arrays of lon, lat, depth km), the reference point taken
    for each segment, the warnings of the reading, the format and the path;
    each subfault's line in the file (``lines``, or None), each segment's
    label as the file writes it (``segment_labels``: segment ``s`` of the
    subfaults is ``segment_labels[s]``), columns the reader kept aside
    (``extra``: name -> the rows' values as written) and how the subfaults
    slip in time (``history``, :class:`vadrel.io.subfaults.SlipHistory`);
    the subfaults' names where the file gives them (``names``, or None)."""
    subfaults: np.ndarray
    moment: float
    Mw: float
    hypocentre: tuple | None = None
    boundary: list = field(default_factory=list)
    reference: list = field(default_factory=list)
    warnings: list = field(default_factory=list)
    format: str = ""
    path: str | None = None
    lines: np.ndarray | None = None
    segment_labels: list = field(default_factory=list)
    extra: dict = field(default_factory=dict)
    history: SlipHistory = field(default_factory=SlipHistory)
    names: list | None = None

    @property
    def segments(self) -> int:
        """Number of segments."""
        return int(self.subfaults["segment"].max()) + 1 if len(self.subfaults) else 0

    def segment_label(self, s: int) -> str:
        """Segment ``s`` (from 0) as the file names it."""
        return str(self.segment_labels[s]) if s < len(self.segment_labels) else str(s + 1)

    def describe(self, k: int) -> str:
        """Subfault ``k`` (from 0) named for a message: the file and line
        where there is one, its number and its segment."""
        where = f"subfault {k + 1} (segment {self.segment_label(int(self.subfaults['segment'][k]))})"
        if self.path is not None and self.lines is not None and k < len(self.lines):
            return f"{self.path}: line {int(self.lines[k])}: {where}"
        return where

    def check_surface(self, above_surface: str = "refuse") -> np.ndarray:
        """``ValueError`` naming the first subfault whose top is above the
        surface (:func:`vadrel.geometry.check_surface`), unless
        ``above_surface="allow"``."""
        return geometry.check_surface(self.subfaults, above_surface, self.describe)

    def centroid(self) -> tuple[float, float]:
        """Moment-weighted mean (lon, lat) of the subfault centres (the plain
        mean where there is no moment); the longitude is the circular mean
        (in -180..180), so a model across the antimeridian has its centroid
        there."""
        lon, lat, _ = geometry.centres(self.subfaults)
        w = geometry.moment_weights(self.subfaults)
        return geodesy.circular_mean(lon, w), float(np.average(lat, weights=w))

    def default_zone(self) -> int:
        """The UTM zone of the model (:func:`vadrel.geometry.default_zone`)."""
        return geometry.default_zone(self.subfaults)

    def with_rupture_times(self, velocity: float, hypocentre: Sequence[float] | None = None) -> FiniteFault:
        """A copy whose subfaults start to slip when a rupture front leaving
        the hypocentre (``hypocentre`` = (lon, lat, depth km), default the
        model's) at ``velocity`` km/s reaches their centres: rupture time =
        distance / velocity.  The distance is the straight line of the
        geodesic distance between the surface points (WGS 84, exact) and the
        difference of the depths; against the chord through the Earth it is
        longer by under 0.2 % out to 300 km.  For models without rupture
        times; ``ValueError`` for one that has them."""
        velocity = float(velocity)
        if not (velocity > 0 and math.isfinite(velocity)):
            raise ValueError(f"the rupture velocity must be a positive number of km/s, got {velocity:g}")
        hypo = self.hypocentre if hypocentre is None else tuple(float(v) for v in hypocentre)
        if hypo is None or len(hypo) != 3 or not all(math.isfinite(v) for v in hypo):
            raise ValueError("rupture times from a velocity need the hypocentre (lon, lat, depth km); "
                             "the model has none: give one")
        sub = np.array(self.subfaults, copy=True)
        if np.any(np.isfinite(sub["rupture_time"])):
            raise ValueError("the model has rupture times of its own")
        lon, lat, z = geometry.centres(sub)
        _, _, s = geodesy.inverse(hypo[0], hypo[1], lon, lat)
        sub["rupture_time"] = np.hypot(s, z - hypo[2]) / velocity
        return dataclasses.replace(self, subfaults=sub, hypocentre=hypo,
                                   warnings=self.warnings + [f"rupture times from a rupture velocity of "
                                                             f"{velocity:g} km/s from the hypocentre"])

    def to_faults(self, zone: int | None = None, origin: Sequence[float] | None = None, lam: float | None = None,
                  above_surface: str = "refuse") -> vadrel.Faults:
        """The subfaults as the program's segments.

        Positions are UTM km of ``zone`` (default: :meth:`default_zone`; an
        explicit zone whose central meridian lies more than 3 degrees of
        longitude from the model warns): absolute (easting with its false
        easting, northing from the equator), as ``G`` and ``S`` grid cards
        use, or measured from ``origin`` = (lon, lat) as after a ``Z`` card.
        Longitudes in either convention.  Each strike is turned into the
        grid frame at its subfault (meridian convergence); lengths stay true
        lengths (the zone's scale error, under 0.1 % inside a zone, is not
        applied).  Slips in mm; lambda = mu unless ``lam`` (Pa) is given.
        Segment names are ``S<segment>_<subfault>``, segments numbered from 1
        in the order of the file.  A subfault whose top is above the surface
        is a ``ValueError`` naming it, unless ``above_surface="allow"``.
        """
        sub = self.subfaults
        if len(sub) == 0:
            raise ValueError("the model has no subfaults")
        self.check_surface(above_surface)
        zone = self.default_zone() if zone is None else geometry.check_zone(zone, sub)
        x, y = geodesy.utm(sub["lon"], sub["lat"], zone)
        if origin is not None:
            x0, y0 = geodesy.utm(float(origin[0]), float(origin[1]), zone)
            x, y = x - x0, y - y0
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


def _model(p, fmt, path) -> FiniteFault:
    sub = p.subfaults
    with np.errstate(over="ignore", invalid="ignore"):
        moment = float(np.sum(sub["rigidity"] * np.abs(sub["slip"]) * sub["length"] * sub["width"] * 1.0e6))
    if not math.isfinite(moment):
        raise ValueError(f"{path}: line 1: the moment is not finite")
    if p.header_moment is not None and p.header_moment > 0 and abs(moment / p.header_moment - 1.0) > 0.05:
        p.warnings.append(f"the subfaults' moment {moment:.4g} N m differs from the header's Mo "
                          f"{p.header_moment:.4g} N m by {100 * (moment / p.header_moment - 1):.1f} %")
    return FiniteFault(subfaults=sub, moment=moment, Mw=moment_magnitude(moment), hypocentre=p.hypocentre,
                       boundary=p.boundary, reference=p.reference, warnings=p.warnings, format=fmt,
                       path=None if path is None else os.fspath(path), lines=p.lines,
                       segment_labels=list(p.segment_labels), extra=p.extra, history=p.history,
                       names=p.names)


def read(path: PathLike, format: str | None = None, reference: str | None = None, *,
         columns: Mapping[str, str | None] | None = None, units: Mapping[str, str] | None = None) -> FiniteFault:
    """Read a finite-fault model (see the module's description).

    ``format``: ``"param"``, ``"fsp"`` or ``"csv"`` (any table with a header
    naming its columns, comma, tab or blank separated), or None to recognise
    it from the content.  ``reference``: the point of each subfault the
    coordinates give (``top center``, ``centroid``, ``bottom center``,
    ``top corner``, ``noaa sift``); needed for CSV files, and overriding the
    file's own convention for the others.  ``columns``: names no alias
    covers, mapped to fields (``{"xs": "lon", "flag": None}``; fields of
    :data:`vadrel.io.columns.ALIASES`, None to keep a column aside);
    ``units``: units of fields over the ones the names carry (``{"depth":
    "m"}``).  Raises ``ValueError`` naming the file, the line and the reason
    for anything that does not parse, ``OSError`` when the file cannot be
    read.
    """
    fmt, p = read_model(path, format, reference, columns, units)
    return _model(p, fmt, path)


def unit_sources(table: PathLike | FiniteFault, slips: Mapping[str, float], *, reference: str | None = "noaa sift",
                 columns: Mapping[str, str | None] | None = None,
                 units: Mapping[str, str] | None = None) -> FiniteFault:
    """A model made of unit sources: ``table`` (a path, or a
    :class:`FiniteFault` read from one) lists the unit sources -- a name
    column (``name``, ``UnitSrc``, ``rowname`` ...), position, strike, dip,
    depth, length, width, rake; positions in ``reference`` (default the sift
    convention: bottom centre's position, top's depth) -- and ``slips`` maps
    names to slips in metres (negative slips reverse the rake).  Names are
    matched without case; a name the table lacks is a ``ValueError``.  The
    model holds the named sources only, in the order of ``slips``, with the
    table's rigidity (30 GPa where it has none)."""
    ff = table if isinstance(table, FiniteFault) else _model(read_unit_sources(table, reference, columns, units),
                                                             "csv", table)
    if ff.names is None:
        raise ValueError(f"{ff.path}: line 1: no column naming the unit sources (name, UnitSrc, ...)")
    index = {}
    for k, n in enumerate(ff.names):
        index.setdefault(str(n).strip().lower(), k)
    if not hasattr(slips, "items"):
        raise ValueError("slips must map unit-source names to slips in metres")
    take, slip = [], []
    for name, value in slips.items():
        k = index.get(str(name).strip().lower())
        if k is None:
            raise ValueError(f"{ff.path}: no unit source named {name!r}")
        if k in take:
            raise ValueError(f"unit source {name!r} is given a slip twice")
        try:
            v = float(value)
        except (TypeError, ValueError):
            raise ValueError(f"slip of unit source {name!r} is not a number: {value!r}") from None
        if not math.isfinite(v):
            raise ValueError(f"slip of unit source {name!r} is not finite: {value!r}")
        take.append(k)
        slip.append(v)
    if not take:
        raise ValueError("no unit sources given a slip")
    sub = np.array(ff.subfaults[take], copy=True)
    sub["slip"] = np.abs(slip)
    sub["rake"] = np.where(np.asarray(slip) < 0, sub["rake"] + 180.0, sub["rake"])
    sub["segment"] = 0
    lines = None if ff.lines is None else np.asarray(ff.lines)[take]
    moment = float(np.sum(sub["rigidity"] * sub["slip"] * sub["length"] * sub["width"] * 1.0e6))
    return FiniteFault(subfaults=sub, moment=moment, Mw=moment_magnitude(moment), reference=ff.reference[:1],
                       warnings=list(ff.warnings), format=ff.format, path=ff.path, lines=lines,
                       segment_labels=["unit sources"],
                       extra={k: [v[i] for i in take] for k, v in ff.extra.items()},
                       history=SlipHistory(ff.history.shape, None if ff.history.fall_time is None
                                           else np.asarray(ff.history.fall_time)[take], ff.history.stated),
                       names=[ff.names[i] for i in take])


def summary(ff: FiniteFault) -> list[str]:
    """The lines the command line prints about a model."""
    sub = ff.subfaults
    out = [f"model: {ff.path} (format {ff.format})",
           f"segments: {ff.segments}, subfaults: {len(sub)}"]
    for s in range(ff.segments):
        one = sub[sub["segment"] == s]
        if len(one) == 0:
            continue
        ref = ff.reference[s] if s < len(ff.reference) else (ff.reference[-1] if ff.reference else "top center")
        out.append(f"  segment {ff.segment_label(s)}: {len(one)} subfaults of {one['length'][0]:.3f} x "
                   f"{one['width'][0]:.3f} km, strike {np.median(one['strike']):.1f}, dip "
                   f"{np.median(one['dip']):.1f}, reference point: {ref}")
    out.append(f"moment: {ff.moment:.4e} N m, Mw {ff.Mw:.3f} (Mw = 2/3 (log10 M0 - 9.1), M0 in N m)")
    if ff.hypocentre is not None:
        out.append("hypocentre: lon %.4f lat %.4f depth %.2f km" % ff.hypocentre)
    out.append(f"slip: max {sub['slip'].max():.3f} m; rigidity {sub['rigidity'].min():.3g} "
               f"to {sub['rigidity'].max():.3g} Pa")
    if np.any(np.isfinite(sub["rupture_time"])) or np.any(np.isfinite(sub["rise_time"])):
        stated = f" (the file states {ff.history.stated})" if ff.history.stated else ""
        out.append(f"slip in time: {ff.history.shape} slip-rate function{stated}")
    out.extend(f"warning: {w}" for w in ff.warnings)
    return out


# Kept for their callers: the picture and the command line, above this module.
__getattr__ = moved(__name__, {"plot_finite_fault": "vadrel.plot.finite_fault", "main": "vadrel.cli.sources"})


if __name__ == "__main__":
    import sys

    from vadrel.cli.sources import main
    sys.exit(main())
