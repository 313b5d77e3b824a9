"""Fitting faults to radar and GNSS data with the closed-form Jacobian.

    python3 -m vadrel.invert DATA... --start faults.txt [--free X,Y,...]
                             [--slip NX NY --smoothing S] -o fitted.txt [--plot fit.png]

Data
----
:class:`Dataset` holds radar line-of-sight data (points in km, range change
in mm, positive towards the radar, one ground-to-radar look vector per point
or one for all) or, through :meth:`Dataset.gnss`, three-component GNSS
displacements in mm.  Inside, every dataset is a list of scalar observations
with a look vector each: a GNSS east component is the range change seen
along (1, 0, 0), so the model and its derivatives come from the same kernels
for both kinds.  Each dataset may carry a constant offset and a linear ramp
(``offset`` and ``ramp``, on by default for radar, off for GNSS; for GNSS
one per component); they are fitted with the fault, in the dataset's own
frame centred on its points and reported in the model frame.

Weights: ``sigma`` (one standard deviation per observation, or one for all)
or ``cov`` (a full covariance; its Cholesky factor whitens the residuals).
Without either the observations weigh 1; unless every dataset carries
weights, the reported standard deviations are scaled by the reduced
chi-square.

Geometry: :func:`fit_fault`
---------------------------
Weighted nonlinear least squares (``scipy.optimize.least_squares``, trust
region reflective) over the free parameters of every segment and the
offsets and ramps.  The Jacobian of the range change with respect to the ten
parameters of a segment is the closed form of :func:`vadrel.partials`; as
range change is a sum over segments, segment k's columns are the partials
of a model holding only segment k.  ``jacobian="forward"`` or ``"central"``
replaces it by finite differences (for comparison).

The top edge of a segment must not rise above the ground: depth - W sin(dip)
>= 0.  When ``depth`` is free the fit runs on the depth of the top edge
(``top``, bounded below by 0) instead of the depth of the deep edge, so the
constraint is a simple bound; when ``depth`` is held, ``W`` is bounded by
depth / sin(dip) (dip held) or by depth (dip free), which keeps it.

Slip: :func:`fit_slip`
----------------------
The plane cut into nx x ny patches, Green's functions for strike and dip
slip (one pass of the patch kernel per patch over all points, on all
processors), Laplacian smoothing and bounds on the slip sign or rake,
solved as one bounded linear least-squares problem.

Posterior: :func:`sample_fault`
-------------------------------
Draws from the posterior of the geometry (uniform priors over the bounds,
offsets and ramps integrated out): Hamiltonian Monte Carlo on the
closed-form gradient, or emcee; R-hat and effective sample sizes per
parameter (:class:`Posterior`).

Honest ends: ``FaultFit.status``, ``converged``, ``message`` and
``at_bound``, with a :class:`FitWarning` when a fit stops at its evaluation
limit or ends on a bound.

Modules: :mod:`~vadrel.invert.data` (the datasets of a fit end to end),
:mod:`~vadrel.invert.fault` (the geometry fit), :mod:`~vadrel.invert.sample`
(its posterior), :mod:`~vadrel.invert.diagnostics` (R-hat, effective sample
size), :mod:`~vadrel.invert.slip` (the slip fit); the observations
themselves are :mod:`vadrel.io.datasets`.  Reference: doc/invert.md.
"""
from __future__ import annotations

from .._moved import moved
from ..io.datasets import Dataset, DataWarning, load_dataset
from ..io.faults import write_faults
from .fault import DEFAULT_FREE, PARAMETERS, FaultFit, FitWarning, fit_fault
from .sample import Posterior, SampleWarning, sample_fault
from .resolution import Checkerboard, Resolution, checkerboard, resolution
from .slip import LCurve, SegmentSlip, SlipFit, SlipProblem, fit_slip, lcurve, lcurve_corner, slip_problem

__all__ = ["Dataset", "DataWarning", "load_dataset", "fit_fault", "FaultFit", "FitWarning", "sample_fault",
           "Posterior", "SampleWarning", "fit_slip", "SlipFit", "SlipProblem", "slip_problem", "SegmentSlip", "lcurve",
           "LCurve", "lcurve_corner", "resolution", "Resolution", "checkerboard", "Checkerboard", "write_faults",
           "plot_fit", "plot_slip", "plot_posterior", "main", "PARAMETERS", "DEFAULT_FREE"]


# Kept for their callers: the pictures and the command line, above this package.
__getattr__ = moved(__name__, {"plot_fit": "vadrel.plot.fit", "plot_slip": "vadrel.plot.slip",
                               "plot_posterior": "vadrel.plot.posterior", "main": "vadrel.cli.invert"})
