"""Tsunami-model initial conditions from finite-fault models.

    python3 -m vadrel.tsunami MODEL --region W E S N --spacing ARCMIN [--times N | --times T1,T2,...]
        [--rupture-velocity KM_S] [--bathymetry FILE] [--horizontal] [--kajiura] [--frame local|utm]
        [--zone Z] [--format F] -o OUT

:func:`dtopo` turns a finite-fault model (:mod:`vadrel.sources`) into the
vertical motion of the sea floor (or of the sea surface) on a
longitude/latitude grid, through the module's batch kernels; :class:`DTopo`
writes it in the layouts tsunami models read (:mod:`vadrel.io.grids`).

Modules: :mod:`~vadrel.tsunami.frames` (how nodes reach each subfault),
:mod:`~vadrel.tsunami.levels` (the sum over subfaults),
:mod:`~vadrel.tsunami.kinematics` (slip against time),
:mod:`~vadrel.tsunami.filters` (horizontal term, sea-surface filter),
:mod:`~vadrel.tsunami.dtopo` (the whole and its result).

Conventions
-----------
* Grid axes ascending, degrees, in either longitude convention;
  ``dz[frame, lat, lon]`` in metres, up positive.
* Subfaults: top-centre reference, strike from true north, slip in metres,
  Poisson solid (lambda = mu).  Slip, lengths and depths as in
  :data:`vadrel.geometry.SUBFAULT_DTYPE`.
* Static source: one frame at time 0.  Kinematic source: each subfault slips
  from its rupture time over its rise time along the slip-rate function its
  model states (the asymmetric cosine of a subfault table's t_ris and t_fal,
  a database file's stated function, else the smooth ramp
  ``(1 - cos(pi * tau)) / 2``, tau = (t - t_rup) / t_rise clipped to [0, 1]:
  :mod:`~vadrel.tsunami.kinematics`); a subfault with no rupture time starts
  at 0 (or when a front at ``rupture_velocity`` from the hypocentre reaches
  it); with no rise time, or a rise time of 0, it slips at once.
* :class:`DTopo` objects on the same grid and times add: ``a + b`` (or
  ``sum([...])``) is the motion of several models together.
"""
from __future__ import annotations

from .._moved import moved
from ..geometry import subfault_outlines
from ..io.grids import read_bathymetry
from .dtopo import FORMATS, DTopo, dtopo, read_dtopo
from .filters import horizontal_term, kajiura_filter
from .kinematics import ramp_weights, rupture_end, slip_fraction
from .levels import BLEND, DEEP, NEAR, RATIO

__all__ = ["DTopo", "dtopo", "read_bathymetry", "read_dtopo", "plot_dtopo", "FORMATS", "horizontal_term",
           "kajiura_filter", "ramp_weights", "rupture_end", "slip_fraction", "subfault_outlines", "RATIO", "NEAR",
           "BLEND", "DEEP", "main"]


# Kept for their callers: the picture and the command line, above this package.
__getattr__ = moved(__name__, {"plot_dtopo": "vadrel.plot.dtopo", "main": "vadrel.cli.tsunami"})
