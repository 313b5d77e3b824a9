"""Shared pieces of the text readers: a file's lines with their numbers,
errors that name the file, the line and the reason, and numbers read as
Fortran writes them."""
from __future__ import annotations

import math
import os

__all__ = ["Source", "NUMBER", "number", "read_source"]

#: A number as the text files write them (a D exponent taken).
NUMBER = r"[-+]?(?:\d+\.?\d*|\.\d+)(?:[eEdD][-+]?\d+)?"


class Source:
    """Lines of a file with their numbers, and errors that name them."""

    def __init__(self, path, text):
        self.path = path
        self.lines = text.splitlines()

    def error(self, number, reason):
        return ValueError(f"{self.path}: line {number}: {reason}")


def number(src, line, token, what):
    """``token`` of line ``line`` as a finite float (a D exponent taken);
    ``ValueError`` naming the file, the line and ``what`` otherwise."""
    try:
        v = float(token.replace("D", "E").replace("d", "e"))
    except ValueError:
        raise src.error(line, f"{what}: {token!r} is not a number") from None
    if not math.isfinite(v):
        raise src.error(line, f"{what}: {token!r} is not a finite number")
    return v


def read_source(path) -> Source:
    """A UTF-8 text file (a byte-order mark dropped) as a :class:`Source`;
    ``ValueError`` for a file that is not text, ``OSError`` when it cannot be
    read."""
    path = os.fspath(path)
    with open(path, encoding="utf-8", errors="strict") as f:
        try:
            text = f.read()
        except UnicodeDecodeError as e:
            raise ValueError(f"{path}: line 1: not a text file ({e.reason})") from None
    return Source(path, text.lstrip("\ufeff"))
