"""The program's print files read back: point records by kind."""
from __future__ import annotations

import math

import numpy as np

import vadrel
from vadrel import PathLike
from .text import number as float_field, read_source

__all__ = ["KINDS", "read_print_file"]


# Record kinds by record length (without the newline), their field width and
# column names.
KINDS = {
    33: ("range", 10, ("x", "y", "range")),
    55: ("residual", 10, ("x", "y", "observed", "range", "residual")),
    77: ("vector", 10, ("x", "y", "east", "north", "up", "norm", "range")),
    112: ("strain", 13, ("x", "y") + vadrel.STRAIN_COLUMNS),
    252: ("partial", 20, ("x", "y") + vadrel.PARTIAL_COLUMNS),
}


def _number(src, number, text):
    """A fixed-layout field: asterisks (too wide) give NaN; an exponent of
    three digits has no letter (-1.2345678901-103)."""
    t = text.strip()
    if not t or t.startswith("*"):
        return math.nan
    k = max(t.rfind("+"), t.rfind("-"))
    if k > 0 and t[k - 1] not in "eEdD":
        t = t[:k] + "E" + t[k:]
    return float_field(src, number, t, "a record field")


def read_print_file(path: PathLike) -> dict[str, tuple[tuple[str, ...], np.ndarray]]:
    """The records of a print file, grouped by kind.

    Returns a dict: kind ("range", "residual", "vector", "strain", "partial"
    or "analytic") -> (columns, array of shape (n, len(columns))).  Header
    and echo lines are skipped; a record field that is not a number is a
    ``ValueError`` naming the file and the line.
    """
    groups = {}
    analytic = False
    src = read_source(path)
    for number, line in enumerate(src.lines, 1):
        if line.lstrip().startswith("*"):
            if "Exact derivatives" in line:
                analytic = True
            continue
        spec = KINDS.get(len(line))
        if spec is None:
            continue
        kind, width, cols = spec
        if kind == "partial" and analytic:
            kind = "analytic"
        vals = [_number(src, number, line[k * (width + 1) + 1:(k + 1) * (width + 1)]) for k in range(len(cols))]
        groups.setdefault(kind, (cols, []))[1].append(vals)
    return {k: (cols, np.array(rows, dtype=float)) for k, (cols, rows) in groups.items()}
