"""Writing files safely: one way for every writer of the package."""
from __future__ import annotations

import os
import tempfile

__all__ = ["replace_file"]


def replace_file(path, write, *, text=True):
    """Write a file through a temporary beside ``path``, renamed over it only
    when complete: an existing file is replaced by a whole new one or not at
    all, and nothing is left behind on an error.  ``write`` gets the open
    text file (``text=True``) or the temporary's name (for writers that open
    the file themselves: netCDF, pictures).  The file keeps the mode of the
    one it replaces (a new one gets the umask's).  A failure raises
    ``OSError`` naming ``path``."""
    path = os.fspath(path)
    directory = os.path.dirname(os.path.abspath(path))
    try:
        fd, tmp = tempfile.mkstemp(prefix="." + os.path.basename(path) + ".", dir=directory)
    except OSError as e:
        raise OSError(e.errno, f"{path}: cannot write: {e.strerror}") from None
    try:
        try:
            mode = os.stat(path).st_mode & 0o7777
        except FileNotFoundError:
            umask = os.umask(0)
            os.umask(umask)
            mode = 0o666 & ~umask
        if text:
            with os.fdopen(fd, "w") as f:
                write(f)
                f.flush()
                os.fsync(f.fileno())
        else:
            os.close(fd)
            write(tmp)
        os.chmod(tmp, mode)
        os.replace(tmp, path)
    except BaseException as e:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        if isinstance(e, OSError):
            raise OSError(e.errno, f"{path}: cannot write: {e.strerror or e}") from None
        raise
