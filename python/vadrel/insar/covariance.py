"""The noise of an interferogram: its empirical semivariogram away from the
deformation, a model fitted to it, and the covariance of downsampled
samples.

Models (h the distance between two points, km; ``sill`` and ``nugget``
mm^2, ``range`` km)::

    exponential:  C(h) = sill exp(-h / range)
    spherical:    C(h) = sill (1 - 1.5 h/range + 0.5 (h/range)^3)  for h < range, 0 beyond
    semivariogram gamma(h) = nugget + sill - C(h)   (h > 0; gamma(0) = 0)

The nugget is noise uncorrelated from pixel to pixel; ``range`` of the
exponential model is its e-folding distance (the practical range, where
the correlation falls to 5 %, is 3 ranges).

Empirical semivariogram: the pixels with data, less those within
``distance`` km of the faults' surface projections or inside a polygon,
less the range change of a fault model when one is given (``subtract``), a
plane fitted to them removed (``detrend``: a ramp, such as orbital errors
leave and the fit removes); ``pairs`` random pairs, each a random pixel and
a partner at a distance drawn uniformly up to ``max_lag`` in a random
direction (so every lag is sampled alike, not mostly the long ones random
pairs of pixels would give), binned by distance; gamma = half the mean
squared difference in each bin.  With ``kind="covariogram"`` the mean
product is binned instead, and the nugget is the variance less the sill.
The fit is weighted least squares, each bin of a semivariogram weighted by
its pair count over the model's value squared (Cressie, 1985), iterated; a
covariogram's bins by their pair counts.

Covariance of samples: the covariance of two leaf averages is the average
of the point covariance over pairs of their pixels.  Each leaf is
represented by sub-points (:mod:`vadrel.insar.leaves`), merged to sub-blocks
no wider than a quarter of the range where the leaf allows, each standing
for its pixels at their mean position: the correlated part is the weighted
mean of C over pairs of sub-points, except that a sub-point's pair with
itself counts the exact mean correlation of its sub-block's pixel pairs
(its pixels with data taken as spread evenly over it); the nugget adds
``nugget / pixels`` to each diagonal term.  The remaining error is that of taking
distinct sub-blocks at their centroids: second order in sub-block size over
their distance, a few per cent of the covariance for neighbouring blocks
and less beyond (the tests bound it against exact pixel averages).  Should
the corrected matrix not be positive definite (the centroids overstate the
covariance of neighbouring sub-blocks a little), half or a quarter of the
correction is applied, or none (``within_share`` says which): without it
each sub-block counts as fully correlated within, a variance too large by
up to 13 % for a single sub-block a quarter of the range wide, and the
matrix is positive definite by construction.  Samples without leaf information are
single points.
"""
from __future__ import annotations

import math
from collections.abc import Iterable, Mapping, Sequence
from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import ArrayLike

if TYPE_CHECKING:
    from vadrel import Faults, Segment
    from ..io.datasets import Dataset
    from .interferogram import Interferogram

__all__ = ["Covariance", "covariance", "with_covariance", "noise_field", "correlation"]

_MODELS = ("exponential", "spherical")


def correlation(h: ArrayLike, range_km: float, model: str = "exponential") -> np.ndarray:
    """The model's correlation at distances ``h`` km (1 at 0)."""
    h = np.asarray(h, dtype=float) / float(range_km)
    if model == "exponential":
        return np.exp(-h)
    if model == "spherical":
        return np.where(h < 1.0, 1.0 - 1.5 * h + 0.5 * h ** 3, 0.0)
    raise ValueError(f"model must be one of {', '.join(_MODELS)}, not {model!r}")


class Covariance:
    """A fitted noise model: ``model``, ``sill`` (mm^2), ``range`` (km),
    ``nugget`` (mm^2); the empirical values it was fitted to: ``lags`` (km,
    the mean distance in each bin), ``values`` (mm^2: semivariance, or
    covariance for a covariogram), ``counts`` (pairs per bin), ``kind``;
    ``pixels`` (pixels used), ``converged`` (the fit's success), ``at_bound``
    (names of parameters on a bound of the fit: range at its floor or
    ceiling, nugget at 0), ``sigma`` (standard deviations of sill, range,
    nugget from the fit's curvature, assuming independent bins: an
    understatement, neighbouring bins share pixels), ``message``."""

    def __init__(self, model: str, sill: float, range_km: float, nugget: float, *, lags: np.ndarray | None = None,
                 values: np.ndarray | None = None, counts: np.ndarray | None = None, kind: str = "semivariogram",
                 pixels: int = 0, converged: bool = True, at_bound: Iterable[str] = (),
                 sigma: Mapping[str, float] | None = None, message: str = "") -> None:
        if model not in _MODELS:
            raise ValueError(f"model must be one of {', '.join(_MODELS)}, not {model!r}")
        for name, v in (("sill", sill), ("range", range_km), ("nugget", nugget)):
            if not math.isfinite(float(v)) or float(v) < 0:
                raise ValueError(f"{name} must be finite and >= 0, not {v}")
        if float(range_km) <= 0:
            raise ValueError("range must be positive")
        if float(sill) + float(nugget) <= 0:
            raise ValueError("sill and nugget are both 0: no noise")
        self.model, self.sill, self.range, self.nugget = model, float(sill), float(range_km), float(nugget)
        self.lags, self.values, self.counts = lags, values, counts
        self.kind, self.pixels, self.converged = kind, int(pixels), bool(converged)
        self.at_bound, self.sigma, self.message = tuple(at_bound), sigma, message

    def __repr__(self):
        return (f"Covariance({self.model}, sill={self.sill:.4g} mm^2, range={self.range:.4g} km, "
                f"nugget={self.nugget:.4g} mm^2)")

    def function(self, h: ArrayLike) -> np.ndarray:
        """Covariance (mm^2) at distances ``h`` km > 0 (the nugget excluded)."""
        return self.sill * correlation(h, self.range, self.model)

    def semivariogram(self, h: ArrayLike) -> np.ndarray:
        """gamma(h) (mm^2): 0 at 0, nugget + sill - C(h) beyond."""
        h = np.asarray(h, dtype=float)
        return np.where(h > 0, self.nugget + self.sill - self.function(h), 0.0)

    def matrix(self, dataset: Dataset) -> np.ndarray:
        """(n, n) covariance (mm^2) of the samples of a radar ``dataset``,
        leaf averaging included (see the module); positive definite."""
        if getattr(dataset, "kind", "los") != "los":
            raise ValueError(f"{dataset!r}: a radar noise covariance is for radar (line-of-sight) datasets")
        x, y = np.asarray(dataset.x, dtype=float), np.asarray(dataset.y, dtype=float)
        n = x.size
        from vadrel import _require_memory
        _require_memory(n * n, 24, f"the covariance of {n} samples")
        sp = getattr(dataset, "subpoints", None)
        if sp is None:
            owner, pts, w = np.arange(n), np.column_stack([x, y]), np.ones(n)
            pixels, within = np.ones(n), None
        else:
            owner, pts, w, level = _merge(np.asarray(sp), np.asarray(dataset.subweights),
                                          np.asarray(dataset.leaf_size), self.range / 4.0)
            pixels = np.asarray(dataset.pixels, dtype=float)
            within = self._within(dataset, owner, level, w)
        C = _averaged(pts, w, owner, n, lambda d: self.function(d))
        C[np.diag_indices(n)] += self.nugget / pixels
        if within is not None:
            # A sub-block's pixels are not fully correlated with one another: the
            # self-pair of each sub-point counts the block's mean correlation instead.
            # Where that breaks positive definiteness (distinct sub-blocks are taken at
            # their centroids, which overstates their covariance a little) a part of it.
            cut = np.bincount(owner, weights=w * w * within, minlength=n)
            for share in (1.0, 0.5, 0.25):
                fixed = C.copy()
                fixed[np.diag_indices(n)] -= share * cut
                try:
                    np.linalg.cholesky(fixed)
                    self.within_share = share
                    return fixed
                except np.linalg.LinAlgError:
                    pass
        self.within_share = 0.0
        return _positive_definite(C)

    def _within(self, dataset, owner, level, weights):
        """sill * (1 - mean correlation of a sub-block's pixel pairs) per
        sub-point: the sub-block of a leaf split level x level, p x q
        pixels of the dataset's spacing, its n pixels with data spread over
        it (pairs of distinct pixels at the full block's mean correlation)."""
        box = getattr(dataset, "leaf_box", None)
        spacing = getattr(dataset, "spacing", None)
        if box is None or spacing is None:
            return None
        box = np.asarray(box)
        p = np.maximum(1, np.rint((box[owner, 1] - box[owner, 0]) / level)).astype(int)
        q = np.maximum(1, np.rint((box[owner, 3] - box[owner, 2]) / level)).astype(int)
        # Pixels with data in the sub-block: its share of the leaf's.
        count = np.maximum(1.0, np.rint(weights * np.asarray(dataset.pixels)[owner]))
        out = np.empty(owner.size)
        for (a, b) in set(zip(p.tolist(), q.tolist())):
            m = _block_mean_correlation(a, b, spacing[1], spacing[0], self.range, self.model)
            sel = (p == a) & (q == b)
            # Distinct pixel pairs of the full block, then n pixels of it: 1/n self-pairs.
            npx = a * b
            distinct = (m * npx * npx - npx) / (npx * npx - npx) if npx > 1 else 1.0
            mean_n = 1.0 / count[sel] + (1.0 - 1.0 / count[sel]) * distinct
            out[sel] = self.sill * (1.0 - mean_n)
        return out


def _block_mean_correlation(p, q, dy, dx, range_km, model):
    """Mean correlation over all ordered pairs of the pixels of a p x q
    block (pixels dy, dx km apart): exact, or for large blocks the
    continuous integral by a 200-point midpoint rule (error below 1e-4)."""
    if (2 * p - 1) * (2 * q - 1) <= 200000:
        i = np.arange(-(p - 1), p)
        j = np.arange(-(q - 1), q)
        wgt = np.outer(p - np.abs(i), q - np.abs(j))
        d = np.hypot(i[:, None] * dy, j[None, :] * dx)
        return float(np.sum(wgt * correlation(d, range_km, model)) / (p * q) ** 2)
    u = (np.arange(200) + 0.5) / 200
    wu = 2.0 * (1.0 - u)
    d = np.hypot(u[:, None] * p * dy, u[None, :] * q * dx)
    return float(np.sum(np.outer(wu, wu) * correlation(d, range_km, model)) / 200 ** 2)


def _merge(sp, sw, size, target):
    """Sub-points merged, per leaf, to the coarsest power-of-two split whose
    blocks are no wider than ``target`` km: (owner, points, weights, split
    level) per sub-point."""
    n, g = sw.shape[0], sw.shape[1]
    levels = [lv for lv in (1, 2, 4, 8, 16, 32, 64) if lv <= g and g % lv == 0]
    if g not in levels:
        levels.append(g)
    need = np.full(n, levels[-1])
    for lv in reversed(levels):
        need = np.where(size / lv <= target, lv, need)
    owners, pts, wts = [], [], []
    for lv in levels:
        idx = np.flatnonzero(need == lv)
        if idx.size == 0:
            continue
        b = g // lv
        w = sw[idx].reshape(idx.size, lv, b, lv, b)
        p = (sp[idx] * sw[idx][..., None]).reshape(idx.size, lv, b, lv, b, 2)
        wm = w.sum(axis=(2, 4))
        pm = p.sum(axis=(2, 4)) / np.where(wm > 0, wm, 1.0)[..., None]
        wm, pm = wm.reshape(idx.size, -1), pm.reshape(idx.size, -1, 2)
        ok = wm > 0
        owners.append(np.repeat(idx, ok.sum(axis=1)))
        pts.append(pm[ok])
        wts.append(wm[ok])
    levels_of = np.concatenate([np.full(o.size, lv) for o, lv in zip(owners, [lv for lv in levels
                                                                               if np.any(need == lv)])])
    order = np.argsort(np.concatenate(owners), kind="stable")
    return (np.concatenate(owners)[order], np.concatenate(pts)[order], np.concatenate(wts)[order],
            levels_of[order])


def _averaged(pts, w, owner, n, cov, chunk=2048):
    """W K W^T: K the point covariance of the sub-points, W their weights
    by owner (each owner's summing to 1)."""
    import scipy.sparse
    m = pts.shape[0]
    W = scipy.sparse.csr_matrix((w, (owner, np.arange(m))), shape=(n, m))
    C = np.zeros((n, n))
    for a in range(0, m, chunk):
        b = min(m, a + chunk)
        d = np.hypot(pts[a:b, 0:1] - pts[None, :, 0], pts[a:b, 1:2] - pts[None, :, 1])
        K = cov(d)                                  # (chunk, m)
        KW = np.asarray((W @ K.T).T)                # (chunk, n)
        C += np.asarray(W[:, a:b] @ KW)
    return 0.5 * (C + C.T)


def _positive_definite(C):
    n = C.shape[0]
    scale = float(np.trace(C)) / n
    jitter = 0.0
    for _ in range(8):
        try:
            np.linalg.cholesky(C + jitter * np.eye(n))
            if jitter:
                C = C + jitter * np.eye(n)
            return C
        except np.linalg.LinAlgError:
            jitter = scale * (1e-12 if jitter == 0 else jitter / scale * 100)
    raise ValueError("the covariance of the samples is not positive definite (samples at the same place "
                     "with no nugget?)")


def with_covariance(dataset: Dataset, cov: Covariance) -> Dataset:
    """A copy of a radar ``dataset`` carrying ``cov.matrix(dataset)`` as its
    covariance (its other settings and the downsampling attributes kept):
    ``dataset.with_covariance(cov)``."""
    return dataset.with_covariance(cov)


def _kept_pixels(ifg, exclude, distance, areas):
    """Valid pixels left once the deformation is excluded."""
    from ._fault import distance as fault_distance, segments
    from .areas import inside
    keep = ifg.valid.copy()
    if exclude is None:
        return keep
    try:
        segs = segments(exclude)
    except (ValueError, TypeError, AttributeError):
        segs = None
    if segs is not None:
        if distance is None:
            distance = max(max(s.L, 2.0 * s.depth) for s in segs)
        distance = float(distance)
        if not (distance >= 0 and math.isfinite(distance)):
            raise ValueError(f"distance must be a finite number of km >= 0, not {distance}")
        keep &= fault_distance(segs, ifg.x, ifg.y) > distance
    else:
        if distance is not None:
            raise ValueError("distance is for faults; a polygon excludes what it holds")
        keep &= ~inside(exclude, lonlat=areas == "lonlat", frame=ifg.frame, x=ifg.x, y=ifg.y,
                        what="exclude")
    return keep


def _detrended(ifg, keep, data):
    z = data[keep]
    x, y = ifg.x[keep], ifg.y[keep]
    A = np.column_stack([np.ones_like(x), x - x.mean(), y - y.mean()])
    sub = slice(None, None, max(1, z.size // 200000))
    c, *_ = np.linalg.lstsq(A[sub], z[sub], rcond=None)
    return z - A @ c


def _pairs(ifg, keep, z, npairs, max_lag, rng):
    """Distances (km) and the two values of random pixel pairs."""
    from .leaves import _steps
    ny, nx = keep.shape
    idx = np.flatnonzero(keep)
    where = np.full(keep.size, -1, dtype=np.int64)
    where[idx] = np.arange(idx.size)
    col, row = _steps(ifg)
    inv = np.linalg.inv(np.column_stack([col, row]))          # km -> (columns, rows)
    out_d, out_a, out_b = [], [], []
    got, tries = 0, 0
    while got < npairs and tries < 20:
        tries += 1
        m = 2 * (npairs - got) + 1000
        a = idx[rng.integers(0, idx.size, m)]
        d = rng.uniform(0.0, max_lag, m)
        t = rng.uniform(0.0, 2.0 * math.pi, m)
        off = inv @ np.vstack([d * np.sin(t), d * np.cos(t)])
        r = a // nx + np.rint(off[1]).astype(np.int64)
        c = a % nx + np.rint(off[0]).astype(np.int64)
        ok = (r >= 0) & (r < ny) & (c >= 0) & (c < nx)
        a, r, c = a[ok], r[ok], c[ok]
        b = r * nx + c
        ok = keep.ravel()[b] & (b != a)
        a, b = a[ok], b[ok]
        out_d.append(np.hypot(ifg.x.ravel()[a] - ifg.x.ravel()[b], ifg.y.ravel()[a] - ifg.y.ravel()[b]))
        out_a.append(z[where[a]])
        out_b.append(z[where[b]])
        got += a.size
    if got == 0:
        raise ValueError("no pair of pixels within max_lag among the pixels kept")
    return (np.concatenate(out_d)[:npairs], np.concatenate(out_a)[:npairs], np.concatenate(out_b)[:npairs])


def covariance(ifg: Interferogram, exclude: Faults | Segment | ArrayLike | None = None, *,
               distance: float | None = None, subtract: Faults | Segment | None = None, model: str = "exponential",
               kind: str = "semivariogram", pairs: int = 200000, max_lag: float | None = None, bins: int = 30,
               detrend: bool = True, seed: int = 0, areas: str = "km") -> Covariance:
    """Estimate the noise covariance of an interferogram (see the module).

    ``exclude``: faults (a ``Faults`` or ``Segment``: pixels within
    ``distance`` km of their surface projections are left out, by default
    the largest of each segment's length and twice its depth) or a polygon
    of (x, y) km vertices (``areas="lonlat"``: longitude, latitude) whose
    pixels are left out; ``model``: ``"exponential"`` or ``"spherical"``;
    ``kind``: ``"semivariogram"`` or ``"covariogram"``; ``pairs``: random
    pixel pairs drawn (from ``seed``); ``subtract``: a fault model (km,
    the interferogram's frame; a preliminary fit's ``faults``, say) whose
    segments' range change (not its ramp) is removed from the data first, for
    scenes where the deformation reaches every pixel; ``max_lag``: the longest distance
    binned (km; by default half the shorter side of the kept pixels'
    extent); ``bins``: distance bins; ``detrend``: remove a plane first.
    """
    if model not in _MODELS:
        raise ValueError(f"model must be one of {', '.join(_MODELS)}, not {model!r}")
    if kind not in ("semivariogram", "covariogram"):
        raise ValueError(f"kind must be 'semivariogram' or 'covariogram', not {kind!r}")
    if areas not in ("km", "lonlat"):
        raise ValueError(f"areas must be 'km' or 'lonlat', not {areas!r}")
    pairs, bins = int(pairs), int(bins)
    if pairs < 100 or bins < 3:
        raise ValueError("pairs must be at least 100 and bins at least 3")
    keep = _kept_pixels(ifg, exclude, distance, areas)
    npix = int(np.count_nonzero(keep))
    if npix < 50:
        raise ValueError(f"only {npix} pixels with data are left away from the deformation: too few for a "
                         "semivariogram (a smaller distance or polygon?)")
    data = ifg.los
    if subtract is not None:
        import vadrel
        from ._fault import segments
        f = vadrel.Faults(segments(subtract))           # its segments: a ramp is detrend's business
        data = np.full(ifg.shape, np.nan)
        data[keep] = ifg.los[keep] - vadrel.range_change(f, ifg.x[keep], ifg.y[keep], ifg.look[keep])
    z = _detrended(ifg, keep, data) if detrend else data[keep] - np.mean(data[keep])
    if max_lag is None:
        xs, ys = ifg.x[keep], ifg.y[keep]
        max_lag = 0.5 * min(np.ptp(xs), np.ptp(ys))
        if max_lag <= 0:
            max_lag = 0.5 * max(np.ptp(xs), np.ptp(ys))
    max_lag = float(max_lag)
    dx, dy = ifg.spacing
    if not (max_lag > 2 * max(dx, dy)):
        raise ValueError(f"max_lag {max_lag:g} km is not longer than a couple of pixels")
    rng = np.random.default_rng(seed)
    d, a, b = _pairs(ifg, keep, z, pairs, max_lag, rng)
    edges = np.linspace(0.0, max_lag, bins + 1)
    k = np.clip(np.digitize(d, edges) - 1, 0, bins - 1)
    counts = np.bincount(k, minlength=bins)
    lags = np.bincount(k, weights=d, minlength=bins) / np.maximum(counts, 1)
    if kind == "semivariogram":
        vals = 0.5 * np.bincount(k, weights=(a - b) ** 2, minlength=bins) / np.maximum(counts, 1)
    else:
        vals = np.bincount(k, weights=a * b, minlength=bins) / np.maximum(counts, 1)
    use = (counts >= 10) & (lags > 0)
    if np.count_nonzero(use) < 3:
        raise ValueError("fewer than three distance bins hold pairs: too few pixels or too short a max_lag")
    variance = float(np.var(z))
    fit = _fit(model, kind, lags[use], vals[use], counts[use], variance, max_lag, max(dx, dy))
    return Covariance(model, fit["sill"], fit["range"], fit["nugget"], lags=lags, values=vals, counts=counts,
                      kind=kind, pixels=npix, converged=fit["converged"], at_bound=fit["at_bound"],
                      sigma=fit["sigma"], message=fit["message"])


def _fit(model, kind, h, v, n, variance, max_lag, pixel):
    import scipy.optimize
    lo_r, hi_r = 0.5 * pixel, 10.0 * max_lag
    tail = v[-max(1, v.size // 3):].mean() if kind == "semivariogram" else v[0]
    sill0 = max(tail, 1e-6 * variance, 1e-12)
    if kind == "semivariogram":
        above = np.flatnonzero(v >= 0.63 * sill0)
        r0 = h[above[0]] if above.size else h[-1]
    else:
        below = np.flatnonzero(v <= 0.37 * sill0)
        r0 = h[below[0]] if below.size else h[-1]
    r0 = float(np.clip(r0 if model == "exponential" else 3.0 * r0, lo_r * 1.01, hi_r * 0.99))
    s = sill0

    def model_values(p):
        sill, rng_, nug = p
        c = sill * correlation(h, rng_, model)
        return nug + sill - c if kind == "semivariogram" else c

    if kind == "semivariogram":
        p0 = np.array([0.9 * s, r0, 0.1 * s])
        lb, ub = [0.0, lo_r, 0.0], [np.inf, hi_r, np.inf]
    else:
        p0 = np.array([s, r0, 0.0])
        lb, ub = [0.0, lo_r, 0.0], [np.inf, hi_r, 1e-300]
    p = p0
    res = None
    for _ in range(5):                     # weights from the model: n / gamma^2, iterated
        if kind == "semivariogram":
            wref = np.maximum(np.abs(model_values(p)), 1e-3 * max(s, 1e-12))
        else:                              # a covariance near 0 at long lags: weigh by counts alone
            wref = np.full(h.size, max(s, 1e-12))
        w = np.sqrt(n) / wref
        res = scipy.optimize.least_squares(lambda q: (model_values(q) - v) * w, p, bounds=(lb, ub),
                                           x_scale=[s, r0, s], method="trf")
        if np.allclose(res.x, p, rtol=1e-6, atol=1e-12):
            p = res.x
            break
        p = res.x
    sill, rng_, nug = (float(t) for t in p)
    if nug <= 1e-9 * max(sill, 1e-300):
        nug = 0.0                          # at its bound, up to the solver's rounding
    if kind == "covariogram":
        nug = max(variance - sill, 0.0)
    at = []
    if rng_ <= lo_r * 1.0001:
        at.append("range (floor: half a pixel)")
    if rng_ >= hi_r * 0.9999:
        at.append("range (ceiling: 10 max_lag)")
    if nug <= 0.0:
        at.append("nugget (0)")
    if sill <= 0.0:
        at.append("sill (0)")
    try:
        J = res.jac
        cov = np.linalg.pinv(J.T @ J) * (2 * res.cost / max(1, h.size - 3))
        sig = dict(zip(("sill", "range", "nugget"), np.sqrt(np.maximum(np.diag(cov), 0.0))))
    except (np.linalg.LinAlgError, ValueError):
        sig = None
    if sill <= 0 and nug <= 0:
        sill = max(variance, 1e-12)
    return {"sill": sill, "range": rng_, "nugget": nug, "converged": bool(res.success),
            "at_bound": at, "sigma": sig, "message": str(res.message)}


def noise_field(shape: Sequence[int], spacing: float | Sequence[float], sill: float, range_km: float, *,
                model: str = "exponential", nugget: float = 0.0, seed: int | None = None) -> np.ndarray:
    """A stationary Gaussian noise field (mm) on a regular grid of
    ``shape`` (ny, nx) pixels ``spacing`` km (one number, or (dx, dy)) apart:
    covariance ``sill * correlation(h)`` plus white ``nugget``, by circulant
    embedding (exact where the embedding's spectrum is non-negative, as it
    is for these models on a torus at least twice the grid and four ranges
    wider; negative eigenvalues otherwise clipped to 0).  For synthetic
    tests and benchmarks."""
    ny, nx = (int(v) for v in shape)
    dx, dy = (float(spacing), float(spacing)) if np.ndim(spacing) == 0 else (float(v) for v in spacing)
    if ny < 1 or nx < 1 or not (dx > 0 and dy > 0):
        raise ValueError("noise_field: shape must be positive and spacing positive")
    rng = np.random.default_rng(seed)
    import scipy.fft
    My = scipy.fft.next_fast_len(2 * ny + int(4 * range_km / dy))
    Mx = scipy.fft.next_fast_len(2 * nx + int(4 * range_km / dx))
    iy = np.minimum(np.arange(My), My - np.arange(My)) * dy
    ix = np.minimum(np.arange(Mx), Mx - np.arange(Mx)) * dx
    c = sill * correlation(np.hypot(iy[:, None], ix[None, :]), range_km, model)
    lam = np.maximum(scipy.fft.fft2(c).real, 0.0)
    eps = rng.standard_normal((My, Mx)) + 1j * rng.standard_normal((My, Mx))
    f = scipy.fft.fft2(np.sqrt(lam / (My * Mx)) * eps).real[:ny, :nx]
    if nugget > 0:
        f = f + math.sqrt(nugget) * rng.standard_normal((ny, nx))
    return f
