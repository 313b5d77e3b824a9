"""All datasets of a fit end to end: their observations, whitening and
nuisance columns (offsets and ramps), and the summaries of a fit."""
from __future__ import annotations

import warnings
from collections.abc import Callable, Iterable, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

import vadrel
from ..io.datasets import Dataset, DataWarning

if TYPE_CHECKING:
    from ..geodesy import LocalFrame

__all__ = ["datasets_of", "Stack", "common_frame"]


def datasets_of(datasets: Dataset | Iterable[Dataset]) -> list[Dataset]:
    """The datasets of a fit as a list, checked: at least one, distinct
    names, one frame; a :class:`DataWarning` when only some carry weights."""
    if isinstance(datasets, Dataset):
        datasets = [datasets]
    datasets = list(datasets)
    if not datasets or not all(isinstance(d, Dataset) for d in datasets):
        raise ValueError("datasets must be a Dataset or a list of them")
    seen = {}
    for d in datasets:
        k = seen.get(d.name, 0)
        seen[d.name] = k + 1
        if k:
            raise ValueError(f"two datasets are named '{d.name}': give them distinct names")
    weighted = [d.name for d in datasets if d.weighted]
    if weighted and len(weighted) < len(datasets):
        plain = [d.name for d in datasets if not d.weighted]
        warnings.warn(f"datasets {', '.join(plain)} have no sigma or covariance and are weighed as if each "
                      f"observation had sigma 1 mm, against {', '.join(weighted)} with theirs: give every "
                      f"dataset its weights", DataWarning, stacklevel=3)
    common_frame(datasets)
    return datasets


def common_frame(datasets: Iterable[Dataset]) -> LocalFrame | None:
    """The km frame the datasets share (None when none carries one);
    ValueError when two carry different frames."""
    frame = None
    for d in datasets:
        f = getattr(d, "frame", None)
        if f is None:
            continue
        if frame is None:
            frame, first = f, d.name
        elif (f.lon0, f.lat0) != (frame.lon0, frame.lat0):
            raise ValueError(f"datasets '{first}' and '{d.name}' are in different km frames (origins "
                             f"{frame.lon0:g}, {frame.lat0:g} and {f.lon0:g}, {f.lat0:g}): read them about one "
                             f"origin")
    return frame


class Stack:
    """All datasets' observations end to end, their whitening and nuisance
    columns (block diagonal)."""

    def __init__(self, datasets: Sequence[Dataset]) -> None:
        self.datasets = datasets
        self.x = np.concatenate([d.x for d in datasets])
        self.y = np.concatenate([d.y for d in datasets])
        self.look = np.concatenate([d.look for d in datasets])
        self.obs = np.concatenate([d.obs for d in datasets])
        self.slices, a = [], 0
        for d in datasets:
            self.slices.append(slice(a, a + len(d)))
            a += len(d)
        q = sum(d.nuisance.shape[1] for d in datasets)
        self.nuisance = np.zeros((a, q))
        self.nuisance_names, self.nslices, b = [], [], 0
        for d, s in zip(datasets, self.slices):
            k = d.nuisance.shape[1]
            self.nuisance[s, b:b + k] = d.nuisance
            self.nuisance_names += [f"{d.name}.{n}" for n in d.nuisance_names]
            self.nslices.append(slice(b, b + k))
            b += k
        self.weighted = all(d.weighted for d in datasets)
        self.frame = common_frame(datasets)
        self.wobs = self.whiten(self.obs)

    def whiten(self, a: np.ndarray) -> np.ndarray:
        """Residuals or Jacobian rows of all datasets whitened, each by its
        own weights (unchanged when no dataset carries any)."""
        if not any(d.weighted for d in self.datasets):
            return a
        out = np.empty_like(a)
        for d, s in zip(self.datasets, self.slices):
            out[s] = d.whiten(a[s])
        return out

    def marginal(self) -> tuple[Callable[[np.ndarray], np.ndarray],
                                Callable[[np.ndarray], tuple[np.ndarray, np.ndarray]]]:
        """The offsets and ramps integrated out (flat priors): a callable
        ``apply(r) -> K r`` with K = W^T (I - Q Q^T) W per dataset (W the
        whitening, Q an orthonormal basis of the whitened nuisance columns),
        so that -1/2 r^T K r is the log-likelihood of the geometry alone up
        to a constant; and ``solve(r) -> (mean, chol)`` of the nuisance
        coefficients given the fault's residual r (data - fault model): their
        Gaussian conditional mean and the Cholesky factor of its covariance.
        With a full covariance, K is formed once (n^2 per dataset)."""
        blocks = []
        for d, s, ns in zip(self.datasets, self.slices, self.nslices):
            A = d.whiten(d.nuisance) if d.weighted else d.nuisance
            if A.shape[1]:
                Q, R = np.linalg.qr(A)
                if np.min(np.abs(np.diag(R))) <= 1e-12 * max(1.0, float(np.abs(R).max())):
                    raise ValueError(f"dataset '{d.name}': its offset and ramp cannot be told apart "
                                     f"(too few or aligned points)")
            else:
                Q, R = np.zeros((len(d), 0)), np.zeros((0, 0))
            Rinv = np.linalg.inv(R) if R.size else R
            K = None
            if d.chol is not None:
                n = len(d)
                vadrel._require_memory(3 * n * n, 8, f"the precision of dataset '{d.name}' ({n} observations)")
                Winv = d.whiten(np.eye(n))
                PW = Winv - Q @ (Q.T @ Winv)
                K = Winv.T @ PW
            blocks.append((d, s, ns, Q, Rinv, K))

        def apply(r):
            out = np.empty_like(r)
            for d, s, ns, Q, Rinv, K in blocks:
                if K is not None:
                    out[s] = K @ r[s]
                    continue
                w = d.whiten(r[s]) if d.weighted else r[s]
                w = w - Q @ (Q.T @ w)
                out[s] = d.whiten(w) if d.weighted else w
            return out

        def solve(r):
            q = self.nuisance.shape[1]
            mean, chol = np.zeros(q), np.zeros((q, q))
            for d, s, ns, Q, Rinv, K in blocks:
                if Q.shape[1] == 0:
                    continue
                w = d.whiten(r[s]) if d.weighted else r[s]
                mean[ns] = Rinv @ (Q.T @ w)
                # Covariance (R^T R)^-1 = R^-1 R^-T: a factor is R^-1.
                chol[ns, ns] = Rinv
            return mean, chol

        return apply, solve

    def summary(self, pred: np.ndarray, nuis: np.ndarray) -> tuple[dict[str, float], dict[str, float],
                                                                    list[np.ndarray], list[np.ndarray],
                                                                    dict[str, Any], dict[str, Any]]:
        """Per dataset and overall: rms (mm), variance reduction, predicted,
        residuals, offsets and ramps."""
        res = self.obs - pred
        rms, vr, offsets, ramps = {}, {}, {}, {}
        for d, s, ns in zip(self.datasets, self.slices, self.nslices):
            rms[d.name] = float(np.sqrt(np.mean(res[s] ** 2)))
            vr[d.name] = _vr(res[s], d.obs)
            offsets[d.name], ramps[d.name] = d.split_nuisance(nuis[ns])
        rms["all"] = float(np.sqrt(np.mean(res ** 2)))
        vr["all"] = _vr(self.whiten(res), self.wobs)
        predicted = [d.shaped(pred[s]) for d, s in zip(self.datasets, self.slices)]
        residuals = [d.shaped(res[s]) for d, s in zip(self.datasets, self.slices)]
        return rms, vr, predicted, residuals, offsets, ramps


def _vr(res, obs):
    """Variance reduction 1 - |residual|^2 / |data|^2."""
    d = float(np.dot(obs, obs))
    return 1.0 - float(np.dot(res, res)) / d if d > 0 else float("nan")
