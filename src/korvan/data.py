"""Tabular data sets the robustness test reads.

A :class:`DataSet` is built once from a pandas DataFrame.  It fixes which
columns are features, whether each is numerical or categorical, the task
type, an optional sample weight and a reproducible train/test split, and
serves the feature matrix the model and the perturbations work on: a float
matrix where categorical columns are integer codes (NaN where missing), so any
model can read it and a perturbation can resample the codes.
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import Any, Hashable, Mapping, Sequence

import numpy as np
import pandas as pd
from pandas.api import types as ptypes
from sklearn.model_selection import train_test_split

from korvan.errors import DataError
from korvan.frames import FrameSchema
from korvan.inputs import read_table
from korvan.text import name_list
from korvan.constants import (
    CATEGORICAL,
    CLASSIFICATION,
    FEATURE_TYPES,
    NUMERICAL,
    REGRESSION,
    TASK_TYPES,
)

__all__ = ["DataError", "DataSet", "BUNDLED", "SPLITS", "load_bundled"]

#: Names of the splits :meth:`DataSet.get_X_y_data` serves.
SPLITS: tuple[str, ...] = ("main", "train", "test")
#: Data sets shipped with scikit-learn that :func:`load_bundled` can load.
BUNDLED: tuple[str, ...] = ("diabetes", "breast_cancer")

# An integer target with at most this many distinct values is taken for class
# labels; with more it is taken for a quantity to regress.
MAX_INFERRED_CLASSES = 20


def infer_feature_type(column: pd.Series) -> str:
    """Return ``CATEGORICAL`` for label-like columns, ``NUMERICAL`` for numbers.

    Bool, object, string and category columns hold labels; numeric columns
    hold numbers.

    Raises
    ------
    DataError
        For dtypes that are neither, such as dates.
    """
    dtype = column.dtype
    if (
        ptypes.is_bool_dtype(dtype)
        or isinstance(dtype, pd.CategoricalDtype)
        or ptypes.is_object_dtype(dtype)
        or ptypes.is_string_dtype(dtype)
    ):
        return CATEGORICAL
    if ptypes.is_numeric_dtype(dtype):
        return NUMERICAL
    raise DataError(
        f"Column {column.name!r} has dtype {dtype}, which is neither numerical nor "
        f"categorical; leave it out of the features or convert it"
    )


def infer_task_type(target: pd.Series) -> str:
    """Return the task type a target column suggests.

    Labels (bool, object, string, category) and numbers with few distinct
    whole values (at most 20) mean classification; other numbers mean
    regression.
    """
    dtype = target.dtype
    if ptypes.is_bool_dtype(dtype) or not ptypes.is_numeric_dtype(dtype):
        return CLASSIFICATION
    values = target.dropna().to_numpy(dtype=np.float64)
    if values.size and np.all(np.mod(values, 1) == 0):
        if np.unique(values).size <= MAX_INFERRED_CLASSES:
            return CLASSIFICATION
    return REGRESSION


class DataSet:
    """A table of features and a target, with a fixed train/test split.

    Parameters
    ----------
    frame : pandas.DataFrame
        The data, one row per sample.  It is read, never changed.
    target : hashable
        Column holding the target; it may not have missing values.
    task_type : {"regression", "classification"}, optional
        Inferred from the target when omitted (see :func:`infer_task_type`).
    feature_names : sequence of hashable, optional
        Feature columns, in the column order of ``X``.  Default: every
        column but the target and the sample-weight column.
    feature_types : sequence or mapping, optional
        ``"numerical"`` or ``"categorical"`` per feature: a sequence aligned
        with ``feature_names``, or a mapping from feature name to type for
        some features (the rest are inferred).  Default: bool, object,
        string and category columns are categorical, numbers numerical.
    sample_weight : hashable or array_like, optional
        A column name, or one non-negative weight per row.
    test_size : float, default 0.3
        Share of rows in the test split.
    random_state : int, default 0
        Seed of the split; the same seed gives the same split.  The split is
        stratified by class for classification.
    name : str, optional
        Name shown in results; default ``"data"``.

    Attributes
    ----------
    name : str
    task_type : str
    feature_names : list
    feature_types : list of str
    categories : dict
        For each categorical feature, the labels its codes 0, 1, ... stand for.
    classes : numpy.ndarray or None
        For classification, the labels the target codes 0, 1, ... stand for.
    schema : korvan.frames.FrameSchema
        The original names, dtypes and categories of the features, to rebuild
        a frame like the original from any feature matrix.

    Raises
    ------
    DataError
        If a named column is missing, the target has missing values, a
        weight is negative, and so on; the message names the problem.
    TypeError
        If ``frame`` is not a DataFrame.
    """

    def __init__(
        self,
        frame: pd.DataFrame,
        target: Hashable,
        task_type: str | None = None,
        feature_names: Sequence[Hashable] | None = None,
        feature_types: Sequence[str] | Mapping[Hashable, str] | None = None,
        sample_weight: Hashable | Sequence[float] | np.ndarray | None = None,
        test_size: float = 0.3,
        random_state: int = 0,
        name: str | None = None,
    ) -> None:
        if not isinstance(frame, pd.DataFrame):
            raise TypeError(f"frame must be a pandas DataFrame, got {type(frame).__name__}")
        if frame.shape[0] == 0:
            raise DataError("The data has no rows")
        if frame.columns.has_duplicates:
            dup = frame.columns[frame.columns.duplicated()].unique().tolist()
            raise DataError(f"Column names must be unique; repeated: {name_list(dup)}")
        columns = list(frame.columns)
        if not isinstance(target, Hashable) or target not in frame.columns:
            raise DataError(f"Unknown target column {target!r}; columns are: {name_list(columns)}")

        self.name = "data" if name is None else str(name)
        self.target = target
        self._n = frame.shape[0]
        self._index = frame.index.copy()

        weight_column, self._w = self._read_weights(frame, sample_weight, target)
        self.sample_weight_column = weight_column
        self.feature_names = self._read_feature_names(frame, feature_names, target, weight_column)
        self.feature_types = self._read_feature_types(frame, feature_types)
        self.categories: dict[Hashable, list[Any]] = {}
        self._X = self._encode_features(frame)
        self.schema = FrameSchema.from_frame(frame, self.feature_names, self.categories)
        self.task_type, self._y, self.classes = self._encode_target(frame[target], task_type)
        self.test_size = test_size
        self.random_state = random_state
        self._splits = self._split(test_size, random_state)

    # -- construction helpers ------------------------------------------------

    def _read_weights(
        self, frame: pd.DataFrame, sample_weight: Any, target: Hashable
    ) -> tuple[Hashable | None, np.ndarray | None]:
        if sample_weight is None:
            return None, None
        column = None
        raw: Any = sample_weight
        if isinstance(sample_weight, str) or (
            np.ndim(sample_weight) == 0 and isinstance(sample_weight, Hashable)
        ):
            if sample_weight not in frame.columns:
                raise DataError(
                    f"Unknown sample-weight column {sample_weight!r}; columns are: "
                    f"{name_list(list(frame.columns))}"
                )
            if sample_weight == target:
                raise DataError("The sample-weight column cannot be the target")
            column = sample_weight
            raw = frame[sample_weight]
            if ptypes.is_bool_dtype(raw.dtype) or not ptypes.is_numeric_dtype(raw.dtype):
                raise DataError(f"Sample-weight column {column!r} must hold numbers")
            raw = raw.to_numpy(dtype=np.float64, na_value=np.nan)
        try:
            weights = np.array(raw, dtype=np.float64)
        except (TypeError, ValueError):
            raise DataError("Sample weights must be numbers") from None
        if weights.ndim != 1 or weights.shape[0] != self._n:
            raise DataError(
                f"Sample weights must be one per row: expected {self._n}, "
                f"got shape {weights.shape}"
            )
        if not np.all(np.isfinite(weights)):
            raise DataError("Sample weights must be finite numbers without missing values")
        if np.any(weights < 0) or weights.sum() <= 0:
            raise DataError("Sample weights must be non-negative and not all zero")
        return column, weights

    def _read_feature_names(
        self,
        frame: pd.DataFrame,
        feature_names: Sequence[Hashable] | None,
        target: Hashable,
        weight_column: Hashable | None,
    ) -> list[Hashable]:
        reserved = {target} if weight_column is None else {target, weight_column}
        if feature_names is None:
            names = [c for c in frame.columns if c not in reserved]
        else:
            names = [feature_names] if isinstance(feature_names, str) else list(feature_names)
            valid = [c for c in frame.columns if c not in reserved]
            for fn in names:
                if fn in reserved:
                    role = "target" if fn == target else "sample-weight column"
                    raise DataError(f"Feature {fn!r} is the {role}; it cannot be a feature")
                if fn not in frame.columns:
                    raise DataError(f"Unknown feature {fn!r}; valid features are: {name_list(valid)}")
            if len(set(names)) != len(names):
                raise DataError("Feature names must not repeat")
        if not names:
            raise DataError("The data has no feature columns besides the target")
        return names

    def _read_feature_types(
        self, frame: pd.DataFrame, feature_types: Sequence[str] | Mapping[Hashable, str] | None
    ) -> list[str]:
        given: dict[Hashable, str] = {}
        if isinstance(feature_types, Mapping):
            for fn, ft in feature_types.items():
                if fn not in self.feature_names:
                    raise DataError(
                        f"Unknown feature {fn!r} given a feature type; valid features "
                        f"are: {name_list(self.feature_names)}"
                    )
                given[fn] = ft
        elif feature_types is not None:
            types = [feature_types] if isinstance(feature_types, str) else list(feature_types)
            if len(types) != len(self.feature_names):
                raise DataError(
                    f"Got {len(types)} feature types for {len(self.feature_names)} features"
                )
            given = dict(zip(self.feature_names, types))
        for fn, ft in given.items():
            if ft not in FEATURE_TYPES:
                raise DataError(
                    f"Unknown feature type {ft!r} for {fn!r}; valid types are: "
                    f"{', '.join(FEATURE_TYPES)}"
                )
        return [given.get(fn) or infer_feature_type(frame[fn]) for fn in self.feature_names]

    def _encode_features(self, frame: pd.DataFrame) -> np.ndarray:
        X = np.empty((self._n, len(self.feature_names)), dtype=np.float64)
        for j, (fn, ft) in enumerate(zip(self.feature_names, self.feature_types)):
            column = frame[fn]
            if ft == CATEGORICAL:
                cat = column.astype("category")
                codes = cat.cat.codes.to_numpy(dtype=np.float64)
                codes[codes < 0] = np.nan
                X[:, j] = codes
                self.categories[fn] = [
                    v.item() if isinstance(v, np.generic) else v for v in cat.cat.categories
                ]
                continue
            try:
                values = pd.to_numeric(column).to_numpy(dtype=np.float64, na_value=np.nan)
            except (TypeError, ValueError):
                raise DataError(
                    f"Feature {fn!r} is numerical but holds values that are not numbers; "
                    f"mark it categorical"
                ) from None
            if np.isinf(values).any():
                raise DataError(f"Feature {fn!r} holds infinite values")
            X[:, j] = values
        return X

    def _encode_target(
        self, column: pd.Series, task_type: str | None
    ) -> tuple[str, np.ndarray, np.ndarray | None]:
        n_missing = int(column.isna().sum())
        if n_missing:
            raise DataError(
                f"Target column {column.name!r} has {n_missing} missing value"
                f"{'s' if n_missing > 1 else ''}; drop those rows first"
            )
        if task_type is None:
            task_type = infer_task_type(column)
        elif task_type not in TASK_TYPES:
            raise DataError(
                f"Unknown task type {task_type!r}; valid task types are: {', '.join(TASK_TYPES)}"
            )
        if task_type == REGRESSION:
            if ptypes.is_bool_dtype(column.dtype) or not ptypes.is_numeric_dtype(column.dtype):
                raise DataError(
                    f"Target column {column.name!r} holds labels, not numbers; "
                    f"a regression target must be numeric"
                )
            y = column.to_numpy(dtype=np.float64)
            if not np.all(np.isfinite(y)):
                raise DataError(f"Target column {column.name!r} holds infinite values")
            return task_type, y, None
        cat = column.astype("category")
        classes = np.asarray(cat.cat.categories)
        if classes.size < 2:
            raise DataError(
                f"Target column {column.name!r} has a single class; "
                f"classification needs at least two"
            )
        return task_type, cat.cat.codes.to_numpy(dtype=np.int64), classes

    def _split(self, test_size: float, random_state: int) -> dict[str, np.ndarray]:
        if isinstance(test_size, bool) or not isinstance(test_size, (float, np.floating)) \
                or not 0.0 < test_size < 1.0:
            raise DataError(f"test_size must be a fraction between 0 and 1, got {test_size!r}")
        if self._n < 2:
            raise DataError("The data needs at least two rows to split into train and test")
        stratify = None
        if self.task_type == CLASSIFICATION and np.bincount(self._y).min() >= 2:
            stratify = self._y
        rows = np.arange(self._n)
        try:
            train, test = train_test_split(
                rows, test_size=test_size, random_state=random_state, stratify=stratify
            )
        except ValueError as exc:
            if stratify is None:
                raise DataError(f"Cannot split {self._n} rows with test_size={test_size}: {exc}") from None
            train, test = train_test_split(rows, test_size=test_size, random_state=random_state)
        # Keep each split in the row order of the frame.
        return {"main": rows, "train": np.sort(train), "test": np.sort(test)}

    # -- public interface ----------------------------------------------------

    @classmethod
    def from_csv(cls, path: str | os.PathLike[str], target: Hashable, **kwargs: Any) -> "DataSet":
        """Read a CSV (header row first) or Parquet file into a DataSet.

        See :func:`korvan.inputs.read_table` for the formats.

        Parameters
        ----------
        path : str or path-like
            The file.
        target : str
            Target column.
        **kwargs
            Passed on to :class:`DataSet`; ``name`` defaults to the file's
            stem.

        Raises
        ------
        DataError
            If the file is missing, unreadable, empty or not CSV, or the
            data does not fit (see :class:`DataSet`).
        """
        kwargs.setdefault("name", Path(path).stem)
        return cls(read_table(path), target, **kwargs)

    @property
    def n_samples(self) -> int:
        """Number of rows."""
        return self._n

    def _rows(self, dataset: str) -> np.ndarray:
        if not isinstance(dataset, str) or dataset not in self._splits:
            raise ValueError(f"Unknown split {dataset!r}; valid splits are: {', '.join(SPLITS)}")
        return self._splits[dataset]

    def get_X_y_data(self, dataset: str = "test") -> tuple[np.ndarray, np.ndarray, np.ndarray | None]:
        """Return the features, target and sample weights of a split.

        Parameters
        ----------
        dataset : {"main", "train", "test"}, default "test"
            ``"main"`` is every row.

        Returns
        -------
        X : numpy.ndarray
            2-D float64 matrix, one column per feature in ``feature_names``
            order.  A fresh copy: changing it leaves the DataSet unchanged.
        y : numpy.ndarray
            1-D target: floats for regression, class codes for classification.
        sample_weight : numpy.ndarray or None

        Raises
        ------
        ValueError
            If ``dataset`` names no split.
        """
        rows = self._rows(dataset)
        w = None if self._w is None else self._w[rows]
        return self._X[rows], self._y[rows], w

    def get_index(self, dataset: str = "test") -> pd.Index:
        """Return the frame's index labels of a split's rows, in ``X`` row order."""
        return self._index[self._rows(dataset)]

    def get_frame(self, dataset: str = "test", X: np.ndarray | None = None) -> pd.DataFrame:
        """Return a split's features as a frame like the original, indexed by row label.

        Parameters
        ----------
        dataset : {"main", "train", "test"}, default "test"
        X : numpy.ndarray, optional
            A matrix of the split's rows to decode instead of the stored one,
            such as a perturbed copy.
        """
        rows = self._rows(dataset)
        return self.schema.to_frame(self._X[rows] if X is None else X, index=self._index[rows])

    def split_target(self, n_rows: int | None) -> np.ndarray | None:
        """The target of the split with ``n_rows`` rows.

        A scorer that needs each row's truth, not only the score function,
        finds it here from the rows it is handed, perturbed or not: the
        splits differ in size.  ``None`` only checks that they do.

        Raises
        ------
        ValueError
            If the train and test splits have the same size, or no split has
            ``n_rows`` rows.
        """
        sizes = {name: len(rows) for name, rows in self._splits.items()}
        if sizes["train"] == sizes["test"]:
            raise ValueError(
                f"The train and test splits both have {sizes['test']} rows, so a scorer "
                f"that needs each row's class cannot tell them apart; use another test_size"
            )
        if n_rows is None:
            return None
        for name, size in sizes.items():
            if size == n_rows:
                return self._y[self._splits[name]]
        raise ValueError(f"No split of the data set has {n_rows} rows")

    def target_labels(self, y: np.ndarray) -> np.ndarray:
        """The original target values of ``y`` (class labels for classification)."""
        if self.classes is None:
            return np.asarray(y)
        return self.classes[np.asarray(y, dtype=np.intp)]

    def __repr__(self) -> str:
        n_cat = sum(ft == CATEGORICAL for ft in self.feature_types)
        return (
            f"DataSet(name={self.name!r}, task_type={self.task_type!r}, rows={self._n}, "
            f"features={len(self.feature_names)} ({n_cat} categorical), "
            f"target={self.target!r})"
        )


def load_bundled(name: str, test_size: float = 0.3, random_state: int = 0) -> DataSet:
    """Load a data set that ships with scikit-learn (no download).

    Parameters
    ----------
    name : {"diabetes", "breast_cancer"}
        ``"diabetes"``: 442 patients, 10 numerical features, regression of
        disease progression.  ``"breast_cancer"``: 569 tumours, 30 numerical
        features, binary classification (0 malignant, 1 benign).
    test_size, random_state
        Passed to :class:`DataSet`.

    Raises
    ------
    ValueError
        If ``name`` is not a bundled data set.
    """
    from sklearn import datasets

    loaders = {"diabetes": datasets.load_diabetes, "breast_cancer": datasets.load_breast_cancer}
    if name not in loaders:
        raise ValueError(f"Unknown bundled data set {name!r}; valid names are: {', '.join(BUNDLED)}")
    frame = loaders[name](as_frame=True).frame
    task = REGRESSION if name == "diabetes" else CLASSIFICATION
    return DataSet(frame, "target", task_type=task, test_size=test_size,
                   random_state=random_state, name=name)
