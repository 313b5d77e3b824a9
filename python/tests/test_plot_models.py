"""Pictures of finite-fault models: recognised by content, map and plane view, frames of a kinematic
model, the antimeridian.  Geometry expected from geographiclib and the models' construction."""
import math

import matplotlib

matplotlib.use("Agg")
import matplotlib.image as mpimg  # noqa: E402
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pytest  # noqa: E402
from geographiclib.geodesic import Geodesic  # noqa: E402
from matplotlib.collections import PolyCollection  # noqa: E402
from matplotlib.quiver import Quiver, QuiverKey  # noqa: E402

from vadrel import sources  # noqa: E402
from vadrel.cli import plot as cli  # noqa: E402
from vadrel.plot import finite_fault as pf, inputs  # noqa: E402
from vadrel.plot.plane import exaggeration, plane_polygons  # noqa: E402

# A rupture-model database file of 2 x 2 subfaults (top centres), as such files are written.
FSP = """\
% ----------------------------------  FINITE-SOURCE RUPTURE MODEL  --------------------------------
% Event : Synthetic thrust  01/01/2020  [test]
% Loc  : LAT  = 40.0900 		LON = 150.0500		DEP = 4.50
% Size : LEN  = 20.0 km 	WID =  20.0 km		Mw = 6.8	Mo = 2.4e+19 Nm
% Mech : STRK = 0.0		DIP = 30.0		RAKE = 90.0	Htop = 2.0 km
% Invs :  Nx  =  2 	Nz  = 2 	Fmin = 0.01 Hz 	Fmax = 1.00 Hz
% Invs :  Dx  =  10.00 km 	Dz  = 10.00 km
% Invs :  Ntw =  1	Nsg =  1 			(# of time-windows,# of fault segments)
%   Coordinates are given for top-center of each subfault or segment: |'|
%    LAT       LON       X==EW       Y==NS       Z       SLIP       RAKE       TRUP       RISE
% --------------------------------------------------------------------------------------------------
   40.0450  150.0000    0.0000    5.0000    2.0000    1.0000   90.0000    1.0000    1.5000
   40.1351  150.0000    0.0000   15.0000    2.0000    2.0000   90.0000    3.0000    1.5000
   40.0450  150.1015    8.6603    5.0000    7.0000    1.5000   90.0000    3.0000    1.5000
   40.1350  150.1016    8.6603   15.0000    7.0000    3.0000   90.0000    5.0000    1.5000
"""

# The same fault as a subfault table with a segment header and boundary (slip cm, moment dyne cm).
PARAM = """\
 #Total number of fault_segments=           1
#Fault_segment =   1 nx(Along-strike)=  2 Dx = 10.00km ny(downdip)=   2 Dy = 10.00km
#Boundary of Fault_segment    1. EQ in cell ( 1, 1). Lon:  150.0500   Lat:  40.0900
 #Lon.  Lat.  Depth
  150.0000000  40.0000000  2.0000000
  150.2028305  39.9998225  12.0000000
  150.2033658  40.1799426  12.0000000
  150.0000000  40.1801212  2.0000000
  150.0000000  40.0000000  2.0000000
 #Lat. Lon. depth slip rake strike dip t_rup t_ris t_fal mo
     40.045031    150.000000    2.000000  100.000000   90.000000    0.000000   30.000000    1.000000    1.500000    1.500000  3.000000E+25
     40.135091    150.000000    2.000000  200.000000   90.000000    0.000000   30.000000    3.000000    1.500000    1.500000  6.000000E+25
     40.044986    150.101482    7.000000  150.000000   90.000000    0.000000   30.000000    3.000000    1.500000    1.500000  4.500000E+25
     40.135047    150.101616    7.000000  300.000000   90.000000    0.000000   30.000000    5.000000    1.500000    1.500000  9.000000E+25
"""

GEOD = Geodesic.WGS84


def move(lon, lat, azimuth, km):
    r = GEOD.Direct(lat, lon, azimuth, km * 1000.0)
    return r["lon2"], r["lat2"], r["azi2"]


def grid_csv(lon0, lat0, strike, dip, nx, nz, L=10.0, W=5.0, top=1.0, rake=90.0, times=False, wrap360=False):
    """A subfault CSV (top centres) of one plane: nx along strike from the
    top corner (lon0, lat0), nz down dip, every subfault's strike the local
    azimuth of the geodesic along the top edge; slips 1, 2, ... m; with
    ``times`` a rupture spreading from the first subfault at 2 km/s, rise 2 s."""
    rows = ["Longitude,Latitude,Depth(km),Length,Width,Strike,Dip,Rake,Slip"
            + (",Rupture_time,Rise_time" if times else "")]
    cd, sd = math.cos(math.radians(dip)), math.sin(math.radians(dip))
    k = 0
    for j in range(nz):
        for i in range(nx):
            lon, lat, az = move(lon0, lat0, strike, (i + 0.5) * L)
            if j:
                lon, lat, _ = move(lon, lat, az + 90.0, j * W * cd)
            lon = lon % 360.0 if wrap360 else (lon + 180.0) % 360.0 - 180.0
            k += 1
            row = f"{lon:.8f},{lat:.8f},{top + j * W * sd:.6f},{L},{W},{az % 360.0:.6f},{dip},{rake},{float(k)}"
            if times:
                row += f",{math.hypot((i + 0.5) * L, j * W) / 2.0:.4f},2.0"
            rows.append(row)
    return "\n".join(rows) + "\n"


def write(tmp_path, name, text):
    p = tmp_path / name
    p.write_text(text)
    return p


def meshes(ax):
    """The subfault meshes drawn on ``ax`` (arrows are PolyCollections too)."""
    return [c for c in ax.collections if type(c) is PolyCollection]


def planes(ax):
    return [a for a in ax.figure.axes if a.get_label() == "fault plane"]


@pytest.fixture(autouse=True)
def no_coast(monkeypatch):
    """No coastlines whatever is installed: the pictures here are of models."""
    monkeypatch.setenv("PATH", "/nonexistent")
    yield
    plt.close("all")


@pytest.mark.parametrize("name, text", [("model.txt", FSP), ("model.dat", PARAM), ("fault.model", FSP), ("model", FSP),
                                        ("model.grd", grid_csv(150.0, 40.0, 0.0, 30.0, 2, 2))])
def test_models_recognised_by_content_and_drawn_by_the_command_line(tmp_path, capsys, name, text):
    path = write(tmp_path, name, text)
    assert inputs.kind_of(path) == "model"
    assert cli.main([str(path)] + (["--reference", "top center"] if name.endswith(".grd") else [])) == 0
    out = tmp_path / (name.split(".")[0] + ".png")
    assert capsys.readouterr().out.strip() == str(out)
    image = mpimg.imread(out)
    assert image.shape[2] in (3, 4) and image.shape[1] > 1.5 * image.shape[0]   # the plane view beside the map


# The head of a print file of vector records, as the program writes it.
PRINT = """\
* faults file =  thrust_faults.txt
* points file =  thrust_points.txt
* print  file =  thrust.out
*     X(km)      Y(km)  uEast(mm) uNorth(mm)    uUp(mm)  normu(mm) vadrel(mm)
   -50.0000   -50.0000       24.6       -6.7        0.3       25.5      -13.1
   -45.0000   -50.0000       19.9      -11.7       -0.0       23.1       -9.8
"""


@pytest.mark.parametrize("data, kind, complaint", [
    (PRINT.encode(), "print", None),
    (b"\xef\xbb\xbf" + FSP.encode(), "model", None),                  # a byte-order mark first
    (b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR\xff\xfe", None, r"line 1: not a text file"),
    (b"\n\n", None, r"line 1: the file is empty"),
    (b"# a comment\n1 2 3\n", None, r"line 1: not a file to draw \('# a comment'\)"),
])
def test_other_inputs_recognised_or_refused(tmp_path, data, kind, complaint):
    path = tmp_path / "input.out"
    path.write_bytes(data)
    if kind is not None:
        assert inputs.kind_of(path) == kind
    else:
        with pytest.raises(ValueError, match="input.out: " + complaint + ".*expected a finite-fault model"):
            inputs.kind_of(path)


def test_the_two_layouts_of_one_fault_draw_the_same_subfaults(tmp_path):
    """The database file and the subfault table describe one fault: their
    subfaults land on the same places of the map and of the plane view."""
    (pa, _), (pb, _) = (plane_polygons(sources.read(write(tmp_path, name, text)).subfaults)
                        for name, text in (("a.txt", FSP), ("b.dat", PARAM)))
    np.testing.assert_allclose(pa, pb, atol=0.02)
    np.testing.assert_allclose(pa[:, :, 0].min(), 0.0, atol=1e-9)
    np.testing.assert_allclose(np.sort(pa[:, :, 0].max(axis=1)), [10, 10, 20, 20], atol=0.02)


@pytest.mark.parametrize("strike, dip, lat", [(30.0, 60.0, 40.0), (200.0, 15.0, -35.0), (95.0, 90.0, 60.0)])
def test_plane_view_places_each_subfault(tmp_path, strike, dip, lat):
    """Subfaults laid out along a geodesic land at 10 km steps along strike
    from 0, their depths from the top down by W sin(dip)."""
    ff = sources.read(write(tmp_path, "m.csv", grid_csv(10.0, lat, strike, dip, 3, 2)), reference="top center")
    poly, frames = plane_polygons(ff.subfaults)
    assert len(frames) == 1 and frames[0].strike == pytest.approx(strike, abs=0.5)
    i, j, sd = np.arange(6) % 3, np.arange(6) // 3, math.sin(math.radians(dip))
    np.testing.assert_allclose([poly[..., 0].min(1), poly[..., 0].max(1)], [10.0 * i, 10.0 * (i + 1)], atol=0.01)
    np.testing.assert_allclose([poly[..., 1].min(1), poly[..., 1].max(1)], [1 + j * 5 * sd, 1 + (j + 1) * 5 * sd],
                               atol=1e-6)


@pytest.mark.parametrize("depth_span, along_span, expected", [
    (15.0, 40.0, 1), (10.0, 40.0, 1), (43.4, 344.4, 2), (5.0, 400.0, 20), (0.0, 10.0, 1)])
def test_vertical_exaggeration(depth_span, along_span, expected):
    poly = np.array([[[0.0, 0.0], [along_span, depth_span]]])
    assert exaggeration(poly) == expected


@pytest.mark.parametrize("strike, dip, rake, east, north", [
    (0.0, 30.0, 90.0, -math.cos(math.radians(30.0)), 0.0),     # thrust dipping east: hanging wall moves west
    (0.0, 90.0, 0.0, 0.0, 1.0),                                 # left-lateral: along the strike
    (90.0, 45.0, 180.0, -1.0, 0.0),                             # right-lateral: against it
    (90.0, 45.0, -90.0, 0.0, -math.sqrt(0.5)),                  # normal, dipping south: down dip, south
])
def test_map_arrows_are_the_hanging_walls_horizontal_slip(strike, dip, rake, east, north):
    sub = np.zeros(1, dtype=sources.SUBFAULT_DTYPE)
    sub["strike"], sub["dip"], sub["rake"], sub["slip"] = strike, dip, rake, 1.0
    e, n = pf.horizontal_slip(sub)
    np.testing.assert_allclose([e[0], n[0]], [east, north], atol=1e-12)


def test_map_and_plane_view_artists(tmp_path):
    ff = sources.read(write(tmp_path, "model.txt", FSP))
    ax = pf.plot_finite_fault(ff, tmp_path / "m.png")
    [p] = planes(ax)
    [mesh] = meshes(ax)
    assert ax.get_label() == "map" and len(mesh.get_paths()) == 4
    assert np.all(mesh.get_linewidths() <= 0.3) and np.all(mesh.get_edgecolor()[:, 3] <= 0.5)  # thin, light
    assert sorted(mesh.get_array()) == [1.0, 1.5, 2.0, 3.0]
    assert (ax.get_xlabel(), ax.get_ylabel()) == ("longitude (degrees)", "latitude (degrees)")
    assert "slip (m)" in [a.get_ylabel() for a in ax.figure.axes]
    # Hypocentre: one star on the map and one in the plane view, at the header's place and depth.
    [(x, y)], [(_, depth)] = ([line.get_data() for line in a.lines if line.get_marker() == "*"] for a in (ax, p))
    assert (float(x[0]), float(y[0]), float(depth[0])) == (150.05, 40.09, 4.5)
    assert all(any(isinstance(c, QuiverKey) for c in a.artists) for a in (ax, p))    # keys of the arrows on both
    # The plane view: depth down, along strike from 0 to the 20 km of the fault.
    assert p.yaxis_inverted() and p.get_xlim()[0] < 0.0 < 20.0 < p.get_xlim()[1] < 21.0
    assert p.get_ylim()[1] == 0.0 and p.get_ylim()[0] > 12.0       # the surface shown, the bottom at 12 km
    assert "along strike" in p.get_xlabel() and p.get_ylabel().startswith("depth (km)")
    [q] = [c for c in p.collections if isinstance(c, Quiver)]
    # Pure thrust: arrows straight up dip (up the page on the inverted depth axis).
    np.testing.assert_allclose(q.U, 0.0, atol=1e-12)
    assert np.all(q.V > 0)
    [q] = [c for c in ax.collections if isinstance(c, Quiver)]
    assert np.all(q.U < 0) and np.allclose(q.V, 0.0, atol=1e-3 * np.abs(q.U).max())  # west, towards the trench


def test_two_segments_have_a_panel_each(tmp_path):
    a = grid_csv(150.0, 40.0, 0.0, 30.0, 3, 1).splitlines()
    b = grid_csv(150.2, 40.0, 0.0, 60.0, 2, 2, top=5.0).splitlines()
    text = "\n".join([a[0] + ",Segment"] + [r + ",0" for r in a[1:]] + [r + ",1" for r in b[1:]]) + "\n"
    ax = pf.plot_finite_fault(write(tmp_path, "two.csv", text), reference="top center")
    a, b = planes(ax)
    assert [len(meshes(p)[0].get_paths()) for p in (a, b)] == [3, 4]
    assert a.get_ylim() == b.get_ylim()     # one depth scale for all
    assert a.get_title(loc="left") == "segment 1: strike 0\N{DEGREE SIGN}, dip 30\N{DEGREE SIGN}"


def test_slip_at_a_time(tmp_path):
    """Before a subfault's rupture time nothing, after it and its rise time
    the whole slip, between them some of it, never less than before."""
    ff = sources.read(write(tmp_path, "k.csv", grid_csv(150.0, 40.0, 0.0, 30.0, 3, 2, times=True)),
                      reference="top center")
    sub = ff.subfaults
    t = np.linspace(0.0, 20.0, 81)
    slips = np.array([pf.slip_at(ff, s) for s in t])
    assert np.all(np.diff(slips, axis=0) >= -1e-12)
    before = t[:, None] <= sub["rupture_time"][None, :]
    after = t[:, None] >= sub["rupture_time"][None, :] + sub["rise_time"][None, :]
    np.testing.assert_allclose(slips[before], 0.0, atol=1e-12)
    full, between = np.broadcast_to(sub["slip"], slips.shape), ~before & ~after
    np.testing.assert_allclose(slips[after], full[after])
    assert between.any() and np.all((slips[between] > 0) & (slips[between] < full[between]))


def test_a_time_frame_differs_from_the_final_slip(tmp_path):
    path = write(tmp_path, "k.csv", grid_csv(150.0, 40.0, 0.0, 30.0, 3, 2, times=True))
    final, early, late = (pf.plot_finite_fault(path, reference="top center", time=t) for t in (None, 5.0, 100.0))
    (f, fc), (e, ec), (l, lc) = ((np.asarray(m.get_array()), m.get_clim()) for m in (meshes(a)[0] for a in
                                                                                      (final, early, late)))
    assert np.all(e <= f) and e.sum() < f.sum() and (e == 0).any()
    np.testing.assert_array_equal(l, f)
    assert fc == ec == lc == (0.0, 6.0)             # one colour scale for every frame
    assert "slip at t = 5 s" in early.figure._suptitle.get_text()
    assert any(a.get_ylabel() == "slip at 5 s (m)" for a in early.figure.axes)


def test_a_time_needs_a_kinematic_model(tmp_path):
    with pytest.raises(ValueError, match="no rupture times"):
        pf.plot_finite_fault(write(tmp_path, "s.csv", grid_csv(150.0, 40.0, 0.0, 30.0, 2, 1)), reference="top center",
                             time=3.0)


@pytest.mark.parametrize("wrap360", [False, True])
def test_a_model_across_the_antimeridian_is_drawn_whole(tmp_path, wrap360):
    """Subfaults on both sides of 180 degrees, written in either longitude
    convention: one contiguous map a few degrees wide around 180."""
    path = write(tmp_path, "am.csv", grid_csv(179.9, -20.0, 90.0, 30.0, 4, 2, L=20.0, W=10.0, wrap360=wrap360))
    ax = pf.plot_finite_fault(path, reference="top center")
    x0, x1 = ax.get_xlim()
    assert 0.5 < x1 - x0 < 3.0
    mesh = meshes(ax)[0]
    lons = np.concatenate([p.vertices[:, 0] for p in mesh.get_paths()])
    assert x0 < lons.min() and lons.max() < x1
    # The map's middle is the model's (its top edge runs 80 km east of 179.9), in the file's own writing.
    middle = move(179.9, -20.0, 90.0, 40.0)[0] % 360.0
    assert (x0 + x1) / 2 == pytest.approx(middle if wrap360 else middle - 360.0, abs=0.05)


def test_reference_given_moves_the_subfaults(tmp_path):
    """The same rows taken as centroids lie half a width up dip of the same
    rows taken as top centres: W/2 cos(dip) west on the map, W/2 sin(dip)
    shallower in the plane view."""
    path = write(tmp_path, "r.csv", grid_csv(150.0, 40.0, 0.0, 30.0, 2, 1, W=10.0, top=8.0))
    top = sources.read(path, reference="top center")
    mid = sources.read(path, reference="centroid")
    (pt, _), (pm, _) = plane_polygons(top.subfaults), plane_polygons(mid.subfaults)
    np.testing.assert_allclose(pm[:, :, 1], pt[:, :, 1] - 2.5, atol=1e-9)
    shift = GEOD.Inverse(top.subfaults["lat"][0], top.subfaults["lon"][0], mid.subfaults["lat"][0],
                         mid.subfaults["lon"][0])
    assert shift["s12"] / 1000.0 == pytest.approx(5.0 * math.cos(math.radians(30.0)), abs=1e-6)
    assert shift["azi1"] == pytest.approx(-90.0, abs=0.01)


def test_command_line_passes_the_models_options(tmp_path, monkeypatch):
    seen = {}
    monkeypatch.setattr(cli, "plot_finite_fault", lambda path, out, **kw: seen.update(kw, path=path, out=out))
    path = write(tmp_path, "r.dat", grid_csv(150.0, 40.0, 0.0, 30.0, 2, 1, times=True))
    assert cli.main([path.as_posix(), "--reference", "centroid", "--time", "2.5", "--no-coast", "--format", "csv",
                     "--no-plane"]) == 0
    assert seen["reference"] == "centroid" and seen["time"] == 2.5 and seen["coast"] is False
    assert seen["format"] == "csv" and seen["plane"] is False and seen["out"].endswith("r.png")


@pytest.mark.parametrize("text, args, status, complaint", [
    (FSP, ["--frame", "1"], 2, "--frame does not apply"),
    (FSP, ["--model", "x.fsp"], 2, "--model does not apply"),
    (FSP, ["--wrap", "28.3"], 2, "--wrap does not apply"),
    (FSP, ["--time", "nan"], 2, "invalid finite number value: 'nan'"),
    (FSP, ["--dpi", "0"], 2, "--dpi must be"),
    ("Some notes about a fault\nno numbers\n", [], 1, "m.fsp: line 1: not a file to draw"),   # named, not a model
    (grid_csv(150.0, 40.0, 0.0, 30.0, 2, 1), ["--reference", "top center", "--time", "3"], 1, "no rupture times"),
])
def test_command_line_refusals_are_one_line_and_no_picture(tmp_path, capsys, text, args, status, complaint):
    assert cli.main([str(write(tmp_path, "m.fsp", text))] + args) == status
    err = capsys.readouterr().err
    assert complaint in err and len(err.strip().splitlines()) == 1
    assert not (tmp_path / "m.png").exists()


def test_the_map_alone_on_given_axes(tmp_path):
    """Given axes get the map and its colour bar, nothing else: the older
    way of calling, kept for its callers."""
    fig, given = plt.subplots()
    ax = pf.plot_finite_fault(sources.read(write(tmp_path, "m.txt", FSP)), tmp_path / "alone.png", ax=given)
    assert ax is given and len(meshes(ax)) == 1
    assert len(fig.axes) == 2 and fig.axes[1].get_ylabel() == "slip (m)"
    assert ax.get_title().startswith("m.txt: Mw ")
    assert (tmp_path / "alone.png").is_file()
