"""Writing files safely: the one way every writer of the package writes.

What a write does depends on what the path names:

* a regular file (or a new name): the content goes to a temporary beside
  the file, which is renamed over it only when complete, so the file is
  either the whole new one or the old one, never a part; it keeps the old
  file's mode (a new one gets the mode the umask gives, as ``open`` would);
* a symbolic link: followed, so the file it points to is replaced and the
  link stays a link;
* anything else (a device such as ``/dev/null``, a FIFO, a terminal,
  ``/dev/stdout`` or ``/proc/self/fd/N``, whatever they point to): written
  directly, never replaced; the console's own file is appended to, not
  truncated.

SIGINT, SIGTERM and SIGHUP during a write remove the temporary and then end
the process with the signal's own status.  Every error is an ``OSError``
naming the target.  :func:`check_outputs` refuses, before any work, an
output that is one of the run's inputs or another of its outputs.
"""
from __future__ import annotations

import contextlib
import errno
import os
import secrets
import shutil
import signal
import stat
import tempfile
import threading
from typing import Callable, Iterable

from vadrel import PathLike

__all__ = ["replace_file", "write_text", "write_bytes", "check_outputs"]

# Bytes of the target's name kept in its temporary's name: short enough that
# ".<name>.<8 random>.tmp" fits any file system's 255-byte limit.
_NAME_KEPT = 200


class _Interrupted(BaseException):
    """A terminating signal arrived while a temporary existed."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


@contextlib.contextmanager
def _signals_end_cleanly():
    """While a temporary exists: SIGTERM and SIGHUP (whose default action
    would end the process on the spot) raise instead, so the temporary is
    removed on the way out; the signal is delivered again afterwards.  Only
    the main thread can set handlers, and only default handlers are taken
    over: a program's own handlers stay.  SIGINT raises KeyboardInterrupt
    already."""
    saved = {}
    if threading.current_thread() is threading.main_thread():
        for sig in (signal.SIGTERM, signal.SIGHUP):
            if signal.getsignal(sig) == signal.SIG_DFL:
                def handler(signum, frame):
                    raise _Interrupted(signum)
                saved[sig] = signal.signal(sig, handler)
    try:
        yield
    except _Interrupted as e:
        for sig, old in saved.items():
            signal.signal(sig, old)
        saved = {}
        os.kill(os.getpid(), e.signum)
        raise SystemExit(128 + e.signum) from None  # not reached: the default action ends the process
    finally:
        for sig, old in saved.items():
            signal.signal(sig, old)


def _error(path, e, doing="cannot write"):
    return OSError(e.errno, f"{path}: {doing}: {e.strerror or e}")


def _is_console_path(path):
    """/dev/stdout and friends, and the process's own file descriptors:
    names that stand for an open file rather than a place in a directory."""
    a = os.path.abspath(path)
    return a in ("/dev/stdout", "/dev/stderr", "/dev/fd/1", "/dev/fd/2", "/dev/tty") or \
        a.startswith(("/proc/self/fd/", "/dev/fd/", f"/proc/{os.getpid()}/fd/"))


def _same_as_console(st):
    for fd in (1, 2):
        try:
            s = os.fstat(fd)
        except OSError:
            continue
        if (s.st_dev, s.st_ino) == (st.st_dev, st.st_ino):
            return True
    return False


def _direct_target(path):
    """(written directly?, append?) for ``path``."""
    if _is_console_path(path):
        try:
            st = os.stat(path)
        except OSError:
            return True, False
        return True, stat.S_ISREG(st.st_mode)
    try:
        st = os.stat(path)
    except FileNotFoundError:
        return False, False
    except OSError as e:
        raise _error(path, e) from None
    if not stat.S_ISREG(st.st_mode):
        return True, False
    if _same_as_console(st):
        return True, True
    return False, False


def _write_direct(path, write, text, append):
    """Write into the file ``path`` names as it is (a device, a pipe, the
    console)."""
    flags = os.O_WRONLY | (os.O_APPEND if append else 0)
    try:
        fd = os.open(path, flags)
    except OSError as e:
        raise _error(path, e) from None
    try:
        if text:
            with os.fdopen(fd, "w", closefd=True) as f:
                write(f)
            return
        # The writer wants a file name of its own: it writes a scratch file,
        # which is then copied into the target.
        with tempfile.TemporaryDirectory(prefix="vadrel-") as d:
            tmp = os.path.join(d, "out")
            write(tmp)
            with open(tmp, "rb") as src, os.fdopen(fd, "wb", closefd=True) as dst:
                fd = -1
                shutil.copyfileobj(src, dst)
    except OSError as e:
        raise _error(path, e) from None
    finally:
        if fd >= 0 and not text:
            os.close(fd)


def _temporary_beside(target):
    """Create a new empty file beside ``target`` with the mode a plain
    ``open`` would give (the umask applies; nothing process-wide is
    changed).  Returns (fd, name)."""
    directory, name = os.path.split(target)
    kept = os.fsencode(name)[:_NAME_KEPT].decode(errors="ignore")
    for _ in range(100):
        tmp = os.path.join(directory, f".{kept}.{secrets.token_hex(4)}.tmp")
        try:
            return os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666), tmp
        except FileExistsError:
            continue
    raise FileExistsError(errno.EEXIST, "no free temporary name")


def replace_file(path: PathLike, write: Callable, *, text: bool = True) -> None:
    """Write ``path`` safely (see the module's description).

    ``write`` gets the open text file (``text=True``) or, for writers that
    open the file themselves (netCDF, pictures), the name of a file to write
    (``text=False``).  ``OSError`` naming ``path`` on any failure; the old
    file is then unchanged and no temporary is left."""
    path = os.fspath(path)
    direct, append = _direct_target(path)
    if direct:
        _write_direct(path, write, text, append)
        return
    target = os.path.realpath(path)         # a link is followed: its target is replaced
    try:
        old = os.stat(target)
    except FileNotFoundError:
        old = None
    except OSError as e:
        raise _error(path, e) from None
    with _signals_end_cleanly():
        try:
            fd, tmp = _temporary_beside(target)
        except OSError as e:
            raise _error(path, e) from None
        try:
            if old is not None:
                os.fchmod(fd, stat.S_IMODE(old.st_mode))
                with contextlib.suppress(OSError):
                    os.fchown(fd, old.st_uid, old.st_gid)
            if text:
                with os.fdopen(fd, "w") as f:
                    fd = -1
                    write(f)
                    f.flush()
                    os.fsync(f.fileno())
            else:
                os.close(fd)
                fd = -1
                write(tmp)
                with open(tmp, "rb+") as f:
                    os.fsync(f.fileno())
            os.replace(tmp, target)
        except BaseException as e:
            if fd >= 0:
                os.close(fd)
            with contextlib.suppress(OSError):
                os.unlink(tmp)
            if isinstance(e, OSError):
                raise _error(path, e) from None
            raise


def write_text(path: PathLike, text: str) -> None:
    """Write ``text`` to ``path`` safely."""
    replace_file(path, lambda f: f.write(text))


def write_bytes(path: PathLike, data: bytes) -> None:
    """Write ``data`` to ``path`` safely."""
    def write(name):
        with open(name, "wb") as f:
            f.write(data)
    replace_file(path, write, text=False)


def _identity(path):
    """What makes two spellings the same file: the device and inode of an
    existing file (links followed), else those of its directory and its
    name.  None for targets that are not regular files (devices, pipes, the
    console), which may be written more than once."""
    if _is_console_path(path):
        return None
    try:
        st = os.stat(path)
    except FileNotFoundError:
        parent, name = os.path.split(os.path.realpath(path))
        try:
            d = os.stat(parent)
        except OSError:
            return ("path", os.path.realpath(path))
        return ("new", d.st_dev, d.st_ino, name)
    except OSError:
        return ("path", os.path.realpath(path))
    if not stat.S_ISREG(st.st_mode):
        return None
    return ("file", st.st_dev, st.st_ino)


def check_outputs(outputs: Iterable, inputs: Iterable = ()) -> None:
    """Refuse a run whose outputs would destroy its inputs or each other.

    ``outputs`` and ``inputs``: paths, or (label, path) pairs for the
    message; None stands for an option not given.  ``ValueError`` naming both when an output is the same file as
    an input or as another output, through any spelling or link.  Devices,
    pipes and the console are never refused.  Call it before any work."""
    def labelled(items, kind):
        out = []
        for item in items:
            label, p = item if isinstance(item, tuple) else (kind, item)
            if p is not None:
                out.append((label, os.fspath(p)))
        return out
    seen = {}
    for label, p in labelled(inputs, "input"):
        key = _identity(p)
        if key is not None:
            seen.setdefault(key, (label, p, "input"))
    for label, p in labelled(outputs, "output"):
        key = _identity(p)
        if key is None:
            continue
        if key in seen:
            other_label, other, kind = seen[key]
            if kind == "input":
                raise ValueError(f"{label} {p!r} is the {other_label} {other!r}: refusing to write over an input")
            raise ValueError(f"{label} {p!r} is the same file as {other_label} {other!r}: refusing to write "
                             "both")
        seen[key] = (label, p, "output")
