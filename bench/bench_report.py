"""Size and rendering time of the HTML report.

Two cases: the command's demo (gradient boosting on the bundled diabetes
data, five levels, 10 repeats) and a 100,000-row, 20-feature regression
(four categorical features) with a sweep over all 20 features, three levels,
10 repeats, a linear model.  Prints the report's size in bytes and how long
rendering took, best and worst of a few repetitions.
"""

from __future__ import annotations

import os
import sys
import tempfile
import time

import numpy as np
import pandas as pd
from sklearn.ensemble import HistGradientBoostingRegressor
from sklearn.linear_model import LinearRegression

from korvan.data import DataSet, load_bundled
from korvan.factsheet.diagnose.robustness import RobustnessTest
from korvan.models import fit_estimator, wrap_model
from korvan.sweep import sweep

REPEATS = 3


def big_data(n: int = 100_000, p: int = 20, n_categorical: int = 4, seed: int = 0) -> DataSet:
    rng = np.random.default_rng(seed)
    frame = pd.DataFrame({f"x{j}": rng.normal(size=n) for j in range(p - n_categorical)})
    for j in range(n_categorical):
        frame[f"c{j}"] = rng.choice([f"level {k}" for k in range(5 + j)], size=n)
    coef = rng.normal(size=p - n_categorical)
    frame["y"] = frame.iloc[:, : p - n_categorical].to_numpy() @ coef \
        + (frame["c0"] == "level 1") * 2.0 + rng.normal(scale=0.5, size=n)
    return DataSet(frame, "y", name="synthetic 100k")


def measure(label: str, result, ds, found=None) -> None:
    sizes, times = [], []
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "report.html")
        for _ in range(REPEATS):
            start = time.perf_counter()
            result.save_html(path, ds, sweep=found)
            times.append(time.perf_counter() - start)
            sizes.append(os.path.getsize(path))
    print(f"{label}: {sizes[-1]:,} bytes ({sizes[-1] / 2**20:.2f} MiB); "
          f"rendered in {min(times):.2f}-{max(times):.2f} s")


def main() -> None:
    print(f"load: {os.getloadavg()[0]:.1f} (1-minute average) on {os.cpu_count()} cores", flush=True)
    ds = load_bundled("diabetes")
    est = HistGradientBoostingRegressor(random_state=0)
    fit_estimator(est, *ds.get_X_y_data("train"))
    result = RobustnessTest(ds, wrap_model(est)).run(noise_levels=[0.1, 0.2, 0.3, 0.4, 0.5])
    measure("demo (diabetes, 133 test rows)", result, ds)

    ds = big_data()
    est = LinearRegression()
    fit_estimator(est, *ds.get_X_y_data("train"))
    test = RobustnessTest(ds, wrap_model(est))
    args = dict(noise_levels=[0.1, 0.3, 0.5], n_repeats=10)
    result = test.run(**args)
    start = time.perf_counter()
    found = sweep(test, **args)
    print(f"(the 20-feature sweep itself ran in {time.perf_counter() - start:.1f} s)", flush=True)
    measure("100,000 rows x 20 features with a 20-feature sweep", result, ds, found)


if __name__ == "__main__":
    sys.exit(main())
