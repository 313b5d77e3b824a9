"""The subfault table with segment headers (``#Total number of
fault_segments=``, per segment ``#Fault_segment = ...``, a boundary polygon
and rows ``Lat. Lon. depth slip rake strike dip t_rup t_ris t_fal mo``; slip
in cm, ``mo`` in dyne cm).

The table does not say which point of a subfault its coordinates give; the
first row of each segment is placed in the segment's boundary polygon (along
strike and down dip, in subfaults) and the nearest of its top corner at the
start of the strike, its top centre and its centre is taken.  The older
variant that states "lat. lon. and depth are corresponding to the centroid"
(and carries a rigidity column in dyne/cm^2) is taken at its word."""
from __future__ import annotations

import re

import numpy as np

from .. import geodesy, geometry
from .subfaults import DEFAULT_RIGIDITY, Parsed, check_rows, empty, rigidity_from_moment, to_top_centre
from .text import NUMBER, number as _float

__all__ = ["read"]

_PARAM_NAMES = {"lat": "lat", "lon": "lon", "depth": "depth", "slip": "slip", "rake": "rake",
                "strike": "strike", "dip": "dip", "t_rup": "t_rup", "t_ris": "t_ris", "t_fal": "t_fal",
                "mo": "mo", "rigidity": "rigidity", "rig": "rigidity", "mu": "rigidity"}


def read(src, reference):
    warnings, boundary, refs = [], [], []
    segments = []      # per segment: dict(header, nx, ny, dx, dy, rows, numbers, polygon, hypo)
    columns = None
    stated_centroid = False
    declared = None
    cur = None
    state = None
    for number, line in enumerate(src.lines, 1):
        t = line.strip()
        if not t:
            continue
        low = t.lower()
        if t.startswith("#"):
            if "total number of fault_segments" in low:
                m = re.search(r"=\s*(\d+)", t)
                if not m:
                    raise src.error(number, "no number of segments after '='")
                declared = int(m.group(1))
            elif low.lstrip("# ").startswith("fault_segment"):
                m = re.search(r"=\s*(\d+)\s+nx\(along-strike\)\s*=\s*(\d+)\s+dx\s*=\s*(" + NUMBER
                              + r")\s*km\s+ny\(downdip\)\s*=\s*(\d+)\s+dy\s*=\s*(" + NUMBER + r")\s*km", low)
                if not m:
                    raise src.error(number, "a segment header must read '#Fault_segment = k nx(Along-strike)= n "
                                            "Dx = d km ny(downdip)= n Dy = d km'")
                cur = {"nx": int(m.group(2)), "dx": float(m.group(3)), "ny": int(m.group(4)),
                       "dy": float(m.group(5)), "rows": [], "numbers": [], "polygon": [], "hypo": None,
                       "line": number}
                if cur["nx"] < 1 or cur["ny"] < 1 or not (cur["dx"] > 0 and cur["dy"] > 0):
                    raise src.error(number, "subfault counts and sizes must be positive")
                segments.append(cur)
                state = None
            elif low.lstrip("# ").startswith("boundary of fault_segment"):
                if cur is None:
                    raise src.error(number, "a boundary before any '#Fault_segment' header")
                m = re.search(r"cell\s*\(\s*(\d+)\s*,\s*(\d+)\s*\).*lon:\s*(" + NUMBER + r")\s+lat:\s*("
                              + NUMBER + ")", low)
                if m:
                    cur["hypo"] = (int(m.group(1)), int(m.group(2)), float(m.group(3)), float(m.group(4)))
                state = "boundary"
            elif "centroid" in low and "lat" in low:
                stated_centroid = True
            elif low.lstrip("# ").startswith("lon.") and state == "boundary":
                pass
            elif low.lstrip("# ").startswith("lat."):
                names = [w.strip(".").lower() for w in t.lstrip("# ").split()]
                unknown = [w for w in names if w not in _PARAM_NAMES]
                if unknown and columns is None:
                    warnings.append(f"line {number}: column(s) {', '.join(unknown)} not used")
                columns = [_PARAM_NAMES.get(w, "unused:" + w) for w in names]
                for need in ("lat", "lon", "depth", "slip", "rake", "strike", "dip"):
                    if need not in columns:
                        raise src.error(number, f"the column line has no {need!r} column")
                state = "rows"
            continue
        if cur is None:
            raise src.error(number, "a data line before any '#Fault_segment' header")
        tokens = t.split()
        if state == "boundary":
            if len(tokens) != 3:
                raise src.error(number, f"a boundary corner needs 3 numbers (lon lat depth), got {len(tokens)}")
            cur["polygon"].append([_float(src, number, w, "boundary corner") for w in tokens])
        elif state == "rows":
            if len(tokens) != len(columns):
                raise src.error(number, f"{len(tokens)} values, the column line names {len(columns)}")
            cur["rows"].append([_float(src, number, w, name) for w, name in zip(tokens, columns)])
            cur["numbers"].append(number)
        else:
            raise src.error(number, "a data line outside a boundary or subfault block")
    if not segments:
        raise ValueError(f"{src.path}: line 1: no '#Fault_segment' header")
    if declared is not None and declared != len(segments):
        raise ValueError(f"{src.path}: line {len(src.lines)}: {len(segments)} segments, the header "
                         f"declares {declared}")
    parts, hypo = [], None
    for s, seg in enumerate(segments):
        label = f"segment {s + 1}"
        n = seg["nx"] * seg["ny"]
        if len(seg["rows"]) != n:
            last = seg["numbers"][-1] if seg["numbers"] else seg["line"]
            raise src.error(last, f"{label} has {len(seg['rows'])} subfault rows, its header declares "
                                  f"{seg['nx']} x {seg['ny']} = {n}")
        data = np.array(seg["rows"])
        col = {name: data[:, k] for k, name in enumerate(columns)}
        rows = empty(n)
        for name in ("lat", "lon", "depth", "rake", "strike", "dip"):
            rows[name] = col[name]
        rows["slip"] = col["slip"] / 100.0
        rows["length"], rows["width"], rows["segment"] = seg["dx"], seg["dy"], s
        if "t_rup" in col:
            rows["rupture_time"] = col["t_rup"]
        if "t_ris" in col:
            rows["rise_time"] = col["t_ris"] + col.get("t_fal", 0.0)
        check_rows(src, rows, seg["numbers"])
        poly = np.array(seg["polygon"]) if seg["polygon"] else None
        if poly is not None:
            boundary.append(poly)
        if reference is not None:
            ref, why = reference, "given"
        elif stated_centroid:
            ref, why = "centroid", "stated in the file"
        elif poly is None:
            ref, why = "centroid", "no boundary polygon to compare with: assumed"
            warnings.append(f"{label}: no boundary polygon; subfault coordinates taken as centroids")
        else:
            ref, why = _place_in_polygon(rows[0], poly, label, warnings)
        refs.append(f"{ref} ({why})")
        if "rigidity" in col:
            rows["rigidity"] = col["rigidity"] * 0.1          # dyne/cm^2 -> Pa
        elif "mo" in col:
            rows["rigidity"] = rigidity_from_moment(rows, col["mo"] * 1.0e-7, warnings, label)
        else:
            rows["rigidity"] = DEFAULT_RIGIDITY
            warnings.append(f"{label}: no rigidity or moment column; rigidity taken as {DEFAULT_RIGIDITY:g} Pa")
        if seg["hypo"] is not None and hypo is None:
            i, j, lon, lat = seg["hypo"]
            k = (j - 1) * seg["nx"] + (i - 1)
            hypo = (lon, lat, float(rows["depth"][k])) if 0 <= k < n else (lon, lat, float("nan"))
        to_top_centre(rows, ref)
        parts.append(rows)
    return Parsed(np.concatenate(parts), hypo, boundary, refs, warnings)


def _place_in_polygon(first, poly, label, warnings):
    """Where the first subfault's point lies in its segment's boundary
    polygon, in subfaults along strike and down dip from the polygon's top
    corner at the start of the strike; the nearest known reference."""
    east, north = geodesy.offsets(first["lon"], first["lat"], poly[:, 0], poly[:, 1])
    (se, sn), (de, dn), cd, sd = geometry.directions(first["strike"], first["dip"])
    u = east * se + north * sn
    v = (east * de + north * dn) * cd + (poly[:, 2] - first["depth"]) * sd
    a = -u.min() / first["length"]
    b = -v.min() / first["width"]
    name = min(("top corner", "top center", "centroid"),
               key=lambda r: max(abs(a - geometry.REFERENCES[r][0]), abs(b - geometry.REFERENCES[r][1])))
    miss = max(abs(a - geometry.REFERENCES[name][0]), abs(b - geometry.REFERENCES[name][1]))
    if miss > 0.25:
        warnings.append(f"{label}: the first subfault lies {a:.2f} subfaults along strike and {b:.2f} down dip "
                        f"of the boundary's top corner, far from any usual reference point; taken as {name}")
    why = f"first subfault {a:.2f} along strike, {b:.2f} down dip of the boundary's top corner"
    return name, why
