"""``python3 -m vadrel.plot``: finite-fault models, tsunami sources, print
files and initial-condition files drawn as pictures (PNG, or the format of
the output's extension).

What the input holds is read from its content, whatever its name
(:func:`vadrel.plot.inputs.kind_of`); initial-condition files, bare numbers,
are known by the ``.ini`` ending or by the grid options that go with them."""
from __future__ import annotations

import math
import os
import sys
import warnings
from collections.abc import Sequence

from ..io.recognise import READERS
from ..plot import AliasWarning, plot_dtopo, plot_finite_fault, plot_ini, plot_print_file
from ..plot import _mpl
from ..plot.inputs import kind_of
from . import Parser, UsageError, check_files, command

__all__ = ["main"]

_DESCRIPTION = """\
Draw a finite-fault model (subfault table, rupture-model database file or
subfault CSV: map of the slip beside the fault-plane view of each segment), a
tsunami source (tt3, tt1 or NetCDF: map of dz), a print file of the program
or an initial-condition file (.ini) as a picture.  The kind of input is read
from its content, not its name."""


def _finite(text):
    v = float(text)
    if not math.isfinite(v):
        raise ValueError(text)
    return v


_finite.__name__ = "finite number"      # argparse's words for a value it refuses


@command("vadrel.plot")
def main(argv: Sequence[str] | None = None) -> int:
    ap = Parser(prog="python3 -m vadrel.plot", description=_DESCRIPTION)
    ap.add_argument("input", help="finite-fault model, tsunami source, print file or initial-condition file (.ini)")
    ap.add_argument("-o", "--output", help="picture file, PNG unless its extension names another format "
                                           "(default: the input's name with .png)")
    ap.add_argument("--title", help="title of the picture")
    ap.add_argument("--dpi", type=int, default=None, help="dots per inch (default 110 for models and sources, "
                                                          "100 otherwise)")
    g = ap.add_argument_group("finite-fault models and tsunami sources")
    g.add_argument("--reference", help="reference point of the model's subfault coordinates (top center, "
                                       "centroid, bottom center, top corner, noaa sift); needed for a CSV")
    g.add_argument("--format", choices=tuple(READERS), help="layout of the model, when its content does not tell")
    g.add_argument("--time", type=_finite, metavar="T",
                   help="seconds from the rupture's start: the slip reached then (kinematic model), or the "
                        "source's frame nearest it")
    g.add_argument("--frame", type=int, help="frame of a tsunami source to draw, from 0 (negative from the "
                                             "end; default the last)")
    g.add_argument("--model", help="finite-fault model of a tsunami source: its subfaults outlined")
    g.add_argument("--coast", dest="coast", action="store_true", default=None,
                   help="draw the coastlines, failing when GMT and its GSHHG data are not installed "
                        "(default: drawn when they are)")
    g.add_argument("--no-coast", dest="coast", action="store_false", help="no coastlines")
    g.add_argument("--no-plane", dest="plane", action="store_false", default=True,
                   help="the map of a model alone, without the fault-plane view")
    g = ap.add_argument_group("print files and initial-condition files")
    g.add_argument("--faults", help="faults file: draw the segments' surface projections")
    g.add_argument("--value", help="column in colour (range, residual, observed, up, east, north, norm, "
                                   "a strain column such as duzde, or a parameter such as dip)")
    g.add_argument("--kind", help="record kind to draw when a print file holds several")
    g.add_argument("--wrap", type=float, help="wrap into fringes of this half-wavelength, mm (28.3 for C band)")
    g.add_argument("--look", type=float, nargs=3, metavar=("E", "N", "U"),
                   help="the run's look vector, to compute dense fringes of range records with --faults")
    g.add_argument("--grid", help="curvilinear grid file of the .ini (U or S card)")
    g.add_argument("--card", help="the G or M card line of the .ini, e.g. 'M -50 -50 1 1 101 101'")
    g.add_argument("--depth", help="depth/mask file of the grid (--grid): land cells drawn apart from zero uplift")
    g.add_argument("--shape", type=int, nargs=2, metavar=("ROWS", "COLUMNS"),
                   help="rows and columns of the .ini's uplift grid, drawn on its index axes")
    a = ap.parse_args(argv)
    if a.dpi is not None and not 10 <= a.dpi <= 2000:
        raise UsageError(f"--dpi must be 10 to 2000, got {a.dpi}")
    out = a.output or os.path.splitext(a.input)[0] + ".png"
    check_files([("output", out)], [("input", a.input), ("faults file", a.faults), ("grid file", a.grid),
                                    ("depth file", a.depth), ("model", a.model)])
    ini = a.input.lower().endswith(".ini") or any(v is not None for v in (a.grid, a.card, a.shape, a.depth))
    kind = "ini" if ini else kind_of(a.input)
    _check_options(kind, a)
    _mpl.use_agg()
    with warnings.catch_warnings(record=True) as notes:
        warnings.simplefilter("always", AliasWarning)
        if kind == "model":
            plot_finite_fault(a.input, out, time=a.time, reference=a.reference, format=a.format, coast=a.coast,
                              plane=a.plane, title=a.title, dpi=a.dpi or 110)
        elif kind == "dtopo":
            plot_dtopo(a.input, out, source=a.model, frame=a.frame, time=a.time, title=a.title,
                       reference=a.reference, coast=a.coast, dpi=a.dpi or 110)
        elif kind == "ini":
            plot_ini(a.input, out, grid=a.grid, card=a.card, depth=a.depth, shape=a.shape, faults=a.faults,
                     title=a.title, dpi=a.dpi or 100)
        else:
            plot_print_file(a.input, out, value=a.value, faults=a.faults, wrap=a.wrap, title=a.title,
                            kind=a.kind, look=a.look, dpi=a.dpi or 100)
    for n in notes:
        print(f"vadrel.plot: {out}: {n.message}", file=sys.stderr)
    print(out)
    return 0


# Options and the inputs they go with.
_ONLY = {
    "model": {"dtopo"}, "reference": {"model", "dtopo"}, "format": {"model"}, "time": {"model", "dtopo"},
    "frame": {"dtopo"}, "coast": {"model", "dtopo"}, "plane": {"model"}, "faults": {"print", "ini"},
    "value": {"print"}, "kind": {"print"}, "wrap": {"print"}, "look": {"print"},
}
_DEFAULTS = {"plane": True}


def _check_options(kind, a):
    """UsageError for an option that does nothing with this kind of input
    (rather than a picture that silently ignores it)."""
    what = {"model": "a finite-fault model", "dtopo": "a tsunami source", "print": "a print file",
            "ini": "an initial-condition file"}[kind]
    for name, kinds in _ONLY.items():
        value = getattr(a, name)
        if value is None or value == _DEFAULTS.get(name) or kind in kinds:
            continue
        flag = {"coast": "--coast" if value else "--no-coast", "plane": "--no-plane"}.get(name, "--" + name)
        raise UsageError(f"{flag} does not apply to {a.input}: it is {what}")
    if kind == "dtopo" and a.reference is not None and a.model is None:
        raise UsageError(f"--reference goes with --model for a tsunami source ({a.input})")
