"""Noise of interferograms: simulated fields of known covariance, the fit recovering their
sill, range and nugget, exclusions, leaf covariances against exact pixel averages, pictures."""
import math

import matplotlib

matplotlib.use("Agg")
import matplotlib.image as mpimg  # noqa: E402
import numpy as np  # noqa: E402
import pytest  # noqa: E402

import vadrel  # noqa: E402
import vadrel.insar as vi  # noqa: E402
from vadrel.insar.covariance import correlation  # noqa: E402

LOOK = np.array([-0.6, -0.1, math.sqrt(1 - 0.37)])
SEG = vadrel.Segment(X=80.0, Y=40.0, strike=30.0, flag=0, depth=15.0, dip=80.0, lam=3e10, mu=3e10,
                     U1=2000.0, U2=0.0, U3=0.0, L=30.0, W=14.0)


def field_ifg(values, dx):
    ny, nx = values.shape
    return vi.Interferogram((np.arange(nx) * dx)[None, :], (np.arange(ny) * dx)[:, None], values, LOOK)


@pytest.mark.parametrize("model", ["exponential", "spherical"])
def test_simulated_fields_have_the_model_covariance(model):
    """Mean products of 40 simulated fields at lags along rows and columns
    against sill * correlation(lag) (standard error about 3 mm^2 here)."""
    sill, rng_km, dx = 100.0, 6.0, 0.5
    prods = {0: [], 4: [], 12: [], 24: []}
    for s in range(40):
        f = vi.noise_field((96, 96), dx, sill, rng_km, model=model, seed=s)
        for lag in prods:
            a = np.concatenate([(f[:, :96 - lag] * f[:, lag:]).ravel(), (f[:96 - lag] * f[lag:]).ravel()])
            prods[lag].append(a.mean())
    for lag, v in prods.items():
        expected = sill * correlation(lag * dx, rng_km, model)
        assert np.mean(v) == pytest.approx(expected, abs=8.0), (lag, np.mean(v), expected)


@pytest.mark.parametrize("model,sill,range_km,nugget,kind", [
    ("exponential", 100.0, 10.0, 0.0, "semivariogram"),
    ("exponential", 64.0, 5.0, 16.0, "semivariogram"),
    ("spherical", 100.0, 20.0, 0.0, "semivariogram"),
    ("spherical", 100.0, 20.0, 0.0, "covariogram"),
])
def test_the_fit_recovers_a_known_field(model, sill, range_km, nugget, kind):
    """Averages over 4 fields of 240 x 240 pixels of 0.5 km: the scatter of
    one estimate is 10-20 % for the sill and range, the tolerances are wider."""
    est = []
    for s in range(4):
        f = vi.noise_field((240, 240), 0.5, sill, range_km, model=model, nugget=nugget, seed=10 + s)
        c = vi.covariance(field_ifg(f, 0.5), model=model, kind=kind, detrend=False, max_lag=4 * range_km
                          if model == "exponential" else 2 * range_km, seed=s)
        assert c.converged and c.model == model
        est.append((c.sill, c.range, c.nugget))
    s_, r_, n_ = np.mean(est, axis=0)
    assert s_ == pytest.approx(sill, rel=0.2)
    assert r_ == pytest.approx(range_km, rel=0.25)
    assert n_ == pytest.approx(nugget, abs=0.35 * sill if nugget == 0 else 0.5 * nugget)


def test_exclusions_and_subtraction():
    f = vi.noise_field((120, 160), 1.0, 25.0, 8.0, seed=3)
    ifg, seg = field_ifg(f, 1.0), SEG
    # A polygon excludes exactly the pixels it holds: here a rectangle, counted directly.
    poly = [(20.0, 10.0), (90.5, 10.0), (90.5, 70.5), (20.0, 70.5)]
    c = vi.covariance(ifg, exclude=poly)
    held = (ifg.x >= 20) & (ifg.x <= 90.5) & (ifg.y >= 10) & (ifg.y <= 70.5)
    assert c.pixels == ifg.los.size - np.count_nonzero(held)
    # A fault's deformation dominates the semivariogram away from it unless subtracted.
    sig = vadrel.range_change(vadrel.Faults([seg]), ifg.x, ifg.y, LOOK)
    both = field_ifg(f + sig, 1.0)
    raw = vi.covariance(both, exclude=seg, distance=10.0)
    clean = vi.covariance(both, exclude=seg, distance=10.0, subtract=seg)
    ref = vi.covariance(ifg, exclude=seg, distance=10.0)
    assert raw.sill > 3 * 25.0
    assert clean.sill == pytest.approx(ref.sill, rel=1e-9) and clean.range == pytest.approx(ref.range, rel=1e-9)
    with pytest.raises(ValueError, match="too few"):
        vi.covariance(both, exclude=seg, distance=500.0)
    with pytest.raises(ValueError, match="distance is for faults"):
        vi.covariance(both, exclude=poly, distance=3.0)


def test_matrix_of_points_by_hand():
    cov = vi.Covariance("exponential", 100.0, 15.0, 4.0)
    x, y = np.array([0.0, 3.0, 30.0]), np.array([0.0, 4.0, 0.0])
    ds = vi.leaves.Dataset(x, y, np.zeros(3), LOOK)
    d = np.hypot(x[:, None] - x, y[:, None] - y)
    np.testing.assert_allclose(cov.matrix(ds), 100.0 * np.exp(-d / 15.0) + 4.0 * np.eye(3), rtol=1e-12)
    sph = vi.Covariance("spherical", 100.0, 10.0, 0.0)
    assert sph.function(5.0) == pytest.approx(100.0 * (1 - 0.75 + 0.0625))
    assert sph.function(12.0) == 0.0 and sph.semivariogram(0.0) == 0.0
    gnss = vi.leaves.Dataset.gnss([0.0], [0.0], [1.0], [1.0], [1.0], sigma_e=1, sigma_n=1, sigma_u=1)
    with pytest.raises(ValueError, match="radar"):
        cov.matrix(gnss)
    for args, msg in ((("gaussian", 1, 1, 0), "model must be"), (("exponential", 1, 0, 0), "range"),
                      (("exponential", -1, 1, 0), "sill")):
        with pytest.raises(ValueError, match=msg):
            vi.Covariance(*args)


@pytest.mark.parametrize("model,range_km,subpoints,tol_diag,tol_off", [
    ("exponential", 6.0, 4, 0.02, 0.03),
    ("exponential", 20.0, 4, 0.06, 0.03),      # leaves small beside the range: half the correction holds
    ("spherical", 10.0, 4, 0.03, 0.03),
    ("exponential", 3.0, 8, 0.01, 0.03),
])
def test_leaf_covariance_against_exact_pixel_averages(model, range_km, subpoints, tol_diag, tol_off):
    """Leaf-mean covariances against the exact mean of the point covariance over every pair of
    their pixels, with a nugget (nugget / pixels on the diagonal); errors relative to the
    geometric mean of the two variances."""
    dx = 0.5
    rng = np.random.default_rng(2)
    v = rng.normal(size=(40, 40)) * np.linspace(0.1, 30, 40)[None, :]     # leaves of many sizes
    v[rng.random(v.shape) < 0.1] = np.nan
    ifg = field_ifg(v, dx)
    ds = ifg.quadtree(20.0, max_size=8.0, subpoints=subpoints)
    cov = vi.Covariance(model, 50.0, range_km, 2.0)
    C = cov.matrix(ds)
    ok = np.isfinite(v)
    px, py = ifg.x[ok], ifg.y[ok]
    owner = np.full(v.shape, -1)
    for k, (r0, r1, c0, c1) in enumerate(ds.leaf_box):
        owner[r0:r1, c0:c1] = k
    W = (owner[ok][None, :] == np.arange(len(ds))[:, None]) / ds.pixels[:, None]
    K = cov.function(np.hypot(px[:, None] - px[None, :], py[:, None] - py[None, :]))
    exact = W @ K @ W.T + np.diag(2.0 / ds.pixels)
    rel = np.abs(C - exact) / np.sqrt(np.outer(np.diag(exact), np.diag(exact)))
    assert np.max(np.diag(rel)) < tol_diag
    assert np.max(rel[~np.eye(len(ds), dtype=bool)]) < tol_off
    np.linalg.cholesky(C)


def test_with_covariance_keeps_the_leaves_and_weights_the_fit():
    ifg = field_ifg(vi.noise_field((60, 60), 1.0, 25.0, 5.0, seed=1), 1.0)
    ds = ifg.quadtree(10.0, max_size=8.0)
    cov = vi.covariance(ifg)
    out = vi.with_covariance(ds, cov)
    assert out is not ds and out.chol is not None and out.weighted
    np.testing.assert_allclose(out.chol @ out.chol.T, cov.matrix(ds), rtol=1e-10, atol=1e-9)
    for name in ("frame", "leaf_size", "pixels", "leaf_box", "footprint", "subpoints", "subweights"):
        assert getattr(out, name) is getattr(ds, name)
    assert out.covariance_model is cov and np.array_equal(out.obs, ds.obs) and out.ramp == ds.ramp


def test_pictures(tmp_path):
    f = vi.noise_field((80, 100), 0.5, 25.0, 5.0, seed=1)
    ifg = field_ifg(f + np.linspace(-40, 40, 100)[None, :], 0.5)
    ds = ifg.quadtree(10.0, max_size=8.0)
    cov = vi.covariance(ifg)
    from vadrel.plot.insar import plot_leaves, plot_semivariogram
    out = tmp_path / "leaves.png"
    plot_leaves(ds, out, ifg=ifg, faults=SEG.replace(X=20.0, Y=10.0, L=10.0), dpi=50)
    img = mpimg.imread(out)
    assert img.shape[0] > 100 and len(np.unique(np.round(img[..., :3].reshape(-1, 3) * 255), axis=0)) > 20
    plot_semivariogram(cov, tmp_path / "semivariogram.png", dpi=50)
    assert mpimg.imread(tmp_path / "semivariogram.png").shape[0] > 100
    assert sorted(p.name for p in tmp_path.iterdir()) == ["leaves.png", "semivariogram.png"]   # no temporaries
    with pytest.raises(ValueError, match="footprints"):
        plot_leaves(vi.leaves.Dataset([0.0], [0.0], [0.0], LOOK))
