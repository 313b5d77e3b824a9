"""Column names of subfault tables: the names and aliases published tables
use for each field, and the units read from a name (``slip(cm)``,
``Depth (km)``, ``depth_m``, ``rigidity(dyne/cm2)``).

Names are matched without case; blanks, hyphens and dots count as
underscores and a trailing dot is dropped (``Lat.``, ``Depth (km)``,
``rupture-time``).  Each field has a kind of quantity and its unit in the
subfault table (:data:`vadrel.geometry.SUBFAULT_DTYPE`): degrees, km, m,
Pa, N m, s."""
from __future__ import annotations

import math
from collections.abc import Mapping, Sequence

from .text import Source, name_and_unit

__all__ = ["ALIASES", "KINDS", "UNITS", "field_of", "unit_factor", "Column", "resolve"]

#: Each field of a subfault table and the names that give it.  ``top_depth``
#: is a depth of the subfault's top edge whatever point the position gives;
#: ``t_ris`` and ``t_fal`` the rising and falling times of an asymmetric
#: slip-rate function, ``rise_time`` the whole duration.
ALIASES = {
    "lon": ("lon", "long", "longitude", "lon_c", "lonc", "lon_center", "lon_centre", "lons", "lon_deg", "x_lon",
            "lon_e", "elon"),
    "lat": ("lat", "latitude", "lat_c", "latc", "lat_center", "lat_centre", "lats", "lat_deg", "y_lat", "lat_n",
            "nlat"),
    "depth": ("depth", "dep", "z", "depth_c", "depthc", "zc", "hypo_depth"),
    "top_depth": ("topdepth", "top_depth", "depth_top", "ztop", "z_top", "htop", "top"),
    "length": ("length", "len", "l", "length_km", "along_strike_length"),
    "width": ("width", "wid", "w", "width_km", "down_dip_width"),
    "strike": ("strike", "strk", "str", "strike_deg"),
    "dip": ("dip", "dip_deg"),
    "rake": ("rake", "rak", "rake_deg"),
    "slip": ("slip", "slip_m", "disl", "dislocation", "total_slip", "slip_total"),
    "rigidity": ("rigidity", "rig", "mu", "shear_modulus", "shear_mod"),
    "moment": ("mo", "m0", "moment", "sf_moment", "seismic_moment"),
    "rupture_time": ("rupture_time", "rupturetime", "t_rup", "trup", "rupt_time", "rupture_initial_time",
                     "rupture_onset", "onset", "t0"),
    "rise_time": ("rise_time", "risetime", "rise", "duration", "tr"),
    "t_ris": ("t_ris", "tris", "rise_time_starting", "t_rise", "t_up"),
    "t_fal": ("t_fal", "tfal", "rise_time_ending", "t_fall", "fall_time", "t_down"),
    "segment": ("segment", "seg", "segment_id", "seg_id", "fault_segment", "iseg"),
    "name": ("name", "rowname", "unitsrc", "unit_src", "unit_source", "unitsource", "subfault", "id", "label"),
}

#: The kind of each field, for its units.
KINDS = {"lon": "angle", "lat": "angle", "strike": "angle", "dip": "angle", "rake": "angle",
         "depth": "length", "top_depth": "length", "length": "length", "width": "length", "slip": "slip",
         "rigidity": "rigidity", "moment": "moment", "rupture_time": "time", "rise_time": "time",
         "t_ris": "time", "t_fal": "time", "segment": None, "name": None}

#: Units of each kind, as factors to the subfault table's units.
UNITS = {
    "angle": {"deg": 1.0, "degree": 1.0, "degrees": 1.0, "\u00b0": 1.0, "rad": 180.0 / math.pi},
    "length": {"km": 1.0, "kilometer": 1.0, "kilometers": 1.0, "kilometre": 1.0, "kilometres": 1.0,
               "m": 1e-3, "meter": 1e-3, "meters": 1e-3, "metre": 1e-3, "metres": 1e-3, "cm": 1e-5},
    "slip": {"m": 1.0, "meter": 1.0, "meters": 1.0, "metre": 1.0, "metres": 1.0, "cm": 1e-2,
             "centimeter": 1e-2, "centimeters": 1e-2, "centimetre": 1e-2, "centimetres": 1e-2, "mm": 1e-3,
             "km": 1e3},
    "rigidity": {"pa": 1.0, "n/m2": 1.0, "n/m^2": 1.0, "kpa": 1e3, "mpa": 1e6, "gpa": 1e9,
                 "dyne/cm2": 0.1, "dyne/cm^2": 0.1, "dyn/cm2": 0.1, "dyn/cm^2": 0.1},
    "moment": {"nm": 1.0, "n-m": 1.0, "n.m": 1.0, "n*m": 1.0, "newton-m": 1.0,
               "dyne-cm": 1e-7, "dynecm": 1e-7, "dyne.cm": 1e-7, "dyne*cm": 1e-7, "dyn-cm": 1e-7, "dyncm": 1e-7,
               "dyn.cm": 1e-7},
    "time": {"s": 1.0, "sec": 1.0, "second": 1.0, "seconds": 1.0, "min": 60.0, "ms": 1e-3},
}

_FIELD = {alias: name for name, aliases in ALIASES.items() for alias in aliases}
# Units written as the name's last part: depth_km, slip_cm, rigidity_pa.
_SUFFIXES = ("km", "m", "cm", "mm", "s", "sec", "deg", "pa", "gpa")


def _key(name):
    key = name.strip().lower().rstrip(".")
    for c in " -.":
        key = key.replace(c, "_")
    while "__" in key:
        key = key.replace("__", "_")
    return key.strip("_")


def field_of(name: str) -> tuple[str | None, str]:
    """The field a column name gives and the unit written with it, or
    ``(None, unit)`` for a name no alias covers."""
    base, unit = name_and_unit(name)
    key = _key(base)
    if key in _FIELD:
        return _FIELD[key], unit
    head, _, tail = key.rpartition("_")
    if head in _FIELD and tail in _SUFFIXES and not unit:
        return _FIELD[head], tail
    return None, unit


def unit_factor(field: str, unit: str) -> float:
    """Factor from ``unit`` to the subfault table's unit of ``field``;
    ``ValueError`` (without a place: the caller adds it) for a unit that is
    not one of that field's."""
    kind = KINDS[field]
    if kind is None or not unit:
        return 1.0
    key = unit.strip().lower().replace(" ", "").replace("**", "^")
    if key in UNITS[kind]:
        return UNITS[kind][key]
    raise ValueError(f"unknown unit {unit!r} for {field}: use one of {', '.join(sorted(UNITS[kind]))}")


class Column:
    """One column of a table: its name as written, the field it gives (None
    for one kept aside) and the factor to the table's unit."""

    def __init__(self, name: str, field: str | None, factor: float) -> None:
        self.name, self.field, self.factor = name, field, factor

    def __repr__(self):
        return f"Column({self.name!r}, {self.field!r}, {self.factor!r})"


def resolve(src: Source, line: int, names: Sequence[str], columns: Mapping[str, str | None] | None = None,
            units: Mapping[str, str] | None = None, defaults: Mapping[str, str] | None = None) -> list[Column]:
    """The :class:`Column` of each name of a header line.

    ``columns``: a mapping of names as written (matched without case) to
    fields, for names no alias covers (a field of :data:`ALIASES`, or
    ``None`` to keep the column aside); ``units``: a mapping of fields (or
    names as written) to units, over the ones the names carry;
    ``defaults``: the file layout's own unit of a field when the name says
    none (``{"slip": "cm"}`` for the subfault table).  A field given twice is
    a ``ValueError`` naming the line."""
    given = {str(k).strip().lower(): v for k, v in (columns or {}).items()}
    units = {str(k).strip().lower(): v for k, v in (units or {}).items()}
    defaults = defaults or {}
    out, seen = [], {}
    for name in names:
        low = name.strip().lower()
        if low in given:
            field = given[low]
            if field is not None and field not in ALIASES:
                raise src.error(line, f"columns: {field!r} (for {name!r}) is not a field: use one of "
                                      f"{', '.join(ALIASES)}")
            unit = name_and_unit(name)[1]
        else:
            field, unit = field_of(name)
        if field is None:
            out.append(Column(name, None, 1.0))
            continue
        if field in seen:
            raise src.error(line, f"columns {seen[field]!r} and {name!r} both give the {field}")
        seen[field] = name
        unit = units.get(low, units.get(field, unit or defaults.get(field, "")))
        try:
            factor = unit_factor(field, unit)
        except ValueError as e:
            raise src.error(line, f"column {name!r}: {e}") from None
        out.append(Column(name, field, factor))
    return out
