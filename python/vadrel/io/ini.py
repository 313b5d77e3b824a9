"""Initial-condition files (``.ini``): the uplift rows the grid cards
write, and the shape of their grid."""
from __future__ import annotations

import os
from collections.abc import Sequence

import numpy as np

import vadrel
from vadrel import PathLike
from .text import number, read_source

__all__ = ["read_ini", "ini_shape", "read_ini_file", "SHAPE_HELP"]


def read_ini(path: PathLike, shape: Sequence[int]) -> np.ndarray:
    """Read an initial-condition file: ``shape`` = (rows, columns) of the
    uplift grid (ny, nx for G/M cards; nmax+1, mmax+1 for U/S cards).  Returns
    the uplift rows (metres); the zero rows after them are checked to be
    there."""
    rows, cols = shape
    src = read_source(path)
    values = np.array([number(src, k, t, "an uplift") for k, line in enumerate(src.lines, 1) for t in line.split()],
                      dtype=float)
    if values.size != 3 * rows * cols:
        raise ValueError(f"{path}: {values.size} values, expected 3 x {rows} x {cols}")
    return values[: rows * cols].reshape(rows, cols)

SHAPE_HELP = ("pass --grid FILE.grd (a U or S card's grid), --card \"M x0 y0 dx dy nx ny\" (the G or M card "
               "of the points file) or --shape ROWS COLUMNS")


def _ini_shape_from_lines(lines):
    """(rows, columns) of an initial-condition file from its line breaks (a
    row wraps after five values and every row starts on a new line), or None
    when they cannot tell: rows of a multiple of five values."""
    counts = [len(l.split()) for l in lines if l.strip()]
    if not counts:
        return None
    n = 0
    for c in counts:
        n += c
        if c < 5:
            break
    else:
        return None
    values = sum(counts)
    if values % (3 * n):
        return None
    return values // (3 * n), n


def _grid_beside(path, values):
    """The grid file a U or S card named for this .ini (its name with any
    four-character ending, ``bay.grd`` for ``bay.ini``), when one lies
    beside it and has the file's number of values."""
    path = os.fspath(path)
    stem = path[:-4]
    folder = os.path.dirname(path) or "."
    base = os.path.basename(stem)
    for name in sorted(os.listdir(folder)):
        if len(name) != len(base) + 4 or not name.startswith(base) or name.endswith(".ini"):
            continue
        candidate = os.path.join(folder, name)
        try:
            xn, _ = vadrel.read_grid(candidate)
        except (ValueError, OSError):
            continue
        if 3 * (xn.shape[0] + 1) * (xn.shape[1] + 1) == values:
            return candidate
    return None


def ini_shape(path: PathLike) -> tuple[int, int, str | None]:
    """(rows, columns, grid file or None) of an initial-condition file: of
    the grid file beside it, else of its line breaks; ValueError saying what
    to pass when neither tells."""
    lines = read_source(path).lines
    values = sum(len(l.split()) for l in lines)
    if values == 0:
        raise ValueError(f"{path}: line 1: the file holds no values")
    grid = _grid_beside(path, values)
    if grid is not None:
        xn, _ = vadrel.read_grid(grid)
        return xn.shape[0] + 1, xn.shape[1] + 1, grid
    shape = _ini_shape_from_lines(lines)
    if shape is None:
        raise ValueError(f"{path}: cannot tell the grid's shape (its rows may hold a multiple of five values): "
                         + SHAPE_HELP)
    return shape[0], shape[1], None


def read_ini_file(path: PathLike, shape: Sequence[int] | None = None) -> np.ndarray:
    """The uplift rows of an initial-condition file (metres), of ``shape``
    (rows, columns), or of the shape :func:`ini_shape` finds."""
    if shape is None:
        shape = ini_shape(path)[:2]
    return read_ini(path, shape)
