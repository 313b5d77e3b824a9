"""Shared pieces of the text readers: a file's lines with their numbers,
errors that name the file, the line and the reason, numbers read as Fortran
writes them, ``name = value`` statements and names with a unit.

Everything here works on tokens split at white space and scans each token
once: no pattern that can backtrack, so a reader's time stays linear in the
size of its file whatever a line holds (a 2 MB word, a 40,000-digit
number)."""
from __future__ import annotations

import math
import os

from vadrel import PathLike

__all__ = ["Source", "MAX_NUMBER", "MAX_STATEMENTS", "number", "is_number", "leading_number", "read_source",
           "statements", "name_and_unit", "whole"]

#: Longest token taken as a number; a longer one is "not a number" without
#: being parsed (no file writes a number of more than a few dozen digits).
MAX_NUMBER = 64

_NUMBER_CHARS = frozenset("0123456789+-.eEdD")
_NUMBER_START = frozenset("0123456789+-.")

#: Most ``name = value`` statements read from one line (a header line
#: holds a handful).
MAX_STATEMENTS = 256


class Source:
    """Lines of a file with their numbers, and errors that name them."""

    def __init__(self, path: str, text: str) -> None:
        self.path = path
        self.lines = text.splitlines()

    def error(self, number: int, reason: str) -> ValueError:
        return ValueError(f"{self.path}: line {number}: {reason}")


def _parse(token):
    """``token`` as a float, or None: digits, a sign, a point, an exponent
    (E or D) only -- no ``nan``, ``inf``, underscores or blanks."""
    if not token or len(token) > MAX_NUMBER or not _NUMBER_CHARS.issuperset(token):
        return None
    try:
        return float(token.replace("D", "E").replace("d", "e"))
    except ValueError:
        return None


def is_number(token: str) -> bool:
    """True for a finite number as the text files write them."""
    v = _parse(token)
    return v is not None and math.isfinite(v)


def number(src: Source, line: int, token: str, what: str) -> float:
    """``token`` of line ``line`` as a finite float (a D exponent taken);
    ``ValueError`` naming the file, the line and ``what`` otherwise."""
    v = _parse(token)
    if v is None:
        shown = token if len(token) <= 40 else token[:20] + f"... ({len(token)} characters)"
        low = token.lower().lstrip("+-")
        if low in ("nan", "inf", "infinity"):
            raise src.error(line, f"{what}: {shown!r} is not a finite number")
        raise src.error(line, f"{what}: {shown!r} is not a number")
    if not math.isfinite(v):
        raise src.error(line, f"{what}: {token!r} is not a finite number")
    return v


def whole(src: Source, line: int, token: str, what: str, low: int = 0, high: int = 10 ** 9) -> int:
    """``token`` as a whole number from ``low`` to ``high``."""
    v = number(src, line, token, what)
    if v != int(v) or not low <= v <= high:
        raise src.error(line, f"{what}: {token!r} is not a whole number from {low} to {high}")
    return int(v)


def leading_number(token: str) -> tuple[float | None, str]:
    """The number a token starts with and the rest (``"17.93km"`` gives
    ``(17.93, "km")``), or ``(None, token)``."""
    if not token or len(token) > MAX_NUMBER + 16 or token[0] not in _NUMBER_START:
        return None, token
    end = 0
    while end < len(token) and token[end] in _NUMBER_CHARS:
        end += 1
    for cut in (end, end - 1):
        if cut > 0:
            v = _parse(token[:cut])
            if v is not None and math.isfinite(v):
                return v, token[cut:]
    return None, token


def statements(text: str) -> list[tuple[str, float, str]]:
    """``name = value`` statements of a line, in order: ``[(name, value,
    unit)]`` with ``name`` as written, ``value`` a float and ``unit`` the word
    written against the number or after it (``Dx= 25.00 km``, ``Dx =2.00km``
    and ``Dx=25`` all read).  Values that are not numbers are left out; at
    most :data:`MAX_STATEMENTS` are read."""
    if text.count("=") > MAX_STATEMENTS:
        end = -1
        for _ in range(MAX_STATEMENTS + 1):
            end = text.find("=", end + 1)
        text = text[:end]
    toks = text.replace("=", " = ").split()
    out = []
    for i, tok in enumerate(toks):
        if tok != "=" or i == 0 or i + 1 >= len(toks) or toks[i - 1] == "=":
            continue
        if len(out) >= MAX_STATEMENTS:
            break
        value, unit = leading_number(toks[i + 1])
        if value is None:
            continue
        if not unit and i + 2 < len(toks) and toks[i + 2] != "=" and \
                (i + 3 >= len(toks) or toks[i + 3] != "=") and toks[i + 2].isalpha() and len(toks[i + 2]) <= 4:
            unit = toks[i + 2]
        out.append((toks[i - 1], value, unit))
    return out


def name_and_unit(name: str) -> tuple[str, str]:
    """A column name split into its name and the unit written with it:
    ``slip(cm)``, ``Depth (km)``, ``depth[m]`` give ``("slip", "cm")``,
    ``("Depth", "km")``, ``("depth", "m")``; no unit gives ``""``."""
    for open_, close in (("(", ")"), ("[", "]")):
        a = name.find(open_)
        if a > 0:
            b = name.find(close, a + 1)
            inside = name[a + 1:b] if b > a else name[a + 1:]
            return (name[:a] + (name[b + 1:] if b > a else "")).strip(), inside.strip()
    return name.strip(), ""


def read_source(path: PathLike) -> Source:
    """A text file (UTF-8, else Latin-1; a byte-order mark dropped) as a
    :class:`Source`; ``ValueError`` for a file that is not text (a NUL
    character), ``OSError`` when it cannot be read."""
    path = os.fspath(path)
    with open(path, "rb") as f:
        data = f.read()
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        # Older files written in Latin-1 ("Strike (\xb0)"): every byte is a character.
        text = data.decode("latin-1")
    if "\x00" in text:
        line = text.count("\n", 0, text.index("\x00")) + 1
        raise ValueError(f"{path}: line {line}: not a text file (a NUL character)")
    return Source(path, text.lstrip("\ufeff"))
