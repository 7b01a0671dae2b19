"""Real tables that ship with packages, and the models data scientists fit on them.

Shared by the test modules that check what a model says about its columns and
what a test of it reports (test modules never import one another).
"""
import warnings

import numpy as np
import pandas as pd
import pytest

CATEGORY_COLUMNS = ["island", "sex"]


def penguins():
    """Palmer penguins without incomplete rows: text, float and integer (year) columns."""
    from palmerpenguins import load_penguins

    frame = load_penguins().dropna().reset_index(drop=True)
    for c in ["island", "sex", "species"]:
        frame[c] = frame[c].astype(object)
    return frame


def typed(frame):
    """The same table with its text features as pandas categories."""
    out = frame.copy()
    for c in CATEGORY_COLUMNS:
        out[c] = out[c].astype("category")
    return out


def fair():
    """statsmodels' survey of marriages: occupation is an integer code."""
    import statsmodels.api as sm

    frame = sm.datasets.fair.load_pandas().data
    frame = frame.astype({"occupation": np.int64, "occupation_husb": np.int64,
                          "religious": np.int64, "rate_marriage": np.int64})
    frame["had_affair"] = (frame.pop("affairs") > 0).astype(np.int64)
    return frame


def fit_boosting(family, X, y, **kwargs):
    """A small fitted LightGBM, XGBoost or CatBoost classifier on frame ``X``."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if family == "lightgbm":
            lgb = pytest.importorskip("lightgbm")
            return lgb.LGBMClassifier(n_estimators=20, verbose=-1, random_state=0,
                                      n_jobs=1, **kwargs).fit(X, y)
        if family == "xgboost":
            xgb = pytest.importorskip("xgboost")
            return xgb.XGBClassifier(n_estimators=20, enable_categorical=True, n_jobs=1,
                                     tree_method="hist", random_state=0,
                                     **kwargs).fit(X, y)
        cb = pytest.importorskip("catboost")
        cats = [c for c in getattr(X, "columns", []) if not pd.api.types.is_numeric_dtype(X[c])]
        return cb.CatBoostClassifier(iterations=20, verbose=0, random_seed=0, thread_count=1,
                                     cat_features=cats, allow_writing_files=False,
                                     **kwargs).fit(X, y)
