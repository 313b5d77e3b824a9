"""The finite-fault, unit-source, bathymetry and dtopo-grid readers fuzzed: random lines of
the formats' own words, mutated real lines, and mutated copies of every published file in
../shared/data/finite-faults and every fixture.  Each reader returns or raises a ValueError
naming the file; nothing else.  Seconds by default (derandomised, fixed seeds); longer by
hand with ``VADREL_FUZZ_EXAMPLES=5000``."""
import os
import pathlib
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from vadrel import sources
from vadrel.io import grids, recognise
from vadrel.io.unit_sources import read_unit_sources

from conftest import SOURCE

EXAMPLES = int(os.environ.get("VADREL_FUZZ_EXAMPLES", "60"))
DATA = pathlib.Path(os.environ.get("VADREL_FINITE_FAULTS", SOURCE.parent / "shared" / "data" / "finite-faults"))
FIX = pathlib.Path(__file__).parent / "fixtures" / "finite_faults"
FILES = sorted(FIX.iterdir()) + (sorted(DATA.glob("*.param")) + sorted(DATA.glob("*.fsp")) if DATA.is_dir() else [])
FUZZ = settings(max_examples=EXAMPLES, deadline=None, derandomize=True,
                suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])


def readers(path):
    """Every way a finite-fault file is read."""
    yield lambda: recognise.read_model(path)
    for fmt in ("param", "fsp", "csv"):
        yield lambda fmt=fmt: recognise.read_model(path, fmt, "top center" if fmt == "csv" else None)
    yield lambda: read_unit_sources(path)
    yield lambda: sources.read(path, reference="centroid").to_faults(above_surface="allow")


def check(path, calls):
    for call in calls:
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                call()
        except ValueError as e:
            assert str(e).startswith(str(path)), f"{type(e).__name__} without the file: {str(e)[:300]}"


WORDS = ["#", "%", "#Total number of fault_segments=", "#Fault_segment", "=", "nx(Along-strike)=", "ny(downdip)=",
         "Dx", "Dy", "km", "2.00km", "#Boundary of Fault_segment", "EQ in cell (", "1,", "2).", "Lon:", "Lat:",
         "#Lat.", "Lon.", "depth", "slip", "rake", "strike", "dip", "t_rup", "t_ris", "t_fal", "mo", "slip(cm)",
         "rigidity(dyne/cm2)", "#+++", "+++", "LAT", "LON", "X==EW", "Y==NS", "Z", "SLIP", "RAKE", "TRUP", "RISE",
         "SF_MOMENT", "Invs", ":", "Nx", "Nz", "Dz", "Nsg", "SEGMENT", "# 2", "Htop", "Mo", "SVF", "center",
         "Coordinates are given for", "of each subfault", "DEPTH", "S_VEL", "DENS", "lon,lat,depth", ",", ";",
         "length,width,strike,dip,rake,slip", "UnitSrc", "segment", "name", "nan", "inf", "-1e308", "1e999", "0",
         "-0", "90", "91", "1D+02", "x", '"', "\t", "\x00", "\u00e9", "1" * 300]
NUMBERS = st.one_of(st.floats(allow_nan=True, allow_infinity=True, width=64).map(repr),
                    st.integers(-10 ** 12, 10 ** 12).map(str))
LINE = st.lists(st.one_of(st.sampled_from(WORDS), NUMBERS), max_size=14).map(" ".join)


@FUZZ
@given(st.lists(LINE, min_size=1, max_size=30))
def test_random_lines(tmp_path, lines):
    p = tmp_path / "f.txt"
    p.write_text("\n".join(lines) + "\n")
    check(p, readers(p))


REAL = [line for f in FILES for line in f.read_text().splitlines()[:60]]


@FUZZ
@given(st.lists(st.tuples(st.sampled_from(REAL), st.integers(0, 5), st.integers(0, 200), LINE), min_size=1,
                max_size=25))
def test_mutated_real_lines(tmp_path, picks):
    out = []
    for line, how, at, word in picks:           # kept, a word inserted, cut, commas, words reversed, kept
        out.append([line, line[:at] + word + line[at:], line[:at], line.replace(" ", ","),
                    " ".join(reversed(line.split())), line][how])
    p = tmp_path / "m.txt"
    p.write_text("\n".join(out) + "\n")
    check(p, readers(p))


def mutations(data, rng, count):
    """Mutated copies of a file's bytes: byte flips, truncations,
    duplicated, removed and swapped lines, huge tokens."""
    lines = data.split(b"\n")
    for k in range(count):
        how = k % 6
        if how == 0:
            b = bytearray(data)
            for i in rng.integers(0, len(b), size=1 + k % 5):
                b[i] ^= 1 << int(rng.integers(0, 8))
            yield bytes(b)
        elif how == 1:
            yield data[:int(rng.integers(0, len(data)))]
        elif how in (2, 3):                      # a line duplicated or removed
            i = int(rng.integers(0, len(lines)))
            yield b"\n".join(lines[:i + (how == 2)] + lines[i + (how == 3):])
        elif how == 4:
            i = int(rng.integers(0, len(lines)))
            words = lines[i].split()
            j = int(rng.integers(0, len(words) + 1))
            token = [b"9" * 100000, b"x" * 100000, b"=" * 50000, b"1e" + b"9" * 5000, b"-" * 70000][k % 5]
            yield b"\n".join(lines[:i] + [b" ".join(words[:j] + [token] + words[j:])] + lines[i + 1:])
        else:
            i, j = (int(v) for v in rng.integers(0, len(lines), size=2))
            lines2 = list(lines)
            lines2[i], lines2[j] = lines2[j], lines2[i]
            yield b"\n".join(lines2)


@pytest.mark.parametrize("source", FILES, ids=lambda p: p.name)
def test_replay_mutated_files(tmp_path, source):
    rng = np.random.default_rng(29)
    data = source.read_bytes()
    for k, mutated in enumerate(mutations(data, rng, max(12, EXAMPLES // 5))):
        p = tmp_path / f"{k}{source.suffix}"
        p.write_bytes(mutated)
        check(p, readers(p))


def test_replay_mutated_grids(tmp_path):
    rng = np.random.default_rng(4)
    lon, lat = np.linspace(-72.0, -71.0, 7), np.linspace(-33.0, -32.5, 5)
    for fmt in ("tt3", "asc", "netcdf"):
        source = tmp_path / f"grid.{grids.FORMATS[fmt].lstrip('.')}"
        grids.write_grid(source, lon, lat, [0.0, 5.0], np.sin(np.arange(2 * 5 * 7)).reshape(2, 5, 7), fmt)
        data = source.read_bytes()
        for k, mutated in enumerate(mutations(data, rng, max(12, EXAMPLES // 5))):
            p = tmp_path / f"m{k}{source.suffix}"
            p.write_bytes(mutated)
            check(p, [lambda: grids.read_grid(p), lambda: grids.read_bathymetry(p)])


@FUZZ
@given(st.lists(st.tuples(st.sampled_from(["mx", "my", "mt", "xlower", "ylower", "dx", "dy", "t0", "dt",
                                           "ncols", "nrows", "cellsize", "xllcorner", "nodata_value", "q"]),
                          NUMBERS, st.booleans()), max_size=10),
       st.lists(NUMBERS, max_size=40))
def test_random_grid_headers(tmp_path, header, values):
    p = tmp_path / "g.tt3"
    head = "".join(f"{v} {k}\n" if first else f"{k} {v}\n" for k, v, first in header)
    p.write_text(head + " ".join(values) + "\n")
    check(p, [lambda: grids.read_grid(p), lambda: grids.read_bathymetry(p)])


def test_a_huge_grid_header_is_refused_before_allocating(tmp_path):
    p = tmp_path / "big.asc"
    p.write_text("ncols 100000\nnrows 100000\nxllcorner 0\nyllcorner 0\ncellsize 0.01\n1 2 3\n")
    with pytest.raises(ValueError, match=r"line 5: the header declares 1 x 100000 x 100000 = 10000000000 values; "
                                         r"the file's \d+ bytes hold at most"):
        grids.read_bathymetry(p)
