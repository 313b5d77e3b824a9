"""Coastlines: the multi-segment table parsed, longitudes wrapped to the map, GMT run where it leaves
nothing behind, plainly absent (nothing drawn, nothing said) without GMT.  Only the last test needs it."""
import os
import shutil
import stat

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pytest  # noqa: E402

from vadrel.cli import plot as cli  # noqa: E402
from vadrel.plot import coast  # noqa: E402
from vadrel.plot import dtopo as pd  # noqa: E402
from vadrel.tsunami import DTopo  # noqa: E402

# A multi-segment table as the coastline dump writes it: a '>' line opens each
# segment, points are "x<TAB>y"; also a comment, commas, a NaN break and a
# one-point segment, which the format allows.
SAMPLE = """\
# shorelines of a test region
> Shore Bin # 424, Level 1
-71.5126411358\t-29
-71.4946211948\t-29.2008850233
-71.3121232929\t-29.4158846418
> Shore Bin # 460, Level 1
-71.4192416266,-30
-71.3983367666 -30.1820401312
NaN\tNaN
-71.4650186923\t-30.1738002594
-71.5408560311\t-30.2946517128
> Shore Bin # 461, Level 2
-71.6\t-30.3
"""


def test_segments_parsed():
    pieces = coast.parse_segments(SAMPLE)
    assert [len(p) for p in pieces] == [3, 2, 2]
    np.testing.assert_array_equal(pieces[0][1], [-71.4946211948, -29.2008850233])
    np.testing.assert_array_equal(pieces[1], [[-71.4192416266, -30.0], [-71.3983367666, -30.1820401312]])
    assert coast.parse_segments("") == [] and coast.parse_segments("> only a header\n") == []


@pytest.mark.parametrize("text, line", [("> a\n1 2\nx y\n", 3), ("> a\n1 2\n3\n", 3), ("1 2\n3 inf\n", 2)])
def test_a_bad_point_names_its_line(text, line):
    with pytest.raises(ValueError, match=f"sample: line {line}: "):
        coast.parse_segments(text, "sample")


@pytest.mark.parametrize("centre, expected", [
    # Around 180 the line is whole, in 0..360.
    (180.0, [[179.9, -16.0], [180.1, -16.1], [180.2, -16.2]]),
    # Around 0 it would cross the whole map: broken, the lone point dropped.
    (0.0, [[-179.9, -16.1], [-179.8, -16.2]]),
    # Around -175 it is whole again, in -360..0.
    (-175.0, [[-180.1, -16.0], [-179.9, -16.1], [-179.8, -16.2]]),
])
def test_lines_wrapped_to_the_map(centre, expected):
    [got] = coast.wrapped([np.array([[179.9, -16.0], [-179.9, -16.1], [-179.8, -16.2]])], centre)
    np.testing.assert_allclose(got, expected, atol=1e-9)


@pytest.mark.parametrize("region, res", [((-74, -70, -33, -29), "l"), ((10, 12, 0, 1), "i"),
                                         ((100, 160, -10, 10), "c")])
def test_resolution_follows_the_map(region, res):
    assert coast.resolution(*region) == res


def source():
    lon = np.linspace(179.5, 180.5, 11)
    lat = np.linspace(-16.5, -15.5, 11)
    return DTopo(lon, lat, np.zeros(1), np.ones((1, 11, 11)))


def coast_lines(ax):
    return [c for c in ax.collections if c.get_gid() == "coastline"]


def test_absent_without_gmt(monkeypatch, tmp_path):
    monkeypatch.setenv("PATH", str(tmp_path))          # no gmt there
    assert coast.coastlines(-74, -70, -33, -29) == coast.coastlines(-74, -70, -33, -29, False) == []
    with pytest.raises(coast.CoastUnavailable, match="the gmt program is not installed"):
        coast.coastlines(-74, -70, -33, -29, True)
    ax = pd.plot_dtopo(source(), tmp_path / "a.png")
    assert coast_lines(ax) == []
    assert ax.get_legend() is None
    plt.close("all")


@pytest.fixture
def fake_gmt(tmp_path, monkeypatch):
    """A ``gmt`` that notes its arguments and directory, leaves a history
    file where it runs, as GMT does, and prints a shoreline across 180."""
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    notes = tmp_path / "notes.txt"
    script = bin_dir / "gmt"
    script.write_text(f"""#!/bin/sh
echo "$@" > '{notes}'
pwd >> '{notes}'
echo history > gmt.history
if [ "$FAKE_GMT_FAIL" = 1 ]; then echo "coast [ERROR]: Unable to find GSHHG data" >&2; exit 71; fi
printf '> Shore Bin # 1, Level 1\\n179.8\\t-16.2\\n-179.9\\t-16.0\\n-179.7\\t-15.8\\n'
""")
    script.chmod(script.stat().st_mode | stat.S_IXUSR)
    monkeypatch.setenv("PATH", f"{bin_dir}{os.pathsep}/usr/bin{os.pathsep}/bin")
    work = tmp_path / "work"
    work.mkdir()
    monkeypatch.chdir(work)
    return notes, work


def test_drawn_from_gmt_in_the_maps_longitudes_unless_not_asked(fake_gmt, tmp_path):
    notes, work = fake_gmt
    assert coast_lines(pd.plot_dtopo(source(), tmp_path / "n.png", coast=False)) == [] and not notes.exists()
    ax = pd.plot_dtopo(source(), tmp_path / "c.png")
    [lines] = coast_lines(ax)
    [segment] = lines.get_segments()
    np.testing.assert_allclose(segment, [[179.8, -16.2], [180.1, -16.0], [180.3, -15.8]], atol=1e-9)
    assert ax.get_xlim() == pytest.approx((179.45, 180.55))     # the map kept its limits
    args, where = notes.read_text().splitlines()
    assert args.split()[:2] == ["coast", "-R179.450000/180.550000/-16.550000/-15.450000"]
    assert {"-W", "-M", "-Di+f", "-A0/1/2"} <= set(args.split())
    assert where != str(work) and not os.path.exists(where)    # run in a directory since removed
    assert os.listdir(work) == []                                # no history file left behind
    plt.close("all")


def test_a_failing_gmt_is_as_no_gmt(fake_gmt, tmp_path, monkeypatch, capsys):
    monkeypatch.setenv("FAKE_GMT_FAIL", "1")
    ax = pd.plot_dtopo(source(), tmp_path / "f.png")
    assert coast_lines(ax) == []
    with pytest.raises(coast.CoastUnavailable, match=r"gmt coast failed \(coast \[ERROR\]: Unable to find GSHHG"):
        coast.coastlines(179, 181, -17, -15, True)
    # Asked for on the command line: one line, status 1, no picture.
    path = tmp_path / "s.nc"
    source().write(path, "netcdf")
    assert cli.main([str(path), "--coast", "-o", str(tmp_path / "x.png")]) == 1
    err = capsys.readouterr().err
    assert "no coastlines: gmt coast failed" in err and len(err.strip().splitlines()) == 1
    assert not (tmp_path / "x.png").exists()
    plt.close("all")


@pytest.mark.skipif(shutil.which("gmt") is None, reason="GMT is not installed")
def test_real_shorelines_where_gmt_is_installed():
    """Chile's coast at 31 S lies near 71.6 W; Fiji's islands straddle 180."""
    try:
        pieces = coast.gmt_coastlines(-74.0, -70.0, -33.0, -29.0)
    except coast.CoastUnavailable as e:
        pytest.skip(str(e))
    crossings = []          # where the shore crosses 31 S, between its points
    for p in pieces:
        for (x0, y0), (x1, y1) in zip(p[:-1], p[1:]):
            if (y0 + 31.0) * (y1 + 31.0) <= 0 and y0 != y1:
                crossings.append(x0 + (x1 - x0) * (-31.0 - y0) / (y1 - y0))
    assert crossings and all(-71.8 < x < -71.4 for x in crossings)
    points = np.concatenate(coast.gmt_coastlines(177.0, 183.0, -19.0, -15.0))
    assert np.all((points[:, 0] >= 177.0 - 1e-6) & (points[:, 0] <= 183.0 + 1e-6))
    assert (points[:, 0] < 180.0).any() and (points[:, 0] > 180.0).any()
