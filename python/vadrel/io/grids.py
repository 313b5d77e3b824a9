"""Grids on longitude/latitude axes: the layouts tsunami models read and
write (tt3, tt1, NetCDF, xyz, ESRI ASCII, Surfer ASCII, fixed columns), and
bathymetry grids (tt3 layout, ESRI ASCII, NetCDF).

In memory a grid is ``lon`` (nx), ``lat`` (ny) ascending, degrees;
``times`` (nt) s; ``values`` (nt, ny, nx), south row first."""
from __future__ import annotations

import math
import os
import time

from collections.abc import Sequence

import numpy as np
from numpy.typing import ArrayLike

import vadrel

from vadrel import PathLike
from .files import replace_file

__all__ = ["FORMATS", "format_of", "write_grid", "read_grid", "read_bathymetry", "is_netcdf", "read_headed_grid"]

#: Output layouts of :func:`write_grid` and the file-name extensions that
#: select them when no format is given.
FORMATS = {"tt3": ".tt3", "tt1": ".tt1", "netcdf": ".nc", "xyz": ".xyz", "asc": ".asc", "surfer": ".grd",
           "fixed": ".dat"}


def is_netcdf(path: PathLike) -> bool:
    """True for a netCDF-3 or netCDF-4 (HDF5) file."""
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


def _text_lines(path):
    """The lines of a text grid; ``ValueError`` naming the line for bytes
    that are not text."""
    with open(path, "rb") as f:
        data = f.read()
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as e:
        line = data.count(b"\n", 0, e.start) + 1
        raise ValueError(f"{path}: line {line}: not a text grid ({e.reason})") from None
    return text.splitlines(), len(data)


def read_headed_grid(path: PathLike) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """A grid of a headed text layout: header lines of a value and a name
    (the tt3 layout: ``mx``, ``my``, [``mt``], ``xlower``, ``ylower``,
    [``t0``], ``dx``/``cellsize``, [``dy``, ``dt``], [``nodata_value``]) or
    of a name and a value (ESRI ASCII grid: ``ncols``, ``nrows``,
    ``xllcorner``/``xllcenter``, ...), then the rows, north row first.
    Returns ``(x, y, t, values)`` with values of shape (frames, rows, cols),
    rows south first.  The header's size is checked against the file's
    (each value takes two bytes at least) and the machine's memory before
    anything is allocated; ``ValueError`` naming the file and line for
    anything that does not parse."""
    path = os.fspath(path)
    header = {}
    lines, size = _text_lines(path)
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
        if len(text) > 64:
            raise ValueError(f"{path}: line {number}: {name} is not a number: {text[:20]!r}...")
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
    dims = [header["ncols"], header["nrows"], header.get("mt", 1.0)]
    if any(d < 1 or d != int(d) for d in dims):
        raise ValueError(f"{path}: line {start}: grid dimensions must be positive whole numbers")
    nx, ny, nt = (int(d) for d in dims)
    count = float(nx) * ny * nt
    if count > (size + 1) // 2:
        raise ValueError(f"{path}: line {start}: the header declares {nt} x {ny} x {nx} = {count:.0f} values; "
                         f"the file's {size} bytes hold at most {(size + 1) // 2}")
    vadrel._require_memory(count, 8, f"a grid of {nt} x {ny} x {nx} values from {path}")
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
        except ValueError:
            bad = next(w for w in words if not _is_float(w))
            shown = bad if len(bad) <= 40 else bad[:20] + f"... ({len(bad)} characters)"
            raise ValueError(f"{path}: line {number + 1}: not a number: {shown!r}") from None
        bad = ~np.isfinite(values[k:k + len(words)])
        if bad.any():
            raise ValueError(f"{path}: line {number + 1}: {words[int(np.argmax(bad))]!r} is not a finite number")
        k += len(words)
    if k < values.size:
        raise ValueError(f"{path}: line {len(lines)}: {k} values, expected {values.size}")
    grid = values.reshape(nt, ny, nx)[:, ::-1, :]
    if "nodata" in header:
        grid = np.where(grid == header["nodata"], np.nan, grid)
    t = header.get("t0", 0.0) + header.get("dt", 0.0) * np.arange(nt)
    x, y = x0 + dx * np.arange(nx), y0 + dy * np.arange(ny)
    if not (np.all(np.isfinite(x)) and np.all(np.isfinite(y)) and np.all(np.isfinite(t))):
        raise ValueError(f"{path}: line {start}: the grid's axes are not finite")
    return x, y, t, grid


def _is_float(word):
    try:
        float(word)
    except ValueError:
        return False
    return True


def _nc_axis(ds, names):
    for name in names:
        if name in ds.variables and ds.variables[name].ndim == 1:
            return name
    return None


def _netcdf(path, read):
    """``read(dataset)`` on a NetCDF file; whatever the library raises on a
    damaged file becomes a ``ValueError`` naming the file."""
    import netCDF4
    try:
        with netCDF4.Dataset(path) as ds:
            return read(ds)
    except (ValueError, MemoryError):
        raise
    except Exception as e:  # the library's own errors on a damaged file: OSError, RuntimeError, IndexError ...
        raise ValueError(f"{path}: not a readable NetCDF grid ({type(e).__name__}: {e})") from None


def _values(path, var):
    """A variable's values as floats, its size checked against the memory."""
    vadrel._require_memory(float(np.prod(var.shape, dtype=float)), 16, f"the variable {var.name} of {path}")
    return np.ma.filled(np.ma.asarray(var[:]).astype(float), np.nan)


def _read_netcdf_grid(path):
    """A 2-D NetCDF grid: the first two-dimensional variable whose
    dimensions are a latitude (``lat``, ``latitude``, ``y``) and a longitude
    (``lon``, ``longitude``, ``x``) axis."""
    def read(ds):
        xname = _nc_axis(ds, ("lon", "longitude", "x"))
        yname = _nc_axis(ds, ("lat", "latitude", "y"))
        if xname is None or yname is None:
            raise ValueError(f"{path}: no longitude and latitude axes")
        for var in ds.variables.values():
            if var.ndim == 2 and var.dimensions == (ds.variables[yname].dimensions[0],
                                                    ds.variables[xname].dimensions[0]):
                z = _values(path, var)
                break
        else:
            raise ValueError(f"{path}: no 2-D variable on the {yname} and {xname} axes")
        return _values(path, ds.variables[xname]), _values(path, ds.variables[yname]), z
    x, y, z = _netcdf(path, read)
    if x.size > 1 and x[1] < x[0]:
        x, z = x[::-1], z[:, ::-1]
    if y.size > 1 and y[1] < y[0]:
        y, z = y[::-1], z[::-1, :]
    return x, y, z


def read_bathymetry(bathymetry: PathLike | Sequence[ArrayLike]) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
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
        if is_netcdf(name):
            x, y, z = _read_netcdf_grid(name)
        else:
            x, y, _, z = read_headed_grid(name)
            z = z[-1]
    if x.ndim != 1 or y.ndim != 1 or z.shape != (y.size, x.size):
        raise ValueError(f"{name}: elevation must have shape (lat, lon) = ({y.size}, {x.size}), got {z.shape}")
    if x.size < 2 or y.size < 2 or not (np.all(np.diff(x) > 0) and np.all(np.diff(y) > 0)):
        raise ValueError(f"{name}: the axes must have two or more strictly increasing values")
    return x, y, z


def read_grid(path: PathLike) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """A grid written as ``tt3`` (or another headed text layout) or
    ``netcdf`` (``lon``, ``lat``, ``time`` and ``dz``): ``(lon, lat, times,
    values)``."""
    path = os.fspath(path)
    if is_netcdf(path):
        def read(ds):
            for name in ("lon", "lat", "time", "dz"):
                if name not in ds.variables:
                    raise ValueError(f"{path}: no variable {name!r} (lon, lat, time and dz expected)")
            return tuple(_values(path, ds.variables[n]) for n in ("lon", "lat", "time", "dz"))
        lon, lat, t, dz = _netcdf(path, read)
        if lon.ndim != 1 or lat.ndim != 1 or t.ndim != 1 or dz.shape != (t.size, lat.size, lon.size):
            raise ValueError(f"{path}: dz has shape {dz.shape}, not (time, lat, lon) = "
                             f"({t.size}, {lat.size}, {lon.size})")
        return lon, lat, t, dz
    return read_headed_grid(path)


# --------------------------------------------------------------------------- writers


def format_of(path: PathLike, format: str | None = None) -> str:
    """The layout named, or the one the file name's extension selects."""
    if format is None:
        ext = os.path.splitext(path)[1].lower()
        format = next((k for k, v in FORMATS.items() if v == ext), None)
        if format is None:
            raise ValueError(f"{path}: cannot tell the format from the extension {ext!r}; "
                             f"give one of {', '.join(FORMATS)}")
    if format not in FORMATS:
        raise ValueError(f"{path}: unknown format {format!r}; one of {', '.join(FORMATS)}")
    return format


def write_grid(path: PathLike, lon: ArrayLike, lat: ArrayLike, times: ArrayLike, dz: ArrayLike,
               format: str | None = None, *, source: str = "vadrel") -> None:
    """Write a grid of vertical displacements ``dz`` (nt, ny, nx, metres) to
    ``path`` in ``format`` (default from the extension, see :data:`FORMATS`),
    replacing any file there whole:

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
    format = format_of(path, format)
    lon, lat, times, dz = (np.asarray(a, dtype=float) for a in (lon, lat, times, dz))
    nt, ny, nx = dz.shape
    if len(lon) != nx or len(lat) != ny or len(times) != nt:
        raise ValueError(f"dz has shape {dz.shape}, axes {nt}, {ny}, {nx} expected")
    if not np.all(np.isfinite(dz)):
        raise ValueError("dz holds values that are not finite")
    if format in ("tt3", "asc", "surfer", "fixed"):
        for name, a in (("longitude", lon), ("latitude", lat)):
            if len(a) > 1 and np.ptp(np.diff(a)) > 1e-6 * abs(a[-1] - a[0]) / max(1, len(a) - 1):
                raise ValueError(f"{path}: the {name} spacing is not uniform, as this layout needs")
    if format == "netcdf":
        replace_file(path, lambda tmp: _write_netcdf(tmp, lon, lat, times, dz, source), text=False)
    else:
        writer = _WRITERS[format]
        replace_file(path, lambda f: writer(f, lon, lat, times, dz))


def _step(a):
    return float((a[-1] - a[0]) / (len(a) - 1)) if len(a) > 1 else 0.0


def _rows(f, rows, sep=" "):
    fmt = sep.join(["%.6e"] * rows.shape[1]) + "\n"
    for r in rows:
        f.write(fmt % tuple(r))


def _write_tt3(f, lon, lat, times, dz):
    nt, ny, nx = dz.shape
    head = [(nx, "mx"), (ny, "my"), (nt, "mt"), (repr(float(lon[0])), "xlower"), (repr(float(lat[0])), "ylower"),
            (repr(float(times[0])), "t0"), (repr(_step(lon)), "dx"), (repr(_step(lat)), "dy"),
            (repr(_step(times)), "dt")]
    f.write("".join(f"{v:<20} {k}\n" for v, k in head))
    for t in range(nt):
        _rows(f, dz[t, ::-1, :])


def _write_tt1(f, lon, lat, times, dz):
    glon, glat = np.meshgrid(lon, lat[::-1])
    for t in range(len(times)):
        block = np.column_stack([np.full(glon.size, times[t]), glon.ravel(), glat.ravel(), dz[t, ::-1, :].ravel()])
        np.savetxt(f, block, fmt=["%.6g", "%.10g", "%.10g", "%.6e"])


def _write_xyz(f, lon, lat, times, dz):
    glon, glat = np.meshgrid(lon, lat[::-1])
    np.savetxt(f, np.column_stack([glon.ravel(), glat.ravel(), dz[-1, ::-1, :].ravel()]),
               fmt=["%.10g", "%.10g", "%.6e"])


def _write_asc(f, lon, lat, times, dz):
    nt, ny, nx = dz.shape
    dx, dy = _step(lon), _step(lat)
    f.write(f"ncols {nx}\nnrows {ny}\nxllcenter {float(lon[0])!r}\nyllcenter {float(lat[0])!r}\n")
    if abs(dx - dy) <= 1e-9 * max(abs(dx), abs(dy)):
        f.write(f"cellsize {dx!r}\n")
    else:
        f.write(f"dx {dx!r}\ndy {dy!r}\n")
    f.write("nodata_value -9999\n")
    _rows(f, dz[-1, ::-1, :])


def _write_surfer(f, lon, lat, times, dz):
    z = dz[-1]
    f.write(f"DSAA\n{z.shape[1]} {z.shape[0]}\n{float(lon[0])!r} {float(lon[-1])!r}\n"
            f"{float(lat[0])!r} {float(lat[-1])!r}\n{float(z.min())!r} {float(z.max())!r}\n")
    _rows(f, z)


def _write_fixed(f, lon, lat, times, dz):
    for row in dz[-1, ::-1, :]:
        for a in range(0, len(row), 10):
            f.write("".join("%13.5E" % v for v in row[a:a + 10]) + "\n")


_WRITERS = {"tt3": _write_tt3, "tt1": _write_tt1, "xyz": _write_xyz, "asc": _write_asc, "surfer": _write_surfer,
            "fixed": _write_fixed}


def _write_netcdf(path, lon, lat, times, dz, source):
    import netCDF4
    with netCDF4.Dataset(path, "w", format="NETCDF4") as ds:
        ds.Conventions = "CF-1.8"
        ds.title = "Sea-floor vertical displacement"
        ds.source = source
        ds.history = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()) + " written by vadrel.tsunami"
        ds.createDimension("time", len(times))
        ds.createDimension("lat", len(lat))
        ds.createDimension("lon", len(lon))
        v = ds.createVariable("time", "f8", ("time",))
        v.units, v.long_name, v.axis = "s", "time since the start of the rupture", "T"
        v[:] = times
        v = ds.createVariable("lat", "f8", ("lat",))
        v.units, v.standard_name, v.long_name, v.axis = "degrees_north", "latitude", "latitude", "Y"
        v[:] = lat
        v = ds.createVariable("lon", "f8", ("lon",))
        v.units, v.standard_name, v.long_name, v.axis = "degrees_east", "longitude", "longitude", "X"
        v[:] = lon
        v = ds.createVariable("dz", "f4", ("time", "lat", "lon"), zlib=True, complevel=4, shuffle=True,
                              chunksizes=(1, min(len(lat), 512), min(len(lon), 512)))
        v.units, v.long_name = "m", "vertical displacement, up positive"
        v[:] = dz
