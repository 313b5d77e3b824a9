"""Exact placement anywhere on Earth: reference points moved along
geodesics (against geographiclib, an independent implementation of Karney's
algorithms), one default zone for every module, explicit zones checked, and
uplift across the antimeridian the same in either longitude convention, at
the seam too, in both frames (against the full sum, the same model turned
about the polar axis, and exact geodesic placement)."""
import math
import os
import subprocess
import sys
import warnings

import numpy as np
import pytest
from geographiclib.geodesic import Geodesic

from vadrel import geodesy, geometry, sources, tsunami
from vadrel.io.subfaults import to_top_centre

GEOD = Geodesic.WGS84


def model(rows):
    """A FiniteFault from (lon, lat, top depth, strike, dip, rake, slip, L, W) rows (top centres)."""
    sub = np.zeros(len(rows), sources.SUBFAULT_DTYPE)
    for k, r in enumerate(rows):
        sub[k] = tuple(r) + (3e10, np.nan, np.nan, 0)
    return sources.FiniteFault(subfaults=sub, moment=0.0, Mw=0.0)


# Each reference point's offset to the top centre, by the convention's own
# words: (fraction of L along strike, fraction of W up dip in map, fraction
# of W up dip in depth).
TO_TOP = {"top corner": (0.5, 0.0, 0.0), "top center": (0.0, 0.0, 0.0), "centroid": (0.0, 0.5, 0.5),
          "bottom center": (0.0, 1.0, 1.0), "noaa sift": (0.0, 1.0, 0.0)}


@pytest.mark.parametrize("reference", sorted(TO_TOP))
@pytest.mark.parametrize("lon0, lat0", [(10.0, -31.0), (179.5, 0.0), (-179.5, 60.0), (359.0, 85.0),
                                        (-120.0, -85.0)])
@pytest.mark.parametrize("strike, dip", [(10.0, 30.0), (250.0, 60.0)])
def test_reference_moves_follow_geodesics_to_a_millimetre_at_200_km(reference, lon0, lat0, strike, dip):
    # Subfaults 400 km long and 400 km across in map: the moves reach 200 km
    # (top corner along strike, centroid across) and 400 km (bottom centre).
    L, W = 400.0, 400.0 / math.cos(math.radians(dip))
    rows = np.zeros(1, sources.SUBFAULT_DTYPE)
    rows[0] = (lon0, lat0, 50.0, strike, dip, 90.0, 1.0, L, W, 3e10, np.nan, np.nan, 0)
    to_top_centre(rows, reference)
    fa, fw, fz = TO_TOP[reference]
    along, up = fa * L, fw * W * math.cos(math.radians(dip))      # up dip is to the left of the strike
    expected_depth = 50.0 - fz * W * math.sin(math.radians(dip))
    assert rows["depth"][0] == pytest.approx(expected_depth, abs=1e-9)
    if along == up == 0.0:
        assert (rows["lon"][0], rows["lat"][0]) == (lon0, lat0)
        return
    g = GEOD.Direct(lat0, lon0, strike - math.degrees(math.atan2(up, along)), 1000.0 * math.hypot(along, up))
    miss = GEOD.Inverse(g["lat2"], g["lon2"], rows["lat"][0], rows["lon"][0])["s12"]
    assert miss <= 1e-3
    assert abs(rows["lon"][0] - lon0) <= 180.0                   # the caller's convention kept


def test_subfault_corners_are_geodesic_moves_from_the_top_centre():
    ff = model([(179.8, 50.0, 5.0, 80.0, 40.0, 90.0, 1.0, 300.0, 200.0)])
    c = geometry.subfault_corners(ff.subfaults)[0]
    across = 200.0 * math.cos(math.radians(40.0))
    for (lon, lat, z), (a, d) in zip(c, [(-150.0, 0.0), (150.0, 0.0), (150.0, across), (-150.0, across)]):
        g = GEOD.Direct(50.0, 179.8, 80.0 + math.degrees(math.atan2(d, a)), 1000.0 * math.hypot(a, d))
        assert GEOD.Inverse(g["lat2"], g["lon2"], lat, lon)["s12"] <= 1e-3
    assert c[2, 2] == pytest.approx(5.0 + 200.0 * math.sin(math.radians(40.0)))
    outline = geometry.subfault_outlines(ff.subfaults)[0]
    assert np.array_equal(outline[:4], c[:, :2]) and np.array_equal(outline[4], outline[0])


def test_reading_moves_reference_points_along_geodesics(tmp_path):
    # A CSV row given as the centroid, 100 km from its top centre: the reader's
    # top centre is the geodesic point 100 km up dip (azimuth strike - 90).
    p = tmp_path / "m.csv"
    p.write_text("Longitude,Latitude,Depth(km),Length,Width,Strike,Dip,Rake,Slip\n"
                 "179.9,-20.0,40.0,100.0,400.0,30.0,60.0,90.0,2.0\n")
    sub = sources.read(p, reference="centroid").subfaults
    g = GEOD.Direct(-20.0, 179.9, 30.0 - 90.0, 1000.0 * 0.5 * 400.0 * math.cos(math.radians(60.0)))
    assert GEOD.Inverse(g["lat2"], g["lon2"], sub["lat"][0], sub["lon"][0])["s12"] <= 1e-3
    assert sub["depth"][0] == pytest.approx(40.0 - 200.0 * math.sin(math.radians(60.0)))


@pytest.mark.parametrize("lons, zone", [([359.0], 30), ([-1.0], 30), ([179.9, -179.9], 1), ([179.9, 180.1], 1),
                                        ([-120.1], 10), ([-119.9], 11), ([0.0], 31), ([-177.0, -176.0], 1)])
def test_one_default_zone_from_the_circular_mean(lons, zone):
    ff = model([(lon, 10.0, 5.0, 0.0, 90.0, 90.0, 1.0, 10.0, 10.0) for lon in lons])
    assert ff.default_zone() == zone == geometry.default_zone(ff.subfaults)


def test_longitude_359_gives_the_segments_of_longitude_minus_1():
    rows = [(359.0, 40.0, 5.0, 20.0, 30.0, 90.0, 1.0, 20.0, 10.0), (359.2, 40.1, 8.0, 20.0, 30.0, 60.0, 2.0, 20.0, 10.0)]
    east = model(rows).to_faults()
    west = model([(r[0] - 360.0,) + r[1:] for r in rows]).to_faults()
    for a, b in zip(east.segments, west.segments):
        assert 160.0 < a.X < 840.0                                # inside zone 30, not 113,090 km west
        assert (a.X, a.Y, a.strike) == pytest.approx((b.X, b.Y, b.strike), abs=1e-9)


def test_a_model_across_the_antimeridian_keeps_its_size():
    # Two subfaults 0.2 degrees of longitude apart across 180, at 30 S: their
    # segments are as far apart as the geodesic between them (to the scale
    # error at 3 degrees from the central meridian, under 1.5e-3).
    ff = model([(179.9, -30.0, 5.0, 0.0, 30.0, 90.0, 1.0, 20.0, 10.0), (-179.9, -30.0, 5.0, 0.0, 30.0, 90.0, 1.0, 20.0, 10.0)])
    a, b = ff.to_faults().segments
    d = GEOD.Inverse(-30.0, 179.9, -30.0, -179.9)["s12"] / 1000.0
    assert math.hypot(a.X - b.X, a.Y - b.Y) == pytest.approx(d, rel=1.5e-3)
    assert ff.centroid()[0] == pytest.approx(-180.0, abs=0.1) or ff.centroid()[0] == pytest.approx(180.0, abs=0.1)


@pytest.mark.parametrize("lon, zone, warns", [(-120.0, 10, False), (-120.0, 11, False), (-120.0, 12, True),
                                              (-123.0, 1, True), (180.0, 1, False), (-180.0, 60, False), (179.0, 1, True),
                                              (-179.0, 60, True), (179.0, 59, True)])
def test_explicit_zones_more_than_3_degrees_from_the_model_warn(lon, zone, warns):
    ff = model([(lon, 40.0, 5.0, 0.0, 90.0, 0.0, 1.0, 10.0, 10.0)])      # vertical: centre under the top
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        ff.to_faults(zone=zone)
        tsunami.dtopo(ff, np.linspace(lon - 0.2, lon + 0.2, 5), np.linspace(39.8, 40.2, 5), frame="utm", zone=zone)
    said = [str(w.message) for w in caught if "degrees of longitude" in str(w.message)]
    assert len(said) == (2 if warns else 0), said


def test_tsunami_and_sources_choose_the_same_zone():
    ff = model([(179.7, -20.0, 5.0, 10.0, 20.0, 90.0, 3.0, 30.0, 20.0), (-179.6, -20.2, 5.0, 10.0, 20.0, 90.0, 1.0, 30.0, 20.0)])
    lon, lat = np.linspace(179.0, 181.0, 21), np.linspace(-21.0, -19.0, 21)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        a = tsunami.dtopo(ff, lon, lat, frame="utm", levels=1).dz
        b = tsunami.dtopo(ff, lon, lat, frame="utm", zone=ff.default_zone(), levels=1).dz
    assert np.array_equal(a, b)


def test_the_command_line_warns_of_a_far_zone_in_one_line(tmp_path):
    p = tmp_path / "m.csv"
    p.write_text("Longitude,Latitude,Depth(km),Length,Width,Strike,Dip,Rake,Slip\n"
                 "-122.0,37.0,5.0,20.0,10.0,0.0,60.0,90.0,1.0\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    r = subprocess.run([sys.executable, "-m", "vadrel.sources", str(p), "--reference", "top center", "--zone", "1",
                        "-o", str(tmp_path / "f.txt")], capture_output=True, text=True, env=env)
    assert r.returncode == 0
    lines = [l for l in r.stderr.splitlines() if "warning" in l]
    assert len(lines) == 1 and lines[0].startswith("vadrel.sources: warning: UTM zone 1")


# --------------------------------------------------------------------------- uplift across the antimeridian

SEAM = [(179.85, -20.0, 4.0, 10.0, 18.0, 90.0, 3.0, 25.0, 20.0), (179.95, -19.8, 9.0, 10.0, 18.0, 80.0, 2.0, 25.0, 20.0),
        (-179.95, -20.1, 4.0, 10.0, 18.0, 100.0, 4.0, 25.0, 20.0), (-179.85, -19.9, 9.0, 10.0, 18.0, 90.0, 1.0, 25.0, 20.0)]


def turned(rows, dlon):
    return model([(geodesy.wrap(r[0] + dlon),) + tuple(r[1:]) for r in rows])


@pytest.mark.parametrize("frame", ["local", "utm"])
@pytest.mark.parametrize("levels", [None, 1, 2])
def test_a_seam_grid_in_either_convention_gives_the_same_uplift(frame, levels):
    ff = model(SEAM)
    lon = np.arange(178.0, 182.0 + 1e-9, 1 / 30)
    lat = np.arange(-22.0, -18.0 + 1e-9, 1 / 30)
    east = tsunami.dtopo(ff, lon, lat, frame=frame, levels=levels).dz
    west = tsunami.dtopo(ff, lon - 360.0, lat, frame=frame, levels=levels).dz
    shifted = tsunami.dtopo(turned(SEAM, 360.0), lon, lat, frame=frame, levels=levels).dz
    peak = np.abs(east).max()
    assert np.abs(east - west).max() <= 1e-9 * peak
    assert np.abs(east - shifted).max() <= 1e-9 * peak
    full = east if levels == 1 else tsunami.dtopo(ff, lon, lat, frame=frame, levels=1).dz
    near = np.abs(lon - 180.0) < 0.5
    assert np.abs(east - full).max() <= 3e-4 * peak
    assert np.abs(east - full)[..., near].max() <= 3e-4 * peak   # at the seam as well as anywhere


@pytest.mark.parametrize("frame, zone, turned_zone", [("local", None, None), ("utm", None, None), ("utm", 1, 46),
                                                     ("utm", 60, 45)])
def test_uplift_at_the_seam_equals_that_of_the_model_turned_a_quarter_round(frame, zone, turned_zone):
    # The ellipsoid is symmetric about its axis: the model turned 90 degrees
    # west, away from the seam, with the grid and the zone turned alike, has
    # the same uplift.
    lon = np.arange(178.5, 181.5 + 1e-9, 1 / 20)
    lat = np.arange(-21.5, -18.5 + 1e-9, 1 / 20)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        here = tsunami.dtopo(model(SEAM), lon, lat, frame=frame, zone=zone).dz
        there = tsunami.dtopo(turned(SEAM, -90.0), lon - 90.0, lat, frame=frame, zone=turned_zone).dz
    assert np.abs(here - there).max() <= 1e-9 * np.abs(here).max()


@pytest.mark.parametrize("levels", [None, 1])
def test_a_whole_band_in_either_convention(levels):
    # Every longitude, from -180 or from 0: the seam inside one grid and at
    # the edges of the other.  The full sums are the same nodes rolled; the
    # level sums each stay within the levels' error of them, at the seam too.
    step = 1 / 10
    lat = np.arange(-21.0, -19.0 + 1e-9, step)
    a = np.arange(-180.0, 180.0 - 1e-9, step)
    b = np.arange(0.0, 360.0 - 1e-9, step)
    ff = model(SEAM)
    za = tsunami.dtopo(ff, a, lat, levels=levels).dz[0]
    zb = tsunami.dtopo(ff, b, lat, levels=levels).dz[0]
    roll = len(a) // 2                       # b[k] is a[k + roll] (mod 360)
    np.testing.assert_allclose(b, np.r_[a[roll:], a[:roll] + 360.0], atol=1e-9)
    peak = np.abs(za).max()
    tolerance = 1e-9 if levels == 1 else 3e-4
    assert np.abs(np.roll(za, -roll, axis=1) - zb).max() <= tolerance * peak
    if levels is None:
        full = tsunami.dtopo(ff, a, lat, levels=1).dz[0]
        assert np.abs(za - full).max() <= 3e-4 * peak
        assert np.abs(za - full)[:, np.abs(geodesy.wrap(a - 180.0)) < 0.5].max() <= 3e-4 * peak


def exact_uplift(ff, lon, lat):
    """Each subfault placed at its geodesic distance and azimuth (geographiclib)
    from every node, evaluated by the module's kernel, summed (metres)."""
    import vadrel
    out = np.zeros((len(lat), len(lon)))
    for s in ff.subfaults:
        x, y = np.empty(out.shape), np.empty(out.shape)
        for j, la in enumerate(lat):
            for i, lo in enumerate(lon):
                g = GEOD.Inverse(s["lat"], s["lon"], la, lo)
                a = math.radians(g["azi1"])
                x[j, i], y[j, i] = g["s12"] / 1000.0 * math.sin(a), g["s12"] / 1000.0 * math.cos(a)
        f = geometry.segment_arrays(s[None], [0.0], [0.0], [s["strike"]])
        seg = vadrel.Segment(X=f["X"][0], Y=f["Y"][0], strike=f["strike"][0], depth=f["depth"][0], dip=f["dip"][0],
                             lam=3e10, mu=3e10, U1=f["U1"][0], U2=f["U2"][0], U3=0.0, L=f["L"][0], W=f["W"][0])
        out += vadrel.displacement(vadrel.Faults([seg]), x.ravel(), y.ravel())[:, 2].reshape(out.shape) / 1000.0
    return out


@pytest.mark.parametrize("lon0, lat0", [(179.9, 85.0), (-60.0, -85.0)])
def test_uplift_at_85_degrees_equals_exact_geodesic_placement(lon0, lat0):
    ff = model([(lon0, lat0, 3.0, 30.0, 25.0, 90.0, 4.0, 30.0, 20.0), (lon0 + 0.4, lat0 + 0.05, 6.0, 30.0, 25.0, 60.0, 2.0,
                                                                     30.0, 20.0)])
    lon = np.linspace(lon0 - 4.0, lon0 + 4.0, 25)
    lat = np.linspace(lat0 - 0.6, lat0 + 0.6, 15)
    exact = exact_uplift(ff, lon, lat)
    local = tsunami.dtopo(ff, lon, lat, levels=1).dz[0]
    assert np.abs(local - exact).max() <= 2e-5 * np.abs(exact).max()
