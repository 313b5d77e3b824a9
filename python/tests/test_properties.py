"""The module against the shared quad-precision reference table, symmetry,
linearity in slip, superposition of segments, thread independence, and
every argument error."""
import csv
import pickle
import warnings

import numpy as np
import pytest

import vadrel
from conftest import TABLE


def table():
    with open(TABLE) as f:
        rows = list(csv.DictReader(f, delimiter="\t"))
    assert len(rows) == 170
    return rows


ROWS = table()
COMP = ["ux", "uy", "uz"]


def col(rows, name):
    return np.array([float(r[name]) for r in rows])


def near_vertical_general(dip):
    return dip != 90.0 and 89.0 < dip < 91.0


def test_patch_displacement_matches_reference_table():
    """All 170 rows, one call per row (the table's patch varies), all nine
    columns; components below 1e-8 come back as exact zeros."""
    worst = 0.0
    for r in ROWS:
        p = {k: float(r[k]) for k in ("x", "y", "L", "W", "depth", "dip", "lambda", "mu")}
        u = vadrel.patch_displacement([p["x"]], [p["y"]], L=p["L"], W=p["W"], depth=p["depth"], dip=p["dip"],
                                      lam=p["lambda"], mu=p["mu"], U1=1.0, U2=1.0, U3=1.0)[0]
        ref = np.array([float(r[f"U{s}_{c}"]) for s in (1, 2, 3) for c in COMP])
        dev = np.where((u == 0.0) & (np.abs(ref) < 1e-8), 0.0, np.abs(u - ref))
        worst = max(worst, dev.max() / np.abs(ref).max())
    assert worst <= 1e-11


def one_slip_model(r, slip, k):
    """A single segment whose map frame is the patch frame (strike 90,
    origin at 0, 0) carrying slip `slip` in component k."""
    U = [0.0, 0.0, 0.0]
    U[k] = slip
    return vadrel.Faults([vadrel.Segment(0.0, 0.0, 90.0, float(r["depth"]), float(r["dip"]), float(r["lambda"]),
                                         float(r["mu"]), *U, float(r["L"]), float(r["W"]))])


@pytest.mark.parametrize("k", [0, 1, 2])
def test_displacement_and_strain_match_reference_table(k):
    """Map-frame displacement and gradients of each unit slip (a large slip,
    divided out, keeps the 1e-8 clearing out of play)."""
    slip = 1e6
    for r in ROWS:
        f = one_slip_model(r, slip, k)
        x, y = [float(r["x"])], [float(r["y"])]
        u = vadrel.displacement(f, x, y)[0] / slip
        ref = np.array([float(r[f"U{k + 1}_{c}"]) for c in COMP])
        scale = max(abs(float(r[f"U{s}_{c}"])) for s in (1, 2, 3) for c in COMP)
        assert np.abs(u - ref).max() <= 1e-11 * scale, r["id"]
        g = vadrel.strain(f, x, y)[0] / slip
        # duede, duedn, dunde, dundn, duzde, duzdn = uxx, uxy, uyx, uyy, uzx, uzy here
        gref = np.array([float(r[f"U{k + 1}_{c}"]) for c in ("uxx", "uxy", "uyx", "uyy", "uzx", "uzy")])
        gscale = max(abs(float(r[f"U{s}_{c}"])) for s in (1, 2, 3)
                     for c in ("uxx", "uxy", "uyx", "uyy", "uzx", "uzy"))
        tol = 1e-4 if near_vertical_general(float(r["dip"])) else 1e-7
        assert np.abs(g - gref).max() <= tol * gscale, r["id"]


def model(strike=30.0, X=3.0, Y=-4.0, slips=(150.0, 900.0, 20.0), dip=50.0, ramp=(0.0, 0.0, 0.0)):
    return vadrel.Faults([vadrel.Segment(X, Y, strike, 20.0, dip, 3e10, 3e10, *slips, 25.0, 18.0)], ramp)


RNG = np.random.default_rng(5)
PX = RNG.uniform(-60, 60, 300)
PY = RNG.uniform(-60, 60, 300)


def test_rotation_and_translation_symmetry():
    """Turning the model and the points about a vertical axis turns the
    horizontal displacement with them and leaves the vertical alone."""
    base = vadrel.displacement(model(strike=30.0), PX, PY)
    t = np.radians(-40.0)  # strike + 40 degrees is a clockwise turn
    c, s = np.cos(t), np.sin(t)
    X, Y = 3.0 * c - (-4.0) * s, 3.0 * s + (-4.0) * c
    turned = vadrel.displacement(model(strike=70.0, X=X, Y=Y), PX * c - PY * s, PX * s + PY * c)
    scale = np.abs(base).max()
    np.testing.assert_allclose(turned[:, 0], base[:, 0] * c - base[:, 1] * s, atol=1e-10 * scale)
    np.testing.assert_allclose(turned[:, 1], base[:, 0] * s + base[:, 1] * c, atol=1e-10 * scale)
    np.testing.assert_allclose(turned[:, 2], base[:, 2], atol=1e-10 * scale)
    moved = vadrel.displacement(model(X=13.0, Y=-9.0), PX + 10.0, PY - 5.0)
    np.testing.assert_allclose(moved, base, atol=1e-10 * scale)


def test_linear_in_slip_and_segments_superpose():
    a = vadrel.displacement(model(slips=(150.0, 900.0, 20.0)), PX, PY)
    b = vadrel.displacement(model(slips=(300.0, 1800.0, 40.0)), PX, PY)
    np.testing.assert_allclose(b, 2.0 * a, rtol=0, atol=1e-12 * np.abs(a).max())
    s1 = model().segments[0]
    s2 = model(strike=200.0, X=-20.0, dip=120.0).segments[0]
    both = vadrel.displacement(vadrel.Faults([s1, s2]), PX, PY)
    np.testing.assert_array_equal(both, vadrel.displacement(vadrel.Faults([s1]), PX, PY)
                                  + vadrel.displacement(vadrel.Faults([s2]), PX, PY))


def test_range_change_is_projection_plus_ramp():
    ramp = (0.05, -0.02, 3.0)
    f = model(ramp=ramp)
    u = vadrel.displacement(f, PX, PY)
    look = np.array([-0.38, 0.09, 0.92])
    r = vadrel.range_change(f, PX, PY, look)
    np.testing.assert_allclose(r, u @ look + ramp[0] * PX + ramp[1] * PY + ramp[2], rtol=1e-14, atol=1e-12)
    each = np.tile(look, (len(PX), 1))
    each[::2] = (0.0, 0.0, 1.0)
    r2 = vadrel.range_change(f, PX, PY, each)
    np.testing.assert_array_equal(r2[1::2], r[1::2])
    np.testing.assert_allclose(r2[::2], u[::2, 2] + ramp[0] * PX[::2] + ramp[1] * PY[::2] + ramp[2],
                               rtol=1e-14, atol=1e-12)


def test_partials_slip_columns_are_unit_slip_range_and_methods_agree():
    f = model()
    look = (-0.38, 0.09, 0.92)
    a = vadrel.partials(f, PX, PY, look)
    fw = vadrel.partials(f, PX, PY, look, method="forward")
    cols = vadrel.PARTIAL_COLUMNS
    for k, name in enumerate(("U1", "U2", "U3")):
        slips = [0.0, 0.0, 0.0]
        slips[k] = 1.0
        unit = vadrel.range_change(model(slips=slips), PX, PY, look)
        np.testing.assert_allclose(a[:, cols.index(name)], unit, rtol=1e-12, atol=1e-15)
        np.testing.assert_allclose(fw[:, cols.index(name)], unit, rtol=1e-6, atol=1e-9)
    # A forward difference of step 1 is the derivative at the middle of the
    # step, to second order: the closed form with the parameter moved by 0.5.
    s = f.segments[0]
    p = {k: getattr(s, k) for k in ("X", "Y", "strike", "depth", "dip", "lam", "mu", "U1", "U2", "U3", "L", "W")}
    for k, name in enumerate(cols):
        mid = vadrel.Faults([vadrel.Segment(**{**p, name: p[name] + 0.5})])
        am = vadrel.partials(mid, PX, PY, look)[:, k]
        assert np.abs(fw[:, k] - am).max() <= 0.01 * np.abs(a[:, k]).max(), name


def test_results_do_not_depend_on_threads():
    f = vadrel.Faults([model().segments[0], model(strike=200.0, dip=120.0).segments[0]])
    x = RNG.uniform(-60, 60, 20000)
    y = RNG.uniform(-60, 60, 20000)
    for fn in (lambda t: vadrel.displacement(f, x, y, threads=t),
               lambda t: vadrel.range_change(f, x, y, (0.1, 0.2, 0.9), threads=t),
               lambda t: vadrel.strain(f, x[:3000], y[:3000], threads=t),
               lambda t: vadrel.partials(f, x[:2000], y[:2000], (0.1, 0.2, 0.9), threads=t),
               lambda t: vadrel.patch_displacement(x, y, L=10, W=5, depth=6, dip=70, U2=1.0, threads=t)):
        np.testing.assert_array_equal(fn(1), fn(2))
        np.testing.assert_array_equal(fn(1), fn(0))


def test_surface_trace_nan_and_warning():
    """The kernel gives NaN on the trace of an outcropping patch; the map
    functions take the value 1 mm away and warn."""
    W, dip = 10.0, 30.0
    yt = W * np.cos(np.radians(dip))
    u = vadrel.patch_displacement([5.0, 5.0], [yt, yt + 1.0], L=12.0, W=W, depth=5.0, dip=dip, U2=1.0)
    assert np.isnan(u[0]).all() and np.isfinite(u[1]).all()
    f = vadrel.Faults([vadrel.Segment(0.0, 0.0, 90.0, 5.0, dip, 3e10, 3e10, 0.0, 1000.0, 0.0, 12.0, W)])
    with pytest.warns(RuntimeWarning, match="1 point"):
        d = vadrel.displacement(f, [5.0, 5.0], [yt, yt + 1.0])
    assert np.isfinite(d).all()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        vadrel.displacement(f, [5.0], [yt + 1.0])  # no warning off the trace


def test_objects_pickle_and_describe_themselves():
    f = vadrel.Faults([vadrel.Segment(1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, name="a-long-name-of-many-chars",
                                      flag=3)], ramp=(1, 2, 3))
    g = pickle.loads(pickle.dumps(f))
    s = g.segments[0]
    assert (s.X, s.Y, s.strike, s.depth, s.dip, s.lam, s.mu, s.U1, s.U2, s.U3, s.L, s.W, s.flag) == \
        (1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 3)
    assert s.name == "a-long-name-of-m" and g.ramp == (1.0, 2.0, 3.0) and len(g) == 1
    assert "1 segment" in repr(g) and "name='a-long-name-of-m'" in repr(s)


SEG = vadrel.Segment(0, 0, 0, 10, 45, 1, 1, 0, 100, 0, 10, 5)
F = vadrel.Faults([SEG])
ERRORS = [
    ("lengths", lambda: vadrel.displacement(F, [1, 2, 3], [1, 2]), "same length"),
    ("nan x", lambda: vadrel.range_change(F, [1, np.nan], [1, 2], (0, 0, 1)), r"x\[1\] is not finite"),
    ("inf y", lambda: vadrel.strain(F, [1, 2], [np.inf, 2]), r"y\[0\] is not finite"),
    ("2-D x", lambda: vadrel.displacement(F, np.zeros((2, 2)), np.zeros(3)), "shapes that broadcast"),
    ("patch nan", lambda: vadrel.patch_displacement([0], [np.nan], L=1, W=1, depth=1, dip=45), "not finite"),
    ("patch param", lambda: vadrel.patch_displacement([0], [0], L=np.inf, W=1, depth=1, dip=45), "L must be a finite number"),
    ("zone 0", lambda: vadrel.utm(3.0, 45.0, 0), "zone must be a UTM zone from 1 to 60"),
    ("zone 61", lambda: vadrel.utm([3.0], [45.0], 61), "zone must be a UTM zone from 1 to 60"),
    ("utm shapes", lambda: vadrel.utm([3.0, 4.0], [45.0, 46.0, 47.0], 31), "same shape"),
    ("utm nan", lambda: vadrel.utm(np.nan, 45.0, 31), "lon.*not finite"),
    ("utm lat", lambda: vadrel.utm(3.0, 91.0, 31), "outside -90..90"),
    ("method", lambda: vadrel.partials(F, [1], [1], (0, 0, 1), method="central"), "method must be"),
    ("look shape", lambda: vadrel.range_change(F, [1], [1], (0, 1)), "look must be"),
    ("look nan", lambda: vadrel.partials(F, [1], [1], (0, np.nan, 1)), "look holds"),
    ("no segment", lambda: vadrel.Faults([]), "at least one segment"),
    ("segment nan", lambda: vadrel.Segment(0, 0, 0, np.nan, 45, 1, 1, 0, 1, 0, 1, 1), "depth must be a finite number"),
    ("ramp nan", lambda: vadrel.Faults([SEG], ramp=(0, np.nan, 0)), "ramp b must be a finite number"),
    ("threads", lambda: vadrel.displacement(F, [1], [1], threads=-1), "threads"),
    ("uplift depth", lambda: vadrel.uplift(F, [1, 2], [1, 2], depth=[1, 2, 3]), "depth must have"),
]


@pytest.mark.parametrize("name,call,message", ERRORS, ids=[e[0] for e in ERRORS])
def test_bad_arguments_raise_value_error(name, call, message):
    with pytest.raises(ValueError, match=message):
        call()


def test_read_faults_errors(tmp_path):
    with pytest.raises(FileNotFoundError):
        vadrel.read_faults(tmp_path / "none.txt")
    with pytest.raises(IsADirectoryError):
        vadrel.read_faults(tmp_path)
    (tmp_path / "empty.txt").write_text("# nothing\nP 1 2 3\n")
    with pytest.raises(ValueError, match="no faults read in"):
        vadrel.read_faults(tmp_path / "empty.txt")
    with pytest.raises(ValueError, match="grid file"):
        vadrel.read_grid(tmp_path / "empty.txt")
