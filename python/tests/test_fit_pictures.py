"""Pictures of a fit and of a posterior: residuals on their own symmetric
scale, the offset and ramp apart, GNSS residuals with error ellipses and a
scale arrow; the corner plot with the truth and the best fit marked."""
import numpy as np
import pytest

import vadrel
from vadrel import invert

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")

LOOK = np.array([-0.61, -0.11, 0.785]) / np.linalg.norm([-0.61, -0.11, 0.785])
TRUTH = vadrel.Segment(X=0.0, Y=0.0, strike=30.0, depth=15.0, dip=60.0, lam=3e10, mu=3e10, U1=1000.0, U2=500.0,
                       U3=0.0, L=30.0, W=12.0, name="t")


@pytest.fixture(scope="module")
def fitted():
    rng = np.random.default_rng(4)
    g = np.linspace(-60, 60, 20)
    x, y = (a.ravel() for a in np.meshgrid(g, g))
    los = vadrel.range_change(vadrel.Faults([TRUTH]), x, y, LOOK) + 0.05 * x + 10.0 + rng.normal(0, 2, x.size)
    d = invert.Dataset(x, y, los, LOOK, sigma=2.0, name="asc")
    xs, ys = rng.uniform(-50, 50, 12), rng.uniform(-50, 50, 12)
    enu = vadrel.displacement(vadrel.Faults([TRUTH]), xs, ys) + rng.normal(0, [1.0, 2.0, 3.0], (12, 3))
    gps = invert.Dataset.gnss(xs, ys, *enu.T, sigma_e=1.0, sigma_n=2.0, sigma_u=3.0, name="gps")
    return [d, gps], invert.fit_fault([d, gps], TRUTH)


def test_residuals_and_ramp_have_their_own_scales(fitted, tmp_path):
    from matplotlib.collections import EllipseCollection, PathCollection
    from vadrel.plot.fit import plot_fit
    data, fit = fitted
    fig = plot_fit(fit, data, tmp_path / "fit.png")
    assert (tmp_path / "fit.png").stat().st_size > 20000
    axes = np.array(fig.axes[:8]).reshape(2, 4)
    radar = axes[0]
    clim = [next(c for c in ax.collections if isinstance(c, PathCollection)).get_clim() for ax in radar]
    res = fit.residuals[0]
    # Data and model share the data's scale; residuals and the ramp have theirs, symmetric.
    assert clim[0] == clim[1] and clim[0][1] == pytest.approx(np.percentile(np.abs(data[0].obs), 99))
    assert clim[2] == pytest.approx((-np.percentile(np.abs(res), 99), np.percentile(np.abs(res), 99)))
    assert clim[2][1] < 0.2 * clim[0][1]
    ramp = fit.offsets["asc"] + fit.ramps["asc"][0] * data[0].x + fit.ramps["asc"][1] * data[0].y
    assert clim[3][1] == pytest.approx(np.abs(ramp).max())
    # GNSS residuals: one ellipse per station, 1 sigma (1 and 2 mm half-axes) in the arrows' scale.
    ell = [c for c in axes[1][2].collections if isinstance(c, EllipseCollection)]
    assert len(ell) == 1 and len(ell[0].get_offsets()) == 12
    assert np.allclose(ell[0]._widths / ell[0]._heights, 2.0)     # half-axes (matplotlib's): sigma_n / sigma_e
    assert any("mm" in t.get_text() for t in axes[1][2].texts + [c.text for c in axes[1][2].artists
                                                                  if hasattr(c, "text")])
    assert "none fitted" in axes[1][3].get_title()
    matplotlib.pyplot.close(fig)


def test_corner_plot_marks_truth_and_best_fit(tmp_path):
    from vadrel.plot.posterior import plot_posterior

    class Draws:
        names = ["a", "b", "c"]
        samples = np.random.default_rng(1).multivariate_normal([0, 1, 2], np.diag([1.0, 0.25, 4.0]), 4000)
        map = {"a": 0.1, "b": 0.9, "c": 2.2}
        rhat, ess, method = np.ones(3), np.full(3, 4000.0), "test"

    fig = plot_posterior(Draws(), tmp_path / "corner.png", truth={"a": 0.0, "b": 1.0, "c": 2.0})
    assert (tmp_path / "corner.png").stat().st_size > 10000
    visible = [ax for ax in fig.axes if ax.get_visible()]
    assert len(visible) == 6                                 # the lower triangle and the diagonal
    diag = [ax for ax in visible if ax.get_title()]
    assert [ax.get_title().split("\n")[0] for ax in diag] == ["a", "b", "c"]
    colours = {tuple(np.round(matplotlib.colors.to_rgb(line.get_color()), 3)) for line in diag[0].lines}
    assert (0.0, 0.0, 0.0) in colours and tuple(np.round(matplotlib.colors.to_rgb("tab:red"), 3)) in colours
    with pytest.raises(ValueError, match="no parameter 'd'"):
        plot_posterior(Draws(), params=["a", "d"])
    matplotlib.pyplot.close("all")
