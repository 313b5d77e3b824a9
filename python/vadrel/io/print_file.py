"""The program's print files read back: point records by kind."""
from __future__ import annotations

import math
import os

import numpy as np

import vadrel
from vadrel import PathLike

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


def _number(text):
    """A fixed-layout field: asterisks (too wide) give NaN; an exponent of
    three digits has no letter (-1.2345678901-103)."""
    t = text.strip()
    if not t or t.startswith("*"):
        return math.nan
    try:
        return float(t)
    except ValueError:
        k = max(t.rfind("+"), t.rfind("-"))
        return float(t[:k] + "E" + t[k:])


def read_print_file(path: PathLike) -> dict[str, tuple[tuple[str, ...], np.ndarray]]:
    """The records of a print file, grouped by kind.

    Returns a dict: kind ("range", "residual", "vector", "strain", "partial"
    or "analytic") -> (columns, array of shape (n, len(columns))).  Header
    and echo lines are skipped.
    """
    groups = {}
    analytic = False
    with open(os.fspath(path)) as f:
        for line in f:
            line = line.rstrip("\n")
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
            vals = [_number(line[k * (width + 1) + 1:(k + 1) * (width + 1)]) for k in range(len(cols))]
            groups.setdefault(kind, (cols, []))[1].append(vals)
    return {k: (cols, np.array(rows, dtype=float)) for k, (cols, rows) in groups.items()}
