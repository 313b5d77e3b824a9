"""The table every finite-fault reader fills: subfault rows
(:data:`vadrel.geometry.SUBFAULT_DTYPE`), their checks, their rigidity, how
they slip in time, and what a reader returns."""
from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

import numpy as np

from .. import geometry

if TYPE_CHECKING:
    from .text import Source

__all__ = ["DEFAULT_RIGIDITY", "SHAPES", "DEFAULT_SHAPE", "SlipHistory", "Parsed", "empty", "check_rows",
           "to_top_centre", "rigidity_from_moment", "labels_to_indices", "ABOVE_TOLERANCE", "top_depths",
           "choose_reference"]

DEFAULT_RIGIDITY = 3.0e10  # Pa

#: How far above the surface (km) a subfault's top may reach before it is
#: taken as above it: a metre, more than the rounding of any published depth.
ABOVE_TOLERANCE = 1e-3

#: Slip-rate functions a model can state, each over the subfault's rise
#: time T from its rupture time (see :mod:`vadrel.tsunami.kinematics` for the
#: formulas): ``asymmetric cosine`` (a rising time t_ris and a falling time
#: t_fal, T = t_ris + t_fal), ``cosine`` (the same with t_ris = t_fal = T/2),
#: ``smooth ramp`` (slip (1 - cos(pi t/T))/2), ``triangle``, ``boxcar`` and
#: ``step`` (all the slip at the rupture time).
SHAPES = ("asymmetric cosine", "cosine", "smooth ramp", "triangle", "boxcar", "step")

#: The shape taken when a file states none.
DEFAULT_SHAPE = "smooth ramp"


@dataclass
class SlipHistory:
    """How the subfaults slip in time: the slip-rate function's ``shape``
    (one of :data:`SHAPES`), for the asymmetric cosine each subfault's
    ``fall_time`` t_fal in s (its rising time is its rise time minus it), and
    what the file stated (``stated``, empty when it stated nothing)."""
    shape: str = DEFAULT_SHAPE
    fall_time: np.ndarray | None = None
    stated: str = ""

    def __post_init__(self):
        if self.shape not in SHAPES:
            raise ValueError(f"unknown slip-rate shape {self.shape!r}: use one of {', '.join(SHAPES)}")


@dataclass
class Parsed:
    """What a finite-fault reader returns: the subfaults (top centres), the
    hypocentre (lon, lat, depth km, or None), the boundary polygons, the
    reference point taken for each segment (with why), the warnings, the
    moment the header states (N m, or None), each row's line in the file,
    each segment's label as the file writes it, columns kept aside (name ->
    list of the rows' values as written), the slip history and the subfaults'
    names where the file gives them."""
    subfaults: np.ndarray
    hypocentre: tuple | None = None
    boundary: list = field(default_factory=list)
    reference: list = field(default_factory=list)
    warnings: list = field(default_factory=list)
    header_moment: float | None = None
    lines: np.ndarray | None = None
    segment_labels: list = field(default_factory=list)
    extra: dict = field(default_factory=dict)
    history: SlipHistory = field(default_factory=SlipHistory)
    names: list | None = None


def empty(n: int) -> np.ndarray:
    """``n`` subfault rows of zeros, without rigidity, rupture and rise
    times (NaN)."""
    rows = np.zeros(n, dtype=geometry.SUBFAULT_DTYPE)
    rows["rigidity"] = np.nan
    rows["rupture_time"] = np.nan
    rows["rise_time"] = np.nan
    return rows


def check_rows(src: Source, rows: np.ndarray, numbers: Sequence[int] | np.ndarray) -> None:
    """What a subfault cannot do without; the error names the row's line:
    finite values, a dip in (0, 90], a positive length and width, a latitude
    within 90 degrees, a positive rigidity (where known: NaN is filled
    later), rupture and rise times not negative."""
    for name in ("lon", "lat", "depth", "strike", "dip", "rake", "slip", "length", "width"):
        bad = ~np.isfinite(rows[name])
        if bad.any():
            raise src.error(numbers[int(np.argmax(bad))], f"{name} is not a finite number")
    checks = (
        (~((rows["dip"] > 0.0) & (rows["dip"] <= 90.0)), "dip {dip:g} is not in (0, 90] degrees"),
        (~((rows["length"] > 0) & (rows["width"] > 0)), "subfault length and width must be positive"),
        (np.abs(rows["lat"]) > 90.0, "latitude {lat:g} is beyond 90 degrees"),
        (rows["rigidity"] <= 0, "rigidity {rigidity:g} Pa is not positive"),
        (np.isinf(rows["rigidity"]), "rigidity is not a finite number"),
        (rows["rupture_time"] < 0, "rupture time {rupture_time:g} s is negative"),
        (rows["rise_time"] < 0, "rise time {rise_time:g} s is negative"),
        (np.isinf(rows["rupture_time"]) | np.isinf(rows["rise_time"]), "a time is not a finite number"),
    )
    for bad, reason in checks:
        if bad.any():
            k = int(np.argmax(bad))
            raise src.error(numbers[k], reason.format(**{n: rows[n][k] for n in rows.dtype.names}))


def to_top_centre(rows: np.ndarray, reference: str) -> None:
    """Rows whose lon, lat, depth give the ``reference`` point moved, in
    place, to their top centres (:func:`vadrel.geometry.move_reference`)."""
    rows["lon"], rows["lat"], rows["depth"] = geometry.move_reference(
        rows["lon"], rows["lat"], rows["depth"], rows["strike"], rows["dip"], rows["length"], rows["width"],
        reference)


def rigidity_from_moment(rows: np.ndarray, moment: float | np.ndarray, warnings: list[str], label: str,
                         fallback: float | np.ndarray | None = None) -> np.ndarray:
    """mu = moment / (slip area) where there is slip; elsewhere ``fallback``
    (an array) or the median of the others."""
    area = rows["length"] * rows["width"] * 1.0e6
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
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


def labels_to_indices(labels: Sequence[str]) -> tuple[np.ndarray, list[str]]:
    """Segment labels as the file writes them (any strings) turned into
    indices from 0 in order of first appearance, and the distinct labels;
    nothing is sized by a label's value."""
    index, order = {}, []
    out = np.empty(len(labels), dtype=np.int32)
    for k, lab in enumerate(labels):
        if lab not in index:
            index[lab] = len(order)
            order.append(lab)
        out[k] = index[lab]
    return out, order


def top_depths(rows: np.ndarray, reference: str) -> np.ndarray:
    """Depths (km) of the subfaults' tops if the rows' points are the
    ``reference`` point."""
    z = geometry.REFERENCES[geometry.canonical_reference(reference)][2]
    return rows["depth"] - z * rows["width"] * np.sin(np.radians(rows["dip"]))


def choose_reference(rows: np.ndarray, reference: str, why: str, alternatives: Sequence[tuple[str, str]], label: str,
                     warnings: list[str]) -> tuple[str, str]:
    """The reference point to take for ``rows``: ``reference`` unless it
    puts a subfault's top above the surface while one of ``alternatives``
    (``(name, why)`` pairs of conventions the file also states and that fit
    it exactly) does not; a warning says both.  Returns ``(name, why)``."""
    tops = top_depths(rows, reference)
    if tops.min() >= -ABOVE_TOLERANCE:
        return reference, why
    k = int(np.argmin(tops))
    for alt, alt_why in alternatives:
        if top_depths(rows, alt).min() >= -ABOVE_TOLERANCE:
            warnings.append(f"{label}: taken as {reference} ({why}), the rows put the top of subfault {k + 1} "
                            f"{-tops[k]:.3f} km above the surface; taken as {alt} instead ({alt_why})")
            return alt, f"{alt_why}; not {reference} ({why}), which puts tops above the surface"
    warnings.append(f"{label}: taken as {reference} ({why}), the rows put the top of subfault {k + 1} "
                    f"{-tops[k]:.3f} km above the surface")
    return reference, why
