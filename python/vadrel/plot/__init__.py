"""Maps of vadrel's outputs (matplotlib, imported when a picture is drawn).

    python3 -m vadrel.plot PRINT_FILE -o map.png [--faults FAULTS] [--value NAME] [--wrap 28.3] [--look E N U]
    python3 -m vadrel.plot FILE.ini -o uplift.png [--grid GRID.grd [--depth DEPTH.dep] |
                           --card "M x0 y0 dx dy nx ny" | --shape ROWS COLUMNS] [--faults FAULTS]
    python3 -m vadrel.plot MODEL.fsp|.param|.csv -o slip.png
    python3 -m vadrel.plot DTOPO.tt3|.nc -o dz.png [--model MODEL]

A print file is drawn as a map of its points: the range change (or, for
``residual`` records, the residual) in colour, optionally wrapped into
fringes of a radar half-wavelength in mm (``--wrap 28.3`` for C band);
``vector`` records as arrows of the horizontal motion over the colour of the
vertical; ``strain`` and partial-derivative records as one chosen column
(``--value duzde``, ``--value dip``).  With ``--faults`` the surface
projections of the segments are drawn (outline, the top edge bold).

Fringes are drawn only where they can be seen: where they would be denser
than one per two pixels (or one per two samples of a coarse print file) the
map is grey and a warning says how dense they get and over how much of the
map.  With ``--faults`` (the run's faults file) and a known look vector (the
range of ``vector`` records gives it, or ``--look``) the field is computed
anew at one sample per pixel, so only fringes finer than the pixels are
left grey.

An initial-condition file (.ini) is drawn as an uplift map: on the cells of
its curvilinear grid with ``--grid`` (land cells of the depth/mask file given
with ``--depth`` drawn in a land colour, apart from zero uplift), on the nodes
of a ``G`` or ``M`` card with ``--card`` (the card's line from the points
file), or on the grid's index axes: of ``--shape``, of the grid file beside
it (``bay.grd`` for ``bay.ini``), or of the shape its line breaks show.

A finite-fault model (``.fsp``, ``.param``, ``.csv``: see
:mod:`vadrel.sources`) is drawn as its slip on the subfaults in map view,
with the boundary polygons and the hypocentre; a tsunami source (``.tt3`` or
``.nc``: see :mod:`vadrel.tsunami`) as a map of its sea-floor uplift dz,
with the subfault outlines of ``--model``.

Modules: one per kind of picture -- :mod:`~vadrel.plot.print_file`,
:mod:`~vadrel.plot.ini`, :mod:`~vadrel.plot.finite_fault`,
:mod:`~vadrel.plot.dtopo`, :mod:`~vadrel.plot.fit`; :mod:`~vadrel.plot._mpl`
imports matplotlib when a picture is drawn and never chooses a backend
(the command line picks Agg: it only writes files).
"""
from __future__ import annotations

from .._moved import moved
from ..geometry import segment_outline
from ..io.ini import ini_shape, read_ini_file
from ..io.print_file import read_print_file
from .dtopo import plot_dtopo
from .finite_fault import plot_finite_fault
from .fit import plot_fit, plot_slip
from .ini import plot_ini
from .print_file import AliasWarning, plot_print_file

__all__ = ["read_print_file", "read_ini_file", "ini_shape", "segment_outline", "plot_print_file", "plot_ini",
           "plot_finite_fault", "plot_dtopo", "plot_fit", "plot_slip", "main", "AliasWarning"]


# Kept for its callers: the command line, above this package.
__getattr__ = moved(__name__, {"main": "vadrel.cli.plot"})
