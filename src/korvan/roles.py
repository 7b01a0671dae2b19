"""The role of every column of a user's table, decided before a run.

The command reads a whole file; this module says which column is the target,
the weight, a numerical or a categorical feature, or left out, and refuses
columns that cannot be features with a message naming the options that fix
it.
"""

from __future__ import annotations

import re
from dataclasses import dataclass, field
from typing import Hashable, Sequence

import numpy as np
import pandas as pd
from pandas.api import types as ptypes

from korvan.data import DataError, infer_feature_type
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
    """

    target: Hashable
    weight: Hashable | None
    features: list[Hashable]
    feature_types: dict[Hashable, str]
    dropped: list[Hashable] = field(default_factory=list)

    def by_role(self) -> list[tuple[str, list[Hashable]]]:
        """(role, columns) pairs in the order they are shown, empty roles left out."""
        rows = [
            ("target", [self.target]),
            ("numerical", [f for f in self.features if self.feature_types[f] == NUMERICAL]),
            ("categorical", [f for f in self.features if self.feature_types[f] == CATEGORICAL]),
            ("weight", [] if self.weight is None else [self.weight]),
            ("dropped", list(self.dropped)),
        ]
        return [(role, cols) for role, cols in rows if cols]


def assign_roles(frame: pd.DataFrame, target: Hashable, weight: Hashable | None = None,
                 drop: Sequence[Hashable] = (), categorical: Sequence[Hashable] = ()
                 ) -> ColumnRoles:
    """Give every column of ``frame`` its role.

    Raises
    ------
    DataError
        If a named column is missing or named for two roles.
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
    for name in categorical:
        if name not in features:
            raise DataError(f"--categorical: {name!r} is not a feature column; valid "
                            f"columns are: {name_list(features, limit=None)}")
    if not features:
        raise DataError("No feature columns are left besides the target")
    types: dict[Hashable, str] = {}
    for fn in features:
        if fn in categorical:
            types[fn] = CATEGORICAL
        else:
            try:
                types[fn] = infer_feature_type(frame[fn])
            except DataError:
                types[fn] = "unusable"
    return ColumnRoles(target, weight, features, types, list(drop))


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
            found[fn] = f"{column.dtype} values"
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
    if any(why.endswith("values") for why in found.values()):
        fixes += " or convert them to numbers or labels first"
    return f"These columns cannot be features: {listed}; {fixes}"


def roles_table(roles: ColumnRoles, limit: int = 12) -> str:
    """The role of every column as a short text table, one role a line."""
    rows = roles.by_role()
    width = max(len(role) for role, _ in rows)
    lines = []
    for role, cols in rows:
        shown = name_list(cols[:limit], limit=None) + (f", ... ({len(cols)} in all)" if len(cols) > limit else "")
        lines.append(f"  {role:<{width}}  {shown}")
    return "\n".join(lines)


def non_missing_counts(X: np.ndarray, names: Sequence[Hashable]) -> dict[Hashable, int]:
    """Non-missing values per column of a feature matrix."""
    counts = (~np.isnan(X)).sum(axis=0)
    return {fn: int(c) for fn, c in zip(names, counts)}
