"""How the worst group of rows differs from the rest of the split.

The robustness result names the rows whose predictions move most; this module
puts their feature values next to those of the remaining rows, a first hint of
why those rows suffer: a numerical feature whose mean sits far from the rest,
or a category that is much more common among them.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Hashable

import numpy as np

from korvan.constants import CATEGORICAL

__all__ = ["NumericalDifference", "CategoricalDifference", "describe_worst_group",
           "TOP_CATEGORIES"]

#: Over-represented categories listed per categorical feature.
TOP_CATEGORIES = 3


@dataclass(frozen=True)
class NumericalDifference:
    """One numerical feature in the worst group and in the rest.

    ``shift`` is the difference of the means in standard deviations of the
    whole split (NaN when the feature is constant there).
    """

    feature: Hashable
    worst_mean: float
    worst_std: float
    rest_mean: float
    rest_std: float
    shift: float


@dataclass(frozen=True)
class CategoricalDifference:
    """One categorical feature: categories more common in the worst group.

    ``categories`` holds ``(label, share in worst group, share in rest)``,
    largest excess first, at most :data:`TOP_CATEGORIES` of them; missing
    values count as a category labelled ``None``.  ``excess`` is the largest
    share difference (0 when no category is over-represented).
    """

    feature: Hashable
    categories: tuple[tuple[Any, float, float], ...]
    excess: float


def _std(values: np.ndarray) -> float:
    return float(np.std(values, ddof=1)) if values.size > 1 else float("nan")


def _numerical(fn: Hashable, worst: np.ndarray, rest: np.ndarray) -> NumericalDifference:
    worst, rest = worst[~np.isnan(worst)], rest[~np.isnan(rest)]
    both = np.concatenate([worst, rest])
    w_mean = float(worst.mean()) if worst.size else float("nan")
    r_mean = float(rest.mean()) if rest.size else float("nan")
    scale = _std(both)
    shift = (w_mean - r_mean) / scale if scale > 0 else float("nan")
    return NumericalDifference(fn, w_mean, _std(worst), r_mean, _std(rest), shift)


def _categorical(fn: Hashable, labels: list[Any], worst: np.ndarray,
                 rest: np.ndarray) -> CategoricalDifference:
    # Codes 0..k-1 are the labels; k stands for a missing value.
    k = len(labels)

    def shares(codes: np.ndarray) -> np.ndarray:
        filled = np.where(np.isnan(codes), k, codes).astype(np.intp)
        counts = np.bincount(filled, minlength=k + 1).astype(np.float64)
        return counts / counts.sum() if counts.sum() else counts

    w_share, r_share = shares(worst), shares(rest)
    excess = w_share - r_share
    order = [int(c) for c in np.argsort(-excess, kind="stable")
             if excess[c] > 0][:TOP_CATEGORIES]
    names = list(labels) + [None]
    top = tuple((names[c], float(w_share[c]), float(r_share[c])) for c in order)
    return CategoricalDifference(fn, top, float(excess[order[0]]) if order else 0.0)


def describe_worst_group(
    X: np.ndarray, worst: np.ndarray, rest: np.ndarray, feature_names: list[Hashable],
    feature_types: list[str], categories: dict[Hashable, list[Any]],
) -> tuple[list[NumericalDifference], list[CategoricalDifference]]:
    """Compare the worst group's feature values with the remaining rows'.

    Parameters
    ----------
    X : numpy.ndarray
        Feature matrix of the split the test scored (categorical features as
        codes, NaN where missing), as :meth:`DataSet.get_X_y_data` gives it.
    worst, rest : numpy.ndarray of int
        Row positions in ``X`` of the worst group and of the remaining rows.
    feature_names, feature_types, categories
        As the data set holds them.

    Returns
    -------
    numerical : list of NumericalDifference
        Largest absolute shift first.
    categorical : list of CategoricalDifference
        Largest excess share first.
    """
    numerical, categorical = [], []
    for j, (fn, ft) in enumerate(zip(feature_names, feature_types)):
        w, r = X[worst, j], X[rest, j]
        if ft == CATEGORICAL:
            categorical.append(_categorical(fn, categories.get(fn, []), w, r))
        else:
            numerical.append(_numerical(fn, w, r))
    numerical.sort(key=lambda d: -abs(d.shift) if np.isfinite(d.shift) else 0.0)
    categorical.sort(key=lambda d: -d.excess)
    return numerical, categorical
