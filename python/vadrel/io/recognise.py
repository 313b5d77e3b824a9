"""Which finite-fault layout a file holds, from its content, and the
reader of each layout: one module per layout in this package
(:mod:`~vadrel.io.param`, :mod:`~vadrel.io.fsp`, :mod:`~vadrel.io.csv`)."""
from __future__ import annotations

from collections.abc import Callable, Mapping

from vadrel import PathLike
from . import csv, fsp, param
from .. import geometry
from .columns import field_of
from .subfaults import Parsed
from .text import Source, is_number, read_source

__all__ = ["READERS", "detect", "read_model"]

#: Reader of each layout: ``read(source, reference) -> Parsed``.
READERS: dict[str, Callable[..., Parsed]] = {"param": param.read, "fsp": fsp.read, "csv": csv.read}

# How far into a file its layout is looked for.
_LOOK = 100


def _names_position(text):
    """True when a line's names give a longitude and a latitude."""
    if len(text) > 20000:
        return False
    try:
        names = csv.split_fields(text, csv.separator(text))
    except ValueError:
        return False
    found = {field_of(n.strip().strip('"'))[0] for n in names[:200]}
    return "lon" in found and "lat" in found


def _named_columns(text):
    """True for a comma, tab or semicolon separated line of five names or
    more, none a number: a table's header whose names no alias covers
    (``columns=`` then names them)."""
    sep = csv.separator(text)
    if sep is None or len(text) > 20000:
        return False
    try:
        names = [n.strip().strip('"') for n in csv.split_fields(text, sep)]
    except ValueError:
        return False
    return len(names) >= 5 and all(n and not is_number(n) for n in names)


def detect(src: Source) -> str:
    """The layout of a file from its first lines: ``param``, ``fsp`` or
    ``csv`` (any table with a header naming its columns); ``ValueError``
    naming the line that fits none."""
    seen = percent = 0
    first = None
    for number, line in enumerate(src.lines, 1):
        t = line.strip()
        if not t:
            continue
        seen += 1
        if seen > _LOOK:
            break
        if t.startswith("%"):
            percent += 1
            if seen == 1 or percent >= 2:
                return "fsp"
            continue
        if t.startswith("#"):
            low = t.lower()
            if "fault_segment" in low:
                return "param"
            if _names_position(t.lstrip("#").strip()):
                return "csv"
            continue
        if _names_position(t) or _named_columns(t):
            return "csv"
        if first is None:
            first = number
    if percent:
        return "fsp"
    if seen == 0:
        raise ValueError(f"{src.path}: line 1: the file is empty")
    raise src.error(first or 1, "not a finite-fault model: expected a subfault table ('#Total number of "
                                "fault_segments='), a rupture-model database file ('%' header lines) or a "
                                "table with a header naming its columns (longitude, latitude, ...)")


def read_model(path: PathLike, format: str | None = None, reference: str | None = None,
               columns: Mapping[str, str | None] | None = None,
               units: Mapping[str, str] | None = None) -> tuple[str, Parsed]:
    """The layout (``format``, or the one :func:`detect` finds) and what its
    reader makes of the file.  ``reference`` (any alias of
    :data:`vadrel.geometry.REFERENCES`) overrides the file's own convention;
    ``columns`` and ``units`` (see :func:`vadrel.io.columns.resolve`) name
    columns no alias covers, for the subfault table and CSV layouts."""
    src = read_source(path)
    fmt = detect(src) if format is None else str(format).lower()
    if fmt not in READERS:
        raise ValueError(f"unknown format {format!r}: use {', '.join(READERS)}")
    if reference is not None:
        reference = geometry.canonical_reference(reference)
    if fmt == "fsp":
        if columns or units:
            raise ValueError("columns= and units= are for subfault tables and CSV tables; a database file "
                             "names its own")
        return fmt, fsp.read(src, reference)
    return fmt, READERS[fmt](src, reference, columns, units)
