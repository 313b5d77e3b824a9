"""vadrel's computations spread over dask: chunked arrays of points, and lists
of fault models, one task per model.

The functions build dask graphs over the module's own functions (each chunk
is computed by :mod:`vadrel`, so the values are identical to a single-process
call).  Compute them with whatever scheduler is in force: the threads of
this process by default, or a ``distributed.Client`` connected to a cluster
of worker processes on one or many machines::

    from distributed import Client, LocalCluster
    client = Client(LocalCluster(n_workers=2, threads_per_worker=1, processes=True))
    # or, on a real cluster: client = Client("tcp://scheduler-host:8786")
    up = vadrel.dask.uplift(faults, x, y, chunks=(200, 200)).compute()

Every worker must be able to ``import vadrel`` (the same build or install,
and PYTHONPATH if it is not installed).  ``threads`` is passed to the module
in each task: with one worker process per processor keep it at 1.
"""
from __future__ import annotations

from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING

import dask
import dask.array as da
import numpy as np
from numpy.typing import ArrayLike

import vadrel

if TYPE_CHECKING:
    from dask.delayed import Delayed

__all__ = ["displacement", "range_change", "uplift", "for_models"]


def _points(x, y, chunks):
    if np.shape(x) != np.shape(y):
        raise ValueError(f"x and y must have the same shape, got {np.shape(x)} and {np.shape(y)}")
    if not isinstance(x, da.Array):
        x = da.from_array(np.asarray(x, dtype=float), chunks=chunks)
    if not isinstance(y, da.Array):
        y = da.from_array(np.asarray(y, dtype=float), chunks=x.chunks)
    if x.shape != y.shape:
        raise ValueError(f"x and y must have the same shape, got {x.shape} and {y.shape}")
    return x, y.rechunk(x.chunks)


def _displacement_block(x, y, faults, threads):
    return vadrel.displacement(faults, x, y, threads=threads)


def _range_block(x, y, faults, look, threads):
    return vadrel.range_change(faults, x, y, look, threads=threads)


def _uplift_block(x, y, *depth, faults, look, threads):
    return vadrel.uplift(faults, x, y, look, depth[0] if depth else None, threads=threads)


def displacement(faults: vadrel.Faults, x: ArrayLike, y: ArrayLike, *, chunks: int | tuple[int, ...] = 100_000,
                 threads: int = 1) -> da.Array:
    """East, north, up displacement (mm) at points (km) of any one shape, as
    a dask array of that shape plus 3, chunked like the points (numpy inputs
    are cut into ``chunks``)."""
    x, y = _points(x, y, chunks)
    return da.map_blocks(_displacement_block, x, y, faults, threads, dtype=float, new_axis=x.ndim,
                         chunks=x.chunks + ((3,),), meta=np.empty((0,) * (x.ndim + 1)))


def range_change(faults: vadrel.Faults, x: ArrayLike, y: ArrayLike, look: Sequence[float] | np.ndarray, *,
                 chunks: int | tuple[int, ...] = 100_000, threads: int = 1) -> da.Array:
    """Range change (mm) at points (km) of any one shape along ``look`` =
    (east, north, up), ramp included, as a dask array of the points' shape."""
    x, y = _points(x, y, chunks)
    look = tuple(float(v) for v in look)
    return da.map_blocks(_range_block, x, y, faults, look, threads, dtype=float, meta=np.empty((0,) * x.ndim))


def uplift(faults: vadrel.Faults, x: ArrayLike, y: ArrayLike, look: Sequence[float] | np.ndarray = (0.0, 0.0, 1.0),
           depth: ArrayLike | None = None, *, chunks: int | tuple[int, ...] = (256, 256), threads: int = 1) -> da.Array:
    """Grid uplift in metres (as :func:`vadrel.uplift`, the depth/mask taper
    with ``depth``) at points of any one shape, typically the nodes of a grid
    (:func:`vadrel.regular_grid`) or the cells of a curvilinear grid
    (:func:`vadrel.cell_points`); chunked in blocks of that shape."""
    x, y = _points(x, y, chunks)
    args = [x, y]
    if depth is not None:
        if np.shape(depth) != x.shape:
            raise ValueError(f"depth must have the shape of x, got {np.shape(depth)} and {x.shape}")
        d = depth if isinstance(depth, da.Array) else da.from_array(np.asarray(depth, dtype=float),
                                                                     chunks=x.chunks)
        args.append(d.rechunk(x.chunks))
    look = tuple(float(v) for v in look)
    return da.map_blocks(_uplift_block, *args, faults=faults, look=look, threads=threads, dtype=float,
                         meta=np.empty((0,) * x.ndim))


def for_models(models: Iterable[vadrel.Faults], x: ArrayLike, y: ArrayLike, what: str = "displacement",
               look: ArrayLike | None = None, *, threads: int = 1,
               compute: bool = True) -> list[np.ndarray] | list[Delayed]:
    """One task per fault model: ``what`` ("displacement", "range_change",
    "strain", "partials" or "uplift") of every model in ``models`` at the same
    points.  The points are sent once and shared by the tasks.  Returns the
    list of results (numpy arrays), or the list of delayed results with
    ``compute=False``."""
    if what not in ("displacement", "range_change", "strain", "partials", "uplift"):
        raise ValueError(f"what must be displacement, range_change, strain, partials or uplift, got {what!r}")
    needs_look = what in ("range_change", "partials")
    if needs_look and look is None:
        raise ValueError(f"{what} needs a look vector")
    px = dask.delayed(np.asarray(x, dtype=float), pure=True)
    py = dask.delayed(np.asarray(y, dtype=float), pure=True)
    task = dask.delayed(_one_model, pure=True)
    tasks = [task(what, m, px, py, look, threads) for m in models]
    return list(dask.compute(*tasks)) if compute else tasks


def _one_model(what, faults, x, y, look, threads):
    if what == "displacement":
        return vadrel.displacement(faults, x, y, threads=threads)
    if what == "range_change":
        return vadrel.range_change(faults, x, y, look, threads=threads)
    if what == "strain":
        return vadrel.strain(faults, x, y, threads=threads)
    if what == "partials":
        return vadrel.partials(faults, x, y, look, threads=threads)
    return vadrel.uplift(faults, x, y, (0.0, 0.0, 1.0) if look is None else look, threads=threads)
