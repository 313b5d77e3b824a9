"""``python3 -m vadrel.sources``: a published finite-fault model in, the
program's faults file out."""
from __future__ import annotations

import sys
from collections.abc import Sequence

from .. import sources
from . import Parser, check_files, command, quiet_pipe, warnings_as_lines

__all__ = ["main", "pairs", "PROG"]

PROG = "vadrel.sources"


def pairs(text: str | None, option: str) -> dict[str, str | None] | None:
    """``NAME=VALUE,...`` as a dict (None for no text)."""
    if not text:
        return None
    out = {}
    for item in text.split(","):
        name, eq, value = item.partition("=")
        if not eq or not name.strip():
            raise ValueError(f"{option}: {item!r} is not NAME=VALUE")
        value = value.strip()
        out[name.strip()] = None if value.lower() in ("", "none", "-") else value
    return out



@command(PROG)
def main(argv: Sequence[str] | None = None) -> int:
    p = Parser(prog="python3 -m vadrel.sources",
                                description="Read a published finite-fault model and write the program's "
                                            "faults file.")
    p.add_argument("model", help="finite-fault model (subfault table, rupture-model database file or CSV)")
    p.add_argument("--zone", type=int, help="UTM zone (default: the zone of the model's moment-weighted mean "
                                            "longitude; a zone more than 3 degrees from the model warns)")
    p.add_argument("--origin", type=float, nargs=2, metavar=("LON", "LAT"),
                   help="positions relative to this point, as after a Z card (default: absolute UTM km)")
    p.add_argument("--format", choices=("param", "fsp", "csv"), help="the layout (default: from the content)")
    p.add_argument("--reference", help="reference point of the subfaults: top center, centroid, bottom center, "
                                       "top corner, noaa sift")
    p.add_argument("--columns", metavar="NAME=FIELD,...",
                   help="columns of a table no alias covers (e.g. xs=lon,ys=lat; FIELD none keeps one aside)")
    p.add_argument("--units", metavar="FIELD=UNIT,...", help="units of a table's fields (e.g. depth=m,slip=cm)")
    p.add_argument("--allow-above-surface", action="store_true",
                   help="write subfaults whose top is above the surface (refused otherwise)")
    p.add_argument("--lam", type=float, help="lambda in Pa (default: equal to each subfault's rigidity)")
    p.add_argument("-o", "--output", required=True, help="faults file to write")
    a = p.parse_args(argv)
    check_files([("output", a.output)], [("model", a.model)])
    try:
        with warnings_as_lines(PROG):
            ff = sources.read(a.model, format=a.format, reference=a.reference,
                              columns=pairs(a.columns, "--columns"), units=pairs(a.units, "--units"))
            zone = ff.default_zone() if a.zone is None else a.zone
            faults = ff.to_faults(zone=zone, origin=a.origin, lam=a.lam,
                                  above_surface="allow" if a.allow_above_surface else "refuse")
            sources.write_faults(faults, a.output)
    except (ValueError, OSError) as e:
        print(f"{PROG}: {e}", file=sys.stderr)
        return 1
    try:
        _print_summary(ff, a, zone, faults)
    except BrokenPipeError:
        quiet_pipe()
    return 0


def _print_summary(ff, a, zone, faults):
    for line in sources.summary(ff):
        print(line)
    frame = (f"km from lon {a.origin[0]:g} lat {a.origin[1]:g}, the frame after a card 'Z {zone} "
             f"{a.origin[0]:g} {a.origin[1]:g}'") if a.origin else \
        "absolute UTM km (easting with its 500 km false easting), the frame of G and S grid cards"
    print(f"frame: UTM zone {zone}, {frame}")
    print(f"wrote {a.output}: {len(faults)} segments", flush=True)
