"""Real models fitted on DataFrames with string and category columns, shared by tests."""

import numpy as np
import pandas as pd
from sklearn.compose import ColumnTransformer
from sklearn.ensemble import HistGradientBoostingClassifier
from sklearn.pipeline import Pipeline
from sklearn.preprocessing import OneHotEncoder, StandardScaler

FAMILIES = ("pipeline", "hgb_from_dtype", "lightgbm", "xgboost")


def make_frame(n=400, seed=0):
    """Numbers, a string column and a category column; a non-default index."""
    rng = np.random.default_rng(seed)
    x1, x2 = rng.normal(size=n), rng.normal(size=n)
    color = rng.choice(["red", "green", "blue"], size=n)
    shape = pd.Categorical(rng.choice(["round", "square", "flat"], size=n),
                           categories=["round", "square", "flat", "unused"])
    x1[rng.choice(n, 10, replace=False)] = np.nan
    score = 1.5 * np.nan_to_num(x1) - x2 + (color == "red") * 1.5 - (shape == "flat") * 1.2
    label = np.where(score + rng.normal(scale=0.7, size=n) > 0, "yes", "no")
    return pd.DataFrame({"x1": x1, "x2": x2, "color": color, "shape": shape, "label": label},
                        index=pd.Index(np.arange(n) * 3 + 1000, name="row_id"))


def fit_family(family, X, y):
    """Fit one family on the feature frame X."""
    if family == "pipeline":
        prep = ColumnTransformer([
            ("onehot", OneHotEncoder(handle_unknown="ignore", sparse_output=False),
             ["color", "shape"]),
            ("scale", StandardScaler(), ["x1", "x2"]),
        ])
        model = Pipeline([("prep", prep),
                          ("gbm", HistGradientBoostingClassifier(max_iter=30, random_state=0))])
        return model.fit(X, y)
    if family == "hgb_from_dtype":
        return HistGradientBoostingClassifier(categorical_features="from_dtype", max_iter=30,
                                              random_state=0).fit(X, y)
    y01 = (np.asarray(y) == "yes").astype(int) if family == "xgboost" else y
    if family == "lightgbm":
        from lightgbm import LGBMClassifier

        return LGBMClassifier(n_estimators=30, verbose=-1, random_state=0).fit(X, y01)
    from xgboost import XGBClassifier

    return XGBClassifier(n_estimators=30, enable_categorical=True, tree_method="hist",
                         random_state=0).fit(X, y01)


def frame_for(family, frame):
    """The frame in the form the family was fitted on."""
    return frame if family == "pipeline" else frame.astype({"color": "category"})
