"""Unit-source tables: one row per unit source, a column naming it (``name``,
``UnitSrc``, ``rowname`` ...), its position, strike, dip, depth, length,
width and rake, in any layout :mod:`vadrel.io.csv` reads (comma separated
or lined up with blanks).  No slip column is needed: the slips come from
the caller (:func:`vadrel.sources.unit_sources`).  Positions are given in the
sift convention unless the caller says otherwise: the bottom centre's
longitude and latitude with the depth of the top."""
from __future__ import annotations

from collections.abc import Mapping

from vadrel import PathLike
from . import csv
from .. import geometry
from .subfaults import Parsed
from .text import read_source

__all__ = ["read_unit_sources", "REFERENCE"]

#: The reference point of unit-source tables.
REFERENCE = "noaa sift"


def read_unit_sources(path: PathLike, reference: str | None = REFERENCE,
                      columns: Mapping[str, str | None] | None = None,
                      units: Mapping[str, str] | None = None) -> Parsed:
    """The unit sources of a table (their slips as the table gives them, 0
    where it gives none); ``ValueError`` naming the file and line for a table that does not
    parse or names no source."""
    src = read_source(path)
    p = csv.read(src, geometry.canonical_reference(reference or REFERENCE), columns, units, need_slip=False)
    if p.names is None:
        raise ValueError(f"{src.path}: line 1: no column naming the unit sources (name, UnitSrc, rowname, ...)")
    return p
