"""The subfault table with segment headers (``#Total number of
fault_segments=``, per segment ``#Fault_segment = ...``, a boundary polygon
and rows under a column line such as ``Lat. Lon. depth slip rake strike dip
t_rup t_ris t_fal mo``), in every spelling it is published in: header words
spaced or not (``Fault_segment=``, ``Dx= 25.00 km``, ``Dx =  2.00km``),
``#+++...+++`` markers, a blank before ``#``, columns in any order matched
by name (:mod:`vadrel.io.columns`) with units read from the name
(``slip(cm)``, ``rigidity(dyne/cm2)``, ``rupture_initial_time(s)``).  Without
a unit: slip in cm, depth km, ``mo`` dyne cm, rigidity dyne/cm^2.

The table does not say which point of a subfault its coordinates give; the
first row of each segment is placed in the segment's boundary polygon (along
strike and down dip, in subfaults) and the nearest of its top corner at the
start of the strike, its top centre and its centre is taken.  The older
variant that states "lat. lon. and depth are corresponding to the centroid"
is taken at its word -- unless that puts a subfault's top above the surface
while the first row's depth is the boundary's top, in which case the
boundary's placement is taken and a warning says both.

Kinematics: each subfault slips from ``t_rup`` along the asymmetric cosine
slip-rate function of its rising time ``t_ris`` and falling time ``t_fal``
(:mod:`vadrel.tsunami.kinematics`)."""
from __future__ import annotations

from collections.abc import Mapping

import numpy as np

from .. import geodesy, geometry
from .columns import resolve
from .subfaults import (DEFAULT_RIGIDITY, Parsed, SlipHistory, check_rows, choose_reference, empty,
                        rigidity_from_moment, to_top_centre)
from .text import Source, leading_number, number as _float, statements, whole

__all__ = ["read", "UNITS"]

#: Units of the table's columns when the name carries none.
UNITS = {"slip": "cm", "moment": "dyne-cm", "rigidity": "dyne/cm2", "depth": "km", "top_depth": "km"}

_NEEDED = ("lat", "lon", "depth", "slip", "rake", "strike", "dip")


def _squash(text):
    return "".join(text.lower().split())


def _segment_header(src, number, body):
    """nx, ny, Dx, Dy and the label of a ``Fault_segment`` line."""
    found = {}
    for name, value, unit in statements(body):
        key = _squash(name)
        for want in ("fault_segment", "nx", "ny", "dx", "dy"):
            if key.startswith(want) and want not in found:
                found[want] = (value, unit)
                break
    missing = [k for k in ("nx", "ny", "dx", "dy") if k not in found]
    if missing:
        raise src.error(number, "a segment header must read '#Fault_segment = k nx(Along-strike)= n Dx = d km "
                                f"ny(downdip)= n Dy = d km'; no {', '.join(missing)}")
    seg = {"rows": [], "numbers": [], "polygon": [], "hypo": None, "line": number, "cols": None}
    for k in ("nx", "ny"):
        v = found[k][0]
        if v != int(v) or not 1 <= v <= 10 ** 7:
            raise src.error(number, f"{k} = {v:g} is not a whole number of subfaults from 1")
        seg[k] = int(v)
    for k in ("dx", "dy"):
        v, unit = found[k]
        scale = {"": 1.0, "km": 1.0, "m": 1e-3}.get(unit.lower())
        if scale is None:
            raise src.error(number, f"{k}: unknown unit {unit!r} (km or m)")
        if not v > 0:
            raise src.error(number, "subfault counts and sizes must be positive")
        seg[k] = v * scale
    label = found.get("fault_segment")
    seg["label"] = f"{label[0]:g}" if label is not None else str(None)
    return seg


def _hypocentre(low):
    """``(i, j, lon, lat)`` of a boundary line's ``EQ in cell (i, j). Lon: x
    Lat: y``, or None."""
    toks = low.replace("(", " ").replace(")", " ").replace(",", " ").replace(":", " ").split()
    try:
        c = toks.index("cell")
        i, j = (leading_number(w.rstrip("."))[0] for w in toks[c + 1:c + 3])
        lon = leading_number(toks[toks.index("lon", c) + 1])[0]
        lat = leading_number(toks[toks.index("lat", c) + 1])[0]
    except (ValueError, IndexError):
        return None
    if None in (i, j, lon, lat) or i != int(i) or j != int(j) or abs(lat) > 90:
        return None
    return int(i), int(j), lon, lat


def read(src: Source, reference: str | None, columns: Mapping[str, str | None] | None = None,
         units: Mapping[str, str] | None = None) -> Parsed:
    """The subfaults of a subfault table, their points taken as
    ``reference`` (None: as the table states it, else found from each
    segment's boundary polygon).  ``ValueError`` naming the file and line."""
    warnings = []
    segments = []
    cols = None
    stated_centroid = False
    declared = None
    cur, state = None, None
    for number, line in enumerate(src.lines, 1):
        t = line.strip()
        if not t:
            continue
        if t.startswith("#"):
            body = t.lstrip("#").strip().strip("+").strip()
            low = body.lower()
            key = _squash(body)
            if key.startswith("totalnumberoffault_segments"):
                found = statements(body)
                if not found:
                    raise src.error(number, "no number of segments after '='")
                declared = whole(src, number, repr(found[0][1]), "number of segments", 1)
            elif key.startswith("fault_segment"):
                cur = _segment_header(src, number, body)
                segments.append(cur)
                state = None
            elif key.startswith("boundaryoffault_segment"):
                if cur is None:
                    raise src.error(number, "a boundary before any '#Fault_segment' header")
                cur["hypo"] = _hypocentre(low)
                state = "boundary"
            elif "centroid" in low and "lat" in low:
                stated_centroid = True
            else:
                names = body.split()
                try:
                    found = resolve(src, number, names, columns, units, UNITS)
                except ValueError:
                    if "slip" in low:
                        raise
                    continue        # a comment whose words are not a column line
                fields = [c.field for c in found]
                if "lat" in fields and "lon" in fields and "slip" in fields:
                    for need in _NEEDED:
                        if need not in fields:
                            raise src.error(number, f"the column line has no {need!r} column")
                    cols = found
                    state = "rows"
                elif "lat" in fields and "lon" in fields and state == "boundary":
                    pass                # the boundary's own column line
            continue
        if cur is None:
            raise src.error(number, "a data line before any '#Fault_segment' header")
        tokens = t.split()
        if state != "rows" and cols is not None and len(tokens) == len(cols) != 3:
            state = "rows"          # the rows of a segment under an earlier segment's column line
        if state == "boundary":
            if len(tokens) != 3:
                raise src.error(number, f"a boundary corner needs 3 numbers (lon lat depth), got {len(tokens)}")
            cur["polygon"].append([_float(src, number, w, "boundary corner") for w in tokens])
        elif state == "rows":
            if len(tokens) != len(cols):
                raise src.error(number, f"{len(tokens)} values, the column line names {len(cols)}")
            if cur["cols"] is not None and cur["cols"] is not cols:
                raise src.error(number, "a column line inside a segment's rows")
            cur["cols"] = cols
            cur["rows"].append([_float(src, number, w, c.name) for w, c in zip(tokens, cols)])
            cur["numbers"].append(number)
        else:
            raise src.error(number, "a data line outside a boundary or subfault block")
    if not segments:
        raise ValueError(f"{src.path}: line 1: no '#Fault_segment' header")
    if declared is not None and declared != len(segments):
        raise ValueError(f"{src.path}: line {len(src.lines)}: {len(segments)} segments, the header "
                         f"declares {declared}")
    return _assemble(src, segments, reference, stated_centroid, warnings)


def _assemble(src, segments, reference, stated_centroid, warnings):
    boundary, refs, parts, lines, fall = [], [], [], [], []
    hypo = None
    for s, seg in enumerate(segments):
        label = f"segment {seg['label']}"
        n = seg["nx"] * seg["ny"]
        if len(seg["rows"]) != n:
            last = seg["numbers"][-1] if seg["numbers"] else seg["line"]
            raise src.error(last, f"{label} has {len(seg['rows'])} subfault rows, its header declares "
                                  f"{seg['nx']} x {seg['ny']} = {n}")
        cols = seg["cols"]
        if cols is None:
            raise src.error(seg["line"], f"{label} has no subfault rows")
        data = np.array(seg["rows"], dtype=float)
        col = {c.field: data[:, k] * c.factor for k, c in enumerate(cols) if c.field is not None}
        if "moment" in col and np.any(col["moment"] < 0):
            raise src.error(seg["numbers"][int(np.argmax(col["moment"] < 0))], "a negative moment")
        rows = empty(n)
        for name in ("lat", "lon", "rake", "strike", "dip", "slip"):
            rows[name] = col[name]
        rows["depth"] = col["depth"]
        rows["length"], rows["width"], rows["segment"] = seg["dx"], seg["dy"], s
        if "rupture_time" in col:
            rows["rupture_time"] = col["rupture_time"]
        rise = col.get("t_ris", col.get("rise_time"))
        t_fal = col.get("t_fal", np.zeros(n)) if "t_ris" in col else np.zeros(n)
        if rise is not None:
            rows["rise_time"] = rise + t_fal
        fall.append(t_fal)
        if "rigidity" in col:
            rows["rigidity"] = col["rigidity"]
        check_rows(src, rows, seg["numbers"])
        poly = np.array(seg["polygon"]) if seg["polygon"] else None
        if poly is not None:
            boundary.append(poly)
        alternatives = []
        if reference is not None:
            ref, why = reference, "given"
        elif poly is None:
            ref, why = "centroid", "no boundary polygon to compare with: assumed"
            if not stated_centroid:
                warnings.append(f"{label}: no boundary polygon; subfault coordinates taken as centroids")
            else:
                why = "stated in the file"
        else:
            placed, placed_why = _place_in_polygon(rows[0], poly, label, [] if stated_centroid else warnings)
            if stated_centroid:
                ref, why = "centroid", "stated in the file"
                if abs(rows["depth"][0] - poly[:, 2].min()) <= 1e-3:
                    alternatives.append((placed, placed_why + "; its depth is the boundary's top"))
            else:
                ref, why = placed, placed_why
        ref, why = choose_reference(rows, ref, why, alternatives, label, warnings)
        refs.append(f"{ref} ({why})")
        if "rigidity" not in col:
            if "moment" in col:
                rows["rigidity"] = rigidity_from_moment(rows, col["moment"], warnings, label)
            else:
                rows["rigidity"] = DEFAULT_RIGIDITY
                warnings.append(f"{label}: no rigidity or moment column; rigidity taken as "
                                f"{DEFAULT_RIGIDITY:g} Pa")
        if seg["hypo"] is not None and hypo is None:
            i, j, lon, lat = seg["hypo"]
            k = (j - 1) * seg["nx"] + (i - 1)
            depth = float("nan")
            if 1 <= i <= seg["nx"] and 0 <= k < n:
                # the depth of the centre of the hypocentre's cell
                depth = float(geometry.move_reference(rows["lon"][k], rows["lat"][k], rows["depth"][k],
                                                      rows["strike"][k], rows["dip"][k], rows["length"][k],
                                                      rows["width"][k], ref, "centroid")[2])
            hypo = (lon, lat, depth)
        to_top_centre(rows, ref)
        parts.append(rows)
        lines.extend(seg["numbers"])
    sub = np.concatenate(parts)
    fall = np.concatenate(fall)
    history = SlipHistory("asymmetric cosine", fall, "t_ris and t_fal columns") \
        if all("t_ris" in [c.field for c in seg["cols"]] for seg in segments) else SlipHistory()
    return Parsed(sub, hypo, boundary, refs, warnings, lines=np.array(lines),
                  segment_labels=[seg["label"] for seg in segments], history=history)


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
    if not miss <= 0.25:
        warnings.append(f"{label}: the first subfault lies {a:.2f} subfaults along strike and {b:.2f} down dip "
                        f"of the boundary's top corner, far from any usual reference point; taken as {name}")
    why = f"first subfault {a:.2f} along strike, {b:.2f} down dip of the boundary's top corner"
    return name, why
