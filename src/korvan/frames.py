"""Turning the numeric feature matrix back into the frame a model was fitted on.

The perturbations work on a float matrix in which categorical columns hold
integer codes.  A model fitted on a DataFrame wants the original column names
and dtypes instead: strings for a string column, a pandas ``category`` with
the same categories for a category column.  :class:`FrameSchema` remembers
what each column was and rebuilds such a frame from any matrix of the same
layout, perturbed codes included.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Hashable, Sequence

import numpy as np
import pandas as pd
from pandas.api import types as ptypes

__all__ = ["ColumnSpec", "FrameSchema"]


@dataclass(frozen=True)
class ColumnSpec:
    """How one feature column is stored in the matrix and what it was.

    Attributes
    ----------
    name : hashable
        The column's name in the original frame.
    dtype : object
        Its original dtype.
    categories : numpy.ndarray or None
        For a categorical feature, the labels its codes 0, 1, ... stand for.
    """

    name: Hashable
    dtype: Any
    categories: np.ndarray | None = None

    def restore(self, values: np.ndarray) -> Any:
        """A numerical column in its original dtype where its values allow.

        An integer column whose values are all still whole numbers (at the
        baseline, or after resampling) is handed on as integers, the dtype
        the model was fitted on; noise that left fractions or a missing value
        keeps it float.
        """
        if ptypes.is_bool_dtype(self.dtype) or not ptypes.is_integer_dtype(self.dtype):
            return values
        if not np.array_equal(values, np.trunc(values)):
            return values
        return pd.array(values, dtype=self.dtype) if not isinstance(self.dtype, np.dtype) \
            else values.astype(self.dtype)

    @property
    def is_category_dtype(self) -> bool:
        return isinstance(self.dtype, pd.CategoricalDtype)

    def decode(self, codes: np.ndarray) -> Any:
        """Return the column's values for a column of float codes (NaN: missing)."""
        assert self.categories is not None
        missing = np.isnan(codes)
        # Codes are whole numbers below len(categories); -1 marks a missing value.
        index = np.where(missing, -1, codes).astype(np.intp)
        if self.is_category_dtype:
            return pd.Categorical.from_codes(index, dtype=self.dtype)
        plain = isinstance(self.dtype, np.dtype) and self.dtype.kind in "biuf"
        if plain and not missing.any():
            return self.categories.astype(self.dtype, copy=False)[index]
        # The extra last entry is what code -1 picks: a missing value.
        labels = np.empty(len(self.categories) + 1, dtype=object)
        labels[:-1] = self.categories
        labels[-1] = np.nan
        values = labels[index]
        if plain and self.dtype.kind != "b":
            return values.astype(np.float64)
        return values


class FrameSchema:
    """The original names, dtypes and categories of the feature columns.

    Parameters
    ----------
    columns : sequence of ColumnSpec
        One per matrix column, in matrix column order.
    """

    def __init__(self, columns: Sequence[ColumnSpec]) -> None:
        self.columns = tuple(columns)
        self._position = {spec.name: j for j, spec in enumerate(self.columns)}

    @classmethod
    def from_frame(cls, frame: pd.DataFrame, feature_names: Sequence[Hashable],
                   categories: dict[Hashable, Sequence[Any]]) -> "FrameSchema":
        """Describe ``feature_names`` of ``frame``; ``categories`` holds the categorical ones."""
        specs = []
        for fn in feature_names:
            cats = categories.get(fn)
            specs.append(ColumnSpec(
                fn, frame[fn].dtype,
                None if cats is None else _label_array(cats, frame[fn].dtype)))
        return cls(specs)

    @property
    def names(self) -> list[Hashable]:
        return [spec.name for spec in self.columns]

    def positions(self, names: Sequence[Hashable]) -> list[int]:
        """Matrix column of each name.

        Raises
        ------
        KeyError
            Naming the first name that is not a feature.
        """
        return [self._position[n] for n in names]

    def to_frame(self, X: np.ndarray, columns: Sequence[Hashable] | None = None,
                 index: Any = None) -> pd.DataFrame:
        """Rebuild a frame from a matrix laid out like this schema.

        Parameters
        ----------
        X : numpy.ndarray
            2-D float matrix, one column per feature in schema order.
        columns : sequence of hashable, optional
            Which features, in which order; default all, in schema order.
        index : array_like, optional
            Row labels; default 0, 1, ...

        Numerical columns are handed on as float64 views of one
        column-major copy of ``X``, integer columns as integers while their
        values are whole; categorical ones are decoded from their codes.
        """
        X = np.asarray(X)
        if X.ndim != 2 or X.shape[1] != len(self.columns):
            raise ValueError(
                f"Expected a matrix with {len(self.columns)} feature columns, "
                f"got shape {X.shape}"
            )
        picked = range(len(self.columns)) if columns is None else self.positions(columns)
        numeric = [j for j in picked if self.columns[j].categories is None]
        # One copy in column order makes every numerical column contiguous;
        # the frame then holds views of it.
        block = np.asfortranarray(X[:, numeric]) if numeric else None
        slot = {j: k for k, j in enumerate(numeric)}
        data: dict[Hashable, Any] = {}
        for j in picked:
            spec = self.columns[j]
            if spec.categories is None:
                data[spec.name] = spec.restore(block[:, slot[j]])  # type: ignore[index]
            else:
                data[spec.name] = spec.decode(X[:, j])
        return pd.DataFrame(data, index=index, copy=False)


def _label_array(categories: Sequence[Any], dtype: Any) -> np.ndarray:
    if isinstance(dtype, pd.CategoricalDtype):
        return np.asarray(dtype.categories, dtype=object)
    if ptypes.is_bool_dtype(dtype) or ptypes.is_numeric_dtype(dtype):
        return np.asarray(categories)
    out = np.empty(len(categories), dtype=object)
    out[:] = list(categories)
    return out
