"""Data sets: look vectors of unit length or refused, units that cannot be right
warned of, longitude-latitude tables taken to a local frame (checked against
geodesics), downsampling fields, and a full covariance carried by a copy."""
import math
import warnings

import numpy as np
import pytest
from geographiclib.geodesic import Geodesic

from vadrel import invert
from vadrel.geodesy import LocalFrame
from vadrel.invert.data import Stack, datasets_of
from vadrel.io.datasets import DataWarning, Dataset, load_dataset

from conftest import SOURCE

SAREZ = SOURCE.parent / "shared" / "data" / "insar" / "sarez2015_ascending.txt"
LOOK = (-0.61, -0.11, 0.785)


def points(n=20):
    g = np.linspace(-30, 30, n)
    x, y = np.meshgrid(g, g[:5])
    return x.ravel(), y.ravel()


@pytest.mark.parametrize("look,message", [
    ((-1.22, -0.22, 1.57), "length 2"),              # twice a unit vector: would halve the slip
    ((-0.5, -0.1, 0.7), "length 0.866"),
    ([(-0.61, -0.11, 0.785)] * 3 + [(0.0, 0.0, 0.5)] + [(-0.61, -0.11, 0.785)] * 96, "row 3"),
])
def test_look_vectors_off_unit_length_are_refused_unless_normalised(look, message):
    x, y = points()
    with pytest.raises(ValueError, match=message) as e:
        Dataset(x, y, np.zeros(x.size), look, name="asc")
    assert "'asc'" in str(e.value) and "normalise=True" in str(e.value)
    d = Dataset(x, y, np.zeros(x.size), look, name="asc", normalise=True)
    assert np.allclose(np.linalg.norm(d.look, axis=1), 1.0)
    # Rounding to a few decimals is not an error.
    Dataset(x, y, np.zeros(x.size), (-0.61, -0.11, 0.79), name="asc")


def test_file_look_vector_errors_name_the_line(tmp_path):
    p = tmp_path / "asc.txt"
    p.write_text("x y los e n u\n# a comment\n1 2 3 -0.61 -0.11 0.785\n2 2 3 -1.22 -0.22 1.57\n")
    with pytest.raises(ValueError, match=r"asc.txt: dataset 'asc', line 4: the look vector \(e n u\) has length 2"):
        load_dataset(p)
    d = load_dataset(p, normalise=True)
    assert np.allclose(d.look[1], np.array(LOOK) / np.linalg.norm(LOOK))


@pytest.mark.parametrize("change,message", [
    ({"look": (0.61, 0.11, -0.785)}, "point down"),
    ({"scale": 1000.0}, "spread over 6e\\+04 km"),              # metres taken for km
    ({"los": 3.0e4}, "over 20 m"),
])
def test_units_and_conventions_that_cannot_be_right_warn(change, message):
    x, y = points()
    s = change.get("scale", 1.0)
    with pytest.warns(DataWarning, match=message):
        Dataset(x * s, y * s, np.full(x.size, change.get("los", 5.0)), change.get("look", LOOK), name="d")


def test_real_data_load_quietly():
    if not SAREZ.exists():
        pytest.skip("the shared radar data are not beside the checkout")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        d = load_dataset(SAREZ)
    assert len(d) == 3927 and d.frame is None and d.leaf_size is None


def test_mixed_weights_warn_and_different_frames_are_refused():
    x, y = points()
    a = Dataset(x, y, np.ones(x.size), LOOK, sigma=2.0, name="a")
    b = Dataset(x, y, np.ones(x.size), LOOK, name="b")
    with pytest.warns(DataWarning, match="b have no sigma"):
        datasets_of([a, b])
    f1 = Dataset(x, y, np.ones(x.size), LOOK, sigma=1.0, name="f1", frame=LocalFrame((72.0, 38.5)))
    f2 = Dataset(x, y, np.ones(x.size), LOOK, sigma=1.0, name="f2", frame=LocalFrame((72.5, 38.5)))
    with pytest.raises(ValueError, match="different km frames"):
        datasets_of([f1, f2])
    assert Stack(datasets_of([a, f1])).frame is f1.frame


# A table as written by a GIS export: comma separated, longitudes east of
# 180 in the 0..360 convention on one line.
LONLAT = """lon,lat,los,e,n,u,sigma
71.90,38.40,12.5,-0.6105,-0.1101,0.7843,4
72.10,38.40,-3.0,-0.6105,-0.1101,0.7843,4
72.10,38.60,7.25,-0.6105,-0.1101,0.7843,5
71.90,38.60,0.5,-0.6105,-0.1101,0.7843,5
"""


def test_longitude_latitude_tables_go_to_a_local_frame(tmp_path):
    (tmp_path / "ll.csv").write_text(LONLAT)
    d = load_dataset(tmp_path / "ll.csv")
    # Default origin: the centre of the data.
    assert (d.frame.lon0, d.frame.lat0) == pytest.approx((72.0, 38.5))
    geod, lon, lat = Geodesic.WGS84, [71.9, 72.1, 72.1, 71.9], [38.4, 38.4, 38.6, 38.6]
    for i, j in [(0, 1), (1, 2), (0, 2)]:
        s = geod.Inverse(lat[i], lon[i], lat[j], lon[j])["s12"] / 1000.0
        # Transverse Mercator: true distances within 1e-5 this close to the origin.
        assert math.hypot(d.x[i] - d.x[j], d.y[i] - d.y[j]) == pytest.approx(s, rel=1e-5)
    # The origin itself, and points on its meridian.
    o = geod.Inverse(38.5, 72.0, 38.6, 72.0)["s12"] / 1000.0
    fx, fy = d.frame.to_km(72.0, 38.6)
    assert fx == pytest.approx(0.0, abs=1e-9) and fy == pytest.approx(o, rel=1e-9)
    assert np.array_equal(d.sigma, [4, 4, 5, 5])
    np.testing.assert_allclose(np.column_stack(d.lonlat()), np.column_stack([lon, lat]), atol=1e-9)
    # A given origin, and longitudes in the other convention: the same points.
    (tmp_path / "ll360.csv").write_text(LONLAT.replace("71.90,", "431.90,"))
    e = load_dataset(tmp_path / "ll360.csv", origin=(72.0, 38.5))
    np.testing.assert_allclose(np.c_[e.x, e.y], np.c_[d.x, d.y], atol=1e-9)
    (tmp_path / "bad.csv").write_text("lon lat los e n u\n72 95 1 0 0 1\n")
    with pytest.raises(ValueError, match="line 2: latitude 95"):
        load_dataset(tmp_path / "bad.csv")


def test_gnss_tables_in_longitude_latitude(tmp_path):
    (tmp_path / "gps.txt").write_text("lon lat e n u se sn su\n72.0 38.5 10 -5 2 1 1 3\n72.2 38.7 4 1 -1 1 1 3\n")
    g = load_dataset(tmp_path / "gps.txt", kind="gnss", origin=(72.0, 38.5))
    assert g.kind == "gnss" and g.npoints == 2 and g.frame.lon0 == 72.0
    assert g.x[0] == pytest.approx(0.0, abs=1e-9) and g.y[0] == pytest.approx(0.0, abs=1e-9)
    s = Geodesic.WGS84.Inverse(38.5, 72.0, 38.7, 72.2)
    assert math.hypot(g.x[1], g.y[1]) == pytest.approx(s["s12"] / 1000.0, rel=1e-5)
    # Grid azimuth of the station from the origin: the true one turned by the convergence there.
    assert math.degrees(math.atan2(g.x[1], g.y[1])) == pytest.approx(s["azi1"], abs=0.1)


class ExponentialNoise:
    """A stand-in for a fitted noise model: sill (mm^2), range (km)."""

    def __init__(self, sill, rng):
        self.sill, self.range = sill, rng

    def matrix(self, d):
        r = np.hypot(d.x[:, None] - d.x[None, :], d.y[:, None] - d.y[None, :])
        return self.sill * np.exp(-r / self.range) + 0.1 * np.eye(len(d))


def test_a_copy_carries_a_full_covariance():
    x, y = points()
    d = Dataset(x, y, np.sin(x / 7.0) * 20.0, LOOK, sigma=3.0, name="asc", leaf_size=np.full(x.size, 2.0),
                pixels=np.full(x.size, 16))
    c = d.with_covariance(noise := ExponentialNoise(25.0, 10.0))
    assert c is not d and d.sigma is not None and d.chol is None           # the original keeps its weights
    assert c.sigma is None and c.covariance_model is noise and c.weighted
    np.testing.assert_allclose(c.chol @ c.chol.T, noise.matrix(d), rtol=1e-12, atol=1e-12)
    assert c.leaf_size is d.leaf_size and c.pixels is d.pixels and c.name == "asc"
    # Whitening by the factor: white noise of the covariance comes out with unit variance.
    z = c.whiten(np.linalg.cholesky(noise.matrix(d)) @ np.random.default_rng(3).standard_normal((len(d), 400)))
    assert np.var(z) == pytest.approx(1.0, rel=0.05)
    # The same as an array.
    np.testing.assert_array_equal(d.with_covariance(noise.matrix(d)).chol, c.chol)
    with pytest.raises(ValueError, match="leaf_size must be positive"):
        Dataset(x, y, np.zeros(x.size), LOOK, leaf_size=np.zeros(x.size))


def test_options_copy_renames_reweights_and_drops_the_ramp():
    x, y = points()
    d = Dataset(x, y, np.zeros(x.size), LOOK, name="asc")
    e = d.with_options(name="dsc", sigma=2.0, ramp=False)
    assert (e.name, e.nuisance_names, d.nuisance_names) == ("dsc", ["offset"], ["offset", "ramp_x", "ramp_y"])
    assert np.all(e.sigma == 2.0) and d.sigma is None
    assert invert.Dataset is Dataset
