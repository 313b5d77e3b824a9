"""Pictures of vadrel's inputs and outputs (matplotlib, imported when a
picture is drawn).

    python3 -m vadrel.plot MODEL [--reference R] [--format F] [--time T] [--no-plane] [--coast | --no-coast]
    python3 -m vadrel.plot SOURCE [--model MODEL [--reference R]] [--frame K | --time T] [--coast | --no-coast]
    python3 -m vadrel.plot PRINT_FILE [--faults FAULTS] [--value NAME] [--wrap 28.3] [--look E N U]
    python3 -m vadrel.plot FILE.ini [--grid GRID.grd [--depth DEPTH.dep] |
                           --card "M x0 y0 dx dy nx ny" | --shape ROWS COLUMNS] [--faults FAULTS]

What a file holds is read from its content, not its name
(:func:`~vadrel.plot.inputs.kind_of`): a finite-fault model, a tsunami
source (tt3, tt1, NetCDF) or a print file; initial-condition files (bare
numbers) by their ``.ini`` ending.

A finite-fault model is drawn as the map of its subfaults coloured by slip,
with rake arrows, the hypocentre, the boundary polygons and the coastlines,
beside the fault-plane view of each segment (along strike against depth);
``time`` gives the slip reached then in a kinematic model
(:mod:`~vadrel.plot.finite_fault`, :mod:`~vadrel.plot.plane`).  A tsunami
source is drawn as a map of one frame of dz on a scale symmetric about zero,
with the model's subfaults outlined (:mod:`~vadrel.plot.dtopo`).
Coastlines come from GMT's GSHHG shorelines when GMT is installed and are
simply absent otherwise (:mod:`~vadrel.plot.coast`).

A print file is drawn as a map of its points: the range change (or, for
``residual`` records, the residual) in colour, optionally wrapped into
fringes of a radar half-wavelength in mm (``--wrap 28.3`` for C band);
``vector`` records as arrows of the horizontal motion over the colour of the
vertical; ``strain`` and partial-derivative records as one chosen column.
Fringes too dense to see are drawn grey (:class:`AliasWarning`); with the
run's faults and look vector the field is computed anew at every pixel
(:mod:`~vadrel.plot.print_file`).  An initial-condition file is drawn as an
uplift map on its curvilinear grid, a ``G`` or ``M`` card's nodes, or its
index axes (:mod:`~vadrel.plot.ini`).

Modules: one per kind of picture -- :mod:`~vadrel.plot.print_file`,
:mod:`~vadrel.plot.ini`, :mod:`~vadrel.plot.finite_fault`,
:mod:`~vadrel.plot.dtopo`, :mod:`~vadrel.plot.fit`, :mod:`~vadrel.plot.slip` (slip maps,
resolution, L-curve, checkerboard), :mod:`~vadrel.plot.insar`
(quadtree leaves, semivariograms) -- and what they share:
:mod:`~vadrel.plot.inputs` (what a file holds), :mod:`~vadrel.plot.plane`
(the fault-plane frame), :mod:`~vadrel.plot.coast` (coastlines);
:mod:`~vadrel.plot._mpl` imports matplotlib when a picture is drawn and
never chooses a backend (the command line picks Agg: it only writes files).
Full reference: ``doc/plot.md``.
"""
from __future__ import annotations

from .._moved import moved
from ..geometry import segment_outline
from ..io.ini import ini_shape, read_ini_file
from ..io.print_file import read_print_file
from .coast import coastlines
from .dtopo import frame_index, plot_dtopo
from .finite_fault import plot_finite_fault, slip_at
from .fit import plot_fit
from .ini import plot_ini
from .inputs import kind_of, read_tsunami_source
from .insar import plot_leaves, plot_semivariogram
from .posterior import plot_posterior
from .print_file import AliasWarning, plot_print_file
from .slip import plot_checkerboard, plot_lcurve, plot_resolution, plot_slip

__all__ = ["read_print_file", "read_ini_file", "ini_shape", "segment_outline", "plot_print_file", "plot_ini",
           "plot_finite_fault", "plot_dtopo", "plot_fit", "plot_slip", "main", "AliasWarning", "slip_at",
           "frame_index", "kind_of", "read_tsunami_source", "coastlines", "plot_leaves", "plot_semivariogram",
           "plot_resolution", "plot_lcurve", "plot_checkerboard", "plot_posterior"]


# Kept for its callers: the command line, above this package.
__getattr__ = moved(__name__, {"main": "vadrel.cli.plot"})
