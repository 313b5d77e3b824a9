"""The variables the posterior's chains run on, before their logit: each
segment's map position taken at the centre of its top edge instead of the
start of its deep edge (the segment's own X, Y).

Why: surface data see the top of a buried fault best and its deep edge
least.  With X, Y at the deep edge, a wider or steeper plane at the same top
edge moves X, Y up or down dip by W cos(dip): a ridge of the posterior
curved through X, Y, W, dip and strike that Hamiltonian trajectories under
one metric cross with small steps and many divergences (measured in
``bench/sample_bench.py``).  At the top centre that ridge is nearly straight.

The move is a shift of X, Y by (L/2, W cos(dip)) in the patch frame
(:func:`vadrel.geometry.from_patch`: along strike, and up dip to the left
of it); its Jacobian determinant is 1, so a prior uniform in X, Y stays
uniform in the top centre.  The top centre's bounds are those of X, Y
widened by L/2 + W (their largest values) on each side, and a draw whose X
or Y leaves its own bounds has density 0: the prior is exactly the uniform
one over the fit's bounds.
"""
from __future__ import annotations

from collections.abc import Mapping, Sequence

import numpy as np
from numpy.typing import ArrayLike

from ..geometry import from_patch

__all__ = ["TopCentre"]

_DEG = np.pi / 180.0


class TopCentre:
    """The map between the fit's free geometry theta (``names``: the
    problem's (segment, name) of each variable) and the chains' variables v,
    in which every segment with a free X or Y is placed at its top centre.
    ``values``: each segment's held values."""

    def __init__(self, names: Sequence[tuple[int, str]], values: Sequence[Mapping[str, float]],
                 lo: ArrayLike, hi: ArrayLike) -> None:
        self.index = {kn: j for j, kn in enumerate(names)}
        self.values = values
        self.segments = sorted({k for k, n in names if n in ("X", "Y")})
        self.lo, self.hi = np.array(lo, dtype=float), np.array(hi, dtype=float)
        self.theta_lo, self.theta_hi = self.lo.copy(), self.hi.copy()
        for k in self.segments:
            big = self._largest(k, "L") / 2.0 + self._largest(k, "W")
            for n in ("X", "Y"):
                j = self.index.get((k, n))
                if j is not None:
                    self.lo[j] -= big
                    self.hi[j] += big

    def _largest(self, k, n):
        j = self.index.get((k, n))
        return float(self.theta_hi[j]) if j is not None else float(self.values[k][n])

    def _get(self, x, k, n):
        j = self.index.get((k, n))
        return float(x[j]) if j is not None else float(self.values[k][n])

    def _shift(self, x, k):
        """The top centre's offset (east, north) from the deep edge's start
        and its derivatives by strike, L, W, dip (each a pair)."""
        s, L, W, d = (self._get(x, k, n) for n in ("strike", "L", "W", "dip"))
        cd, sd = np.cos(d * _DEG), np.sin(d * _DEG)
        e, n = from_patch(0.5 * L, W * cd, s)
        de_L, dn_L = from_patch(0.5, 0.0, s)
        de_W, dn_W = from_patch(0.0, cd, s)
        de_d, dn_d = from_patch(0.0, -W * sd * _DEG, s)
        # The rotation by the strike: d/ds of from_patch(a, b, s) is (n, -e) in radians.
        return (float(e), float(n)), {"strike": (n * _DEG, -e * _DEG), "L": (de_L, dn_L), "W": (de_W, dn_W),
                                      "dip": (de_d, dn_d)}

    def theta(self, v: np.ndarray) -> np.ndarray:
        """The fit's free geometry from the chains' variables."""
        if not self.segments:
            return v
        x = np.array(v, dtype=float)
        for k in self.segments:
            (e, n), _ = self._shift(x, k)
            for name, off in (("X", e), ("Y", n)):
                j = self.index.get((k, name))
                if j is not None:
                    x[j] = v[j] - off
        return x

    def chain(self, theta: ArrayLike) -> np.ndarray:
        """The chains' variables from the fit's free geometry."""
        if not self.segments:
            return np.asarray(theta, dtype=float)
        v = np.array(theta, dtype=float)
        for k in self.segments:
            (e, n), _ = self._shift(v, k)
            for name, off in (("X", e), ("Y", n)):
                j = self.index.get((k, name))
                if j is not None:
                    v[j] = theta[j] + off
        return v

    def inside(self, theta: np.ndarray) -> bool:
        """Whether the segments' own X, Y lie inside their bounds."""
        return bool(np.all(theta >= self.theta_lo) and np.all(theta <= self.theta_hi))

    def jacobian(self, v: np.ndarray) -> np.ndarray:
        """d theta / d v (a square matrix)."""
        T = np.eye(len(v))
        for k in self.segments:
            _, der = self._shift(v, k)
            for c, name in enumerate(("X", "Y")):
                j = self.index.get((k, name))
                if j is None:
                    continue
                for n, pair in der.items():
                    i = self.index.get((k, n))
                    if i is not None:
                        T[j, i] -= pair[c]
        return T
