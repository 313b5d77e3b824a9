"""The geodesy layer against an independent implementation of Karney's
geodesics (geographiclib) and against the properties that define it."""
import math
import warnings

import numpy as np
import pytest
from geographiclib.geodesic import Geodesic

from vadrel import geodesy

G = Geodesic.WGS84


@pytest.mark.parametrize("lon, lat, az, km", [
    (179.9, 10.0, 90.0, 20.0),        # across the antimeridian, eastward
    (-179.95, -35.0, 270.0, 200.0),   # across it westward
    (359.0, 45.0, 30.0, 150.0),       # 0..360 input
    (72.0, 38.5, 215.0, 80.0),
    (10.0, 85.0, 10.0, 200.0),        # high latitude
    (0.0, 0.0, 0.0, 1.0),
])
def test_direct_and_inverse_against_geographiclib(lon, lat, az, km):
    lon2, lat2, az2 = geodesy.direct(lon, lat, az, km)
    ref = G.Direct(lat, lon, az, km * 1000.0)
    assert abs(geodesy.wrap(lon2 - ref["lon2"])) < 1e-11 and abs(lat2 - ref["lat2"]) < 1e-11
    assert abs(geodesy.wrap(az2 - ref["azi2"])) < 1e-9
    assert abs(geodesy.wrap(lon2 - lon)) < 10.0           # the input's convention is kept
    a1, a2, d = geodesy.inverse(lon, lat, lon2, lat2)
    assert abs(d - km) < 1e-9 and abs(geodesy.wrap(a1 - az)) < 1e-8 and abs(geodesy.wrap(a2 - az2)) < 1e-8
    # move and offsets are the same geodesic resolved east and north
    e, n = km * math.sin(math.radians(az)), km * math.cos(math.radians(az))
    lo, la = geodesy.move(lon, lat, e, n)
    assert abs(geodesy.wrap(lo - lon2)) < 1e-11 and abs(la - lat2) < 1e-11
    e2, n2 = geodesy.offsets(lon, lat, lo, la)
    assert abs(e2 - e) < 1e-9 and abs(n2 - n) < 1e-9


def test_arrays_broadcast_and_longitude_conventions_agree():
    lon = np.array([[-179.9], [179.9], [180.1]])
    lat = np.array([0.0, 30.0, -60.0])
    a = geodesy.move(lon, lat, 5.0, -7.0)
    b = geodesy.move(lon + 360.0, lat, 5.0, -7.0)
    assert a[0].shape == (3, 3)
    np.testing.assert_allclose(geodesy.wrap(a[0] - b[0]), 0.0, atol=1e-12)
    np.testing.assert_array_equal(a[1], b[1])


@pytest.mark.parametrize("lons, mean", [
    ([179.9, -179.9], -180.0),
    ([359.0, 1.0], 0.0),
    ([10.0, 20.0], 15.0),
    ([170.0, -170.0, 180.0], -180.0),
])
def test_circular_mean(lons, mean):
    assert abs(geodesy.wrap(geodesy.circular_mean(lons) - mean)) < 1e-9


def test_circular_mean_without_direction():
    with pytest.raises(ValueError):
        geodesy.circular_mean([0.0, 180.0])


@pytest.mark.parametrize("lon, zone", [
    (-180.0, 1), (-174.0001, 1), (-174.0, 2), (0.0, 31), (-0.0001, 30), (179.9999, 60), (180.0, 1),
    (359.0, 30), (-179.9, 1), (177.0, 60), (3.0, 31), (6.0, 32),
])
def test_zone_boundaries(lon, zone):
    assert geodesy.zone_of(lon) == zone
    assert geodesy.zone_of(lon + 360.0) == zone


def test_model_zone_across_the_antimeridian():
    assert geodesy.model_zone([179.9, -179.9, 179.95], weights=[1, 1, 2]) in (60, 1)
    assert geodesy.model_zone([179.9, 179.8, -179.9]) == 60
    assert geodesy.model_zone([359.0, 358.0]) == 30    # 1 and 2 degrees west


def test_check_zone_warns_far_from_the_model_and_refuses_nonsense():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert geodesy.check_zone(10, [-123.0, -122.5]) == 10
    with pytest.warns(UserWarning, match="UTM zone 1"):
        geodesy.check_zone(1, [-123.0])
    for bad in (0, 61, 2.5, "x"):
        with pytest.raises(ValueError):
            geodesy.check_zone(bad)


def test_utm_across_the_antimeridian_keeps_distances():
    # Two points 20 km apart on either side of 180 degrees stay 20 km apart
    # (to the zone's scale factor) in the zone of the model.
    lon2, lat2, _ = geodesy.direct(179.9, -20.0, 90.0, 20.0)
    for zone in (60, 1):
        e1, n1 = geodesy.utm(179.9, -20.0, zone)
        e2, n2 = geodesy.utm(lon2, lat2, zone)
        assert abs(math.hypot(e2 - e1, n2 - n1) / 20.0 - 1.0) < 1e-3
    assert geodesy.utm(-179.9, -20.0, 60) == pytest.approx(geodesy.utm(180.1, -20.0, 60), abs=1e-9)


@pytest.mark.parametrize("lon, lat", [(-119.0, 40.0), (-123.0, -40.0), (177.5, 60.0)])
def test_convergence_is_dlon_sin_lat_to_first_order(lon, lat):
    # Meridians close towards the pole, which lies on the central meridian:
    # east of it in the north, true north points to grid west.
    zone = geodesy.zone_of(lon)
    dl = math.radians(geodesy.wrap(lon - geodesy.central_meridian(zone)))
    expected = -math.degrees(math.atan(math.tan(dl) * math.sin(math.radians(lat))))
    assert abs(geodesy.convergence(lon, lat, zone) - expected) < 2e-3
    assert geodesy.convergence(geodesy.central_meridian(zone), lat, zone) == pytest.approx(0.0, abs=1e-8)


def test_local_frame_round_trip_and_true_lengths():
    f = geodesy.LocalFrame((72.0, 38.5))
    assert f.to_km(72.0, 38.5) == pytest.approx((0.0, 0.0), abs=1e-9)
    lon, lat, _ = geodesy.direct(72.0, 38.5, 0.0, 50.0)
    x, y = f.to_km(lon, lat)
    assert abs(x) < 1e-9 and abs(y - 50.0) < 1e-6        # scale 1 on the central meridian
    lon, lat, _ = geodesy.direct(72.0, 38.5, 90.0, 20.0)
    x, y = f.to_km(lon + 360.0, lat)
    r = geodesy.radii(38.5)
    # the point scale 1 + x^2/(2 R^2) integrated from the central meridian
    assert abs(math.hypot(x, y) - 20.0 * (1.0 + 20.0 ** 2 / (6 * r[0] * r[1]))) < 1e-6
    lo, la = f.to_lonlat(x, y)
    assert abs(lo - lon) < 1e-11 and abs(la - lat) < 1e-11
    # grid and true azimuths turn back into each other
    assert f.to_true(x, y, f.to_grid(lon, lat, 37.0)) == pytest.approx(37.0, abs=1e-9)


def test_enu_against_geodesic_distance():
    lon2, lat2, _ = geodesy.direct(140.0, 35.0, 60.0, 10.0)
    e, n, u = geodesy.enu(140.0, 35.0, lon2, lat2)
    assert abs(math.degrees(math.atan2(e, n)) - 60.0) < 1e-3
    assert abs(math.sqrt(e * e + n * n + u * u) - 10.0) < 1e-5
    assert u < 0.0


def test_bad_latitudes_are_refused():
    for call in (lambda: geodesy.direct(0.0, 91.0, 0.0, 1.0), lambda: geodesy.utm(0.0, np.nan, 31),
                 lambda: geodesy.LocalFrame((0.0, 95.0))):
        with pytest.raises(ValueError):
            call()
