"""Distributed slip on a plane cut into patches: Green's functions from the
patch kernel, Laplacian smoothing, bounds on the slip's sign or rake, one
bounded linear least-squares problem (:func:`fit_slip`, :func:`lcurve`)."""
from __future__ import annotations

import concurrent.futures
import math
import os
import time
import warnings

import numpy as np
import scipy.linalg
import scipy.optimize
import scipy.sparse

import vadrel
from .. import geometry
from .data import Stack, datasets_of
from .fault import _DEG, _make_segment, _moment, _mw, _program_ramp, _seg_values, _top, _with

__all__ = ["SlipFit", "fit_slip", "lcurve"]


def _plane_patches(plane, nx, ny, extend):
    """The (extended) plane and its nx x ny patches, row 0 the shallowest."""
    v = _seg_values(plane)
    dl, dw = (float(e) for e in extend)
    if dl < 0 or dw < 0:
        raise ValueError("extend must be two lengths >= 0 (km along strike at each end, km down dip)")
    sd, cd = math.sin(v["dip"] * _DEG), math.cos(v["dip"] * _DEG)
    # Patch-frame offsets (along strike, to its left = up dip in map) turned into map ones.
    de, dn = geometry.from_patch(-dl, -dw * cd, v["strike"])
    v["X"] += float(de)
    v["Y"] += float(dn)
    v["depth"] += dw * sd
    v["L"] += 2.0 * dl
    v["W"] += dw
    pl, pw = v["L"] / nx, v["W"] / ny
    patches = []
    for j in range(ny):
        up = (ny - 1 - j) * pw          # patch's deep edge distance up dip from the plane's
        for i in range(nx):
            e, n = geometry.from_patch(i * pl, up * cd, v["strike"])
            patches.append(_with(v, X=v["X"] + float(e), Y=v["Y"] + float(n), depth=v["depth"] - up * sd, L=pl,
                                 W=pw, U1=0.0, U2=0.0, U3=0.0, name=f"p{j + 1}_{i + 1}"))
    return v, patches


def _greens(patches, x, y, look, progress=None):
    """(m, 2P) range change for unit strike slip (first P columns) and dip
    slip (last P) on each patch: one pass of the patch kernel per patch."""
    P, m = len(patches), x.size
    G = np.empty((m, 2 * P))
    nthreads = max(1, len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1)

    def one(k):
        v = patches[k]
        xs, ys = geometry.to_patch(x, y, v["X"], v["Y"], v["strike"])
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            u = vadrel.patch_displacement(xs, ys, L=v["L"], W=v["W"], depth=v["depth"], dip=v["dip"],
                                          lam=v["lam"], mu=v["mu"], U1=1.0, U2=1.0, U3=0.0, threads=1)
        for col, o in ((k, 0), (P + k, 3)):
            e, n = geometry.from_patch(u[:, o], u[:, o + 1], v["strike"])
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
        self.stack = st = Stack(datasets_of(datasets))
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
