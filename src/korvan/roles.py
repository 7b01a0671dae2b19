"""The role of every column of a user's table, decided before a run.

The command reads a whole file; this module says which column is the target,
the weight, a numerical or a categorical feature, or left out, and refuses
columns that cannot be features with a message naming the options that fix
it.
"""

from __future__ import annotations

import datetime
import re
from dataclasses import dataclass, field
from typing import Hashable, Sequence

import numpy as np
import pandas as pd
from pandas.api import types as ptypes

from korvan.data import DataError, infer_feature_type
from korvan.modelinfo import ModelColumns
from korvan.constants import CATEGORICAL, NUMERICAL
from korvan.text import name_list

__all__ = ["ColumnRoles", "assign_roles", "unusable_columns", "unusable_message", "roles_table",
           "non_missing_counts"]

# Names under which row identifiers usually travel ("Unnamed: 0" is what a
# frame saved with its index reads back as).
_ID_NAME = re.compile(r"^(id|index|key|uuid|unnamed: ?0)$|[_ ]id$", re.IGNORECASE)
# Identifiers are refused only in tables large enough for distinct values to
# mean something.
_MIN_ROWS_FOR_ID = 10
# Dates and timestamps written as text, the way a CSV file holds them.
_DATE_TEXT = re.compile(
    r"^\d{4}-\d{2}-\d{2}([T ]\d{2}:\d{2}(:\d{2}(\.\d+)?)?(Z|[+-]\d{2}:?\d{2})?)?$")

#: Where a feature's type came from, as the roles table shows it.
FROM_DATA = "from the data's type"
FROM_MODEL = "from the model"


@dataclass
class ColumnRoles:
    """Which column plays which part.

    Attributes
    ----------
    target : hashable
    weight : hashable or None
    features : list
        In table order.
    feature_types : dict
        ``"numerical"`` or ``"categorical"`` per feature.
    dropped : list
        Columns left out with ``--drop``.
    sources : dict
        Where each feature's type came from: the model (and what in it says
        so), the data's type, ``--categorical`` or ``--numerical``.  Empty for
        a bundled data set, whose types are given.
    notes : dict
        A remark for the roles table per feature, such as a two-valued
        number perturbed as a number.
    """

    target: Hashable
    weight: Hashable | None
    features: list[Hashable]
    feature_types: dict[Hashable, str]
    dropped: list[Hashable] = field(default_factory=list)
    sources: dict[Hashable, str] = field(default_factory=dict)
    notes: dict[Hashable, str] = field(default_factory=dict)

    def by_role(self) -> list[tuple[str, list[Hashable]]]:
        """(role, columns) pairs in the order they are shown, empty roles left out."""
        return [(role, cols) for role, cols, _ in self.by_source()]

    def by_source(self) -> list[tuple[str, list[Hashable], str]]:
        """(role, columns, source) in the order they are shown: one row per
        feature type and source, empty ones left out."""
        rows: list[tuple[str, list[Hashable], str]] = [("target", [self.target], "")]
        for ft in (NUMERICAL, CATEGORICAL):
            groups: dict[str, list[Hashable]] = {}
            for f in self.features:
                if self.feature_types[f] == ft:
                    groups.setdefault(self.sources.get(f, ""), []).append(f)
            rows += [(ft, cols, source) for source, cols in groups.items()]
        rows.append(("weight", [] if self.weight is None else [self.weight], ""))
        rows.append(("dropped", list(self.dropped), ""))
        return [row for row in rows if row[1]]


def _model_keys(features: Sequence[Hashable], model: ModelColumns | None
                ) -> dict[Hashable, Hashable]:
    # A model fitted on named columns is matched by name; one fitted on a
    # plain array takes the features in the file's order.
    if model is None:
        return {}
    if model.feature_names is not None:
        return {fn: str(fn) for fn in features}
    if model.n_features is not None and model.n_features != len(features):
        return {}
    return {fn: j for j, fn in enumerate(features)}


def assign_roles(frame: pd.DataFrame, target: Hashable, weight: Hashable | None = None,
                 drop: Sequence[Hashable] = (), categorical: Sequence[Hashable] = (),
                 numerical: Sequence[Hashable] = (), model: ModelColumns | None = None
                 ) -> ColumnRoles:
    """Give every column of ``frame`` its role.

    A feature's type comes, first to last, from ``categorical`` or
    ``numerical`` (the user's word), from the model (the columns it encodes
    or declares as categories, see :func:`korvan.modelinfo.describe_model`),
    or from the column's dtype.

    Raises
    ------
    DataError
        If a named column is missing or named for two roles, or the user
        names a column categorical that the model scales as a number, or
        numerical one that the model takes as a category.
    """
    columns = list(frame.columns)
    known = set(columns)
    if target not in known:
        raise DataError(f"Unknown target column {target!r}; columns are: {name_list(columns, limit=None)}")
    for option, names in (("--sample-weight", [] if weight is None else [weight]),
                          ("--drop", drop)):
        unknown = [n for n in names if n not in known]
        if unknown:
            what = "column" if option != "--drop" else "columns"
            raise DataError(f"{option}: unknown {what} {name_list(unknown, limit=None)}; "
                            f"columns are: {name_list(columns, limit=None)}")
    clash = [n for n in drop if n in (target, weight)]
    if clash:
        raise DataError(f"--drop: {name_list(clash, limit=None)} is the target or the weight; it cannot be dropped")
    reserved = {target, *drop} | ({weight} if weight is not None else set())
    features = [c for c in columns if c not in reserved]
    for option, names in (("--categorical", categorical), ("--numerical", numerical)):
        for name in names:
            if name not in features:
                raise DataError(f"{option}: {name!r} is not a feature column; valid "
                                f"columns are: {name_list(features, limit=None)}")
    both = [n for n in categorical if n in set(numerical)]
    if both:
        raise DataError(f"--categorical and --numerical both name {name_list(both, limit=None)}; "
                        f"name each column once")
    if not features:
        raise DataError("No feature columns are left besides the target")
    keys = _model_keys(features, model)
    types: dict[Hashable, str] = {}
    sources: dict[Hashable, str] = {}
    notes: dict[Hashable, str] = {}
    for fn in features:
        k = keys.get(fn)
        encoded = None if model is None or k is None else model.categorical.get(k)
        scaled = None if model is None or k is None else model.numerical.get(k)
        if fn in categorical:
            if scaled is not None:
                raise DataError(f"--categorical names {fn}, but the model takes it as a "
                                f"number ({scaled}); leave it out of --categorical")
            types[fn], sources[fn] = CATEGORICAL, "from --categorical"
        elif fn in numerical:
            if encoded is not None:
                raise DataError(f"--numerical names {fn}, but the model takes it as a "
                                f"category ({encoded}); leave it out of --numerical")
            types[fn], sources[fn] = NUMERICAL, "from --numerical"
        elif encoded is not None:
            types[fn], sources[fn] = CATEGORICAL, f"{FROM_MODEL}: {encoded}"
        else:
            try:
                types[fn] = infer_feature_type(frame[fn])
            except DataError:
                types[fn] = "unusable"
            sources[fn] = FROM_DATA
            if types[fn] == CATEGORICAL and _is_date_text(frame[fn]):
                types[fn] = "unusable"
            if types[fn] == NUMERICAL:
                note = _flag_note(fn, frame[fn])
                if note:
                    notes[fn] = note
    return ColumnRoles(target, weight, features, types, list(drop), sources, notes)


def _is_date_text(column: pd.Series) -> bool:
    """Text that is all dates or timestamps, such as "2024-05-01" or "2024-05-01T10:00"."""
    values = column.dropna()
    if not len(values):
        return False
    # A CSV reader may already have turned plain dates into date objects.
    if all(isinstance(v, datetime.date) for v in values.iloc[:1000]):
        return all(isinstance(v, datetime.date) for v in values)
    if not all(isinstance(v, str) for v in values.iloc[:1000]):
        return False
    return bool(values.astype(str).str.fullmatch(_DATE_TEXT).all())


def _flag_note(fn: Hashable, column: pd.Series) -> str | None:
    # Gaussian noise on a 0/1 flag makes numbers between the two that no row
    # ever held; rarely what a user means, so the roles table says so.
    values = pd.unique(column.dropna())
    if len(values) != 2:
        return None
    low, high = sorted(v.item() if isinstance(v, np.generic) else v for v in values)
    return (f"{fn} holds two values ({low}, {high}) and is perturbed as a number; "
            f"--categorical {fn} perturbs it as a category")


def _is_identifier(name: Hashable, column: pd.Series) -> bool:
    values = column.dropna()
    n = len(values)
    if n < _MIN_ROWS_FOR_ID or values.nunique() != n:
        return False
    dtype = column.dtype
    if ptypes.is_float_dtype(dtype) or ptypes.is_bool_dtype(dtype):
        return False
    if _ID_NAME.search(str(name)):
        return True
    if ptypes.is_integer_dtype(dtype):
        # A run of consecutive whole numbers is a row number.
        return bool(values.max() - values.min() == n - 1)
    # Text with a different value in every row: identifiers or free text.
    return True


def unusable_columns(frame: pd.DataFrame, roles: ColumnRoles,
                     needed: Sequence[Hashable] = ()) -> dict[Hashable, str]:
    """Features that cannot be perturbed and scored, with the reason for each.

    All missing, constant, neither numbers nor labels (dates, for example),
    or an obvious row identifier.  Columns in ``needed`` (those a loaded
    model was fitted on) are only refused when their type cannot be used.
    """
    found: dict[Hashable, str] = {}
    for fn in roles.features:
        column = frame[fn]
        if roles.feature_types[fn] == "unusable":
            found[fn] = "date strings" if _is_date_text(column) else f"{column.dtype} values"
        elif fn in needed:
            continue
        elif column.isna().all():
            found[fn] = "all missing"
        elif column.nunique(dropna=False) == 1:
            found[fn] = "constant"
        elif _is_identifier(fn, column):
            found[fn] = "a different value in every row, like a row identifier"
    return found


def unusable_message(found: dict[Hashable, str]) -> str:
    """One line naming the unusable columns and the options that fix it."""
    listed = "; ".join(f"{fn} ({why})" for fn, why in found.items())
    fixes = f"leave them out with --drop {','.join(str(fn) for fn in found)}"
    if any(why.endswith("values") or why == "date strings" for why in found.values()):
        fixes += " or convert them to numbers or labels first"
    return f"These columns cannot be features: {listed}; {fixes}"


def roles_table(roles: ColumnRoles, limit: int = 12) -> str:
    """The role of every column as a short text table: one line per role and
    source (where the type came from), then a line per note."""
    rows = roles.by_source()
    width = max(len(role) for role, _, _ in rows)
    lines = []
    for role, cols, source in rows:
        shown = name_list(cols, limit=limit)
        lines.append(f"  {role:<{width}}  {shown}" + (f"  ({source})" if source else ""))
    for note in roles.notes.values():
        lines.append(f"  {'note':<{width}}  {note}")
    return "\n".join(lines)


def non_missing_counts(X: np.ndarray, names: Sequence[Hashable]) -> dict[Hashable, int]:
    """Non-missing values per column of a feature matrix."""
    counts = (~np.isnan(X)).sum(axis=0)
    return {fn: int(c) for fn, c in zip(names, counts)}
