"""Kinematic sources: how much of each subfault's slip is reached at a time."""
from __future__ import annotations

import numpy as np

__all__ = ["ramp_weights", "rupture_end"]


def ramp_weights(sub, times):
    """Fraction of each subfault's slip reached at each time, shape
    (subfaults, times): the smooth ramp (1 - cos(pi tau)) / 2 over the rise
    time from the rupture time."""
    times = np.asarray(times, dtype=float)
    t0 = np.nan_to_num(sub["rupture_time"].astype(float), nan=0.0)[:, None]
    rise = np.nan_to_num(sub["rise_time"].astype(float), nan=0.0)[:, None]
    with np.errstate(invalid="ignore", divide="ignore"):
        tau = np.where(rise > 0.0, (times[None, :] - t0) / np.where(rise > 0.0, rise, 1.0),
                       np.where(times[None, :] >= t0, 1.0, 0.0))
    tau = np.clip(tau, 0.0, 1.0)
    return 0.5 * (1.0 - np.cos(np.pi * tau))


def rupture_end(sub):
    """Time at which the last subfault stops slipping, s."""
    t0 = np.nan_to_num(sub["rupture_time"].astype(float), nan=0.0)
    rise = np.nan_to_num(sub["rise_time"].astype(float), nan=0.0)
    return float(np.max(t0 + np.maximum(rise, 0.0))) if len(sub) else 0.0
