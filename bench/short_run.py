"""A short end-to-end robustness test on small data (used under valgrind)."""
import numpy as np
import pandas as pd
from sklearn.linear_model import LinearRegression, LogisticRegression

from korvan.data import DataSet
from korvan.factsheet.diagnose.robustness import RobustnessTest
from korvan.models import wrap_model


def main():
    rng = np.random.default_rng(0)
    frame = pd.DataFrame(rng.normal(size=(120, 4)), columns=list("abcd"))
    frame["c"] = rng.integers(0, 3, size=120).astype(str)
    frame["y"] = frame["a"] * 2 + frame["b"] + rng.normal(size=120) * 0.1
    ds = DataSet(frame, target="y", task_type="regression")
    X, y, _ = ds.get_X_y_data(dataset="train")
    model = wrap_model(LinearRegression().fit(X, y))
    for method in ("normal", "quantile"):
        result = RobustnessTest(ds, model).run(noise_levels=[0.1, 0.5], n_repeats=3,
                                               perturb_method=method)
        print(method, result.table.shape)
    frame["y"] = (frame["a"] > 0).astype(int)
    ds = DataSet(frame, target="y", task_type="classification")
    X, y, _ = ds.get_X_y_data(dataset="train")
    model = wrap_model(LogisticRegression().fit(X, y))
    result = RobustnessTest(ds, model).run(noise_levels=0.2, n_repeats=3)
    print("classification", result.table.shape)
    try:
        RobustnessTest(ds, model).run(noise_levels=1)
    except TypeError as error:
        print("expected failure:", error)


if __name__ == "__main__":
    main()
