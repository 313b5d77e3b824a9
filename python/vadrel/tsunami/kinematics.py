"""Kinematic sources: how much of each subfault's slip is reached at a time.

Each subfault starts to slip at its rupture time t0 and slips for its rise
time T along the slip-rate function its model states
(:class:`vadrel.io.subfaults.SlipHistory`); the fraction of its slip reached
at time t is the integral of the rate from t0 to t.  With t measured from
t0 and tau = t / T (clipped to [0, 1]):

``asymmetric cosine`` (a rising time t_r and a falling time t_f, T = t_r +
t_f; Ji et al., 2003)
    rate (1 - cos(pi t / t_r)) / T while t < t_r, then
    (1 + cos(pi (t - t_r) / t_f)) / T until T.  Its integral over the rise
    is t_r / T, over the fall t_f / T: together 1.  Slip fraction
    (t - (t_r / pi) sin(pi t / t_r)) / T while rising, then
    (t_r + s + (t_f / pi) sin(pi s / t_f)) / T with s = t - t_r.
``cosine``
    the same with t_r = t_f = T / 2: rate (1 - cos(2 pi tau)) / T, slip
    tau - sin(2 pi tau) / (2 pi).
``smooth ramp``
    slip (1 - cos(pi tau)) / 2 (rate (pi / 2T) sin(pi tau)): the shape taken
    when a model states none.
``triangle``
    an isosceles triangle of rate: slip 2 tau^2, then 1 - 2 (1 - tau)^2.
``boxcar``
    a constant rate: slip tau.
``step``
    all the slip at t0.

A subfault without a rupture time starts at 0; one without a rise time, or
with a rise time of 0, slips at once."""
from __future__ import annotations

import numpy as np
from numpy.typing import ArrayLike

from ..io.subfaults import SHAPES, SlipHistory

__all__ = ["ramp_weights", "rupture_end", "slip_fraction", "SHAPES"]


def slip_fraction(shape: str, t: ArrayLike, rise: ArrayLike, fall: ArrayLike | None = None) -> np.ndarray:
    """Fraction of the slip reached ``t`` seconds after the rupture time by
    a subfault of rise time ``rise`` slipping along ``shape`` (one of
    :data:`SHAPES`); ``fall``: the falling time of the asymmetric cosine.
    Arrays broadcast; 0 before the rupture time, 1 after the rise."""
    if shape not in SHAPES:
        raise ValueError(f"unknown slip-rate shape {shape!r}: use one of {', '.join(SHAPES)}")
    t = np.asarray(t, dtype=float)
    rise = np.maximum(np.asarray(rise, dtype=float), 0.0)
    if shape == "step":
        rise = np.zeros_like(rise)
    if shape == "cosine":
        shape, fall = "asymmetric cosine", 0.5 * rise
    done = np.broadcast_to(t >= rise, np.broadcast(t, rise).shape)
    with np.errstate(invalid="ignore", divide="ignore"):
        if shape == "asymmetric cosine":
            fall = np.zeros_like(rise) if fall is None else np.clip(np.asarray(fall, dtype=float), 0.0, rise)
            up = rise - fall
            s = t - up
            safe_up, safe_fall, safe_rise = (np.where(v > 0, v, 1.0) for v in (up, fall, rise))
            rising = (t - up / np.pi * np.sin(np.pi * t / safe_up)) / safe_rise
            falling = (up + s + fall / np.pi * np.sin(np.pi * s / safe_fall)) / safe_rise
            part = np.where(t < up, rising, falling)
        else:
            tau = np.clip(t / np.where(rise > 0, rise, 1.0), 0.0, 1.0)
            if shape == "smooth ramp":
                part = 0.5 * (1.0 - np.cos(np.pi * tau))
            elif shape == "triangle":
                part = np.where(tau < 0.5, 2.0 * tau * tau, 1.0 - 2.0 * (1.0 - tau) ** 2)
            else:                                   # boxcar
                part = tau
    return np.where(done, 1.0, np.where(t > 0, np.clip(part, 0.0, 1.0), 0.0))


def ramp_weights(sub: np.ndarray, times: ArrayLike, history: SlipHistory | None = None) -> np.ndarray:
    """Fraction of each subfault's slip reached at each time, shape
    (subfaults, times), along the slip-rate function of ``history`` (the
    model's :attr:`~vadrel.sources.FiniteFault.history`; None: the smooth
    ramp (1 - cos(pi tau)) / 2 over the rise time from the rupture time)."""
    times = np.asarray(times, dtype=float)
    t0 = np.nan_to_num(sub["rupture_time"].astype(float), nan=0.0)[:, None]
    rise = np.nan_to_num(sub["rise_time"].astype(float), nan=0.0)[:, None]
    shape = "smooth ramp" if history is None else history.shape
    fall = None
    if history is not None and history.fall_time is not None:
        fall = np.nan_to_num(np.asarray(history.fall_time, dtype=float), nan=0.0)[:, None]
    return slip_fraction(shape, times[None, :] - t0, rise, fall)


def rupture_end(sub: np.ndarray) -> float:
    """Time at which the last subfault stops slipping, s."""
    t0 = np.nan_to_num(sub["rupture_time"].astype(float), nan=0.0)
    rise = np.nan_to_num(sub["rise_time"].astype(float), nan=0.0)
    return float(np.max(t0 + np.maximum(rise, 0.0))) if len(sub) else 0.0
