"""Observations for the fits: radar line-of-sight data and GNSS
displacements (:class:`Dataset`), read from text tables or ``.npz`` files
(:func:`load_dataset`)."""
from __future__ import annotations

import math
import os
import re

import numpy as np
import scipy.linalg

__all__ = ["Dataset", "load_dataset", "dataset_kind"]


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
    """Radar line-of-sight data: ``x``, ``y`` (km), ``los`` (mm, positive
    towards the radar), ``look`` ((east, north, up) from the ground to the
    radar: one vector or one per point).  ``sigma`` (mm, scalar or per point)
    or ``cov`` ((n, n), mm^2) weigh the observations.  ``offset`` and
    ``ramp``: fit a constant and a linear ramp with the fault."""

    def __init__(self, x, y, los, look, *, sigma=None, cov=None, name=None, offset=True, ramp=True):
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
        self._setup("los", name or "radar", x, y, los, look, np.zeros(n, dtype=int), sigma, cov,
                    offset, ramp)

    @classmethod
    def gnss(cls, x, y, e, n, u, *, sigma_e, sigma_n, sigma_u, name=None, offset=False, ramp=False):
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
        return self

    def _setup(self, kind, name, x, y, obs, look, comp, sigma, cov, offset, ramp):
        self.kind, self.name = kind, str(name)
        self.x, self.y, self.obs, self.look, self.comp = x, y, obs, look, comp
        self.npoints = x.size
        self.offset, self.ramp = bool(offset), bool(ramp)
        m = obs.size
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
        # Nuisance columns: per component an offset and/or ramp, about the centre of the points.
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
        self.nuisance = np.column_stack(cols) if cols else np.zeros((m, 0))
        self.nuisance_names = names

    def __len__(self):
        return self.obs.size

    def __repr__(self):
        return f"Dataset({self.name!r}, {self.kind}, {self.npoints} points)"

    def whiten(self, a):
        """Residuals or Jacobian rows divided by the standard deviations (or
        by the Cholesky factor of the covariance)."""
        if self.sigma is not None:
            return a / (self.sigma if a.ndim == 1 else self.sigma[:, None])
        if self.chol is not None:
            return scipy.linalg.solve_triangular(self.chol, a, lower=True)
        return a

    def shaped(self, v):
        """Per-observation values as the data are shaped: (n,) for radar,
        (n, 3) east, north, up for GNSS."""
        return v.reshape(3, -1).T if self.kind == "gnss" else v

    def split_nuisance(self, c):
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


def _columns_needed(kind):
    if kind == "los":
        return _LOS_COLUMNS, ("sigma",)
    if kind == "gnss":
        return _GNSS_COLUMNS, ()
    raise ValueError(f"unknown dataset kind '{kind}' (los or gnss)")


def load_dataset(path, *, kind="los", name=None):
    """Read a dataset from a text table with a header naming the columns
    (``x y los e n u [sigma]`` for radar, ``e n u`` being the look vector;
    ``x y e n u se sn su`` for GNSS) separated by blanks or commas, or from
    an ``.npz`` with arrays of those names.  Errors name the file and line."""
    path = os.fspath(path)
    need, optional = _columns_needed(kind)
    if name is None:
        name = os.path.splitext(os.path.basename(path))[0]
    if path.endswith(".npz"):
        try:
            with np.load(path, allow_pickle=False) as z:
                cols = {k.lower(): np.asarray(z[k]) for k in z.files}
        except (OSError, ValueError) as e:
            raise ValueError(f"{path}: not a readable .npz file ({e})") from None
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
        missing = [c for c in need if c not in header]
        if missing:
            raise ValueError(f"{path}, line {hline}: missing column(s) {', '.join(missing)} "
                             f"(header: {' '.join(header)})")
        data = np.array([r[1] for r in rows])
        lines = np.array([r[0] for r in rows])
        cols = {c: data[:, header.index(c)] for c in header}
    # Standard deviations must be positive: name the offending line.
    for c in (("sigma",) if kind == "los" else ("se", "sn", "su")):
        if c in cols and np.any(cols[c] <= 0):
            k = int(np.argmax(cols[c] <= 0))
            at = f"line {lines[k]}" if lines is not None else f"column {c}, row {k + 1}"
            raise ValueError(f"{path}, {at}: {c} must be positive ({cols[c][k]})")
    if kind == "los":
        look = np.column_stack([cols["e"], cols["n"], cols["u"]])
        zero = np.flatnonzero(np.einsum("ij,ij->i", look, look) == 0.0)
        if zero.size:
            at = f"line {lines[zero[0]]}" if lines is not None else f"row {zero[0] + 1}"
            raise ValueError(f"{path}, {at}: the look vector (e n u) is zero")
        return Dataset(cols["x"], cols["y"], cols["los"], look, sigma=cols.get("sigma"), name=name)
    return Dataset.gnss(cols["x"], cols["y"], cols["e"], cols["n"], cols["u"], sigma_e=cols["se"],
                        sigma_n=cols["sn"], sigma_u=cols["su"], name=name)


def dataset_kind(path):
    """Radar when the header names a ``los`` column, GNSS otherwise."""
    if os.fspath(path).endswith(".npz"):
        try:
            with np.load(path, allow_pickle=False) as z:
                return "los" if "los" in [k.lower() for k in z.files] else "gnss"
        except (OSError, ValueError):
            return "los"
    header, _, _ = _read_table(path)
    return "los" if "los" in header else "gnss"
