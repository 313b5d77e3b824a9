"""Least squares with some unknowns kept >= 0, solved on the normal
equations: minimise 1/2 x^T H x - b^T x subject to x_i >= 0 for the
constrained i (H symmetric positive definite, n x n), by block principal
pivoting (Judice and Pires 1994; Kim and Park 2011).

An iteration guesses which constrained unknowns are 0 (the active set),
solves the others exactly from the Cholesky factor of their block of H, and
moves every unknown that breaks a condition of optimality to the other set
at once: a passive unknown below 0, or an active one whose gradient would
have it rise.  When a whole exchange fails to lessen the number of broken
conditions three times running, only the last broken unknown is exchanged
(Murty's rule), which ends in a finite number of steps for a positive
definite H.  Columns are never doubled: an unknown bounded on one side is
one column.

Each iteration solves H_FF x_F = b_F on the passive set F.  While F is the
smaller set, from the Cholesky factor of H_FF; once the active set A is the
smaller, from the inverse of H computed once: x = H^-1 b - (H^-1)_.A
((H^-1)_AA)^-1 (H^-1 b)_A (the Schur complement; it costs a factorisation
of the size of A), followed by a step of iterative refinement against H
itself, which gives the accuracy of a direct solve.  Slip inversions
typically end with a small active set, so their iterations then cost little
beyond one product with H.
"""
from __future__ import annotations

import numpy as np
import scipy.linalg
from numpy.typing import ArrayLike

__all__ = ["BoundedSolution", "nonnegative_quadratic"]


class BoundedSolution:
    """``x`` (the solution), ``gradient`` (H x - b: the Lagrange multiplier
    of every active constraint, 0 on the passive unknowns), ``active`` (the
    constrained unknowns held at 0), ``iterations``, ``converged`` and
    ``message``."""

    def __init__(self, x: np.ndarray, gradient: np.ndarray, active: np.ndarray, iterations: int, converged: bool,
                 message: str) -> None:
        self.x, self.gradient, self.active = x, gradient, active
        self.iterations, self.converged, self.message = iterations, converged, message

    def __repr__(self):
        return f"BoundedSolution({self.message!r})"


def _solve(H, b, idx):
    x = np.zeros(b.size)
    if idx.size:
        try:
            c = scipy.linalg.cho_factor(H[np.ix_(idx, idx)], lower=False, overwrite_a=True, check_finite=False)
        except np.linalg.LinAlgError:
            raise ValueError("the least-squares problem is singular: add smoothing") from None
        x[idx] = scipy.linalg.cho_solve(c, b[idx], check_finite=False)
    return x


def _inverse(H):
    """H^-1 of a symmetric positive definite H (LAPACK potrf, potri)."""
    n = H.shape[0]
    c, info = scipy.linalg.lapack.dpotrf(H, lower=False, clean=True)
    if info == 0:
        inv, info = scipy.linalg.lapack.dpotri(c, lower=False)
    if info != 0:
        raise ValueError("the least-squares problem is singular: add smoothing")
    inv = np.triu(inv)
    inv += np.triu(inv, 1).T
    return inv.reshape(n, n)


def _schur(H, inv, x0, b, act):
    """The solution with x_A = 0 through the inverse of H, refined once
    (None when the Schur block is not numerically positive definite)."""
    if act.size == 0:
        x = x0.copy()
        return x + inv @ (b - H @ x)
    try:
        cf = scipy.linalg.cho_factor(inv[np.ix_(act, act)], lower=False, overwrite_a=True, check_finite=False)
    except np.linalg.LinAlgError:
        return None
    cols = inv[:, act]

    def apply(v):
        return v - cols @ scipy.linalg.cho_solve(cf, v[act], check_finite=False)

    x = apply(x0)
    x[act] = 0.0
    r = b - H @ x
    r[act] = 0.0
    x += apply(inv @ r)
    x[act] = 0.0
    return x


def nonnegative_quadratic(H: ArrayLike, b: ArrayLike, constrained: ArrayLike, *, active: ArrayLike | None = None,
                          maxiter: int = 200, tol: float = 1e-10) -> BoundedSolution:
    """Minimise 1/2 x^T H x - b^T x with x[constrained] >= 0.

    ``constrained``: boolean mask of the unknowns kept >= 0 (the others are
    free); ``active``: a first guess of the constrained unknowns at 0 (all
    of them by default); ``maxiter``: factorisations allowed; ``tol``: the
    relative tolerance of the conditions of optimality (an unknown counts as
    below 0 under -tol max|x|, a gradient under -tol max(|b|, |H x|))."""
    H = np.asarray(H, dtype=float)
    b = np.asarray(b, dtype=float)
    cons = np.asarray(constrained, dtype=bool)
    n = b.size
    if H.shape != (n, n) or cons.shape != (n,):
        raise ValueError(f"H must be ({n}, {n}) and constrained ({n},), got {H.shape} and {cons.shape}")
    passive = ~cons if active is None else ~(np.asarray(active, dtype=bool) & cons)
    if not cons.any():
        x = _solve(H, b, np.arange(n))
        return BoundedSolution(x, H @ x - b, np.zeros(n, dtype=bool), 1, True, "converged: no constraint")
    best, backup = n + 1, 3
    inv = x0 = None
    for it in range(1, int(maxiter) + 1):
        free, act = np.flatnonzero(passive), np.flatnonzero(~passive)
        x = None
        if act.size < free.size and free.size > 256:
            if inv is None:
                inv = _inverse(H)
                x0 = inv @ b
            x = _schur(H, inv, x0, b, act)
        if x is None:
            x = _solve(H, b, free)
        hx = H @ x
        y = hx - b
        y[passive] = 0.0
        tx = tol * max(float(np.abs(x).max()), 1e-300)
        ty = tol * max(float(np.abs(b).max()), float(np.abs(hx).max()), 1e-300)
        broken = cons & ((passive & (x < -tx)) | (~passive & (y < -ty)))
        nb = int(broken.sum())
        if nb == 0:
            x[cons & (x < 0)] = 0.0
            return BoundedSolution(x, y, cons & ~passive, it, True,
                                   f"converged in {it} iteration{'s' if it > 1 else ''}")
        if nb < best:
            best, backup = nb, 3
            passive[broken] = ~passive[broken]
        elif backup > 0:
            backup -= 1
            passive[broken] = ~passive[broken]
        else:
            k = int(np.flatnonzero(broken)[-1])
            passive[k] = not passive[k]
    # Out of iterations: the last solution made feasible.
    x[cons & (x < 0)] = 0.0
    act = cons & (x == 0)
    y = H @ x - b
    y[~act] = 0.0
    return BoundedSolution(x, y, act, int(maxiter), False,
                           f"stopped at the iteration limit ({int(maxiter)}) with {nb} conditions of optimality "
                           f"broken: the slip is feasible but not the best")
