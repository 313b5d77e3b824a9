"""A subfault CSV with a header naming its columns (``Longitude, Latitude,
Depth(km), Length, Width, Strike, Dip, Rake, Slip``, optionally ``Rigidity``
in Pa, ``Rupture_time``, ``Rise_time``, ``Segment``).  The file does not say
which point of a subfault it gives: the caller's ``reference`` (``top
center``, ``centroid``, ``bottom center``, ``top corner`` or ``noaa sift``:
the bottom centre's position with the top's depth)."""
from __future__ import annotations

import csv
import io
import re

import numpy as np

from .subfaults import DEFAULT_RIGIDITY, Parsed, check_rows, empty, to_top_centre
from .text import number as _float

__all__ = ["read"]

_CSV_COLUMNS = {"longitude": "lon", "lon": "lon", "latitude": "lat", "lat": "lat", "depth": "depth",
                "length": "length", "width": "width", "strike": "strike", "dip": "dip", "rake": "rake",
                "slip": "slip", "rigidity": "rigidity", "mu": "rigidity", "rupture_time": "rupture_time",
                "rupturetime": "rupture_time", "trup": "rupture_time", "rise_time": "rise_time",
                "risetime": "rise_time", "rise": "rise_time", "segment": "segment"}


def read(src, reference):
    warnings = []
    if reference is None:
        reference = "top center"
        warnings.append("no reference point given for the CSV subfaults; taken as the top centre")
    reader = csv.reader(io.StringIO("\n".join(src.lines)))
    header, header_line, data, numbers = None, 0, [], []
    for number, fields in enumerate(reader, 1):
        if not fields or not "".join(fields).strip() or fields[0].lstrip().startswith("#"):
            continue
        if header is None:
            header = []
            for f in fields:
                key = re.sub(r"\(.*?\)", "", f).strip().lower().replace(" ", "_")
                if key not in _CSV_COLUMNS:
                    raise src.error(number, f"unknown column {f.strip()!r} in the header")
                header.append(_CSV_COLUMNS[key])
            header_line = number
            for need in ("lon", "lat", "depth", "length", "width", "strike", "dip", "rake", "slip"):
                if need not in header:
                    raise src.error(number, f"the header has no {need!r} column")
            continue
        if len(fields) != len(header):
            raise src.error(number, f"{len(fields)} fields, the header names {len(header)}")
        data.append([_float(src, number, f.strip(), name) for f, name in zip(fields, header)])
        numbers.append(number)
    if not data:
        raise src.error(max(header_line, 1), "no subfault rows")
    data = np.array(data)
    rows = empty(len(data))
    for k, name in enumerate(header):
        rows[name] = data[:, k]
    if "rigidity" not in header:
        rows["rigidity"] = DEFAULT_RIGIDITY
        warnings.append(f"no rigidity column; rigidity taken as {DEFAULT_RIGIDITY:g} Pa")
    check_rows(src, rows, numbers)
    if "segment" in header:
        seg = data[:, header.index("segment")]
        if np.any(seg != np.round(seg)) or np.any(seg < 0):
            raise src.error(numbers[int(np.argmax((seg != np.round(seg)) | (seg < 0)))],
                            "segment must be a whole number from 0")
    nseg = int(rows["segment"].max()) + 1
    to_top_centre(rows, reference)
    return Parsed(rows, None, [], [f"{reference} (given)"] * nseg, warnings)
