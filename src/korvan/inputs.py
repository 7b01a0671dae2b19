"""Reading the inputs a user brings: data files (CSV, Parquet) and fitted models.

Every failure becomes an :class:`InputError` whose message says what is wrong
and which option fixes it, so that the command can print it as one line.
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import Any, Iterable

import pandas as pd

from korvan.errors import InputError

__all__ = ["InputError", "read_table", "load_model", "PARQUET_SUFFIXES", "SKOPS_SUFFIXES",
           "PICKLE_SUFFIXES", "CATBOOST_SUFFIXES"]

PARQUET_SUFFIXES: tuple[str, ...] = (".parquet", ".pq")
SKOPS_SUFFIXES: tuple[str, ...] = (".skops",)
PICKLE_SUFFIXES: tuple[str, ...] = (".joblib", ".pkl", ".pickle")
CATBOOST_SUFFIXES: tuple[str, ...] = (".cbm",)

# CatBoost's loss functions for classes; any other loss is a regression's.
_CATBOOST_CLASS_LOSSES = ("Logloss", "CrossEntropy", "MultiClass", "MultiClassOneVsAll")
# Separators people use instead of commas: a header that is one column but
# holds one of these was almost surely split with the wrong one.
_OTHER_SEPARATORS = (";", "\t", "|")


def _existing_file(path: str | os.PathLike[str]) -> Path:
    path = Path(path)
    if not path.exists():
        raise InputError(f"No such file: {path}")
    if not path.is_file():
        raise InputError(f"Not a file: {path}")
    return path


def read_table(path: str | os.PathLike[str], sep: str = ",") -> pd.DataFrame:
    """Read a data file into a DataFrame.

    Parquet files (``.parquet``, ``.pq``) are read through pyarrow and keep
    the index they were written with; anything else is read as CSV with a
    header row, and its rows are labelled 0, 1, ... in file order.

    Parameters
    ----------
    path : str or path-like
    sep : str, default ","
        The CSV field separator (``"\\t"`` for tab-separated files).

    Raises
    ------
    InputError
        If the file is missing, unreadable, empty, or not in the format its
        name says; a CSV whose header is one column holding another common
        separator gets a message suggesting ``--sep``.
    """
    path = _existing_file(path)
    if path.suffix.lower() in PARQUET_SUFFIXES:
        _refuse_repeated(_parquet_columns(path), path)
        frame = _read_parquet(path)
    else:
        _refuse_repeated(_csv_header(path, sep), path)
        frame = _read_csv(path, sep)
    if frame.shape[0] == 0:
        raise InputError(f"The file {path} has a header but no data rows")
    return frame


def _refuse_repeated(columns: list[str], path: Path) -> None:
    # Readers rename a repeated column ("a.1") or fail in their own words;
    # either way the user's name would not mean one column.
    seen: set[str] = set()
    for name in columns:
        if name in seen and name.strip():  # unnamed columns get names of their own
            raise InputError(f"The column {name!r} appears more than once in {path}; "
                             f"rename or remove the copies")
        seen.add(name)


def _parquet_columns(path: Path) -> list[str]:
    try:
        import pyarrow.parquet as pq

        return list(pq.read_schema(path).names)
    except Exception:  # no pyarrow, not Parquet: the reader says so next
        return []


def _csv_header(path: Path, sep: str) -> list[str]:
    if len(sep) != 1:
        return []
    import csv

    try:
        with open(path, newline="", encoding="utf-8-sig") as fh:
            return next(csv.reader(fh, delimiter=sep), [])
    except (OSError, UnicodeDecodeError, csv.Error):
        return []  # the reader says what is wrong


def _read_parquet(path: Path) -> pd.DataFrame:
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        raise InputError(
            f"Reading {path.name} needs pyarrow: pip install 'korvan-robustness[parquet]'"
        ) from None
    try:
        return pd.read_parquet(path, engine="pyarrow")
    except OSError as exc:
        raise InputError(f"Cannot read {path} as Parquet: {exc}") from None
    except Exception as exc:  # pyarrow raises its own ArrowInvalid and friends
        raise InputError(f"Cannot read {path} as Parquet: {type(exc).__name__}: {exc}") from None


def _csv_engine(sep: str) -> str:
    # pyarrow parses CSV several times faster than pandas' own parser; it takes
    # a one-character separator only.
    if len(sep) != 1:
        return "python"
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        return "c"
    return "pyarrow"


def _read_csv(path: Path, sep: str) -> pd.DataFrame:
    if not sep:
        raise InputError("--sep: the separator is empty")
    engine = _csv_engine(sep)
    try:
        frame = pd.read_csv(path, sep=sep, engine=engine)
    except pd.errors.EmptyDataError:
        raise InputError(f"The file {path} is empty") from None
    except UnicodeDecodeError as exc:
        raise InputError(f"Cannot read {path} as CSV: it is not UTF-8 text ({exc.reason})") from None
    except OSError as exc:
        raise InputError(f"Cannot read {path}: {exc.strerror or exc}") from None
    except Exception as exc:  # pandas' ParserError, pyarrow's ArrowInvalid
        if engine == "pyarrow" and "Empty CSV file" in str(exc):
            raise InputError(f"The file {path} is empty") from None
        text = " ".join(str(exc).split())
        raise InputError(f"Cannot read {path} as CSV: {text}") from None
    if frame.shape[1] == 1:
        header = str(frame.columns[0])
        for other in _OTHER_SEPARATORS:
            if other != sep and other in header:
                shown = "\\t" if other == "\t" else other
                raise InputError(
                    f"{path} reads as a single column {header[:60]!r}; its header holds "
                    f"{shown!r}: pass --sep '{shown}'"
                )
    return frame


def load_model(path: str | os.PathLike[str], allow_pickle: bool = False,
               trust: Iterable[str] = ()) -> Any:
    """Load a fitted model from a file.

    Parameters
    ----------
    path : str or path-like
        A ``.skops`` file, a CatBoost model file (``.cbm``, read with
        CatBoost's own loader, no pickle), or a pickle-based one
        (``.joblib``, ``.pkl``, ``.pickle``).
    allow_pickle : bool, default False
        Pickle-based files can run any code while they load, so they are
        loaded only when this is True.
    trust : iterable of str
        Types a skops file may hold beyond the ones skops trusts by default.

    Raises
    ------
    InputError
        If the file is missing or unreadable, its kind is unknown, it is a
        pickle and ``allow_pickle`` is False, or it holds types that are not
        trusted (the message lists them).
    """
    path = _existing_file(path)
    suffix = path.suffix.lower()
    if suffix in SKOPS_SUFFIXES:
        return _load_skops(path, list(trust))
    if suffix in CATBOOST_SUFFIXES:
        return _load_catboost(path)
    if suffix in PICKLE_SUFFIXES:
        if not allow_pickle:
            raise InputError(
                f"{path.name} is a pickle, which can run any code while it loads; "
                f"load it only if you trust its source, with --allow-pickle "
                f"(or save the model with skops)"
            )
        return _load_pickle(path)
    known = ", ".join(SKOPS_SUFFIXES + CATBOOST_SUFFIXES + PICKLE_SUFFIXES)
    raise InputError(f"Unknown kind of model file {path.name}; the name must end in one of: {known}")


def _load_skops(path: Path, trust: list[str]) -> Any:
    try:
        import skops.io as sio
    except ImportError:
        raise InputError(
            f"Loading {path.name} needs skops: pip install 'korvan-robustness[skops]'"
        ) from None
    try:
        untrusted = sio.get_untrusted_types(file=path)
    except Exception as exc:  # not a zip file, a damaged schema...
        raise InputError(f"Cannot read {path} as a skops file: {exc}") from None
    refused = [t for t in untrusted if t not in trust]
    if refused:
        raise InputError(
            f"{path.name} holds types skops does not trust by default: {', '.join(refused)}; "
            f"if you trust them, name them with --trust {','.join(refused)}"
        )
    try:
        return sio.load(path, trusted=untrusted)
    except Exception as exc:
        raise InputError(f"Cannot load {path}: {type(exc).__name__}: {exc}") from None


def _load_catboost(path: Path) -> Any:
    try:
        import catboost
    except ImportError:
        raise InputError(
            f"Loading {path.name} needs catboost: pip install 'korvan-robustness[catboost]'"
        ) from None
    try:
        # The file does not say which class saved it; its loss function does.
        probe = catboost.CatBoost()
        probe.load_model(str(path))
        loss = str(probe.get_all_params().get("loss_function", "")).split(":")[0]
        cls = (catboost.CatBoostClassifier if loss in _CATBOOST_CLASS_LOSSES
               else catboost.CatBoostRegressor)
        model = cls()
        model.load_model(str(path))
    except Exception as exc:  # the library raises its own error type for damaged files
        raise InputError(f"Cannot load {path} as a CatBoost model: "
                         f"{' '.join(str(exc).split())}") from None
    return model


def _load_pickle(path: Path) -> Any:
    import joblib

    try:
        return joblib.load(path)
    except Exception as exc:  # unpickling can raise anything the file's code raises
        raise InputError(f"Cannot load {path}: {type(exc).__name__}: {exc}") from None
