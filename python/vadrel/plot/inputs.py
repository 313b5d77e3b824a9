"""What a file given to the pictures holds, from its content and not its
name, and the tsunami sources read whichever layout they are in.

:func:`kind_of` tells apart

``dtopo``
    a tsunami source: NetCDF (netCDF-3 or netCDF-4, by its first bytes), a
    headed grid (the tt3 layout's ``value name`` header lines, or an ESRI
    ASCII grid's ``name value`` ones) or the tt1 layout (lines of four
    numbers ``t lon lat dz``);
``model``
    a finite-fault model, whatever :func:`vadrel.io.recognise.detect`
    recognises (subfault table, rupture-model database file, subfault CSV);
``print``
    a print file of the program (``*`` header lines, fixed-width records);

and raises ``ValueError`` naming the file, its first line and the kinds it
expected when the file is none of them.  Initial-condition files (``.ini``)
hold bare numbers that say nothing of their grid: they are known by their
name (see :mod:`vadrel.cli.plot`)."""
from __future__ import annotations

import codecs
import os

import numpy as np

import vadrel
from vadrel import PathLike
from ..io import grids
from ..io import recognise as _recognise
from ..io.print_file import read_print_file
from ..io.text import Source, read_source
from ..tsunami import DTopo, read_dtopo

__all__ = ["KINDS", "kind_of", "read_tt1", "read_tsunami_source"]

#: What :func:`kind_of` answers.
KINDS = ("dtopo", "model", "print")

# Header names of the headed grid layouts (tt3, ESRI ASCII).
_HEADED = {"mx", "my", "mt", "xlower", "ylower", "t0", "dx", "dy", "dt", "ncols", "nrows", "xllcorner",
           "xllcenter", "xllcentre", "yllcorner", "yllcenter", "yllcentre", "cellsize", "nodata_value"}

_EXPECTED = ("expected a finite-fault model (subfault table, rupture-model database file or subfault CSV), a "
             "tsunami source (tt3, tt1 or NetCDF), a print file of the program or an initial-condition file "
             "(.ini)")


def _first(src: Source) -> tuple[int, list[str]]:
    """Number and words of the first line that is not blank (0 and none for
    an empty file)."""
    for number, line in enumerate(src.lines, 1):
        if line.strip():
            return number, line.split()
    return 0, []


def _is_number(word: str) -> bool:
    try:
        float(word)
    except ValueError:
        return False
    return True


def _headed(words: list[str]) -> bool:
    return len(words) >= 2 and (words[1].lower() in _HEADED or words[0].lower() in _HEADED)


def _tt1(src: Source, lines: int = 20) -> bool:
    """The first ``lines`` lines that are not blank each four numbers."""
    seen = 0
    for line in src.lines:
        words = line.split()
        if not words:
            continue
        if len(words) != 4 or not all(_is_number(w) for w in words):
            return False
        seen += 1
        if seen == lines:
            break
    return seen > 0


def _head(path: str, size: int = 1 << 18) -> Source:
    """The whole lines of the first ``size`` bytes of a text file (what
    tells its kind, read in the same time whatever the file's size);
    ``ValueError`` for a file that is not UTF-8 text."""
    with open(path, "rb") as f:
        data = f.read(size + 1)
    whole = len(data) <= size
    if not whole:
        data = data[:data.rfind(b"\n", 0, size) + 1] or data[:size]
    try:
        text = codecs.getincrementaldecoder("utf-8")().decode(data, final=whole)
    except UnicodeDecodeError as e:
        line = data.count(b"\n", 0, e.start) + 1
        raise ValueError(f"{path}: line {line}: not a text file ({e.reason}): {_EXPECTED}") from None
    return Source(path, text.lstrip("\ufeff"))


def kind_of(path: PathLike) -> str:
    """``"dtopo"``, ``"model"`` or ``"print"``: what the file holds, from its
    content (see the module's description).  ``ValueError`` naming the file
    and line when it is none of them, ``OSError`` when it cannot be read."""
    path = os.fspath(path)
    if grids.is_netcdf(path):
        return "dtopo"
    src = _head(path)
    number, words = _first(src)
    if number == 0:
        raise ValueError(f"{path}: line 1: the file is empty: {_EXPECTED}")
    if _headed(words):
        return "dtopo"
    try:
        _recognise.detect(src)
        return "model"
    except ValueError:
        pass
    if _tt1(src):
        return "dtopo"
    try:
        if read_print_file(path):
            return "print"
    except ValueError:
        pass
    raise ValueError(f"{path}: line {number}: not a file to draw ({' '.join(words)[:40]!r}): {_EXPECTED}")


def read_tt1(path: PathLike) -> DTopo:
    """A tsunami source in the tt1 layout: lines ``t lon lat dz`` (any
    order of nodes and frames, every node of every frame once).
    ``ValueError`` naming the file and line of anything else."""
    src = read_source(path)
    kept = []
    for number, line in enumerate(src.lines, 1):
        words = line.split()
        if not words:
            continue
        if len(words) != 4:
            raise src.error(number, f"expected four numbers (t lon lat dz), found {len(words)} fields")
        kept.append(number)
    if not kept:
        raise src.error(1, "the file is empty")
    vadrel._require_memory(len(kept), 4 * 8 * 4, f"reading the {len(kept)} lines of {src.path}")
    values = np.empty((len(kept), 4))
    step = 1 << 16                      # lines parsed at once: the text of a chunk, not of the file, in words
    for a in range(0, len(kept), step):
        chunk = kept[a:a + step]
        try:
            values[a:a + len(chunk)] = np.array(" ".join(src.lines[n - 1] for n in chunk).split(),
                                                dtype=float).reshape(-1, 4)
            good = bool(np.all(np.isfinite(values[a:a + len(chunk)])))
        except ValueError:
            good = False
        if not good:
            _bad_number(src, chunk)
    t, lon, lat, dz = values.T
    times, it = np.unique(t, return_inverse=True)
    xs, ix = np.unique(lon, return_inverse=True)
    ys, iy = np.unique(lat, return_inverse=True)
    size = len(times) * len(xs) * len(ys)
    if size != len(values):
        raise src.error(kept[-1], f"{len(values)} lines do not fill a grid of {len(times)} times, {len(ys)} "
                                  f"latitudes and {len(xs)} longitudes ({size} nodes)")
    vadrel._require_memory(size, 16, f"a source of {len(times)} x {len(ys)} x {len(xs)} nodes")
    flat = (it * len(ys) + iy) * len(xs) + ix
    _, first = np.unique(flat, return_index=True)
    if len(first) < len(flat):
        again = np.ones(len(flat), dtype=bool)
        again[first] = False
        k = int(np.flatnonzero(again)[0])
        raise src.error(kept[k], f"node ({lon[k]:g}, {lat[k]:g}) at t = {t[k]:g} given twice")
    grid = np.empty(size)
    grid[flat] = dz
    return DTopo(xs, ys, times, grid.reshape(len(times), len(ys), len(xs)))


def _bad_number(src: Source, numbers: list[int]):
    """``ValueError`` naming the first of these lines with a word that is
    not a finite number."""
    for n in numbers:
        for w in src.lines[n - 1].split():
            try:
                v = float(w)
            except ValueError:
                raise src.error(n, f"{w!r} is not a number") from None
            if not np.isfinite(v):
                raise src.error(n, f"{w!r} is not a finite number")


def read_tsunami_source(path: PathLike) -> DTopo:
    """A tsunami source in any layout :func:`kind_of` knows (NetCDF as
    :meth:`vadrel.tsunami.DTopo.write` writes it, a headed grid, tt1),
    recognised from its content."""
    path = os.fspath(path)
    if kind_of(path) != "dtopo":
        raise ValueError(f"{path}: line 1: not a tsunami source (tt3, tt1 or NetCDF)")
    if grids.is_netcdf(path):
        return read_dtopo(path)
    return read_dtopo(path) if _headed(_first(_head(path))[1]) else read_tt1(path)
