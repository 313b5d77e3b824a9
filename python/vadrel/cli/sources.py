"""``python3 -m vadrel.sources``: a published finite-fault model in, the
program's faults file out."""
from __future__ import annotations

import sys

from .. import sources
from . import Parser, check_files, command, quiet_pipe, warnings_as_lines

__all__ = ["main"]

PROG = "vadrel.sources"


@command(PROG)
def main(argv=None) -> int:
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
    p.add_argument("--lam", type=float, help="lambda in Pa (default: equal to each subfault's rigidity)")
    p.add_argument("-o", "--output", required=True, help="faults file to write")
    a = p.parse_args(argv)
    check_files([("output", a.output)], [("model", a.model)])
    try:
        with warnings_as_lines(PROG):
            ff = sources.read(a.model, format=a.format, reference=a.reference)
            zone = ff.default_zone() if a.zone is None else a.zone
            faults = ff.to_faults(zone=zone, origin=a.origin, lam=a.lam)
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
