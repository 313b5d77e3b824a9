"""Interferograms: line-of-sight displacement on a grid, with look vectors,
in a local km frame.

:func:`read` takes a GeoTIFF or NetCDF/GMT grid of unwrapped phase or
line-of-sight displacement, its look vectors (component grids, or incidence
with heading or azimuth, as grids or constants), masks it, crops it,
subtracts a reference and gives an :class:`Interferogram`.

Signs and units: ``positive`` names what a positive value in the file is:
``"towards"`` the radar (range decrease, uplift under a radar looking
down) or ``"away"`` from it.  With s = +1 for towards and -1 for away::

    units="m", "cm", "mm":  los_mm = s * value * 1000, 10, 1
    units="rad":            los_mm = s * phase * wavelength / (4 pi) * 1000   (wavelength in m)

Positions: every pixel centre is taken to longitude and latitude (through
pyproj from the file's CRS) and then into ``LocalFrame(origin)``, a
transverse Mercator frame about ``origin`` (see :mod:`vadrel.geodesy`): the
positions are exact to well under a millimetre; lengths in the frame are
true lengths times 1 + x^2/(2 R^2) (1.2e-4 at 100 km from the origin's
meridian).  The look vectors' horizontal parts are turned from true north to
the frame's grid north by the meridian convergence, computed exactly on at
most about 250 000 pixels and interpolated bilinearly between them (error
below 1e-7 degree for pixels of an arc-second to a few km).
"""
from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import ArrayLike

from vadrel import PathLike
from vadrel.geodesy import LocalFrame, circular_mean
from . import look as _look
from ._fault import lonlat as _fault_lonlat
from .areas import inside
from .grids import Grid, read_grid, same_grid

if TYPE_CHECKING:
    from vadrel import Faults, Segment
    from ..io.datasets import Dataset

__all__ = ["Interferogram", "read"]

_UNITS = {"m": 1000.0, "cm": 10.0, "mm": 1.0}


class Interferogram:
    """Line-of-sight displacement on a grid of pixels.

    ``x``, ``y`` (ny, nx): km east and north of the pixel centres in
    ``frame``; ``los`` (ny, nx): mm, positive towards the radar, NaN where
    masked; ``look`` (ny, nx, 3): unit vectors from the ground to the radar,
    east and north along the frame's axes; ``frame``: the ``LocalFrame``
    (None for an interferogram built in km with no geographic frame);
    ``reference``: the mm subtracted (0 when none); ``masked``: pixels
    masked, by reason; ``path``: the file read.

    Built by :func:`read`, or directly from arrays: ``x`` and ``y`` broadcast
    to the grid's shape (1-D axes ``x[None, :]``, ``y[:, None]`` do), ``look``
    one vector or one per pixel.
    """

    def __init__(self, x: ArrayLike, y: ArrayLike, los: ArrayLike, look: ArrayLike, *, frame: LocalFrame | None = None,
                 path: str | None = None, reference: float = 0.0, masked: Mapping[str, int] | None = None) -> None:
        los = np.array(los, dtype=float)
        if los.ndim != 2:
            raise ValueError(f"los must be a 2-D grid, got shape {los.shape}")
        try:
            x, y = (np.ascontiguousarray(np.broadcast_to(np.asarray(v, dtype=float), los.shape)) for v in (x, y))
        except ValueError:
            raise ValueError(f"x and y do not broadcast to the grid's shape {los.shape}") from None
        lk = np.asarray(look, dtype=float)
        if lk.shape == (3,):
            lk = np.broadcast_to(lk, los.shape + (3,))
        if lk.shape != los.shape + (3,):
            raise ValueError(f"look must be one (east, north, up) vector or one per pixel {los.shape + (3,)}, "
                             f"got shape {lk.shape}")
        lk = np.array(lk, dtype=float)
        bad = ~(np.isfinite(x) & np.isfinite(y))
        if np.any(bad & np.isfinite(los)):
            raise ValueError("a pixel with data has a position that is not finite")
        los[~np.all(np.isfinite(lk), axis=-1)] = np.nan
        if np.any(np.isinf(los)):
            raise ValueError("los has infinite values")
        lk = _look.check(np.where(np.isfinite(los)[..., None], lk, np.nan), what="look vectors")
        self.x, self.y, self.los, self.look = x, y, los, lk
        self.frame, self.path, self.reference = frame, path, float(reference)
        self.masked = dict(masked or {})

    @property
    def shape(self) -> tuple[int, ...]:
        """(rows, columns) of the grid."""
        return self.los.shape

    @property
    def valid(self) -> np.ndarray:
        """Pixels with data."""
        return np.isfinite(self.los)

    @property
    def spacing(self) -> tuple[float, float]:
        """(dx, dy): median km between neighbouring pixel centres along a
        row and along a column."""
        def step(a, b, axis):
            if a.shape[axis] < 2:
                return float("nan")
            d = np.hypot(np.diff(a, axis=axis), np.diff(b, axis=axis))
            return float(np.median(d[:: max(1, d.shape[0] // 200), :: max(1, d.shape[1] // 200)]))
        dx, dy = step(self.x, self.y, 1), step(self.x, self.y, 0)
        if math.isnan(dx):
            dx = dy
        if math.isnan(dy):
            dy = dx
        return (dx if not math.isnan(dx) else 1.0, dy if not math.isnan(dy) else 1.0)

    def __repr__(self):
        return (f"Interferogram({self.path!r}, shape={self.shape}, "
                f"{int(np.count_nonzero(self.valid))} pixels with data)")

    def lonlat(self) -> tuple[float | np.ndarray, float | np.ndarray]:
        """Longitude and latitude (degrees) of the pixel centres."""
        if self.frame is None:
            raise ValueError("this interferogram has no geographic frame")
        return self.frame.to_lonlat(self.x, self.y)

    def faults_lonlat(self, faults: Faults | Segment) -> list[dict[str, Any]]:
        """The segments of ``faults`` (km, this frame) in longitude and
        latitude: a dict per segment with ``lon``, ``lat``, ``strike`` from
        true north, ``trace`` and ``outline`` (lon, lat vertices), and the
        segment's depth, dip, L, W and slips."""
        if self.frame is None:
            raise ValueError("this interferogram has no geographic frame")
        return _fault_lonlat(faults, self.frame)

    def masked_near(self, faults: Faults | Segment, distance: float) -> Interferogram:
        """A copy with the pixels within ``distance`` km of the faults'
        traces (the surface projections of their top edges) masked: where a
        rupture reaches the ground the data jump across the trace, and a
        leaf straddling it averages values no model at its centre gives."""
        from ._fault import trace_distance
        d = float(distance)
        if not (d >= 0 and math.isfinite(d)):
            raise ValueError(f"distance must be a finite number of km >= 0, not {distance}")
        near = (trace_distance(faults, self.x, self.y) <= d) & self.valid
        masked = dict(self.masked)
        masked["near a trace"] = masked.get("near a trace", 0) + int(np.count_nonzero(near))
        return Interferogram(self.x, self.y, np.where(near, np.nan, self.los), self.look, frame=self.frame,
                             path=self.path, reference=self.reference, masked=masked)

    def quadtree(self, threshold: float, **options: Any) -> Dataset:
        """Downsample by a quadtree: see :func:`vadrel.insar.quadtree.quadtree`."""
        from .quadtree import quadtree
        return quadtree(self, threshold, **options)

    def resolution_sample(self, faults: Faults | Segment, **options: Any) -> Dataset:
        """Downsample by the data resolution of a fault model: see
        :func:`vadrel.insar.resolution.resolution_sample`."""
        from .resolution import resolution_sample
        return resolution_sample(self, faults, **options)


def _grid_or_value(v, ref: Grid, what, read_opts):
    """A constant, an array on the grid, or a file on the same grid."""
    if isinstance(v, (str, bytes)) or hasattr(v, "__fspath__"):
        g = read_grid(v, **read_opts)
        same_grid(ref, g)
        return g.values
    a = np.asarray(v, dtype=float)
    if a.ndim == 0 or a.shape == ref.shape:
        return a
    raise ValueError(f"{what}: expected a number, a file or an array of the grid's shape {ref.shape}, "
                     f"got shape {a.shape}")


def _lonlat(g: Grid):
    X, Y = np.meshgrid(g.xs, g.ys)
    if g.geographic:
        lon, lat = X, Y
    else:
        import pyproj
        t = pyproj.Transformer.from_crs(g.crs, "EPSG:4326", always_xy=True)
        lon, lat = (np.asarray(a, dtype=float) for a in t.transform(X, Y))
    if np.any(np.abs(lat) > 90):
        raise ValueError(f"{g.path}: latitudes beyond 90 degrees: is the coordinate reference system right?")
    return lon, lat


def _convergence(frame, lon, lat):
    """Grid azimuth of true north at every pixel: exact on a subgrid of at
    most about 500 x 500 pixels, bilinear between."""
    ny, nx = lon.shape
    ky, kx = max(1, -(-ny // 500)), max(1, -(-nx // 500))
    if ky == 1 and kx == 1:
        return frame.convergence(lon, lat)
    r = np.unique(np.r_[np.arange(0, ny, ky), ny - 1])
    c = np.unique(np.r_[np.arange(0, nx, kx), nx - 1])
    sub = frame.convergence(lon[np.ix_(r, c)], lat[np.ix_(r, c)])
    return _weights(r, ny) @ sub @ _weights(c, nx).T


def _weights(knots, n):
    """(n, len(knots)) linear interpolation weights from the knots (sorted
    indices, first 0, last n - 1) to every index 0..n-1."""
    w = np.zeros((n, knots.size))
    i = np.arange(n)
    k = np.clip(np.searchsorted(knots, i, side="right") - 1, 0, knots.size - 2) if knots.size > 1 else np.zeros(n, int)
    if knots.size == 1:
        w[:, 0] = 1.0
        return w
    t = (i - knots[k]) / (knots[k + 1] - knots[k])
    w[i, k] = 1.0 - t
    w[i, k + 1] += t
    return w


def _trim(mask):
    """The slices of the rows and columns holding the True pixels of mask
    (None when there are none)."""
    rows = np.flatnonzero(mask.any(axis=1))
    cols = np.flatnonzero(mask.any(axis=0))
    if rows.size == 0:
        return None
    s = (slice(rows[0], rows[-1] + 1), slice(cols[0], cols[-1] + 1))
    return s


def read(path: PathLike, *, units: str, positive: str, wavelength: float | None = None,
         look: Sequence[PathLike | ArrayLike] | None = None, incidence: PathLike | ArrayLike | None = None,
         heading: PathLike | ArrayLike | None = None, azimuth: PathLike | ArrayLike | None = None,
         left_looking: bool = False, normalise: bool = False, origin: Sequence[float] | None = None,
         band: int = 1, variable: str | None = None, crs: Any = None, mask_zero: bool = False,
         coherence: PathLike | ArrayLike | None = None, min_coherence: float | None = None,
         crop: ArrayLike | None = None, reference: ArrayLike | None = None, reference_statistic: str = "mean",
         areas: str = "lonlat") -> Interferogram:
    """Read an interferogram (see the module for units, signs and frames).

    ``units``: ``"m"``, ``"cm"``, ``"mm"`` (line-of-sight displacement) or
    ``"rad"`` (unwrapped phase, with ``wavelength`` in m); ``positive``:
    ``"towards"`` or ``"away"`` (what a positive value in the file means).
    Look vectors (exactly one of): ``look=(e, n, u)`` (files, arrays or
    numbers: ground-to-radar components), ``incidence`` with ``heading``
    (``left_looking`` for a left-looking radar) or with ``azimuth`` (each a
    file, an array or a number; conventions in :mod:`vadrel.insar.look`);
    ``normalise`` scales vectors that are not unit length instead of
    refusing them.  ``origin``: (lon, lat) of the km frame (the centre of
    the data by default).  ``band``/``variable``/``crs``: which band or
    NetCDF variable, and the CRS when the file lacks it.

    Masks: NaN and nodata always; exact zeros with ``mask_zero``; pixels
    whose ``coherence`` (a file or array on the same grid) is below
    ``min_coherence``; pixels outside ``crop``.  ``reference``: an area
    whose ``reference_statistic`` (``"mean"`` or ``"median"``) is
    subtracted.  ``crop`` and ``reference`` are boxes (west, east, south,
    north) or polygons, in degrees (``areas="lonlat"``) or in km of the
    frame (``areas="km"``); see :mod:`vadrel.insar.areas`.
    """
    if units not in ("m", "cm", "mm", "rad"):
        raise ValueError(f"units must be 'm', 'cm', 'mm' or 'rad', not {units!r}")
    if positive not in ("towards", "away"):
        raise ValueError(f"positive must be 'towards' or 'away' (the radar), not {positive!r}")
    if units == "rad":
        if wavelength is None or not (math.isfinite(float(wavelength)) and float(wavelength) > 0):
            raise ValueError("units='rad' needs the radar's wavelength in m (wavelength=0.0555 for C band)")
        scale = float(wavelength) / (4.0 * math.pi) * 1000.0
    else:
        if wavelength is not None:
            raise ValueError(f"wavelength is for phase (units='rad'), not for displacement in {units}")
        scale = _UNITS[units]
    if positive == "away":
        scale = -scale
    if areas not in ("lonlat", "km"):
        raise ValueError(f"areas must be 'lonlat' or 'km', not {areas!r}")
    if reference_statistic not in ("mean", "median"):
        raise ValueError(f"reference_statistic must be 'mean' or 'median', not {reference_statistic!r}")
    conventions = [look is not None, incidence is not None]
    if sum(conventions) != 1:
        raise ValueError("give the look vectors one way: look=(e, n, u), or incidence= with heading= or azimuth=")
    if incidence is not None and (heading is None) == (azimuth is None):
        raise ValueError("incidence needs heading= or azimuth= (one of them)")
    if look is None and (heading is not None or azimuth is not None) and incidence is None:
        raise ValueError("heading and azimuth need incidence=")
    if min_coherence is not None and coherence is None:
        raise ValueError("min_coherence needs the coherence grid (coherence=)")

    g = read_grid(path, band=band, variable=variable, crs=crs)
    opts = {"crs": crs}
    masked = {"no data": int(np.count_nonzero(np.isnan(g.values)))}
    raw = g.values
    if mask_zero:
        z = raw == 0.0
        masked["zero"] = int(np.count_nonzero(z))
        raw[z] = np.nan
    if coherence is not None:
        coh = _grid_or_value(coherence, g, "coherence", opts)
        if min_coherence is not None:
            low = ~(coh >= float(min_coherence)) & np.isfinite(raw)
            masked["coherence"] = int(np.count_nonzero(low))
            raw[low] = np.nan
    lon, lat = _lonlat(g)

    if look is not None:
        if isinstance(look, (str, bytes)) or np.ndim(look) == 0 and not isinstance(look, (tuple, list)):
            raise ValueError("look must be three components (e, n, u): files, arrays or numbers")
        if isinstance(look, (tuple, list)) and len(look) == 3:
            comps = [_grid_or_value(c, g, f"look {k}", opts) for k, c in zip("enu", look)]
            lk = np.stack(np.broadcast_arrays(*[np.broadcast_to(c, g.shape) for c in comps]), axis=-1)
        else:
            lk = np.asarray(look, dtype=float)
            if lk.shape not in ((3,), g.shape + (3,)):
                raise ValueError(f"look must be (e, n, u), got shape {lk.shape}")
            lk = np.broadcast_to(lk, g.shape + (3,))
    else:
        inc = _grid_or_value(incidence, g, "incidence", opts)
        if heading is not None:
            lk = _look.from_incidence_heading(inc, _grid_or_value(heading, g, "heading", opts),
                                              left_looking=left_looking)
        else:
            lk = _look.from_incidence_azimuth(inc, _grid_or_value(azimuth, g, "azimuth", opts))
        lk = np.broadcast_to(lk, g.shape + (3,))
    nolook = ~np.all(np.isfinite(lk), axis=-1) & np.isfinite(raw)
    if np.any(nolook):
        masked["no look vector"] = int(np.count_nonzero(nolook))
        raw = np.where(nolook, np.nan, raw)

    keep = np.isfinite(raw)
    if crop is not None and areas == "lonlat" and np.asarray(crop).shape == (4,):
        box = inside(crop, lonlat=True, lon=lon, lat=lat, what=f"{g.path}: crop")
        masked["crop"] = int(np.count_nonzero(keep & ~box))
        keep &= box
    s = _trim(keep)
    if s is None:
        raise ValueError(f"{g.path}: no pixel with data" + (" in the crop" if crop is not None else ""))
    raw, lon, lat, lk, keep = raw[s], lon[s], lat[s], lk[s], keep[s]
    if origin is None:
        origin = (circular_mean(lon[keep][:: max(1, keep.sum() // 100000)]),
                  0.5 * (float(np.min(lat[keep])) + float(np.max(lat[keep]))))
    frame = LocalFrame(origin)
    x, y = frame.to_km(lon, lat)
    if crop is not None and not (areas == "lonlat" and np.asarray(crop).shape == (4,)):
        inn = inside(crop, lonlat=areas == "lonlat", frame=frame, x=x, y=y, what=f"{g.path}: crop")
        masked["crop"] = int(np.count_nonzero(keep & ~inn))
        keep &= inn
    los = np.where(keep, raw * scale, np.nan)
    if not np.any(keep):
        raise ValueError(f"{g.path}: no pixel with data in the crop")
    lk = _look.check(np.where(keep[..., None], lk, np.nan), normalise=normalise, what=f"{g.path}: look vectors")
    lk = _look.to_grid(lk, _convergence(frame, lon, lat))
    ref = 0.0
    if reference is not None:
        inn = inside(reference, lonlat=areas == "lonlat", frame=frame, x=x, y=y, lon=lon, lat=lat,
                     what=f"{g.path}: reference")
        vals = los[inn & keep]
        if vals.size == 0:
            raise ValueError(f"{g.path}: the reference area holds no pixel with data")
        ref = float(np.mean(vals) if reference_statistic == "mean" else np.median(vals))
        los -= ref
    return Interferogram(x, y, los, lk, frame=frame, path=str(g.path), reference=ref, masked=masked)
