"""Downsampling interferograms: the quadtree on fields of known variance, leaf statistics
against direct averages, the resolution-based sampler against the explicit resolution
matrix, and the fault geometry it cuts into patches."""
import math
import warnings

import numpy as np
import pytest

import vadrel
import vadrel.insar as vi
from vadrel.geodesy import LocalFrame
from vadrel.insar._fault import distance, outline, patches, trace
from vadrel.insar.resolution import data_resolution, greens

LOOK = np.array([-0.6, -0.1, math.sqrt(1 - 0.37)])


def grid(values, dx=1.0, look=LOOK, frame=None):
    ny, nx = values.shape
    return vi.Interferogram((np.arange(nx) * dx)[None, :], (-np.arange(ny) * dx)[:, None], values, look,
                            frame=frame)


def halves():
    """64 x 128 pixels of 1 km: the west half 5 mm, the east half a one-pixel checkerboard
    of +-3 mm (variance 9 mm^2 in every block of an even number of pixels)."""
    v = np.full((64, 128), 5.0)
    r, c = np.indices((64, 64))
    v[:, 64:] = np.where((r + c) % 2 == 0, 3.0, -3.0)
    return v


@pytest.mark.parametrize("min_size,max_size,units,n_west,n_east,east_side", [
    (None, 16, "km", 16, 64 * 64, 1),          # the checkerboard splits to single pixels
    (4, 16, "km", 16, 16 * 16, 4),             # ... or down to the smallest leaf, kept above threshold
    (2, 16, "pixels", 16, 32 * 32, 2),
    (None, 32, "km", 4, 64 * 64, 1),
])
def test_quadtree_on_a_known_variance_structure(min_size, max_size, units, n_west, n_east, east_side):
    ds = grid(halves()).quadtree(4.0, min_size=min_size, max_size=max_size, size_units=units)
    west = ds.x < 63.5
    assert np.count_nonzero(west) == n_west and np.count_nonzero(~west) == n_east
    np.testing.assert_allclose(ds.leaf_size[west], max_size)
    np.testing.assert_allclose(ds.leaf_size[~west], east_side)
    np.testing.assert_allclose(ds.obs[west], 5.0)
    np.testing.assert_allclose(ds.variance[west], 0.0, atol=1e-9)
    if east_side > 1:
        np.testing.assert_allclose(ds.variance[~west], 9.0)            # kept though above the threshold
        np.testing.assert_allclose(ds.obs[~west], 0.0, atol=1e-12)
    else:
        np.testing.assert_allclose(np.abs(ds.obs[~west]), 3.0)
    assert ds.pixels.sum() == 64 * 128
    assert len(ds) == ds.leaf_box.shape[0] == ds.footprint.shape[0]


def test_quadtree_on_a_ramp_splits_until_the_variance_is_below_the_threshold():
    """1 mm per pixel along rows: a leaf w pixels wide has variance (w^2 - 1) / 12; with
    threshold 30, 32-wide leaves (85.25) split into 16-wide ones (21.25)."""
    v = np.tile(np.arange(128.0), (64, 1))
    ds = grid(v).quadtree(30.0, max_size=32)
    w = ds.leaf_box[:, 3] - ds.leaf_box[:, 2]
    assert set(w) == {16}
    np.testing.assert_allclose(ds.variance, (w ** 2 - 1) / 12.0)
    assert len(ds) == 8 * 4


def test_leaves_with_too_many_gaps_are_split_then_dropped():
    v = halves()
    v[:16, :16] = np.nan
    v[:8, :8] = 1.0                          # a quarter of the block has data
    ds = grid(v).quadtree(4.0, max_size=16)
    west = ds.x < 63.5
    assert np.count_nonzero(west) == 16      # 15 full blocks and one 8 x 8 leaf
    small = west & (ds.pixels == 64)
    assert np.count_nonzero(small) == 1 and ds.obs[small][0] == pytest.approx(1.0)
    assert ds.leaf_size[small][0] == pytest.approx(8.0)
    ds = grid(v).quadtree(4.0, max_size=16, max_nan=0.8)    # 75 % missing is now allowed
    assert np.count_nonzero((ds.x < 63.5) & (ds.pixels == 64)) == 1
    assert np.count_nonzero(ds.x < 63.5) == 16


def test_leaf_averages_against_direct_means():
    rng = np.random.default_rng(3)
    ny, nx = 37, 53
    v = rng.normal(0.0, 10.0, (ny, nx)) + np.arange(nx)[None, :] * 0.5
    v[rng.random((ny, nx)) < 0.2] = np.nan
    inc = np.linspace(30, 45, nx)[None, :] + np.zeros((ny, 1))
    look = vi.look.from_incidence_heading(inc, -12.0)
    ifg = vi.Interferogram(np.arange(nx)[None, :] * 0.3, np.arange(ny)[:, None] * 0.4, v, look)
    ds = ifg.quadtree(50.0, max_size=4.0, max_nan=0.6, subpoints=3)
    for k in range(len(ds)):
        r0, r1, c0, c1 = ds.leaf_box[k]
        block = v[r0:r1, c0:c1]
        ok = np.isfinite(block)
        assert ds.pixels[k] == ok.sum()
        assert ds.obs[k] == pytest.approx(block[ok].mean(), abs=1e-9)
        assert ds.variance[k] == pytest.approx(block[ok].var(), abs=1e-8)
        assert ds.x[k] == pytest.approx(ifg.x[r0:r1, c0:c1][ok].mean(), abs=1e-9)
        assert ds.y[k] == pytest.approx(ifg.y[r0:r1, c0:c1][ok].mean(), abs=1e-9)
        np.testing.assert_allclose(ds.look[k], look[r0:r1, c0:c1][ok].mean(axis=0), atol=1e-12)
        assert 1.0 - ok.mean() <= 0.6
        w = ds.subweights[k]
        assert w.sum() == pytest.approx(1.0)
        np.testing.assert_allclose(np.einsum("ij,ijk->k", w, ds.subpoints[k]), (ds.x[k], ds.y[k]), atol=1e-9)


def test_quadtree_options_are_checked():
    ifg = grid(halves())
    for kwargs, msg in (({"threshold": 0}, "threshold must be"), ({"threshold": 1, "max_nan": 2}, "max_nan"),
                        ({"threshold": 1, "min_size": 20, "max_size": 10}, "smallest leaf"),
                        ({"threshold": 1, "size_units": "m"}, "size_units")):
        with pytest.raises(ValueError, match=msg):
            ifg.quadtree(**kwargs)
    with pytest.raises(ValueError, match="no leaf"):
        grid(np.full((8, 8), np.nan)).quadtree(1.0)


SEG = vadrel.Segment(X=10.0, Y=-20.0, strike=35.0, flag=0, depth=12.0, dip=60.0, lam=3e10, mu=3e10,
                     U1=1000.0, U2=500.0, U3=0.0, L=30.0, W=10.0, name="a")


def test_patches_add_up_to_the_segment():
    """Uniform slip on the patches gives the segment's range change: no gaps or overlaps."""
    rng = np.random.default_rng(0)
    x, y = rng.uniform(-30, 50, 200), rng.uniform(-60, 20, 200)
    look = np.broadcast_to(LOOK, (200, 3))
    G = greens(SEG, x, y, look, patches=(6, 3))
    slip = np.r_[np.full(18, SEG.U1), np.full(18, SEG.U2)]
    # (the closed form's rounding: a few 1e-6 relative where terms cancel)
    np.testing.assert_allclose(G @ slip, vadrel.range_change(vadrel.Faults([SEG]), x, y, look), rtol=1e-4,
                               atol=1e-6)
    ps = patches(SEG, 6, 3)
    assert len(ps) == 18 and ps[0].depth == pytest.approx(SEG.depth - 2 * (10 / 3) * math.sin(math.radians(60)))


def test_trace_lies_where_the_model_is_discontinuous():
    """The closed form has no value on a surface trace (taken 1 mm away, with a warning)."""
    surf = SEG.replace(depth=10.0 * math.sin(math.radians(60)))
    a, b = trace(surf)
    mid = 0.5 * (a + b)
    with pytest.warns(RuntimeWarning):
        vadrel.range_change(vadrel.Faults([surf]), mid[0], mid[1], LOOK)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        off = mid + 0.05 * np.array([math.cos(math.radians(35)), -math.sin(math.radians(35))])
        vadrel.range_change(vadrel.Faults([surf]), off[0], off[1], LOOK)
    o = outline(surf)
    np.testing.assert_allclose(o[3], (surf.X, surf.Y))
    assert np.linalg.norm(o[1] - o[0]) == pytest.approx(surf.L)
    assert np.linalg.norm(o[3] - o[0]) == pytest.approx(surf.W * math.cos(math.radians(60)))


def test_faults_come_back_in_longitude_and_latitude():
    frame = LocalFrame((72.0, 38.5))
    [d] = grid(np.zeros((4, 4)), frame=frame).faults_lonlat(vadrel.Faults([SEG]))
    x, y = frame.to_km(d["lon"], d["lat"])
    assert (x, y) == pytest.approx((SEG.X, SEG.Y), abs=1e-9)
    # True strike = grid strike less the convergence (true north's grid azimuth) there.
    assert d["strike"] == pytest.approx(SEG.strike - frame.convergence(d["lon"], d["lat"]), abs=1e-9)
    tx, ty = frame.to_km(d["trace"][:, 0], d["trace"][:, 1])
    np.testing.assert_allclose(np.column_stack([tx, ty]), trace(SEG), atol=1e-9)


def test_masked_near_a_trace():
    ifg = grid(np.ones((40, 40)))
    seg = SEG.replace(X=5.0, Y=-30.0, strike=0.0, dip=90.0, depth=10.0, L=20.0)   # trace x = 5, y -30..-10
    m = ifg.masked_near(seg, 2.5)
    along = np.maximum(np.maximum(-30.0 - ifg.y, ifg.y + 10.0), 0.0)     # beyond the trace's ends
    near = np.hypot(ifg.x - 5.0, along) <= 2.5
    np.testing.assert_array_equal(~m.valid, near)
    assert m.masked["near a trace"] == np.count_nonzero(near) == 5 * 21 + 2 * 8


def test_data_resolution_is_the_damped_inverse_s():
    rng = np.random.default_rng(1)
    G = rng.normal(size=(40, 12)) @ np.diag(np.logspace(0, -3, 12))
    s = np.linalg.svd(G, compute_uv=False)
    e2 = (0.05 * s[0]) ** 2
    N = G @ np.linalg.solve(G.T @ G + e2 * np.eye(12), G.T)
    np.testing.assert_allclose(data_resolution(G, 0.05), np.diag(N), atol=1e-12)
    assert data_resolution(G, 0.05).sum() == pytest.approx(np.trace(N))


def test_resolution_sampling_is_dense_near_the_fault():
    seg = SEG.replace(X=40.0, Y=-60.0, strike=20.0, depth=12.0, dip=70.0, L=30.0, W=12.0)
    x, y = np.arange(120.0), -np.arange(120.0)
    X, Y = np.meshgrid(x, y)
    v = vadrel.range_change(vadrel.Faults([seg]), X, Y, LOOK)
    ifg = vi.Interferogram(x[None, :], y[:, None], v, LOOK)
    ds = ifg.resolution_sample(seg, patches=(6, 3), threshold=0.1, min_size=2.0, max_size=30.0)
    d = distance(seg, ds.x, ds.y)
    assert ds.leaf_size[d < 5].mean() < 0.5 * ds.leaf_size[d > 30].mean()
    # Every cell is at or below the threshold, or at the smallest size.
    N = data_resolution(greens(seg, ds.x, ds.y, ds.look, (6, 3)), 0.05)
    np.testing.assert_allclose(N, ds.resolution, atol=1e-12)
    side = np.maximum(ds.leaf_box[:, 1] - ds.leaf_box[:, 0], ds.leaf_box[:, 3] - ds.leaf_box[:, 2])
    assert np.all((N <= 0.1) | (side < 4))
    assert ds.pixels.sum() == 120 * 120
    with pytest.raises(ValueError, match="threshold"):
        ifg.resolution_sample(seg, threshold=0.0)
