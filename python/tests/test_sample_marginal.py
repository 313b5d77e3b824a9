"""The slips integrated out of the posterior of the geometry: the log marginal
against quadrature over the slips, gradients against finite differences, the
top-centre variables against the plane's outline, and the marginalised
sampler against the one that keeps every parameter in its chains."""
import itertools
import math
import warnings

import numpy as np
import pytest
import scipy.integrate
import scipy.special

import vadrel
from vadrel import geometry, invert
from vadrel.invert.fault import _problem
from vadrel.invert.reparam import TopCentre
from vadrel.invert.sample import SampleWarning, sample_fault
from vadrel.invert.target import FullTarget, SlipMarginal

LOOK = np.array([-0.61, -0.11, 0.785]) / np.linalg.norm([-0.61, -0.11, 0.785])
TRUTH = vadrel.Segment(X=0.0, Y=0.0, strike=30.0, depth=15.0, dip=60.0, lam=3e10, mu=3e10, U1=1000.0, U2=500.0,
                       U3=0.0, L=30.0, W=12.0, name="t")


def dataset(n=6, weights="sigma", seed=4, half=40.0, noise=5.0):
    """A small radar data set about TRUTH with an offset and ramp: white
    noise of known sigma, a full exponential covariance, or no weights."""
    g = np.linspace(-half, half, n)
    x, y = (a.ravel() for a in np.meshgrid(g, g))
    rng = np.random.default_rng(seed)
    los = vadrel.range_change(vadrel.Faults([TRUTH]), x, y, LOOK) + 0.02 * x - 0.01 * y + 4.0
    if weights == "cov":
        d = np.hypot(x[:, None] - x[None, :], y[:, None] - y[None, :])
        cov = 25.0 * np.exp(-d / 15.0) + 1.0 * np.eye(x.size)
        return invert.Dataset(x, y, los + np.linalg.cholesky(cov) @ rng.standard_normal(x.size), LOOK, cov=cov,
                              name="radar")
    obs = los + rng.normal(0.0, noise, x.size)
    if weights == "none":
        return invert.Dataset(x, y, obs, LOOK, name="radar")
    return invert.Dataset(x, y, obs, LOOK, sigma=noise, name="radar")


def brute_log_marginal(problem, theta_of, theta, grid):
    """log of the integral over the free slips (flat prior) of the
    likelihood with the offsets and ramps integrated out, by quadrature on
    the model computed afresh for every slip."""
    st = problem.stack
    apply, _ = st.marginal()
    lin = [j for j, (k, n) in enumerate(problem.free) if n in ("U1", "U2", "U3")]
    m, q = st.obs.size, st.nuisance.shape[1]

    def loglik(*slips):
        p = np.zeros(problem.nparam)
        p[theta_of] = theta
        p[lin] = slips
        r = st.obs - problem.predict(p)
        S = float(r @ apply(r))
        return -0.5 * S if st.weighted else -0.5 * (m - q) * math.log(S)

    axes = [np.linspace(c - 9 * s, c + 9 * s, 121) for c, s in grid]
    vals = np.array([loglik(*p) for p in itertools.product(*axes)]).reshape([a.size for a in axes])
    inner = np.exp(vals - vals.max())
    for a in axes[::-1]:
        inner = scipy.integrate.simpson(inner, x=a, axis=-1)
    return vals.max() + math.log(inner)


@pytest.mark.parametrize("weights, free", [
    ("sigma", ("X", "depth", "dip", "U1", "U2")),
    ("sigma", ("X", "strike", "W", "U1")),              # U2 held at 500: a model of its own
    ("cov", ("Y", "depth", "U1", "U2")),
    ("none", ("X", "L", "U1", "U2")),
])
def test_log_marginal_is_the_integral_over_the_slips(weights, free):
    d = dataset(weights=weights)
    problem = _problem(d, TRUTH, free, None)
    t = SlipMarginal(problem)
    geo = problem.start()[t.cols]
    rng = np.random.default_rng(1)
    ours, brute = [], []
    for step in (0.0, 0.02, -0.03):
        theta = geo + step * np.abs(geo + 1.0) * rng.uniform(0.5, 1.0, geo.size)
        u = t.u_of(theta)
        ours.append(t.logp(u, grad=False)[0] - t.log_jac(u))
        # Quadrature about the best slips, 9 of their conditional sigma either side.
        y, G, _, _ = t._fields(theta)
        s, L, _, _, S = t._solve(y, G)
        sd = np.sqrt(np.diag(np.linalg.inv(L @ L.T)))
        if not t.weighted:
            sd = sd * math.sqrt(S / t.dof)
        brute.append(brute_log_marginal(problem, t.cols, theta, list(zip(s, sd))))
    # Equal up to one constant.
    diff = np.array(ours) - np.array(brute)
    assert np.ptp(diff) < 1e-6 * max(1.0, np.abs(brute).max()), (ours, brute)


# Two segments, each with its own free slips, geometry and held slip: every
# slip's unit field moves its own segment only.
TWO = (vadrel.Faults([TRUTH, TRUTH.replace(X=20.0, Y=-15.0, strike=120.0, depth=10.0, dip=40.0, U1=-300.0,
                                           U2=800.0, L=15.0, W=8.0, name="b")]),
       [("X", "Y", "depth", "U1", "U2", "W"), ("X", "strike", "dip", "U2", "L")])


@pytest.mark.parametrize("weights, faults, free, marginal, seed", [
    ("sigma", TRUTH, invert.DEFAULT_FREE, True, 2),
    ("cov", TRUTH, invert.DEFAULT_FREE, True, 2),
    ("none", TRUTH, invert.DEFAULT_FREE, True, 2),
    ("sigma", TRUTH, ("X", "Y", "depth", "dip", "U1", "W"), True, 2),     # U2 held
    ("cov", TRUTH, invert.DEFAULT_FREE, False, 2),
    ("none", TRUTH, ("Y", "strike", "U2", "L"), False, 2),                # X held: Y alone moves to the top centre
    ("two", *TWO, True, 3),
    ("two", *TWO, False, 3),
])
def test_gradient_matches_finite_differences(weights, faults, free, marginal, seed):
    d = dataset(n=8, weights="sigma", half=50.0) if weights == "two" else dataset(weights=weights)
    problem = _problem(d, faults, free, None)
    t = SlipMarginal(problem) if marginal else FullTarget(problem)
    u = t.u_of(problem.start()[t.cols]) + 0.05 * np.random.default_rng(seed).standard_normal(t.dim)
    g, h = t.logp(u)[1], 1e-5
    fd = np.array([(t.logp(u + h * e, grad=False)[0] - t.logp(u - h * e, grad=False)[0]) / (2 * h)
                   for e in np.eye(t.dim)])
    np.testing.assert_allclose(g, fd, rtol=1e-5, atol=1e-5 * np.abs(fd).max())


def test_chains_place_each_segment_at_its_top_centre():
    """X, Y (the deep edge's start) <-> the top edge's midpoint as the
    segment's own outline draws it; the map's Jacobian against finite
    differences; bounds widened so that no allowed X, Y is cut."""
    names = [(0, "X"), (0, "Y"), (0, "strike"), (0, "dip"), (0, "L"), (0, "W")]
    lo, hi = [-50, -50, -150, 1, 1, 1], [50, 50, 210, 179, 90, 100]
    m = TopCentre(names, [{"W": 12.0, "L": 30.0}], lo, hi)
    theta = np.array([3.0, -4.0, 77.0, 35.0, 22.0, 9.0])
    v = m.chain(theta)
    seg = TRUTH.replace(X=3.0, Y=-4.0, strike=77.0, dip=35.0, L=22.0, W=9.0)
    _, top = geometry.segment_outline(seg)
    np.testing.assert_allclose(v[:2], top.mean(axis=0), atol=1e-12)
    np.testing.assert_allclose(m.theta(v), theta, atol=1e-12)
    h = 1e-6
    fd = np.column_stack([(m.theta(v + h * e) - m.theta(v - h * e)) / (2 * h) for e in np.eye(6)])
    np.testing.assert_allclose(m.jacobian(v), fd, atol=1e-8)
    assert np.linalg.det(m.jacobian(v)) == pytest.approx(1.0)
    assert m.lo[0] == -50 - (45 + 100) and m.hi[1] == 50 + 145 and m.lo[2] == -150
    # A draw whose own X leaves its bounds is outside, though its top centre is in the box.
    assert m.inside(theta) and not m.inside(m.theta(np.array([-60.0, 0, 77, 35, 22, 9])))


def _moments(post, names):
    cols = [post.names.index(n) for n in names]
    return post.samples[:, cols].mean(axis=0), post.samples[:, cols].std(axis=0), post.ess[cols]


def test_the_marginalised_sampler_draws_the_posterior_of_the_full_one():
    """Same data, same priors: slips integrated out or kept in the chains,
    the means agree within their Monte Carlo errors and the spreads within
    the scatter of their estimates.  Data precise enough (2 mm) for the
    posterior to have no long tail towards narrow planes of large slip,
    which chains with the slips in them explore too slowly to compare."""
    d = dataset(n=10, weights="sigma", seed=6, half=50.0, noise=2.0)
    free = ("X", "Y", "depth", "dip", "U1", "U2", "W")
    kw = dict(free=free, draws=600, warmup=500, chains=4, workers=2, seed=3)
    marg = sample_fault(d, TRUTH, marginalise=True, **kw)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", SampleWarning)
        full = sample_fault(d, TRUTH, marginalise=False, **kw)
    assert marg.marginalised == ["U1", "U2"] and full.marginalised == []
    assert marg.converged and np.all(full.rhat < 1.05), (marg.message, full.message)
    names = list(free) + ["radar.offset", "radar.ramp_x"]
    m1, s1, e1 = _moments(marg, names)
    m2, s2, e2 = _moments(full, names)
    se = np.sqrt(s1 ** 2 / e1 + s2 ** 2 / e2)
    assert np.all(np.abs(m1 - m2) < 4 * se), (names, m1, m2, se)
    assert np.all(np.abs(s1 / s2 - 1) < 4 * np.sqrt(0.5 / e1 + 0.5 / e2) + 0.03), (s1, s2)
    assert marg.truncated == 0.0


def test_slips_near_their_bounds_stay_in_the_chains_unless_asked():
    """The marginal neglects the prior mass beyond the slips' bounds: with a
    bound 2 sigma from the best slip "auto" keeps the slips in the chains,
    and marginalise=True says how many conditional draws were refused."""
    d = dataset(n=7, weights="sigma", seed=3)
    problem = _problem(d, TRUTH, ("X", "U1"), None)
    t = SlipMarginal(problem)
    y, G, _, _ = t._fields(problem.start()[t.cols])
    s, L, _, _, _ = t._solve(y, G)
    sd = 1.0 / float(L[0, 0])
    bounds = {"U1": (s[0] - 2.0 * sd, s[0] + 50 * sd)}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", SampleWarning)
        auto = sample_fault(d, TRUTH, free=("X", "U1"), bounds=bounds, draws=100, warmup=100, workers=1)
    assert auto.marginalised == []
    with pytest.warns(SampleWarning, match="marginalise=False"):
        forced = sample_fault(d, TRUTH, free=("X", "U1"), bounds=bounds, draws=200, warmup=100, workers=1,
                              marginalise=True)
    assert forced.marginalised == ["U1"] and forced.column("U1").min() >= bounds["U1"][0]
    # About the normal mass below -2 sigma, 2.3 %.
    assert forced.truncated == pytest.approx(scipy.special.ndtr(-2.0), abs=0.012)
    with pytest.raises(ValueError, match="marginalise"):
        sample_fault(d, TRUTH, free=("U1",), marginalise=True)
    with pytest.raises(ValueError, match="marginalise must be"):
        sample_fault(d, TRUTH, free=("X", "U1"), marginalise="yes")
