"""vadrel.tsunami: frames against exact geodesics and the program's G card,
the level sum against the full sum, kinematics, the horizontal term and the
Kajiura filter against closed forms, writers read back independently."""
import math
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import vadrel
from vadrel import sources, tsunami
from vadrel.tsunami.filters import bathymetry_on
from vadrel.tsunami.frames import LocalFrames

from conftest import SOURCE

DATA = pathlib.Path(os.environ.get("VADREL_FINITE_FAULTS", SOURCE.parent / "shared" / "data" / "finite-faults"))
A, F = 6378137.0, 1 / 298.257223563


def vincenty(lat1, lon1, lat2, lon2):
    """Geodesic distance (km) and forward azimuth (degrees) on WGS 84
    (Vincenty's inverse formula, good to well under a millimetre)."""
    b = A * (1 - F)
    L = math.radians(lon2 - lon1)
    U1, U2 = math.atan((1 - F) * math.tan(math.radians(lat1))), math.atan((1 - F) * math.tan(math.radians(lat2)))
    lam = L
    for _ in range(200):
        sl, cl = math.sin(lam), math.cos(lam)
        ss = math.hypot(math.cos(U2) * sl, math.cos(U1) * math.sin(U2) - math.sin(U1) * math.cos(U2) * cl)
        cs = math.sin(U1) * math.sin(U2) + math.cos(U1) * math.cos(U2) * cl
        sig = math.atan2(ss, cs)
        if ss == 0.0:
            return 0.0, 0.0
        sa = math.cos(U1) * math.cos(U2) * sl / ss
        c2a = 1 - sa * sa
        c2m = cs - 2 * math.sin(U1) * math.sin(U2) / c2a if c2a > 1e-15 else 0.0  # along the equator
        C = F / 16 * c2a * (4 + F * (4 - 3 * c2a))
        prev, lam = lam, L + (1 - C) * F * sa * (sig + C * ss * (c2m + C * cs * (-1 + 2 * c2m * c2m)))
        if abs(lam - prev) < 1e-13:
            break
    u2 = c2a * (A * A - b * b) / (b * b)
    AA = 1 + u2 / 16384 * (4096 + u2 * (-768 + u2 * (320 - 175 * u2)))
    BB = u2 / 1024 * (256 + u2 * (-128 + u2 * (74 - 47 * u2)))
    ds = BB * ss * (c2m + BB / 4 * (cs * (-1 + 2 * c2m ** 2) - BB / 6 * c2m * (-3 + 4 * ss ** 2) * (-3 + 4 * c2m ** 2)))
    az = math.atan2(math.cos(U2) * math.sin(lam), math.cos(U1) * math.sin(U2) - math.sin(U1) * math.cos(U2) * math.cos(lam))
    return b * AA * (sig - ds) / 1000.0, math.degrees(az)


def model(rows, lon=-72.0, lat=-31.0):
    """A FiniteFault from (dlon, dlat, top depth, strike, dip, rake, slip, L, W, t_rup, t_rise) rows."""
    sub = np.zeros(len(rows), sources.SUBFAULT_DTYPE)
    for k, (dx, dy, depth, strike, dip, rake, slip, L, W, t0, rise) in enumerate(rows):
        sub[k] = (lon + dx, lat + dy, depth, strike, dip, rake, slip, L, W, 3e10, t0, rise, 0)
    return sources.FiniteFault(subfaults=sub, moment=0.0, Mw=0.0)


ONE = [(0, 0, 2.0, 10.0, 20.0, 90.0, 5.0, 30.0, 20.0, 0.0, 10.0)]
TWO = ONE + [(0.05, 0.3, 8.0, 15.0, 20.0, 70.0, 3.0, 30.0, 20.0, 20.0, 10.0)]


def exact_uplift(ff, lon, lat, component=2):
    """Each subfault placed at its geodesic distance and azimuth from every
    node, evaluated by the module's kernel and summed (metres)."""
    out = np.zeros((len(lat), len(lon)))
    for s in ff.subfaults:
        x, y = np.empty(out.shape), np.empty(out.shape)
        for j, la in enumerate(lat):
            for i, lo in enumerate(lon):
                d, az = vincenty(s["lat"], s["lon"], la, lo)
                x[j, i], y[j, i] = d * math.sin(math.radians(az)), d * math.cos(math.radians(az))
        g = sources.segment_arrays(s[None], [0.0], [0.0], [s["strike"]])
        seg = vadrel.Segment(X=g["X"][0], Y=g["Y"][0], strike=g["strike"][0], depth=g["depth"][0], dip=g["dip"][0],
                             lam=3e10, mu=3e10, U1=g["U1"][0], U2=g["U2"][0], U3=0.0, L=g["L"][0], W=g["W"][0])
        u = vadrel.displacement(vadrel.Faults([seg]), x.ravel(), y.ravel())
        out += u[:, component].reshape(out.shape) / 1000.0
    return out


@pytest.mark.parametrize("lat0", [-31.0, 0.0, 62.0])
@pytest.mark.parametrize("dist,tol_rel,tol_az", [(50, 5e-8, 5e-6), (300, 1e-6, 1e-4), (1000, 1e-5, 1e-3),
                                                  (2000, 4e-5, 4e-3)])
def test_local_frame_places_nodes_at_geodesic_distance_and_azimuth(lat0, dist, tol_rel, tol_az):
    az = np.arange(0.0, 360.0, 30.0)
    k = dist / 6371.0
    lat = lat0 + np.degrees(k * np.cos(np.radians(az)))
    lon = 10.0 + np.degrees(k * np.sin(np.radians(az)) / math.cos(math.radians(lat0)))
    ff = model([(0, 0, 1, 0, 10, 90, 1, 1, 1, 0, 0)], lon=10.0, lat=lat0)
    for a, b in zip(lon, lat):
        fr = LocalFrames(np.array([a]), np.array([b]), ff.subfaults)
        x, y, _ = fr.offsets(0, slice(0, 1), slice(0, 1))
        d, azimuth = vincenty(lat0, 10.0, b, a)
        assert abs(math.hypot(x[0, 0], y[0, 0]) - d) <= tol_rel * d
        assert abs((math.degrees(math.atan2(x[0, 0], y[0, 0])) - azimuth + 180) % 360 - 180) <= tol_az


def test_local_frame_uplift_equals_exact_placement_and_utm_is_near():
    lon, lat = np.linspace(-73.0, -71.0, 21), np.linspace(-32.0, -30.0, 19)
    ff = model(TWO)
    exact = exact_uplift(ff, lon, lat)
    peak = np.abs(exact).max()
    local = tsunami.dtopo(ff, lon, lat, levels=1).dz[0]
    assert np.abs(local - exact).max() <= 2e-5 * peak
    # One zone carries its scale error (here about 7e-4, 3 degrees off the central meridian).
    utm = tsunami.dtopo(ff, lon, lat, frame="utm").dz[0]
    assert 1e-5 * peak < np.abs(utm - exact).max() <= 2e-2 * peak


def test_utm_frame_equals_the_program_g_card(binary, tmp_path):
    """Two subfaults striking north on zone 31's central meridian (no
    convergence): their segments written by hand, the G card's disp.ini."""
    zone, lon0, lat0 = 31, 3.0, 44.5
    rows = [(0, 0, 3.0, 0.0, 30.0, 90.0, 2.0, 20.0, 10.0, 0, 0), (0, 0.2, 5.0, 0.0, 30.0, 45.0, 1.0, 20.0, 10.0, 0, 0)]
    ff = model(rows, lon=lon0, lat=lat0)
    lines = []
    for dx, dy, depth, strike, dip, rake, slip, L, W, _, _ in rows:
        e, n = vadrel.utm(lon0 + dx, lat0 + dy, zone)
        c = math.cos(math.radians(dip))
        X, Y = e / 1000 + W * c, n / 1000 - L / 2  # deep edge east of the top edge, from its south end
        U1, U2 = 1000 * slip * math.cos(math.radians(rake)), 1000 * slip * math.sin(math.radians(rake))
        lines.append(f" {X!r} {Y!r} 0.0 0 {depth + W * math.sin(math.radians(dip))!r} {dip} 3e10 3e10 "
                     f"{U1!r} {U2!r} 0.0 {L} {W} s")
    (tmp_path / "faults.txt").write_text("\n".join(lines) + "\n")
    (tmp_path / "points.txt").write_text(f"Z {zone} {lon0} {lat0}\nV 0 0 1 1\nG 2.5 44.2 0.05 0.04 21 19\n")
    r = subprocess.run([str(binary), "points.txt", "faults.txt", "out.txt", "ascii"], cwd=tmp_path,
                       capture_output=True, text=True)
    assert r.returncode == 0
    ini = vadrel.read_ini(tmp_path / "disp.ini", (19, 21))
    d = tsunami.dtopo(ff, 2.5 + 0.05 * np.arange(21), 44.2 + 0.04 * np.arange(19), frame="utm", zone=zone, levels=1)
    np.testing.assert_allclose(d.dz[0], ini, rtol=0, atol=1e-12 * np.abs(ini).max())


@pytest.mark.parametrize("frame", ["local", "utm"])
def test_levels_agree_with_the_full_sum(frame):
    lon, lat = np.arange(-75.0, -69.0, 1 / 30), np.arange(-34.0, -28.0, 1 / 30)
    ff = model([(0.1 * i, 0.15 * j, 2 + 6 * j, 10, 18, 90, 1 + i % 3, 18, 15, 0, 0) for i in range(6) for j in range(4)])
    full = tsunami.dtopo(ff, lon, lat, frame=frame, levels=1).dz
    fast = tsunami.dtopo(ff, lon, lat, frame=frame).dz
    assert np.abs(fast - full).max() <= 3e-4 * np.abs(full).max()


def test_kinematics_linearity_and_superposition():
    lon, lat = np.linspace(-73, -71, 15), np.linspace(-32, -30, 13)
    ff2, ff1 = model(TWO), model(ONE)
    static = tsunami.dtopo(ff2, lon, lat).dz[0]
    t = np.array([-1.0, 5.0, 10.0, 25.0, 30.0, 100.0])
    kin = tsunami.dtopo(ff2, lon, lat, times=t).dz
    one = tsunami.dtopo(ff1, lon, lat).dz[0]
    second = static - one
    assert np.array_equal(kin[0], np.zeros_like(static))          # before the rupture starts
    np.testing.assert_allclose(kin[1], 0.5 * one, atol=1e-12)       # half the rise: (1 - cos(pi/2))/2
    np.testing.assert_allclose(kin[3], one + 0.5 * second, atol=1e-12)
    np.testing.assert_allclose(kin[-1], static, atol=1e-12)         # the last frame is the static source
    doubled = model(TWO)
    doubled.subfaults["slip"] *= 2
    np.testing.assert_allclose(tsunami.dtopo(doubled, lon, lat).dz[0], 2 * static, atol=1e-12)


def test_horizontal_term_over_an_analytic_slope():
    lon, lat = np.linspace(-73, -71, 17), np.linspace(-32, -30, 15)
    ff = model(ONE)
    slope_deg = 3000.0  # depth grows by 3 km per degree of longitude east of -72.5; land west of it
    bathy = (np.linspace(-74, -70, 41), np.linspace(-33, -29, 41),
             -np.broadcast_to(slope_deg * (np.linspace(-74, -70, 41) + 72.5), (41, 41)))
    dz = tsunami.dtopo(ff, lon, lat, levels=1).dz[0]
    dh = tsunami.dtopo(ff, lon, lat, levels=1, bathymetry=bathy, horizontal=True).dz[0]
    ue = exact_uplift(ff, lon, lat, component=0)
    phi = np.radians(lat)[:, None]
    n = A / np.sqrt(1 - F * (2 - F) * np.sin(phi) ** 2)
    dhdx = slope_deg / (np.radians(1.0) * n * np.cos(phi))
    wet = (lon > -72.5)[None, :] & np.ones((len(lat), 1), bool)
    expected = np.where(wet, ue * dhdx, 0.0)
    inner = (lon > -72.4)[None, :] | (lon < -72.6)[None, :]  # one-sided differences at the coast
    np.testing.assert_allclose((dh - dz)[:, inner[0]], expected[:, inner[0]], atol=2e-4 * np.abs(dz).max())
    assert np.abs(expected).max() > 0.02 * np.abs(dz).max()  # the term matters here


def test_kajiura_filter_limits():
    n, m = 64, 48
    lon, lat = np.linspace(0.0, 1.0, n), np.linspace(0.0, 0.75, m)
    mode = 3
    x = np.cos(np.pi * mode * (np.arange(n) + 0.5) / n)[None, :] * np.ones((m, 1))
    dx = np.radians(lon[1] - lon[0]) * A / math.sqrt(1 - F * (2 - F) * math.sin(math.radians(lat[m // 2])) ** 2) \
        * math.cos(math.radians(lat[m // 2]))
    k = np.pi * mode / (n * dx)
    for h in (4000.0, 200.0):
        got = tsunami.kajiura_filter(x, np.full((m, n), h), lon, lat)
        np.testing.assert_allclose(got, x / math.cosh(k * h), atol=1e-9)
    uniform = np.full((m, n), 0.7)
    np.testing.assert_allclose(tsunami.kajiura_filter(uniform, np.full((m, n), 5000.0), lon, lat), uniform, atol=1e-12)
    bump = np.zeros((m, n))
    bump[m // 2, n // 2] = 1.0
    deep = tsunami.kajiura_filter(bump, np.full((m, n), 6000.0), lon, lat)
    assert deep.max() < 0.2 and abs(deep.sum() - 1.0) < 1e-6     # strongly smoothed, volume kept
    shallow = tsunami.kajiura_filter(bump, np.full((m, n), 1.0), lon, lat)
    np.testing.assert_allclose(shallow, bump, atol=1e-6)           # h -> 0: the identity
    land = tsunami.kajiura_filter(bump, np.full((m, n), -10.0), lon, lat)
    assert np.array_equal(land, bump)


def _parse(kind, text, nx, ny):
    """Each layout read by its own description; returns (nt, ny, nx) south row first."""
    lines = text.splitlines()
    if kind == "tt3":
        head = [l.split() for l in lines[:9]]
        assert [h[1] for h in head] == ["mx", "my", "mt", "xlower", "ylower", "t0", "dx", "dy", "dt"]
        mt = int(head[2][0])
        v = np.array(" ".join(lines[9:]).split(), float).reshape(mt, ny, nx)
        return v[:, ::-1]
    if kind == "tt1":
        v = np.array([l.split() for l in lines], float)
        return v[:, 3].reshape(-1, ny, nx)[:, ::-1], v
    if kind == "xyz":
        v = np.array([l.split() for l in lines], float)
        return v[:, 2].reshape(1, ny, nx)[:, ::-1], v
    if kind == "asc":
        head = dict(l.split() for l in lines[:6])
        assert int(head["ncols"]) == nx and int(head["nrows"]) == ny
        return np.array(" ".join(lines[6:]).split(), float).reshape(1, ny, nx)[:, ::-1]
    if kind == "surfer":
        assert lines[0] == "DSAA" and lines[1].split() == [str(nx), str(ny)]
        return np.array(" ".join(lines[5:]).split(), float).reshape(1, ny, nx)
    if kind == "fixed":
        assert all(len(l) == 13 * min(10, nx - 10 * (k % math.ceil(nx / 10))) for k, l in enumerate(lines))
        vals = [float(l[c:c + 13]) for l in lines for c in range(0, len(l), 13)]
        return np.array(vals).reshape(1, ny, nx)[:, ::-1]


@pytest.mark.parametrize("kind", ["tt3", "tt1", "xyz", "asc", "surfer", "fixed", "netcdf"])
def test_writers_read_back_independently(tmp_path, kind):
    lon, lat, t = -72 + 0.1 * np.arange(13), -31 + 0.1 * np.arange(7), np.array([0.0, 15.0])
    dz = np.sin(np.arange(2 * 7 * 13)).reshape(2, 7, 13) * 1.5
    d = tsunami.DTopo(lon, lat, t, dz)
    path = tmp_path / ("out" + tsunami.FORMATS[kind])
    path.write_text("old")
    d.write(path)
    assert [p.name for p in tmp_path.iterdir()] == [path.name]
    if kind == "netcdf":
        import netCDF4
        with netCDF4.Dataset(path) as ds:
            assert ds.Conventions.startswith("CF-1") and ds.variables["dz"].units == "m"
            assert ds.variables["dz"].dimensions == ("time", "lat", "lon")
            assert ds.variables["dz"].filters()["zlib"]
            assert ds.variables["lat"].units == "degrees_north" and ds.variables["lon"].units == "degrees_east"
            np.testing.assert_allclose(ds.variables["lat"][:], lat)
            np.testing.assert_allclose(ds.variables["time"][:], t)
            np.testing.assert_allclose(ds.variables["dz"][:], dz, rtol=1e-6, atol=1e-6)
        back = tsunami.read_dtopo(path)
        np.testing.assert_allclose(back.dz, dz, atol=1e-6)
        return
    got = _parse(kind, path.read_text(), 13, 7)
    if isinstance(got, tuple):
        got, table = got
        c = 1 if kind == "tt1" else 0
        assert np.allclose(table[:13, c], lon) and np.all(table[:13, c + 1] == lat[-1])
    want = dz if kind in ("tt3", "tt1") else dz[-1:]
    np.testing.assert_allclose(got, want, rtol=2e-5 if kind == "fixed" else 2e-6, atol=1e-9)
    if kind == "tt3":
        back = tsunami.read_dtopo(path)
        np.testing.assert_allclose(back.lon, lon) and np.testing.assert_allclose(back.times, t)


def test_bathymetry_readers_agree(tmp_path):
    x, y = np.linspace(-74, -70, 9), np.linspace(-33, -29, 5)
    elev = 100.0 - 500.0 * (x[None, :] + 74) + 20.0 * (y[:, None] + 33)  # linear: bilinear is exact
    rows = "\n".join(" ".join(repr(v) for v in r) for r in elev[::-1]) + "\n"
    (tmp_path / "b.tt3").write_text(f"9 mx\n5 my\n-74.0 xlower\n-33.0 ylower\n0.5 dx\n1.0 dy\n" + rows)
    (tmp_path / "b.asc").write_text("ncols 9\nnrows 5\nxllcorner -74.25\nyllcorner -33.5\ndx 0.5\ndy 1.0\n"
                                    "NODATA_value -9999\n" + rows)
    import netCDF4
    with netCDF4.Dataset(tmp_path / "b.nc", "w") as ds:
        ds.createDimension("x", 9)
        ds.createDimension("y", 5)
        ds.createVariable("x", "f8", ("x",))[:] = x
        ds.createVariable("y", "f8", ("y",))[:] = y[::-1]
        ds.createVariable("z", "f4", ("y", "x"))[:] = elev[::-1]
    lon, lat = np.linspace(-73.3, -70.2, 11), np.linspace(-32.9, -29.4, 6)
    want = -(100.0 - 500.0 * (lon[None, :] + 74) + 20.0 * (lat[:, None] + 33))
    for b in (tmp_path / "b.tt3", tmp_path / "b.asc", tmp_path / "b.nc", (x, y, elev)):
        np.testing.assert_allclose(bathymetry_on(b, lon, lat), want, rtol=1e-6)


@pytest.mark.parametrize("call,message", [
    (lambda p: tsunami.dtopo(model(ONE), [0, 1], [1, 0]), "lat must be strictly increasing"),
    (lambda p: tsunami.dtopo(model(ONE), [0, 1], [0, 1], frame="mercator"), "frame must be"),
    (lambda p: tsunami.dtopo(model(ONE), [0, 1], [0, 1], horizontal=True), "need the bathymetry"),
    (lambda p: tsunami.dtopo(model(ONE), [-73, -72], [-31, -30], kajiura=True,
                             bathymetry=([-72.5, -72], [-31, -30], np.zeros((2, 2)))), "does not cover"),
    (lambda p: tsunami.dtopo(model([(0, 0, math.nan) + ONE[0][3:]]), [0, 1], [0, 1]), "depth is not finite"),
    (lambda p: tsunami.read_bathymetry(p("b.asc", "ncols 2\nnrows 2\nxllcorner x\n")), "b.asc: line 3"),
    (lambda p: tsunami.read_bathymetry(p("b.tt3", "2 mx\n2 my\n0 xlower\n0 ylower\n1 dx\n1 2\n3 q\n")),
     "b.tt3: line 7: not a number"),
    (lambda p: tsunami.read_bathymetry(p("b.tt3", "2 mx\n2 my\n0 xlower\n0 ylower\n1 dx\n1 2\n3\n")),
     "b.tt3: line 7: 3 values, expected 4"),
    (lambda p: tsunami.read_dtopo(p("d.txt", "hello\n")), "d.txt: line 1: no ncols"),
    (lambda p: tsunami.DTopo(np.zeros(2), np.zeros(1), np.zeros(1), np.zeros((1, 1, 2))).write(p("o.zz", "")),
     "cannot tell the format"),
    (lambda p: tsunami.DTopo(np.arange(2.0), np.zeros(1), np.zeros(1), np.full((1, 1, 2), np.nan)).write(
        p("o.tt3", "")), "not finite"),
])
def test_errors_name_the_file_line_and_reason(tmp_path, call, message):
    def put(name, text):
        (tmp_path / name).write_text(text)
        return tmp_path / name
    with pytest.raises(ValueError, match=message):
        call(put)


def test_write_errors_name_the_target(tmp_path):
    d = tsunami.DTopo(np.arange(2.0), np.arange(2.0), np.zeros(1), np.zeros((1, 2, 2)))
    with pytest.raises(OSError, match="nowhere/d.tt3: cannot write"):
        d.write(tmp_path / "nowhere" / "d.tt3")


def test_command_line_end_to_end(tmp_path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    out = tmp_path / "illapel.tt3"
    r = subprocess.run([sys.executable, "-m", "vadrel.tsunami", str(DATA / "illapel2015_subfaults.param"),
                        "--region", "-75", "-70", "-34", "-28", "--spacing", "6", "--times", "3",
                        "--format", "tt3", "-o", str(out)], capture_output=True, text=True, env=env)
    assert r.returncode == 0, r.stderr
    assert "subfaults: 207" in r.stdout and "grid: 51 x 61 nodes" in r.stdout and "elapsed:" in r.stdout
    assert "100% (207/207 subfaults)" in r.stderr
    d = _parse("tt3", out.read_text(), 51, 61)
    assert d.shape == (3, 61, 51) and np.all(d[0] == 0.0)
    assert 1.0 < d[-1].max() < 5.0 and d[-1].min() < 0  # metres of uplift offshore, subsidence inland
    j, i = np.unravel_index(d[-1].argmax(), d[-1].shape)
    assert -73.0 < -75 + 0.1 * i < -71.0 and -33 < -34 + 0.1 * j < -29.5
    tsunami.plot_dtopo(tsunami.read_dtopo(out), tmp_path / "d.png", source=DATA / "illapel2015_subfaults.param")
    assert (tmp_path / "d.png").read_bytes()[:4] == b"\x89PNG"
    bad = subprocess.run([sys.executable, "-m", "vadrel.tsunami", str(tmp_path / "none.param"), "--region", "0", "1",
                          "0", "1", "--spacing", "6", "-o", str(tmp_path / "x.tt3")], capture_output=True, text=True,
                         env=env)
    assert bad.returncode != 0 and bad.stderr.count("\n") == 1 and bad.stderr.startswith("vadrel.tsunami: error:")
