"""The rupture-model database layout (``%`` header lines, a column line
``% LAT LON X==EW Y==NS Z SLIP RAKE ...``, data rows; ``% SEGMENT #`` blocks
for several segments).

The reference point is the one the header states ("top-center", "center");
columns are taken by the header's names, and non-numeric tokens in a row
are dropped with a warning.  Rigidity: the subfaults' moments, else the
header's Mo over the slip and area, else the velocity structure."""
from __future__ import annotations

import math
import re

import numpy as np

from .. import geometry
from .subfaults import DEFAULT_RIGIDITY, Parsed, check_rows, empty, rigidity_from_moment, to_top_centre
from .text import NUMBER, number as _float

__all__ = ["read"]

_FSP_COLUMNS = {"LAT": "lat", "LON": "lon", "X==EW": "x", "Y==NS": "y", "X": "x", "Y": "y", "Z": "depth",
                "SLIP": "slip", "RAKE": "rake", "TRUP": "trup", "RISE": "rise", "SF_MOMENT": "moment",
                "STRK": "strike", "STRIKE": "strike", "DIP": "dip"}
_PAIR = re.compile(r"([A-Za-z][A-Za-z0-9_]*)\s*=\s*(" + NUMBER + ")")


def read(src, reference):
    warnings = []
    glob, segs = {}, []
    columns, stated, layers, in_layers = None, None, [], False
    cur = None
    stray = {}
    for number, line in enumerate(src.lines, 1):
        t = line.strip()
        if not t:
            continue
        if t.startswith("%"):
            body = t.lstrip("%").strip()
            up = body.upper()
            m = re.match(r"SEGMENT\s*#\s*(\d+)", up)
            if m:
                cur = {"keys": {}, "rows": [], "numbers": [], "line": number, "columns": None}
                segs.append(cur)
            label = body.split(":", 1)[0].strip().upper() if ":" in body else ""
            target = cur["keys"] if cur is not None else glob
            for key, val in _PAIR.findall(body):
                target.setdefault((label, key.upper()), float(val.replace("D", "E").replace("d", "e")))
                target.setdefault(("", key.upper()), float(val.replace("D", "E").replace("d", "e")))
            ms = re.search(r"coordinates are given for\s+([a-z\- ]+?)\s+of each subfault", body.lower())
            if ms:
                stated = ms.group(1)
            toks = body.split()
            if "LAT" in toks and "LON" in toks and "SLIP" in toks:
                columns = []
                for w in toks:
                    if w not in _FSP_COLUMNS:
                        # time-window slips and other columns this reader does not need keep their names
                        columns.append(w.lower())
                    else:
                        columns.append(_FSP_COLUMNS[w])
                in_layers = False
            elif "DEPTH" in up and "DENS" in up and ("S_VEL" in up or "S-VEL" in up):
                names = [w.upper().replace("-", "_") for w in toks]
                in_layers = (names.index("DEPTH"), names.index("S_VEL"), names.index("DENS"))
            elif in_layers and toks and all(re.fullmatch(NUMBER, w) for w in toks):
                i, j, k = in_layers
                layers.append((float(toks[i]), float(toks[j]), float(toks[k])))
            elif in_layers and toks and not toks[0].startswith("["):
                in_layers = False if layers else in_layers
            continue
        if columns is None:
            raise src.error(number, "a data row before the column line ('% LAT LON ... SLIP ...')")
        if cur is None:
            cur = {"keys": {}, "rows": [], "numbers": [], "line": number, "columns": None}
            segs.append(cur)
        if cur["rows"] and cur["columns"] is not columns:
            raise src.error(number, "a column line inside a segment's rows")
        cur["columns"] = columns
        values = []
        for w in t.split():
            if re.fullmatch(NUMBER, w):
                values.append(_float(src, number, w, "value"))
            elif re.fullmatch(r"[-+]?(nan|inf|infinity)", w.lower()):
                raise src.error(number, f"{w!r} is not a finite number")
            else:
                stray.setdefault(w, []).append(number)
        if len(values) < len(columns):
            raise src.error(number, f"{len(values)} numbers, the column line names {len(columns)}")
        if len(values) > len(columns):
            raise src.error(number, f"{len(values)} numbers, more than the {len(columns)} columns the column "
                                    "line names")
        cur["rows"].append(values)
        cur["numbers"].append(number)
    if columns is None:
        raise ValueError(f"{src.path}: line {len(src.lines)}: no column line ('% LAT LON ... SLIP ...')")
    for w, where in stray.items():
        warnings.append(f"non-numeric token {w!r} between the columns of {len(where)} rows "
                        f"(lines {where[0]}..{where[-1]}) dropped")
    segs = [s for s in segs if s["rows"]]
    if not segs:
        raise ValueError(f"{src.path}: line {len(src.lines)}: no subfault rows")
    nsg = glob.get(("INVS", "NSG"))
    if nsg is not None and int(nsg) != len(segs):
        raise ValueError(f"{src.path}: line {len(src.lines)}: {len(segs)} segments of rows, the header "
                         f"declares Nsg = {int(nsg)}")
    if reference is not None:
        ref, why = reference, "given"
    elif stated is not None:
        try:
            ref = geometry.canonical_reference(stated)
        except ValueError:
            raise ValueError(f"{src.path}: line 1: unknown reference point {stated!r} in the header") from None
        why = f"stated in the header: {stated}"
    else:
        ref, why = "centroid", "not stated in the header: assumed"
        warnings.append("the header does not say which point of a subfault the coordinates give; "
                        "taken as the centre")

    def get(keys, names, label=None):
        for d in keys:
            for n in names:
                if label is not None and (label, n) in d:
                    return d[(label, n)]
                if label is None and ("", n) in d:
                    return d[("", n)]
        return None

    parts, refs = [], []
    has_moment = True
    for s, seg in enumerate(segs):
        label = f"segment {s + 1}"
        first = seg["numbers"][0]
        keys = [seg["keys"], glob] if len(segs) > 1 else [glob, seg["keys"]]
        dx = get(keys, ["DX"])
        dz = get(keys, ["DZ"])
        if dx is None or dz is None or not (dx > 0 and dz > 0):
            raise src.error(first, f"{label}: no positive subfault size (Dx, Dz) in the header")
        for need in ("lat", "lon", "depth", "slip"):
            if need not in seg["columns"]:
                raise src.error(first, f"the column line has no {need.upper()} column")
        data = np.array(seg["rows"])
        col = {name: data[:, k] for k, name in enumerate(seg["columns"])}
        has_moment = has_moment and "moment" in col
        n = len(data)
        nx, nz = get(keys, ["NX"]), get(keys, ["NZ"])
        count = get([seg["keys"]], ["NSBFS"]) if len(segs) > 1 else (nx * nz if nx and nz else None)
        if count is not None and int(count) != n:
            raise src.error(seg["numbers"][-1], f"{label} has {n} subfault rows, the header declares "
                                                f"{int(count)}")
        rows = empty(n)
        rows["lat"], rows["lon"], rows["depth"], rows["slip"] = col["lat"], col["lon"], col["depth"], col["slip"]
        for name, keyn, what in (("strike", ["STRK", "STRIKE"], "strike"), ("dip", ["DIP"], "dip"),
                                 ("rake", ["RAKE"], "rake")):
            if name in col:
                rows[name] = col[name]
            else:
                v = get(keys, keyn)
                if v is None:
                    raise src.error(first, f"{label}: no {what} column and no {what} in the header")
                rows[name] = v
        rows["length"], rows["width"], rows["segment"] = dx, dz, s
        if "trup" in col:
            rows["rupture_time"] = col["trup"]
        if "rise" in col:
            rows["rise_time"] = col["rise"]
        check_rows(src, rows, seg["numbers"])
        refs.append(f"{ref} ({why})")
        to_top_centre(rows, ref)
        htop = get([glob], ["HTOP"], "MECH") if len(segs) == 1 else get([seg["keys"]], ["Z2TOP"])
        top = float(rows["depth"].min())
        if htop is not None and abs(top - htop) > 0.05 * dz * math.sin(math.radians(rows["dip"].min())):
            warnings.append(f"{label}: the rows, taken as {ref}, put the top of the fault at {top:.3f} km; "
                            f"the header says {htop:g} km")
        structure = _layer_rigidity(layers, rows) if layers else None
        if "moment" in col:
            rows["rigidity"] = rigidity_from_moment(rows, col["moment"], warnings, label, structure)
        else:
            rows["rigidity"] = np.nan if structure is None else structure
        parts.append(rows)
    sub = np.concatenate(parts)
    header_mo = get([glob], ["MO"], "SIZE")
    todo = np.isnan(sub["rigidity"])
    if not has_moment:
        # No moment per subfault: one rigidity that gives the published moment,
        # else the velocity structure's rho beta^2, else the default.
        slip_area = float(np.sum(np.abs(sub["slip"]) * sub["length"] * sub["width"] * 1.0e6))
        if header_mo is not None and header_mo > 0 and slip_area > 0:
            note = ""
            if layers:
                layered = float(np.sum(sub["rigidity"] * np.abs(sub["slip"]) * sub["length"] * sub["width"])) * 1e6
                note = f"; the velocity structure's rho beta^2 would give {layered:.4g} N m"
            sub["rigidity"] = header_mo / slip_area
            warnings.append(f"rigidity {header_mo / slip_area:.4g} Pa throughout, the header's Mo divided by the "
                            f"subfaults' slip times area{note}")
            todo[:] = False
        elif layers:
            todo[:] = False
    if todo.any():
        sub["rigidity"][todo] = DEFAULT_RIGIDITY
        warnings.append(f"{int(todo.sum())} subfaults without a rigidity in the file take {DEFAULT_RIGIDITY:g} Pa")
    lat, lon, dep = get([glob], ["LAT"], "LOC"), get([glob], ["LON"], "LOC"), get([glob], ["DEP"], "LOC")
    hypo = (lon, lat, dep) if lat is not None and lon is not None else None
    return Parsed(sub, hypo, [], refs, warnings, header_mo)


def _layer_rigidity(layers, rows):
    """mu = rho beta^2 of the layer holding each subfault's centre (layer
    tops in km, S velocity in km/s, density in g/cm^3)."""
    tops = np.array([l[0] for l in layers])
    mu = np.array([l[2] * 1000.0 * (l[1] * 1000.0) ** 2 for l in layers])
    order = np.argsort(tops)
    tops, mu = tops[order], mu[order]
    centre = rows["depth"] + 0.5 * rows["width"] * np.sin(np.radians(rows["dip"]))
    return mu[np.clip(np.searchsorted(tops, centre, side="right") - 1, 0, len(mu) - 1)]
