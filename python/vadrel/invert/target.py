"""The log-posteriors the chains of :mod:`vadrel.invert.sample` run on.

Both run on unbounded variables u, the logit of each parameter's place
between its bounds (each segment's X, Y taken at its top centre,
:mod:`vadrel.invert.reparam`): u = log((x - lo) / (hi - x)), with log dx/du added to
the log-density so that the prior stays uniform in x and the chains never
leave the bounds.  Both integrate the offsets and ramps out exactly (flat
priors; K = W^T (I - Q Q^T) W, see :meth:`Stack.marginal
<vadrel.invert.data.Stack.marginal>`).

* :class:`FullTarget`: every free parameter of the fault in the chains,
  log-likelihood -1/2 r^T K r, gradient J^T K r (J the closed-form
  Jacobian).
* :class:`SlipMarginal`: the free slips integrated out too.  The model is
  d = G(theta) s + (held slips' model) + offsets and ramps, linear in the
  slips s; with a flat prior on s the log marginal of the geometry theta is

      -1/2 r^T K r - 1/2 log det M,   M = G^T K G,  r = y - G s*,

  s* = M^-1 G^T K y the best slips for theta and y the data less the held
  slips' model.  Its gradient needs the partials of the unit-slip fields
  dG_i/dtheta (the closed-form Jacobian of a model with slip i = 1 and the
  other free slips 0):

      J(theta, s*)^T K r - sum_i (dG_i/dtheta)^T (K G M^-1)_i,

  the first term the Jacobian of the model at the best slips (envelope
  theorem), the second the derivative of the log-determinant.  With the
  unknown common sigma of unweighted data (prior 1/sigma), the first part
  becomes -(m - q - k)/2 log(r^T K r) (k free slips, q offsets and ramps).
  Each draw of theta then gets its slips from N(s*, M^-1) (times sigma^2,
  drawn first, without weights) and its offsets and ramps from their
  conditional given the slips: exact.

  Truncation: the prior of the slips is uniform over their bounds, so the
  exact marginal carries the factor P(s in bounds | theta), taken here as
  1.  The slips' conditional draws are made exact by rejection (drawn again
  until inside the bounds); the share of draws so rejected estimates the
  neglected mass, and is reported.  :func:`~vadrel.invert.sample_fault`
  marginalises only when every slip's bound is at least 6 sigma from the
  conditional at the best fit (the neglected mass there below 1e-9).
"""
from __future__ import annotations

import math

from typing import TYPE_CHECKING

import numpy as np

from .reparam import TopCentre

if TYPE_CHECKING:
    from .fault import _Problem

__all__ = ["FullTarget", "SlipMarginal", "SLIPS", "inverse_spd"]

SLIPS = ("U1", "U2", "U3")

# Largest variance of a metric in u: a spread of 3 in the logit already
# covers most of the interval between the bounds.
_LARGEST_VARIANCE = 9.0
# Conditional draws of the slips tried before giving up on the bounds.
_TRIES = 1000


def inverse_spd(H: np.ndarray) -> np.ndarray:
    """Inverse of a symmetric curvature, its eigenvalues kept at or above
    1 / _LARGEST_VARIANCE (a flat direction gets the bounds' spread)."""
    w, V = np.linalg.eigh(0.5 * (H + H.T))
    w = np.maximum(w, 1.0 / _LARGEST_VARIANCE)
    return (V / w) @ V.T


class _Bounded:
    """The logit map of the chains' variables (``cols``: their indices in
    the problem's free parameters) and the shared data."""

    def __init__(self, problem, cols):
        self.problem = problem
        self.cols = np.asarray(cols, dtype=int)
        self.map = TopCentre([problem.free[j] for j in self.cols], problem.values, problem.lb[self.cols],
                             problem.ub[self.cols])
        self.lo, self.hi = self.map.lo, self.map.hi
        self.span = self.hi - self.lo
        st = problem.stack
        self.m, self.q = st.obs.size, st.nuisance.shape[1]
        self.weighted = st.weighted
        self._marginal = None
        self.evaluations = 0

    def __getstate__(self):
        s = dict(self.__dict__)
        s["_marginal"] = None      # rebuilt where used (closures, and n^2 for a full covariance)
        return s

    def marginal(self):
        if self._marginal is None:
            self._marginal = self.problem.stack.marginal()
        return self._marginal

    @property
    def dim(self):
        return self.cols.size

    def theta(self, u):
        """The fit's free geometry at u, and the logit's s; ValueError when
        it lies outside the bounds (the top centre's box is the wider)."""
        s = 1.0 / (1.0 + np.exp(-u))
        theta = self.map.theta(self.lo + self.span * s)
        if not self.map.inside(theta):
            raise ValueError("outside the bounds")
        return theta, s

    def u_of(self, theta, margin=1e-9):
        s = np.clip((self.map.chain(theta) - self.lo) / self.span, margin, 1.0 - margin)
        return np.log(s) - np.log1p(-s)

    @staticmethod
    def log_jac(u):
        return float(np.sum(-np.logaddexp(0.0, -u) - np.logaddexp(0.0, u)))

    def to_u(self, g, s):
        """A gradient in the fit's geometry turned into one in u, the
        log-Jacobian's added."""
        T = self.map.jacobian(self.lo + self.span * s)
        return (T.T @ g) * self.span * s * (1.0 - s) + (1.0 - 2.0 * s)

    def vector(self, theta, base=None):
        p = np.zeros(self.problem.nparam) if base is None else base.copy()
        p[self.cols] = theta
        return p

    def curvature_to_u(self, H, theta):
        """A curvature in x (Gauss-Newton) -> the covariance of u about
        theta; the logit's Jacobian adds 2 s (1 - s) per variable."""
        u = self.u_of(theta)
        s = 1.0 / (1.0 + np.exp(-u))
        T = self.map.jacobian(self.lo + self.span * s)
        D = self.span * s * (1.0 - s)
        Hu = (T.T @ H @ T) * np.outer(D, D)
        Hu[np.diag_indices_from(Hu)] += 2.0 * s * (1.0 - s)
        return inverse_spd(Hu)

    def _full_curvature(self, p):
        """J^T K J over every free parameter at p (offsets and ramps
        integrated out), scaled by the residual's variance without
        weights."""
        n = self.problem.nfree
        J = self.problem.jacobian(p, whiten=False)[:, :n]
        apply, _ = self.marginal()
        H = J.T @ np.column_stack([apply(J[:, j]) for j in range(n)])
        if not self.weighted:
            r = self.problem.stack.obs - self.problem.predict(p)
            H *= (self.m - self.q) / max(float(r @ apply(r)), 1e-300)
        return H


class FullTarget(_Bounded):
    """Every free parameter of the fault in the chains."""

    def __init__(self, problem: _Problem) -> None:
        super().__init__(problem, range(problem.nfree))
        self.marginalised = []

    def residual(self, theta: np.ndarray) -> np.ndarray:
        return self.problem.stack.obs - self.problem.predict(self.vector(theta))

    def logp(self, u: np.ndarray, grad: bool = True) -> tuple[float, np.ndarray | None]:
        """log posterior (up to a constant) at u, and its gradient (None
        with ``grad=False``); -inf where the model has no value."""
        self.evaluations += 1
        log_jac = self.log_jac(u)
        try:
            theta, s = self.theta(u)
            r = self.residual(theta)
        except ValueError:
            return -math.inf, None
        apply, _ = self.marginal()
        kr = apply(r)
        S = float(r @ kr)
        if self.weighted:
            ll, scale = -0.5 * S, 1.0
        else:
            k = self.m - self.q
            ll, scale = -0.5 * k * math.log(max(S, 1e-300)), k / max(S, 1e-300)
        if not grad:
            return ll + log_jac, None
        try:
            J = self.problem.jacobian(self.vector(theta), whiten=False)[:, :self.problem.nfree]
        except ValueError:
            return -math.inf, None
        return ll + log_jac, self.to_u(scale * (J.T @ kr), s)

    def draw(self, u: np.ndarray, rng: np.random.Generator) -> np.ndarray:
        """The whole parameter vector for the chains' u: the offsets and
        ramps drawn from their conditional given the fault."""
        theta, _ = self.theta(u)
        r = self.residual(theta)
        _, solve = self.marginal()
        mean, factor = solve(r)
        z = rng.standard_normal(mean.size)
        if not self.weighted:
            apply, _ = self.marginal()
            S = float(r @ apply(r))
            z *= math.sqrt(S / rng.chisquare(self.m - self.q))
        return np.concatenate([theta, mean + factor @ z])

    def laplace(self, theta: np.ndarray) -> np.ndarray:
        """Covariance of u from the curvature at theta."""
        return self.curvature_to_u(self._full_curvature(self.vector(theta)), theta)


class SlipMarginal(_Bounded):
    """The free slips integrated out: the chains run on the rest of the
    geometry (see the module's text)."""

    def __init__(self, problem: _Problem) -> None:
        free = problem.free
        self.lin = [j for j, (k, n) in enumerate(free) if n in SLIPS]
        if not self.lin:
            raise ValueError("no free slip to integrate out")
        super().__init__(problem, [j for j in range(problem.nfree) if j not in self.lin])
        self.k = len(self.lin)
        self.lin_lo, self.lin_hi = problem.lb[self.lin], problem.ub[self.lin]
        # Held slips that are not zero add a model of their own.
        self.held = any(v[n] != 0.0 for kk, v in enumerate(problem.values) for n in SLIPS
                        if (kk, n) not in free)
        self.dof = self.m - self.q - self.k
        if not self.weighted and self.dof < 1:
            raise ValueError("too few observations to integrate out the slips and the noise")
        self.marginalised = [j for j in self.lin]
        self.rejected = 0
        self.drawn = 0

    def _fields(self, theta):
        """y (data less the held slips), G (m, k) and the partials dG
        (k, m, chain variables) and dH (m, chain variables) of the
        unit-slip and held-slip models."""
        p = self.vector(theta)
        p[self.lin] = 0.0
        st = self.problem.stack
        nc = self.problem.nfree
        if self.held:
            y = st.obs - self.problem.predict(p)
            dH = self.problem.jacobian(p, whiten=False)[:, self.cols]
        else:
            y, dH = st.obs, None
        G = np.empty((self.m, self.k))
        dG = np.empty((self.k, self.m, self.dim))
        for i, j in enumerate(self.lin):
            pi = p.copy()
            pi[j] = 1.0
            J = self.problem.jacobian(pi, whiten=False)[:, :nc]
            G[:, i] = J[:, j]
            dG[i] = J[:, self.cols] - dH if dH is not None else J[:, self.cols]
        return y, G, dG, dH

    def _solve(self, y, G):
        """Best slips s*, the Cholesky factor of M, K y, K G and S."""
        apply, _ = self.marginal()
        Ky = apply(y)
        KG = np.column_stack([apply(G[:, i]) for i in range(self.k)])
        M = G.T @ KG
        L = np.linalg.cholesky(0.5 * (M + M.T))
        s = np.linalg.solve(L.T, np.linalg.solve(L, G.T @ Ky))
        Kr = Ky - KG @ s
        S = float((y - G @ s) @ Kr)
        return s, L, Kr, KG, max(S, 1e-300)

    def logp(self, u: np.ndarray, grad: bool = True) -> tuple[float, np.ndarray | None]:
        """log marginal posterior of the geometry (up to a constant) at u,
        and its gradient (None with ``grad=False``); -inf where the model
        has no value."""
        self.evaluations += 1
        try:
            theta, sx = self.theta(u)
            y, G, dG, dH = self._fields(theta)
            s, L, Kr, KG, S = self._solve(y, G)
        except (ValueError, np.linalg.LinAlgError):
            return -math.inf, None
        logdet = 2.0 * float(np.sum(np.log(np.diag(L))))
        if self.weighted:
            ll, scale = -0.5 * S - 0.5 * logdet, 1.0
        else:
            ll, scale = -0.5 * self.dof * math.log(S) - 0.5 * logdet, self.dof / S
        ll += self.log_jac(u)
        if not grad:
            return ll, None
        # K G M^-1, one column per slip.
        H = np.linalg.solve(L.T, np.linalg.solve(L, KG.T)).T
        g = np.zeros(self.dim) if dH is None else scale * (dH.T @ Kr)
        for i in range(self.k):
            g += dG[i].T @ (scale * s[i] * Kr - H[:, i])
        return ll, self.to_u(g, sx)

    def draw(self, u: np.ndarray, rng: np.random.Generator) -> np.ndarray:
        """The whole parameter vector for the chains' u: the slips drawn
        from their conditional (inside their bounds), then the offsets and
        ramps from theirs given the slips."""
        theta, _ = self.theta(u)
        y, G, _, _ = self._fields(theta)
        s0, L, _, _, S = self._solve(y, G)
        sig = math.sqrt(S / rng.chisquare(self.dof)) if not self.weighted else 1.0
        for _ in range(_TRIES):
            s = s0 + sig * np.linalg.solve(L.T, rng.standard_normal(self.k))
            self.drawn += 1
            if np.all(s >= self.lin_lo) and np.all(s <= self.lin_hi):
                break
            self.rejected += 1
        else:
            raise ValueError("the slips' conditional lies outside their bounds: sample with marginalise=False")
        _, solve = self.marginal()
        mean, factor = solve(y - G @ s)
        p = self.vector(theta)
        p[self.lin] = s
        p[self.problem.nfree:] = mean + sig * (factor @ rng.standard_normal(mean.size))
        return p[:self.problem.nparam]

    def laplace(self, theta: np.ndarray) -> np.ndarray:
        """Covariance of u from the curvature at theta: the Schur
        complement of the slips in the whole Gauss-Newton curvature."""
        y, G, _, _ = self._fields(theta)
        s, _, _, _, _ = self._solve(y, G)
        p = self.vector(theta)
        p[self.lin] = s
        H = self._full_curvature(p)
        c, li = self.cols, self.lin
        Hm = H[np.ix_(c, c)] - H[np.ix_(c, li)] @ np.linalg.solve(H[np.ix_(li, li)], H[np.ix_(li, c)])
        return self.curvature_to_u(Hm, theta)

    def margins(self, theta: np.ndarray) -> np.ndarray:
        """Distance of the slips' bounds from their conditional at theta, in
        conditional standard deviations (the smaller side of each)."""
        y, G, _, _ = self._fields(theta)
        s, L, _, _, S = self._solve(y, G)
        Linv = np.linalg.inv(L)
        sd = np.sqrt(np.sum(Linv * Linv, axis=0))
        if not self.weighted:
            sd = sd * math.sqrt(S / max(self.dof - 2, 1))
        return np.minimum(s - self.lin_lo, self.lin_hi - s) / sd
