"""Cost of handing a model a DataFrame instead of the float matrix.

On a 100,000 x 20 table with four categorical columns (two strings, two
pandas categories), for a scikit-learn Pipeline (one-hot encoding and scaling
by column name, then gradient boosting) and for HistGradientBoosting with
categorical_features="from_dtype", both fitted on the DataFrame:

- conversion: Model.features, the matrix turned into the frame (what each
  predict call adds),
- predict: the estimator's own predict on the ready frame,
- share: conversion / predict.

For reference, predict of the same kind of model fitted on the plain matrix.

    python bench/bench_frames.py [--rows N] [--repeats N]
"""

from __future__ import annotations

import argparse
import os
import time

import numpy as np
import pandas as pd
from sklearn.compose import ColumnTransformer
from sklearn.ensemble import HistGradientBoostingRegressor
from sklearn.pipeline import Pipeline
from sklearn.preprocessing import OneHotEncoder, StandardScaler

from korvan.data import DataSet
from korvan.models import wrap_model

CATEGORICAL = ["city", "kind", "grade", "band"]


def make_frame(rows: int, seed: int = 0) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(rows, 16))
    frame = pd.DataFrame(X, columns=[f"x{i}" for i in range(16)])
    frame["city"] = rng.choice(["north", "south", "east", "west"], size=rows)
    frame["kind"] = rng.choice([f"k{i}" for i in range(12)], size=rows)
    frame["grade"] = pd.Categorical(rng.choice(list("ABCDE"), size=rows))
    frame["band"] = pd.Categorical(rng.choice(["low", "mid", "high"], size=rows))
    frame["y"] = X[:, :4].sum(axis=1) + (frame["city"] == "north") * 2 + rng.normal(size=rows)
    return frame


def best_of(fn, repeats: int) -> float:
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--repeats", type=int, default=5)
    opts = parser.parse_args()

    frame = make_frame(opts.rows)
    ds = DataSet(frame, "y", task_type="regression")
    X_all, y_all, _ = ds.get_X_y_data("main")
    features = frame.drop(columns="y")
    numeric = [c for c in features.columns if c not in CATEGORICAL]
    pipeline = Pipeline([
        ("prep", ColumnTransformer([
            ("onehot", OneHotEncoder(handle_unknown="ignore", sparse_output=False), CATEGORICAL),
            ("scale", StandardScaler(), numeric)])),
        ("gbm", HistGradientBoostingRegressor(max_iter=50, random_state=0)),
    ]).fit(features, frame["y"])
    hgb = HistGradientBoostingRegressor(categorical_features="from_dtype", max_iter=50,
                                        random_state=0).fit(
        features.astype({"city": "category", "kind": "category"}), frame["y"])
    on_array = HistGradientBoostingRegressor(max_iter=50, random_state=0).fit(X_all, y_all)

    print(f"{opts.rows:,} rows x 20 features (4 categorical), best of {opts.repeats}; "
          f"load {os.getloadavg()[0]:.2f}")
    print(f"  {'model':<28} {'conversion':>11} {'predict':>9} {'share':>7}")
    for name, estimator, data in (("Pipeline (one-hot + GBM)", pipeline, ds),
                                  ("HGB from_dtype", hgb, DataSet(
                                      frame.astype({"city": "category", "kind": "category"}),
                                      "y", task_type="regression"))):
        model = wrap_model(estimator, dataset=data)
        X = data.get_X_y_data("main")[0]
        ready = model.features(X)
        convert = best_of(lambda: model.features(X), opts.repeats)
        predict = best_of(lambda: estimator.predict(ready), opts.repeats)
        print(f"  {name:<28} {convert * 1e3:9.1f} ms {predict * 1e3:6.0f} ms "
              f"{convert / predict:6.1%}")
    plain = best_of(lambda: on_array.predict(X_all), opts.repeats)
    print(f"  {'HGB on the plain matrix':<28} {'-':>11} {plain * 1e3:6.0f} ms")


if __name__ == "__main__":
    main()
