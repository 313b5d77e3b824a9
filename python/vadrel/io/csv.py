"""Subfault tables with a header line naming their columns: comma, semicolon
or tab separated, or columns lined up with blanks (the header may start
with ``#``).

Columns are matched by name without case, with the aliases of
:mod:`vadrel.io.columns` (``lon``, ``Longitude``, ``lon_c``, ``lonc``,
``latS``, ``Depth(km)``, ``depth_m``, ``Slip(cm)``, ``topdepth``, ``UnitSrc``,
``rowname`` ...) and units read from the name; ``columns={name: field}``
and ``units={field: unit}`` cover names no alias does.  Columns no alias
covers are kept in :attr:`Parsed.extra` (as written) and listed once in the
warnings.

The table does not say which point of a subfault it gives: the caller's
``reference`` (``top center``, ``centroid``, ``bottom center``, ``top
corner`` or ``noaa sift``: the bottom centre's position with the top's
depth), else the top centre with a warning.  A ``top_depth`` column gives the
depth of the top whatever point the position gives."""
from __future__ import annotations

import csv
import io

from collections.abc import Mapping

import numpy as np

from .columns import Column, resolve
from .subfaults import (DEFAULT_RIGIDITY, Parsed, SlipHistory, check_rows, empty, labels_to_indices,
                        rigidity_from_moment, top_depths, to_top_centre, ABOVE_TOLERANCE)
from .text import Source, is_number, number as _float

__all__ = ["read", "split_fields", "separator", "find_header"]

_GEOMETRY = ("lon", "lat", "length", "width", "strike", "dip", "rake")


def split_fields(line: str, sep: str | None) -> list[str]:
    """The fields of a line: split at ``sep`` (None: at blanks), quotes
    taken as a CSV writer writes them; ``ValueError`` (without a place)
    for a quoted field that does not close."""
    if sep is None:
        return line.split()
    if '"' not in line:
        return [f.strip() for f in line.split(sep)]
    try:
        fields = next(csv.reader(io.StringIO(line), delimiter=sep, strict=True))
    except (csv.Error, StopIteration) as e:
        raise ValueError(f"fields that do not parse ({e})") from None
    return [f.strip() for f in fields]


def separator(line: str) -> str | None:
    for sep in (",", "\t", ";"):
        if sep in line:
            return sep
    return None


def _header_names(fields, sep):
    """Names of a header line: quotes taken off, a trailing empty field (a
    comma ending each line) dropped, and in a table lined up with blanks a
    unit written apart (``Depth (km)``) joined to its name."""
    names = [n.strip().strip('"').strip() for n in fields]
    if len(names) > 1 and not names[-1]:
        names.pop()
    if sep is None:
        out = []
        for n in names:
            if out and n[:1] in "([" and n[-1:] in ")]":
                out[-1] += n
            else:
                out.append(n)
        names = out
    return names


def find_header(src: Source, columns: Mapping[str, str | None] | None = None,
                units: Mapping[str, str] | None = None) -> tuple[int, str | None, list[Column]]:
    """``(line number, separator, columns)`` of the header line: the first
    line, among the first 50 and before any row of numbers, whose names give
    a longitude and a latitude (a ``#`` comment or a title above it is
    passed over); else the first line that is not blank or a comment."""
    fallback = None
    for number, line in enumerate(src.lines, 1):
        t = line.strip()
        if not t:
            continue
        commented = t.startswith("#")
        body = t.lstrip("#").strip() if commented else t
        sep = separator(body)
        try:
            names = _header_names(split_fields(body, sep), sep)
        except ValueError as e:
            if commented:
                continue
            if fallback is None:
                raise src.error(number, str(e)) from None
            break
        if not commented and names and is_number(names[0]):
            break                                   # the rows have begun
        if fallback is None and not commented:
            fallback = (number, sep, names)
        if number > 50 or len(names) > 200:
            if fallback is not None:
                break
            continue
        try:
            cols = resolve(src, number, names, columns, units)
        except ValueError:
            continue            # (a field named twice: said below if this is the header)
        fields = [c.field for c in cols]
        if "lon" in fields and "lat" in fields:
            return number, sep, cols
    if fallback is None:
        raise ValueError(f"{src.path}: line 1: no header line naming the columns")
    number, sep, names = fallback
    return number, sep, resolve(src, number, names, columns, units)


def read(src: Source, reference: str | None, columns: Mapping[str, str | None] | None = None,
         units: Mapping[str, str] | None = None, need_slip: bool = True) -> Parsed:
    """The subfaults of a table, their points taken as ``reference`` (None: the top
    centre, with a warning); ``need_slip=False`` for tables without slips
    (unit sources).  ``ValueError`` naming the file and line."""
    warnings = []
    header_line, sep, cols = find_header(src, columns, units)
    fields = [c.field for c in cols]
    needed = ["lon", "lat", "depth"] + list(_GEOMETRY[2:]) + (["slip"] if need_slip else [])
    for need in needed:
        if need not in fields and not (need == "depth" and "top_depth" in fields):
            raise src.error(header_line, f"the header has no {need!r} column")
    text_fields = ("name", "segment")
    data, numbers, kept = [], [], {c.name: [] for c in cols if c.field is None or c.field in text_fields}
    for number in range(header_line + 1, len(src.lines) + 1):
        t = src.lines[number - 1].strip()
        if not t or t.startswith("#"):
            continue
        try:
            values = split_fields(t, sep)
        except ValueError as e:
            raise src.error(number, str(e)) from None
        if len(values) == len(cols) + 1 and not values[-1]:
            values.pop()                  # a separator ending the line
        if len(values) != len(cols):
            raise src.error(number, f"{len(values)} fields, the header names {len(cols)}")
        row = []
        for v, c in zip(values, cols):
            if c.field is None or c.field in text_fields:
                kept[c.name].append(v if len(v) <= 200 else v[:200])
                row.append(0.0)
            else:
                row.append(_float(src, number, v, c.name) * c.factor)
        data.append(row)
        numbers.append(number)
    if not data:
        raise src.error(header_line, "no subfault rows")
    data = np.array(data, dtype=float)
    col = {c.field: data[:, k] for k, c in enumerate(cols) if c.field is not None}
    rows = empty(len(data))
    for name in _GEOMETRY + ("slip", "rigidity", "rupture_time"):
        if name in col:
            rows[name] = col[name]
    rows["depth"] = col["top_depth"] if "top_depth" in col else col["depth"]
    history = SlipHistory()
    if "t_ris" in col and "t_fal" in col:
        rows["rise_time"] = col["t_ris"] + col["t_fal"]
        history = SlipHistory("asymmetric cosine", col["t_fal"].copy(), "t_ris and t_fal columns")
    elif "rise_time" in col or "t_ris" in col:
        rows["rise_time"] = col.get("rise_time", col.get("t_ris"))
    labels = ["1"] * len(rows)
    seg_col = next((c.name for c in cols if c.field == "segment"), None)
    if seg_col is not None:
        labels = [_label(v) for v in kept.pop(seg_col)]
    rows["segment"], labels = labels_to_indices(labels)
    check_rows(src, rows, numbers)
    if reference is None:
        reference = "top center"
        warnings.append("no reference point given for the CSV subfaults; taken as the top centre")
    if "top_depth" in col:
        top = rows["depth"].copy()
        to_top_centre(rows, reference)
        rows["depth"] = top
    else:
        tops = top_depths(rows, reference)
        if tops.min() < -ABOVE_TOLERANCE:
            k = int(np.argmin(tops))
            warnings.append(f"line {numbers[k]}: taken as {reference}, the top of this subfault is "
                            f"{-tops[k]:.3f} km above the surface")
        to_top_centre(rows, reference)
    if "rigidity" not in col:
        if "moment" in col and need_slip:
            rows["rigidity"] = rigidity_from_moment(rows, col["moment"], warnings, "the table")
        else:
            rows["rigidity"] = DEFAULT_RIGIDITY
            if need_slip:
                warnings.append(f"no rigidity column; rigidity taken as {DEFAULT_RIGIDITY:g} Pa")
    name_col = next((c.name for c in cols if c.field == "name"), None)
    names = kept.pop(name_col) if name_col is not None else None
    unknown = [c.name for c in cols if c.field is None]
    if unknown:
        warnings.append(f"column(s) {', '.join(repr(u) for u in unknown)} not used; kept in extra")
    nseg = len(labels)
    return Parsed(rows, None, [], [f"{reference} (given)"] * nseg, warnings, lines=np.array(numbers),
                  segment_labels=labels, extra=kept, history=history, names=names)


def _label(text):
    """A segment label as written, numbers written alike (``1``, ``1.0``)."""
    try:
        v = float(text)
    except ValueError:
        return text
    return f"{v:g}" if v == v else text
