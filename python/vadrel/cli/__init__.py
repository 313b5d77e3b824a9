"""The command lines: ``python3 -m vadrel.sources``, ``vadrel.tsunami``,
``vadrel.invert`` and ``vadrel.plot`` (one module each, ``main(argv)``
returning the exit status).  A failure ends in one line on standard error
and a non-zero status, never a traceback; warnings are one line each."""
from __future__ import annotations

import argparse
import functools
import os
import signal
import sys
import warnings
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Callable, Iterable, NoReturn, Sequence, TextIO

from ..io import files

__all__ = ["warnings_as_lines", "quiet_pipe", "UsageError", "Parser", "command", "check_files"]


class UsageError(ValueError):
    """A command line that cannot be run as given: one line, exit status 2."""


class Parser(argparse.ArgumentParser):
    """argparse whose errors are a :class:`UsageError` (one line, status 2)."""

    def error(self, message: str) -> NoReturn:
        raise UsageError(f"{message} (see --help)")


def check_files(outputs: Iterable, inputs: Iterable = ()) -> None:
    """Refuse, before any work, an output that is one of the inputs or
    another output (``(label, path)`` pairs or paths; the same file through
    any spelling or link): :class:`UsageError` naming both."""
    try:
        files.check_outputs(outputs, inputs)
    except ValueError as e:
        raise UsageError(str(e)) from None


def command(prog: str) -> Callable[[Callable[..., int]], Callable[..., int]]:
    """Decorator of a command line's ``main(argv) -> int``: whatever goes
    wrong ends in one line on standard error and a non-zero status, never a
    traceback.

    * :class:`UsageError` (bad arguments, outputs that would destroy inputs): 2;
    * ``ValueError``, ``OSError``, ``MemoryError`` and anything unexpected: 1;
    * Ctrl-C (SIGINT): "interrupted", then the process ends by the signal
      itself (status 130 in a shell), as an interrupted program should;
    * a closed standard output (``| head``): silence, status 1.
    """
    def wrap(main: Callable[..., int]) -> Callable[..., int]:
        @functools.wraps(main)
        def run(argv: Sequence[str] | None = None) -> int:
            def fail(text, status):
                try:
                    sys.stderr.write(f"{prog}: error: {text}\n")
                    sys.stderr.flush()
                except (OSError, ValueError):
                    pass
                return status
            try:
                return main(argv)
            except UsageError as e:
                return fail(e, 2)
            except SystemExit as e:
                raise e
            except BrokenPipeError:
                quiet_pipe()
                return 1
            except MemoryError as e:
                return fail(f"out of memory{': ' + str(e) if str(e) else ''}", 1)
            except KeyboardInterrupt:
                fail("interrupted", 130)
                signal.signal(signal.SIGINT, signal.SIG_DFL)
                os.kill(os.getpid(), signal.SIGINT)
                return 130
            except (ValueError, OSError) as e:
                return fail(e, 1)
            except Exception as e:  # anything else still ends in one line
                return fail(f"{type(e).__name__}: {e}", 1)
        return run
    return wrap


@contextmanager
def warnings_as_lines(prog: str, stream: TextIO | None = None) -> Iterator[list[warnings.WarningMessage]]:
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


def quiet_pipe() -> None:
    """Standard output's reader went away (``| head``): say nothing more."""
    try:
        sys.stderr.close()
    except OSError:
        pass
