"""All datasets of a fit end to end: their observations, whitening and
nuisance columns (offsets and ramps), and the summaries of a fit."""
from __future__ import annotations

import numpy as np

from ..io.datasets import Dataset

__all__ = ["datasets_of", "Stack"]


def datasets_of(datasets):
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
    return datasets


class Stack:
    """All datasets' observations end to end, their whitening and nuisance
    columns (block diagonal)."""

    def __init__(self, datasets):
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
        self.wobs = self.whiten(self.obs)

    def whiten(self, a):
        if not any(d.weighted for d in self.datasets):
            return a
        out = np.empty_like(a)
        for d, s in zip(self.datasets, self.slices):
            out[s] = d.whiten(a[s])
        return out

    def summary(self, pred, nuis):
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
