"""Plain JSON values from results, tables and numpy data."""

from __future__ import annotations

import math
from typing import Any, Mapping

import numpy as np
import pandas as pd

__all__ = ["to_jsonable", "json_key"]


def json_key(key: Any) -> str:
    # Noise levels key the result values; JSON keys must be strings.
    if isinstance(key, np.generic):
        key = key.item()
    return key if isinstance(key, str) else str(key)


def to_jsonable(obj: Any) -> Any:
    """Return ``obj`` as plain JSON values.

    numpy scalars and arrays become Python numbers and lists, mapping keys
    become strings, NaN and infinities become ``None`` (JSON has no such
    numbers), DataFrames become ``{"columns", "index", "data"}`` with one
    list per row, and any other object its ``name`` if it has one, else its
    ``str``.
    """
    if obj is None or isinstance(obj, (bool, str)):
        return obj
    if isinstance(obj, int):
        return obj
    if isinstance(obj, float):
        return obj if math.isfinite(obj) else None
    if isinstance(obj, np.generic):
        return to_jsonable(obj.item())
    if isinstance(obj, np.ndarray):
        return to_jsonable(obj.tolist())
    if isinstance(obj, Mapping):
        return {json_key(k): to_jsonable(v) for k, v in obj.items()}
    if type(obj) is list and _finite_floats(obj):
        return obj  # the common bulk: one prediction per row, already JSON values
    if isinstance(obj, (list, tuple, set, frozenset)):
        return [to_jsonable(v) for v in obj]
    if isinstance(obj, pd.DataFrame):
        return {"columns": to_jsonable(list(obj.columns)), "index": to_jsonable(list(obj.index)),
                "data": to_jsonable(obj.to_numpy().tolist())}
    if isinstance(obj, (pd.Series, pd.Index)):
        return to_jsonable(obj.tolist())
    name = getattr(obj, "name", None)
    return name if isinstance(name, str) else str(obj)


def _finite_floats(values: list[Any]) -> bool:
    # Checked in bulk: a run keeps hundreds of thousands of predictions.
    if not values or not all(type(v) is float for v in values):
        return False
    return bool(np.isfinite(np.fromiter(values, dtype=np.float64, count=len(values))).all())
