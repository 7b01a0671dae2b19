"""What a fitted model knows about the columns it was fitted on.

A fitted model often knows more about its inputs than the table it is tested
on: a pipeline routes some columns to an encoder, a gradient-boosting library
stores the categories of the pandas ``category`` columns it was fitted on,
CatBoost lists its categorical features.  A robustness test that perturbs
such a column with Gaussian noise, or hands the model strings where it was
fitted on categories, tests something the model never sees in use.
:func:`describe_model` collects what the model says, so the column roles and
dtypes of a test can follow it.

Nothing here imports the data set or the command: the answers are plain
values keyed by column, which the layers above combine with the data's own
types and the user's wishes.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Hashable, Sequence

import numpy as np
import pandas as pd

__all__ = ["ModelColumns", "UnseenCategories", "describe_model", "model_frame",
           "fitted_names", "fitted_width"]

#: Encoders whose input columns a model treats as categories.
_ENCODERS = ("OneHotEncoder", "OrdinalEncoder", "TargetEncoder")

# XGBoost's feature types and the dtype each stands for.
_XGB_DTYPES = {"int": "int64", "i": "bool", "float": "float64", "q": "float64"}


class UnseenCategories(ValueError):
    """A column holds values the model stores no category for.

    Attributes
    ----------
    column : hashable
    values : list
        The unseen values, in order of first appearance.
    """

    def __init__(self, column: Hashable, values: Sequence[Any]) -> None:
        shown = ", ".join(repr(v) for v in list(values)[:10])
        more = f" ({len(values)} in all)" if len(values) > 10 else ""
        super().__init__(
            f"Column {column!r} holds values the model never saw: {shown}{more}")
        self.column = column
        self.values = list(values)


@dataclass
class ModelColumns:
    """What a fitted model says about its input columns.

    Columns are keyed by name when the model was fitted on named columns
    (``feature_names`` is set), otherwise by position 0, 1, ...

    Attributes
    ----------
    family : str
        The kind of model, for messages: ``"scikit-learn"``, ``"LightGBM"``,
        ``"XGBoost"``, ``"CatBoost"`` or ``"other"``.
    feature_names : list of str or None
        The names it was fitted on, in its input order; None for a plain array.
    n_features : int or None
        How many columns it takes, where it says.
    categorical : dict
        Column -> where the model says it is a category, e.g.
        ``"OneHotEncoder in step 'cat'"``.
    categories : dict
        Column -> the categories the model stores for it, in its own order.
    numerical : dict
        Column -> what the model does with it as a number, e.g.
        ``"StandardScaler in step 'num'"``; filled where the model says.
    dtypes : dict
        Column -> the dtype it was fitted on, where the model records it
        (a ``pandas.CategoricalDtype`` for stored categories).
    strict : set
        Columns whose encoder refuses a value it has no category for
        (``handle_unknown="error"``).
    """

    family: str = "other"
    feature_names: list[str] | None = None
    n_features: int | None = None
    categorical: dict[Hashable, str] = field(default_factory=dict)
    categories: dict[Hashable, list[Any]] = field(default_factory=dict)
    numerical: dict[Hashable, str] = field(default_factory=dict)
    dtypes: dict[Hashable, Any] = field(default_factory=dict)
    strict: set[Hashable] = field(default_factory=set)

    def key(self, position: int) -> Hashable:
        """The key of the column at ``position`` of the model's input."""
        return self.feature_names[position] if self.feature_names is not None else position


def _family(estimator: Any) -> str:
    root = type(estimator).__module__.split(".")[0]
    return {"sklearn": "scikit-learn", "lightgbm": "LightGBM", "xgboost": "XGBoost",
            "catboost": "CatBoost"}.get(root, "other")


def _plain_list(values: Any) -> list[Any]:
    # Stored categories without a missing marker, as Python scalars.
    out = []
    for v in list(values):
        if v is None or (isinstance(v, float) and np.isnan(v)):
            continue
        out.append(v.item() if isinstance(v, np.generic) else v)
    return out


def _feature_names(estimator: Any, family: str) -> list[str] | None:
    names = getattr(estimator, "feature_names_in_", None)
    if names is not None:
        return [str(n) for n in names]
    if family == "CatBoost":
        # A CatBoost model read from its own file reports n_features_in_ = 0;
        # feature_names_ has every column.  Fitted on an array, it names them
        # "0", "1", ..., which are positions, not names.
        names = list(getattr(estimator, "feature_names_", None) or [])
        if names and names != [str(i) for i in range(len(names))]:
            return [str(n) for n in names]
    return None


def _n_features(estimator: Any, family: str, names: list[str] | None) -> int | None:
    n = getattr(estimator, "n_features_in_", None)
    if isinstance(n, (int, np.integer)) and n > 0:
        return int(n)
    if names is not None:
        return len(names)
    if family == "CatBoost":
        found = getattr(estimator, "feature_names_", None)
        return len(found) if found else None
    return None


def fitted_names(estimator: Any) -> list[str] | None:
    """The column names a model was fitted with, or None if it was fitted on an array."""
    return _feature_names(estimator, _family(estimator))


def fitted_width(estimator: Any) -> int | None:
    """How many columns a model takes, where it says."""
    family = _family(estimator)
    return _n_features(estimator, family, _feature_names(estimator, family))


def describe_model(estimator: Any) -> ModelColumns:
    """Ask a fitted model what it knows about its input columns.

    Parameters
    ----------
    estimator : object
        A fitted scikit-learn estimator or pipeline, a LightGBM, XGBoost or
        CatBoost model (their scikit-learn classes or boosters), or anything
        else with ``predict`` (about which nothing is known beyond
        ``feature_names_in_`` and ``n_features_in_``).

    Returns
    -------
    ModelColumns
    """
    family = _family(estimator)
    names = _feature_names(estimator, family)
    info = ModelColumns(family=family, feature_names=names,
                        n_features=_n_features(estimator, family, names))
    keys = list(range(info.n_features)) if info.n_features is not None else None
    if names is not None:
        keys = list(names)
    if family == "scikit-learn":
        _read_sklearn(estimator, keys, info)
    elif family == "LightGBM":
        _read_lightgbm(estimator, info)
    elif family == "XGBoost":
        _read_xgboost(estimator, info)
    elif family == "CatBoost":
        _read_catboost(estimator, info)
    return info


# -- scikit-learn ------------------------------------------------------------

def _is_encoder(obj: Any) -> bool:
    return type(obj).__name__ in _ENCODERS and hasattr(obj, "categories_")


def _read_sklearn(estimator: Any, keys: list[Hashable] | None, info: ModelColumns) -> None:
    steps = getattr(estimator, "steps", None)
    if isinstance(steps, list) and steps:
        # The first step sees the model's input columns; what comes after
        # sees the first step's output, which has other columns.
        first = steps[0][1]
        if hasattr(first, "steps") or hasattr(first, "transformers_") or _is_encoder(first):
            _read_sklearn(first, keys, info)
        elif len(steps) == 1:
            _read_sklearn(first, keys, info)
        return
    if keys is None:
        return
    if hasattr(estimator, "transformers_"):
        _read_column_transformer(estimator, keys, info)
    elif _is_encoder(estimator):
        _mark_encoded(estimator, type(estimator).__name__, keys, info)
    elif hasattr(estimator, "is_categorical_"):
        _read_hist_gradient_boosting(estimator, keys, info)


def _input_indices(ct: Any, n_inputs: int) -> dict[str, list[int]]:
    found = getattr(ct, "_transformer_to_input_indices", None)
    if isinstance(found, dict):
        return {name: [int(i) for i in idx] for name, idx in found.items()}
    # Older releases: resolve each step's column selection against the input.
    names = getattr(ct, "feature_names_in_", None)
    out = {}
    for name, _, columns in ct.transformers_:
        out[name] = _resolve_columns(columns, n_inputs, names)
    return out


def _resolve_columns(columns: Any, n_inputs: int, names: Any) -> list[int]:
    positions = np.arange(n_inputs)
    if isinstance(columns, slice):
        return positions[columns].tolist()
    if isinstance(columns, (str, int, np.integer)):
        columns = [columns]
    columns = list(columns)
    if columns and isinstance(columns[0], (bool, np.bool_)):
        return positions[np.asarray(columns, dtype=bool)].tolist()
    if columns and isinstance(columns[0], str) and names is not None:
        where = {str(n): i for i, n in enumerate(names)}
        return [where[c] for c in columns]
    return [int(c) for c in columns]


def _read_column_transformer(ct: Any, keys: list[Hashable], info: ModelColumns) -> None:
    indices = _input_indices(ct, len(keys))
    for name, trans, _ in ct.transformers_:
        sub = [keys[i] for i in indices.get(name, [])]
        if not sub or (isinstance(trans, str) and trans == "drop"):
            continue
        if isinstance(trans, str):  # "passthrough"
            for k in sub:
                info.numerical.setdefault(k, f"passed through by step {name!r}")
            continue
        encoder, nested = _find_encoder(trans)
        if nested is not None:
            _read_sklearn(nested, sub, info)
        elif encoder is not None:
            _mark_encoded(encoder, f"{type(encoder).__name__} in step {name!r}", sub, info)
        else:
            last = trans.steps[-1][1] if hasattr(trans, "steps") else trans
            what = (f"{type(last).__name__} in step {name!r}"
                    if getattr(last, "func", True) is not None else f"passed through by step {name!r}")
            for k in sub:
                info.numerical.setdefault(k, what)


def _find_encoder(trans: Any) -> tuple[Any, Any]:
    """The encoder a transformer applies to its columns, or a nested column transformer."""
    if _is_encoder(trans):
        return trans, None
    if hasattr(trans, "transformers_"):
        return None, trans
    for _, step in getattr(trans, "steps", None) or []:
        if _is_encoder(step):
            return step, None
        if hasattr(step, "transformers_") or hasattr(step, "steps"):
            found = _find_encoder(step)
            if found != (None, None):
                return found
    return None, None


def _mark_encoded(encoder: Any, source: str, keys: Sequence[Hashable], info: ModelColumns) -> None:
    categories = getattr(encoder, "categories_", None) or []
    strict = getattr(encoder, "handle_unknown", None) == "error"
    for j, k in enumerate(keys):
        info.numerical.pop(k, None)
        info.categorical[k] = source
        if j < len(categories):
            info.categories[k] = _plain_list(categories[j])
            if strict:
                info.strict.add(k)


def _read_hist_gradient_boosting(model: Any, keys: list[Hashable], info: ModelColumns) -> None:
    mask = getattr(model, "is_categorical_", None)
    if mask is None:
        return
    how = model.categorical_features
    from_dtype = isinstance(how, str) and how == "from_dtype"
    source = "categorical_features='from_dtype'" if from_dtype else "categorical_features"
    for j in np.flatnonzero(mask):
        info.categorical[keys[j]] = source
    # Fitted on pandas categories, the model encodes them with an ordinal
    # encoder of its own, which keeps the categories in their original order.
    pre = getattr(model, "_preprocessor", None)
    if pre is None or not hasattr(pre, "transformers_"):
        return
    indices = _input_indices(pre, len(keys))
    for name, trans, _ in pre.transformers_:
        idx = indices.get(name, [])
        if _is_encoder(trans):
            for j, i in enumerate(idx):
                info.categories[keys[i]] = _plain_list(trans.categories_[j])
                if from_dtype:
                    info.dtypes[keys[i]] = pd.CategoricalDtype(info.categories[keys[i]])


# -- gradient-boosting libraries ---------------------------------------------

def _read_lightgbm(model: Any, info: ModelColumns) -> None:
    booster = getattr(model, "booster_", None) if not hasattr(model, "dump_model") else model
    if booster is None:
        return
    names = [str(n) for n in booster.feature_name()]
    if info.feature_names is None and names != [f"Column_{i}" for i in range(len(names))]:
        info.feature_names = names
    info.n_features = info.n_features or len(names)
    # A categorical feature lists the values it splits on; a numerical one
    # only its range.  One iteration is enough to read the feature table.
    table = booster.dump_model(num_iteration=1).get("feature_infos", {})
    cat_positions = [i for i, n in enumerate(booster.feature_name())
                     if table.get(n, {}).get("values")]
    stored = list(getattr(booster, "pandas_categorical", None) or [])
    aligned = len(stored) == len(cat_positions)
    for j, i in enumerate(cat_positions):
        k = info.key(i)
        info.categorical[k] = "pandas category" if aligned else "categorical_feature"
        if aligned:
            info.categories[k] = _plain_list(stored[j])
            info.dtypes[k] = pd.CategoricalDtype(info.categories[k])


def _read_xgboost(model: Any, info: ModelColumns) -> None:
    booster = model.get_booster() if hasattr(model, "get_booster") else model
    types = list(getattr(booster, "feature_types", None) or [])
    names = getattr(booster, "feature_names", None)
    if info.feature_names is None and names:
        info.feature_names = [str(n) for n in names]
    info.n_features = info.n_features or (len(types) or None)
    stored: dict[str, Any] = {}
    try:
        # Releases from 3.1 keep the categories the model was fitted on.
        for name, values in booster.get_categories(export_to_arrow=True).to_arrow():
            if values is not None:
                stored[str(name)] = values.to_pylist()
    except Exception:  # older releases: the roles are known, the categories are not
        stored = {}
    for i, t in enumerate(types):
        k = info.key(i)
        if t == "c":
            info.categorical[k] = "feature_types"
            if str(k) in stored:
                info.categories[k] = _plain_list(stored[str(k)])
                info.dtypes[k] = pd.CategoricalDtype(info.categories[k])
        elif t in _XGB_DTYPES:
            info.dtypes[k] = np.dtype(_XGB_DTYPES[t])


def _read_catboost(model: Any, info: ModelColumns) -> None:
    for i in model.get_cat_feature_indices():
        info.categorical[info.key(int(i))] = "cat_features"


# -- data for the model -------------------------------------------------------

def model_frame(frame: pd.DataFrame, info: ModelColumns,
                columns: Sequence[Hashable] | None = None) -> pd.DataFrame:
    """Give the columns the dtypes the model stores for them.

    A column read from CSV or from an untyped Parquet file holds strings or
    numbers where the model was fitted on a pandas ``category``; with the
    model's stored categories, in the model's order, it becomes that
    category again, so a test reads the same data whatever the file type.

    Parameters
    ----------
    frame : pandas.DataFrame
        Not changed; a new frame is returned when a column changes.
    info : ModelColumns
        What :func:`describe_model` read from the model.
    columns : sequence of hashable, optional
        The frame's columns in the model's input order, for a model that
        keys its columns by position; default the frame's names.

    Raises
    ------
    UnseenCategories
        If a column holds values the model stores no category for, where it
        was fitted on a ``category`` dtype or its encoder refuses unknown
        values.
    """
    if columns is None:
        columns = [c for c in frame.columns]
    by_key = {}
    for pos, column in enumerate(columns):
        k = info.key(pos) if info.feature_names is None else str(column)
        by_key[column] = k
    changed: dict[Hashable, Any] = {}
    for column, k in by_key.items():
        if k in info.strict and column in frame.columns:
            known = set(info.categories[k])
            unseen = [v for v in pd.unique(frame[column].dropna()) if v not in known]
            if unseen:
                raise UnseenCategories(column, [v.item() if isinstance(v, np.generic) else v
                                                for v in unseen])
        dtype = info.dtypes.get(k)
        if not isinstance(dtype, pd.CategoricalDtype) or column not in frame.columns:
            continue
        values = frame[column]
        if isinstance(values.dtype, pd.CategoricalDtype) and list(
                values.dtype.categories) == list(dtype.categories):
            continue
        changed[column] = _to_categories(values, dtype, column)
    if not changed:
        return frame
    out = frame.copy(deep=False)
    for column, values in changed.items():
        out[column] = values
    return out


def _to_categories(values: pd.Series, dtype: pd.CategoricalDtype, column: Hashable) -> pd.Series:
    stored = list(dtype.categories)
    present = values.dropna()
    if isinstance(present.dtype, pd.CategoricalDtype):
        present = present.astype(object)
    known = set(stored)
    if all(isinstance(c, str) for c in stored) and not all(isinstance(v, str) for v in present):
        # Categories fitted as text, read back as numbers (a CSV column of codes "1", "2").
        present = present.astype(str)
        values = values.where(values.isna(), values.astype(str))
    elif all(isinstance(c, (int, np.integer)) for c in stored) and \
            pd.api.types.is_float_dtype(present.dtype) and (present % 1 == 0).all():
        # Whole numbers that a missing value turned into floats.
        present = present.astype(np.int64)
        values = values.where(values.isna(), values.astype("Int64"))
    unseen = [v for v in pd.unique(present) if v not in known]
    if unseen:
        raise UnseenCategories(column, unseen)
    return values.astype(object).astype(dtype)
