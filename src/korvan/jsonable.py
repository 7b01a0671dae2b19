"""Plain JSON values from results, tables and numpy data."""

from __future__ import annotations

import math
import os
from typing import Any, Mapping

import numpy as np
import orjson
import pandas as pd

__all__ = ["to_jsonable", "json_key", "dumps", "save_json"]


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


def dumps(payload: Any) -> bytes:
    """``payload`` (plain JSON values) as JSON bytes.

    orjson writes the large prediction lists many times faster than json;
    numpy scalars that slip through are written as numbers.
    """
    return orjson.dumps(payload, option=orjson.OPT_SERIALIZE_NUMPY)


def save_json(payload: Any, path: str | os.PathLike[str]) -> str:
    """Write ``payload`` as JSON to ``path`` and return the path.

    The bytes are built before the file is opened, so a payload that cannot
    be written as JSON leaves no partial file behind.
    """
    data = dumps(payload)
    path = os.fspath(path)
    with open(path, "wb") as fh:
        fh.write(data)
    return path
