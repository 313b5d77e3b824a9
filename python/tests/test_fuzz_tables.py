"""The other text readers fuzzed like the finite-fault ones
(test_fuzz_sources.py): radar and GNSS data tables, print files and
initial-condition files, from random lines and from mutated copies of real
ones.  Each returns or raises a ValueError naming the file; nothing else.

A few seconds by default; longer by hand with ``VADREL_FUZZ_EXAMPLES``."""
import os
import warnings

import numpy as np
import pytest
from hypothesis import given, strategies as st

import vadrel
from vadrel.io.datasets import load_dataset
from vadrel.io.ini import read_ini_file
from vadrel.io.print_file import read_print_file

from conftest import SOURCE
from test_fuzz_sources import EXAMPLES, FUZZ, NUMBERS, mutations

SAREZ = SOURCE.parent / "shared" / "data" / "insar" / "sarez2015_ascending.txt"
GNSS = ("x y e n u se sn su\n 0.0 10.0 12.5 -3.0 1.0 1.5 1.5 4.0\n 25.0 -5.0 -7.5 2.0 -0.5 1.2 1.3 3.5\n"
        "-40.0 30.0 3.1 0.4 0.2 1.1 1.0 3.0\n")
LONLAT = ("lon lat los e n u sigma\n72.10 38.40 31.5 -0.54 -0.10 0.836 3\n359.9 38.6 -12.0 -0.55 -0.10 0.83 3\n"
          "-0.1 38.7 4.0 -0.56 -0.10 0.82 3\n")


def readers(path):
    """Every way one of these tables is read."""
    for kind in ("los", "gnss"):
        yield lambda kind=kind: load_dataset(path, kind=kind)
    yield lambda: load_dataset(path, kind="los", normalise=True, origin=(72.0, 38.5))
    yield lambda: read_print_file(path)
    yield lambda: read_ini_file(path, (3, 4))


def check(path):
    for call in readers(path):
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                call()
        except ValueError as e:
            assert str(path) in str(e), f"{type(e).__name__} without the file: {str(e)[:300]}"


def real_files(tmp_path):
    """Small real tables: the radar data's head, GNSS, longitudes and
    latitudes, a print file and an initial-condition file of the program."""
    files = {"sarez.txt": "\n".join(SAREZ.read_text().splitlines()[:40]) + "\n", "gnss.txt": GNSS,
             "lonlat.txt": LONLAT}
    for name, text in files.items():
        (tmp_path / name).write_text(text)
    (tmp_path / "p").write_text("M 0 0 1 1 4 3\n 1 2 5.5\n 3 -4 -2.0\n")
    (tmp_path / "f").write_text(" 0 0 10 0 12 60 3e10 3e10 500 1000 0 20 10 s\n")
    here = os.getcwd()
    os.chdir(tmp_path)                      # the M card's disp.ini goes to the current directory
    try:
        assert vadrel.run("p", "f", "print.out", "residualvector") == 0
    finally:
        os.chdir(here)
    return [tmp_path / n for n in files] + [tmp_path / "print.out", tmp_path / "disp.ini"]


WORDS = ["x", "y", "los", "e", "n", "u", "se", "sn", "su", "sigma", "lon", "lat", "#", ",", "*", "X(km)",
         "Y(km)", "nan", "inf", "1e999", "-0", "\t", "\x00", "\u00e9", "9" * 400]
LINE = st.lists(st.one_of(st.sampled_from(WORDS), NUMBERS), max_size=10).map(" ".join)


@FUZZ
@given(st.lists(LINE, min_size=1, max_size=25))
def test_random_tables(tmp_path, lines):
    p = tmp_path / "t.txt"
    p.write_text("\n".join(lines) + "\n")
    check(p)


def test_replay_mutated_tables(tmp_path):
    rng = np.random.default_rng(28)
    for source in real_files(tmp_path):
        data = source.read_bytes()
        for k, mutated in enumerate(mutations(data, rng, max(12, EXAMPLES // 5))):
            p = tmp_path / f"m{k}_{source.name}"
            p.write_bytes(mutated)
            check(p)


@pytest.mark.parametrize("where", ["header", "value"])
def test_a_2_mb_line(tmp_path, where):
    # Read or refused in time linear in its size (timed in bench, not here).
    big = "1" * (2 << 20)
    text = f"x y los e n {big}\n" if where == "header" else f"x y los e n u\n0 0 {big} -0.6 -0.1 0.79\n"
    p = tmp_path / "big.txt"
    p.write_text(text)
    check(p)
