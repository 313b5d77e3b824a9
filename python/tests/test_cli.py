"""The command lines' common behaviour: outputs that would destroy inputs
refused before any work, and every failure one line with a non-zero
status, never a traceback."""
import os
import shutil
import subprocess
import sys

import pytest

import vadrel
from conftest import SOURCE

DATA = SOURCE.parent / "shared" / "data"
PARK = DATA / "finite-faults" / "parkfield2004.fsp"
SAREZ = DATA / "insar" / "sarez2015_ascending.txt"


def run(tmp_path, *args):
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(os.path.abspath(vadrel.__file__))))
    return subprocess.run([sys.executable, *args], cwd=tmp_path, env=env, capture_output=True, text=True,
                          timeout=300)


def one_line(r, status):
    assert r.returncode == status, r.stderr
    assert len(r.stderr.strip().splitlines()) == 1 and "Traceback" not in r.stderr, r.stderr


@pytest.mark.parametrize("case", [
    # name, arguments (in tmp_path: m.fsp the model, s.txt the start, d.txt the data, l.txt a link to m.fsp)
    ["-m", "vadrel.sources", "m.fsp", "-o", "m.fsp"],
    ["-m", "vadrel.sources", "m.fsp", "-o", "l.txt"],
    ["-m", "vadrel.sources", "m.fsp", "-o", "./sub/../m.fsp"],
    ["-m", "vadrel.tsunami", "m.fsp", "--region", "-121", "-120", "35", "36", "--spacing", "1", "-o", "m.fsp"],
    ["-m", "vadrel.plot", "m.fsp", "-o", "l.txt"],
    ["-m", "vadrel.invert", "d.txt", "--start", "s.txt", "-o", "s.txt"],
    ["-m", "vadrel.invert", "d.txt", "--start", "s.txt", "-o", "d.txt"],
    ["-m", "vadrel.invert", "d.txt", "--start", "s.txt", "-o", "fit.txt", "--plot", "fit.json"],
    ["-m", "vadrel.invert", "d.txt", "--start", "s.txt", "-o", "fit.txt", "--plot", "s.txt"],
])
def test_outputs_that_are_inputs_are_refused_before_any_work(tmp_path, case):
    shutil.copy(PARK, tmp_path / "m.fsp")
    shutil.copy(SOURCE / "examples" / "sarez_start.txt", tmp_path / "s.txt")
    shutil.copy(SAREZ, tmp_path / "d.txt")
    (tmp_path / "sub").mkdir()
    (tmp_path / "l.txt").symlink_to("m.fsp")
    before = {p.name: p.read_bytes() for p in tmp_path.iterdir() if p.is_file()}
    r = run(tmp_path, *case)
    one_line(r, 2)
    assert "refusing to write" in r.stderr
    after = {p.name: p.read_bytes() for p in tmp_path.iterdir() if p.is_file()}
    assert after == before


@pytest.mark.parametrize("case, status", [
    (["-m", "vadrel.sources", "missing.fsp", "-o", "f.txt"], 1),
    (["-m", "vadrel.sources", "-o"], 2),
    (["-m", "vadrel.tsunami", "m", "--region", "1", "2", "3"], 2),
    (["-m", "vadrel.invert", "--start", "s.txt"], 2),
    (["-m", "vadrel.plot", "missing.print"], 1),
])
def test_errors_are_one_line(tmp_path, case, status):
    one_line(run(tmp_path, *case), status)


@pytest.mark.parametrize("error, status, text", [
    ("MemoryError('6.0 GiB for the Green functions')", 1, "out of memory: 6.0 GiB"),
    ("RuntimeError('unexpected')", 1, "RuntimeError: unexpected"),
    ("KeyboardInterrupt()", -2, "interrupted"),
])
def test_the_runner_turns_anything_into_one_line(tmp_path, error, status, text):
    code = ("import sys\nfrom vadrel.cli import command\n"
            f"@command('prog')\ndef main(argv=None):\n    raise {error}\nsys.exit(main())\n")
    r = run(tmp_path, "-c", code)
    one_line(r, status)
    assert f"prog: error: {text}" in r.stderr


def test_a_picture_that_cannot_be_written_keeps_the_earlier_one(tmp_path):
    # A file-size limit (as a full disk): the earlier picture stays whole,
    # the message names the file, and no temporary is left.
    import resource
    shutil.copy(PARK, tmp_path / "m.fsp")
    (tmp_path / "map.png").write_bytes(b"an earlier picture")
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(os.path.abspath(vadrel.__file__))))
    r = subprocess.run([sys.executable, "-m", "vadrel.plot", "m.fsp", "--no-coast", "-o", "map.png"], cwd=tmp_path,
                       env=env, capture_output=True, text=True, timeout=300,
                       preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096)))
    one_line(r, 1)
    assert "map.png: cannot write: File too large" in r.stderr
    assert (tmp_path / "map.png").read_bytes() == b"an earlier picture"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["m.fsp", "map.png"]
