"""Resolution of a slip inversion against its limits and an impulse, the
checkerboard, the L-curve's corner on curves of known corner, the pictures."""
import math

import numpy as np
import pytest

import vadrel
from vadrel import invert
from vadrel.invert.fault import _make_segment
from vadrel.invert.mesh import mesh_segments
from vadrel.invert.problem import slip_problem
from vadrel.invert.resolution import checkerboard, resolution
from vadrel.invert.slip import LCurve, fit_slip, lcurve, lcurve_corner

LOOK = (-0.61, -0.11, 0.785)


def dipping(x0, y0, strike, L, W=8.0, dip=40.0, top=0.5, name="s"):
    """A segment whose top edge starts at (x0, y0)."""
    s, c = math.sin(math.radians(strike)), math.cos(math.radians(strike))
    wc = W * math.cos(math.radians(dip))
    return vadrel.Segment(X=x0 + wc * c, Y=y0 - wc * s, strike=strike, depth=top + W * math.sin(math.radians(dip)),
                          dip=dip, lam=3e10, mu=3e10, U1=0.0, U2=0.0, U3=0.0, L=L, W=W, name=name)


def faults():
    a = dipping(-20.0, -8.0, 70.0, 20.0, name="a")
    end = (-20.0 + 20.0 * math.sin(math.radians(70.0)), -8.0 + 20.0 * math.cos(math.radians(70.0)))
    return vadrel.Faults([a, dipping(*end, 70.0, 16.0, name="b")])


def data(n=31, sigma=2.0, seed=0):
    g = np.linspace(-45, 45, n)
    x, y = (a.ravel() for a in np.meshgrid(g, g + 2.1))
    m = mesh_segments(faults(), nx=[5, 4], ny=2)
    model = vadrel.Faults([_make_segment(dict(v, U1=a, U2=b)) for v, a, b in
                           zip(m.patches, np.linspace(200, 1500, len(m)), np.linspace(-100, 300, len(m)))])
    los = vadrel.range_change(model, x, y, LOOK) + np.random.default_rng(seed).normal(0, sigma, x.size)
    return invert.Dataset(x, y, los, LOOK, sigma=sigma)


@pytest.fixture(scope="module")
def problem():
    return slip_problem(data(), faults(), nx=[5, 4], ny=2)


def test_resolution_diagonal_between_its_limits_and_equal_to_the_estimate_of_an_impulse(problem):
    # No smoothing and more data than unknowns: every component resolved alone.
    sharp = resolution(problem, smoothing=0.0)
    assert np.allclose(sharp.diagonal, 1.0, atol=1e-6) and np.allclose(sharp.nuisance, 1.0, atol=1e-6)
    assert sharp.trace == pytest.approx(problem.n, abs=1e-5)
    # Smoothing shares the information between neighbours: less on each, monotonically.
    traces = [resolution(problem, smoothing=s).trace for s in (0.01, 0.1, 1.0, 10.0)]
    assert np.all(np.diff(traces) < 0) and traces[-1] < 0.5 * problem.n
    res = resolution(problem, smoothing=0.3)
    assert np.all((res.diagonal > 0) & (res.diagonal < 1))
    # R[k, k] is the estimate, from noise-free data, of 1 mm on patch k alone.
    for k in (0, 7, 15):
        for comp in (0, 1):
            u = np.zeros(problem.n)
            u[k + comp * problem.P] = 1.0
            est, _ = problem.solve(0.3, rhs=problem.neq.A @ u)
            assert est[k + comp * problem.P] == pytest.approx(res.diagonal[k, comp], rel=1e-7)
    # From a fit: its smoothing by default.
    fit = fit_slip(problem, smoothing=0.3)
    assert resolution(fit).trace == pytest.approx(res.trace)


def test_checkerboard_pattern_and_recovery(problem):
    cb = checkerboard(problem, size=(8.0, 4.0), smoothing=0.0, amplitude=700.0)
    # Squares of 8 km along the segments laid end to end and 4 km in depth, from the top.
    along, depth = cb.layout.centres.T
    on = (np.floor(along / 8.0) + np.floor((depth - 0.5) / 4.0)) % 2 == 0      # top edges 0.5 km deep
    assert np.allclose(np.hypot(*cb.input.T), np.where(on, 700.0, 0.0))
    assert np.allclose(cb.input[:, 1], 0.0)                # rake 0: strike slip
    # No smoothing, more data than unknowns, no noise: recovered exactly.
    assert cb.recovery == pytest.approx(1.0, abs=1e-9) and np.allclose(cb.recovered, cb.input, atol=1e-6)
    smooth = checkerboard(problem, size=(8.0, 4.0), smoothing=0.3, amplitude=700.0)
    assert 0.0 < smooth.recovery < 1.0
    # Noise from the data's weights: the unbounded estimate stays unbiased, its
    # scatter that of (H^-1 A H^-1) (H the smoothed normal matrix, A the data's).
    draws = np.array([checkerboard(problem, size=(8.0, 4.0), smoothing=0.3, amplitude=700.0, noise=True,
                                   seed=k).recovered.ravel() for k in range(300)])
    H = np.array(problem.neq.A)
    M = problem.laplacian_normal().tocoo()
    H[M.row, M.col] += problem.weight(0.3) * M.data
    Hi = np.linalg.inv(H)
    sd = np.sqrt(np.diag(Hi @ problem.neq.A @ Hi))[:2 * problem.P]
    sd = np.column_stack([sd[:problem.P], sd[problem.P:]]).ravel()
    assert np.all(np.abs(draws.mean(axis=0) - smooth.recovered.ravel()) < 4.5 * sd / math.sqrt(len(draws)))
    assert np.allclose(draws.std(axis=0) / sd, 1.0, atol=0.25)
    again = checkerboard(problem, size=(8.0, 4.0), smoothing=0.3, amplitude=700.0, noise=True, seed=4)
    assert np.array_equal(again.recovered.ravel(), draws[4])
    with pytest.raises(ValueError, match="positive sides"):
        checkerboard(problem, size=(0.0, 4.0), smoothing=1.0)


def test_checkerboard_slip_follows_the_rake_range():
    sp = slip_problem(data(), faults(), nx=[5, 4], ny=2, rake=(60.0, 120.0))
    cb = checkerboard(sp, size=(10.0, 6.0), smoothing=0.5)
    on = np.hypot(*cb.input.T) > 0
    assert np.allclose(cb.input[on, 0], 0.0, atol=1e-9) and np.all(cb.input[on, 1] > 0)   # rake 90
    rk = np.degrees(np.arctan2(cb.recovered[:, 1], cb.recovered[:, 0]))
    big = np.hypot(*cb.recovered.T) > 1e-6
    assert np.all((rk[big] > 60 - 1e-6) & (rk[big] < 120 + 1e-6))


def _symmetric_curve(t, shift=0.0):
    """An L-curve symmetric about t = shift under exchanging its axes:
    x(t) = log10(1 + 10^(2 (t - shift))), y(t) = x(-(t - shift)); its
    curvature is greatest where the symmetry axis crosses it."""
    u = 2.0 * (np.asarray(t) - shift)
    x = np.log10(1.0 + 10.0 ** u) + 1.0
    y = np.log10(1.0 + 10.0 ** -u) + 0.5
    return 10.0 ** x, 10.0 ** y


@pytest.mark.parametrize("shift, lo, hi, step", [(0.0, -2.0, 2.0, 0.25), (0.7, -1.5, 2.5, 0.2),
                                                 (-1.3, -3.0, 1.0, 0.5)])
def test_lcurve_corner_where_the_curve_is_most_bent(shift, lo, hi, step):
    t = np.arange(lo, hi + 1e-9, step)
    misfit, rough = _symmetric_curve(t, shift)
    corner, nearest, curv = lcurve_corner(misfit, rough, 10.0 ** t)
    assert math.log10(corner) == pytest.approx(shift, abs=0.15 * step)
    assert nearest == int(np.argmin(np.abs(t - shift)))
    assert np.nanargmax(curv) == nearest
    assert lcurve_corner(misfit[:3], rough[:3], 10.0 ** t[:3]) == (None, None, None)


def test_lcurve_unpacks_as_before_and_finds_its_corner(problem):
    weights = [0.01, 0.03, 0.1, 0.3, 1.0, 3.0, 10.0, 30.0]
    lc = lcurve(problem, smoothings=weights)
    misfit, rough = lc
    assert isinstance(lc, LCurve) and len(lc) == 2
    assert np.all(np.diff(misfit) > 0) and np.all(np.diff(rough) < 0)
    assert weights[1] <= lc.corner_smoothing <= weights[-2] and lc.corner is not None
    # The misfit from the normal equations is that of the fit's own residuals.
    fit = fit_slip(problem, smoothing=1.0)
    assert misfit[4] == pytest.approx(fit.misfit, rel=1e-7) and rough[4] == pytest.approx(fit.roughness, rel=1e-9)

    # Weights all on one side of the corner: said.
    t = np.arange(0.5, 3.01, 0.25)
    beyond = LCurve(*_symmetric_curve(t), 10.0 ** t, None)
    assert beyond.corner_at_edge and beyond.corner_smoothing == pytest.approx(10.0 ** t[1])
    inside = LCurve(*_symmetric_curve(t, 1.7), 10.0 ** t, None)
    assert not inside.corner_at_edge
    # The corner drawn on the curve, at its weight.
    exact = _symmetric_curve(math.log10(inside.corner_smoothing), 1.7)
    assert inside.corner_misfit == pytest.approx(exact[0], rel=5e-3)
    assert inside.corner_roughness == pytest.approx(exact[1], rel=5e-3)


def test_pictures_depth_down_equal_scales_bounds_marked(tmp_path):
    # The resolution, checkerboard and L-curve pictures: test_slip_cli.py writes them.
    import matplotlib
    matplotlib.use("Agg")
    from matplotlib.collections import PolyCollection
    from vadrel.plot.slip import plot_slip
    fit = fit_slip(data(), faults(), nx=[5, 4], ny=2, smoothing=0.3, rake=(-10.0, 10.0))
    assert fit.at_bound.any()
    ax = plot_slip(fit, tmp_path / "slip.png").axes[0]
    bottom, top = ax.get_ylim()
    assert bottom > top and ax.get_aspect() == 1.0         # depth grows downward, equal scales
    hatched = [c for c in ax.collections if isinstance(c, PolyCollection) and c.get_hatch()]
    assert len(hatched) == 1 and len(hatched[0].get_paths()) == int(fit.at_bound.sum())
    assert any(type(c).__name__ == "QuiverKey" for c in ax.artists + ax.get_children())
    assert (tmp_path / "slip.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    # Today's call of a one-segment fit.
    plane = dipping(-20.0, -8.0, 70.0, 36.0)
    plot_slip(invert.fit_slip(data(), plane, nx=6, ny=3, smoothing=1.0), tmp_path / "one.png", title="one", dpi=60)
    assert (tmp_path / "one.png").stat().st_size > 1000
