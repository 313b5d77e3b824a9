"""A finite-fault model drawn as a tsunami modeller reads it: the map of its
subfaults coloured by slip, with rake arrows, the hypocentre, the boundary
polygons and the coastlines, and beside it the fault-plane view of each
segment (:mod:`vadrel.plot.plane`), with the same colours and arrows.

The map is drawn in the model's own longitudes: every longitude is wrapped
to within 180 degrees of the model's moment-weighted mean longitude, so a
model across the antimeridian is not split.  Map arrows are the horizontal
part of the hanging wall's slip (``slip cos(rake)`` along strike, ``slip
sin(rake) cos(dip)`` up dip); plane-view arrows the slip in the plane, the
rake as their angle on the page.  For a kinematic model, ``time`` draws the
slip reached at that time (:func:`slip_at`) on the colour scale of the final
slip."""
from __future__ import annotations

import math
import os

from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import ArrayLike

from vadrel import PathLike
from .. import geodesy, geometry, sources
from ..sources import FiniteFault
from ..tsunami import kinematics
from . import _mpl, coast as _coast
from .plane import exaggeration, nearest_segment, plane_polygons

if TYPE_CHECKING:
    from matplotlib.axes import Axes

__all__ = ["plot_finite_fault", "slip_at", "horizontal_slip", "SLIP_COLOURS", "HYPOCENTRE"]

#: Colour map of slip: white at none.
SLIP_COLOURS = "YlOrRd"
#: How the hypocentre is marked.
HYPOCENTRE = {"marker": "*", "markersize": 15, "color": "#1f8fff", "markeredgecolor": "black", "ls": "none",
              "zorder": 6}
_MOST_ARROWS = 400


def slip_at(ff: FiniteFault, time: float) -> np.ndarray:
    """Slip (m) of each subfault reached ``time`` s after the rupture's start:
    the final slip times the share the source-time function has reached then
    (:func:`vadrel.tsunami.kinematics.ramp_weights`).  ``ValueError`` for a
    time that is not finite or a model without rupture times."""
    time = float(time)
    if not math.isfinite(time):
        raise ValueError(f"the time must be a finite number of seconds, got {time}")
    sub = ff.subfaults
    if len(sub) == 0 or not np.isfinite(sub["rupture_time"]).any():
        raise ValueError(f"{ff.path or 'the model'}: the model has no rupture times: a time needs a kinematic model")
    return sub["slip"] * kinematics.ramp_weights(sub, [time])[:, 0]


def horizontal_slip(sub: np.ndarray, slip: ArrayLike | None = None) -> tuple[np.ndarray, np.ndarray]:
    """East and north (m) of the horizontal part of the hanging wall's slip
    of each subfault (``slip`` in place of the subfaults' own when given)."""
    slip = sub["slip"] if slip is None else np.asarray(slip, dtype=float)
    (se, sn), (de, dn), cd, _ = geometry.directions(sub["strike"], sub["dip"])
    along, up = geometry.slip_components(slip, sub["rake"])
    # Up dip is against the horizontal down-dip direction.
    return along * se - up * cd * de, along * sn - up * cd * dn


def _nice(v: float) -> float:
    """A round value of one significant digit, at most ``v``."""
    if not v > 0:
        return 0.0
    e = 10.0 ** math.floor(math.log10(v))
    return float(max(d for d in (1, 2, 5, 10) if d * e <= v * (1 + 1e-9)) * e)


def _arrow_subset(slip, most=_MOST_ARROWS):
    """Indices of the subfaults that get an arrow: those with slip, every
    k-th of them when there are more than ``most``."""
    k = np.flatnonzero(slip > 0)
    return k[::max(1, math.ceil(len(k) / most))]


def _arrows(ax, x, y, u, v, top, length, key_label=None, key_at=(0.90, 1.02)):
    """Slip arrows, the largest slip ``top`` as long as ``length`` of the
    axes' width, in the direction (u, v) on the page; with ``key_label``, a
    key of a round slip above the axes' right corner."""
    if top <= 0 or len(x) == 0:
        return None
    q = ax.quiver(x, y, u, v, angles="uv", scale_units="width", scale=top / length, pivot="middle",
                  width=0.004, headwidth=3.5, headlength=4.0, color="black", zorder=5)
    if key_label:
        ref = _nice(top)
        ax.quiverkey(q, key_at[0], key_at[1], ref, key_label.format(ref), labelpos="W", coordinates="axes",
                     fontproperties={"size": "small"})
    return q


def _draw_map(ax, ff, slip, norm, coast):
    from matplotlib.collections import PolyCollection
    sub = ff.subfaults
    # The model's middle, in the longitude convention its file is written in.
    centre = geodesy.wrap(ff.centroid()[0], float(np.median(sub["lon"])))
    order = np.argsort(-sub["depth"], kind="stable")       # the shallower subfaults of steep faults on top
    corners = geometry.subfault_corners(sub[order])
    corners[:, :, 0] = geodesy.wrap(corners[:, :, 0], centre)
    polys = PolyCollection(corners[:, :, :2], array=slip[order], cmap=SLIP_COLOURS, norm=norm, **_mpl.MESH)
    ax.add_collection(polys)
    xs, ys = [corners[:, :, 0].ravel()], [corners[:, :, 1].ravel()]
    for k, poly in enumerate(ff.boundary):
        lon = geodesy.wrap(np.asarray(poly)[:, 0], centre)
        ax.plot(lon, poly[:, 1], color="black", lw=1.0, zorder=3, label="boundary" if k == 0 else None)
        xs.append(lon)
        ys.append(poly[:, 1])
    if ff.hypocentre is not None:
        hx = geodesy.wrap(ff.hypocentre[0], centre)
        ax.plot(hx, ff.hypocentre[1], label="hypocentre", **HYPOCENTRE)
        xs.append([hx])
        ys.append([ff.hypocentre[1]])
    x, y = np.concatenate(xs), np.concatenate(ys)
    pad = 0.08 * max(np.ptp(x), np.ptp(y), 0.05)
    west, east, south, north = x.min() - pad, x.max() + pad, y.min() - pad, y.max() + pad
    mid = 0.5 * (south + north)
    grow = 0.5 * max(0.0, (north - south) / max(math.cos(math.radians(mid)), 0.05) - (east - west))
    west, east = west - grow, east + grow          # a map no narrower than it is tall
    ax.set_xlim(west, east)
    ax.set_ylim(max(-90.0, south), min(90.0, north))
    _mpl.lonlat_axes(ax, mid)
    _coast.draw_coast(ax, _coast.coastlines(west, east, max(-90.0, south), min(90.0, north), coast))
    k = _arrow_subset(slip)
    if len(k):
        clon, clat, _ = geometry.centres(sub[k])
        e, n = horizontal_slip(sub[k], slip[k])
        length = 1.2 * float(np.median(sub["length"])) / (111.32 * math.cos(math.radians(mid)) * (east - west))
        # Arrows on the scale of the final slip, so that frames of a kinematic model compare.
        fe, fn = horizontal_slip(sub)
        _arrows(ax, geodesy.wrap(clon, centre), clat, e, n, float(np.max(np.hypot(fe, fn))),
                min(max(length, 0.03), 0.10), "{:g} m horizontal slip")
    if ff.boundary or ff.hypocentre is not None:
        ax.legend(loc="lower left", fontsize="small", framealpha=0.8)
    return polys


def _draw_planes(axes, ff, slip, norm):
    from matplotlib.collections import PolyCollection
    sub = ff.subfaults
    polygons, frames = plane_polygons(sub)
    vx = exaggeration(polygons)
    hypo = None
    if ff.hypocentre is not None:
        hypo = nearest_segment(sub, *ff.hypocentre)
    along_max = float(polygons[..., 0].max())
    k_arrow = set(_arrow_subset(slip).tolist())
    top_slip = float(np.max(np.abs(sub["slip"])))
    length = min(max(1.2 * float(np.median(sub["length"])) / max(along_max, 1e-9), 0.03), 0.10)
    deep = float(polygons[..., 1].max())
    shallow = float(polygons[..., 1].min())
    keyed = False
    for n, (ax, f) in enumerate(zip(axes, frames)):
        k = np.flatnonzero(sub["segment"] == f.segment)
        ax.add_collection(PolyCollection(polygons[k], array=slip[k], cmap=SLIP_COLOURS, norm=norm, **_mpl.MESH))
        mid = polygons[k].mean(axis=1)
        a = np.array([j for j in k if j in k_arrow], dtype=int)
        if len(a):
            rake = np.radians(sub["rake"][a])
            where = np.searchsorted(k, a)
            _arrows(ax, mid[where, 0], mid[where, 1], slip[a] * np.cos(rake), slip[a] * np.sin(rake), top_slip,
                    length, None if keyed else "{:g} m slip", key_at=(0.93, 1.05))
            keyed = True
        if hypo == f.segment:
            ax.plot(f.along(ff.hypocentre[0], ff.hypocentre[1]), ff.hypocentre[2], **HYPOCENTRE)
        ax.set_xlim(-0.02 * along_max, 1.02 * along_max)
        pad = 0.04 * max(deep - shallow, 1.0)
        ax.set_ylim(deep + pad, 0.0 if shallow < 0.5 * deep else shallow - pad)   # depth increases downward
        ax.set_aspect(vx, adjustable="box")
        ax.set_ylabel("depth (km)" + (f", {vx}x vertical" if vx > 1 else ""))
        ax.set_title(f"segment {n + 1}: strike {f.strike:.0f}\N{DEGREE SIGN}, "
                     f"dip {np.median(sub['dip'][k]):.0f}\N{DEGREE SIGN}", fontsize="medium", loc="left")
    axes[-1].set_xlabel("distance along strike (km), seen from the hanging wall")


def plot_finite_fault(ff: FiniteFault | PathLike, path: PathLike | None = None, ax: Axes | None = None, *,
                      time: float | None = None, reference: str | None = None, format: str | None = None,
                      coast: bool | None = None, plane: bool = True, title: str | None = None,
                      dpi: int = 110) -> Axes:
    """Draw a finite-fault model (a :class:`~vadrel.sources.FiniteFault`, or a
    path read with :func:`vadrel.sources.read` and ``format``,
    ``reference``).

    On a new figure: the map (left) and, with ``plane``, the fault-plane
    view of each segment (right, one panel per segment, along strike against
    depth, a vertical exaggeration stated on the axis when the depths span
    less than a quarter of the length).  On ``ax`` when given: the map alone.
    Subfaults coloured by slip (m) with a thin mesh, rake arrows with a key,
    the hypocentre (a star), boundary polygons; coastlines as ``coast``
    says (:func:`vadrel.plot.coast.coastlines`: None draws them when GMT's
    are installed).  ``time``: the slip reached ``time`` s after the
    rupture's start (:func:`slip_at`).  Saved to ``path`` when given; returns
    the map's axes (the figure is ``ax.figure``)."""
    from matplotlib.colors import Normalize
    plt = _mpl.pyplot()
    if not isinstance(ff, FiniteFault):
        ff = sources.read(ff, format=format, reference=reference)
    sub = ff.subfaults
    if len(sub) == 0:
        raise ValueError(f"{ff.path or 'the model'}: the model has no subfaults")
    slip = sub["slip"].astype(float) if time is None else slip_at(ff, time)
    top = float(np.max(sub["slip"]))
    norm = Normalize(min(0.0, float(np.min(sub["slip"]))), top if top > 0 else 1.0)
    own = ax is None
    planes = []
    if own:
        count = len(np.unique(sub["segment"])) if plane else 0
        fig = plt.figure(figsize=(13.0 if plane else 7.5, min(16.0, max(5.6, 1.2 + 2.3 * count))),
                         layout="constrained")
        grid = fig.add_gridspec(max(count, 1), 2 if plane else 1, width_ratios=[1.0, 1.25] if plane else None)
        ax = fig.add_subplot(grid[:, 0], label="map")
        for k in range(count):
            planes.append(fig.add_subplot(grid[k, 1], sharex=planes[0] if planes else None, label="fault plane"))
    else:
        fig = ax.figure
    polys = _draw_map(ax, ff, slip, norm, coast)
    if planes:
        _draw_planes(planes, ff, slip, norm)
    fig.colorbar(polys, ax=[ax] + planes, label="slip (m)" if time is None else f"slip at {time:g} s (m)",
                 shrink=0.8)
    name = os.path.basename(ff.path) if ff.path else "finite-fault model"
    when = "" if time is None else f"; slip at t = {time:g} s of {kinematics.rupture_end(sub):.0f} s"
    text = title or f"{name}: Mw {ff.Mw:.2f}, {len(sub)} subfaults, largest slip {float(np.max(slip)):.2f} m{when}"
    if own:
        fig.suptitle(text)
    else:
        ax.set_title(text)
    if path is not None:
        _mpl.save(fig, path, dpi, close=own)
    return ax
