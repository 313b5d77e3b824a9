"""The package's layout: no module imports one above it, modules stay
small, the old public names still answer, and no picture module chooses a
matplotlib backend when imported."""
import ast
import pathlib
import subprocess
import sys

import pytest

from conftest import SOURCE

PACKAGE = SOURCE / "python" / "vadrel"
#: Lowest first; the compiled core's face (vadrel/__init__.py), the core
#: itself and dask sit at the bottom with geodesy; any __main__ at the top.
ORDER = ["geodesy", "geometry", "io", "sources", "tsunami", "insar", "invert", "plot", "cli"]
BOTTOM = {"_vadrel", "_moved", "geodesy", "dask"}


def module_name(path):
    parts = list(path.relative_to(PACKAGE.parent).with_suffix("").parts)
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts), parts[-1] == "__init__"


def rank(name):
    parts = name.split(".")
    if parts[0] != "vadrel":
        return None
    if parts[-1] == "__main__":
        return len(ORDER)
    if len(parts) == 1 or parts[1] in BOTTOM:
        return 0
    return ORDER.index(parts[1])


def imports(tree):
    """(line, module) of every import, leaving out the two places meant for
    names kept for callers: a module-level ``__getattr__`` and an ``if
    __name__ == "__main__"`` block."""
    def skip(node):
        if isinstance(node, ast.FunctionDef) and node.name == "__getattr__":
            return True
        return isinstance(node, ast.If) and "__main__" in ast.unparse(node.test)

    stack = [n for n in tree.body if not skip(n)]
    while stack:
        node = stack.pop()
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            yield node
        stack.extend(ast.iter_child_nodes(node))


def targets(node, name, is_package):
    if isinstance(node, ast.Import):
        return [a.name for a in node.names]
    if node.level == 0:
        return [node.module]
    base = name.split(".")
    base = base[:len(base) - node.level + (1 if is_package else 0)]
    if node.module:
        return [".".join(base + [node.module])]
    return [".".join(base + [a.name]) for a in node.names]


MODULES = sorted(PACKAGE.rglob("*.py"))


@pytest.mark.parametrize("path", MODULES, ids=lambda p: str(p.relative_to(PACKAGE)))
def test_no_module_imports_one_above_it(path):
    name, is_package = module_name(path)
    own = rank(name)
    for node in imports(ast.parse(path.read_text())):
        for target in targets(node, name, is_package):
            r = rank(target)
            assert r is None or r <= own, f"{name} (line {node.lineno}) imports {target}, above it"


@pytest.mark.parametrize("path", MODULES, ids=lambda p: str(p.relative_to(PACKAGE)))
def test_modules_stay_small(path):
    assert len(path.read_text().splitlines()) <= 520


def test_the_order_is_checked():
    # The checker itself: an upward import is found, a lateral one is not.
    tree = ast.parse("from ..plot import x\nfrom . import frames\nimport numpy\n"
                     "def __getattr__(n):\n    from ..cli import y\n")
    found = [t for n in imports(tree) for t in targets(n, "vadrel.tsunami.dtopo", False)]
    assert sorted(found) == ["numpy", "vadrel.plot", "vadrel.tsunami.frames"]
    assert rank("vadrel.plot") > rank("vadrel.tsunami.dtopo") and rank("vadrel.io.csv") < rank("vadrel.sources")


@pytest.mark.parametrize("module, names", [
    ("vadrel", ["Segment", "Faults", "read_faults", "displacement", "range_change", "strain", "partials",
                "patch_displacement", "utm", "run", "read_grid", "cell_points", "regular_grid", "uplift",
                "read_ini", "read_depth", "write_faults", "STRAIN_COLUMNS", "PARTIAL_COLUMNS", "PATCH_COLUMNS"]),
    ("vadrel.sources", ["SUBFAULT_DTYPE", "FiniteFault", "read", "segment_arrays", "subfault_corners",
                        "offset_lonlat", "grid_strike", "moment_magnitude", "summary", "write_faults",
                        "plot_finite_fault", "main"]),
    ("vadrel.tsunami", ["DTopo", "dtopo", "read_bathymetry", "read_dtopo", "plot_dtopo", "FORMATS", "main",
                        "kajiura_filter", "horizontal_term", "ramp_weights", "rupture_end", "subfault_outlines"]),
    ("vadrel.invert", ["Dataset", "load_dataset", "fit_fault", "FaultFit", "fit_slip", "SlipFit", "lcurve",
                       "write_faults", "plot_fit", "plot_slip", "main", "PARAMETERS", "DEFAULT_FREE"]),
    ("vadrel.plot", ["read_print_file", "read_ini_file", "ini_shape", "segment_outline", "plot_print_file",
                     "plot_ini", "plot_finite_fault", "plot_dtopo", "plot_fit", "plot_slip", "main",
                     "AliasWarning"]),
])
def test_public_names_answer_where_they_did(module, names):
    import importlib
    m = importlib.import_module(module)
    for n in names:
        assert getattr(m, n) is not None, f"{module}.{n}"
    with pytest.raises(AttributeError):
        m.no_such_name


def test_one_write_faults_everywhere():
    import vadrel
    import vadrel.invert
    import vadrel.io.faults
    import vadrel.sources
    assert vadrel.write_faults is vadrel.sources.write_faults is vadrel.invert.write_faults \
        is vadrel.io.faults.write_faults


def test_importing_the_pictures_chooses_no_backend():
    code = ("import matplotlib, sys\nbefore = matplotlib.rcParams._get_backend_or_none()\n"
            "import vadrel.plot, vadrel.sources, vadrel.tsunami, vadrel.invert\n"
            "print('pyplot' in ' '.join(sys.modules), matplotlib.rcParams._get_backend_or_none() == before)")
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                       env={"PYTHONPATH": ":".join(sys.path), "MPLBACKEND": ""})
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["False", "True"]


def test_the_older_argument_order_of_write_faults_still_writes_with_a_warning(tmp_path):
    import vadrel
    from vadrel import invert
    faults = vadrel.Faults([vadrel.Segment(X=1.5, Y=-2.0, strike=30.0, depth=10.0, dip=45.0, lam=3e10, mu=3e10,
                                           U1=100.0, U2=200.0, U3=0.0, L=10.0, W=5.0, name="a")])
    vadrel.write_faults(faults, tmp_path / "new.txt", comments=["x"])
    with pytest.warns(DeprecationWarning, match="write_faults\\(faults, path\\)"):
        invert.write_faults(tmp_path / "old.txt", faults, comments=["x"])
    assert (tmp_path / "old.txt").read_text() == (tmp_path / "new.txt").read_text()
    back = vadrel.read_faults(tmp_path / "old.txt").segments[0]
    assert (back.X, back.Y, back.U2, back.name) == (1.5, -2.0, 200.0, "a")
    with pytest.raises(ValueError, match="expected a vadrel.Faults"):
        vadrel.write_faults("a", "b")
