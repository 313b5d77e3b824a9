"""Observations for the fits: radar line-of-sight data and GNSS
displacements (:class:`Dataset`), read from text tables or ``.npz`` files
(:func:`load_dataset`).

Checks that catch data in the wrong units or conventions, at once:

* a look vector (ground to radar) whose length is not 1 within 1 % is
  refused (``ValueError`` naming the dataset and the first bad row, or the
  file and line), unless ``normalise=True`` scales every vector to length 1;
* a look vector pointing down (up < 0: radar to ground, the wrong way) warns;
* points spread over more than 2,000 km, or observations beyond 20 m
  (20,000 mm), warn: metres taken for km, or metres for mm.

Warnings are :class:`DataWarning` (a ``UserWarning``).
"""
from __future__ import annotations

import copy
import math
import os
import re
import warnings
from collections.abc import Callable, Sequence
from typing import Protocol

import numpy as np
import scipy.linalg
from numpy.typing import ArrayLike

from vadrel import PathLike
from .. import geodesy

__all__ = ["Dataset", "DataWarning", "load_dataset", "dataset_kind", "LOOK_TOLERANCE", "LARGEST_EXTENT",
           "LARGEST_VALUE"]

#: Largest departure of a look vector's length from 1 taken as rounding.
LOOK_TOLERANCE = 0.01
#: Extent of the points (km) beyond which their unit is doubted.
LARGEST_EXTENT = 2000.0
#: Observation (mm) beyond which its unit is doubted.
LARGEST_VALUE = 20000.0


class DataWarning(UserWarning):
    """Data that may be in the wrong unit or convention."""


class _CovarianceModel(Protocol):
    """A noise model that gives the covariance (mm^2) of a dataset's samples."""

    def matrix(self, dataset: Dataset) -> np.ndarray: ...


def _vector(name, v, n=None):
    a = np.asarray(v, dtype=float)
    if a.ndim == 0 and n is not None:
        a = np.full(n, float(a))
    if a.ndim != 1:
        raise ValueError(f"{name} must be a 1-D array, got shape {a.shape}")
    if n is not None and a.size != n:
        raise ValueError(f"{name} has {a.size} values, expected {n}")
    bad = np.flatnonzero(~np.isfinite(a))
    if bad.size:
        raise ValueError(f"{name}: value {bad[0]} is not finite ({a[bad[0]]})")
    return a


class Dataset:
    """Radar line-of-sight data or GNSS displacements, with their weights
    and what the fits need to know about them.

    Radar: ``Dataset(x, y, los, look, ...)`` with ``x``, ``y`` (km),
    ``los`` (mm, positive towards the radar), ``look`` ((east, north, up)
    from the ground to the radar, unit length: one vector or one per point;
    ``normalise=True`` scales vectors of other lengths).  GNSS:
    :meth:`Dataset.gnss`.

    Fields:

    * ``name``, ``kind`` (``"los"`` or ``"gnss"``), ``npoints`` (points;
      ``len(dataset)`` is the number of scalar observations, 3 per GNSS
      station);
    * ``x``, ``y``, ``obs``, ``look``, ``comp`` (per observation: GNSS east,
      north and up are the range change along (1,0,0), (0,1,0), (0,0,1));
    * weights: ``sigma`` (mm, one per observation) or ``chol`` (the lower
      Cholesky factor of the full covariance, mm, computed once), or
      neither (``weighted`` False: every observation weighs 1);
      ``covariance_model``: the object given to :meth:`with_covariance`;
    * ``offset``, ``ramp``: a constant and a linear ramp fitted with the
      fault (per component for GNSS), about ``centre``;
    * ``leaf_size`` (km, per sample) and ``pixels`` (pixel count per
      sample) for downsampled interferograms, None otherwise;
    * ``frame``: the :class:`vadrel.geodesy.LocalFrame` the km are in, or
      None (then fitted faults have no longitudes and latitudes).
    """

    def __init__(self, x: ArrayLike, y: ArrayLike, los: ArrayLike, look: ArrayLike, *, sigma: ArrayLike | None = None,
                 cov: ArrayLike | None = None, name: str | None = None, offset: bool = True, ramp: bool = True,
                 frame: geodesy.LocalFrame | None = None, leaf_size: ArrayLike | None = None,
                 pixels: ArrayLike | None = None, normalise: bool = False,
                 _where: Callable[[int], str] | None = None) -> None:
        name = name or "radar"
        x = _vector("x", x)
        n = x.size
        if n == 0:
            raise ValueError("a dataset needs at least one point")
        y = _vector("y", y, n)
        los = _vector("los", los, n)
        look = np.asarray(look, dtype=float)
        if look.shape == (3,):
            look = np.broadcast_to(look, (n, 3)).copy()
        if look.shape != (n, 3):
            raise ValueError(f"look must be one (east, north, up) vector or one per point, got shape {look.shape}")
        if not np.all(np.isfinite(look)) or np.any(np.einsum("ij,ij->i", look, look) == 0.0):
            raise ValueError("look vectors must be finite and not zero")
        look = _unit_looks(look, name, normalise, _where or (lambda k: f"row {k}"))
        self._setup("los", name, x, y, los, look, np.zeros(n, dtype=int), sigma, cov, offset, ramp)
        self.frame = _frame(frame)
        self.leaf_size = None if leaf_size is None else _vector("leaf_size", leaf_size, n)
        self.pixels = None if pixels is None else _vector("pixels", pixels, n)
        for what, a in (("leaf_size", self.leaf_size), ("pixels", self.pixels)):
            if a is not None and np.any(a <= 0):
                raise ValueError(f"dataset '{self.name}': {what} must be positive (row {int(np.argmax(a <= 0))})")
        _check_units(self)

    @classmethod
    def gnss(cls, x: ArrayLike, y: ArrayLike, e: ArrayLike, n: ArrayLike, u: ArrayLike, *, sigma_e: ArrayLike,
             sigma_n: ArrayLike, sigma_u: ArrayLike, name: str | None = None, offset: bool = False, ramp: bool = False,
             frame: geodesy.LocalFrame | None = None) -> Dataset:
        """Three-component displacements (mm) at GNSS stations (km), with one
        standard deviation per component (scalars or per station)."""
        self = cls.__new__(cls)
        x = _vector("x", x)
        m = x.size
        if m == 0:
            raise ValueError("a dataset needs at least one point")
        y = _vector("y", y, m)
        obs = np.concatenate([_vector(c, v, m) for c, v in (("e", e), ("n", n), ("u", u))])
        sig = np.concatenate([_vector(c, v, m) for c, v in
                              (("sigma_e", sigma_e), ("sigma_n", sigma_n), ("sigma_u", sigma_u))])
        look = np.repeat(np.eye(3), m, axis=0)
        self._setup("gnss", name or "gnss", np.tile(x, 3), np.tile(y, 3), obs, look,
                    np.repeat(np.arange(3), m), sig, None, offset, ramp)
        self.npoints = m
        self.frame = _frame(frame)
        self.leaf_size = self.pixels = None
        _check_units(self)
        return self

    def _setup(self, kind, name, x, y, obs, look, comp, sigma, cov, offset, ramp):
        self.kind, self.name = kind, str(name)
        self.x, self.y, self.obs, self.look, self.comp = x, y, obs, look, comp
        self.npoints = x.size
        self.offset, self.ramp = bool(offset), bool(ramp)
        self.covariance_model = None
        self._weights(sigma, cov)
        self._nuisance()

    def _weights(self, sigma, cov):
        m = self.obs.size
        self.sigma = self.chol = None
        if sigma is not None and cov is not None:
            raise ValueError("give sigma or cov, not both")
        if sigma is not None:
            s = _vector("sigma", sigma, m)
            if np.any(s <= 0):
                raise ValueError("sigma must be positive")
            self.sigma = s
        elif cov is not None:
            c = np.asarray(cov, dtype=float)
            if c.shape != (m, m) or not np.all(np.isfinite(c)):
                raise ValueError(f"cov must be a finite ({m}, {m}) matrix, got shape {c.shape}")
            try:
                self.chol = np.linalg.cholesky(c)
            except np.linalg.LinAlgError:
                raise ValueError("cov is not positive definite") from None
        self.weighted = self.sigma is not None or self.chol is not None

    def _nuisance(self):
        # Nuisance columns: per component an offset and/or ramp, about the centre of the points.
        x, y, comp, kind = self.x, self.y, self.comp, self.kind
        self.centre = (float(np.mean(x)), float(np.mean(y)))
        cols, names = [], []
        suffix = ("_e", "_n", "_u") if kind == "gnss" else ("",)
        for c in np.unique(comp):
            ind = (comp == c).astype(float)
            if self.offset:
                cols.append(ind)
                names.append(f"offset{suffix[c]}")
            if self.ramp:
                cols += [ind * (x - self.centre[0]), ind * (y - self.centre[1])]
                names += [f"ramp_x{suffix[c]}", f"ramp_y{suffix[c]}"]
        self.nuisance = np.column_stack(cols) if cols else np.zeros((self.obs.size, 0))
        self.nuisance_names = names

    def __len__(self):
        return self.obs.size

    def __repr__(self):
        return f"Dataset({self.name!r}, {self.kind}, {self.npoints} points)"

    def with_covariance(self, cov: _CovarianceModel | ArrayLike) -> Dataset:
        """A copy weighted by a full covariance: ``cov.matrix(self)`` (an
        object with a ``matrix(dataset)`` method giving the (n, n) covariance
        in mm^2, such as a fitted noise model; kept as ``covariance_model``)
        or an (n, n) array.  Its Cholesky factor is computed here, once."""
        matrix = cov.matrix(self) if hasattr(cov, "matrix") else cov
        out = copy.copy(self)
        out._weights(None, matrix)
        out.covariance_model = cov if hasattr(cov, "matrix") else None
        return out

    def with_options(self, *, name: str | None = None, sigma: ArrayLike | None = None, offset: bool | None = None,
                     ramp: bool | None = None) -> Dataset:
        """A copy with another name, standard deviation (mm, replacing the
        weights), or offset and ramp switched."""
        out = copy.copy(self)
        if name is not None:
            out.name = str(name)
        if sigma is not None:
            out._weights(sigma, None)
            out.covariance_model = None
        if offset is not None or ramp is not None:
            out.offset = out.offset if offset is None else bool(offset)
            out.ramp = out.ramp if ramp is None else bool(ramp)
            out._nuisance()
        return out

    def lonlat(self) -> tuple[float | np.ndarray, float | np.ndarray]:
        """Longitudes and latitudes (degrees) of the points, through the
        dataset's frame; ValueError without one."""
        if self.frame is None:
            raise ValueError(f"dataset '{self.name}' has no frame: its points are km only")
        return self.frame.to_lonlat(self.x[:self.npoints], self.y[:self.npoints])

    def whiten(self, a: np.ndarray) -> np.ndarray:
        """Residuals or Jacobian rows divided by the standard deviations (or
        by the Cholesky factor of the covariance)."""
        if self.sigma is not None:
            return a / (self.sigma if a.ndim == 1 else self.sigma[:, None])
        if self.chol is not None:
            return scipy.linalg.solve_triangular(self.chol, a, lower=True)
        return a

    def shaped(self, v: np.ndarray) -> np.ndarray:
        """Per-observation values as the data are shaped: (n,) for radar,
        (n, 3) east, north, up for GNSS."""
        return v.reshape(3, -1).T if self.kind == "gnss" else v

    def split_nuisance(self, c: Sequence[float] | np.ndarray) -> tuple[float | list[float],
                                                                      tuple[float, float] | list[tuple[float, float]]]:
        """Fitted nuisance coefficients -> (offsets, ramps) in the model frame:
        offset + a*x + b*y.  Per component for GNSS."""
        d = dict(zip(self.nuisance_names, c))
        out_o, out_r = [], []
        for s in (("_e", "_n", "_u") if self.kind == "gnss" else ("",)):
            a, b = d.get(f"ramp_x{s}", 0.0), d.get(f"ramp_y{s}", 0.0)
            out_o.append(d.get(f"offset{s}", 0.0) - a * self.centre[0] - b * self.centre[1])
            out_r.append((a, b))
        if self.kind == "gnss":
            return out_o, out_r
        return out_o[0], out_r[0]


def _frame(frame):
    if frame is None or isinstance(frame, geodesy.LocalFrame):
        return frame
    raise ValueError(f"frame must be a vadrel.geodesy.LocalFrame or None, got {type(frame).__name__}")


def _unit_looks(look, name, normalise, where):
    """Look vectors of unit length: refused (or scaled, with ``normalise``)
    when a length departs from 1 by more than LOOK_TOLERANCE; a warning when
    one points down."""
    length = np.sqrt(np.einsum("ij,ij->i", look, look))
    if normalise:
        look = look / length[:, None]
    else:
        bad = np.flatnonzero(np.abs(length - 1.0) > LOOK_TOLERANCE)
        if bad.size:
            k = int(bad[0])
            raise ValueError(f"dataset '{name}', {where(k)}: the look vector (e n u) has length "
                             f"{length[k]:.6g}, not 1 (scaled or not a unit vector; give normalise=True "
                             f"to scale every look vector to length 1)")
    down = np.flatnonzero(look[:, 2] < 0.0)
    if down.size:
        warnings.warn(f"dataset '{name}': {down.size} look vector(s) point down (first {where(int(down[0]))}: "
                      f"up = {look[down[0], 2]:.3g}); look vectors go from the ground to the radar, so the "
                      f"sense of the motion is reversed if they are radar to ground", DataWarning, stacklevel=3)
    return look


def _check_units(d):
    extent = max(float(np.ptp(d.x)), float(np.ptp(d.y)))
    if extent > LARGEST_EXTENT:
        warnings.warn(f"dataset '{d.name}': the points spread over {extent:.4g} km: are x and y in km "
                      f"(not metres)?", DataWarning, stacklevel=3)
    big = float(np.abs(d.obs).max())
    if big > LARGEST_VALUE:
        warnings.warn(f"dataset '{d.name}': an observation of {big:.4g} mm (over 20 m): are the values in mm?",
                      DataWarning, stacklevel=3)


_LOS_COLUMNS = ("x", "y", "los", "e", "n", "u")
_GNSS_COLUMNS = ("x", "y", "e", "n", "u", "se", "sn", "su")


def _read_table(path):
    """Header names and rows of a whitespace or comma text table, each row
    with its line number; blank lines and lines starting with # are skipped."""
    rows, header, hline = [], None, 0
    try:
        with open(path, encoding="utf-8-sig") as f:
            for i, line in enumerate(f, 1):
                s = line.strip()
                if not s or s.startswith("#"):
                    continue
                fields = [t for t in re.split(r"[,\s]+", s) if t]
                if header is None:
                    header, hline = [t.lower() for t in fields], i
                    continue
                if len(fields) != len(header):
                    raise ValueError(f"{path}, line {i}: {len(fields)} values, expected {len(header)} "
                                     f"({' '.join(header)})")
                try:
                    vals = [float(t) for t in fields]
                except ValueError:
                    bad = next(t for t in fields if not _is_number(t))
                    raise ValueError(f"{path}, line {i}: '{bad}' is not a number") from None
                for name, v in zip(header, vals):
                    if not math.isfinite(v):
                        raise ValueError(f"{path}, line {i}: {name} is not finite ({v})")
                rows.append((i, vals))
    except UnicodeDecodeError:
        raise ValueError(f"{path}: not a text file") from None
    if header is None:
        raise ValueError(f"{path}: no header line naming the columns")
    if not rows:
        raise ValueError(f"{path}, line {hline}: a header but no data lines")
    return header, hline, rows


def _is_number(t):
    try:
        float(t)
        return True
    except ValueError:
        return False


def _columns_needed(kind, header):
    """The columns a table must have, and those it may have.  Positions are
    ``x y`` (km) or ``lon lat`` (degrees)."""
    if kind not in ("los", "gnss"):
        raise ValueError(f"unknown dataset kind '{kind}' (los or gnss)")
    need = _LOS_COLUMNS if kind == "los" else _GNSS_COLUMNS
    if "x" not in header and "y" not in header and "lon" in header and "lat" in header:
        need = ("lon", "lat") + need[2:]
    return need, (("sigma",) if kind == "los" else ())


def load_dataset(path: PathLike, *, kind: str = "los", name: str | None = None, origin: Sequence[float] | None = None,
                 normalise: bool = False, sigma: ArrayLike | None = None) -> Dataset:
    """Read a dataset from a text table with a header naming the columns
    (``x y los e n u [sigma]`` for radar, ``e n u`` being the look vector
    from the ground to the radar; ``x y e n u se sn su`` for GNSS) separated
    by blanks or commas, or from an ``.npz`` with arrays of those names.
    Errors name the file and line.

    Positions are ``x y`` in km, or ``lon lat`` in degrees (either longitude
    convention): those go to a :class:`vadrel.geodesy.LocalFrame` (transverse
    Mercator) about ``origin`` = (lon0, lat0), by default the data's own
    centre (the circular mean of the longitudes and the mean of the
    latitudes), and the dataset keeps that frame.  ``normalise=True`` scales
    look vectors to unit length (otherwise a length off 1 by more than 1 % is
    an error naming the line); ``sigma`` (mm) replaces the file's own."""
    path = os.fspath(path)
    if name is None:
        name = os.path.splitext(os.path.basename(path))[0]
    if path.endswith(".npz"):
        try:
            with np.load(path, allow_pickle=False) as z:
                cols = {k.lower(): np.asarray(z[k]) for k in z.files}
        except (OSError, ValueError) as e:
            raise ValueError(f"{path}: not a readable .npz file ({e})") from None
        need, optional = _columns_needed(kind, cols)
        missing = [c for c in need if c not in cols]
        if missing:
            raise ValueError(f"{path}: missing column(s) {', '.join(missing)} (has {', '.join(cols)})")
        n = None
        for c in need + tuple(o for o in optional if o in cols):
            a = cols[c]
            if a.ndim != 1:
                raise ValueError(f"{path}: column {c} is not 1-D (shape {a.shape})")
            if n is None:
                n = a.size
            elif a.size != n:
                raise ValueError(f"{path}: column {c} has {a.size} values, column {need[0]} has {n}")
            try:
                a = a.astype(float)
            except ValueError:
                raise ValueError(f"{path}: column {c} is not numeric") from None
            bad = np.flatnonzero(~np.isfinite(a))
            if bad.size:
                raise ValueError(f"{path}: column {c}, row {bad[0] + 1}: not finite ({a[bad[0]]})")
            cols[c] = a
        lines = None
    else:
        header, hline, rows = _read_table(path)
        need, optional = _columns_needed(kind, header)
        missing = [c for c in need if c not in header]
        if missing:
            raise ValueError(f"{path}, line {hline}: missing column(s) {', '.join(missing)} "
                             f"(header: {' '.join(header)})")
        data = np.array([r[1] for r in rows])
        lines = np.array([r[0] for r in rows])
        cols = {c: data[:, header.index(c)] for c in header}

    def at(k):
        return f"line {lines[k]}" if lines is not None else f"row {k + 1}"

    # Standard deviations must be positive: name the offending line.
    for c in (("sigma",) if kind == "los" else ("se", "sn", "su")):
        if c in cols and np.any(cols[c] <= 0):
            k = int(np.argmax(cols[c] <= 0))
            where = at(k) if lines is not None else f"column {c}, row {k + 1}"
            raise ValueError(f"{path}, {where}: {c} must be positive ({cols[c][k]})")
    frame = None
    if "x" not in need:
        bad = np.flatnonzero(np.abs(cols["lat"]) > 90.0)
        if bad.size:
            raise ValueError(f"{path}, {at(int(bad[0]))}: latitude {cols['lat'][bad[0]]:g} is beyond 90 degrees")
        if origin is None:
            origin = (geodesy.circular_mean(cols["lon"]), float(np.mean(cols["lat"])))
        frame = geodesy.LocalFrame(origin)
        cols["x"], cols["y"] = (np.asarray(v, dtype=float).reshape(-1)
                                for v in frame.to_km(cols["lon"], cols["lat"]))
    elif origin is not None:
        frame = geodesy.LocalFrame(origin)
    if kind == "los":
        look = np.column_stack([cols["e"], cols["n"], cols["u"]])
        zero = np.flatnonzero(np.einsum("ij,ij->i", look, look) == 0.0)
        if zero.size:
            raise ValueError(f"{path}, {at(int(zero[0]))}: the look vector (e n u) is zero")
        s = cols.get("sigma") if sigma is None else sigma
        try:
            return Dataset(cols["x"], cols["y"], cols["los"], look, sigma=s, name=name, frame=frame,
                           normalise=normalise, _where=at)
        except ValueError as e:
            raise ValueError(f"{path}: {e}") from None
    if sigma is not None:
        se = sn = su = sigma
    else:
        se, sn, su = cols["se"], cols["sn"], cols["su"]
    return Dataset.gnss(cols["x"], cols["y"], cols["e"], cols["n"], cols["u"], sigma_e=se,
                        sigma_n=sn, sigma_u=su, name=name, frame=frame)


def dataset_kind(path: PathLike) -> str:
    """Radar when the header names a ``los`` column, GNSS otherwise."""
    if os.fspath(path).endswith(".npz"):
        try:
            with np.load(path, allow_pickle=False) as z:
                return "los" if "los" in [k.lower() for k in z.files] else "gnss"
        except (OSError, ValueError):
            return "los"
    header, _, _ = _read_table(path)
    return "los" if "los" in header else "gnss"
