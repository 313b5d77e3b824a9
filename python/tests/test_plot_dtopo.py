"""Pictures of tsunami sources: every layout recognised by content whatever its name, tt1 read back,
frames by index or time, the map's artists, the model outlined, grids across the antimeridian."""
import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pytest  # noqa: E402
from matplotlib.collections import PolyCollection  # noqa: E402

from vadrel.cli import plot as cli  # noqa: E402
from vadrel.plot import dtopo as pd, inputs  # noqa: E402
from vadrel.tsunami import DTopo  # noqa: E402

# One source, two frames (0 and 30 s) on 3 x 2 nodes, in each layout as it is written.
LON = [150.0, 150.1, 150.2]
LAT = [40.0, 40.1]
LAST = np.array([[0.3, 1.2, -0.4],      # south row
                 [0.1, 0.5, -0.2]])     # north row

TT3 = """\
3                    mx
2                    my
2                    mt
150.0                xlower
40.0                 ylower
0.0                  t0
0.1                  dx
0.1                  dy
30.0                 dt
0.000000e+00 0.000000e+00 0.000000e+00
0.000000e+00 0.000000e+00 0.000000e+00
1.000000e-01 5.000000e-01 -2.000000e-01
3.000000e-01 1.200000e+00 -4.000000e-01
"""

TT1 = """\
0 150 40.1 0.000000e+00
0 150.1 40.1 0.000000e+00
0 150.2 40.1 0.000000e+00
0 150 40 0.000000e+00
0 150.1 40 0.000000e+00
0 150.2 40 0.000000e+00
30 150 40.1 1.000000e-01
30 150.1 40.1 5.000000e-01
30 150.2 40.1 -2.000000e-01
30 150 40 3.000000e-01
30 150.1 40 1.200000e+00
30 150.2 40 -4.000000e-01
"""

ASC = """\
ncols 3
nrows 2
xllcenter 150.0
yllcenter 40.0
cellsize 0.1
nodata_value -9999
1.000000e-01 5.000000e-01 -2.000000e-01
3.000000e-01 1.200000e+00 -4.000000e-01
"""

# Two subfaults under the grid, top centres.
MODEL = """\
Longitude,Latitude,Depth(km),Length,Width,Strike,Dip,Rake,Slip
150.05,40.02,2.0,8.0,6.0,0.0,20.0,90.0,2.0
150.05,40.09,2.0,8.0,6.0,0.0,20.0,90.0,1.0
"""


def write(tmp_path, name, text):
    p = tmp_path / name
    p.write_text(text)
    return p


def netcdf(tmp_path, name="source.bin"):
    dz = np.stack([np.zeros_like(LAST), LAST])
    DTopo(np.array(LON), np.array(LAT), np.array([0.0, 30.0]), dz).write(tmp_path / name, "netcdf")
    return tmp_path / name


@pytest.fixture(autouse=True)
def no_coast(monkeypatch):
    monkeypatch.setenv("PATH", "/nonexistent")
    yield
    plt.close("all")


@pytest.mark.parametrize("name, text, frames", [
    ("source.grd", TT3, 2), ("source.txt", TT1, 2), ("source.tt3", TT1, 2), ("source.dat", ASC, 1),
    ("source.bin", None, 2)])
def test_every_layout_recognised_and_read_alike(tmp_path, name, text, frames):
    path = netcdf(tmp_path, name) if text is None else write(tmp_path, name, text)
    assert inputs.kind_of(path) == "dtopo"
    d = inputs.read_tsunami_source(path)
    assert len(d.times) == frames and d.dz.shape == (frames, 2, 3)
    np.testing.assert_allclose(np.r_[d.lon, d.lat], LON + LAT, atol=1e-12)      # 3 longitudes then 2 latitudes
    np.testing.assert_allclose(d.dz[-1], LAST, atol=1e-7)
    if frames == 2:
        np.testing.assert_allclose(d.times, [0.0, 30.0])
        np.testing.assert_array_equal(d.dz[0], 0.0)


def test_tt1_as_the_writer_writes_it(tmp_path):
    """Nodes off a regular step and frames in any order come back where the
    writer put them."""
    rng = np.random.default_rng(5)
    lon, lat, t = np.array([179.5, 179.75, 180.0, 180.5]), np.array([-20.0, -19.9, -19.7]), np.array([0, 10, 25.])
    dz = rng.normal(size=(3, 3, 4))
    DTopo(lon, lat, t, dz).write(tmp_path / "s.tt1", "tt1")
    back = inputs.read_tt1(tmp_path / "s.tt1")
    np.testing.assert_allclose(back.dz, dz, rtol=1e-6)
    np.testing.assert_array_equal(back.lon, lon)
    lines = (tmp_path / "s.tt1").read_text().splitlines()
    write(tmp_path, "r.tt1", "\n".join(lines[::-1]) + "\n")
    np.testing.assert_allclose(inputs.read_tt1(tmp_path / "r.tt1").dz, dz, rtol=1e-6)


@pytest.mark.parametrize("change, complaint", [
    (lambda l: l[:4] + ["30 150.1 40"] + l[5:], r"line 5: expected four numbers \(t lon lat dz\), found 3"),
    (lambda l: l[:2] + ["0 150.2 40.1 x"] + l[3:], r"line 3: 'x' is not a number"),
    (lambda l: l[:2] + ["0 150.2 40.1 inf"] + l[3:], r"line 3: 'inf' is not a finite number"),
    (lambda l: l[:-1], r"line 11: 11 lines do not fill a grid of 2 times, 2 latitudes and 3 longitudes"),
    (lambda l: l[:-1] + [l[0]], r"line 12: node \(150, 40.1\) at t = 0 given twice"),
    (lambda l: [], r"line 1: the file is empty"),
])
def test_tt1_errors_name_the_line(tmp_path, change, complaint):
    path = write(tmp_path, "bad.tt1", "\n".join(change(TT1.splitlines())) + "\n")
    with pytest.raises(ValueError, match="bad.tt1: " + complaint):
        inputs.read_tt1(path)


@pytest.mark.parametrize("frame, time, expected", [
    (None, None, 3), (0, None, 0), (-1, None, 3), (-4, None, 0), (None, 0.0, 0), (None, 14.0, 1),
    (None, 16.0, 2), (None, 50.0, 3), (None, 49.0, 3), (None, -4.9, 0),
    (4, None, r"no frame 4: the source has 4 frames \(0 to 3\)"), (-5, None, "no frame -5"),
    (None, 60.0, r"no frame at t = 60 s: the source has 4 frames from 0 to 45 s"),
    (None, -5.1, "no frame at t = -5.1 s"), (None, float("nan"), "no frame at t = nan"),
    (1, 10.0, "a frame or a time, not both")])
def test_frame_chosen_by_index_or_time_or_refused(frame, time, expected):
    d = DTopo(np.array(LON), np.array(LAT), np.array([0.0, 10.0, 20.0, 45.0]), np.zeros((4, 2, 3)))
    if isinstance(expected, str):
        with pytest.raises(ValueError, match=expected):
            pd.frame_index(d, frame, time)
    else:
        assert pd.frame_index(d, frame, time) == expected


def test_map_of_a_frame_with_the_model_outlined(tmp_path):
    model = write(tmp_path, "m.csv", MODEL)
    ax = pd.plot_dtopo(write(tmp_path, "s.grd", TT3), tmp_path / "s.png", source=model, reference="top center")
    assert (tmp_path / "s.png").stat().st_size > 5000
    [image] = ax.images
    np.testing.assert_allclose(image.get_array(), LAST, atol=1e-7)
    assert image.get_clim() == pytest.approx((-1.2, 1.2))           # symmetric about 0
    assert image.cmap.name == "RdBu_r"
    assert any(a.get_ylabel() == "dz (m), up positive" for a in ax.figure.axes)
    # Nodes are the middles of the cells drawn: half a step beyond the outer nodes.
    assert ax.get_xlim() == pytest.approx((149.95, 150.25)) and ax.get_ylim() == pytest.approx((39.95, 40.15))
    [outlines] = [c for c in ax.collections if type(c) is PolyCollection]
    assert len(outlines.get_paths()) == 2
    assert np.all(outlines.get_linewidths() <= 0.3) and outlines.get_facecolor().size == 0
    assert ax.get_title().startswith("dz at t = 30 s (frame 1 of 0 to 1): -0.4 to 1.2 m")


def test_first_frame_by_time_on_the_command_line(tmp_path, monkeypatch):
    seen, real = {}, cli.plot_dtopo
    monkeypatch.setattr(cli, "plot_dtopo", lambda *args, **kw: seen.setdefault("ax", real(*args, **kw)))
    path = write(tmp_path, "s.grd", TT3)
    assert cli.main([str(path), "--time", "2", "-o", str(tmp_path / "first.png")]) == 0
    np.testing.assert_array_equal(seen["ax"].images[0].get_array(), 0.0)
    assert seen["ax"].get_title().startswith("dz at t = 0 s (frame 0 of 0 to 1)")
    assert (tmp_path / "first.png").is_file()


@pytest.mark.parametrize("args, status, complaint", [
    (["--frame", "2"], 1, "no frame 2: the source has 2 frames"),
    (["--format", "fsp"], 2, "--format does not apply to"),
    (["--no-plane"], 2, "--no-plane does not apply to"),
    (["--reference", "centroid"], 2, "--reference goes with --model"),
    (["--faults", "f.txt"], 2, "--faults does not apply"),
])
def test_command_line_refusals(tmp_path, capsys, args, status, complaint):
    path = write(tmp_path, "s.grd", TT3)
    assert cli.main([str(path), "-o", str(tmp_path / "x.png")] + args) == status
    err = capsys.readouterr().err
    assert complaint in err and len(err.strip().splitlines()) == 1
    assert not (tmp_path / "x.png").exists()


def test_a_grid_across_the_antimeridian_keeps_its_longitudes(tmp_path):
    """A grid written 179.5 to 180.5 and a model written -179.9: the
    outlines are drawn at 180.1, inside the grid, not 360 degrees away."""
    lon = np.linspace(179.5, 180.5, 11)
    lat = np.linspace(-20.5, -19.5, 11)
    d = DTopo(lon, lat, np.zeros(1), np.ones((1, 11, 11)))
    model = write(tmp_path, "am.csv", MODEL.replace("150.05", "-179.9").replace("40.0", "-20.0"))
    ax = pd.plot_dtopo(d, source=model, reference="top center")
    [outlines] = [c for c in ax.collections if type(c) is PolyCollection]
    x = np.concatenate([p.vertices[:, 0] for p in outlines.get_paths()])
    assert np.all((x > 180.0) & (x < 180.3))
    assert ax.get_xlim() == pytest.approx((179.45, 180.55))
