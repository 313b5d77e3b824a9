"""Maps of the bundled examples: image size, not blank, the colour range
matching the data (read independently from the program's outputs)."""
import matplotlib

matplotlib.use("Agg")
import matplotlib.image as mpimg  # noqa: E402
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pytest  # noqa: E402

import vadrel  # noqa: E402
import vadrel.plot as vp  # noqa: E402
from conftest import fields, records, run_program  # noqa: E402


def column(lines, k, width=10):
    return np.array([float(fields(r, width)[k]) for r in records(lines)])


def check_image(path, fig, mappable, data, size=(600, 700)):
    """Size, not blank, a colour range symmetric about 0 reaching the data's
    largest magnitude, and the colours of the data's extremes on the map."""
    img = mpimg.imread(path)
    assert img.shape[:2] == size
    rgb = img[:, :, :3]
    assert len(np.unique(np.round(rgb.reshape(-1, 3) * 255), axis=0)) > 20, "blank picture"
    m = np.abs(data).max()
    assert mappable.get_clim() == pytest.approx((-m, m), rel=1e-6, abs=1e-12)
    box = fig.axes[0].get_window_extent()
    h = img.shape[0]
    inside = rgb[int(h - box.y1) + 2:int(h - box.y0) - 2, int(box.x0) + 2:int(box.x1) - 2].reshape(-1, 3)
    for v in (data.min(), data.max()):
        c = np.array(mappable.cmap(mappable.norm(v))[:3])
        assert (np.abs(inside - c).max(axis=1) < 0.02).sum() > 20, f"colour of {v} missing on the map"
    plt.close("all")


@pytest.fixture
def thrust(binary, workdir):
    status, _, lines = run_program(binary, "thrust_points.txt", "thrust_faults.txt", "vector", workdir)
    assert status == 0
    return workdir, lines


def test_vector_map(thrust):
    d, lines = thrust
    up = column(lines, 4)
    fig, mp = vp.plot_print_file(d / "out.txt", d / "v.png", faults=d / "thrust_faults.txt")
    check_image(d / "v.png", fig, mp, up)
    ax = fig.axes[0]
    assert len(ax.collections) == 2  # the colour mesh and the arrows
    assert len(ax.lines) == 2 * 3  # outline and top edge of each segment
    assert ax.get_title() == "out.txt: vector records, up"


def test_wrapped_range_map(thrust):
    d, lines = thrust
    fig, mp = vp.plot_print_file(d / "out.txt", d / "w.png", value="range", wrap=28.3)
    img = mpimg.imread(d / "w.png")
    assert img.shape[:2] == (600, 700)
    assert mp.get_clim() == (0.0, 28.3)
    shown = np.asarray(mp.get_array()).ravel()
    np.testing.assert_allclose(np.sort(shown), np.sort(np.mod(column(lines, 6), 28.3)))
    assert "wrapped every 28.3 mm" in fig.axes[1].get_ylabel()
    plt.close("all")


def test_strain_component_map(binary, workdir):
    status, _, lines = run_program(binary, "thrust_points.txt", "thrust_faults.txt", "strain", workdir)
    assert status == 0
    v = column(lines, 6, 13)  # duzde
    fig, mp = vp.plot_print_file(workdir / "out.txt", workdir / "s.png", value="duzde")
    check_image(workdir / "s.png", fig, mp, v)
    assert fig.axes[1].get_ylabel() == "d(uUp)/dEast (mm/km)"


def test_curvilinear_uplift_map(binary, workdir):
    status, _, _ = run_program(binary, "bay_points.txt", "bay_faults.txt", "ascii", workdir)
    assert status == 0
    ini = np.array((workdir / "bay_grid.ini").read_text().split(), dtype=float)
    fig, mp = vp.plot_ini(workdir / "bay_grid.ini", workdir / "b.png", grid=workdir / "bay_grid.grd",
                          faults=workdir / "bay_faults.txt")
    check_image(workdir / "b.png", fig, mp, ini)
    assert len(mp.get_paths()) == 9 * 11  # one polygon per cell
    assert fig.axes[0].get_xlabel() == "x (m)"


def test_regular_card_uplift_map(binary, tmp_path):
    (tmp_path / "p.txt").write_text("V 0 0 1 1\nM -40 -30 2 1.5 41 41\n")
    (tmp_path / "f.txt").write_text(" 0 0 10 0 15 35 3e10 3e10 0 2000 0 20 20 x\n")
    status, _, _ = run_program(binary, "p.txt", "f.txt", "ascii", tmp_path)
    assert status == 0
    ini = np.array((tmp_path / "disp.ini").read_text().split(), dtype=float)
    fig, mp = vp.plot_ini(tmp_path / "disp.ini", tmp_path / "m.png", card="M -40 -30 2 1.5 41 41",
                          faults=tmp_path / "f.txt")
    check_image(tmp_path / "m.png", fig, mp, ini)
    # Without the card the shape is read from the file's line breaks.
    assert vp.read_ini_file(tmp_path / "disp.ini").shape == (41, 41)


def test_segment_outline_geometry():
    s = vadrel.Segment(10.0, -5.0, 90.0, 12.0, 60.0, 1, 1, 0, 1, 0, 30.0, 10.0)
    outline, top = vp.segment_outline(s)
    # Strike east: the patch dips to the south, its top edge 5 km north of the deep one.
    np.testing.assert_allclose(outline, [[10, -5], [40, -5], [40, 0], [10, 0], [10, -5]], atol=1e-12)
    np.testing.assert_allclose(top, [[40, 0], [10, 0]], atol=1e-12)


def test_command_line(thrust, capsys):
    d, _ = thrust
    assert vp.main([str(d / "out.txt"), "--faults", str(d / "thrust_faults.txt")]) == 0
    assert (d / "out.png").stat().st_size > 10000
    assert vp.main([str(d / "out.txt"), "--value", "duzde", "-o", str(d / "x.png")]) == 1
    assert "no column 'duzde'" in capsys.readouterr().err
    assert not (d / "x.png").exists()
    plt.close("all")


def test_print_file_reader_fields(tmp_path):
    p = tmp_path / "p.out"
    p.write_text("* header\n" + "".join(" " + f.rjust(10) for f in ("-50.0000", "-45.0000", "*" * 10)) + "\n")
    g = vp.read_print_file(p)
    assert set(g) == {"range"}
    assert np.isnan(g["range"][1][0, 2])
    rec = " " + " ".join(f.rjust(20) for f in ["-1.2345678901E-03", "1.0000000000-103"] + ["0.0E+00"] * 10)
    p.write_text(" * Exact derivatives d(range)/d(parameter)\n" + rec + "\n")
    cols, data = vp.read_print_file(p)["analytic"]
    assert cols[2:] == vadrel.PARTIAL_COLUMNS
    assert data[0, 0] == -1.2345678901e-3 and data[0, 1] == 1e-103


LOOK = (-0.61, -0.11, 0.785)  # the V card of thrust_points.txt


def test_coarse_fringes_are_grey_and_said_to_be(thrust):
    """Points 5 km apart cannot show fringes of a 2.5 m thrust: most of the
    map is grey and the warning says how dense the fringes are."""
    d, _ = thrust
    with pytest.warns(vp.AliasWarning, match=r"fringes up to \d+ per sample .* on \d+% of the map"):
        fig, _ = vp.plot_print_file(d / "out.txt", d / "c.png", value="range", wrap=28.3)
    assert len(fig.axes[0].collections) == 2  # the fringes and the grey cells over them
    plt.close("all")


def test_fringes_computed_at_every_pixel(thrust, recwarn):
    """With the run's faults the range is computed for every pixel (the look
    vector read from the vector records): each pixel shows the wrapped range
    at its place, and between neighbouring drawn pixels the range changes by
    less than half a fringe, so the picture is not aliased; grey elsewhere."""
    d, _ = thrust
    wrap = 28.3
    fig, colours = vp.plot_print_file(d / "out.txt", d / "f.png", value="range", wrap=wrap,
                                      faults=d / "thrust_faults.txt")
    assert colours.get_clim() == (0.0, wrap)
    ax = fig.axes[0]
    [image] = ax.images
    rgb = np.asarray(image.get_array())[..., :3]
    rows, cols = rgb.shape[:2]
    box = ax.get_window_extent()
    assert abs(cols - box.width) <= 1 and abs(rows - box.height) <= 1
    (x0, x1), (y0, y1) = ax.get_xlim(), ax.get_ylim()
    cx = x0 + (np.arange(cols) + 0.5) * (x1 - x0) / cols
    cy = y0 + (np.arange(rows) + 0.5) * (y1 - y0) / rows
    field = vadrel.range_change(vadrel.read_faults(d / "thrust_faults.txt"), cx[None, :], cy[:, None], LOOK)
    drawn = np.abs(rgb - 0.6).max(axis=2) > 1e-9
    step = np.abs(np.diff(field, axis=1))
    both = drawn[:, 1:] & drawn[:, :-1]
    assert step[both].max() < wrap / 2
    assert (step[~both] > wrap).any()
    assert 0.0 < (~drawn).mean() < 0.15
    # Where the fringes are wide, the colour is that of the range there: the
    # colour scale climbs by at most 6 per fringe, so over a pixel holding a
    # 30th of a fringe the pixel's mean colour is within 0.1 of it.
    gy, gx = np.gradient(field)
    slow = drawn & (np.hypot(gx, gy) < wrap / 30)
    want = colours.cmap(np.mod(field, wrap) / wrap)[..., :3]
    assert slow.mean() > 0.2
    assert np.abs(rgb[slow] - want[slow]).max() < 0.1
    [w] = [w for w in recwarn if issubclass(w.category, vp.AliasWarning)]
    assert "per pixel" in str(w.message)
    plt.close("all")


def test_fringes_refuse_faults_of_another_run(thrust):
    d, _ = thrust
    other = vadrel.Faults([vadrel.Segment(X=0, Y=0, strike=0, depth=10, dip=45, lam=1, mu=1, U1=0, U2=100, U3=0,
                                          L=10, W=10)])
    with pytest.raises(ValueError, match="do not give the print file's range"):
        vp.plot_print_file(d / "out.txt", None, value="range", wrap=28.3, faults=other, look=LOOK)
    plt.close("all")


def test_land_drawn_apart_from_zero_uplift(binary, workdir):
    status, _, _ = run_program(binary, "bay_points.txt", "bay_faults.txt", "ascii", workdir)
    assert status == 0
    depth = np.loadtxt(workdir / "bay_depth.dep")      # 11 rows of 13, one row per line
    xn, _ = vadrel.read_grid(workdir / "bay_grid.grd")
    present = (xn != 0.0) & (np.trunc(xn) != -999.0)
    land = sum(1 for j in range(1, xn.shape[0]) for i in range(1, xn.shape[1])
               if present[j, i] and depth[j, i] <= 0.0)
    assert land > 0
    fig, mp = vp.plot_ini(workdir / "bay_grid.ini", workdir / "l.png", grid=workdir / "bay_grid.grd",
                          depth=workdir / "bay_depth.dep")
    ax = fig.axes[0]
    assert len(mp.get_paths()) + land == 9 * 11
    dry = ax.collections[1]
    assert len(dry.get_paths()) == land
    colour = dry.get_facecolor()[0][:3]
    # Not a colour of the uplift scale, whose middle (zero) is white.
    scale = mp.cmap(np.linspace(0, 1, 256))[:, :3]
    assert np.abs(scale - colour).max(axis=1).min() > 0.1
    assert ax.get_legend().get_texts()[0].get_text() == "land (depth <= 0)"
    plt.close("all")


def test_ini_shape_inferred_or_asked_for(binary, workdir, tmp_path, capsys):
    status, _, _ = run_program(binary, "bay_points.txt", "bay_faults.txt", "ascii", workdir)
    assert status == 0
    fig, mp = vp.plot_ini(workdir / "bay_grid.ini")  # the grid file beside it
    assert fig.axes[0].get_title() == "bay_grid.ini: uplift on bay_grid.grd" and len(mp.get_paths()) == 9 * 11
    # Rows of ten values wrap into two full lines each: the line breaks cannot tell 8 x 10 from 16 x 5.
    (tmp_path / "p.txt").write_text("V 0 0 1 1\nM -40 -30 2 1.5 10 8\n")
    (tmp_path / "f.txt").write_text(" 0 0 10 0 15 35 3e10 3e10 0 2000 0 20 20 x\n")
    status, _, _ = run_program(binary, "p.txt", "f.txt", "ascii", tmp_path)
    assert status == 0
    assert vp.main([str(tmp_path / "disp.ini")]) == 1
    err = capsys.readouterr().err
    assert "cannot tell the grid's shape" in err and "--card" in err and "--shape ROWS COLUMNS" in err
    assert len(err.strip().splitlines()) == 1
    assert vp.main([str(tmp_path / "disp.ini"), "--shape", "8", "10"]) == 0
    assert (tmp_path / "disp.png").stat().st_size > 5000
    plt.close("all")


def test_models_and_tsunami_sources_drawn(tmp_path, capsys):
    """A published model and a tsunami source made from it: each drawn by its
    suffix, the source with the model's subfaults; an unreadable model is one
    error line and no picture."""
    from conftest import SOURCE
    model = SOURCE.parent / "shared" / "data" / "finite-faults" / "illapel2015_subfaults.param"
    if not model.is_file():
        pytest.skip("finite-fault data not found")
    from vadrel import tsunami
    tt3 = tmp_path / "illapel.tt3"
    tsunami.dtopo(str(model), np.linspace(-74, -70, 41), np.linspace(-33, -29, 41)).write(tt3, "tt3")
    for args, out in (([str(model)], tmp_path / "slip.png"), ([str(tt3), "--model", str(model)], tmp_path / "dz.png")):
        assert vp.main(args + ["-o", str(out)]) == 0
        image = mpimg.imread(out)[..., :3]
        # Colour, not a blank frame: many distinct shades.
        assert len(np.unique(np.round(image.reshape(-1, 3), 2), axis=0)) > 50
    bad = tmp_path / "bad.fsp"
    bad.write_text("% not a model\n")
    assert vp.main([str(bad), "-o", str(tmp_path / "bad.png")]) == 1
    assert "bad.fsp" in capsys.readouterr().err
    assert not (tmp_path / "bad.png").exists()
    plt.close("all")
