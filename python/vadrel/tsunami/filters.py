"""What the sea floor's motion does to the sea: the horizontal motion over
sloping bathymetry and the sea-surface filter 1/cosh(kh), on the grid of the
bathymetry interpolated to the dtopo grid."""
from __future__ import annotations

import math

from collections.abc import Sequence

import numpy as np
from numpy.typing import ArrayLike

from vadrel import PathLike
from .. import geodesy
from ..io.grids import read_bathymetry

__all__ = ["bathymetry_on", "horizontal_term", "kajiura_filter"]


def bathymetry_on(bathymetry: PathLike | Sequence[ArrayLike], lon: np.ndarray, lat: np.ndarray) -> np.ndarray:
    """Water depth h (metres, positive under the sea) on the dtopo grid,
    bilinear in the elevation grid."""
    from scipy.interpolate import RegularGridInterpolator
    x, y, z = read_bathymetry(bathymetry)
    name = bathymetry if not isinstance(bathymetry, (tuple, list)) else "bathymetry"
    # The bathymetry's longitudes taken in the convention of the dtopo grid.
    x = x + 360.0 * np.round((np.mean(lon) - np.mean(x)) / 360.0)
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
    m, n = geodesy.radii(lat)
    return 1000.0 * n * np.cos(np.radians(lat)), 1000.0 * m


def horizontal_term(ue: np.ndarray, un: np.ndarray, h: np.ndarray, lon: np.ndarray, lat: np.ndarray) -> np.ndarray:
    """u_x dh/dx + u_y dh/dy on the grid (metres), 0 on land (h <= 0)."""
    pe, m = _spacing_m(lon, lat)
    dhdy = np.gradient(h, np.radians(lat), axis=0) / m[:, None]
    dhdx = np.gradient(h, np.radians(lon), axis=1) / pe[:, None]
    return np.where(h > 0.0, ue * dhdx + un * dhdy, 0.0)


def kajiura_filter(dz: np.ndarray, h: np.ndarray, lon: np.ndarray, lat: np.ndarray,
                   levels_per_octave: float = 4) -> np.ndarray:
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
