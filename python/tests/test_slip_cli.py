"""The slip options of ``python3 -m vadrel.invert``: every segment meshed, the
L-curve's corner used, the pictures, status in the summary, and every bad
option refused in one line before any work."""
import json
import math
import os
import subprocess
import sys

import numpy as np
import pytest

import vadrel

LOOK = (-0.61, -0.11, 0.785)


def run(cwd, *args):
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(os.path.abspath(vadrel.__file__))))
    return subprocess.run([sys.executable, "-m", "vadrel.invert", *args], cwd=cwd, env=env, capture_output=True,
                          text=True, timeout=300)


def segment_line(x0, y0, strike, L, W, dip, top, u1, name):
    """A faults-file line for a segment whose top edge starts at (x0, y0)."""
    s, c = math.sin(math.radians(strike)), math.cos(math.radians(strike))
    wc = W * math.cos(math.radians(dip))
    depth = top + W * math.sin(math.radians(dip))
    return f" {x0 + wc * c:.6f} {y0 - wc * s:.6f} {strike} 0 {depth:.6f} {dip} 3e10 3e10 {u1} 0 0 {L} {W} {name}"


@pytest.fixture
def files(tmp_path):
    """A two-segment start and radar data (a table with sigma) from it."""
    end = (-20.0 + 20.0 * math.sin(math.radians(70.0)), -8.0 + 20.0 * math.cos(math.radians(70.0)))
    text = "# two segments\n" + segment_line(-20.0, -8.0, 70.0, 20.0, 8.0, 50.0, 0.5, 1200.0, "west") + "\n" + \
        segment_line(*end, 80.0, 16.0, 8.0, 50.0, 0.5, 800.0, "east") + "\n"
    (tmp_path / "s.txt").write_text(text)
    faults = vadrel.read_faults(tmp_path / "s.txt")
    g = np.linspace(-45, 45, 21)
    x, y = (a.ravel() for a in np.meshgrid(g, g + 1.7))
    los = vadrel.range_change(faults, x, y, LOOK) + np.random.default_rng(2).normal(0, 2.0, x.size)
    rows = [f"{a:.4f} {b:.4f} {c:.4f} {LOOK[0]} {LOOK[1]} {LOOK[2]} 2.0" for a, b, c in zip(x, y, los)]
    (tmp_path / "d.txt").write_text("x y los e n u sigma\n" + "\n".join(rows) + "\n")
    return tmp_path


def test_slip_on_every_segment_with_its_lcurve_resolution_and_checkerboard(files):
    r = run(files, "d.txt", "--start", "s.txt", "--free", "", "--patch", "4", "4", "--lcurve",
            "0.01,0.03,0.1,0.3,1,3,10", "--resolution", "--checkerboard", "8", "4", "--rake", "-30", "30",
            "-o", "fit.txt", "--plot", "fit.png")
    assert r.returncode == 0, r.stderr
    assert "Traceback" not in r.stderr and "warning" not in r.stderr
    out = json.loads((files / "fit.json").read_text())
    summary = out["slip"]
    assert summary["status"] == "converged" and "converged in" in summary["message"]
    assert [s["name"] for s in summary["segments"]] == ["west", "east"]
    # Patches of about 4 km: 20 km -> 5, 16 km -> 4 along strike; 8 km -> 2 down dip.
    assert (summary["nx"], summary["ny"]) == ([5, 4], [2, 2]) and summary["patches"] == 18
    assert summary["joins"] == [[1, 2]]
    assert summary["smoothing"] == pytest.approx(out["lcurve"]["corner_smoothing"])
    assert len(faults := vadrel.read_faults(files / "fit.txt")) == 18
    rake = np.degrees(np.arctan2([s.U2 for s in faults.segments], [s.U1 for s in faults.segments]))
    assert np.all(np.abs(rake) <= 30.0 + 1e-6)
    for name in ("fit.png", "fit_slip.png", "fit_lcurve.png", "fit_resolution.png", "fit_checkerboard.png"):
        assert (files / name).read_bytes()[:4] == b"\x89PNG", name


@pytest.mark.parametrize("args, message", [
    (["--slip", "4", "2", "--patch", "4", "4"], "not both"),
    (["--patch", "0", "4"], "--patch: two lengths in km > 0"),
    (["--slip", "0", "2"], "at least 1"),
    (["--lcurve", "0.1,1"], "needs --slip"),
    (["--slip", "4", "2", "--lcurve", "0.1,1,10"], "at least four"),
    (["--slip", "4", "2", "--lcurve", "0.1,x,1,3"], "numbers separated by commas"),
    (["--slip", "4", "2", "--rake", "30", "-30"], "0 < HIGH - LOW < 180"),
    (["--slip", "4", "2", "--smoothing", "-1"], ">= 0"),
    (["--slip", "4", "2", "--segments", "1,3"], "no segment 3"),
    (["--slip", "4", "2", "--segments", "1,1"], "each segment once"),
    (["--slip", "4", "2", "--join", "near"], "--join"),
    (["--resolution"], "needs --slip"),
    (["--slip", "4", "2", "--checkerboard", "8", "-1"], "--checkerboard: two lengths"),
])
def test_bad_slip_options_are_one_line_before_any_work(files, args, message):
    r = run(files, "d.txt", "--start", "s.txt", *args, "-o", "fit.txt")
    assert r.returncode == 2, r.stderr
    lines = r.stderr.strip().splitlines()
    errors = [line for line in lines if "error" in line]
    assert len(errors) == 1 and message in lines[-1] and "Traceback" not in r.stderr
    # Nothing fitted (a segment number is checked once the start is read, the rest at once).
    assert not any("fault:" in line for line in lines) and not (files / "fit.txt").exists()
    assert len(lines) == (2 if "no segment" in message else 1)


def test_a_slip_too_large_for_the_memory_is_one_line_before_the_fault_is_fitted(files):
    r = run(files, "d.txt", "--start", "s.txt", "--slip", "4000", "4000", "-o", "fit.txt")
    assert r.returncode == 1
    lines = r.stderr.strip().splitlines()
    assert lines[-1].startswith("vadrel.invert: error: out of memory: a slip inversion of ")
    assert "more than this machine's" in lines[-1] and "Traceback" not in r.stderr
    assert not any("fault:" in line for line in lines) and not (files / "fit.txt").exists()


def test_a_slip_picture_that_would_overwrite_an_input_is_refused(files):
    (files / "d.txt").rename(files / "m_slip.png")
    r = run(files, "m_slip.png", "--start", "s.txt", "--free", "", "--slip", "4", "2", "-o", "fit.txt",
            "--plot", "m.png")
    assert r.returncode == 2 and "m_slip.png" in r.stderr
    assert len(r.stderr.strip().splitlines()) == 1
