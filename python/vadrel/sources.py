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

import math
import os
from dataclasses import dataclass, field

import numpy as np

import vadrel
from ._moved import moved
from . import geodesy, geometry
from .geometry import SUBFAULT_DTYPE, grid_strike, segment_arrays, subfault_corners
from .io.faults import write_faults
from .io.recognise import read_model
from .io.subfaults import DEFAULT_RIGIDITY

__all__ = ["SUBFAULT_DTYPE", "DEFAULT_RIGIDITY", "FiniteFault", "read", "segment_arrays", "subfault_corners",
           "offset_lonlat", "grid_strike", "moment_magnitude", "summary", "write_faults", "plot_finite_fault",
           "main"]


def moment_magnitude(moment):
    """Mw = 2/3 (log10 M0 - 9.1), M0 in N m."""
    return 2.0 / 3.0 * (math.log10(moment) - 9.1) if moment > 0 else float("nan")


def offset_lonlat(lon, lat, east, north):
    """The point ``east``, ``north`` km from (``lon``, ``lat``): along the
    geodesic of that azimuth and length (:func:`vadrel.geodesy.move`)."""
    return geodesy.move(lon, lat, east, north)


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
        mean where there is no moment); the longitude is the circular mean
        (in -180..180), so a model across the antimeridian has its centroid
        there."""
        lon, lat, _ = geometry.centres(self.subfaults)
        w = geometry.moment_weights(self.subfaults)
        return geodesy.circular_mean(lon, w), float(np.average(lat, weights=w))

    def default_zone(self):
        """The UTM zone of the model (:func:`vadrel.geometry.default_zone`)."""
        return geometry.default_zone(self.subfaults)

    def to_faults(self, zone=None, origin=None, lam=None) -> vadrel.Faults:
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
        Segment names are ``S<segment>_<subfault>``.
        """
        sub = self.subfaults
        if len(sub) == 0:
            raise ValueError("the model has no subfaults")
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


def read(path, format=None, reference=None) -> FiniteFault:
    """Read a finite-fault model (see the module's description).

    ``format``: ``"param"``, ``"fsp"`` or ``"csv"``, or None to recognise it
    from the content.  ``reference``: the point of each subfault the
    coordinates give (``top center``, ``centroid``, ``bottom center``,
    ``top corner``, ``noaa sift``); needed for CSV files, and overriding the
    file's own convention for the others.  Raises ``ValueError`` naming the
    file, the line and the reason for anything that does not parse,
    ``OSError`` when the file cannot be read.
    """
    fmt, p = read_model(path, format, reference)
    sub = p.subfaults
    moment = float(np.sum(sub["rigidity"] * np.abs(sub["slip"]) * sub["length"] * sub["width"] * 1.0e6))
    if not math.isfinite(moment):
        raise ValueError(f"{path}: line 1: the moment is not finite")
    if p.header_moment is not None and p.header_moment > 0 and abs(moment / p.header_moment - 1.0) > 0.05:
        p.warnings.append(f"the subfaults' moment {moment:.4g} N m differs from the header's Mo "
                          f"{p.header_moment:.4g} N m by {100 * (moment / p.header_moment - 1):.1f} %")
    return FiniteFault(subfaults=sub, moment=moment, Mw=moment_magnitude(moment), hypocentre=p.hypocentre,
                       boundary=p.boundary, reference=p.reference, warnings=p.warnings, format=fmt,
                       path=os.fspath(path))


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


# Kept for their callers: the picture and the command line, above this module.
__getattr__ = moved(__name__, {"plot_finite_fault": "vadrel.plot.finite_fault", "main": "vadrel.cli.sources"})


if __name__ == "__main__":
    import sys

    from vadrel.cli.sources import main
    sys.exit(main())
