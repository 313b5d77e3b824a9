"""Published finite-fault rupture models in, the program's faults file out.

    python3 -m vadrel.sources MODEL [--zone Z] [--origin LON LAT] [--format F] [--reference R] -o faults.txt
"""
from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np

import vadrel

__all__ = ["SUBFAULT_DTYPE", "FiniteFault", "read", "segment_arrays", "write_faults"]

#: One row per subfault.  ``lon``, ``lat``: the top centre (midpoint of the
#: up-dip edge), degrees; ``depth``: top depth, km; ``strike`` (azimuth from
#: true north), ``dip``, ``rake`` degrees; ``slip`` m; ``length``, ``width``
#: km; ``rigidity`` Pa; ``rupture_time``, ``rise_time`` s (NaN where the file
#: has none); ``segment`` from 0.
SUBFAULT_DTYPE = np.dtype([("lon", "f8"), ("lat", "f8"), ("depth", "f8"), ("strike", "f8"), ("dip", "f8"),
                           ("rake", "f8"), ("slip", "f8"), ("length", "f8"), ("width", "f8"),
                           ("rigidity", "f8"), ("rupture_time", "f8"), ("rise_time", "f8"),
                           ("segment", "i4")])


def segment_arrays(sub, x, y, strike):
    """The program's segment fields of subfaults, vectorised.

    ``sub``: array of ``SUBFAULT_DTYPE``; ``x``, ``y``: their top centres in
    some frame, km; ``strike``: their strikes in that frame, degrees.  Returns
    a dict of arrays ``X``, ``Y`` (surface point above the start of the deep
    edge), ``strike``, ``depth`` (of the deep edge), ``dip``, ``L``, ``W``,
    ``U1`` (strike slip, left-lateral positive), ``U2`` (dip slip, reverse
    positive) in mm, and ``mu`` (the rigidity).  The patch dips to the right
    of the strike direction; the rake is measured in the fault plane from the
    strike direction, counter-clockwise seen from the hanging wall.
    """
    sub = np.asarray(sub)
    x = np.asarray(x, dtype=float)
    y = np.asarray(y, dtype=float)
    s = np.radians(np.asarray(strike, dtype=float))
    d = np.radians(sub["dip"])
    L = sub["length"].astype(float)
    W = sub["width"].astype(float)
    horizontal = W * np.cos(d)
    # Along strike (sin s, cos s); down dip, to the right of it, (cos s, -sin s).
    X = x - 0.5 * L * np.sin(s) + horizontal * np.cos(s)
    Y = y - 0.5 * L * np.cos(s) - horizontal * np.sin(s)
    r = np.radians(sub["rake"])
    slip_mm = sub["slip"] * 1000.0
    return {
        "X": X, "Y": Y, "strike": np.degrees(s), "depth": sub["depth"] + W * np.sin(d),
        "dip": sub["dip"].astype(float), "L": L, "W": W,
        "U1": slip_mm * np.cos(r), "U2": slip_mm * np.sin(r), "mu": sub["rigidity"].astype(float),
    }


@dataclass
class FiniteFault:
    """A finite-fault model: its subfaults and what the file says about them."""
    subfaults: np.ndarray
    moment: float
    Mw: float
    hypocentre: tuple | None = None
    boundary: list = field(default_factory=list)
    reference: list = field(default_factory=list)
    warnings: list = field(default_factory=list)
    format: str = ""
    path: str | None = None

    def to_faults(self, zone=None, origin=None, lam=None) -> vadrel.Faults:
        raise NotImplementedError


def read(path, format=None, reference=None) -> FiniteFault:
    raise NotImplementedError


def write_faults(faults, path):
    raise NotImplementedError
