"""The module against the program's own print files: every value equal to
the printed digits, on the bundled examples and on varied fault models."""
import random

import numpy as np
import pytest

import vadrel
from conftest import EXAMPLES, fields, fmt_e, fmt_f, records, run_program

LOOK = (-0.38, 0.09, 0.92)

# Segment 1 dips 30; then a vertical segment, one dipping 120 and one that
# ruptures the surface (depth = W sin(dip)); a ramp.
SEGMENTS = {
    "dip30": " 0.0 0.0 30.0 0 12.0 30.0 3.0e10 3.0e10 150.0 900.0 20.0 25.0 18.0 dip30",
    "dip90": " -20.0 10.0 100.0 1 10.0 90.0 3.0e10 2.0e10 -400.0 250.0 0.0 20.0 8.0 vertical",
    "dip120": " 15.0 -25.0 200.0 0 14.0 120.0 1.5e10 3.0e10 50.0 -600.0 100.0 15.0 10.0 dip120",
    "rupture": " -10.0 -30.0 90.0 0 5.0 30.0 3.0e10 3.0e10 300.0 500.0 0.0 12.0 10.0 rupture",
}
RAMP = "P 0.05 -0.02 3.0"


def faults_text(first):
    order = [first] + [k for k in SEGMENTS if k != first]
    return "# varied model\n" + "\n".join(SEGMENTS[k] for k in order) + "\n" + RAMP + "\n"


def varied_points():
    rnd = random.Random(7)
    pts = [(float(x), float(y)) for y in range(-44, 45, 8) for x in range(-44, 45, 8)]
    pts += [(round(rnd.uniform(-50, 50), 3), round(rnd.uniform(-50, 50), 3)) for _ in range(60)]
    # Exactly on the surface trace of the rupturing patch, inside its length.
    pts.append((-10.0 + 6.0, -30.0 + 10.0 * np.cos(np.radians(30.0))))
    # On its deep edge's start and near its corner.
    pts += [(-10.0, -30.0), (2.0, -30.0 + 1e-3)]
    return pts


def write_case(d, first, residual=False):
    pts = varied_points()
    lines = [f"V {LOOK[0]} {LOOK[1]} {LOOK[2]} 1.0"]
    for k, (x, y) in enumerate(pts):
        obs = f" {10.0 * np.sin(k):.1f}" if residual else ""
        lines.append(f" {x!r} {y!r}{obs} P{k:04d}")
    (d / "points.txt").write_text("\n".join(lines) + "\n")
    (d / "faults.txt").write_text(faults_text(first))
    x = np.array([p[0] for p in pts])
    y = np.array([p[1] for p in pts])
    obs = np.array([float(f"{10.0 * np.sin(k):.1f}") for k in range(len(pts))])
    return vadrel.read_faults(d / "faults.txt"), x, y, obs


def expected_record(kind, faults, x, y, obs):
    """The record text the module's values give, field by field."""
    n = len(x)
    if kind in ("ascii", "residual", "vector"):
        r = vadrel.range_change(faults, x, y, LOOK)
        u = vadrel.displacement(faults, x, y)
        out = []
        for i in range(n):
            f = [fmt_f(x[i], 10, 4), fmt_f(y[i], 10, 4)]
            if kind == "residual":
                f += [fmt_f(obs[i], 10, 1), fmt_f(r[i], 10, 1), fmt_f(obs[i] - r[i], 10, 1)]
            elif kind == "vector":
                f += [fmt_f(v, 10, 1) for v in u[i]]
                f += [fmt_f(np.sqrt(u[i][0] ** 2 + u[i][1] ** 2 + u[i][2] ** 2), 10, 1), fmt_f(r[i], 10, 1)]
            else:
                f.append(fmt_f(r[i], 10, 1))
            out.append(f)
        return out, 10
    if kind == "strain":
        g = vadrel.strain(faults, x, y)
        return [[fmt_e(v, 13, 3) for v in (x[i], y[i], *g[i])] for i in range(n)], 13
    method = "forward" if kind == "partial" else "analytic"
    d = vadrel.partials(faults, x, y, LOOK, method)
    return [[fmt_e(v, 20, 10) for v in (x[i], y[i], *d[i])] for i in range(n)], 20


CASES = [(first, kind) for first in SEGMENTS for kind in ("partial", "analytic")] + [
    ("dip30", kind) for kind in ("ascii", "residual", "vector", "strain")]


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("first,kind", CASES)
def test_varied_faults_equal_print_file(binary, tmp_path, first, kind):
    faults, x, y, obs = write_case(tmp_path, first, residual=kind == "residual")
    status, _, lines = run_program(binary, "points.txt", "faults.txt", kind, tmp_path)
    assert status == 0
    recs = records(lines)
    want, width = expected_record(kind, faults, x, y, obs)
    assert len(recs) == len(want)
    for i, (rec, exp) in enumerate(zip(recs, want)):
        assert fields(rec, width) == exp, f"point {i}: {rec!r}"


def test_thrust_example_vector_records(binary, workdir):
    status, _, lines = run_program(binary, "thrust_points.txt", "thrust_faults.txt", "vector", workdir)
    assert status == 0
    faults = vadrel.read_faults(EXAMPLES / "thrust_faults.txt")
    pts = [l.split()[:2] for l in (EXAMPLES / "thrust_points.txt").read_text().splitlines()
           if l.startswith(" ")]
    x = np.array([float(p[0]) for p in pts])
    y = np.array([float(p[1]) for p in pts])
    look = (-0.61, -0.11, 0.785)
    u = vadrel.displacement(faults, x, y)
    r = vadrel.range_change(faults, x, y, look)
    recs = records(lines)
    assert len(recs) == len(x) == 441
    for i, rec in enumerate(recs):
        f = fields(rec, 10)
        assert f[2:5] == [fmt_f(v, 10, 1) for v in u[i]]
        assert f[6] == fmt_f(r[i], 10, 1)


def test_bay_example_uplift_equals_ini_file(binary, workdir):
    """The curvilinear example: the cells' points, the depth taper and the
    uplift in metres, equal to the initial-condition file's doubles."""
    status, _, lines = run_program(binary, "bay_points.txt", "bay_faults.txt", "ascii", workdir)
    assert status == 0
    xn, yn = vadrel.read_grid(EXAMPLES / "bay_grid.grd")
    assert xn.shape == (10, 12)
    x, y, valid = vadrel.cell_points(xn, yn)
    depth = np.loadtxt(EXAMPLES / "bay_depth.dep")
    faults = vadrel.read_faults(EXAMPLES / "bay_faults.txt")
    up = vadrel.uplift(faults, x, y, (0, 0, 1), depth)
    up = np.where(valid, up, 0.0)
    ini = vadrel.read_ini(workdir / "bay_grid.ini", (11, 13))
    np.testing.assert_array_equal(up, ini)
    assert np.abs(ini).max() > 1.0  # the example lifts the sea floor by more than a metre
    # The records: one per cell, in the program's order (rows j, then i).
    recs = records(lines)
    assert [fields(r, 10)[:2] for r in recs] == [
        [fmt_f(x[j, i], 10, 4), fmt_f(y[j, i], 10, 4)] for j in range(11) for i in range(13) if valid[j, i]]


def test_geographic_grid_card_projection_and_uplift(binary, tmp_path):
    """A G card: nodes projected with the zone's central meridian (utm) and
    the uplift written to disp.ini."""
    (tmp_path / "points.txt").write_text("Z 31 3.0 45.0\nV 0 0 1 1\nG 2.6 44.7 0.05 0.04 7 5\n")
    (tmp_path / "faults.txt").write_text(
        " 480.0 4950.0 20.0 0 15.0 40.0 3.0e10 3.0e10 100.0 2000.0 0.0 20.0 20.0 g\nP 0.001 0.002 0.5\n")
    status, _, lines = run_program(binary, "points.txt", "faults.txt", "ascii", tmp_path)
    assert status == 0
    x, y = vadrel.regular_grid(2.6, 44.7, 0.05, 0.04, 7, 5, zone=31)
    recs = records(lines)
    assert [fields(r, 10)[:2] for r in recs] == [
        [fmt_f(x[j, i], 10, 4), fmt_f(y[j, i], 10, 4)] for j in range(5) for i in range(7)]
    faults = vadrel.read_faults(tmp_path / "faults.txt")
    np.testing.assert_array_equal(vadrel.uplift(faults, x, y), vadrel.read_ini(tmp_path / "disp.ini", (5, 7)))


@pytest.mark.parametrize("zone,lon,lat", [(31, 3.0, 45.0), (1, -177.5, -33.25), (60, 179.9, 10.0),
                                          (33, 12.75, 0.0), (18, -76.0, 71.5)])
def test_utm_equals_program_origin(binary, tmp_path, zone, lon, lat):
    """The Z card prints the projected origin (F14.1): the same metres."""
    (tmp_path / "points.txt").write_text(f"Z {zone} {lon} {lat}\n 0 0\n")
    (tmp_path / "faults.txt").write_text(SEGMENTS["dip30"] + "\n")
    status, console, _ = run_program(binary, "points.txt", "faults.txt", "ascii", tmp_path)
    assert status == 0
    line = next(l for l in console.splitlines() if l.startswith("UTM origin"))
    e, n = vadrel.utm(lon, lat, zone)
    assert line.split()[-2:] == [fmt_f(e, 14, 1).strip(), fmt_f(n, 14, 1).strip()]


@pytest.mark.parametrize("option", ["vector", "strain", "analytic", "residual", "nonsense", ""])
def test_run_is_the_command_line(binary, tmp_path, capsys, option):
    """run() writes the same print file and console text and returns the
    same exit status as the program."""
    write_case(tmp_path, "dip90", residual=option == "residual")
    status, console, lines = run_program(binary, "points.txt", "faults.txt", option, tmp_path, "cli.out")
    import os
    cwd = os.getcwd()
    os.chdir(tmp_path)
    try:
        got = vadrel.run("points.txt", "faults.txt", "cli.out", option)
    finally:
        os.chdir(cwd)
    out = capsys.readouterr().out
    assert got == status
    assert out == console
    assert ((tmp_path / "cli.out").read_text().splitlines() if (tmp_path / "cli.out").exists() else []) == lines


def test_run_stop_status_and_message(binary, tmp_path, capsys):
    (tmp_path / "faults.txt").write_text(SEGMENTS["dip30"] + "\n")
    status = vadrel.run(tmp_path / "missing.txt", tmp_path / "faults.txt", tmp_path / "o.out", "ascii")
    assert status == 1
    assert "Could not open points file." in capsys.readouterr().out


def test_read_faults_reports_bad_lines_like_the_program(binary, tmp_path, capsys):
    text = (SEGMENTS["dip30"] + "\n" + " 1 2 3 x 5 6 7 8 9 10 11 12 13 bad\n" + " 1 2 3\n"
            + "P 1 nan 2\n" + SEGMENTS["dip90"] + "\n")
    (tmp_path / "faults.txt").write_text(text)
    (tmp_path / "points.txt").write_text(" 0 0\n")
    _, console, _ = run_program(binary, "points.txt", "faults.txt", "ascii", tmp_path)
    faults = vadrel.read_faults(tmp_path / "faults.txt")
    out = capsys.readouterr().out
    reported = [l for l in console.splitlines() if l.startswith(" Error reading line")]
    assert len(reported) == 3
    assert [l for l in out.splitlines() if l.startswith(" Error reading line")] == reported
    assert len(faults) == 2 and faults.ramp == (0.0, 0.0, 0.0)
    assert [s.name for s in faults.segments] == ["dip30", "vertical"]
