"""vadrel.invert: synthetic faults recovered within their reported standard
deviations, the closed-form Jacobian against central differences, the
Sarez interferogram's known character, slip inversions, the data reader's
errors and the command line end to end with the program."""
import json
import math
import os
import subprocess
import sys

import numpy as np
import pytest

import vadrel
from vadrel import invert
from vadrel.invert.data import Stack
from vadrel.invert.fault import _Problem, _make_segment, _seg_values, _top
from vadrel.invert.slip import _plane_patches

from conftest import SOURCE, fields, records, run_program

SAREZ = os.path.join(os.environ.get("VADREL_SOURCE", str(SOURCE)), "..", "shared", "data", "insar",
                     "sarez2015_ascending.txt")
LOOK = (-0.61, -0.11, 0.785)


def seg(**kw):
    v = dict(X=0.0, Y=0.0, strike=30.0, depth=15.0, dip=60.0, lam=3e10, mu=3e10, U1=1000.0, U2=500.0, U3=0.0,
             L=30.0, W=12.0, name="f")
    v.update(kw)
    return vadrel.Segment(**v)


def grid(n=30, half=60.0):
    g = np.linspace(-half, half, n)
    x, y = np.meshgrid(g, g)
    return x.ravel(), y.ravel()


def radar(truth, sigma, rng, ramp=(0.02, -0.03, 5.0), look=LOOK):
    x, y = grid()
    los = vadrel.range_change(vadrel.Faults([truth]), x, y, look) + ramp[0] * x + ramp[1] * y + ramp[2]
    return invert.Dataset(x, y, los + rng.normal(0, sigma, x.size), look, sigma=sigma, name="radar")


def perturbed(s):
    """A start away from the truth, its top edge still below the ground."""
    v = {k: getattr(s, k) for k in invert.PARAMETERS + ("lam", "mu")}
    v.update(X=s.X + 2, Y=s.Y - 1.5, strike=s.strike + 4, dip=min(s.dip + 5, 95), U1=0.8 * s.U1,
             U2=0.8 * s.U2, L=1.1 * s.L, W=0.9 * s.W)
    v["depth"] = s.depth + 1.0 + 0.9 * s.W * math.sin(math.radians(v["dip"])) - s.W * math.sin(math.radians(s.dip))
    return vadrel.Segment(name="start", **v)


# Geometries from a shallow thrust to a vertical strike-slip fault; the last
# adds GNSS stations to the radar.
CASES = [
    ("thrust dip 10", seg(dip=10.0, depth=2.0 + 20 * math.sin(math.radians(10)), W=20.0, U1=200, U2=1500), False),
    ("oblique dip 45", seg(dip=45.0, strike=200.0), False),
    ("steep dip 80", seg(dip=80.0, strike=300.0, U1=-1500.0, U2=300.0), False),
    ("near vertical 89.5", seg(dip=89.5, depth=14.0, U1=2000.0, U2=100.0), False),
    ("vertical 90 with GNSS", seg(dip=90.0, depth=16.0, U1=-2000.0, U2=-300.0), True),
]


@pytest.mark.parametrize("label,truth,gnss", CASES, ids=[c[0] for c in CASES])
def test_synthetic_fault_recovered_within_three_sigma(label, truth, gnss):
    rng = np.random.default_rng(7)
    data = [radar(truth, 3.0, rng)]
    if gnss:
        xs, ys = rng.uniform(-50, 50, 15), rng.uniform(-50, 50, 15)
        enu = vadrel.displacement(vadrel.Faults([truth]), xs, ys) + rng.normal(0, [1.0, 1.0, 3.0], (15, 3))
        data.append(invert.Dataset.gnss(xs, ys, *enu.T, sigma_e=1.0, sigma_n=1.0, sigma_u=3.0, name="gps"))
    fit = invert.fit_fault(data, perturbed(truth))
    for n in invert.DEFAULT_FREE:
        assert abs(fit.params[n] - getattr(truth, n)) <= 3 * fit.sigma[n], (n, fit.params[n], fit.sigma[n])
        assert fit.sigma[n] > 0
    assert abs(fit.offsets["radar"] - 5.0) <= 3 * fit.sigma["radar.offset"] + 3 * 60 * (
        fit.sigma["radar.ramp_x"] + fit.sigma["radar.ramp_y"])
    assert fit.ramps["radar"] == pytest.approx((0.02, -0.03), abs=3 * fit.sigma["radar.ramp_x"] + 1e-9)
    # Noise of the given sigma: chi-square near the number of observations.
    m = sum(len(d) for d in data)
    assert abs(fit.chi2 - m) < 5 * math.sqrt(2 * m)
    assert fit.rms["radar"] == pytest.approx(3.0, rel=0.1)
    area = truth.L * truth.W * 1e6
    assert fit.moment == pytest.approx(3e10 * area * math.hypot(truth.U1, truth.U2) / 1e3, rel=0.05)


def _fd_jacobian(problem, p):
    cols = []
    for j in range(p.size):
        # 1e-3 km or degree; range is linear in the slips, but the kernels return
        # components below 1e-8 as exact zeros: a whole millimetre of slip.
        h = 1.0 if j < problem.nfree and problem.free[j][1] in ("U1", "U2", "U3") else 1e-3
        a, b = p.copy(), p.copy()
        a[j] += h
        b[j] -= h
        cols.append((problem.residuals(a) - problem.residuals(b)) / (2 * h))
    return np.column_stack(cols)


@pytest.mark.parametrize("segments", [
    [seg(dip=35.0)],
    [seg(dip=90.0, strike=350.0, depth=10.0, W=9.0)],
    [seg(dip=120.0, depth=12.0, W=10.0), seg(X=20.0, Y=5.0, dip=70.0, strike=80.0, depth=9.0, W=8.0)],
], ids=["dip 35", "vertical", "two segments, one overturned"])
def test_closed_form_jacobian_matches_central_differences(segments):
    rng = np.random.default_rng(3)
    x, y = rng.uniform(-50, 50, 400), rng.uniform(-50, 50, 400)
    look = np.column_stack([rng.uniform(-0.6, -0.5, 400), rng.uniform(-0.12, -0.1, 400), np.full(400, 0.8)])
    d = invert.Dataset(x, y, np.zeros(400), look, sigma=rng.uniform(1, 3, 400), normalise=True)
    free = [list(invert.PARAMETERS)] * len(segments)
    problem = _Problem(Stack([d]), [_seg_values(s) for s in segments], free, None)
    p = problem.start()
    p[problem.nfree:] = (1.0, 0.01, -0.02)
    J, F = problem.jacobian(p), _fd_jacobian(problem, p)
    scale = np.abs(F).max(axis=0) + 1e-12
    assert np.all(np.abs(J - F).max(axis=0) / scale < 1e-4)


@pytest.fixture(scope="module")
def sarez():
    if not os.path.exists(SAREZ):
        pytest.skip("the shared radar data are not beside the checkout")
    d = invert.load_dataset(SAREZ)
    start = vadrel.read_faults(SOURCE / "examples" / "sarez_start.txt")
    return d, invert.fit_fault(d, start)


def test_sarez_single_fault_has_the_events_character(sarez):
    d, fit = sarez
    assert len(d) == 3927
    assert 35.0 <= fit.params["strike"] % 180.0 <= 45.0      # north-east
    assert fit.params["U1"] > 3 * abs(fit.params["U2"])        # strike slip, left-lateral
    assert 60.0 <= fit.params["dip"] <= 120.0                  # steep
    assert 6.9 <= fit.Mw <= 7.5                                # published: Mw 7.2
    assert fit.variance_reduction[d.name] >= 0.88 and fit.variance_reduction["all"] >= 0.88


def test_sarez_slip_explains_more_within_its_rake_range(sarez):
    d, fit = sarez
    slip = invert.fit_slip(d, fit.faults.segments[0], nx=20, ny=5, smoothing=1.0, extend=(15, 6),
                           rake=(-45, 45))
    assert slip.variance_reduction["all"] > fit.variance_reduction["all"] + 0.01
    rake = np.degrees(np.arctan2(slip.slip[..., 1], slip.slip[..., 0]))
    big = np.hypot(slip.slip[..., 0], slip.slip[..., 1]) > 1.0
    assert np.all(np.abs(rake[big]) <= 45.0 + 1e-6)
    assert 6.9 <= slip.Mw <= 7.5
    assert len(slip.patches) == 100


def test_slip_greens_functions_and_bounds_on_a_known_distribution():
    """Data from a known slip on 6 x 3 patches: the unsmoothed fit returns
    it; the Green's functions (patch frame) match the module's range change
    (map frame) of the patches; signs and smoothing behave."""
    plane = seg(X=-10.0, Y=-20.0, dip=50.0, depth=14.0, W=15.0, L=36.0)
    x, y = grid(25)
    truth_u1 = np.outer([1.0, 2.0, 1.0], [1, 2, 3, 3, 2, 1]) * 200.0
    truth_u2 = -0.5 * truth_u1
    _, patches = _plane_patches(plane, 6, 3, (0, 0))
    model = vadrel.Faults([_make_segment(dict(v, U1=a, U2=b)) for v, a, b in
                           zip(patches, truth_u1.ravel(), truth_u2.ravel())])
    los = vadrel.range_change(model, x, y, LOOK)
    d = invert.Dataset(x, y, los, LOOK, offset=False, ramp=False)
    fit = invert.fit_slip(d, plane, nx=6, ny=3, smoothing=0.0)
    assert np.allclose(fit.slip[..., 0], truth_u1, atol=1e-3)
    assert np.allclose(fit.slip[..., 1], truth_u2, atol=1e-3)
    assert fit.variance_reduction["all"] == pytest.approx(1.0, abs=1e-9)
    # U2 forced >= 0: it cannot follow, and stays on its bound.
    bounded = invert.fit_slip(d, plane, nx=6, ny=3, smoothing=0.0, positivity=(1, 1))
    assert bounded.slip[..., 1].min() >= 0.0 and bounded.slip[..., 0].min() >= 0.0
    assert bounded.variance_reduction["all"] < 0.999
    # More smoothing: a worse fit and a smoother slip.
    misfit, rough = invert.lcurve(d, plane, nx=6, ny=3, smoothings=[0.01, 0.1, 1.0, 10.0])
    assert np.all(np.diff(misfit) > 0) and np.all(np.diff(rough) < 0)


_LOS = "x y los e n u\n"


@pytest.mark.parametrize("name,text,kind,message", [
    ("missing.txt", "x y los e n\n1 2 3 0 0\n", "los", "line 1: missing column(s) u"),
    ("nan.txt", _LOS + "1 2 3 0 0 1\n1 2 nan 0 0 1\n", "los", "line 3: los is not finite"),
    ("short.txt", _LOS + "# note\n1 2 3 0 0 1\n1 2 3 0 0\n", "los", "line 4: 5 values, expected 6"),
    ("word.csv", "x,y,los,e,n,u\n1,2,abc,0,0,1\n", "los", "line 2: 'abc' is not a number"),
    ("sigma.txt", "x y los e n u sigma\n1 2 3 0 0 1 0\n", "los", "line 2: sigma must be positive"),
    ("look.txt", _LOS + "1 2 3 0 0 0\n", "los", "line 2: the look vector"),
    ("empty.txt", "\n# nothing\n", "los", "no header line"),
    ("header.txt", _LOS, "los", "line 1: a header but no data lines"),
    ("gnss.txt", "x y e n u se sn\n1 2 3 4 5 1 1\n", "gnss", "missing column(s) su"),
])
def test_load_dataset_errors_name_file_and_line(tmp_path, name, text, kind, message):
    p = tmp_path / name
    p.write_text(text)
    with pytest.raises(ValueError) as e:
        invert.load_dataset(p, kind=kind)
    assert str(e.value).startswith(str(p)) and message in str(e.value)


def test_load_dataset_reads_text_and_npz(tmp_path):
    (tmp_path / "a.csv").write_text("X, Y, LOS, E, N, U, sigma\n1, 2, 3.5, -0.6, -0.1, 0.79, 2\n4 5 6 -0.6 -0.1 0.79 2\n")
    d = invert.load_dataset(tmp_path / "a.csv")
    assert d.name == "a" and np.array_equal(d.obs, [3.5, 6.0]) and np.array_equal(d.sigma, [2.0, 2.0])
    np.savez(tmp_path / "g.npz", x=[1.0, 2.0], y=[0.0, 1.0], e=[1, 2], n=[3, 4], u=[5, 6], se=[1, 1],
             sn=[1, 1], su=[2, 2])
    g = invert.load_dataset(tmp_path / "g.npz", kind="gnss")
    assert np.array_equal(g.obs, [1, 2, 3, 4, 5, 6]) and np.array_equal(g.look[1:3], [[1, 0, 0], [0, 1, 0]])
    np.savez(tmp_path / "bad.npz", x=[1.0, 2.0], y=[0.0], los=[1, 2], e=[0, 0], n=[0, 0], u=[1, 1])
    with pytest.raises(ValueError, match="bad.npz: column y has 1 values"):
        invert.load_dataset(tmp_path / "bad.npz")


def _cli(*args, cwd):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run([sys.executable, "-m", "vadrel.invert", *map(str, args)], cwd=cwd, env=env,
                          capture_output=True, text=True, check=False)


def test_command_line_writes_a_faults_file_the_program_runs(tmp_path, binary):
    truth = seg(X=-5.0, Y=3.0, dip=70.0, U1=-1200.0, U2=400.0)
    x, y = grid(20, 50.0)
    ramp = (0.03, -0.01, 4.0)
    los = vadrel.range_change(vadrel.Faults([truth], ramp=ramp), x, y, LOOK)
    np.savetxt(tmp_path / "data.txt", np.column_stack([x, y, los, np.tile(LOOK, (x.size, 1))]),
               header="x y los e n u", comments="")
    invert.write_faults(tmp_path / "start.txt", vadrel.Faults([perturbed(truth)]))
    r = _cli("data.txt", "--start", "start.txt", "-o", "fitted.txt", "--plot", "fit.png", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    lines = (tmp_path / "fitted.txt").read_text().splitlines()
    assert all(len(line) <= 128 for line in lines) and lines[-1].startswith("P ")
    summary = json.loads((tmp_path / "fitted.json").read_text())
    assert summary["fault"]["variance_reduction"]["all"] > 0.999999
    assert {"value", "sigma"} <= set(summary["fault"]["params"]["dip"])
    assert (tmp_path / "fit.png").stat().st_size > 10000
    # The program, on the fitted file, reproduces the data (ramp included) at its printed digits (one decimal).
    pts = ["V %g %g %g 1.0" % LOOK] + [f" {a:.4f} {b:.4f}" for a, b in zip(x, y)]
    (tmp_path / "points.txt").write_text("\n".join(pts) + "\n")
    status, _, out = run_program(binary, "points.txt", "fitted.txt", "ascii", tmp_path)
    assert status == 0
    computed = np.array([float(fields(rec, 10)[2]) for rec in records(out)])
    assert computed.size == x.size and np.abs(computed - los).max() <= 0.05 + 1e-6
    # Errors: one line, no traceback, non-zero status.
    for args in (["nothere.txt", "--start", "start.txt", "-o", "f.txt"],
                 ["data.txt", "--start", "start.txt", "--free", "X,Q", "-o", "f.txt"]):
        r = _cli(*args, cwd=tmp_path)
        assert r.returncode == 1 and "Traceback" not in r.stderr
        assert len([line for line in r.stderr.splitlines() if "error" in line]) == 1
    assert not (tmp_path / "f.txt").exists()


def test_random_starts_as_tasks_on_worker_processes_match_local_starts():
    distributed = pytest.importorskip("distributed")
    truth = seg(dip=70.0, U1=-1500.0)
    data = radar(truth, 3.0, np.random.default_rng(5))
    local = invert.fit_fault(data, perturbed(truth), starts=3, seed=4)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  silence_logs=40) as cluster, distributed.Client(cluster) as client:
        remote = invert.fit_fault(data, perturbed(truth), starts=3, seed=4, client=client)
    # The same starts and fits (to rounding: the workers' processors split the sums differently).
    assert remote.starts == pytest.approx(local.starts, rel=1e-9) and min(local.starts) == local.chi2 / 2
    assert remote.params == pytest.approx(local.params, rel=1e-7, abs=1e-9)


def test_top_edge_stays_below_the_ground_and_bad_starts_or_bounds_are_refused():
    # A rupture reaching the surface: the fit may touch the bound, never cross it.
    truth = seg(dip=75.0, depth=12.0 * math.sin(math.radians(75.0)), W=12.0, U1=2000.0, U2=0.0)
    data = radar(truth, 3.0, np.random.default_rng(9))
    fit = invert.fit_fault(data, perturbed(truth))
    p = fit.params
    assert p["depth"] - p["W"] * math.sin(math.radians(p["dip"])) >= -1e-9
    assert fit.variance_reduction["all"] > 0.99
    # Depth held, W and dip free: W is kept within the depth.
    held = invert.fit_fault(data, seg(depth=8.0, W=6.0, dip=70.0), free=("W", "dip", "U1", "U2"))
    assert held.params["W"] <= 8.0 + 1e-9
    for start, kw, message in [
        (seg(depth=5.0, W=12.0, dip=60.0), {}, "top edge is above the ground"),
        (truth, {"bounds": {"depth": (0, 10)}}, "bound it with 'top'"),
        (truth, {"bounds": {"top": (1, 10)}}, "outside the bounds"),
        (truth, {"free": ("X", "rake")}, "unknown parameter 'rake'"),
        (truth, {"jacobian": "secant"}, "analytic, forward or central"),
    ]:
        with pytest.raises(ValueError, match=message):
            invert.fit_fault(data, start, **kw)


def test_covariance_weights_equal_sigma_weights_when_diagonal():
    truth = seg(dip=50.0)
    rng = np.random.default_rng(12)
    a = radar(truth, 2.0, rng)
    sig = np.linspace(1.0, 4.0, len(a))
    b = invert.Dataset(a.x, a.y, a.obs, a.look, sigma=sig, name="radar")
    c = invert.Dataset(a.x, a.y, a.obs, a.look, cov=np.diag(sig ** 2), name="radar")
    fb, fc = invert.fit_fault(b, truth), invert.fit_fault(c, truth)
    assert fc.params == pytest.approx(fb.params, rel=1e-8, abs=1e-8)
    assert fc.sigma == pytest.approx(fb.sigma, rel=1e-6, abs=1e-10)
    with pytest.raises(ValueError, match="not positive definite"):
        invert.Dataset(a.x[:2], a.y[:2], a.obs[:2], LOOK, cov=[[1.0, 2.0], [2.0, 1.0]])


def test_extended_plane_keeps_its_top_edge_and_its_patches_tile_it():
    from vadrel.plot import segment_outline
    plane = seg(X=5.0, Y=-3.0, strike=130.0, dip=40.0, depth=14.0, W=15.0)
    ext, patches = _plane_patches(plane, 5, 4, (6.0, 5.0))
    big = _make_segment(ext)
    (_, top0), (_, top1) = segment_outline(plane), segment_outline(big)
    # The old top edge lies on the new one, 6 km in from each end, at the same depth.
    along = (top1[1] - top1[0]) / np.linalg.norm(top1[1] - top1[0])
    assert np.allclose(top0, top1 + np.outer([1, -1], 6.0 * along), atol=1e-9)
    assert _top(ext) == pytest.approx(_top(_seg_values(plane)), abs=1e-12)
    assert (big.L, big.W) == pytest.approx((plane.L + 12.0, plane.W + 5.0))
    # Uniform slip on the patches is slip on the whole plane.
    x, y = grid(15, 70.0)
    whole = vadrel.range_change(vadrel.Faults([_make_segment(dict(ext, U1=700.0, U2=-300.0))]), x, y, LOOK)
    tiles = vadrel.range_change(vadrel.Faults([_make_segment(dict(v, U1=700.0, U2=-300.0))
                                               for v in patches]), x, y, LOOK)
    assert np.allclose(tiles, whole, atol=1e-6 * np.abs(whole).max())
