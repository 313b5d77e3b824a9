"""Sea-floor (or sea-surface) displacement of a finite-fault model on a
longitude/latitude grid (:func:`dtopo`), and the grid it makes
(:class:`DTopo`)."""
from __future__ import annotations

import os
from collections.abc import Callable, Sequence
from dataclasses import dataclass

import numpy as np
from numpy.typing import ArrayLike

import vadrel
from vadrel import PathLike
from .. import geometry, sources
from ..io import grids
from .filters import bathymetry_on, horizontal_term, kajiura_filter
from .frames import LocalFrames, UTMFrame
from .kinematics import ramp_weights
from .levels import evaluate

__all__ = ["DTopo", "dtopo", "read_dtopo", "FORMATS"]

#: Output layouts of :meth:`DTopo.write` and the file-name extensions that
#: select them when no format is given.
FORMATS = grids.FORMATS


@dataclass
class DTopo:
    """Motion of the sea floor (or surface) on a longitude/latitude grid:
    ``lon`` (nx), ``lat`` (ny) ascending, degrees; ``times`` (nt) s;
    ``dz`` (nt, ny, nx) metres, up positive."""
    lon: np.ndarray
    lat: np.ndarray
    times: np.ndarray
    dz: np.ndarray

    def __add__(self, other):
        """The motion of two sources together: the same grid and times
        needed (``ValueError`` otherwise)."""
        if not isinstance(other, DTopo):
            return NotImplemented
        for name in ("lon", "lat", "times"):
            a, b = getattr(self, name), getattr(other, name)
            if a.shape != b.shape or not np.array_equal(a, b):
                raise ValueError(f"the two sources are on different {name} axes: add sources computed on the "
                                 "same grid and times")
        return DTopo(self.lon.copy(), self.lat.copy(), self.times.copy(), self.dz + other.dz)

    def __radd__(self, other):
        # sum() starts from 0
        if isinstance(other, (int, float)) and other == 0:
            return DTopo(self.lon.copy(), self.lat.copy(), self.times.copy(), self.dz.copy())
        return NotImplemented

    def write(self, path: PathLike, format: str | None = None) -> None:
        """Write the grid to ``path`` in ``format`` (default from the
        extension, see :data:`FORMATS` and :func:`vadrel.io.grids.write_grid`
        for the layouts), replacing any file there whole."""
        grids.write_grid(path, self.lon, self.lat, self.times, self.dz, format,
                         source=f"vadrel {vadrel.__version__} (Okada half-space, vadrel.tsunami)")


def read_dtopo(path: PathLike) -> DTopo:
    """Read a dtopo grid written as ``tt3`` or ``netcdf`` back into a :class:`DTopo`."""
    return DTopo(*grids.read_grid(path))


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


def dtopo(source: sources.FiniteFault | PathLike, lon: ArrayLike, lat: ArrayLike, *, times: ArrayLike | None = None,
          bathymetry: PathLike | Sequence[ArrayLike] | None = None, horizontal: bool = False, kajiura: bool = False,
          frame: str = "local", zone: int | None = None, levels: int | None = None,
          progress: Callable[[int, int], object] | None = None, above_surface: str = "refuse",
          rupture_velocity: float | None = None, hypocentre: Sequence[float] | None = None) -> DTopo:
    """Vertical displacement of the sea floor (or, with ``kajiura``, of the
    sea surface) caused by a finite-fault model, on the grid of the 1-D
    axes ``lon``, ``lat`` (ascending, degrees).

    ``source``: a :class:`vadrel.sources.FiniteFault` or a path read with
    :func:`vadrel.sources.read`.

    Longitudes of the grid and of the model may be given in either
    convention (-180..180 or 0..360) and may straddle the antimeridian: the
    uplift at a place is the same whichever way it is written.

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
      the moment-weighted circular mean longitude,
      :func:`vadrel.geometry.default_zone`; an explicit zone more than 3
      degrees of longitude from the model warns), as the program's ``G``
      card projects; strikes are turned into grid north.  Distances carry the
      zone's scale error, -4e-4 on the central meridian to about +1e-3 at
      3 degrees from it and growing as the square of the distance beyond; a
      model 1000 km long straddling a zone's edge is then stretched or
      shrunk by some 1e-3 and its uplift shifts by a few hundred metres at
      the far end.

    ``times``: frame times in seconds (kinematic source: each subfault
    slips from its rupture time along the slip-rate function its model
    states, :mod:`vadrel.tsunami.kinematics`); default one frame, the final
    state, at time 0.  ``rupture_velocity`` (km/s), for models without
    rupture times: each subfault starts when a front leaving ``hypocentre``
    (default the model's) reaches its centre
    (:meth:`vadrel.sources.FiniteFault.with_rupture_times`).

    A subfault whose top is above the surface is a ``ValueError`` naming it,
    unless ``above_surface="allow"``.  The memory the frames need is
    checked before anything is allocated (``MemoryError`` with the size
    asked and the size available).

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
            raise ValueError(f"{ff.describe(int(np.flatnonzero(~np.isfinite(sub[name]))[0]))}: {name} is not finite")
    ff.check_surface(above_surface)
    if rupture_velocity is not None:
        ff = ff.with_rupture_times(rupture_velocity, hypocentre)
        sub["rupture_time"] = ff.subfaults["rupture_time"]
    if times is None:
        t = np.zeros(1)
    else:
        t = _axis(np.atleast_1d(times), "times")
    per_node = 8 * 3 * (3 if horizontal else 1)
    vadrel._require_memory(len(t), per_node * len(lon) * len(lat) + 8 * 8 * len(sub),
                           f"{len(t)} frames of {len(lat)} x {len(lon)} nodes")
    weights = np.ones((len(sub), 1)) if times is None else ramp_weights(sub, t, ff.history)
    if frame == "local":
        def make_frame(x, y):
            return LocalFrames(x, y, sub)
    elif frame == "utm":
        zone = geometry.default_zone(sub) if zone is None else geometry.check_zone(zone, sub)

        def make_frame(x, y):
            return UTMFrame(x, y, sub, zone)
    else:
        raise ValueError(f"frame must be 'local' or 'utm', got {frame!r}")
    h = None
    if horizontal or kajiura:
        if bathymetry is None:
            raise ValueError("horizontal and kajiura need the bathymetry")
        if len(lon) < 2 or len(lat) < 2:
            raise ValueError("horizontal and kajiura need a grid of 2 x 2 nodes or more")
        h = bathymetry_on(bathymetry, lon, lat)
    fr = make_frame(lon[:1], lat[:1])
    seg = geometry.segment_arrays(sub, fr.origin[:, 0], fr.origin[:, 1], fr.strike)
    acc = evaluate(make_frame, sub, seg, weights, lon, lat, horizontal, levels, progress)
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
