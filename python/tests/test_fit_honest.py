"""Honest geometry fits: a fit stopped at its evaluation limit says so (status,
warning, exit status 3), parameters on a bound are named, too few data are
refused, faults come back in longitude and latitude, options checked first."""
import json
import math
import os
import subprocess
import sys

import numpy as np
import pytest
from geographiclib.geodesic import Geodesic

import vadrel
from vadrel import invert
from vadrel.geodesy import LocalFrame
from vadrel.invert.fault import FitWarning, _Problem, _run_start, _seg_values
from vadrel.invert.data import Stack

LOOK = np.array([-0.61, -0.11, 0.785]) / np.linalg.norm([-0.61, -0.11, 0.785])
TRUTH = vadrel.Segment(X=-5.0, Y=3.0, strike=30.0, depth=15.0, dip=70.0, lam=3e10, mu=3e10, U1=-1200.0, U2=400.0,
                       U3=0.0, L=30.0, W=12.0, name="t")
START = vadrel.Segment(X=-3.0, Y=2.0, strike=34.0, depth=15.0, dip=74.0, lam=3e10, mu=3e10, U1=-900.0, U2=300.0,
                       U3=0.0, L=27.0, W=12.0, name="s")


def radar(frame=None, n=14, sigma=2.0):
    g = np.linspace(-50, 50, n)
    x, y = (a.ravel() for a in np.meshgrid(g, g))
    los = vadrel.range_change(vadrel.Faults([TRUTH]), x, y, LOOK) + np.random.default_rng(0).normal(0, sigma, x.size)
    return invert.Dataset(x, y, los, LOOK, sigma=sigma, name="asc", frame=frame)


def test_a_fit_stopped_at_its_limit_says_so():
    with pytest.warns(FitWarning, match="did not converge"):
        fit = invert.fit_fault(radar(), START, max_nfev=2)
    assert fit.status == 0 and not fit.converged and "maximum number" in fit.message
    full = invert.fit_fault(radar(), START)
    assert full.status > 0 and full.converged and full.at_bound == {}
    with pytest.raises(ValueError, match="no frame"):
        full.lonlat()


@pytest.mark.parametrize("bounds,start,expected", [
    ({"dip": (40.0, 65.0)}, {"dip": 60.0}, {"dip": "upper"}),       # the truth (70) beyond the bound
    ({"L": (32.0, 60.0)}, {"L": 35.0}, {"L": "lower"}),
    ({"top": (6.0, 20.0)}, {"depth": 20.0}, {"top": "lower"}),      # top edge at 3.7 km in truth
])
def test_parameters_on_a_bound_are_named(bounds, start, expected):
    s = vadrel.Segment(**dict(_seg_values(START), **start))
    with pytest.warns(FitWarning, match="ends on a bound"):
        fit = invert.fit_fault(radar(), s, bounds=bounds)
    assert fit.at_bound == expected


def test_too_few_data_are_refused():
    with pytest.raises(ValueError, match="9 observations for 12 free parameters"):    # 9 fault's, offset, ramp
        invert.fit_fault(radar(n=3), START)


def test_tasks_run_their_compiled_calls_on_one_thread(monkeypatch):
    seen = []
    problem = _Problem(Stack([radar()]), [_seg_values(START)], [list(invert.DEFAULT_FREE)], None)
    for name in ("range_change", "partials"):
        real = getattr(vadrel, name)

        def spy(*a, _real=real, **kw):
            seen.append(kw.get("threads"))
            return _real(*a, **kw)
        monkeypatch.setattr(vadrel, name, spy)
    _run_start(problem, problem.start(), "analytic", threads=1)
    assert seen and set(seen) == {1}


def test_fitted_faults_in_longitude_and_latitude():
    frame = LocalFrame((72.0, 38.5))
    fit = invert.fit_fault(radar(frame), START)
    (seg,) = fit.lonlat()
    s = fit.faults.segments[0]
    lon, lat = frame.to_lonlat(s.X, s.Y)
    assert (seg["lon"], seg["lat"]) == pytest.approx((lon, lat), abs=1e-12)
    # The top edge's ends, L apart along the true strike (geodesic).
    g = Geodesic.WGS84.Inverse(seg["top_lat"][0], seg["top_lon"][0], seg["top_lat"][1], seg["top_lon"][1])
    assert g["s12"] / 1000.0 == pytest.approx(s.L, rel=1e-4)
    assert g["azi1"] % 360 == pytest.approx(seg["strike_true"], abs=0.1)
    tx, ty = frame.to_km(seg["top_lon"][0], seg["top_lat"][0])
    assert g["azi1"] % 360 == pytest.approx(frame.to_true(tx, ty, s.strike), abs=1e-3)


def _cli(tmp_path, *args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run([sys.executable, "-m", "vadrel.invert", *map(str, args)], cwd=tmp_path, env=env,
                          capture_output=True, text=True, check=False, timeout=300)


@pytest.fixture()
def files(tmp_path):
    d = radar()
    np.savetxt(tmp_path / "asc.txt", np.column_stack([d.x, d.y, d.obs, d.look]), header="x y los e n u",
               comments="")
    frame = LocalFrame((72.0, 38.5))
    lon, lat = frame.to_lonlat(d.x, d.y)
    np.savetxt(tmp_path / "ll.txt", np.column_stack([lon, lat, d.obs + 1.0, d.look]), header="lon lat los e n u",
               comments="", fmt="%.9f")
    invert.write_faults(vadrel.Faults([START]), tmp_path / "start.txt")
    return tmp_path


def test_command_line_options_per_file_bounds_and_ramp(files):
    r = _cli(files, "asc.txt", "ll.txt", "--origin", "72,38.5", "--sigma", "2", "--sigma", "3", "--name", "a,b",
             "--no-ramp", "--bounds", "dip=50:85,U2=-2000:2000", "--start", "start.txt", "-o", "fit.txt")
    assert r.returncode == 0, r.stderr
    s = json.loads((files / "fit.json").read_text())["fault"]
    assert s["converged"] and s["status"] > 0 and s["at_bound"] == {} and "message" in s
    assert set(s["offsets"]) == {"a", "b"} and "a.ramp_x" not in s["params"] and "b.offset" in s["params"]
    assert s["params"]["dip"]["value"] == pytest.approx(70.0, abs=3 * s["params"]["dip"]["sigma"])
    assert s["frame"]["origin_lon"] == 72.0 and len(s["lonlat"]) == 1
    # The same data in km and in degrees: b's offset is a's plus 1 mm.
    assert s["offsets"]["b"] - s["offsets"]["a"] == pytest.approx(1.0, abs=0.5)


def test_command_line_stopped_fit_exits_3_with_its_results(files):
    r = _cli(files, "asc.txt", "--start", "start.txt", "--max-evaluations", "2", "-o", "fit.txt")
    assert r.returncode == 3, r.stderr
    assert "evaluation limit" in r.stderr and "Traceback" not in r.stderr
    s = json.loads((files / "fit.json").read_text())["fault"]
    assert s["status"] == 0 and s["converged"] is False and (files / "fit.txt").exists()


@pytest.mark.parametrize("args,message", [
    (["--sigma", "2,3"], "2 values for 1 data files"),
    (["--sigma", "0"], "not positive"),
    (["--bounds", "dip=80:70"], "not below"),
    (["--bounds", "rake=0:1"], "unknown parameter 'rake'"),
    (["--bounds", "dip"], "not NAME=LOW:HIGH"),
    (["--bounds", "dip_3=10:20"], "the start has 1 segment"),
    (["--positivity", "1"], "two signs"),
    (["--origin", "72"], "not LON,LAT"),
    (["--max-evaluations", "0"], "at least 1"),
])
def test_command_line_options_checked_before_any_work(files, args, message):
    r = _cli(files, "asc.txt", "--start", "start.txt", "-o", "fit.txt", *args)
    assert r.returncode in (1, 2) and message in r.stderr, r.stderr
    assert len([line for line in r.stderr.splitlines() if "error" in line]) == 1
    assert not (files / "fit.txt").exists() and not (files / "fit.json").exists()


def test_command_line_posterior_draws_and_pictures(files):
    r = _cli(files, "asc.txt", "--sigma", "2", "--start", "start.txt", "--free", "U1,U2", "--sample", "60",
             "--chains", "4", "-o", "fit.txt", "--plot", "fit.png")
    assert r.returncode in (0, 3), r.stderr
    post = json.loads((files / "fit.json").read_text())["posterior"]
    assert post["draws"] == 240 and set(post["params"]["U1"]) >= {"mean", "sigma", "p05", "p95", "rhat", "ess"}
    with np.load(files / "fit_posterior.npz") as z:
        assert z["samples"].shape == (240, 5) and list(z["names"][:2]) == ["U1", "U2"]
    assert (files / "fit_posterior.png").stat().st_size > 10000 and (files / "fit.png").stat().st_size > 10000
    assert math.isfinite(post["params"]["U1"]["mean"])
