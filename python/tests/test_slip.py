"""Slip on every segment: the bounded solver against scipy's BVLS, meshes and
joins, the Laplacian against exact second differences, the normal equations
by blocks against the module's own range change, and whole fits."""
import math
import warnings

import numpy as np
import pytest
import scipy.optimize

import vadrel
from vadrel import invert
from vadrel.invert.bounded import nonnegative_quadratic
from vadrel.invert.data import Stack
from vadrel.invert.fault import _make_segment
from vadrel.invert.greens import normal_equations
from vadrel.invert.mesh import mesh_segments
from vadrel.invert.problem import slip_problem
from vadrel.invert.slip import fit_slip

from conftest import EXAMPLES, SOURCE

LOOK = (-0.61, -0.11, 0.785)


def seg(**kw):
    return vadrel.Segment(**{**dict(X=0.0, Y=0.0, strike=30.0, depth=15.0, dip=60.0, lam=3e10, mu=3e10, U1=0.0,
                                    U2=0.0, U3=0.0, L=30.0, W=12.0, name="f"), **kw})


def vertical(x0, y0, strike, L, W=12.0, top=0.0, name="s"):
    """A vertical segment whose top edge starts at (x0, y0)."""
    return seg(X=x0, Y=y0, strike=strike, dip=90.0, depth=top + W, L=L, W=W, name=name)


def grid(n=25, half=50.0):
    g = np.linspace(-half, half, n)
    x, y = np.meshgrid(g, g + 3.3)
    return x.ravel(), y.ravel()


def two_segments(L1=20.0, L2=24.0, bend=30.0):
    r = math.radians(40.0)
    return vadrel.Faults([vertical(-18.0, -10.0, 40.0, L1, name="a"),
                          vertical(-18.0 + L1 * math.sin(r), -10.0 + L1 * math.cos(r), 40.0 + bend, L2, name="b")])


def synthetic(faults_of_patches, sigma=None, offset=False, ramp=False, n=25):
    x, y = grid(n)
    los = vadrel.range_change(faults_of_patches, x, y, LOOK)
    return invert.Dataset(x, y, los, LOOK, sigma=sigma, offset=offset, ramp=ramp)


def patch_model(mesh, slip):
    return vadrel.Faults([_make_segment(dict(v, U1=float(a), U2=float(b))) for v, (a, b) in
                          zip(mesh.patches, slip)])


def unit_fields(m, st, slips):
    """The module's range change of each patch alone under each slip (U1, U2)."""
    return [vadrel.range_change(vadrel.Faults([_make_segment(dict(v, U1=a, U2=b))]), st.x, st.y, st.look)
            for a, b in slips for v in m.patches]


def _lsq_case(m, n, constrained_every, seed, negative=0.5):
    """G, d and the constrained mask of a least-squares problem whose
    unconstrained answer has about ``negative`` of its entries below 0."""
    rng = np.random.default_rng(seed)
    G = rng.standard_normal((m, n))
    x = np.where(rng.uniform(size=n) < negative, -1.0, 1.0) * rng.uniform(0.5, 2.0, n)
    d = G @ x + 0.3 * rng.standard_normal(m)
    return G, d, np.arange(n) % constrained_every == 0


@pytest.mark.parametrize("m, n, every, negative, schur", [
    (60, 20, 1, 0.5, False),      # all constrained, many active
    (60, 20, 3, 0.5, False),      # some free
    (50, 40, 2, 0.5, False),      # nearly square
    (700, 400, 1, 0.1, True),     # large, few active: the Schur-complement path
    (700, 400, 2, 0.2, True),
])
def test_bounded_solver_matches_scipy_bvls(m, n, every, negative, schur, monkeypatch):
    from vadrel.invert import bounded
    calls, real = [], bounded._schur
    monkeypatch.setattr(bounded, "_schur", lambda *a: calls.append(a[4].size) or real(*a))
    G, d, cons = _lsq_case(m, n, every, seed=m + n + every, negative=negative)
    ref = scipy.optimize.lsq_linear(G, d, bounds=(np.where(cons, 0.0, -np.inf), np.inf), method="bvls", tol=1e-14).x
    sol = nonnegative_quadratic(G.T @ G, G.T @ d, cons)
    assert sol.converged, sol.message
    assert np.all(sol.x[cons] >= 0.0)
    assert np.allclose(sol.x, ref, atol=1e-8 * max(1.0, np.abs(ref).max()))
    # Conditions of optimality: gradient 0 on the passive set, >= 0 on the active one.
    grad = G.T @ (G @ sol.x - d)
    assert np.all(grad[sol.active] >= -1e-8 * np.abs(G.T @ d).max())
    assert np.allclose(grad[~sol.active], 0.0, atol=1e-7 * np.abs(G.T @ d).max())
    assert not np.any(sol.active & ~cons)
    # Few constraints active: solved through the inverse once the active set is the smaller.
    assert bool(calls) == schur
    # Started from the answer, one factorisation confirms it.
    again = nonnegative_quadratic(G.T @ G, G.T @ d, cons, active=sol.active)
    assert again.iterations == 1 and np.allclose(again.x, sol.x, atol=1e-9 * max(1.0, np.abs(ref).max()))


def test_bounded_solver_without_constraints_and_at_its_limit():
    G, d, cons = _lsq_case(80, 30, 1, seed=5, negative=0.5)
    free = nonnegative_quadratic(G.T @ G, G.T @ d, np.zeros(30, dtype=bool))
    assert free.converged and np.allclose(free.x, np.linalg.lstsq(G, d, rcond=None)[0])
    # One factorisation is not enough from the cold start: feasible, not converged, and said so.
    short = nonnegative_quadratic(G.T @ G, G.T @ d, cons, maxiter=1)
    assert not short.converged and "iteration limit" in short.message and np.all(short.x >= 0.0)
    with pytest.raises(ValueError, match="must be"):
        nonnegative_quadratic(np.eye(3), np.ones(4), np.ones(4, dtype=bool))


def test_patch_sizes_per_segment_and_extension_only_at_free_ends():
    f = two_segments(20.0, 24.0)
    m = mesh_segments(f, patch=[(2.0, 3.0), (4.0, 4.0)], extend=(5.0, 2.0))
    assert m.joins == [(0, 1)]
    # Joined end and start stay; free ends grow by 5 km; both grow 2 km down.
    assert [v["L"] for v in m.planes] == pytest.approx([25.0, 29.0])
    assert [v["W"] for v in m.planes] == pytest.approx([14.0, 14.0])
    assert m.shapes == [(5, 12), (4, 7)]            # round(14/3), round(25/2); round(14/4), round(29/4)
    assert len(m) == 5 * 12 + 4 * 7
    assert m.planes[0]["X"] == pytest.approx(-18.0 - 5 * math.sin(math.radians(40.0)))
    assert m.planes[1]["X"] == pytest.approx(f.segments[1].X)
    # Per-segment counts, and one count for all.
    assert mesh_segments(f, nx=[3, 4], ny=[2, 1]).shapes == [(2, 3), (1, 4)]
    assert mesh_segments(f, nx=3, ny=2).shapes == [(2, 3), (2, 3)]


@pytest.mark.parametrize("gap, join, expected", [
    (0.0, None, [(0, 1)]),
    (0.8, None, [(0, 1)]),          # within half of the shorter patch length (2 km)
    (1.5, None, []),
    (1.5, 2.0, [(0, 1)]),
    (0.0, False, []),
    (5.0, [(0, 1)], [(0, 1)]),      # named pairs, whatever the distance
])
def test_joins_by_distance_of_the_top_edges_ends(gap, join, expected):
    b_a = [vertical(20.0 + gap, 0.0, 90.0, 20.0, name="b"), vertical(0.0, 0.0, 90.0, 20.0, name="a")]
    m = mesh_segments(b_a, nx=10, ny=2, join=join if not isinstance(join, list) else [(1, 0)])
    assert m.joins == ([(1, 0)] if expected else [])


@pytest.mark.parametrize("kwargs, message", [
    (dict(nx=3), "give nx and ny"),
    (dict(nx=0, ny=2), "whole numbers >= 1"),
    (dict(nx=2.5, ny=2), "whole numbers >= 1"),
    (dict(nx=2, ny=2, patch=(1, 1)), "not both"),
    (dict(patch=(0, 1)), "positive"),
    (dict(nx=[2, 3, 4], ny=2), "3 values for 2 segments"),
    (dict(nx=2, ny=2, extend=(-1, 0)), "extend"),
    (dict(nx=2, ny=2, join=[(0, 0)]), "does not name two segments"),
])
def test_mesh_arguments_refused_with_a_reason(kwargs, message):
    with pytest.raises(ValueError, match=message):
        mesh_segments(two_segments(), **kwargs)


def test_laplacian_is_exact_for_a_parabola_along_strike_across_a_join_of_unequal_patches():
    # 2 km patches joined to 3 km patches, the same rows: on interior rows (away
    # from the top and bottom) the second difference of s^2 along strike is 2,
    # on unequal spacing too, and that of a constant 0.
    f = two_segments(20.0, 24.0, bend=0.0)
    m = mesh_segments(f, nx=[10, 8], ny=5)
    D = m.laplacian()
    s = m.layout().centres[:, 0]
    row = np.concatenate([np.repeat(np.arange(ny), nx) for ny, nx in m.shapes])
    inner = (row > 0) & (row < 4)
    col = np.concatenate([np.tile(np.arange(nx), ny) for ny, nx in m.shapes])
    ends = ((m.segment == 0) & (col == 0)) | ((m.segment == 1) & (col == 7))
    assert np.allclose((D @ s ** 2)[inner & ~ends], 2.0, atol=1e-9)
    assert np.allclose((D @ np.ones(len(m)))[inner & ~ends], 0.0, atol=1e-12)
    # The free ends: the slip is 0 one patch beyond.
    assert np.allclose((D @ np.ones(len(m)))[inner & ends], -np.where(m.segment[inner & ends] == 0, 1 / 4, 1 / 9))


def test_laplacian_across_rows_that_do_not_line_up_and_at_the_ground():
    # 4 rows of 3 km facing 3 rows of 4 km over the same depths: a constant
    # slip has no along-strike curvature at the join (the overlap weights sum
    # to 1); at the top the slip is mirrored where the plane reaches the ground.
    for top, free in ((0.0, True), (2.0, False)):
        m = mesh_segments([vertical(0.0, 0.0, 90.0, 12.0, top=top), vertical(12.0, 0.0, 90.0, 12.0, top=top)],
                          nx=[4, 3], ny=[4, 3])
        assert m.joins == [(0, 1)] and m.free_top == [free, free]
        lap = m.laplacian() @ np.ones(len(m))
        for k, (ny, nx) in enumerate(m.shapes):
            field = lap[m.starts[k]:m.starts[k + 1]].reshape(ny, nx)
            pw = 12.0 / ny
            # The joined column (last of a, first of b), rows between top and bottom: 0.
            c = nx - 1 if k == 0 else 0
            assert np.allclose(field[1:-1, c], 0.0, atol=1e-12)
            assert field[0, c] == pytest.approx(0.0 if free else -1.0 / pw ** 2)
            assert field[-1, c] == pytest.approx(-1.0 / pw ** 2)


@pytest.mark.parametrize("weights", ["none", "sigma", "cov"])
def test_normal_equations_by_blocks_equal_those_of_the_whole_matrix(weights):
    m = mesh_segments(two_segments(), nx=[3, 2], ny=2)
    x, y = grid(12)
    rng = np.random.default_rng(3)
    obs = rng.normal(0, 10, x.size)
    kw = {"none": {}, "sigma": {"sigma": rng.uniform(1, 4, x.size)},
          "cov": {"cov": np.diag(rng.uniform(1, 4, x.size)) + 0.5 * np.exp(-np.abs(np.subtract.outer(x, x)) / 9)}}
    d = invert.Dataset(x, y, obs, LOOK, **kw[weights])
    gnss = invert.Dataset.gnss(x[:7], y[:7], obs[:7], obs[7:14], obs[14:21], sigma_e=2.0, sigma_n=2.0,
                               sigma_u=5.0, name="gnss", offset=True)
    st = Stack([d, gnss])
    G = st.whiten(np.column_stack(unit_fields(m, st, [(1.0, 0.0), (0.0, 1.0)]) + [st.nuisance]))
    neq = normal_equations(st, m.patches, block_bytes=8 * 40 * G.shape[1])     # blocks of 64 rows
    assert np.allclose(neq.A, G.T @ G, rtol=1e-10, atol=1e-10 * np.abs(G.T @ G).max())
    assert np.allclose(neq.g, G.T @ st.wobs, rtol=1e-10, atol=1e-10 * np.abs(G.T @ st.wobs).max())
    assert neq.dd == pytest.approx(st.wobs @ st.wobs)
    c = rng.normal(0, 100, G.shape[1])
    assert neq.misfit2(c) == pytest.approx(np.sum((G @ c - st.wobs) ** 2), rel=1e-9)


def test_known_slip_on_two_joined_segments_recovered_without_smoothing():
    f = two_segments()
    m = mesh_segments(f, nx=[4, 3], ny=[2, 3])
    truth = np.random.default_rng(1).uniform(-800, 1500, (len(m), 2))
    d = synthetic(patch_model(m, truth))
    fit = fit_slip(d, f, nx=[4, 3], ny=[2, 3], smoothing=0.0)
    assert fit.status == "converged" and fit.converged
    assert np.allclose(fit.patch_slip, truth, atol=1e-3)
    assert [s.slip.shape for s in fit.segments] == [(2, 4, 2), (3, 3, 2)]
    assert np.allclose(fit.segments[1].slip.reshape(-1, 2), truth[8:], atol=1e-3)
    assert len(fit.patches) == 8 + 9 and not fit.at_bound.any()
    assert fit.variance_reduction["all"] == pytest.approx(1.0, abs=1e-9)
    assert isinstance(fit.slip, tuple) and fit.nx == (4, 3) and len(fit.planes) == 2


def test_one_segment_keeps_its_former_attributes():
    plane = seg(X=-10.0, Y=-20.0, dip=50.0, depth=14.0, W=15.0, L=36.0)
    d = synthetic(patch_model(mesh_segments(plane, nx=6, ny=3), np.full((18, 2), 300.0)))
    fit = invert.fit_slip(d, plane, nx=6, ny=3, smoothing=0.1)
    assert fit.slip.shape == (3, 6, 2) and (fit.nx, fit.ny) == (6, 3)
    assert isinstance(fit.plane, vadrel.Segment) and fit.plane.L == pytest.approx(36.0)
    assert fit_slip(d, plane=plane, nx=6, ny=3, smoothing=0.1).misfit == pytest.approx(fit.misfit)
    # The problem set up once serves another weight.
    assert np.allclose(fit_slip(fit.problem, smoothing=0.1).patch_slip, fit.patch_slip)
    with pytest.raises(ValueError, match="already meshed"):
        fit_slip(fit.problem, plane, smoothing=0.1)


@pytest.mark.parametrize("rake", [(-30.0, 60.0), (100.0, 170.0)])
def test_rake_bounds_are_exact_and_agree_with_bounded_least_squares_on_the_stacked_system(rake):
    """The whole problem written out independently -- whitened Green's
    functions in the two limiting rake directions, the Laplacian rows
    weighted by smoothing sqrt(m / 2P) -- and solved by scipy's BVLS."""
    f = two_segments(16.0, 12.0)
    m = mesh_segments(f, nx=[4, 3], ny=2)
    d = synthetic(patch_model(m, np.random.default_rng(7).uniform(-500, 1500, (len(m), 2))), sigma=3.0, offset=True)
    smoothing = 0.05
    fit = fit_slip(d, f, nx=[4, 3], ny=2, smoothing=smoothing, rake=rake)
    r1, r2 = np.radians(rake)
    T = np.array([[math.cos(r1), math.cos(r2)], [math.sin(r1), math.sin(r2)]])
    st = Stack([d])
    P, q = len(m), st.nuisance.shape[1]
    G = st.whiten(np.column_stack(unit_fields(m, st, T.T) + [st.nuisance]))
    rows = np.hstack([np.kron(T, m.laplacian().toarray()) * smoothing * math.sqrt(st.obs.size / (2 * P)),
                      np.zeros((2 * P, q))])
    lo = np.r_[np.zeros(2 * P), np.full(q, -np.inf)]
    c = scipy.optimize.lsq_linear(np.vstack([G, rows]), np.r_[st.wobs, np.zeros(2 * P)], bounds=(lo, np.inf),
                                  method="bvls", tol=1e-13).x
    slip = (T @ c[:2 * P].reshape(2, P)).T
    assert np.allclose(fit.patch_slip, slip, atol=1e-6 * np.abs(slip).max())
    mag = np.hypot(*fit.patch_slip.T)
    rk = np.degrees(np.arctan2(fit.patch_slip[:, 1], fit.patch_slip[:, 0]))
    rk = np.where(rk < rake[0] - 1e-6, rk + 360.0, rk)
    big = mag > 1e-6 * mag.max()
    assert np.all((rk[big] >= rake[0] - 1e-6) & (rk[big] <= rake[1] + 1e-6))
    # A patch is flagged when its rake sits on an end of the range or its slip is 0.
    on_end = ~big | (np.abs(rk - rake[0]) < 1e-6) | (np.abs(rk - rake[1]) < 1e-6)
    assert np.array_equal(fit.at_bound, on_end) and fit.at_bound.any()


def test_every_segment_is_used_and_too_few_data_are_refused_or_said():
    f = two_segments()
    d = synthetic(patch_model(mesh_segments(f, nx=3, ny=2), np.full((12, 2), 500.0)), offset=True, ramp=True)
    fit = fit_slip(d, f, nx=3, ny=2, smoothing=0.5)
    assert [s.name for s in fit.segments] == ["a", "b"] and len(fit.patches) == 12
    # Three observations for an offset and a ramp: nothing left to fit them.
    few = invert.Dataset(d.x[:3], d.y[:3], d.obs[:3], LOOK)
    with pytest.raises(ValueError, match="3 observations for 3 offsets and ramps"):
        fit_slip(few, f, nx=3, ny=2, smoothing=1.0)
    # Without smoothing every slip component must be determined by the data.
    some = invert.Dataset(d.x[:20], d.y[:20], d.obs[:20], LOOK, offset=False, ramp=False)
    with pytest.raises(ValueError, match="20 observations for 24 unknowns"):
        fit_slip(some, f, nx=3, ny=2, smoothing=0.0)
    # One observation, smoothed: it is fitted, but not silently.
    one = invert.Dataset(d.x[:1], d.y[:1], d.obs[:1], LOOK, offset=False, ramp=False)
    with pytest.warns(RuntimeWarning, match="1 observations for 24 unknowns"):
        fit = fit_slip(one, f, nx=3, ny=2, smoothing=1.0)
    assert "1 observations for 24 unknowns" in fit.message


def test_memory_is_refused_before_the_patches_are_cut(monkeypatch):
    monkeypatch.setattr(vadrel, "_memory_bytes", lambda: 10_000_000)
    d = synthetic(vadrel.Faults([seg(U1=1000.0)]), n=5)
    # 6 (2P)^2 doubles and 250 per patch: 6 x 20000^2 x 8 + 2e7 bytes.
    with pytest.raises(MemoryError, match=r"a slip inversion of 20000 unknowns \(10000 patches\) needs "
                                          r"19.2 GB, more than this machine's 10 MB"):
        slip_problem(d, seg(), nx=1000, ny=10)


@pytest.fixture(scope="module")
def sarez_data():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return invert.load_dataset(SOURCE.parent / "shared" / "data" / "insar" / "sarez2015_ascending.txt")


def test_sarez_three_segments_explain_the_interferogram_better_than_one_plane(sarez_data):
    """The geometry in examples/sarez_segments.txt: its slip within 1.15 x
    the rms of the published five-segment model (39.5 mm), where one plane
    under the same smoothing and rake range is not."""
    segs = vadrel.read_faults(EXAMPLES / "sarez_segments.txt")
    kw = dict(patch=(2.5, 2.5), smoothing=1.0, extend=(10.0, 8.0), rake=(-45.0, 45.0))
    three = fit_slip(sarez_data, segs, join=5.0, **kw)
    assert three.joins == [(0, 1), (1, 2)] and three.converged
    assert three.rms["all"] <= 1.15 * 39.5
    one = fit_slip(sarez_data, invert.fit_fault(sarez_data, vadrel.read_faults(EXAMPLES / "sarez_start.txt")).faults,
                   **kw)
    assert one.rms["all"] > 1.15 * 39.5
    assert 7.0 <= three.Mw <= 7.3


def test_the_threads_leave_the_warnings_machinery_alone():
    # The Green's functions are computed on a pool of threads; the process's
    # warning filters must be as they were after every fit, or later
    # warnings go missing (a race: the fits are repeated).
    d = synthetic(vadrel.Faults([seg(U1=1000.0)]), n=120)
    before = list(warnings.filters)
    for _ in range(20):
        fit_slip(d, seg(U1=1000.0), nx=8, ny=4, smoothing=1.0)
        assert warnings.filters == before
