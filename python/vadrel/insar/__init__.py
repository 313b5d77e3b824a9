"""Radar interferograms: read, downsample, and estimate their noise.

* :func:`read` -> :class:`Interferogram`: a GeoTIFF or NetCDF/GMT grid of
  unwrapped phase or line-of-sight displacement with its look vectors, in a
  local km frame about an origin (``ifg.x``, ``ifg.y`` km, ``ifg.los`` mm
  towards the radar, ``ifg.look`` (..., 3) ground to radar, ``ifg.frame``).
* ``ifg.quadtree(threshold, ...)`` and ``ifg.resolution_sample(faults,
  ...)``: downsampled ``Dataset``s, one sample per leaf with its mean look
  vector, size and pixel count.
* :func:`covariance` -> :class:`Covariance`: the noise's semivariogram
  away from the deformation, fitted with an exponential or spherical model
  with nugget; ``cov.matrix(dataset)`` the covariance of the samples, leaf
  averaging included; :func:`with_covariance` the dataset carrying it.
* :mod:`vadrel.insar.look`: the look-vector conventions.

Conventions, formulas and approximations are in ``doc/insar.md``.
"""
from __future__ import annotations

from . import look
from .areas import in_polygon, inside
from .covariance import Covariance, covariance, noise_field, with_covariance
from .grids import Grid, read_grid
from .interferogram import Interferogram, read
from .quadtree import quadtree
from .resolution import resolution_sample

__all__ = ["read", "Interferogram", "quadtree", "resolution_sample", "covariance", "Covariance",
           "with_covariance", "noise_field", "read_grid", "Grid", "look", "inside", "in_polygon"]
