"""The table every finite-fault reader fills: subfault rows
(:data:`vadrel.geometry.SUBFAULT_DTYPE`), their checks, their rigidity, and
what a reader returns."""
from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

from .. import geometry

__all__ = ["DEFAULT_RIGIDITY", "Parsed", "empty", "check_rows", "to_top_centre", "rigidity_from_moment"]

DEFAULT_RIGIDITY = 3.0e10  # Pa


@dataclass
class Parsed:
    """What a finite-fault reader returns: the subfaults (top centres), the
    hypocentre (lon, lat, depth km, or None), the boundary polygons, the
    reference point taken for each segment (with why), the warnings, and the
    moment the header states (N m, or None)."""
    subfaults: np.ndarray
    hypocentre: tuple | None = None
    boundary: list = field(default_factory=list)
    reference: list = field(default_factory=list)
    warnings: list = field(default_factory=list)
    header_moment: float | None = None


def empty(n):
    """``n`` subfault rows of zeros, without rupture and rise times."""
    rows = np.zeros(n, dtype=geometry.SUBFAULT_DTYPE)
    rows["rupture_time"] = np.nan
    rows["rise_time"] = np.nan
    return rows


def check_rows(src, rows, numbers):
    """Geometry a subfault cannot do without; the error names the row's line."""
    for k, r in enumerate(rows):
        if not 0.0 < r["dip"] <= 90.0:
            raise src.error(numbers[k], f"dip {r['dip']:g} is not in (0, 90] degrees")
        if not (r["length"] > 0 and r["width"] > 0):
            raise src.error(numbers[k], "subfault length and width must be positive")
        if not -90.0 <= r["lat"] <= 90.0:
            raise src.error(numbers[k], f"latitude {r['lat']:g} is beyond 90 degrees")


def to_top_centre(rows, reference):
    """Rows whose lon, lat, depth give the ``reference`` point moved, in
    place, to their top centres (:func:`vadrel.geometry.move_reference`)."""
    rows["lon"], rows["lat"], rows["depth"] = geometry.move_reference(
        rows["lon"], rows["lat"], rows["depth"], rows["strike"], rows["dip"], rows["length"], rows["width"],
        reference)


def rigidity_from_moment(rows, moment, warnings, label, fallback=None):
    """mu = moment / (slip area) where there is slip; elsewhere ``fallback``
    (an array) or the median of the others."""
    area = rows["length"] * rows["width"] * 1.0e6
    with np.errstate(divide="ignore", invalid="ignore"):
        mu = moment / (np.abs(rows["slip"]) * area)
    ok = (rows["slip"] != 0) & np.isfinite(mu) & (mu > 0)
    if fallback is not None:
        mu = np.where(ok, mu, fallback)
    elif ok.any():
        med = float(np.median(mu[ok]))
        if not ok.all():
            warnings.append(f"{label}: {int((~ok).sum())} subfaults without slip take the median "
                            f"rigidity of the others, {med:.4g} Pa")
        mu = np.where(ok, mu, med)
    else:
        warnings.append(f"{label}: no subfault has slip; rigidity taken as {DEFAULT_RIGIDITY:g} Pa")
        mu = np.full(len(rows), DEFAULT_RIGIDITY)
    return mu
