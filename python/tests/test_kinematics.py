"""Kinematic sources: slip-rate functions against quadrature of their rates, frames of a
synthetic model against quadrature-weighted static uplift, rupture times from a velocity
against geographiclib, dtopo grids that add, and the command line's frames."""
import math
import pathlib
import subprocess
import sys

import numpy as np
import pytest
from geographiclib.geodesic import Geodesic
from scipy.integrate import quad

from vadrel import geometry, sources, tsunami
from vadrel.io.subfaults import SlipHistory
from vadrel.tsunami.kinematics import slip_fraction

FIX = pathlib.Path(__file__).parent / "fixtures" / "finite_faults"
CLI = [str(FIX / "new_one_segment.param"), "--region", "-72.5", "-71.5", "-32.5", "-31.5", "--spacing", "6"]


def model(sub, **kwargs):
    return sources.FiniteFault(subfaults=sub, moment=0.0, Mw=0.0, **kwargs)


def rate(shape, t, rise, fall=0.0):
    """Slip rate of each shape, written from its definition (1/s)."""
    if t < 0 or t > rise:
        return 0.0
    if shape == "asymmetric cosine":
        up = rise - fall
        if t < up:
            return (1 - math.cos(math.pi * t / up)) / rise
        return (1 + math.cos(math.pi * (t - up) / fall)) / rise
    if shape == "cosine":
        return (1 - math.cos(2 * math.pi * t / rise)) / rise
    if shape == "smooth ramp":
        return math.pi / (2 * rise) * math.sin(math.pi * t / rise)
    if shape == "triangle":
        return 4 * t / rise ** 2 if t < rise / 2 else 4 * (rise - t) / rise ** 2
    return 1.0 / rise                                                   # boxcar


def integral(shape, t, rise, fall=0.0):
    points = [x for x in (rise - fall, rise / 2) if 0 < x < t]
    return quad(lambda s: rate(shape, s, rise, fall), 0.0, min(t, rise), points=points or None,
                epsabs=1e-12, epsrel=1e-12)[0] if t > 0 else 0.0


@pytest.mark.parametrize("shape, rise, fall", [
    ("asymmetric cosine", 12.0, 4.0), ("asymmetric cosine", 18.0, 15.0), ("asymmetric cosine", 1.5, 1.5),
    ("cosine", 10.0, 0.0), ("smooth ramp", 7.0, 0.0), ("triangle", 4.0, 0.0), ("boxcar", 2.5, 0.0),
])
def test_slip_fraction_is_the_integral_of_the_rate(shape, rise, fall):
    # Each rate integrates to 1 over the rise (the normalisation).
    assert integral(shape, rise + 1, rise, fall) == pytest.approx(1.0, abs=1e-10)
    t = np.linspace(-2.0, rise + 2.0, 41)
    got = slip_fraction(shape, t, rise, fall if shape == "asymmetric cosine" else None)
    want = [integral(shape, x, rise, fall) for x in t]
    assert got == pytest.approx(want, abs=1e-9)
    assert np.all(np.diff(got) >= -1e-15)


def test_slip_fraction_limits():
    # No rise time, or the step: all the slip at the rupture time.
    assert list(slip_fraction("smooth ramp", [-1e-9, 0.0, 5.0], 0.0)) == [0.0, 1.0, 1.0]
    assert list(slip_fraction("step", [-1.0, 0.0, 1.0], 9.0)) == [0.0, 1.0, 1.0]
    # An asymmetric cosine with no falling time: half-way through its rise,
    # (t - (T/pi) sin(pi t/T)) / T = 1/2 - 1/pi.
    assert slip_fraction("asymmetric cosine", 4.0, 8.0, 0.0) == pytest.approx(0.5 - 1 / math.pi, abs=1e-15)
    with pytest.raises(ValueError, match="unknown slip-rate shape"):
        slip_fraction("yoffe", 1.0, 1.0)


def synthetic(n=6):
    """n subfaults of a thrust with several metres of slip (10.6 m at its
    peak), realistic rising and falling times (Ji et al.'s ranges)."""
    sub = np.zeros(n, sources.SUBFAULT_DTYPE)
    slips = 11.0 * np.sin(np.pi * (np.arange(n) + 0.5) / n)
    t_ris = np.linspace(3.0, 15.0, n)
    t_fal = np.linspace(15.0, 1.5, n)
    for k in range(n):
        sub[k] = (142.5, 37.5 + 0.18 * k, 5.0, 10.0, 15.0, 90.0, slips[k], 20.0, 40.0, 4e10, 10.0 * k,
                  t_ris[k] + t_fal[k], 0)
    return model(sub, history=SlipHistory("asymmetric cosine", t_fal, "t_ris and t_fal"))


def test_frames_of_a_synthetic_model_against_quadrature():
    ff = synthetic()
    lon, lat = np.linspace(141.5, 143.8, 24), np.linspace(37.0, 38.9, 20)
    times = np.array([0.0, 6.0, 20.0, 33.0, 47.0, 64.0, 80.0])
    d = tsunami.dtopo(ff, lon, lat, times=times, levels=1)
    # Each subfault's static uplift, weighted by the quadrature of its rate.
    want = np.zeros_like(d.dz)
    for k, row in enumerate(ff.subfaults):
        static = tsunami.dtopo(model(ff.subfaults[k:k + 1]), lon, lat, levels=1).dz[0]
        fall = ff.history.fall_time[k]
        for i, t in enumerate(times):
            want[i] += integral("asymmetric cosine", t - row["rupture_time"], row["rise_time"], fall) * static
    assert np.abs(want[-1]).max() > 1.0
    assert np.abs(d.dz - want).max() < 1e-6 * np.abs(want).max() + 1e-9


def test_rupture_times_from_a_velocity():
    sub = synthetic().subfaults.copy()
    sub["rupture_time"] = np.nan
    ff = model(sub, hypocentre=(142.6, 37.9, 12.0))
    timed = ff.with_rupture_times(2.5)
    lon, lat, z = geometry.centres(sub)
    for k in range(len(sub)):
        s = Geodesic.WGS84.Inverse(37.9, 142.6, lat[k], lon[k])["s12"] / 1000.0
        assert timed.subfaults["rupture_time"][k] == pytest.approx(math.hypot(s, z[k] - 12.0) / 2.5, rel=1e-9)
    assert np.all(np.isnan(ff.subfaults["rupture_time"]))                   # the model itself unchanged
    with pytest.raises(ValueError, match="rupture times of its own"):
        timed.with_rupture_times(2.5)
    with pytest.raises(ValueError, match="need the hypocentre"):
        model(sub).with_rupture_times(2.5)
    # dtopo takes the velocity: the frame before the front arrives is flat
    lonv, latv = np.linspace(141.5, 143.8, 12), np.linspace(37.0, 38.9, 10)
    d = tsunami.dtopo(ff, lonv, latv, times=[0.0, 200.0], rupture_velocity=2.5)
    assert np.abs(d.dz[0]).max() == 0.0 and np.abs(d.dz[1]).max() > 1.0


def test_dtopo_grids_add():
    ff = synthetic()
    lon, lat = np.linspace(141.5, 143.8, 16), np.linspace(37.0, 38.9, 14)
    a, b = model(ff.subfaults[:3]), model(ff.subfaults[3:])
    whole = tsunami.dtopo(model(ff.subfaults), lon, lat, levels=1)
    da, db = tsunami.dtopo(a, lon, lat, levels=1), tsunami.dtopo(b, lon, lat, levels=1)
    assert (da + db).dz == pytest.approx(whole.dz, abs=1e-12)
    assert sum([da, db]).dz == pytest.approx(whole.dz, abs=1e-12)
    with pytest.raises(ValueError, match="different lon axes"):
        da + tsunami.dtopo(b, lon[:-1], lat, levels=1)
    with pytest.raises(ValueError, match="different times axes"):
        da + tsunami.dtopo(b, lon, lat, times=[0.0, 10.0], levels=1)


def test_database_stated_functions(tmp_path):
    text = (FIX / "era1994_lost_percent.fsp").read_text()
    for stated, shape in (("triangular", "triangle"), ("boxcar", "boxcar"), ("Asymetriccosine", "cosine"),
                          ("regularized Yoffe", "smooth ramp")):
        p = tmp_path / "m.fsp"
        p.write_text(text.replace("triangular", stated))
        ff = sources.read(p)
        assert ff.history.shape == shape and ff.history.stated.startswith(stated)
        assert any("not known" in w for w in ff.warnings) == (stated == "regularized Yoffe")


def run(args, cwd):
    return subprocess.run([sys.executable, "-m", "vadrel.tsunami"] + CLI + args + ["-o", "out.nc"], cwd=cwd,
                          capture_output=True, text=True)


@pytest.mark.parametrize("times, frames", [
    ("0,10,20,60", [0.0, 10.0, 20.0, 60.0]),
    ("3", [0.0, 16.0, 32.0]),                   # three frames from 0 to the end of the rupture: 20 + 3 + 9 s
])
def test_command_line_times(tmp_path, times, frames):
    r = run(["--times", times], tmp_path)
    assert r.returncode == 0, r.stderr
    assert list(tsunami.read_dtopo(tmp_path / "out.nc").times) == frames


@pytest.mark.parametrize("args, message", [
    (["--times", "1000000", "--spacing", "0.5"], "1000000 frames of 121 x 121 nodes needs"),
    (["--times", "0,20,10"], "--times: the times must be finite and increasing"),
    (["--times", "0"], "--times must be 1 or more frames"),
    (["--times", "a,b"], "--times must be a number of frames or times"),
])
def test_command_line_refuses_frames_in_one_line(tmp_path, args, message):
    r = run(args, tmp_path)
    assert r.returncode == 1 and len(r.stderr.strip().splitlines()) == 1, r.stderr
    assert message in r.stderr and "Traceback" not in r.stderr
    assert not (tmp_path / "out.nc").exists()
