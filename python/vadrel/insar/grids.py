"""Grids of radar products read from files: GeoTIFF (through rasterio) and
NetCDF, CF-style or as GMT writes them (through netCDF4).

A :class:`Grid` is one band of values on a rectilinear, north-up grid: the
values (ny, nx) as float64 with NaN where the file has no data, the
coordinates of the pixel centres along each axis (``xs`` (nx,), ``ys``
(ny,)), in the file's coordinate reference system ``crs`` (a
``pyproj.CRS``; longitude and latitude for geographic grids).

* GeoTIFF: one band (``band``, 1 by default); the nodata value and internal
  masks are honoured; the geotransform's origin is the corner of the first
  pixel, so centres lie half a pixel in.  Rotated or sheared transforms are
  refused.
* NetCDF (CF): the data variable (``variable``, or the only two-dimensional
  one) with coordinate variables named ``lon``/``lat``, ``longitude``/
  ``latitude`` or ``x``/``y``; packing (``scale_factor``, ``add_offset``)
  and ``_FillValue``/``missing_value`` honoured.  The coordinate arrays are
  the sample positions whatever the registration (GMT writes the cell
  centres of a pixel-registered grid).  The CRS is the ``grid_mapping``
  variable's (``crs_wkt`` or ``spatial_ref``, or its CF attributes);
  ``lon``/``lat`` names or degree units mean geographic; otherwise it must
  be given (``crs=``).
* GMT's older NetCDF layout (``x_range``, ``y_range``, ``spacing``,
  ``dimension``, ``z`` stored from the north-west corner row by row):
  gridline-registered (``node_offset`` 0: samples on the range's ends) or
  pixel-registered (1: samples half a step inside).
"""
from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any

import numpy as np

from vadrel import PathLike

if TYPE_CHECKING:
    import pyproj

__all__ = ["Grid", "read_grid", "same_grid", "BYTES_PER_PIXEL"]

#: Bytes per pixel an interferogram holds at its peak while it is read and
#: downsampled (values, km positions, look vectors, masks, running sums).
BYTES_PER_PIXEL = 160


class Grid:
    """One band of values on a north-up rectilinear grid (see the module)."""

    def __init__(self, values: np.ndarray, xs: np.ndarray, ys: np.ndarray, crs: pyproj.CRS, path: PathLike,
                 geographic: bool) -> None:
        self.values, self.xs, self.ys = values, xs, ys
        self.crs, self.path, self.geographic = crs, str(path), bool(geographic)

    @property
    def shape(self) -> tuple[int, ...]:
        """(rows, columns) of the values."""
        return self.values.shape

    def __repr__(self):
        return f"Grid({self.path!r}, shape={self.shape}, geographic={self.geographic})"


def _require_memory(path, npix):
    from vadrel import _require_memory as require
    require(npix, BYTES_PER_PIXEL, f"{path}: a grid of {npix} pixels")


def _crs(value, path):
    import pyproj
    try:
        return pyproj.CRS.from_user_input(value)
    except pyproj.exceptions.CRSError as e:
        raise ValueError(f"{path}: coordinate reference system {value!r} not understood ({e})") from None


def read_grid(path: PathLike, *, band: int = 1, variable: str | None = None, crs: Any = None) -> Grid:
    """Read one band of a GeoTIFF or NetCDF/GMT grid (chosen by content:
    NetCDF files start with ``CDF`` or the HDF5 signature).  ``crs``
    overrides (or supplies) the file's coordinate reference system
    (anything ``pyproj.CRS.from_user_input`` takes: "EPSG:32643", a WKT, a
    ``pyproj.CRS``).
    ``OSError`` when the file cannot be read, ``ValueError`` naming the file
    and the reason when its content is not a grid this reader handles."""
    path = os.fspath(path)
    try:
        with open(path, "rb") as f:
            head = f.read(8)
    except OSError as e:
        raise OSError(e.errno, f"{path}: cannot read: {e.strerror}") from None
    if head[:3] == b"CDF" or head == b"\x89HDF\r\n\x1a\n":
        g = _read_netcdf(path, variable, crs)
    else:
        g = _read_geotiff(path, band, crs)
    return g


def _read_geotiff(path, band, crs):
    import rasterio
    import rasterio.errors
    try:
        src = rasterio.open(path)
    except rasterio.errors.RasterioIOError as e:
        raise ValueError(f"{path}: not a GeoTIFF or NetCDF grid ({e})") from None
    with src:
        if not 1 <= band <= src.count:
            raise ValueError(f"{path}: band {band} asked for, the file has {src.count}")
        t = src.transform
        if t.b != 0.0 or t.d != 0.0:
            raise ValueError(f"{path}: the grid is rotated or sheared (geotransform {tuple(t)[:6]}); "
                             "only north-up grids are read: resample it north-up first")
        if t.a == 0.0 or t.e == 0.0:
            raise ValueError(f"{path}: the geotransform has a zero pixel size")
        ny, nx = src.height, src.width
        _require_memory(path, ny * nx)
        try:
            data = src.read(band, masked=True)
        except rasterio.errors.RasterioError as e:
            raise ValueError(f"{path}: cannot read band {band} ({e})") from None
        values = np.ma.filled(data.astype(np.float64), np.nan)
        xs = t.c + (np.arange(nx) + 0.5) * t.a
        ys = t.f + (np.arange(ny) + 0.5) * t.e
        if crs is not None:
            c = _crs(crs, path)
        elif src.crs is not None:
            c = _crs(src.crs.to_wkt(), path)
        else:
            raise ValueError(f"{path}: the file names no coordinate reference system: give crs=")
    return Grid(values, xs, ys, c, path, c.is_geographic)


_LON = ("lon", "longitude", "x")
_LAT = ("lat", "latitude", "y")


def _is_degrees(var):
    units = str(getattr(var, "units", "")).lower()
    name = str(getattr(var, "long_name", "")).lower() + " " + str(getattr(var, "standard_name", "")).lower()
    return "degree" in units or "longitude" in name or "latitude" in name


def _read_netcdf(path, variable, crs):
    import netCDF4
    try:
        nc = netCDF4.Dataset(path)
    except OSError as e:
        raise ValueError(f"{path}: not a NetCDF file netCDF4 can read ({e})") from None
    with nc:
        nc.set_auto_maskandscale(True)
        if variable is None and {"x_range", "y_range", "dimension", "z"} <= set(nc.variables):
            return _read_gmt_old(nc, path, crs)
        var = _data_variable(nc, path, variable)
        dims = [d for d, n in zip(var.dimensions, var.shape) if n != 1 or d in _LON + _LAT]
        if len(dims) != 2:
            raise ValueError(f"{path}: variable '{var.name}' has dimensions {var.dimensions}; "
                             "a grid has two (y, x), others of length 1")
        try:
            xd = next(d for d in dims if d.lower() in _LON)
            yd = next(d for d in dims if d.lower() in _LAT)
        except StopIteration:
            raise ValueError(f"{path}: variable '{var.name}' has dimensions {tuple(dims)}; expected "
                             "lon/lat, longitude/latitude or x/y") from None
        for d in (xd, yd):
            if d not in nc.variables:
                raise ValueError(f"{path}: no coordinate variable '{d}'")
        xs = np.asarray(nc.variables[xd][:], dtype=float)
        ys = np.asarray(nc.variables[yd][:], dtype=float)
        for name, a in ((xd, xs), (yd, ys)):
            if a.ndim != 1 or not np.all(np.isfinite(a)):
                raise ValueError(f"{path}: coordinate '{name}' is not a 1-D finite array")
        _require_memory(path, xs.size * ys.size)
        data = var[:]
        data = np.ma.filled(np.ma.asarray(data).astype(np.float64), np.nan)
        data = data.reshape([n for d, n in zip(var.dimensions, var.shape) if d in dims])
        if [d for d in var.dimensions if d in dims] == [xd, yd]:
            data = data.T
        geographic_names = xd.lower() in ("lon", "longitude") or _is_degrees(nc.variables[xd])
        c = _netcdf_crs(nc, var, path, crs, geographic_names)
    return Grid(data, xs, ys, c, path, c.is_geographic)


def _data_variable(nc, path, name):
    if name is not None:
        if name not in nc.variables:
            raise ValueError(f"{path}: no variable '{name}' (variables: {', '.join(nc.variables)})")
        return nc.variables[name]
    coords = set(nc.dimensions)
    cands = [v for v in nc.variables.values()
             if v.name not in coords and sum(n > 1 for n in v.shape) == 2]
    if len(cands) == 1:
        return cands[0]
    for pref in ("z", "Band1", "los", "unw", "phase", "displacement"):
        for v in cands:
            if v.name == pref:
                return v
    if not cands:
        raise ValueError(f"{path}: no two-dimensional variable")
    raise ValueError(f"{path}: several two-dimensional variables ({', '.join(v.name for v in cands)}): "
                     "give variable=")


def _netcdf_crs(nc, var, path, crs, geographic_names):
    import pyproj
    if crs is not None:
        return _crs(crs, path)
    gm = getattr(var, "grid_mapping", None)
    if gm is not None and str(gm) in nc.variables:
        g = nc.variables[str(gm)]
        attrs = {a: g.getncattr(a) for a in g.ncattrs()}
        for key in ("crs_wkt", "spatial_ref"):
            if key in attrs:
                return _crs(str(attrs[key]), path)
        try:
            return pyproj.CRS.from_cf(attrs)
        except pyproj.exceptions.CRSError as e:
            raise ValueError(f"{path}: grid mapping '{gm}' not understood ({e})") from None
    if geographic_names:
        return pyproj.CRS.from_epsg(4326)
    raise ValueError(f"{path}: the coordinates are not longitude and latitude and the file names no "
                     "coordinate reference system (no grid_mapping): give crs=")


def _read_gmt_old(nc, path, crs):
    import pyproj
    v = nc.variables
    xr = np.asarray(v["x_range"][:], dtype=float)
    yr = np.asarray(v["y_range"][:], dtype=float)
    dim = np.asarray(v["dimension"][:]).astype(int)
    if xr.size != 2 or yr.size != 2 or dim.size != 2 or np.any(dim < 1):
        raise ValueError(f"{path}: x_range, y_range and dimension must hold two values each")
    nx, ny = int(dim[0]), int(dim[1])
    z = v["z"]
    offset = getattr(z, "node_offset", getattr(nc, "node_offset", 0))
    try:
        offset = int(np.asarray(offset).ravel()[0])
    except (TypeError, ValueError, IndexError):
        raise ValueError(f"{path}: node_offset {offset!r} is not 0 or 1") from None
    if offset not in (0, 1):
        raise ValueError(f"{path}: node_offset {offset} is not 0 (gridline) or 1 (pixel registration)")
    if z.size != nx * ny:
        raise ValueError(f"{path}: z has {z.size} values, dimension says {nx} x {ny}")
    _require_memory(path, nx * ny)
    data = np.ma.filled(np.ma.asarray(z[:]).astype(np.float64), np.nan).reshape(ny, nx)

    def axis(r, n):
        if offset == 1:
            step = (r[1] - r[0]) / n
            return r[0] + (np.arange(n) + 0.5) * step
        return np.linspace(r[0], r[1], n) if n > 1 else np.array([r[0]])

    xs = axis(xr, nx)
    ys = axis(yr, ny)[::-1]                 # rows stored from the north
    if crs is not None:
        c = _crs(crs, path)
    elif _is_degrees(v["x_range"]):
        c = pyproj.CRS.from_epsg(4326)
    else:
        raise ValueError(f"{path}: a GMT grid whose x_range is not in degrees: give crs=")
    return Grid(data, xs, ys, c, path, c.is_geographic)


def same_grid(a: Grid, b: Grid) -> None:
    """``ValueError`` naming both files unless ``b`` has ``a``'s shape,
    pixel positions (within a thousandth of a pixel) and CRS."""
    why = None
    if a.shape != b.shape:
        why = f"shapes {a.shape} and {b.shape}"
    else:
        for name, p, q in (("x", a.xs, b.xs), ("y", a.ys, b.ys)):
            step = abs(p[1] - p[0]) if p.size > 1 else 1.0
            if np.max(np.abs(p - q)) > 1e-3 * step:
                why = f"{name} positions differ by up to {np.max(np.abs(p - q)):.6g}"
                break
        if why is None and not a.crs.equals(b.crs, ignore_axis_order=True):
            why = f"coordinate reference systems differ ({a.crs.name} and {b.crs.name})"
    if why:
        raise ValueError(f"{a.path} and {b.path} are not on the same grid: {why}")
