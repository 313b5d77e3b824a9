"""Which finite-fault layout a file holds, from its content, and the
reader of each layout: one module per layout in this package
(:mod:`~vadrel.io.param`, :mod:`~vadrel.io.fsp`, :mod:`~vadrel.io.csv`)."""
from __future__ import annotations

from . import csv, fsp, param
from .. import geometry
from .subfaults import Parsed
from .text import Source, read_source

__all__ = ["READERS", "detect", "read_model"]

#: Reader of each layout: ``read(source, reference) -> Parsed``.
READERS = {"param": param.read, "fsp": fsp.read, "csv": csv.read}


def detect(src: Source) -> str:
    """The layout of a file from its first lines: ``param``, ``fsp`` or
    ``csv``; ``ValueError`` naming the line that fits none."""
    for number, line in enumerate(src.lines, 1):
        t = line.strip()
        if not t:
            continue
        if t.startswith("%"):
            return "fsp"
        if t.startswith("#"):
            if "fault_segment" in t.lower():
                return "param"
            if number < 50:
                continue          # a comment above a table or a CSV header
        low = t.lower()
        if "," in t and "lon" in low and "lat" in low:
            return "csv"
        raise src.error(number, "not a finite-fault model: expected a subfault table ('#Total number of "
                                "fault_segments='), a rupture-model database file ('%' header lines) or a "
                                "subfault CSV with a header naming its columns")
    raise ValueError(f"{src.path}: line 1: the file is empty")


def read_model(path, format=None, reference=None) -> tuple[str, Parsed]:
    """The layout (``format``, or the one :func:`detect` finds) and what its
    reader makes of the file.  ``reference`` (any alias of
    :data:`vadrel.geometry.REFERENCES`) overrides the file's own convention."""
    src = read_source(path)
    fmt = detect(src) if format is None else str(format).lower()
    if fmt not in READERS:
        raise ValueError(f"unknown format {format!r}: use {', '.join(READERS)}")
    if reference is not None:
        reference = geometry.canonical_reference(reference)
    return fmt, READERS[fmt](src, reference)
