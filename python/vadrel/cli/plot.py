"""``python3 -m vadrel.plot``: print files, initial-condition files,
finite-fault models and tsunami sources drawn as maps (PNG)."""
from __future__ import annotations

import os
import sys
import warnings

from .. import sources
from ..plot import AliasWarning, plot_dtopo, plot_finite_fault, plot_ini, plot_print_file
from ..plot import _mpl
from . import Parser, check_files, command

__all__ = ["main"]

_MODEL_SUFFIXES = (".fsp", ".param", ".csv")
_DTOPO_SUFFIXES = (".tt3", ".nc")


@command("vadrel.plot")
def main(argv=None) -> int:
    ap = Parser(prog="python3 -m vadrel.plot",
                                 description="Draw a vadrel print file or initial-condition file (.ini) as a "
                                             "map (PNG).")
    ap.add_argument("input", help="print file, initial-condition file (.ini), finite-fault model (.fsp, .param, "
                                  ".csv) or tsunami source (.tt3, .nc)")
    ap.add_argument("-o", "--output", help="PNG file (default: the input's name with .png)")
    ap.add_argument("--faults", help="faults file: draw the segments' surface projections")
    ap.add_argument("--value", help="column in colour (range, residual, observed, up, east, north, norm, "
                                    "a strain column such as duzde, or a parameter such as dip)")
    ap.add_argument("--kind", help="record kind to draw when a print file holds several")
    ap.add_argument("--wrap", type=float, help="wrap into fringes of this half-wavelength, mm (28.3 for C band)")
    ap.add_argument("--grid", help="curvilinear grid file of the .ini (U or S card)")
    ap.add_argument("--card", help="the G or M card line of the .ini, e.g. 'M -50 -50 1 1 101 101'")
    ap.add_argument("--depth", help="depth/mask file of the grid (--grid): land cells drawn apart from zero uplift")
    ap.add_argument("--shape", type=int, nargs=2, metavar=("ROWS", "COLUMNS"),
                    help="rows and columns of the .ini's uplift grid, drawn on its index axes")
    ap.add_argument("--look", type=float, nargs=3, metavar=("E", "N", "U"),
                    help="the run's look vector, to compute dense fringes of range records with --faults")
    ap.add_argument("--model", help="finite-fault model of a .tt3/.nc source: its subfaults outlined")
    ap.add_argument("--title", help="title of the map")
    ap.add_argument("--dpi", type=int, default=100)
    a = ap.parse_args(argv)
    _mpl.use_agg()
    kind = os.path.splitext(a.input)[1].lower()
    out = a.output or os.path.splitext(a.input)[0] + ".png"
    check_files([("output", out)], [("input", a.input), ("faults file", a.faults), ("grid file", a.grid),
                                    ("depth file", a.depth), ("model", a.model)])
    try:
        with warnings.catch_warnings(record=True) as notes:
            warnings.simplefilter("always", AliasWarning)
            if kind in _MODEL_SUFFIXES:
                plot_finite_fault(sources.read(a.input), out)
            elif kind in _DTOPO_SUFFIXES:
                plot_dtopo(a.input, out, source=a.model, title=a.title)
            elif a.input.endswith(".ini"):
                plot_ini(a.input, out, grid=a.grid, card=a.card, depth=a.depth, shape=a.shape, faults=a.faults,
                         title=a.title, dpi=a.dpi)
            else:
                plot_print_file(a.input, out, value=a.value, faults=a.faults, wrap=a.wrap, title=a.title,
                                kind=a.kind, look=a.look, dpi=a.dpi)
    except (ValueError, OSError) as e:
        print(f"vadrel.plot: {e}", file=sys.stderr)
        return 1
    for n in notes:
        print(f"vadrel.plot: {out}: {n.message}", file=sys.stderr)
    print(out)
    return 0
