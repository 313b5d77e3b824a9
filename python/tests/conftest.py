"""Shared helpers: the built program, the source tree, and the print-file
layouts written out independently of the module (Fortran-style fields)."""
import os
import pathlib
import shutil
import subprocess

import pytest

SOURCE = pathlib.Path(os.environ.get("VADREL_SOURCE", pathlib.Path(__file__).resolve().parents[2]))
EXAMPLES = SOURCE / "examples"
TABLE = SOURCE / "tests" / "data" / "okada_surface.tsv"


def _binary():
    b = os.environ.get("VADREL_BINARY")
    if b:
        return pathlib.Path(b).resolve()
    for d in ("build", "build-py", "build-release"):
        p = SOURCE / d / "vadrel"
        if p.exists():
            return p
    return None


@pytest.fixture(scope="session")
def binary():
    b = _binary()
    if b is None or not b.exists():
        pytest.fail("the vadrel program is not built (set VADREL_BINARY)")
    return b


def run_program(binary, points, faults, option, cwd, print_name="out.txt"):
    """Runs the program in `cwd`; returns (status, console text, print-file lines)."""
    r = subprocess.run([str(binary), str(points), str(faults), print_name, option], cwd=cwd,
                       capture_output=True, text=True, check=False)
    out = pathlib.Path(cwd) / print_name
    lines = out.read_text().splitlines() if out.exists() else []
    return r.returncode, r.stdout, lines


def records(lines):
    """The point records of a print file (headers and echo lines dropped)."""
    return [l for l in lines if l.strip() and not l.lstrip().startswith("*")]


def fields(record, width):
    """Fixed-layout fields: each one blank then `width` columns."""
    n = len(record) // (width + 1)
    return [record[k * (width + 1) + 1:(k + 1) * (width + 1)] for k in range(n)]


def fmt_f(v, w, d):
    s = f"{v:.{d}f}"
    return "*" * w if len(s) > w else s.rjust(w)


def fmt_e(v, w, d):
    """Ew.d as the README describes it: one non-zero digit before the point,
    an exponent of three digits written without the letter."""
    m, e = f"{v:.{d}E}".split("E")
    e = int(e)
    s = m + (f"E{e:+03d}" if abs(e) < 100 else f"{e:+04d}")
    return "*" * w if len(s) > w else s.rjust(w)


@pytest.fixture
def workdir(tmp_path):
    """A scratch directory holding copies of the bundled examples."""
    for p in EXAMPLES.iterdir():
        if p.is_file():
            shutil.copy(p, tmp_path / p.name)
    return tmp_path
