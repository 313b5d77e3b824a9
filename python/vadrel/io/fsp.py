"""The rupture-model database layout (``%`` header lines, a column line
``% LAT LON X==EW Y==NS Z SLIP RAKE ...``, data rows; ``% SEGMENT #`` blocks
for several segments), of every era.

The reference point is the one the header states ("top-center", "center");
columns are taken by the header's names.  Files as they are found: header
lines that lost their ``%`` are read as header lines (a warning), tokens
that are not numbers between a row's columns are dropped (a warning), a
subfault or segment count that disagrees with the rows is a warning (the
rows win), and segment numbers are labels.  A stated "center" whose depths
are the header's top (``Htop``) -- every top then above the surface -- is
taken as the top centre, with a warning that says both.

Rigidity: the subfaults' moments, else the header's Mo over the slip and
area, else the velocity structure.  Kinematics: the ``TRUP`` and ``RISE``
columns, else a rise time stated in the header (``RISE``, ``Tr``, ``avTr``);
the shape the header states (``SVF``/``STF``: asymmetric cosine, cosine,
triangular, boxcar, ...), an unknown one taken as the smooth ramp with a
warning."""
from __future__ import annotations

import math

import numpy as np

from .. import geometry
from .subfaults import (DEFAULT_RIGIDITY, DEFAULT_SHAPE, Parsed, SlipHistory, check_rows, choose_reference, empty,
                        rigidity_from_moment, to_top_centre)
from .text import Source, is_number, leading_number, number as _float, statements

__all__ = ["read"]

_FSP_COLUMNS = {"LAT": "lat", "LON": "lon", "LATITUDE": "lat", "LONGITUDE": "lon", "DEPTH": "depth",
                "X==EW": "x", "Y==NS": "y", "X": "x", "Y": "y", "Z": "depth",
                "SLIP": "slip", "RAKE": "rake", "TRUP": "trup", "RISE": "rise", "SF_MOMENT": "moment",
                "STRK": "strike", "STRIKE": "strike", "DIP": "dip"}

#: Slip-velocity functions as the headers name them (blanks, hyphens and
#: case left out), and the shape taken.
_SHAPES = {"asymetriccosine": "asymmetric cosine", "asymmetriccosine": "asymmetric cosine",
           "asymmetricalcosine": "asymmetric cosine", "cosine": "cosine", "raisedcosine": "cosine",
           "hanning": "cosine", "triangular": "triangle", "triangle": "triangle", "isoscelestriangle": "triangle",
           "boxcar": "boxcar", "box": "boxcar", "rectangular": "boxcar", "rectangle": "boxcar",
           "smoothramp": "smooth ramp", "smoothedramp": "smooth ramp", "step": "step", "heaviside": "step",
           "delta": "step"}


def _new_segment(label, number):
    return {"keys": {}, "rows": [], "numbers": [], "line": number, "columns": None, "label": label}


class _Header:
    """What the header lines say, read one line at a time."""

    def __init__(self):
        self.glob, self.segs, self.cur = {}, [], None
        self.columns, self.stated, self.layers, self.in_layers = None, None, [], False
        self.svf, self.slip_unit = None, None

    def read(self, src, number, body):
        up = body.upper()
        toks = body.split()
        if toks and toks[0].upper().startswith("SEGMENT"):
            rest = up.replace("#", " ").replace(":", " ").split()
            label = rest[1] if len(rest) > 1 and rest[0] == "SEGMENT" else str(len(self.segs) + 1)
            self.cur = _new_segment(label[:20], number)
            self.segs.append(self.cur)
        colon = body.find(":")
        label = body[:colon].strip().upper() if colon > 0 else ""
        target = self.cur["keys"] if self.cur is not None else self.glob
        for key, val, _ in statements(body):
            target.setdefault((label, key.upper()), val)
            target.setdefault(("", key.upper()), val)
        low = body.lower()
        at = low.find("coordinates are given for")
        if at >= 0:
            rest = low[at + len("coordinates are given for"):]
            end = rest.find("of each subfault")
            if 0 <= end <= 40:
                self.stated = rest[:end].strip()
        at = low.find("slip in ")
        if at >= 0 and self.slip_unit is None:
            word = low[at + 8:at + 12].split()
            self.slip_unit = word[0].strip(";,.") if word else None
        if label in ("SVF", "STF") and colon > 0:
            self.svf = body[colon + 1:].split("(")[0].strip()[:60]
        if label.replace(" ", "") in ("RISETIME", "RISE") and colon > 0:
            words = body[colon + 1:colon + 80].split()
            value = leading_number(words[0])[0] if words else None
            if value is not None:
                target.setdefault(("", "RISE"), value)
        names = up.split()
        if ("LAT" in names or "LATITUDE" in names) and ("LON" in names or "LONGITUDE" in names) \
                and "SLIP" in names:
            self.columns = [_FSP_COLUMNS.get(w, w.lower()) for w in names]
            self.in_layers = False
        elif "DEPTH" in up and "DENS" in up and ("S_VEL" in up or "S-VEL" in up):
            names = [w.upper().replace("-", "_") for w in toks]
            if "DEPTH" in names and "S_VEL" in names and "DENS" in names:
                self.in_layers = (names.index("DEPTH"), names.index("S_VEL"), names.index("DENS"))
        elif self.in_layers and toks and all(is_number(w) for w in toks):
            i, j, k = self.in_layers
            if len(toks) > max(i, j, k):
                self.layers.append((float(toks[i]), float(toks[j]), float(toks[k])))
        elif self.in_layers and toks and not toks[0].startswith("["):
            self.in_layers = False if self.layers else self.in_layers


def read(src: Source, reference: str | None) -> Parsed:
    """The subfaults of a database file, their points taken as ``reference``
    (None: the point the header states).  ``ValueError`` naming the file and
    line."""
    warnings = []
    h = _Header()
    stray, lost = {}, []
    for number, line in enumerate(src.lines, 1):
        t = line.strip()
        if not t:
            continue
        if t.startswith("%"):
            h.read(src, number, t.lstrip("%").strip())
            continue
        toks = t.split()
        if h.columns is not None and len(toks) > 2 * len(h.columns) + 8 and is_number(toks[0]):
            raise src.error(number, f"{len(toks)} values, the column line names {len(h.columns)}")
        numeric = [is_number(w) for w in toks]
        if h.columns is None or (not numeric[0] and sum(numeric) < len(h.columns)):
            if numeric[0] and sum(numeric) == len(numeric) and not h.in_layers:
                raise src.error(number, "a data row before the column line ('% LAT LON ... SLIP ...')")
            # a header line that lost its '%'
            lost.append(number)
            h.read(src, number, t)
            continue
        if h.cur is None:
            h.cur = _new_segment("1", number)
            h.segs.append(h.cur)
        cur = h.cur
        if cur["rows"] and cur["columns"] is not h.columns:
            raise src.error(number, "a column line inside a segment's rows")
        cur["columns"] = h.columns
        values = []
        for w, ok in zip(toks, numeric):
            if ok:
                values.append(_float(src, number, w, "value"))
            elif w.lower().lstrip("+-") in ("nan", "inf", "infinity"):
                raise src.error(number, f"{w!r} is not a finite number")
            else:
                w = w if len(w) <= 20 else w[:20] + "..."
                stray.setdefault(w, []).append(number)
        if len(values) < len(h.columns):
            raise src.error(number, f"{len(values)} numbers, the column line names {len(h.columns)}")
        if len(values) > len(h.columns):
            raise src.error(number, f"{len(values)} numbers, more than the {len(h.columns)} columns the column "
                                    "line names")
        cur["rows"].append(values)
        cur["numbers"].append(number)
    if h.columns is None:
        raise ValueError(f"{src.path}: line {len(src.lines)}: no column line ('% LAT LON ... SLIP ...')")
    if lost:
        warnings.append(f"{len(lost)} header line(s) without '%' (line {lost[0]}"
                        + (f"..{lost[-1]}" if len(lost) > 1 else "") + ") read as header lines")
    for w, where in stray.items():
        warnings.append(f"non-numeric token {w!r} between the columns of {len(where)} rows "
                        f"(lines {where[0]}..{where[-1]}) dropped")
    return _assemble(src, h, reference, warnings)


def _get(keys, names, label=None):
    for d in keys:
        for n in names:
            if (label or "", n) in d:
                return d[(label or "", n)]
    return None


def _reference(src, h, reference, warnings):
    if reference is not None:
        return reference, "given"
    if h.stated is not None:
        try:
            return geometry.canonical_reference(h.stated), f"stated in the header: {h.stated}"
        except ValueError:
            raise ValueError(f"{src.path}: line 1: unknown reference point {h.stated!r} in the header") from None
    warnings.append("the header does not say which point of a subfault the coordinates give; "
                    "taken as the centre")
    return "centroid", "not stated in the header: assumed"


def _assemble(src, h, reference, warnings):
    segs = [s for s in h.segs if s["rows"]]
    if not segs:
        raise ValueError(f"{src.path}: line {len(src.lines)}: no subfault rows")
    glob = h.glob
    nsg = _get([glob], ["NSG"])
    if nsg is not None and nsg != len(segs):
        warnings.append(f"{len(segs)} segments of rows, the header declares Nsg = {nsg:g}; the rows are taken")
    ref0, why0 = _reference(src, h, reference, warnings)
    slip_scale = {"cm": 0.01, "mm": 1e-3}.get(h.slip_unit, 1.0)
    parts, refs, lines, labels = [], [], [], []
    has_moment = True
    for s, seg in enumerate(segs):
        label = f"segment {seg['label']}"
        first = seg["numbers"][0]
        keys = [seg["keys"], glob] if len(segs) > 1 else [glob, seg["keys"]]
        dx, dz = _get(keys, ["DX"]), _get(keys, ["DZ"])
        if dx is None and _get(keys, ["LEN"]) and _get(keys, ["NX"]):
            dx = _get(keys, ["LEN"]) / _get(keys, ["NX"])
        if dz is None and _get(keys, ["WID"]) and _get(keys, ["NZ"]):
            dz = _get(keys, ["WID"]) / _get(keys, ["NZ"])
        if dx is None or dz is None or not (dx > 0 and dz > 0):
            raise src.error(first, f"{label}: no positive subfault size (Dx, Dz) in the header")
        for need in ("lat", "lon", "depth", "slip"):
            if need not in seg["columns"]:
                raise src.error(first, f"the column line has no {need.upper()} column")
        data = np.array(seg["rows"], dtype=float)
        col = {name: data[:, k] for k, name in enumerate(seg["columns"])}
        has_moment = has_moment and "moment" in col
        if "moment" in col and np.any(col["moment"] < 0):
            raise src.error(seg["numbers"][int(np.argmax(col["moment"] < 0))], "a negative moment")
        n = len(data)
        nx, nz = _get(keys, ["NX"]), _get(keys, ["NZ"])
        count = _get([seg["keys"]] if len(segs) > 1 else keys, ["NSBFS"])
        if count is None and len(segs) == 1 and nx and nz:
            count = nx * nz
        if count is not None and count != n:
            warnings.append(f"{label} has {n} subfault rows, the header declares {count:g}; the rows are taken")
        rows = empty(n)
        rows["lat"], rows["lon"], rows["depth"] = col["lat"], col["lon"], col["depth"]
        rows["slip"] = col["slip"] * slip_scale
        for name, keyn in (("strike", ["STRK", "STRIKE"]), ("dip", ["DIP"]), ("rake", ["RAKE"])):
            if name in col:
                rows[name] = col[name]
            else:
                v = _get(keys, keyn)
                if v is None:
                    raise src.error(first, f"{label}: no {name} column and no {name} in the header")
                rows[name] = v
        rows["length"], rows["width"], rows["segment"] = dx, dz, s
        if "trup" in col:
            rows["rupture_time"] = col["trup"]
        if "rise" in col:
            rows["rise_time"] = col["rise"]
        else:
            rise = _get(keys, ["RISE", "TR", "RISETIME", "RISE_TIME"])
            if rise is None and _get(keys, ["AVTR"]) is not None:
                rise = _get(keys, ["AVTR"])
                if s == 0:
                    warnings.append(f"no rise time per subfault; the header's average avTr = {rise:g} s taken "
                                    "for every subfault")
            if rise is not None:
                rows["rise_time"] = rise
        check_rows(src, rows, seg["numbers"])
        htop = _get([glob], ["HTOP"], "MECH") if len(segs) == 1 else _get([seg["keys"]], ["Z2TOP", "HTOP"])
        alternatives = []
        if htop is not None and reference is None and abs(float(rows["depth"].min()) - htop) <= 0.01:
            alternatives.append(("top center", f"the rows' shallowest depth is the header's top, Htop = {htop:g} km"))
        ref, why = choose_reference(rows, ref0, why0, alternatives, label, warnings)
        refs.append(f"{ref} ({why})")
        to_top_centre(rows, ref)
        top = float(rows["depth"].min())
        if htop is not None and abs(top - htop) > 0.05 * dz * math.sin(math.radians(rows["dip"].min())):
            warnings.append(f"{label}: the rows, taken as {ref}, put the top of the fault at {top:.3f} km; "
                            f"the header says {htop:g} km")
        structure = _layer_rigidity(h.layers, rows) if h.layers else None
        if "moment" in col:
            rows["rigidity"] = rigidity_from_moment(rows, col["moment"], warnings, label, structure)
        else:
            rows["rigidity"] = np.nan if structure is None else structure
        parts.append(rows)
        lines.extend(seg["numbers"])
        labels.append(seg["label"])
    sub = np.concatenate(parts)
    header_mo = _moment(sub, glob, h.layers, has_moment, warnings)
    lat, lon, dep = _get([glob], ["LAT"], "LOC"), _get([glob], ["LON"], "LOC"), _get([glob], ["DEP"], "LOC")
    hypo = (lon, lat, dep) if lat is not None and lon is not None and abs(lat) <= 90 else None
    return Parsed(sub, hypo, [], refs, warnings, header_mo, lines=np.array(lines), segment_labels=labels,
                  history=_history(h.svf, warnings))


def _moment(sub, glob, layers, has_moment, warnings):
    """Rigidity where the rows have none; returns the header's Mo."""
    header_mo = _get([glob], ["MO"], "SIZE")
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
    if not np.all(np.isfinite(sub["rigidity"]) & (sub["rigidity"] > 0)):
        sub["rigidity"][~(np.isfinite(sub["rigidity"]) & (sub["rigidity"] > 0))] = DEFAULT_RIGIDITY
        warnings.append(f"rigidity of some subfaults not positive in the file; {DEFAULT_RIGIDITY:g} Pa taken")
    return header_mo


def _history(svf, warnings):
    """The slip history the header states."""
    if not svf:
        return SlipHistory()
    key = "".join(c for c in svf.lower() if c.isalpha())
    shape = _SHAPES.get(key)
    if shape is None:
        warnings.append(f"slip-velocity function {svf!r} not known: each subfault's rise time is taken with the "
                        f"{DEFAULT_SHAPE} (slip (1 - cos(pi t/T))/2)")
        return SlipHistory(DEFAULT_SHAPE, None, svf)
    if shape == "asymmetric cosine":
        # The rows give the whole rise time only: equal rising and falling times.
        return SlipHistory("cosine", None, f"{svf} (one rise time per subfault: rising and falling halves equal)")
    return SlipHistory(shape, None, svf)


def _layer_rigidity(layers, rows):
    """mu = rho beta^2 of the layer holding each subfault's centre (layer
    tops in km, S velocity in km/s, density in g/cm^3)."""
    tops = np.array([l[0] for l in layers])
    mu = np.array([l[2] * 1000.0 * (l[1] * 1000.0) ** 2 for l in layers])
    order = np.argsort(tops)
    tops, mu = tops[order], mu[order]
    centre = rows["depth"] + 0.5 * rows["width"] * np.sin(np.radians(rows["dip"]))
    return mu[np.clip(np.searchsorted(tops, centre, side="right") - 1, 0, len(mu) - 1)]
