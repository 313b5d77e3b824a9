"""Look vectors: the unit vector from a ground point to the radar, and the
conventions radar products use to give it.

Every look vector here is (east, north, up), pointing from the ground to the
radar, unit length; up is positive (the radar is above the ground).

Conventions (angles in degrees):

* components: ``e, n, u`` given directly (east, north, up, ground to radar).
* incidence and heading: ``theta`` the incidence angle, measured at the
  ground from the vertical; ``h`` the heading, the direction of flight
  clockwise from north.  A right-looking radar looks to the right of its
  track, so the horizontal direction from the ground to the radar is
  ``h - 90`` (``h + 90`` for a left-looking one)::

      right-looking:  e = -sin(theta) cos(h),  n =  sin(theta) sin(h),  u = cos(theta)
      left-looking:   e =  sin(theta) cos(h),  n = -sin(theta) sin(h),  u = cos(theta)

  (an ascending right-looking pass, h about -12, looks east: e < 0, the
  radar is to the west of the ground point.)
* incidence and azimuth: ``a`` the horizontal direction from the ground to
  the radar, clockwise from north::

      e = sin(theta) sin(a),  n = sin(theta) cos(a),  u = cos(theta)

  (products giving the azimuth anticlockwise from north, or from the radar
  to the ground, give ``-a`` or ``a + 180`` in this convention.)

These are the directions on the ellipsoid (true north).  In a projected
frame the horizontal part is turned by the meridian convergence
(:func:`to_grid`).
"""
from __future__ import annotations

import numpy as np
from numpy.typing import ArrayLike

__all__ = ["from_incidence_heading", "from_incidence_azimuth", "check", "to_grid"]

_RAD = np.pi / 180.0


def _angles(name, v, low, high):
    a = np.asarray(v, dtype=float)
    ok = np.isnan(a) | ((a >= low) & (a <= high))
    if not np.all(ok):
        bad = a[~ok].ravel()[0]
        raise ValueError(f"{name} {bad:g} degrees is not in {low:g}..{high:g}")
    return a


def from_incidence_heading(incidence: ArrayLike, heading: ArrayLike, *, left_looking: bool = False) -> np.ndarray:
    """Ground-to-radar unit vectors (..., 3) from the incidence angle (from
    the vertical) and the heading (flight direction clockwise from north),
    degrees; right-looking unless ``left_looking``.  Arrays broadcast; NaN
    angles give NaN vectors."""
    th = _angles("incidence", incidence, 0.0, 90.0) * _RAD
    h = _angles("heading", heading, -360.0, 360.0) * _RAD
    side = 1.0 if left_looking else -1.0
    st = np.sin(th)
    e, n, u = np.broadcast_arrays(side * st * np.cos(h), -side * st * np.sin(h), np.cos(th))
    return np.stack([e, n, u], axis=-1)


def from_incidence_azimuth(incidence: ArrayLike, azimuth: ArrayLike) -> np.ndarray:
    """Ground-to-radar unit vectors (..., 3) from the incidence angle (from
    the vertical) and the azimuth of the horizontal direction from the
    ground to the radar (clockwise from north), degrees."""
    th = _angles("incidence", incidence, 0.0, 90.0) * _RAD
    a = _angles("azimuth", azimuth, -360.0, 360.0) * _RAD
    st = np.sin(th)
    e, n, u = np.broadcast_arrays(st * np.sin(a), st * np.cos(a), np.cos(th))
    return np.stack([e, n, u], axis=-1)


def check(look: ArrayLike, *, normalise: bool = False, tolerance: float = 0.01,
          what: str = "look vectors") -> np.ndarray:
    """Look vectors (..., 3) checked: unit length within ``tolerance``
    (scaled to unit length instead when ``normalise``), finite where not
    NaN, pointing up (ground to radar).  NaN vectors (masked pixels) pass.
    ``ValueError`` naming ``what``, the first offending vector and why."""
    v = np.asarray(look, dtype=float)
    if v.shape[-1:] != (3,):
        raise ValueError(f"{what}: expected (east, north, up) components, got shape {v.shape}")
    flat = v.reshape(-1, 3)
    nan = np.isnan(flat).any(axis=1)
    if np.any(np.isinf(flat)):
        raise ValueError(f"{what}: a component is infinite")
    norm = np.sqrt(np.einsum("ij,ij->i", flat, flat))
    where = ~nan
    if normalise:
        zero = where & (norm == 0.0)
        if np.any(zero):
            k = int(np.flatnonzero(zero)[0])
            raise ValueError(f"{what}: vector {_index(k, v.shape)} is zero and has no direction")
        flat = flat / np.where(where, norm, 1.0)[:, None]
    else:
        bad = where & (np.abs(norm - 1.0) > tolerance)
        if np.any(bad):
            k = int(np.flatnonzero(bad)[0])
            raise ValueError(f"{what}: vector {_index(k, v.shape)} has length {norm[k]:.4g}, not 1 "
                             f"(within {tolerance:g}); give normalise=True to scale such vectors to unit length")
    down = where & ~(flat[:, 2] > 0.0)
    if np.any(down):
        k = int(np.flatnonzero(down)[0])
        raise ValueError(f"{what}: vector {_index(k, v.shape)} = ({flat[k, 0]:.4g}, {flat[k, 1]:.4g}, "
                         f"{flat[k, 2]:.4g}) does not point up: look vectors go from the ground to the radar "
                         "(a radar-to-ground product gives their negatives)")
    return flat.reshape(v.shape)


def _index(k, shape):
    if len(shape) <= 2:
        return f"{k}"
    idx = np.unravel_index(k, shape[:-1])
    return "at (row, column) " + str(tuple(int(i) for i in idx)) if len(idx) == 2 else str(tuple(int(i) for i in idx))


def to_grid(look: ArrayLike, convergence: ArrayLike) -> np.ndarray:
    """Look vectors with true-north horizontal components turned into a
    projected frame whose grid azimuth of true north is ``convergence``
    degrees (a direction at true azimuth a has grid azimuth a + convergence):
    ``e' = e cos g + n sin g``, ``n' = n cos g - e sin g``, ``u' = u``."""
    v = np.asarray(look, dtype=float)
    g = np.asarray(convergence, dtype=float) * _RAD
    c, s = np.cos(g), np.sin(g)
    e, n = v[..., 0], v[..., 1]
    return np.stack(np.broadcast_arrays(e * c + n * s, n * c - e * s, v[..., 2]), axis=-1)
