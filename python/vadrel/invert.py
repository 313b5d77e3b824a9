"""Fitting faults to radar and GNSS data with the closed-form Jacobian.

    python3 -m vadrel.invert DATA... --start faults.txt [--free X,Y,...]
                             [--slip NX NY --smoothing S] -o fitted.txt [--plot fit.png]

Data
----
:class:`Dataset` holds radar line-of-sight data (points in km, range change
in mm, positive towards the radar, one ground-to-radar look vector per point
or one for all) or, through :meth:`Dataset.gnss`, three-component GNSS
displacements in mm.  Inside, every dataset is a list of scalar observations
with a look vector each: a GNSS east component is the range change seen
along (1, 0, 0), so the model and its derivatives come from the same kernels
for both kinds.  Each dataset may carry a constant offset and a linear ramp
(``offset`` and ``ramp``, on by default for radar, off for GNSS; for GNSS
one per component); they are fitted with the fault, in the dataset's own
frame centred on its points and reported in the model frame.

Weights: ``sigma`` (one standard deviation per observation, or one for all)
or ``cov`` (a full covariance; its Cholesky factor whitens the residuals).
Without either the observations weigh 1; unless every dataset carries
weights, the reported standard deviations are scaled by the reduced
chi-square.

Geometry: :func:`fit_fault`
---------------------------
Weighted nonlinear least squares (``scipy.optimize.least_squares``, trust
region reflective) over the free parameters of every segment and the
offsets and ramps.  The Jacobian of the range change with respect to the ten
parameters of a segment is the closed form of :func:`vadrel.partials`; as
range change is a sum over segments, segment k's columns are the partials
of a model holding only segment k.  ``jacobian="forward"`` or ``"central"``
replaces it by finite differences (for comparison).

The top edge of a segment must not rise above the ground: depth - W sin(dip)
>= 0.  When ``depth`` is free the fit runs on the depth of the top edge
(``top``, bounded below by 0) instead of the depth of the deep edge, so the
constraint is a simple bound; when ``depth`` is held, ``W`` is bounded by
depth / sin(dip) (dip held) or by depth (dip free), which keeps it.

Slip: :func:`fit_slip`
----------------------
The plane cut into nx x ny patches, Green's functions for strike and dip
slip (one pass of the patch kernel per patch over all points, on all
processors), Laplacian smoothing and bounds on the slip sign or rake,
solved as one bounded linear least-squares problem.
"""
from __future__ import annotations

import argparse
import concurrent.futures
import json
import math
import os
import re
import sys
import time
import warnings

import numpy as np
import scipy.linalg
import scipy.optimize
import scipy.sparse

import vadrel
from vadrel.io.files import replace_file as _replace_file
from vadrel.sources import moment_magnitude

__all__ = ["Dataset", "load_dataset", "fit_fault", "FaultFit", "fit_slip", "SlipFit", "lcurve",
           "write_faults", "plot_fit", "plot_slip", "main", "PARAMETERS", "DEFAULT_FREE"]

#: The ten parameters of a segment, in the order of :data:`vadrel.PARTIAL_COLUMNS`.
PARAMETERS = tuple(vadrel.PARTIAL_COLUMNS)
#: Parameters fitted by default: everything but the opening.
DEFAULT_FREE = ("X", "Y", "strike", "depth", "dip", "U1", "U2", "L", "W")
_SLIPS = ("U1", "U2", "U3")
_DEG = math.pi / 180.0


# ---------------------------------------------------------------------------
# Data
# ---------------------------------------------------------------------------

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


def _datasets(datasets):
    if isinstance(datasets, Dataset):
        datasets = [datasets]
    datasets = list(datasets)
    if not datasets or not all(isinstance(d, Dataset) for d in datasets):
        raise ValueError("datasets must be a Dataset or a list of them")
    seen = {}
    for d in datasets:
        k = seen.get(d.name, 0)
        seen[d.name] = k + 1
        if k:
            raise ValueError(f"two datasets are named '{d.name}': give them distinct names")
    return datasets


class _Stack:
    """All datasets' observations end to end, their whitening and nuisance
    columns (block diagonal)."""

    def __init__(self, datasets):
        self.datasets = datasets
        self.x = np.concatenate([d.x for d in datasets])
        self.y = np.concatenate([d.y for d in datasets])
        self.look = np.concatenate([d.look for d in datasets])
        self.obs = np.concatenate([d.obs for d in datasets])
        self.slices, a = [], 0
        for d in datasets:
            self.slices.append(slice(a, a + len(d)))
            a += len(d)
        q = sum(d.nuisance.shape[1] for d in datasets)
        self.nuisance = np.zeros((a, q))
        self.nuisance_names, self.nslices, b = [], [], 0
        for d, s in zip(datasets, self.slices):
            k = d.nuisance.shape[1]
            self.nuisance[s, b:b + k] = d.nuisance
            self.nuisance_names += [f"{d.name}.{n}" for n in d.nuisance_names]
            self.nslices.append(slice(b, b + k))
            b += k
        self.weighted = all(d.weighted for d in datasets)
        self.wobs = self.whiten(self.obs)

    def whiten(self, a):
        if not any(d.weighted for d in self.datasets):
            return a
        out = np.empty_like(a)
        for d, s in zip(self.datasets, self.slices):
            out[s] = d.whiten(a[s])
        return out

    def summary(self, pred, nuis):
        """Per dataset and overall: rms (mm), variance reduction, predicted,
        residuals, offsets and ramps."""
        res = self.obs - pred
        rms, vr, offsets, ramps = {}, {}, {}, {}
        for d, s, ns in zip(self.datasets, self.slices, self.nslices):
            rms[d.name] = float(np.sqrt(np.mean(res[s] ** 2)))
            vr[d.name] = _vr(res[s], d.obs)
            offsets[d.name], ramps[d.name] = d.split_nuisance(nuis[ns])
        rms["all"] = float(np.sqrt(np.mean(res ** 2)))
        vr["all"] = _vr(self.whiten(res), self.wobs)
        predicted = [d.shaped(pred[s]) for d, s in zip(self.datasets, self.slices)]
        residuals = [d.shaped(res[s]) for d, s in zip(self.datasets, self.slices)]
        return rms, vr, predicted, residuals, offsets, ramps


def _vr(res, obs):
    """Variance reduction 1 - |residual|^2 / |data|^2."""
    d = float(np.dot(obs, obs))
    return 1.0 - float(np.dot(res, res)) / d if d > 0 else float("nan")


# ---------------------------------------------------------------------------
# Segments
# ---------------------------------------------------------------------------

def _seg_values(seg):
    return {k: float(getattr(seg, k)) for k in PARAMETERS + ("lam", "mu")} | {"name": seg.name,
                                                                             "flag": int(seg.flag)}


def _make_segment(v):
    """A Segment from a dict of its fields (by keyword: the positional order
    is not relied on)."""
    return vadrel.Segment(X=v["X"], Y=v["Y"], strike=v["strike"], depth=v["depth"], dip=v["dip"],
                          lam=v["lam"], mu=v["mu"], U1=v["U1"], U2=v["U2"], U3=v["U3"], L=v["L"],
                          W=v["W"], name=v["name"], flag=v["flag"])


def _with(v, **changes):
    return dict(v, **changes)


def _top(v):
    return v["depth"] - v["W"] * math.sin(v["dip"] * _DEG)


def _moment(values):
    """Scalar moment (N m) of segments, mu (taken in Pa) x area x shear
    slip, and its magnitude (None for no slip)."""
    m0 = sum(v["mu"] * v["L"] * v["W"] * 1e6 * math.hypot(v["U1"], v["U2"]) * 1e-3 for v in values)
    return m0, (moment_magnitude(m0) if m0 > 0 else None)


def _mw(mw):
    return "-" if mw is None else f"{mw:.2f}"


def _segments_of(start):
    if isinstance(start, vadrel.Segment):
        return [start], (0.0, 0.0, 0.0)
    if isinstance(start, vadrel.Faults):
        return list(start.segments), tuple(start.ramp)
    raise ValueError("start must be a vadrel.Segment or a vadrel.Faults")


# ---------------------------------------------------------------------------
# Nonlinear fit of the geometry
# ---------------------------------------------------------------------------

class _Problem:
    """The parameter vector of a geometry fit and its model, residuals and
    Jacobian.  Internal variables: the free parameters of each segment (the
    depth of the top edge in place of ``depth``), then the nuisance
    coefficients."""

    def __init__(self, stack, values, free, bounds):
        self.stack, self.values = stack, values
        self.free = []            # (segment index, parameter name); "top" stands for depth
        for k, names in enumerate(free):
            for n in names:
                self.free.append((k, "top" if n == "depth" else n))
        self.nfree = len(self.free)
        self.nparam = self.nfree + stack.nuisance.shape[1]
        self.lb, self.ub = self._bounds(bounds)
        self.calls = 0

    def _bounds(self, user):
        st = self.stack
        ext = max(float(np.ptp(st.x)), float(np.ptp(st.y)), 1.0)
        lb, ub = [], []
        for k, n in self.free:
            v = self.values[k]
            freek = {m for kk, m in self.free if kk == k}
            if n in ("X", "Y"):
                a = st.x if n == "X" else st.y
                lo, hi = float(a.min()) - ext, float(a.max()) + ext
            elif n == "strike":
                lo, hi = v["strike"] - 180.0, v["strike"] + 180.0
            elif n == "top":
                lo, hi = 0.0, max(50.0, 2.0 * v["depth"])
            elif n == "dip":
                lo, hi = 1.0, 179.0
            elif n in _SLIPS:
                big = max(2e4, 3.0 * abs(v[n]))
                lo, hi = -big, big
            elif n == "L":
                lo, hi = min(1.0, v["L"]), max(3.0 * v["L"], 2.0 * ext)
            else:  # W
                lo, hi = min(1.0, v["W"]), max(3.0 * v["W"], 100.0)
                if "top" not in freek:
                    hi = min(hi, v["depth"] if "dip" in freek else v["depth"] / math.sin(v["dip"] * _DEG))
            u = user[k].get(n) if user else None
            if u is not None:
                lo, hi = float(u[0]), float(u[1])
            if not lo < hi:
                raise ValueError(f"segment {k + 1}: empty bounds for {n} ({lo}, {hi})")
            x0 = self._start_value(k, n)
            if not lo <= x0 <= hi:
                what = "the depth of its top edge" if n == "top" else n
                raise ValueError(f"segment {k + 1}: the start's {what} ({x0:g}) is outside the bounds "
                                 f"({lo:g}, {hi:g})")
            lb.append(lo)
            ub.append(hi)
        q = self.stack.nuisance.shape[1]
        return np.array(lb + [-np.inf] * q), np.array(ub + [np.inf] * q)

    def _start_value(self, k, n):
        v = self.values[k]
        return _top(v) if n == "top" else v[n]

    def start(self):
        p = [self._start_value(k, n) for k, n in self.free]
        return np.array(p + [0.0] * self.stack.nuisance.shape[1])

    def segment_values(self, p):
        vals = [dict(v) for v in self.values]
        for (k, n), val in zip(self.free, p):
            vals[k]["depth_top" if n == "top" else n] = float(val)
        for v in vals:
            if "depth_top" in v:
                v["depth"] = v.pop("depth_top") + v["W"] * math.sin(v["dip"] * _DEG)
        return vals

    def faults(self, p):
        return vadrel.Faults([_make_segment(v) for v in self.segment_values(p)])

    def predict(self, p):
        st = self.stack
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            r = vadrel.range_change(self.faults(p), st.x, st.y, st.look)
        r = r + st.nuisance @ p[self.nfree:]
        if not np.all(np.isfinite(r)):
            raise ValueError("the model is not finite for these parameters")
        return r

    def residuals(self, p):
        self.calls += 1
        return self.stack.whiten(self.predict(p)) - self.stack.wobs

    def jacobian(self, p, internal=True):
        """d(prediction)/d(variable), whitened: internal variables (top
        edge) or, with ``internal=False``, the segment's own parameters."""
        st = self.stack
        vals = self.segment_values(p)
        J = np.empty((st.obs.size, self.nparam))
        cols = {}
        for k in sorted({k for k, _ in self.free}):
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", RuntimeWarning)
                cols[k] = vadrel.partials(vadrel.Faults([_make_segment(vals[k])]), st.x, st.y, st.look)
        idx = {n: i for i, n in enumerate(PARAMETERS)}
        for j, (k, n) in enumerate(self.free):
            P, v = cols[k], vals[k]
            if n == "top":
                J[:, j] = P[:, idx["depth"]]
            elif internal and n in ("W", "dip") and (k, "top") in self.free:
                # depth = top + W sin(dip): moving W or dip at a fixed top edge moves the deep edge.
                d = (math.sin(v["dip"] * _DEG) if n == "W" else v["W"] * math.cos(v["dip"] * _DEG) * _DEG)
                J[:, j] = P[:, idx[n]] + P[:, idx["depth"]] * d
            else:
                J[:, j] = P[:, idx[n]]
        J[:, self.nfree:] = st.nuisance
        if not np.all(np.isfinite(J)):
            raise ValueError("the Jacobian is not finite for these parameters")
        return st.whiten(J)

    def random_start(self, rng):
        """Geometry drawn uniformly inside the bounds; slips and nuisance
        solved linearly for that geometry (the model is linear in them)."""
        p = self.start()
        lin = [j for j, (k, n) in enumerate(self.free) if n in _SLIPS] + list(range(self.nfree, self.nparam))
        for j, (k, n) in enumerate(self.free):
            if n not in _SLIPS:
                p[j] = rng.uniform(self.lb[j], self.ub[j])
        # Held slips stay; the free ones and the nuisance are the linear solution.
        for j in lin:
            p[j] = 0.0
        base = self.residuals(p)
        A = self.jacobian(p)[:, lin]
        sol = np.linalg.lstsq(A, -base, rcond=None)[0]
        p[lin] = np.clip(sol, self.lb[lin], self.ub[lin])
        return p


def _run_start(problem, p0, jacobian):
    """One least-squares run from p0 (a task for a distributed worker)."""
    problem.calls = 0
    jac = {"analytic": problem.jacobian, "forward": "2-point", "central": "3-point"}[jacobian]
    r = scipy.optimize.least_squares(problem.residuals, p0, jac=jac, bounds=(problem.lb, problem.ub),
                                     method="trf", x_scale="jac", ftol=1e-10, xtol=1e-10, gtol=1e-10,
                                     max_nfev=max(200, 30 * problem.nparam))
    return r.x, float(r.cost), problem.calls, int(r.njev or 0), r.status, r.message


class FaultFit:
    """The result of :func:`fit_fault`.

    ``faults`` (a ``Faults``; the ramp of the only radar dataset, if there is
    one such, as its ``P`` line), ``params`` and ``sigma`` (name -> value,
    one standard deviation; names ``X``... for one segment, ``X_2``... for
    segment 2 of several, ``DATASET.offset``, ``DATASET.ramp_x``... for the
    nuisance; held parameters have sigma 0), ``names`` and ``covariance``
    (of the free parameters), ``rms`` and ``variance_reduction`` (dataset
    name -> value, and ``"all"``: the weighted whole), ``moment`` (N m),
    ``Mw``, ``nfev`` (model evaluations, finite differences included),
    ``njev``, ``predicted`` and ``residuals`` (per dataset, observed -
    computed; (n, 3) for GNSS), ``offsets`` and ``ramps`` (per dataset, in
    the model frame: offset + a x + b y), ``chi2``, ``time`` (s), ``starts``
    (the final cost of each start)."""

    def __repr__(self):
        return (f"FaultFit(Mw={_mw(self.Mw)}, rms={self.rms['all']:.3g} mm, "
                f"VR={100 * self.variance_reduction['all']:.1f} %, nfev={self.nfev})")


def _free_lists(free, nseg):
    if free is None:
        free = DEFAULT_FREE
    if isinstance(free, str):
        free = [n for n in free.split(",") if n]
    free = list(free)
    if free and all(isinstance(f, (list, tuple)) for f in free):
        if len(free) != nseg:
            raise ValueError(f"free: {len(free)} lists for {nseg} segments")
        lists = [list(f) for f in free]
    else:
        lists = [list(free) for _ in range(nseg)]
    for f in lists:
        for n in f:
            if n not in PARAMETERS:
                raise ValueError(f"free: unknown parameter '{n}' (one of {', '.join(PARAMETERS)})")
        if len(set(f)) != len(f):
            raise ValueError("free: a parameter is named twice")
    return lists


def _bound_lists(bounds, nseg, free):
    if bounds is None:
        return None
    if isinstance(bounds, dict):
        bounds = [bounds] * nseg
    bounds = list(bounds)
    if len(bounds) != nseg:
        raise ValueError(f"bounds: {len(bounds)} dicts for {nseg} segments")
    out = []
    for k, (b, f) in enumerate(zip(bounds, free)):
        b = dict(b)
        if "depth" in b and "depth" in f:
            raise ValueError("bounds: the fit runs on the depth of the top edge; bound it with 'top'")
        for n, v in b.items():
            if n not in PARAMETERS + ("top",):
                raise ValueError(f"bounds: unknown parameter '{n}'")
            if len(v) != 2 or not all(math.isfinite(float(a)) for a in v):
                raise ValueError(f"bounds: {n} needs two finite values (low, high)")
        out.append(b)
    return out


def fit_fault(datasets, start, *, free=DEFAULT_FREE, bounds=None, jacobian="analytic", starts=1, seed=0,
              client=None, progress=None) -> FaultFit:
    """Fit the geometry and slip of one or more segments to the datasets.

    ``start``: a ``Segment`` or a ``Faults``; ``free``: the names of the
    fitted parameters (for several segments one list for all, or a list per
    segment); ``bounds``: {name: (low, high)} (or one dict per segment),
    ``top`` bounding the depth of the top edge; ``jacobian``: ``"analytic"``
    (closed form), ``"forward"`` or ``"central"`` (finite differences);
    ``starts`` > 1 adds random starts inside the bounds (drawn from ``seed``)
    and keeps the best, run as tasks on ``client`` (a ``distributed.Client``)
    when given; ``progress``: a callable given a line of text per start.
    """
    t0 = time.perf_counter()
    if jacobian not in ("analytic", "forward", "central"):
        raise ValueError(f"jacobian must be analytic, forward or central, not '{jacobian}'")
    stack = _Stack(_datasets(datasets))
    segs, _ = _segments_of(start)
    values = [_seg_values(s) for s in segs]
    for k, v in enumerate(values):
        if _top(v) < -1e-9:
            raise ValueError(f"segment {k + 1}: its top edge is above the ground "
                             f"(depth - W sin(dip) = {_top(v):.3g} km)")
    free = _free_lists(free, len(values))
    problem = _Problem(stack, values, free, _bound_lists(bounds, len(values), free))
    if problem.nparam == 0:
        raise ValueError("nothing to fit: no free parameter and no offset or ramp")
    if stack.obs.size <= problem.nparam:
        raise ValueError(f"{stack.obs.size} observations for {problem.nparam} parameters")
    starts = int(starts)
    if starts < 1:
        raise ValueError("starts must be at least 1")
    rng = np.random.default_rng(seed)
    p0s = [problem.start()] + [problem.random_start(rng) for _ in range(starts - 1)]
    results = []
    if client is not None and starts > 1:
        remote = client.scatter(problem, broadcast=True)
        futures = [client.submit(_run_start, remote, p0, jacobian, pure=False) for p0 in p0s]
        for i, fut in enumerate(futures):
            results.append(fut.result())
            if progress:
                progress(f"start {i + 1}/{starts}: cost {results[-1][1]:.6g}")
    else:
        for i, p0 in enumerate(p0s):
            results.append(_run_start(problem, p0, jacobian))
            if progress:
                progress(f"start {i + 1}/{starts}: cost {results[-1][1]:.6g}")
    best = min(range(len(results)), key=lambda i: results[i][1])
    p, cost, nfev, njev, status, message = results[best]
    return _fault_fit(problem, p, cost, nfev, njev, message, [r[1] for r in results], time.perf_counter() - t0)


def _fault_fit(problem, p, cost, nfev, njev, message, costs, elapsed):
    st = problem.stack
    vals = problem.segment_values(p)
    for v in vals:
        v["strike"] %= 360.0
    fit = FaultFit()
    nseg = len(vals)
    pred = problem.predict(p)
    m, npar = st.obs.size, problem.nparam
    fit.chi2 = 2.0 * cost
    J = problem.jacobian(p, internal=False)
    cov = np.linalg.pinv(J.T @ J)
    if not st.weighted:
        cov *= fit.chi2 / (m - npar)
    sd = np.sqrt(np.maximum(np.diag(cov), 0.0))

    def label(k, n):
        return n if nseg == 1 else f"{n}_{k + 1}"

    fit.names = [label(k, "depth" if n == "top" else n) for k, n in problem.free] + st.nuisance_names
    fit.covariance = cov
    fit.params, fit.sigma = {}, {}
    for k, v in enumerate(vals):
        for n in PARAMETERS:
            fit.params[label(k, n)] = v[n]
            fit.sigma[label(k, n)] = 0.0
    for name, val, s in zip(fit.names, list(p[:problem.nfree]) + list(p[problem.nfree:]), sd):
        if name not in fit.params:
            fit.params[name] = float(val)
        fit.sigma[name] = float(s)
    (fit.rms, fit.variance_reduction, fit.predicted, fit.residuals, fit.offsets,
     fit.ramps) = st.summary(pred, p[problem.nfree:])
    fit.moment, fit.Mw = _moment(vals)
    ramp = _program_ramp(st.datasets, fit.offsets, fit.ramps)
    fit.faults = vadrel.Faults([_make_segment(v) for v in vals], ramp=ramp)
    fit.nfev, fit.njev, fit.message, fit.starts, fit.time = nfev, njev, message, costs, elapsed
    fit.datasets = [d.name for d in st.datasets]
    return fit


def _program_ramp(datasets, offsets, ramps):
    """The program has one range ramp: that of the only radar dataset."""
    radar = [d for d in datasets if d.kind == "los"]
    if len(radar) != 1:
        return (0.0, 0.0, 0.0)
    d = radar[0]
    return (ramps[d.name][0], ramps[d.name][1], offsets[d.name])


# ---------------------------------------------------------------------------
# Slip distribution
# ---------------------------------------------------------------------------

def _plane_patches(plane, nx, ny, extend):
    """The (extended) plane and its nx x ny patches, row 0 the shallowest."""
    v = _seg_values(plane)
    dl, dw = (float(e) for e in extend)
    if dl < 0 or dw < 0:
        raise ValueError("extend must be two lengths >= 0 (km along strike at each end, km down dip)")
    s, c = math.sin(v["strike"] * _DEG), math.cos(v["strike"] * _DEG)
    sd, cd = math.sin(v["dip"] * _DEG), math.cos(v["dip"] * _DEG)
    # Down dip is to the right of the strike direction: (cos s, -sin s) in map (east, north).
    v["X"] += -dl * s + dw * cd * c
    v["Y"] += -dl * c - dw * cd * s
    v["depth"] += dw * sd
    v["L"] += 2.0 * dl
    v["W"] += dw
    pl, pw = v["L"] / nx, v["W"] / ny
    patches = []
    for j in range(ny):
        up = (ny - 1 - j) * pw          # patch's deep edge distance up dip from the plane's
        for i in range(nx):
            patches.append(_with(v, X=v["X"] + i * pl * s - up * cd * c, Y=v["Y"] + i * pl * c + up * cd * s,
                                 depth=v["depth"] - up * sd, L=pl, W=pw, U1=0.0, U2=0.0, U3=0.0,
                                 name=f"p{j + 1}_{i + 1}"))
    return v, patches


def _greens(patches, x, y, look, progress=None):
    """(m, 2P) range change for unit strike slip (first P columns) and dip
    slip (last P) on each patch: one pass of the patch kernel per patch."""
    P, m = len(patches), x.size
    G = np.empty((m, 2 * P))
    nthreads = max(1, len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1)

    def one(k):
        v = patches[k]
        s, c = math.sin(v["strike"] * _DEG), math.cos(v["strike"] * _DEG)
        dx, dy = x - v["X"], y - v["Y"]
        xs, ys = dx * s + dy * c, -dx * c + dy * s          # along strike, 90 degrees to its left
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            u = vadrel.patch_displacement(xs, ys, L=v["L"], W=v["W"], depth=v["depth"], dip=v["dip"],
                                          lam=v["lam"], mu=v["mu"], U1=1.0, U2=1.0, U3=0.0, threads=1)
        for col, o in ((k, 0), (P + k, 3)):
            e = u[:, o] * s - u[:, o + 1] * c
            n = u[:, o] * c + u[:, o + 1] * s
            G[:, col] = e * look[:, 0] + n * look[:, 1] + u[:, o + 2] * look[:, 2]

    with concurrent.futures.ThreadPoolExecutor(nthreads) as pool:
        for done, _ in enumerate(pool.map(one, range(P)), 1):
            if progress and (done % 100 == 0 or done == P):
                progress(f"Green's functions: {done}/{P} patches")
    if not np.all(np.isfinite(G)):
        raise ValueError("Green's functions are not finite (a point on the trace of a patch?)")
    return G


def _laplacian(nx, ny, pl, pw, free_top):
    """Finite-difference Laplacian (1/km^2) of a slip field on the patch grid;
    slip vanishes beyond the sides and the bottom, and beyond the top unless
    the plane reaches the ground (a free surface: mirrored)."""
    n = nx * ny
    D = np.zeros((n, n))
    for j in range(ny):
        for i in range(nx):
            r = j * nx + i
            D[r, r] = -2.0 / pl ** 2 - 2.0 / pw ** 2
            for di in (-1, 1):
                if 0 <= i + di < nx:
                    D[r, r + di] += 1.0 / pl ** 2
            for dj in (-1, 1):
                if 0 <= j + dj < ny:
                    D[r, r + dj * nx] += 1.0 / pw ** 2
                elif dj == -1 and free_top:
                    D[r, r] += 1.0 / pw ** 2
    return D


class _SlipProblem:
    """Green's functions, their normal equations and the constraint basis of
    a slip inversion, built once for any number of smoothing weights."""

    def __init__(self, datasets, plane, nx, ny, extend, rake, positivity, progress=None):
        t0 = time.perf_counter()
        self.stack = st = _Stack(_datasets(datasets))
        if isinstance(plane, vadrel.Faults):
            plane = plane.segments[0]
        if not isinstance(plane, vadrel.Segment):
            raise ValueError("plane must be a vadrel.Segment (or a Faults whose first segment is used)")
        nx, ny = int(nx), int(ny)
        if nx < 1 or ny < 1:
            raise ValueError("nx and ny must be at least 1")
        self.nx, self.ny = nx, ny
        self.plane, self.patches = _plane_patches(plane, nx, ny, extend)
        if _top(self.plane) < -1e-9:
            raise ValueError("the plane's top edge is above the ground")
        P = nx * ny
        G = st.whiten(_greens(self.patches, st.x, st.y, st.look, progress))
        # Unknowns: two coefficients c per patch, slips (U1, U2) = T c, then the nuisance.
        # Each coefficient is >= 0 (+1), <= 0 (-1) or free (0).
        sign = np.zeros(2 * P, dtype=int)
        if rake is not None and positivity is not None:
            raise ValueError("give rake or positivity, not both")
        if rake is not None:
            r1, r2 = (float(r) for r in rake)
            if not 0.0 < r2 - r1 < 180.0:
                raise ValueError("rake: (low, high) in degrees with 0 < high - low < 180")
            # The cone between the two rakes: non-negative combinations of their directions.
            T = np.array([[math.cos(r1 * _DEG), math.cos(r2 * _DEG)], [math.sin(r1 * _DEG), math.sin(r2 * _DEG)]])
            sign[:] = 1
        else:
            T = np.eye(2)
            pos = (0, 0) if positivity is None else tuple(positivity)
            if len(pos) != 2 or any(v not in (-1, 0, 1, None) for v in pos):
                raise ValueError("positivity: (sign of U1, sign of U2), each +1, -1 or 0")
            for c, v in enumerate(pos):
                sign[c * P:(c + 1) * P] = v or 0
        q = st.nuisance.shape[1]
        self.T, self.sign = T, np.r_[sign, np.zeros(q, dtype=int)]
        self.G = np.hstack([G[:, :P] * T[0, 0] + G[:, P:] * T[1, 0], G[:, :P] * T[0, 1] + G[:, P:] * T[1, 1],
                            st.whiten(st.nuisance)])
        self.GtG, self.Gtb = _gram(self.G), self.G.T @ st.wobs
        pl, pw = self.plane["L"] / nx, self.plane["W"] / ny
        # A top edge within half a patch of the ground counts as reaching it.
        D = _laplacian(nx, ny, pl, pw, _top(self.plane) < 0.5 * pw * math.sin(self.plane["dip"] * _DEG))
        self.D = scipy.sparse.hstack([scipy.sparse.kron(T, D), scipy.sparse.csr_matrix((2 * P, q))]).tocsr()
        self.DtD = (self.D.T @ self.D).toarray()
        self.greens_time = time.perf_counter() - t0

    def slips(self, c):
        P = self.nx * self.ny
        u1 = self.T[0, 0] * c[:P] + self.T[0, 1] * c[P:2 * P]
        u2 = self.T[1, 0] * c[:P] + self.T[1, 1] * c[P:2 * P]
        return u1, u2

    def solve(self, smoothing):
        """Minimises mean((r/sigma)^2) + smoothing^2 mean((Laplacian of slip)^2):
        the Laplacian's rows weigh sqrt(m / 2P), so a weight means the same
        for any number of data m and patches P.  The normal equations are
        factored once (Cholesky); with sign constraints the factor is the
        matrix of a non-negative least-squares problem (Lawson and Hanson)."""
        smoothing = float(smoothing)
        if not (math.isfinite(smoothing) and smoothing >= 0):
            raise ValueError("smoothing must be a finite number >= 0")
        m, P = self.stack.obs.size, self.nx * self.ny
        H = self.GtG + (smoothing ** 2 * m / (2.0 * P)) * self.DtD
        H[np.diag_indices_from(H)] += 1e-12 * np.trace(H) / H.shape[0]
        try:
            R = scipy.linalg.cholesky(H, lower=False, check_finite=False)
        except np.linalg.LinAlgError:
            raise ValueError("the slip problem is singular: add smoothing") from None
        z = scipy.linalg.solve_triangular(R, self.Gtb, trans="T", check_finite=False)
        if not self.sign.any():
            c = scipy.linalg.solve_triangular(R, z, check_finite=False)
        else:
            # |R c - z|^2 with c = S y, y >= 0: a column per signed coefficient, two (+, -) per free one.
            free = np.flatnonzero(self.sign == 0)
            cols = np.r_[np.arange(len(self.sign)), free]
            signs = np.r_[np.where(self.sign == 0, 1, self.sign), -np.ones(free.size, dtype=int)]
            y = scipy.optimize.nnls(R[:, cols] * signs, z, maxiter=20 * len(cols))[0]
            c = np.zeros(len(self.sign))
            np.add.at(c, cols, signs * y)
        u1, u2 = self.slips(c)
        return c, u1, u2


def _gram(G):
    """G^T G, its blocks on two threads (the BLAS may have one)."""
    n = G.shape[1]
    h = n // 2
    if n < 64:
        return G.T @ G
    A, B = G[:, :h], G[:, h:]
    out = np.empty((n, n))
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        f1 = pool.submit(lambda: (A.T @ A, B.T @ B))
        f2 = pool.submit(lambda: A.T @ B)
        (aa, bb), ab = f1.result(), f2.result()
    out[:h, :h], out[h:, h:], out[:h, h:], out[h:, :h] = aa, bb, ab, ab.T
    return out


class SlipFit:
    """The result of :func:`fit_slip`: ``slip`` ((ny, nx, 2) U1, U2 in mm,
    row 0 the shallowest, column 0 at the start of the strike), ``patches``
    (a ``Faults`` of the patches with their slip), ``plane`` (the extended
    plane, a ``Segment``), ``rms``, ``variance_reduction`` (per dataset and
    ``"all"``), ``moment`` (N m), ``Mw``, ``predicted``, ``residuals``,
    ``offsets``, ``ramps``, ``roughness`` (rms of the Laplacian of the slip,
    mm/km^2), ``misfit`` (the weighted rms), ``smoothing``, ``time`` (s) and
    ``greens_time`` (s)."""

    def __repr__(self):
        return (f"SlipFit({self.ny}x{self.nx}, Mw={_mw(self.Mw)}, rms={self.rms['all']:.3g} mm, "
                f"VR={100 * self.variance_reduction['all']:.1f} %)")


def _slip_fit(sp, smoothing, t0):
    st = sp.stack
    c, u1, u2 = sp.solve(smoothing)
    P = sp.nx * sp.ny
    wpred = sp.G @ c
    pred = _unwhiten(st, wpred, c, sp)
    fit = SlipFit()
    fit.nx, fit.ny, fit.smoothing = sp.nx, sp.ny, float(smoothing)
    fit.slip = np.stack([u1.reshape(sp.ny, sp.nx), u2.reshape(sp.ny, sp.nx)], axis=-1)
    vals = [_with(v, U1=float(a), U2=float(b)) for v, a, b in zip(sp.patches, u1, u2)]
    (fit.rms, fit.variance_reduction, fit.predicted, fit.residuals, fit.offsets,
     fit.ramps) = st.summary(pred, c[2 * P:])
    fit.patches = vadrel.Faults([_make_segment(v) for v in vals],
                                ramp=_program_ramp(st.datasets, fit.offsets, fit.ramps))
    fit.plane = _make_segment(sp.plane)
    fit.moment, fit.Mw = _moment(vals)
    fit.roughness = float(np.sqrt(np.mean((sp.D @ c) ** 2)))
    fit.misfit = float(np.sqrt(np.mean((wpred - st.wobs) ** 2)))
    fit.time, fit.greens_time = time.perf_counter() - t0, sp.greens_time
    fit.datasets = [d.name for d in st.datasets]
    return fit


def _unwhiten(st, wpred, c, sp):
    """The prediction in mm: the Green's functions are whitened, so the
    model is recomputed from the patch slips and the nuisance."""
    if not any(d.weighted for d in st.datasets):
        return wpred
    P = sp.nx * sp.ny
    u1, u2 = sp.slips(c)
    vals = [_with(v, U1=float(a), U2=float(b)) for v, a, b in zip(sp.patches, u1, u2)]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        r = vadrel.range_change(vadrel.Faults([_make_segment(v) for v in vals]), st.x, st.y, st.look)
    return r + st.nuisance @ c[2 * P:]


def fit_slip(datasets, plane, *, nx, ny, smoothing, extend=(0.0, 0.0), rake=None, positivity=None,
             progress=None) -> SlipFit:
    """Distributed slip on a plane cut into ``nx`` (along strike) x ``ny``
    (down dip) patches.

    ``plane``: a ``Segment`` (e.g. ``fit.faults.segments[0]``); ``extend``:
    km added at each end along strike and km added down dip; ``smoothing``:
    the weight of the Laplacian: the fit minimises mean((r/sigma)^2) +
    smoothing^2 mean((Laplacian of slip in mm/km^2)^2), so a weight means the
    same whatever the number of data and patches; ``rake`` = (low, high)
    degrees keeps every patch's rake in that range (0 left-lateral, 90
    reverse); ``positivity`` = (sign of U1, sign of U2), each +1, -1 or 0
    (free).  The offsets and ramps of the datasets are fitted with the slip.
    """
    t0 = time.perf_counter()
    sp = _SlipProblem(datasets, plane, nx, ny, extend, rake, positivity, progress)
    return _slip_fit(sp, smoothing, t0)


def lcurve(datasets, plane, *, nx, ny, smoothings, extend=(0.0, 0.0), rake=None, positivity=None):
    """Misfit (weighted rms) and roughness (mm/km^2) of the slip inversion for
    each smoothing weight: two arrays.  The Green's functions are computed once."""
    sp = _SlipProblem(datasets, plane, nx, ny, extend, rake, positivity)
    out = [_slip_fit(sp, s, time.perf_counter()) for s in smoothings]
    return np.array([f.misfit for f in out]), np.array([f.roughness for f in out])


# ---------------------------------------------------------------------------
# Files
# ---------------------------------------------------------------------------

def _atomic(path, write):
    _replace_file(path, write, text=False)


def _replace(path, text):
    _replace_file(path, lambda f: f.write(text))


def write_faults(path, faults, comments=()):
    """Write a ``Faults`` as a faults file the program reads (segment lines
    of 14 fields, at most 128 characters, and the ramp as a ``P`` line);
    ``comments`` go first, each behind a ``#``."""
    vadrel.write_faults(faults, path, comments=comments)


# ---------------------------------------------------------------------------
# Pictures
# ---------------------------------------------------------------------------

def _plt():
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    return plt


def _outline(ax, faults):
    from vadrel.plot import segment_outline
    for seg in faults:
        outline, top = segment_outline(seg)
        ax.plot(outline[:, 0], outline[:, 1], color="black", lw=0.8)
        ax.plot(top[:, 0], top[:, 1], color="black", lw=2.4, solid_capstyle="butt")


def plot_fit(fit, datasets, out=None, *, title=None, dpi=110):
    """Data, model and residual maps side by side, one row per dataset, with
    one colour scale per row and the fault outlined (the top edge bold).
    ``fit``: a :class:`FaultFit` or :class:`SlipFit`.  GNSS: the vertical in
    colour, the horizontal as arrows.  Saved to ``out`` (PNG) if given;
    returns the figure."""
    plt = _plt()
    datasets = _datasets(datasets)
    segs = [fit.plane] if isinstance(fit, SlipFit) else list(fit.faults.segments)
    fig, axes = plt.subplots(len(datasets), 3, figsize=(13.5, 4.2 * len(datasets)), squeeze=False,
                             sharex=True, sharey=True, constrained_layout=True)
    for row, (d, pred, res) in enumerate(zip(datasets, fit.predicted, fit.residuals)):
        obs = d.shaped(d.obs)
        x, y = d.x[:d.npoints], d.y[:d.npoints]
        col = (lambda a: a[:, 2]) if d.kind == "gnss" else (lambda a: a)
        lim = float(np.percentile(np.abs(col(obs)), 99)) or 1.0
        if d.kind == "gnss":
            # One arrow scale for the row: the largest observed motion a sixth of the map.
            big = float(np.hypot(obs[:, 0], obs[:, 1]).max()) or 1.0
            span = max(float(np.ptp(x)), float(np.ptp(y)), 1.0)
            arrows = dict(angles="xy", scale_units="xy", scale=big / (span / 6.0), width=0.004)
        for ax, v, what in zip(axes[row], (obs, pred, res), ("data", "model", "residual")):
            sc = ax.scatter(x, y, c=col(v), s=5 if d.kind == "los" else 40, cmap="RdBu_r", vmin=-lim,
                            vmax=lim, linewidths=0)
            if d.kind == "gnss":
                q = ax.quiver(x, y, v[:, 0], v[:, 1], **arrows)
                ax.quiverkey(q, 0.08, 0.05, big, f"{big:.3g} mm", labelpos="E", coordinates="axes")
            _outline(ax, segs)
            rms = f", rms {float(np.sqrt(np.mean(res ** 2))):.1f} mm" if what == "residual" else ""
            ax.set_title(f"{d.name}: {what}{rms}")
            ax.set_aspect("equal")
            ax.set_xlabel("x (km east)")
        axes[row][0].set_ylabel("y (km north)")
        unit = "vertical, mm" if d.kind == "gnss" else "range change, mm (towards the radar)"
        fig.colorbar(sc, ax=list(axes[row]), shrink=0.8, label=unit)
    if title:
        fig.suptitle(title)
    if out is not None:
        _save(fig, out, dpi)
    return fig


def plot_slip(fit, out=None, *, title=None, dpi=110):
    """Slip on the plane: its magnitude in colour and its direction as
    arrows (U1 along strike, U2 up dip), against the distance along strike
    and down dip from the top edge.  Saved to ``out`` if given; returns the
    figure."""
    plt = _plt()
    L, W = fit.plane.L, fit.plane.W
    mag = np.hypot(fit.slip[..., 0], fit.slip[..., 1]) / 1000.0
    fig, ax = plt.subplots(figsize=(11.0, 3.2 + 5.0 * min(1.0, W / L)), constrained_layout=True)
    im = ax.imshow(mag, extent=(0, L, W, 0), cmap="viridis", aspect="auto", interpolation="nearest")
    xs = (np.arange(fit.nx) + 0.5) * L / fit.nx
    ys = (np.arange(fit.ny) + 0.5) * W / fit.ny
    gx, gy = np.meshgrid(xs, ys)
    # Up dip is towards the top of the picture (the top edge at 0).
    ax.quiver(gx, gy, fit.slip[..., 0], fit.slip[..., 1], color="white", angles="uv", pivot="middle")
    ax.set_xlabel(f"along strike ({fit.plane.strike:.0f} degrees), km")
    ax.set_ylabel("down dip from the top edge, km")
    fig.colorbar(im, ax=ax, label="slip, m")
    mw = f"Mw {fit.Mw:.2f}, " if fit.Mw is not None else ""
    ax.set_title(title or f"slip: {mw}max {mag.max():.2f} m, VR {100 * fit.variance_reduction['all']:.1f} %")
    if out is not None:
        _save(fig, out, dpi)
    return fig


def _save(fig, out, dpi):
    try:
        _atomic(out, lambda tmp: fig.savefig(tmp, dpi=dpi, format="png"))
    finally:
        _plt().close(fig)


# ---------------------------------------------------------------------------
# Command line
# ---------------------------------------------------------------------------

def _guess_kind(path):
    """Radar when the header names a ``los`` column, GNSS otherwise."""
    if os.fspath(path).endswith(".npz"):
        try:
            with np.load(path, allow_pickle=False) as z:
                return "los" if "los" in [k.lower() for k in z.files] else "gnss"
        except (OSError, ValueError):
            return "los"
    header, _, _ = _read_table(path)
    return "los" if "los" in header else "gnss"


def _fault_summary(fit):
    return {"params": {n: {"value": fit.params[n], "sigma": fit.sigma[n]} for n in fit.params},
            "rms_mm": fit.rms, "variance_reduction": fit.variance_reduction, "moment_Nm": fit.moment,
            "Mw": fit.Mw, "evaluations": fit.nfev, "jacobians": fit.njev, "time_s": fit.time,
            "offsets": fit.offsets, "ramps": fit.ramps, "starts": fit.starts}


def _slip_summary(fit):
    return {"nx": fit.nx, "ny": fit.ny, "smoothing": fit.smoothing, "rms_mm": fit.rms,
            "variance_reduction": fit.variance_reduction, "moment_Nm": fit.moment, "Mw": fit.Mw,
            "roughness_mm_per_km2": fit.roughness, "max_slip_mm": float(np.abs(fit.slip).max()),
            "time_s": fit.time, "greens_time_s": fit.greens_time, "offsets": fit.offsets,
            "ramps": fit.ramps}


def _connect(address):
    try:
        import distributed
        return distributed.Client(address, timeout=20)
    except ImportError:
        raise ValueError("--scheduler needs python3-distributed") from None
    except (OSError, TimeoutError) as e:
        raise OSError(f"cannot reach the scheduler {address} ({e})") from None


def main(argv=None):
    ap = argparse.ArgumentParser(prog="python3 -m vadrel.invert",
                                 description="Fit faults to radar line-of-sight and GNSS data.")
    ap.add_argument("data", nargs="+", help="data files (radar: x y los e n u [sigma]; GNSS: x y e n u se sn su)")
    ap.add_argument("--start", required=True, help="faults file: the starting model")
    ap.add_argument("--free", default=",".join(DEFAULT_FREE),
                    help="parameters to fit, comma-separated; ';' between segments; '' for none")
    ap.add_argument("--jacobian", default="analytic", choices=("analytic", "forward", "central"))
    ap.add_argument("--starts", type=int, default=1, help="random restarts inside the bounds (best kept)")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--scheduler", metavar="ADDRESS",
                    help="run the starts as tasks on this dask scheduler's workers (tcp://host:8786)")
    ap.add_argument("--slip", nargs=2, type=int, metavar=("NX", "NY"),
                    help="then fit the slip on the first segment cut into NX x NY patches")
    ap.add_argument("--smoothing", type=float, default=1.0, help="weight of the slip's Laplacian")
    ap.add_argument("--extend", nargs=2, type=float, default=(0.0, 0.0), metavar=("ALONG", "DOWN"),
                    help="km added to the plane at each end along strike, and down dip")
    ap.add_argument("--rake", nargs=2, type=float, metavar=("LOW", "HIGH"), help="rake range of the slip, degrees")
    ap.add_argument("-o", "--output", required=True, help="the fitted faults file (a summary .json beside it)")
    ap.add_argument("--plot", help="PNG of data, model and residuals (with --slip also NAME_slip.png)")
    a = ap.parse_args(argv)

    def say(msg):
        print(f"vadrel.invert: {msg}", file=sys.stderr, flush=True)

    try:
        if a.slip and min(a.slip) < 1:
            raise ValueError(f"--slip: NX and NY must be at least 1, not {a.slip[0]} {a.slip[1]}")
        for out in (a.output, a.plot):
            if out and not os.path.isdir(os.path.dirname(os.path.abspath(out))):
                raise OSError(f"{out}: no such directory")
        datasets = [load_dataset(p, kind=_guess_kind(p)) for p in a.data]
        for p, d in zip(a.data, datasets):
            say(f"{p}: {d.npoints} {'radar' if d.kind == 'los' else 'GNSS'} points")
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            start = vadrel.read_faults(a.start)
        parts = a.free.split(";")
        free = [[n.strip() for n in s.split(",") if n.strip()] for s in parts]
        if len(free) == 1:
            free = free * len(start)
        summary = {"data": a.data, "start": a.start}
        client = _connect(a.scheduler) if a.scheduler else None
        try:
            fit = fit_fault(datasets, start, free=free, jacobian=a.jacobian, starts=a.starts, seed=a.seed,
                            client=client, progress=say if a.starts > 1 else None)
        finally:
            if client is not None:
                client.close()
        summary["fault"] = _fault_summary(fit)
        say(f"fault: Mw {_mw(fit.Mw)}, rms {fit.rms['all']:.2f} mm, "
            f"variance reduction {100 * fit.variance_reduction['all']:.1f} %, {fit.nfev} evaluations, "
            f"{fit.time:.2f} s")
        result, comments = fit.faults, [f"fitted by vadrel.invert to {', '.join(fit.datasets)}: "
                                        f"Mw {_mw(fit.Mw)}, VR {100 * fit.variance_reduction['all']:.1f} %"]
        slip = None
        if a.slip:
            slip = fit_slip(datasets, fit.faults.segments[0], nx=a.slip[0], ny=a.slip[1],
                            smoothing=a.smoothing, extend=a.extend, rake=a.rake, progress=say)
            summary["slip"] = _slip_summary(slip)
            say(f"slip: Mw {_mw(slip.Mw)}, rms {slip.rms['all']:.2f} mm, "
                f"variance reduction {100 * slip.variance_reduction['all']:.1f} %, {slip.time:.2f} s")
            result = slip.patches
            comments = [f"slip on {a.slip[0]} x {a.slip[1]} patches fitted by vadrel.invert: "
                        f"Mw {_mw(slip.Mw)}, VR {100 * slip.variance_reduction['all']:.1f} %"]
        write_faults(a.output, result, comments)
        root = os.path.splitext(a.output)[0]
        _replace(root + ".json", json.dumps(summary, indent=1) + "\n")
        say(f"wrote {a.output} and {root}.json")
        if a.plot:
            plot_fit(slip or fit, datasets, a.plot)
            say(f"wrote {a.plot}")
            if slip is not None:
                r, e = os.path.splitext(a.plot)
                plot_slip(slip, r + "_slip" + (e or ".png"))
                say(f"wrote {r}_slip{e or '.png'}")
    except (ValueError, OSError) as e:
        say(f"error: {e}")
        return 1
    except KeyboardInterrupt:
        say("interrupted")
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
