"""The program's faults file written: the one writer of the package."""
from __future__ import annotations

import math
import os
import re
import warnings
from collections.abc import Iterable
from typing import TYPE_CHECKING

from vadrel import PathLike
from .files import replace_file

if TYPE_CHECKING:
    from vadrel import Faults

__all__ = ["write_faults"]


def _field(v, digits):
    s = repr(float(v)) if digits >= 17 else f"{float(v):.{digits}g}"
    return s[:-2] if s.endswith(".0") and "e" not in s else s


def _segment_line(seg):
    name = re.sub(r"\s", "_", seg.name)[:16] or "segment"
    for digits in (17, 15, 13, 12, 11, 10, 9, 8, 7):
        nums = [_field(v, digits) for v in (seg.X, seg.Y, seg.strike)] + [str(int(seg.flag))] + \
               [_field(v, digits) for v in (seg.depth, seg.dip, seg.lam, seg.mu, seg.U1, seg.U2, seg.U3,
                                            seg.L, seg.W)]
        line = " " + " ".join(nums + [name])
        if len(line) <= 128:
            return line
    raise ValueError(f"segment {seg.name!r} does not fit in 128 columns")


def _is_faults(obj):
    return hasattr(obj, "segments") and hasattr(obj, "ramp")


def write_faults(faults: Faults, path: PathLike, *, comments: Iterable[str] = ()) -> None:
    """Write ``faults`` (a :class:`vadrel.Faults`) as the program's faults
    file: one segment line per segment (a blank in column 1, the 14 fields,
    at most 128 columns, every number with as many digits as the line
    holds -- 17 significant digits unless the line would be too long), then
    the ramp line ``P a b c`` when the ramp is not zero.  The program reads
    it back to the printed digits.  The file is replaced whole or not at all
    (:func:`vadrel.io.files.replace_file`).  ``comments`` (lines of text) go
    first, each behind a ``#``.

    The older order ``write_faults(path, faults)`` is still taken, with a
    ``DeprecationWarning``."""
    if _is_faults(path) and not _is_faults(faults):
        warnings.warn("write_faults(path, faults) is deprecated: call write_faults(faults, path)",
                      DeprecationWarning, stacklevel=2)
        faults, path = path, faults
    if not _is_faults(faults):
        raise ValueError(f"write_faults: expected a vadrel.Faults, got {type(faults).__name__}")
    path = os.fspath(path)
    lines = [("# " + c)[:128] for c in comments] or ["# faults written by vadrel"]
    for seg in faults.segments:
        values = (seg.X, seg.Y, seg.strike, seg.depth, seg.dip, seg.lam, seg.mu, seg.U1, seg.U2, seg.U3,
                  seg.L, seg.W)
        if not all(math.isfinite(v) for v in values):
            raise ValueError(f"{path}: segment {seg.name!r} has a value that is not finite")
        lines.append(_segment_line(seg))
    ramp = tuple(faults.ramp)
    if any(ramp):
        lines.append("P " + " ".join(repr(float(v)) for v in ramp))
    text = "\n".join(lines) + "\n"
    replace_file(path, lambda f: f.write(text))
