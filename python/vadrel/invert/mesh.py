"""Fault segments cut into patches for a slip inversion: every segment of a
model meshed with its own patch size, the joins between segments whose ends
meet, and the finite-difference Laplacian of a slip field over all patches
(within each segment and across its joins), as a sparse matrix.

Frames and conventions are those of the faults file (km in the model's
local frame; a segment's X, Y the surface point above the start of its deep
edge; patch rows from the top edge down, columns along strike).

Joins.  The end of segment A (the far end of its strike) is joined to the
start of segment B when the two ends of their top edges lie within the
join tolerance of each other in map view (by default half the shorter of
the two segments' patch lengths; ``join=`` sets it in km, ``join=False``
joins nothing, ``join=[(a, b), ...]`` names the pairs, 0-based).  Segments
are joined only end to start, so a fault drawn as several segments must
give them one sense of strike.  An end joins at most one other segment
(the nearest).  Joined ends are not extended along strike.
"""
from __future__ import annotations

import math
from collections.abc import Callable, Iterable, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import scipy.sparse

from .. import geometry

if TYPE_CHECKING:
    from vadrel import Faults, Segment
from .fault import _DEG, _seg_values, _top, _with

__all__ = ["Mesh", "Layout", "mesh_segments", "segments_of", "plane_patches"]


segments_of = geometry.segments_of


def _per_segment(name, value, nseg, size):
    """One value for every segment (a number, or a pair when ``size`` is 2),
    or a list of one per segment."""
    if value is None:
        return [None] * nseg
    if size == 1 and np.ndim(value) == 0:
        return [value] * nseg
    try:
        vals = list(value)
    except TypeError:
        raise ValueError(f"{name}: expected {'a number' if size == 1 else 'a pair'} or one per segment, "
                         f"not {value!r}") from None
    if size > 1 and len(vals) == size and all(np.ndim(v) == 0 for v in vals):
        return [tuple(vals)] * nseg
    if len(vals) != nseg:
        raise ValueError(f"{name}: {len(vals)} values for {nseg} segments (give one for all, or one per segment)")
    return vals


def _corners(v):
    """Map positions of the two ends of a segment's top edge: (start, end)."""
    wc = v["W"] * math.cos(v["dip"] * _DEG)
    e0, n0 = geometry.from_patch(0.0, wc, v["strike"])
    e1, n1 = geometry.from_patch(v["L"], wc, v["strike"])
    return np.array([v["X"] + e0, v["Y"] + n0]), np.array([v["X"] + e1, v["Y"] + n1])


def _find_joins(values, join, nominal):
    """(a, b) pairs: the end of segment a joined to the start of segment b."""
    nseg = len(values)
    if join is False:
        return []
    if join is not None and not np.isscalar(join):
        pairs = [tuple(int(i) for i in p) for p in join]
        for a, b in pairs:
            if not (0 <= a < nseg and 0 <= b < nseg) or a == b:
                raise ValueError(f"join: ({a}, {b}) does not name two segments of {nseg} (counted from 0)")
        if len({a for a, _ in pairs}) < len(pairs) or len({b for _, b in pairs}) < len(pairs):
            raise ValueError("join: an end of a segment is joined twice")
        return pairs
    if join is not None:
        tol = float(join)
        if not (math.isfinite(tol) and tol >= 0):
            raise ValueError(f"join must be a distance in km >= 0, False or a list of pairs, not {join!r}")
    ends = [_corners(v) for v in values]
    cands = []
    for a in range(nseg):
        for b in range(nseg):
            if a == b:
                continue
            d = float(np.hypot(*(ends[a][1] - ends[b][0])))
            t = 0.5 * min(nominal[a], nominal[b]) if join is None else tol
            if d <= t:
                cands.append((d, a, b))
    pairs, used_a, used_b = [], set(), set()
    for d, a, b in sorted(cands):
        if a not in used_a and b not in used_b:
            pairs.append((a, b))
            used_a.add(a)
            used_b.add(b)
    return sorted(pairs)


def _extended(v, start, end, down):
    """A segment lengthened by ``start`` km before its start and ``end`` km
    past its end along strike, and widened ``down`` km down dip (its top
    edge kept)."""
    for e in (start, end, down):
        if not (math.isfinite(e) and e >= 0):
            raise ValueError("extend must be lengths >= 0 (km along strike at each end, km down dip)")
    sd, cd = math.sin(v["dip"] * _DEG), math.cos(v["dip"] * _DEG)
    # Patch-frame offsets (along strike, to its left = up dip in map) turned into map ones.
    de, dn = geometry.from_patch(-start, -down * cd, v["strike"])
    return _with(v, X=v["X"] + float(de), Y=v["Y"] + float(dn), depth=v["depth"] + down * sd,
                 L=v["L"] + start + end, W=v["W"] + down)


def _cut(v, nx, ny, prefix):
    """The nx x ny patches of a segment, row 0 the shallowest, row by row."""
    sd, cd = math.sin(v["dip"] * _DEG), math.cos(v["dip"] * _DEG)
    pl, pw = v["L"] / nx, v["W"] / ny
    patches = []
    for j in range(ny):
        up = (ny - 1 - j) * pw          # patch's deep edge distance up dip from the plane's
        for i in range(nx):
            e, n = geometry.from_patch(i * pl, up * cd, v["strike"])
            patches.append(_with(v, X=v["X"] + float(e), Y=v["Y"] + float(n), depth=v["depth"] - up * sd, L=pl,
                                 W=pw, U1=0.0, U2=0.0, U3=0.0, name=f"{prefix}{j + 1}_{i + 1}"))
    return patches


def _counts(k, v, nx, ny, patch):
    """Patches along strike and down dip of segment k."""
    if patch is not None:
        if nx is not None or ny is not None:
            raise ValueError("give nx and ny, or patch, not both")
        try:
            pa, pd = (float(p) for p in patch)
        except (TypeError, ValueError):
            raise ValueError(f"patch must be (km along strike, km down dip), not {patch!r}") from None
        if not (math.isfinite(pa) and math.isfinite(pd) and pa > 0 and pd > 0):
            raise ValueError(f"patch: sizes must be positive km, not {pa:g} x {pd:g}")
        return max(1, round(v["L"] / pa)), max(1, round(v["W"] / pd))
    if nx is None or ny is None:
        raise ValueError("give nx and ny (patches along strike and down dip), or patch=(km along, km down)")
    try:
        nx_, ny_ = int(nx), int(ny)
    except (TypeError, ValueError):
        raise ValueError(f"segment {k + 1}: nx and ny must be whole numbers, not {nx!r}, {ny!r}") from None
    if nx_ != nx or ny_ != ny or nx_ < 1 or ny_ < 1:
        raise ValueError(f"segment {k + 1}: nx and ny must be whole numbers >= 1, not {nx!r}, {ny!r}")
    return nx_, ny_


class Mesh:
    """Segments cut into patches.

    ``planes`` (dicts of the segments' fields, extended), ``shapes`` ((ny,
    nx) per segment), ``patches`` (dicts, segment by segment, each row by
    row from the top), ``starts`` (the first patch of each segment, and the
    total at the end), ``joins`` ((a, b): the end of segment a joined to the
    start of segment b), ``free_top`` (per segment: its top edge reaches the
    ground, within half a patch, so the slip's Laplacian is mirrored there),
    ``names``."""

    def __init__(self, planes: list[dict[str, Any]], shapes: list[tuple[int, int]], joins: list[tuple[int, int]],
                 names: list[str]) -> None:
        self.planes, self.shapes, self.joins, self.names = planes, shapes, joins, names
        self.patches, self.starts = [], [0]
        for v, (ny, nx) in zip(planes, shapes):
            self.patches += _cut(v, nx, ny, f"s{len(self.starts)}_" if len(planes) > 1 else "p")
            self.starts.append(len(self.patches))
        self.free_top = [_top(v) < 0.5 * (v["W"] / ny) * abs(math.sin(v["dip"] * _DEG))
                         for v, (ny, nx) in zip(planes, shapes)]

    def __len__(self):
        return len(self.patches)

    @property
    def segment(self) -> np.ndarray:
        """The segment of each patch."""
        return np.repeat(np.arange(len(self.planes)), np.diff(self.starts))

    def rows(self, k: int) -> np.ndarray:
        """Depth range (top, bottom) of each patch row of segment k, km."""
        v, (ny, _) = self.planes[k], self.shapes[k]
        pw = v["W"] / ny
        top = _top(v)
        dz = pw * math.sin(v["dip"] * _DEG)
        return np.array([(top + j * dz, top + (j + 1) * dz) for j in range(ny)])

    def laplacian(self) -> scipy.sparse.csr_matrix:
        """(P, P) finite-difference Laplacian (1/km^2) of a scalar field on
        the patches.  Along strike the second difference on unequal
        spacing, 2/(h- + h+) ((u+ - u)/h+ - (u - u-)/h-), with h the
        distance between patch centres; beyond a free end the slip is 0 one
        patch length away, across a join the neighbour is the mean of the
        other segment's end column weighted by the overlap of their depth
        ranges (parts overlapping nothing count as 0).  Down dip the slip
        is 0 beyond the bottom and the top, but mirrored (no gradient) at a
        top edge that reaches the ground."""
        rows, cols, vals = [], [], []

        def put(r, c, v):
            rows.append(r)
            cols.append(c)
            vals.append(v)

        nbr = {}                       # (segment, side) -> (weights per row: [(patch, w)], spacing)
        for a, b in self.joins:
            h = 0.5 * (self.planes[a]["L"] / self.shapes[a][1] + self.planes[b]["L"] / self.shapes[b][1])
            nbr[(a, 1)] = (self._facing(a, b, 0), h)                       # b's first column
            nbr[(b, 0)] = (self._facing(b, a, self.shapes[a][1] - 1), h)   # a's last column
        for k, (v, (ny, nx)) in enumerate(zip(self.planes, self.shapes)):
            pl, pw = v["L"] / nx, v["W"] / ny
            base = self.starts[k]
            for j in range(ny):
                for i in range(nx):
                    r = base + j * nx + i
                    # Along strike: neighbours (list of (patch, weight)) and spacings on each side.
                    sides = []
                    for side, di in ((0, -1), (1, 1)):
                        if 0 <= i + di < nx:
                            sides.append(([(r + di, 1.0)], pl))
                        elif (k, side) in nbr:
                            weights, h = nbr[(k, side)]
                            sides.append((weights[j], h))
                        else:
                            sides.append(([], pl))
                    (wm, hm), (wp, hp) = sides
                    f = 2.0 / (hm + hp)
                    put(r, r, -f * (1.0 / hp + 1.0 / hm))
                    for p, w in wp:
                        put(r, p, f * w / hp)
                    for p, w in wm:
                        put(r, p, f * w / hm)
                    # Down dip: a uniform grid; 0 beyond the bottom, 0 or mirrored beyond the top.
                    put(r, r, -2.0 / pw ** 2)
                    if j > 0:
                        put(r, r - nx, 1.0 / pw ** 2)
                    elif self.free_top[k]:
                        put(r, r, 1.0 / pw ** 2)
                    if j < ny - 1:
                        put(r, r + nx, 1.0 / pw ** 2)
        P = len(self.patches)
        return scipy.sparse.csr_matrix((vals, (rows, cols)), shape=(P, P))

    def _facing(self, k, other, column):
        """For each row of segment k, the patches of ``other``'s end column
        facing it ((patch, weight) with weight the share of the row's depth
        range they cover)."""
        mine, theirs = self.rows(k), self.rows(other)
        nx_o = self.shapes[other][1]
        out = []
        for z0, z1 in mine:
            ws = []
            for jj, (t0, t1) in enumerate(theirs):
                if z1 - z0 > 1e-9:
                    w = max(0.0, min(z1, t1) - max(z0, t0)) / (z1 - z0)
                else:                   # a horizontal row: the row of the other holding its depth
                    w = 1.0 if t0 <= z0 <= t1 else 0.0
                if w > 0:
                    ws.append((self.starts[other] + jj * nx_o + column, w))
            out.append(ws)
        return out

    def layout(self, gap: float | None = None) -> "Layout":
        """Where each patch is drawn: segments laid end to end along strike
        (joined ones touching, others ``gap`` km apart: by default a
        twentieth of the whole length), depth down."""
        total = sum(v["L"] for v in self.planes)
        gap = 0.05 * total if gap is None else float(gap)
        rects, spans, x = [], [], 0.0
        joined_after = {a for a, b in self.joins if b == a + 1}
        for k, (v, (ny, nx)) in enumerate(zip(self.planes, self.shapes)):
            pl = v["L"] / nx
            z = self.rows(k)
            for j in range(ny):
                for i in range(nx):
                    rects.append((x + i * pl, x + (i + 1) * pl, z[j, 0], z[j, 1]))
            spans.append((x, x + v["L"], self.names[k]))
            x += v["L"] + (0.0 if k in joined_after else gap)
        return Layout(np.array(rects), spans, [float(v["strike"]) for v in self.planes],
                      [float(v["dip"]) for v in self.planes], self.segment)


class Layout:
    """Patches as drawn in a slip map: ``rects`` (P, 4) = along-strike
    distance from, to (segments end to end) and depth from, to (km);
    ``spans`` (start, end, name) per segment; ``strikes``, ``dips`` and
    ``segment`` (of each patch)."""

    def __init__(self, rects: np.ndarray, spans: list[tuple[float, float, str]], strikes: list[float],
                 dips: list[float], segment: np.ndarray) -> None:
        self.rects, self.spans, self.strikes, self.dips, self.segment = rects, spans, strikes, dips, segment

    @property
    def centres(self) -> np.ndarray:
        """(P, 2) along-strike distance and depth of the patch centres."""
        return np.column_stack([self.rects[:, :2].mean(axis=1), self.rects[:, 2:].mean(axis=1)])


def mesh_segments(faults: Faults | Segment | Iterable[Segment], *, nx: int | Sequence[int] | None = None,
                  ny: int | Sequence[int] | None = None,
                  patch: Sequence[float] | Sequence[Sequence[float]] | None = None,
                  extend: Sequence[float] | Sequence[Sequence[float]] = (0.0, 0.0),
                  join: float | bool | Sequence[tuple[int, int]] | None = None,
                  check: Callable[[int], object] | None = None) -> Mesh:
    """Every segment of ``faults`` (a ``Faults``, a ``Segment`` or a list)
    cut into patches.

    ``nx``, ``ny``: patches along strike and down dip, one number for every
    segment or one per segment; or ``patch`` = (km along strike, km down
    dip), one pair or one per segment (the counts are the nearest whole
    numbers, at least 1; the patches then divide each segment exactly).
    ``extend`` = (km along strike at each free end, km down dip), one pair
    or one per segment.  ``join``: see the module's description.
    ``check``: called with the number of patches before they are cut (to
    refuse a mesh too large for the machine)."""
    segs = segments_of(faults)
    nseg = len(segs)
    values = [_seg_values(s) for s in segs]
    for k, v in enumerate(values):
        if _top(v) < -1e-9:
            raise ValueError(f"segment {k + 1}: its top edge is above the ground "
                             f"(depth - W sin(dip) = {_top(v):.3g} km)")
    nxs = _per_segment("nx", nx, nseg, 1)
    nys = _per_segment("ny", ny, nseg, 1)
    pats = _per_segment("patch", patch, nseg, 2)
    exts = _per_segment("extend", extend, nseg, 2)
    for k, e in enumerate(exts):
        if e is None or len(e) != 2:
            raise ValueError(f"extend: segment {k + 1} needs (km along strike, km down dip)")
    # Patch lengths before extension, for the default join tolerance.
    nominal = []
    for k, v in enumerate(values):
        n_, _ = _counts(k, v, nxs[k], nys[k], pats[k])
        nominal.append(v["L"] / n_ if pats[k] is None else float(pats[k][0]))
    joins = _find_joins(values, join, nominal)
    joined_end = {a for a, _ in joins}
    joined_start = {b for _, b in joins}
    planes, shapes = [], []
    for k, v in enumerate(values):
        a, d = (float(x) for x in exts[k])
        ext = _extended(v, 0.0 if k in joined_start else a, 0.0 if k in joined_end else a, d)
        cx, cy = _counts(k, ext, nxs[k], nys[k], pats[k])
        planes.append(ext)
        shapes.append((cy, cx))
    names = [v["name"] or f"segment {k + 1}" for k, v in enumerate(values)]
    if check is not None:
        check(sum(a * b for a, b in shapes))
    return Mesh(planes, shapes, joins, names)


def plane_patches(plane: Segment, nx: int, ny: int,
                  extend: Sequence[float]) -> tuple[dict[str, Any], list[dict[str, Any]]]:
    """One segment extended by ``extend`` = (km at each end, km down dip)
    and cut into nx x ny patches: (its fields, the patches' fields)."""
    m = mesh_segments(plane, nx=nx, ny=ny, extend=extend)
    return m.planes[0], m.patches
