"""Reading interferograms: GeoTIFF (geographic, UTM) and NetCDF (CF, GMT, GMT's older layout)
written here as their writers write them; units, signs, look vectors, masks, crops, references
and frames against hand values and independent geodesy."""
import math
import os

import numpy as np
import pytest

rasterio = pytest.importorskip("rasterio")
netCDF4 = pytest.importorskip("netCDF4")
from geographiclib.geodesic import Geodesic  # noqa: E402
from rasterio.transform import Affine  # noqa: E402

import vadrel  # noqa: E402
import vadrel.insar as vi  # noqa: E402

WGS84 = Geodesic.WGS84


def write_tif(path, values, transform, crs="EPSG:4326", nodata=None, dtype="float32"):
    values = np.asarray(values)
    with rasterio.open(path, "w", driver="GTiff", height=values.shape[0], width=values.shape[1], count=1,
                       dtype=dtype, crs=crs, transform=transform, nodata=nodata) as dst:
        dst.write(values.astype(dtype), 1)
    return str(path)


def geo_transform(lon0, lat0, step):
    """North-up geographic transform whose first pixel centre is (lon0, lat0)."""
    return Affine(step, 0.0, lon0 - step / 2, 0.0, -step, lat0 + step / 2)


def write_cf(path, lon, lat, values, name="unw", xname="lon", yname="lat", units=True, **attrs):
    with netCDF4.Dataset(path, "w") as nc:
        nc.Conventions = "CF-1.7"
        nc.createDimension(yname, len(lat))
        nc.createDimension(xname, len(lon))
        x = nc.createVariable(xname, "f8", (xname,))
        y = nc.createVariable(yname, "f8", (yname,))
        if units:
            x.units, y.units = "degrees_east", "degrees_north"
        x[:], y[:] = lon, lat
        v = nc.createVariable(name, "f4", (yname, xname), fill_value=np.float32(-9999.0))
        for k, val in attrs.items():
            setattr(v, k, val)
        v[:] = np.ma.masked_invalid(values)
    return str(path)


def write_gmt_old(path, x_range, y_range, values, node_offset):
    """GMT's older NetCDF layout: z stored row by row from the north-west."""
    ny, nx = values.shape
    with netCDF4.Dataset(path, "w", format="NETCDF3_CLASSIC") as nc:
        nc.createDimension("side", 2)
        nc.createDimension("xysize", nx * ny)
        for name, val in (("x_range", x_range), ("y_range", y_range)):
            v = nc.createVariable(name, "f8", ("side",))
            v.units = "degrees"
            v[:] = val
        nc.createVariable("z_range", "f8", ("side",))[:] = [np.nanmin(values), np.nanmax(values)]
        sp = nc.createVariable("spacing", "f8", ("side",))
        sp[:] = [(x_range[1] - x_range[0]) / (nx - 1 + node_offset), (y_range[1] - y_range[0]) / (ny - 1 + node_offset)]
        nc.createVariable("dimension", "i4", ("side",))[:] = [nx, ny]
        z = nc.createVariable("z", "f4", ("xysize",))
        z.scale_factor, z.add_offset, z.node_offset = 1.0, 0.0, node_offset
        z[:] = values.ravel()
        nc.title, nc.source = "", "xyz2grd"
    return str(path)


def write_xy_nc(path, x, y, z, wkt=None):
    """Projected NetCDF as GDAL writes it: x/y in metres, the CRS's WKT in a grid_mapping variable."""
    with netCDF4.Dataset(path, "w") as nc:
        nc.createDimension("y", len(y))
        nc.createDimension("x", len(x))
        nc.createVariable("x", "f8", ("x",))[:] = x
        nc.createVariable("y", "f8", ("y",))[:] = y
        v = nc.createVariable("Band1" if wkt else "z", "f4", ("y", "x"))
        if wkt:
            nc.createVariable("transverse_mercator", "i4").spatial_ref = wkt
            v.grid_mapping = "transverse_mercator"
        v[:] = z
    return str(path)


def read(path, **kwargs):
    """vi.read in mm towards the radar on a right-looking pass of incidence 39, heading -12."""
    return vi.read(path, **{"units": "mm", "positive": "towards", "incidence": 39, "heading": -12, **kwargs})


# Incidence 39, heading -12, right-looking, by hand: e = -sin 39 cos 12, n = -sin 39 sin 12, u = cos 39.
HAND_39_M12 = (-0.629320391 * 0.978147601, -0.629320391 * 0.207911691, 0.777145961)


def test_the_documented_geotiff_call(tmp_path, monkeypatch):
    los = np.full((5, 7), 0.012)
    los[0, 0] = -9999.0                      # nodata
    t = geo_transform(71.97, 38.52, 0.01)    # first pixel centre: (72, 38.5) is row 2, column 3
    for name, v in (("los", los), ("e", -0.6), ("n", -0.1), ("u", math.sqrt(1 - 0.37))):
        write_tif(tmp_path / f"{name}.tif", np.broadcast_to(v, (5, 7)), t, nodata=-9999.0 if name == "los" else None,
                  dtype="float64")
    monkeypatch.chdir(tmp_path)
    ifg = vadrel.insar.read("los.tif", units="m", positive="towards", look=("e.tif", "n.tif", "u.tif"),
                            origin=(72.0, 38.5))
    assert ifg.los.shape == (5, 7) and ifg.look.shape == (5, 7, 3)
    assert np.isnan(ifg.los[0, 0]) and ifg.masked["no data"] == 1
    assert np.nanmax(np.abs(ifg.los - 12.0)) < 1e-9            # 0.012 m towards: +12 mm
    assert ifg.x[2, 3] == pytest.approx(0.0, abs=1e-9) and ifg.y[2, 3] == pytest.approx(0.0, abs=1e-9)
    # On the origin's meridian the look vector is unturned; 0.03 degree east it turns by the convergence.
    np.testing.assert_allclose(ifg.look[2, 3], (-0.6, -0.1, math.sqrt(0.63)), atol=1e-12)
    # y of (72, 38.52): the meridian arc from 38.5, geodesic (scale 1 on the central meridian).
    assert ifg.y[0, 3] == pytest.approx(WGS84.Inverse(38.5, 72, 38.52, 72)["s12"] / 1000, abs=1e-6)
    lon, lat = ifg.lonlat()
    np.testing.assert_allclose(lon[2], 71.97 + 0.01 * np.arange(7), atol=1e-9)


def test_the_documented_netcdf_call(tmp_path, monkeypatch):
    lon = 71.98 + 0.01 * np.arange(5)
    lat = 38.48 + 0.01 * np.arange(4)           # south to north, as CF grids usually run
    phase = np.full((4, 5), math.pi)
    phase[1, 1] = np.nan
    write_cf(tmp_path / "unw.nc", lon, lat, phase)
    monkeypatch.chdir(tmp_path)
    ifg = vadrel.insar.read("unw.nc", units="rad", wavelength=0.0555, positive="away", incidence=39.0,
                            heading=-12.0, origin=(72.0, 38.5))
    # pi radians of phase, away from the radar: -pi * 0.0555 / (4 pi) m = -13.875 mm.
    assert np.nanmax(np.abs(ifg.los + 13.875)) < 1e-5
    assert np.isnan(ifg.los[1, 1])
    np.testing.assert_allclose(ifg.look[2, 2], HAND_39_M12, atol=1e-9)        # (72, 38.5): no turn
    assert ifg.y[2, 2] == pytest.approx(0.0, abs=1e-9) and ifg.y[3, 2] > 0


@pytest.mark.parametrize("units,positive,value,wavelength,expected_mm", [
    ("m", "away", 0.02, None, -20.0),
    ("cm", "towards", -1.5, None, -15.0),
    ("mm", "away", 3.0, None, -3.0),
    ("rad", "towards", 2 * math.pi, 0.0555, 27.75),         # one fringe: half a wavelength of range
    ("rad", "away", 2 * math.pi, 0.2362, -118.1),           # L band
])
def test_units_and_signs(tmp_path, units, positive, value, wavelength, expected_mm):
    p = write_tif(tmp_path / "v.tif", np.full((3, 3), value), geo_transform(72, 38.5, 0.01), dtype="float64")
    ifg = vi.read(p, units=units, positive=positive, wavelength=wavelength, incidence=35, heading=-12)
    np.testing.assert_allclose(ifg.los, expected_mm, rtol=1e-12)


def test_look_from_incidence_and_heading_by_hand():
    s, c = math.sin(math.radians(35)), math.cos(math.radians(35))
    h = math.radians(-167.0)                        # descending
    np.testing.assert_allclose(vi.look.from_incidence_heading(35.0, -167.0),
                               (-s * math.cos(h), s * math.sin(h), c), atol=1e-12)
    assert vi.look.from_incidence_heading(35.0, -167.0)[0] > 0     # descending looks west: radar to the east
    # Left-looking mirrors the horizontal part.
    np.testing.assert_allclose(vi.look.from_incidence_heading(39.0, -12.0, left_looking=True),
                               (-HAND_39_M12[0], -HAND_39_M12[1], HAND_39_M12[2]), atol=1e-12)
    # Azimuth of ground-to-radar: a right-looking radar heading h is seen at azimuth h - 90.
    np.testing.assert_allclose(vi.look.from_incidence_azimuth(39.0, -102.0), HAND_39_M12, atol=1e-12)
    np.testing.assert_allclose(vi.look.from_incidence_azimuth(30.0, 90.0), (0.5, 0.0, math.sqrt(3) / 2), atol=1e-12)


def test_sarez_look_vectors_are_an_ascending_right_looking_pass():
    """The Sarez file's e, n, u (a real Sentinel-1 ascending track) give back heading and
    incidence that reproduce them."""
    path = os.path.join(os.environ.get("VADREL_SOURCE", "."), "..", "shared", "data", "insar",
                        "sarez2015_ascending.txt")
    if not os.path.exists(path):
        pytest.skip("the Sarez data are not beside the checkout")
    e, n, u = np.loadtxt(path, skiprows=1, usecols=(3, 4, 5), unpack=True)
    inc = np.degrees(np.arccos(u))
    heading = np.degrees(np.arctan2(n, -e))          # right-looking: e = -sin(i) cos(h), n = sin(i) sin(h)
    assert 30 < inc.min() and inc.max() < 46
    assert -14 < heading.min() and heading.max() < -9
    np.testing.assert_allclose(vi.look.from_incidence_heading(inc, heading), np.column_stack([e, n, u]), atol=3e-5)
    # (the file's components are rounded to 6 decimals: unit length within 2e-5)


def test_look_vectors_are_turned_to_grid_north_by_the_convergence(tmp_path):
    """1 degree east of the origin's meridian the horizontal look turns by the convergence
    gamma = atan(tan(dlon) sin(lat)) (the ellipsoid's correction is below 1e-6 of it here):
    true north points west of grid north there, so true east has grid azimuth 90 - gamma."""
    p = write_tif(tmp_path / "v.tif", np.ones((3, 3)), geo_transform(72.99, 38.51, 0.01), dtype="float64")
    ifg = vi.read(p, units="mm", positive="towards", incidence=90.0 - 1e-9, azimuth=90.0, origin=(72.0, 38.5))
    gamma = math.atan(math.tan(math.radians(1.0)) * math.sin(math.radians(38.5)))
    e, n, u = ifg.look[1, 1]
    assert math.atan2(e, n) == pytest.approx(math.pi / 2 - gamma, abs=2e-6)
    assert u == pytest.approx(0.0, abs=1e-9)


def test_utm_geotiff_positions_against_geodesics(tmp_path):
    """UTM zone 43, 1 km pixels on its central meridian (75 E): neighbouring centres are
    1 km / 0.9996 apart on the ground, which geographiclib measures independently."""
    t = Affine(1000.0, 0.0, 494500.0, 0.0, -1000.0, 4265000.0)
    p = write_tif(tmp_path / "utm.tif", np.arange(100.0).reshape(10, 10), t, crs="EPSG:32643", dtype="float64")
    ifg = read(p)
    lon, lat = ifg.lonlat()
    assert lon[0, 5] == pytest.approx(75.0, abs=1e-9)                 # column 5's centre: easting 500 km
    g = WGS84.Inverse(lat[4, 5], lon[4, 5], lat[5, 5], lon[5, 5])["s12"]
    assert g == pytest.approx(1000.0 / 0.9996, rel=2e-6)
    d = math.hypot(ifg.x[4, 5] - ifg.x[5, 5], ifg.y[4, 5] - ifg.y[5, 5])
    assert d == pytest.approx(g / 1000.0, rel=3e-6)                    # the frame is near scale 1 here
    assert ifg.los[0, 0] == 0.0 and ifg.los[9, 9] == 99.0


def test_gmt_grids_and_registration(tmp_path):
    """GMT's NetCDF grid (x, y, z) and its older layout, gridline- and pixel-registered: the
    north-west sample lands where the registration puts it."""
    vals = np.arange(12.0).reshape(3, 4)                 # row 0 north
    # Modern GMT: coordinates are the sample positions; rows stored south to north.
    p = write_cf(tmp_path / "gmt.nc", 72 + 0.1 * np.arange(4), 38.3 + 0.1 * np.arange(3), vals[::-1], name="z",
                 xname="x", yname="y", units=False, node_offset=1)
    with netCDF4.Dataset(p, "a") as nc:
        nc.variables["x"].long_name = "longitude"
        nc.variables["x"].units = "degrees_east"
    g = vi.read_grid(p)
    assert g.geographic and g.values[0, 0] == 8.0 and g.ys[0] == pytest.approx(38.3)
    for off, xr, yr, x0, y0 in ((0, (72.0, 72.3), (38.3, 38.5), 72.0, 38.5),
                                (1, (72.0, 72.4), (38.3, 38.6), 72.0 + 0.05, 38.6 - 0.05)):
        p = write_gmt_old(tmp_path / f"old{off}.grd", xr, yr, vals, off)
        g = vi.read_grid(p)
        assert g.values[0, 0] == 0.0 and g.values[2, 3] == 11.0
        assert g.xs[0] == pytest.approx(x0) and g.ys[0] == pytest.approx(y0)
        assert g.xs[1] - g.xs[0] == pytest.approx(0.1)


def test_cf_grid_with_a_grid_mapping(tmp_path):
    import pyproj
    p = write_xy_nc(tmp_path / "proj.nc", [499000.0, 500000.0, 501000.0], [4262500.0, 4261500.0],
                    [[1, 2, 3], [4, 5, 6]], pyproj.CRS.from_epsg(32643).to_wkt())
    ifg = read(p, origin=(75.0, 38.5))
    assert ifg.frame.lon0 == 75.0
    assert ifg.x[0, 1] == pytest.approx(0.0, abs=1e-9)                # easting 500 km: on 75 E
    assert ifg.x[0, 2] - ifg.x[0, 0] == pytest.approx(2.0 / 0.9996, rel=1e-5)


def test_masks_crop_and_reference(tmp_path):
    v = np.arange(30.0).reshape(5, 6)
    v[0, 1] = 0.0
    t = geo_transform(72.0, 38.54, 0.01)
    p = write_tif(tmp_path / "v.tif", v, t, dtype="float64")
    coh = np.full((5, 6), 0.9)
    coh[3, 3] = 0.1
    c = write_tif(tmp_path / "coh.tif", coh, t, dtype="float64")
    ifg = read(p, mask_zero=True, coherence=c, min_coherence=0.3)
    assert ifg.masked["zero"] == 2 and ifg.masked["coherence"] == 1
    assert np.isnan(ifg.los[0, 0]) and np.isnan(ifg.los[0, 1]) and np.isnan(ifg.los[3, 3])
    # Crop to columns 1..3 and rows 1..2 (a lon/lat box), reference the mean of row 1 there.
    box = (72.005, 72.035, 38.515, 38.535)
    ref = (72.005, 72.035, 38.525, 38.535)
    ifg = read(p, crop=box, reference=ref)
    assert ifg.shape == (2, 3)
    assert ifg.reference == pytest.approx(np.mean([7.0, 8.0, 9.0]))
    np.testing.assert_allclose(ifg.los, v[1:3, 1:4] - 8.0)
    med = read(p, reference=(71.99, 72.06, 38.495, 38.505), reference_statistic="median")
    assert med.reference == pytest.approx(np.median(v[4]))
    # A km polygon crop: a triangle over the grid's south-west corner.
    ifg = read(p, origin=(72.0, 38.5), crop=[(-1.0, -1.0), (3.5, -1.0), (-1.0, 3.5)], areas="km")
    inside = (ifg.x + 1.0) + (ifg.y + 1.0) < 4.5                      # the triangle's hypotenuse
    np.testing.assert_array_equal(ifg.valid, inside)
    assert 0 < np.count_nonzero(ifg.valid) < 30


def test_a_box_across_the_antimeridian(tmp_path):
    p = write_tif(tmp_path / "v.tif", np.arange(12.0).reshape(2, 6), geo_transform(179.975, -17.0, 0.01))
    for box in ((179.99, -179.985, -17.02, -16.99), (179.99, 180.015, -17.02, -16.99)):
        ifg = read(p, crop=box)
        assert ifg.shape == (2, 3)
        lon, _ = ifg.lonlat()
        assert np.all(np.abs(vadrel.geodesy.wrap(lon - 180.0)) < 0.021)


@pytest.mark.parametrize("kwargs,message", [
    ({"positive": "up"}, "positive must be"),
    ({"units": "ft"}, "units must be"),
    ({"units": "rad"}, "wavelength"),
    ({"units": "m", "wavelength": 0.05}, "wavelength is for phase"),
    ({"heading": None}, "heading= or azimuth="),
    ({"incidence": None, "heading": None}, "look vectors one way"),
    ({"incidence": None, "heading": None, "look": (0.6, 0.1, 0.2)}, "has length"),
    ({"incidence": None, "heading": None, "look": (0.6, 0.0, -0.8)}, "does not point up"),
    ({"incidence": 95}, "incidence 95"),
    ({"min_coherence": 0.3}, "coherence grid"),
])
def test_bad_options_are_refused(tmp_path, kwargs, message):
    p = write_tif(tmp_path / "v.tif", np.ones((2, 2)), geo_transform(72, 38.5, 0.01))
    with pytest.raises(ValueError, match=message):
        read(p, **kwargs)


def test_normalise_scales_look_vectors(tmp_path):
    p = write_tif(tmp_path / "v.tif", np.ones((2, 2)), geo_transform(72, 38.5, 0.01))
    ifg = vi.read(p, units="m", positive="towards", look=(0.6, 0.0, 0.8 * 2), normalise=True, origin=(72.005, 38.495))
    np.testing.assert_allclose(np.linalg.norm(ifg.look, axis=-1), 1.0, atol=1e-12)


def test_bad_files_are_named(tmp_path):
    rot = write_tif(tmp_path / "rot.tif", np.ones((3, 3)), Affine(0.01, 0.002, 72.0, 0.001, -0.01, 38.5))
    with pytest.raises(ValueError, match=r"rot\.tif: the grid is rotated"):
        read(rot)
    a = write_tif(tmp_path / "a.tif", np.ones((3, 3)), geo_transform(72, 38.5, 0.01))
    b = write_tif(tmp_path / "b.tif", np.ones((3, 4)), geo_transform(72, 38.5, 0.01))
    with pytest.raises(ValueError, match=r"a\.tif and .*b\.tif are not on the same grid"):
        vi.read(a, units="m", positive="towards", incidence=b, heading=-12)
    c = write_tif(tmp_path / "c.tif", np.ones((3, 3)), geo_transform(72.001, 38.5, 0.01))
    with pytest.raises(ValueError, match=r"a\.tif and .*c\.tif are not on the same grid: x positions"):
        vi.read(a, units="m", positive="towards", look=(c, c, c))
    txt = tmp_path / "notes.tif"
    txt.write_text("not a grid\n")
    with pytest.raises(ValueError, match="notes.tif: not a GeoTIFF or NetCDF"):
        read(txt)
    with pytest.raises(OSError, match="missing.tif"):
        read(tmp_path / "missing.tif")
    p = write_xy_nc(tmp_path / "m.nc", [0.0, 1000.0], [0.0, 1000.0], np.ones((2, 2)))
    with pytest.raises(ValueError, match=r"m\.nc: .*give crs="):
        read(p)
    assert read(p, crs="EPSG:32643").shape == (2, 2)
