"""Names a module keeps for its callers after they moved to a module above
it (the pictures, the command lines, the file formats): the module's
``__getattr__`` resolves them on first use, so that importing it imports
nothing above it."""
from __future__ import annotations

import importlib
from collections.abc import Callable, Mapping
from typing import Any

__all__ = ["moved"]


def moved(owner: str, names: Mapping[str, str]) -> Callable[[str], Any]:
    """A module ``__getattr__`` for ``owner`` (the module's ``__name__``)
    answering each of ``names`` (name -> "module" or "module:attribute")
    from where it lives now."""
    def __getattr__(name):
        where = names.get(name)
        if where is None:
            raise AttributeError(f"module {owner!r} has no attribute {name!r}")
        module, _, attribute = where.partition(":")
        return getattr(importlib.import_module(module), attribute or name)
    return __getattr__
