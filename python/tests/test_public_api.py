"""The package's public face: every public function and method annotated, every module with
an ``__all__`` of names it has, and every name the README and ``doc/`` show answering where
they show it (and listed in that module's ``__all__``)."""
import ast
import importlib
import re
import types

import numpy as np
import pytest

from conftest import SOURCE

PACKAGE = SOURCE / "python" / "vadrel"
MODULES = sorted(PACKAGE.rglob("*.py"))
DOCS = [SOURCE / "README.md"] + sorted((SOURCE / "doc").glob("*.md"))

#: Doc pages with a table of calls (header "call"): the module its bare names are in.
CALL_TABLES = {"python.md": "vadrel", "insar.md": "vadrel.insar", "slip.md": "vadrel.invert.slip"}

#: Dotted names in the docs that are not the package's: placeholders.
PLACEHOLDERS = {"vadrel.NAME"}   # python3 -m vadrel.NAME, any command line


def rel(path):
    return str(path.relative_to(PACKAGE))


def module_name(path):
    parts = list(path.relative_to(PACKAGE.parent).with_suffix("").parts)
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def unannotated(tree):
    """(line, name, what is missing) for each public function, method (properties included)
    and constructor of a public class without full annotations (parameters but self/cls, return)."""
    out = []

    def check(fn, qual, method):
        a = fn.args
        params = a.posonlyargs + a.args
        static = any(isinstance(d, ast.Name) and d.id == "staticmethod" for d in fn.decorator_list)
        if method and not static and params:
            params = params[1:]
        missing = [p.arg for p in params + a.kwonlyargs if p.annotation is None]
        missing += [prefix + v.arg for prefix, v in (("*", a.vararg), ("**", a.kwarg))
                    if v is not None and v.annotation is None]
        if fn.returns is None:
            missing.append("return")
        if missing:
            out.append((fn.lineno, qual + fn.name, missing))

    def walk(body, qual, method):
        for node in body:
            if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
                if not node.name.startswith("_") or (method and node.name in ("__init__", "__new__")):
                    check(node, qual, method)
            elif isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
                walk(node.body, qual + node.name + ".", True)
            elif isinstance(node, ast.If):
                walk(node.body + node.orelse, qual, method)

    walk(tree.body, "", False)
    return out


def test_the_annotation_check_finds_what_is_missing():
    tree = ast.parse(
        "def f(a: int, b, *c, d=1, **e) -> int: ...\n"
        "def g(a: int): ...\n"
        "def _private(a): ...\n"
        "def outer() -> None:\n    def inner(x): ...\n"
        "class C:\n"
        "    def __init__(self, y): ...\n"
        "    def __repr__(self): ...\n"
        "    @property\n    def p(self): ...\n"
        "    @staticmethod\n    def s(x) -> None: ...\n"
        "    @classmethod\n    def k(cls, z: int) -> 'C': ...\n"
        "    def fine(self, *a: int, **k: str) -> None: ...\n"
        "class _Hidden:\n    def m(self, x): ...\n"
        "if True:\n    def h(q) -> None: ...\n")
    found = [(name, missing) for _, name, missing in unannotated(tree)]
    assert found == [("f", ["b", "d", "*c", "**e"]), ("g", ["return"]), ("C.__init__", ["y", "return"]),
                     ("C.p", ["return"]), ("C.s", ["x"]), ("h", ["q"])]


@pytest.mark.parametrize("path", MODULES, ids=rel)
def test_every_public_function_is_annotated(path):
    gaps = unannotated(ast.parse(path.read_text()))
    assert not gaps, "\n".join(f"{rel(path)}:{line}: {name}: no annotation for {', '.join(m)}"
                               for line, name, m in gaps)


def test_one_file_name_type_for_the_whole_package():
    import vadrel.io.files
    written = [rel(p) for p in MODULES if re.search(r"^PathLike\s*=", p.read_text(), re.M)]
    assert written == ["__init__.py"]
    assert vadrel.io.files.PathLike is vadrel.PathLike


def declared_all(tree):
    """The literal ``__all__`` of a module, or None."""
    for node in tree.body:
        target = node.targets[0] if isinstance(node, ast.Assign) and len(node.targets) == 1 else \
            getattr(node, "target", None)
        if isinstance(target, ast.Name) and target.id == "__all__":
            return ast.literal_eval(node.value)
    return None


def public_definitions(tree):
    """Names a module defines at its top level and does not mark private."""
    names = []
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            names.append(node.name)
        elif isinstance(node, ast.Assign):
            names += [t.id for t in node.targets if isinstance(t, ast.Name)]
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.append(node.target.id)
    return [n for n in names if not n.startswith("_")]


@pytest.mark.parametrize("path", MODULES, ids=rel)
def test_every_module_lists_its_public_names(path):
    tree = ast.parse(path.read_text())
    names = declared_all(tree)
    assert names is not None, f"{rel(path)} has no __all__"
    assert len(set(names)) == len(names), f"{rel(path)}: a name twice in __all__"
    missing = [n for n in public_definitions(tree) if n not in names]
    assert not missing, f"{rel(path)}: public names not in __all__: {missing}"
    if path.name == "__main__.py":
        return                          # importing one runs its command line
    module = importlib.import_module(module_name(path))
    for n in names:                     # an attribute, or a submodule of that name
        assert (getattr(module, n) if hasattr(module, n) else importlib.import_module(f"{module.__name__}.{n}")) \
            is not None, f"{module.__name__}.{n}"


def resolve(dotted):
    """The object a dotted name gives: the longest prefix that imports, then attributes; the
    first attribute of a module must be in its ``__all__``."""
    parts = dotted.split(".")
    for k in range(len(parts), 0, -1):
        try:
            obj = importlib.import_module(".".join(parts[:k]))
        except ModuleNotFoundError:
            continue
        for i, p in enumerate(parts[k:]):
            if i == 0 and not p.startswith("__"):
                assert p in obj.__all__, f"{dotted}: {p} is not in {obj.__name__}.__all__"
            assert hasattr(obj, p), f"{dotted}: {'.'.join(parts[:k + i])} has no {p}"
            obj = getattr(obj, p)
        return obj
    raise AssertionError(f"{dotted}: no such module")


#: A dotted name of the package in prose or code (not inside a word or a name like libvadrel.a).
DOTTED = re.compile(r"(?<![\w./-])vadrel(?:\.[A-Za-z_]\w*)+")


def imports_in(text):
    """alias -> module, from a page's ``import vadrel.x as y`` and ``from vadrel[.x] import a, b``
    lines, and the names those ``from`` lines take."""
    aliases, taken = {}, []
    for m in re.finditer(r"^\s*import (vadrel(?:\.\w+)*) as (\w+)", text, re.M):
        aliases[m.group(2)] = m.group(1)
    for m in re.finditer(r"^\s*from (vadrel(?:\.\w+)*) import ([\w, ]+)$", text, re.M):
        for name in (n.strip() for n in m.group(2).split(",")):
            taken.append(f"{m.group(1)}.{name}")
            if isinstance(resolve(f"{m.group(1)}.{name}"), types.ModuleType):
                aliases[name] = f"{m.group(1)}.{name}"
    return aliases, taken


@pytest.mark.parametrize("doc", DOCS, ids=lambda p: p.name)
def test_names_the_docs_write_import_and_use_resolve(doc):
    text = doc.read_text()
    aliases, taken = imports_in(text)
    for dotted in sorted(set(DOTTED.findall(text)) - PLACEHOLDERS) + taken:
        resolve(dotted)
    code = "\n".join(re.findall(r"```python\n(.*?)```", text, re.S) + re.findall(r"`([^`\n]+)`", text))
    for alias, module in aliases.items():
        for name in set(re.findall(rf"(?<![\w./-]){alias}\.([A-Za-z_]\w*)", code)):
            resolve(f"{module}.{name}")


def call_tables(text):
    """The first cells of the rows of each table whose header starts with ``call``."""
    tables, rows = [], None
    for line in text.splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")] if line.startswith("|") else None
        if cells is None:
            rows = None
        elif rows is None and cells[0] == "call":
            rows = []
            tables.append(rows)
        elif rows is not None and not set(cells[0]) <= set("-: "):
            rows.append(cells[0])
    return tables


def test_the_call_tables_are_the_known_ones():
    found = {doc.name for doc in DOCS if call_tables(doc.read_text())}
    assert found == set(CALL_TABLES), "a page has a new call table: say which module it documents"


def instances():
    """What the call tables' ``ifg.`` and ``cov.`` stand for."""
    from vadrel.insar import Covariance, Interferogram
    g = np.arange(4.0)
    return {"ifg": Interferogram(g[None, :], g[:, None], np.zeros((4, 4)), (0.0, -0.6, 0.8)),
            "cov": Covariance("exponential", 1.0, 5.0, 0.5)}


@pytest.mark.parametrize("page", sorted(CALL_TABLES))
def test_the_calls_the_docs_table_answer(page):
    objects = instances()
    checked = 0
    for cell in call_tables((SOURCE / "doc" / page).read_text())[0]:
        module = CALL_TABLES[page]
        for span in re.findall(r"`([^`]+)`", cell):
            m = re.match(r"[A-Za-z_][\w.]*", span)
            if m is None or span[m.end():m.end() + 1] not in ("(", ""):
                continue                # an argument list carried on from the span before
            name = m.group(0)
            head, _, rest = name.partition(".")
            if head in objects:
                assert hasattr(objects[head], rest), f"{page}: {name}"
            elif head == "vadrel":
                resolve(name)
                module = name.rpartition(".")[0]     # later bare names of the cell live there
            else:
                resolve(f"{module}.{name}")
            checked += 1
    assert checked >= 8


def test_the_doc_checks_catch_a_missing_name():
    with pytest.raises(AssertionError, match="not in vadrel.__all__"):
        resolve("vadrel._points")
    with pytest.raises(AssertionError, match="has no nothing_here"):
        resolve("vadrel.sources.FiniteFault.nothing_here")
    assert call_tables("| call | result |\n|---|---|\n| `f(x)` | y |\n\n| field | x |\n|---|---|\n| `a` | b |\n") \
        == [["`f(x)`"]]
    aliases, taken = imports_in("```python\nimport vadrel.sources as vs\nfrom vadrel import tsunami, Segment\n```")
    assert aliases == {"vs": "vadrel.sources", "tsunami": "vadrel.tsunami"}
    assert taken == ["vadrel.tsunami", "vadrel.Segment"]
