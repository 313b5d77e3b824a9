"""vadrel.dask on two worker processes of a local cluster: the same values
as the single-process module."""
import numpy as np
import pytest

import vadrel
import vadrel.dask as vd
from conftest import EXAMPLES

distributed = pytest.importorskip("distributed")


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=None, silence_logs=40)
    c = distributed.Client(cluster)
    yield c
    c.close()
    cluster.close()


@pytest.fixture(scope="module")
def thrust():
    return vadrel.read_faults(EXAMPLES / "thrust_faults.txt")


def test_chunked_points_on_two_processes(client, thrust):
    rng = np.random.default_rng(3)
    x = rng.uniform(-60, 60, 5000)
    y = rng.uniform(-60, 60, 5000)
    look = (-0.61, -0.11, 0.785)
    d = vd.displacement(thrust, x, y, chunks=700)
    r = vd.range_change(thrust, x, y, look, chunks=700)
    assert d.npartitions == 8 and d.shape == (5000, 3)
    d, r = client.persist([d, r])
    distributed.wait([d, r])
    # Both worker processes took part.
    assert len({w for ws in client.who_has(d).values() for w in ws}) == 2
    got_d, got_r = client.compute([d, r], sync=True)
    np.testing.assert_array_equal(got_d, vadrel.displacement(thrust, x, y))
    np.testing.assert_array_equal(got_r, vadrel.range_change(thrust, x, y, look))


def test_grid_uplift_blocks_on_two_processes(client):
    faults = vadrel.read_faults(EXAMPLES / "bay_faults.txt")
    xn, yn = vadrel.read_grid(EXAMPLES / "bay_grid.grd")
    x, y, valid = vadrel.cell_points(xn, yn)
    depth = np.loadtxt(EXAMPLES / "bay_depth.dep")
    up = client.compute(vd.uplift(faults, x, y, depth=depth, chunks=(4, 5)), sync=True)
    np.testing.assert_array_equal(up, vadrel.uplift(faults, x, y, depth=depth))
    gx, gy = vadrel.regular_grid(-60, -50, 1.5, 2.0, 81, 51)
    up = client.compute(vd.uplift(faults, gx, gy, chunks=(20, 30)), sync=True)
    np.testing.assert_array_equal(up, vadrel.uplift(faults, gx, gy))


def test_one_task_per_model(client, thrust):
    x = np.linspace(-50, 50, 301)
    y = np.linspace(-40, 40, 301)
    models = [vadrel.Faults([s], thrust.ramp) for s in thrust.segments] + [thrust]
    tasks = vd.for_models(models, x, y, "range_change", (0, 0, 1), compute=False)
    assert len(tasks) == 4
    got = client.compute(tasks, sync=True)
    for m, g in zip(models, got):
        np.testing.assert_array_equal(g, vadrel.range_change(m, x, y, (0, 0, 1)))
    parts = vd.for_models(models, x, y, "partials", (0, 0, 1))
    np.testing.assert_array_equal(parts[1], vadrel.partials(models[1], x, y, (0, 0, 1)))


@pytest.mark.parametrize("call,message", [
    (lambda f: vd.for_models([f], [0], [0], "tilt"), "what must be"),
    (lambda f: vd.for_models([f], [0], [0], "range_change"), "needs a look"),
    (lambda f: vd.displacement(f, np.zeros(3), np.zeros(4)), "same shape"),
    (lambda f: vd.uplift(f, np.zeros((2, 2)), np.zeros((2, 2)), depth=np.zeros(4)), "depth must have"),
])
def test_bad_arguments(thrust, call, message):
    with pytest.raises(ValueError, match=message):
        call(thrust)


def test_grids_keep_their_shape(thrust):
    """Points of any shape, chunked in blocks of that shape: the blocks put
    together are the single call's array (components last)."""
    x, y = vadrel.regular_grid(-50, -50, 1.0, 1.0, 60, 40)
    d = vd.displacement(thrust, x, y, chunks=(16, 25))
    assert d.shape == (40, 60, 3) and d.chunks == ((16, 16, 8), (25, 25, 10), (3,))
    np.testing.assert_array_equal(d.compute(scheduler="threads"), vadrel.displacement(thrust, x, y))
    r = vd.range_change(thrust, x, y, (0.1, 0.2, 0.9), chunks=(16, 25))
    np.testing.assert_array_equal(r.compute(scheduler="threads"), vadrel.range_change(thrust, x, y, (0.1, 0.2, 0.9)))
