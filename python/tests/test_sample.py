"""Posterior sampling: the chain diagnostics on series of known answers, and
the sampler on posteriors known in closed form (slip is linear in the model:
with the geometry held its posterior is Gaussian, or truncated by a bound)."""
import math
import warnings

import numpy as np
import pytest
import scipy.stats

import vadrel
from vadrel import invert
from vadrel.geodesy import LocalFrame
from vadrel.invert import diagnostics
from vadrel.invert.chains import hmc_chain
from vadrel.invert.sample import SampleWarning, sample_fault

LOOK = np.array([-0.61, -0.11, 0.785]) / np.linalg.norm([-0.61, -0.11, 0.785])
TRUTH = vadrel.Segment(X=0.0, Y=0.0, strike=30.0, depth=15.0, dip=60.0, lam=3e10, mu=3e10, U1=1000.0, U2=500.0,
                       U3=0.0, L=30.0, W=12.0, name="t")


def ar1(phi, chains, n, rng):
    e = rng.standard_normal((chains, n))
    x = np.empty_like(e)
    x[:, 0] = e[:, 0] / math.sqrt(1 - phi ** 2)
    for t in range(1, n):
        x[:, t] = phi * x[:, t - 1] + e[:, t]
    return x


@pytest.mark.parametrize("phi", [0.0, 0.5, 0.9])
def test_effective_sample_size_of_ar1_series(phi):
    """AR(1): integrated autocorrelation time (1 + phi) / (1 - phi)."""
    rng = np.random.default_rng(int(10 * phi))
    x = ar1(phi, 4, 20000, rng)
    expected = x.size * (1 - phi) / (1 + phi)
    assert diagnostics.ess(x) == pytest.approx(expected, rel=0.12)
    assert diagnostics.autocorrelation_time(x) == pytest.approx((1 + phi) / (1 - phi), rel=0.12)
    assert diagnostics.rhat(x) < 1.01


def test_tail_ess_sees_a_tail_visited_seldom():
    """Independent draws: the tail ESS is the draws' count.  Chains that
    stay in their upper tail for a few stretches of 100 draws (3.5 % of
    them): the tail ESS falls far below the draws' count, and below the
    bulk ESS."""
    rng = np.random.default_rng(3)
    iid = rng.standard_normal((4, 5000))
    assert diagnostics.ess_tail(iid) == pytest.approx(iid.size, rel=0.15)
    sticky = rng.standard_normal((4, 5000))
    stay = np.repeat(rng.uniform(size=(4, 50)) < 0.04, 100, axis=1)
    sticky[stay] = np.abs(sticky[stay]) + 2.0
    assert diagnostics.ess_tail(sticky) < 0.05 * sticky.size
    assert diagnostics.ess_tail(sticky) < 0.5 * diagnostics.ess(sticky)


def test_rhat_sees_chains_that_disagree_or_drift():
    rng = np.random.default_rng(2)
    good = rng.standard_normal((4, 1000))
    shifted = good + np.array([0.0, 0.0, 0.0, 1.0])[:, None]
    wider = good * np.array([1.0, 1.0, 1.0, 3.0])[:, None]         # same centre: the folded R-hat sees it
    drift = good + np.linspace(0, 2, 1000)                            # each chain drifts: the split sees it
    assert diagnostics.rhat(good) < 1.01
    assert all(diagnostics.rhat(bad) > 1.05 for bad in (shifted, wider, drift))
    r = diagnostics.rhat(np.stack([good, shifted], axis=-1))           # per parameter, in the order given
    assert r.shape == (2,) and r[0] < 1.01 < 1.05 < r[1]
    with pytest.raises(ValueError, match="at least 4 draws"):
        diagnostics.ess(np.zeros((2, 3)))


class Toy:
    """A target of known moments: a Gaussian (``nu`` None) or a Student t
    of ``nu`` degrees of freedom, with covariance (scale) ``cov``."""

    def __init__(self, cov, nu=None):
        self.P, self.nu, self.evaluations = np.linalg.inv(cov), nu, 0

    def logp(self, u, grad=True):
        self.evaluations += 1
        q = float(u @ self.P @ u)
        if self.nu is None:
            return -0.5 * q, -(self.P @ u)
        k = (self.nu + u.size) / 2.0
        return -k * math.log1p(q / self.nu), -2.0 * k / (self.nu + q) * (self.P @ u)


@pytest.mark.parametrize("nuts", [False, True])
@pytest.mark.parametrize("nu", [None, 7.0])
def test_chains_adapt_a_wrong_metric_and_draw_known_moments(nuts, nu):
    """Correlated (0.95) and badly scaled (1 to 100) targets started with
    the identity as metric: the warm-up finds the scales; the draws' means
    and covariance are those of the Gaussian, or of the Student t (its
    covariance nu / (nu - 2) times the scale)."""
    sd = np.array([1.0, 10.0, 100.0])
    corr = np.array([[1.0, 0.95, 0.0], [0.95, 1.0, 0.3], [0.0, 0.3, 1.0]])
    cov = corr * np.outer(sd, sd)
    toy = Toy(cov, nu)
    rng = np.random.default_rng(4 + nuts)
    runs = [hmc_chain(toy, rng.standard_normal(3), np.eye(3), 1000, 500, rng, nuts=nuts) for _ in range(4)]
    x = np.stack([r[0] for r in runs])
    assert sum(r[2]["divergent"] for r in runs) == 0 and np.all(diagnostics.rhat(x) < 1.01)
    ess = diagnostics.ess(x)
    want = cov * (nu / (nu - 2) if nu else 1.0)
    flat = x.reshape(-1, 3)
    assert np.all(np.abs(flat.mean(axis=0)) < 4 * np.sqrt(np.diag(want) / ess))
    np.testing.assert_allclose(np.std(flat, axis=0), np.sqrt(np.diag(want)), rtol=0.1 if nu else 0.06)
    assert np.corrcoef(flat.T)[0, 1] == pytest.approx(0.95, abs=0.02)


def radar(n=10, sigma=3.0, seed=1, half=50.0, **kw):
    g = np.linspace(-half, half, n)
    x, y = (a.ravel() for a in np.meshgrid(g, g))
    rng = np.random.default_rng(seed)
    los = vadrel.range_change(vadrel.Faults([TRUTH]), x, y, LOOK) + 0.02 * x - 0.01 * y + 4.0
    return invert.Dataset(x, y, los + rng.normal(0, sigma, x.size), LOOK, sigma=sigma, name="radar", **kw)


def field(d, **slips):
    return vadrel.range_change(vadrel.Faults([TRUTH.replace(**slips)]), d.x, d.y, d.look)


def linear_posterior(d):
    """Exact posterior of U1, U2, offset and ramp for the held geometry:
    weighted least squares on the unit-slip fields and nuisance columns."""
    A = np.column_stack([field(d, U1=1.0, U2=0.0), field(d, U1=0.0, U2=1.0), np.ones(len(d)), d.x - d.x.mean(),
                         d.y - d.y.mean()]) / d.sigma[:, None]
    cov = np.linalg.inv(A.T @ A)
    return cov @ A.T @ (d.obs / d.sigma), cov


@pytest.mark.parametrize("method", ["hmc", "nuts", "emcee"])
def test_samples_of_a_gaussian_posterior_have_its_mean_and_covariance(method):
    d = radar()
    mean, cov = linear_posterior(d)
    with warnings.catch_warnings():
        # emcee's walkers, each taken as a chain, need more steps than this for R-hat below 1.01.
        warnings.simplefilter("ignore", SampleWarning)
        post = sample_fault(d, TRUTH, free=("U1", "U2"), draws=300 if method != "emcee" else 1000, warmup=300,
                            chains=4, workers=1, seed=3, method=method)
    assert post.names == ["U1", "U2", "radar.offset", "radar.ramp_x", "radar.ramp_y"]
    assert np.all(post.rhat < (1.01 if method != "emcee" else 1.1))
    sd = np.sqrt(np.diag(cov))
    got = post.samples.mean(axis=0)
    # Means within 4 Monte Carlo standard errors; spreads and correlations close.
    assert np.all(np.abs(got - mean) < 4 * sd / np.sqrt(post.ess)), (got, mean)
    c = np.cov(post.samples.T)
    assert np.sqrt(np.diag(c)) == pytest.approx(sd, rel=0.12)
    corr = c / np.outer(np.sqrt(np.diag(c)), np.sqrt(np.diag(c)))
    assert np.abs(corr - cov / np.outer(sd, sd)).max() < 0.1
    assert post.samples.shape == (post.chains.shape[0] * post.chains.shape[1], 5)


def test_a_bound_truncates_the_posterior():
    """U1 bounded below at its least-squares value: half a Gaussian, mean
    mu + s sqrt(2/pi), standard deviation s sqrt(1 - 2/pi)."""
    d = radar(offset=False, ramp=False)
    a, b = field(d, U1=1.0, U2=0.0) / d.sigma, (d.obs - field(d, U1=0.0)) / d.sigma
    s = 1.0 / math.sqrt(float(a @ a))
    mu = float(a @ b) * s * s
    post = sample_fault(d, TRUTH.replace(U1=mu + s), free=("U1",), bounds={"U1": (mu, mu + 20 * s)}, draws=800,
                        chains=4, workers=1, seed=5)
    u1 = post.column("U1")
    assert u1.min() >= mu
    assert u1.mean() == pytest.approx(mu + s * math.sqrt(2 / math.pi), abs=4 * s / math.sqrt(post.ess[0]))
    assert u1.std() == pytest.approx(s * math.sqrt(1 - 2 / math.pi), rel=0.08)
    assert scipy.stats.kstest((u1 - mu) / s, scipy.stats.halfnorm.cdf).statistic < 0.05


def test_unknown_noise_is_integrated_out():
    """No weights on the data: a common sigma integrated out under 1/sigma.
    The slips' posterior is then a Student t whose scale is the least-squares
    sigma scaled by the residual: its standard deviation that of the fit's
    reported sigma times sqrt(nu / (nu - 2))."""
    w = radar(sigma=4.0)
    d = invert.Dataset(w.x, w.y, w.obs, w.look, name="radar")
    post = sample_fault(d, TRUTH, free=("U1", "U2"), draws=400, warmup=300, chains=4, workers=1, seed=7)
    nu = len(d) - 5
    for j, n in enumerate(("U1", "U2")):
        assert post.samples[:, j].std() == pytest.approx(post.fit.sigma[n] * math.sqrt(nu / (nu - 2)), rel=0.1)


def test_full_geometry_on_two_processes_agrees_with_the_laplace_approximation():
    """Nine fault parameters, offset and ramp, chains in two processes; for
    well-constrained data the posterior is close to the Gaussian about the
    best fit, and the truth lies in the 99 % intervals."""
    d = radar(n=16, sigma=3.0, seed=11, half=60.0)
    with warnings.catch_warnings():
        # Chains this short may end with an R-hat just over 1.01 on the slip-width trade-off.
        warnings.simplefilter("ignore", SampleWarning)
        post = sample_fault(d, TRUTH, draws=400, warmup=300, chains=4, workers=2, seed=1)
    assert np.all(post.rhat < 1.05) and np.all(post.ess > 100) and post.divergent == 0, post.message
    assert len(post.names) == 12 and post.samples.shape == (1600, 12)
    sd = post.samples.std(axis=0)
    laplace = np.array([post.fit.sigma[n] for n in post.names])
    assert sd == pytest.approx(laplace, rel=0.25)
    for n in invert.DEFAULT_FREE:
        lo, hi = post.interval(n, 0.99)
        assert lo <= getattr(TRUTH, n) <= hi, n
    s = post.summary()
    assert s["dip"]["p05"] < s["dip"]["p50"] < s["dip"]["p95"] and s["dip"]["map"] == post.fit.params["dip"]
    # depth is the deep edge's, as the fit reports it.
    assert s["depth"]["mean"] == pytest.approx(15.0, abs=4 * s["depth"]["sigma"])


def test_draws_come_back_in_longitude_and_latitude_with_a_frame():
    frame = LocalFrame((72.0, 38.5))
    d = radar(frame=frame)
    post = sample_fault(d, TRUTH, free=("X", "Y", "U1", "U2"), draws=100, warmup=200, chains=4, workers=1,
                        seed=2)
    ll = post.lonlat()
    np.testing.assert_allclose([ll["lon"], ll["lat"]], frame.to_lonlat(post.column("X"), post.column("Y")))
    assert abs(np.mean(ll["lon"]) - 72.0) < 0.01 and abs(np.mean(ll["lat"]) - 38.5) < 0.01


def test_short_chains_warn_and_bad_calls_are_refused():
    d = radar()
    with pytest.warns(SampleWarning, match="did not converge"):
        post = sample_fault(d, TRUTH, free=("U1", "U2"), draws=10, warmup=5, chains=2, workers=1, seed=1)
    assert not post.converged and post.status == 1
    plain = invert.Dataset(d.x, d.y, d.obs, d.look, name="plain")
    for kw, message in [({"method": "metropolis"}, "method must be"),
                        ({"free": ()}, "nothing to sample"),
                        ({"draws": 5}, "at least 10")]:
        with pytest.raises(ValueError, match=message):
            sample_fault(d, TRUTH, **kw)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with pytest.raises(ValueError, match="on every dataset, or on none"):
            sample_fault([d, plain], TRUTH)
