"""Published finite-fault models in, faults files out: the real files of
../shared/data/finite-faults, their headers and polygons as references."""
import math
import os
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest

import vadrel
import vadrel.sources as vs
from conftest import SOURCE, fields, fmt_f, records, run_program

DATA = pathlib.Path(os.environ.get("VADREL_FINITE_FAULTS", SOURCE.parent / "shared" / "data" / "finite-faults"))
PARAM, TWO, FSP, PARK = (DATA / n for n in ("illapel2015_subfaults.param", "illapel2015_two_segments.param",
                                            "illapel2015.fsp", "parkfield2004.fsp"))
pytestmark = pytest.mark.skipif(not DATA.is_dir(), reason="finite-fault data not found")


def km(lon, lat, zone):
    e, n = vadrel.utm(np.asarray(lon, float), np.asarray(lat, float), zone)
    return np.asarray(e) / 1000.0, np.asarray(n) / 1000.0


def param_rows(path):
    """Rows of 11 numbers, read with nothing but split()."""
    return np.array([[float(w) for w in l.split()] for l in path.read_text().splitlines()
                     if not l.lstrip().startswith("#") and len(l.split()) == 11])


def header(path, key):
    return float(re.search(key + r"\s*=\s*([-+\d.eE]+)", path.read_text()).group(1))


@pytest.mark.parametrize("path, expected, rel", [
    (PARAM, lambda: param_rows(PARAM)[:, 10].sum() * 1e-7, 1e-9),     # dyne cm -> N m
    (TWO, lambda: param_rows(TWO)[:, 10].sum() * 1e-7, 1e-9),
    (FSP, lambda: header(FSP, "Mo"), 2e-3),                          # per-subfault moments of 3 digits
    (PARK, lambda: header(PARK, "Mo"), 1e-9),
])
def test_moment_matches_the_file(path, expected, rel):
    ff = vs.read(path)
    assert ff.moment == pytest.approx(expected(), rel=rel)
    assert ff.Mw == pytest.approx(2.0 / 3.0 * (math.log10(ff.moment) - 9.1), abs=1e-12)


@pytest.mark.parametrize("path", [FSP, PARK])
def test_magnitude_differs_from_the_header_by_the_constant_only(path):
    # The headers' Mw uses Kanamori's 9.05 (10.7 in dyne cm); ours 9.1.
    ff = vs.read(path)
    assert ff.Mw == pytest.approx(header(path, "Mw") - 2.0 / 3.0 * 0.05, abs=6e-3)


def outline(sub, nx, ny):
    """Top-start, bottom-start, bottom-end, top-end corners of a segment."""
    c = vs.subfault_corners(sub).reshape(ny, nx, 4, 3)
    return np.array([c[0, 0, 0], c[-1, 0, 3], c[-1, -1, 2], c[0, -1, 1]])


@pytest.mark.parametrize("path, shapes", [(PARAM, [(23, 9)]), (TWO, [(23, 5), (23, 4)])])
def test_patch_outlines_against_boundary_polygons(path, shapes):
    ff = vs.read(path)
    assert len(ff.boundary) == len(shapes) == ff.segments
    for s, ((nx, ny), poly) in enumerate(zip(shapes, ff.boundary)):
        sub = ff.subfaults[ff.subfaults["segment"] == s]
        assert "top corner" in ff.reference[s]
        out = outline(sub, nx, ny)
        xo, yo = km(out[:, 0], out[:, 1], 19)
        xp, yp = km(poly[:4, 0], poly[:4, 1], 19)
        strike, dip = np.radians(sub["strike"][0]), np.radians(sub["dip"][0])
        d = np.stack([xp - xo, yp - yo, poly[:4, 2] - out[:, 2]], axis=1)
        along = d[:, 0] * np.sin(strike) + d[:, 1] * np.cos(strike)
        down = (d[:, 0] * np.cos(strike) - d[:, 1] * np.sin(strike)) * np.cos(dip) + d[:, 2] * np.sin(dip)
        # The first corner is the first row itself; the polygons stop about a
        # fifth of a subfault short of the far edges (they run to the last
        # point source), never more than a quarter.
        assert np.hypot(along[0], down[0]) < 0.05
        assert np.all(np.abs(along) < 0.25 * sub["length"][0])
        assert np.all(np.abs(down) < 0.25 * sub["width"][0])
        assert out[0, 2] == pytest.approx(poly[0, 2], abs=1e-5)


def test_the_two_illapel_models_share_their_patches():
    a, b = vs.read(PARAM), vs.read(FSP)
    assert len(a.subfaults) == len(b.subfaults) == 207
    assert "stated in the header: center" in b.reference[0]
    ca, cb = vs.subfault_corners(a.subfaults).mean(axis=1), vs.subfault_corners(b.subfaults).mean(axis=1)
    xa, ya = km(ca[:, 0], ca[:, 1], 19)
    xb, yb = km(cb[:, 0], cb[:, 1], 19)
    d = np.stack([xb - xa, yb - ya, cb[:, 2] - ca[:, 2]], axis=1)
    # The same grid: one shift for all 207 patches ...
    assert d.std(axis=0).max() < 0.1
    # ... of under a tenth of a subfault (its diagonal).
    size = math.hypot(a.subfaults["length"][0], a.subfaults["width"][0])
    assert np.linalg.norm(d.mean(axis=0)) < 0.1 * size


def test_parkfield_rows_with_a_stray_token():
    ff = vs.read(PARK)
    sub = ff.subfaults
    assert len(sub) == 189 and ff.format == "fsp" and "top center" in ff.reference[0]
    assert any("'x'" in w and "189 rows" in w for w in ff.warnings)
    # First row: ... 0.5000 0.0002 x 136.8893 1.1385 8.2239 (RAKE RISE TRUP).
    assert (sub["rake"][0], sub["rise_time"][0], sub["rupture_time"][0]) == (136.8893, 1.1385, 8.2239)
    assert sub["depth"][0] == 0.5 and sub["lat"][0] == 36.0247 and sub["lon"][0] == -120.5777
    assert ff.hypocentre == (-120.3706, 35.8185, 8.26)


def test_two_segment_table():
    ff = vs.read(TWO)
    sub = ff.subfaults
    assert ff.segments == 2 and len(ff.reference) == 2
    assert [(sub["segment"] == s).sum() for s in (0, 1)] == [115, 92]
    assert set(sub["dip"][sub["segment"] == 0]) == {16.0} and set(sub["dip"][sub["segment"] == 1]) == {22.0}
    assert sub["depth"][sub["segment"] == 1].min() == pytest.approx(25.177645)
    assert sub["slip"][115] == pytest.approx(0.0007564)          # cm -> m
    faults = ff.to_faults()
    assert len(faults) == 207 and faults.segments[115].name == "S2_1"


MULTI_FSP = """% Event : a two-segment test model
% Loc  : LAT = 34.50 LON = -116.40 DEP = 5.0
% Size : LEN = 8.0 km WID = 4.0 km Mw = 5.0 Mo = 4.0e+16 Nm
% Mech : STRK = 0.0 DIP = 90.0 RAKE = 180.0 Htop = 0.0 km
% Invs : Nx = 2 Nz = 2
% Invs : Ntw = 1 Nsg = 2
% Coordinates are given for top-center of each subfault or segment: |'|
%---------------------------------------------
% SEGMENT # 1: STRK = 350.0 deg DIP = 80.0 deg
%   LEN = 4.0 km  WID = 4.0 km
%   Dx = 2.0 km Dz = 2.0 km
%   Nsbfs = 4 subfaults
% LAT LON X==EW Y==NS Z SLIP RAKE
 34.50 -116.40 0.0 0.0 0.0 1.0 170.0
 34.52 -116.40 0.0 0.0 0.0 1.5 175.0
 34.50 -116.40 0.0 0.0 1.97 2.0 180.0
 34.52 -116.40 0.0 0.0 1.97 0.5 185.0
% SEGMENT # 2: STRK = 20.0 deg DIP = 60.0 deg
%   LEN = 2.0 km  WID = 2.0 km
%   Dx = 1.0 km Dz = 2.0 km
%   Nsbfs = 2 subfaults
% LAT LON X==EW Y==NS Z SLIP RAKE STRK
 34.54 -116.40 0.0 0.0 0.0 0.2 160.0 25.0
 34.55 -116.39 0.0 0.0 0.0 0.4 150.0 26.0
"""

OLD_PARAM = """ #Total number of fault_segments=     1
#Fault_segment =   1 nx(Along-strike)=   2 Dx = 20.00km ny(downdip)=   1 Dy = 10.00km
#Boundary of Fault_segment     1. EQ in cell ( 1,  1). Lon:  142.0000   Lat:   38.0000
#Lon.  Lat.  Depth
 #lat. lon. and depth are corresponding to the centroid of the subfaults
#Lat. Lon. depth slip rake strike dip t_rup t_ris t_fal rigidity
 38.0 142.0 10.0 200.0 90.0 180.0 30.0 10.0 5.0 5.0 4.0E+11
 38.2 142.0 10.0 100.0 90.0 180.0 30.0 12.0 5.0 5.0 4.0E+11
"""


def test_multi_segment_database_file(tmp_path):
    p = tmp_path / "two.fsp"
    p.write_text(MULTI_FSP)
    ff = vs.read(p)
    sub = ff.subfaults
    assert ff.segments == 2 and list(sub["segment"]) == [0, 0, 0, 0, 1, 1]
    assert list(sub["strike"]) == [350.0] * 4 + [25.0, 26.0]      # the STRK column beats the block
    assert list(sub["dip"]) == [80.0] * 4 + [60.0] * 2
    assert list(sub["length"]) == [2.0] * 4 + [1.0] * 2 and set(sub["width"]) == {2.0}
    assert list(sub["rake"][:4]) == [170.0, 175.0, 180.0, 185.0]
    # No per-subfault moments: one rigidity gives the header's Mo.
    assert ff.moment == pytest.approx(4.0e16) and len(set(sub["rigidity"])) == 1
    bad = tmp_path / "bad.fsp"
    bad.write_text(MULTI_FSP.replace("Nsbfs = 2", "Nsbfs = 3"))
    # A stated count that disagrees with the rows: a warning, the rows win.
    wrong = vs.read(bad)
    assert len(wrong.subfaults) == 6 and wrong.segment_labels == ["1", "2"]
    assert any("segment 2 has 2 subfault rows, the header declares 3; the rows are taken" in w
               for w in wrong.warnings)


def test_older_table_states_centroids_and_rigidity(tmp_path):
    p = tmp_path / "old.param"
    p.write_text(OLD_PARAM)
    ff = vs.read(p)
    sub = ff.subfaults
    assert "centroid (stated in the file)" in ff.reference[0]
    assert list(sub["rigidity"]) == [4.0e10, 4.0e10]                    # dyne/cm^2 -> Pa
    assert sub["depth"] == pytest.approx(10.0 - 5.0 * math.sin(math.radians(30.0)))
    assert ff.moment == pytest.approx(4.0e10 * 3.0 * 200e6)
    assert list(sub["rise_time"]) == [10.0, 10.0]                         # rise plus fall


def subfault_csv(tmp_path, reference):
    """One subfault given by each convention's point, positioned with a flat
    Earth of 111.195 km a degree (independent of the reader's geodesy)."""
    lon, lat, top, strike, dip, L, W = -72.0, -31.0, 3.0, 20.0, 25.0, 18.0, 15.0
    up = {"top center": 0.0, "centroid": 0.5, "bottom center": 1.0, "noaa sift": 1.0}[reference]
    h = up * W * math.cos(math.radians(dip))
    s = math.radians(strike)
    e, n = h * math.cos(s), -h * math.sin(s)
    x = lon + e / (111.195 * math.cos(math.radians(lat)))
    y = lat + n / 111.195
    z = top if reference in ("top center", "noaa sift") else top + up * W * math.sin(math.radians(dip))
    p = tmp_path / f"{reference.replace(' ', '_')}.csv"
    p.write_text("Longitude,Latitude,Depth(km),Length,Width,Strike,Dip,Rake,Slip\n"
                 f"{x!r},{y!r},{z!r},{L},{W},{strike},{dip},90,2.5\n")
    return p


def test_csv_reference_conventions_give_one_patch(tmp_path):
    segs = [vs.read(subfault_csv(tmp_path, r), reference=r).to_faults(zone=19).segments[0]
            for r in ("top center", "centroid", "bottom center", "noaa sift")]
    for s in segs[1:]:
        assert (s.X, s.Y) == pytest.approx((segs[0].X, segs[0].Y), abs=0.03)
        assert s.depth == pytest.approx(segs[0].depth, abs=1e-9)
        assert s.strike == pytest.approx(segs[0].strike, abs=1e-3)
    assert segs[0].depth == pytest.approx(3.0 + 15.0 * math.sin(math.radians(25.0)))
    assert (segs[0].U1, segs[0].U2) == pytest.approx((0.0, 2500.0), abs=1e-9)


def test_meridian_convergence(tmp_path):
    # 5 degrees east of zone 31's central meridian (3E), at 45N: about 3.5 degrees.
    p = tmp_path / "east.csv"
    p.write_text("Longitude,Latitude,Depth(km),Length,Width,Strike,Dip,Rake,Slip,Rigidity\n"
                 "8.0,45.0,2.0,20.0,12.0,30.0,40.0,0,1.0,3e10\n")
    ff = vs.read(p, reference="top center")
    seg = ff.to_faults(zone=31).segments[0]
    gamma = math.degrees(math.atan(math.tan(math.radians(5.0)) * math.sin(math.radians(45.0))))
    assert seg.strike == pytest.approx(30.0 - gamma, abs=0.01)
    # Corners of the program's patch against the geographic corners projected.
    s, cd = math.radians(seg.strike), seg.W * math.cos(math.radians(seg.dip))
    program = np.array([(seg.X - cd * math.cos(s) + a * seg.L * math.sin(s),
                         seg.Y + cd * math.sin(s) + a * seg.L * math.cos(s)) for a in (0, 1)]
                       + [(seg.X + a * seg.L * math.sin(s), seg.Y + a * seg.L * math.cos(s)) for a in (1, 0)])
    geo = vs.subfault_corners(ff.subfaults)[0]
    x, y = km(geo[:, 0], geo[:, 1], 31)
    # Within the zone's scale error (1.003 here: 30 m); the convergence left
    # in would move the far corners by 20 km x 3.5 degrees, 1.2 km.
    assert np.hypot(program[:, 0] - x, program[:, 1] - y).max() < 0.05


@pytest.mark.parametrize("path, origin", [(PARK, (-120.37, 35.82)), (PARAM, (-71.67, -31.57))])
def test_written_faults_run_in_the_program(binary, tmp_path, path, origin):
    faults = vs.read(path).to_faults(origin=origin)
    vs.write_faults(faults, tmp_path / "faults.txt")
    lines = (tmp_path / "faults.txt").read_text().splitlines()
    assert all(len(l) <= 128 for l in lines)
    assert sum(l.startswith(" ") and len(l.split()) == 14 for l in lines) == len(faults)
    span = 30.0 if path == PARK else 250.0
    g = np.linspace(-span, span, 7) + 0.123
    x, y = np.meshgrid(g, g)
    (tmp_path / "points.txt").write_text("".join(f" {a!r} {b!r}\n" for a, b in zip(x.ravel(), y.ravel())))
    status, _, out = run_program(binary, "points.txt", "faults.txt", "vector", tmp_path)
    assert status == 0
    u = vadrel.displacement(faults, x.ravel(), y.ravel())
    recs = records(out)
    assert len(recs) == x.size
    assert np.abs(u).max() > 10.0
    for r, ui in zip(recs, u):
        assert fields(r, 10)[2:5] == [fmt_f(v, 10, 1) for v in ui]


def test_write_faults_replaces_a_file_whole(tmp_path):
    seg = vadrel.Segment(X=1.0 / 3.0, Y=-2.0, strike=10.0, depth=5.0, dip=30.0, lam=3e10, mu=3e10, U1=1.0,
                         U2=2.0, U3=0.0, L=4.0, W=3.0, name="a name longer than sixteen")
    p = tmp_path / "f.txt"
    p.write_text("old\n")
    vs.write_faults(vadrel.Faults([seg], ramp=(0.5, 0.0, -1.0)), p)
    back = vadrel.read_faults(p)
    assert back.segments[0].X == 1.0 / 3.0 and tuple(back.ramp) == (0.5, 0.0, -1.0)
    assert back.segments[0].name == "a_name_longer_th"
    assert os.listdir(tmp_path) == ["f.txt"]


PARAM_HEAD = (" #Total number of fault_segments=           1\n"
              "#Fault_segment =   1 nx(Along-strike)=  2 Dx = 10.00km ny(downdip)=   1 Dy = 10.00km\n"
              " #Lat. Lon. depth slip rake strike dip t_rup t_ris t_fal mo\n")
ROW = "  -32.0 -72.0 1.0 100.0 90.0 10.0 20.0 1.0 1.0 1.0 3.0E+26\n"
FSP_HEAD = ("% Invs : Nx = 1 Nz = 1\n% Invs : Dx = 2.0 km Dz = 2.0 km\n% Mech : STRK = 10 DIP = 80 RAKE = 0\n"
            "% Coordinates are given for center of each subfault or segment\n% LAT LON Z SLIP\n")


@pytest.mark.parametrize("name, text, line, reason", [
    ("junk.txt", "hello world\n", 1, "not a finite-fault model"),
    ("bad.param", PARAM_HEAD + ROW + ROW.replace("100.0", "1O0.0"), 5, "not a number"),
    ("short.param", PARAM_HEAD + ROW, 4, "declares 2 x 1"),
    ("nan.param", PARAM_HEAD + ROW + ROW.replace("100.0", "nan"), 5, "not a finite number"),
    ("cols.fsp", FSP_HEAD + " -32.0 -72.0 5.0\n", 6, "3 numbers"),
    ("norow.fsp", "% Invs : Dx = 2.0 km Dz = 2.0 km\n -32.0 -72.0 5.0 1.0\n", 2, "before the column line"),
    ("dip.fsp", FSP_HEAD.replace("DIP = 80", "DIP = 95") + " -32.0 -72.0 5.0 1.0\n", 6, "dip 95"),
    ("cols.csv", "Longitude,Latitude,Depth(km),Length,Width,Strike,Dip,Rake\n1,2,3,4,5,6,7,8\n", 1,
     "no 'slip' column"),
    ("value.csv", "Longitude,Latitude,Depth(km),Length,Width,Strike,Dip,Rake,Slip\n1,2,3,4,5,6,7,8,x\n", 2,
     "'x' is not a number"),
])
def test_errors_name_file_and_line(tmp_path, name, text, line, reason):
    p = tmp_path / name
    p.write_text(text)
    with pytest.raises(ValueError) as e:
        vs.read(p)
    assert str(e.value).startswith(f"{p}: line {line}: ") and reason in str(e.value)


def test_command_line(tmp_path):
    env = dict(os.environ)
    cmd = [sys.executable, "-m", "vadrel.sources"]
    r = subprocess.run(cmd + [str(PARK), "--zone", "10", "-o", "f.txt"], cwd=tmp_path, env=env,
                       capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    assert "format fsp" in r.stdout and "Mw 6.022" in r.stdout and "top center" in r.stdout
    assert "warning: non-numeric token 'x'" in r.stdout
    assert len(vadrel.read_faults(tmp_path / "f.txt")) == 189
    r = subprocess.run(cmd + [str(tmp_path / "missing.fsp"), "-o", "g.txt"], cwd=tmp_path, env=env,
                       capture_output=True, text=True)
    assert r.returncode == 1 and len(r.stderr.splitlines()) == 1 and "Traceback" not in r.stderr
    assert not (tmp_path / "g.txt").exists()
    vs.plot_finite_fault(vs.read(TWO), tmp_path / "ff.png")
    assert (tmp_path / "ff.png").stat().st_size > 10000
