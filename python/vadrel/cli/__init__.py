"""The command lines: ``python3 -m vadrel.sources``, ``vadrel.tsunami``,
``vadrel.invert`` and ``vadrel.plot`` (one module each, ``main(argv)``
returning the exit status).  A failure ends in one line on standard error
and a non-zero status, never a traceback; warnings are one line each."""
from __future__ import annotations

import sys
import warnings
from contextlib import contextmanager

__all__ = ["warnings_as_lines", "quiet_pipe"]


@contextmanager
def warnings_as_lines(prog, stream=None):
    """Warnings raised inside the block printed as ``prog: warning: text``
    lines on standard error (once each) when it ends."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            yield caught
        finally:
            seen = set()
            out = stream or sys.stderr
            for w in caught:
                text = str(w.message)
                if text not in seen and not issubclass(w.category, DeprecationWarning):
                    seen.add(text)
                    out.write(f"{prog}: warning: {text}\n")
            out.flush()


def quiet_pipe():
    """Standard output's reader went away (``| head``): say nothing more."""
    try:
        sys.stderr.close()
    except OSError:
        pass
